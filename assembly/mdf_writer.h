// CREATE MDF: writes the rebuilt data file from the assembly list — every
// row's pages in display order, zero pages in the gaps and up to the file
// page count, pages split across clusters repaired where clusters are
// smaller than a page.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "analysis/analysis.h"

namespace sorrelon {

struct MdfWriteResult {
  bool started = false;          // a file was created
  bool complete = false;         // every page was written and the file closed
  std::string path;
  int64_t pagesFromFragments = 0;
  int64_t zeroPages = 0;         // gaps and tail
  int64_t unreadablePages = 0;   // written as zero pages after "read disk error"
  int64_t repairedPages = 0;     // split pages rebuilt from the next fragment's lead-in
  int64_t foreignPages = 0;      // pages of a row holding something else, written as zero pages
  int64_t ambiguousPages = 0;    // split pages that several cut points confirm: kept as read
  // Deep recovery: pages that came from a reassembly, and protected pages
  // that nothing confirmed (written as zero pages).
  std::vector<int64_t> deepPages;
  int64_t unconfirmedPages = 0;
  std::vector<int64_t> unconfirmed;
};

inline constexpr const char* kMdfDone = "组合完毕";
inline constexpr const char* kSplitAmbiguous = "拆分页面无法确定,保留原样(SPLIT PAGE AMBIGUOUS):";
inline constexpr const char* kUnconfirmedZeroed = "校验未通过的页面已写为空页(UNCONFIRMED PAGES ZEROED):";
// Deep recovery: a page for which several different reassemblies were
// confirmed; none is used and the page is written as a zero page.
inline constexpr const char* kReassemblyAmbiguous = "页面有多个可能的拼接,未采用(AMBIGUOUS REASSEMBLY):";
// Deep recovery from saved contents: a page split across runs of clusters
// is put together from the clusters around it on the source, which the
// content file does not hold, so such pages are not reassembled there.
inline constexpr const char* kDeepNeedsSource =
    "碎片内容文件中无法拼接分散的页面,请连接源盘后恢复(DEEP REASSEMBLY NEEDS THE SOURCE)";
inline constexpr const char* kSaveMdfTitle = "保存MDF文件,请注意别保存到原数据所在盘，防止覆盖";

// The default output name: the last component of the database file path,
// made safe as a file name (it comes from the disk).
std::string DefaultMdfName(const std::string& databasePath);

// Writes the file. A page read from a row is written only when it is that
// page of the file (its header names it, or it is all zero); a row joined
// across clusters that now hold other data would otherwise put foreign bytes
// at a page number — those are written as zero pages and counted.
// `outPath` given: written there without asking; otherwise
// the save dialog asks. A failed or short write is reported and the result
// says the file is incomplete; "组合完毕" is logged only for a whole file.
MdfWriteResult CreateMdf(AnalysisContext& ctx, std::optional<std::string> outPath = std::nullopt);

}  // namespace sorrelon
