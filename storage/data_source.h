// The one record of the chosen data source: which device or file is read,
// where it ends, and the file-system facts the scan and the free-space map need.
#pragma once

#include <cstdint>
#include <string>

namespace sorrelon {

struct DataSource {
  bool sourceChosen = false;
  // true: a volume (partition or logical drive); the end cut keeps the last
  // sector endSector. false: a whole disk or an image; endSector is a count.
  bool isLogicalDrive = false;
  uint8_t driveNumber = 0;  // Windows drive letter number, 1 = A:
  std::string devicePath;   // UTF-8 path of the disk, partition, volume or image
  int64_t sectorBound = 0;
  int64_t endSector = 0;  // 0 or less: no cut
  bool hasFileSystem = false;
  std::string fileSystemName;  // "NTFS", "FAT32" or "不可识别"
  int16_t sectorsPerCluster = 0;
  int64_t dataStartSector = 0;
  uint64_t mftStartCluster = 0;
  uint64_t fatReservedSectors = 0;
  uint64_t fatSizeSectors = 0;
  bool readFromSource = true;
};

}  // namespace sorrelon
