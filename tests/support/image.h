// Small in-memory disk images for tests: place pages or bytes at sectors,
// write to a file, and a reader that fails chosen sectors.
#pragma once

#include <cstdint>
#include <cstring>
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

// A sector reader that fails every read touching one of `bad`, and, once
// SetEnd is called, cuts reads short at that sector as a source that ends
// early does (the rest of the buffer zero-filled; reads from there on fail).
class FaultyReader : public SectorReader {
 public:
  FaultyReader(const DataSource& ds, std::set<int64_t> bad) : SectorReader(ds), bad_(std::move(bad)) {}
  void SetBad(std::set<int64_t> bad) { bad_ = std::move(bad); }
  void SetEnd(int64_t end) { end_ = end; }
  int64_t ReadSectorsUpTo(uint32_t count, void* buf, int64_t first) override {
    ++reads;
    auto it = bad_.lower_bound(first);
    if (count && it != bad_.end() && *it < first + int64_t(count)) return -1;
    if (count && end_ >= 0 && first + int64_t(count) > end_) {
      if (first >= end_) return -1;
      const uint32_t n = uint32_t(end_ - first);
      const int64_t got = SectorReader::ReadSectorsUpTo(n, buf, first);
      if (got < 0) return got;
      std::memset(static_cast<uint8_t*>(buf) + size_t(got) * 512, 0, size_t(count - uint32_t(got)) * 512);
      return got;
    }
    return SectorReader::ReadSectorsUpTo(count, buf, first);
  }
  int64_t reads = 0;  // calls, failed ones included

 private:
  std::set<int64_t> bad_;
  int64_t end_ = -1;
};

}  // namespace sorrelon::test
