#include "scan/scan.h"

#include <gtest/gtest.h>

#include "base/bytes.h"
#include "page/page.h"
#include "scan/free_space.h"
#include "tests/support/fake_person.h"
#include "tests/support/image.h"
#include "tests/support/testdata.h"

namespace sorrelon {
namespace {

using test::FakePerson;
using test::Image;
using test::SimplePage;

struct Frag {
  int64_t startSector;
  int32_t startPage, endPage;
  bool operator==(const Frag&) const = default;
};
std::ostream& operator<<(std::ostream& o, const Frag& f) {
  return o << "{" << f.startSector << ", " << f.startPage << ", " << f.endPage << "}";
}

// One scan of an image file taken as a whole disk.
struct ScanRig {
  DataSource ds;
  std::unique_ptr<SectorReader> reader;
  Catalogue cat;
  FreeSpaceMap map;
  std::atomic<bool> stop{false};
  FakePerson person;

  explicit ScanRig(const std::filesystem::path& image, std::set<int64_t> bad = {}) {
    ds.sourceChosen = true;
    ds.devicePath = image.string();
    ds.sectorBound = int64_t(std::filesystem::file_size(image) / 512);
    ds.endSector = ds.sectorBound;
    reader = bad.empty() ? std::make_unique<SectorReader>(ds) : std::make_unique<test::FaultyReader>(ds, bad);
  }
  ScanEnd Run(int32_t step = 1, int64_t begin = 0, int64_t end = -1) {
    ScanParams p;
    p.begin = begin;
    p.end = end < 0 ? ds.sectorBound : end;
    p.sectorsPerCluster = step;
    stop = false;
    return RunScan(p, ds, *reader, cat, map, stop, person);
  }
  std::vector<Frag> Fragments() const {
    std::vector<Frag> out;
    for (auto& f : cat.store.items()) out.push_back({f.startSector, f.startPage, f.endPage});
    return out;
  }
};

void PutRun(Image& img, int64_t sector, int32_t firstPage, int32_t count, uint16_t fileId = 1) {
  for (int32_t i = 0; i < count; ++i) img.Put(sector + 16 * i, SimplePage(firstPage + i, fileId));
}

TEST(Scan, JoinsRunsOfOneContiguousCopyOnly) {
  struct Case {
    int64_t secondAt;
    std::vector<Frag> expected;
  } cases[] = {
      {10320, {{10000, 100, 130}}},                      // where a contiguous copy would hold it: joined
      {10336, {{10000, 100, 110}, {10336, 120, 130}}},   // one sector off: separate
  };
  for (auto& c : cases) {
    auto dir = test::TempDir("scan_join");
    Image img(20000);
    PutRun(img, 10000, 100, 10);
    PutRun(img, c.secondAt, 120, 10);
    img.Write(dir / "d.img");
    ScanRig rig(dir / "d.img");
    for (int step : {1, 8, 16}) {
      rig.cat.Clear();
      EXPECT_EQ(rig.Run(step), ScanEnd::Finished);
      EXPECT_EQ(rig.Fragments(), c.expected) << "second run at " << c.secondAt << ", step " << step;
    }
    auto& last = rig.cat.store.back();
    EXPECT_EQ(last.ToLine(), c.expected.size() == 1 ? "1|10000|10480|240|100|130| |Y|" : "2|10336|10496|80|120|130| |Y|");
  }
}

TEST(Scan, RecordsAFileHeaderRunOnlyWithPage1BehindIt) {
  auto dir = test::TempDir("scan_header");
  Image img(4000);
  std::vector<uint8_t> p0 = SimplePage(0, 1, page::kFileHeader, 99);
  // Slot 0 row whose bytes end in the page count (20) and the 0xFFFFFFFF marker.
  PutLe16(&p0[8190], 96);
  PutLe32(&p0[100], 20);
  PutLe32(&p0[104], 0xFFFFFFFFu);
  std::vector<uint8_t> p1 = SimplePage(1, 1, page::kPfs, 99);
  img.Put(32, p0);  // a header page with no page 1 behind it
  img.Put(1000, p0);
  img.Put(1016, p1);
  PutRun(img, 1032, 2, 3);
  img.Write(dir / "d.img");
  ScanRig rig(dir / "d.img");
  rig.Run(8);
  ASSERT_EQ(rig.Fragments(), (std::vector<Frag>{{1000, 0, 5}}));
  EXPECT_EQ(rig.cat.store[0].remark, "无效文件头,size:160KB");
}

TEST(Scan, RunEndsAtAForeignFileIdAndAtTheEndSector) {
  auto dir = test::TempDir("scan_fileid");
  Image img(3000);
  PutRun(img, 100, 10, 4);
  img.Put(100 + 64, SimplePage(14, 2));  // page 14 of file 2 ends the run
  PutRun(img, 1000, 50, 10);
  img.Write(dir / "d.img");
  ScanRig rig(dir / "d.img");
  rig.Run(1, 0, 1000 + 16 * 5);  // the range ends inside the second run
  EXPECT_EQ(rig.Fragments(), (std::vector<Frag>{{100, 10, 14}, {1000, 50, 55}}));
}

TEST(Scan, StepOf64ExaminesEvery16Sectors) {
  auto dir = test::TempDir("scan_step64");
  Image img(4000);
  PutRun(img, 2000 + 48, 7, 2);
  img.Write(dir / "d.img");
  ScanRig rig(dir / "d.img");
  rig.Run(64);
  EXPECT_EQ(rig.Fragments(), (std::vector<Frag>{{2048, 7, 9}}));
  EXPECT_EQ(rig.ds.sectorsPerCluster, 64);
}

TEST(Scan, BeginAtOrAfterEndFindsNothingAndFinishes) {
  auto dir = test::TempDir("scan_empty");
  Image img(100);
  PutRun(img, 16, 3, 2);
  img.Write(dir / "d.img");
  ScanRig rig(dir / "d.img");
  EXPECT_EQ(rig.Run(1, 50, 50), ScanEnd::Finished);
  EXPECT_TRUE(rig.cat.store.empty());
  ASSERT_EQ(rig.person.Log(Log::Scan).size(), 2u);
  EXPECT_EQ(rig.person.Log(Log::Scan)[1].rfind("完成", 0), 0u);
  EXPECT_EQ(rig.person.status.back(), "完成");
}

TEST(Scan, StopKeepsWhatWasFoundAndIndexesIt) {
  auto dir = test::TempDir("scan_stop");
  Image img(40000);
  for (int i = 0; i < 10; ++i) PutRun(img, 2000 + 3000 * i, 1000 - 100 * i, 2);
  img.Write(dir / "d.img");
  struct Stopper : FakePerson {
    std::atomic<bool>* stop = nullptr;
    void SetGauge(int p) override {
      FakePerson::SetGauge(p);
      if (p >= 50) *stop = true;
    }
  };
  ScanRig rig(dir / "d.img");
  Stopper person;
  person.stop = &rig.stop;
  ScanParams p;
  p.end = rig.ds.sectorBound;
  EXPECT_EQ(RunScan(p, rig.ds, *rig.reader, rig.cat, rig.map, rig.stop, person), ScanEnd::Stopped);
  EXPECT_EQ(person.status.back(), "已停止扫描");
  ASSERT_EQ(rig.cat.store.size(), 6u);  // fragments below 50 % of the range
  ASSERT_EQ(rig.cat.startIndex.size(), 6u);
  EXPECT_EQ(rig.cat.startIndex[0].startPage, 500);
  EXPECT_EQ(rig.cat.startIndex[5].startPage, 1000);
  EXPECT_TRUE(rig.stop);
}

TEST(Scan, FullStoreEndsTheScanLikeAStopKeepingItsFragments) {
  auto dir = test::TempDir("scan_full");
  Image img(20000);
  for (int i = 0; i < 6; ++i) PutRun(img, 1024 + 2048 * i, 10 * i + 1, 1);
  img.Write(dir / "d.img");
  ScanRig rig(dir / "d.img");
  rig.cat.store.SetCapacity(3);
  EXPECT_EQ(rig.Run(16), ScanEnd::StoreFull);
  EXPECT_EQ(rig.cat.store.size(), 3u);
  EXPECT_TRUE(rig.person.Logged(Log::Scan, kStoreFullLine));
  EXPECT_EQ(rig.cat.startIndex.size(), 3u);
}

TEST(Scan, UnreadableSectorsAreLoggedAndTheRestOfTheirWindowStillScanned) {
  auto dir = test::TempDir("scan_bad");
  Image img(30000);
  PutRun(img, 2000, 40, 6);     // page 43 (sector 2048) unreadable: the run ends before it
  PutRun(img, 5008, 200, 3);    // same window, readable
  PutRun(img, 14000, 300, 2);   // next window
  img.Write(dir / "d.img");
  ScanRig rig(dir / "d.img", {2048, 2049});
  EXPECT_EQ(rig.Run(16), ScanEnd::Finished);
  // The run stops before the bad page; the pages behind it lie where this
  // copy would hold them, so they join the same fragment.
  EXPECT_EQ(rig.Fragments(), (std::vector<Frag>{{2000, 40, 46}, {5008, 200, 203}, {14000, 300, 302}}));
  EXPECT_TRUE(rig.person.Logged(Log::Scan, "8192error1sec2048"));
  // The window holding the bad sectors is read once whole, then in pieces: no
  // flood of failed 6 MB reads, and only the examined bad sector is logged.
  int errors = 0;
  for (auto& l : rig.person.Log(Log::Scan)) errors += l.find("error") != std::string::npos;
  EXPECT_LE(errors, 3);
}

TEST(Scan, FirstWindowUnreadableEndsTheScan) {
  auto dir = test::TempDir("scan_first");
  Image img(100);
  img.Write(dir / "d.img");
  ScanRig rig(dir / "d.img");
  EXPECT_EQ(rig.Run(1, 500, 600), ScanEnd::FirstWindowFailed);  // begins beyond the image
  EXPECT_TRUE(rig.person.Logged(Log::Scan, "512error1sec500"));
}

TEST(Scan, TruncatedImageEndsQuietlyAtItsRealEnd) {
  auto dir = test::TempDir("scan_trunc");
  Image img(1000);
  PutRun(img, 800, 60, 12);  // page 71 at 976..991 is cut after 8 sectors
  img.bytes().resize(size_t(984) * 512 + 100);
  img.Write(dir / "d.img");
  ScanRig rig(dir / "d.img");
  rig.ds.endSector = 5000;  // the descriptor claims more than the file holds
  EXPECT_EQ(rig.Run(1, 0, 5000), ScanEnd::Finished);
  EXPECT_EQ(rig.Fragments(), (std::vector<Frag>{{800, 60, 72}}));
  for (auto& l : rig.person.Log(Log::Scan)) EXPECT_EQ(l.find("error"), std::string::npos) << l;
}

TEST(Scan, RealFileContiguousGivesOneNamedFragment) {
  SORRELON_REQUIRE_REAL_MDF();
  for (auto& path : test::RealMdfFiles()) {
    auto file = test::ReadFileBytes(path);
    int64_t pages = int64_t(file.size() / kPageSize);
    auto dir = test::TempDir("scan_real");
    Image img(4096 + pages * 16 + 4096, 7);
    img.PutPages(4096, file, 0, pages);
    img.Write(dir / "d.img");
    ScanRig rig(dir / "d.img");
    rig.Run(8);
    ASSERT_GE(rig.cat.store.size(), 1u) << path;
    const Fragment& f = rig.cat.store[0];
    EXPECT_EQ(f.startSector, 4096) << path;
    EXPECT_EQ(f.startPage, 0) << path;
    EXPECT_NE(f.remark.find(".mdf("), std::string::npos) << path << ": " << f.remark;
    // The whole copy joins into one fragment up to its last genuine page.
    EXPECT_EQ(rig.cat.store.size(), 1u) << path;
  }
}

}  // namespace
}  // namespace sorrelon
