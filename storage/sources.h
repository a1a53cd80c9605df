// The data-source menu (physical disks and logical drives) and what choosing
// a disk, a drive or an image fills in: the descriptor and the first tab's
// scan-range fields, as plain values both fronts show.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/person.h"
#include "storage/data_source.h"
#include "storage/sector_reader.h"

namespace sorrelon {

// What the first tab shows after a choice.
struct SourceFields {
  std::string dataStr = "......右键设置数据源(RIGHT CLICK TO CHOOSE DS )......";  // edtDataStr
  std::string begin;   // edtbegin
  std::string end;     // edtend
  std::string secs;    // edtsecs
  std::string label5;  // file-system name
  bool freeSpaceChecked = true;  // chkfreespace
  bool freeSpaceEnabled = true;
};

struct DiskEntry {
  int number = 0;          // N of the caption
  std::string path;        // /dev/sda, \\.\PhysicalDrive0
  int64_t totalSectors = 0;
  bool removable = false;
  std::string description; // model or name, so a person can tell devices apart
  std::string caption;     // menu caption
};

struct DriveEntry {
  int driveNumber = 0;     // Windows: 1 = A:; POSIX: position in the list, from 1
  std::string path;        // /dev/sda1, \\.\C:
  std::string root;        // "C:\" or the device path
  std::string label;       // upper-case label, may be empty
  int64_t sizeBytes = -1;  // -1 when unknown
  std::string keptText;    // root + " [" + label + "]"
  std::string caption;     // "逻辑分区 " + keptText + " "
};

struct SourceMenu {
  std::vector<DiskEntry> disks;    // at most 31
  std::vector<DriveEntry> drives;  // at most 26
};

// Size text of a disk: "465.76 GB)" or "999.00 MB)".
std::string DiskSizeText(int64_t totalSectors);
// "本地磁盘 0 (465.76 GB) " or "可移动存储 1 (…) ", followed by the description
// when there is one.
std::string DiskCaption(int number, bool removable, int64_t totalSectors, const std::string& description = {});
// "[LABEL]" upper-cased; "[]" for an empty label.
std::string DriveLabelText(const std::string& label);

// Lists the machine's disks and drives (platform backend).
SourceMenu EnumerateSources();

// Reads sector 0 of the current source and sets the file-system fields.
// On a read failure adds "512error 读取sec0" to the scan log and answers false.
bool ParseBootSector(DataSource& ds, SectorReader& reader, Person& person);

// The three choices. Each fills `ds` and `fields` exactly as the first tab
// shows them; failures are reported through `person`.
void ChooseDisk(const DiskEntry& disk, DataSource& ds, SectorReader& reader, SourceFields& fields, Person& person);
bool ChooseDrive(const DriveEntry& drive, DataSource& ds, SectorReader& reader, SourceFields& fields, Person& person);
// `isPartitionImage` is the answer to "此镜像文件是逻辑分区镜像请选是，是整个磁盘镜像请选否".
bool ChooseImage(const std::string& path, bool isPartitionImage, DataSource& ds, SectorReader& reader,
                 SourceFields& fields, Person& person);
// N7Click: asks for the image with the open dialog and the partition question.
bool ChooseImageInteractive(DataSource& ds, SectorReader& reader, SourceFields& fields, Person& person);

}  // namespace sorrelon
