// The catalogue at full scale and below it: for 500,000, 1,000,000 and
// 2,000,000 fragments, the time to build the start-page index, to open a
// content file over the store and answer 1,000,000 page reads from it, to
// sort the fragment list by a number column and by the remark, to run SEARCH
// MORE over an assembly list with a gap after every row (each gap holds one
// fragment that fills it), and the memory the store, its lists and its index
// hold. Each step's time at 1M and 2M is shown against 500k: a step that
// grows as n log n or better stays near 2 and 4, a quadratic one near 4 and 16.
//
//   bench_scale [LARGEST]      (default 2000000; the sizes are LARGEST/4, /2, /1)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "analysis/analysis.h"
#include "base/bytes.h"
#include "catalogue/catalogue.h"
#include "catalogue/content_file.h"
#include "catalogue/lists.h"

using namespace sorrelon;

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

long RssKb() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

// A content file that is never stored: a read costs nothing but the call, so
// the figures are the index lookup and the unscrambling, and a file of tens
// of gigabytes takes no disk and no page cache.
class SyntheticContent final : public Device {
 public:
  explicit SyntheticContent(int64_t size) : size_(size) {}
  bool ReadAt(uint64_t offset, void* buf, size_t len) override {
    if (offset > uint64_t(size_) || len > uint64_t(size_) - offset) return false;
    if (len >= 8) PutLe64(static_cast<uint8_t*>(buf), offset);  // the rest as the buffer held it
    return true;
  }
  int64_t Size() const override { return size_; }

 private:
  int64_t size_;
};

// Fragment pages for SEARCH MORE: a data page of object 500 that names the
// page it was read as, so every fragment is judged and learnt from.
class PageMaker final : public ContentSource {
 public:
  explicit PageMaker(const FragmentStore& store) : store_(store) {
    bySector_.reserve(store.size());
    for (size_t i = 0; i < store.size(); ++i) bySector_.push_back({store[i].startSector, int32_t(i)});
    std::sort(bySector_.begin(), bySector_.end());
  }
  bool ReadContentSectors(int32_t offset, uint32_t count, int64_t start, void* buf) override {
    ++reads;
    std::memset(buf, 0, size_t(count) * 512);
    if (offset < 0) return true;
    auto it = std::lower_bound(bySector_.begin(), bySector_.end(), std::pair<int64_t, int32_t>{start, -1});
    if (it == bySector_.end() || it->first != start) return false;
    auto* p = static_cast<uint8_t*>(buf);
    p[0] = 1;
    p[1] = 1;
    PutLe32(p + 24, 500);
    PutLe32(p + 32, uint32_t(store_[size_t(it->second)].startPage + offset / 16));
    PutLe16(p + 36, 1);
    return true;
  }
  int64_t reads = 0;

 private:
  const FragmentStore& store_;
  std::vector<std::pair<int64_t, int32_t>> bySector_;
};

struct Figures {
  size_t n = 0;
  double index = 0, contentOpen = 0, contentReads = 0, sortNumber = 0, sortRemark = 0, searchMore = 0;
  long bytesPerFragment = 0;
  size_t found = 0;
};

Figures Measure(size_t n) {
  Figures f;
  f.n = n;
  const long rss0 = RssKb();
  auto cat = std::make_unique<Catalogue>();
  // Fragment i holds page i (one page), in a shuffled order on the disk, with
  // a remark on every 50th (as header fragments have).
  std::mt19937_64 rng(n);
  std::vector<int32_t> order(n);
  for (size_t i = 0; i < n; ++i) order[i] = int32_t(i);
  std::shuffle(order.begin(), order.end(), rng);
  cat->store.Reserve(n);
  for (size_t k = 0; k < n; ++k) {
    const int32_t page = order[k];
    const int64_t sector = 64 + 32 * int64_t(k);
    std::string remark = page % 50 == 0 ? "DB" + std::to_string(page % 977) + ".mdf(1.00 MB)" : " ";
    cat->store.Append({int32_t(k + 1), sector, sector + 16, 8, page, page + 1, std::move(remark), true});
  }
  RebuildFragmentList(cat->store, cat->fragmentList);

  // Each short step: the best of three runs (the machine may be shared).
  auto t = std::chrono::steady_clock::now();
  cat->startIndex.Build(cat->store);
  f.index = Seconds(t);
  f.bytesPerFragment = (RssKb() - rss0) * 1024 / long(n);
  for (int rep = 0; rep < 2; ++rep) {
    t = std::chrono::steady_clock::now();
    cat->startIndex.Build(cat->store);
    f.index = std::min(f.index, Seconds(t));
  }

  // Content mode: open (indexes every record) and 1,000,000 random page reads.
  int64_t size = kTrailerBytes;
  for (const Fragment& fr : cat->store.items()) size += ContentBlockBytes(fr);
  std::unique_ptr<ContentFile> content;
  f.contentOpen = 1e9;
  for (int rep = 0; rep < 3; ++rep) {
    content.reset();
    t = std::chrono::steady_clock::now();
    content = ContentFile::Open(std::make_unique<SyntheticContent>(size), cat->store);
    f.contentOpen = std::min(f.contentOpen, Seconds(t));
  }
  std::vector<uint8_t> page(kPageSize);
  std::uniform_int_distribution<size_t> pick(0, n - 1);
  t = std::chrono::steady_clock::now();
  for (int r = 0; r < 1000000; ++r)
    if (!content->ReadContentSectors(0, 16, cat->store[pick(rng)].startSector, page.data())) std::abort();
  f.contentReads = Seconds(t);
  content.reset();

  f.sortNumber = f.sortRemark = 1e9;
  for (int rep = 0; rep < 3; ++rep) {
    RowList list = cat->fragmentList;  // in store order, as after a scan
    t = std::chrono::steady_clock::now();
    SortRows(list, cat->store, kColStartPage);
    f.sortNumber = std::min(f.sortNumber, Seconds(t));
    list = cat->fragmentList;
    t = std::chrono::steady_clock::now();
    SortRows(list, cat->store, kColRemark);
    f.sortRemark = std::min(f.sortRemark, Seconds(t));
  }

  // SEARCH MORE: the fragments of even pages are in the assembly; every gap
  // (one odd page) is filled by the fragment that holds it.
  for (size_t i = 0; i < n; ++i)
    if (cat->store[i].startPage % 2 == 0) cat->SetAssemblyFlag(i, 1);
  RebuildAssemblyList(cat->store, cat->assemblyFlags, cat->assemblyList);
  DataSource ds;
  ds.readFromSource = false;
  ds.sectorsPerCluster = 16;
  SectorReader unused(ds);
  FragmentReader reader(ds, unused);
  PageMaker maker(cat->store);
  reader.SetContent(&maker);
  AnalysisState state;
  state.filePageCount = int32_t(n);
  state.pageMap.Init(int64_t(n));
  SilentPerson person;
  AnalysisContext ctx{ds, reader, *cat, state, person};
  t = std::chrono::steady_clock::now();
  SearchMore(ctx);
  f.searchMore = Seconds(t);
  f.found = cat->assemblyList.size();
  if (f.found != n) std::fprintf(stderr, "SEARCH MORE filled %zu of %zu rows\n", f.found, n);
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t largest = argc > 1 ? size_t(std::atoll(argv[1])) : 2000000;
  std::vector<Figures> all;
  for (size_t n : {largest / 4, largest / 2, largest}) all.push_back(Measure(n));

  std::printf("%-34s", "fragments");
  for (auto& f : all) std::printf("%12zu", f.n);
  std::printf("%10s%10s\n", "x(2n)", "x(4n)");
  auto row = [&](const char* name, double Figures::*field) {
    std::printf("%-34s", name);
    for (auto& f : all) std::printf("%11.3fs", f.*field);
    const double base = all[0].*field;
    std::printf("%10.2f%10.2f\n", base > 0 ? all[1].*field / base : 0.0, base > 0 ? all[2].*field / base : 0.0);
  };
  row("start-page index build", &Figures::index);
  row("content file open (index)", &Figures::contentOpen);
  row("content reads (1,000,000 pages)", &Figures::contentReads);
  row("list sort by start page", &Figures::sortNumber);
  row("list sort by remark", &Figures::sortRemark);
  row("SEARCH MORE (n/2 gaps filled)", &Figures::searchMore);
  std::printf("%-34s", "memory per fragment (store+lists)");
  for (auto& f : all) std::printf("%11ldB", f.bytesPerFragment);
  std::printf("\n%-34s%11.0f MB at %zu fragments\n", "memory held", double(all.back().bytesPerFragment) * double(all.back().n) / 1048576.0,
              all.back().n);
  std::printf("rows after SEARCH MORE: ");
  for (auto& f : all) std::printf("%zu/%zu ", f.found, f.n);
  std::printf("\n");
  return 0;
}
