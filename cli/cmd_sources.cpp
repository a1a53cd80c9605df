// `sorrelon sources`: the data-source menu's disks and drives.
// `sorrelon source SOURCE [--volume|--disk]`: chooses a source as the first
// tab does and prints the tab's fields and the descriptor.
#include <cstring>
#include <iostream>

#include "cli/command.h"
#include "cli/console_person.h"
#include "storage/sources.h"

namespace sorrelon::cli {
namespace {

int RunSources(const Args& args) {
  if (!args.empty()) {
    std::cerr << "usage: sorrelon sources\n";
    return 2;
  }
  SourceMenu menu = EnumerateSources();
  for (const DiskEntry& d : menu.disks) std::cout << d.caption << "\n";
  std::cout << "-\n";
  for (const DriveEntry& d : menu.drives) std::cout << d.caption << "\n";
  return 0;
}

// Whether sector 0 of `path` is an NTFS or FAT32 boot sector.
bool HasBootSector(const std::string& path) {
  DataSource probe;
  probe.devicePath = path;
  SectorReader reader(probe);
  uint8_t s[512];
  if (!reader.ReadSectors(1, s, 0)) return false;
  return std::memcmp(s + 3, "NTFS", 4) == 0 || std::memcmp(s + 82, "FAT32", 5) == 0;
}

const char* YesNo(bool b) { return b ? "true" : "false"; }

void PrintChoice(const DataSource& ds, const SourceFields& f) {
  std::cout << "edtDataStr: " << f.dataStr << "\n"
            << "label5: " << f.label5 << "\n"
            << "edtbegin: " << f.begin << "\n"
            << "edtend: " << f.end << "\n"
            << "edtsecs: " << f.secs << "\n"
            << "chkfreespace: " << (f.freeSpaceChecked ? "checked" : "unchecked") << ", "
            << (f.freeSpaceEnabled ? "enabled" : "disabled") << "\n"
            << "sourceChosen: " << YesNo(ds.sourceChosen) << "\n"
            << "isLogicalDrive: " << YesNo(ds.isLogicalDrive) << "\n"
            << "driveNumber: " << int(ds.driveNumber) << "\n"
            << "devicePath: " << ds.devicePath << "\n"
            << "sectorBound: " << ds.sectorBound << "\n"
            << "endSector: " << ds.endSector << "\n"
            << "hasFileSystem: " << YesNo(ds.hasFileSystem) << "\n"
            << "fileSystemName: " << ds.fileSystemName << "\n"
            << "sectorsPerCluster: " << ds.sectorsPerCluster << "\n"
            << "dataStartSector: " << ds.dataStartSector << "\n"
            << "mftStartCluster: " << ds.mftStartCluster << "\n"
            << "fatReservedSectors: " << ds.fatReservedSectors << "\n"
            << "fatSizeSectors: " << ds.fatSizeSectors << "\n"
            << "readFromSource: " << YesNo(ds.readFromSource) << "\n";
}

int RunSource(const Args& args) {
  std::string path;
  int kind = 0;  // 1 volume, 2 whole disk, 0 by sector 0
  for (const std::string& a : args) {
    if (a == "--volume") {
      kind = 1;
    } else if (a == "--disk") {
      kind = 2;
    } else if (path.empty() && !a.empty() && a[0] != '-') {
      path = a;
    } else {
      path.clear();
      break;
    }
  }
  if (path.empty()) {
    std::cerr << "usage: sorrelon source SOURCE [--volume|--disk]\n";
    return 2;
  }
  DataSource ds;
  ds.readFromSource = true;
  SectorReader reader(ds);
  SourceFields fields;
  ConsolePerson person;
  bool ok = true;
  // A listed disk or drive is chosen as its menu item would be.
  SourceMenu menu = EnumerateSources();
  const DiskEntry* disk = nullptr;
  const DriveEntry* drive = nullptr;
  for (const auto& d : menu.disks)
    if (d.path == path) disk = &d;
  for (const auto& d : menu.drives)
    if (d.path == path) drive = &d;
  if (drive && kind != 2) {
    ok = ChooseDrive(*drive, ds, reader, fields, person);
  } else if (disk && kind != 1) {
    ChooseDisk(*disk, ds, reader, fields, person);
  } else {
    bool volume = kind == 1 || (kind == 0 && HasBootSector(path));
    ok = ChooseImage(path, volume, ds, reader, fields, person);
  }
  if (!reader.LastOpenError().empty()) std::cerr << "sorrelon: " << reader.LastOpenError() << "\n";
  PrintChoice(ds, fields);
  return ok && reader.LastOpenError().empty() ? 0 : 1;
}

Registrar sourcesCommand("sources", "list the disks and drives of the data-source menu", RunSources);
Registrar sourceCommand("source", "SOURCE [--volume|--disk]: choose a source and show the first tab's fields",
                        RunSource);

}  // namespace
}  // namespace sorrelon::cli
