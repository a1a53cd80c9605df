// GB18030 <-> UTF-8 through iconv.
#include <errno.h>
#include <iconv.h>

#include "storage/codec.h"

namespace sorrelon {
namespace {

std::optional<std::string> Convert(const char* to, const char* from, std::string_view in) {
  if (in.empty()) return std::string();
  iconv_t cd = ::iconv_open(to, from);
  if (cd == iconv_t(-1)) return std::nullopt;
  std::string out(in.size() * 2 + 16, '\0');
  char* src = const_cast<char*>(in.data());
  size_t srcLeft = in.size();
  size_t done = 0;
  bool ok = true;
  while (srcLeft > 0) {
    char* dst = out.data() + done;
    size_t dstLeft = out.size() - done;
    size_t r = ::iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    done = out.size() - dstLeft;
    if (r == size_t(-1)) {
      if (errno == E2BIG) {
        out.resize(out.size() * 2);
        continue;
      }
      ok = false;  // EILSEQ or EINVAL: invalid or truncated input
      break;
    }
  }
  if (ok) {  // flush any shift state
    char* dst = out.data() + done;
    size_t dstLeft = out.size() - done;
    if (::iconv(cd, nullptr, nullptr, &dst, &dstLeft) == size_t(-1)) ok = false;
    done = out.size() - dstLeft;
  }
  ::iconv_close(cd);
  if (!ok) return std::nullopt;
  out.resize(done);
  return out;
}

}  // namespace

std::optional<std::string> Gb18030ToUtf8(std::string_view gb) { return Convert("UTF-8", "GB18030", gb); }
std::optional<std::string> Utf8ToGb18030(std::string_view utf8) { return Convert("GB18030", "UTF-8", utf8); }

}  // namespace sorrelon
