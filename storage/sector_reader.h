// Reads runs of 512-byte sectors at 64-bit sector addresses from the chosen
// source. The source is opened read-only, kept open, and reopened only when
// the chosen path changes. Every read is addressed in 512-byte units at byte
// offset sector x 512, whatever the device's own sector size.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "storage/data_source.h"
#include "storage/device.h"

namespace sorrelon {

class SectorReader {
 public:
  explicit SectorReader(const DataSource& source) : source_(source) {}
  virtual ~SectorReader() = default;
  SectorReader(const SectorReader&) = delete;
  SectorReader& operator=(const SectorReader&) = delete;

  // Reads `count` sectors at `first` into `buf` (count x 512 bytes). A read
  // that runs past the end of the source is shortened to end at its last
  // sector and succeeds; the cut part of `buf` is zero-filled. A read of 0
  // sectors succeeds. False when the source cannot be opened or read.
  bool ReadSectors(uint32_t count, void* buf, int64_t first) { return ReadSectorsUpTo(count, buf, first) >= 0; }

  // As ReadSectors, but answers how many sectors were actually placed in
  // `buf` after the end cut, or -1 on failure.
  virtual int64_t ReadSectorsUpTo(uint32_t count, void* buf, int64_t first);

  // Number of whole sectors the open source holds, -1 when unknown or when
  // the source cannot be opened.
  virtual int64_t SourceSectors();

  // Why the last open failed (empty when it did not).
  const std::string& LastOpenError() const { return openError_; }

  // Closes the handle; the next read reopens.
  void Close();

 protected:
  // Opens (or keeps) the device for the current path; null on failure.
  Device* Current();

  const DataSource& source_;

 private:
  std::unique_ptr<Device> device_;
  std::string openPath_;
  std::string openError_;
};

}  // namespace sorrelon
