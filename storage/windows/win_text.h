// UTF-8 <-> UTF-16 for the Windows backend, and the system's own text for
// an error code.
#pragma once

#include <windows.h>

#include <string>

namespace sorrelon::win {

inline std::wstring Widen(const std::string& s) {
  if (s.empty()) return {};
  int n = ::MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), nullptr, 0);
  std::wstring w(size_t(n > 0 ? n : 0), L'\0');
  if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), w.data(), n);
  return w;
}

inline std::string Narrow(const wchar_t* w, size_t len) {
  if (len == 0) return {};
  int n = ::WideCharToMultiByte(CP_UTF8, 0, w, int(len), nullptr, 0, nullptr, nullptr);
  std::string s(size_t(n > 0 ? n : 0), '\0');
  if (n > 0) ::WideCharToMultiByte(CP_UTF8, 0, w, int(len), s.data(), n, nullptr, nullptr);
  return s;
}

inline std::string Narrow(const std::wstring& w) { return Narrow(w.data(), w.size()); }

inline std::string ErrorText(DWORD code) {
  wchar_t* buf = nullptr;
  DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, code, 0, reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
  std::string text;
  if (n && buf) {
    while (n && (buf[n - 1] == L'\r' || buf[n - 1] == L'\n' || buf[n - 1] == L' ')) --n;
    text = Narrow(buf, n);
  }
  if (buf) ::LocalFree(buf);
  return text.empty() ? "error " + std::to_string(code) : text + " (" + std::to_string(code) + ")";
}

}  // namespace sorrelon::win
