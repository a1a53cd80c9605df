// A disk without a file system holding a checksum-protected file in runs of
// 8 to 24 sectors, some runs overwritten, scanned sector by sector: every
// sector may begin a cluster, so the search for pages in three or four
// pieces tries billions of arrangements and chance checksum matches turn up.
// Deep recovery must still write no page that is not the original's.
#include <gtest/gtest.h>

#include <cstdio>

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

}  // namespace
}  // namespace sorrelon
