// Fuzzes the boot-sector parse and the free-space map load with the input
// as a whole small volume: sector 0 decides the file system, the rest holds
// the FAT or the MFT and $Bitmap wherever the boot sector points.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/bytes.h"
#include "fuzz/fuzz_support.h"
#include "scan/free_space.h"
#include "storage/sources.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1 << 20)) return 0;
  sorrelon::DataSource ds;
  ds.isLogicalDrive = true;
  ds.sectorBound = int64_t((size + 511) / 512) - 1;
  sorrelon::fuzz::MemoryReader reader(ds, std::vector<uint8_t>(data, data + size));
  sorrelon::SilentPerson person;
  if (!sorrelon::ParseBootSector(ds, reader, person)) return 0;
  sorrelon::FreeSpaceMap map;
  sorrelon::LoadFreeSpaceMap(ds, reader, person, map);
  for (int64_t s : {int64_t(0), int64_t(1), ds.dataStartSector - 1, ds.dataStartSector, ds.dataStartSector + 17,
                    int64_t(8000), ds.sectorBound})
    (void)map.IsClusterInUse(s);
  return 0;
}
