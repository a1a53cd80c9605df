// POSIX backend: image files, block devices and partitions, opened O_RDONLY.
#include <errno.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>
#endif

#include <cstring>

#include "storage/device.h"

namespace sorrelon {
namespace {

class PosixDevice final : public Device {
 public:
  PosixDevice(int fd, int64_t size) : fd_(fd), size_(size) {}
  ~PosixDevice() override { ::close(fd_); }

  bool ReadAt(uint64_t offset, void* buf, size_t len) override {
    auto* p = static_cast<uint8_t*>(buf);
    while (len > 0) {
      ssize_t got = ::pread(fd_, p, len, off_t(offset));
      if (got < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (got == 0) return false;  // short read: past the end
      p += got;
      offset += uint64_t(got);
      len -= size_t(got);
    }
    return true;
  }

  int64_t Size() const override { return size_; }

 private:
  int fd_;
  int64_t size_;
};

}  // namespace

OpenedDevice OpenDeviceReadOnly(const std::string& path) {
  OpenedDevice out;
  if (path.empty()) {
    out.error = "no source chosen";
    return out;
  }
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    out.error = path + ": " + std::strerror(errno);
    return out;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    out.error = path + ": " + std::strerror(errno);
    ::close(fd);
    return out;
  }
  int64_t size = -1;
  if (S_ISREG(st.st_mode)) {
    size = int64_t(st.st_size);
  } else if (S_ISBLK(st.st_mode)) {
#ifdef BLKGETSIZE64
    uint64_t bytes = 0;
    if (::ioctl(fd, BLKGETSIZE64, &bytes) == 0) size = int64_t(bytes);
#endif
  } else {
    off_t end = ::lseek(fd, 0, SEEK_END);
    if (end >= 0) size = int64_t(end);
  }
#ifdef POSIX_FADV_SEQUENTIAL
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
  out.device = std::make_unique<PosixDevice>(fd, size);
  return out;
}

}  // namespace sorrelon
