// Scan throughput against a plain sequential read of the same cached image.
//
// Builds an image (default 2 GiB) of incompressible noise with the pages of a
// generated database file spread through it, reads it once to cache it, then
// times `dd bs=6M` of the image and the scan at steps 1, 8 and 16, each in a
// child process so that its peak memory is its own. Prints the ratios and the
// absolute figures. Usage: bench_scan [GIB] [IMAGE-PATH]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "base/person.h"
#include "catalogue/catalogue.h"
#include "scan/free_space.h"
#include "scan/scan.h"
#include "tools/mdfgen/mdfgen.h"

using namespace sorrelon;
using Clock = std::chrono::steady_clock;

namespace {

bool BuildImage(const std::string& path, int64_t bytes) {
  mdfgen::Options o;
  o.pages = 16384;  // 128 MB of database pages
  o.objects = 8;
  std::vector<uint8_t> db = mdfgen::GenerateFile(o);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  const size_t chunk = 8 << 20;
  std::vector<uint8_t> buf(chunk);
  uint64_t x = 0x9E3779B97F4A7C15ull;
  int64_t dbPage = 0;
  for (int64_t done = 0; done < bytes; done += int64_t(chunk)) {
    for (size_t i = 0; i < chunk; i += 8) {
      x ^= x << 13, x ^= x >> 7, x ^= x << 17;
      std::memcpy(&buf[i], &x, 8);
    }
    // Every fourth chunk carries 256 database pages at a cluster boundary.
    if ((done / int64_t(chunk)) % 4 == 1 && dbPage + 256 <= o.pages) {
      std::memcpy(&buf[8192], db.data() + dbPage * kPageSize, 256 * kPageSize);
      dbPage += 256;
    }
    out.write(reinterpret_cast<const char*>(buf.data()), std::streamsize(chunk));
  }
  return bool(out);
}

double Seconds(Clock::time_point a) { return std::chrono::duration<double>(Clock::now() - a).count(); }

struct Result {
  double seconds = 0;
  long maxRssKb = 0;
  long fragments = 0;
};

// Runs `fn` in a child; answers its time, peak memory and a count it returns.
template <typename Fn>
Result InChild(Fn fn) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    auto t = Clock::now();
    long count = fn();
    Result r;
    r.seconds = Seconds(t);
    r.fragments = count;
    struct rusage ru {};
    getrusage(RUSAGE_SELF, &ru);
    r.maxRssKb = ru.ru_maxrss;
    (void)!write(fds[1], &r, sizeof r);
    _exit(0);
  }
  close(fds[1]);
  Result r;
  (void)!read(fds[0], &r, sizeof r);
  close(fds[0]);
  waitpid(pid, nullptr, 0);
  return r;
}

long Scan(const std::string& path, int64_t sectors, int step) {
  DataSource ds;
  ds.sourceChosen = true;
  ds.devicePath = path;
  ds.sectorBound = ds.endSector = sectors;
  SectorReader reader(ds);
  Catalogue cat;
  FreeSpaceMap map;
  std::atomic<bool> stop{false};
  SilentPerson person;
  ScanParams p;
  p.end = sectors;
  p.sectorsPerCluster = step;
  RunScan(p, ds, reader, cat, map, stop, person);
  return long(cat.store.size());
}

}  // namespace

int main(int argc, char** argv) {
  const double gib = argc > 1 ? std::atof(argv[1]) : 2.0;
  const std::string path = argc > 2 ? argv[2] : "/tmp/sorrelon-bench-scan.img";
  const int64_t bytes = int64_t(gib * 1024 * 1024 * 1024) / (8 << 20) * (8 << 20);
  const int64_t sectors = bytes / 512;
  std::printf("image %s: %.2f GiB of noise with 16,384 database pages\n", path.c_str(), double(bytes) / (1 << 30));
  if (!BuildImage(path, bytes)) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    return 1;
  }
  const std::string dd = "dd if=" + path + " of=/dev/null bs=6M status=none";
  (void)!std::system(dd.c_str());  // into the page cache

  const int rounds = 3;
  double ddBest = 1e9;
  double scanBest[3] = {1e9, 1e9, 1e9};
  long rss[3] = {0, 0, 0}, found[3] = {0, 0, 0};
  const int steps[3] = {1, 8, 16};
  for (int r = 0; r < rounds; ++r) {
    auto t = Clock::now();
    (void)!std::system(dd.c_str());
    ddBest = std::min(ddBest, Seconds(t));
    for (int i = 0; i < 3; ++i) {
      Result res = InChild([&] { return Scan(path, sectors, steps[i]); });
      scanBest[i] = std::min(scanBest[i], res.seconds);
      rss[i] = std::max(rss[i], res.maxRssKb);
      found[i] = res.fragments;
    }
  }
  const double gb = double(bytes) / 1e9;
  std::printf("dd bs=6M           %7.3f s  %6.2f GB/s  (baseline)\n", ddBest, gb / ddBest);
  for (int i = 0; i < 3; ++i)
    std::printf("scan step %-2d       %7.3f s  %6.2f GB/s  ratio to dd %.3f  peak memory %ld MB  fragments %ld\n",
                steps[i], scanBest[i], gb / scanBest[i], ddBest / scanBest[i], rss[i] / 1024, found[i]);
  if (argc <= 2) std::remove(path.c_str());
  return 0;
}
