#include "assembly/mdf_writer.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/text.h"
#include "catalogue/out_file.h"
#include "page/page.h"
#include "page/reassembly.h"

namespace sorrelon {
std::string DefaultMdfName(const std::string& databasePath) {
  return SafeFileName(LastPathComponent(databasePath), "noname.mdf");
}

MdfWriteResult CreateMdf(AnalysisContext& ctx, std::optional<std::string> outPath) {
  MdfWriteResult res;
  Person& person = ctx.person;
  const Catalogue& cat = ctx.cat;
  const RowList& list = cat.assemblyList;
  person.ClearLog(Log::Assembly);
  const int32_t firstPage = ctx.state.pageZeroMissing ? 1 : 0;
  if (list.empty() || list.FragmentOf(cat.store, 0).startPage != firstPage) return res;

  if (!outPath) {
    outPath = person.ChooseSaveFile(kSaveMdfTitle, DefaultMdfName(ctx.state.databasePath));
    if (!outPath) return res;
  }
  res.path = *outPath;
  OutFile out;
  if (!out.Create(*outPath)) {
    person.Message("error,无法创建文件", "提示");
    return res;
  }
  res.started = true;

  ClusterGeometry& geometry = ctx.state.geometry;
  geometry.LoadOnce(ctx.ds, ctx.reader.Source());
  std::vector<uint8_t> current(kPageSize), previous(kPageSize), leadIn(15 * 512);
  bool currentMended = false, previousMended = false;  // vouched for by deep recovery
  const std::vector<uint8_t> zero(kPageSize, 0);
  const size_t n = list.size();
  auto failWrite = [&]() {
    out.Close();
    person.Message(WriteFailedText(res.path, out.error()), "提示");
    return res;
  };
  // The last page of a row may hold, after its first clusters, bytes of
  // something else; once no repair has confirmed it, it becomes a zero page.
  // A protected page must pass its protection and structure (in deep
  // recovery, and in any mode where clusters are smaller than a page). In
  // deep recovery a page without protection must pass its structure and,
  // where clusters are smaller than a page, have been put together or found
  // whole in allocation order: the tail of another page of the same kind
  // passes its structure too. (Plain recovery writes such a page as read.)
  // Runs before the gap after the row is written, while the page is the last
  // one of the file.
  // A page written as a zero page because nothing confirmed it.
  auto unconfirmed = [&](int64_t pageNumber, int64_t sector) {
    ++res.unconfirmedPages;
    --res.pagesFromFragments;
    res.unconfirmed.push_back(pageNumber);
    if (ctx.reader.Mender() && ctx.reader.Mender()->Ambiguous(sector))
      person.AddLog(Log::Assembly, std::string(kReassemblyAmbiguous) + std::to_string(pageNumber));
  };
  auto unconfirmedLast = [&](int64_t pageNumber, int64_t sector) {
    if (previous == zero) return true;  // already written as a zero page
    const bool small = geometry.At(sector).sectorsPerCluster < 16;
    if (page::HasProtection(previous.data())
            ? page::IsPageConfirmed(previous.data(), pageNumber, ctx.state.fileId)
            : !ctx.state.deep || (page::IsPageStructureSound(previous.data(), pageNumber, ctx.state.fileId) &&
                                  (!small || previousMended)))
      return true;
    if (!ctx.state.deep && !small) return true;
    std::fill(previous.begin(), previous.end(), 0);
    unconfirmed(pageNumber, sector);
    return out.OverwriteTail(previous.data(), kPageSize);
  };

  // Deep recovery of a file without its file-header page: a zero page 0.
  for (int32_t z = 0; z < firstPage; ++z) {
    if (!out.Append(zero.data(), kPageSize)) return failWrite();
    ++res.zeroPages;
  }
  for (size_t i = 0; i < n; ++i) {
    if (n > 1) person.SetGauge(int(std::lround(double(i) * 100.0 / double(n - 1))));
    person.Breathe();
    const Fragment& f = list.FragmentOf(cat.store, i);
    if (i > 0) {
      const Fragment& prev = list.FragmentOf(cat.store, i - 1);
      const int64_t prevLast = int64_t(prev.endPage) - 1;
      const int64_t prevSector = prev.startSector + 16 * (int64_t(prev.Pages()) - 1);
      if (prev.endPage == f.startPage && prev.Pages() > 0) {
        // Cut points on the cluster boundaries of the volume holding the
        // page; a repair is written only when one candidate alone is
        // confirmed by the page's protection and structure.
        const std::vector<int> cuts = geometry.SplitCuts(prevSector, f.startSector);
        if (!cuts.empty()) {
          if (!ctx.reader.ReadLeadIn(f.startSector, leadIn.data())) {
            person.Message("read disk error ,leftpage", "提示");
          } else {
            switch (page::RepairSplitPageSafely(previous.data(), leadIn.data(), cuts, prevLast, ctx.state.fileId)) {
              case page::SplitOutcome::kRepaired:
                ++res.repairedPages;
                previousMended = true;
                if (!out.OverwriteTail(previous.data(), kPageSize)) return failWrite();
                break;
              case page::SplitOutcome::kAmbiguous:
                ++res.ambiguousPages;
                person.AddLog(Log::Assembly, std::string(kSplitAmbiguous) + std::to_string(prevLast));
                break;
              default:
                break;
            }
          }
        }
      }
      if (prev.Pages() > 0 && !unconfirmedLast(prevLast, prevSector)) return failWrite();
      for (int64_t z = prev.endPage; z < f.startPage; ++z) {
        if (!out.Append(zero.data(), kPageSize)) return failWrite();
        ++res.zeroPages;
      }
    }
    const int32_t pages = f.Pages();
    for (int32_t k = 0; k < pages; ++k) {
      currentMended = false;
      if (ctx.reader.ReadPage(f.startSector, k, current.data())) {
        currentMended = ctx.reader.LastPageVouched();
        if (PageBelongsAt(current.data(), int64_t(f.startPage) + k, ctx.state.fileId)) {
          ++res.pagesFromFragments;
          if (ctx.reader.LastPageMended()) res.deepPages.push_back(int64_t(f.startPage) + k);
          // A page inside the row that its protection (or, without one, its
          // structure) does not confirm (deep recovery; the row's last page
          // waits for the repair).
          if (ctx.state.deep && k + 1 < pages && current != zero &&
              !page::IsPageTrusted(current.data(), int64_t(f.startPage) + k, ctx.state.fileId)) {
            std::memset(current.data(), 0, kPageSize);
            unconfirmed(int64_t(f.startPage) + k, f.startSector + 16 * int64_t(k));
          }
        } else {
          std::memset(current.data(), 0, kPageSize);
          ++res.foreignPages;
        }
      } else {
        std::memset(current.data(), 0, kPageSize);
        person.Message("read disk error", "提示");
        ++res.unreadablePages;
      }
      if (!out.Append(current.data(), kPageSize)) return failWrite();
    }
    previous = current;
    previousMended = currentMended;
  }
  const Fragment& lastRow = list.FragmentOf(cat.store, n - 1);
  const int64_t last = lastRow.endPage;
  if (lastRow.Pages() > 0 &&
      !unconfirmedLast(last - 1, lastRow.startSector + 16 * (int64_t(lastRow.Pages()) - 1)))
    return failWrite();
  for (int64_t z = last; z < ctx.state.filePageCount; ++z) {
    if (!out.Append(zero.data(), kPageSize)) return failWrite();
    ++res.zeroPages;
  }
  if (!out.Close()) return failWrite();
  res.complete = true;
  if (res.unconfirmedPages > 0) {
    person.AddLog(Log::Assembly, std::string(kUnconfirmedZeroed) + std::to_string(res.unconfirmedPages));
    if (ctx.state.deep && !ctx.ds.readFromSource && ctx.reader.Content()) person.AddLog(Log::Assembly, kDeepNeedsSource);
  }
  if (res.foreignPages > 0)
    person.AddLog(Log::Assembly, "不属于此文件的页面已写为空页(FOREIGN PAGES ZEROED):" + std::to_string(res.foreignPages));
  person.AddLog(Log::Assembly, kMdfDone);
  return res;
}

}  // namespace sorrelon
