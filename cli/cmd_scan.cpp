// sorrelon scan SOURCE [options]: scans as SCAN does and prints the log, the
// fragment list and the database-file list; with --save it writes the
// scan-info file (and with --content the content file) as SAVE does.
#include <iostream>

#include "cli/common.h"
#include "cli/saved_scan.h"

namespace sorrelon::cli {
namespace {

int RunScanCommand(const Args& in) {
  Args args = in;
  ScanOptions opt;
  if (auto err = TakeScanOptions(args, opt)) {
    std::cerr << "sorrelon scan: " << *err << "\n";
    return 2;
  }
  std::string savePath, contentPath;
  bool plainOnly = false;
  for (size_t i = 0; i < args.size();) {
    if (args[i] == "--plain") {
      plainOnly = true;
      args.erase(args.begin() + std::ptrdiff_t(i));
      continue;
    }
    std::string* dst = args[i] == "--save" ? &savePath : args[i] == "--content" ? &contentPath : nullptr;
    if (!dst) {
      ++i;
      continue;
    }
    if (i + 1 >= args.size() || args[i + 1].empty()) {
      std::cerr << "sorrelon scan: " << args[i] << " needs a file\n";
      return 2;
    }
    *dst = args[i + 1];
    args.erase(args.begin() + std::ptrdiff_t(i), args.begin() + std::ptrdiff_t(i + 2));
  }
  if (args.size() != 1 || args[0].rfind("--", 0) == 0 || (!contentPath.empty() && savePath.empty())) {
    std::cerr << "usage: sorrelon scan SOURCE [--begin S] [--end S] [--step N] [--all-space] [--file-id N]\n"
                 "                        [--max-start-page N] [--volume|--disk] [--plain] [--quiet]\n"
                 "                        [--save FILE.sif [--content FILE]]\n"
                 "  --plain           the plain scan alone: no file-header page recorded without\n"
                 "                    page 1 behind it (deep recovery records them, as recover does)\n"
                 "  --save FILE.sif   write the scan-info file (the fragment records) after the scan\n"
                 "  --content FILE    also write every fragment's sectors to a content file, so that\n"
                 "                    recover and export can work later without the source\n";
    return 2;
  }
  opt.source = args[0];
  Session s;
  ConsolePerson person;
  person.quiet = opt.quiet;
  if (!PrepareSource(s, person, opt)) return 1;
  s.SetDeep(!plainOnly);  // as recover: deep recovery unless --plain
  ScanEnd how{};
  if (!ScanSource(s, person, &how)) return 2;
  PrintFragmentList(s);
  RebuildDatabaseFileList(s.catalogue.store, s.catalogue.databaseFiles);
  PrintDatabaseFiles(s);
  if (!savePath.empty() && !SaveScan(s, person, savePath, contentPath)) return 1;
  return (how == ScanEnd::Finished || how == ScanEnd::Stopped || how == ScanEnd::StoreFull) ? 0 : 1;
}

Registrar reg("scan", "scan a disk, partition or image for database pages and list the fragments", RunScanCommand);

}  // namespace
}  // namespace sorrelon::cli
