// Deep recovery: the cluster geometry of the source and the reassembly of
// pages split across runs of clusters.
#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "analysis/deep.h"
#include "base/bytes.h"
#include "page/page.h"
#include "page/reassembly.h"
#include "scan/free_space.h"

namespace sorrelon {
namespace {

int64_t FloorMod(int64_t a, int64_t m) {
  int64_t r = a % m;
  return r < 0 ? r + m : r;
}

}  // namespace

void ClusterGeometry::Load(const DataSource& ds, SectorReader& reader) {
  loaded_ = true;
  volumes_.clear();
  fallback_ = {};
  fallback_.sectorsPerCluster = ds.sectorsPerCluster > 0 ? ds.sectorsPerCluster : 1;
  fallback_.sectors = INT64_MAX;
  uint8_t s0[512];
  if (!ds.sourceChosen || !reader.ReadSectors(1, s0, 0)) return;
  const int64_t total = reader.SourceSectors();
  if (auto l = LayoutFromBootSector(s0, 0, total > 0 ? total : INT64_MAX)) {
    volumes_.push_back(*l);  // a volume source: its own boot sector
    return;
  }
  volumes_ = ReadVolumeLayouts(reader);
}

ClusterLayout ClusterGeometry::At(int64_t sector) const {
  for (const ClusterLayout& l : volumes_)
    if (sector >= l.firstSector && sector - l.firstSector < l.sectors) return l;
  return fallback_;
}

bool ClusterGeometry::IsClusterStart(int64_t sector) const {
  const ClusterLayout l = At(sector);
  return FloorMod(sector - l.clusterOrigin, l.sectorsPerCluster) == 0;
}

void DeepMender::Reset() {
  cache_.clear();
  mended_.clear();
  notes.clear();
  geometry_ = {};
}

bool DeepMender::Mend(int64_t sector, uint8_t* page) {
  if (!page::HasProtection(page)) return false;
  const uint16_t fileId = Le16(page + page::off::fileId);
  const bool header0 = page::IsFileHeaderPage(page, fileId);
  if (!header0 && !page::IsPlausibleHeader(page, fileId)) return false;
  const int64_t pageNumber = header0 ? 0 : LeI32(page + page::off::pageId);
  // Torn bits check two bits a sector, and the free space of other pages
  // carries the same pattern: the structure must agree as well.
  if (page::IsPageConfirmed(page, pageNumber, fileId)) return false;
  auto it = cache_.find(sector);
  if (it == cache_.end()) it = cache_.emplace(sector, Rebuild(sector, page, pageNumber, fileId)).first;
  if (!it->second) return false;
  std::memcpy(page, it->second->data(), page::kPageBytes);
  mended_.insert(pageNumber);
  return true;
}

std::optional<std::vector<uint8_t>> DeepMender::Rebuild(int64_t sector, const uint8_t* page, int64_t pageNumber,
                                                        uint16_t fileId) {
  if (!geometry_.Loaded()) geometry_.Load(ds_, reader_);
  const ClusterLayout l = geometry_.At(sector);
  if (l.sectorsPerCluster >= 16) return std::nullopt;  // a page never spans clusters there
  if (auto p = InAllocationOrder(sector, l, pageNumber, fileId)) return p;
  return ByChecksum(sector, page, l, pageNumber, fileId);
}

// The page in the clusters the file system would have given the file next:
// after the cluster holding the header, the following clusters that no live
// file holds. A deleted file's clusters are free again while the files that
// lay between its runs still hold theirs, so this order is the file's own.
std::optional<std::vector<uint8_t>> DeepMender::InAllocationOrder(int64_t sector, const ClusterLayout& l,
                                                                  int64_t pageNumber, uint16_t fileId) {
  if (!ds_.hasFileSystem || freeSpace_.Bytes().empty() || freeSpace_.SectorsPerCluster() != l.sectorsPerCluster)
    return std::nullopt;
  std::vector<uint8_t> out(page::kPageBytes);
  const int spc = l.sectorsPerCluster;
  int64_t s = sector;
  int have = 0;
  bool moved = false;
  while (have < 16) {
    // Sectors up to the end of the current cluster, one read.
    const int64_t inCluster = spc - FloorMod(s - l.clusterOrigin, spc);
    const int take = int(std::min<int64_t>(inCluster, 16 - have));
    if (!reader_.ReadSectors(uint32_t(take), out.data() + size_t(have) * 512, s)) return std::nullopt;
    have += take;
    s += take;
    if (have == 16) break;
    // Next free cluster; give up after a long stretch of used ones.
    int64_t skipped = 0;
    while (freeSpace_.IsClusterInUse(s)) {
      s += spc;
      moved = true;
      if (++skipped > (int64_t(1) << 20)) return std::nullopt;
    }
  }
  if (!moved) return std::nullopt;  // the same bytes as the plain read
  if (!page::IsPageConfirmed(out.data(), pageNumber, fileId)) return std::nullopt;
  return out;
}

// A checksum-protected page in two or three pieces: its first piece runs from
// its header up to a cluster boundary, the others begin at cluster
// boundaries further on. The checksum is an exclusive or of each sector's
// folded words turned by the sector's position, so the part of every piece
// is computed once per place and the pieces are matched through a table.
// Exactly one candidate must pass the checksum and the structure checks.
std::optional<std::vector<uint8_t>> DeepMender::ByChecksum(int64_t sector, const uint8_t* page,
                                                           const ClusterLayout& l, int64_t pageNumber,
                                                           uint16_t fileId) {
  if ((page[5] & 0x0F) != 2) return std::nullopt;  // torn bits are too weak to search with
  const int spc = l.sectorsPerCluster;
  const int64_t W = searchWindowSectors;
  // Sectors [sector, sector + 16 + W) in one buffer.
  int64_t count = 16 + W;
  const int64_t have = reader_.SourceSectors();
  if (have > 0 && sector + count > have) count = have - sector;
  if (count <= 16) return std::nullopt;
  std::vector<uint8_t> buf(size_t(count) * 512);
  const int64_t got = reader_.ReadSectorsUpTo(uint32_t(count), buf.data(), sector);
  if (got <= 16) return std::nullopt;
  count = got;
  // fold[j]: exclusive or of the words of sector `sector + j`.
  std::vector<uint32_t> fold(static_cast<size_t>(count));
  for (int64_t j = 0; j < count; ++j) {
    uint32_t x = 0;
    const uint8_t* s = buf.data() + size_t(j) * 512;
    for (int w = 0; w < 128; ++w) x ^= Le32(s + 4 * w);
    fold[size_t(j)] = x;
  }
  const uint32_t target = Le32(page + page::off::tornBits);
  auto part = [&](int64_t at, int from, int len) {  // sectors at..at+len-1 placed at positions from..
    uint32_t x = 0;
    for (int i = 0; i < len; ++i) x ^= RotL32(fold[size_t(at + i)], unsigned(15 - (from + i)));
    return x;
  };
  // First piece: the header's own sectors (its checksum word left out).
  std::vector<uint32_t> head(17, 0);
  {
    uint32_t x = 0;
    for (int i = 0; i < 16; ++i) {
      uint32_t sec = 0;
      const uint8_t* s = page + i * 512;
      for (int w = 0; w < 128; ++w) sec ^= Le32(s + 4 * w);
      if (i == 0) sec ^= target;
      x ^= RotL32(sec, unsigned(15 - i));
      head[size_t(i + 1)] = x;
    }
  }
  auto isStart = [&](int64_t j) { return FloorMod(sector + j - l.clusterOrigin, spc) == 0; };
  std::vector<int> cuts;
  for (int a = 1; a < 16; ++a)
    if (isStart(a)) cuts.push_back(a);

  struct Candidate {
    int a, b;
    int64_t l1, l2;
  };
  std::vector<Candidate> found;
  auto record = [&](Candidate c) {
    if (found.size() < 8) found.push_back(c);
  };
  // Two pieces: first a sectors, then 16 - a sectors at l1.
  for (int a : cuts)
    for (int64_t l1 = a; l1 + (16 - a) <= count; ++l1) {
      if (!isStart(l1) || l1 == a) continue;
      if ((head[size_t(a)] ^ part(l1, a, 16 - a)) == target) record({a, 16 - a, l1, -1});
    }
  // Three pieces: a sectors, then b at l1, then c = 16 - a - b at l2 > l1.
  std::unordered_map<uint32_t, std::vector<int64_t>> tails[16];
  for (int a : cuts)
    for (int b = spc; a + b < 16; b += spc) {
      const int c = 16 - a - b;
      if (tails[c].empty())
        for (int64_t l2 = 0; l2 + c <= count; ++l2)
          if (isStart(l2)) tails[c][part(l2, 16 - c, c)].push_back(l2);
      for (int64_t l1 = a + 1; l1 + b <= count; ++l1) {
        if (!isStart(l1)) continue;
        auto hit = tails[c].find(target ^ head[size_t(a)] ^ part(l1, a, b));
        if (hit == tails[c].end()) continue;
        for (int64_t l2 : hit->second)
          if (l2 >= l1 + b) record({a, b, l1, l2});
      }
    }

  std::optional<std::vector<uint8_t>> chosen;
  int confirmed = 0;
  for (const Candidate& c : found) {
    std::vector<uint8_t> p(page, page + page::kPageBytes);
    if (c.l2 < 0) {
      std::memcpy(p.data() + c.a * 512, buf.data() + size_t(c.l1) * 512, size_t(16 - c.a) * 512);
    } else {
      std::memcpy(p.data() + c.a * 512, buf.data() + size_t(c.l1) * 512, size_t(c.b) * 512);
      std::memcpy(p.data() + (c.a + c.b) * 512, buf.data() + size_t(c.l2) * 512, size_t(16 - c.a - c.b) * 512);
    }
    if (!page::IsPageConfirmed(p.data(), pageNumber, fileId)) continue;
    if (chosen && *chosen == p) continue;  // the same page found twice
    ++confirmed;
    if (!chosen) chosen = std::move(p);
  }
  if (confirmed == 1) return chosen;
  if (confirmed > 1)
    notes.push_back("页面" + std::to_string(pageNumber) + "有多个可能的拼接,未采用(AMBIGUOUS REASSEMBLY)");
  return std::nullopt;
}

}  // namespace sorrelon
