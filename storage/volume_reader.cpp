#include "storage/volume_reader.h"

#include <algorithm>
#include <cstring>

namespace sorrelon {

int64_t VolumeReader::ReadSectorsUpTo(uint32_t count, void* buf, int64_t first) {
  if (first < 0 || first_ < 0 || sectors_ < 0 || first_ > INT64_MAX - sectors_) return -1;
  const int64_t want = std::clamp<int64_t>(sectors_ - first, 0, int64_t(count));
  if (want < int64_t(count))
    std::memset(static_cast<uint8_t*>(buf) + want * 512, 0, size_t(int64_t(count) - want) * 512);
  if (want == 0) return 0;
  return whole_.ReadSectorsUpTo(uint32_t(want), buf, first_ + first);
}

}  // namespace sorrelon
