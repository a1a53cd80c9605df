// Deep recovery: telling apart copies of one database. Two copies of a file
// carry the same object ids and page numbers, so the page map accepts the
// fragments of both; among fragments that start at the same page, the chain
// prefers the one whose pages belong to the file being rebuilt.
#include <algorithm>
#include <map>
#include <vector>

#include "analysis/analysis.h"
#include "base/bytes.h"
#include "page/page.h"

namespace sorrelon {
namespace {

// Pages of one candidate compared at most (32 MB read per candidate).
constexpr int64_t kMaxComparedPages = 4096;

bool IsLinkedPage(const uint8_t* p) {
  return p[page::off::pageType] == page::kData || p[page::off::pageType] == page::kIndex;
}

struct CopyScore {
  int64_t newer = 0;         // pages newer than the file's last checkpoint
  int64_t linkConflicts = 0; // links to the current fragment that it does not return
  int64_t linkMatches = 0;   // links to the current fragment returned both ways
  PageLsn newest = 0;        // sum of the page LSNs not newer than the checkpoint

  // Better: fewer pages too new, fewer broken links, more kept links, then
  // the newer pages (of two versions of a page that both fit the file, the
  // file holds the later one).
  auto Key() const { return std::make_tuple(-newer, -linkConflicts, linkMatches, newest); }
};

}  // namespace

PageLsn ReadPageLsn(const uint8_t* page) {
  const PageLsn a = Le32(page + page::off::lsn), b = Le32(page + page::off::lsn + 4), c = Le16(page + page::off::lsn + 8);
  return (a << 48) | (b << 16) | c;
}

std::vector<size_t> BestCopies(AnalysisContext& ctx, const std::vector<size_t>& same, PageLsn checkpoint) {
  const Catalogue& cat = ctx.cat;
  const StartPageIndex& index = cat.startIndex;
  if (same.size() < 2) return same;

  // The pages every candidate holds.
  int64_t pages = kMaxComparedPages;
  for (size_t g : same) pages = std::min<int64_t>(pages, cat.store[size_t(index[g].fragmentIndex)].Pages());
  const int64_t first = index[same[0]].startPage;

  // The current fragment's pages the candidates' links name, read once.
  const Fragment* cur = ctx.state.currentFragment >= 0 && size_t(ctx.state.currentFragment) < cat.store.size()
                            ? &cat.store[size_t(ctx.state.currentFragment)]
                            : nullptr;
  std::map<int64_t, std::vector<uint8_t>> curPages;
  auto curPage = [&](int64_t p) -> const uint8_t* {
    if (!cur || p < cur->startPage || p >= int64_t(cur->startPage) + cur->Pages()) return nullptr;
    auto it = curPages.find(p);
    if (it == curPages.end()) {
      std::vector<uint8_t> b(kPageSize);
      if (!ctx.reader.ReadPage(cur->startSector, p - cur->startPage, b.data())) b.clear();
      it = curPages.emplace(p, std::move(b)).first;
    }
    return it->second.empty() ? nullptr : it->second.data();
  };

  std::vector<CopyScore> scores(same.size());
  std::vector<uint8_t> buf(kPageSize);
  for (size_t i = 0; i < same.size(); ++i) {
    const Fragment& f = cat.store[size_t(index[same[i]].fragmentIndex)];
    CopyScore& s = scores[i];
    for (int64_t k = 0; k < pages; ++k) {
      if (!ctx.reader.ReadPage(f.startSector, k, buf.data())) break;
      if (!page::IsHeaderOfPage(ctx.state.fileId, int32_t(first + k), buf.data())) continue;
      const PageLsn lsn = ReadPageLsn(buf.data());
      if (lsn > checkpoint) ++s.newer;
      else s.newest += lsn;
      if (!IsLinkedPage(buf.data())) continue;
      // A page whose previous page lies in the current fragment: that page
      // must name this one as its next and belong to the same object.
      const int64_t prev = LeI32(buf.data() + page::off::prevPageId);
      if (prev <= 0 || Le16(buf.data() + page::off::prevFileId) != ctx.state.fileId) continue;
      const uint8_t* before = curPage(prev);
      if (!before) continue;
      if (LeI32(before + page::off::nextPageId) == first + k &&
          LeI32(before + page::off::objectId) == LeI32(buf.data() + page::off::objectId))
        ++s.linkMatches;
      else
        ++s.linkConflicts;
    }
  }

  auto best = scores[0].Key();
  for (const auto& s : scores) best = std::max(best, s.Key());
  std::vector<size_t> out;
  for (size_t i = 0; i < same.size(); ++i)
    if (scores[i].Key() == best) out.push_back(same[i]);
  return out;
}

}  // namespace sorrelon
