#include "catalogue/list_commands.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "base/bytes.h"
#include "base/text.h"
#include "page/page.h"

namespace sorrelon {

namespace {

std::string NotANumber(const std::string& text, const char* field) {
  return "'" + text + "' is not a valid integer value (" + field + ")";
}

// The fragment of a row, or null for a row that names no record of the store.
const Fragment* RowFragment(const Catalogue& cat, const ListRow& r) {
  if (r.fragment < 0 || size_t(r.fragment) >= cat.store.size()) return nullptr;
  return &cat.store[size_t(r.fragment)];
}

}  // namespace

bool FilterFragments(Catalogue& cat, const FilterFields& fields, Person& person) {
  enum { All, Range, HoldsPage } branch;
  int32_t lower = 0, upper = 0, id = 0;
  if (fields.rb3) {
    branch = All;
  } else if (fields.rb1) {
    branch = Range;
    auto lo = ParseInt32(fields.edit1);
    if (!lo) {
      person.Message(NotANumber(fields.edit1, "开始页面号 >="), "提示");
      return false;
    }
    auto hi = ParseInt32(fields.edtendid);
    if (!hi) {
      person.Message(NotANumber(fields.edtendid, "开始页面号 <"), "提示");
      return false;
    }
    lower = *lo;
    upper = *hi;
  } else if (fields.rb2) {
    branch = HoldsPage;
    auto p = ParseInt32(fields.edtpgid);
    if (!p) {
      person.Message(NotANumber(fields.edtpgid, "含如ID的碎片"), "提示");
      return false;
    }
    id = *p;
  } else {
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(cat.mutex);
    for (size_t i = 0; i < cat.store.size(); ++i) {
      Fragment& f = cat.store[i];
      switch (branch) {
        case All: f.visible = true; break;
        case Range: f.visible = lower <= f.startPage && f.startPage < upper; break;
        case HoldsPage: f.visible = f.startPage <= id && id < f.endPage; break;
      }
    }
    RebuildFragmentList(cat.store, cat.fragmentList);
  }
  person.Changed(View::FragmentList);
  return true;
}

void CheckAllRows(Catalogue& cat) {
  std::lock_guard<std::mutex> lock(cat.mutex);
  for (ListRow& r : cat.fragmentList.rows) r.checked = true;
}

void UncheckAllRows(Catalogue& cat) {
  std::lock_guard<std::mutex> lock(cat.mutex);
  for (ListRow& r : cat.fragmentList.rows) r.checked = false;
}

void InvertCheckedRows(Catalogue& cat) {
  std::lock_guard<std::mutex> lock(cat.mutex);
  for (ListRow& r : cat.fragmentList.rows) r.checked = !r.checked;
}

void ShowCheckedStatistics(const Catalogue& cat, Person& person) {
  int64_t count = 0, total = 0;  // 64-bit: the sizes of millions of fragments exceed 32 bits
  {
    std::lock_guard<std::mutex> lock(cat.mutex);
    for (const ListRow& r : cat.fragmentList.rows) {
      const Fragment* f = RowFragment(cat, r);
      if (!r.checked || !f) continue;
      ++count;
      total += f->sizeKb;
    }
  }
  person.Message("统计结果:碎片数量为" + std::to_string(count) + "总大小为:" + std::to_string(total) + "KB", "提示");
}

void CopyStartSector(const Catalogue& cat, Person& person) {
  std::string text;
  {
    std::lock_guard<std::mutex> lock(cat.mutex);
    const RowList& list = cat.fragmentList;
    if (list.current < 0 || size_t(list.current) >= list.size()) return;
    const ListRow& r = list.rows[size_t(list.current)];
    if (!RowFragment(cat, r)) return;
    text = std::string(Trim(CellText(cat.store, r, kColStartSector)));
  }
  person.SetClipboard(text);
}

void AddCheckedToAssembly(Catalogue& cat, Person& person) {
  {
    std::lock_guard<std::mutex> lock(cat.mutex);
    if (cat.assemblyFlags.size() < cat.store.size()) cat.assemblyFlags.resize(cat.store.size(), 0);
    for (const ListRow& r : cat.fragmentList.rows)
      if (r.checked && RowFragment(cat, r)) cat.assemblyFlags[size_t(r.fragment)] = 1;
    RebuildAssemblyList(cat.store, cat.assemblyFlags, cat.assemblyList);
  }
  person.Changed(View::AssemblyList);
}

void ShowCheckedFileNames(const Catalogue& cat, FragmentReader& reader, Person& person) {
  struct Item {
    int64_t startSector;
    int32_t startPage, endPage;
  };
  std::vector<Item> items;
  {
    std::lock_guard<std::mutex> lock(cat.mutex);
    for (const ListRow& r : cat.fragmentList.rows) {
      const Fragment* f = RowFragment(cat, r);
      if (r.checked && f) items.push_back({f->startSector, f->startPage, f->endPage});
    }
  }
  std::vector<uint8_t> page(kPageSize);
  for (const Item& it : items) {
    if (it.startPage > 32 || it.endPage <= 32) return;  // does not hold page 32: the command ends here
    if (!reader.ReadPage(it.startSector, 32 - int64_t(it.startPage), page.data())) {
      person.Message("read disk error", "提示");
      return;
    }
    page::RestoreTornBits(page.data());
    auto name = page::PhysicalFileName(page.data());
    person.Message(name ? *name : std::string("none"), "提示");
  }
}

void AppendUpdateInfo(Catalogue& cat, FragmentReader& reader, Person& person) {
  struct Item {
    size_t row;
    int32_t fragment;
    int64_t startSector;
  };
  std::vector<Item> items;
  {
    std::lock_guard<std::mutex> lock(cat.mutex);
    const auto& rows = cat.fragmentList.rows;
    for (size_t i = 0; i < rows.size(); ++i) {
      const Fragment* f = RowFragment(cat, rows[i]);
      if (f && f->startPage == 0) items.push_back({i, rows[i].fragment, f->startSector});
    }
  }
  std::vector<uint8_t> page(kPageSize);
  for (const Item& it : items) {
    if (!reader.ReadPage(it.startSector, 0, page.data())) {
      person.Message("read disk error", "提示");
      person.Changed(View::FragmentList);
      return;
    }
    const std::string lsn = page::LsnText(page.data());
    std::lock_guard<std::mutex> lock(cat.mutex);
    auto& rows = cat.fragmentList.rows;
    if (it.row >= rows.size() || rows[it.row].fragment != it.fragment) continue;  // the list changed meanwhile
    ListRow& r = rows[it.row];
    r.remarkCell = std::string(Trim(CellText(cat.store, r, kColRemark))) + " " + lsn;
  }
  person.Changed(View::FragmentList);
  person.Message("处理完毕", "提示");
}

std::optional<int64_t> AutoCheck(Catalogue& cat, const AutoCheckFields& fields, Person& person) {
  auto gap = ParseInt32(fields.edtpagelen);
  if (!gap) {
    person.Message(NotANumber(fields.edtpagelen, "页码范围"), "提示");
    return std::nullopt;
  }
  auto ahead = ParseInt32(fields.edtlen);
  if (!ahead) {
    person.Message(NotANumber(fields.edtlen, "往下范围"), "提示");
    return std::nullopt;
  }
  int64_t r;
  {
    std::lock_guard<std::mutex> lock(cat.mutex);
    RowList& list = cat.fragmentList;
    if (list.current < 0 || size_t(list.current) >= list.size()) return std::nullopt;
    const int64_t count = int64_t(list.size());
    auto fragmentAt = [&](int64_t i) { return RowFragment(cat, list.rows[size_t(i)]); };
    r = list.current;
    const Fragment* cur = fragmentAt(r);
    int64_t last = cur ? cur->endPage : 0;
    r = r + 1;
    int64_t limit = std::min<int64_t>(r + *ahead, count - 1);
    while (r <= limit) {
      const Fragment* f = fragmentAt(r);
      if (f && last <= f->startPage && f->startPage <= last + *gap) {
        list.rows[size_t(r)].checked = true;
        last = f->endPage;
        limit = std::min<int64_t>(r + 1 + *ahead, count - 1);
      }
      ++r;
    }
  }
  person.Changed(View::FragmentList);
  person.Message("本次处理到index" + std::to_string(r), "提示");
  return r;
}

}  // namespace sorrelon
