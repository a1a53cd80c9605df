// Fragment export: the pages of chosen fragments copied into plain files,
// either all of them in one combined file (zero pages filling the gaps of the
// page numbering, pages split across clusters repaired) or one ".hex" file per
// fragment named after its start sector. Reads go through the fragment reader,
// so content mode answers them too. Nothing in the program's state changes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/person.h"
#include "catalogue/catalogue.h"
#include "catalogue/fragment_reader.h"
#include "storage/data_source.h"

namespace sorrelon {

// One row to export. The per-fragment form needs only the start sector and
// the size; the combined form also the page numbers.
struct ExportRow {
  int64_t startSector = 0;
  int32_t sizeKb = 0;
  int32_t startPage = 0;
  int32_t endPage = 0;
  int32_t Pages() const;
};

inline constexpr const char* kExportFormQuestion = "组合保存成一个文件选是，保存为多个文件选否";
inline constexpr const char* kExportPrecheckQuestion = "判断页号重复选是，不判断则选否";
inline constexpr const char* kExportCaption = "数据文件类型选择";
inline constexpr const char* kCombinedTitle = "组合文件";
inline constexpr const char* kCombinedDefaultName = "noname";
inline constexpr const char* kFolderTitle = "保存目录";
inline constexpr const char* kExportDone = "保存完毕";

struct ExportResult {
  bool complete = false;            // every file wholly written ("保存完毕" was shown)
  std::vector<std::string> files;   // files created, in order (the last may be incomplete)
  int64_t pages = 0;                // pages read and written
  int64_t zeroPages = 0;            // gap pages (combined form)
  int64_t repairedPages = 0;        // split pages rebuilt (combined form)
};

// The checked rows of the fragment list, in display order.
std::vector<ExportRow> CheckedExportRows(const Catalogue& cat);

// The name of a fragment's file: folder + platform separator + start sector + ".hex".
std::string FragmentFileName(const std::string& folder, int64_t startSector);

// Combined file at `path`, no questions. `precheck`: refuse rows whose start
// page lies below the previous row's end page ("error,pageid not connectted:"
// + page; nothing written). Split pages are repaired where sectors per cluster
// is below 16.
ExportResult ExportCombined(const std::vector<ExportRow>& rows, const std::string& path, bool precheck,
                            const DataSource& ds, FragmentReader& reader, Person& person);

// Per-fragment files in `folder`, no questions.
ExportResult ExportFragmentFiles(const std::vector<ExportRow>& rows, const std::string& folder,
                                 FragmentReader& reader, Person& person);

// The per-fragment form with its folder dialog ("保存目录"); also the
// continuation dialog's "把勾选的碎片保存为文件" with its checked candidates.
ExportResult SaveFragmentFiles(const std::vector<ExportRow>& rows, FragmentReader& reader, Person& person);
ExportResult SaveFragmentFiles(const std::vector<CandidateRow>& rows, FragmentReader& reader, Person& person);

// "提取勾选碎片到文件" (N9Click): asks the form, then for the combined file the
// pre-check question and the save dialog ("组合文件", "noname"), or for the
// per-fragment files the folder; exports the checked rows of the fragment list.
ExportResult ExportCheckedFragments(const Catalogue& cat, const DataSource& ds, FragmentReader& reader,
                                    Person& person);

}  // namespace sorrelon
