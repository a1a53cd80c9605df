#include "tools/mdfgen/mdfgen.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "base/bytes.h"
#include "page/page.h"

namespace sorrelon::mdfgen {
namespace {

using page::kPageBytes;

const uint8_t* PageAt(const std::vector<uint8_t>& file, int32_t k) { return file.data() + size_t(k) * kPageBytes; }

std::vector<uint8_t> Restored(const uint8_t* p) {
  std::vector<uint8_t> copy(p, p + kPageBytes);
  page::RestoreTornBits(copy.data());
  return copy;
}

// Checks a generated file with the page module alone: verification, the
// header tests, page 0 and page 32, PFS rows, IAM rows and page links.
void CheckFile(const Options& o) {
  SCOPED_TRACE("pages " + std::to_string(o.pages) + " protection " + std::to_string(int(o.protection)) +
               " file id " + std::to_string(o.fileId));
  const auto file = GenerateFile(o);
  const auto layout = Plan(o);
  ASSERT_TRUE(layout);
  ASSERT_EQ(file.size(), size_t(o.pages) * kPageBytes);
  const uint16_t f = o.fileId;

  // Headers and verification.
  for (int32_t k = 0; k < o.pages; ++k) {
    const uint8_t* p = PageAt(file, k);
    if (!layout->Allocated(k)) {
      if (o.garbageFraction == 0) {
        ASSERT_TRUE(std::all_of(p, p + kPageBytes, [](uint8_t b) { return b == 0; })) << "free page " << k;
      }
      EXPECT_FALSE(page::IsPlausibleHeader(p, f)) << "free page " << k;
      continue;
    }
    if (o.protection != Protection::kNone) {
      ASSERT_TRUE(page::IsPageIntact(p)) << "page " << k;
    } else {
      ASSERT_FALSE(page::IsPageIntact(p)) << "page " << k;
    }
    EXPECT_EQ(LeI32(p + page::off::pageId), k);
    EXPECT_EQ(page::IsFileHeaderPage(p, f), k == 0) << "page " << k;
    EXPECT_EQ(page::IsFirstPfsPage(p, f), k == 1) << "page " << k;
    EXPECT_EQ(page::IsHeaderOfPage(f, k, p), k != 0) << "page " << k;
    EXPECT_FALSE(page::IsPlausibleHeader(p, uint16_t(f + 1))) << "page " << k;
  }

  // Page 0 and page 32, read as the analysis reads them.
  EXPECT_EQ(page::FilePageCount(Restored(PageAt(file, 0)).data()), o.pages);
  auto name = page::PhysicalFileName(Restored(PageAt(file, 32)).data());
  ASSERT_TRUE(name);
  EXPECT_EQ(*name, o.physicalName.substr(0, o.physicalName.size() - 4) + ".mdf");

  // PFS rows mark exactly the allocated pages and the IAM pages.
  for (int32_t pfs = 1; pfs < o.pages; pfs = pfs == 1 ? page::kPfsInterval : pfs + page::kPfsInterval) {
    auto copy = Restored(PageAt(file, pfs));
    auto row = page::SlotRow(copy.data(), 0);
    ASSERT_EQ(row.bytes.size(), size_t(page::kPfsInterval)) << "PFS page " << pfs;
    const int32_t first = pfs == 1 ? 0 : pfs;
    for (int32_t i = 0; i < page::kPfsInterval && first + i < o.pages; ++i) {
      const int32_t k = first + i;
      const uint8_t b = row.bytes[size_t(i)];
      ASSERT_EQ(bool(b & page::kPfsAllocated), layout->Allocated(k)) << "page " << k;
      const bool iam = layout->Allocated(k) && PageAt(file, k)[page::off::pageType] == page::kIam;
      ASSERT_EQ(bool(b & page::kPfsIam), iam) << "page " << k;
    }
  }

  // Each object's IAM pages name exactly its data and index pages; object
  // ids agree; the chains link every page of an object both ways.
  std::set<int32_t> ids;
  std::set<int32_t> owned;
  for (const Object& obj : layout->objects) {
    EXPECT_TRUE(ids.insert(obj.objectId).second) << "object id " << obj.objectId;
    std::set<int32_t> fromIam;
    for (int32_t iamPage : obj.iamPages) {
      auto copy = Restored(PageAt(file, iamPage));
      EXPECT_EQ(LeI32(copy.data() + page::off::objectId), obj.objectId);
      auto iam = page::ReadIamHeader(copy.data());
      ASSERT_TRUE(iam.valid);
      EXPECT_EQ(iam.firstPage % kIamInterval, 0);
      for (int32_t s : iam.singlePages)
        if (s > 0) fromIam.insert(s);
      auto bitmap = page::IamExtentBitmap(copy.data());
      for (size_t j = 0; j < bitmap.bytes.size(); ++j)
        for (int b = 0; b < 8; ++b)
          if (bitmap.bytes[j] & (1 << b))
            for (int32_t p = 0; p < 8; ++p) fromIam.insert(iam.firstPage + int32_t(64 * j) + 8 * b + p);
    }
    EXPECT_EQ(fromIam, std::set<int32_t>(obj.pages.begin(), obj.pages.end())) << "object " << obj.objectId;
    for (int32_t p : obj.pages) {
      EXPECT_TRUE(owned.insert(p).second) << "page " << p << " owned twice";
      EXPECT_EQ(LeI32(PageAt(file, p) + page::off::objectId), obj.objectId) << "page " << p;
    }
    if (obj.system) continue;
    // Follow the chain from its head: data pages from the first page, index
    // leaves from the page after the level-1 root.
    const bool hasRoot = obj.index && obj.pages.size() > 1;
    if (hasRoot) {
      const uint8_t* root = PageAt(file, obj.pages[0]);
      EXPECT_EQ(root[page::off::level], 1);
      EXPECT_EQ(root[page::off::pageType], page::kIndex);
    }
    size_t visited = 0;
    int32_t prev = 0;
    for (int32_t at = obj.pages[hasRoot ? 1 : 0]; at != 0; ++visited) {
      ASSERT_LE(visited, obj.pages.size()) << "chain loops";
      const uint8_t* p = PageAt(file, at);
      EXPECT_EQ(LeI32(p + page::off::prevPageId), prev);
      EXPECT_EQ(p[page::off::level], 0);
      EXPECT_EQ(p[page::off::pageType], obj.index ? page::kIndex : page::kData);
      if (LeI32(p + page::off::nextPageId) != 0) {
        EXPECT_EQ(Le16(p + page::off::nextFileId), f);
      }
      prev = at;
      at = LeI32(p + page::off::nextPageId);
    }
    EXPECT_EQ(visited, obj.pages.size() - (hasRoot ? 1 : 0)) << "object " << obj.objectId;
  }
}

TEST(Mdfgen, GeneratedFilesSatisfyThePageRules) {
  Options o;
  o.pages = 600;
  o.objects = 5;
  for (Protection p : {Protection::kChecksum, Protection::kTornBits, Protection::kNone}) {
    o.protection = p;
    CheckFile(o);
  }
  Options other;
  other.pages = 40;  // room for the fixed pages and a few single pages only
  other.fileId = 3;
  other.physicalName = "E:\\Данные\\数据库 1.MDF";
  other.logicalName = "数据库 1.mdf";  // a logical name that itself ends in ".mdf"
  other.protection = Protection::kTornBits;
  other.seed = 9;
  CheckFile(other);

  // Page 7 as real files have it: a sound header without verification.
  o.unverifiedPage7 = true;
  std::vector<uint8_t> p7(kPageBytes);
  BuildPage(*Plan(o), 7, p7.data());
  EXPECT_TRUE(page::IsHeaderOfPage(1, 7, p7.data()));
  EXPECT_FALSE(page::IsPageIntact(p7.data()));
}

TEST(Mdfgen, LargeFileWithSecondPfsPageAndLeftovers) {
  Options o;
  o.pages = page::kPfsInterval + 700;
  o.objects = 12;
  o.seed = 4;
  o.garbageFraction = 0.5;
  o.allocatedFraction = 0.5;
  CheckFile(o);
  // Leftover bytes really are there, and the objects really interleave:
  // some extent of one object lies between two extents of another.
  const auto layout = Plan(o);
  const auto file = GenerateFile(o);
  int garbage = 0;
  for (int32_t k = 0; k < o.pages; ++k)
    if (!layout->Allocated(k) && (PageAt(file, k)[100] | PageAt(file, k)[5000])) ++garbage;
  EXPECT_GT(garbage, 100);
  int interleaved = 0;
  for (size_t i = 1; i < layout->objects.size(); ++i)
    for (size_t j = 1; j < layout->objects.size(); ++j) {
      const auto& a = layout->objects[i].extents;
      const auto& b = layout->objects[j].extents;
      if (i != j && !a.empty() && !b.empty() &&
          std::any_of(b.begin(), b.end(), [&](int32_t e) { return e > a.front() && e < a.back(); }))
        ++interleaved;
    }
  EXPECT_GT(interleaved, 5);
}

// Beyond 511,232 pages an object needs one IAM page per range; the pages are
// built one by one here rather than as a 4 GB file.
TEST(Mdfgen, IamPagesOfSeveralRanges) {
  Options o;
  o.pages = kIamInterval + 9000;
  o.objects = 3;
  o.seed = 11;
  const auto layout = Plan(o);
  ASSERT_TRUE(layout);
  std::vector<uint8_t> buf(kPageBytes);
  int multiRange = 0;
  for (const Object& obj : layout->objects) {
    if (obj.system) continue;
    multiRange += obj.iamPages.size() > 1;
    std::set<int32_t> fromIam;
    for (size_t r = 0; r < obj.iamPages.size(); ++r) {
      BuildPage(*layout, obj.iamPages[r], buf.data());
      ASSERT_TRUE(page::IsPageIntact(buf.data()));
      auto iam = page::ReadIamHeader(buf.data());
      EXPECT_EQ(iam.firstPage, int32_t(r) * kIamInterval);
      EXPECT_EQ(LeI32(buf.data() + page::off::prevPageId), r > 0 ? obj.iamPages[r - 1] : 0);
      EXPECT_EQ(LeI32(buf.data() + page::off::nextPageId), r + 1 < obj.iamPages.size() ? obj.iamPages[r + 1] : 0);
      for (int32_t s : iam.singlePages)
        if (s > 0) fromIam.insert(s);
      auto bitmap = page::IamExtentBitmap(buf.data());
      for (size_t j = 0; j < bitmap.bytes.size(); ++j)
        for (int b = 0; b < 8; ++b)
          if (bitmap.bytes[j] & (1 << b))
            for (int32_t p = 0; p < 8; ++p) fromIam.insert(iam.firstPage + int32_t(64 * j) + 8 * b + p);
    }
    EXPECT_EQ(fromIam, std::set<int32_t>(obj.pages.begin(), obj.pages.end()));
  }
  EXPECT_EQ(multiRange, 3);
  // The PFS page of the last range describes its pages.
  const int32_t lastPfs = (o.pages - 1) / page::kPfsInterval * page::kPfsInterval;
  BuildPage(*layout, lastPfs, buf.data());
  auto row = page::SlotRow(buf.data(), 0);
  for (int32_t k = lastPfs; k < o.pages; ++k)
    ASSERT_EQ(bool(row.bytes[size_t(k - lastPfs)] & page::kPfsAllocated), layout->Allocated(k)) << k;
}

TEST(Mdfgen, TornBitsHideThePageCountUntilRestored) {
  // Slot 0 of page 0 ends in the byte the torn pattern overwrites, and older
  // copies of the record precede the current one.
  for (uint64_t seed = 1; seed <= 6; ++seed) {
    Options o;
    o.seed = seed;
    o.pages = 1000;
    o.protection = Protection::kTornBits;
    const auto file = GenerateFile(o);
    EXPECT_NE(page::FilePageCount(file.data()), o.pages) << seed;
    EXPECT_EQ(page::FilePageCount(Restored(file.data()).data()), o.pages) << seed;
  }
}

TEST(Mdfgen, DeterministicAndWrittenAsGenerated) {
  Options o;
  o.pages = 300;
  o.seed = 77;
  const auto a = GenerateFile(o);
  EXPECT_EQ(a, GenerateFile(o));
  o.seed = 78;
  EXPECT_NE(a, GenerateFile(o));
  o.seed = 77;
  const auto path = std::filesystem::temp_directory_path() / "sorrelon_mdfgen_test.mdf";
  std::string error;
  ASSERT_TRUE(WriteFile(path, o, &error)) << error;
  std::vector<uint8_t> back(a.size());
  {
    FILE* f = std::fopen(path.string().c_str(), "rb");
    ASSERT_TRUE(f);
    EXPECT_EQ(std::fread(back.data(), 1, back.size() + 1, f), a.size());
    std::fclose(f);
  }
  std::filesystem::remove(path);
  EXPECT_EQ(back, a);

  o.pages = kMinPages - 1;
  EXPECT_FALSE(Plan(o));
  EXPECT_TRUE(GenerateFile(o).empty());
  EXPECT_FALSE(WriteFile(path, o, &error));
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(Mdfgen, ProtectPageBuildingBlock) {
  std::vector<uint8_t> p(kPageBytes);
  Header h;
  h.pageId = 77;
  h.objectId = 5;
  h.freeData = 200;
  WriteHeader(p.data(), h);
  for (size_t i = 96; i < p.size(); ++i) p[i] = uint8_t(i * 7);
  p[5] |= 0x80;
  const auto plain = p;
  ProtectPage(p.data(), Protection::kTornBits, 2);
  EXPECT_TRUE(page::IsPageIntact(p.data()));
  EXPECT_EQ(p[5], 0x81);
  page::RestoreTornBits(p.data());
  for (size_t i = 0; i < p.size(); ++i)
    if (i != 5 && (i < 60 || i >= 64)) {
      ASSERT_EQ(p[i], plain[i]) << i;
    }
  ProtectPage(p.data(), Protection::kChecksum);
  EXPECT_EQ(p[5], 0x82);
  EXPECT_EQ(Le32(p.data() + 60), page::PageChecksum(p.data()));
  EXPECT_TRUE(page::IsPageIntact(p.data()));
  ProtectPage(p.data(), Protection::kNone);
  EXPECT_EQ(p[5], 0x80);
  EXPECT_FALSE(page::IsPageIntact(p.data()));

  EXPECT_EQ(Utf8ToUtf16("a\xC3\xA9\xE6\x95\xB0\xF0\x9F\x98\x80"), u"aé数\U0001F600");
  EXPECT_EQ(Utf8ToUtf16("\xFF" "a\xC3"), u"\xFFFD" u"a\xFFFD");
}

}  // namespace
}  // namespace sorrelon::mdfgen
