// Every page rule on arbitrary bytes: the input as a 96-byte header and as an
// 8 KB page (padded with zeros or cut). Buffers are exactly as long as the
// functions may read, so the address sanitizer reports any read beyond them.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "base/bytes.h"
#include "page/page.h"

namespace {

using namespace sorrelon;
using namespace sorrelon::page;

void Check(bool ok) {
  if (!ok) std::abort();
}

bool ValidUtf8(const std::string& s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  for (size_t i = 0, n = s.size(); i < n;) {
    const unsigned c = p[i];
    const int extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
    if (extra < 0 || i + size_t(extra) >= n + (extra == 0)) return false;
    for (int j = 1; j <= extra; ++j)
      if ((p[i + size_t(j)] & 0xC0) != 0x80) return false;
    i += size_t(extra) + 1;
  }
  return true;
}

// Touches every byte of a row so an out-of-page span is noticed.
unsigned TouchRow(const RowPayload& row, const uint8_t* page) {
  if (row.offset < 0) {
    Check(row.bytes.empty());
    return 0;
  }
  Check(row.offset >= kHeaderBytes && row.offset <= 8095);
  Check(row.bytes.data() >= page && row.bytes.data() + row.bytes.size() <= page + kPageBytes);
  unsigned sum = 0;
  for (uint8_t b : row.bytes) sum += b;
  return sum;
}

void Names(const uint8_t* page) {
  if (auto count = FilePageCount(page)) (void)*count;
  if (auto name = PhysicalFileName(page)) {
    Check(name->size() >= 4 && name->compare(name->size() - 4, 4, ".mdf") == 0);
    Check(ValidUtf8(*name));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // As a header.
  auto header = std::make_unique<uint8_t[]>(kHeaderBytes);
  std::memcpy(header.get(), data, std::min<size_t>(size, kHeaderBytes));
  const uint16_t fileId = Le16(header.get() + off::fileId);
  const int32_t pageId = LeI32(header.get() + off::pageId);
  const bool plausible = IsPlausibleHeader(header.get(), fileId);
  Check(IsHeaderOfPage(fileId, pageId, header.get()) == plausible);
  Check(!(IsFileHeaderPage(header.get(), fileId) && plausible));  // page 0 is never an ordinary page
  if (IsFirstPfsPage(header.get(), fileId)) Check(plausible || header[off::typeFlagBits] > 1);
  (void)IsPlausibleHeader(header.get(), 1);
  (void)IsFirstPfsPage(header.get(), 1);
  (void)IsFileHeaderPage(header.get(), 1);
  const std::string lsn = LsnText(header.get());
  Check(lsn.size() == 20);

  // As a page.
  auto page = std::make_unique<uint8_t[]>(kPageBytes);
  std::memset(page.get(), 0, kPageBytes);
  std::memcpy(page.get(), data, std::min<size_t>(size, kPageBytes));
  const uint8_t* p = page.get();
  const bool intact = IsPageIntact(p);
  if ((p[5] & 0x0F) == 2 && PageChecksum(p) == Le32(p + off::tornBits)) Check(intact);
  Names(p);
  unsigned sum = TouchRow(SlotRow(p, 0), p) + TouchRow(SlotRow(p, 1), p) + TouchRow(IamExtentBitmap(p), p);
  sum += TouchRow(SlotRow(p, int(Le16(p + off::slotCount))), p);
  sum += TouchRow(SlotRow(p, size > 0 ? int(data[0]) * 16 : 4047), p);
  IamHeader iam = ReadIamHeader(p);
  Check(iam.valid == (SlotRow(p, 0).offset >= 0));

  RestoreTornBits(page.get());
  std::unique_ptr<uint8_t[]> again = std::make_unique<uint8_t[]>(kPageBytes);
  std::memcpy(again.get(), page.get(), kPageBytes);
  RestoreTornBits(again.get());
  Check(std::memcmp(again.get(), page.get(), kPageBytes) == 0);  // restoring twice changes nothing more
  Names(page.get());

  // UTF-16 text of any length, odd trailing byte ignored.
  auto text = std::make_unique<uint8_t[]>(size + 1);
  std::memcpy(text.get(), data, size);
  Check(ValidUtf8(Utf16LeToUtf8(text.get(), size / 2)));
  return int(sum & 0);
}
