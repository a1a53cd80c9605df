// Deep recovery against the plain recovery of the same image, in the same
// run: the time of SEARCH + SEARCH MORE + CREATE MDF in both modes, and the
// genuine pages each gets back.
//
// The image is a disk without a file system (no allocation map: every split
// page goes to the checksum-guided search, the costly path): a generated
// database with page checksums cut into runs of 8 to 24 sectors, each behind
// a gap of 1 to 8 sectors of noise, so most pages lie in two or three
// pieces. Scanned sector by sector, as a whole disk is. With LOST-EVERY = n,
// one run in n is overwritten with noise, so the pages around it cannot be
// rebuilt and cost the whole search (two, three and four pieces).
// Usage: bench_deep [PAGES] [LOST-EVERY] [IMAGE-PATH]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "analysis/analysis.h"
#include "analysis/deep.h"
#include "assembly/mdf_writer.h"
#include "base/person.h"
#include "catalogue/lists.h"
#include "scan/free_space.h"
#include "scan/scan.h"
#include "tools/mdfgen/mdfgen.h"

using namespace sorrelon;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::time_point a) { return std::chrono::duration<double>(Clock::now() - a).count(); }

struct Outcome {
  double scan = 0, rebuild = 0;
  int64_t recovered = 0, wrong = 0, mended = 0;
};

Outcome Recover(const std::string& image, const std::string& out, const std::vector<uint8_t>& original, bool deep) {
  DataSource ds;
  ds.sourceChosen = true;
  ds.devicePath = image;
  SectorReader reader(ds);
  ds.sectorBound = ds.endSector = reader.SourceSectors();
  ds.sectorsPerCluster = 1;
  FragmentReader fragments(ds, reader);
  DeepMender mender(ds, reader);
  if (deep) fragments.SetMender(&mender);
  Catalogue cat;
  FreeSpaceMap map;
  std::atomic<bool> stop{false};
  SilentPerson person;
  ScanParams sp;
  sp.end = ds.endSector;
  sp.sectorsPerCluster = 1;
  sp.recordLonelyHeaders = deep;
  Outcome o;
  auto t0 = Clock::now();
  RunScan(sp, ds, reader, cat, map, stop, person);
  o.scan = Seconds(t0);
  RebuildDatabaseFileList(cat.store, cat.databaseFiles);
  AnalysisState st;
  st.deep = deep;
  AnalysisContext ctx{ds, fragments, cat, st, person};
  auto t1 = Clock::now();
  if (cat.databaseFiles.empty() || !RunAnalysis(ctx, 0, true)) return o;
  cat.AssemblyColumnClick(kColStartPage);
  SearchMore(ctx);
  const MdfWriteResult w = CreateMdf(ctx, out);
  o.rebuild = Seconds(t1);
  o.mended = int64_t(w.deepPages.size());
  std::ifstream in(out, std::ios::binary);
  std::vector<uint8_t> got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (size_t k = 0; k < original.size() / kPageSize; ++k) {
    const uint8_t* a = original.data() + k * kPageSize;
    if (a[0] != 1) continue;  // never-written pages are not counted
    if (got.size() >= (k + 1) * kPageSize) {
      const uint8_t* b = got.data() + k * kPageSize;
      bool zero = true;
      for (size_t i = 0; i < kPageSize && zero; ++i) zero = b[i] == 0;
      if (std::equal(a, a + kPageSize, b)) ++o.recovered;
      else if (!zero) {
        ++o.wrong;
        if (std::getenv("BENCH_DEEP_SHOW")) {
          int diff = 0;
          for (int q = 0; q < 16; ++q) diff |= (std::memcmp(a + q * 512, b + q * 512, 512) != 0) << q;
          std::printf("wrong page %zu: sectors differing 0x%04x, byte5 %02x, type %d\n", k, diff, a[5], a[1]);
        }
      }
    }
  }
  std::remove(out.c_str());
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  const int32_t pages = argc > 1 ? std::atoi(argv[1]) : 4000;
  const int lostEvery = argc > 2 ? std::atoi(argv[2]) : 0;
  const std::string path = argc > 3 ? argv[3] : "/tmp/sorrelon-bench-deep.img";
  mdfgen::Options o;
  o.pages = pages;
  o.protection = mdfgen::Protection::kChecksum;
  o.seed = 11;
  const std::vector<uint8_t> file = mdfgen::GenerateFile(o);
  const int64_t runs = mdfgen::WriteScatteredImage(path, file, 5, lostEvery);
  if (runs < 0) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    return 2;
  }
  (void)!std::system(("cat " + path + " > /dev/null").c_str());
  int64_t genuine = 0;
  for (size_t k = 0; k < file.size() / kPageSize; ++k) genuine += file[k * kPageSize] == 1;
  std::printf("image %s: %d pages (%lld written) in %lld runs of 8 to 24 sectors, %.1f MB\n", path.c_str(), pages,
              (long long)genuine, (long long)runs, double(std::filesystem::file_size(path)) / 1e6);

  const Outcome plain = Recover(path, path + ".plain.mdf", file, false);
  const Outcome deep = Recover(path, path + ".deep.mdf", file, true);
  std::printf("plain: scan %.3f s, SEARCH + SEARCH MORE + CREATE MDF %.3f s (baseline); %lld/%lld pages, %lld wrong\n",
              plain.scan, plain.rebuild, (long long)plain.recovered, (long long)genuine, (long long)plain.wrong);
  std::printf("deep:  scan %.3f s, SEARCH + SEARCH MORE + CREATE MDF %.3f s; %lld/%lld pages, %lld wrong, %lld reassembled\n",
              deep.scan, deep.rebuild, (long long)deep.recovered, (long long)genuine, (long long)deep.wrong,
              (long long)deep.mended);
  std::printf("deep / plain (rebuild) = %.2f; per page deep recovery worked on %.2f ms\n",
              plain.rebuild > 0 ? deep.rebuild / plain.rebuild : 0.0,
              genuine - plain.recovered > 0 ? 1000.0 * (deep.rebuild - plain.rebuild) / double(genuine - plain.recovered)
                                            : 0.0);
  if (argc <= 3) std::remove(path.c_str());
  return deep.wrong == 0 ? 0 : 1;
}
