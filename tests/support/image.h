// Small in-memory disk images for tests: place pages or bytes at sectors,
// write to a file, and a reader that fails chosen sectors.
#pragma once

#include <cstdint>
#include <filesystem>
#include <set>
#include <vector>

#include "storage/sector_reader.h"

namespace sorrelon::test {

// A page header that passes the plausible-page test for `fileId` (type 1
// data page unless given), optionally with prev/next links and an object id.
std::vector<uint8_t> SimplePage(int32_t pageId, uint16_t fileId = 1, uint8_t type = 1, int32_t objectId = 1000);

class Image {
 public:
  explicit Image(int64_t sectors, uint32_t noiseSeed = 0);  // seed 0: zeros
  void Put(int64_t sector, const std::vector<uint8_t>& bytes);
  void Put(int64_t sector, const uint8_t* bytes, size_t len);
  // Pages [first, first + count) of a database file image at `sector`.
  void PutPages(int64_t sector, const std::vector<uint8_t>& file, int64_t firstPage, int64_t count);
  void Write(const std::filesystem::path& p) const;
  std::vector<uint8_t>& bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

// A sector reader that fails every read touching one of `bad`.
class FaultyReader : public SectorReader {
 public:
  FaultyReader(const DataSource& ds, std::set<int64_t> bad) : SectorReader(ds), bad_(std::move(bad)) {}
  int64_t ReadSectorsUpTo(uint32_t count, void* buf, int64_t first) override {
    auto it = bad_.lower_bound(first);
    if (count && it != bad_.end() && *it < first + int64_t(count)) return -1;
    return SectorReader::ReadSectorsUpTo(count, buf, first);
  }

 private:
  std::set<int64_t> bad_;
};

}  // namespace sorrelon::test
