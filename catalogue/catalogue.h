// The fragment catalogue: the store, its start-page index, the assembly flags
// and the rows of the three lists, with the lock that guards them while the
// scan's worker thread appends.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "catalogue/fragment.h"
#include "catalogue/lists.h"

namespace sorrelon {

struct Catalogue {
  FragmentStore store;
  StartPageIndex startIndex;
  std::vector<int32_t> assemblyFlags;  // one per fragment index; 1 = chosen for the new file
  RowList fragmentList;                // the fragment list
  RowList databaseFiles;               // the database-file list
  RowList assemblyList;                // the assembly list
  int sortColumn = 0;                  // last header clicked in either list
  // CREATE MDF, CHECK and SEARCH MORE: usable once the assembly list is
  // sorted by its start-page column.
  struct AssemblyButtons {
    bool createMdf = false;
    bool check = false;
    bool searchMore = true;
  } assemblyButtons;
  // Held by whoever changes the store or the rows while another thread may
  // read them (the scan appends from its worker).
  mutable std::mutex mutex;

  // Empties the store, the index, the flags and the lists.
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex);
    store.Clear();
    startIndex = {};
    assemblyFlags.clear();
    fragmentList = {};
    databaseFiles = {};
    assemblyList = {};
    sortColumn = 0;
    assemblyButtons = {};
  }

  int32_t AssemblyFlag(size_t i) const { return i < assemblyFlags.size() ? assemblyFlags[i] : 0; }
  void SetAssemblyFlag(size_t i, int32_t v) {
    if (assemblyFlags.size() < store.size()) assemblyFlags.resize(store.size(), 0);
    if (i < assemblyFlags.size()) assemblyFlags[i] = v;
  }
  void ClearAssemblyFlags() { assemblyFlags.assign(store.size(), 0); }

  // A header click on the assembly list: sorts it by `column` and enables the
  // three assembly buttons exactly when the column is the start page.
  void AssemblyColumnClick(int column) {
    sortColumn = column;
    SortRows(assemblyList, store, column);
    bool on = column == kColStartPage;
    assemblyButtons = {on, on, on};
  }
  void DisableAssemblyButtons() { assemblyButtons = {false, false, false}; }
  // A header click on the fragment list; ignored while a scan runs.
  void FragmentListColumnClick(int column, bool scanRunning) {
    if (scanRunning) return;
    sortColumn = column;
    SortRows(fragmentList, store, column);
  }
};

}  // namespace sorrelon
