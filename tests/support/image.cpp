#include "tests/support/image.h"

#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>

#include "base/bytes.h"

namespace sorrelon::test {

std::vector<uint8_t> SimplePage(int32_t pageId, uint16_t fileId, uint8_t type, int32_t objectId) {
  std::vector<uint8_t> p(kPageSize, 0);
  p[0] = 1;        // headerVersion
  p[1] = type;     // pageType
  PutLe16(&p[22], 1);            // slotCount
  PutLe32(&p[24], uint32_t(objectId));
  PutLe16(&p[30], 96);           // freeData
  PutLe32(&p[32], uint32_t(pageId));
  PutLe16(&p[36], fileId);
  return p;
}

Image::Image(int64_t sectors, uint32_t seed) : bytes_(size_t(sectors) * kSectorSize, 0) {
  if (seed) {
    std::mt19937 rng(seed);
    for (size_t i = 0; i + 4 <= bytes_.size(); i += 4) PutLe32(&bytes_[i], rng());
  }
}

void Image::Put(int64_t sector, const uint8_t* b, size_t len) {
  size_t off = size_t(sector) * kSectorSize;
  if (off + len > bytes_.size()) throw std::out_of_range("Image::Put beyond the image");
  std::memcpy(&bytes_[off], b, len);
}
void Image::Put(int64_t sector, const std::vector<uint8_t>& b) { Put(sector, b.data(), b.size()); }

void Image::PutPages(int64_t sector, const std::vector<uint8_t>& file, int64_t firstPage, int64_t count) {
  Put(sector, file.data() + size_t(firstPage) * kPageSize, size_t(count) * kPageSize);
}

void Image::Write(const std::filesystem::path& p) const {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes_.data()), std::streamsize(bytes_.size()));
  if (!out) throw std::runtime_error("cannot write " + p.string());
}

}  // namespace sorrelon::test
