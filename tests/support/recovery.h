// A whole recovery through the core, as the window's road takes it, and the
// page-by-page comparison of a rebuilt file with the original.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "assembly/mdf_writer.h"
#include "session/session.h"
#include "tests/support/fake_person.h"

namespace sorrelon::test {

struct RecoverOptions {
  bool volume = false;          // choose the image as a partition image
  bool freeSpaceOnly = true;    // for a volume: the first tab's default
  int step = 0;                 // 0: what the choice filled in
  std::string dbName;           // a database-file row whose name contains this; empty: the first row
  bool deep = false;            // deep recovery (深度恢复)
};

struct Recovery {
  bool analysed = false;
  MdfWriteResult written;
  std::vector<std::string> checkLines;  // what CHECK logged
};

// Chooses `image`, scans, selects the database file, runs SEARCH (automatic),
// sorts the assembly, SEARCH MORE, CHECK and CREATE MDF to `out`.
Recovery RecoverImage(Session& s, FakePerson& person, const std::filesystem::path& image,
                      const std::filesystem::path& out, const RecoverOptions& opt = {});
// Its two halves. ScanImage chooses and scans `image` and rebuilds the
// database-file list (false when the image cannot be chosen or the settings
// read); RebuildRow runs SEARCH (automatic) on row `row`, sorts the assembly,
// SEARCH MORE, CHECK and CREATE MDF to `out`.
bool ScanImage(Session& s, FakePerson& person, const std::filesystem::path& image, const RecoverOptions& opt = {});
Recovery RebuildRow(Session& s, FakePerson& person, int row, const std::filesystem::path& out);

// A genuine page: its header names its own page number and file 1.
bool IsGenuinePage(const uint8_t* page, int64_t pageNumber);

struct Fidelity {
  int64_t genuine = 0;      // genuine pages of the original (among `considered`)
  int64_t recovered = 0;    // of those, byte-identical in the output
  int64_t wrong = 0;        // output pages that are neither the original page nor zero
  std::vector<int64_t> missing;   // genuine pages not recovered (first few)
  std::vector<int64_t> wrongPages;
};

// Compares page by page; `considered` (when not empty) limits the genuine
// pages counted to those that survive on the disk.
Fidelity Compare(const std::vector<uint8_t>& original, const std::vector<uint8_t>& output,
                 const std::vector<bool>& considered = {});

}  // namespace sorrelon::test
