// Recording a fragment found by the scan: the record, its row in the
// fragment list, and for a fragment that begins at page 0 the header remark
// naming the file and its size (from pages 0 and 32).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/person.h"
#include "catalogue/catalogue.h"
#include "storage/sector_reader.h"

namespace sorrelon {

inline constexpr const char* kInvalidHeaderRemark = "无效文件头";

struct AddFragmentOptions {
  bool limitStartPage = false;  // CheckBox1
  int32_t maxStartPage = 0;     // edtmaxpageid
};

// The header remark of a fragment of `pages` pages at `startSector` that
// begins at page 0, carrying `carried` from an earlier record of it.
// nullopt when page 0 or 32 cannot be read (after "read disk error").
// Pages are read from the live source: the scan reads the live source.
std::optional<std::string> HeaderRemark(int32_t pages, int64_t startSector, const std::string& carried,
                                        SectorReader& reader, Person& person);

// The remark of a header fragment whose file is named: "name(12.34 MB)".
std::string NamedHeaderRemark(const std::string& name, int32_t pageCount);

enum class AddResult { Added, Dropped, Refused, Full };

// Appends the record (number n, N pages from page b at sector S) and its
// fragment-list row. When `replaceLast` is set the new record takes the place
// of the store's last record (a grown fragment); the old record is removed
// only once the new one is built, so a failed read never loses it.
AddResult AddFragment(Catalogue& cat, const AddFragmentOptions& opt, int32_t n, int32_t N, int32_t b, int64_t S,
                      const std::string& carried, bool replaceLast, SectorReader& reader, Person& person);

}  // namespace sorrelon
