// Deep recovery: the cluster geometry of the source and the reassembly of
// pages split across runs of clusters.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <tuple>

#include "analysis/deep.h"
#include "base/bytes.h"
#include "page/page.h"
#include "page/reassembly.h"
#include "scan/free_space.h"
#include "storage/sources.h"
#include "storage/volume_reader.h"

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

std::vector<int> ClusterGeometry::SplitCuts(int64_t pageSector, int64_t nextStart) const {
  const ClusterLayout l = At(pageSector);
  return page::SplitCuts(pageSector, nextStart, l.clusterOrigin, l.sectorsPerCluster);
}

void DeepMender::Reset() {
  cache_.clear();
  inPlace_.clear();
  ambiguous_.clear();
  geometry_ = {};
  maps_.clear();
}

bool DeepMender::Mend(int64_t sector, uint8_t* page) {
  const uint16_t fileId = Le16(page + page::off::fileId);
  const bool header0 = page::IsFileHeaderPage(page, fileId);
  if (!header0 && !page::IsPlausibleHeader(page, fileId)) return false;
  const int64_t pageNumber = header0 ? 0 : LeI32(page + page::off::pageId);
  // Torn bits check two bits a sector, and the free space of other pages
  // carries the same pattern: the structure must agree as well. A page
  // without protection has only its structure, which the tail of another
  // page of the same kind passes as well: where clusters are smaller than a
  // page it is always looked for in allocation order.
  if (page::HasProtection(page) && page::IsPageConfirmed(page, pageNumber, fileId)) return false;
  auto it = cache_.find(sector);
  if (it == cache_.end()) it = cache_.emplace(sector, Rebuild(sector, page, pageNumber, fileId)).first;
  if (!it->second) return false;
  std::memcpy(page, it->second->data(), page::kPageBytes);
  return true;
}

std::optional<std::vector<uint8_t>> DeepMender::Rebuild(int64_t sector, const uint8_t* page, int64_t pageNumber,
                                                        uint16_t fileId) {
  geometry_.LoadOnce(ds_, reader_);
  const ClusterLayout l = geometry_.At(sector);
  if (l.sectorsPerCluster >= 16) return std::nullopt;  // a page never spans clusters there
  if (auto p = InAllocationOrder(sector, l, pageNumber, fileId)) return p;
  // Without protection a search would pick whatever looks like rows.
  if (!page::HasProtection(page)) return std::nullopt;
  return ByChecksum(sector, page, l, pageNumber, fileId);
}

const FreeSpaceMap* DeepMender::MapOf(const ClusterLayout& l) {
  if (!l.fromFileSystem) return nullptr;
  auto it = maps_.find(l.firstSector);
  if (it == maps_.end()) {
    std::optional<FreeSpaceMap> map;
    // The volume read as a source of its own: its boot sector at sector 0.
    VolumeReader volume(ds_, reader_, l.firstSector, l.sectors);
    DataSource vds;
    vds.sourceChosen = true;
    vds.isLogicalDrive = true;
    vds.devicePath = ds_.devicePath;
    vds.sectorBound = l.sectors - 1;
    SilentPerson quiet;
    if (ParseBootSector(vds, volume, quiet) && vds.sectorsPerCluster == l.sectorsPerCluster &&
        (vds.fileSystemName == "FAT32" || vds.fileSystemName == "NTFS")) {
      vds.hasFileSystem = true;
      map.emplace();
      if (!LoadFreeSpaceMap(vds, volume, quiet, *map) || map->Bytes().empty()) map.reset();
    }
    it = maps_.emplace(l.firstSector, std::move(map)).first;
  }
  return it->second ? &*it->second : nullptr;
}

// The page in the clusters the file system would have given the file next:
// after the cluster holding the header, the following clusters that no live
// file holds. A deleted file's clusters are free again while the files that
// lay between its runs still hold theirs, so this order is the file's own.
// The map is the volume's own (the partition's on a whole disk).
std::optional<std::vector<uint8_t>> DeepMender::InAllocationOrder(int64_t sector, const ClusterLayout& l,
                                                                  int64_t pageNumber, uint16_t fileId) {
  const FreeSpaceMap* map = MapOf(l);
  if (!map) return std::nullopt;
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
    while (map->IsClusterInUse(s - l.firstSector)) {
      s += spc;
      moved = true;
      if (++skipped > (int64_t(1) << 20)) return std::nullopt;
    }
  }
  if (!moved) {  // the same bytes as the plain read
    if (!page::HasProtection(out.data()) && page::IsPageStructureSound(out.data(), pageNumber, fileId))
      inPlace_.insert(sector);
    return std::nullopt;
  }
  if (!page::IsPageTrusted(out.data(), pageNumber, fileId)) return std::nullopt;
  return out;
}

// A checksum-protected page in two, three or four pieces: its first piece
// runs from its header up to a cluster boundary, the others begin at cluster
// boundaries after it. The checksum is an exclusive or of each sector's
// folded words turned by the sector's position, so the part of every piece
// comes from a prefix table and the pieces are matched through sorted
// tables. Every match is put together and checked at once; pages equal to
// one already confirmed count once, and exactly one page must pass the
// checksum and the structure (or, among pages that differ only in their
// unused area, where the checksum cannot see a fill of one repeated word,
// exactly one must continue the fill the page's own first sectors show).
std::optional<std::vector<uint8_t>> DeepMender::ByChecksum(int64_t sector, const uint8_t* page,
                                                           const ClusterLayout& l, int64_t pageNumber,
                                                           uint16_t fileId) {
  if ((page[5] & 0x0F) != 2) return std::nullopt;  // torn bits are too weak to search with
  const int spc = l.sectorsPerCluster;
  // Sectors [sector, sector + count) in one buffer, never past the source;
  // buffer position j is sector + j, the header at 0.
  int64_t count = 16 + searchWindowSectors;
  const int64_t have = reader_.SourceSectors();
  if (have > 0 && sector + count > have) count = have - sector;
  if (count <= 16 || count > INT32_MAX) return std::nullopt;
  std::vector<uint8_t> buf(size_t(count) * 512);
  const int64_t got = reader_.ReadSectorsUpTo(uint32_t(count), buf.data(), sector);
  if (got <= 16) return std::nullopt;
  count = got;
  // The contribution of sector j placed at position q is its fold turned
  // left by 15 - q. Turning is linear over exclusive or, so with g[j] = fold
  // of sector j turned right by j, the sectors at..at+len-1 placed at
  // positions from.. contribute (g[at] ^ .. ^ g[at+len-1]) turned left by
  // 15 - from + at: a prefix table answers any piece in constant time.
  std::vector<uint32_t> prefix(static_cast<size_t>(count) + 1, 0);
  for (int64_t j = 0; j < count; ++j)
    prefix[size_t(j) + 1] =
        prefix[size_t(j)] ^ RotL32(page::FoldSector(buf.data() + size_t(j) * 512), unsigned((32 - j % 32) % 32));
  const uint32_t target = Le32(page + page::off::tornBits);
  auto part = [&](int64_t at, int from, int len) {  // sectors at..at+len-1 placed at positions from..
    const uint32_t g = prefix[size_t(at + len)] ^ prefix[size_t(at)];
    return RotL32(g, unsigned(FloorMod(15 - from + at, 32)));
  };
  // head[a]: the part of the header's own first a sectors (its checksum word
  // left out).
  std::vector<uint32_t> head(17, 0);
  for (int i = 0; i < 16; ++i)
    head[size_t(i + 1)] = head[size_t(i)] ^ RotL32(page::FoldSector(page + i * 512) ^ (i == 0 ? target : 0),
                                                   unsigned(15 - i));
  auto isStart = [&](int64_t j) { return FloorMod(sector + j - l.clusterOrigin, spc) == 0; };
  std::vector<int> cuts;
  for (int a = 1; a < 16; ++a)
    if (isStart(a)) cuts.push_back(a);
  // Pieces never overlap the first piece (positions 0..a-1) or each other.
  auto apart = [](int64_t x, int xl, int64_t y, int yl) { return x + xl <= y || y + yl <= x; };

  std::vector<std::vector<uint8_t>> pages;  // the different confirmed pages
  int64_t tried = 0;
  constexpr int64_t kMaxTried = 4096;  // candidates put together for one page
  constexpr size_t kMaxPages = 4;
  // Puts the page together: the first a sectors as read, then b sectors at
  // l1, c at l2 (when l2 >= 0) and the rest at l3 (when l3 >= 0).
  auto consider = [&](int a, int64_t l1, int b, int64_t l2, int c = 0, int64_t l3 = -1) {
    if (++tried > kMaxTried) return;
    std::vector<uint8_t> p(page, page + page::kPageBytes);
    std::memcpy(p.data() + a * 512, buf.data() + size_t(l1) * 512, size_t(b) * 512);
    if (l3 >= 0) {
      std::memcpy(p.data() + (a + b) * 512, buf.data() + size_t(l2) * 512, size_t(c) * 512);
      std::memcpy(p.data() + (a + b + c) * 512, buf.data() + size_t(l3) * 512, size_t(16 - a - b - c) * 512);
    } else if (l2 >= 0) {
      std::memcpy(p.data() + (a + b) * 512, buf.data() + size_t(l2) * 512, size_t(16 - a - b) * 512);
    }
    if (!page::IsPageConfirmed(p.data(), pageNumber, fileId)) return;
    if (std::find(pages.begin(), pages.end(), p) != pages.end()) return;  // the same page found twice
    if (pages.size() < kMaxPages) pages.push_back(std::move(p));
  };
  // Two pieces: first a sectors, then 16 - a sectors at l1.
  for (int a : cuts)
    for (int64_t l1 = a + 1; l1 + (16 - a) <= count && pages.size() < kMaxPages; ++l1)
      if (isStart(l1) && (head[size_t(a)] ^ part(l1, a, 16 - a)) == target) consider(a, l1, 16 - a, -1);

  // A 32-bit checksum matches one arrangement of chance pieces in 2^32. The
  // search for two pieces tries about (cuts x places) arrangements, a few
  // hundred thousand; for three or four it tries (cuts x lengths x places^2),
  // so its reach is cut to keep the expected number of chance matches below
  // kChance: a page that only a chance match would give is not given.
  constexpr double kChance = 1e-3;
  auto reach = [&](double shapes) {  // sectors of the buffer searched for that many shapes
    const double places = std::sqrt(kChance * 4294967296.0 / std::max(1.0, shapes));
    return std::min<int64_t>(count, 16 + int64_t(places) * spc);
  };
  // The middle pieces: for `need`, every piece of c sectors placed at
  // position `from` whose part is `need` (sorted tables built on first use,
  // over the buffer up to `limit`), and every piece of b sectors before it.
  std::map<std::tuple<int, int, int64_t>, std::vector<std::pair<uint32_t, int64_t>>> tables;
  auto pairs = [&](int a, int b, int c, uint32_t need, int64_t limit, auto&& fits) {
    auto& t = tables[{c, a + b, limit}];
    if (t.empty()) {
      for (int64_t l2 = 0; l2 + c <= limit; ++l2)
        if (isStart(l2)) t.push_back({part(l2, a + b, c), l2});
      std::sort(t.begin(), t.end());
    }
    for (int64_t l1 = 0; l1 + b <= limit && pages.size() < kMaxPages; ++l1) {
      if (!isStart(l1) || !apart(l1, b, 0, a)) continue;
      const uint32_t want = need ^ part(l1, a, b);
      for (auto it = std::lower_bound(t.begin(), t.end(), std::make_pair(want, int64_t(INT64_MIN)));
           it != t.end() && it->first == want; ++it)
        if (apart(it->second, c, 0, a) && apart(it->second, c, l1, b)) fits(l1, it->second);
    }
  };
  // Three pieces: a sectors, then b at l1, then c = 16 - a - b at l2. Only
  // when no page in two pieces is confirmed: a page is in two pieces or in
  // three, and the search for three costs far more.
  double shapes3 = 0;
  for (int a : cuts)
    for (int b = spc; a + b < 16; b += spc) shapes3 += 1;
  const int64_t count3 = reach(shapes3);
  for (int a : cuts)
    for (int b = spc; pages.empty() && a + b < 16; b += spc)
      pairs(a, b, 16 - a - b, target ^ head[size_t(a)], count3, [&](int64_t l1, int64_t l2) {
        if (!(l1 == a && l2 == a + b)) consider(a, l1, b, l2);  // not the page as read
      });
  // Four pieces, when three gave nothing: the last piece ends where the
  // next page of the file begins (its header found in the window), so for
  // each length t of that piece the two middle pieces are searched as the
  // last two of three.
  if (pages.empty() && pageNumber < INT32_MAX) {
    std::vector<int64_t> anchors;
    for (int64_t j = 16; j < count && anchors.size() < 4; ++j)
      if (page::IsHeaderOfPage(fileId, int32_t(pageNumber + 1), buf.data() + size_t(j) * 512)) anchors.push_back(j);
    double shapes4 = 0;
    for (int t = 1; t <= 14; ++t)
      for (int a : cuts)
        for (int b = spc; a + b + t < 16; b += spc) shapes4 += double(anchors.size());
    const int64_t count4 = reach(shapes4);
    for (int64_t anchor : anchors)
      for (int t = 1; t <= 14 && pages.size() < kMaxPages; ++t) {
        const int64_t l3 = anchor - t;
        if (l3 < 16 || !isStart(l3)) continue;
        for (int a : cuts)
          for (int b = spc; a + b + t < 16 && pages.size() < kMaxPages; b += spc) {
            const int c = 16 - a - b - t;
            pairs(a, b, c, target ^ head[size_t(a)] ^ part(l3, 16 - t, t), count4, [&](int64_t l1, int64_t l2) {
              if (apart(l1, b, l3, t) && apart(l2, c, l3, t)) consider(a, l1, b, l2, c, l3);
            });
          }
      }
  }
  if (tried <= kMaxTried) {
    if (pages.size() == 1) return std::move(pages[0]);
    if (pages.size() > 1) {
      if (auto one = page::ByUnusedAreaFill(pages, cuts.empty() ? 0 : cuts.front())) return std::move(pages[*one]);
    }
  }
  if (pages.size() > 1 || tried > kMaxTried) ambiguous_.insert(sector);
  return std::nullopt;
}

}  // namespace sorrelon
