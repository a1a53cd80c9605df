// Scan-info lines and files on arbitrary bytes: the cipher never reads past
// its input, a line that decodes is a record that survives being written and
// read again, and a whole file is either rejected or gives one record per line.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "catalogue/scan_info.h"

namespace {

using namespace sorrelon;

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  // The cipher.
  auto plain = Decipher(text, kScanInfoKey);
  Check(plain.has_value() == (!text.empty() && text.size() % 2 == 0 &&
                              text.find_first_not_of("0123456789ABCDEFabcdef") == std::string_view::npos));
  if (plain) Check(plain->size() == text.size() / 2 - 1);
  const std::string hex = Encipher(text, kScanInfoKey, size ? data[0] : 0);
  Check(hex.size() == 2 + 2 * size);
  auto back = Decipher(hex, kScanInfoKey);
  Check(back && back->size() == size);
  for (size_t i = 0; i < size; ++i)
    if (data[i] != 0 && data[i] != 255) Check(uint8_t((*back)[i]) == data[i]);

  // A line as a record: written and read again, it is the same record.
  if (auto rec = DecodeScanInfoLine(text)) {
    auto again = DecodeScanInfoLine(EncodeScanInfoLine(*rec));
    Check(again.has_value());
    Check(again->number == rec->number && again->startSector == rec->startSector &&
          again->endSector == rec->endSector && again->sizeKb == rec->sizeKb && again->startPage == rec->startPage &&
          again->endPage == rec->endPage && again->visible == rec->visible);
    if (rec->remark.find('\0') == std::string::npos) Check(again->remark == rec->remark);
  }
  // The bytes as plain record text, enciphered as a line.
  if (auto rec = DecodeScanInfoLine(Encipher(text, kScanInfoKey, 0x5A))) Check(rec->ToLine().back() == '|');

  // The bytes as a whole file, one input in eight.
  if (size && (data[0] & 7) == 0) {
    static const std::string path = "/tmp/fuzz_scan_info." + std::to_string(::getpid());
    if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
      std::fwrite(data, 1, size, f);
      std::fclose(f);
      ScanInfoReadError err;
      auto records = ReadScanInfoFile(path, &err);
      if (records) {
        size_t lines = 0;
        bool inLine = false;
        for (size_t i = 0; i < size; ++i) {
          const bool end = data[i] == '\r' || data[i] == '\n';
          if (!end) inLine = true;
          if (end && inLine) ++lines, inLine = false;
        }
        lines += inLine;
        Check(records->size() == lines);
      } else {
        Check(err.kind == ScanInfoReadError::BadLine && err.line >= 1);
      }
    }
  }
  return 0;
}
