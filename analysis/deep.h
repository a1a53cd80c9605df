// Deep recovery: getting pages back where the plain algorithm gives up.
// ClusterGeometry tells where clusters begin around a sector (the volume's
// own boot sector, or on a whole disk the partition that holds the sector).
// DeepMender rebuilds a page split across runs of clusters: first in the
// order in which the file system hands out free clusters (read from each
// volume's own allocation map, also on a whole disk), then by a search
// guided by the page checksum over the clusters that follow; a rebuilt page
// is used only when its protection and its structure confirm it (a page
// without protection: its structure, and only in allocation order).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "catalogue/fragment_reader.h"
#include "scan/free_space.h"
#include "storage/data_source.h"
#include "storage/partition_table.h"
#include "storage/sector_reader.h"

namespace sorrelon {

class ClusterGeometry {
 public:
  // Reads the boot sector of a volume source, or the partition table and the
  // boot sectors of a whole disk. Falls back on ds.sectorsPerCluster with
  // clusters counted from sector 0.
  void Load(const DataSource& ds, SectorReader& reader);
  bool Loaded() const { return loaded_; }
  // Load, unless done already.
  void LoadOnce(const DataSource& ds, SectorReader& reader) {
    if (!loaded_) Load(ds, reader);
  }
  // The layout of the volume holding `sector`.
  ClusterLayout At(int64_t sector) const;
  // page::SplitCuts on the cluster boundaries of the volume holding the page
  // at `pageSector`, continued by the fragment at `nextStart`.
  std::vector<int> SplitCuts(int64_t pageSector, int64_t nextStart) const;

 private:
  bool loaded_ = false;
  std::vector<ClusterLayout> volumes_;
  ClusterLayout fallback_;
};

class DeepMender : public PageMender {
 public:
  DeepMender(const DataSource& ds, SectorReader& reader) : ds_(ds), reader_(reader) {}

  bool Mend(int64_t sector, uint8_t* page) override;
  bool FoundInPlace(int64_t sector) const override { return inPlace_.count(sector) > 0; }
  bool Ambiguous(int64_t sector) const override { return ambiguous_.count(sector) > 0; }

  // Forgets the cache and the geometry (a new source or a new scan).
  void Reset();
  // Sectors after a page's first piece searched for its other pieces. (Not
  // before it: sectors whose words cancel in the checksum, all zero or one
  // repeated word, let pieces from elsewhere pass for the page's own, and
  // searching back as far as forward made more pages ambiguous than it
  // found.)
  int64_t searchWindowSectors = 4096;

 private:
  std::optional<std::vector<uint8_t>> Rebuild(int64_t sector, const uint8_t* page, int64_t pageNumber, uint16_t fileId);
  std::optional<std::vector<uint8_t>> InAllocationOrder(int64_t sector, const ClusterLayout& l, int64_t pageNumber,
                                                        uint16_t fileId);
  // The allocation map of the volume `l`, loaded on first use; null when the
  // volume's file system or its map cannot be read.
  const FreeSpaceMap* MapOf(const ClusterLayout& l);
  std::optional<std::vector<uint8_t>> ByChecksum(int64_t sector, const uint8_t* page, const ClusterLayout& l,
                                                 int64_t pageNumber, uint16_t fileId);

  const DataSource& ds_;
  SectorReader& reader_;
  ClusterGeometry geometry_;
  std::map<int64_t, std::optional<FreeSpaceMap>> maps_;  // by the volume's first sector
  std::map<int64_t, std::optional<std::vector<uint8_t>>> cache_;
  std::set<int64_t> inPlace_;    // sectors of unprotected pages whole as read
  std::set<int64_t> ambiguous_;  // sectors of pages with several confirmed reassemblies
};

struct AnalysisContext;

// Deep recovery: database-file rows whose page 0 the scan could not read
// whole ("无效文件头") named from page 0 as deep recovery reads it (its page
// count) and from the page 32 nearest after it on the source, as
// "name(size)" in the row's file-name cell (the stored record is unchanged).
void NameUnreadHeaders(AnalysisContext& ctx, uint16_t fileId);

}  // namespace sorrelon
