#include "scan/free_space.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "base/bytes.h"
#include "storage/sources.h"
#include "tests/support/fake_person.h"
#include "tests/support/fsimage.h"
#include "tests/support/testdata.h"

namespace sorrelon {
namespace {

using Messages = std::vector<std::string>;

// ------------------------------------------------------------ FAT32

struct FatFixture {
  static constexpr int64_t kReserved = 32, kFat = 12300, kSpc = 8;
  static constexpr int64_t kData = kReserved + 2 * kFat;
  DataSource ds;
  std::vector<uint8_t> image;
  FatFixture() {
    ds.fileSystemName = "FAT32";
    ds.fatReservedSectors = kReserved;
    ds.fatSizeSectors = kFat;
    ds.sectorsPerCluster = kSpc;
    ds.dataStartSector = kData;
    image.assign(size_t(kReserved + kFat) * kSectorSize, 0);
    Entry(0, 0x0FFFFFF8);
    Entry(1, 0xFFFFFFFF);
    Entry(2, 0x0FFFFFFF);
    Entry(4, 5);
    Entry(5, 0x0FFFFFFF);
    Entry(12288 * 128 + 7, 0x01000000);  // in the second block, only the top byte set
  }
  void Entry(int64_t k, uint32_t v) { PutLe32(image.data() + size_t(kReserved) * kSectorSize + size_t(k) * 4, v); }
  int64_t SectorOf(int64_t cluster) const { return kData + (cluster - 2) * kSpc; }
};

TEST(FreeSpaceMap, Fat32FromTheFirstFat) {
  FatFixture f;
  test::MemoryReader reader(f.ds, f.image);
  reader.virtualSectors = f.kData + f.kFat * 128 * f.kSpc;
  test::FakePerson person;
  FreeSpaceMap map;
  ASSERT_TRUE(LoadFreeSpaceMap(f.ds, reader, person, map));
  EXPECT_TRUE(person.messages.empty());
  // Two blocks, the second of 12 sectors, each a full 196608-byte block map.
  EXPECT_EQ(map.Bytes().size(), 2u * 196608u);
  EXPECT_EQ(map.Bytes()[0], 0x37);  // entries 0, 1, 2, 4, 5

  EXPECT_TRUE(map.IsClusterInUse(f.kData + 17));  // cluster 4
  EXPECT_FALSE(map.IsClusterInUse(f.kData + 8));  // cluster 3 is free
  EXPECT_TRUE(map.IsClusterInUse(f.SectorOf(12288 * 128 + 7)));
  EXPECT_FALSE(map.IsClusterInUse(f.SectorOf(12288 * 128 + 8)));
  EXPECT_FALSE(map.IsClusterInUse(f.SectorOf(12288 * 128 + 200)));  // zero tail of the last block
  EXPECT_FALSE(map.IsClusterInUse(f.SectorOf(2 * 196608 * 8 + 5)));  // beyond the map
  // The reserved sectors and the FATs are never free space.
  EXPECT_TRUE(map.IsClusterInUse(0));
  EXPECT_TRUE(map.IsClusterInUse(f.kData - 1));

  // The scan's own cluster size counts for the lookup.
  map.SetSectorsPerCluster(1);
  EXPECT_FALSE(map.IsClusterInUse(f.kData + 17));  // now cluster 19
  EXPECT_TRUE(map.IsClusterInUse(f.kData + 2));    // now cluster 4
  map.SetSectorsPerCluster(0);
  EXPECT_FALSE(map.IsClusterInUse(f.kData + 2));
}

TEST(FreeSpaceMap, Fat32Failures) {
  FatFixture f;
  {
    test::MemoryReader reader(f.ds, f.image);
    reader.virtualSectors = f.kData + f.kFat * 128 * f.kSpc;
    reader.failSectors = {f.kReserved + 12288 + 3};
    test::FakePerson person;
    FreeSpaceMap map;
    EXPECT_FALSE(LoadFreeSpaceMap(f.ds, reader, person, map));
    EXPECT_EQ(person.MessageTexts(), Messages{"读bitmap错误sec12320"});
    EXPECT_EQ(person.messages[0].caption, "提示");
  }
  {
    // A FAT size no volume of this size can have: only what the volume's
    // clusters need is read.
    DataSource ds = f.ds;
    ds.fatSizeSectors = 0xFFFFFFFFu;
    ds.dataStartSector = int64_t(ds.fatReservedSectors + 2 * ds.fatSizeSectors);
    test::MemoryReader reader(ds, f.image);
    test::FakePerson person;
    FreeSpaceMap map;
    EXPECT_TRUE(LoadFreeSpaceMap(ds, reader, person, map));
    EXPECT_LE(map.Bytes().size(), 196608u);
    EXPECT_EQ(reader.reads, 1);  // one block
  }
  {
    DataSource ds = f.ds;
    ds.fatReservedSectors = 1u << 30;  // the FAT would begin beyond the volume
    test::MemoryReader reader(ds, f.image);
    test::FakePerson person;
    FreeSpaceMap map;
    EXPECT_FALSE(LoadFreeSpaceMap(ds, reader, person, map));
    EXPECT_EQ(person.MessageTexts(), Messages{"读bitmap错误sec1073741824"});
  }
}

TEST(FreeSpaceMap, OtherFileSystemsHaveAnEmptyMap) {
  DataSource ds;
  ds.fileSystemName = "不可识别";
  ds.sectorsPerCluster = 8;
  test::MemoryReader reader(ds, std::vector<uint8_t>(4096, 0xFF));
  test::FakePerson person;
  FreeSpaceMap map;
  ASSERT_TRUE(LoadFreeSpaceMap(ds, reader, person, map));
  EXPECT_TRUE(map.Bytes().empty());
  EXPECT_FALSE(map.IsClusterInUse(0));
  EXPECT_FALSE(map.IsClusterInUse(5));
  EXPECT_EQ(reader.reads, 0);
}

// ------------------------------------------------------------ NTFS

// A 20 MB NTFS volume in memory with 2 sectors per cluster whose MFT starts
// at cluster 16, so record 6 lies at sector 44. $Bitmap is in three runs:
// clusters 64-65, then 32 (a negative step), then 100. The run list crosses
// byte 510 of the record, where the sequence number stands on disk.
struct NtfsFixture {
  static constexpr int64_t kSpc = 2, kMft = 16, kRecordSector = kMft * kSpc + 12;
  static constexpr size_t kDataAttr = 440, kRuns = 504;
  DataSource ds;
  std::vector<uint8_t> rec = std::vector<uint8_t>(1024, 0);
  std::vector<uint8_t> volume = std::vector<uint8_t>(size_t(40960) * kSectorSize, 0);
  uint16_t usn = 7;
  bool torn = false;  // the second stride was not written with the first

  NtfsFixture() {
    ds.fileSystemName = "NTFS";
    ds.sectorsPerCluster = kSpc;
    ds.mftStartCluster = kMft;
    std::memcpy(rec.data(), "FILE", 4);
    PutLe16(&rec[4], 0x30);  // update sequence array
    PutLe16(&rec[6], 3);
    PutLe16(&rec[20], 0x38);  // first attribute
    PutLe32(&rec[0x38], 0x10);
    PutLe32(&rec[0x3C], uint32_t(kDataAttr - 0x38));
    PutLe32(&rec[kDataAttr], 0x80);
    PutLe32(&rec[kDataAttr + 4], 0x50);
    rec[kDataAttr + 8] = 1;  // non-resident
    PutLe16(&rec[kDataAttr + 32], uint16_t(kRuns - kDataAttr));
    const uint8_t runs[] = {0x11, 0x02, 0x40, 0x11, 0x01, 0xE0, 0x11, 0x01, 0x44, 0x00};
    std::memcpy(&rec[kRuns], runs, sizeof runs);
    PutLe32(&rec[kDataAttr + 0x50], 0xFFFFFFFF);
    // $Bitmap's sectors: each carries its own number; cluster 1000's bit
    // (byte 125, bit 0 of the map) is set.
    for (int64_t s : {128, 129, 130, 131, 64, 65, 200, 201}) PutLe32(&volume[size_t(s) * kSectorSize + 200], uint32_t(s));
    volume[128 * kSectorSize + 125] = 0x01;
  }
  // Writes the record as it lies on disk: the last two bytes of each
  // 512-byte stride moved to the update sequence array.
  std::vector<uint8_t> Image() {
    std::vector<uint8_t> r = rec;
    PutLe16(&r[0x30], usn);
    for (int i = 1; i <= 2; ++i) {
      std::memcpy(&r[0x30 + 2 * i], &r[size_t(i) * 512 - 2], 2);
      PutLe16(&r[size_t(i) * 512 - 2], usn);
    }
    if (torn) r[1022] ^= 0xFF;
    std::vector<uint8_t> v = volume;
    std::memcpy(&v[size_t(kRecordSector) * kSectorSize], r.data(), r.size());
    return v;
  }
};

TEST(FreeSpaceMap, NtfsBitmapInRunOrderWithFixups) {
  NtfsFixture f;
  test::MemoryReader reader(f.ds, f.Image());
  test::FakePerson person;
  FreeSpaceMap map;
  ASSERT_TRUE(LoadFreeSpaceMap(f.ds, reader, person, map)) << ::testing::PrintToString(person.MessageTexts());
  ASSERT_EQ(map.Bytes().size(), 8u * kSectorSize);
  const int64_t order[] = {128, 129, 130, 131, 64, 65, 200, 201};
  for (size_t i = 0; i < 8; ++i) EXPECT_EQ(Le32(map.Bytes().data() + i * kSectorSize + 200), uint32_t(order[i]));
  // With 8 sectors per cluster, sector 8000 is cluster 1000: bit 0 of byte 125.
  map.SetSectorsPerCluster(8);
  EXPECT_TRUE(map.IsClusterInUse(8000));
  EXPECT_TRUE(map.IsClusterInUse(8007));
  EXPECT_FALSE(map.IsClusterInUse(8008));
  EXPECT_FALSE(map.IsClusterInUse(int64_t(1) << 40));  // beyond the map
}

TEST(FreeSpaceMap, NtfsDamageFailsTheLoad) {
  const Messages plain{"取$bitmap文件失败"};
  struct Case {
    const char* what;
    std::function<void(NtfsFixture&)> damage;
    Messages messages;
  };
  const size_t a = NtfsFixture::kDataAttr, r = NtfsFixture::kRuns;
  const Case cases[] = {
      {"no FILE signature", [](NtfsFixture& f) { f.rec[0] = 'B'; }, plain},
      {"torn record", [](NtfsFixture& f) { f.torn = true; }, plain},
      {"update sequence array out of the record", [](NtfsFixture& f) { PutLe16(&f.rec[4], 1020); }, plain},
      {"attribute of length 0", [](NtfsFixture& f) { PutLe32(&f.rec[0x3C], 0); }, plain},
      {"attribute beyond the record", [](NtfsFixture& f) { PutLe32(&f.rec[0x3C], 4000); }, plain},
      {"first attribute beyond the record", [](NtfsFixture& f) { PutLe16(&f.rec[20], 1020); }, plain},
      {"no data attribute", [a](NtfsFixture& f) { PutLe32(&f.rec[a], 0x90); }, plain},
      {"resident data", [a](NtfsFixture& f) { f.rec[a + 8] = 0; }, plain},
      {"run list beyond the attribute", [a](NtfsFixture& f) { PutLe16(&f.rec[a + 32], 0x50); }, plain},
      {"run past the volume", [r](NtfsFixture& f) { f.rec[r] = 0x21; f.rec[r + 2] = 0x00; f.rec[r + 3] = 0x7F; }, plain},
      {"run back over an earlier one", [r](NtfsFixture& f) { f.rec[r + 5] = 0x00; f.rec[r + 4] = 0x01; }, plain},
      {"negative first cluster", [r](NtfsFixture& f) { f.rec[r + 2] = 0xF0; }, plain},
      {"sparse run", [r](NtfsFixture& f) { f.rec[r] = 0x01; }, plain},
      {"more bitmap than the volume needs", [r](NtfsFixture& f) { f.rec[r + 1] = 0x10; }, plain},
      {"empty run list", [r](NtfsFixture& f) { f.rec[r] = 0; }, plain},
      {"record beyond the volume", [](NtfsFixture& f) { f.ds.mftStartCluster = 1u << 20; },
       Messages{"读bitmap错误sec2097164", "取$bitmap文件失败"}},
      {"cluster number that overflows", [](NtfsFixture& f) { f.ds.mftStartCluster = ~uint64_t(0); }, plain},
      {"no cluster size", [](NtfsFixture& f) { f.ds.sectorsPerCluster = 0; }, plain},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    NtfsFixture f;
    c.damage(f);
    test::MemoryReader reader(f.ds, f.Image());
    test::FakePerson person;
    FreeSpaceMap map;
    EXPECT_FALSE(LoadFreeSpaceMap(f.ds, reader, person, map));
    EXPECT_EQ(person.MessageTexts(), c.messages);
    EXPECT_LE(map.Bytes().size(), 8u * kSectorSize);
  }
}

TEST(FreeSpaceMap, NtfsUnreadableBitmap) {
  NtfsFixture f;
  test::MemoryReader reader(f.ds, f.Image());
  reader.failSectors = {65};  // inside the second run, which starts at sector 64
  test::FakePerson person;
  FreeSpaceMap map;
  EXPECT_FALSE(LoadFreeSpaceMap(f.ds, reader, person, map));
  EXPECT_EQ(person.MessageTexts(), (Messages{"512bitmaperror1sec64", "error,写bitmap内容失败", "取$bitmap文件失败"}));
  for (auto& m : person.messages) EXPECT_EQ(m.caption, "提示");
}

// ------------------------------------------------------------ real volumes

// Chooses `img` as a partition image and loads its map.
bool LoadFromImage(const std::filesystem::path& img, DataSource& ds, FreeSpaceMap& map) {
  SectorReader reader(ds);
  SourceFields fields;
  test::FakePerson person;
  if (!ChooseImage(img.string(), true, ds, reader, fields, person)) return false;
  bool ok = LoadFreeSpaceMap(ds, reader, person, map);
  EXPECT_TRUE(person.messages.empty()) << ::testing::PrintToString(person.MessageTexts());
  map.SetSectorsPerCluster(ds.sectorsPerCluster);
  return ok;
}

int64_t SectorsInUse(const FreeSpaceMap& map, const std::vector<test::Extent>& extents, int64_t* total) {
  int64_t used = 0;
  *total = 0;
  for (const auto& e : extents)
    for (int64_t s = e.firstSector; s < e.firstSector + e.sectors; ++s, ++*total) used += map.IsClusterInUse(s);
  return used;
}

TEST(FreeSpaceMap, RealFat32Volume) {
  auto dir = test::TempDir("free_space_fat");
  test::FatVolume fat;
  test::FatOptions four;
  four.sectorsPerCluster = 4;
  ASSERT_TRUE(fat.Create(dir / "fat.img", four));
  ASSERT_TRUE(test::WriteRandomFile(dir / "db.mdf", 300000, 7));
  ASSERT_TRUE(fat.CopyInFragmented(dir / "db.mdf", "db.mdf", 3));
  auto extents = fat.Extents("db.mdf");
  ASSERT_EQ(extents.size(), 3u);

  DataSource ds;
  FreeSpaceMap map;
  ASSERT_TRUE(LoadFromImage(fat.Image(), ds, map));
  EXPECT_EQ(ds.dataStartSector, fat.dataStartSector);
  int64_t total = 0;
  EXPECT_EQ(SectorsInUse(map, extents, &total), total);
  EXPECT_FALSE(map.IsClusterInUse(fat.volumeSectors - 1));  // free space at the end

  // Deleted, its clusters are free space again.
  ASSERT_TRUE(fat.Delete("db.mdf"));
  ASSERT_TRUE(LoadFromImage(fat.Image(), ds, map));
  EXPECT_EQ(SectorsInUse(map, extents, &total), 0);
  // The fillers between the runs are still in use.
  EXPECT_TRUE(map.IsClusterInUse(extents[0].firstSector + extents[0].sectors));
}

TEST(FreeSpaceMap, RealNtfsVolume) {
  auto dir = test::TempDir("free_space_ntfs");
  test::NtfsVolume ntfs;
  ASSERT_TRUE(ntfs.Create(dir / "ntfs.img"));
  ASSERT_TRUE(test::WriteRandomFile(dir / "db.mdf", 200000, 9));
  ASSERT_TRUE(ntfs.CopyInFragmented(dir / "db.mdf", "db.mdf", 2));
  auto extents = ntfs.Extents("db.mdf");
  ASSERT_EQ(extents.size(), 2u);

  DataSource ds;
  FreeSpaceMap map;
  ASSERT_TRUE(LoadFromImage(ntfs.Image(), ds, map));
  EXPECT_EQ(ds.fileSystemName, "NTFS");
  EXPECT_EQ(int64_t(ds.mftStartCluster), ntfs.mftStartCluster);
  int64_t total = 0;
  EXPECT_EQ(SectorsInUse(map, extents, &total), total);
  EXPECT_TRUE(map.IsClusterInUse(0));  // the boot sector's cluster

  // Formatted again, the file's clusters are free space.
  ASSERT_TRUE(ntfs.QuickFormat());
  ASSERT_TRUE(LoadFromImage(ntfs.Image(), ds, map));
  EXPECT_EQ(SectorsInUse(map, extents, &total), 0);
}

}  // namespace
}  // namespace sorrelon
