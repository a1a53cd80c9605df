// Confirming rebuilt pages: every genuine page of the real files and of
// generated files has a sound structure; cut points fall on cluster
// boundaries only; the safe split repair takes the one confirmed candidate
// and keeps the page as read when a foreign sector could pass.
#include <gtest/gtest.h>

#include <cstring>

#include "base/bytes.h"
#include "page/page.h"
#include "page/reassembly.h"
#include "tests/support/testdata.h"
#include "tools/mdfgen/mdfgen.h"

namespace sorrelon {
namespace {

bool Genuine(const uint8_t* p, int64_t k) {
  return k == 0 ? page::IsFileHeaderPage(p, 1) : page::IsHeaderOfPage(1, int32_t(k), p);
}

TEST(PageStructure, EveryGenuinePageOfRealAndGeneratedFilesIsSound) {
  std::vector<std::vector<uint8_t>> files;
  for (auto& f : test::RealMdfFiles()) files.push_back(test::ReadFileBytes(f));
  for (auto prot : {mdfgen::Protection::kChecksum, mdfgen::Protection::kTornBits}) {
    mdfgen::Options o;
    o.pages = 600;
    o.protection = prot;
    files.push_back(mdfgen::GenerateFile(o));
  }
  int checked = 0;
  for (auto& bytes : files)
    for (int64_t k = 0; k < int64_t(bytes.size() / 8192); ++k) {
      const uint8_t* p = bytes.data() + k * 8192;
      if (!Genuine(p, k)) continue;
      EXPECT_TRUE(page::IsPageStructureSound(p, k, 1)) << "page " << k;
      ++checked;
    }
  EXPECT_GT(checked, 500);
}

TEST(PageStructure, CutPointsLieOnClusterBoundariesOnly) {
  struct Case {
    int64_t pageSector, nextStart, origin;
    int spc;
    std::vector<int> cuts;
  } cases[] = {
      {1000, 5000, 0, 8, {8}},
      {1000, 5000, 0, 4, {4, 8, 12}},
      {1001, 5001, 1, 4, {4, 8, 12}},  // clusters counted from the volume's cluster area
      {1000, 5002, 0, 4, {}},          // the next fragment does not begin a cluster
      {1000, 5000, 0, 16, {}},
      {1000, 5000, 0, 1, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}},
  };
  for (auto& c : cases) EXPECT_EQ(page::SplitCuts(c.pageSector, c.nextStart, c.origin, c.spc), c.cuts) << c.spc;
}

// A checksum page whose true tail (zeros after its rows) was replaced by a
// cluster of 0xFF bytes passes the checksum (128 equal words cancel) but not
// the structure check when that cluster holds the slot array.
TEST(PageStructure, SplitRepairTakesOnlyTheSingleConfirmedCandidate) {
  mdfgen::Options o;
  o.pages = 64;
  auto file = mdfgen::GenerateFile(o);
  int64_t k = 0;
  for (int64_t p = 41; p < 64; ++p)
    if (file[p * 8192 + 1] == 1) { k = p; break; }
  ASSERT_GT(k, 0);
  const uint8_t* truth = file.data() + k * 8192;

  // The page's last 4 sectors are foreign; the lead-in ends with the true tail.
  std::vector<uint8_t> page(truth, truth + 8192), leadIn(15 * 512, 0xFF);
  std::memset(page.data() + 12 * 512, 0x5A, 4 * 512);
  std::memcpy(leadIn.data() + 11 * 512, truth + 12 * 512, 4 * 512);
  std::vector<int> cuts = {4, 8, 12};
  EXPECT_EQ(page::RepairSplitPageSafely(page.data(), leadIn.data(), cuts, k, 1), page::SplitOutcome::kRepaired);
  EXPECT_EQ(0, std::memcmp(page.data(), truth, 8192));

  // All-0xFF foreign sectors as the tail: the checksum passes, the slot
  // array does not, so nothing is confirmed and the page stays as read.
  std::vector<uint8_t> ff(15 * 512, 0xFF), asRead(truth, truth + 8192);
  std::memset(asRead.data() + 12 * 512, 0x5A, 4 * 512);
  std::vector<uint8_t> before = asRead;
  EXPECT_NE(page::RepairSplitPageSafely(asRead.data(), ff.data(), cuts, k, 1), page::SplitOutcome::kRepaired);
  EXPECT_EQ(asRead, before);
}

}  // namespace
}  // namespace sorrelon

namespace sorrelon {
namespace {

// Pages that differ only where the checksum cannot see (sectors of one
// repeated word): the one whose differing sectors lie in the unused area and
// continue the fill its known first sectors end with is taken; anything
// else stays undecided.
TEST(PageStructure, UnusedAreaFillDecidesOnlyBetweenFillsOfTheUnusedArea) {
  // Rows up to byte 300 and two slots: the unused area runs to byte 8188.
  // The first two sectors are known; the unused part of them holds `known`,
  // its last 32 bytes `knownEnd`.
  auto make = [](std::initializer_list<std::pair<int, uint8_t>> sectors, uint8_t known, uint8_t knownEnd) {
    std::vector<uint8_t> p(kPageSize, 0);
    p[0] = 1;
    p[1] = page::kData;
    PutLe16(p.data() + page::off::freeData, 300);
    PutLe16(p.data() + page::off::slotCount, 2);
    std::memset(p.data() + 300, known, 1024 - 300);
    p[1000] = knownEnd;
    for (auto [q, v] : sectors) std::memset(p.data() + q * 512, v, 512);
    return p;
  };
  struct Case {
    const char* what;
    std::vector<std::vector<uint8_t>> pages;
    std::optional<size_t> chosen;
  } cases[] = {
      {"the fill continued", {make({{5, 0x00}}, 0x21, 0x21), make({{5, 0x21}}, 0x21, 0x21)}, 1},
      {"zeros continued", {make({{5, 0x00}}, 0, 0), make({{5, 0x21}}, 0, 0)}, 0},
      {"no page continues it", {make({{5, 0x00}}, 0x21, 0x21), make({{5, 0x55}}, 0x21, 0x21)}, std::nullopt},
      {"they differ in the slot array", {make({{15, 0x00}}, 0, 0), make({{15, 0x21}}, 0, 0)}, std::nullopt},
      {"the known bytes end with no one value", {make({{5, 0x00}}, 0, 0x7F), make({{5, 0x21}}, 0, 0x7F)},
       std::nullopt},
  };
  for (auto& c : cases) EXPECT_EQ(page::ByUnusedAreaFill(c.pages, 2), c.chosen) << c.what;
}

}  // namespace
}  // namespace sorrelon
