#include "storage/partition_table.h"

#include <cstring>

#include "base/bytes.h"

namespace sorrelon {
namespace {

bool IsExtended(uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

int64_t SaneSectors(int64_t v) { return v < 0 ? 0 : v; }

}  // namespace

std::optional<std::vector<Partition>> ParseMbr(const uint8_t* s) {
  if (s[510] != 0x55 || s[511] != 0xAA) return std::nullopt;
  std::vector<Partition> out;
  for (int i = 0; i < 4; ++i) {
    const uint8_t* e = s + 446 + 16 * i;
    const uint8_t type = e[4];
    const int64_t first = Le32(e + 8), count = Le32(e + 12);
    if (type == 0 || count == 0) continue;
    out.push_back({first, count, type});
  }
  return out;
}

std::optional<GptHeader> ParseGptHeader(const uint8_t* h) {
  if (std::memcmp(h, "EFI PART", 8) != 0) return std::nullopt;
  GptHeader g;
  const uint64_t lba = Le64(h + 72);
  g.entryCount = Le32(h + 80);
  g.entrySize = Le32(h + 84);
  if (lba < 2 || lba > (uint64_t(1) << 40)) return std::nullopt;
  if (g.entrySize < 128 || g.entrySize > 4096 || g.entrySize % 8 != 0) return std::nullopt;
  if (g.entryCount == 0 || g.entryCount > 4096) return std::nullopt;
  g.entriesLba = int64_t(lba);
  return g;
}

std::vector<Partition> ParseGptEntries(std::span<const uint8_t> entries, uint32_t entrySize) {
  std::vector<Partition> out;
  if (entrySize < 128) return out;
  for (size_t off = 0; off + entrySize <= entries.size(); off += entrySize) {
    const uint8_t* e = entries.data() + off;
    bool used = false;
    for (int i = 0; i < 16; ++i) used |= e[i] != 0;
    if (!used) continue;
    const uint64_t first = Le64(e + 32), last = Le64(e + 40);
    if (first > last || last >= (uint64_t(1) << 48)) continue;
    out.push_back({int64_t(first), int64_t(last - first + 1), 0xEE});
  }
  return out;
}

std::vector<Partition> ReadPartitionTable(SectorReader& reader) {
  std::vector<Partition> out;
  uint8_t s0[512];
  if (!reader.ReadSectors(1, s0, 0)) return out;
  auto mbr = ParseMbr(s0);
  if (!mbr) return out;
  const bool protective = mbr->size() == 1 && (*mbr)[0].mbrType == 0xEE;
  if (protective) {
    uint8_t h[512];
    if (!reader.ReadSectors(1, h, 1)) return out;
    auto g = ParseGptHeader(h);
    if (!g) return out;
    const uint64_t bytes = uint64_t(g->entryCount) * g->entrySize;
    std::vector<uint8_t> entries(size_t((bytes + 511) / 512 * 512));
    if (!reader.ReadSectors(uint32_t(entries.size() / 512), entries.data(), g->entriesLba)) return out;
    entries.resize(size_t(bytes));
    return ParseGptEntries(entries, g->entrySize);
  }
  for (const Partition& p : *mbr) {
    if (!IsExtended(p.mbrType)) {
      out.push_back(p);
      continue;
    }
    // Logical partitions: each extended boot record holds one partition
    // (relative to itself) and a link to the next record (relative to the
    // extended partition's start).
    const int64_t base = p.firstSector;
    int64_t ebr = base;
    for (int hop = 0; hop < 128; ++hop) {
      uint8_t e[512];
      if (!reader.ReadSectors(1, e, ebr)) break;
      auto entries = ParseMbr(e);
      if (!entries) break;
      int64_t next = -1;
      for (const Partition& q : *entries) {
        if (IsExtended(q.mbrType)) next = base + q.firstSector;
        else out.push_back({ebr + q.firstSector, q.sectors, q.mbrType});
      }
      if (next <= ebr) break;  // links only go forward: no loops
      ebr = next;
    }
  }
  return out;
}

std::optional<ClusterLayout> LayoutFromBootSector(const uint8_t* b, int64_t firstSector, int64_t sectors) {
  if (b[510] != 0x55 || b[511] != 0xAA) return std::nullopt;
  ClusterLayout l;
  l.firstSector = firstSector;
  l.sectors = SaneSectors(sectors);
  l.fromFileSystem = true;
  if (std::memcmp(b + 3, "NTFS", 4) == 0) {
    const uint8_t v = b[13];
    // Values above 0x80 give the cluster size as a power of two in bytes.
    int64_t spc = v <= 0x80 ? v : (int64_t(1) << (256 - v)) / 512;
    if (Le16(b + 11) != 512 || spc < 1 || spc > 4096) return std::nullopt;
    l.sectorsPerCluster = int32_t(spc);
    l.clusterOrigin = firstSector;
    return l;
  }
  if (std::memcmp(b + 82, "FAT32", 5) == 0) {
    const int64_t spc = b[13], reserved = Le16(b + 14), fats = b[16], fatSize = Le32(b + 36);
    if (Le16(b + 11) != 512 || spc < 1 || (spc & (spc - 1)) != 0 || fats < 1 || fats > 4) return std::nullopt;
    l.sectorsPerCluster = int32_t(spc);
    l.clusterOrigin = firstSector + reserved + fats * fatSize;
    return l;
  }
  return std::nullopt;
}

std::vector<ClusterLayout> ReadVolumeLayouts(SectorReader& reader) {
  std::vector<ClusterLayout> out;
  for (const Partition& p : ReadPartitionTable(reader)) {
    uint8_t b[512];
    if (!reader.ReadSectors(1, b, p.firstSector)) continue;
    if (auto l = LayoutFromBootSector(b, p.firstSector, p.sectors)) out.push_back(*l);
  }
  return out;
}

}  // namespace sorrelon
