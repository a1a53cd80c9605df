// Repair of a page split across clusters: when a cluster is smaller than a
// page, the last page of a fragment may end in clusters that belong to
// something else while its true tail lies just before the fragment that
// continues the page numbering.
#pragma once

#include <cstdint>

namespace sorrelon::page {

// Number of cut points tried for a cluster of `sectorsPerCluster` sectors:
// 16 / sectorsPerCluster rounded (1 -> 16, 2 -> 8, 3 -> 5, 4 -> 4, 5..6 -> 3,
// 7..10 -> 2, 11..15 -> 1). 0 for 16 or more (no repair) or below 1.
int SplitCandidates(int sectorsPerCluster);

// Tries the page as it is, then with its last 1, 2, ... clusters replaced by
// the tail of `leadIn` (the 7,680 bytes before the continuing fragment),
// keeping the first candidate that passes IsPageIntact. When none passes the
// page is left as it was. Answers whether a passing candidate was found.
bool RepairSplitPage(uint8_t* page, const uint8_t* leadIn, int sectorsPerCluster);

}  // namespace sorrelon::page
