#include "catalogue/lists.h"

#include <algorithm>

#include "base/text.h"

namespace sorrelon {

std::string CellText(const FragmentStore& store, const ListRow& row, int column) {
  const Fragment& f = store[size_t(row.fragment)];
  switch (column) {
    case kColNumber: return std::to_string(row.number);
    case kColSize: return std::to_string(f.sizeKb);
    case kColStartPage: return std::to_string(f.startPage);
    case kColEndPage: return std::to_string(f.endPage);
    case kColRemark: return row.remarkCell ? *row.remarkCell : f.remark;
    case kColStartSector: return std::to_string(f.startSector);
    case kColEndSector: return std::to_string(f.endSector);
    default: return {};
  }
}

namespace {
int64_t NumericKey(const FragmentStore& store, const ListRow& row, int column) {
  const Fragment& f = store[size_t(row.fragment)];
  switch (column) {
    case kColNumber: return row.number;
    case kColSize: return f.sizeKb;
    case kColStartPage: return f.startPage;
    case kColEndPage: return f.endPage;
    case kColStartSector: return f.startSector;
    case kColEndSector: return f.endSector;
    default: return 0;
  }
}
}  // namespace

void SortRows(RowList& list, const FragmentStore& store, int column) {
  auto& rows = list.rows;
  if (column == kColRemark || column < 0 || column > kColEndSector) {
    std::stable_sort(rows.begin(), rows.end(), [&](const ListRow& a, const ListRow& b) {
      const std::string& ra = a.remarkCell ? *a.remarkCell : store[size_t(a.fragment)].remark;
      const std::string& rb = b.remarkCell ? *b.remarkCell : store[size_t(b.fragment)].remark;
      return column == kColRemark ? CompareNoCase(ra, rb) < 0 : false;
    });
  } else {
    // Keys are computed once: a sort of two million rows must not re-read
    // records through the comparator more than it needs to.
    std::vector<std::pair<int64_t, uint32_t>> keys(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) keys[i] = {NumericKey(store, rows[i], column), uint32_t(i)};
    std::sort(keys.begin(), keys.end());  // (key, original position): stable order
    std::vector<ListRow> sorted;
    sorted.reserve(rows.size());
    for (auto& k : keys) sorted.push_back(std::move(rows[k.second]));
    rows = std::move(sorted);
  }
  list.current = -1;
}

void RebuildFragmentList(const FragmentStore& store, RowList& list) {
  list.rows.clear();
  list.current = -1;
  for (size_t i = 0; i < store.size(); ++i) {
    if (!store[i].visible) continue;
    list.rows.push_back({int32_t(i), int32_t(i + 1), false, std::nullopt});
  }
}

void RebuildAssemblyList(const FragmentStore& store, const std::vector<int32_t>& flags, RowList& list) {
  list.rows.clear();
  list.current = -1;
  for (size_t i = 0; i < store.size() && i < flags.size(); ++i) {
    if (flags[i] != 1) continue;
    list.rows.push_back({int32_t(i), int32_t(list.rows.size() + 1), false, std::nullopt});
  }
}

void RebuildDatabaseFileList(const FragmentStore& store, RowList& list) {
  list.rows.clear();
  list.current = -1;
  for (size_t i = 0; i < store.size(); ++i) {
    if (!store[i].visible || store[i].startPage != 0) continue;
    list.rows.push_back({int32_t(i), int32_t(list.rows.size() + 1), false, std::nullopt});
  }
}

}  // namespace sorrelon
