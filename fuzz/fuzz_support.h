// Shared pieces of the fuzz targets: an in-memory volume read through the
// sector reader's interface, fragment pages served as content-mode reads, and
// an abort for a broken expectation.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "catalogue/fragment_reader.h"
#include "storage/sector_reader.h"
#include "tests/support/memory_source.h"

namespace sorrelon::fuzz {

inline void Check(bool ok) {
  if (!ok) std::abort();
}

// The bytes of a small volume or image. Reads behave as the file-backed
// reader's: a read running past the end is cut at the last sector and the
// rest of the buffer is zero-filled; a read starting past the end fails.
class MemoryReader final : public SectorReader {
 public:
  MemoryReader(const DataSource& ds, std::vector<uint8_t> bytes) : SectorReader(ds), bytes_(std::move(bytes)) {
    bytes_.resize((bytes_.size() + 511) / 512 * 512, 0);
  }
  int64_t ReadSectorsUpTo(uint32_t count, void* buf, int64_t first) override {
    ++reads;
    if (count == 0) return 0;
    const int64_t have = SourceSectors();
    if (first < 0 || first >= have) return -1;
    const int64_t n = std::min<int64_t>(count, have - first);
    std::memcpy(buf, bytes_.data() + size_t(first) * 512, size_t(n) * 512);
    if (n < int64_t(count)) std::memset(static_cast<uint8_t*>(buf) + n * 512, 0, size_t(count - n) * 512);
    return n;
  }
  int64_t SourceSectors() override { return int64_t(bytes_.size() / 512); }
  const std::vector<uint8_t>& bytes() const { return bytes_; }
  int64_t reads = 0;

 private:
  std::vector<uint8_t> bytes_;
};

// Fragment contents by start sector, served as content-mode reads: the
// tests' in-memory source.
using PagesSource = test::MemorySource;

}  // namespace sorrelon::fuzz
