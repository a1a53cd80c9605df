// Content mode at full scale: a scan-info file of 2,000,000 records is
// written and opened, its content file indexed, and 1,000,000 page reads are
// answered from it. Baseline in the same run: the same 8 KB reads made
// directly at the same file offsets (what the disk costs anyway). Also shows
// what a walk of the store from its start on every read would cost.
//
//   bench_content [DIR] [RECORDS] [READS]
//
// The content file is sparse (its pages are holes that read as zeros), so it
// takes no room on disk whatever its size; the scan-info file is real.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "catalogue/content_file.h"
#include "catalogue/scan_info.h"

using namespace sorrelon;
namespace fs = std::filesystem;

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

long PeakRssMb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss / 1024;
}

long CurrentRssMb() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6) / 1024;
  return -1;
}

// A read-only file device with the kernel's default read-ahead, to tell the
// cost of the content reads from the read-ahead hint of the source backend
// (which opens every file for sequential reading).
class PlainFile final : public Device {
 public:
  explicit PlainFile(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY)) {}
  ~PlainFile() override { ::close(fd_); }
  bool ReadAt(uint64_t offset, void* buf, size_t len) override {
    return ::pread(fd_, buf, len, off_t(offset)) == ssize_t(len);
  }
  int64_t Size() const override { return ::lseek(fd_, 0, SEEK_END); }

 private:
  int fd_;
};

}  // namespace

int main(int argc, char** argv) {
  const fs::path dir = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path() / "sorrelon-bench-content";
  const size_t records = argc > 2 ? size_t(std::atoll(argv[2])) : 2000000;
  const size_t reads = argc > 3 ? size_t(std::atoll(argv[3])) : 1000000;
  fs::create_directories(dir);
  const std::string sif = (dir / "bench.sif").string(), spc = (dir / "bench.spc").string();
  std::printf("records %zu, reads %zu, files in %s\n", records, reads, dir.string().c_str());

  // The store a large scan leaves: one-page fragments in discovery order,
  // every thousandth a file-header fragment with a Chinese remark.
  int64_t contentBytes = 0;
  {
    FragmentStore store;
    store.Reserve(records);
    for (size_t i = 0; i < records; ++i) {
      const int64_t s = 4096 + 64 * int64_t(i);
      Fragment f{int32_t(i + 1), s, s + 16, 8, int32_t(i % 1000 == 0 ? 0 : 100 + i), 0, " ", true};
      f.endPage = f.startPage + 1;
      if (i % 1000 == 0) f.remark = "无效文件头,size:8KB";
      store.Append(std::move(f));
      contentBytes += ContentBlockBytes(store.back());
    }
    auto t = std::chrono::steady_clock::now();
    if (!WriteScanInfoFile(sif, store)) {
      std::fprintf(stderr, "cannot write %s\n", sif.c_str());
      return 1;
    }
    std::printf("write scan-info file: %.2f s, %.1f MB\n", Seconds(t), double(fs::file_size(sif)) / 1e6);
  }
  // The content file: blocks as holes, then the trailer.
  const uint32_t key = 0x1234567;
  {
    int fd = ::open(spc.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    uint8_t trailer[6];
    PutLe32(trailer, RotR32(key, 3));
    PutLe16(trailer + 4, 8);
    if (fd < 0 || ::ftruncate(fd, contentBytes) != 0 || ::pwrite(fd, trailer, 6, contentBytes) != 6) {
      std::fprintf(stderr, "cannot make %s\n", spc.c_str());
      return 1;
    }
    ::close(fd);
  }
  std::printf("content file: %.1f GB (sparse)\n", double(contentBytes + 6) / 1e9);
  const long rssBefore = CurrentRssMb();

  // Open: read the scan-info file back, then index the content file.
  auto t = std::chrono::steady_clock::now();
  ScanInfoReadError err;
  auto loaded = ReadScanInfoFile(sif, &err);
  if (!loaded) {
    std::fprintf(stderr, "%s\n", ScanInfoErrorText(sif, err).c_str());
    return 1;
  }
  FragmentStore store;
  store.Replace(std::move(*loaded));
  const double tRead = Seconds(t);
  t = std::chrono::steady_clock::now();
  std::string error;
  auto cf = ContentFile::Open(spc, store, &error);
  if (!cf || !cf->Matches()) {
    std::fprintf(stderr, "content file: %s\n", error.c_str());
    return 1;
  }
  const double tIndex = Seconds(t);
  std::printf("open scan-info file (%zu records): %.2f s; index content file: %.3f s; RSS %ld MB (before %ld MB)\n",
              store.size(), tRead, tIndex, CurrentRssMb(), rssBefore);

  // The reads: random fragments, page 0 of each.
  std::mt19937_64 rng(42);
  std::vector<uint32_t> which(reads);
  for (auto& w : which) w = uint32_t(rng() % store.size());
  std::vector<uint8_t> buf(kPageSize);
  uint64_t sum = 0;

  // Baseline: the same reads straight from the file at the same offsets.
  std::vector<int64_t> blockOf(store.size());
  for (size_t i = 0, acc = 0; i < store.size(); ++i) {
    blockOf[i] = int64_t(acc);
    acc += size_t(ContentBlockBytes(store[i]));
  }
  int fd = ::open(spc.c_str(), O_RDONLY);
  size_t failed = 0;
  auto plain = ContentFile::Open(std::make_unique<PlainFile>(spc), store);
  auto contentRound = [&](ContentFile* c) {
    auto t0 = std::chrono::steady_clock::now();
    for (uint32_t w : which) {
      if (!c->ReadContentSectors(0, 16, store[w].startSector, buf.data())) ++failed;
      sum += buf[17];
    }
    return Seconds(t0);
  };
  auto baselineRound = [&] {
    auto t0 = std::chrono::steady_clock::now();
    for (uint32_t w : which) {
      if (::pread(fd, buf.data(), kPageSize, off_t(blockOf[w] + kLeadInBytes)) != ssize_t(kPageSize)) ++failed;
      sum += buf[17];
    }
    return Seconds(t0);
  };
  // Alternating rounds, so that neither side profits from the other having
  // brought the file into the page cache; the first round of each is cold.
  const double tBaselineCold = baselineRound();
  const double tContentCold = contentRound(cf.get());
  const double tBaseline = baselineRound();
  const double tContent = contentRound(cf.get());
  const double tPlain = contentRound(plain.get());
  const double tBaseline2 = baselineRound();
  ::close(fd);

  // A walk of the store from its start on every read, for a few reads.
  const size_t walks = std::min<size_t>(200, reads);
  t = std::chrono::steady_clock::now();
  for (size_t k = 0; k < walks; ++k) {
    const int64_t s = store[which[k]].startSector;
    int64_t acc = 0;
    for (size_t i = 0; i < store.size(); ++i) {
      if (store[i].startSector == s) break;
      acc += ContentBlockBytes(store[i]);
    }
    sum += uint64_t(acc);
  }
  const double tWalkEach = Seconds(t) / double(walks);

  std::printf("%zu content reads (page-cache warm): %.2f s (%.2f us/read), failed %zu\n", reads, tContent,
              tContent * 1e6 / double(reads), failed);
  std::printf("baseline, same reads at known offsets with pread: %.2f s (%.2f us/read); ratio %.2f\n", tBaseline,
              tBaseline * 1e6 / double(reads), tContent / tBaseline);
  std::printf("content reads over a file opened with default read-ahead: %.2f s (%.2f us/read); baseline again "
              "%.2f s; ratio %.2f\n",
              tPlain, tPlain * 1e6 / double(reads), tBaseline2, tPlain / tBaseline2);
  std::printf("first rounds (cold): baseline %.2f s, content reads %.2f s\n", tBaselineCold, tContentCold);
  std::printf("walking the store on every read: %.2f ms/read, %.0f s for %zu reads (%.0fx the indexed reads)\n",
              tWalkEach * 1e3, tWalkEach * double(reads), reads, tWalkEach * double(reads) / tContent);
  std::printf("peak RSS %ld MB (checksum %llu)\n", PeakRssMb(), (unsigned long long)sum);
  fs::remove(sif);
  fs::remove(spc);
  return 0;
}
