// Shared pieces of the scan and recover commands: the source and scan
// options, choosing the source as the first tab would, and printing lists.
#pragma once

#include <optional>
#include <string>

#include "cli/command.h"
#include "cli/console_person.h"
#include "session/session.h"

namespace sorrelon::cli {

struct ScanOptions {
  std::string source;
  std::optional<int64_t> begin, end;
  std::optional<int32_t> step;
  bool allSpace = false;
  std::optional<int32_t> fileId;
  std::optional<int32_t> maxStartPage;
  int forceKind = 0;  // 1 volume, 2 disk, 0 by sector 0
  bool quiet = false;
};

// Consumes the scan options it knows from `args` (leaving the others);
// returns an error text on a malformed option.
std::optional<std::string> TakeScanOptions(Args& args, ScanOptions& opt);

// Whether sector 0 of the source is an NTFS or FAT32 boot sector.
bool LooksLikeVolume(Session& s);

// Chooses the source and applies the options to the first tab's fields.
// false (with a message on standard error) when the source cannot be used.
bool PrepareSource(Session& s, ConsolePerson& person, const ScanOptions& opt);

// Scans with the fields as prepared; false when the settings are invalid.
bool ScanSource(Session& s, ConsolePerson& person, ScanEnd* how = nullptr);

void PrintFragmentList(const Session& s);
// The database-file list as the session holds it (rebuilt by the caller),
// so the printed row numbers are the ones --db refers to.
void PrintDatabaseFiles(const Session& s);

}  // namespace sorrelon::cli
