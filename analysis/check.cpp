// CHECK: the PFS pages and allocated pages that no assembly row supplies.
#include "analysis/analysis.h"
#include "page/page.h"

namespace sorrelon {

void CheckMissingPages(AnalysisContext& ctx) {
  Catalogue& cat = ctx.cat;
  Person& person = ctx.person;
  person.ClearLog(Log::Assembly);
  const RowList& list = cat.assemblyList;
  if (list.empty() || list.FragmentOf(cat.store, 0).startPage != (ctx.state.pageZeroMissing ? 1 : 0)) return;
  const int64_t count = ctx.state.filePageCount;
  // Deep recovery of a file without its file-header page.
  if (ctx.state.pageZeroMissing) person.AddLog(Log::Assembly, "缺少页面0");
  for (size_t i = 0; i < list.size(); ++i) {
    // Allocated pages inside the row that its fragment does not really hold
    // (overwritten clusters inside a joined fragment): missing as well.
    const Fragment& row = list.FragmentOf(cat.store, i);
    for (int64_t p = row.startPage; p < row.endPage; ++p) {
      const PageRecord& r = ctx.state.pageMap.At(p);
      if (r.foreign && r.allocation == 1) person.AddLog(Log::Assembly, "缺少页面" + std::to_string(p));
    }
    const int64_t s = list.FragmentOf(cat.store, i).endPage;
    const int64_t e = i + 1 < list.size() ? int64_t(list.FragmentOf(cat.store, i + 1).startPage) : count;
    if (e < s) {
      person.Message("error", "提示");
      return;
    }
    if (e == s) continue;
    // PFS positions in [s, e) below the file page count: page 1 and multiples of 8088.
    if (s <= 1 && 1 < e && 1 < count) person.AddLog(Log::Assembly, "缺少重要的PFS页面1");
    int64_t first = ((s + page::kPfsInterval - 1) / page::kPfsInterval) * page::kPfsInterval;
    if (first == 0) first = page::kPfsInterval;  // page 0 is the file header, not a PFS page
    for (int64_t P = first; P < e && P < count; P += page::kPfsInterval)
      person.AddLog(Log::Assembly, "缺少重要的PFS页面" + std::to_string(P));
    for (int64_t p = s; p < e; ++p)
      if (ctx.state.pageMap.At(p).allocation == 1) person.AddLog(Log::Assembly, "缺少页面" + std::to_string(p));
  }
  person.AddLog(Log::Assembly, "检测完毕");
}

}  // namespace sorrelon
