// Further end-to-end cases on real FAT32 volumes: a whole-disk image with a
// partition table, two databases with overlapping page numbers on one
// volume, and a deleted file partly overwritten by a new file.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "base/bytes.h"
#include "page/page.h"
#include "tests/support/fsimage.h"
#include "tests/support/recovery.h"
#include "tests/support/testdata.h"

namespace sorrelon {
namespace {

namespace fs = std::filesystem;

fs::path RealFile(const std::string& name) {
  for (auto& p : test::RealMdfFiles())
    if (p.filename() == name) return p;
  return {};
}

std::vector<std::tuple<int64_t, int32_t, int32_t>> Scan(const fs::path& image, bool volume, test::FakePerson& person) {
  Session s;
  EXPECT_TRUE(ChooseImage(image.string(), volume, s.source, s.reader, s.fields, person));
  if (volume) s.fields.freeSpaceChecked = false;  // scan everything, as the disk scan does
  auto params = s.ScanParamsFromFields(nullptr);
  EXPECT_TRUE(params);
  if (!volume) params->sectorsPerCluster = 8;
  s.scanStopped = false;
  RunScan(*params, s.source, s.reader, s.catalogue, s.freeSpace, s.scanStopped, person);
  std::vector<std::tuple<int64_t, int32_t, int32_t>> out;
  for (auto& f : s.catalogue.store.items()) out.emplace_back(f.startSector, f.startPage, f.endPage);
  return out;
}

TEST(Volumes, WholeDiskImageFindsTheVolumesFragmentsShiftedByThePartitionStart) {
  SORRELON_REQUIRE_REAL_MDF();
  auto dir = test::TempDir("e2e_mbr");
  test::FatVolume v;
  test::FatOptions o;
  o.sectorsPerCluster = 8;
  ASSERT_TRUE(v.CreateInDisk(dir / "disk.img", o, 2048));
  ASSERT_TRUE(v.CopyInFragmented(RealFile("ybaros-2008r2.mdf"), "DB.MDF", 3));
  ASSERT_TRUE(v.Delete("DB.MDF"));
  // The partition alone, cut out of the disk image.
  {
    auto disk = test::ReadFileBytes(dir / "disk.img");
    std::vector<uint8_t> part(disk.begin() + 2048 * 512, disk.end());
    test::WriteFileBytes(dir / "part.img", part);
  }
  test::FakePerson person;
  auto onDisk = Scan(dir / "disk.img", false, person);
  auto onVolume = Scan(dir / "part.img", true, person);
  ASSERT_FALSE(onVolume.empty());
  for (auto& [sector, first, end] : onVolume) sector += 2048;
  EXPECT_EQ(onDisk, onVolume);
}

TEST(Volumes, TwoDatabasesWithOverlappingPageNumbersAreRebuiltApart) {
  SORRELON_REQUIRE_REAL_MDF();
  auto dir = test::TempDir("e2e_two");
  const fs::path a = RealFile("aspnetdb-2005.mdf"), b = RealFile("database1-2012.mdf");
  test::FatVolume v;
  test::FatOptions o;
  o.sectorsPerCluster = 4;
  ASSERT_TRUE(v.Create(dir / "vol.img", o));
  ASSERT_TRUE(v.CopyInFragmented(a, "A.MDF", 3));
  ASSERT_TRUE(v.CopyInFragmented(b, "B.MDF", 4));
  ASSERT_TRUE(v.Delete("A.MDF"));
  ASSERT_TRUE(v.Delete("B.MDF"));
  for (const fs::path& original : {a, b}) {
    Session s;
    test::FakePerson person;
    test::RecoverOptions opt;
    opt.volume = true;
    // The name on page 32 of each file tells the rows apart.
    std::vector<uint8_t> bytes = test::ReadFileBytes(original);
    std::vector<uint8_t> p32(bytes.begin() + 32 * kPageSize, bytes.begin() + 33 * kPageSize);
    page::RestoreTornBits(p32.data());
    opt.dbName = *page::PhysicalFileName(p32.data());
    auto r = test::RecoverImage(s, person, dir / "vol.img", dir / "out.mdf", opt);
    ASSERT_TRUE(r.written.complete) << original;
    auto f = test::Compare(bytes, test::ReadFileBytes(dir / "out.mdf"));
    EXPECT_EQ(f.wrong, 0) << original << " first wrong page " << (f.wrongPages.empty() ? -1 : f.wrongPages[0]);
    EXPECT_EQ(f.recovered, f.genuine) << original;
  }
}

TEST(Volumes, PagesOverwrittenByANewFileAreReportedAndWrittenAsZeroPages) {
  SORRELON_REQUIRE_REAL_MDF();
  auto dir = test::TempDir("e2e_overwrite");
  const fs::path mdf = RealFile("ybaros-2008r2.mdf");
  const auto file = test::ReadFileBytes(mdf);
  test::FatVolume v;
  test::FatOptions o;
  o.sectorsPerCluster = 8;
  ASSERT_TRUE(v.Create(dir / "vol.img", o));
  ASSERT_TRUE(v.CopyInFragmented(mdf, "DB.MDF", 2));
  auto ext = v.Extents("DB.MDF");
  ASSERT_EQ(ext.size(), 2u);
  ASSERT_TRUE(v.Delete("DB.MDF"));
  // A new file of 20 clusters lands in the middle of the first extent: point
  // the volume's next-free-cluster hint there before copying it in.
  const int64_t at = ext[0].firstCluster + ext[0].clusters / 2;
  {
    std::fstream img(dir / "vol.img", std::ios::in | std::ios::out | std::ios::binary);
    uint8_t boot[512];
    img.read(reinterpret_cast<char*>(boot), 512);
    uint8_t hint[4];
    PutLe32(hint, uint32_t(at - 1));  // the allocator starts after the hint
    img.seekp(int64_t(Le16(boot + 48)) * 512 + 492);
    img.write(reinterpret_cast<const char*>(hint), 4);
  }
  ASSERT_TRUE(test::WriteRandomFile(dir / "new.bin", 20 * 4096, 99));
  ASSERT_TRUE(v.CopyIn(dir / "new.bin", "NEW.BIN"));
  auto newExt = v.Extents("NEW.BIN");
  ASSERT_EQ(newExt.size(), 1u);
  ASSERT_EQ(newExt[0].firstCluster, at);
  // The pages whose clusters the new file took.
  const int64_t firstLost = (at - ext[0].firstCluster) * 8 / 16, lastLost = (at + 20 - ext[0].firstCluster) * 8 / 16;
  std::vector<bool> survives(file.size() / kPageSize, true);
  for (int64_t p = firstLost; p < lastLost; ++p) survives[size_t(p)] = false;

  Session s;
  test::FakePerson person;
  test::RecoverOptions opt;
  opt.volume = true;
  auto r = test::RecoverImage(s, person, dir / "vol.img", dir / "out.mdf", opt);
  ASSERT_TRUE(r.written.complete);
  auto out = test::ReadFileBytes(dir / "out.mdf");
  auto f = test::Compare(file, out, survives);
  EXPECT_EQ(f.recovered, f.genuine);
  EXPECT_EQ(f.wrong, 0) << "first wrong page " << (f.wrongPages.empty() ? -1 : f.wrongPages[0]);
  int reported = 0;
  for (int64_t p = firstLost; p < lastLost; ++p) {
    EXPECT_TRUE(std::all_of(out.begin() + p * kPageSize, out.begin() + (p + 1) * kPageSize, [](uint8_t c) { return !c; }))
        << "page " << p;
    const uint8_t* orig = file.data() + p * kPageSize;
    bool allocatedInOriginal = test::IsGenuinePage(orig, p);
    bool listed = std::find(r.checkLines.begin(), r.checkLines.end(), "缺少页面" + std::to_string(p)) != r.checkLines.end();
    if (listed) ++reported;
    if (allocatedInOriginal && orig[1] != 8 && orig[1] != 9) {
      EXPECT_TRUE(listed) << "page " << p;
    }
  }
  EXPECT_GT(reported, 0);
}

}  // namespace
}  // namespace sorrelon
