// Little-endian field access and small numeric helpers shared by every layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace sorrelon {

inline uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint64_t Le64(const uint8_t* p) { return uint64_t(Le32(p)) | (uint64_t(Le32(p + 4)) << 32); }
inline int16_t LeI16(const uint8_t* p) { return int16_t(Le16(p)); }
inline int32_t LeI32(const uint8_t* p) { return int32_t(Le32(p)); }

inline void PutLe16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
inline void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void PutLe64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i));
}

inline uint32_t RotL32(uint32_t v, unsigned n) {
  n &= 31;
  return n ? (v << n) | (v >> (32 - n)) : v;
}
inline uint32_t RotR32(uint32_t v, unsigned n) {
  n &= 31;
  return n ? (v >> n) | (v << (32 - n)) : v;
}

// Page count from a size in KB: size / 8 rounded to the nearest integer
// (halves away from zero, as a Pascal-style Round of a positive value would
// give for the sizes that occur; sizes are always multiples of 8 in practice).
inline int32_t PagesFromKb(int64_t kb) {
  int64_t q = kb / 8, r = kb % 8;
  if (r < 0) r = -r;
  if (r > 4 || (r == 4 && (q & 1))) q += kb < 0 ? -1 : 1;  // banker's rounding at .5
  return int32_t(q);
}

constexpr uint32_t kSectorSize = 512;
constexpr uint32_t kPageSize = 8192;
constexpr uint32_t kSectorsPerPage = 16;

}  // namespace sorrelon
