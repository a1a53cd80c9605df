// Deep recovery: database files whose file-header page (page 0) is gone.
// Such a file is known from a fragment that begins with its first PFS page
// (page 1); its page count comes from its allocation pages (the PFS pages,
// every 8,088 pages, and the GAM page, page 2) and the end of that fragment,
// its name from page 32 where the fragment holds it. (Fragments reaching past
// the count are refused by the chain, so it is settled before chaining.)
#include <algorithm>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "analysis/analysis.h"
#include "base/bytes.h"
#include "page/page.h"

namespace sorrelon {
namespace {

constexpr int32_t kGamPage = 2;
// Pages one GAM page describes (63,904 extents of eight pages).
constexpr int64_t kGamInterval = 511232;

// Whether `pg` is the first PFS page of file `fileId`.
bool IsPageOnePfs(const uint8_t* pg, uint16_t fileId) {
  return pg[0] == 1 && pg[page::off::pageType] == page::kPfs && LeI32(pg + page::off::pageId) == 1 &&
         Le16(pg + page::off::fileId) == fileId;
}

// The bytes of a PFS page's row (after RestoreTornBits): one per page from
// the first page it describes, clipped to the page and to 8,088. Empty when
// the slot-0 row lies outside the page.
std::span<const uint8_t> PfsBytes(const uint8_t* pfs) {
  const int64_t pageBytes = int64_t(kPageSize);
  const int64_t rowOffset = Le16(pfs + pageBytes - 2);
  if (rowOffset < page::kHeaderBytes || rowOffset > pageBytes - 5) return {};
  const int64_t length = int64_t(Le16(pfs + rowOffset + 2)) - 4;
  const int64_t room = pageBytes - 2 - (rowOffset + 4);  // up to the slot array
  const int64_t n = std::min({length, room, int64_t(page::kPfsInterval)});
  if (n <= 0) return {};
  return {pfs + rowOffset + 4, size_t(n)};
}

// Pages up to the end of the extent that holds the last allocated page a
// PFS row describes from page `first` (`first` itself when none is).
int64_t AllocatedEnd(std::span<const uint8_t> bytes, int64_t first) {
  int64_t highest = -1;
  for (size_t j = 0; j < bytes.size(); ++j)
    if (bytes[j] & page::kPfsAllocated) highest = int64_t(j);
  return first + (highest + 1 + 7) / 8 * 8;
}

// The GAM page of the file: a bit per extent, 1 when the extent is free.
struct Gam {
  std::vector<uint8_t> bits;
  bool Free(int64_t extent) const {
    return extent >= 0 && size_t(extent / 8) < bits.size() && (bits[size_t(extent / 8)] >> (extent % 8)) & 1;
  }
  // Pages the file reaches at least. Past the file's end the server leaves
  // the extents free to the end of the bitmap, other writers leave them
  // allocated; the last bit tells which, and the last extent whose bit
  // differs from it lies inside the file (the last allocated extent, or the
  // last free one).
  int64_t Reach() const {
    if (bits.empty()) return 0;
    const int tail = bits.back() >> 7;
    for (size_t i = bits.size(); i-- > 0;)
      for (int b = 7; b >= 0; --b)
        if (((bits[i] >> b) & 1) != tail) return (int64_t(i) * 8 + b + 1) * 8;
    return 0;
  }
};

// Page 2 of `first` (the fragment that begins with page 1) when it is the GAM
// page of file `fileId`: lying right after page 1, it belongs to this file.
std::optional<Gam> ReadGam(AnalysisContext& ctx, const Fragment& first, uint16_t fileId) {
  if (first.startPage != 1 || first.Pages() < 2) return std::nullopt;
  std::vector<uint8_t> pg(kPageSize);
  if (!ctx.reader.ReadPage(first.startSector, kGamPage - 1, pg.data())) return std::nullopt;
  if (!page::IsHeaderOfPage(fileId, kGamPage, pg.data()) || pg[page::off::pageType] != page::kGam ||
      !page::IsPageIntact(pg.data()))
    return std::nullopt;
  page::RestoreTornBits(pg.data());
  const page::RowPayload bitmap = page::SlotRow(pg.data(), 1);
  if (bitmap.offset < 0) return std::nullopt;
  return Gam{std::vector<uint8_t>(bitmap.bytes.begin(), bitmap.bytes.end())};
}

// Whether a PFS row describing pages from `first` (a multiple of 8) agrees
// with the file's GAM up to the last extent in which it marks a page
// allocated: an extent is free in the GAM exactly when the row marks none of
// its pages allocated. A PFS page of a larger file with this file id marks
// pages allocated past this file's end, where this GAM shows extents free
// (or, as some writers leave them, allocated while the row leaves extents
// before them empty): it is another file's.
bool AgreesWithGam(const Gam& gam, std::span<const uint8_t> bytes, int64_t first) {
  std::vector<bool> allocated((bytes.size() + 7) / 8, false);
  int64_t last = -1;
  for (size_t j = 0; j < bytes.size(); ++j)
    if (bytes[j] & page::kPfsAllocated) {
      allocated[j / 8] = true;
      last = int64_t(j / 8);
    }
  for (int64_t e = 0; e <= last && first + e * 8 < kGamInterval; ++e)
    if (gam.Free(first / 8 + e) == allocated[size_t(e)]) return false;
  return true;
}

// The logical name of the file as UTF-16LE bytes, from the slot-0 row of
// page 32 (after RestoreTornBits): 128 space-padded characters after the
// row's first ten bytes. Empty when there is none.
std::vector<uint8_t> LogicalName(const uint8_t* page32) {
  const page::RowPayload row = page::SlotRow(page32, 0);
  constexpr size_t kAt = 6, kBytes = 256;  // payload offset of the name (row + 10)
  if (row.offset < 0 || row.bytes.size() < kAt + kBytes) return {};
  std::vector<uint8_t> name(row.bytes.begin() + kAt, row.bytes.begin() + kAt + kBytes);
  while (name.size() >= 2 && name[name.size() - 1] == 0 && (name[name.size() - 2] == ' ' || name[name.size() - 2] == 0))
    name.resize(name.size() - 2);
  return name;
}

struct Candidate {
  size_t fragment = 0;
  std::vector<uint8_t> pageOne;      // page 1, torn bits restored
  std::vector<uint8_t> logicalName;  // from page 32, empty when not held
  std::string name = kNoName;
  std::optional<int32_t> pageCount;  // worked out when first needed
};

enum class Stands { kNo, kYes, kPerhaps };

// What a header row offers to compare with the candidates, read once: its
// page 0 (torn bits restored) when it is a file-header page of the file id
// with a page count, and page 1 behind it when its run holds one.
struct HeaderFile {
  bool usable = false;
  int32_t pageCount = 0;
  std::vector<uint8_t> pageZero;
  bool holdsPageOne = false;
  std::vector<uint8_t> pageOne;  // empty when it could not be read
};

HeaderFile ReadHeaderFile(AnalysisContext& ctx, const Fragment& h, uint16_t fileId) {
  HeaderFile hf;
  std::vector<uint8_t> pg(kPageSize);
  if (h.startPage != 0 || !ctx.reader.ReadPage(h.startSector, 0, pg.data()) ||
      !page::IsFileHeaderPage(pg.data(), fileId) || Le16(pg.data() + page::off::fileId) != fileId)
    return hf;
  page::RestoreTornBits(pg.data());
  const auto count = page::FilePageCount(pg.data());
  if (!count) return hf;
  hf.usable = true;
  hf.pageCount = *count;
  hf.pageZero = std::move(pg);
  hf.holdsPageOne = h.Pages() >= 2;
  if (hf.holdsPageOne) {
    std::vector<uint8_t> one(kPageSize);
    if (ctx.reader.ReadPage(h.startSector, 1, one.data())) {
      page::RestoreTornBits(one.data());
      hf.pageOne = std::move(one);
    }
  }
  return hf;
}

// Whether the header row `h` already stands for the file that begins with
// candidate `c`: page 0 of the same file id, recording a page count that
// covers the candidate's, and either holding right after it a page 1
// identical to the candidate's, or (page 1 not beside it) carrying the
// logical name the candidate's page 32 gives. Perhaps, when page 1 is not
// beside it and the candidate does not hold page 32 to compare names.
Stands HeaderStandsFor(AnalysisContext& ctx, const HeaderFile& h, Candidate& c, uint16_t fileId) {
  if (!h.usable) return Stands::kNo;
  bool perhaps = false;
  if (h.holdsPageOne) {
    if (h.pageOne.empty() || h.pageOne != c.pageOne) return Stands::kNo;
  } else if (c.logicalName.empty()) {
    perhaps = true;
  } else {
    // The current file-header record (slot 0) and what follows it.
    const std::vector<uint8_t>& pg = h.pageZero;
    const int64_t row = Le16(pg.data() + kPageSize - 2);
    if (row < page::kHeaderBytes || row >= int64_t(kPageSize) - 2) return Stands::kNo;
    bool named = false;
    // Records are byte-packed: the name may begin at an odd offset.
    for (int64_t at = row; at + int64_t(c.logicalName.size()) <= int64_t(kPageSize) - 2 && !named; ++at)
      named = std::equal(c.logicalName.begin(), c.logicalName.end(), pg.begin() + at);
    if (!named) return Stands::kNo;
  }
  if (!c.pageCount) c.pageCount = HeaderlessPageCount(ctx, ctx.cat.store[c.fragment], fileId).value_or(0);
  if (h.pageCount < *c.pageCount) return Stands::kNo;
  return perhaps ? Stands::kPerhaps : Stands::kYes;
}

}  // namespace

std::optional<int32_t> HeaderlessPageCount(AnalysisContext& ctx, const Fragment& first, uint16_t fileId) {
  std::vector<uint8_t> pg(kPageSize);
  if (first.startPage != 1 || first.Pages() < 1 || !ctx.reader.ReadPage(first.startSector, 0, pg.data()))
    return std::nullopt;
  if (!IsPageOnePfs(pg.data(), fileId)) return std::nullopt;
  page::RestoreTornBits(pg.data());
  const auto pageOne = PfsBytes(pg.data());
  if (pageOne.empty()) return std::nullopt;
  // What the first run shows: its allocation, its end, and how far the GAM
  // shows the file to reach.
  int64_t count = std::max<int64_t>(AllocatedEnd(pageOne, 0), int64_t(first.startPage) + first.Pages());
  const auto gam = ReadGam(ctx, first, fileId);
  if (gam) count = std::max(count, gam->Reach());

  // The further PFS pages that fragments of the store hold.
  std::map<int64_t, std::vector<size_t>> holders;
  const FragmentStore& store = ctx.cat.store;
  for (size_t i = 0; i < store.size(); ++i) {
    const Fragment& f = store[i];
    if (!f.visible || f.Pages() < 1) continue;
    const int64_t end = std::min<int64_t>(int64_t(f.startPage) + f.Pages(), PageMap::kCapacity);
    const int64_t from = std::max<int64_t>(f.startPage, page::kPfsInterval);
    for (int64_t p = (from + page::kPfsInterval - 1) / page::kPfsInterval * page::kPfsInterval; p < end;
         p += page::kPfsInterval)
      holders[p].push_back(i);
  }
  // PFS page p counts only when what is known already reaches it (the file
  // fills the range before it, or the GAM shows it reaching further), so
  // a PFS page of another database with this file id lying elsewhere cannot
  // lengthen a file that ends before p; and one that disagrees with this
  // file's GAM is another file's.
  for (const auto& [p, fragments] : holders) {
    if (count < p) break;
    std::optional<int64_t> end;
    for (size_t i : fragments) {
      const Fragment& f = store[i];
      if (!ctx.reader.ReadPage(f.startSector, p - f.startPage, pg.data())) continue;
      if (!page::IsHeaderOfPage(fileId, int32_t(p), pg.data()) || pg[page::off::pageType] != page::kPfs ||
          !page::IsPageIntact(pg.data()))
        continue;
      page::RestoreTornBits(pg.data());
      const auto bytes = PfsBytes(pg.data());
      if (bytes.empty() || (gam && !AgreesWithGam(*gam, bytes, p))) continue;
      // Copies that disagree: with the GAM to check them, all are this file's
      // at some time and the largest holds; without it, the smallest.
      const int64_t e = std::max<int64_t>(AllocatedEnd(bytes, p), p + 8);
      end = !end ? e : gam ? std::max(*end, e) : std::min(*end, e);
    }
    if (end) count = std::max(count, *end);
  }
  return int32_t(std::clamp<int64_t>(count, 2, PageMap::kCapacity));
}

void OfferHeaderlessFiles(AnalysisContext& ctx, uint16_t fileId) {
  Catalogue& cat = ctx.cat;
  std::vector<uint8_t> pg(kPageSize);
  std::vector<Candidate> candidates;
  for (size_t i = 0; i < cat.store.size(); ++i) {
    const Fragment& f = cat.store[i];
    if (!f.visible || f.startPage != 1 || f.Pages() < 1) continue;
    if (!ctx.reader.ReadPage(f.startSector, 0, pg.data()) || !IsPageOnePfs(pg.data(), fileId)) continue;
    Candidate c;
    c.fragment = i;
    c.pageOne = pg;
    page::RestoreTornBits(c.pageOne.data());
    // A page 1 whose row cannot be read gives no page count: the analysis
    // could not start from it.
    if (PfsBytes(c.pageOne.data()).empty()) continue;
    if (f.Pages() > 31 && ctx.reader.ReadPage(f.startSector, 31, pg.data()) &&
        page::IsHeaderOfPage(fileId, 32, pg.data())) {
      page::RestoreTornBits(pg.data());
      if (auto n = page::PhysicalFileName(pg.data())) c.name = *n;
      c.logicalName = LogicalName(pg.data());
    }
    candidates.push_back(std::move(c));
  }
  // A file whose page 0 survives is already listed from its header row.
  std::vector<int32_t> headers;
  {
    std::lock_guard<std::mutex> lock(cat.mutex);
    for (const ListRow& r : cat.databaseFiles.rows)
      if (r.fragment >= 0 && size_t(r.fragment) < cat.store.size()) headers.push_back(r.fragment);
  }
  std::vector<HeaderFile> headerFiles;
  if (!candidates.empty())
    for (int32_t h : headers) headerFiles.push_back(ReadHeaderFile(ctx, cat.store[size_t(h)], fileId));
  std::vector<std::vector<Stands>> stands(candidates.size(), std::vector<Stands>(headers.size(), Stands::kNo));
  std::vector<bool> listed(candidates.size(), false), claimed(headers.size(), false);
  for (size_t i = 0; i < candidates.size(); ++i)
    for (size_t j = 0; j < headers.size(); ++j) {
      stands[i][j] = HeaderStandsFor(ctx, headerFiles[j], candidates[i], fileId);
      if (stands[i][j] == Stands::kYes) listed[i] = claimed[j] = true;
    }
  // Without names to compare (runs too short to hold page 32), a lonely
  // header page and a file's page 1 are taken for one file only when each is
  // the other's sole match; otherwise both stay listed.
  for (size_t j = 0; j < headers.size(); ++j) {
    if (claimed[j]) continue;
    size_t match = candidates.size(), matches = 0;
    for (size_t i = 0; i < candidates.size(); ++i)
      if (!listed[i] && stands[i][j] == Stands::kPerhaps) {
        match = i;
        ++matches;
      }
    if (matches != 1) continue;
    size_t others = 0;
    for (size_t k = 0; k < headers.size(); ++k)
      if (k != j && !claimed[k] && stands[match][k] == Stands::kPerhaps) ++others;
    if (others == 0) listed[match] = claimed[j] = true;
  }
  std::vector<ListRow> rows;
  for (size_t i = 0; i < candidates.size(); ++i)
    if (!listed[i])
      rows.push_back({int32_t(candidates[i].fragment), 0, false, std::string(kPageZeroMissing) + candidates[i].name});
  std::lock_guard<std::mutex> lock(cat.mutex);
  for (auto& r : rows) {
    r.number = int32_t(cat.databaseFiles.rows.size() + 1);
    cat.databaseFiles.rows.push_back(std::move(r));
  }
}

}  // namespace sorrelon
