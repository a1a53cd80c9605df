// A damaged source under every command that reads it: sectors that cannot be
// read, a source that ends early, and output files that cannot be written.
// Each command reports what it met with its own message, goes on or stops as
// it should, and never reports success for a file it did not wholly write.
// A file name read from page 32 never leads a write outside the chosen folder.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "analysis/analysis.h"
#include "assembly/export.h"
#include "assembly/mdf_writer.h"
#include "catalogue/list_commands.h"
#include "catalogue/scan_info.h"
#include "scan/free_space.h"
#include "scan/scan.h"
#include "tests/support/fake_person.h"
#include "tests/support/image.h"
#include "tests/support/testdata.h"
#include "tools/mdfgen/mdfgen.h"

namespace sorrelon {
namespace {

namespace fs = std::filesystem;
using test::FakePerson;
using Shown = std::pair<std::string, std::string>;  // text, caption

// A generated database file in pieces on a whole-disk image, each piece at a
// sector that is a multiple of the cluster (8 sectors).
struct Piece {
  int32_t firstPage, endPage;
  int64_t sector;
};
constexpr int32_t kPages = 120;
const std::vector<Piece> kBigHeader = {{0, 50, 1024}, {50, 90, 4096}, {90, kPages, 8192}};
const std::vector<Piece> kSmallHeader = {{0, 20, 1024}, {20, 70, 4096}, {70, kPages, 8192}};

// Sector of page `page` of the file on the image.
int64_t SectorOf(const std::vector<Piece>& pieces, int32_t page) {
  for (const Piece& p : pieces)
    if (page >= p.firstPage && page < p.endPage) return p.sector + 16 * int64_t(page - p.firstPage);
  return -1;
}

// Sectors of page `page`: all 16 of them.
std::set<int64_t> PageSectors(const std::vector<Piece>& pieces, int32_t page) {
  std::set<int64_t> s;
  for (int i = 0; i < 16; ++i) s.insert(SectorOf(pieces, page) + i);
  return s;
}

struct Disk {
  fs::path dir, image;
  std::vector<uint8_t> file;
  std::vector<Piece> pieces;
  Disk(const std::string& name, std::vector<Piece> layout, const std::string& physicalName = "D:\\Data\\Faults.mdf")
      : pieces(std::move(layout)) {
    dir = test::TempDir(name);
    image = dir / "disk.img";
    mdfgen::Options o;
    o.pages = kPages;
    o.physicalName = physicalName;
    o.seed = 5;
    o.allocatedFraction = 1.0;  // pieces without zero pages: each is one run
    file = mdfgen::GenerateFile(o);
    test::Image img(12000, 77);
    for (const Piece& p : pieces) img.PutPages(p.sector, file, p.firstPage, p.endPage - p.firstPage);
    img.Write(image);
  }
};

// One recovery's state over a reader that fails the sectors it is given.
struct Rig {
  DataSource ds;
  test::FaultyReader reader;
  FragmentReader fragments{ds, reader};
  Catalogue cat;
  FreeSpaceMap map;
  AnalysisState state;
  FakePerson person;
  AnalysisContext ctx{ds, fragments, cat, state, person};

  explicit Rig(const Disk& d, std::set<int64_t> bad = {}) : reader(ds, std::move(bad)) {
    ds.sourceChosen = true;
    ds.devicePath = d.image.string();
    ds.sectorBound = int64_t(fs::file_size(d.image) / 512);
    ds.endSector = ds.sectorBound;
  }
  ScanEnd Scan() {
    ScanParams p;
    p.end = ds.sectorBound;
    p.sectorsPerCluster = 8;
    std::atomic<bool> stop{false};
    ScanEnd end = RunScan(p, ds, reader, cat, map, stop, person);
    RebuildDatabaseFileList(cat.store, cat.databaseFiles);
    return end;
  }
  std::vector<Shown> Boxes() const {
    std::vector<Shown> out;
    for (auto& m : person.messages) out.emplace_back(m.text, m.caption);
    return out;
  }
  std::vector<int64_t> AssemblyStarts() const {
    std::vector<int64_t> out;
    for (size_t i = 0; i < cat.assemblyList.size(); ++i) out.push_back(cat.assemblyList.FragmentOf(cat.store, i).startSector);
    return out;
  }
  void Forget() { person = FakePerson(); }
};

// A rig that has scanned cleanly and chained the file, ready for a command
// that meets the bad sectors.
void ScanAndChain(Rig& r, const Disk& d, std::set<int64_t> bad) {
  ASSERT_EQ(r.Scan(), ScanEnd::Finished);
  ASSERT_EQ(r.cat.databaseFiles.size(), 1u);
  ASSERT_TRUE(RunAnalysis(r.ctx, 0, true)) << ::testing::PrintToString(r.person.MessageTexts());
  r.cat.AssemblyColumnClick(kColStartPage);
  ASSERT_EQ(r.cat.assemblyList.size(), d.pieces.size());
  r.reader.SetBad(std::move(bad));
  r.Forget();
}

TEST(Faults, ScanLogsUnreadableHeadersAndKeepsGoing) {
  Disk d("faults_scan", kBigHeader);
  struct Case {
    const char* what;
    std::set<int64_t> bad;
    std::vector<std::string> logged;
    std::vector<Shown> shown;
    size_t fragments;
  } cases[] = {
      // Page 2 of the file-header run: the run ends before it; the pages
      // behind it lie where this copy holds them, so they join its record.
      {"inside the file-header run", {SectorOf(d.pieces, 2)}, {"8192errorhead1sec" + std::to_string(SectorOf(d.pieces, 2))}, {}, 3},
      // Page 60, inside the second piece: the same within a data run.
      {"inside a data run", {SectorOf(d.pieces, 60)}, {"8192error1sec" + std::to_string(SectorOf(d.pieces, 60))}, {}, 3},
      // Page 32 cannot be read for the header remark: the record of the
      // file-header run keeps its first pages (before page 32) and each
      // attempt to grow it past page 32 is refused with the message.
      {"page 32 for the header remark", {SectorOf(d.pieces, 32) + 3}, {}, {{"read disk error", "提示"}, {"read disk error", "提示"}}, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Rig r(d, c.bad);
    EXPECT_EQ(r.Scan(), ScanEnd::Finished);
    for (const std::string& line : c.logged) EXPECT_TRUE(r.person.Logged(Log::Scan, line)) << line;
    EXPECT_EQ(r.Boxes(), c.shown);
    EXPECT_EQ(r.cat.store.size(), c.fragments);
    EXPECT_EQ(r.cat.store.back().startSector, d.pieces.back().sector);
  }
}

TEST(Faults, ASourceThatEndsEarlyEndsTheScanQuietly) {
  Disk d("faults_short", kBigHeader);
  // Reads reaching past sector 6000 come back cut there, as from a source
  // that ends early: the third piece is never seen, the first two are.
  Rig r(d);
  r.reader.SetEnd(6000);
  EXPECT_EQ(r.Scan(), ScanEnd::Finished);
  ASSERT_EQ(r.cat.store.size(), 2u);
  EXPECT_EQ(r.cat.store[1].startSector, d.pieces[1].sector);
  EXPECT_TRUE(r.person.Logged(Log::Scan, "512error1sec6000"));
  // Every unreadable sector is tried once, not once for every step that
  // lands in its window.
  EXPECT_LT(r.reader.reads, 2 * 12000) << "unreadable windows are read again at every step";

  // The image shrinks after it was opened: reads beyond its new end fail.
  Rig shrunk(d);
  std::vector<uint8_t> buf(512);
  ASSERT_TRUE(shrunk.reader.ReadSectors(1, buf.data(), 0));  // opened at its full size
  fs::resize_file(d.image, 6000 * 512);
  EXPECT_EQ(shrunk.Scan(), ScanEnd::Finished);
  EXPECT_EQ(shrunk.cat.store.size(), 2u);
  EXPECT_TRUE(shrunk.person.Logged(Log::Scan, "512error1sec6000"));
  EXPECT_EQ(shrunk.person.Log(Log::Scan).back().rfind(kScanFinished, 0), 0u);
}

TEST(Faults, SearchStopsAtAnUnreadablePageWithItsMessageAndKeepsTheList) {
  struct Case {
    const char* what;
    const std::vector<Piece>* layout;
    int32_t page;
    std::vector<Shown> shown;
    std::string lastLog;  // analysis log
  } cases[] = {
      {"page 0", &kBigHeader, 0, {{"read disk error", "mess"}}, ""},
      {"page 32", &kBigHeader, 32, {{"read disk error", "提示"}}, ""},
      {"learning the header fragment", &kBigHeader, 5, {{"read disk error", "提示"}, {"get page info error", "提示"}}, ""},
      // Scoring the second piece meets the page first (and only shortens the
      // scoring); learning from it then fails.
      {"learning a chained fragment", &kBigHeader, 60, {{"read disk error", "提示"}, {"read disk error", "提示"}},
       "get page info error,碎片号1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Disk d("faults_search", *c.layout);
    Rig r(d);
    ScanAndChain(r, d, PageSectors(d.pieces, c.page));
    const std::vector<int64_t> before = r.AssemblyStarts();
    EXPECT_FALSE(RunAnalysis(r.ctx, 0, true));
    EXPECT_EQ(r.Boxes(), c.shown);
    const auto& log = r.person.Log(Log::Analysis);
    if (c.lastLog.empty()) {
      EXPECT_TRUE(log.empty() || log.back() != kAnalysisDone);
    } else {
      ASSERT_FALSE(log.empty());
      EXPECT_EQ(log.back(), c.lastLog);
    }
    EXPECT_EQ(r.AssemblyStarts(), before) << "the assembly list keeps what it held";
  }
}

TEST(Faults, SearchMoreStopsAtAnUnreadablePage) {
  // The third piece is taken out of the assembly; SEARCH MORE finds it again
  // but cannot learn from it.
  Disk d("faults_more", kBigHeader);
  Rig r(d);
  ScanAndChain(r, d, PageSectors(d.pieces, 90));
  for (size_t i = 0; i < r.cat.store.size(); ++i)
    if (r.cat.store[i].startSector == d.pieces[2].sector) r.cat.SetAssemblyFlag(i, 0);
  RebuildAssemblyList(r.cat.store, r.cat.assemblyFlags, r.cat.assemblyList);
  const std::vector<int64_t> before = r.AssemblyStarts();
  SearchMore(r.ctx);
  EXPECT_EQ(r.Boxes(), (std::vector<Shown>{{"read disk error", "提示"}, {"read disk error", "提示"}}));
  ASSERT_FALSE(r.person.Log(Log::Assembly).empty());
  EXPECT_EQ(r.person.Log(Log::Assembly).back(), "get page info error,碎片号2");
  EXPECT_EQ(r.AssemblyStarts(), before) << "the list is not refilled";
  EXPECT_EQ(r.cat.AssemblyFlag(2), 1) << "the fragment stays flagged";
  EXPECT_FALSE(r.cat.assemblyButtons.createMdf || r.cat.assemblyButtons.check || r.cat.assemblyButtons.searchMore);

  // The file name from page 32, in the second row: unreadable, so the first
  // row's remark stays as it was.
  Disk small("faults_more_name", kSmallHeader);
  Rig s(small);
  ScanAndChain(s, small, PageSectors(small.pieces, 32));
  SearchMore(s.ctx);
  EXPECT_EQ(s.Boxes(), (std::vector<Shown>{{"read disk error", "提示"}}));
  EXPECT_FALSE(s.cat.assemblyList.rows[0].remarkCell.has_value());
  EXPECT_EQ(s.state.databasePath, kNoName);
}

TEST(Faults, WritersGoOnOrStopAsTheirFilesNeed) {
  Disk d("faults_write", kBigHeader);
  const fs::path out = d.dir / "out.mdf";
  {
    // CREATE MDF: an unreadable page becomes a zero page and writing goes on.
    Rig r(d);
    ScanAndChain(r, d, PageSectors(d.pieces, 70));
    MdfWriteResult w = CreateMdf(r.ctx, out.string());
    EXPECT_TRUE(w.complete);
    EXPECT_EQ(w.unreadablePages, 1);
    EXPECT_EQ(r.Boxes(), (std::vector<Shown>{{"read disk error", "提示"}}));
    const auto bytes = test::ReadFileBytes(out);
    ASSERT_EQ(bytes.size(), size_t(kPages) * kPageSize);
    EXPECT_TRUE(std::all_of(bytes.begin() + 70 * kPageSize, bytes.begin() + 71 * kPageSize, [](uint8_t b) { return !b; }));
    EXPECT_TRUE(std::equal(bytes.begin() + 71 * kPageSize, bytes.end(), d.file.begin() + 71 * kPageSize));
  }
  {
    // With clusters smaller than a page, the lead-in before a piece is read
    // to repair a split page: unreadable, it is reported and writing goes on.
    Rig r(d);
    ScanAndChain(r, d, {d.pieces[1].sector - 3});
    MdfWriteResult w = CreateMdf(r.ctx, out.string());
    EXPECT_TRUE(w.complete);
    EXPECT_EQ(r.Boxes(), (std::vector<Shown>{{"read disk error ,leftpage", "提示"}}));
    EXPECT_TRUE(test::ReadFileBytes(out) == d.file);
  }
  {
    // The exports stop at the unreadable page and keep what they wrote.
    Rig r(d);
    ScanAndChain(r, d, PageSectors(d.pieces, 60));
    std::vector<ExportRow> rows;
    for (size_t i = 0; i < r.cat.assemblyList.size(); ++i) {
      const Fragment& f = r.cat.assemblyList.FragmentOf(r.cat.store, i);
      rows.push_back({f.startSector, f.sizeKb, f.startPage, f.endPage});
    }
    ExportResult combined = ExportCombined(rows, (d.dir / "all.bin").string(), true, r.ds, r.fragments, r.person);
    EXPECT_FALSE(combined.complete);
    EXPECT_EQ(fs::file_size(d.dir / "all.bin"), 60u * kPageSize);
    fs::create_directories(d.dir / "pieces");
    ExportResult pieces = ExportFragmentFiles(rows, (d.dir / "pieces").string(), r.fragments, r.person);
    EXPECT_FALSE(pieces.complete);
    EXPECT_EQ(pieces.files.size(), 2u);
    EXPECT_EQ(r.Boxes(), (std::vector<Shown>{{"read disk error", "提示"}, {"read disk error", "提示"}}));
    EXPECT_FALSE(fs::exists(FragmentFileName((d.dir / "pieces").string(), d.pieces[2].sector)));
  }
  {
    // SAVE: the scan-info file needs no reads; the content file stops at the
    // unreadable sector without its trailer and without "success".
    Rig r(d);
    ScanAndChain(r, d, PageSectors(d.pieces, 60));
    std::unique_ptr<ContentFile> content;
    std::string fileId = "1", secs = "8";
    uint16_t scanFileId = 1;
    ScanInfoContext sc{r.cat, r.ds, r.reader, r.fragments, content, fileId, scanFileId, secs, r.person};
    r.person.files = {(d.dir / "scan.sif").string(), (d.dir / "scan.spc").string()};
    r.person.answers = {true};
    SaveResult saved = SaveScanInfo(sc);
    EXPECT_TRUE(saved.scanInfoWritten);
    ASSERT_TRUE(saved.content.has_value());
    EXPECT_FALSE(saved.content->complete);
    EXPECT_EQ(r.Boxes(), (std::vector<Shown>{{"read disk error", "提示"}}));
  }
}

// A file-size limit cuts each writer short in a child process (SIGXFSZ
// ignored, so the write fails with EFBIG). The child exits 0 when the writer
// said it failed, showed a write-failure message and no success.
TEST(Faults, WritersCutShortByAFileSizeLimitNeverReportSuccess) {
  Disk d("faults_limit", kBigHeader);
  Rig r(d);
  ScanAndChain(r, d, {});
  struct Case {
    const char* what;
    std::function<bool(FakePerson&)> write;  // true when it claims a whole file
  } cases[] = {
      {"CREATE MDF",
       [&](FakePerson& p) {
         AnalysisContext ctx{r.ds, r.fragments, r.cat, r.state, p};
         MdfWriteResult w = CreateMdf(ctx, (d.dir / "cut.mdf").string());
         return w.complete || p.Logged(Log::Assembly, kMdfDone);
       }},
      {"scan-info file",
       [&](FakePerson& p) {
         std::unique_ptr<ContentFile> content;
         std::string fileId = "1", secs = "8";
         uint16_t id = 1;
         FragmentStore many;
         for (int i = 0; i < 20000; ++i) many.Append(r.cat.store[size_t(i) % r.cat.store.size()]);
         Catalogue big;
         big.store = many;
         ScanInfoContext sc{big, r.ds, r.reader, r.fragments, content, fileId, id, secs, p};
         p.files = {(d.dir / "cut.sif").string()};
         return SaveScanInfo(sc).scanInfoWritten;
       }},
      {"content file",
       [&](FakePerson& p) {
         ContentWriteResult w = WriteContentFile((d.dir / "cut.spc").string(), r.cat.store, r.reader, 8, p);
         return w.complete;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      signal(SIGXFSZ, SIG_IGN);
      rlimit lim{200000, 200000};
      setrlimit(RLIMIT_FSIZE, &lim);
      FakePerson p;
      const bool claimed = c.write(p);
      bool failureShown = false, successShown = false;
      for (auto& m : p.messages) {
        failureShown |= m.text.find("WRITE FAILED") != std::string::npos;
        successShown |= m.text == "success" || m.text == kExportDone;
      }
      _exit(!claimed && failureShown && !successShown ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  }
}

// Physical file names that try to leave the folder: the fragment list shows
// them as text, CREATE MDF offers a plain file name, and every file written
// lands in the folder the person chose.
TEST(Faults, HostileNamesFromPage32StayInTheChosenFolder) {
  const char* names[] = {"..\\..\\..\\evil.mdf", "../../evil.mdf", "C:\\a\\..\\..\\..\\b.mdf",
                         "/etc/passwd/../x.mdf", "..\\.mdf", "a:b\\..\\.. .mdf"};
  for (const char* name : names) {
    SCOPED_TRACE(name);
    Disk d("faults_names", kBigHeader, name);
    const fs::path chosen = d.dir / "chosen" / "deeper";
    fs::create_directories(chosen);
    auto listing = [&] {
      std::set<fs::path> all;
      for (auto& e : fs::recursive_directory_iterator(d.dir)) all.insert(e.path());
      return all;
    };
    Rig r(d);
    ASSERT_EQ(r.Scan(), ScanEnd::Finished);
    ASSERT_EQ(r.cat.databaseFiles.size(), 1u);
    const std::string remark = r.cat.databaseFiles.Remark(r.cat.store, 0);
    EXPECT_EQ(remark.find('|'), std::string::npos);
    ASSERT_TRUE(RunAnalysis(r.ctx, 0, true));
    EXPECT_NE(r.state.databasePath, kNoName);
    r.cat.AssemblyColumnClick(kColStartPage);
    SearchMore(r.ctx);
    const std::set<fs::path> before = listing();

    // CREATE MDF through its dialog: the offered name, accepted in the folder.
    const std::string offered = DefaultMdfName(r.state.databasePath);
    EXPECT_EQ(offered.find_first_of("/\\:"), std::string::npos) << offered;
    EXPECT_NE(offered.find_first_not_of(". "), std::string::npos) << offered;
    r.person.files = {(chosen / offered).string()};
    MdfWriteResult w = CreateMdf(r.ctx);
    ASSERT_EQ(r.person.dialogDefaults.back(), offered);
    EXPECT_TRUE(w.complete);

    // Both forms of the export, into the same folder.
    CheckAllRows(r.cat);
    r.person.answers = {false};
    r.person.files = {chosen.string()};
    EXPECT_TRUE(ExportCheckedFragments(r.cat, r.ds, r.fragments, r.person).complete);
    r.person.answers = {true, true};
    r.person.files = {(chosen / kCombinedDefaultName).string()};
    EXPECT_TRUE(ExportCheckedFragments(r.cat, r.ds, r.fragments, r.person).complete);

    for (const fs::path& p : listing()) {
      if (!before.count(p)) {
        EXPECT_EQ(p.parent_path(), chosen) << p;
      }
    }
  }
}

}  // namespace
}  // namespace sorrelon
