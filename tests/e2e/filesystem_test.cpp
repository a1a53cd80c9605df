// End to end on real file systems: a real database file placed on FAT32 or
// NTFS (contiguous or fragmented among other files), deleted or the volume
// quick-formatted; the scan must list exactly the fragments where the file's
// pages lie, and the recovery must give back every genuine page byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>

#include "base/bytes.h"
#include "page/page.h"
#include "tests/support/fsimage.h"
#include "tests/support/recovery.h"
#include "tests/support/testdata.h"

namespace sorrelon {
namespace {

namespace fs = std::filesystem;
using test::Extent;

struct Frag {
  int64_t startSector;
  int32_t startPage, pages;
  bool operator==(const Frag&) const = default;
  bool operator<(const Frag& o) const { return startSector < o.startSector; }
};
std::ostream& operator<<(std::ostream& o, const Frag& f) {
  return o << "{sector " << f.startSector << ", page " << f.startPage << ", " << f.pages << " pages}";
}

// The volume sector that holds file sector `s`, given the file's extents.
int64_t SectorOf(const std::vector<Extent>& ext, int64_t s) {
  for (const Extent& e : ext) {
    if (s < e.sectors) return e.firstSector + s;
    s -= e.sectors;
  }
  return -1;
}

// Where the scan must find fragments: the genuine pages of the file at
// their sectors, grouped in sector order as runs of one contiguous copy join.
std::vector<Frag> ExpectedFragments(const std::vector<uint8_t>& file, const std::vector<Extent>& ext) {
  struct At {
    int64_t sector;
    int32_t page;
  };
  std::vector<At> pages;
  const int64_t n = int64_t(file.size() / kPageSize);
  for (int64_t p = 0; p < n; ++p) {
    const uint8_t* h = file.data() + p * kPageSize;
    bool genuine = p == 0 ? page::IsFileHeaderPage(h, 1) : page::IsHeaderOfPage(1, int32_t(p), h);
    int64_t sec = SectorOf(ext, p * 16);
    if (genuine && sec >= 0) pages.push_back({sec, int32_t(p)});
  }
  std::sort(pages.begin(), pages.end(), [](const At& a, const At& b) { return a.sector < b.sector; });
  std::vector<Frag> out;
  for (size_t i = 0; i < pages.size(); ++i) {
    const At& a = pages[i];
    if (a.page == 0) {
      // A file-header page is recorded only with page 1 right behind it.
      if (i + 1 < pages.size() && pages[i + 1].page == 1 && pages[i + 1].sector == a.sector + 16) out.push_back({a.sector, 0, 1});
      continue;
    }
    if (!out.empty()) {
      Frag& last = out.back();
      int64_t end = last.startSector + 16 * int64_t(last.pages);
      if (a.sector - last.startSector == int64_t(a.page - last.startPage) * 16 && a.sector >= end &&
          a.sector - end <= 129408) {
        last.pages = a.page - last.startPage + 1;
        continue;
      }
      if (a.sector < end) continue;  // inside the last run (never for one file)
    }
    out.push_back({a.sector, a.page, 1});
  }
  return out;
}

std::vector<Frag> ScanFragments(Session& s) {
  std::vector<Frag> out;
  for (const Fragment& f : s.catalogue.store.items()) out.push_back({f.startSector, f.startPage, f.Pages()});
  return out;
}

struct Case {
  const char* fs;  // "fat" or "ntfs"
  int cluster;     // sectors per cluster (FAT) or bytes (NTFS)
  int fragments;   // 1: contiguous
  bool quickFormat;
};

std::string Name(const Case& c) {
  std::ostringstream o;
  o << c.fs << c.cluster << "_" << (c.fragments == 1 ? std::string("contiguous") : std::to_string(c.fragments) + "pieces")
    << (c.quickFormat ? "_formatted" : "_deleted");
  return o.str();
}

void PrintTo(const Case& c, std::ostream* os) { *os << Name(c); }

class FileSystems : public ::testing::TestWithParam<Case> {};

// Places `mdf` on a new volume as the case says; answers the extents it had.
bool Place(const Case& c, const fs::path& image, const fs::path& mdf, std::vector<Extent>& ext, int64_t& sectors) {
  if (std::string(c.fs) == "fat") {
    test::FatVolume v;
    test::FatOptions o;
    o.sectorsPerCluster = c.cluster;
    if (!v.Create(image, o)) return false;
    if (c.fragments > 1 ? !v.CopyInFragmented(mdf, "DB.MDF", c.fragments) : !v.CopyIn(mdf, "DB.MDF")) return false;
    ext = v.Extents("DB.MDF");
    if (!(c.quickFormat ? v.QuickFormat() : v.Delete("DB.MDF"))) return false;
    sectors = v.volumeSectors;
    return true;
  }
  test::NtfsVolume v;
  test::NtfsOptions o;
  o.clusterBytes = c.cluster;
  if (!v.Create(image, o)) return false;
  if (c.fragments > 1 ? !v.CopyInFragmented(mdf, "DB.MDF", c.fragments) : !v.CopyIn(mdf, "DB.MDF")) return false;
  ext = v.Extents("DB.MDF");
  if (!(c.quickFormat ? v.QuickFormat() : v.FreeClusters("DB.MDF"))) return false;
  sectors = v.volumeSectors;
  return true;
}

TEST_P(FileSystems, ScanFindsExactlyTheFileAndRecoveryGivesItBack) {
  SORRELON_REQUIRE_REAL_MDF();
  const Case c = GetParam();
  for (const fs::path& mdf : test::RealMdfFiles()) {
    SCOPED_TRACE(mdf.filename().string());
    auto dir = test::TempDir("e2e_" + Name(c));
    const fs::path image = dir / "volume.img";
    std::vector<Extent> ext;
    int64_t sectors = 0;
    ASSERT_TRUE(Place(c, image, mdf, ext, sectors));
    ASSERT_EQ(int(ext.size()), c.fragments);
    const auto file = test::ReadFileBytes(mdf);
    const auto expected = ExpectedFragments(file, ext);
    const std::string before = test::FileSha256(image);

    // Scan with and without free-space only: the same fragments.
    for (bool freeOnly : {true, false}) {
      Session s;
      test::FakePerson person;
      ASSERT_TRUE(ChooseImage(image.string(), true, s.source, s.reader, s.fields, person));
      s.fields.freeSpaceChecked = freeOnly;
      auto params = s.ScanParamsFromFields(nullptr);
      ASSERT_TRUE(params);
      s.scanStopped = false;
      EXPECT_EQ(RunScan(*params, s.source, s.reader, s.catalogue, s.freeSpace, s.scanStopped, person), ScanEnd::Finished);
      auto found = ScanFragments(s);
      std::sort(found.begin(), found.end());
      EXPECT_EQ(found, expected) << (freeOnly ? "free space only" : "all space");
      // The header fragment names the file and its size (from pages 0 and 32).
      std::vector<uint8_t> p0(file.begin(), file.begin() + kPageSize), p32(file.begin() + 32 * kPageSize, file.begin() + 33 * kPageSize);
      page::RestoreTornBits(p0.data());
      page::RestoreTornBits(p32.data());
      const int32_t count = page::FilePageCount(p0.data()).value_or(-1);
      const std::string name = page::PhysicalFileName(p32.data()).value_or("?");
      char size[64];
      std::snprintf(size, sizeof size, "(%.2f MB)", count * 8 / 1024.0);
      for (const Fragment& f : s.catalogue.store.items()) {
        if (f.startPage != 0) continue;
        if (f.Pages() > 32) EXPECT_EQ(f.remark, name + size);
        else EXPECT_EQ(f.remark, "无效文件头,size:" + std::to_string(count * 8) + "KB");
      }
    }

    // The whole recovery.
    Session s;
    test::FakePerson person;
    test::RecoverOptions opt;
    opt.volume = true;
    auto r = test::RecoverImage(s, person, image, dir / "out.mdf", opt);
    ASSERT_TRUE(r.analysed);
    ASSERT_TRUE(r.written.complete);
    auto f = test::Compare(file, test::ReadFileBytes(dir / "out.mdf"));
    EXPECT_EQ(f.recovered, f.genuine) << "first missing page " << (f.missing.empty() ? -1 : f.missing[0]);
    EXPECT_EQ(f.wrong, 0) << "first wrong page " << (f.wrongPages.empty() ? -1 : f.wrongPages[0]);
    RecordProperty(mdf.filename().string() + "_fidelity",
                   std::to_string(f.recovered) + "/" + std::to_string(f.genuine));
    // The source was only read.
    EXPECT_EQ(test::FileSha256(image), before);
  }
}

INSTANTIATE_TEST_SUITE_P(
    RealFiles, FileSystems,
    ::testing::Values(Case{"fat", 1, 1, false}, Case{"fat", 1, 3, false}, Case{"fat", 2, 4, true},
                      Case{"fat", 4, 3, false}, Case{"fat", 8, 1, true}, Case{"fat", 8, 5, false},
                      Case{"fat", 16, 3, true}, Case{"fat", 64, 2, false}, Case{"ntfs", 4096, 1, false},
                      Case{"ntfs", 4096, 4, false}, Case{"ntfs", 4096, 3, true}),
    [](const ::testing::TestParamInfo<Case>& info) { return Name(info.param); });

}  // namespace
}  // namespace sorrelon
