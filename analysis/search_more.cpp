// SEARCH MORE: fills the gaps of the assembly list, pass after pass.
#include <vector>

#include "analysis/analysis.h"
#include "page/page.h"
#include "page/reassembly.h"

namespace sorrelon {
namespace {

// Positions of the start-page index whose fragment lies wholly inside
// [s, e), in index order, found by binary search on the start page.
std::vector<size_t> GapCandidates(const StartPageIndex& index, int64_t s, int64_t e) {
  std::vector<size_t> out;
  for (size_t k = index.LowerBound(s); k < index.size() && index[k].startPage <= e; ++k)
    if (index[k].endPage <= e) out.push_back(k);
  return out;
}

const Fragment& RowFragment(const Catalogue& cat, size_t row) { return cat.assemblyList.FragmentOf(cat.store, row); }

}  // namespace

void SearchMore(AnalysisContext& ctx) {
  Catalogue& cat = ctx.cat;
  Person& person = ctx.person;
  person.ClearLog(Log::Assembly);
  if (cat.assemblyList.empty()) return;  // nothing to extend

  for (;;) {
    cat.AssemblyColumnClick(kColStartPage);
    cat.DisableAssemblyButtons();
    person.Changed(View::AssemblyList);
    person.Changed(View::Buttons);
    if (RowFragment(cat, 0).startPage != (ctx.state.pageZeroMissing ? 1 : 0)) return;

    int found = 0;
    const size_t rows = cat.assemblyList.size();
    for (size_t i = 0; i < rows; ++i) {
      const int64_t s = RowFragment(cat, i).endPage;
      const int64_t e = i + 1 < rows ? int64_t(RowFragment(cat, i + 1).startPage) : int64_t(ctx.state.filePageCount);
      if (e < s) {
        person.Message("error", "提示");
        return;
      }
      if (e == s) continue;
      std::vector<size_t> candidates = GapCandidates(cat.startIndex, s, e);
      if (candidates.empty()) continue;

      // Judged in start-page order until one is accepted; the verdicts are
      // kept, so looking for an undetermined one reads nothing again.
      int32_t F = -1;
      std::vector<Verdict> verdicts;
      for (size_t k : candidates) {
        verdicts.push_back(FragmentVerdict(ctx, k));
        if (verdicts.back() == kAccepted) {
          F = cat.startIndex[k].fragmentIndex;
          ++found;
          person.AddLog(Log::Assembly, "找到碎片号" + std::to_string(F));
          break;
        }
      }
      if (F < 0) {
        for (size_t j = 0; j < verdicts.size(); ++j) {
          if (verdicts[j] == kUndetermined) {
            F = cat.startIndex[candidates[j]].fragmentIndex;
            ++found;
            person.AddLog(Log::Assembly, "找到未确定碎片号" + std::to_string(F));
            break;
          }
        }
      }
      if (F >= 0) {
        {
          std::lock_guard<std::mutex> lock(cat.mutex);
          cat.SetAssemblyFlag(size_t(F), 1);
        }
        const Fragment& f = cat.store[size_t(F)];
        if (!LearnPages(ctx, f.Pages(), f.startPage, f.startSector)) {
          person.AddLog(Log::Assembly, "get page info error,碎片号" + std::to_string(F));
          return;
        }
      }
      person.Breathe();
    }
    person.AddLog(Log::Assembly, "本次找到碎片数量" + std::to_string(found) + "。二次查找完毕");
    if (found == 0) break;
    std::lock_guard<std::mutex> lock(cat.mutex);
    RebuildAssemblyList(cat.store, cat.assemblyFlags, cat.assemblyList);
  }

  cat.AssemblyColumnClick(kColStartPage);
  person.Changed(View::AssemblyList);
  person.Changed(View::Buttons);

  if (RowFragment(cat, 0).Pages() > 32) return;  // the header fragment already names the file

  // File-name completion from the row that holds page 32.
  AnalysisState& st = ctx.state;
  std::vector<uint8_t> pageBuf(kPageSize), leadIn(15 * 512);
  const size_t rows = cat.assemblyList.size();
  for (size_t i = 1; i < rows; ++i) {
    const Fragment& f = RowFragment(cat, i);
    if (f.startPage >= 33) break;
    if (!(f.startPage <= 32 && f.endPage > 32)) continue;
    if (!ctx.reader.ReadPage(f.startSector, 32 - int64_t(f.startPage), pageBuf.data())) {
      person.Message("read disk error", "提示");
      return;
    }
    const int64_t sector32 = f.startSector + (32 - int64_t(f.startPage)) * 16;
    st.geometry.LoadOnce(ctx.ds, ctx.reader.Source());
    if (st.geometry.At(sector32).sectorsPerCluster < 16 && f.endPage == 33 && i + 1 < rows && RowFragment(cat, i + 1).startPage == 33) {
      const int64_t next = RowFragment(cat, i + 1).startSector;
      if (!ctx.reader.ReadLeadIn(next, leadIn.data())) {
        person.Message("read disk error", "提示");
        return;
      }
      // Only a repair that one cut point alone confirms is used.
      page::RepairSplitPageSafely(pageBuf.data(), leadIn.data(), st.geometry.SplitCuts(sector32, next), 32, st.fileId);
    }
    page::RestoreTornBits(pageBuf.data());
    if (auto name = page::PhysicalFileName(pageBuf.data())) st.databasePath = *name;
    else person.Message("get fileinfo2 error", "提示");
    break;
  }
  cat.assemblyList.rows[0].remarkCell =
      st.databasePath + ":" + std::to_string(int64_t(st.filePageCount) * 8) + "KB";
  person.Changed(View::AssemblyList);
}

}  // namespace sorrelon
