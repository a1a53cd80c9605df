// Two copies of one database on a FAT32 volume, both deleted: same object
// ids, same page numbers, fragments that start at the same pages. The copies
// lie interleaved (a run of one copy, then the run of the other), so the
// nearest start sector leads the chain of one copy into the other. Copy B is
// a later version of copy A: a few of its data pages changed after A was
// taken, and its boot page records the later checkpoint. Deep recovery must
// rebuild the chosen copy without a page of the other.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "base/bytes.h"
#include "page/page.h"
#include "tests/support/fsimage.h"
#include "tests/support/recovery.h"
#include "tests/support/testdata.h"
#include "tools/mdfgen/mdfgen.h"

namespace sorrelon {
namespace {

namespace fs = std::filesystem;

constexpr int kRuns = 8;
constexpr int kPagesPerRun = 32;

// Makes the next allocation start at the first free cluster (forgets the
// FSInfo hint of the next free cluster).
bool ForgetNextFreeHint(const test::FatVolume& v) {
  std::fstream f(v.Image(), std::ios::in | std::ios::out | std::ios::binary);
  uint8_t boot[512];
  f.seekg(v.offsetSectors * 512);
  if (!f.read(reinterpret_cast<char*>(boot), sizeof boot)) return false;
  f.seekp((v.offsetSectors + Le16(boot + 48)) * 512 + 492);
  const char none[4] = {'\xFF', '\xFF', '\xFF', '\xFF'};
  return bool(f.write(none, 4));
}

// Both copies in kRuns runs each, run i of `first` directly before run i of
// `second`, separated by one-cluster fillers.
bool PlaceInterleaved(test::FatVolume& v, const fs::path& dir, const fs::path& first, const fs::path& second) {
  const int64_t runBytes = int64_t(kPagesPerRun) * kPageSize;
  if (std::system(("MTOOLS_SKIP_CHECK=1 mmd -i '" + v.Image().string() + "' ::/FILL </dev/null").c_str()) != 0)
    return false;
  std::vector<std::string> gaps[2];
  int n = 0;
  for (int i = 0; i < kRuns; ++i)
    for (int copy = 0; copy < 2; ++copy)
      for (int64_t bytes : {runBytes, int64_t(512)}) {
        const fs::path tmp = dir / "filler";
        if (!test::WriteRandomFile(tmp, bytes, uint32_t(n))) return false;
        const std::string name = "FILL/F" + std::to_string(n++);
        if (!v.CopyIn(tmp, name)) return false;
        if (bytes == runBytes) gaps[copy].push_back(name);
      }
  int copy = 0;
  for (const auto& [file, name] : {std::pair{first, "FIRST.MDF"}, std::pair{second, "SECOND.MDF"}}) {
    for (const auto& g : gaps[copy]) {
      if (!v.Delete(g)) return false;
    }
    if (!ForgetNextFreeHint(v) || !v.CopyIn(file, name)) return false;
    const auto ext = v.Extents(name);
    EXPECT_EQ(int(ext.size()), kRuns) << name;
    if (int(ext.size()) != kRuns) return false;
    ++copy;
  }
  return v.Delete("FIRST.MDF") && v.Delete("SECOND.MDF");
}

struct Result {
  test::Fidelity fidelity;
  double seconds = 0;
  std::vector<std::string> analysisLog;
};

// Scans the volume and recovers the copy whose file-header page lies
// `later` ? after : before the other's.
Result RecoverCopy(const fs::path& image, const fs::path& out, const std::vector<uint8_t>& original, bool deep,
                   bool later) {
  Session s;
  test::FakePerson person;
  Result res;
  const auto t0 = std::chrono::steady_clock::now();
  test::RecoverOptions opt;
  opt.volume = true;
  opt.deep = deep;
  EXPECT_TRUE(test::ScanImage(s, person, image, opt));
  const Catalogue& cat = s.catalogue;
  EXPECT_EQ(cat.databaseFiles.size(), 2u);
  if (cat.databaseFiles.size() != 2) return res;
  auto sector = [&](int row) { return cat.store[size_t(cat.databaseFiles.rows[size_t(row)].fragment)].startSector; };
  const int row = (sector(1) > sector(0)) == later ? 1 : 0;
  const test::Recovery r = test::RebuildRow(s, person, row, out);
  EXPECT_TRUE(r.analysed);
  EXPECT_TRUE(r.written.complete);
  res.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  res.fidelity = test::Compare(original, test::ReadFileBytes(out));
  res.analysisLog = person.Log(Log::Analysis);
  return res;
}

TEST(DeepRecovery, TwoCopiesOfOneDatabaseAreToldApart) {
  auto dir = test::TempDir("deep_copies");
  mdfgen::Options o;
  o.pages = kRuns * kPagesPerRun;
  o.protection = mdfgen::Protection::kChecksum;
  o.seed = 11;
  o.physicalName = "D:\\Data\\Copies.mdf";
  std::vector<uint8_t> older = mdfgen::GenerateFile(o);
  ASSERT_EQ(older.size(), size_t(o.pages) * kPageSize);
  const auto layout = mdfgen::Plan(o);
  ASSERT_TRUE(layout);

  // The later copy: one data or index page changed in runs 2, 4 and 6, each with an
  // LSN after everything of the older copy, and a later checkpoint on its
  // boot page.
  std::vector<uint8_t> newer = older;
  auto setLsn = [&](std::vector<uint8_t>& file, int32_t p, uint32_t vlf, bool changeRow) {
    uint8_t* page = file.data() + int64_t(p) * kPageSize;
    PutLe32(page + page::off::lsn, vlf);
    if (changeRow) page[page::kHeaderBytes + 8] ^= 0x5A;
    mdfgen::ProtectPage(page, o.protection);
  };
  int changed = 0;
  for (int run : {2, 4, 6})
    for (int32_t p = run * kPagesPerRun; p < (run + 1) * kPagesPerRun; ++p)
      if (layout->role[size_t(p)] == mdfgen::Role::kData || layout->role[size_t(p)] == mdfgen::Role::kIndex) {
        setLsn(newer, p, 0x1000 + p, true);
        ++changed;
        break;
      }
  ASSERT_EQ(changed, 3);
  setLsn(newer, 9, 0x2000, false);
  // The generator's page LSNs are random below 0x60: as at a clean shutdown,
  // the older copy's boot page records a checkpoint after all of its pages.
  setLsn(older, 9, 0x100, false);
  std::ofstream(dir / "older.mdf", std::ios::binary).write(reinterpret_cast<const char*>(older.data()), older.size());
  std::ofstream(dir / "newer.mdf", std::ios::binary).write(reinterpret_cast<const char*>(newer.data()), newer.size());

  struct Case {
    const char* name;
    bool newerFirst;  // the later copy's runs lie before the older copy's
    bool wantNewer;   // recover the later copy
  };
  const Case cases[] = {{"copies_older_chosen", true, false}, {"copies_newer_chosen", false, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::FatVolume v;
    test::FatOptions fo;
    fo.sectorsPerCluster = 1;
    ASSERT_TRUE(v.Create(dir / "vol.img", fo));
    ASSERT_TRUE(c.newerFirst ? PlaceInterleaved(v, dir, dir / "newer.mdf", dir / "older.mdf")
                             : PlaceInterleaved(v, dir, dir / "older.mdf", dir / "newer.mdf"));
    const auto& original = c.wantNewer ? newer : older;
    const bool later = c.wantNewer != c.newerFirst;
    Result plain = RecoverCopy(dir / "vol.img", dir / "plain.mdf", original, false, later);
    Result deep = RecoverCopy(dir / "vol.img", dir / "deep.mdf", original, true, later);
    std::printf("[deep] %s: plain %lld/%lld (%lld wrong) in %.2f s, deep %lld/%lld (%lld wrong) in %.2f s\n", c.name,
                (long long)plain.fidelity.recovered, (long long)plain.fidelity.genuine,
                (long long)plain.fidelity.wrong, plain.seconds, (long long)deep.fidelity.recovered,
                (long long)deep.fidelity.genuine, (long long)deep.fidelity.wrong, deep.seconds);
    ::testing::Test::RecordProperty(std::string(c.name) + "_plain", std::to_string(plain.fidelity.recovered) + "/" +
                                                                        std::to_string(plain.fidelity.genuine));
    ::testing::Test::RecordProperty(std::string(c.name) + "_deep", std::to_string(deep.fidelity.recovered) + "/" +
                                                                       std::to_string(deep.fidelity.genuine));
    // The plain algorithm takes the nearest run and writes pages of the
    // other copy: the layout does show the fault.
    EXPECT_GT(plain.fidelity.wrong, 0);
    EXPECT_EQ(deep.fidelity.wrong, 0) << "first wrong page "
                                      << (deep.fidelity.wrongPages.empty() ? -1 : deep.fidelity.wrongPages[0]);
    EXPECT_EQ(deep.fidelity.recovered, deep.fidelity.genuine);
    // Runs without a changed page are the same in both copies: the log says
    // they could not be told apart.
    const bool said = std::any_of(deep.analysisLog.begin(), deep.analysisLog.end(), [](const std::string& l) {
      return l.rfind(kCopiesNotToldApart, 0) == 0;
    });
    EXPECT_TRUE(said);
    const bool plainSaid = std::any_of(plain.analysisLog.begin(), plain.analysisLog.end(), [](const std::string& l) {
      return l.rfind(kCopiesNotToldApart, 0) == 0;
    });
    EXPECT_FALSE(plainSaid);
  }
}

}  // namespace
}  // namespace sorrelon
