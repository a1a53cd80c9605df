#include "scan/free_space.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "base/bytes.h"

namespace sorrelon {
namespace {

constexpr const char* kCaptionHint = "提示";
constexpr uint32_t kFatBlockSectors = 12288;                  // FAT sectors per read
constexpr size_t kFatBlockMapBytes = kFatBlockSectors * 128 / 8;  // 196608: one bit per entry
// FAT32 cluster numbers have 28 bits, so no FAT needs more sectors than this.
constexpr uint64_t kMaxFat32Sectors = (uint64_t(1) << 28) * 4 / kSectorSize;
// NTFS cluster numbers of a volume fit in 32 bits: a $Bitmap of 512 MB.
constexpr uint64_t kMaxNtfsBitmapBytes = (uint64_t(1) << 32) / 8;
constexpr uint32_t kMftRecordBytes = 1024;
constexpr uint32_t kFixupStride = 512;
constexpr uint32_t kBitmapReadSectors = 2048;

// Sectors of the chosen volume: the opened device's size, else the bound the
// choice recorded; -1 when neither is known.
int64_t VolumeSectors(const DataSource& ds, SectorReader& reader) {
  int64_t n = reader.SourceSectors();
  if (n > 0) return n;
  if (ds.isLogicalDrive && ds.sectorBound >= 0) return ds.sectorBound + 1;
  if (ds.sectorBound > 0) return ds.sectorBound;
  return -1;
}

bool LoadFat32(const DataSource& ds, SectorReader& reader, Person& person, std::vector<uint8_t>& bits) {
  const uint64_t first = ds.fatReservedSectors;
  uint64_t toRead = std::min<uint64_t>(ds.fatSizeSectors, kMaxFat32Sectors);
  const int64_t volume = VolumeSectors(ds, reader);
  if (volume > 0) {
    if (first >= uint64_t(volume)) {
      person.Message("读bitmap错误sec" + std::to_string(first), kCaptionHint);
      return false;
    }
    // The FAT lies inside the volume and needs no entries beyond the
    // clusters the volume can hold.
    toRead = std::min<uint64_t>(toRead, uint64_t(volume) - first);
    const int64_t spc = ds.sectorsPerCluster > 0 ? ds.sectorsPerCluster : 1;
    const int64_t dataSectors = ds.dataStartSector >= 0 && ds.dataStartSector < volume ? volume - ds.dataStartSector : 0;
    const uint64_t entries = uint64_t(dataSectors / spc) + 2;
    toRead = std::min<uint64_t>(toRead, (entries * 4 + kSectorSize - 1) / kSectorSize);
  }
  std::vector<uint8_t> buf(size_t(std::min<uint64_t>(toRead, kFatBlockSectors)) * kSectorSize);
  for (uint64_t done = 0; done < toRead; done += kFatBlockSectors) {
    const uint32_t count = uint32_t(std::min<uint64_t>(kFatBlockSectors, toRead - done));
    const uint64_t p = first + done;
    std::fill(buf.begin(), buf.end(), 0);
    if (!reader.ReadSectors(count, buf.data(), int64_t(p))) {
      person.Message("读bitmap错误sec" + std::to_string(p), kCaptionHint);
      return false;
    }
    const size_t base = bits.size();
    bits.resize(base + kFatBlockMapBytes, 0);
    uint8_t* map = bits.data() + base;
    const size_t entries = size_t(count) * (kSectorSize / 4);
    for (size_t k = 0; k < entries; ++k) {
      const uint8_t* e = buf.data() + 4 * k;
      if (e[0] | e[1] | e[2] | e[3]) map[k >> 3] |= uint8_t(1u << (k & 7));
    }
  }
  return true;
}

// Applies the update-sequence fix-ups of a 1024-byte MFT record: the last two
// bytes of every 512-byte stride hold the sequence number on disk and their
// real values are kept in the update-sequence array.
bool ApplyFixups(uint8_t* rec) {
  if (std::memcmp(rec, "FILE", 4) != 0) return false;
  const uint32_t usaOffset = Le16(rec + 4);
  const uint32_t usaCount = Le16(rec + 6);
  if (usaCount != kMftRecordBytes / kFixupStride + 1) return false;
  if (usaOffset < 8 || usaOffset + 2 * usaCount > kMftRecordBytes) return false;
  const uint16_t usn = Le16(rec + usaOffset);
  for (uint32_t i = 1; i < usaCount; ++i) {
    uint8_t* end = rec + i * kFixupStride - 2;
    if (Le16(end) != usn) return false;
    std::memcpy(end, rec + usaOffset + 2 * i, 2);
  }
  return true;
}

struct Run {
  int64_t lcn;
  int64_t length;
};

// Finds the unnamed data attribute of the record and decodes its run list.
bool DecodeBitmapRuns(const uint8_t* rec, int64_t volumeClusters, uint64_t capBytes, uint64_t clusterBytes,
                      std::vector<Run>& runs) {
  uint32_t off = Le16(rec + 20);
  uint32_t len = 0;
  for (;;) {
    if (off + 8 > kMftRecordBytes) return false;
    const uint32_t type = Le32(rec + off);
    if (type == 0xFFFFFFFFu) return false;  // end of the attributes: no data attribute
    len = Le32(rec + off + 4);
    if (len == 0 || len > kMftRecordBytes - off) return false;
    if (type == 0x80) break;
    off += len;
  }
  if (len < 0x40 || rec[off + 8] != 1) return false;  // $Bitmap's data is never resident
  const uint32_t runOffset = Le16(rec + off + 32);
  if (runOffset >= len) return false;
  size_t p = off + runOffset;
  const size_t end = size_t(off) + len;
  int64_t prev = 0;
  uint64_t total = 0;
  while (p < end && rec[p] != 0) {
    const uint8_t h = rec[p];
    const unsigned lenBytes = h & 0x0F, lcnBytes = h >> 4;
    // A run without a cluster field is sparse, which $Bitmap never is.
    if (lenBytes == 0 || lenBytes > 8 || lcnBytes == 0 || lcnBytes > 8) return false;
    if (p + 1 + lenBytes + lcnBytes > end) return false;
    uint64_t length = 0;
    for (unsigned i = 0; i < lenBytes; ++i) length |= uint64_t(rec[p + 1 + i]) << (8 * i);
    uint64_t raw = 0;
    for (unsigned i = 0; i < lcnBytes; ++i) raw |= uint64_t(rec[p + 1 + lenBytes + i]) << (8 * i);
    if (lcnBytes < 8 && (raw >> (8 * lcnBytes - 1)) & 1) raw |= ~uint64_t(0) << (8 * lcnBytes);
    const int64_t delta = int64_t(raw);
    if (length == 0 || length > uint64_t(std::numeric_limits<int64_t>::max() / 2)) return false;
    if ((delta > 0 && prev > std::numeric_limits<int64_t>::max() - delta) ||
        (delta < 0 && prev < std::numeric_limits<int64_t>::min() - delta))
      return false;
    const int64_t lcn = prev + delta;
    if (lcn < 0) return false;
    if (volumeClusters > 0 && (lcn >= volumeClusters || int64_t(length) > volumeClusters - lcn)) return false;
    for (const Run& r : runs)  // a run list that comes back over itself is damaged
      if (lcn < r.lcn + r.length && r.lcn < lcn + int64_t(length)) return false;
    total += length;
    if (total > capBytes / clusterBytes) return false;
    runs.push_back({lcn, int64_t(length)});
    prev = lcn;
    p += 1 + lenBytes + lcnBytes;
  }
  return !runs.empty();
}

bool LoadNtfsBitmap(const DataSource& ds, SectorReader& reader, Person& person, std::vector<uint8_t>& bits) {
  const int64_t spc = ds.sectorsPerCluster;
  if (spc <= 0) return false;
  const uint64_t maxCluster = (uint64_t(std::numeric_limits<int64_t>::max()) - 12) / uint64_t(spc);
  if (ds.mftStartCluster > maxCluster) return false;
  const int64_t recordSector = int64_t(ds.mftStartCluster) * spc + 12;
  uint8_t rec[kMftRecordBytes];
  std::memset(rec, 0, sizeof rec);
  if (!reader.ReadSectors(kMftRecordBytes / kSectorSize, rec, recordSector)) {
    person.Message("读bitmap错误sec" + std::to_string(recordSector), kCaptionHint);
    return false;
  }
  if (!ApplyFixups(rec)) return false;

  const int64_t volume = VolumeSectors(ds, reader);
  const int64_t volumeClusters = volume > 0 ? volume / spc : -1;
  const uint64_t clusterBytes = uint64_t(spc) * kSectorSize;
  uint64_t capBytes = kMaxNtfsBitmapBytes;
  if (volumeClusters > 0) {
    // One bit per cluster, in whole clusters, and one cluster of slack.
    const uint64_t need = (uint64_t(volumeClusters) + 7) / 8;
    capBytes = std::min(capBytes, (need + clusterBytes - 1) / clusterBytes * clusterBytes + clusterBytes);
  }
  std::vector<Run> runs;
  if (!DecodeBitmapRuns(rec, volumeClusters, capBytes, clusterBytes, runs)) return false;

  uint64_t total = 0;
  for (const Run& r : runs) total += uint64_t(r.length) * clusterBytes;
  bits.reserve(size_t(total));
  for (const Run& r : runs) {
    const int64_t firstSector = r.lcn * spc;
    const int64_t sectors = r.length * spc;
    for (int64_t done = 0; done < sectors;) {
      const uint32_t n = uint32_t(std::min<int64_t>(kBitmapReadSectors, sectors - done));
      const size_t base = bits.size();
      bits.resize(base + size_t(n) * kSectorSize, 0);
      if (!reader.ReadSectors(n, bits.data() + base, firstSector + done)) {
        person.Message("512bitmaperror1sec" + std::to_string(firstSector), kCaptionHint);
        person.Message("error,写bitmap内容失败", kCaptionHint);
        return false;
      }
      done += n;
    }
  }
  return true;
}

}  // namespace

bool FreeSpaceMap::ClusterInUse(int64_t cluster) const {
  if (cluster < 0) return false;
  const uint64_t byte = uint64_t(cluster) >> 3;
  if (byte >= bits_.size()) return false;
  return (bits_[size_t(byte)] >> (cluster & 7)) & 1;
}

void FreeSpaceMap::SetLookup(std::string_view fileSystemName, int64_t dataStartSector, int32_t sectorsPerCluster) {
  kind_ = fileSystemName == "FAT32" ? Kind::Fat32 : fileSystemName == "NTFS" ? Kind::Ntfs : Kind::Other;
  dataStartSector_ = dataStartSector;
  sectorsPerCluster_ = sectorsPerCluster;
}

bool FreeSpaceMap::IsClusterInUse(int64_t sector) const {
  if (sectorsPerCluster_ <= 0) return false;
  switch (kind_) {
    case Kind::Fat32:
      // The reserved sectors and the FATs are the file system's own.
      if (sector < dataStartSector_) return true;
      return ClusterInUse((sector - dataStartSector_) / sectorsPerCluster_ + 2);
    case Kind::Ntfs:
      if (sector < 0) return false;
      return ClusterInUse(sector / sectorsPerCluster_);
    case Kind::Other:
      break;
  }
  return false;
}

bool LoadFreeSpaceMap(const DataSource& ds, SectorReader& reader, Person& person, FreeSpaceMap& map) {
  map.bits_.clear();
  map.SetLookup(ds.fileSystemName, ds.dataStartSector, ds.sectorsPerCluster);
  if (ds.fileSystemName == "FAT32") return LoadFat32(ds, reader, person, map.bits_);
  if (ds.fileSystemName == "NTFS") {
    if (LoadNtfsBitmap(ds, reader, person, map.bits_)) return true;
    person.Message("取$bitmap文件失败", kCaptionHint);
    return false;
  }
  return true;
}

}  // namespace sorrelon
