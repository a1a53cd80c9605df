#include <gtest/gtest.h>

#include <map>
#include <string>

#include "base/bytes.h"
#include "page/page.h"
#include "tests/support/testdata.h"

namespace sorrelon::page {
namespace {

// Pages of real files written by the database server: every protected page
// verifies, page 0 gives the page count, page 32 the physical name, and the
// first pages pass the header tests meant for them.
TEST(RealPages, VerificationRulesAndHeaders) {
  SORRELON_REQUIRE_REAL_MDF();
  const std::map<std::string, int32_t> expectedPages = {{"aspnetdb-2005.mdf", 280},
                                                        {"ybaros-2008r2.mdf", 384},
                                                        {"database1-2012.mdf", 392},
                                                        {"aspnetdb-2008r2-truncated.mdf", 1280}};
  for (const auto& path : test::RealMdfFiles()) {
    SCOPED_TRACE(path.filename().string());
    auto bytes = test::ReadFileBytes(path);
    ASSERT_GE(bytes.size(), size_t(33) * kPageBytes);
    const size_t pages = bytes.size() / kPageBytes;
    int protectedPages = 0;
    for (size_t k = 0; k < pages; ++k) {
      const uint8_t* p = bytes.data() + k * kPageBytes;
      const unsigned v = p[5] & 0x0F;
      if (v == 1 || v == 2) {
        ++protectedPages;
        EXPECT_TRUE(IsPageIntact(p)) << "page " << k;
      }
      // A page that carries its own number passes the ordinary header test
      // (page 0 never does).
      if (p[0] == 1 && LeI32(p + off::pageId) == int32_t(k)) {
        EXPECT_EQ(IsHeaderOfPage(1, int32_t(k), p), k != 0) << "page " << k;
      }
    }
    EXPECT_GT(protectedPages, int(pages / 2));

    const uint8_t* page0 = bytes.data();
    const uint8_t* page1 = bytes.data() + kPageBytes;
    EXPECT_TRUE(IsFileHeaderPage(page0, 1));
    EXPECT_FALSE(IsPlausibleHeader(page0, 1));
    EXPECT_TRUE(IsFirstPfsPage(page1, 1));
    EXPECT_TRUE(IsPlausibleHeader(page1, 1));
    EXPECT_FALSE(IsFirstPfsPage(page0, 1));
    EXPECT_FALSE(IsFileHeaderPage(page1, 1));

    std::vector<uint8_t> copy(page0, page0 + kPageBytes);
    RestoreTornBits(copy.data());
    auto count = FilePageCount(copy.data());
    ASSERT_TRUE(count);
    EXPECT_EQ(*count, expectedPages.at(path.filename().string()));

    copy.assign(bytes.data() + 32 * kPageBytes, bytes.data() + 33 * kPageBytes);
    RestoreTornBits(copy.data());
    auto name = PhysicalFileName(copy.data());
    ASSERT_TRUE(name);
    EXPECT_GT(name->size(), 4u);
    EXPECT_EQ(name->substr(name->size() - 4), ".mdf");
    EXPECT_EQ(name->find("  "), std::string::npos);

    // The PFS row describes every page of the file and marks page 0 to 3 allocated.
    auto pfs = SlotRow(page1, 0);
    ASSERT_GE(pfs.offset, 0);
    ASSERT_GE(pfs.bytes.size(), pages);
    for (int k = 0; k < 4; ++k) EXPECT_TRUE(pfs.bytes[size_t(k)] & kPfsAllocated) << "pfs byte " << k;
  }
}

// Every IAM page of the real files names pages that belong to its object.
TEST(RealPages, IamPagesPointAtTheirObjectsPages) {
  SORRELON_REQUIRE_REAL_MDF();
  for (const auto& path : test::RealMdfFiles()) {
    SCOPED_TRACE(path.filename().string());
    auto bytes = test::ReadFileBytes(path);
    const size_t pages = bytes.size() / kPageBytes;
    int iamPages = 0, singlePagesChecked = 0;
    for (size_t k = 0; k < pages; ++k) {
      const uint8_t* p = bytes.data() + k * kPageBytes;
      if (p[off::pageType] != kIam || LeI32(p + off::pageId) != int32_t(k)) continue;
      ++iamPages;
      IamHeader iam = ReadIamHeader(p);
      ASSERT_TRUE(iam.valid) << "page " << k;
      EXPECT_EQ(iam.firstPage, 0) << "page " << k;  // every file here lies within the first IAM range
      EXPECT_GE(IamExtentBitmap(p).offset, 0) << "page " << k;
      for (int32_t single : iam.singlePages) {
        if (single <= 0 || size_t(single) >= pages) continue;
        const uint8_t* target = bytes.data() + size_t(single) * kPageBytes;
        if (LeI32(target + off::pageId) != single) continue;  // never written or reused
        ++singlePagesChecked;
        EXPECT_EQ(LeI32(target + off::objectId), LeI32(p + off::objectId)) << "page " << k << " -> " << single;
      }
    }
    EXPECT_GT(iamPages, 5);
    EXPECT_GT(singlePagesChecked, 5);
  }
}

}  // namespace
}  // namespace sorrelon::page
