#include "storage/posix/enumerate_posix.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <system_error>

#include "base/text.h"

namespace sorrelon {
namespace posix {
namespace {

namespace fs = std::filesystem;

constexpr size_t kMaxDisks = 31;
constexpr size_t kMaxDrives = 26;

std::string ReadLine(const fs::path& p) {
  std::ifstream in(p);
  std::string s;
  if (in) std::getline(in, s);
  return std::string(Trim(s));
}

int64_t ReadSectors512(const fs::path& dir) {
  auto v = ParseInt64(ReadLine(dir / "size"));
  return v && *v > 0 ? *v : 0;
}

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

bool Excluded(const std::string& name) {
  for (const char* p : {"loop", "ram", "zram", "dm-", "md", "nbd", "fd"})
    if (StartsWith(name, p)) return true;
  return false;
}

// Orders names as a person counts them: sdb before sdaa, nvme0n2 before nvme0n10.
bool NaturalLess(const std::string& a, const std::string& b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    bool da = std::isdigit(static_cast<unsigned char>(a[i])), db = std::isdigit(static_cast<unsigned char>(b[j]));
    if (da && db) {
      size_t i2 = i, j2 = j;
      while (i2 < a.size() && std::isdigit(static_cast<unsigned char>(a[i2]))) ++i2;
      while (j2 < b.size() && std::isdigit(static_cast<unsigned char>(b[j2]))) ++j2;
      std::string na = a.substr(i, i2 - i), nb = b.substr(j, j2 - j);
      na.erase(0, std::min(na.find_first_not_of('0'), na.size()));
      nb.erase(0, std::min(nb.find_first_not_of('0'), nb.size()));
      if (na.size() != nb.size()) return na.size() < nb.size();
      if (na != nb) return na < nb;
      i = i2;
      j = j2;
    } else {
      if (a[i] != b[j]) return a[i] < b[j];
      ++i;
      ++j;
    }
  }
  if (a.size() - i != b.size() - j) return a.size() - i < b.size() - j;
  return false;
}

std::vector<std::string> SortedNames(const fs::path& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) names.push_back(it->path().filename().string());
  std::sort(names.begin(), names.end(), NaturalLess);
  return names;
}

// Device name -> label, from the by-label links.
std::map<std::string, std::string> Labels(const fs::path& byLabel) {
  std::map<std::string, std::string> out;
  std::error_code ec;
  for (fs::directory_iterator it(byLabel, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code e2;
    fs::path target = fs::read_symlink(it->path(), e2);
    if (e2) continue;
    out[target.filename().string()] = DecodeUdevEscapes(it->path().filename().string());
  }
  return out;
}

std::string Description(const std::string& devPath, const fs::path& diskDir) {
  std::string vendor = ReadLine(diskDir / "device" / "vendor");
  std::string model = ReadLine(diskDir / "device" / "model");
  std::string d = devPath;
  if (!vendor.empty() && vendor != "ATA" && vendor.rfind("0x", 0) != 0) d += " " + vendor;  // not a bare PCI id
  if (!model.empty()) d += " " + model;
  return d;
}

DriveEntry MakeDrive(int number, const std::string& path, int64_t sectors512, const std::string& label) {
  DriveEntry d;
  d.driveNumber = number;
  d.path = path;
  d.root = path;
  d.label = label;
  for (char& c : d.label)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  d.sizeBytes = sectors512 > 0 ? sectors512 * 512 : -1;
  d.keptText = d.root + " " + DriveLabelText(label);
  d.caption = "逻辑分区 " + d.keptText + " ";
  return d;
}

}  // namespace

std::string DecodeUdevEscapes(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x' && std::isxdigit(static_cast<unsigned char>(s[i + 2])) &&
        std::isxdigit(static_cast<unsigned char>(s[i + 3]))) {
      out += char(std::stoi(s.substr(i + 2, 2), nullptr, 16));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

SourceMenu EnumerateSourcesIn(const BlockTree& tree) {
  SourceMenu menu;
  const fs::path sys(tree.sysBlock), dev(tree.dev);
  auto labels = Labels(tree.byLabel);
  auto addDrive = [&](const std::string& name, int64_t sectors) {
    if (menu.drives.size() >= kMaxDrives) return;
    auto it = labels.find(name);
    menu.drives.push_back(
        MakeDrive(int(menu.drives.size()) + 1, (dev / name).string(), sectors, it == labels.end() ? "" : it->second));
  };
  for (const std::string& name : SortedNames(sys)) {
    if (Excluded(name)) continue;
    fs::path dir = sys / name;
    if (ReadLine(dir / "hidden") == "1") continue;
    const std::string path = (dev / name).string();
    int64_t sectors = ReadSectors512(dir);
    if (StartsWith(name, "sr")) {  // an optical drive reads as one volume
      addDrive(name, sectors);
      continue;
    }
    if (sectors <= 0) continue;  // no medium
    if (menu.disks.size() < kMaxDisks) {
      DiskEntry d;
      d.number = int(menu.disks.size());
      d.path = path;
      d.totalSectors = sectors;
      d.removable = ReadLine(dir / "removable") == "1";
      d.description = Description(path, dir);
      d.caption = DiskCaption(d.number, d.removable, d.totalSectors, d.description);
      menu.disks.push_back(std::move(d));
    }
    bool anyPartition = false;
    std::error_code ec;
    for (const std::string& part : SortedNames(dir)) {
      if (!StartsWith(part, name.c_str()) || !fs::exists(dir / part / "partition", ec)) continue;
      anyPartition = true;
      addDrive(part, ReadSectors512(dir / part));
    }
    if (!anyPartition) addDrive(name, sectors);
  }
  return menu;
}

}  // namespace posix

SourceMenu EnumerateSources() { return posix::EnumerateSourcesIn(posix::BlockTree{}); }

}  // namespace sorrelon
