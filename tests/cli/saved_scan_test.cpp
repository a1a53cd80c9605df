// The command line with saved scans: a scan saved with its contents recovers
// the same file as the source itself, with the source moved away; the export
// command writes the fragments' pages as they lie on the source.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "base/bytes.h"
#include "catalogue/scan_info.h"
#include "tests/support/fsimage.h"
#include "tests/support/recovery.h"
#include "tests/support/testdata.h"

namespace sorrelon {
namespace {

namespace fs = std::filesystem;

std::string Cli() { return SORRELON_CLI; }
std::string Q(const fs::path& p) { return "'" + p.string() + "'"; }

// A FAT32 volume (one sector per cluster, so pages are split across runs)
// that held a real database file in four runs and had it deleted.
struct DeletedDbVolume {
  fs::path dir, image;
  std::vector<uint8_t> original;
  bool Make(const std::string& name) {
    dir = test::TempDir(name);
    image = dir / "vol.img";
    const fs::path mdf = test::RealMdfFiles().front();  // aspnetdb-2005.mdf: 280 pages
    original = test::ReadFileBytes(mdf);
    test::FatVolume fat;
    return fat.Create(image) && fat.CopyInFragmented(mdf, "DB.MDF", 4) && fat.Delete("DB.MDF");
  }
};

TEST(SavedScanCli, RecoversFromScanInfoAndContentsAloneAsFromTheSource) {
  SORRELON_REQUIRE_REAL_MDF();
  if (!test::RequireTools({"mkfs.vfat", "mcopy", "mdel"})) return;
  DeletedDbVolume v;
  ASSERT_TRUE(v.Make("cli_saved_roundtrip"));
  const fs::path& d = v.dir;
  std::string out;

  ASSERT_EQ(test::Run(Cli() + " recover " + Q(v.image) + " -q -o " + Q(d / "live.mdf"), &out), 0) << out;
  ASSERT_EQ(test::Run(Cli() + " scan " + Q(v.image) + " -q --save " + Q(d / "scan.sif") + " --content " +
                          Q(d / "scan.spc"),
                      &out),
            0)
      << out;
  EXPECT_NE(out.find("提示: success"), std::string::npos) << out;

  // The source goes away; the two saved files are all that is left.
  fs::rename(v.image, d / "elsewhere.img");
  ASSERT_EQ(test::Run(Cli() + " recover --scan-info " + Q(d / "scan.sif") + " --content " + Q(d / "scan.spc") +
                          " -q -o " + Q(d / "saved.mdf") + " --report " + Q(d / "saved.json"),
                      &out),
            0)
      << out;
  const auto live = test::ReadFileBytes(d / "live.mdf");
  ASSERT_EQ(live.size(), v.original.size());
  EXPECT_TRUE(test::ReadFileBytes(d / "saved.mdf") == live) << "recovery from the saved scan differs";
  EXPECT_TRUE(live == v.original) << "the deleted file was not recovered whole";

  // Without contents the saved scan needs the source, and says so.
  EXPECT_EQ(test::Run(Cli() + " recover --scan-info " + Q(d / "scan.sif") + " -q -o " + Q(d / "x.mdf"), &out), 2);
  // A content file that is not the one saved with the scan is refused.
  test::WriteFileBytes(d / "short.spc", std::vector<uint8_t>(live.begin(), live.begin() + 100000));
  EXPECT_EQ(test::Run(Cli() + " recover --scan-info " + Q(d / "scan.sif") + " --content " + Q(d / "short.spc") +
                          " -q -o " + Q(d / "x.mdf"),
                      &out),
            1);
  EXPECT_NE(out.find("CONTENT FILE DOES NOT MATCH"), std::string::npos) << out;
  EXPECT_FALSE(fs::exists(d / "x.mdf"));
}

// Pages split across runs of 1 KB clusters (runs of 20 KB: every other page
// in two pieces) are put together from the clusters around them on the
// source. A content file holds the fragments only, so deep recovery from it
// cannot reassemble them: it writes no wrong page, says why pages are
// missing, and recovers everything from the source.
TEST(SavedScanCli, DeepRecoveryFromSavedContentsWritesNoWrongPage) {
  SORRELON_REQUIRE_REAL_MDF();
  if (!test::RequireTools({"mkfs.vfat", "mcopy", "mdel"})) return;
  const fs::path d = test::TempDir("cli_saved_deep");
  const fs::path mdf = test::RealMdfFiles().front();
  const auto original = test::ReadFileBytes(mdf);
  test::FatVolume fat;
  test::FatOptions o;
  o.sectorsPerCluster = 2;
  ASSERT_TRUE(fat.Create(d / "vol.img", o));
  ASSERT_TRUE(fat.CopyInFragmented(mdf, "DB.MDF", int(original.size() / 20480)));
  ASSERT_TRUE(fat.Delete("DB.MDF"));
  std::string out;
  ASSERT_EQ(test::Run(Cli() + " recover " + Q(d / "vol.img") + " -q -o " + Q(d / "live.mdf"), &out), 0)
      << out;
  ASSERT_EQ(test::Run(Cli() + " scan " + Q(d / "vol.img") + " -q --save " + Q(d / "scan.sif") +
                          " --content " + Q(d / "scan.spc"),
                      &out),
            0)
      << out;
  ASSERT_EQ(test::Run(Cli() + " recover --scan-info " + Q(d / "scan.sif") + " --content " + Q(d / "scan.spc") +
                          " -q -o " + Q(d / "saved.mdf"),
                      &out),
            0)
      << out;
  EXPECT_NE(out.find("DEEP REASSEMBLY NEEDS THE SOURCE"), std::string::npos) << out;
  const test::Fidelity live = test::Compare(original, test::ReadFileBytes(d / "live.mdf"));
  const test::Fidelity saved = test::Compare(original, test::ReadFileBytes(d / "saved.mdf"));
  std::printf("[deep] saved contents, 1 KB clusters: source %lld/%lld, contents %lld/%lld\n",
              (long long)live.recovered, (long long)live.genuine, (long long)saved.recovered,
              (long long)saved.genuine);
  EXPECT_EQ(live.recovered, live.genuine);
  EXPECT_EQ(live.wrong, 0);
  EXPECT_EQ(saved.wrong, 0) << "first wrong page " << (saved.wrongPages.empty() ? -1 : saved.wrongPages[0]);
}

TEST(SavedScanCli, ExportWritesFragmentsAsTheyLieOnTheSource) {
  SORRELON_REQUIRE_REAL_MDF();
  if (!test::RequireTools({"mkfs.vfat", "mcopy", "mdel"})) return;
  DeletedDbVolume v;
  ASSERT_TRUE(v.Make("cli_export"));
  const fs::path& d = v.dir;
  std::string out;
  ASSERT_EQ(test::Run(Cli() + " scan " + Q(v.image) + " -q --save " + Q(d / "scan.sif") + " --content " +
                          Q(d / "scan.spc"),
                      &out),
            0)
      << out;
  auto records = ReadScanInfoFile((d / "scan.sif").string());
  ASSERT_TRUE(records);
  ASSERT_GE(records->size(), 2u);
  const auto image = test::ReadFileBytes(v.image);

  // Per-fragment files, read from the content file: each equals the
  // fragment's sectors on the source.
  fs::create_directories(d / "each");
  ASSERT_EQ(test::Run(Cli() + " export --scan-info " + Q(d / "scan.sif") + " --content " + Q(d / "scan.spc") +
                          " -q --fragments all --per-fragment " + Q(d / "each"),
                      &out),
            0)
      << out;
  EXPECT_NE(out.find("保存完毕"), std::string::npos) << out;
  for (const Fragment& f : *records) {
    const auto got = test::ReadFileBytes(d / "each" / (std::to_string(f.startSector) + ".hex"));
    const auto at = image.begin() + f.startSector * 512;
    EXPECT_TRUE(got == std::vector<uint8_t>(at, at + int64_t(f.Pages()) * kPageSize)) << f.ToLine();
  }

  // The combined file of every fragment in page order, from the source: the
  // database file itself (the split pages repaired at every run boundary) up
  // to the last page found; the file's tail is never-written zero pages.
  ASSERT_EQ(test::Run(Cli() + " export " + Q(v.image) + " -q --fragments all --sort-by-start-page --check-pages"
                          " --combined " + Q(d / "all.bin"),
                      &out),
            0)
      << out;
  const auto all = test::ReadFileBytes(d / "all.bin");
  ASSERT_GT(all.size(), 100u * kPageSize);
  ASSERT_LE(all.size(), v.original.size());
  EXPECT_TRUE(std::equal(all.begin(), all.end(), v.original.begin()));
  EXPECT_TRUE(std::all_of(v.original.begin() + std::ptrdiff_t(all.size()), v.original.end(), [](uint8_t b) { return b == 0; }));

  // Bad choices stop before anything is written.
  EXPECT_EQ(test::Run(Cli() + " export " + Q(v.image) + " -q --fragments 1,999 --combined " + Q(d / "no.bin"), &out), 1);
  EXPECT_NE(out.find("fragment 999 is not in the fragment list"), std::string::npos) << out;
  EXPECT_EQ(test::Run(Cli() + " export " + Q(v.image) + " --fragments 2-x --combined " + Q(d / "no.bin"), &out), 2);
  EXPECT_FALSE(fs::exists(d / "no.bin"));
  EXPECT_EQ(test::Run(Cli() + " export --help", &out), 0);
  EXPECT_NE(out.find("--per-fragment DIR"), std::string::npos);
}

}  // namespace
}  // namespace sorrelon
