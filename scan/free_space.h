// The map of allocated clusters of an NTFS or FAT32 volume, built from the
// volume's own allocation data (the first FAT, or the $Bitmap file), so a
// scan can skip clusters that a live file still holds.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/person.h"
#include "storage/data_source.h"
#include "storage/sector_reader.h"

namespace sorrelon {

class FreeSpaceMap {
 public:
  // Bit c (bit c % 8 of byte c / 8) is set when cluster c is allocated.
  // Clusters are FAT entry numbers on FAT32 (the first data cluster is 2) and
  // logical cluster numbers on NTFS.
  const std::vector<uint8_t>& Bytes() const { return bits_; }
  bool ClusterInUse(int64_t cluster) const;

  // How sectors map to clusters in IsClusterInUse. Loading sets all three
  // from the descriptor; the scan then stores the cluster size it scans with
  // (its step field) through SetSectorsPerCluster.
  void SetLookup(std::string_view fileSystemName, int64_t dataStartSector, int32_t sectorsPerCluster);
  void SetSectorsPerCluster(int32_t sectorsPerCluster) { sectorsPerCluster_ = sectorsPerCluster; }
  int32_t SectorsPerCluster() const { return sectorsPerCluster_; }

  // Whether the cluster holding `sector` (a volume sector) is allocated.
  // FAT32: sectors before the cluster area (reserved sectors and FATs) are in
  // use; the cluster is (sector - data start) / sectors per cluster + 2.
  // NTFS: the cluster is sector / sectors per cluster. False for any other
  // file system, for clusters the map does not reach, and when the sectors
  // per cluster are not positive.
  bool IsClusterInUse(int64_t sector) const;

  void Clear() { bits_.clear(); }

 private:
  friend bool LoadFreeSpaceMap(const DataSource&, SectorReader&, Person&, FreeSpaceMap&);
  std::vector<uint8_t> bits_;
  enum class Kind { Other, Fat32, Ntfs } kind_ = Kind::Other;
  int64_t dataStartSector_ = 0;
  int32_t sectorsPerCluster_ = 0;
};

// Replaces `map` with the allocation map of the chosen volume: the first FAT
// for "FAT32", the $Bitmap file (found through MFT record 6) for "NTFS", an
// empty map for anything else. On failure shows the messages of the load
// ("读bitmap错误sec…", "512bitmaperror1sec…", "error,写bitmap内容失败",
// "取$bitmap文件失败") and answers false. Damaged structures fail the load;
// the map never grows beyond what the volume's size calls for.
bool LoadFreeSpaceMap(const DataSource& ds, SectorReader& reader, Person& person, FreeSpaceMap& map);

}  // namespace sorrelon
