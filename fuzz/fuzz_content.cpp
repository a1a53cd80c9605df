// Content files on arbitrary bytes: a small store described by the input, the
// rest of the input as the file (as it is, or cut or padded to the size the
// store asks for). Every read stays inside the file, fails unless the file
// matches the store, and when it succeeds gives exactly the bytes of the
// fragment's block, pages unscrambled.
#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "base/bytes.h"
#include "catalogue/content_file.h"

namespace {

using namespace sorrelon;

void Check(bool ok) {
  if (!ok) std::abort();
}

class MemoryFile final : public Device {
 public:
  explicit MemoryFile(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  bool ReadAt(uint64_t offset, void* buf, size_t len) override {
    Check(offset <= bytes_.size() && len <= bytes_.size() - offset);  // the reader checks bounds itself
    std::memcpy(buf, bytes_.data() + offset, len);
    return true;
  }
  int64_t Size() const override { return int64_t(bytes_.size()); }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t n = data[0] % 6;
  const uint8_t mode = data[1];
  size_t pos = 2;
  if (size < pos + 3 * n) return 0;

  // Records: start sectors close together (so that some repeat), 0 to 4 pages.
  FragmentStore store;
  int64_t sector = 15;
  for (size_t i = 0; i < n; ++i, pos += 3) {
    sector += data[pos] % 4 == 0 ? 0 : data[pos];
    const int32_t pages = data[pos + 1] % 5;
    const int32_t kb = 8 * pages + (data[pos + 2] & 0x80 ? int32_t(data[pos + 2] % 8) - 4 : 0);
    store.Append({int32_t(i + 1), sector, sector + 16 * pages, kb, 0, pages, " ", true});
  }
  int64_t expected = kTrailerBytes;
  for (size_t i = 0; i < store.size(); ++i) expected += ContentBlockBytes(store[i]);

  std::vector<uint8_t> file(data + pos, data + size);
  if (mode & 1) {  // the size the store asks for: bytes repeated or cut
    std::vector<uint8_t> fitted(static_cast<size_t>(expected));
    if (!file.empty())
      for (size_t at = 0; at < fitted.size(); at += file.size())
        std::memcpy(fitted.data() + at, file.data(), std::min(file.size(), fitted.size() - at));
    file.swap(fitted);
  }
  auto device = std::make_unique<MemoryFile>(file);
  auto cf = ContentFile::Open(std::move(device), store);
  Check(cf != nullptr);
  Check(cf->Matches() == (int64_t(file.size()) == expected));

  std::vector<uint8_t> buf(40 * 512), want;
  auto read = [&](int64_t start, int32_t offset, uint32_t count) {
    const bool ok = cf->ReadContentSectors(offset, count, start, buf.data());
    if (!ok || count == 0) return;
    Check(cf->Matches());
    // The first record with this start sector, found by walking the store.
    int64_t acc = 0;
    size_t i = 0;
    for (; i < store.size() && store[i].startSector != start; ++i) acc += ContentBlockBytes(store[i]);
    Check(i < store.size());
    const int64_t pages = std::max<int32_t>(store[i].Pages(), 0);
    Check(offset >= -15 && offset + int64_t(count) <= 16 * pages);
    const int64_t at = acc + kLeadInBytes + int64_t(offset) * 512;
    want.assign(file.begin() + at, file.begin() + at + int64_t(count) * 512);
    for (int64_t s = 0; s < int64_t(count); ++s)
      if (offset + s >= 0) UnscramblePage(want.data() + s * 512, 512, cf->Key());
    Check(std::memcmp(buf.data(), want.data(), want.size()) == 0);
  };
  for (size_t i = 0; i < store.size(); ++i) {
    const int64_t s = store[i].startSector;
    read(s, -15, 15);
    for (int32_t k = 0; k <= 5; ++k) read(s, 16 * k, 16);
    read(s + 1, 0, 16);
  }
  // Arbitrary requests from the input's last bytes.
  for (size_t i = pos; i + 3 <= size && i < pos + 24; i += 3) {
    const int64_t start = 15 + data[i];
    const int32_t offset = int32_t(int8_t(data[i + 1]));
    const uint32_t count = data[i + 2] % 40;
    read(start, offset, count);
  }
  return 0;
}
