// The image helpers tell the truth: the clusters they report hold the file.
#include "tests/support/fsimage.h"

#include <gtest/gtest.h>

#include <fstream>

#include "base/bytes.h"
#include "tests/support/testdata.h"

namespace sorrelon {
namespace {

namespace fs = std::filesystem;

// The file's bytes gathered from the image at the reported extents.
std::vector<uint8_t> Gather(const fs::path& img, int64_t offsetSectors, const std::vector<test::Extent>& ext,
                            size_t size) {
  std::ifstream in(img, std::ios::binary);
  std::vector<uint8_t> out;
  for (const auto& e : ext) {
    std::vector<uint8_t> b(size_t(e.sectors) * 512);
    in.seekg((offsetSectors + e.firstSector) * 512);
    in.read(reinterpret_cast<char*>(b.data()), std::streamsize(b.size()));
    out.insert(out.end(), b.begin(), b.end());
  }
  out.resize(std::min(out.size(), size));
  return out;
}

TEST(FsImage, FatInADiskImageAndFragmentPlacement) {
  auto dir = test::TempDir("fsimage_fat");
  ASSERT_TRUE(test::WriteRandomFile(dir / "f.bin", 70000, 3));
  auto want = test::ReadFileBytes(dir / "f.bin");

  test::FatVolume fat;
  test::FatOptions two;
  two.sectorsPerCluster = 2;
  ASSERT_TRUE(fat.CreateInDisk(dir / "disk.img", two));
  EXPECT_EQ(fat.offsetSectors, 2048);
  auto disk = test::ReadFileBytes(dir / "disk.img");
  ASSERT_GE(disk.size(), 2049u * 512);
  EXPECT_EQ(disk[446 + 4], 0x0C);
  EXPECT_EQ(Le32(&disk[446 + 8]), 2048u);
  EXPECT_EQ(disk[510], 0x55);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&disk[2048 * 512 + 82]), 5), "FAT32");
  EXPECT_EQ(int64_t(disk.size()) / 512, 2048 + fat.volumeSectors);

  ASSERT_TRUE(fat.CopyInFragmented(dir / "f.bin", "f.bin", 4));
  auto ext = fat.Extents("f.bin");
  ASSERT_EQ(ext.size(), 4u);
  for (size_t i = 1; i < ext.size(); ++i)
    EXPECT_GT(ext[i].firstSector, ext[i - 1].firstSector + ext[i - 1].sectors) << "runs must not touch";
  EXPECT_EQ(Gather(fat.Image(), fat.offsetSectors, ext, want.size()), want);

  // A quick format leaves the data where it was.
  ASSERT_TRUE(fat.QuickFormat());
  EXPECT_EQ(Gather(fat.Image(), fat.offsetSectors, ext, want.size()), want);

  test::FatVolume one;
  test::FatOptions oneFat;
  oneFat.fatCount = 1;
  ASSERT_TRUE(one.Create(dir / "one.img", oneFat));
  EXPECT_EQ(one.fatCount, 1);
  EXPECT_EQ(one.dataStartSector, one.reservedSectors + one.fatSectors);
}

TEST(FsImage, NtfsFragmentPlacement) {
  auto dir = test::TempDir("fsimage_ntfs");
  ASSERT_TRUE(test::WriteRandomFile(dir / "f.bin", 90000, 4));
  auto want = test::ReadFileBytes(dir / "f.bin");
  test::NtfsVolume ntfs;
  test::NtfsOptions small;
  small.clusterBytes = 1024;
  small.sizeBytes = 16 << 20;
  ASSERT_TRUE(ntfs.Create(dir / "ntfs.img", small));
  EXPECT_EQ(ntfs.sectorsPerCluster, 2);
  ASSERT_TRUE(ntfs.CopyInFragmented(dir / "f.bin", "f.bin", 3));
  auto ext = ntfs.Extents("f.bin");
  ASSERT_EQ(ext.size(), 3u);
  EXPECT_EQ(Gather(ntfs.Image(), 0, ext, want.size()), want);
  ASSERT_TRUE(ntfs.QuickFormat());
  EXPECT_EQ(Gather(ntfs.Image(), 0, ext, want.size()), want);
}

}  // namespace
}  // namespace sorrelon
