// The scan: walks the source from a begin sector to an end sector in steps of
// a cluster, recognises page headers of one database file, follows each hit
// through the pages lying contiguously behind it, and records every run of
// consecutive pages as a fragment. Reads 6 MB windows strictly forward.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "base/person.h"
#include "catalogue/add_fragment.h"
#include "catalogue/catalogue.h"
#include "storage/data_source.h"
#include "storage/sector_reader.h"

namespace sorrelon {

class FreeSpaceMap;

constexpr uint32_t kScanWindowSectors = 12288;
constexpr int64_t kJoinDistanceSectors = 129408;

struct ScanParams {
  int64_t begin = 0;             // edtbegin: first sector examined
  int64_t end = 0;               // edtend: first sector not examined
  int32_t sectorsPerCluster = 1; // edtsecs; the step is 16 when this is 32 or more
  bool freeSpaceOnly = false;    // chkfreespace checked
  uint16_t scanFileId = 1;       // Edit2
  AddFragmentOptions limit;      // CheckBox1 / edtmaxpageid
  // Deep recovery: a file-header page without page 1 behind it (page 0
  // split across clusters, or page 1 elsewhere) is recorded as a fragment of
  // one page, so the file is offered all the same.
  bool recordLonelyHeaders = false;
};

enum class ScanEnd { Finished, Stopped, MapFailed, FirstWindowFailed, StoreFull, BadParams };

// Scan texts.
inline constexpr const char* kScanStarted = "开始扫描";
inline constexpr const char* kScanFinished = "完成";
inline constexpr const char* kScanStopped = "已停止扫描";
inline constexpr const char* kLoadingMap = "正在取分区存储位图";
inline constexpr const char* kMapFailed = "生成存储位图失败";
inline constexpr const char* kStoreFullLine = "碎片数量已达上限2000001,扫描停止(FRAGMENT LIMIT REACHED)";

// Runs one scan. Appends to the catalogue (it never clears it), sets
// ds.sectorsPerCluster from the params, sets `scanStopped` when it ends and
// rebuilds the start-page index however it ends.
ScanEnd RunScan(const ScanParams& params, DataSource& ds, SectorReader& reader, Catalogue& cat,
                FreeSpaceMap& freeSpace, std::atomic<bool>& scanStopped, Person& person);

}  // namespace sorrelon
