// SEARCH + SEARCH MORE on a large store against one sequential read of the
// pages they judge, in the same run.
//
// Builds an image holding several generated databases with overlapping page
// numbers, cut into pieces of one to three pages placed in shuffled order
// (about 200,000 fragments), scans it, then times the analysis of one of the
// databases (automatic choice) and SEARCH MORE, counting the sectors they
// read; the baseline reads as many bytes sequentially from the cached image.
// Usage: bench_analysis [DATABASES] [PAGES-EACH] [IMAGE-PATH]
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "analysis/analysis.h"
#include "base/person.h"
#include "catalogue/lists.h"
#include "scan/free_space.h"
#include "scan/scan.h"
#include "tools/mdfgen/mdfgen.h"

using namespace sorrelon;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::time_point a) { return std::chrono::duration<double>(Clock::now() - a).count(); }

class CountingReader : public SectorReader {
 public:
  using SectorReader::SectorReader;
  int64_t sectors = 0;
  int64_t ReadSectorsUpTo(uint32_t count, void* buf, int64_t first) override {
    sectors += count;
    return SectorReader::ReadSectorsUpTo(count, buf, first);
  }
};

}  // namespace

int main(int argc, char** argv) {
  const int dbs = argc > 1 ? std::atoi(argv[1]) : 4;
  const int32_t pagesEach = argc > 2 ? std::atoi(argv[2]) : 100000;
  const std::string path = argc > 3 ? argv[3] : "/tmp/sorrelon-bench-analysis.img";

  // Pieces of every database, shuffled, each behind a one-page gap of noise.
  struct Piece {
    int db;
    int32_t first, pages;
  };
  std::vector<std::vector<uint8_t>> files;
  std::vector<Piece> pieces;
  std::mt19937 rng(7);
  for (int d = 0; d < dbs; ++d) {
    mdfgen::Options o;
    o.pages = pagesEach;
    o.seed = uint64_t(100 + d);
    o.objects = 12;
    o.physicalName = "D:\\Data\\Db" + std::to_string(d) + ".mdf";
    files.push_back(mdfgen::GenerateFile(o));
    // The first piece holds pages 0..39 so the file is named; then 1..3 pages.
    pieces.push_back({d, 0, 40});
    for (int32_t p = 40; p < pagesEach;) {
      int32_t n = std::min<int32_t>(pagesEach - p, int32_t(1 + rng() % 3));
      pieces.push_back({d, p, n});
      p += n;
    }
  }
  std::shuffle(pieces.begin(), pieces.end(), rng);
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<uint8_t> gap(kPageSize);
    for (auto& c : gap) c = uint8_t(rng());
    for (const Piece& pc : pieces) {
      out.write(reinterpret_cast<const char*>(gap.data()), kPageSize);
      out.write(reinterpret_cast<const char*>(files[size_t(pc.db)].data() + size_t(pc.first) * kPageSize),
                std::streamsize(size_t(pc.pages) * kPageSize));
    }
  }
  files.clear();
  files.shrink_to_fit();
  (void)!std::system(("cat " + path + " > /dev/null").c_str());

  DataSource ds;
  ds.sourceChosen = true;
  ds.devicePath = path;
  CountingReader reader(ds);
  ds.sectorBound = ds.endSector = reader.SourceSectors();
  FragmentReader fragments(ds, reader);
  Catalogue cat;
  FreeSpaceMap map;
  std::atomic<bool> stop{false};
  SilentPerson person;
  ScanParams sp;
  sp.end = ds.endSector;
  sp.sectorsPerCluster = 16;
  auto t0 = Clock::now();
  RunScan(sp, ds, reader, cat, map, stop, person);
  const double scanSecs = Seconds(t0);
  RebuildDatabaseFileList(cat.store, cat.databaseFiles);
  std::printf("image %s: %.2f GB, %zu pieces, %zu fragments, %zu database files; scan %.2f s\n", path.c_str(),
              double(ds.endSector) * 512 / 1e9, pieces.size(), cat.store.size(), cat.databaseFiles.size(), scanSecs);

  AnalysisState st;
  AnalysisContext ctx{ds, fragments, cat, st, person};
  reader.sectors = 0;
  auto t1 = Clock::now();
  bool ok = RunAnalysis(ctx, 0, true);
  const double searchSecs = Seconds(t1);
  const int64_t searchSectors = reader.sectors;
  cat.AssemblyColumnClick(kColStartPage);
  auto t2 = Clock::now();
  SearchMore(ctx);
  const double moreSecs = Seconds(t2);
  const int64_t judgedBytes = reader.sectors * 512;
  std::printf("SEARCH %s: %.3f s (%lld pages read); SEARCH MORE %.3f s; assembly rows %zu\n", ok ? "ok" : "FAILED",
              searchSecs, (long long)(searchSectors / 16), moreSecs, cat.assemblyList.size());

  // Baseline: the same number of bytes read sequentially from the image.
  int fd = ::open(path.c_str(), O_RDONLY);
  std::vector<uint8_t> buf(6 << 20);
  auto t3 = Clock::now();
  int64_t done = 0;
  off_t off = 0;
  const off_t size = ::lseek(fd, 0, SEEK_END);
  while (done < judgedBytes) {
    size_t n = size_t(std::min<int64_t>(int64_t(buf.size()), judgedBytes - done));
    if (off + off_t(n) > size) off = 0;
    if (::pread(fd, buf.data(), n, off) <= 0) break;
    off += off_t(n);
    done += int64_t(n);
  }
  const double seqSecs = Seconds(t3);
  ::close(fd);
  std::printf("sequential read of the %.1f MB judged: %.3f s (baseline)\n", double(judgedBytes) / 1e6, seqSecs);
  std::printf("SEARCH + SEARCH MORE / sequential read = %.2f\n", (searchSecs + moreSecs) / seqSecs);
  if (argc <= 3) std::remove(path.c_str());
  return ok ? 0 : 1;
}
