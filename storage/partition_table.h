// The partition table of a whole disk (MBR with its extended-partition chain,
// or GPT behind a protective MBR) and the cluster layout of the volumes it
// holds, so that work on a whole-disk source can use the cluster size of the
// partition that holds a sector instead of one sector per cluster.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "storage/sector_reader.h"

namespace sorrelon {

struct Partition {
  int64_t firstSector = 0;
  int64_t sectors = 0;
  uint8_t mbrType = 0;  // 0xEE for every GPT entry
};

// The four primary entries of an MBR sector (512 bytes). nullopt when the
// sector carries no 0x55AA signature. Empty entries are left out; entries
// of an extended partition (types 0x05, 0x0F, 0x85) are kept as they are.
std::optional<std::vector<Partition>> ParseMbr(const uint8_t* sector0);

struct GptHeader {
  int64_t entriesLba = 0;
  uint32_t entryCount = 0;
  uint32_t entrySize = 0;
};
// The GPT header sector (LBA 1): "EFI PART", a sane entry size (128 to 4096,
// a multiple of 8) and count (at most 4096).
std::optional<GptHeader> ParseGptHeader(const uint8_t* lba1);
// Used entries of a GPT entry array (`entrySize` bytes each): a non-zero type
// GUID and first <= last LBA.
std::vector<Partition> ParseGptEntries(std::span<const uint8_t> entries, uint32_t entrySize);

// Every partition of the disk: GPT when sector 0 is a protective MBR, else
// the MBR's primary partitions and the logical ones of its extended chain
// (followed for at most 128 links). Empty when sector 0 holds no table.
std::vector<Partition> ReadPartitionTable(SectorReader& reader);

// Where clusters begin and how large they are inside one volume. Cluster k
// begins at clusterOrigin + k x sectorsPerCluster (k may be negative for the
// sectors before a FAT32 volume's cluster area).
struct ClusterLayout {
  int64_t firstSector = 0;      // the volume's extent on the source
  int64_t sectors = 0;
  int64_t clusterOrigin = 0;
  int32_t sectorsPerCluster = 1;
  bool fromFileSystem = false;  // read from an NTFS or FAT32 boot sector
};

// The cluster layout of an NTFS or FAT32 boot sector of a volume starting at
// `firstSector`; nullopt for anything else.
std::optional<ClusterLayout> LayoutFromBootSector(const uint8_t* boot, int64_t firstSector, int64_t sectors);

// The layouts of the volumes of a whole disk whose boot sectors can be read.
std::vector<ClusterLayout> ReadVolumeLayouts(SectorReader& reader);

}  // namespace sorrelon
