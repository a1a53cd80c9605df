// The page map's learning and scoring rules, the chaining choices, SEARCH
// MORE, CHECK and the writer, on fragments built page by page in memory.
#include <gtest/gtest.h>

#include <algorithm>

#include "analysis/analysis.h"
#include "assembly/mdf_writer.h"
#include "base/bytes.h"
#include "page/page.h"
#include "tests/support/fake_person.h"
#include "tests/support/memory_source.h"
#include "tests/support/testdata.h"
#include "tools/mdfgen/mdfgen.h"

namespace sorrelon {
namespace {

using Page = std::vector<uint8_t>;

Page DataPage(int32_t pageId, int32_t objectId, int32_t prev = 0, int32_t next = 0, uint8_t type = 1,
              uint16_t linkFile = 1) {
  Page p(kPageSize, 0);
  mdfgen::Header h;
  h.pageType = type;
  h.pageId = pageId;
  h.objectId = objectId;
  h.prevPageId = prev;
  h.prevFileId = prev ? linkFile : 0;
  h.nextPageId = next;
  h.nextFileId = next ? linkFile : 0;
  h.slotCount = 1;
  h.freeData = 112;  // one small row at 96, as slot 0 says
  mdfgen::WriteHeader(p.data(), h);
  p[96] = 0x08;  // an index-style record: only its slot is checked
  mdfgen::SetSlot(p.data(), 0, 96);
  mdfgen::ProtectPage(p.data(), mdfgen::Protection::kChecksum);
  return p;
}

// A PFS page numbered `pageId` whose bytes mark `allocated` pages (relative
// to the first page it describes) allocated and `iam` pages as IAM pages.
Page PfsPage(int32_t pageId, std::vector<int> allocated, std::vector<int> iam = {}, int bytes = 400) {
  std::vector<uint8_t> pfs(size_t(bytes), 0);
  for (int a : allocated) pfs[size_t(a)] = 0x40;
  for (int a : iam) pfs[size_t(a)] = 0x50;
  Page p(kPageSize, 0);
  mdfgen::BuildPfsPage(p.data(), pageId, pfs, 1);
  mdfgen::ProtectPage(p.data(), mdfgen::Protection::kChecksum);
  return p;
}

Page IamPage(int32_t pageId, int32_t objectId, std::vector<int32_t> singles, std::vector<int32_t> extents) {
  Page p(kPageSize, 0);
  mdfgen::BuildIamPage(p.data(), pageId, objectId, 1, 0, singles, extents, 1);
  mdfgen::ProtectPage(p.data(), mdfgen::Protection::kChecksum);
  return p;
}

// A catalogue of in-memory fragments with an analysis context over it.
struct Rig {
  DataSource ds;
  SectorReader reader{ds};
  FragmentReader fragments{ds, reader};
  test::MemorySource mem;
  Catalogue cat;
  AnalysisState st;
  test::FakePerson person;
  AnalysisContext ctx{ds, fragments, cat, st, person};

  Rig() {
    ds.readFromSource = false;
    ds.sectorsPerCluster = 16;
    fragments.SetContent(&mem);
  }
  // Adds a fragment of `pages` starting at page `startPage`, at `sector`.
  int32_t Add(int64_t sector, int32_t startPage, const std::vector<Page>& pages) {
    Fragment f;
    f.number = int32_t(cat.store.size() + 1);
    f.startSector = sector;
    f.endSector = sector + 16 * int64_t(pages.size());
    f.sizeKb = int32_t(8 * pages.size());
    f.startPage = startPage;
    f.endPage = startPage + int32_t(pages.size());
    cat.store.Append(f);
    auto& bytes = mem.pages[sector];
    for (auto& p : pages) bytes.insert(bytes.end(), p.begin(), p.end());
    cat.startIndex.Build(cat.store);
    return int32_t(cat.store.size() - 1);
  }
  size_t PositionOf(int32_t fragment) const {
    for (size_t k = 0; k < cat.startIndex.size(); ++k)
      if (cat.startIndex[k].fragmentIndex == fragment) return k;
    return size_t(-1);
  }
  Verdict VerdictOf(int32_t fragment) { return FragmentVerdict(ctx, PositionOf(fragment)); }
  void Learn(int32_t fragment) {
    const Fragment& f = cat.store[size_t(fragment)];
    ASSERT_TRUE(LearnPages(ctx, f.Pages(), f.startPage, f.startSector));
  }
};

TEST(PageMap, LearnsPfsIamAndLinks) {
  Rig r;
  r.st.filePageCount = 200;
  r.st.pageMap.Init(200);
  // Header fragment: page 0 (any), PFS page 1 marking 10..30 allocated and 12
  // as an IAM page; IAM 12 (object 500) holds single page 20 and extent 24..31.
  std::vector<Page> head{DataPage(0, 99), PfsPage(1, {10, 11, 12, 13, 14, 20, 24, 25, 26, 27, 28, 29, 30, 31, 40}, {12})};
  r.Add(1000, 0, head);
  int32_t iam = r.Add(2000, 12, {IamPage(12, 500, {20}, {24})});
  r.Learn(0);
  EXPECT_EQ(r.st.pageMap.At(20).allocation, 1);
  EXPECT_EQ(r.st.pageMap.At(15).allocation, 0);
  EXPECT_EQ(r.st.pageMap.At(12).expectedType, page::kIam);
  EXPECT_EQ(r.st.pageMap.At(1).expectedOwner, 99);
  r.Learn(iam);
  EXPECT_EQ(r.st.pageMap.At(20).expectedOwner, 500);
  EXPECT_EQ(r.st.pageMap.At(27).expectedOwner, 500);
  EXPECT_EQ(r.st.pageMap.At(27).ownerSource, 0);
  // A data page of object 700 linking to 40 (allocated, unknown owner) and 13.
  int32_t data = r.Add(3000, 10, {DataPage(10, 700, 40, 13)});
  r.Learn(data);
  EXPECT_EQ(r.st.pageMap.At(40).expectedOwner, 700);
  EXPECT_EQ(r.st.pageMap.At(40).ownerSource, 1);
  EXPECT_EQ(r.st.pageMap.At(13).expectedOwner, 700);
  // A second IAM naming page 20 for another object: noted, first owner stays;
  // a link into 20 from another object: noted too.
  int32_t other = r.Add(4000, 13, {IamPage(13, 600, {20, 40}, {})});
  r.Learn(other);
  EXPECT_TRUE(r.person.Logged(Log::Analysis, "erra"));
  EXPECT_EQ(r.st.pageMap.At(20).expectedOwner, 500);
  EXPECT_EQ(r.st.pageMap.At(40).expectedOwner, 600);  // an allocation page outranks a link
  int32_t linker = r.Add(5000, 14, {DataPage(14, 800, 20, 0)});
  r.Learn(linker);
  EXPECT_TRUE(r.person.Logged(Log::Analysis, "errc"));
}

TEST(PageMap, LinksAreUsedOnlyIntoAllocatedPagesOfFile1) {
  Rig r;
  r.st.filePageCount = 100;
  r.st.pageMap.Init(100);
  r.Add(1000, 0, {DataPage(0, 99), PfsPage(1, {5, 6, 7, 8, 9})});
  r.Learn(0);
  // prev 50 is not known allocated: nothing from this page, not even next 6.
  int32_t a = r.Add(2000, 5, {DataPage(5, 300, 50, 6)});
  // links of file 3 are ignored.
  int32_t b = r.Add(3000, 7, {DataPage(7, 301, 8, 9, 1, 3)});
  r.Learn(a);
  r.Learn(b);
  EXPECT_EQ(r.st.pageMap.At(6).expectedOwner, 0);
  EXPECT_EQ(r.st.pageMap.At(8).expectedOwner, 0);
  EXPECT_EQ(r.st.pageMap.At(9).expectedOwner, 0);
}

TEST(PageMap, PfsAtAWrongPositionIsLearntOnlyByTheReducedLearning) {
  for (bool reduced : {false, true}) {
    Rig r;
    r.st.filePageCount = 9000;
    r.st.pageMap.Init(9000);
    r.Add(1000, 8089, {PfsPage(8089, {0, 1, 2})});
    reduced ? (void)LearnPfsPages(r.ctx, 1, 8089, 1000) : (void)LearnPages(r.ctx, 1, 8089, 1000);
    EXPECT_EQ(r.st.pageMap.At(8090).allocation, reduced ? 1 : 255);
  }
}

TEST(PageMap, TornLastAllocationPageIsLearntOnlyWithLargeClusters) {
  for (int spc : {8, 16}) {
    Rig r;
    r.ds.sectorsPerCluster = int16_t(spc);
    r.st.filePageCount = 100;
    r.st.pageMap.Init(100);
    Page pfs = PfsPage(1, {10});
    pfs[4000] ^= 0xFF;  // the second half came from elsewhere: the checksum fails
    r.Add(1000, 0, {DataPage(0, 99), pfs});
    r.Learn(0);
    EXPECT_EQ(r.st.pageMap.At(10).allocation, spc == 16 ? 1 : 255) << spc;
  }
}

TEST(Verdicts, ScoreAgainstThePageMap) {
  Rig r;
  r.st.filePageCount = 100;
  r.st.pageMap.Init(100);
  r.Add(1000, 0, {DataPage(0, 99), PfsPage(1, {10, 11, 12, 20, 21, 22, 30}, {30})});
  r.Learn(0);
  r.Learn(r.Add(2000, 30, {IamPage(30, 500, {10, 11, 12}, {})}));
  struct Case {
    const char* what;
    int32_t start;
    std::vector<Page> pages;
    Verdict expected;
  } cases[] = {
      {"owners match", 10, {DataPage(10, 500), DataPage(11, 500)}, kAccepted},
      {"an allocation page says another owner", 11, {DataPage(11, 501)}, kRejected},
      {"nothing known about the pages", 20, {DataPage(20, 777), DataPage(21, 777)}, kUndetermined},
      {"only allocation pages", 40, {DataPage(40, 99)}, kUndetermined},
      {"runs one page past the file", 99, {DataPage(99, 500), DataPage(100, 500)}, kRejected},
  };
  for (auto& c : cases) {
    int32_t f = r.Add(10000 + 1000 * int64_t(r.cat.store.size()), c.start, c.pages);
    int readsBefore = r.mem.reads;
    EXPECT_EQ(r.VerdictOf(f), c.expected) << c.what;
    if (c.start == 99) {
      EXPECT_EQ(r.mem.reads, readsBefore) << "rejected without reading";
    }
  }
  // A PFS-marked IAM position holding a data page of the right owner: conflict.
  Rig q;
  q.st.filePageCount = 100;
  q.st.pageMap.Init(100);
  q.Add(1000, 0, {DataPage(0, 99), PfsPage(1, {30}, {30})});
  q.Learn(0);
  q.st.pageMap.Mut(30)->expectedOwner = 500;
  EXPECT_EQ(q.VerdictOf(q.Add(3000, 30, {DataPage(30, 500)})), kRejected);
  // An owner known only from a link: another object id counts neither way.
  q.st.pageMap.Mut(31)->allocation = 1;
  q.st.pageMap.Mut(31)->expectedOwner = 900;
  q.st.pageMap.Mut(31)->ownerSource = 1;
  EXPECT_EQ(q.VerdictOf(q.Add(4000, 31, {DataPage(31, 901)})), kUndetermined);
}

// A small file for chaining: header fragment pages 0..3 (PFS marks 4..59
// allocated, IAM at 3 gives object 500 the extents 8..55 and single pages 4..7).
std::vector<Page> HeaderPages() {
  std::vector<int> alloc;
  for (int p = 0; p < 60; ++p) alloc.push_back(p);
  Page p0(kPageSize, 0);
  mdfgen::BuildFileHeaderPage(p0.data(), 60, "T", 1);
  mdfgen::ProtectPage(p0.data(), mdfgen::Protection::kChecksum);
  return {p0, PfsPage(1, alloc, {3}), DataPage(2, 99), IamPage(3, 500, {4, 5, 6, 7}, {8, 16, 24, 32, 40, 48})};
}
std::vector<Page> Range(int32_t from, int32_t to, int32_t owner = 500) {
  std::vector<Page> out;
  for (int32_t p = from; p < to; ++p) out.push_back(DataPage(p, owner));
  return out;
}

TEST(Chaining, AutomaticChoiceTakesTheNearestCopyWithTheFirstStartPage) {
  Rig r;
  r.Add(100000, 0, HeaderPages());
  int32_t far = r.Add(900000, 4, Range(4, 20));
  int32_t near = r.Add(110000, 4, Range(4, 20));
  int32_t later = r.Add(100100, 5, Range(5, 12));  // overlaps, nearer, but starts later: never wins
  r.cat.databaseFiles.rows = {{0, 1, false, std::nullopt}};
  ASSERT_TRUE(RunAnalysis(r.ctx, 0, true));
  EXPECT_EQ(r.cat.AssemblyFlag(size_t(near)), 1);
  EXPECT_EQ(r.cat.AssemblyFlag(size_t(far)), 0);
  EXPECT_EQ(r.cat.AssemblyFlag(size_t(later)), 0);
  EXPECT_TRUE(r.person.Logged(Log::Analysis, "找到碎片号" + std::to_string(near)));
  EXPECT_EQ(r.person.Log(Log::Analysis).back(), kAnalysisDone);
  EXPECT_EQ(r.st.databasePath, kNoName);  // a header fragment of 4 pages holds no page 32
  EXPECT_EQ(r.cat.assemblyList.size(), 2u);
}

TEST(Chaining, AskingPathPassesTheGroupAndCancelKeepsTheOldList) {
  Rig r;
  r.Add(100000, 0, HeaderPages());
  std::vector<int32_t> members;
  for (int i = 0; i < 15; ++i) members.push_back(r.Add(200000 + 1000 * i, 4, Range(4, 8)));
  r.cat.databaseFiles.rows = {{0, 1, false, std::nullopt}};
  r.cat.assemblyList.rows = {{0, 1, false, std::nullopt}};
  r.person.continuations = {std::nullopt};
  EXPECT_FALSE(RunAnalysis(r.ctx, 0, false));
  ASSERT_EQ(r.person.continuationGroups.size(), 1u);
  EXPECT_EQ(r.person.continuationGroups[0].size(), 13u);  // the group stops at 13
  EXPECT_EQ(r.person.Log(Log::Analysis).back(), kUserStopped);
  EXPECT_EQ(r.cat.assemblyList.size(), 1u);

  r.person.continuations = {size_t(2)};
  ASSERT_TRUE(RunAnalysis(r.ctx, 0, false));
  EXPECT_EQ(r.cat.AssemblyFlag(size_t(members[2])), 1);
}

TEST(SearchMore, FillsGapsPassByPassAndCompletesTheName) {
  Rig r;
  std::vector<Page> head = HeaderPages();
  r.Add(100000, 0, head);
  int32_t a = r.Add(200000, 30, Range(30, 40));
  r.cat.databaseFiles.rows = {{0, 1, false, std::nullopt}};
  ASSERT_TRUE(RunAnalysis(r.ctx, 0, true));  // chains 30..40 (gaps are allowed)
  ASSERT_EQ(r.cat.AssemblyFlag(size_t(a)), 1);
  // Fragments for the gap 4..30: two acceptable ones (the lower first), one
  // overlapping a row (never), one undetermined for the tail gap.
  int32_t g1 = r.Add(300000, 4, Range(4, 10));
  int32_t g2 = r.Add(310000, 12, Range(12, 20));
  int32_t overlap = r.Add(320000, 25, Range(25, 35));
  std::vector<Page> tail = Range(56, 60, 777);
  int32_t und = r.Add(330000, 56, tail);
  // Page 32 with the name lies in fragment a: rebuild it with a name page.
  Page name(kPageSize, 0);
  mdfgen::BuildNamePage(name.data(), "T", "E:\\db\\T.mdf", 1);
  mdfgen::ProtectPage(name.data(), mdfgen::Protection::kChecksum);
  std::copy(name.begin(), name.end(), r.mem.pages[200000].begin() + 2 * kPageSize);
  r.cat.startIndex.Build(r.cat.store);

  SearchMore(r.ctx);
  EXPECT_EQ(r.cat.AssemblyFlag(size_t(g1)), 1);
  EXPECT_EQ(r.cat.AssemblyFlag(size_t(g2)), 1);
  EXPECT_EQ(r.cat.AssemblyFlag(size_t(overlap)), 0);
  EXPECT_EQ(r.cat.AssemblyFlag(size_t(und)), 1);
  EXPECT_TRUE(r.person.Logged(Log::Assembly, "找到未确定碎片号" + std::to_string(und)));
  auto& log = r.person.Log(Log::Assembly);
  EXPECT_EQ(std::count(log.begin(), log.end(), "本次找到碎片数量0。二次查找完毕"), 1);
  EXPECT_EQ(r.st.databasePath, "E:\\db\\T.mdf");
  EXPECT_EQ(*r.cat.assemblyList.rows[0].remarkCell, "E:\\db\\T.mdf:480KB");
  EXPECT_TRUE(r.cat.assemblyButtons.createMdf && r.cat.assemblyButtons.check && r.cat.assemblyButtons.searchMore);

  // CHECK lists what is still missing: allocated pages 10, 11, 20..24, 40..55.
  CheckMissingPages(r.ctx);
  std::vector<std::string> expected;
  for (int p : {10, 11}) expected.push_back("缺少页面" + std::to_string(p));
  for (int p = 20; p < 30; ++p) expected.push_back("缺少页面" + std::to_string(p));
  for (int p = 40; p < 56; ++p) expected.push_back("缺少页面" + std::to_string(p));
  expected.push_back("检测完毕");
  EXPECT_EQ(r.person.Log(Log::Assembly), expected);
}

TEST(SearchMore, AListNotStartingAtPage0DisablesTheButtonsAndStops) {
  Rig r;
  r.st.filePageCount = 60;
  int32_t f = r.Add(200000, 30, Range(30, 40));
  r.cat.SetAssemblyFlag(size_t(f), 1);
  RebuildAssemblyList(r.cat.store, r.cat.assemblyFlags, r.cat.assemblyList);
  SearchMore(r.ctx);
  EXPECT_FALSE(r.cat.assemblyButtons.searchMore);
  EXPECT_TRUE(r.person.Log(Log::Assembly).empty());
}

TEST(Check, PfsPositionsComeFirstInAGap) {
  Rig r;
  r.st.filePageCount = 9000;
  r.st.pageMap.Init(9000);
  for (int p = 8000; p < 8100; p += 7) r.st.pageMap.Mut(p)->allocation = 1;
  int32_t a = r.Add(1000, 0, Range(0, 8000));
  int32_t b = r.Add(900000, 8100, Range(8100, 9000));
  r.cat.SetAssemblyFlag(size_t(a), 1);
  r.cat.SetAssemblyFlag(size_t(b), 1);
  RebuildAssemblyList(r.cat.store, r.cat.assemblyFlags, r.cat.assemblyList);
  CheckMissingPages(r.ctx);
  auto& log = r.person.Log(Log::Assembly);
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[0], "缺少重要的PFS页面8088");
  EXPECT_EQ(log[1], "缺少页面8000");
  EXPECT_EQ(log.back(), "检测完毕");
  CheckMissingPages(r.ctx);
  EXPECT_EQ(r.person.Log(Log::Assembly), log);  // the same report twice
}

TEST(Writer, GapsTailUnreadablePagesAndAFullDisk) {
  auto dir = test::TempDir("writer");
  struct Case {
    int32_t count;
    int64_t pages;
  } cases[] = {{25, 25}, {18, 20}};
  for (auto c : cases) {
    Rig r;
    r.st.filePageCount = c.count;
    int32_t a = r.Add(1000, 0, Range(0, 10));
    int32_t b = r.Add(5000, 15, Range(15, 20));
    r.mem.failing.insert({1000, 16 * 3});  // page 3 unreadable
    r.cat.SetAssemblyFlag(size_t(a), 1);
    r.cat.SetAssemblyFlag(size_t(b), 1);
    RebuildAssemblyList(r.cat.store, r.cat.assemblyFlags, r.cat.assemblyList);
    auto res = CreateMdf(r.ctx, (dir / "out.mdf").string());
    ASSERT_TRUE(res.complete);
    auto out = test::ReadFileBytes(dir / "out.mdf");
    EXPECT_EQ(int64_t(out.size()), c.pages * kPageSize);
    EXPECT_EQ(r.person.MessageTexts(), std::vector<std::string>{"read disk error"});
    EXPECT_EQ(res.unreadablePages, 1);
    EXPECT_TRUE(std::all_of(out.begin() + 3 * kPageSize, out.begin() + 4 * kPageSize, [](uint8_t x) { return !x; }));
    EXPECT_EQ(LeI32(&out[16 * kPageSize + 32]), 16);  // pages at their own numbers
    EXPECT_TRUE(std::all_of(out.begin() + 10 * kPageSize, out.begin() + 15 * kPageSize, [](uint8_t x) { return !x; }));
    EXPECT_EQ(r.person.Log(Log::Assembly).back(), kMdfDone);
  }
  Rig r;
  r.st.filePageCount = 10;
  r.cat.SetAssemblyFlag(size_t(r.Add(1000, 0, Range(0, 10))), 1);
  RebuildAssemblyList(r.cat.store, r.cat.assemblyFlags, r.cat.assemblyList);
  auto res = CreateMdf(r.ctx, "/dev/full");
  EXPECT_FALSE(res.complete);
  EXPECT_FALSE(r.person.Logged(Log::Assembly, kMdfDone));
  ASSERT_EQ(r.person.messages.size(), 1u);
  EXPECT_NE(r.person.messages[0].text.find("WRITE FAILED"), std::string::npos);
}

TEST(Writer, SplitPageIsRepairedFromTheNextFragmentsLeadIn) {
  auto dir = test::TempDir("writer_split");
  Rig r;
  r.ds.sectorsPerCluster = 8;
  r.st.filePageCount = 20;
  std::vector<Page> first = Range(0, 10), second = Range(10, 20);
  Page truePage9 = first[9];
  // On the disk the last 4 KB of page 9 hold something else; its true tail
  // lies in the 8 sectors just before the second fragment.
  // (Not a repeated pattern: 128 equal words in a sector cancel out in the
  // checksum.)
  uint32_t x = 12345;
  for (size_t i = 4096; i < kPageSize; ++i) first[9][i] = uint8_t((x = x * 1103515245u + 12345u) >> 16);
  int32_t a = r.Add(1000, 0, first);
  int32_t b = r.Add(5000, 10, second);
  std::vector<uint8_t> lead(15 * 512, 0x11);
  std::copy(truePage9.begin() + 4096, truePage9.end(), lead.begin() + 7 * 512);
  r.mem.leadIns[5000] = lead;
  r.cat.SetAssemblyFlag(size_t(a), 1);
  r.cat.SetAssemblyFlag(size_t(b), 1);
  RebuildAssemblyList(r.cat.store, r.cat.assemblyFlags, r.cat.assemblyList);
  auto res = CreateMdf(r.ctx, (dir / "out.mdf").string());
  ASSERT_TRUE(res.complete);
  EXPECT_EQ(res.repairedPages, 1);
  auto out = test::ReadFileBytes(dir / "out.mdf");
  EXPECT_TRUE(std::equal(truePage9.begin(), truePage9.end(), out.begin() + 9 * kPageSize));
}

// Page 9 ends a row and its tail holds something else, with a gap of pages
// after it: no repair is possible, and in either mode the page is written as
// a zero page in its own place (not over the gap's last page).
TEST(Writer, UnconfirmedSplitPageBeforeAGapIsWrittenAsAZeroPage) {
  auto dir = test::TempDir("writer_unconfirmed");
  for (bool deep : {false, true}) {
    Rig r;
    r.ds.sectorsPerCluster = 8;
    r.st.filePageCount = 20;
    r.st.deep = deep;
    std::vector<Page> first = Range(0, 10), second = Range(15, 20);
    uint32_t x = 777;
    for (size_t i = 4096; i < kPageSize; ++i) first[9][i] = uint8_t((x = x * 1103515245u + 12345u) >> 16);
    std::fill(first[3].begin(), first[3].end(), 0);  // never written: a zero page, nothing to confirm
    r.cat.SetAssemblyFlag(size_t(r.Add(1000, 0, first)), 1);
    r.cat.SetAssemblyFlag(size_t(r.Add(5000, 15, second)), 1);
    RebuildAssemblyList(r.cat.store, r.cat.assemblyFlags, r.cat.assemblyList);
    auto res = CreateMdf(r.ctx, (dir / "out.mdf").string());
    ASSERT_TRUE(res.complete);
    // (Deep recovery also refuses this fixture's page 0, which is no file-header page.)
    EXPECT_EQ(std::count(res.unconfirmed.begin(), res.unconfirmed.end(), 9), 1) << deep;
    EXPECT_EQ(std::count(res.unconfirmed.begin(), res.unconfirmed.end(), 3), 0) << deep;
    auto out = test::ReadFileBytes(dir / "out.mdf");
    ASSERT_EQ(out.size(), 20 * kPageSize);
    EXPECT_TRUE(std::all_of(out.begin() + 9 * kPageSize, out.begin() + 15 * kPageSize, [](uint8_t v) { return !v; }))
        << deep;
    EXPECT_TRUE(std::equal(first[8].begin(), first[8].end(), out.begin() + 8 * kPageSize));
    EXPECT_TRUE(std::equal(second[0].begin(), second[0].end(), out.begin() + 15 * kPageSize));
  }
}

}  // namespace
}  // namespace sorrelon
