#include "catalogue/content_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <set>

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

constexpr uint32_t kKey = 0x2468ACE1u & 0x7FFFFFFFu;

// A source of 8,000 sectors of noise, so that every sector is told apart.
struct Source {
  DataSource ds;
  test::MemoryReader reader{ds, test::Image(8000, 77).bytes()};
  std::vector<uint8_t> Sectors(int64_t first, int64_t count) const {
    auto at = reader.bytes.begin() + first * 512;
    return std::vector<uint8_t>(at, at + count * 512);
  }
};

FragmentStore Store(std::vector<std::pair<int64_t, int32_t>> sectorAndKb) {
  FragmentStore s;
  int32_t n = 1;
  for (auto [sector, kb] : sectorAndKb)
    s.Append({n++, sector, sector + 2 * kb, kb, 0, PagesFromKb(kb), " ", true});
  return s;
}

std::vector<uint8_t> ReadVia(ContentFile& cf, int64_t start, int32_t offset, uint32_t count, bool* ok) {
  std::vector<uint8_t> buf(count * 512);
  *ok = cf.ReadContentSectors(offset, count, start, buf.data());
  return buf;
}

TEST(ContentFile, ScrambleAndLayoutFollowTheStoreOrder) {
  uint8_t word[4] = {1, 0, 0, 0};
  ScramblePage(word, 4, 0x11111111u);
  EXPECT_EQ(Le32(word), 0x91111111u);  // rotated right by one, then XOR key
  UnscramblePage(word, 4, 0x11111111u);
  EXPECT_EQ(Le32(word), 1u);

  auto dir = test::TempDir("content_layout");
  Source src;
  FragmentStore store = Store({{1000, 24}, {3000, 16}});
  FakePerson person;
  const std::string path = (dir / "c.spc").string();
  ContentWriteResult w = WriteContentFile(path, store, src.reader, 8, person, kKey);
  ASSERT_TRUE(w.complete);
  EXPECT_EQ(person.MessageTexts(), std::vector<std::string>{"success"});
  EXPECT_EQ(person.gauge, (std::vector<int>{0, 100}));

  // A 24 KB record is a 32,256-byte block; the second record's page k lies at
  // 7,680 + 8,192 x 3 + 7,680 + 8,192 x k.
  const auto file = test::ReadFileBytes(path);
  ASSERT_EQ(file.size(), 32256u + 7680u + 2u * 8192u + 6u);
  EXPECT_EQ(std::vector<uint8_t>(file.begin(), file.begin() + 7680), src.Sectors(985, 15)) << "lead-in as read";
  for (int k = 0; k < 2; ++k) {
    const size_t at = 7680 + 8192 * 3 + 7680 + 8192 * size_t(k);
    std::vector<uint8_t> page(file.begin() + at, file.begin() + at + 8192);
    EXPECT_NE(page, src.Sectors(3000 + 16 * k, 16)) << "pages are stored scrambled";
    UnscramblePage(page.data(), page.size(), kKey);
    EXPECT_EQ(page, src.Sectors(3000 + 16 * k, 16));
  }
  EXPECT_EQ(Le32(&file[file.size() - 6]), RotR32(kKey, 3));
  EXPECT_EQ(LeI16(&file[file.size() - 2]), 8);

  std::string error;
  auto cf = ContentFile::Open(path, store, &error);
  ASSERT_TRUE(cf) << error;
  EXPECT_TRUE(cf->Matches());
  EXPECT_EQ(cf->Key(), kKey);
  EXPECT_EQ(cf->SectorsPerCluster(), 8);
  EXPECT_EQ(cf->BlockOffset(3000), 32256);

  // Reads answer what the source holds; anything outside a fragment fails.
  bool ok = false;
  for (auto [start, offset, count] : std::vector<std::tuple<int64_t, int32_t, uint32_t>>{
           {1000, 0, 16}, {1000, 32, 16}, {1000, -15, 15}, {3000, 16, 16}, {3000, -15, 15}, {1000, 8, 16}}) {
    auto got = ReadVia(*cf, start, offset, count, &ok);
    EXPECT_TRUE(ok) << start << " " << offset;
    EXPECT_EQ(got, src.Sectors(start + offset, count)) << start << " " << offset;
  }
  for (auto [start, offset, count] : std::vector<std::tuple<int64_t, int32_t, uint32_t>>{
           {1000, 48, 16}, {3000, 32, 16}, {3000, 24, 16}, {1000, -16, 16}, {2000, 0, 16}, {1001, 0, 16}}) {
    ReadVia(*cf, start, offset, count, &ok);
    EXPECT_FALSE(ok) << start << " " << offset;
  }

  // Two records with one start sector: the first one's block answers (its
  // single page; the second record's second page is not reachable).
  FragmentStore dup = Store({{1000, 8}, {1000, 16}});
  FakePerson quiet;
  ASSERT_TRUE(WriteContentFile(path, dup, src.reader, 8, quiet, kKey).complete);
  cf = ContentFile::Open(path, dup);
  EXPECT_EQ(cf->BlockOffset(1000), 0);
  EXPECT_EQ(ReadVia(*cf, 1000, 0, 16, &ok), src.Sectors(1000, 16));
  EXPECT_TRUE(ok);
  ReadVia(*cf, 1000, 16, 16, &ok);
  EXPECT_FALSE(ok);

  // An empty store: a file of the trailer alone.
  FragmentStore none;
  ASSERT_TRUE(WriteContentFile(path, none, src.reader, 4, quiet, kKey).complete);
  EXPECT_EQ(fs::file_size(path), 6u);
  EXPECT_TRUE(ContentFile::Open(path, none)->Matches());
}

TEST(ContentFile, TruncatedAndForeignFilesFailCleanly) {
  auto dir = test::TempDir("content_bad");
  Source src;
  FragmentStore store = Store({{1000, 24}, {3000, 16}});
  FakePerson person;
  const std::string good = (dir / "good.spc").string();
  ASSERT_TRUE(WriteContentFile(good, store, src.reader, 8, person, kKey).complete);
  const auto bytes = test::ReadFileBytes(good);

  std::mt19937 rng(5);
  std::vector<uint8_t> noise(bytes.size() + 8192);
  for (auto& b : noise) b = uint8_t(rng());
  struct Case {
    const char* what;
    std::vector<uint8_t> content;
  } cases[] = {
      {"empty", {}},
      {"shorter than a trailer", {bytes.begin(), bytes.begin() + 5}},
      {"cut in the second block", {bytes.begin(), bytes.begin() + 40000}},
      {"without its trailer", {bytes.begin(), bytes.end() - 6}},
      {"one byte more", [&] { auto v = bytes; v.push_back(0); return v; }()},
      {"foreign", noise},
  };
  for (auto& c : cases) {
    const std::string path = (dir / "bad.spc").string();
    test::WriteFileBytes(path, c.content);
    auto cf = ContentFile::Open(path, store);
    ASSERT_TRUE(cf) << c.what;
    EXPECT_FALSE(cf->Matches()) << c.what;
    bool ok = true;
    for (auto [start, offset] : std::vector<std::pair<int64_t, int32_t>>{{1000, 0}, {1000, -15}, {3000, 16}}) {
      ReadVia(*cf, start, offset, offset < 0 ? 15 : 16, &ok);
      EXPECT_FALSE(ok) << c.what;
    }
  }
  std::string error;
  EXPECT_FALSE(ContentFile::Open((dir / "absent.spc").string(), store, &error));
  EXPECT_FALSE(error.empty());
}

TEST(WriteContentFile, ReadAndWriteFailuresAreReported) {
  auto dir = test::TempDir("content_write_fail");
  const std::string path = (dir / "c.spc").string();
  FragmentStore store = Store({{1000, 24}, {3000, 16}, {5000, 8}});

  {  // A failed read: the message, a file without trailer, no "success".
    Source src;
    src.reader.failSectors = {3020};  // page 1 of the second record
    FakePerson person;
    ContentWriteResult w = WriteContentFile(path, store, src.reader, 8, person, kKey);
    EXPECT_FALSE(w.complete);
    EXPECT_EQ(person.MessageTexts(), std::vector<std::string>{"read disk error"});
    EXPECT_EQ(fs::file_size(path), 32256u + 7680u + 8192u);
    EXPECT_EQ(person.gauge, (std::vector<int>{0, 50}));
  }
  {  // A full disk.
    Source src;
    FakePerson person;
    ContentWriteResult w = WriteContentFile("/dev/full", store, src.reader, 8, person, kKey);
    EXPECT_FALSE(w.complete);
    ASSERT_EQ(person.messages.size(), 1u);
    EXPECT_EQ(person.messages[0].text.rfind("error,写入文件失败(WRITE FAILED): /dev/full: ", 0), 0u)
        << person.messages[0].text;
    EXPECT_EQ(person.messages[0].caption, "提示");
  }
  {  // A file that cannot be created.
    Source src;
    FakePerson person;
    EXPECT_FALSE(WriteContentFile((dir / "no" / "c.spc").string(), store, src.reader, 8, person).created);
    EXPECT_EQ(person.MessageTexts(), std::vector<std::string>{"error,无法创建文件"});
  }
  {  // A fragment at the very start of the source: the lead-in's sectors
     // before sector 0 are stored as zeros.
    Source src;
    FakePerson person;
    FragmentStore first = Store({{5, 8}});
    ASSERT_TRUE(WriteContentFile(path, first, src.reader, 8, person, kKey).complete);
    auto file = test::ReadFileBytes(path);
    std::vector<uint8_t> want(10 * 512, 0);
    auto head = src.Sectors(0, 5);
    want.insert(want.end(), head.begin(), head.end());
    EXPECT_EQ(std::vector<uint8_t>(file.begin(), file.begin() + 7680), want);
  }
}

// Content-mode reads from fragments held in memory, with chosen failures.
struct StubContent : ContentSource {
  std::map<int64_t, std::vector<uint8_t>> pages;  // start sector -> the fragment's pages
  std::set<std::pair<int64_t, int32_t>> fail;     // (start sector, offset)
  bool ReadContentSectors(int32_t offset, uint32_t count, int64_t start, void* buf) override {
    if (fail.count({start, offset}) || !pages.count(start)) return false;
    const auto& p = pages[start];
    if (offset < 0 || size_t(offset + int32_t(count)) * 512 > p.size()) return false;
    std::memcpy(buf, p.data() + size_t(offset) * 512, count * 512);
    return true;
  }
};

TEST(DatabaseFileList, ContentModeShowsNameAndSizeFromThePages) {
  mdfgen::Options o;
  o.pages = 64;
  o.physicalName = "D:\\DATA\\shop.mdf";
  const auto file = mdfgen::GenerateFile(o);
  ASSERT_EQ(file.size(), 64u * kPageSize);
  const std::vector<uint8_t> head(file.begin(), file.begin() + 40 * kPageSize);

  Catalogue cat;
  StubContent stub;
  // Sector: what its fragment is made of.
  auto add = [&](int64_t sector, int32_t pages, std::vector<uint8_t> bytes) {
    cat.store.Append({int32_t(cat.store.size() + 1), sector, sector + 16 * pages, 8 * pages, 0, pages, "stored", true});
    stub.pages[sector] = std::move(bytes);
  };
  auto zeroPage = [&](int k) {
    auto b = head;
    std::fill(b.begin() + k * kPageSize, b.begin() + (k + 1) * kPageSize, 0);
    return b;
  };
  add(100, 40, head);                                                   // named from its pages
  add(200, 20, std::vector<uint8_t>(head.begin(), head.begin() + 20 * kPageSize));  // 32 pages or fewer: kept
  add(300, 40, head);                                                   // page 0 unreadable
  stub.fail.insert({300, 0});
  add(400, 40, zeroPage(0));                                            // no file size on page 0
  add(500, 40, head);                                                   // page 32 unreadable
  stub.fail.insert({500, 512});
  add(600, 40, zeroPage(32));                                           // no file name on page 32
  RebuildDatabaseFileList(cat.store, cat.databaseFiles);
  ASSERT_EQ(cat.databaseFiles.size(), 6u);

  DataSource ds;
  SectorReader none(ds);
  FragmentReader reader(ds, none);
  reader.SetContent(&stub);
  FakePerson person;
  RefreshDatabaseFileNames(ds, reader, cat, person);  // live mode: nothing
  EXPECT_TRUE(person.messages.empty());
  EXPECT_FALSE(cat.databaseFiles.rows[0].remarkCell);

  ds.readFromSource = false;
  RefreshDatabaseFileNames(ds, reader, cat, person);
  std::vector<std::string> cells;
  for (size_t i = 0; i < cat.databaseFiles.size(); ++i) cells.push_back(cat.databaseFiles.Remark(cat.store, i));
  EXPECT_EQ(cells, (std::vector<std::string>{"D:\\DATA\\shop.mdf:512KB", "stored", "stored", "stored", "stored",
                                             "stored"}));
  std::vector<std::pair<std::string, std::string>> shown;
  for (auto& m : person.messages) shown.emplace_back(m.text, m.caption);
  EXPECT_EQ(shown, (std::vector<std::pair<std::string, std::string>>{{"read disk error", "mess"},
                                                                     {"get file size error", "mess"},
                                                                     {"read disk error", "提示"},
                                                                     {"get file name error", "提示"}}));
}

}  // namespace
}  // namespace sorrelon
