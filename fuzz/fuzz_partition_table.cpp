// Fuzzes the partition-table reading with the input as a whole small disk:
// sector 0 (MBR or protective MBR), the GPT header and entries, extended
// boot records and boot sectors wherever the tables point.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "storage/partition_table.h"

namespace {

class MemoryReader : public sorrelon::SectorReader {
 public:
  MemoryReader(const sorrelon::DataSource& ds, const uint8_t* data, size_t size)
      : SectorReader(ds), bytes_(data, data + size) {
    bytes_.resize((size + 511) / 512 * 512, 0);
  }
  int64_t ReadSectorsUpTo(uint32_t count, void* buf, int64_t first) override {
    if (count == 0) return 0;
    if (first < 0 || first > SourceSectors() || int64_t(count) > SourceSectors() - first) return -1;
    std::memcpy(buf, bytes_.data() + size_t(first) * 512, size_t(count) * 512);
    return count;
  }
  int64_t SourceSectors() override { return int64_t(bytes_.size() / 512); }

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  sorrelon::DataSource ds;
  MemoryReader reader(ds, data, size);
  auto layouts = sorrelon::ReadVolumeLayouts(reader);
  for (const auto& l : layouts)
    if (l.sectorsPerCluster < 1) __builtin_trap();
  return 0;
}
