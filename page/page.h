// The 8 KB database page as the program reads it: the 96-byte header tests,
// page verification (torn bits and checksum), torn-bit restoration, the
// file-size rule (page 0), the file-name rule (page 32), and access to the
// rows of PFS and IAM pages. All functions are pure and never throw.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace sorrelon::page {

constexpr int kPageBytes = 8192;
constexpr int kHeaderBytes = 96;
constexpr int32_t kAllocationObjectId = 99;
constexpr int32_t kPfsInterval = 8088;

enum PageType : uint8_t { kData = 1, kIndex = 2, kGam = 8, kIam = 10, kPfs = 11, kFileHeader = 15 };

// Header field offsets.
namespace off {
constexpr int headerVersion = 0, pageType = 1, typeFlagBits = 2, level = 3, flagBits = 4, indexId = 6,
              prevPageId = 8, prevFileId = 12, minLen = 14, nextPageId = 16, nextFileId = 20, slotCount = 22,
              objectId = 24, freeCount = 28, freeData = 30, pageId = 32, fileId = 36, reservedCount = 38, lsn = 40,
              ghostRecordCount = 58, tornBits = 60;
}

// Header tests; `h` points at (at least) the 96 header bytes.
bool IsPlausibleHeader(const uint8_t* h, uint16_t scanFileId);
bool IsFirstPfsPage(const uint8_t* h, uint16_t scanFileId);
bool IsFileHeaderPage(const uint8_t* h, uint16_t scanFileId);
// IsPlausibleHeader with file id `fileId`, pageId == pageNumber.
bool IsHeaderOfPage(uint16_t fileId, int32_t pageNumber, const uint8_t* h);

// The exclusive or of a sector's 128 words (512 bytes). The page checksum
// is the exclusive or of these folds, sector k's turned left by 15 - k.
uint32_t FoldSector(const uint8_t* sector);
// The checksum of a page as stored in tornBits when the page is checksum-protected.
uint32_t PageChecksum(const uint8_t* page);
// Torn bits agree or checksum matches or the page is all zero.
bool IsPageIntact(const uint8_t* page);
// Puts the saved two bits of every sector back (in place).
void RestoreTornBits(uint8_t* page);

// The file page count from page 0 (after RestoreTornBits); nullopt on failure.
std::optional<int32_t> FilePageCount(const uint8_t* page0);
// The physical file name from page 32 (after RestoreTornBits), UTF-8, ending
// in ".mdf"; nullopt on failure.
std::optional<std::string> PhysicalFileName(const uint8_t* page32);

// A row addressed by a slot: its offset within the page and the bytes of
// its payload (the fixed length from the row prefix, minus the 4-byte prefix),
// clipped to the page. Empty when the slot offset lies outside 96..8095.
struct RowPayload {
  int offset = -1;                // row offset, -1 when the slot is not usable
  int32_t declaredLength = 0;     // 16-bit length at row + 2 (L); payload is L - 4 bytes
  std::span<const uint8_t> bytes; // payload clipped to the page
};
RowPayload SlotRow(const uint8_t* page, int slot);

// PFS page body: one byte per page from the first page it describes.
constexpr uint8_t kPfsAllocated = 0x40;
constexpr uint8_t kPfsIam = 0x10;

// IAM page header row (slot 0) and extent bitmap (slot 1).
struct IamHeader {
  bool valid = false;
  int32_t firstPage = 0;        // at row + 40
  int32_t singlePages[8] = {};  // at row + 46 + 6j
};
IamHeader ReadIamHeader(const uint8_t* page);
RowPayload IamExtentBitmap(const uint8_t* page);

// Log sequence number of a header as 20 upper-case hexadecimal digits.
std::string LsnText(const uint8_t* h);

// UTF-16LE to UTF-8 (lone surrogates become U+FFFD).
std::string Utf16LeToUtf8(const uint8_t* p, size_t units);

}  // namespace sorrelon::page
