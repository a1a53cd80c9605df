#include "assembly/export.h"

#include <cstring>
#include <filesystem>
#include <mutex>

#include "base/bytes.h"
#include "catalogue/out_file.h"
#include "analysis/deep.h"
#include "page/page.h"
#include "page/reassembly.h"

namespace sorrelon {

int32_t ExportRow::Pages() const { return PagesFromKb(sizeKb); }

std::vector<ExportRow> CheckedExportRows(const Catalogue& cat) {
  std::lock_guard<std::mutex> lock(cat.mutex);
  std::vector<ExportRow> rows;
  for (const ListRow& r : cat.fragmentList.rows) {
    if (!r.checked || r.fragment < 0 || size_t(r.fragment) >= cat.store.size()) continue;
    const Fragment& f = cat.store[size_t(r.fragment)];
    rows.push_back({f.startSector, f.sizeKb, f.startPage, f.endPage});
  }
  return rows;
}

std::string FragmentFileName(const std::string& folder, int64_t startSector) {
  constexpr char sep = char(std::filesystem::path::preferred_separator);
  std::string name = folder;
  const bool endsInSeparator = !name.empty() && (name.back() == sep || name.back() == '/');
  if (!name.empty() && !endsInSeparator) name.push_back(sep);
  name += std::to_string(startSector);
  name += ".hex";
  return name;
}

namespace {

// The pre-check of the combined form: every checked row after the first must
// begin at or after the previous row's end page.
bool PagesConnect(const std::vector<ExportRow>& rows, Person& person) {
  for (size_t i = 1; i < rows.size(); ++i) {
    if (rows[i].startPage < rows[i - 1].endPage) {
      person.Message("error,pageid not connectted:" + std::to_string(rows[i].startPage), "提示");
      return false;
    }
  }
  return true;
}

}  // namespace

ExportResult ExportCombined(const std::vector<ExportRow>& rows, const std::string& path, bool precheck,
                            const DataSource& ds, FragmentReader& reader, Person& person) {
  ExportResult res;
  if (precheck && !PagesConnect(rows, person)) return res;
  OutFile out;
  if (!out.Create(path)) {
    person.Message("error,无法创建文件", "提示");
    return res;
  }
  res.files.push_back(path);
  auto writeFailed = [&]() {
    out.Close();
    person.Message(WriteFailedText(path, out.error()), "提示");
    return res;
  };
  auto readFailed = [&]() {
    out.Close();
    person.Message("read disk error", "提示");
    return res;
  };

  // Where clusters begin (the volume's boot sector, or on a whole disk the
  // partition holding the page), for the cut points of the split-page repair.
  ClusterGeometry geometry;
  std::vector<uint8_t> current(kPageSize), previous(kPageSize), leadIn(15 * 512);
  const std::vector<uint8_t> zero(kPageSize, 0);
  // Whether the file ends with the last page read for the previous row: only
  // then is there a page the repair may rewrite.
  bool endsWithPrevious = false;
  int64_t prevEnd = 0, prevSector = 0;
  for (size_t i = 0; i < rows.size(); ++i) {
    const ExportRow& row = rows[i];
    if (i > 0) {
      if (row.startPage > prevEnd) {
        for (int64_t z = prevEnd; z < row.startPage; ++z) {
          if (!out.Append(zero.data(), kPageSize)) return writeFailed();
          ++res.zeroPages;
        }
        endsWithPrevious = false;
      } else if (row.startPage == prevEnd && endsWithPrevious && ds.sectorsPerCluster > 0) {
        // Only a repair that one cut point alone confirms (protection and
        // structure) is written; otherwise the page stays as read.
        geometry.LoadOnce(ds, reader.Source());
        const std::vector<int> cuts = geometry.SplitCuts(prevSector, row.startSector);
        if (!cuts.empty()) {
          if (!reader.ReadLeadIn(row.startSector, leadIn.data())) return readFailed();
          if (page::RepairSplitPageSafely(previous.data(), leadIn.data(), cuts, prevEnd - 1,
                                          Le16(previous.data() + page::off::fileId)) == page::SplitOutcome::kRepaired) {
            if (!out.OverwriteTail(previous.data(), kPageSize)) return writeFailed();
            ++res.repairedPages;
          }
        }
      }
    }
    const int32_t pages = row.Pages();
    for (int32_t k = 0; k < pages; ++k) {
      if (!reader.ReadPage(row.startSector, k, current.data())) return readFailed();
      if (!out.Append(current.data(), kPageSize)) return writeFailed();
      ++res.pages;
      std::memcpy(previous.data(), current.data(), kPageSize);
      prevSector = row.startSector + 16 * int64_t(k);
      endsWithPrevious = true;
    }
    prevEnd = row.endPage;
  }
  if (!out.Close()) return writeFailed();
  res.complete = true;
  person.Message(kExportDone, "提示");
  return res;
}

ExportResult ExportFragmentFiles(const std::vector<ExportRow>& rows, const std::string& folder,
                                 FragmentReader& reader, Person& person) {
  ExportResult res;
  std::vector<uint8_t> page(kPageSize);
  for (const ExportRow& row : rows) {
    const std::string name = FragmentFileName(folder, row.startSector);
    OutFile out;
    if (!out.Create(name)) {
      person.Message("error,无法创建文件" + name, "提示");
      return res;
    }
    res.files.push_back(name);
    const int32_t pages = row.Pages();
    for (int32_t k = 0; k < pages; ++k) {
      if (!reader.ReadPage(row.startSector, k, page.data())) {
        out.Close();
        person.Message("read disk error", "提示");
        return res;
      }
      if (!out.Append(page.data(), kPageSize)) break;
      ++res.pages;
    }
    if (!out.Close()) {
      person.Message(WriteFailedText(name, out.error()), "提示");
      return res;
    }
  }
  res.complete = true;
  person.Message(kExportDone, "提示");
  return res;
}

ExportResult SaveFragmentFiles(const std::vector<ExportRow>& rows, FragmentReader& reader, Person& person) {
  auto folder = person.ChooseFolder(kFolderTitle);
  if (!folder) return {};
  return ExportFragmentFiles(rows, *folder, reader, person);
}

ExportResult SaveFragmentFiles(const std::vector<CandidateRow>& rows, FragmentReader& reader, Person& person) {
  std::vector<ExportRow> plain;
  plain.reserve(rows.size());
  for (const CandidateRow& c : rows) plain.push_back({c.startSector, c.sizeKb, c.startPage, c.endPage});
  return SaveFragmentFiles(plain, reader, person);
}

ExportResult ExportCheckedFragments(const Catalogue& cat, const DataSource& ds, FragmentReader& reader,
                                    Person& person) {
  if (!person.Ask(kExportFormQuestion, kExportCaption)) return SaveFragmentFiles(CheckedExportRows(cat), reader, person);
  const bool precheck = person.Ask(kExportPrecheckQuestion, kExportCaption);
  std::vector<ExportRow> rows = CheckedExportRows(cat);
  if (precheck && !PagesConnect(rows, person)) return {};
  auto path = person.ChooseSaveFile(kCombinedTitle, kCombinedDefaultName);
  if (!path) return {};
  return ExportCombined(rows, *path, /*precheck=*/false, ds, reader, person);
}

}  // namespace sorrelon
