// A small check of the Windows storage backend, run under Wine by
// scripts/cross-windows: reads of an image file through the sector reader
// (end cut, reopen on a path change, open failure text), the boot-sector
// parse and image choice, the GB18030 codec, the disk/drive listing, and that
// the source is held without write access.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "storage/codec.h"
#include "storage/sector_reader.h"
#include "storage/sources.h"

using namespace sorrelon;

static int failures = 0;
#define CHECK(c)                                                   \
  do {                                                             \
    if (!(c)) {                                                    \
      std::printf("FAILED %s:%d: %s\n", __FILE__, __LINE__, #c);   \
      ++failures;                                                  \
    }                                                              \
  } while (0)

static void WriteImage(const std::string& path, int sectors, bool fat32) {
  std::vector<uint8_t> b(size_t(sectors) * 512, 0xA5);
  for (int i = 0; i < sectors; ++i) PutLe64(&b[size_t(i) * 512], uint64_t(i));
  if (fat32) {
    b[13] = 8;
    PutLe16(&b[14], 32);
    PutLe32(&b[36], 100);
    std::memcpy(&b[82], "FAT32", 5);
  }
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

int main() {
  const std::string a = "smoke-a.img", b = "smoke-b.img";
  WriteImage(a, 100, true);
  WriteImage(b, 10, false);

  DataSource ds;
  ds.devicePath = a;
  SectorReader reader(ds);
  std::vector<uint8_t> buf(10 * 512);
  CHECK(reader.SourceSectors() == 100);
  ds.endSector = 50;
  CHECK(reader.ReadSectorsUpTo(10, buf.data(), 45) == 5);
  CHECK(Le64(&buf[4 * 512]) == 49 && buf[5 * 512] == 0);
  ds.endSector = 0;
  CHECK(reader.ReadSectorsUpTo(10, buf.data(), 95) == 5);
  CHECK(reader.ReadSectors(3, buf.data(), 7) && Le64(&buf[2 * 512]) == 9);
  CHECK(reader.ReadSectors(0, buf.data(), 1000));
  // The reader holds `a` open without write access: an open that refuses to
  // share writing succeeds beside it, and fails beside a handle that writes.
  {
    auto opensWithoutSharingWrites = [&]() {
      HANDLE h = ::CreateFileA(a.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
      if (h == INVALID_HANDLE_VALUE) return false;
      ::CloseHandle(h);
      return true;
    };
    CHECK(opensWithoutSharingWrites());
    HANDLE writer = ::CreateFileA(a.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  0, nullptr);
    CHECK(writer != INVALID_HANDLE_VALUE);
    CHECK(!opensWithoutSharingWrites());
    ::CloseHandle(writer);
  }
  ds.devicePath = b;
  CHECK(reader.SourceSectors() == 10);
  ds.devicePath = "smoke-missing.img";
  CHECK(!reader.ReadSectors(1, buf.data(), 0));
  CHECK(reader.LastOpenError().find("smoke-missing.img") != std::string::npos);
  std::printf("open failure text: %s\n", reader.LastOpenError().c_str());

  SilentPerson person;
  SourceFields fields;
  CHECK(ChooseImage(a, true, ds, reader, fields, person));
  CHECK(ds.fileSystemName == "FAT32" && ds.dataStartSector == 232 && fields.end == std::to_string(232 + 100));
  CHECK(ChooseImage(b, false, ds, reader, fields, person));
  CHECK(ds.sectorBound == 10 && fields.begin == "0" && fields.secs == "1");

  CHECK(Utf8ToGb18030("无效文件头") == std::string("\xCE\xDE\xD0\xA7\xCE\xC4\xBC\xFE\xCD\xB7"));
  CHECK(Gb18030ToUtf8("\xCE\xDE\xD0\xA7\xCE\xC4\xBC\xFE\xCD\xB7") == std::string("无效文件头"));
  CHECK(!Gb18030ToUtf8("\xCE"));

  SourceMenu menu = EnumerateSources();
  std::printf("disks %zu, drives %zu\n", menu.disks.size(), menu.drives.size());
  for (auto& d : menu.drives) CHECK(d.caption.rfind("逻辑分区 ", 0) == 0);

  reader.Close();
  std::remove(a.c_str());
  std::remove(b.c_str());
  std::printf(failures ? "storage smoke: %d failures\n" : "storage smoke: passed\n", failures);
  return failures ? 1 : 0;
}
