// Rows of the three lists as core data: the fragment list (check marks,
// visibility, display order), the database-file list and the assembly list
// (rebuild order, sort column). The views of the fronts are models over these.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "catalogue/fragment.h"

namespace sorrelon {

struct ListRow {
  int32_t fragment = 0;  // fragment index in the store
  int32_t number = 0;    // column 0: fragment index + 1 (fragment list), row number (others)
  bool checked = false;
  std::optional<std::string> remarkCell;  // a cell changed in the list alone
};

// The seven columns of the fragment list and the assembly list.
enum Column : int { kColNumber = 0, kColSize = 1, kColStartPage = 2, kColEndPage = 3, kColRemark = 4,
                    kColStartSector = 5, kColEndSector = 6 };

struct RowList {
  std::vector<ListRow> rows;
  int current = -1;  // the list's current row (ItemIndex), -1 for none

  size_t size() const { return rows.size(); }
  bool empty() const { return rows.empty(); }
  const Fragment& FragmentOf(const FragmentStore& store, size_t row) const { return store[size_t(rows[row].fragment)]; }
  const std::string& Remark(const FragmentStore& store, size_t row) const {
    return rows[row].remarkCell ? *rows[row].remarkCell : store[size_t(rows[row].fragment)].remark;
  }
};

// Cell text of column `column` of a fragment-list or assembly-list row.
std::string CellText(const FragmentStore& store, const ListRow& row, int column);

// Header-click sort: ascending by the column (numbers as 64-bit integers,
// the remark and other text ignoring ASCII case); stable for equal keys.
void SortRows(RowList& list, const FragmentStore& store, int column);

// Fragment list rebuild: one unchecked row per visible record, in store order.
void RebuildFragmentList(const FragmentStore& store, RowList& list);
// Assembly list rebuild: one row per fragment whose flag is 1, in store order,
// numbered 1, 2, 3 ...
void RebuildAssemblyList(const FragmentStore& store, const std::vector<int32_t>& flags, RowList& list);
// Database-file list rebuild (without the content-mode refresh): visible
// records starting at page 0, numbered from 1; the file-name column holds
// the remark until a refresh sets remarkCell.
void RebuildDatabaseFileList(const FragmentStore& store, RowList& list);

}  // namespace sorrelon
