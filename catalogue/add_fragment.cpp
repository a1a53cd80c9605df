#include "catalogue/add_fragment.h"

#include <vector>

#include "base/bytes.h"
#include "base/text.h"
#include "page/page.h"

namespace sorrelon {
namespace {

// A remark is one field of a "|"-separated record: a name read from a disk
// must not carry the separator or control characters into it.
std::string RemarkSafe(std::string s) {
  for (char& c : s) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '|') c = '_';
    else if (u < 0x20 || u == 0x7f) c = ' ';
  }
  return s;
}

bool ReadPage(SectorReader& reader, int64_t sector, uint8_t* buf) { return reader.ReadSectors(16, buf, sector); }

int32_t PageCountOf(uint8_t* page0, Person& person) {
  page::RestoreTornBits(page0);
  auto count = page::FilePageCount(page0);
  if (!count) {
    person.AddLog(Log::Scan, "get fileinfo1 error");
    return 0;
  }
  return *count;
}

}  // namespace

std::optional<std::string> HeaderRemark(int32_t pages, int64_t startSector, const std::string& carried,
                                        SectorReader& reader, Person& person) {
  std::vector<uint8_t> page(kPageSize);
  if (pages <= 32) {
    if (!ReadPage(reader, startSector, page.data())) {
      person.Message("read disk error", "提示");
      return std::nullopt;
    }
    int32_t count = PageCountOf(page.data(), person);
    return std::string(kInvalidHeaderRemark) + ",size:" + std::to_string(int64_t(count) * 8) + "KB";
  }
  if (carried.find(kInvalidHeaderRemark) == std::string::npos) return carried;

  if (!ReadPage(reader, startSector, page.data())) {
    person.Message("read disk error", "提示");
    return std::nullopt;
  }
  int32_t count = PageCountOf(page.data(), person);
  if (!ReadPage(reader, startSector + 512, page.data())) {
    person.Message("read disk error", "提示");
    return std::nullopt;
  }
  page::RestoreTornBits(page.data());
  std::string name;
  if (auto n = page::PhysicalFileName(page.data())) {
    name = RemarkSafe(*n);
  } else {
    person.AddLog(Log::Scan, "get fileinfo2 error");
    name = "none";
  }
  return NamedHeaderRemark(name, count);
}

std::string NamedHeaderRemark(const std::string& name, int32_t pageCount) {
  double mb = double(int64_t(pageCount) * 16) / 2048.0;
  std::string size = mb < 1000 ? FormatFixed2(mb) + " MB)" : FormatFixed2(mb / 1024) + " GB)";
  return RemarkSafe(name) + "(" + size;
}

AddResult AddFragment(Catalogue& cat, const AddFragmentOptions& opt, int32_t n, int32_t N, int32_t b, int64_t S,
                      const std::string& carried, bool replaceLast, SectorReader& reader, Person& person) {
  if (opt.limitStartPage && b >= opt.maxStartPage) return AddResult::Dropped;
  Fragment f;
  f.number = n;
  f.startSector = S;
  f.endSector = S + 16 * int64_t(N);
  f.sizeKb = int32_t(8 * int64_t(N));
  f.startPage = b;
  f.endPage = int32_t(int64_t(b) + N);
  f.visible = true;
  if (b == 0) {
    auto remark = HeaderRemark(N, S, carried, reader, person);
    if (!remark) return AddResult::Refused;
    f.remark = *remark;
  } else {
    f.remark = " ";
  }

  std::lock_guard<std::mutex> lock(cat.mutex);
  if (replaceLast && !cat.store.empty()) {
    int32_t last = int32_t(cat.store.size() - 1);
    cat.store.RemoveLast();
    // The fragment list shows the replaced record in its last row unless the
    // list was reordered; remove the row that shows it, wherever it is.
    auto& rows = cat.fragmentList.rows;
    for (size_t i = rows.size(); i-- > 0;) {
      if (rows[i].fragment == last) {
        rows.erase(rows.begin() + std::ptrdiff_t(i));
        break;
      }
    }
  } else if (cat.store.full()) {
    return AddResult::Full;
  }
  cat.store.Append(std::move(f));
  int32_t index = int32_t(cat.store.size() - 1);
  cat.fragmentList.rows.push_back({index, index + 1, false, std::nullopt});
  if (cat.assemblyFlags.size() < cat.store.size()) cat.assemblyFlags.resize(cat.store.size(), 0);
  return AddResult::Added;
}

}  // namespace sorrelon
