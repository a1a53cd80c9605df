// Windows backend: physical drives (\\.\PhysicalDriveN), volumes (\\.\X:)
// and image files, opened with GENERIC_READ only. Raw devices accept only
// reads at sector-aligned offsets of sector-aligned sizes, so their reads go
// through an aligned bounce buffer; files are read directly.
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cstring>

#include "storage/device.h"
#include "storage/windows/win_text.h"

namespace sorrelon {
namespace {

constexpr size_t kBounceBytes = size_t(1) << 20;

class WinDevice final : public Device {
 public:
  WinDevice(HANDLE h, int64_t size, bool raw, uint32_t align) : h_(h), size_(size), raw_(raw), align_(align) {
    if (raw_) bounce_ = static_cast<uint8_t*>(::VirtualAlloc(nullptr, kBounceBytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  }
  ~WinDevice() override {
    if (bounce_) ::VirtualFree(bounce_, 0, MEM_RELEASE);
    ::CloseHandle(h_);
  }

  bool ReadAt(uint64_t offset, void* buf, size_t len) override {
    if (!raw_) return ReadExact(offset, static_cast<uint8_t*>(buf), len);
    if (!bounce_) return false;
    auto* out = static_cast<uint8_t*>(buf);
    while (len > 0) {
      const uint64_t start = offset / align_ * align_;
      const size_t skip = size_t(offset - start);
      const size_t want = std::min(len, kBounceBytes - skip);
      const size_t cover = (skip + want + align_ - 1) / align_ * align_;
      if (!ReadExact(start, bounce_, cover)) return false;
      std::memcpy(out, bounce_ + skip, want);
      out += want;
      offset += want;
      len -= want;
    }
    return true;
  }

  int64_t Size() const override { return size_; }

 private:
  bool ReadExact(uint64_t offset, uint8_t* p, size_t len) {
    while (len > 0) {
      const DWORD chunk = DWORD(std::min<size_t>(len, size_t(1) << 30));
      OVERLAPPED ov{};
      ov.Offset = DWORD(offset);
      ov.OffsetHigh = DWORD(offset >> 32);
      DWORD got = 0;
      if (!::ReadFile(h_, p, chunk, &got, &ov) || got == 0) return false;
      p += got;
      offset += got;
      len -= got;
    }
    return true;
  }

  HANDLE h_;
  int64_t size_;
  bool raw_;
  uint32_t align_;
  uint8_t* bounce_ = nullptr;
};

}  // namespace

OpenedDevice OpenDeviceReadOnly(const std::string& path) {
  OpenedDevice out;
  if (path.empty()) {
    out.error = "no source chosen";
    return out;
  }
  HANDLE h = ::CreateFileW(win::Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    out.error = path + ": " + win::ErrorText(::GetLastError());
    return out;
  }
  DWORD bytes = 0;
  int64_t size = -1;
  bool raw = false;
  uint32_t align = 512;
  GET_LENGTH_INFORMATION length{};
  if (::DeviceIoControl(h, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length, &bytes, nullptr)) {
    raw = true;
    size = length.Length.QuadPart;
    DISK_GEOMETRY geometry{};
    if (::DeviceIoControl(h, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry, sizeof geometry, &bytes, nullptr) &&
        geometry.BytesPerSector >= 512 && geometry.BytesPerSector <= 65536 &&
        (geometry.BytesPerSector & (geometry.BytesPerSector - 1)) == 0)
      align = geometry.BytesPerSector;
    // A volume handle may then read the sectors beyond the file system's
    // own extent (the backup boot sector, slack at the end).
    ::DeviceIoControl(h, FSCTL_ALLOW_EXTENDED_DASD_IO, nullptr, 0, nullptr, 0, &bytes, nullptr);
  } else {
    LARGE_INTEGER li{};
    if (::GetFileSizeEx(h, &li)) size = li.QuadPart;
  }
  out.device = std::make_unique<WinDevice>(h, size, raw, align);
  return out;
}

}  // namespace sorrelon
