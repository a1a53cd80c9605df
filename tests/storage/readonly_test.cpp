// Every kind of read leaves the source exactly as it was, and the source is
// held open for reading only.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "scan/free_space.h"
#include "storage/sources.h"
#include "tests/support/fake_person.h"
#include "tests/support/fsimage.h"
#include "tests/support/testdata.h"

namespace sorrelon {
namespace {

namespace fs = std::filesystem;

void ReadEverything(const fs::path& img, bool asVolume) {
  DataSource ds;
  SectorReader reader(ds);
  SourceFields fields;
  test::FakePerson person;
  ASSERT_TRUE(ChooseImage(img.string(), asVolume, ds, reader, fields, person));
  std::vector<uint8_t> buf(12288 * 512);
  for (int64_t s = 0; s < ds.sectorBound; s += 12288) ASSERT_TRUE(reader.ReadSectors(12288, buf.data(), s));
  if (asVolume) {
    FreeSpaceMap map;
    ASSERT_TRUE(LoadFreeSpaceMap(ds, reader, person, map)) << ::testing::PrintToString(person.MessageTexts());
  }
  DriveEntry drive;
  drive.path = img.string();
  if (asVolume) {
    ASSERT_TRUE(ChooseDrive(drive, ds, reader, fields, person));
  }
  DiskEntry disk;
  disk.path = img.string();
  ChooseDisk(disk, ds, reader, fields, person);
  ASSERT_TRUE(reader.ReadSectors(1, buf.data(), 0));
  auto modes = test::OpenAccessModes(img);
  ASSERT_FALSE(modes.empty()) << "the reader should hold the source open";
  for (int m : modes) EXPECT_EQ(m, O_RDONLY);
}

TEST(ReadOnly, ReadingChangesNothing) {
  fs::path dir = test::TempDir("readonly");
  test::FatVolume fat;
  ASSERT_TRUE(fat.Create(dir / "fat.img"));
  ASSERT_TRUE(test::WriteRandomFile(dir / "data.bin", 100000, 1));
  ASSERT_TRUE(fat.CopyIn(dir / "data.bin", "data.bin"));
  test::NtfsVolume ntfs;
  ASSERT_TRUE(ntfs.Create(dir / "ntfs.img"));
  ASSERT_TRUE(ntfs.CopyIn(dir / "data.bin", "data.bin"));

  for (const fs::path& img : {fat.Image(), ntfs.Image()}) {
    SCOPED_TRACE(img.string());
    const test::FileSnapshot before = test::TakeSnapshot(img);
    ASSERT_FALSE(before.sha.empty());
    ReadEverything(img, true);
    ReadEverything(img, false);
    EXPECT_TRUE(test::TakeSnapshot(img) == before) << "the source changed";
  }
}

}  // namespace
}  // namespace sorrelon
