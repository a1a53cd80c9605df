#include <algorithm>
#include <cstdint>
#include <vector>

#include "analysis/analysis.h"
#include "base/bytes.h"
#include "page/page.h"

namespace sorrelon {

void PageMap::Init(int64_t count) {
  if (count < 0) count = 0;
  if (count > kCapacity) count = kCapacity;
  records_.assign(size_t(count), PageRecord{});
}

bool PageBelongsAt(const uint8_t* pg, int64_t pageNumber, uint16_t fileId) {
  if (pg[0] == 1 && LeI32(pg + page::off::pageId) == pageNumber && Le16(pg + page::off::fileId) == fileId) return true;
  for (size_t i = 0; i < kPageSize; ++i)
    if (pg[i]) return false;
  return true;
}

namespace {

bool IsPfsPosition(int64_t p) { return p == 1 || (p >= 0 && p % page::kPfsInterval == 0); }

// The PFS byte rule for target page t.
void ApplyPfsByte(PageMap& map, int64_t t, uint8_t b) {
  PageRecord* r = map.Mut(t);
  if (!r) return;
  if (b & page::kPfsAllocated) {
    r->allocation = 1;
    if (b & page::kPfsIam) r->expectedType = page::kIam;
  } else {
    r->allocation = 0;
  }
}

// An allocation page says page t belongs to owner o.
void AssignOwner(AnalysisContext& ctx, int64_t t, int32_t o, const char* note) {
  PageRecord* r = ctx.state.pageMap.Mut(t);
  if (!r) return;
  int32_t x = r->expectedOwner;
  if (x == 0) {
    r->expectedOwner = o;
    r->ownerSource = 0;
  } else if (x == o || x == page::kAllocationObjectId) {
    // agrees
  } else if (r->ownerSource == 0) {
    ctx.person.AddLog(Log::Analysis, note);
  } else {
    r->expectedOwner = o;  // an allocation page outranks a link
    r->ownerSource = 0;
  }
}

// A page link says page t belongs to owner o; false when the link may not be
// used (the page is not known to be allocated).
void LinkOwner(AnalysisContext& ctx, int64_t t, int32_t o) {
  PageRecord* r = ctx.state.pageMap.Mut(t);
  if (!r) return;
  if (r->expectedOwner == 0) {
    r->expectedOwner = o;
    r->ownerSource = 1;
  } else if (r->expectedOwner != o) {
    ctx.person.AddLog(Log::Analysis, "errc");
  }
}

void LearnPfsRow(AnalysisContext& ctx, const uint8_t* pg, int64_t P, int rowOffset, int64_t limit) {
  // Row length from the row prefix; payload from row + 4, clipped to the page.
  if (rowOffset < 96 || rowOffset > 8095) return;
  int64_t L = Le16(pg + rowOffset + 2);
  int64_t room = kPageSize - (rowOffset + 4);
  for (int64_t j = 0; j <= L - 5 && j < limit && j < room; ++j) {
    int64_t t = P == 1 ? j : P + j;
    ApplyPfsByte(ctx.state.pageMap, t, pg[rowOffset + 4 + j]);
  }
}

bool ReadFragmentPage(AnalysisContext& ctx, int64_t startSector, int64_t i, uint8_t* buf) {
  if (ctx.reader.ReadPage(startSector, i, buf)) return true;
  ctx.person.Message("read disk error", "提示");
  return false;
}

// The first filters of learning: a page of a type the map learns from, not
// known free, and, unless it is a PFS page, known allocated.
bool WorthLearning(const PageMap& map, int64_t q, const uint8_t* pg) {
  const uint8_t type = pg[1];
  if (pg[0] != 1 || !(type == page::kData || type == page::kIndex || type == page::kIam || type == page::kPfs))
    return false;
  const PageRecord& here = map.At(q);
  if (here.allocation == 0) return false;
  return !(here.allocation == 255 && type != page::kPfs);
}

}  // namespace

bool LearnPages(AnalysisContext& ctx, int32_t n, int32_t s, int64_t startSector) {
  std::vector<uint8_t> buf(kPageSize);
  uint8_t* pg = buf.data();
  PageMap& map = ctx.state.pageMap;
  const bool smallClusters = ctx.ds.sectorsPerCluster < 16;
  for (int32_t i = 0; i < n; ++i) {
    const int64_t q = int64_t(s) + i;
    if (!ReadFragmentPage(ctx, startSector, i, pg)) return false;
    if (PageRecord* r = map.Mut(q)) r->foreign = PageBelongsAt(pg, q, ctx.state.fileId) ? 0 : 1;
    const uint8_t type = pg[1];
    if (!WorthLearning(map, q, pg)) continue;
    if (smallClusters && i == n - 1 && (type == page::kIam || type == page::kPfs) && !page::IsPageIntact(pg)) continue;
    page::RestoreTornBits(pg);

    if (type == page::kPfs) {
      const int64_t P = LeI32(pg + page::off::pageId);
      if (!IsPfsPosition(P)) continue;
      if (PageRecord* r = map.Mut(q)) {
        r->expectedOwner = LeI32(pg + page::off::objectId);
        r->ownerSource = 0;
      }
      LearnPfsRow(ctx, pg, P, Le16(pg + 8190), INT64_MAX);
    } else if (type == page::kIam) {
      const int32_t o = LeI32(pg + page::off::objectId);
      if (PageRecord* r = map.Mut(q)) {
        r->expectedOwner = o;
        r->ownerSource = 0;
      }
      page::IamHeader iam = page::ReadIamHeader(pg);
      if (!iam.valid) continue;
      for (int j = 0; j < 8; ++j)
        if (iam.singlePages[j] > 0) AssignOwner(ctx, iam.singlePages[j], o, "erra");
      page::RowPayload bitmap = page::IamExtentBitmap(pg);
      if (bitmap.offset < 0) continue;
      // Payload bytes 0 .. L - 5, clipped to the page.
      int64_t bytes = std::min<int64_t>(int64_t(bitmap.declaredLength) - 4, int64_t(bitmap.bytes.size()));
      for (int64_t j = 0; j < bytes; ++j) {
        uint8_t b = bitmap.bytes[size_t(j)];
        for (int k = 0; k < 8; ++k) {
          if (!(b & (1u << k))) continue;
          int64_t e = j * 64 + k * 8 + int64_t(iam.firstPage);
          if (e <= 0) continue;
          for (int64_t t = e; t < e + 8; ++t) AssignOwner(ctx, t, o, "errb");
        }
      }
    } else {
      const int32_t o = LeI32(pg + page::off::objectId);
      const int64_t prev = LeI32(pg + page::off::prevPageId);
      const int64_t next = LeI32(pg + page::off::nextPageId);
      if (prev == 0 && next == 0) continue;
      if (prev > 0 && Le16(pg + page::off::prevFileId) == 1) {
        if (map.At(prev).allocation != 1) continue;  // the next link is not used either
        LinkOwner(ctx, prev, o);
      }
      if (next > 0 && Le16(pg + page::off::nextFileId) == 1 && map.At(next).allocation == 1) LinkOwner(ctx, next, o);
    }
  }
  return true;
}

bool LearnPfsPages(AnalysisContext& ctx, int32_t n, int32_t s, int64_t startSector) {
  std::vector<uint8_t> buf(kPageSize);
  uint8_t* pg = buf.data();
  PageMap& map = ctx.state.pageMap;
  const bool smallClusters = ctx.ds.sectorsPerCluster < 16;
  for (int32_t i = 0; i < n; ++i) {
    const int64_t q = int64_t(s) + i;
    if (!ReadFragmentPage(ctx, startSector, i, pg)) return false;
    const uint8_t type = pg[1];
    if (!WorthLearning(map, q, pg)) continue;
    int64_t limit = page::kPfsInterval;
    int rowOffset = -1;
    if (smallClusters && i == n - 1 && (type == page::kIam || type == page::kPfs)) {
      // A torn last page: only the part of the row inside the first 4 KB is
      // trusted when the slot array does not look like a PFS page's.
      const uint8_t lo = pg[8190], hi = pg[8191];
      if (hi > 2 || lo != 0x60) {
        limit = 3996;
        rowOffset = 96;
      }
    }
    page::RestoreTornBits(pg);
    if (type != page::kPfs) continue;
    if (PageRecord* r = map.Mut(q)) {
      r->expectedOwner = LeI32(pg + page::off::objectId);
      r->ownerSource = 0;
    }
    if (rowOffset < 0) rowOffset = Le16(pg + 8190);
    LearnPfsRow(ctx, pg, LeI32(pg + page::off::pageId), rowOffset, limit);
  }
  return true;
}

FragmentScore ScoreFragment(AnalysisContext& ctx, int32_t n, int32_t s, int64_t startSector) {
  FragmentScore score;
  std::vector<uint8_t> buf(kPageSize);
  uint8_t* pg = buf.data();
  const PageMap& map = ctx.state.pageMap;
  for (int32_t c = 0; c < n; ++c) {
    if (!ReadFragmentPage(ctx, startSector, c, pg)) break;
    page::RestoreTornBits(pg);
    const int32_t objectId = LeI32(pg + page::off::objectId);
    if (objectId == page::kAllocationObjectId) continue;
    const PageRecord& e = map.At(int64_t(s) + c);
    if (e.allocation == 0 || pg[0] != 1) continue;
    if (e.expectedOwner > 0) {
      if (objectId == e.expectedOwner) {
        if (e.expectedType == page::kIam && pg[1] != page::kIam) {
          ++score.conflicts;
          break;
        }
        ++score.matches;
      } else if (e.allocation == 1 && e.ownerSource == 0) {
        ++score.conflicts;
        break;
      }
    } else if (e.expectedType == page::kIam && e.allocation == 1) {
      if (pg[1] == page::kIam) {
        ++score.matches;
      } else {
        ++score.conflicts;
        break;
      }
    }
  }
  return score;
}

Verdict FragmentVerdict(AnalysisContext& ctx, size_t k) {
  const StartPageEntry& entry = ctx.cat.startIndex[k];
  const Fragment& f = ctx.cat.store[size_t(entry.fragmentIndex)];
  const int32_t n = f.Pages();
  if (int64_t(f.startPage) + n > ctx.state.filePageCount) return kRejected;
  FragmentScore score = ScoreFragment(ctx, n, f.startPage, f.startSector);
  if (score.conflicts > 0) return kRejected;
  if (score.matches > 0) return kAccepted;
  return kUndetermined;
}

}  // namespace sorrelon
