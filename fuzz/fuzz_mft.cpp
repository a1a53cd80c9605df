// Fuzzes the $Bitmap load from MFT record 6: the first 1024 input bytes are
// the record, the rest fills the volume behind it. When the first byte is
// odd the record's update-sequence fix-ups are made consistent first, so the
// attribute walk and the run-list decoding are reached often.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/bytes.h"
#include "scan/free_space.h"

namespace {

constexpr int64_t kVolumeSectors = 512;
constexpr int64_t kMftCluster = 4;

class MemoryReader : public sorrelon::SectorReader {
 public:
  MemoryReader(const sorrelon::DataSource& ds, std::vector<uint8_t> bytes) : SectorReader(ds), bytes_(std::move(bytes)) {}
  int64_t ReadSectorsUpTo(uint32_t count, void* buf, int64_t first) override {
    if (count == 0) return 0;
    if (first < 0 || first > kVolumeSectors || int64_t(count) > kVolumeSectors - first) return -1;
    std::memcpy(buf, bytes_.data() + size_t(first) * 512, size_t(count) * 512);
    return count;
  }
  int64_t SourceSectors() override { return kVolumeSectors; }

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8 || size > 1024 + 128 * 1024) return 0;
  const int16_t spc = int16_t(1 << (data[1] % 4));
  std::vector<uint8_t> rec(1024, 0);
  std::memcpy(rec.data(), data, std::min<size_t>(size, 1024));
  if (data[0] & 1) {
    std::memcpy(rec.data(), "FILE", 4);
    sorrelon::PutLe16(&rec[4], 0x30);
    sorrelon::PutLe16(&rec[6], 3);
    for (int i = 1; i <= 2; ++i) {
      std::memcpy(&rec[0x30 + 2 * i], &rec[size_t(i) * 512 - 2], 2);
      std::memcpy(&rec[size_t(i) * 512 - 2], &rec[0x30], 2);
    }
  }
  std::vector<uint8_t> volume(size_t(kVolumeSectors) * 512, 0);
  const size_t at = size_t(kMftCluster * spc + 12) * 512;
  std::memcpy(&volume[at], rec.data(), rec.size());
  if (size > 1024) std::memcpy(&volume[at + 1024], data + 1024, size - 1024);

  sorrelon::DataSource ds;
  ds.fileSystemName = "NTFS";
  ds.sectorsPerCluster = spc;
  ds.mftStartCluster = kMftCluster;
  ds.isLogicalDrive = true;
  ds.sectorBound = kVolumeSectors - 1;
  MemoryReader reader(ds, std::move(volume));
  sorrelon::SilentPerson person;
  sorrelon::FreeSpaceMap map;
  if (sorrelon::LoadFreeSpaceMap(ds, reader, person, map))
    for (int64_t s = 0; s < kVolumeSectors; s += 97) (void)map.IsClusterInUse(s);
  return 0;
}
