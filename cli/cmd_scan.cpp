// sorrelon scan SOURCE [options]: scans as SCAN does and prints the log, the
// fragment list and the database-file list.
#include <iostream>

#include "cli/common.h"

namespace sorrelon::cli {
namespace {

int RunScanCommand(const Args& in) {
  Args args = in;
  ScanOptions opt;
  if (auto err = TakeScanOptions(args, opt)) {
    std::cerr << "sorrelon scan: " << *err << "\n";
    return 2;
  }
  if (args.size() != 1 || args[0].rfind("--", 0) == 0) {
    std::cerr << "usage: sorrelon scan SOURCE [--begin S] [--end S] [--step N] [--all-space] [--file-id N]\n"
                 "                        [--max-start-page N] [--volume|--disk] [--quiet]\n";
    return 2;
  }
  opt.source = args[0];
  Session s;
  ConsolePerson person;
  person.quiet = opt.quiet;
  if (!PrepareSource(s, person, opt)) return 1;
  ScanEnd how{};
  if (!ScanSource(s, person, &how)) return 2;
  PrintFragmentList(s);
  PrintDatabaseFiles(s);
  return (how == ScanEnd::Finished || how == ScanEnd::Stopped || how == ScanEnd::StoreFull) ? 0 : 1;
}

Registrar reg("scan", "scan a disk, partition or image for database pages and list the fragments", RunScanCommand);

}  // namespace
}  // namespace sorrelon::cli
