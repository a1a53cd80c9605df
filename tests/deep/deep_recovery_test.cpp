// Deep recovery on real file systems: database files whose pages lie split
// across small clusters, a file-header page without page 1 behind it, and a
// whole disk scanned one sector at a time. Each case recovers the deleted
// file with the plain algorithm and with deep recovery, prints the genuine
// pages recovered of those surviving on the disk and the time taken, and
// checks that no page of either output is wrong and that deep recovery gives
// back every surviving page.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

#include "page/page.h"
#include "tests/support/fsimage.h"
#include "tests/support/recovery.h"
#include "tests/support/testdata.h"
#include "tools/mdfgen/mdfgen.h"

namespace sorrelon {
namespace {

namespace fs = std::filesystem;

struct Outcome {
  test::Fidelity fidelity;
  double seconds = 0;
  int64_t deepPages = 0;
};

Outcome Recover(const fs::path& image, const fs::path& out, const std::vector<uint8_t>& original, bool deep,
                bool volume, int step) {
  Session s;
  test::FakePerson person;
  test::RecoverOptions opt;
  opt.volume = volume;
  opt.deep = deep;
  opt.step = step;
  const auto t0 = std::chrono::steady_clock::now();
  auto r = test::RecoverImage(s, person, image, out, opt);
  Outcome o;
  o.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  // Without a database file to choose (the plain scan finds no header
  // fragment) nothing is written: nothing of the file is recovered.
  if (deep) {
    EXPECT_TRUE(r.written.complete) << image << " deep";
  }
  if (!r.written.complete) {
    o.fidelity = test::Compare(original, {});
    return o;
  }
  o.fidelity = test::Compare(original, test::ReadFileBytes(out));
  o.deepPages = int64_t(r.written.deepPages.size());
  return o;
}

enum class Expect {
  kAll,                // deep recovery gives back every surviving page
  kSome,               // no wrong page, no fewer than plain recovery
};

// Recovers in both modes, records the figures and checks them.
void Measure(const std::string& name, const fs::path& image, const fs::path& dir, const std::vector<uint8_t>& original,
             bool volume, int step, Expect expect = Expect::kAll, bool plainMayBeWrong = false) {
  Outcome plain = Recover(image, dir / "plain.mdf", original, false, volume, step);
  Outcome deep = Recover(image, dir / "deep.mdf", original, true, volume, step);
  std::printf("[deep] %s: plain %lld/%lld in %.2f s, deep %lld/%lld in %.2f s (%lld pages reassembled)\n",
              name.c_str(), (long long)plain.fidelity.recovered, (long long)plain.fidelity.genuine, plain.seconds,
              (long long)deep.fidelity.recovered, (long long)deep.fidelity.genuine, deep.seconds,
              (long long)deep.deepPages);
  ::testing::Test::RecordProperty(name + "_plain", std::to_string(plain.fidelity.recovered) + "/" +
                                                       std::to_string(plain.fidelity.genuine));
  ::testing::Test::RecordProperty(name + "_deep", std::to_string(deep.fidelity.recovered) + "/" +
                                                      std::to_string(deep.fidelity.genuine));
  if (!plainMayBeWrong) {
    EXPECT_EQ(plain.fidelity.wrong, 0) << name << " plain, first wrong page "
                                       << (plain.fidelity.wrongPages.empty() ? -1 : plain.fidelity.wrongPages[0]);
  }
  EXPECT_EQ(deep.fidelity.wrong, 0) << name << " deep, first wrong page "
                                    << (deep.fidelity.wrongPages.empty() ? -1 : deep.fidelity.wrongPages[0]);
  EXPECT_GE(deep.fidelity.recovered, plain.fidelity.recovered) << name;
  if (expect == Expect::kAll) {
    EXPECT_EQ(deep.fidelity.recovered, deep.fidelity.genuine)
        << name << " deep, first missing page " << (deep.fidelity.missing.empty() ? -1 : deep.fidelity.missing[0]);
  }
}

std::vector<uint8_t> Generated(const fs::path& path, int32_t pages, mdfgen::Protection protection, uint64_t seed) {
  mdfgen::Options o;
  o.pages = pages;
  o.protection = protection;
  o.seed = seed;
  o.physicalName = "D:\\Data\\Deep" + std::to_string(seed) + ".mdf";
  std::string error;
  EXPECT_TRUE(mdfgen::WriteFile(path, o, &error)) << error;
  return test::ReadFileBytes(path);
}

// Pages in two to four pieces: 1 KB clusters, runs of about three clusters.
TEST(DeepRecovery, PagesInSeveralPiecesOnFat32WithSmallClusters) {
  auto dir = test::TempDir("deep_pieces");
  for (auto protection : {mdfgen::Protection::kChecksum, mdfgen::Protection::kTornBits}) {
    const bool torn = protection == mdfgen::Protection::kTornBits;
    auto original = Generated(dir / "db.mdf", 64, protection, torn ? 2 : 3);
    test::FatVolume v;
    test::FatOptions o;
    o.sectorsPerCluster = 2;
    ASSERT_TRUE(v.Create(dir / "vol.img", o));
    ASSERT_TRUE(v.CopyInFragmented(dir / "db.mdf", "DB.MDF", 160));
    ASSERT_TRUE(v.Delete("DB.MDF"));
    Measure(torn ? "pieces_fat32_1k_torn" : "pieces_fat32_1k_checksum", dir / "vol.img", dir, original, true, 0);
  }
}

// The real files in runs shorter than a page: 512 B to 2 KiB clusters, most
// pages in two to eight pieces, on FAT32 and on NTFS. On FAT32 the runs
// follow the allocation order and every page comes back. On NTFS the runs of
// a file of many runs jump about (its attribute list and extension records
// take clusters between them): a page with a piece before its header or far
// behind it is out of reach, and a page for which pieces from elsewhere pass
// the checksum too (sectors whose words cancel) is ambiguous; such pages are
// written as zero pages, never as read.
TEST(DeepRecovery, RealFilesInSeveralPieces) {
  SORRELON_REQUIRE_REAL_MDF();
  auto dir = test::TempDir("deep_real_pieces");
  struct Case {
    bool ntfs;
    int clusterBytes;
    int clustersPerRun;
  };
  const Case cases[] = {{false, 512, 5}, {false, 1024, 3}, {false, 2048, 2}, {true, 1024, 3}, {true, 2048, 2}};
  const auto files = test::RealMdfFiles();
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    const fs::path& mdf = files[i % files.size()];
    auto original = test::ReadFileBytes(mdf);
    const int runs = int(int64_t(original.size()) / c.clusterBytes / c.clustersPerRun);
    const std::string name = mdf.stem().string() + (c.ntfs ? "_ntfs_" : "_fat32_") + std::to_string(c.clusterBytes);
    if (c.ntfs) {
      test::NtfsVolume v;
      test::NtfsOptions o;
      o.clusterBytes = c.clusterBytes;
      o.sizeBytes = 16 << 20;
      ASSERT_TRUE(v.Create(dir / "vol.img", o));
      ASSERT_TRUE(v.CopyInFragmented(mdf, "db.mdf", runs)) << name;
      ASSERT_TRUE(v.FreeClusters("db.mdf"));
    } else {
      test::FatVolume v;
      test::FatOptions o;
      o.sectorsPerCluster = c.clusterBytes / 512;
      ASSERT_TRUE(v.Create(dir / "vol.img", o));
      ASSERT_TRUE(v.CopyInFragmented(mdf, "DB.MDF", runs)) << name;
      ASSERT_TRUE(v.Delete("DB.MDF"));
    }
    // Plain recovery writes a split page without protection as read.
    Measure(name, dir / "vol.img", dir, original, true, 0, c.ntfs ? Expect::kSome : Expect::kAll,
            /*plainMayBeWrong=*/true);
  }
}

// Page 0 alone in its run of clusters: no page 1 behind it.
TEST(DeepRecovery, LonelyFileHeaderPageOfARealFile) {
  SORRELON_REQUIRE_REAL_MDF();
  auto dir = test::TempDir("deep_lonely");
  const fs::path mdf = test::RealMdfFiles()[0];
  auto original = test::ReadFileBytes(mdf);
  test::FatVolume v;
  test::FatOptions o;
  o.sectorsPerCluster = 8;
  ASSERT_TRUE(v.Create(dir / "vol.img", o));
  const int64_t clusters = int64_t(original.size()) / 4096;
  ASSERT_TRUE(v.CopyInFragmented(mdf, "DB.MDF", int(clusters / 2)));
  ASSERT_TRUE(v.Delete("DB.MDF"));
  Measure("lonely_header_fat32_4k", dir / "vol.img", dir, original, true, 0);
}

// A whole disk scanned sector by sector (no file system map): the split-page
// repair must take the partition's cluster size and never write a wrong page.
TEST(DeepRecovery, WholeDiskWithSmallClustersWritesNoWrongPage) {
  auto dir = test::TempDir("deep_disk");
  auto original = Generated(dir / "db.mdf", 240, mdfgen::Protection::kTornBits, 5);
  test::FatVolume v;
  test::FatOptions o;
  o.sectorsPerCluster = 1;
  ASSERT_TRUE(v.CreateInDisk(dir / "disk.img", o, 2048));
  ASSERT_TRUE(v.CopyInFragmented(dir / "db.mdf", "DB.MDF", 37));
  ASSERT_TRUE(v.Delete("DB.MDF"));
  // Torn-bit pages split at 512-byte clusters on a disk scanned without the
  // file system's map: torn bits pass a foreign sector one time in four, so
  // a page that neither its structure nor a single repair confirms must be
  // written as a zero page in both modes. A few such pages are lost.
  Measure("whole_disk_fat32_512_torn", dir / "disk.img", dir, original, false, 1, Expect::kAll);
}

}  // namespace
}  // namespace sorrelon
