// Partition tables of whole disks (MBR with logical partitions, GPT) and
// the cluster layout read from a volume's boot sector.
#include <gtest/gtest.h>

#include <cstring>

#include "base/bytes.h"
#include "storage/partition_table.h"
#include "tests/support/fsimage.h"
#include "tests/support/testdata.h"

namespace sorrelon {
namespace {

void Entry(uint8_t* sector, int i, uint8_t type, uint32_t first, uint32_t count) {
  uint8_t* e = sector + 446 + 16 * i;
  e[4] = type;
  PutLe32(e + 8, first);
  PutLe32(e + 12, count);
  sector[510] = 0x55;
  sector[511] = 0xAA;
}

TEST(PartitionTable, MbrPrimaryAndLogicalPartitions) {
  std::vector<uint8_t> img(4096 * 512, 0);
  Entry(&img[0], 0, 0x0C, 2048, 1000);
  Entry(&img[0], 1, 0x0F, 3100, 900);  // extended
  // First logical at 3100 + 63, link to the next record at extended + 400.
  Entry(&img[3100 * 512], 0, 0x07, 63, 200);
  Entry(&img[3100 * 512], 1, 0x05, 400, 300);
  Entry(&img[3500 * 512], 0, 0x0B, 63, 100);
  DataSource ds;
  test::MemoryReader r(ds, img);
  auto parts = ReadPartitionTable(r);
  ASSERT_EQ(parts.size(), 3u);
  EXPECT_EQ(parts[0].firstSector, 2048);
  EXPECT_EQ(parts[1].firstSector, 3163);
  EXPECT_EQ(parts[2].firstSector, 3563);
  EXPECT_EQ(parts[2].sectors, 100);
}

TEST(PartitionTable, GptBehindAProtectiveMbr) {
  std::vector<uint8_t> img(64 * 512, 0);
  Entry(&img[0], 0, 0xEE, 1, 63);
  std::memcpy(&img[512], "EFI PART", 8);
  PutLe64(&img[512 + 72], 2);
  PutLe32(&img[512 + 80], 4);
  PutLe32(&img[512 + 84], 128);
  uint8_t* e = &img[1024 + 128];  // second entry used
  e[0] = 0xA2;
  PutLe64(e + 32, 34);
  PutLe64(e + 40, 60);
  DataSource ds;
  test::MemoryReader r(ds, img);
  auto parts = ReadPartitionTable(r);
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_EQ(parts[0].firstSector, 34);
  EXPECT_EQ(parts[0].sectors, 27);
  // Bad headers are refused.
  img[512 + 84] = 7;
  EXPECT_FALSE(ParseGptHeader(&img[512]));
  img[510] = 0;
  EXPECT_FALSE(ParseMbr(&img[0]));
}

TEST(PartitionTable, ClusterLayoutOfARealFat32VolumeInADisk) {
  auto dir = test::TempDir("partition_layout");
  test::FatVolume v;
  test::FatOptions o;
  o.sectorsPerCluster = 2;
  ASSERT_TRUE(v.CreateInDisk(dir / "disk.img", o, 2048));
  DataSource ds;
  ds.devicePath = (dir / "disk.img").string();
  ds.sourceChosen = true;
  SectorReader r(ds);
  auto layouts = ReadVolumeLayouts(r);
  ASSERT_EQ(layouts.size(), 1u);
  EXPECT_EQ(layouts[0].sectorsPerCluster, 2);
  EXPECT_EQ(layouts[0].clusterOrigin, 2048 + v.dataStartSector);
}

}  // namespace
}  // namespace sorrelon
