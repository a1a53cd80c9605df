// What the program makes of a database file's pages 0 and 32 when they are
// arbitrary bytes: the header remark the scan records (and the record line it
// becomes in the scan-info file), the content-mode name refresh of the
// database-file list, the file names and update information of the fragment
// list, and the default name CREATE MDF offers.
//
// Input: page 0 (8 KB), page 32 (8 KB); a byte after them, when present,
// chooses the fragment's length and the remark carried from an earlier record.
#include <cstdint>
#include <string>
#include <vector>

#include "assembly/mdf_writer.h"
#include "base/bytes.h"
#include "catalogue/add_fragment.h"
#include "catalogue/content_file.h"
#include "catalogue/list_commands.h"
#include "catalogue/scan_info.h"
#include "fuzz/fuzz_support.h"
#include "page/page.h"

using namespace sorrelon;
using sorrelon::fuzz::Check;

namespace {

// A field of a "|"-separated record line: no separator, no control character.
void CheckField(const std::string& s) {
  for (char c : s) {
    const auto u = static_cast<unsigned char>(c);
    Check(c != '|' && u >= 0x20 && u != 0x7f);
  }
}

// A name used as a file name in a folder the person chose.
void CheckFileName(const std::string& name) {
  Check(!name.empty());
  Check(name.find('/') == std::string::npos && name.find('\\') == std::string::npos);
  Check(name.find(':') == std::string::npos);
  Check(name.find_first_not_of('.') != std::string::npos);
  for (char c : name) Check(static_cast<unsigned char>(c) >= 0x20);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 2 * kPageSize + 1) return 0;
  const uint8_t control = size > 2 * kPageSize ? data[2 * kPageSize] : 0x21;
  static const int32_t kLengths[] = {1, 2, 32, 33, 34, 40, 64, 100000};
  const int32_t pages = kLengths[control % 8];
  const bool carriedInvalid = !(control & 0x80);

  // A volume of 40 pages: page 0 at sector 0, page 32 at sector 512.
  std::vector<uint8_t> image(40 * kPageSize, 0);
  std::memcpy(image.data(), data, std::min<size_t>(size, kPageSize));
  if (size > kPageSize) std::memcpy(image.data() + 32 * kPageSize, data + kPageSize, std::min<size_t>(size, 2 * kPageSize) - kPageSize);

  DataSource ds;
  fuzz::MemoryReader reader(ds, image);
  SilentPerson person;
  const std::string carried = carriedInvalid ? std::string(kInvalidHeaderRemark) : "carried(1.00 MB)";

  // The remark and the record the scan makes of it.
  if (auto remark = HeaderRemark(pages, 0, carried, reader, person)) CheckField(*remark);
  Catalogue cat;
  const AddResult added = AddFragment(cat, {}, 1, pages, 0, 0, carried, false, reader, person);
  Check(added == AddResult::Added);
  const Fragment& f = cat.store[0];
  CheckField(f.remark);
  auto parsed = Fragment::FromLine(f.ToLine());
  Check(parsed && parsed->remark == f.remark && parsed->sizeKb == f.sizeKb);
  auto decoded = DecodeScanInfoLine(EncodeScanInfoLine(f));
  Check(decoded && decoded->remark == f.remark);

  // The same pages read in content mode and by the fragment list's commands.
  ds.readFromSource = false;
  fuzz::PagesSource content;
  content.pages[0] = image;
  FragmentReader fragments(ds, reader);
  fragments.SetContent(&content);
  cat.store[0].sizeKb = 40 * 8;
  cat.store[0].endPage = 40;
  RebuildDatabaseFileList(cat.store, cat.databaseFiles);
  RebuildFragmentList(cat.store, cat.fragmentList);
  RefreshDatabaseFileNames(ds, fragments, cat, person);
  CheckAllRows(cat);
  ShowCheckedFileNames(cat, fragments, person);
  AppendUpdateInfo(cat, fragments, person);
  for (const ListRow& row : cat.fragmentList.rows)
    if (row.remarkCell) Check(row.remarkCell->size() >= 20);

  // The name CREATE MDF offers, from page 32.
  std::vector<uint8_t> page32(image.begin() + 32 * kPageSize, image.begin() + 33 * kPageSize);
  page::RestoreTornBits(page32.data());
  if (auto name = page::PhysicalFileName(page32.data())) CheckFileName(DefaultMdfName(*name));
  CheckFileName(DefaultMdfName(kNoName));
  return 0;
}
