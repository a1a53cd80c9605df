// A deleted database file whose file-header page (page 0) was overwritten,
// on a FAT32 volume. The plain algorithm offers no database file; deep
// recovery offers it from its first PFS page, named from page 32, and
// rebuilds every other surviving page with a zero page 0 that CHECK lists.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>

#include "page/page.h"
#include "tests/support/fsimage.h"
#include "tests/support/recovery.h"
#include "tests/support/testdata.h"
#include "tools/mdfgen/mdfgen.h"

namespace sorrelon {
namespace {

namespace fs = std::filesystem;

struct Result {
  std::vector<std::string> remarks;  // the database-file list
  bool written = false;
  test::Fidelity fidelity;
  std::vector<std::string> checkLines;
  std::vector<uint8_t> output;
  double seconds = 0;
};

// Recovers the file of row `row` of the database-file list (when there is
// one); the original's page 0 is counted only when `pageZeroSurvives`.
Result RecoverHeaderless(const fs::path& image, const fs::path& out, const std::vector<uint8_t>& original, bool deep,
                         size_t row = 0, bool pageZeroSurvives = false) {
  Session s;
  test::FakePerson person;
  Result res;
  const auto t0 = std::chrono::steady_clock::now();
  test::RecoverOptions opt;
  opt.volume = true;
  opt.deep = deep;
  EXPECT_TRUE(test::ScanImage(s, person, image, opt));
  const Catalogue& cat = s.catalogue;
  AnalysisContext ctx = s.Analysis(person);
  if (deep) OfferHeaderlessFiles(ctx, s.scanFileId);
  for (size_t i = 0; i < cat.databaseFiles.size(); ++i) res.remarks.push_back(cat.databaseFiles.Remark(cat.store, i));
  std::vector<bool> considered(original.size() / kPageSize, true);
  considered[0] = pageZeroSurvives;
  if (row < cat.databaseFiles.size()) {
    const test::Recovery r = test::RebuildRow(s, person, int(row), out);
    EXPECT_TRUE(r.analysed);
    res.checkLines = r.checkLines;
    res.written = r.written.complete;
  }
  res.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (res.written) res.output = test::ReadFileBytes(out);
  res.fidelity = test::Compare(original, res.output, considered);
  return res;
}

// Writes `bytes` at byte `at` of an image.
void WriteAt(const fs::path& image, int64_t at, const std::vector<char>& bytes) {
  std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(at);
  ASSERT_TRUE(f.write(bytes.data(), std::streamsize(bytes.size())));
}

std::vector<char> ReadAt(const fs::path& image, int64_t at, size_t n) {
  std::vector<char> b(n);
  std::ifstream f(image, std::ios::binary);
  f.seekg(at);
  f.read(b.data(), std::streamsize(n));
  return b;
}

const std::vector<char> kJunk(kPageSize, '\x5A');

// A generated file copied into `fragments` runs of a FAT32 volume.
std::vector<uint8_t> Generate(const fs::path& file, int32_t pages, uint64_t seed, const std::string& logical,
                              const std::string& physical) {
  mdfgen::Options o;
  o.pages = pages;
  o.protection = mdfgen::Protection::kTornBits;
  o.seed = seed;
  o.logicalName = logical;
  o.physicalName = physical;
  std::string error;
  EXPECT_TRUE(mdfgen::WriteFile(file, o, &error)) << error;
  return test::ReadFileBytes(file);
}

// `file` placed in `runs` runs of a new FAT32 volume with one-sector
// clusters, deleted, and its page 0 overwritten.
bool PlaceWithoutPageZero(test::FatVolume& v, const fs::path& image, const fs::path& file, int runs,
                          test::FatOptions fo = {}) {
  fo.sectorsPerCluster = 1;
  if (!v.Create(image, fo) || !v.CopyInFragmented(file, "DB.MDF", runs)) return false;
  const auto ext = v.Extents("DB.MDF");
  if (ext.empty() || !v.Delete("DB.MDF")) return false;
  WriteAt(v.Image(), (v.offsetSectors + ext[0].firstSector) * 512, kJunk);
  return true;
}

void Report(const std::string& name, const Result& plain, const Result& deep) {
  std::printf("[deep] %s: plain %lld/%lld in %.2f s, deep %lld/%lld in %.2f s\n", name.c_str(),
              (long long)plain.fidelity.recovered, (long long)plain.fidelity.genuine, plain.seconds,
              (long long)deep.fidelity.recovered, (long long)deep.fidelity.genuine, deep.seconds);
  ::testing::Test::RecordProperty(name + "_plain", std::to_string(plain.fidelity.recovered) + "/" +
                                                       std::to_string(plain.fidelity.genuine));
  ::testing::Test::RecordProperty(name + "_deep", std::to_string(deep.fidelity.recovered) + "/" +
                                                      std::to_string(deep.fidelity.genuine));
}

TEST(DeepRecovery, FileWithoutItsFileHeaderPage) {
  auto dir = test::TempDir("deep_headerless");
  for (auto protection : {mdfgen::Protection::kChecksum, mdfgen::Protection::kTornBits}) {
    const bool torn = protection == mdfgen::Protection::kTornBits;
    SCOPED_TRACE(torn ? "torn bits" : "checksum");
    mdfgen::Options o;
    o.pages = 256;
    o.protection = protection;
    o.seed = 13;
    o.physicalName = "D:\\Data\\Headless.mdf";
    std::string error;
    ASSERT_TRUE(mdfgen::WriteFile(dir / "db.mdf", o, &error)) << error;
    const auto original = test::ReadFileBytes(dir / "db.mdf");

    test::FatVolume v;
    ASSERT_TRUE(PlaceWithoutPageZero(v, dir / "vol.img", dir / "db.mdf", 4));

    Result plain = RecoverHeaderless(v.Image(), dir / "plain.mdf", original, false);
    Result deep = RecoverHeaderless(v.Image(), dir / "deep.mdf", original, true);
    Report(torn ? "headerless_fat32_512_torn" : "headerless_fat32_512_checksum", plain, deep);

    // The plain list is as it always was: no file-header page, no row.
    EXPECT_TRUE(plain.remarks.empty());
    EXPECT_FALSE(plain.written);
    ASSERT_EQ(deep.remarks.size(), 1u);
    EXPECT_EQ(deep.remarks[0], std::string(kPageZeroMissing) + "D:\\Data\\Headless.mdf");
    ASSERT_TRUE(deep.written);
    EXPECT_EQ(deep.fidelity.wrong, 0);
    EXPECT_EQ(deep.fidelity.recovered, deep.fidelity.genuine)
        << "first missing page " << (deep.fidelity.missing.empty() ? -1 : deep.fidelity.missing[0]);
    ASSERT_GE(deep.output.size(), size_t(kPageSize));
    EXPECT_TRUE(std::all_of(deep.output.begin(), deep.output.begin() + kPageSize, [](uint8_t b) { return b == 0; }));
    EXPECT_NE(std::find(deep.checkLines.begin(), deep.checkLines.end(), "缺少页面0"), deep.checkLines.end());
  }
}

// A file of more than two PFS intervals: its page count comes from its GAM
// page and its further PFS pages (8088, 16176), so the output is as long as
// the original and every page beyond the first PFS interval comes back.
TEST(DeepRecovery, LargeFileWithoutItsFileHeaderPage) {
  auto dir = test::TempDir("deep_headerless_large");
  const auto original = Generate(dir / "db.mdf", 17000, 29, "Large", "E:\\Big\\Large.mdf");
  test::FatVolume v;
  test::FatOptions fo;
  fo.sizeBytes = (int64_t(original.size()) + (12 << 20)) / (1 << 20) * (1 << 20);
  ASSERT_TRUE(PlaceWithoutPageZero(v, dir / "vol.img", dir / "db.mdf", 5, fo));

  Result plain = RecoverHeaderless(v.Image(), dir / "plain.mdf", original, false);
  Result deep = RecoverHeaderless(v.Image(), dir / "deep.mdf", original, true);
  Report("headerless_large_fat32_512_torn", plain, deep);
  EXPECT_TRUE(plain.remarks.empty());
  EXPECT_FALSE(plain.written);
  ASSERT_EQ(deep.remarks.size(), 1u);
  EXPECT_EQ(deep.remarks[0], std::string(kPageZeroMissing) + "E:\\Big\\Large.mdf");
  ASSERT_TRUE(deep.written);
  EXPECT_EQ(deep.output.size(), original.size());
  EXPECT_EQ(deep.fidelity.wrong, 0);
  EXPECT_EQ(deep.fidelity.recovered, deep.fidelity.genuine)
      << "first missing page " << (deep.fidelity.missing.empty() ? -1 : deep.fidelity.missing[0]);
}

// A file the server wrote, without page 0: its GAM leaves the extents past
// the file's end free, so the page count ends with its last allocated extent
// and never beyond the original's size.
TEST(DeepRecovery, RealFileWithoutItsFileHeaderPage) {
  SORRELON_REQUIRE_REAL_MDF();
  auto dir = test::TempDir("deep_headerless_real");
  const fs::path file = test::RealMdfDir() / "database1-2012.mdf";
  const auto original = test::ReadFileBytes(file);
  ASSERT_FALSE(original.empty());
  test::FatVolume v;
  ASSERT_TRUE(PlaceWithoutPageZero(v, dir / "vol.img", file, 3));

  Result plain = RecoverHeaderless(v.Image(), dir / "plain.mdf", original, false);
  Result deep = RecoverHeaderless(v.Image(), dir / "deep.mdf", original, true);
  Report("headerless_real_fat32_512", plain, deep);
  EXPECT_TRUE(plain.remarks.empty());
  ASSERT_EQ(deep.remarks.size(), 1u);
  EXPECT_EQ(deep.remarks[0].rfind(kPageZeroMissing, 0), 0u) << deep.remarks[0];
  ASSERT_TRUE(deep.written);
  EXPECT_LE(deep.output.size(), original.size());
  EXPECT_EQ(deep.fidelity.wrong, 0);
  EXPECT_EQ(deep.fidelity.recovered, deep.fidelity.genuine);
}

// Places page 0 of a file (its first run at `ext0`) alone in free clusters
// further on, where page 1 does not follow it, and overwrites where it was.
void MakeLonely(const test::FatVolume& v, const test::Extent& ext0, int64_t freeSector) {
  const int64_t from = (v.offsetSectors + ext0.firstSector) * 512;
  const auto page0 = ReadAt(v.Image(), from, kPageSize);
  WriteAt(v.Image(), (v.offsetSectors + freeSector) * 512, page0);
  WriteAt(v.Image(), from, kJunk);
}

// Page 0 in a run of its own: the file is listed once, from its header, and
// not a second time from its page 1. A real file too, whose page 0 holds the
// logical name at an odd offset; and runs of four pages, where the run of
// page 1 holds no page 32 to compare names (the two are each other's only
// match).
TEST(DeepRecovery, LonelyFileHeaderPageListedOnce) {
  auto dir = test::TempDir("deep_headerless_lonely");
  struct Case {
    std::string name;
    fs::path file;
    int fragments;
  };
  std::vector<Case> cases{{"lonely_header_listed_once_fat32_512_torn", dir / "a.mdf", 3},
                          {"lonely_header_listed_once_fat32_512_short_runs", dir / "a.mdf", 64}};
  if (!test::RealMdfFiles().empty())  // the real file where it is there
    cases.push_back({"lonely_header_listed_once_fat32_512_real", test::RealMdfDir() / "database1-2012.mdf", 3});
  Generate(cases[0].file, 256, 13, "Lonely", "D:\\Data\\Lonely.mdf");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto original = test::ReadFileBytes(c.file);
    ASSERT_FALSE(original.empty());
    test::FatVolume v;
    test::FatOptions fo;
    fo.sectorsPerCluster = 1;
    ASSERT_TRUE(v.Create(dir / "vol.img", fo));
    ASSERT_TRUE(v.CopyInFragmented(c.file, "A.MDF", c.fragments));
    const auto ext = v.Extents("A.MDF");
    ASSERT_FALSE(ext.empty());
    ASSERT_TRUE(v.Delete("A.MDF"));
    MakeLonely(v, ext[0], ext.back().firstSector + ext.back().sectors + 256);

    Result plain = RecoverHeaderless(v.Image(), dir / "plain.mdf", original, false, 0, true);
    Result deep = RecoverHeaderless(v.Image(), dir / "deep.mdf", original, true, 0, true);
    Report(c.name, plain, deep);
    EXPECT_TRUE(plain.remarks.empty());
    ASSERT_EQ(deep.remarks.size(), 1u);
    EXPECT_EQ(deep.remarks[0].rfind(kPageZeroMissing, 0), std::string::npos) << deep.remarks[0];
    ASSERT_TRUE(deep.written);
    EXPECT_EQ(deep.fidelity.wrong, 0);
    EXPECT_EQ(deep.fidelity.recovered, deep.fidelity.genuine);
  }
}

// Two databases of the same size and file id, one with a lonely page 0, the
// other without page 0: both are offered, each once, and each row rebuilds
// its own file.
TEST(DeepRecovery, TwoDatabasesOneWithoutItsFileHeaderPage) {
  auto dir = test::TempDir("deep_headerless_two");
  const auto a = Generate(dir / "a.mdf", 256, 13, "Lonely", "D:\\Data\\Lonely.mdf");
  const auto b = Generate(dir / "b.mdf", 256, 41, "Other", "D:\\Data\\Other.mdf");
  test::FatVolume v;
  test::FatOptions fo;
  fo.sectorsPerCluster = 1;
  ASSERT_TRUE(v.Create(dir / "vol.img", fo));
  ASSERT_TRUE(v.CopyInFragmented(dir / "a.mdf", "A.MDF", 3));
  ASSERT_TRUE(v.CopyInFragmented(dir / "b.mdf", "B.MDF", 3));
  const auto extA = v.Extents("A.MDF"), extB = v.Extents("B.MDF");
  ASSERT_FALSE(extA.empty());
  ASSERT_FALSE(extB.empty());
  ASSERT_TRUE(v.Delete("A.MDF"));
  ASSERT_TRUE(v.Delete("B.MDF"));
  MakeLonely(v, extA[0], std::max(extA.back().firstSector + extA.back().sectors,
                                  extB.back().firstSector + extB.back().sectors) + 256);
  WriteAt(v.Image(), (v.offsetSectors + extB[0].firstSector) * 512, kJunk);

  Result rowA = RecoverHeaderless(v.Image(), dir / "a_out.mdf", a, true, 0, true);
  ASSERT_EQ(rowA.remarks.size(), 2u);
  EXPECT_EQ(rowA.remarks[0].rfind(kPageZeroMissing, 0), std::string::npos) << rowA.remarks[0];
  EXPECT_EQ(rowA.remarks[1], std::string(kPageZeroMissing) + "D:\\Data\\Other.mdf");
  EXPECT_EQ(rowA.fidelity.wrong, 0);
  EXPECT_EQ(rowA.fidelity.recovered, rowA.fidelity.genuine);
  Result rowB = RecoverHeaderless(v.Image(), dir / "b_out.mdf", b, true, 1);
  Result plainB = RecoverHeaderless(v.Image(), dir / "b_plain.mdf", b, false, 1);
  Report("two_databases_headerless_one_fat32_512_torn", plainB, rowB);
  EXPECT_TRUE(plainB.remarks.empty());
  EXPECT_EQ(rowB.fidelity.wrong, 0);
  EXPECT_EQ(rowB.fidelity.recovered, rowB.fidelity.genuine);
}

// A file without page 0 that reaches just past its second PFS page, beside a
// larger database with the same file id: the other database's PFS pages do
// not lengthen it (they mark pages allocated where this file's GAM holds
// extents free), so the output is exactly as long as the original.
TEST(DeepRecovery, OtherDatabasesPfsPagesDoNotLengthenTheFile) {
  auto dir = test::TempDir("deep_headerless_other_pfs");
  const auto a = Generate(dir / "a.mdf", 8200, 7, "Short", "D:\\Data\\Short.mdf");
  Generate(dir / "b.mdf", 17000, 8, "Long", "D:\\Data\\Long.mdf");
  test::FatVolume v;
  test::FatOptions fo;
  fo.sectorsPerCluster = 1;
  fo.sizeBytes = (int64_t(a.size()) + 17000 * int64_t(kPageSize) + (12 << 20)) / (1 << 20) * (1 << 20);
  ASSERT_TRUE(v.Create(dir / "vol.img", fo));
  ASSERT_TRUE(v.CopyInFragmented(dir / "a.mdf", "A.MDF", 2));
  ASSERT_TRUE(v.CopyIn(dir / "b.mdf", "B.MDF"));
  const auto ext = v.Extents("A.MDF");
  ASSERT_FALSE(ext.empty());
  ASSERT_TRUE(v.Delete("A.MDF"));
  ASSERT_TRUE(v.Delete("B.MDF"));
  WriteAt(v.Image(), (v.offsetSectors + ext[0].firstSector) * 512, kJunk);

  Result deep = RecoverHeaderless(v.Image(), dir / "deep.mdf", a, true, 1);
  ASSERT_EQ(deep.remarks.size(), 2u);
  EXPECT_EQ(deep.remarks[1], std::string(kPageZeroMissing) + "D:\\Data\\Short.mdf");
  EXPECT_EQ(deep.output.size(), a.size());
  EXPECT_EQ(deep.fidelity.wrong, 0);
  EXPECT_EQ(deep.fidelity.recovered, deep.fidelity.genuine);
}

}  // namespace
}  // namespace sorrelon
