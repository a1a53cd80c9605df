// Reads the sectors of one volume of a larger source (a partition of a whole
// disk), addressed from the volume's first sector, so that code written for
// a volume source (boot sector at sector 0, cluster maps) works on it.
#pragma once

#include <cstdint>

#include "storage/sector_reader.h"

namespace sorrelon {

class VolumeReader : public SectorReader {
 public:
  // `ds` is the descriptor of the whole source; `first` and `sectors` the
  // volume's extent on it.
  VolumeReader(const DataSource& ds, SectorReader& whole, int64_t first, int64_t sectors)
      : SectorReader(ds), whole_(whole), first_(first), sectors_(sectors) {}

  // As SectorReader: a read past the volume's end is cut there and the cut
  // part zero-filled; a read before its start fails.
  int64_t ReadSectorsUpTo(uint32_t count, void* buf, int64_t first) override;
  int64_t SourceSectors() override { return sectors_; }

 private:
  SectorReader& whole_;
  int64_t first_;
  int64_t sectors_;
};

}  // namespace sorrelon
