#include "assembly/export.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "base/bytes.h"
#include "tests/support/fake_person.h"
#include "tests/support/fsimage.h"
#include "tests/support/image.h"
#include "tests/support/testdata.h"
#include "tools/mdfgen/mdfgen.h"

namespace sorrelon {
namespace {

namespace fs = std::filesystem;
using test::FakePerson;

// A source in memory, the fragment list over it, and a person to answer.
struct Rig {
  DataSource ds;
  test::MemoryReader source{ds, std::vector<uint8_t>(10000 * 512, 0)};
  FragmentReader reader{ds, source};
  Catalogue cat;
  FakePerson person;
  fs::path dir;

  explicit Rig(const std::string& name, int16_t spc = 16) : dir(test::TempDir(name)) { ds.sectorsPerCluster = spc; }
  // A fragment of pages [b, e) at `sector`, each page a simple page of its number.
  void Add(int64_t sector, int32_t b, int32_t e, bool checked = true) {
    for (int32_t p = b; p < e; ++p) PutPage(sector + 16 * (p - b), test::SimplePage(p));
    AddRecord(sector, b, e, checked);
  }
  void AddRecord(int64_t sector, int32_t b, int32_t e, bool checked = true) {
    cat.store.Append({int32_t(cat.store.size() + 1), sector, sector + 16 * (e - b), 8 * (e - b), b, e, " ", true});
    cat.fragmentList.rows.push_back({int32_t(cat.store.size() - 1), int32_t(cat.store.size()), checked, std::nullopt});
  }
  void PutPage(int64_t sector, const std::vector<uint8_t>& page) {
    std::copy(page.begin(), page.end(), source.bytes.begin() + sector * 512);
  }
  std::vector<std::string> Messages() const { return person.MessageTexts(); }
};

// Page numbers of a combined file's pages (-1 for an all-zero page).
std::vector<int32_t> PageIds(const std::vector<uint8_t>& file) {
  std::vector<int32_t> ids;
  for (size_t at = 0; at + kPageSize <= file.size(); at += kPageSize) {
    bool zero = std::all_of(file.begin() + at, file.begin() + at + kPageSize, [](uint8_t b) { return b == 0; });
    ids.push_back(zero ? -1 : LeI32(&file[at + 32]));
  }
  return ids;
}

TEST(FragmentExport, CombinedFillsGapsAndChecksPageOrder) {
  struct Case {
    const char* what;
    std::vector<std::pair<int32_t, int32_t>> rows;
    bool precheck;
    std::vector<int32_t> pages;  // empty with `refused`
    bool refused;
  } cases[] = {
      {"a gap of two pages", {{5, 8}, {10, 12}}, true, {5, 6, 7, -1, -1, 10, 11}, false},
      {"overlap refused by the pre-check", {{0, 10}, {8, 12}}, true, {}, true},
      {"overlap appended without it", {{0, 10}, {8, 12}}, false, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 8, 9, 10, 11}, false},
      {"no checked rows", {}, true, {}, false},
  };
  for (auto& c : cases) {
    Rig r("export_combined");
    int64_t sector = 1000;
    for (auto [b, e] : c.rows) {
      r.Add(sector, b, e);
      sector += 2000;
    }
    r.Add(sector, 50, 52, /*checked=*/false);  // an unchecked row is not exported
    const fs::path out = r.dir / "out.bin";
    r.person.answers = {true, c.precheck};
    r.person.files = {out.string()};
    ExportResult res = ExportCheckedFragments(r.cat, r.ds, r.reader, r.person);

    ASSERT_EQ(r.person.questions.size(), 2u) << c.what;
    EXPECT_EQ(r.person.questions[0].text, "组合保存成一个文件选是，保存为多个文件选否");
    EXPECT_EQ(r.person.questions[1].text, "判断页号重复选是，不判断则选否");
    EXPECT_EQ(r.person.questions[1].caption, "数据文件类型选择");
    if (c.refused) {
      EXPECT_EQ(r.Messages(), std::vector<std::string>{"error,pageid not connectted:8"}) << c.what;
      EXPECT_FALSE(fs::exists(out)) << c.what;
      EXPECT_TRUE(r.person.dialogTitles.empty()) << "refused before the save dialog";
      continue;
    }
    EXPECT_EQ(r.person.dialogTitles, std::vector<std::string>{"组合文件"});
    EXPECT_EQ(r.person.dialogDefaults, std::vector<std::string>{"noname"});
    EXPECT_TRUE(res.complete) << c.what;
    EXPECT_EQ(r.Messages(), std::vector<std::string>{"保存完毕"}) << c.what;
    EXPECT_EQ(PageIds(test::ReadFileBytes(out)), c.pages) << c.what;
  }
}

// Page 9 of a checksum-protected file lies split: its first half ends the
// first fragment, followed by a stranger's cluster; its second half fills the
// eight sectors just before the fragment that continues with page 10.
TEST(FragmentExport, CombinedRepairsSplitPagesWhereClustersAreSmall) {
  mdfgen::Options o;
  o.pages = 48;
  const auto file = mdfgen::GenerateFile(o);
  auto page = [&](int k) { return std::vector<uint8_t>(file.begin() + k * kPageSize, file.begin() + (k + 1) * kPageSize); };
  for (int16_t spc : {8, 16}) {
    Rig r("export_split", spc);
    for (int k = 0; k < 10; ++k) r.PutPage(1000 + 16 * k, page(k));
    for (int k = 10; k < 20; ++k) r.PutPage(3000 + 16 * (k - 10), page(k));
    std::vector<uint8_t> broken = page(9);
    std::fill(broken.begin() + 4096, broken.end(), 0xA5);
    r.PutPage(1000 + 16 * 9, broken);
    std::copy(file.begin() + 9 * kPageSize + 4096, file.begin() + 10 * kPageSize, r.source.bytes.begin() + 2992 * 512);
    r.AddRecord(1000, 0, 10);
    r.AddRecord(3000, 10, 20);

    ExportResult res = ExportCombined(CheckedExportRows(r.cat), (r.dir / "out.bin").string(), true, r.ds, r.reader, r.person);
    ASSERT_TRUE(res.complete);
    const auto out = test::ReadFileBytes(r.dir / "out.bin");
    ASSERT_EQ(out.size(), 20u * kPageSize);
    const std::vector<uint8_t> page9(out.begin() + 9 * kPageSize, out.begin() + 10 * kPageSize);
    if (spc == 8) {
      EXPECT_TRUE(out == std::vector<uint8_t>(file.begin(), file.begin() + 20 * kPageSize));
      EXPECT_EQ(res.repairedPages, 1);
    } else {
      EXPECT_EQ(page9, broken) << "no repair with clusters of a page or more";
    }

    // A lead-in that cannot be read ends the export.
    if (spc == 8) {
      r.person.messages.clear();
      r.source.failSectors = {2990};
      res = ExportCombined(CheckedExportRows(r.cat), (r.dir / "out.bin").string(), true, r.ds, r.reader, r.person);
      EXPECT_FALSE(res.complete);
      EXPECT_EQ(r.Messages(), std::vector<std::string>{"read disk error"});
      EXPECT_EQ(fs::file_size(r.dir / "out.bin"), 10u * kPageSize);
    }
  }
}

TEST(FragmentExport, PerFragmentFilesNamedByStartSector) {
  Rig r("export_each");
  r.Add(2048, 0, 3);
  r.Add(4096, 7, 9);
  r.Add(6000, 20, 21, /*checked=*/false);
  const std::string sep(1, char(fs::path::preferred_separator));
  EXPECT_EQ(FragmentFileName("out", 2048), "out" + sep + "2048.hex");
  EXPECT_EQ(FragmentFileName("out" + sep, 2048), "out" + sep + "2048.hex");

  test::WriteFileBytes(r.dir / "2048.hex", std::vector<uint8_t>(100000, 1));  // replaced without asking
  r.person.answers = {false};
  r.person.files = {r.dir.string()};
  ExportResult res = ExportCheckedFragments(r.cat, r.ds, r.reader, r.person);
  EXPECT_TRUE(res.complete);
  EXPECT_EQ(r.person.dialogTitles, std::vector<std::string>{"保存目录"});
  EXPECT_EQ(r.Messages(), std::vector<std::string>{"保存完毕"});
  EXPECT_EQ(PageIds(test::ReadFileBytes(r.dir / "2048.hex")), (std::vector<int32_t>{0, 1, 2}));
  EXPECT_EQ(PageIds(test::ReadFileBytes(r.dir / "4096.hex")), (std::vector<int32_t>{7, 8}));
  EXPECT_FALSE(fs::exists(r.dir / "6000.hex"));

  // The continuation dialog's rows go through the same code.
  fs::create_directories(r.dir / "cand");
  r.person.files = {(r.dir / "cand").string()};
  CandidateRow cand;
  cand.startSector = 4096;
  cand.sizeKb = 16;
  EXPECT_TRUE(SaveFragmentFiles(std::vector<CandidateRow>{cand}, r.reader, r.person).complete);
  EXPECT_EQ(test::ReadFileBytes(r.dir / "cand" / "4096.hex"), test::ReadFileBytes(r.dir / "4096.hex"));

  // Cancelled folder: nothing, silently. Unusable folder: the file name named.
  // Unreadable page: "read disk error" and no "保存完毕".
  r.person.messages.clear();
  EXPECT_FALSE(SaveFragmentFiles(CheckedExportRows(r.cat), r.reader, r.person).complete);
  EXPECT_TRUE(r.person.messages.empty());
  const std::string missing = (r.dir / "missing").string();
  ExportFragmentFiles(CheckedExportRows(r.cat), missing, r.reader, r.person);
  EXPECT_EQ(r.Messages(), std::vector<std::string>{"error,无法创建文件" + FragmentFileName(missing, 2048)});
  r.person.messages.clear();
  r.source.failSectors = {4096 + 16};
  res = ExportFragmentFiles(CheckedExportRows(r.cat), r.dir.string(), r.reader, r.person);
  EXPECT_FALSE(res.complete);
  EXPECT_EQ(r.Messages(), std::vector<std::string>{"read disk error"});
  EXPECT_EQ(fs::file_size(r.dir / "4096.hex"), kPageSize) << "what was read stays";

  // No checked rows: "保存完毕" and no file.
  for (auto& row : r.cat.fragmentList.rows) row.checked = false;
  r.person.messages.clear();
  fs::create_directories(r.dir / "none");
  EXPECT_TRUE(ExportFragmentFiles(CheckedExportRows(r.cat), (r.dir / "none").string(), r.reader, r.person).complete);
  EXPECT_EQ(r.Messages(), std::vector<std::string>{"保存完毕"});
  EXPECT_TRUE(fs::is_empty(r.dir / "none"));
}

TEST(FragmentExport, AFullDiskIsReportedNeverSaved) {
  Rig r("export_full");
  r.Add(2048, 0, 40);
  r.Add(4096, 40, 41);
  const auto rows = CheckedExportRows(r.cat);

  ExportResult res = ExportCombined(rows, "/dev/full", false, r.ds, r.reader, r.person);
  EXPECT_FALSE(res.complete);
  ASSERT_EQ(r.person.messages.size(), 1u);
  EXPECT_EQ(r.person.messages[0].text.rfind("error,写入文件失败(WRITE FAILED): /dev/full: ", 0), 0u)
      << r.person.messages[0].text;

  r.person.messages.clear();
  fs::create_symlink("/dev/full", r.dir / "2048.hex");
  res = ExportFragmentFiles(rows, r.dir.string(), r.reader, r.person);
  EXPECT_FALSE(res.complete);
  ASSERT_EQ(r.person.messages.size(), 1u);
  EXPECT_NE(r.person.messages[0].text.find("WRITE FAILED"), std::string::npos);
  EXPECT_FALSE(fs::exists(r.dir / "4096.hex")) << "the export ends at the failed file";

  // A file-size limit cuts a write short: in a child, which reports through
  // its exit status whether the export failed with the message and no success.
  fs::remove(r.dir / "2048.hex");
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit lim{100000, 100000};
    setrlimit(RLIMIT_FSIZE, &lim);
    FakePerson p;
    ExportResult cut = ExportCombined(rows, (r.dir / "cut.bin").string(), false, r.ds, r.reader, p);
    bool reported = p.messages.size() == 1 && p.messages[0].text.find("WRITE FAILED") != std::string::npos;
    _exit(!cut.complete && reported ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_LE(fs::file_size(r.dir / "cut.bin"), 100000u);
}

}  // namespace
}  // namespace sorrelon
