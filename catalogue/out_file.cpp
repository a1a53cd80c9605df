#include "catalogue/out_file.h"

#include <cerrno>
#include <cstring>

namespace sorrelon {

namespace {
constexpr size_t kBufferBytes = 1 << 20;
}

OutFile::~OutFile() { Close(); }

bool OutFile::Create(const std::string& path) {
  Close();
  error_.clear();
  written_ = 0;
  errno = 0;
  f_ = std::fopen(path.c_str(), "wb");
  if (!f_) {
    Fail(errno);
    return false;
  }
  std::setvbuf(f_, nullptr, _IOFBF, kBufferBytes);
  return true;
}

void OutFile::Fail(int err) {
  if (error_.empty()) error_ = err ? std::strerror(err) : "short write";
}

bool OutFile::Append(const void* p, size_t n) {
  if (!f_ || !ok()) return false;
  errno = 0;
  if (std::fwrite(p, 1, n, f_) != n) {
    Fail(errno);
    return false;
  }
  written_ += int64_t(n);
  return true;
}

bool OutFile::OverwriteTail(const void* p, size_t n) {
  if (!f_ || !ok()) return false;
  if (int64_t(n) > written_) {
    error_ = "nothing to overwrite";
    return false;
  }
  errno = 0;
  if (std::fseek(f_, -long(n), SEEK_END) != 0 || std::fwrite(p, 1, n, f_) != n || std::fseek(f_, 0, SEEK_END) != 0) {
    Fail(errno);
    return false;
  }
  return true;
}

bool OutFile::Close() {
  if (!f_) return ok();
  errno = 0;
  if (std::fflush(f_) != 0) Fail(errno);
  errno = 0;
  if (std::fclose(f_) != 0) Fail(errno);
  f_ = nullptr;
  return ok();
}

std::string WriteFailedText(const std::string& path, const std::string& reason) {
  return "error,写入文件失败(WRITE FAILED): " + path + ": " + reason;
}

}  // namespace sorrelon
