// Fragments held in memory and served as content-mode reads, so analysis
// and writer tests build exactly the pages they need without a disk image.
#pragma once

#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "catalogue/fragment_reader.h"

namespace sorrelon::test {

class MemorySource : public ContentSource {
 public:
  // Pages of the fragment that starts at `startSector`; the lead-in (15
  // sectors before it) may be set too.
  std::map<int64_t, std::vector<uint8_t>> pages;
  std::map<int64_t, std::vector<uint8_t>> leadIns;
  std::set<std::pair<int64_t, int32_t>> failing;  // (start sector, offset) reads that fail
  int reads = 0;

  bool ReadContentSectors(int32_t offset, uint32_t count, int64_t start, void* buf) override {
    ++reads;
    if (failing.count({start, offset})) return false;
    if (offset == -15) {
      auto it = leadIns.find(start);
      if (it == leadIns.end() || count != 15) return false;
      std::memcpy(buf, it->second.data(), 15 * 512);
      return true;
    }
    auto it = pages.find(start);
    if (it == pages.end() || offset < 0) return false;
    size_t from = size_t(offset) * 512, len = size_t(count) * 512;
    if (from + len > it->second.size()) return false;
    std::memcpy(buf, it->second.data() + from, len);
    return true;
  }
};

}  // namespace sorrelon::test
