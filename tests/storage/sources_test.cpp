#include "storage/sources.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "base/bytes.h"
#include "storage/posix/enumerate_posix.h"
#include "tests/support/fake_person.h"
#include "tests/support/testdata.h"

namespace sorrelon {
namespace {

namespace fs = std::filesystem;

TEST(SourceCaptions, SizeAndCaptionRules) {
  EXPECT_EQ(DiskSizeText(1000 * 2048), "0.98 GB)");
  EXPECT_EQ(DiskSizeText(999 * 2048), "999.00 MB)");
  EXPECT_EQ(DiskSizeText(0), "0.00 MB)");
  EXPECT_EQ(DiskCaption(0, false, 976773168), "本地磁盘 0 (465.76 GB) ");
  EXPECT_EQ(DiskCaption(1, true, 7831552, "/dev/sdb USB Flash"), "可移动存储 1 (3.73 GB) /dev/sdb USB Flash");
  EXPECT_EQ(DriveLabelText("System"), "[SYSTEM]");
  EXPECT_EQ(DriveLabelText(""), "[]");
  EXPECT_EQ(DriveLabelText("数据 d1"), "[数据 D1]");
}

// A boot sector: NTFS, FAT32 or neither.
std::vector<uint8_t> BootSector(const std::string& kind, uint8_t spc) {
  std::vector<uint8_t> s(kSectorSize, 0);
  s[13] = spc;
  if (kind == "NTFS") {
    std::memcpy(s.data() + 3, "NTFS    ", 8);
    PutLe64(s.data() + 48, 786432);
  } else if (kind == "FAT32") {
    std::memcpy(s.data() + 3, "mkfs.fat", 8);
    PutLe16(s.data() + 14, 32);
    s[16] = 1;  // one FAT recorded
    PutLe32(s.data() + 36, 1000);
    std::memcpy(s.data() + 82, "FAT32   ", 8);
  } else {
    std::memcpy(s.data() + 3, "EXFAT   ", 8);
  }
  s[510] = 0x55;
  s[511] = 0xAA;
  return s;
}

fs::path ImageWith(const fs::path& dir, const std::string& name, std::vector<uint8_t> first, size_t bytes) {
  first.resize(std::max(first.size(), bytes), 0);
  first.resize(bytes);
  fs::path p = dir / name;
  test::WriteFileBytes(p, first);
  return p;
}

TEST(ParseBootSector, FileSystemsAndFailures) {
  fs::path dir = test::TempDir("boot_sector");
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    const char* name;
    int spc;
    int64_t dataStart;
  };
  const Case cases[] = {
      {"NTFS", BootSector("NTFS", 8), "NTFS", 8, 0},
      {"NTFS with 2 MB clusters", BootSector("NTFS", 0xF4), "NTFS", 4096, 0},
      {"FAT32 recording one FAT: two are assumed", BootSector("FAT32", 16), "FAT32", 16, 32 + 2 * 1000},
      {"neither: byte 13 is kept", BootSector("other", 7), "不可识别", 7, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DataSource ds;
    ds.dataStartSector = 99;
    ds.devicePath = ImageWith(dir, "v.img", c.bytes, 4096).string();
    SectorReader reader(ds);
    test::FakePerson person;
    ASSERT_TRUE(ParseBootSector(ds, reader, person));
    EXPECT_EQ(ds.fileSystemName, c.name);
    EXPECT_EQ(ds.sectorsPerCluster, c.spc);
    EXPECT_EQ(ds.dataStartSector, c.dataStart);
    if (ds.fileSystemName == "NTFS") {
      EXPECT_EQ(ds.mftStartCluster, 786432u);
    }
    if (ds.fileSystemName == "FAT32") {
      EXPECT_EQ(ds.fatReservedSectors, 32u);
      EXPECT_EQ(ds.fatSizeSectors, 1000u);
    }
    EXPECT_TRUE(person.messages.empty());
    reader.Close();
  }

  // Sector 0 unreadable (an image shorter than one sector): logged, nothing changes.
  DataSource ds;
  ds.fileSystemName = "FAT32";
  ds.sectorsPerCluster = 4;
  ds.dataStartSector = 1234;
  ds.devicePath = ImageWith(dir, "short.img", {}, 100).string();
  SectorReader reader(ds);
  test::FakePerson person;
  EXPECT_FALSE(ParseBootSector(ds, reader, person));
  ASSERT_FALSE(person.Log(Log::Scan).empty());
  EXPECT_EQ(person.Log(Log::Scan)[0], "512error 读取sec0");
  EXPECT_EQ(ds.fileSystemName, "FAT32");
  EXPECT_EQ(ds.sectorsPerCluster, 4);
  EXPECT_EQ(ds.dataStartSector, 1234);
}

TEST(ChooseSource, ImageAsWholeDiskOrPartition) {
  fs::path dir = test::TempDir("choose_image");
  // 1,000,000 bytes: 1953 whole sectors, the last 64 bytes are no sector.
  fs::path img = ImageWith(dir, "fat.img", BootSector("FAT32", 8), 1000000);

  DataSource ds;
  SectorReader reader(ds);
  SourceFields fields;
  test::FakePerson person;
  ASSERT_TRUE(ChooseImage(img.string(), false, ds, reader, fields, person));
  EXPECT_TRUE(ds.sourceChosen);
  EXPECT_FALSE(ds.isLogicalDrive);
  EXPECT_FALSE(ds.hasFileSystem);
  EXPECT_EQ(ds.devicePath, img.string());
  EXPECT_EQ(ds.sectorBound, 1953);
  EXPECT_EQ(ds.endSector, 1953);
  EXPECT_EQ(fields.dataStr, img.string());
  EXPECT_EQ(fields.begin, "0");
  EXPECT_EQ(fields.end, "1953");
  EXPECT_EQ(fields.secs, "1");
  EXPECT_EQ(fields.label5, "");
  EXPECT_FALSE(fields.freeSpaceChecked);
  EXPECT_FALSE(fields.freeSpaceEnabled);

  ASSERT_TRUE(ChooseImage(img.string(), true, ds, reader, fields, person));
  EXPECT_TRUE(ds.hasFileSystem);
  EXPECT_FALSE(ds.isLogicalDrive);
  EXPECT_EQ(ds.fileSystemName, "FAT32");
  EXPECT_EQ(ds.dataStartSector, 2032);
  EXPECT_EQ(ds.endSector, 2032 + 1953);
  EXPECT_EQ(fields.begin, "2032");
  EXPECT_EQ(fields.end, "3985");
  EXPECT_EQ(fields.secs, "8");
  EXPECT_EQ(fields.label5, "FAT32");
  EXPECT_TRUE(fields.freeSpaceChecked);
  EXPECT_TRUE(fields.freeSpaceEnabled);
  EXPECT_TRUE(person.messages.empty());

  // A partition image whose sector 0 cannot be read: the image is chosen,
  // the range fields and the end keep what they were.
  fs::path tiny = ImageWith(dir, "tiny.img", {}, 300);
  EXPECT_FALSE(ChooseImage(tiny.string(), true, ds, reader, fields, person));
  EXPECT_EQ(person.MessageTexts(), std::vector<std::string>{"取分区信息失败2"});
  EXPECT_EQ(person.messages[0].caption, "提示");
  EXPECT_TRUE(person.Logged(Log::Scan, "512error 读取sec0"));
  EXPECT_EQ(ds.devicePath, tiny.string());
  EXPECT_EQ(ds.sectorBound, 0);
  EXPECT_EQ(ds.endSector, 2032 + 1953);
  EXPECT_EQ(fields.begin, "2032");
  EXPECT_EQ(fields.dataStr, tiny.string());
  EXPECT_TRUE(fields.freeSpaceEnabled);
  EXPECT_FALSE(fields.freeSpaceChecked);
}

TEST(ChooseSource, InteractiveImageChoice) {
  fs::path dir = test::TempDir("choose_interactive");
  fs::path img = ImageWith(dir, "ntfs.img", BootSector("NTFS", 8), 8192);
  DataSource ds;
  SectorReader reader(ds);
  SourceFields fields;
  test::FakePerson person;
  person.files = {std::nullopt};
  EXPECT_FALSE(ChooseImageInteractive(ds, reader, fields, person));
  EXPECT_FALSE(ds.sourceChosen);
  EXPECT_TRUE(person.questions.empty());
  ASSERT_EQ(person.dialogDefaults.size(), 1u);
  EXPECT_EQ(person.dialogDefaults[0], "镜像文件(*.hdd;*.img;*.dsr;*.bin)|*.hdd;*.img;*.dsr;*.bin|所有文件(*.*)|*");

  person.files = {img.string()};
  person.answers = {true};
  ASSERT_TRUE(ChooseImageInteractive(ds, reader, fields, person));
  ASSERT_EQ(person.questions.size(), 1u);
  EXPECT_EQ(person.questions[0].text, "此镜像文件是逻辑分区镜像请选是，是整个磁盘镜像请选否");
  EXPECT_EQ(person.questions[0].caption, "数据文件类型选择");
  EXPECT_EQ(fields.label5, "NTFS");
  EXPECT_EQ(fields.begin, "0");
  EXPECT_EQ(fields.end, "16");
}

TEST(ChooseSource, DiskAndDrive) {
  fs::path dir = test::TempDir("choose_drive");
  fs::path vol = ImageWith(dir, "vol.img", BootSector("NTFS", 8), 1 << 20);
  DataSource ds;
  SectorReader reader(ds);
  SourceFields fields;
  test::FakePerson person;

  DriveEntry drive;
  drive.driveNumber = 3;
  drive.path = vol.string();
  drive.keptText = vol.string() + " [DATA]";
  ASSERT_TRUE(ChooseDrive(drive, ds, reader, fields, person));
  EXPECT_TRUE(ds.isLogicalDrive);
  EXPECT_TRUE(ds.hasFileSystem);
  EXPECT_EQ(ds.driveNumber, 3);
  EXPECT_EQ(ds.sectorBound, 2047);  // the last sector
  EXPECT_EQ(ds.endSector, 2047);
  EXPECT_EQ(fields.dataStr, drive.keptText);
  EXPECT_EQ(fields.end, "2047");
  EXPECT_EQ(fields.secs, "8");
  EXPECT_TRUE(fields.freeSpaceChecked);

  // An empty volume is refused and changes nothing.
  DriveEntry empty = drive;
  empty.path = ImageWith(dir, "empty.img", {}, 0).string();
  empty.keptText = "x";
  DataSource before = ds;
  EXPECT_FALSE(ChooseDrive(empty, ds, reader, fields, person));
  ASSERT_EQ(person.messages.size(), 1u);
  EXPECT_EQ(person.messages[0].text, "分区无效！");
  EXPECT_EQ(person.messages[0].caption, "提示");
  EXPECT_EQ(person.messages[0].icon, Icon::Warning);
  EXPECT_EQ(ds.devicePath, before.devicePath);
  EXPECT_EQ(fields.dataStr, drive.keptText);

  // A drive whose boot sector cannot be read.
  DriveEntry shortDrive = drive;
  shortDrive.path = ImageWith(dir, "short.img", {}, 200).string();
  person.messages.clear();
  EXPECT_FALSE(ChooseDrive(shortDrive, ds, reader, fields, person));
  EXPECT_EQ(person.MessageTexts(), std::vector<std::string>{"取分区信息失败"});
  EXPECT_TRUE(fields.freeSpaceEnabled);
  EXPECT_FALSE(fields.freeSpaceChecked);
  EXPECT_EQ(fields.end, "2047");

  // A whole disk: 0 to its sector count, step 1, no file system.
  DiskEntry disk;
  disk.path = vol.string();
  disk.caption = "本地磁盘 0 (1.00 MB) ";
  ChooseDisk(disk, ds, reader, fields, person);
  EXPECT_FALSE(ds.isLogicalDrive);
  EXPECT_FALSE(ds.hasFileSystem);
  EXPECT_EQ(ds.sectorBound, 2048);
  EXPECT_EQ(ds.endSector, 2048);
  EXPECT_EQ(fields.dataStr, disk.caption);
  EXPECT_EQ(fields.begin, "0");
  EXPECT_EQ(fields.end, "2048");
  EXPECT_EQ(fields.secs, "1");
  EXPECT_EQ(fields.label5, "");
  EXPECT_FALSE(fields.freeSpaceEnabled);
}

TEST(ChooseSource, UnopenableSourceLogsTheReason) {
  fs::path missing = test::TempDir("choose_missing") / "nothere.img";
  DataSource ds;
  SectorReader reader(ds);
  SourceFields fields;
  test::FakePerson person;
  EXPECT_FALSE(ChooseImage(missing.string(), true, ds, reader, fields, person));
  EXPECT_EQ(person.MessageTexts(), std::vector<std::string>{"取分区信息失败2"});
  bool reason = false;
  for (const auto& line : person.Log(Log::Scan))
    reason |= line.find(missing.string()) != std::string::npos && line.find("No such file") != std::string::npos;
  EXPECT_TRUE(reason) << "the scan log should say why the image could not be opened";
}

// A made-up /sys/block tree.
void Write(const fs::path& p, const std::string& text) {
  fs::create_directories(p.parent_path());
  std::ofstream(p) << text << "\n";
}

TEST(PosixSources, ListsDisksAndPartitionsFromTheBlockTree) {
  fs::path root = test::TempDir("block_tree");
  fs::path sys = root / "sys", byLabel = root / "by-label";
  Write(sys / "sda/size", "976773168");
  Write(sys / "sda/removable", "0");
  Write(sys / "sda/device/vendor", "ATA");
  Write(sys / "sda/device/model", "Samsung SSD 860");
  Write(sys / "sda/sda1/partition", "1");
  Write(sys / "sda/sda1/size", "1024000");
  Write(sys / "sda/sda2/partition", "2");
  Write(sys / "sda/sda2/size", "975747072");
  Write(sys / "sda/queue/x", "");  // not a partition
  Write(sys / "sdb/size", "7831552");
  Write(sys / "sdb/removable", "1");
  Write(sys / "sdb/device/vendor", "Kingston");
  Write(sys / "sdb/device/model", "DataTraveler");
  Write(sys / "sdc/size", "0");  // card reader without a card
  Write(sys / "loop0/size", "100");
  Write(sys / "zram0/size", "100");
  Write(sys / "dm-0/size", "100");
  Write(sys / "sr0/size", "0");
  fs::create_directories(byLabel);
  fs::create_symlink("../../sda1", byLabel / "my\\x20disk");
  fs::create_symlink("../../sdb", byLabel / "STICK");

  SourceMenu menu = posix::EnumerateSourcesIn({sys.string(), byLabel.string(), "/dev"});
  ASSERT_EQ(menu.disks.size(), 2u);
  EXPECT_EQ(menu.disks[0].caption, "本地磁盘 0 (465.76 GB) /dev/sda Samsung SSD 860");
  EXPECT_EQ(menu.disks[0].path, "/dev/sda");
  EXPECT_EQ(menu.disks[1].caption, "可移动存储 1 (3.73 GB) /dev/sdb Kingston DataTraveler");
  EXPECT_TRUE(menu.disks[1].removable);

  ASSERT_EQ(menu.drives.size(), 4u);
  EXPECT_EQ(menu.drives[0].path, "/dev/sda1");
  EXPECT_EQ(menu.drives[0].keptText, "/dev/sda1 [MY DISK]");
  EXPECT_EQ(menu.drives[0].caption, "逻辑分区 /dev/sda1 [MY DISK] ");
  EXPECT_EQ(menu.drives[0].sizeBytes, 1024000 * 512LL);
  EXPECT_EQ(menu.drives[1].keptText, "/dev/sda2 []");
  EXPECT_EQ(menu.drives[2].keptText, "/dev/sdb [STICK]");  // a stick without a partition table
  EXPECT_EQ(menu.drives[3].keptText, "/dev/sr0 []");
  EXPECT_EQ(menu.drives[3].sizeBytes, -1);
  for (size_t i = 0; i < menu.drives.size(); ++i) EXPECT_EQ(menu.drives[i].driveNumber, int(i) + 1);

  EXPECT_TRUE(posix::EnumerateSourcesIn({(root / "none").string(), (root / "none").string(), "/dev"}).disks.empty());
  EXPECT_EQ(posix::DecodeUdevEscapes("A\\x20B\\x2fC\\x2"), "A B/C\\x2");
}

}  // namespace
}  // namespace sorrelon
