// Windows listing: physical drives 0..255 by their geometry, and the drive
// letters A..Z that are removable, fixed or CD-ROM drives.
#include <windows.h>
#include <winioctl.h>

#include <vector>

#include "storage/sources.h"
#include "storage/windows/win_text.h"

namespace sorrelon {
namespace {

constexpr size_t kMaxDisks = 31;

bool RemovableMedia(MEDIA_TYPE t) {
  int m = int(t);
  return (m >= 1 && m <= 11) || (m >= 13 && m <= 22);
}

// Vendor and product of a disk, trimmed; empty when the device will not say.
std::string Model(HANDLE h) {
  STORAGE_PROPERTY_QUERY q{};
  q.PropertyId = StorageDeviceProperty;
  q.QueryType = PropertyStandardQuery;
  std::vector<uint8_t> buf(4096);
  DWORD bytes = 0;
  if (!::DeviceIoControl(h, IOCTL_STORAGE_QUERY_PROPERTY, &q, sizeof q, buf.data(), DWORD(buf.size()), &bytes,
                         nullptr) ||
      bytes < sizeof(STORAGE_DEVICE_DESCRIPTOR))
    return {};
  auto* d = reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR*>(buf.data());
  auto field = [&](DWORD off) -> std::string {
    if (off == 0 || off >= bytes) return {};
    std::string s;
    for (DWORD i = off; i < bytes && buf[i] != 0; ++i) s += char(buf[i]);
    while (!s.empty() && s.back() == ' ') s.pop_back();
    while (!s.empty() && s.front() == ' ') s.erase(0, 1);
    return s;
  };
  std::string vendor = field(d->VendorIdOffset), product = field(d->ProductIdOffset);
  if (vendor.empty()) return product;
  if (product.empty()) return vendor;
  return vendor + " " + product;
}

// Sectors of 512 bytes and the removable flag of physical drive n.
bool DiskParameters(int n, int64_t& sectors, bool& removable, std::string& model) {
  const std::wstring path = L"\\\\.\\PhysicalDrive" + std::to_wstring(n);
  HANDLE h = ::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD bytes = 0;
  bool ok = false;
  // The extended answer carries the disk's whole size, sectors after the
  // last whole cylinder included.
  std::vector<uint8_t> buf(sizeof(DISK_GEOMETRY_EX) + 256);
  if (::DeviceIoControl(h, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, buf.data(), DWORD(buf.size()), &bytes,
                        nullptr) &&
      bytes >= sizeof(DISK_GEOMETRY) + sizeof(LARGE_INTEGER)) {
    auto* g = reinterpret_cast<const DISK_GEOMETRY_EX*>(buf.data());
    sectors = g->DiskSize.QuadPart / 512;
    removable = RemovableMedia(g->Geometry.MediaType);
    ok = true;
  } else {
    DISK_GEOMETRY g{};
    if (::DeviceIoControl(h, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &g, sizeof g, &bytes, nullptr)) {
      sectors = int64_t(g.Cylinders.QuadPart) * g.TracksPerCylinder * g.SectorsPerTrack * g.BytesPerSector / 512;
      removable = RemovableMedia(g.MediaType);
      ok = true;
    }
  }
  if (ok) model = Model(h);
  ::CloseHandle(h);
  return ok;
}

}  // namespace

SourceMenu EnumerateSources() {
  SourceMenu menu;
  for (int n = 0; n <= 255 && menu.disks.size() < kMaxDisks; ++n) {
    DiskEntry d;
    if (!DiskParameters(n, d.totalSectors, d.removable, d.description)) continue;
    d.number = n;
    d.path = "\\\\.\\PhysicalDrive" + std::to_string(n);
    d.caption = DiskCaption(n, d.removable, d.totalSectors, d.description);
    menu.disks.push_back(std::move(d));
  }
  for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
    const std::wstring root = std::wstring(1, letter) + L":\\";
    const UINT type = ::GetDriveTypeW(root.c_str());
    if (type != DRIVE_REMOVABLE && type != DRIVE_FIXED && type != DRIVE_CDROM) continue;
    DriveEntry d;
    d.driveNumber = int(letter - L'A') + 1;
    d.path = "\\\\.\\" + std::string(1, char(letter)) + ":";
    d.root = std::string(1, char(letter)) + ":\\";
    // No "insert a disk" boxes for empty drives while asking.
    const UINT previous = ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    wchar_t label[MAX_PATH + 1] = {};
    if (::GetVolumeInformationW(root.c_str(), label, MAX_PATH + 1, nullptr, nullptr, nullptr, nullptr, 0)) {
      ::CharUpperW(label);
      d.label = win::Narrow(label, wcslen(label));
    }
    ULARGE_INTEGER total{};
    if (::GetDiskFreeSpaceExW(root.c_str(), nullptr, &total, nullptr)) d.sizeBytes = int64_t(total.QuadPart);
    ::SetErrorMode(previous);
    d.keptText = d.root + " " + DriveLabelText(d.label);
    d.caption = "逻辑分区 " + d.keptText + " ";
    menu.drives.push_back(std::move(d));
  }
  return menu;
}

}  // namespace sorrelon
