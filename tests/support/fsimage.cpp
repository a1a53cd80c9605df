#include "tests/support/fsimage.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "base/bytes.h"
#include "tests/support/testdata.h"

namespace sorrelon::test {
namespace fs = std::filesystem;

namespace {

const std::map<std::string, std::string>& ToolPackages() {
  static const std::map<std::string, std::string> m = {
      {"mkfs.vfat", "dosfstools"}, {"mcopy", "mtools"},       {"mdel", "mtools"},
      {"mshowfat", "mtools"},      {"mmd", "mtools"},      {"mkntfs", "ntfs-3g"},     {"ntfscp", "ntfs-3g"},
      {"ntfsinfo", "ntfs-3g"},     {"ntfscluster", "ntfs-3g"}, {"ntfstruncate", "ntfs-3g"}, {"ntfscat", "ntfs-3g"}, {"ntfsfallocate", "ntfs-3g"},
      {"sha256sum", "coreutils"}};
  return m;
}

// Full path of a program, looking in PATH and in the sbin folders, which a
// non-login PATH may lack.
std::string ToolPath(const std::string& name) {
  std::vector<std::string> dirs;
  if (const char* path = std::getenv("PATH")) {
    std::stringstream ss(path);
    std::string d;
    while (std::getline(ss, d, ':'))
      if (!d.empty()) dirs.push_back(d);
  }
  for (const char* d : {"/usr/local/sbin", "/usr/sbin", "/sbin", "/usr/bin", "/bin"}) dirs.push_back(d);
  for (const auto& d : dirs) {
    fs::path p = fs::path(d) / name;
    std::error_code ec;
    if (fs::is_regular_file(p, ec) && ::access(p.c_str(), X_OK) == 0) return p.string();
  }
  return {};
}

std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

// Runs a tool; on failure records the command and its output.
bool Tool(const std::string& name, const std::string& args, std::string* output = nullptr) {
  std::string path = ToolPath(name);
  if (path.empty()) {
    auto it = ToolPackages().find(name);
    ADD_FAILURE() << name << " not found (install the Debian package "
                  << (it == ToolPackages().end() ? std::string("that provides it") : it->second) << ")";
    return false;
  }
  std::string out;
  int rc = Run("MTOOLS_SKIP_CHECK=1 " + Quote(path) + " " + args + " </dev/null", &out);
  if (output) *output = out;
  if (rc != 0) {
    ADD_FAILURE() << name << " " << args << " failed with status " << rc << ":\n" << out;
    return false;
  }
  return true;
}

bool ReadBytesAt(const fs::path& p, int64_t offset, uint8_t* buf, size_t len) {
  std::ifstream in(p, std::ios::binary);
  in.seekg(offset);
  in.read(reinterpret_cast<char*>(buf), std::streamsize(len));
  return bool(in);
}

bool WriteBytesAt(const fs::path& p, int64_t offset, const uint8_t* buf, size_t len) {
  std::fstream f(p, std::ios::binary | std::ios::in | std::ios::out);
  f.seekp(offset);
  f.write(reinterpret_cast<const char*>(buf), std::streamsize(len));
  return bool(f);
}

bool MakeSizedFile(const fs::path& p, int64_t bytes) {
  std::error_code ec;
  fs::remove(p, ec);
  { std::ofstream(p, std::ios::binary); }
  fs::resize_file(p, uintmax_t(bytes), ec);
  if (ec) {
    ADD_FAILURE() << "cannot make " << p << " of " << bytes << " bytes: " << ec.message();
    return false;
  }
  return true;
}

// Sizes of the gaps that take a file of `clusters` clusters in `fragments` runs.
std::vector<int64_t> GapSizes(int64_t clusters, int fragments) {
  std::vector<int64_t> g;
  for (int i = 0; i < fragments; ++i) g.push_back(clusters / fragments + (i < clusters % fragments ? 1 : 0));
  return g;
}

}  // namespace

bool RequireTools(const std::vector<std::string>& programs) {
  std::string missing;
  for (const auto& p : programs) {
    if (!ToolPath(p).empty()) continue;
    auto it = ToolPackages().find(p);
    missing += " " + p + (it == ToolPackages().end() ? "" : " (package " + it->second + ")");
  }
  if (missing.empty()) return true;
  ADD_FAILURE() << "missing programs:" << missing;
  return false;
}

bool WriteRandomFile(const fs::path& p, int64_t bytes, uint32_t seed) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  uint64_t x = 0x9E3779B97F4A7C15ull ^ seed;
  std::vector<uint8_t> buf(1 << 16);
  for (int64_t done = 0; done < bytes;) {
    size_t n = size_t(std::min<int64_t>(int64_t(buf.size()), bytes - done));
    for (size_t i = 0; i < n; i += 8) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      for (size_t j = 0; j < 8 && i + j < n; ++j) buf[i + j] = uint8_t(x >> (8 * j));
    }
    out.write(reinterpret_cast<const char*>(buf.data()), std::streamsize(n));
    done += int64_t(n);
  }
  if (!out) ADD_FAILURE() << "cannot write " << p;
  return bool(out);
}

std::string FileSha256(const fs::path& p) {
  std::string out;
  if (!Tool("sha256sum", Quote(p.string()), &out)) return {};
  return out.substr(0, out.find(' '));
}

FileSnapshot TakeSnapshot(const fs::path& p) {
  FileSnapshot s;
  s.sha = FileSha256(p);
  struct stat st {};
  if (::stat(p.c_str(), &st) == 0) {
    s.size = st.st_size;
    s.mtimeSec = st.st_mtim.tv_sec;
    s.mtimeNsec = st.st_mtim.tv_nsec;
  }
  return s;
}

std::vector<int> OpenAccessModes(const fs::path& p) {
  std::vector<int> modes;
  const fs::path want = fs::canonical(p);
  for (auto& e : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (fs::read_symlink(e.path(), ec) != want || ec) continue;
    std::ifstream info("/proc/self/fdinfo/" + e.path().filename().string());
    std::string key, value;
    while (info >> key >> value)
      if (key == "flags:") modes.push_back(int(std::stol(value, nullptr, 8)) & O_ACCMODE);
  }
  return modes;
}

// ---------------------------------------------------------------- FAT32

std::string FatVolume::MtoolsImage() const {
  std::string s = image_.string();
  if (offsetSectors > 0) s += "@@" + std::to_string(offsetSectors * 512);
  return Quote(s);
}

bool FatVolume::Format() {
  std::string args = "-I -F 32 -S 512 -s " + std::to_string(options_.sectorsPerCluster) + " -f " +
                     std::to_string(options_.fatCount);
  if (!options_.label.empty()) args += " -n " + Quote(options_.label);
  if (offsetSectors > 0)
    args += " --offset=" + std::to_string(offsetSectors) + " -h " + std::to_string(offsetSectors);
  args += " " + Quote(image_.string());
  if (offsetSectors > 0) args += " " + std::to_string(volumeSectors / 2);
  return Tool("mkfs.vfat", args) && ReadLayout();
}

bool FatVolume::ReadLayout() {
  uint8_t b[512];
  if (!ReadBytesAt(image_, offsetSectors * 512, b, sizeof b)) {
    ADD_FAILURE() << "cannot read the boot sector of " << image_;
    return false;
  }
  sectorsPerCluster = b[13];
  reservedSectors = Le16(b + 14);
  fatCount = b[16];
  volumeSectors = Le32(b + 32);
  fatSectors = Le32(b + 36);
  dataStartSector = reservedSectors + int64_t(fatCount) * fatSectors;
  if (std::memcmp(b + 82, "FAT32", 5) != 0 || sectorsPerCluster == 0) {
    ADD_FAILURE() << image_ << " holds no FAT32 volume at sector " << offsetSectors;
    return false;
  }
  return true;
}

static int64_t FatMinimumBytes(const FatOptions& o) {
  // mtools accepts a FAT32 volume only from 65525 clusters on.
  const int64_t clusters = 66000;
  const int64_t fat = (clusters + 2) * 4 / 512 + 1;
  int64_t sectors = clusters * o.sectorsPerCluster + 32 + o.fatCount * fat + 64;
  return (sectors * 512 + (1 << 20) - 1) / (1 << 20) * (1 << 20);
}

bool FatVolume::Create(const fs::path& image, const FatOptions& options) {
  if (!RequireTools({"mkfs.vfat", "mcopy", "mdel", "mmd", "mshowfat"})) return false;
  image_ = image;
  options_ = options;
  offsetSectors = 0;
  int64_t bytes = options.sizeBytes > 0 ? options.sizeBytes : FatMinimumBytes(options);
  volumeSectors = bytes / 512;
  return MakeSizedFile(image, bytes) && Format();
}

bool FatVolume::CreateInDisk(const fs::path& image, const FatOptions& options, int64_t partitionStart) {
  if (!RequireTools({"mkfs.vfat", "mcopy", "mdel", "mmd", "mshowfat"})) return false;
  image_ = image;
  options_ = options;
  int64_t bytes = options.sizeBytes > 0 ? options.sizeBytes : FatMinimumBytes(options);
  offsetSectors = partitionStart;
  volumeSectors = bytes / 512;
  if (!MakeSizedFile(image, (partitionStart + volumeSectors) * 512)) return false;
  uint8_t mbr[512] = {};
  uint8_t* e = mbr + 446;
  e[0] = 0x00;
  e[1] = 0xFE, e[2] = 0xFF, e[3] = 0xFF;  // CHS fields unused: LBA only
  e[4] = 0x0C;                           // FAT32 (LBA)
  e[5] = 0xFE, e[6] = 0xFF, e[7] = 0xFF;
  PutLe32(e + 8, uint32_t(partitionStart));
  PutLe32(e + 12, uint32_t(volumeSectors));
  PutLe32(mbr + 440, 0x50534F52);  // disk signature
  mbr[510] = 0x55;
  mbr[511] = 0xAA;
  if (!WriteBytesAt(image, 0, mbr, sizeof mbr)) {
    ADD_FAILURE() << "cannot write the partition table of " << image;
    return false;
  }
  return Format();
}

bool FatVolume::CopyIn(const fs::path& local, const std::string& name) {
  return Tool("mcopy", "-o -i " + MtoolsImage() + " " + Quote(local.string()) + " " + Quote("::/" + name));
}

bool FatVolume::Delete(const std::string& name) {
  return Tool("mdel", "-i " + MtoolsImage() + " " + Quote("::/" + name));
}

bool FatVolume::QuickFormat() { return Format(); }

std::vector<Extent> FatVolume::Extents(const std::string& name) const {
  std::string out;
  if (!Tool("mshowfat", "-i " + MtoolsImage() + " " + Quote("::/" + name), &out)) return {};
  std::vector<Extent> v;
  static const std::regex run("<([0-9]+)(?:-([0-9]+))?>");
  for (std::sregex_iterator it(out.begin(), out.end(), run), end; it != end; ++it) {
    Extent e;
    e.firstCluster = std::stoll((*it)[1]);
    int64_t last = (*it)[2].matched ? std::stoll((*it)[2]) : e.firstCluster;
    e.clusters = last - e.firstCluster + 1;
    e.firstSector = SectorOfCluster(e.firstCluster);
    e.sectors = e.clusters * sectorsPerCluster;
    v.push_back(e);
  }
  if (v.empty()) ADD_FAILURE() << "no clusters listed for " << name << ": " << out;
  return v;
}

bool FatVolume::CopyInFragmented(const fs::path& local, const std::string& name, int fragments) {
  const int64_t clusterBytes = int64_t(sectorsPerCluster) * 512;
  std::error_code ec;
  const int64_t size = int64_t(fs::file_size(local, ec));
  const int64_t clusters = (size + clusterBytes - 1) / clusterBytes;
  if (ec || fragments < 1 || clusters < fragments) {
    ADD_FAILURE() << local << " (" << clusters << " clusters) cannot lie in " << fragments << " fragments";
    return false;
  }
  // Fillers live in their own folder so the root folder does not grow into
  // the gaps. Gap i is filler A of exactly the size of the file's run i; a
  // one-cluster filler B after it keeps the runs apart.
  const std::string dir = "FILL" + std::to_string(fillers_);
  if (!Tool("mmd", "-i " + MtoolsImage() + " " + Quote("::/" + dir))) return false;
  const fs::path tmp = image_.parent_path() / (image_.filename().string() + ".filler");
  std::vector<std::string> gaps;
  for (int64_t g : GapSizes(clusters, fragments)) {
    for (int64_t n : {g, int64_t(1)}) {
      if (!WriteRandomFile(tmp, n * clusterBytes, uint32_t(fillers_))) return false;
      std::string f = dir + "/F" + std::to_string(fillers_++);
      if (!CopyIn(tmp, f)) return false;
      if (n == g) gaps.push_back(f);
    }
  }
  fs::remove(tmp, ec);
  for (const auto& g : gaps)
    if (!Delete(g)) return false;
  // Forget the FSInfo hint of the next free cluster so the allocation starts
  // from the first free cluster, which is the first gap.
  uint8_t boot[512];
  if (!ReadBytesAt(image_, offsetSectors * 512, boot, sizeof boot)) return false;
  const int64_t fsinfo = (offsetSectors + Le16(boot + 48)) * 512;
  uint8_t none[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  if (!WriteBytesAt(image_, fsinfo + 492, none, 4)) return false;
  if (!CopyIn(local, name)) return false;
  auto ext = Extents(name);
  if (int(ext.size()) != fragments) {
    ADD_FAILURE() << name << " lies in " << ext.size() << " fragments, not " << fragments
                  << " (the volume must have no free holes before its end)";
    return false;
  }
  return true;
}

// ---------------------------------------------------------------- NTFS

bool NtfsVolume::ReadLayout() {
  uint8_t b[512];
  if (!ReadBytesAt(image_, 0, b, sizeof b) || std::memcmp(b + 3, "NTFS", 4) != 0) {
    ADD_FAILURE() << image_ << " holds no NTFS volume";
    return false;
  }
  sectorsPerCluster = b[13];
  volumeSectors = int64_t(Le64(b + 40));
  mftStartCluster = int64_t(Le64(b + 48));
  return sectorsPerCluster > 0;
}

bool NtfsVolume::Create(const fs::path& image, const NtfsOptions& options) {
  if (!RequireTools({"mkntfs", "ntfscp", "ntfsinfo", "ntfscat", "ntfstruncate", "ntfsfallocate"})) return false;
  image_ = image;
  options_ = options;
  return MakeSizedFile(image, options.sizeBytes) && QuickFormat();
}

bool NtfsVolume::QuickFormat() {
  return Tool("mkntfs", "-F -Q -q -s 512 -c " + std::to_string(options_.clusterBytes) + " " + Quote(image_.string())) &&
         ReadLayout();
}

bool NtfsVolume::CopyIn(const fs::path& local, const std::string& name) {
  return Tool("ntfscp", "-f " + Quote(image_.string()) + " " + Quote(local.string()) + " " + Quote(name));
}

bool NtfsVolume::FreeClusters(const std::string& name) {
  std::string out;
  if (!Tool("ntfsinfo", "-F " + Quote("/" + name) + " " + Quote(image_.string()), &out)) return false;
  std::smatch m;
  static const std::regex rec("from mft record ([0-9]+)");
  if (!std::regex_search(out, m, rec)) {
    ADD_FAILURE() << "no MFT record for " << name << ":\n" << out;
    return false;
  }
  return Tool("ntfstruncate", "-f " + Quote(image_.string()) + " " + m[1].str() + " 0");
}

int64_t NtfsVolume::FreeClusterCount() const {
  // Counted in $Bitmap (MFT record 6), one bit per cluster of the volume.
  const fs::path dump = image_.parent_path() / (image_.filename().string() + ".bitmap");
  if (!Tool("ntfscat", "-i 6 " + Quote(image_.string()) + " > " + Quote(dump.string()))) return -1;
  std::vector<uint8_t> bits = ReadFileBytes(dump);
  std::error_code ec;
  fs::remove(dump, ec);
  const int64_t clusters = volumeSectors / sectorsPerCluster;
  int64_t free = 0;
  for (int64_t c = 0; c < clusters && size_t(c / 8) < bits.size(); ++c)
    if (!((bits[size_t(c / 8)] >> (c % 8)) & 1)) ++free;
  return free;
}

std::vector<Extent> NtfsVolume::Extents(const std::string& name) const {
  std::string out;
  if (!Tool("ntfsinfo", "-v -F " + Quote("/" + name) + " " + Quote(image_.string()), &out)) return {};
  std::vector<Extent> v;
  // A file of many runs keeps them in several $DATA segments (extension
  // records named by its attribute list), dumped one after another in VCN
  // order.
  for (size_t data = out.find("Dumping attribute $DATA"); data != std::string::npos;
       data = out.find("Dumping attribute $DATA", data + 1)) {
    const size_t list = out.find("Runlist:", data);
    if (list == std::string::npos) break;
    std::istringstream in(out.substr(out.find('\n', list) + 1));
    std::string line;
    static const std::regex row("^\\s*0x([0-9a-fA-F]+)\\s+0x([0-9a-fA-F]+)\\s+0x([0-9a-fA-F]+)\\s*$");
    while (std::getline(in, line)) {
      std::smatch m;
      if (line.find("<RL_NOT_MAPPED>") != std::string::npos) continue;  // runs of another segment
      if (!std::regex_match(line, m, row)) break;
      Extent e;
      e.firstCluster = std::stoll(m[2], nullptr, 16);
      e.clusters = std::stoll(m[3], nullptr, 16);
      e.firstSector = e.firstCluster * sectorsPerCluster;
      e.sectors = e.clusters * sectorsPerCluster;
      // Runs that continue each other across segments are one.
      if (!v.empty() && v.back().firstCluster + v.back().clusters == e.firstCluster) {
        v.back().clusters += e.clusters;
        v.back().sectors += e.sectors;
      } else {
        v.push_back(e);
      }
    }
  }
  if (v.empty()) ADD_FAILURE() << "no run list for " << name << " (a resident file?):\n" << out;
  return v;
}

bool NtfsVolume::CopyInFragmented(const fs::path& local, const std::string& name, int fragments) {
  const int64_t clusterBytes = options_.clusterBytes;
  std::error_code ec;
  const int64_t size = int64_t(fs::file_size(local, ec));
  const int64_t clusters = (size + clusterBytes - 1) / clusterBytes;
  if (ec || fragments < 1 || clusters < fragments) {
    ADD_FAILURE() << local << " (" << clusters << " clusters) cannot lie in " << fragments << " fragments";
    return false;
  }
  const fs::path tmp = image_.parent_path() / (image_.filename().string() + ".filler");
  // The file is made empty first, so that neither its MFT record nor its
  // folder entry needs new clusters later.
  if (!MakeSizedFile(tmp, 0) || !CopyIn(tmp, name)) return false;
  // Gap fillers A with one-cluster separators B, then one filler for all the
  // rest, so that freeing the A fillers leaves the gaps as the only free
  // space (the allocator would otherwise wander into the MFT zone).
  std::vector<std::string> gaps;
  for (int64_t g : GapSizes(clusters, fragments)) {
    for (int64_t n : {g, int64_t(1)}) {
      if (!WriteRandomFile(tmp, n * clusterBytes, uint32_t(fillers_))) return false;
      std::string f = "F" + std::to_string(fillers_++);
      if (!CopyIn(tmp, f)) return false;
      if (n == g) gaps.push_back(f);
    }
  }
  // A spare run after the last gap, freed with the gaps: a file of many runs
  // needs clusters for its attribute list, which the allocator takes from
  // the gaps, and the file's last clusters then land here.
  if (fragments > 64) {
    if (!WriteRandomFile(tmp, 64 * clusterBytes, uint32_t(fillers_))) return false;
    std::string f = "F" + std::to_string(fillers_++);
    if (!CopyIn(tmp, f)) return false;
    gaps.push_back(f);
  }
  // The rest of the volume filled. A few clusters may be out of the
  // allocator's reach (before the MFT), and a file over many scattered holes
  // may not fit its run list: ask for less until a filler fits, then fill
  // what is still free the same way.
  for (int round = 0; round < 64; ++round) {
    const int64_t free = FreeClusterCount();
    if (free < 0) return false;
    bool placed = false;
    for (int64_t want = free; want > 0 && !placed; want /= 2) {
      if (!MakeSizedFile(tmp, want * clusterBytes)) return false;
      const std::string f = "F" + std::to_string(fillers_);
      placed = Run(Quote(ToolPath("ntfscp")) + " -f " + Quote(image_.string()) + " " + Quote(tmp.string()) + " " +
                   Quote(f) + " </dev/null >/dev/null 2>&1") == 0;
      if (placed) ++fillers_;
    }
    if (!placed) break;
  }
  fs::remove(tmp, ec);
  for (const auto& g : gaps)
    if (!FreeClusters(g)) return false;
  // The allocator will not gather more than a few free runs for one request,
  // so the file is given its clusters gap by gap, then written in place.
  int64_t offset = 0;
  for (int64_t g : GapSizes(clusters, fragments)) {
    const int64_t len = std::min(g * clusterBytes, size - offset);
    if (!Tool("ntfsfallocate", "-l " + std::to_string(len) + " -o " + std::to_string(offset) + " " +
                                   Quote(image_.string()) + " " + Quote(name)))
      return false;
    offset += len;
  }
  if (!CopyIn(local, name)) return false;
  auto ext = Extents(name);
  // A file of many runs needs an attribute list and extension records, whose
  // clusters the allocator takes from the gaps, and it does not always take
  // the gaps in order: such a file lies in about as many runs as asked.
  const bool exact = fragments <= 64;
  if (exact ? int(ext.size()) != fragments : (int(ext.size()) < fragments / 2 || int(ext.size()) > 2 * fragments)) {
    ADD_FAILURE() << name << " lies in " << ext.size() << " fragments, not " << fragments;
    return false;
  }
  return true;
}

}  // namespace sorrelon::test

namespace sorrelon::test {

MemoryReader::MemoryReader(const DataSource& ds, std::vector<uint8_t> image) : SectorReader(ds), bytes(std::move(image)) {}

int64_t MemoryReader::SourceSectors() {
  return std::max<int64_t>(virtualSectors, int64_t(bytes.size() / kSectorSize));
}

int64_t MemoryReader::ReadSectorsUpTo(uint32_t count, void* buf, int64_t first) {
  ++reads;
  if (count == 0) return 0;
  if (first < 0 || first + int64_t(count) > SourceSectors()) return -1;
  for (int64_t s : failSectors)
    if (s >= first && s < first + int64_t(count)) return -1;
  const size_t from = size_t(first) * kSectorSize, len = size_t(count) * kSectorSize;
  const size_t have = from < bytes.size() ? std::min(len, bytes.size() - from) : 0;
  if (have) std::memcpy(buf, bytes.data() + from, have);
  std::memset(static_cast<uint8_t*>(buf) + have, 0, len - have);
  return count;
}

}  // namespace sorrelon::test
