// A scan over an image that is the input, then the analysis of the first
// database file it found, read from the same image. Every fragment the scan
// records lies inside the image and is described consistently; the lists and
// the start-page index agree with the store.
//
// Input: 4 control bytes (cluster size, begin, file id, flags: the image is a
// volume whose free-space map is used, a start-page limit, an end beyond the
// image, deep recovery), then the image.
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <set>
#include <vector>

#include "analysis/analysis.h"
#include "analysis/deep.h"
#include "assembly/mdf_writer.h"
#include "base/bytes.h"
#include "fuzz/fuzz_support.h"
#include "scan/free_space.h"
#include "scan/scan.h"
#include "storage/sources.h"

using namespace sorrelon;
using sorrelon::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t kControl = 4;
  if (size < kControl || size > kControl + (1 << 20)) return 0;
  static const int32_t kSpc[] = {1, 2, 4, 8, 16, 32, 64, 3};
  ScanParams params;
  params.sectorsPerCluster = kSpc[data[0] % 8];
  params.begin = data[1] % 24;
  params.scanFileId = data[2] < 0xF0 ? 1 : uint16_t(data[2] - 0xF0);
  params.freeSpaceOnly = data[3] & 1;
  params.limit.limitStartPage = data[3] & 2;
  params.limit.maxStartPage = data[2];
  const bool deep = data[3] & 8;
  params.recordLonelyHeaders = deep;

  DataSource ds;
  fuzz::MemoryReader reader(ds, std::vector<uint8_t>(data + kControl, data + size));
  const int64_t sectors = reader.SourceSectors();
  SilentPerson person;
  if (params.freeSpaceOnly) {
    ds.isLogicalDrive = true;
    ds.hasFileSystem = true;
    ds.sectorBound = sectors - 1;
    ParseBootSector(ds, reader, person);
  }
  params.end = data[3] & 4 ? sectors + 100 : sectors;

  Catalogue cat;
  FreeSpaceMap map;
  std::atomic<bool> stopped{false};
  const ScanEnd end = RunScan(params, ds, reader, cat, map, stopped, person);
  Check(stopped.load());
  Check(cat.startIndex.size() == cat.store.size());
  std::set<int32_t> listed;
  for (const ListRow& row : cat.fragmentList.rows) {
    Check(row.fragment >= 0 && size_t(row.fragment) < cat.store.size());
    Check(listed.insert(row.fragment).second);
  }
  Check(listed.size() == cat.store.size());
  for (size_t i = 0; i < cat.store.size(); ++i) {
    const Fragment& f = cat.store[i];
    Check(f.startSector >= params.begin && f.startSector < sectors);
    Check(f.Pages() >= 1 && f.sizeKb == 8 * f.Pages());
    Check(f.endSector == f.startSector + 16 * int64_t(f.Pages()));
    Check(f.endPage == f.startPage + f.Pages() && f.startPage >= 0);
    // A run ends with the page whose header is the last one inside the image.
    Check(f.endSector < sectors + 16);
    if (params.limit.limitStartPage) Check(f.startPage < params.limit.maxStartPage);
  }
  if (end != ScanEnd::Finished) return 0;

  // The first database file, chained from the image.
  RebuildDatabaseFileList(cat.store, cat.databaseFiles);
  if (cat.databaseFiles.empty()) return 0;
  FragmentReader fragments(ds, reader);
  DeepMender mender(ds, reader);
  if (deep) fragments.SetMender(&mender);
  AnalysisState state;
  state.deep = deep;
  AnalysisContext ctx{ds, fragments, cat, state, person};
  if (!RunAnalysis(ctx, 0, true)) return 0;
  cat.AssemblyColumnClick(kColStartPage);
  SearchMore(ctx);
  CheckMissingPages(ctx);
  if (state.filePageCount < 0 || state.filePageCount > 512) return 0;
  static const std::string out = "/tmp/fuzz_scan." + std::to_string(::getpid()) + ".mdf";
  const MdfWriteResult written = CreateMdf(ctx, out);
  if (written.complete)
    Check(int64_t(std::filesystem::file_size(out)) ==
          (written.pagesFromFragments + written.zeroPages + written.unreadablePages + written.foreignPages +
           written.unconfirmedPages) *
              kPageSize);
  std::remove(out.c_str());
  return 0;
}
