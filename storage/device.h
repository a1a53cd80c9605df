// A raw source opened read-only: an image file, a block device or partition
// (POSIX), a physical drive, volume or image (Windows). Backends implement it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace sorrelon {

class Device {
 public:
  virtual ~Device() = default;
  // Reads exactly `len` bytes at byte `offset`. False on any error or short read.
  virtual bool ReadAt(uint64_t offset, void* buf, size_t len) = 0;
  // Size in bytes; -1 when the backend cannot tell.
  virtual int64_t Size() const = 0;
};

struct OpenedDevice {
  std::unique_ptr<Device> device;  // null on failure
  std::string error;               // why it failed, for the log
};

// Opens `path` for reading only (never for writing). Implemented per platform.
OpenedDevice OpenDeviceReadOnly(const std::string& path);

}  // namespace sorrelon
