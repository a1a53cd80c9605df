// Whole recoveries through the core on generated database files placed in
// disk images: contiguous, in shuffled pieces, two databases interleaved,
// and with part of the file overwritten.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>

#include "tests/support/image.h"
#include "tests/support/recovery.h"
#include "tests/support/testdata.h"
#include "tools/mdfgen/mdfgen.h"

namespace sorrelon {
namespace {

using test::Compare;
using test::FakePerson;
using test::Image;

std::vector<uint8_t> Generate(int32_t pages, uint64_t seed, const std::string& name,
                              mdfgen::Protection prot = mdfgen::Protection::kChecksum) {
  mdfgen::Options o;
  o.pages = pages;
  o.seed = seed;
  o.physicalName = "D:\\Data\\" + name + ".mdf";
  o.logicalName = name;
  o.protection = prot;
  o.objects = 5;
  auto bytes = mdfgen::GenerateFile(o);
  EXPECT_EQ(bytes.size(), size_t(pages) * kPageSize);
  return bytes;
}

// Cuts the file into pieces of 1..maxPieces pages and places them at
// shuffled positions, each piece at a multiple of `align` sectors, with gaps.
struct Placement {
  int64_t firstPage, pages, sector;
};
std::vector<Placement> Scatter(Image& img, const std::vector<uint8_t>& file, int64_t base, uint32_t seed,
                               int maxPieces = 24, int64_t align = 16) {
  std::mt19937 rng(seed);
  const int64_t pages = int64_t(file.size() / kPageSize);
  std::vector<Placement> pieces;
  for (int64_t p = 0; p < pages;) {
    int64_t n = std::min<int64_t>(pages - p, 1 + rng() % maxPieces);
    pieces.push_back({p, n, 0});
    p += n;
  }
  std::vector<size_t> order(pieces.size());
  std::iota(order.begin(), order.end(), 0);
  std::shuffle(order.begin(), order.end(), rng);
  int64_t at = base;
  for (size_t i : order) {
    at += align * (1 + rng() % 4);  // a gap before every piece
    pieces[i].sector = at;
    img.PutPages(at, file, pieces[i].firstPage, pieces[i].pages);
    at += pieces[i].pages * 16;
  }
  return pieces;
}

TEST(Recovery, ContiguousFileComesBackWhole) {
  for (auto prot : {mdfgen::Protection::kChecksum, mdfgen::Protection::kTornBits}) {
    auto file = Generate(900, 11, "Contiguous", prot);
    auto dir = test::TempDir("rec_contig");
    Image img(4096 + 900 * 16 + 2048, 3);
    img.PutPages(4096, file, 0, 900);
    img.Write(dir / "d.img");
    Session s;
    FakePerson person;
    auto r = test::RecoverImage(s, person, dir / "d.img", dir / "out.mdf");
    ASSERT_TRUE(r.analysed);
    ASSERT_TRUE(r.written.complete);
    auto out = test::ReadFileBytes(dir / "out.mdf");
    EXPECT_EQ(out.size(), file.size());
    auto f = Compare(file, out);
    EXPECT_EQ(f.recovered, f.genuine);
    EXPECT_EQ(f.wrong, 0);
    EXPECT_EQ(r.checkLines, std::vector<std::string>{"检测完毕"});
    EXPECT_EQ(s.analysis.databasePath, "D:\\Data\\Contiguous.mdf");
    EXPECT_EQ(s.analysis.filePageCount, 900);
  }
}

TEST(Recovery, ShuffledPiecesComeBackInPageOrder) {
  auto file = Generate(1500, 21, "Pieces");
  auto dir = test::TempDir("rec_pieces");
  Image img(2048 + 1500 * 16 * 2 + 20000, 5);
  Scatter(img, file, 2048, 77);
  img.Write(dir / "d.img");
  Session s;
  FakePerson person;
  auto r = test::RecoverImage(s, person, dir / "d.img", dir / "out.mdf");
  ASSERT_TRUE(r.analysed);
  ASSERT_TRUE(r.written.complete);
  auto f = Compare(file, test::ReadFileBytes(dir / "out.mdf"));
  EXPECT_EQ(f.recovered, f.genuine) << "first missing page " << (f.missing.empty() ? -1 : f.missing[0]);
  EXPECT_EQ(f.wrong, 0);
  EXPECT_TRUE(person.Logged(Log::Assembly, "本次找到碎片数量0。二次查找完毕") || r.checkLines.size() == 1);
}

TEST(Recovery, TwoInterleavedDatabasesAreRebuiltWithoutEachOthersPages) {
  auto a = Generate(1200, 31, "Alpha");
  auto b = Generate(1000, 32, "Bravo");
  auto dir = test::TempDir("rec_two");
  Image img(2048 + (1200 + 1000) * 16 * 2 + 40000, 9);
  // Alternate pieces of both files across the image.
  std::mt19937 rng(5);
  std::vector<std::pair<const std::vector<uint8_t>*, int64_t>> pieces;  // (file, first page), 16 pages each
  for (int64_t p = 0; p < 1200; p += 16) pieces.push_back({&a, p});
  for (int64_t p = 0; p < 1000; p += 16) pieces.push_back({&b, p});
  std::shuffle(pieces.begin(), pieces.end(), rng);
  int64_t at = 2048;
  for (auto& [file, first] : pieces) {
    int64_t n = std::min<int64_t>(16, int64_t(file->size() / kPageSize) - first);
    at += 16 * (1 + rng() % 3);
    img.PutPages(at, *file, first, n);
    at += n * 16;
  }
  img.Write(dir / "d.img");
  // Header fragments of 16 pages name no file: the rows are told apart by
  // size, and SEARCH MORE completes the name from page 32.
  for (auto [name, orig, size] : {std::tuple{"Alpha", &a, "size:9600KB"}, std::tuple{"Bravo", &b, "size:8000KB"}}) {
    Session s;
    FakePerson person;
    test::RecoverOptions opt;
    opt.dbName = size;
    auto r = test::RecoverImage(s, person, dir / "d.img", dir / (std::string(name) + ".mdf"), opt);
    ASSERT_TRUE(r.analysed) << name;
    ASSERT_TRUE(r.written.complete) << name;
    auto f = Compare(*orig, test::ReadFileBytes(dir / (std::string(name) + ".mdf")));
    EXPECT_EQ(f.wrong, 0) << name << " first wrong page " << (f.wrongPages.empty() ? -1 : f.wrongPages[0]);
    EXPECT_EQ(f.recovered, f.genuine) << name << " first missing page " << (f.missing.empty() ? -1 : f.missing[0]);
    EXPECT_EQ(s.analysis.databasePath, std::string("D:\\Data\\") + name + ".mdf");
    EXPECT_EQ(*s.catalogue.assemblyList.rows[0].remarkCell,
              std::string("D:\\Data\\") + name + ".mdf:" + std::to_string(orig->size() / 1024) + "KB");
  }
}

TEST(Recovery, OverwrittenPagesAreReportedAndWrittenAsZeroPages) {
  auto file = Generate(800, 41, "Partial");
  auto dir = test::TempDir("rec_partial");
  Image img(4096 + 800 * 16 + 2048, 0);
  img.PutPages(4096, file, 0, 800);
  // Pages 300..339 overwritten by noise.
  std::vector<uint8_t> noise(40 * kPageSize);
  std::mt19937 rng(1);
  for (auto& c : noise) c = uint8_t(rng());
  img.Put(4096 + 300 * 16, noise);
  img.Write(dir / "d.img");
  Session s;
  FakePerson person;
  auto r = test::RecoverImage(s, person, dir / "d.img", dir / "out.mdf");
  ASSERT_TRUE(r.written.complete);
  auto out = test::ReadFileBytes(dir / "out.mdf");
  std::vector<bool> survives(800, true);
  for (int p = 300; p < 340; ++p) survives[size_t(p)] = false;
  auto f = Compare(file, out, survives);
  EXPECT_EQ(f.recovered, f.genuine);
  EXPECT_EQ(f.wrong, 0);
  // CHECK names the lost allocated pages; the output holds zero pages there.
  auto layout = mdfgen::Plan([] {
    mdfgen::Options o;
    o.pages = 800;
    o.seed = 41;
    o.physicalName = "D:\\Data\\Partial.mdf";
    o.logicalName = "Partial";
    o.objects = 5;
    return o;
  }());
  ASSERT_TRUE(layout);
  for (int p = 300; p < 340; ++p) {
    bool listed = std::find(r.checkLines.begin(), r.checkLines.end(), "缺少页面" + std::to_string(p)) != r.checkLines.end();
    EXPECT_EQ(listed, layout->Allocated(p)) << p;
    EXPECT_TRUE(std::all_of(out.begin() + p * kPageSize, out.begin() + (p + 1) * kPageSize, [](uint8_t c) { return c == 0; }));
  }
  EXPECT_EQ(r.checkLines.back(), "检测完毕");
}

}  // namespace
}  // namespace sorrelon
