// The analysis on fragments whose pages are arbitrary bytes: learning the
// page map from PFS and IAM pages and page links, scoring, then the whole
// road a person takes from the database-file list (SEARCH, SEARCH MORE, CHECK,
// CREATE MDF and the combined export) over the same fragments.
//
// Input: 8 control bytes, two bytes per fragment (start page, pages), then
// the page pool: the rest of the input in 8 KB pages, handed out in turn to
// the fragments' pages (and their lead-ins), wrapping around.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "analysis/analysis.h"
#include "assembly/export.h"
#include "assembly/mdf_writer.h"
#include "base/bytes.h"
#include "fuzz/fuzz_support.h"

using namespace sorrelon;
using sorrelon::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t kControl = 8;
  if (size < kControl || size > 64 * kPageSize) return 0;
  const size_t fragments = size_t(data[0] % 6) + 1;
  static const int kSpc[] = {1, 2, 4, 8, 16, 64, 3, 5};
  const int spc = kSpc[data[1] % 8];
  const bool automatic = !(data[1] & 0x80);
  const int64_t mapPages = Le16(data + 2) + 1;
  const bool genuine = data[4] & 1;  // page numbers and file id written into every page header
  const bool withLeadIns = data[4] & 2;
  size_t pos = kControl;
  if (size < pos + 2 * fragments) return 0;

  // The page pool.
  const uint8_t* pool = data + pos + 2 * fragments;
  const size_t poolBytes = size - pos - 2 * fragments;
  const size_t poolPages = std::max<size_t>(1, (poolBytes + kPageSize - 1) / kPageSize);
  std::vector<uint8_t> pages(poolPages * kPageSize, 0);
  std::memcpy(pages.data(), pool, poolBytes);

  DataSource ds;
  ds.sectorsPerCluster = int16_t(spc);
  ds.readFromSource = false;
  SectorReader unused(ds);
  FragmentReader reader(ds, unused);
  fuzz::PagesSource source;
  reader.SetContent(&source);
  Catalogue cat;
  size_t next = 0;
  for (size_t f = 0; f < fragments; ++f) {
    const int32_t startPage = f == 0 ? 0 : int32_t(data[pos + 2 * f]) * 3;
    const int32_t count = int32_t(data[pos + 2 * f + 1] % 48) + 1;
    const int64_t startSector = 100000 + int64_t(f) * 4096;
    std::vector<uint8_t> bytes(size_t(count) * kPageSize);
    for (int32_t i = 0; i < count; ++i, ++next) {
      uint8_t* pg = bytes.data() + size_t(i) * kPageSize;
      std::memcpy(pg, pages.data() + (next % poolPages) * kPageSize, kPageSize);
      if (genuine) {
        PutLe32(pg + 32, uint32_t(startPage + i));
        PutLe16(pg + 36, 1);
      }
    }
    source.pages[startSector] = std::move(bytes);
    if (withLeadIns)
      source.leadIns[startSector].assign(pages.data() + (next % poolPages) * kPageSize,
                                         pages.data() + (next % poolPages) * kPageSize + 15 * 512);
    cat.store.Append({int32_t(f + 1), startSector, startSector + 16 * count, 8 * count, startPage,
                      startPage + count, " ", true});
  }
  cat.startIndex.Build(cat.store);
  RebuildFragmentList(cat.store, cat.fragmentList);
  RebuildDatabaseFileList(cat.store, cat.databaseFiles);

  SilentPerson person;
  AnalysisState state;
  AnalysisContext ctx{ds, reader, cat, state, person};

  // Learning and scoring on their own, over a map of a chosen size.
  state.pageMap.Init(mapPages);
  state.filePageCount = int32_t(mapPages);
  const Fragment& first = cat.store[0];
  LearnPfsPages(ctx, first.Pages(), first.startPage, first.startSector);
  for (size_t f = 0; f < cat.store.size(); ++f) {
    const Fragment& fr = cat.store[f];
    LearnPages(ctx, fr.Pages(), fr.startPage, fr.startSector);
    const FragmentScore score = ScoreFragment(ctx, fr.Pages(), fr.startPage, fr.startSector);
    Check(score.matches >= 0 && score.conflicts >= 0 && score.conflicts <= 1);
    Check(score.matches + score.conflicts <= fr.Pages());
  }
  for (size_t k = 0; k < cat.startIndex.size(); ++k) {
    const Verdict v = FragmentVerdict(ctx, k);
    Check(v == kAccepted || v == kRejected || v == kUndetermined);
  }

  // The whole road from the database-file list.
  state = AnalysisState{};
  Check(!cat.databaseFiles.empty());
  if (!RunAnalysis(ctx, 0, automatic)) return 0;
  Check(state.pageMap.size() == std::min<int64_t>(std::max(state.filePageCount, 0), PageMap::kCapacity));
  Check(!cat.assemblyList.empty());
  cat.AssemblyColumnClick(kColStartPage);
  SearchMore(ctx);
  CheckMissingPages(ctx);

  // Writing, when the file is small enough to write for every input.
  if (state.filePageCount < 0 || state.filePageCount > 512) return 0;
  static const std::string out = "/tmp/fuzz_analysis." + std::to_string(::getpid()) + ".mdf";
  cat.AssemblyColumnClick(kColStartPage);
  const MdfWriteResult written = CreateMdf(ctx, out);
  if (written.complete) {
    const int64_t pagesWritten =
        written.pagesFromFragments + written.zeroPages + written.unreadablePages + written.foreignPages +
        written.unconfirmedPages;
    Check(int64_t(std::filesystem::file_size(out)) == pagesWritten * kPageSize);
    Check(pagesWritten >= state.filePageCount);
  }
  std::vector<ExportRow> rows;
  for (const ListRow& r : cat.assemblyList.rows) {
    const Fragment& f = cat.store[size_t(r.fragment)];
    rows.push_back({f.startSector, f.sizeKb, f.startPage, f.endPage});
  }
  const ExportResult exported = ExportCombined(rows, out, data[4] & 4, ds, reader, person);
  if (exported.complete)
    Check(int64_t(std::filesystem::file_size(out)) == (exported.pages + exported.zeroPages) * kPageSize);
  std::remove(out.c_str());
  return 0;
}
