// Deep recovery: database files whose file-header page (page 0) is gone.
// Such a file is known from a fragment that begins with its first PFS page
// (page 1); its page count comes from the allocation that page records and
// from the pages chained, its name from page 32 where the fragment holds it.
#include <algorithm>
#include <mutex>
#include <vector>

#include "analysis/analysis.h"
#include "base/bytes.h"
#include "page/page.h"

namespace sorrelon {
namespace {

// Whether `pg` is the first PFS page of file `fileId`.
bool IsPageOnePfs(const uint8_t* pg, uint16_t fileId) {
  return pg[0] == 1 && pg[page::off::pageType] == page::kPfs && LeI32(pg + page::off::pageId) == 1 &&
         Le16(pg + page::off::fileId) == fileId;
}

}  // namespace

std::optional<int32_t> HeaderlessPageCount(const uint8_t* pfs, int32_t fragmentEnd) {
  if (pfs[0] != 1 || pfs[page::off::pageType] != page::kPfs) return std::nullopt;
  // The slot-0 row: a 4-byte prefix with its length, then a byte per page.
  const int64_t pageBytes = int64_t(kPageSize);
  const int64_t rowOffset = Le16(pfs + pageBytes - 2);
  if (rowOffset < page::kHeaderBytes || rowOffset > pageBytes - 5) return std::nullopt;
  const int64_t length = Le16(pfs + rowOffset + 2);
  const int64_t room = pageBytes - 2 - (rowOffset + 4);
  int64_t highest = -1;
  for (int64_t j = 0; j <= length - 5 && j < room && j < page::kPfsInterval; ++j)
    if (pfs[rowOffset + 4 + j] & page::kPfsAllocated) highest = j;
  // Whole extents of eight pages.
  const int64_t byAllocation = (highest + 1 + 7) / 8 * 8;
  return int32_t(std::clamp<int64_t>(std::max<int64_t>(byAllocation, fragmentEnd), 2, PageMap::kCapacity));
}

void OfferHeaderlessFiles(AnalysisContext& ctx, uint16_t fileId) {
  Catalogue& cat = ctx.cat;
  std::vector<uint8_t> pg(kPageSize);
  std::vector<ListRow> rows;
  for (size_t i = 0; i < cat.store.size(); ++i) {
    const Fragment& f = cat.store[i];
    if (!f.visible || f.startPage != 1 || f.Pages() < 1) continue;
    if (!ctx.reader.ReadPage(f.startSector, 0, pg.data()) || !IsPageOnePfs(pg.data(), fileId)) continue;
    std::string name = kNoName;
    if (f.Pages() > 31 && ctx.reader.ReadPage(f.startSector, 31, pg.data()) &&
        page::IsHeaderOfPage(fileId, 32, pg.data())) {
      page::RestoreTornBits(pg.data());
      if (auto n = page::PhysicalFileName(pg.data())) name = *n;
    }
    rows.push_back({int32_t(i), 0, false, std::string(kPageZeroMissing) + name});
  }
  std::lock_guard<std::mutex> lock(cat.mutex);
  for (auto& r : rows) {
    r.number = int32_t(cat.databaseFiles.rows.size() + 1);
    cat.databaseFiles.rows.push_back(std::move(r));
  }
}

}  // namespace sorrelon
