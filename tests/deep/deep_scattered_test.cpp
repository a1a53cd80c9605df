// A disk without a file system holding a checksum-protected file in runs of
// 8 to 24 sectors, some runs overwritten, scanned sector by sector: every
// sector may begin a cluster, so the search for pages in three or four
// pieces tries billions of arrangements and chance checksum matches turn up.
// Deep recovery must still write no page that is not the original's.
#include <gtest/gtest.h>

#include <cstdio>

#include "analysis/deep.h"
#include "page/page.h"
#include "tests/support/fsimage.h"
#include "tests/support/recovery.h"
#include "tests/support/testdata.h"
#include "tools/mdfgen/mdfgen.h"

namespace sorrelon {
namespace {

TEST(DeepRecovery, ScatteredRunsWithLostPiecesOnARawDisk) {
  auto dir = test::TempDir("deep_scattered");
  mdfgen::Options o;
  o.pages = 2000;
  o.protection = mdfgen::Protection::kChecksum;
  o.seed = 11;
  const auto original = mdfgen::GenerateFile(o);
  for (int lostEvery : {0, 10, 5}) {
    SCOPED_TRACE("one run in " + std::to_string(lostEvery) + " lost");
    ASSERT_GT(mdfgen::WriteScatteredImage(dir / "disk.img", original, 5, lostEvery), 0);
    test::Fidelity f[2];
    for (bool deep : {false, true}) {
      Session s;
      test::FakePerson person;
      test::RecoverOptions opt;
      opt.deep = deep;
      opt.step = 1;
      auto r = test::RecoverImage(s, person, dir / "disk.img", dir / "out.mdf", opt);
      ASSERT_TRUE(r.written.complete) << deep;
      f[deep] = test::Compare(original, test::ReadFileBytes(dir / "out.mdf"));
      EXPECT_EQ(f[deep].wrong, 0) << (deep ? "deep" : "plain") << ", first wrong page "
                                  << (f[deep].wrongPages.empty() ? -1 : f[deep].wrongPages[0]);
    }
    std::printf("[deep] scattered_raw_lost_%d: plain %lld/%lld, deep %lld/%lld\n", lostEvery,
                (long long)f[0].recovered, (long long)f[0].genuine, (long long)f[1].recovered,
                (long long)f[1].genuine);
    EXPECT_GT(f[1].recovered, f[0].recovered);
    if (lostEvery == 0) {
      EXPECT_EQ(f[1].recovered, f[1].genuine);
    }
  }
}

// A page whose tail could be either of two runs of clusters that the
// checksum cannot tell apart (the same slot array behind zeros or behind the
// 0x21 fill, both folding to nothing) and whose own first sectors show no
// fill to decide by: neither is used, and the page is marked ambiguous.
TEST(DeepRecovery, TwoConfirmedReassembliesAreRefusedAndMarked) {
  std::vector<uint8_t> pg(kPageSize, 0);
  mdfgen::Header h;
  h.pageType = page::kData;
  h.pageId = 5;
  h.objectId = 500;
  h.slotCount = 1;
  h.freeData = 112;
  mdfgen::WriteHeader(pg.data(), h);
  pg[96] = 0x08;
  pg[4090] = 0x55;  // a stale byte in the unused area: no fill to continue
  mdfgen::SetSlot(pg.data(), 0, 96);
  mdfgen::ProtectPage(pg.data(), mdfgen::Protection::kChecksum);

  // One-sector clusters of eight: the page's first half at sector 16, noise
  // behind it, its true tail at 40 and a look-alike at 56.
  std::vector<uint8_t> image(128 * 512, 0);
  std::copy(pg.begin(), pg.begin() + 4096, image.begin() + 16 * 512);
  for (size_t i = 24 * 512; i < 32 * 512; ++i) image[i] = uint8_t(i * 2654435761u >> 13);
  std::copy(pg.begin() + 4096, pg.end(), image.begin() + 40 * 512);
  std::vector<uint8_t> lookAlike(pg.begin() + 4096, pg.end());
  std::fill(lookAlike.begin(), lookAlike.end() - 512, uint8_t(0x21));
  std::copy(lookAlike.begin(), lookAlike.end(), image.begin() + 56 * 512);

  DataSource ds;
  ds.sourceChosen = true;
  ds.sectorsPerCluster = 8;
  test::MemoryReader reader(ds, image);
  DeepMender mender(ds, reader);
  std::vector<uint8_t> read(image.begin() + 16 * 512, image.begin() + 32 * 512);
  EXPECT_FALSE(mender.Mend(16, read.data()));
  EXPECT_TRUE(mender.Ambiguous(16));
  EXPECT_TRUE(std::equal(read.begin(), read.end(), image.begin() + 16 * 512)) << "the page was changed";

  // With the look-alike gone the true tail is the one confirmed.
  std::fill(image.begin() + 56 * 512, image.begin() + 64 * 512, uint8_t(0));
  test::MemoryReader clean(ds, image);
  DeepMender mender2(ds, clean);
  ASSERT_TRUE(mender2.Mend(16, read.data()));
  EXPECT_FALSE(mender2.Ambiguous(16));
  EXPECT_EQ(read, pg);
}

}  // namespace
}  // namespace sorrelon
