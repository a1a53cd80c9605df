#include "base/text.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <limits>

namespace sorrelon {

std::string_view Trim(std::string_view s) {
  auto blank = [](char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7f; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

std::optional<int64_t> ParseInt64(std::string_view s) {
  s = Trim(s);
  if (s.empty()) return std::nullopt;
  bool plus = s.front() == '+';
  if (plus) s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  int64_t v = 0;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v, 10);
  if (ec != std::errc() || ptr != s.data() + s.size()) return std::nullopt;
  if (plus && s.front() == '-') return std::nullopt;
  return v;
}

std::optional<int32_t> ParseInt32(std::string_view s) {
  auto v = ParseInt64(s);
  if (!v || *v < std::numeric_limits<int32_t>::min() || *v > std::numeric_limits<int32_t>::max())
    return std::nullopt;
  return int32_t(*v);
}

std::string FormatFixed2(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f", v);
  return buf;
}

std::string NowStamp() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
#ifdef _WIN32
  localtime_s(&tm, &t);
#else
  localtime_r(&t, &tm);
#endif
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

static char Lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

bool ContainsNoCase(std::string_view hay, std::string_view needle) {
  if (needle.empty()) return true;
  if (needle.size() > hay.size()) return false;
  for (size_t i = 0; i + needle.size() <= hay.size(); ++i) {
    size_t j = 0;
    while (j < needle.size() && Lower(hay[i + j]) == Lower(needle[j])) ++j;
    if (j == needle.size()) return true;
  }
  return false;
}

int CompareNoCase(std::string_view a, std::string_view b) {
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(Lower(a[i]));
    unsigned char y = static_cast<unsigned char>(Lower(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

std::string_view LastPathComponent(std::string_view path) {
  size_t p = path.find_last_of("\\/");
  return p == std::string_view::npos ? path : path.substr(p + 1);
}

std::string SafeFileName(std::string_view name, std::string_view fallback) {
  size_t p = name.find_last_of("\\/:");
  if (p != std::string_view::npos) name = name.substr(p + 1);
  std::string out;
  out.reserve(name.size());
  for (char c : name) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) continue;
    if (c == '*' || c == '?' || c == '"' || c == '<' || c == '>' || c == '|') continue;
    out.push_back(c);
  }
  std::string_view t = Trim(out);
  out = std::string(t);
  if (out.find_first_not_of('.') == std::string::npos) out.clear();
  if (out.empty()) out = std::string(fallback);
  return out;
}

}  // namespace sorrelon
