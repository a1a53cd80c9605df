// Reconstruction analysis: the page map that learns a file's allocation
// pages (PFS, IAM) and page links, fragment scoring and verdicts, the chaining
// of fragments to a chosen file (SEARCH), the second search for fragments in
// the gaps (SEARCH MORE), and the missing-page check (CHECK).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "analysis/deep.h"
#include "base/person.h"
#include "catalogue/catalogue.h"
#include "catalogue/fragment_reader.h"
#include "storage/data_source.h"

namespace sorrelon {

// What the page map knows of one page of the file being rebuilt.
struct PageRecord {
  int32_t expectedOwner = 0;   // object id the page must carry; 0 unknown
  uint8_t expectedType = 0;    // 10: a PFS page marks it as an IAM page
  uint8_t allocation = 255;    // 255 unknown, 1 allocated, 0 free (by a PFS page)
  uint8_t ownerSource = 255;   // 255 unknown, 0 allocation page, 1 page link
  // 1: the learnt fragment that covers this page holds something else there
  // (a page whose header names another page, e.g. a cluster overwritten
  // inside a joined fragment). CHECK lists it and the writer writes zeros.
  uint8_t foreign = 0;
};

// Whether an 8 KB page read at page number `pageNumber` of file `fileId` is
// that page: all zero (never written) or a header that names it.
bool PageBelongsAt(const uint8_t* page, int64_t pageNumber, uint16_t fileId);

class PageMap {
 public:
  static constexpr int64_t kCapacity = 20000001;  // pages 0 .. 20,000,000

  // Every record of pages 0 .. count - 1 unknown (count clamped to the capacity).
  void Init(int64_t filePageCount);
  int64_t size() const { return int64_t(records_.size()); }
  bool Has(int64_t p) const { return p >= 0 && p < size(); }
  // Out-of-range pages read as unknown; updates aimed there are ignored.
  const PageRecord& At(int64_t p) const { return Has(p) ? records_[size_t(p)] : unknown_; }
  PageRecord* Mut(int64_t p) { return Has(p) ? &records_[size_t(p)] : nullptr; }

 private:
  std::vector<PageRecord> records_;
  PageRecord unknown_{};
};

// State of the last analysis run, read by SEARCH MORE, CHECK and CREATE MDF.
struct AnalysisState {
  PageMap pageMap;
  int32_t filePageCount = 0;
  uint16_t fileId = 1;          // the file id page 0 of the chosen file carries
  std::string databasePath;     // from page 32, or "c:\noname.mdf"
  int32_t currentFragment = -1;
  int chosenRow = 0;            // the continuation dialog's remembered row
  // Deep recovery (深度恢复): pages are mended as they are read, and CREATE
  // MDF writes a protected page only when it is confirmed.
  bool deep = false;
  // Deep recovery: the chosen file has no file-header page; its chain
  // begins at page 1 and page 0 is written as a zero page.
  bool pageZeroMissing = false;
  // Where clusters begin, for the split-page repair; loaded on first use.
  ClusterGeometry geometry;
};

inline constexpr const char* kNoName = "c:\\noname.mdf";

// Everything an analysis command works on.
struct AnalysisContext {
  const DataSource& ds;
  FragmentReader& reader;
  Catalogue& cat;
  AnalysisState& state;
  Person& person;
};

enum Verdict : int { kAccepted = 1, kRejected = 2, kUndetermined = 3 };

struct FragmentScore {
  int matches = 0;
  int conflicts = 0;
};

// Learning from a fragment's pages (n pages from page s at startSector).
bool LearnPages(AnalysisContext& ctx, int32_t n, int32_t s, int64_t startSector);
bool LearnPfsPages(AnalysisContext& ctx, int32_t n, int32_t s, int64_t startSector);
FragmentScore ScoreFragment(AnalysisContext& ctx, int32_t n, int32_t s, int64_t startSector);
// Verdict of the fragment at position k of the start-page index.
Verdict FragmentVerdict(AnalysisContext& ctx, size_t k);

// SEARCH: chains the fragments of the database file in row `fileRow` of the
// database-file list. `automatic` is the 自动模式 check box: ambiguous
// continuations are settled by the nearest start sector, otherwise the person
// is asked. Answers true when the run ended normally.
bool RunAnalysis(AnalysisContext& ctx, int fileRow, bool automatic);

// A page's log sequence number (the header's three parts) as one ordered value.
__extension__ typedef unsigned __int128 PageLsn;
PageLsn ReadPageLsn(const uint8_t* page);

// Deep recovery: of the accepted fragments at start-page index positions
// `same` (all starting at the same page, e.g. from two copies of one
// database), the ones that fit the file best: fewest pages newer than
// `checkpoint` (the newest LSN of the file's header pages 0 and 9), then
// fewest links from the current fragment that are not returned, most that
// are, then the newest pages. More than one when they cannot be told apart.
std::vector<size_t> BestCopies(AnalysisContext& ctx, const std::vector<size_t>& same, PageLsn checkpoint);

// Deep recovery: adds to the database-file list a row for every fragment
// that begins with the first PFS page (page 1) of file `fileId`, for files
// whose page 0 is gone; the row's remark says so and names the file from
// page 32 where the fragment holds it.
void OfferHeaderlessFiles(AnalysisContext& ctx, uint16_t fileId);
// The page count of a file without page 0, whose fragment `first` begins
// with its first PFS page (page 1) of file `fileId`: the end of the last
// extent that its PFS pages mark allocated (page 1, and each further PFS page
// a fragment holds, counted while the file is known to reach it and when it
// agrees with the GAM), how far its GAM (page 2) shows it to reach and the
// end of `first`. Nullopt when `first` does not begin with such a page.
std::optional<int32_t> HeaderlessPageCount(AnalysisContext& ctx, const Fragment& first, uint16_t fileId);

// SEARCH MORE: fills the gaps of the assembly list until a pass adds nothing,
// then completes the file name from page 32.
void SearchMore(AnalysisContext& ctx);

// CHECK: lists the PFS pages and allocated pages no assembly row supplies.
void CheckMissingPages(AnalysisContext& ctx);

// Analysis texts.
inline constexpr const char* kAnalysisDone = "分析已正常结束,请组合前进行二次查找";
inline constexpr const char* kUserStopped = "用户终止";
inline constexpr const char* kScanStillRunning = "尚未扫描结束";
inline constexpr const char* kPageZeroMissing = "缺少文件头页(PAGE 0 MISSING)";
inline constexpr const char* kCopiesNotToldApart = "存在无法区分的副本(COPIES CANNOT BE TOLD APART):碎片号";

}  // namespace sorrelon
