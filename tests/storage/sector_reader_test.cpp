#include "storage/sector_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <limits>
#include <vector>

#include "base/bytes.h"
#include "tests/support/testdata.h"

namespace sorrelon {
namespace {

namespace fs = std::filesystem;

// An image whose sector i starts with i (8 bytes) and is filled with 0xA5.
fs::path NumberedImage(const fs::path& dir, const std::string& name, int sectors, uint8_t fill = 0xA5) {
  std::vector<uint8_t> b(size_t(sectors) * kSectorSize, fill);
  for (int i = 0; i < sectors; ++i) PutLe64(b.data() + size_t(i) * kSectorSize, uint64_t(i));
  fs::path p = dir / name;
  test::WriteFileBytes(p, b);
  return p;
}

uint64_t SectorTag(const std::vector<uint8_t>& buf, int k) { return Le64(buf.data() + size_t(k) * kSectorSize); }

TEST(SectorReader, CutsAtTheEndOfTheSource) {
  fs::path dir = test::TempDir("reader_cut");
  DataSource ds;
  ds.devicePath = NumberedImage(dir, "a.img", 100).string();
  SectorReader reader(ds);
  struct Case {
    const char* what;
    bool volume;
    int64_t end;
    int64_t first;
    uint32_t count;
    int64_t placed;  // -1: the read fails
  };
  const Case cases[] = {
      {"volume: E is the last sector", true, 49, 45, 10, 5},
      {"disk or image: E is the count", false, 50, 45, 10, 5},
      {"inside the end", false, 50, 40, 10, 10},
      {"end 0 cuts nothing", false, 0, 80, 10, 10},
      {"negative end cuts nothing", true, -1, 80, 10, 10},
      {"past the real end of the device", false, 0, 95, 10, 5},
      {"descriptor end beyond the device", true, 200, 95, 10, 5},
      {"starts at the end", false, 50, 50, 4, -1},
      {"starts beyond the device", false, 0, 100, 1, -1},
      {"negative sector", false, 0, -1, 1, -1},
      {"sector whose byte offset overflows", false, 0, std::numeric_limits<int64_t>::max() / 512, 1, -1},
      {"largest sector", true, std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::max() - 4, 2, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ds.isLogicalDrive = c.volume;
    ds.endSector = c.end;
    std::vector<uint8_t> buf(size_t(c.count) * kSectorSize, 0xEE);
    int64_t placed = reader.ReadSectorsUpTo(c.count, buf.data(), c.first);
    EXPECT_EQ(placed, c.placed);
    EXPECT_EQ(reader.ReadSectors(c.count, buf.data(), c.first), c.placed >= 0);
    if (placed < 0) continue;
    for (int k = 0; k < placed; ++k) EXPECT_EQ(SectorTag(buf, k), uint64_t(c.first + k));
    for (size_t i = size_t(placed) * kSectorSize; i < buf.size(); ++i) ASSERT_EQ(buf[i], 0) << "cut tail not zeroed";
  }
  // A read of no sectors succeeds and touches nothing.
  uint8_t canary = 0x5A;
  EXPECT_TRUE(reader.ReadSectors(0, &canary, 1000000));
  EXPECT_EQ(canary, 0x5A);
  EXPECT_EQ(reader.SourceSectors(), 100);
}

TEST(SectorReader, KeepsItsHandleUntilThePathChanges) {
  fs::path dir = test::TempDir("reader_reopen");
  DataSource ds;
  ds.devicePath = NumberedImage(dir, "a.img", 4, 0x11).string();
  fs::path other = NumberedImage(dir, "b.img", 4, 0x22);
  SectorReader reader(ds);
  std::vector<uint8_t> buf(kSectorSize);
  ASSERT_TRUE(reader.ReadSectors(1, buf.data(), 1));
  EXPECT_EQ(buf[100], 0x11);

  // Replace the file behind the same path: the open handle still reads the
  // first file, since the reader does not reopen while the path is the same.
  fs::rename(ds.devicePath, dir / "a.old");
  NumberedImage(dir, "a.img", 4, 0x33);
  ASSERT_TRUE(reader.ReadSectors(1, buf.data(), 1));
  EXPECT_EQ(buf[100], 0x11);

  // A new path takes effect at the next read, and so does the way back.
  const std::string first = ds.devicePath;
  ds.devicePath = other.string();
  ASSERT_TRUE(reader.ReadSectors(1, buf.data(), 1));
  EXPECT_EQ(buf[100], 0x22);
  ds.devicePath = first;
  ASSERT_TRUE(reader.ReadSectors(1, buf.data(), 1));
  EXPECT_EQ(buf[100], 0x33);
}

TEST(SectorReader, TellsWhyASourceCannotBeOpened) {
  DataSource ds;
  ds.devicePath = (test::TempDir("reader_missing") / "gone.img").string();
  SectorReader reader(ds);
  uint8_t buf[kSectorSize];
  EXPECT_FALSE(reader.ReadSectors(1, buf, 0));
  EXPECT_EQ(reader.SourceSectors(), -1);
  EXPECT_NE(reader.LastOpenError().find(ds.devicePath), std::string::npos) << reader.LastOpenError();
  EXPECT_NE(reader.LastOpenError().find("No such file"), std::string::npos) << reader.LastOpenError();
  // The source appears: the next read opens it.
  NumberedImage(fs::path(ds.devicePath).parent_path(), "gone.img", 2);
  EXPECT_TRUE(reader.ReadSectors(1, buf, 1));
  EXPECT_TRUE(reader.LastOpenError().empty());
}

}  // namespace
}  // namespace sorrelon
