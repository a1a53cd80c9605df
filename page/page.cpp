#include "page/page.h"

#include <cstring>
#include <string_view>

#include "base/bytes.h"
#include "base/text.h"

namespace sorrelon::page {
namespace {

// Offsets of the slot array: slot k sits at 8190 - 2k.
constexpr int kSlot0 = kPageBytes - 2;
// A row offset is usable from just after the header to the last offset a
// 4-byte row prefix plus a little payload can start at.
constexpr int kFirstRowOffset = kHeaderBytes;
constexpr int kLastRowOffset = 8095;

constexpr uint16_t kMaxSlots = 8096;
constexpr uint16_t kMaxFreeCount = 8096;
constexpr uint16_t kMaxReserved = 8192;
constexpr uint16_t kMaxGhosts = 8096;

inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// Bytes 64..95 all zero.
inline bool ReservedAreaZero(const uint8_t* h) {
  return (Load64(h + 64) | Load64(h + 72) | Load64(h + 80) | Load64(h + 88)) == 0;
}

// The four count limits every header test shares. The tests load their
// fields first and combine the comparisons with `&` rather than `&&`, so the
// compiler can keep them free of branches.
inline bool CountsInRange(const uint8_t* h) {
  const uint16_t freeCount = Le16(h + off::freeCount), freeData = Le16(h + off::freeData);
  const uint16_t reserved = Le16(h + off::reservedCount), ghosts = Le16(h + off::ghostRecordCount);
  return (freeCount <= kMaxFreeCount) & (freeData >= kHeaderBytes) & (freeData <= kPageBytes) &
         (reserved <= kMaxReserved) & (ghosts <= kMaxGhosts);
}

// Bytes 6..21 (indexId, prev page pointer, minLen, next page pointer) all zero.
inline bool PointersZero(const uint8_t* h) {
  return ((Load64(h + 6) | Load64(h + 14)) == 0);
}

// The row offset held in slot 0, or -1 when no rule may read from it: the
// size and name rules read the 4 bytes before a found position and search
// forward from the offset, so an offset below 4 or past the page is refused.
inline int Slot0ForRules(const uint8_t* page) {
  int r = Le16(page + kSlot0);
  return (r >= 4 && r < kPageBytes) ? r : -1;
}

inline bool IsUtf16Space2(const uint8_t* p) { return p[0] == 0x20 && p[1] == 0 && p[2] == 0x20 && p[3] == 0; }

inline bool IsUtf16Mdf(const uint8_t* p) {
  return p[0] == '.' && p[1] == 0 && (p[2] | 0x20) == 'm' && p[3] == 0 && (p[4] | 0x20) == 'd' && p[5] == 0 &&
         (p[6] | 0x20) == 'f' && p[7] == 0;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(char(cp));
  } else if (cp < 0x800) {
    out.push_back(char(0xC0 | (cp >> 6)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(char(0xE0 | (cp >> 12)));
    out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(char(0xF0 | (cp >> 18)));
    out.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  }
}

constexpr size_t kMaxNameUnits = 4001;

}  // namespace

bool IsPlausibleHeader(const uint8_t* h, uint16_t scanFileId) {
  const uint8_t version = h[off::headerVersion], type = h[off::pageType], tfb = h[off::typeFlagBits];
  const uint8_t level = h[off::level];
  const int32_t pageId = LeI32(h + off::pageId);
  const uint16_t slots = Le16(h + off::slotCount), fileId = Le16(h + off::fileId);
  const bool counts = CountsInRange(h), reservedZero = ReservedAreaZero(h);
  return counts & reservedZero & (pageId > 0) & (slots <= kMaxSlots) & (version == 1) & (uint8_t(type - 1) < 19) &
         ((tfb == 0) | (tfb == 1) | (tfb == 4)) & (fileId == scanFileId) & ((type == kIndex) | (level == 0));
}

bool IsFirstPfsPage(const uint8_t* h, uint16_t scanFileId) {
  const uint8_t version = h[off::headerVersion], type = h[off::pageType], level = h[off::level];
  const int32_t pageId = LeI32(h + off::pageId), objectId = LeI32(h + off::objectId);
  const uint16_t slots = Le16(h + off::slotCount), fileId = Le16(h + off::fileId);
  const bool counts = CountsInRange(h), reservedZero = ReservedAreaZero(h), pointersZero = PointersZero(h);
  return counts & reservedZero & pointersZero & (version == 1) & (type == kPfs) & (level == 0) & (slots == 1) &
         (objectId == kAllocationObjectId) & (pageId == 1) & (fileId == scanFileId);
}

bool IsFileHeaderPage(const uint8_t* h, uint16_t scanFileId) {
  const uint8_t version = h[off::headerVersion], type = h[off::pageType], level = h[off::level];
  const uint8_t flagsLow = h[off::flagBits];
  const int32_t pageId = LeI32(h + off::pageId), objectId = LeI32(h + off::objectId);
  const uint16_t slots = Le16(h + off::slotCount), fileId = Le16(h + off::fileId);
  const bool counts = CountsInRange(h), reservedZero = ReservedAreaZero(h), pointersZero = PointersZero(h);
  return counts & reservedZero & pointersZero & (version == 1) & (type == kFileHeader) & (level == 0) &
         ((flagsLow == 0) | (flagsLow == 8)) & (slots == 1) & (objectId == kAllocationObjectId) & (pageId == 0) &
         (fileId == scanFileId);
}

bool IsHeaderOfPage(uint16_t fileId, int32_t pageNumber, const uint8_t* h) {
  return IsPlausibleHeader(h, fileId) && LeI32(h + off::pageId) == pageNumber;
}

uint32_t FoldSector(const uint8_t* s) {
  uint32_t x = 0;
  for (int w = 0; w < 128; ++w) x ^= Le32(s + 4 * w);
  return x;
}

uint32_t PageChecksum(const uint8_t* page) {
  // Rotation distributes over exclusive or, so each sector's words are folded
  // first and the sector's sum rotated once: word i turns by 15 - (i / 128).
  uint32_t sum = 0;
  for (int sector = 0; sector < 16; ++sector) {
    uint32_t x = FoldSector(page + sector * 512);
    if (sector == 0) x ^= Le32(page + off::tornBits);  // word 15 holds the checksum itself
    sum ^= RotL32(x, unsigned(15 - sector));
  }
  return sum;
}

bool IsPageIntact(const uint8_t* page) {
  const unsigned verification = page[5] & 0x0F;
  if (verification == 1) {
    const uint8_t t = page[off::tornBits] & 3;
    uint8_t diff = 0;
    for (int k = 1; k < 16; ++k) diff |= uint8_t((page[512 * k + 511] & 3) ^ t);
    if (diff == 0) return true;
  } else if (verification == 2) {
    if (PageChecksum(page) == Le32(page + off::tornBits)) return true;
  }
  // An all-zero page is intact whatever its header says (it can only fail
  // the tests above when it is all zero and unprotected).
  uint64_t any = 0;
  for (int i = 0; i < kPageBytes; i += 8) any |= Load64(page + i);
  return any == 0;
}

void RestoreTornBits(uint8_t* page) {
  const uint32_t torn = Le32(page + off::tornBits);
  if (!(page[5] & 0x01)) return;
  if ((torn & 3) != 1 && (torn & 3) != 2) return;
  for (int k = 1; k < 16; ++k) {
    uint8_t& b = page[512 * k + 511];
    b = uint8_t((b & 0xFC) | ((torn >> (2 * k)) & 3));
  }
}

std::optional<int32_t> FilePageCount(const uint8_t* page0) {
  const int r = Slot0ForRules(page0);
  if (r < 0) return std::nullopt;
  // The current file-header record ends its fixed part with the page count
  // followed by the 32-bit value -1.
  const uint8_t* p = page0 + r;
  const uint8_t* end = page0 + kPageBytes;
  while (end - p >= 4) {
    p = static_cast<const uint8_t*>(std::memchr(p, 0xFF, size_t(end - p - 3)));
    if (!p) break;
    if (p[1] == 0xFF && p[2] == 0xFF && p[3] == 0xFF) return LeI32(p - 4);
    ++p;
  }
  return std::nullopt;
}

std::optional<std::string> PhysicalFileName(const uint8_t* page32) {
  const int r = Slot0ForRules(page32);
  if (r < 0) return std::nullopt;
  // The row holds the logical name and then the physical name, each padded
  // with spaces. A ".mdf" with two spaces somewhere before it ends the
  // physical name; a ".mdf" without (a logical name that itself ends in
  // ".mdf") is passed over for the next one.
  for (int i = r; i + 8 <= kPageBytes; ++i) {
    if (page32[i] != '.' || !IsUtf16Mdf(page32 + i)) continue;
    int j = i - 2;
    bool found = false;
    for (; j >= 0; j -= 2) {
      if (IsUtf16Space2(page32 + j)) {
        found = true;
        break;
      }
      if (j <= r) break;
    }
    if (!found) continue;
    size_t units = size_t(i - (j + 4)) / 2;
    if (units > kMaxNameUnits) units = kMaxNameUnits;
    const uint8_t* text = page32 + j + 4;
    size_t n = 0;
    while (n < units && (text[2 * n] | text[2 * n + 1]) != 0) ++n;
    std::string name = Utf16LeToUtf8(text, n);
    std::string out(Trim(name));
    out += ".mdf";
    return out;
  }
  return std::nullopt;
}

RowPayload SlotRow(const uint8_t* page, int slot) {
  RowPayload row;
  // The slot array grows backwards from the end of the page and never into the header.
  if (slot < 0 || slot > (kSlot0 - kHeaderBytes) / 2) return row;
  const int offset = Le16(page + kSlot0 - 2 * slot);
  if (offset < kFirstRowOffset || offset > kLastRowOffset) return row;
  row.offset = offset;
  row.declaredLength = Le16(page + offset + 2);
  int length = row.declaredLength - 4;
  const int room = kPageBytes - (offset + 4);
  if (length < 0) length = 0;
  if (length > room) length = room;
  row.bytes = std::span<const uint8_t>(page + offset + 4, size_t(length));
  return row;
}

IamHeader ReadIamHeader(const uint8_t* page) {
  IamHeader iam;
  const RowPayload row = SlotRow(page, 0);
  if (row.offset < 0) return iam;
  // row + 46 + 6*7 + 4 stays below 8192 for every usable row offset.
  const uint8_t* r = page + row.offset;
  iam.valid = true;
  iam.firstPage = LeI32(r + 40);
  for (int j = 0; j < 8; ++j) iam.singlePages[j] = LeI32(r + 46 + 6 * j);
  return iam;
}

RowPayload IamExtentBitmap(const uint8_t* page) { return SlotRow(page, 1); }

std::string LsnText(const uint8_t* h) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out(20, '0');
  auto put = [&](int pos, uint32_t v, int digits) {
    for (int d = digits - 1; d >= 0; --d, v >>= 4) out[size_t(pos + d)] = kHex[v & 0xF];
  };
  put(0, Le32(h + off::lsn), 8);
  put(8, Le32(h + off::lsn + 4), 8);
  put(16, Le16(h + off::lsn + 8), 4);
  return out;
}

std::string Utf16LeToUtf8(const uint8_t* p, size_t units) {
  std::string out;
  out.reserve(units);
  for (size_t k = 0; k < units; ++k) {
    uint32_t u = Le16(p + 2 * k);
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (k + 1 < units) {
        uint32_t lo = Le16(p + 2 * (k + 1));
        if (lo >= 0xDC00 && lo <= 0xDFFF) {
          AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
          ++k;
          continue;
        }
      }
      u = 0xFFFD;
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      u = 0xFFFD;
    }
    AppendUtf8(out, u);
  }
  return out;
}

}  // namespace sorrelon::page
