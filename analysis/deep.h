// Deep recovery: getting pages back where the plain algorithm gives up.
// ClusterGeometry tells where clusters begin around a sector (the volume's
// own boot sector, or on a whole disk the partition that holds the sector).
// DeepMender rebuilds a page split across runs of clusters: first in the
// order in which the file system hands out free clusters, then by a search
// guided by the page checksum over the clusters that follow; a rebuilt page
// is used only when its protection and its structure confirm it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "catalogue/fragment_reader.h"
#include "storage/data_source.h"
#include "storage/partition_table.h"
#include "storage/sector_reader.h"

namespace sorrelon {

class FreeSpaceMap;

class ClusterGeometry {
 public:
  // Reads the boot sector of a volume source, or the partition table and the
  // boot sectors of a whole disk. Falls back on ds.sectorsPerCluster with
  // clusters counted from sector 0.
  void Load(const DataSource& ds, SectorReader& reader);
  bool Loaded() const { return loaded_; }
  // The layout of the volume holding `sector`.
  ClusterLayout At(int64_t sector) const;
  // Whether `sector` begins a cluster.
  bool IsClusterStart(int64_t sector) const;

 private:
  bool loaded_ = false;
  std::vector<ClusterLayout> volumes_;
  ClusterLayout fallback_;
};

class DeepMender : public PageMender {
 public:
  DeepMender(const DataSource& ds, SectorReader& reader, const FreeSpaceMap& freeSpace)
      : ds_(ds), reader_(reader), freeSpace_(freeSpace) {}

  bool Mend(int64_t sector, uint8_t* page) override;

  // Forgets the cache and the geometry (a new source or a new scan).
  void Reset();
  // Sectors after a page's first piece searched for its other pieces.
  int64_t searchWindowSectors = 4096;
  // Page numbers answered with a reassembled page.
  const std::set<int64_t>& MendedPages() const { return mended_; }
  // Log lines for pages whose reassembly stayed ambiguous.
  std::vector<std::string> notes;

 private:
  std::optional<std::vector<uint8_t>> Rebuild(int64_t sector, const uint8_t* page, int64_t pageNumber, uint16_t fileId);
  std::optional<std::vector<uint8_t>> InAllocationOrder(int64_t sector, const ClusterLayout& l, int64_t pageNumber,
                                                        uint16_t fileId);
  std::optional<std::vector<uint8_t>> ByChecksum(int64_t sector, const uint8_t* page, const ClusterLayout& l,
                                                 int64_t pageNumber, uint16_t fileId);

  const DataSource& ds_;
  SectorReader& reader_;
  const FreeSpaceMap& freeSpace_;
  ClusterGeometry geometry_;
  std::map<int64_t, std::optional<std::vector<uint8_t>>> cache_;
  std::set<int64_t> mended_;
};

}  // namespace sorrelon
