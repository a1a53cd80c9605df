#include "page/reassembly.h"

#include <cstring>

#include "base/bytes.h"
#include "page/page.h"

namespace sorrelon::page {
namespace {

// Record types of the status byte (bits 1..3) whose rows have the fixed and
// variable parts of a data record: primary, forwarded, ghost data.
bool IsDataRecordType(uint8_t status) {
  const int type = (status >> 1) & 7;
  return type == 0 || type == 1 || type == 6;
}

bool DataRowSound(const uint8_t* p, int o, int freeData) {
  const uint8_t status = p[o];
  if (!IsDataRecordType(status)) return true;  // other records: the slot check alone
  const int fixedEnd = Le16(p + o + 2);
  if (fixedEnd < 4 || o + fixedEnd + 2 > freeData) return false;
  int pos = o + fixedEnd;
  const int columns = Le16(p + pos);
  pos += 2;
  if (status & 0x10) pos += (columns + 7) / 8;
  if (pos > freeData) return false;
  if (status & 0x20) {
    if (pos + 2 > freeData) return false;
    const int vars = Le16(p + pos);
    pos += 2;
    if (pos + 2 * vars > freeData) return false;
    if (vars > 0) {
      const int lastEnd = Le16(p + pos + 2 * (vars - 1)) & 0x7FFF;
      if (lastEnd < pos + 2 * vars - o || o + lastEnd > freeData) return false;
    }
  }
  return true;
}

}  // namespace

bool HasProtection(const uint8_t* page) {
  const unsigned v = page[5] & 0x0F;
  return v == 1 || v == 2;
}

bool IsPageStructureSound(const uint8_t* raw, int64_t pageNumber, uint16_t fileId) {
  uint8_t p[kPageBytes];
  std::memcpy(p, raw, kPageBytes);
  RestoreTornBits(p);
  if (pageNumber == 0 ? !IsFileHeaderPage(p, fileId) : !IsHeaderOfPage(fileId, int32_t(pageNumber), p)) return false;
  const int slots = Le16(p + off::slotCount), freeData = Le16(p + off::freeData);
  if (freeData < kHeaderBytes || freeData + 2 * slots > kPageBytes) return false;
  const uint8_t type = p[off::pageType];
  for (int k = 0; k < slots; ++k) {
    const int o = Le16(p + kPageBytes - 2 - 2 * k);
    // A zero slot is refused too: a foreign sector of zeros in place of the
    // slot array would otherwise pass for a page of removed rows.
    if (o < kHeaderBytes || o >= freeData) return false;
    if (type == kData && !DataRowSound(p, o, freeData)) return false;
  }
  return true;
}

bool IsPageConfirmed(const uint8_t* page, int64_t pageNumber, uint16_t fileId) {
  return IsPageIntact(page) && IsPageStructureSound(page, pageNumber, fileId);
}

bool IsPageTrusted(const uint8_t* page, int64_t pageNumber, uint16_t fileId) {
  return HasProtection(page) ? IsPageConfirmed(page, pageNumber, fileId)
                             : IsPageStructureSound(page, pageNumber, fileId);
}

std::optional<size_t> ByUnusedAreaFill(const std::vector<std::vector<uint8_t>>& pages, int knownSectors) {
  if (pages.size() < 2 || knownSectors < 1 || knownSectors > 16) return std::nullopt;
  std::vector<std::vector<uint8_t>> restored;
  for (const auto& p : pages) {
    if (p.size() != kPageBytes) return std::nullopt;
    restored.push_back(p);
    RestoreTornBits(restored.back().data());
  }
  const uint8_t* first = restored[0].data();
  const int freeData = Le16(first + off::freeData), slots = Le16(first + off::slotCount);
  const int unusedEnd = kPageBytes - 2 * slots;
  const int known = knownSectors * 512;
  if (freeData < kHeaderBytes || known - freeData < 32 || known >= unusedEnd) return std::nullopt;
  // The fill: the last 32 known bytes of the unused area, one value.
  const uint8_t fill = first[known - 1];
  for (int i = known - 32; i < known; ++i)
    if (first[i] != fill) return std::nullopt;
  // Sectors in which the pages differ; each must lie in the unused area.
  std::vector<int> differing;
  for (int q = knownSectors; q < 16; ++q) {
    bool same = true;
    for (size_t k = 1; k < restored.size() && same; ++k)
      same = std::memcmp(restored[k].data() + q * 512, first + q * 512, 512) == 0;
    if (same) continue;
    if (q * 512 < freeData || (q + 1) * 512 > unusedEnd) return std::nullopt;
    differing.push_back(q);
  }
  std::optional<size_t> one;
  for (size_t k = 0; k < restored.size(); ++k) {
    const uint8_t* p = restored[k].data();
    if (Le16(p + off::freeData) != freeData || Le16(p + off::slotCount) != slots) return std::nullopt;
    bool continues = true;
    for (int q : differing)
      for (int i = q * 512; i < (q + 1) * 512 && continues; ++i) continues = p[i] == fill;
    if (!continues) continue;
    if (one) return std::nullopt;
    one = k;
  }
  return one;
}

std::vector<int> SplitCuts(int64_t pageSector, int64_t nextStart, int64_t origin, int32_t spc) {
  std::vector<int> cuts;
  if (spc < 1 || spc >= 16) return cuts;
  auto boundary = [&](int64_t s) {
    int64_t d = (s - origin) % spc;
    return d == 0;
  };
  for (int cut = 1; cut < 16; ++cut)
    if (boundary(pageSector + cut) && boundary(nextStart - (16 - cut))) cuts.push_back(cut);
  return cuts;
}

SplitOutcome RepairSplitPageSafely(uint8_t* page, const uint8_t* leadIn, std::span<const int> cuts,
                                   int64_t pageNumber, uint16_t fileId) {
  const bool asReadIntact = IsPageIntact(page);
  if (asReadIntact && IsPageStructureSound(page, pageNumber, fileId)) return SplitOutcome::kIntact;
  uint8_t candidate[kPageBytes], chosen[kPageBytes];
  int confirmed = 0;
  for (int cut : cuts) {
    if (cut < 1 || cut > 15) continue;
    std::memcpy(candidate, page, kPageBytes);
    const int n = cut * 512;
    // Bytes n..8191 come from the end of the lead-in (15 sectors).
    std::memcpy(candidate + n, leadIn + (n - 512), size_t(kPageBytes - n));
    if (IsPageConfirmed(candidate, pageNumber, fileId)) {
      if (++confirmed == 1) std::memcpy(chosen, candidate, kPageBytes);
    }
  }
  if (confirmed == 1) {
    std::memcpy(page, chosen, kPageBytes);
    return SplitOutcome::kRepaired;
  }
  if (asReadIntact) return SplitOutcome::kIntact;
  return confirmed > 1 ? SplitOutcome::kAmbiguous : SplitOutcome::kUnconfirmed;
}

}  // namespace sorrelon::page
