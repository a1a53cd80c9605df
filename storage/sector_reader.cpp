#include "storage/sector_reader.h"

#include <cstring>
#include <limits>

#include "base/bytes.h"

namespace sorrelon {

Device* SectorReader::Current() {
  if (device_ && openPath_ == source_.devicePath) return device_.get();
  device_.reset();
  openPath_ = source_.devicePath;
  OpenedDevice opened = OpenDeviceReadOnly(openPath_);
  device_ = std::move(opened.device);
  openError_ = device_ ? std::string() : opened.error;
  return device_.get();
}

void SectorReader::Close() {
  device_.reset();
  openPath_.clear();
}

int64_t SectorReader::SourceSectors() {
  Device* d = Current();
  if (!d) return -1;
  int64_t size = d->Size();
  return size < 0 ? -1 : size / kSectorSize;
}

int64_t SectorReader::ReadSectorsUpTo(uint32_t count, void* buf, int64_t first) {
  if (count == 0) return 0;
  // A sector address whose byte offset (or end) does not fit in 64 bits lies
  // beyond any source; refuse it before the sums below overflow.
  if (first < 0 || first > std::numeric_limits<int64_t>::max() / kSectorSize - int64_t(count)) return -1;
  int64_t n = count;
  // The cut at the end of the source as the descriptor states it: a volume's
  // end is its last sector, a disk's or image's its sector count.
  const int64_t e = source_.endSector;
  if (e > 0) {
    if (source_.isLogicalDrive) {
      if (first + n - 1 > e) n = e - first + 1;
    } else {
      if (first + n > e) n = e - first;
    }
  }
  Device* d = Current();
  if (!d) return -1;
  // The real end of the device: the descriptor's end may lie beyond it (a
  // FAT32 volume's scan end is data start + bound).
  int64_t size = d->Size();
  if (size >= 0) {
    int64_t have = size / kSectorSize;
    if (first + n > have) n = have - first;
  }
  if (n <= 0) return -1;
  if (!d->ReadAt(uint64_t(first) * kSectorSize, buf, size_t(n) * kSectorSize)) return -1;
  if (n < int64_t(count))
    std::memset(static_cast<uint8_t*>(buf) + size_t(n) * kSectorSize, 0, size_t(count - n) * kSectorSize);
  return n;
}

}  // namespace sorrelon
