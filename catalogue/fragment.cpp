#include "catalogue/fragment.h"

#include <algorithm>

#include "base/text.h"

namespace sorrelon {

std::string Fragment::ToLine() const {
  std::string s;
  s.reserve(48 + remark.size());
  s += std::to_string(number);
  s += '|';
  s += std::to_string(startSector);
  s += '|';
  s += std::to_string(endSector);
  s += '|';
  s += std::to_string(sizeKb);
  s += '|';
  s += std::to_string(startPage);
  s += '|';
  s += std::to_string(endPage);
  s += '|';
  s += remark;
  s += '|';
  s += visible ? 'Y' : 'N';
  s += '|';
  return s;
}

std::string_view FieldOf(std::string_view line, int k) {
  size_t start = 0;
  for (int i = 1; i < k; ++i) {
    size_t bar = line.find('|', start);
    if (bar == std::string_view::npos) return {};
    start = bar + 1;
  }
  size_t bar = line.find('|', start);
  if (bar == std::string_view::npos) return {};
  return line.substr(start, bar - start);
}

std::optional<Fragment> Fragment::FromLine(std::string_view line) {
  // The remark may itself hold "|" only if a file was edited by hand; the
  // record's shape is fixed: six numbers, the remark, the flag.
  if (line.empty() || line.back() != '|') return std::nullopt;
  size_t bars = size_t(std::count(line.begin(), line.end(), '|'));
  if (bars < 8) return std::nullopt;
  Fragment f;
  auto n1 = ParseInt32(FieldOf(line, 1));
  auto n2 = ParseInt64(FieldOf(line, 2));
  auto n3 = ParseInt64(FieldOf(line, 3));
  auto n4 = ParseInt32(FieldOf(line, 4));
  auto n5 = ParseInt32(FieldOf(line, 5));
  auto n6 = ParseInt32(FieldOf(line, 6));
  if (!n1 || !n2 || !n3 || !n4 || !n5 || !n6) return std::nullopt;
  f.number = *n1;
  f.startSector = *n2;
  f.endSector = *n3;
  f.sizeKb = *n4;
  f.startPage = *n5;
  f.endPage = *n6;
  // Remark: everything between the sixth "|" and the last-but-one "|".
  size_t pos = 0;
  for (int i = 0; i < 6; ++i) pos = line.find('|', pos) + 1;
  std::string_view body = line.substr(pos, line.size() - 1 - pos);  // "remark|flag"
  size_t lastBar = body.rfind('|');
  if (lastBar == std::string_view::npos) return std::nullopt;
  f.remark = std::string(body.substr(0, lastBar));
  f.visible = Trim(body.substr(lastBar + 1)) != "N";
  return f;
}

bool FragmentStore::Append(Fragment f) {
  if (full()) return false;
  items_.push_back(std::move(f));
  return true;
}

void StartPageIndex::Build(const FragmentStore& store) {
  entries_.clear();
  entries_.reserve(store.size());
  for (size_t i = 0; i < store.size(); ++i)
    entries_.push_back({int32_t(i), store[i].startPage, store[i].endPage});
  std::stable_sort(entries_.begin(), entries_.end(),
                   [](const StartPageEntry& a, const StartPageEntry& b) { return a.startPage < b.startPage; });
}

size_t StartPageIndex::LowerBound(int64_t page) const {
  auto it = std::lower_bound(entries_.begin(), entries_.end(), page,
                             [](const StartPageEntry& e, int64_t p) { return e.startPage < p; });
  return size_t(it - entries_.begin());
}

}  // namespace sorrelon
