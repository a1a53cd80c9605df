// Sector reader throughput against dd on the same cached file.
//   bench_reader [--size-mb N] [--rounds N] [--file PATH]
// Makes a file of incompressible bytes (1 GiB by default, in /tmp), reads it
// once to cache it, then times in alternating rounds `dd bs=6M` and the
// sector reader in 12288-sector windows, and prints MB/s of each and the
// ratio reader/dd (medians). The file is deleted at the end.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "storage/sector_reader.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

bool MakeFile(const std::string& path, int64_t bytes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  std::vector<uint64_t> buf((8 << 20) / 8);
  uint64_t x = 0x9E3779B97F4A7C15ull;
  for (int64_t done = 0; done < bytes;) {
    for (auto& w : buf) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      w = x;
    }
    size_t n = size_t(std::min<int64_t>(int64_t(buf.size() * 8), bytes - done));
    if (::write(fd, buf.data(), n) != ssize_t(n)) {
      ::close(fd);
      return false;
    }
    done += int64_t(n);
  }
  return ::close(fd) == 0;
}

void ReadAll(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return;
  std::vector<char> buf(8 << 20);
  while (::read(fd, buf.data(), buf.size()) > 0) {
  }
  ::close(fd);
}

double TimeDd(const std::string& path) {
  const std::string cmd = "dd if='" + path + "' of=/dev/null bs=6M status=none";
  auto t0 = Clock::now();
  if (std::system(cmd.c_str()) != 0) return -1;
  return Seconds(t0, Clock::now());
}

double TimeReader(const std::string& path, int64_t sectors) {
  sorrelon::DataSource ds;
  ds.devicePath = path;
  ds.endSector = sectors;
  sorrelon::SectorReader reader(ds);
  constexpr uint32_t kWindow = 12288;
  std::vector<uint8_t> buf(size_t(kWindow) * 512);
  uint64_t sum = 0;
  auto t0 = Clock::now();
  for (int64_t s = 0; s < sectors; s += kWindow) {
    if (!reader.ReadSectors(kWindow, buf.data(), s)) return -1;
    sum += buf[size_t(s % kWindow)];  // keep the reads observable
  }
  double t = Seconds(t0, Clock::now());
  if (sum == 1) std::fprintf(stderr, " ");
  return t;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int64_t sizeMb = 1024;
  int rounds = 5;
  std::string path = "/tmp/sorrelon-bench-reader-" + std::to_string(::getpid()) + ".bin";
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--size-mb") sizeMb = std::atoll(argv[i + 1]);
    else if (a == "--rounds") rounds = std::max(1, std::atoi(argv[i + 1]));
    else if (a == "--file") path = argv[i + 1];
  }
  const int64_t bytes = sizeMb << 20;
  if (!MakeFile(path, bytes)) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    return 1;
  }
  ReadAll(path);
  const double mb = double(bytes) / 1e6;
  std::vector<double> dd, rd;
  for (int r = 0; r < rounds; ++r) {
    double a = TimeDd(path), b = TimeReader(path, bytes / 512);
    if (a <= 0 || b <= 0) {
      std::fprintf(stderr, "a read failed\n");
      ::unlink(path.c_str());
      return 1;
    }
    dd.push_back(mb / a);
    rd.push_back(mb / b);
    std::printf("round %d: dd %.0f MB/s, reader %.0f MB/s\n", r + 1, dd.back(), rd.back());
  }
  ::unlink(path.c_str());
  const double mdd = Median(dd), mrd = Median(rd);
  std::printf("median of %d rounds over %lld MB: dd bs=6M %.0f MB/s, sector reader %.0f MB/s, reader/dd %.2f\n", rounds,
              (long long)sizeMb, mdd, mrd, mrd / mdd);
  return 0;
}
