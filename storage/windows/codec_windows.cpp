// GB18030 (code page 54936) <-> UTF-8 through the system's conversions.
#include <windows.h>

#include <limits>

#include "storage/codec.h"

namespace sorrelon {
namespace {

std::optional<std::wstring> ToWide(UINT codePage, std::string_view in) {
  if (in.size() > size_t(std::numeric_limits<int>::max())) return std::nullopt;
  int n = ::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, in.data(), int(in.size()), nullptr, 0);
  if (n <= 0) return std::nullopt;
  std::wstring w(size_t(n), L'\0');
  if (::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, in.data(), int(in.size()), w.data(), n) != n)
    return std::nullopt;
  return w;
}

std::optional<std::string> FromWide(UINT codePage, const std::wstring& w) {
  // Only UTF-8 and GB18030 report unmappable characters by flag; code page
  // 936 reports them through the default-character flag.
  const bool strict = codePage == CP_UTF8 || codePage == 54936;
  const DWORD flags = strict ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL usedDefault = FALSE;
  BOOL* used = strict ? nullptr : &usedDefault;
  int n = ::WideCharToMultiByte(codePage, flags, w.data(), int(w.size()), nullptr, 0, nullptr, used);
  if (n <= 0 || usedDefault) return std::nullopt;
  std::string s(size_t(n), '\0');
  if (::WideCharToMultiByte(codePage, flags, w.data(), int(w.size()), s.data(), n, nullptr, used) != n || usedDefault)
    return std::nullopt;
  return s;
}

// GB18030 where the system has it; code page 936 (GBK, which GB18030
// extends) where it does not, as under some compatibility layers.
UINT GbCodePage() {
  static const UINT cp = ::IsValidCodePage(54936) ? 54936 : 936;
  return cp;
}

}  // namespace

std::optional<std::string> Gb18030ToUtf8(std::string_view gb) {
  if (gb.empty()) return std::string();
  auto w = ToWide(GbCodePage(), gb);
  if (!w) return std::nullopt;
  return FromWide(CP_UTF8, *w);
}

std::optional<std::string> Utf8ToGb18030(std::string_view utf8) {
  if (utf8.empty()) return std::string();
  auto w = ToWide(CP_UTF8, utf8);
  if (!w) return std::nullopt;
  return FromWide(GbCodePage(), *w);
}

}  // namespace sorrelon
