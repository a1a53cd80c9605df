// Confirming a page that was put together from pieces: the page's own
// protection (checksum or torn bits) and its structure (header, slot array
// and rows) must both agree before a rebuilt page is used. Also the safe
// repair of a page split across two runs of clusters, which tries cut points
// on cluster boundaries only and never uses a candidate that is not the
// single one confirmed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace sorrelon::page {

// Whether the page's structure is that of page `pageNumber` of file `fileId`:
// the header names it (page 0: a file-header page), the slot array lies
// behind the rows (freeData + 2 x slotCount <= 8192), every slot points into
// the rows area, and the rows of a data page have sound fixed and variable
// parts. Works on a copy with the torn bits restored; the page is unchanged.
bool IsPageStructureSound(const uint8_t* page, int64_t pageNumber, uint16_t fileId);

// Whether the page carries a protection that can confirm it (torn bits or
// checksum in the low four bits of byte 5).
bool HasProtection(const uint8_t* page);

// Protection and structure both confirm the page.
bool IsPageConfirmed(const uint8_t* page, int64_t pageNumber, uint16_t fileId);

// What deep recovery asks of a page before it writes it: confirmed when it
// carries protection, its structure sound when it carries none.
bool IsPageTrusted(const uint8_t* page, int64_t pageNumber, uint16_t fileId);

// Among different pages that protection and structure all confirm (pieces
// from elsewhere pass the checksum where they hold one repeated 32-bit word,
// as the fill of a page's unused area does), the one page whose sectors that
// differ from the others lie in the unused area (from freeData to the slot
// array) and continue the fill that the page's first `knownSectors` sectors
// end with there: the last 32 known bytes of that area, one value. nullopt
// when they show no such fill, when the pages differ elsewhere, or when not
// exactly one page continues it.
std::optional<size_t> ByUnusedAreaFill(const std::vector<std::vector<uint8_t>>& pages, int knownSectors);

// Cut points (sector indices 1..15 inside the page) at which the page at
// `pageSector` may continue in the sectors just before `nextStart`: the cut
// lies on a cluster boundary of the page's volume, and the tail of 16 - cut
// sectors taken before `nextStart` begins on a cluster boundary too.
// Clusters begin at clusterOrigin + k x sectorsPerCluster. Empty for 16 or
// more sectors per cluster (a page never spans two clusters) or below 1.
std::vector<int> SplitCuts(int64_t pageSector, int64_t nextStart, int64_t clusterOrigin, int32_t sectorsPerCluster);

enum class SplitOutcome {
  kIntact,       // the page as read is confirmed (or all zero): unchanged
  kRepaired,     // exactly one cut point gave a confirmed page: the page is that one
  kAmbiguous,    // several cut points gave confirmed pages: unchanged
  kUnconfirmed,  // no cut point gave a confirmed page: unchanged
};

// `leadIn` holds the 15 sectors before the continuing fragment. Tries every
// cut of `cuts` (the tail of the page replaced by the end of the lead-in) and
// keeps a candidate only when it is the one candidate that protection and
// structure confirm.
SplitOutcome RepairSplitPageSafely(uint8_t* page, const uint8_t* leadIn, std::span<const int> cuts,
                                   int64_t pageNumber, uint16_t fileId);

}  // namespace sorrelon::page
