// SEARCH: chaining the fragments of one database file.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "analysis/analysis.h"
#include "base/bytes.h"
#include "page/page.h"

namespace sorrelon {
namespace {

CandidateRow RowOf(const Catalogue& cat, int32_t fragment) {
  const Fragment& f = cat.store[size_t(fragment)];
  return {fragment, f.sizeKb, f.startPage, f.endPage, f.startSector, f.endSector};
}

}  // namespace

bool RunAnalysis(AnalysisContext& ctx, int fileRow, bool automatic) {
  Catalogue& cat = ctx.cat;
  AnalysisState& st = ctx.state;
  Person& person = ctx.person;
  if (fileRow < 0 || size_t(fileRow) >= cat.databaseFiles.size()) return false;
  st.chosenRow = 0;  // a fresh continuation dialog for every run

  const Fragment& header = cat.store[size_t(cat.databaseFiles.rows[size_t(fileRow)].fragment)];
  const int64_t S = header.startSector;
  const int32_t N = header.Pages();

  std::vector<uint8_t> buf(kPageSize);
  if (!ctx.reader.ReadPage(S, 0, buf.data())) {
    person.Message("read disk error", "mess");
    return false;
  }
  st.fileId = Le16(buf.data() + page::off::fileId);
  // Deep recovery: a file known from its first PFS page alone (page 0 gone).
  st.pageZeroMissing = st.deep && header.startPage == 1;
  // The newest LSN of the header pages: the boot page (9) is rewritten at
  // every checkpoint, so a page of this file is rarely newer.
  PageLsn checkpoint = ReadPageLsn(buf.data());
  if (st.deep && N > 9 - header.startPage) {
    std::vector<uint8_t> boot(kPageSize);
    if (ctx.reader.ReadPage(S, 9 - header.startPage, boot.data()) && page::IsHeaderOfPage(st.fileId, 9, boot.data()))
      checkpoint = std::max(checkpoint, ReadPageLsn(boot.data()));
  }
  page::RestoreTornBits(buf.data());
  auto count = st.pageZeroMissing ? HeaderlessPageCount(ctx, header, st.fileId) : page::FilePageCount(buf.data());
  if (!count) {
    person.Message("get fileinfo1 error", "mess");
    return false;
  }
  // Page 32 is page k = 32 - startPage of the fragment.
  const int32_t k32 = 32 - header.startPage;
  std::string path = kNoName;
  if (N > k32) {
    if (!ctx.reader.ReadPage(S, k32, buf.data())) {
      person.Message("read disk error", "提示");
      return false;
    }
    page::RestoreTornBits(buf.data());
    auto name = page::PhysicalFileName(buf.data());
    if (!name) {
      person.Message("get fileinfo2 error", "提示");
      return false;
    }
    path = *name;
  }
  st.filePageCount = *count;
  st.geometry = {};  // read again from the source on first use
  st.databasePath = path;
  st.pageMap.Init(*count);

  bool learnt = N > 2 || st.pageZeroMissing ? LearnPages(ctx, N, header.startPage, S)
                                            : LearnPfsPages(ctx, N, 0, S);
  if (!learnt) {
    person.Message("get page info error", "提示");
    return false;
  }

  {
    std::lock_guard<std::mutex> lock(cat.mutex);
    cat.ClearAssemblyFlags();
    for (size_t i = 0; i < cat.store.size(); ++i) {
      if (cat.store[i].startSector == S) {
        cat.assemblyFlags[i] = 1;
        st.currentFragment = int32_t(i);
        break;
      }
    }
  }

  // The chain: one forward pass over the start-page index.
  const StartPageIndex& index = cat.startIndex;
  int64_t expected = header.startPage + N;
  size_t P = index.LowerBound(expected);
  if (P >= index.size()) P = 0;
  while (P < index.size()) {
    if (!automatic) person.Breathe();
    if (index[P].startPage < expected) {
      ++P;
      continue;
    }
    if (FragmentVerdict(ctx, P) != kAccepted) {
      ++P;
      continue;
    }
    std::vector<size_t> group{P};
    int64_t M = index[P].endPage;
    for (size_t Q = P + 1; Q < index.size(); ++Q) {
      if (index[Q].startPage >= M) break;
      if (FragmentVerdict(ctx, Q) == kAccepted) {
        group.push_back(Q);
        if (index[Q].endPage > M) M = index[Q].endPage;
      }
      if (group.size() > 12) break;
    }

    size_t C = group[0];
    if (group.size() > 1) {
      if (automatic) {
        const int64_t from = st.currentFragment >= 0 ? cat.store[size_t(st.currentFragment)].startSector : S;
        std::vector<size_t> same;
        for (size_t g : group) {
          if (index[g].startPage != index[group[0]].startPage) break;
          same.push_back(g);
        }
        // Deep recovery: copies of one database are told apart by their
        // pages; the nearest start sector only settles what they cannot.
        if (st.deep && same.size() > 1) {
          same = BestCopies(ctx, same, checkpoint);
          if (same.size() > 1) {
            std::string numbers;
            for (size_t g : same) numbers += (numbers.empty() ? "" : ",") + std::to_string(index[g].fragmentIndex);
            person.AddLog(Log::Analysis, kCopiesNotToldApart + numbers);
          }
        }
        int64_t best = -1;
        for (size_t g : same) {
          int64_t d = std::llabs(cat.store[size_t(index[g].fragmentIndex)].startSector - from);
          if (best < 0 || d < best) {
            best = d;
            C = g;
          }
        }
      } else {
        std::vector<CandidateRow> rows;
        for (size_t g : group) rows.push_back(RowOf(cat, index[g].fragmentIndex));
        CandidateRow current = RowOf(cat, st.currentFragment >= 0 ? st.currentFragment : 0);
        auto choice = person.AskContinuation(rows, current, st.chosenRow);
        if (!choice || *choice >= group.size()) {
          person.AddLog(Log::Analysis, kUserStopped);
          return false;
        }
        C = group[*choice];
      }
    }

    const int32_t F = index[C].fragmentIndex;
    person.AddLog(Log::Analysis, "找到碎片号" + std::to_string(F));
    st.currentFragment = F;
    {
      std::lock_guard<std::mutex> lock(cat.mutex);
      cat.SetAssemblyFlag(size_t(F), 1);
    }
    const Fragment& f = cat.store[size_t(F)];
    if (!LearnPages(ctx, f.Pages(), f.startPage, f.startSector)) {
      person.AddLog(Log::Analysis, "get page info error,碎片号" + std::to_string(F));
      return false;
    }
    expected = index[C].endPage;
    P = C + 1;
  }

  {
    std::lock_guard<std::mutex> lock(cat.mutex);
    RebuildAssemblyList(cat.store, cat.assemblyFlags, cat.assemblyList);
  }
  person.Changed(View::AssemblyList);
  person.AddLog(Log::Analysis, kAnalysisDone);
  return true;
}

}  // namespace sorrelon
