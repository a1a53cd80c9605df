// Fuzzes the boot-sector parse and the free-space map load with the input
// as a whole small volume: sector 0 decides the file system, the rest holds
// the FAT or the MFT and $Bitmap wherever the boot sector points.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/bytes.h"
#include "scan/free_space.h"
#include "storage/sources.h"

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
  if (size > (1 << 20)) return 0;
  sorrelon::DataSource ds;
  ds.isLogicalDrive = true;
  ds.sectorBound = int64_t((size + 511) / 512) - 1;
  MemoryReader reader(ds, data, size);
  sorrelon::SilentPerson person;
  if (!sorrelon::ParseBootSector(ds, reader, person)) return 0;
  sorrelon::FreeSpaceMap map;
  sorrelon::LoadFreeSpaceMap(ds, reader, person, map);
  for (int64_t s : {int64_t(0), int64_t(1), ds.dataStartSector - 1, ds.dataStartSector, ds.dataStartSector + 17,
                    int64_t(8000), ds.sectorBound})
    (void)map.IsClusterInUse(s);
  return 0;
}
