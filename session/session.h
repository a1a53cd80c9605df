// The state a front holds for one recovery: the chosen source, the first
// tab's settings, the fragment catalogue, the free-space map, the stop flag,
// and the analysis state. Fronts hold one; tests make as many as they like.
#pragma once

#include <atomic>
#include <optional>
#include <string>

#include "analysis/analysis.h"
#include "catalogue/catalogue.h"
#include "catalogue/content_file.h"
#include "catalogue/fragment_reader.h"
#include "catalogue/scan_info.h"
#include "scan/free_space.h"
#include "scan/scan.h"
#include "storage/data_source.h"
#include "storage/sector_reader.h"
#include "storage/sources.h"

namespace sorrelon {

class Session {
 public:
  Session() = default;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  DataSource source;
  SectorReader reader{source};
  FragmentReader fragments{source, reader};

  // First tab.
  SourceFields fields;
  bool limitStartPage = false;     // CheckBox1
  std::string maxStartPageText;    // edtmaxpageid
  std::string fileIdText = "1";    // Edit2
  uint16_t scanFileId = 1;

  Catalogue catalogue;
  FreeSpaceMap freeSpace;
  std::atomic<bool> scanStopped{true};

  // Analysis state (page map, file page count, database file path).
  AnalysisState analysis;
  AnalysisContext Analysis(Person& person) { return {source, fragments, catalogue, analysis, person}; }

  // Deep recovery (深度恢复(DEEP)): off by default. On, the scan also records
  // file-header pages without page 1 behind them, pages are mended as they
  // are read, and CREATE MDF writes protected pages only when confirmed.
  bool deep = false;
  DeepMender mender{source, reader};
  void SetDeep(bool on) {
    deep = on;
    analysis.deep = on;
    mender.Reset();
    fragments.SetMender(on ? &mender : nullptr);
  }

  // Content mode: the open content file answering fragment reads, and what
  // SAVE and OPEN work on.
  std::unique_ptr<ContentFile> content;
  void UseContent(std::unique_ptr<ContentFile> file) { UseContentFile(std::move(file), content, source, fragments); }
  ScanInfoContext ScanInfo(Person& person) {
    return {catalogue, source, reader, fragments, content, fileIdText, scanFileId, fields.secs, person};
  }

  // Reads the scan settings from the first tab's texts. On a field that is
  // not a number: nullopt and `error` names it.
  std::optional<ScanParams> ScanParamsFromFields(std::string* error) const;

  // Reads Edit2 into scanFileId; false when it is not a number.
  bool ReadFileId();
};

}  // namespace sorrelon
