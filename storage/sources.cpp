#include "storage/sources.h"

#include <cstring>
#include <vector>

#include "base/bytes.h"
#include "base/text.h"

namespace sorrelon {
namespace {

constexpr const char* kCaptionHint = "提示";

// Sectors per cluster from byte 13 of an NTFS boot sector. Values above 0x80
// encode clusters larger than 64 KB as a negative power of two
// (0xF4 = 2^12 sectors = 2 MB); smaller values are the count itself.
int16_t NtfsSectorsPerCluster(uint8_t b) {
  if (b > 0x80) {
    int shift = 256 - int(b);
    if (shift <= 14) return int16_t(1 << shift);
  }
  return int16_t(b);
}

// Logs why the source could not be opened, beside the system's own message.
void LogOpenError(const SectorReader& reader, Person& person) {
  if (!reader.LastOpenError().empty()) person.AddLog(Log::Scan, "(" + reader.LastOpenError() + ")");
}

// Fills the range fields for a parsed volume.
void FillVolumeFields(DataSource& ds, SourceFields& fields) {
  fields.freeSpaceChecked = true;
  fields.begin = std::to_string(ds.dataStartSector);
  ds.endSector = ds.dataStartSector + ds.sectorBound;
  fields.end = std::to_string(ds.endSector);
  fields.secs = std::to_string(ds.sectorsPerCluster);
  fields.label5 = ds.fileSystemName;
}

// Fills the range fields for a whole disk (or an image read as one).
void FillDiskFields(DataSource& ds, SourceFields& fields) {
  fields.freeSpaceChecked = false;
  fields.begin = std::to_string(0);
  fields.end = std::to_string(ds.sectorBound);
  ds.endSector = ds.sectorBound;
  fields.secs = std::to_string(1);
  fields.label5.clear();
}

}  // namespace

std::string DiskSizeText(int64_t totalSectors) {
  double mb = double(totalSectors) / 2048.0;
  if (mb >= 1000.0) return FormatFixed2(mb / 1024.0) + " GB)";
  return FormatFixed2(mb) + " MB)";
}

std::string DiskCaption(int number, bool removable, int64_t totalSectors, const std::string& description) {
  std::string c = removable ? "可移动存储 " : "本地磁盘 ";
  c += std::to_string(number);
  c += " (";
  c += DiskSizeText(totalSectors);
  c += ' ';
  c += description;
  return c;
}

std::string DriveLabelText(const std::string& label) {
  std::string up = label;
  for (char& ch : up)
    if (ch >= 'a' && ch <= 'z') ch = char(ch - 'a' + 'A');
  return "[" + up + "]";
}

bool ParseBootSector(DataSource& ds, SectorReader& reader, Person& person) {
  uint8_t s[kSectorSize];
  std::memset(s, 0, sizeof s);
  if (!reader.ReadSectors(1, s, 0)) {
    person.AddLog(Log::Scan, "512error 读取sec0");
    LogOpenError(reader, person);
    return false;
  }
  if (std::memcmp(s + 3, "NTFS", 4) == 0) {
    ds.fileSystemName = "NTFS";
    ds.sectorsPerCluster = NtfsSectorsPerCluster(s[13]);
    ds.mftStartCluster = Le64(s + 48);
    ds.dataStartSector = 0;
  } else if (std::memcmp(s + 82, "FAT32", 5) == 0) {
    ds.fileSystemName = "FAT32";
    ds.sectorsPerCluster = int16_t(s[13]);
    ds.fatReservedSectors = Le16(s + 14);
    ds.fatSizeSectors = Le32(s + 36);
    // Two FATs are assumed, whatever the boot sector's FAT count says.
    ds.dataStartSector = int64_t(ds.fatReservedSectors + 2 * ds.fatSizeSectors);
  } else {
    ds.fileSystemName = "不可识别";
    ds.sectorsPerCluster = int16_t(s[13]);
    ds.dataStartSector = 0;
  }
  return true;
}

void ChooseDisk(const DiskEntry& disk, DataSource& ds, SectorReader& reader, SourceFields& fields, Person& person) {
  fields.dataStr = disk.caption;
  ds.devicePath = disk.path;
  ds.isLogicalDrive = false;
  ds.sourceChosen = true;
  // Sector 0 is read to open the disk; its content is not used.
  uint8_t s[kSectorSize];
  if (!reader.ReadSectors(1, s, 0)) LogOpenError(reader, person);
  int64_t sectors = reader.SourceSectors();
  if (sectors > 0)
    ds.sectorBound = sectors;
  else if (disk.totalSectors > 0)
    ds.sectorBound = disk.totalSectors;
  ds.hasFileSystem = false;
  fields.freeSpaceEnabled = false;
  FillDiskFields(ds, fields);
}

bool ChooseDrive(const DriveEntry& drive, DataSource& ds, SectorReader& reader, SourceFields& fields, Person& person) {
  // The size of the volume: the opened device's own length when it can be
  // had, else what the listing found.
  int64_t size = drive.sizeBytes;
  {
    OpenedDevice probe = OpenDeviceReadOnly(drive.path);
    if (probe.device && probe.device->Size() >= 0) size = probe.device->Size();
  }
  if (size < 1) {
    person.Message("分区无效！", kCaptionHint, Icon::Warning);
    return false;
  }
  ds.driveNumber = uint8_t(drive.driveNumber);
  ds.devicePath = drive.path;
  ds.sectorBound = size / kSectorSize - 1;
  fields.dataStr = drive.keptText;
  ds.sourceChosen = true;
  ds.isLogicalDrive = true;
  ds.hasFileSystem = true;
  fields.freeSpaceChecked = false;
  fields.freeSpaceEnabled = true;
  if (!ParseBootSector(ds, reader, person)) {
    person.Message("取分区信息失败", kCaptionHint, Icon::None);
    return false;
  }
  FillVolumeFields(ds, fields);
  return true;
}

bool ChooseImage(const std::string& path, bool isPartitionImage, DataSource& ds, SectorReader& reader,
                 SourceFields& fields, Person& person) {
  fields.dataStr = path;
  ds.isLogicalDrive = false;
  ds.devicePath = path;
  ds.sourceChosen = true;
  // Every read is addressed in 512-byte sectors at byte offset sector x 512,
  // so no device's sector size has to be learnt here.
  int64_t sectors = reader.SourceSectors();
  if (sectors < 0) {
    LogOpenError(reader, person);
    sectors = 0;
  }
  ds.sectorBound = sectors;
  ds.hasFileSystem = false;
  fields.freeSpaceChecked = false;
  fields.freeSpaceEnabled = false;
  if (isPartitionImage) {
    ds.hasFileSystem = true;
    fields.freeSpaceEnabled = true;
    if (!ParseBootSector(ds, reader, person)) {
      person.Message("取分区信息失败2", kCaptionHint, Icon::None);
      return false;
    }
    FillVolumeFields(ds, fields);
    return true;
  }
  FillDiskFields(ds, fields);
  return true;
}

bool ChooseImageInteractive(DataSource& ds, SectorReader& reader, SourceFields& fields, Person& person) {
  auto path = person.ChooseOpenFile("打开镜像文件",
                                    "镜像文件(*.hdd;*.img;*.dsr;*.bin)|*.hdd;*.img;*.dsr;*.bin|所有文件(*.*)|*");
  if (!path || path->empty()) return false;
  bool partition = person.Ask("此镜像文件是逻辑分区镜像请选是，是整个磁盘镜像请选否", "数据文件类型选择");
  return ChooseImage(*path, partition, ds, reader, fields, person);
}

}  // namespace sorrelon
