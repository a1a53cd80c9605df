// Generator of database files for tests, benchmarks and the demo.
//
// A generated file has the shape of a file written by the database server:
// page 0 is the file-header page (with older copies of its record before the
// current one), page 1 and every multiple of 8,088 are PFS pages, pages 2, 3,
// 6 and 7 are the fixed allocation pages, page 9 the boot page, page 12 the
// IAM page of the system object whose data page 32 names the files. User
// objects own an IAM page and single pages from mixed extents and whole
// uniform extents further on; their extents are interleaved, their data and
// index pages linked both ways. Every page is protected as asked (checksum or
// torn bits). The same options give the same bytes.
//
//   mdfgen::Options o;
//   o.pages = 2048;
//   o.physicalName = "D:\\Data\\Sales.mdf";
//   o.protection = mdfgen::Protection::kTornBits;
//   std::vector<uint8_t> bytes = mdfgen::GenerateFile(o);      // in memory
//   std::string error;
//   bool ok = mdfgen::WriteFile("sales.mdf", o, &error);         // streamed
//   auto layout = mdfgen::Plan(o);  // which page is what, for checking results
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sorrelon::mdfgen {

enum class Protection { kNone, kTornBits, kChecksum };

// Fewest pages a generated file can have (page 32 and the pages before it).
constexpr int32_t kMinPages = 40;
// Pages mapped by one IAM page (its extent bitmap has 7,988 bytes).
constexpr int32_t kIamInterval = 511232;

struct Options {
  int32_t pages = 256;                                     // file page count, at least kMinPages
  std::string physicalName = "C:\\Data\\Generated.mdf";    // UTF-8, written on page 32
  std::string logicalName = "Generated";                   // UTF-8, on pages 0, 9 and 32
  uint16_t fileId = 1;
  Protection protection = Protection::kChecksum;
  int objects = 4;                  // user objects, at most 10,000 (fewer when the file is too small)
  uint64_t seed = 1;
  double allocatedFraction = 0.7;   // share of the extents after page 40 given to user objects
  double garbageFraction = 0.0;     // share of unallocated pages filled with leftover bytes
  bool unverifiedPage7 = false;     // page 7 without torn bits or checksum, as real files have it
};

// What a page of the file is.
enum class Role : uint8_t {
  kFree,        // unallocated: all zero, or leftover bytes
  kFileHeader,  // page 0
  kPfs,         // page 1 and every multiple of 8,088
  kAllocation,  // pages 2, 3, 6, 7 (types 8, 9, 16, 17)
  kBoot,        // page 9 (type 13)
  kIam,         // type 10
  kData,        // type 1
  kIndex,       // type 2
};

struct Object {
  int32_t objectId = 0;
  bool system = false;               // the object of page 32 (object id 8)
  bool index = false;                // index pages (type 2, a level-1 root over linked leaves)
  uint16_t indexId = 0;
  std::vector<int32_t> iamPages;     // one per 511,232-page range holding its pages, in range order
  std::vector<int32_t> singlePages;  // pages from mixed extents (named in the first IAM page's slots)
  std::vector<int32_t> extents;      // first pages of its uniform extents, ascending
  std::vector<int32_t> pages;        // its data or index pages: the root first, then the chain order
};

struct Layout {
  Options options;
  std::vector<Role> role;        // one per page
  std::vector<int32_t> owner;    // index into `objects` for IAM, data and index pages; -1 otherwise
  std::vector<int32_t> chainPos; // position in the owner's `pages`; -1 otherwise
  std::vector<Object> objects;   // objects[0] is the system object of page 32

  bool Allocated(int32_t page) const;
  // The pages linked before and after a data or index page (0 when none).
  int32_t PrevPage(int32_t page) const;
  int32_t NextPage(int32_t page) const;
  // PFS byte of a page: 0x40 allocated, 0x10 IAM, 0x20 in a mixed extent, low bits fullness.
  uint8_t PfsByte(int32_t page) const;
};

// Decides what every page is; nullopt when the options are unusable
// (fewer than kMinPages pages, fractions outside 0..1).
std::optional<Layout> Plan(const Options& options);

// Writes page `k` of the planned file (8,192 bytes) into `out`, protected.
void BuildPage(const Layout& layout, int32_t k, uint8_t* out);

// The whole file in memory; empty when the options are unusable.
std::vector<uint8_t> GenerateFile(const Options& options);

// Writes the file (created or replaced); false with a reason in `error`.
bool WriteFile(const std::filesystem::path& path, const Options& options, std::string* error = nullptr);

// A raw image (no file system) holding `file` in runs of 8 to 24 sectors,
// each behind 1 to 8 sectors of noise, so that most pages lie in two or
// three pieces; the first run holds pages 0 to 32 whole, so the file is
// named. With lostEvery = n, one run in n after the first is overwritten
// with noise. Answers the number of runs, -1 when the image cannot be
// written.
int64_t WriteScatteredImage(const std::filesystem::path& image, const std::vector<uint8_t>& file, uint32_t seed,
                            int lostEvery = 0);

// ---- building blocks ----

// Header fields as they are written; bytes 64..95 and tornBits stay zero.
struct Header {
  uint8_t pageType = 1;
  uint8_t typeFlagBits = 0;
  uint8_t level = 0;
  uint16_t flagBits = 0;  // low byte; ProtectPage sets the verification bits of the high byte
  uint16_t indexId = 0;
  int32_t prevPageId = 0;
  uint16_t prevFileId = 0;
  uint16_t minLen = 0;
  int32_t nextPageId = 0;
  uint16_t nextFileId = 0;
  uint16_t slotCount = 0;
  int32_t objectId = 0;
  uint16_t freeCount = 0;
  uint16_t freeData = 96;
  int32_t pageId = 0;
  uint16_t fileId = 1;
  uint16_t reservedCount = 0;
  uint32_t lsn1 = 0, lsn2 = 0;
  uint16_t lsn3 = 0;
  uint16_t ghostRecordCount = 0;
};
void WriteHeader(uint8_t* page, const Header& h);

// Marks the page's verification in byte 5 (keeping its upper four bits) and
// stores the checksum, or saves every sector's low two tail bits in tornBits
// and writes `tornPattern` (1 or 2) in their place. kNone clears the
// verification bits and tornBits. Protect last: any later change breaks it.
// page::RestoreTornBits undoes torn-bit protection.
void ProtectPage(uint8_t* page, Protection protection, uint8_t tornPattern = 1);

// Slot k of the slot array (at 8190 - 2k).
void SetSlot(uint8_t* page, int slot, uint16_t rowOffset);

// Unprotected page bodies as the server writes them.
// Page 0: `olderCopies` (0..4) older records before the current one, which
// slot 0 names; the record ends its fixed part in `pageCount` and -1.
void BuildFileHeaderPage(uint8_t* page, int32_t pageCount, const std::string& logicalName, uint16_t fileId,
                         int olderCopies = 0);
// Page 32 (a data page of object 8): slot 0 holds the data file's logical
// name (128 characters) and physical name (260), space-padded UTF-16LE; slot 1
// the log file's.
void BuildNamePage(uint8_t* page, const std::string& logicalName, const std::string& physicalName, uint16_t fileId);
// A PFS page numbered `pageId`: one byte per page it describes (at most 8,088).
void BuildPfsPage(uint8_t* page, int32_t pageId, std::span<const uint8_t> pfsBytes, uint16_t fileId);
// An IAM page: header row with the range's first page and up to eight single
// pages, extent bitmap with a bit for each extent (first page) listed.
void BuildIamPage(uint8_t* page, int32_t pageId, int32_t objectId, uint16_t indexId, int32_t firstPage,
                  std::span<const int32_t> singlePages, std::span<const int32_t> extents, uint16_t fileId);

// UTF-8 to UTF-16 code units (invalid bytes become U+FFFD).
std::u16string Utf8ToUtf16(const std::string& s);

}  // namespace sorrelon::mdfgen
