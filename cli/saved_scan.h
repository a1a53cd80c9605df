// Saved scans on the command line: writing the scan-info file and the content
// file after a scan (as SAVE does), and loading them instead of scanning (as
// OPEN does, content mode included).
#pragma once

#include <optional>
#include <string>

#include "cli/command.h"
#include "cli/common.h"
#include "cli/console_person.h"
#include "session/session.h"

namespace sorrelon::cli {

struct SavedScanOptions {
  std::string scanInfo;  // --scan-info FILE.sif
  std::string content;   // --content FILE
};

// Consumes --scan-info FILE and --content FILE from `args`; an error text on a
// malformed option.
std::optional<std::string> TakeSavedScanOptions(Args& args, SavedScanOptions& opt);

// Loads opt.scanInfo into the session (the fragment list and the start-page
// index with it) and, with opt.content, turns content mode on. Scan options
// that OPEN reads from the first tab apply: --file-id (Edit2) and --step
// (edtsecs; without it the content file's trailer gives sectors per cluster).
// false after a message on standard error.
bool LoadSavedScan(Session& s, ConsolePerson& person, const SavedScanOptions& opt, const ScanOptions& scan);

// Writes the scan-info file and, when `contentPath` is not empty, the content
// file read from the live source. false when either was not wholly written.
bool SaveScan(Session& s, ConsolePerson& person, const std::string& scanInfoPath, const std::string& contentPath);

}  // namespace sorrelon::cli
