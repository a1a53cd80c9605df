#include "page/split_repair.h"

#include <cstring>

#include "page/page.h"

namespace sorrelon::page {

int SplitCandidates(int spc) {
  if (spc < 1 || spc >= 16) return 0;
  // 16 / spc rounded to nearest, halves to even (8 / 3 = 5.33 -> 5, 16 / 6 = 2.67 -> 3).
  int q = 16 / spc, r = 16 % spc;
  if (2 * r > spc || (2 * r == spc && (q & 1))) ++q;
  return q;
}

bool RepairSplitPage(uint8_t* page, const uint8_t* leadIn, int spc) {
  const int m = SplitCandidates(spc);
  if (m == 0) return IsPageIntact(page);
  const int s = spc * 512;
  uint8_t backup[kPageBytes];
  std::memcpy(backup, page, kPageBytes);
  constexpr int kLeadIn = 15 * 512;
  for (int t = 0; t < m; ++t) {
    const int n = kPageBytes - s * t;
    if (t > 0) {
      if (n < kPageBytes - kLeadIn) break;  // never more than the lead-in holds
      std::memcpy(page + n, leadIn + (n - 512), size_t(kPageBytes - n));
    }
    if (IsPageIntact(page)) return true;
  }
  std::memcpy(page, backup, kPageBytes);
  return false;
}

}  // namespace sorrelon::page
