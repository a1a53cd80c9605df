// Real FAT32 and NTFS images for end-to-end tests, made with the real tools
// (mkfs.vfat + mtools, mkntfs + ntfscp + ntfsinfo + ntfscat + ntfstruncate + ntfsfallocate), with no mounting. Every
// helper answers false (or an empty result) after recording a test failure
// that says what went wrong, including a missing tool and its package.
#pragma once

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "storage/sector_reader.h"

namespace sorrelon::test {

// A run of clusters of one file. Sectors are counted from the start of the
// volume (add the volume's offsetSectors for a sector of a disk image).
struct Extent {
  int64_t firstCluster = 0;
  int64_t clusters = 0;
  int64_t firstSector = 0;
  int64_t sectors = 0;
};

// Records a test failure naming the missing programs; true when all exist.
bool RequireTools(const std::vector<std::string>& programs);

struct FatOptions {
  int sectorsPerCluster = 1;
  int fatCount = 2;
  // 0: the smallest size that holds a FAT32 volume with this cluster size.
  int64_t sizeBytes = 0;
  std::string label;
};

class FatVolume {
 public:
  // A bare volume filling the file `image`.
  bool Create(const std::filesystem::path& image, const FatOptions& options = FatOptions());
  // A whole-disk image: an MBR with one FAT32 partition (type 0x0C) at
  // sector `partitionStart`, the volume filling the rest of the disk.
  bool CreateInDisk(const std::filesystem::path& image, const FatOptions& options = FatOptions(), int64_t partitionStart = 2048);

  bool CopyIn(const std::filesystem::path& local, const std::string& name);
  // Places `local` in exactly `fragments` runs of clusters (when it has at
  // least that many clusters), by copying it into gaps left between filler
  // files.
  bool CopyInFragmented(const std::filesystem::path& local, const std::string& name, int fragments);
  bool Delete(const std::string& name);
  // Formats the volume again in place without clearing its data area.
  bool QuickFormat();
  // Where a file's clusters lie, in file order (from mshowfat).
  std::vector<Extent> Extents(const std::string& name) const;

  const std::filesystem::path& Image() const { return image_; }
  int64_t offsetSectors = 0;      // where the volume begins in the image file
  int64_t volumeSectors = 0;
  int sectorsPerCluster = 0;
  int64_t reservedSectors = 0;
  int64_t fatSectors = 0;
  int fatCount = 0;
  int64_t dataStartSector = 0;    // reserved + FAT count x FAT size, as the volume really is
  int64_t SectorOfCluster(int64_t cluster) const { return dataStartSector + (cluster - 2) * sectorsPerCluster; }

 private:
  bool Format();
  bool ReadLayout();
  std::string MtoolsImage() const;  // "IMG" or "IMG@@OFFSET"
  std::filesystem::path image_;
  FatOptions options_;
  int fillers_ = 0;
};

struct NtfsOptions {
  int clusterBytes = 4096;
  int64_t sizeBytes = 32 << 20;
};

class NtfsVolume {
 public:
  bool Create(const std::filesystem::path& image, const NtfsOptions& options = NtfsOptions());
  bool CopyIn(const std::filesystem::path& local, const std::string& name);
  // As FatVolume::CopyInFragmented: fillers, the rest of the volume filled,
  // the gaps truncated free, the file's clusters allocated gap by gap
  // (ntfsfallocate), then its bytes copied in. The volume is full afterwards.
  // Beyond 64 runs the file lies in fragments/2 to 2 x fragments runs (its
  // attribute list and extension records take clusters from the gaps).
  bool CopyInFragmented(const std::filesystem::path& local, const std::string& name, int fragments);
  // Frees a file's clusters (its data truncated to nothing).
  bool FreeClusters(const std::string& name);
  bool QuickFormat();
  std::vector<Extent> Extents(const std::string& name) const;  // from ntfsinfo's run list

  const std::filesystem::path& Image() const { return image_; }
  int64_t volumeSectors = 0;
  int sectorsPerCluster = 0;
  int64_t mftStartCluster = 0;

 private:
  bool ReadLayout();
  int64_t FreeClusterCount() const;
  std::filesystem::path image_;
  NtfsOptions options_;
  int fillers_ = 0;
};

// A file of `bytes` pseudo-random bytes from `seed`.
bool WriteRandomFile(const std::filesystem::path& p, int64_t bytes, uint32_t seed);

// An image held in memory and read through the reader interface, for
// hand-made structures. It may claim more sectors than it holds
// (virtualSectors); those read as zeros. Reads must lie wholly inside the
// claimed size; a read that touches a sector in failSectors fails.
class MemoryReader : public SectorReader {
 public:
  MemoryReader(const DataSource& ds, std::vector<uint8_t> image);
  int64_t ReadSectorsUpTo(uint32_t count, void* buf, int64_t first) override;
  int64_t SourceSectors() override;
  std::vector<uint8_t> bytes;
  std::set<int64_t> failSectors;
  int64_t virtualSectors = 0;
  int reads = 0;
};

// SHA-256 of a file (sha256sum), empty on failure.
std::string FileSha256(const std::filesystem::path& p);

// What shows a file unchanged: its SHA-256, size and modification time.
struct FileSnapshot {
  std::string sha;
  int64_t size = 0;
  int64_t mtimeSec = 0, mtimeNsec = 0;
  bool operator==(const FileSnapshot&) const = default;
};
FileSnapshot TakeSnapshot(const std::filesystem::path& p);

// Access modes (O_RDONLY, O_WRONLY or O_RDWR) of this process's descriptors
// open on `p`, from /proc/self/fdinfo.
std::vector<int> OpenAccessModes(const std::filesystem::path& p);

}  // namespace sorrelon::test
