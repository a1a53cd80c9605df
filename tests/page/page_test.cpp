#include "page/page.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "base/bytes.h"

namespace sorrelon::page {
namespace {

using Page = std::array<uint8_t, kPageBytes>;

// A header that passes IsPlausibleHeader: data page 5 of file 1.
Page DataPage() {
  Page p{};
  p[off::headerVersion] = 1;
  p[off::pageType] = kData;
  p[off::typeFlagBits] = 4;
  PutLe16(&p[off::flagBits], 0x0200);
  PutLe16(&p[off::slotCount], 3);
  PutLe32(&p[off::objectId], 1234);
  PutLe16(&p[off::freeCount], 5000);
  PutLe16(&p[off::freeData], 400);
  PutLe32(&p[off::pageId], 5);
  PutLe16(&p[off::fileId], 1);
  return p;
}

Page PfsPage1() {
  Page p{};
  p[off::headerVersion] = 1;
  p[off::pageType] = kPfs;
  PutLe16(&p[off::flagBits], 0x0200);
  PutLe16(&p[off::slotCount], 1);
  PutLe32(&p[off::objectId], kAllocationObjectId);
  PutLe16(&p[off::freeCount], 2);
  PutLe16(&p[off::freeData], 8188);
  PutLe32(&p[off::pageId], 1);
  PutLe16(&p[off::fileId], 1);
  return p;
}

Page FileHeaderPage0() {
  Page p = PfsPage1();
  p[off::pageType] = kFileHeader;
  PutLe16(&p[off::flagBits], 0x0208);
  PutLe32(&p[off::pageId], 0);
  PutLe16(&p[off::freeData], 2392);
  return p;
}

struct HeaderCase {
  const char* what;
  std::function<Page()> make;
  bool plausible, firstPfs, fileHeader;
};

TEST(PageHeader, TestsOnHandBuiltHeaders) {
  auto with = [](Page (*base)(), std::function<void(Page&)> change) {
    return [=] {
      Page p = base();
      change(p);
      return p;
    };
  };
  const std::vector<HeaderCase> cases = {
      {"data page", DataPage, true, false, false},
      {"first PFS page", PfsPage1, true, true, false},
      {"file-header page", FileHeaderPage0, false, false, true},
      {"index page level 1", with(DataPage, [](Page& p) { p[off::pageType] = kIndex, p[off::level] = 1; }), true,
       false, false},
      {"data page level 1", with(DataPage, [](Page& p) { p[off::level] = 1; }), false, false, false},
      {"page type 19", with(DataPage, [](Page& p) { p[off::pageType] = 19; }), true, false, false},
      {"page type 20", with(DataPage, [](Page& p) { p[off::pageType] = 20; }), false, false, false},
      {"page type 0", with(DataPage, [](Page& p) { p[off::pageType] = 0; }), false, false, false},
      {"header version 2", with(DataPage, [](Page& p) { p[off::headerVersion] = 2; }), false, false, false},
      {"type flag bits 1", with(DataPage, [](Page& p) { p[off::typeFlagBits] = 1; }), true, false, false},
      {"type flag bits 2", with(DataPage, [](Page& p) { p[off::typeFlagBits] = 2; }), false, false, false},
      {"other file id", with(DataPage, [](Page& p) { PutLe16(&p[off::fileId], 3); }), false, false, false},
      {"negative page id", with(DataPage, [](Page& p) { PutLe32(&p[off::pageId], 0x80000005u); }), false, false,
       false},
      {"slot count 8096", with(DataPage, [](Page& p) { PutLe16(&p[off::slotCount], 8096); }), true, false, false},
      {"slot count 8097", with(DataPage, [](Page& p) { PutLe16(&p[off::slotCount], 8097); }), false, false, false},
      {"free count 8097", with(DataPage, [](Page& p) { PutLe16(&p[off::freeCount], 8097); }), false, false, false},
      {"free data 95", with(DataPage, [](Page& p) { PutLe16(&p[off::freeData], 95); }), false, false, false},
      {"free data 8192", with(DataPage, [](Page& p) { PutLe16(&p[off::freeData], 8192); }), true, false, false},
      {"free data 8193", with(DataPage, [](Page& p) { PutLe16(&p[off::freeData], 8193); }), false, false, false},
      {"reserved count 8193", with(DataPage, [](Page& p) { PutLe16(&p[off::reservedCount], 8193); }), false, false,
       false},
      {"ghost count 8097", with(DataPage, [](Page& p) { PutLe16(&p[off::ghostRecordCount], 8097); }), false, false,
       false},
      {"byte 95 set on data page", with(DataPage, [](Page& p) { p[95] = 1; }), false, false, false},
      {"byte 64 set on PFS page", with(PfsPage1, [](Page& p) { p[64] = 1; }), false, false, false},
      {"byte 70 set on file-header page", with(FileHeaderPage0, [](Page& p) { p[70] = 1; }), false, false, false},
      {"PFS page with next pointer", with(PfsPage1, [](Page& p) { PutLe32(&p[off::nextPageId], 9); }), true, false,
       false},
      {"PFS page with index id", with(PfsPage1, [](Page& p) { PutLe16(&p[off::indexId], 1); }), true, false, false},
      {"PFS page with two slots", with(PfsPage1, [](Page& p) { PutLe16(&p[off::slotCount], 2); }), true, false,
       false},
      {"PFS page of another object", with(PfsPage1, [](Page& p) { PutLe32(&p[off::objectId], 98); }), true, false,
       false},
      {"PFS page numbered 8088", with(PfsPage1, [](Page& p) { PutLe32(&p[off::pageId], kPfsInterval); }), true,
       false, false},
      {"PFS page with odd type flags", with(PfsPage1, [](Page& p) { p[off::typeFlagBits] = 7; }), false, true,
       false},
      {"file header flags low byte 0", with(FileHeaderPage0, [](Page& p) { p[off::flagBits] = 0; }), false, false,
       true},
      {"file header flags low byte 1", with(FileHeaderPage0, [](Page& p) { p[off::flagBits] = 1; }), false, false,
       false},
      {"file header with min length", with(FileHeaderPage0, [](Page& p) { PutLe16(&p[off::minLen], 4); }), false,
       false, false},
      {"file header with prev file id", with(FileHeaderPage0, [](Page& p) { PutLe16(&p[off::prevFileId], 1); }),
       false, false, false},
      {"file header numbered 1", with(FileHeaderPage0, [](Page& p) { PutLe32(&p[off::pageId], 1); }), true, false,
       false},
      {"file header free data 95", with(FileHeaderPage0, [](Page& p) { PutLe16(&p[off::freeData], 95); }), false,
       false, false},
  };
  for (const auto& c : cases) {
    const Page p = c.make();
    EXPECT_EQ(IsPlausibleHeader(p.data(), 1), c.plausible) << c.what;
    EXPECT_EQ(IsFirstPfsPage(p.data(), 1), c.firstPfs) << c.what;
    EXPECT_EQ(IsFileHeaderPage(p.data(), 1), c.fileHeader) << c.what;
  }
  // The file id under test comes from the caller.
  Page other = DataPage();
  PutLe16(&other[off::fileId], 3);
  EXPECT_TRUE(IsPlausibleHeader(other.data(), 3));
  EXPECT_TRUE(IsHeaderOfPage(3, 5, other.data()));
  EXPECT_FALSE(IsHeaderOfPage(3, 6, other.data()));
  EXPECT_FALSE(IsHeaderOfPage(1, 5, other.data()));
}

// Word i of the page rotated left by 15 - i/128, all exclusive-or'ed but word 15.
uint32_t NaiveChecksum(const uint8_t* page) {
  uint32_t c = 0;
  for (int i = 0; i < 2048; ++i)
    if (i != 15) c ^= RotL32(Le32(page + 4 * i), unsigned(15 - i / 128));
  return c;
}

Page FilledPage(uint32_t seed) {
  Page p = DataPage();
  uint32_t x = seed;
  for (int i = kHeaderBytes; i < kPageBytes; ++i) {
    x = x * 1103515245u + 12345u;
    p[size_t(i)] = uint8_t(x >> 16);
  }
  return p;
}

void ProtectWithChecksum(Page& p) {
  p[5] = 0x02;
  PutLe32(&p[off::tornBits], PageChecksum(p.data()));
}

// Saves every sector's low two tail bits and writes the pattern in their place.
void ProtectWithTornBits(Page& p, uint8_t pattern) {
  p[5] = 0x01;
  uint32_t torn = pattern;
  for (int k = 1; k < 16; ++k) {
    uint8_t& b = p[size_t(512 * k + 511)];
    torn |= uint32_t(b & 3) << (2 * k);
    b = uint8_t((b & 0xFC) | pattern);
  }
  PutLe32(&p[off::tornBits], torn);
}

TEST(PageVerification, Checksum) {
  for (uint32_t seed : {1u, 2u, 77u}) {
    Page p = FilledPage(seed);
    EXPECT_EQ(PageChecksum(p.data()), NaiveChecksum(p.data()));
    ProtectWithChecksum(p);
    EXPECT_TRUE(IsPageIntact(p.data()));
    // The stored value does not enter its own computation.
    EXPECT_EQ(PageChecksum(p.data()), NaiveChecksum(p.data()));
    for (int at : {0, 59, 64, 511, 512, 4000, 8191}) {
      Page bad = p;
      bad[size_t(at)] ^= 0x10;
      EXPECT_FALSE(IsPageIntact(bad.data())) << "byte " << at;
    }
    Page wrongSum = p;
    wrongSum[off::tornBits] ^= 1;
    EXPECT_FALSE(IsPageIntact(wrongSum.data()));
    // Only the low four bits of byte 5 choose the verification.
    Page highBits = p;
    highBits[5] = 0xC2;
    PutLe32(&highBits[off::tornBits], PageChecksum(highBits.data()));
    EXPECT_TRUE(IsPageIntact(highBits.data()));
  }
}

TEST(PageVerification, TornBitsAndTheirRestoration) {
  for (uint8_t pattern : {uint8_t(1), uint8_t(2)}) {
    const Page original = FilledPage(pattern * 31u);
    Page p = original;
    ProtectWithTornBits(p, pattern);
    EXPECT_TRUE(IsPageIntact(p.data()));
    Page torn = p;
    torn[512 * 9 + 511] ^= 3;  // sector 9 written by a different write
    EXPECT_FALSE(IsPageIntact(torn.data()));

    Page restored = p;
    RestoreTornBits(restored.data());
    for (int i = 0; i < kPageBytes; ++i)  // all but the flags and the saved bits
      if (i != 5 && (i < off::tornBits || i >= off::tornBits + 4)) {
        ASSERT_EQ(restored[size_t(i)], original[size_t(i)]) << i;
      }
    // With the original bits back, the sector tails no longer show the pattern.
    EXPECT_FALSE(IsPageIntact(restored.data()));

    // Byte 5 low bits 3: restored (bit 0) but never intact.
    Page three = p;
    three[5] = 0x03;
    EXPECT_FALSE(IsPageIntact(three.data()));
    RestoreTornBits(three.data());
    EXPECT_EQ(three[512 * 15 + 511], original[512 * 15 + 511]);
  }
  // No restoration without the torn-bit flag or with a pattern of 0 or 3.
  for (auto [flags, pattern] : {std::pair{0x02, 1}, std::pair{0x01, 0}, std::pair{0x01, 3}}) {
    Page p = FilledPage(5);
    p[5] = uint8_t(flags);
    PutLe32(&p[off::tornBits], 0xFFFFFFF0u | uint32_t(pattern));
    const Page before = p;
    RestoreTornBits(p.data());
    EXPECT_EQ(p, before) << flags << "/" << pattern;
  }
}

TEST(PageVerification, ZeroAndUnprotectedPages) {
  Page zero{};
  EXPECT_TRUE(IsPageIntact(zero.data()));
  Page p = FilledPage(9);
  for (uint8_t v : {0x00, 0x03, 0x04, 0x0F, 0x80}) {
    p[5] = v;
    EXPECT_FALSE(IsPageIntact(p.data())) << int(v);
  }
}

// Page 0 with a current file-header record at `row` whose fixed part ends
// in the page count and the marker -1.
Page FileHeaderWithRecord(int row, int32_t pages) {
  Page p = FileHeaderPage0();
  PutLe16(&p[8190], uint16_t(row));
  PutLe16(&p[size_t(row)], 0x0030);
  PutLe16(&p[size_t(row) + 2], 8);
  for (int i = 4; i < 130; ++i) p[size_t(row + i)] = uint8_t(i & 0x7F);
  PutLe32(&p[size_t(row) + 130], uint32_t(pages));
  PutLe32(&p[size_t(row) + 134], 0xFFFFFFFFu);
  return p;
}

TEST(PageRules, FilePageCount) {
  EXPECT_EQ(FilePageCount(FileHeaderWithRecord(96, 280).data()), 280);
  // An older copy before the current record is not read.
  Page twoCopies = FileHeaderWithRecord(3324, 384);
  PutLe32(&twoCopies[1000], 111);
  PutLe32(&twoCopies[1004], 0xFFFFFFFFu);
  EXPECT_EQ(FilePageCount(twoCopies.data()), 384);
  // A marker just before the slot array still counts.
  Page atEnd = FileHeaderPage0();
  PutLe16(&atEnd[8190], 8100);
  PutLe32(&atEnd[8182], 77);
  PutLe32(&atEnd[8186], 0xFFFFFFFFu);
  EXPECT_EQ(FilePageCount(atEnd.data()), 77);

  Page noMarker = FileHeaderWithRecord(96, 280);
  PutLe32(&noMarker[96 + 134], 0xFFFFFF00u);
  EXPECT_EQ(FilePageCount(noMarker.data()), std::nullopt);
  // Slot 0 below 4 would read before the page; beyond the page finds nothing.
  for (uint16_t slot : {0, 3, 8189, 8190, 65535}) {
    Page p = FileHeaderPage0();
    p[0] = p[1] = p[2] = p[3] = 0xFF;
    PutLe32(&p[4], 0xFFFFFFFFu);
    PutLe16(&p[8190], slot);
    EXPECT_EQ(FilePageCount(p.data()), std::nullopt) << slot;
  }
}

std::vector<uint8_t> Utf16(const std::u16string& s) {
  std::vector<uint8_t> out;
  for (char16_t c : s) out.push_back(uint8_t(c)), out.push_back(uint8_t(c >> 8));
  return out;
}

// Page 32 with the logical name padded to 128 characters and the physical
// name padded to 260, as the server writes the file's row.
Page NamePage(const std::u16string& logical, const std::u16string& physical, int row = 96) {
  Page p = DataPage();
  PutLe32(&p[off::pageId], 32);
  PutLe16(&p[8190], uint16_t(row));
  std::u16string l = logical, ph = physical;
  l.resize(std::max<size_t>(l.size(), 128), u' ');
  ph.resize(std::max<size_t>(ph.size(), 260), u' ');
  std::vector<uint8_t> rowBytes = {0x10, 0x00, 0x12, 0x03, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00};
  for (auto b : Utf16(l)) rowBytes.push_back(b);
  for (auto b : Utf16(ph)) rowBytes.push_back(b);
  for (size_t i = 0; i < rowBytes.size() && row + i < kPageBytes - 4; ++i) p[row + i] = rowBytes[i];
  return p;
}

TEST(PageRules, PhysicalFileName) {
  struct Case {
    const char* what;
    Page page;
    std::optional<std::string> name;
  };
  Page nameFillsRow = DataPage();
  PutLe16(&nameFillsRow[8190], 96);
  {
    auto t = Utf16(u"\x0010\x0312" u"C:\\data\\full.mdf");
    std::copy(t.begin(), t.end(), nameFillsRow.begin() + 96);
  }
  Page slotBelow4 = NamePage(u"db", u"C:\\db.mdf");
  PutLe16(&slotBelow4[8190], 2);
  Page slotPastPage = NamePage(u"db", u"C:\\db.mdf");
  PutLe16(&slotPastPage[8190], 9000);
  // The name search starts at the row: a name wholly before it is not seen.
  Page nameBeforeRow = NamePage(u"db", u"C:\\db.mdf");
  PutLe16(&nameBeforeRow[8190], 2000);
  Page zeroInside = NamePage(u"db", std::u16string(u"C:\\a\0b.mdf", 10));
  // Two spaces that begin just before the row are not part of it.
  Page spacesBeforeRow = DataPage();
  PutLe16(&spacesBeforeRow[8190], 200);
  {
    auto t = Utf16(u" C:\\db.mdf");
    std::copy(t.begin(), t.end(), spacesBeforeRow.begin() + 200);
    spacesBeforeRow[198] = 0x20;
  }

  const std::vector<Case> cases = {
      {"plain path", NamePage(u"aspnetdb", u"D:\\App_Data\\aspnetdb.mdf"), "D:\\App_Data\\aspnetdb.mdf"},
      {"upper-case extension", NamePage(u"Sales", u"C:\\DATA\\SALES.MDF"), "C:\\DATA\\SALES.mdf"},
      {"mixed-case extension", NamePage(u"Sales", u"C:\\x\\s.Mdf"), "C:\\x\\s.mdf"},
      {"logical name ending in .mdf", NamePage(u"Database1.mdf", u"C:\\Users\\a\\Database1.mdf"),
       "C:\\Users\\a\\Database1.mdf"},
      {"Cyrillic and Chinese letters", NamePage(u"БД", u"C:\\Данные\\数据库.mdf"),
       "C:\\Данные\\数据库.mdf"},
      {"leading tab, trailing control character", NamePage(u"db", u"\tC:\\db\x01.mdf"), "C:\\db.mdf"},
      {"ended early at a zero character", zeroInside, "C:\\a.mdf"},
      {"row not at the header's end", NamePage(u"db", u"E:\\db.mdf", 700), "E:\\db.mdf"},
      {"no two spaces before the name", nameFillsRow, std::nullopt},
      {"no extension", NamePage(u"db", u"C:\\db.ndf"), std::nullopt},
      {"slot 0 below 4", slotBelow4, std::nullopt},
      {"slot 0 past the page", slotPastPage, std::nullopt},
      {"name before the row", nameBeforeRow, std::nullopt},
      {"two spaces straddling the row start", spacesBeforeRow, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(PhysicalFileName(c.page.data()), c.name) << c.what;

  // A ".mdf" that ends just before slot 0 is still found.
  Page atEnd = DataPage();
  PutLe16(&atEnd[8190], 8100);
  auto t = Utf16(u"  x.mdf");
  std::copy(t.begin(), t.end(), atEnd.begin() + (8190 - long(t.size())));
  EXPECT_EQ(PhysicalFileName(atEnd.data()), "x.mdf");
}

TEST(PageRows, SlotRowsAndIamPages) {
  Page p = DataPage();
  PutLe16(&p[8190], 96);    // slot 0
  PutLe16(&p[8188], 200);   // slot 1
  PutLe16(&p[8186], 95);    // slot 2: inside the header
  PutLe16(&p[8184], 8096);  // slot 3: too close to the end
  PutLe16(&p[8182], 8095);  // slot 4: last usable offset, length beyond the page
  PutLe16(&p[8180], 300);   // slot 5: declared length below the prefix
  PutLe16(&p[96 + 2], 94);
  PutLe16(&p[200 + 2], 7992);
  PutLe16(&p[8095 + 2], 500);
  PutLe16(&p[300 + 2], 2);

  auto r0 = SlotRow(p.data(), 0);
  EXPECT_EQ(r0.offset, 96);
  EXPECT_EQ(r0.declaredLength, 94);
  EXPECT_EQ(r0.bytes.data(), p.data() + 100);
  EXPECT_EQ(r0.bytes.size(), 90u);
  EXPECT_EQ(SlotRow(p.data(), 1).bytes.size(), 7988u);
  EXPECT_EQ(SlotRow(p.data(), 2).offset, -1);
  EXPECT_TRUE(SlotRow(p.data(), 2).bytes.empty());
  EXPECT_EQ(SlotRow(p.data(), 3).offset, -1);
  auto r4 = SlotRow(p.data(), 4);
  EXPECT_EQ(r4.offset, 8095);
  EXPECT_EQ(r4.bytes.size(), size_t(8192 - 8099));
  EXPECT_EQ(SlotRow(p.data(), 5).offset, 300);
  EXPECT_TRUE(SlotRow(p.data(), 5).bytes.empty());
  EXPECT_EQ(SlotRow(p.data(), -1).offset, -1);
  EXPECT_EQ(SlotRow(p.data(), 5000).offset, -1);

  // IAM header row: first page at row + 40, single-page slots at row + 46 + 6j.
  PutLe32(&p[96 + 40], 8088);
  for (int j = 0; j < 8; ++j) PutLe32(&p[size_t(96 + 46 + 6 * j)], uint32_t(j == 3 ? 0 : 50 + j));
  IamHeader iam = ReadIamHeader(p.data());
  ASSERT_TRUE(iam.valid);
  EXPECT_EQ(iam.firstPage, 8088);
  EXPECT_EQ(iam.singlePages[0], 50);
  EXPECT_EQ(iam.singlePages[3], 0);
  EXPECT_EQ(iam.singlePages[7], 57);
  EXPECT_EQ(IamExtentBitmap(p.data()).offset, 200);
  // A header row at the last usable offset reads inside the page.
  PutLe16(&p[8190], 8095);
  EXPECT_TRUE(ReadIamHeader(p.data()).valid);
  PutLe16(&p[8190], 40);
  EXPECT_FALSE(ReadIamHeader(p.data()).valid);
}

TEST(PageText, LsnAndUtf16) {
  Page p{};
  const uint8_t lsn[10] = {0x3e, 0x00, 0x00, 0x00, 0x1f, 0x01, 0x00, 0x00, 0x0f, 0xa0};
  std::copy(std::begin(lsn), std::end(lsn), p.begin() + off::lsn);
  EXPECT_EQ(LsnText(p.data()), "0000003E0000011FA00F");

  auto u = Utf16(u"aé€");
  u.push_back(0x3D), u.push_back(0xD8), u.push_back(0x00), u.push_back(0xDE);  // U+1F600
  u.push_back(0x00), u.push_back(0xDC);                                        // lone low surrogate
  u.push_back(0x00), u.push_back(0xD8);                                        // lone high surrogate at the end
  EXPECT_EQ(Utf16LeToUtf8(u.data(), u.size() / 2), "aé€\xF0\x9F\x98\x80\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(Utf16LeToUtf8(u.data(), 0), "");
}

}  // namespace
}  // namespace sorrelon::page
