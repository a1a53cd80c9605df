// sorrelon export: copies the pages of chosen fragments into files, as the
// fragment list's "提取勾选碎片到文件" does with its checked rows: one combined
// file with zero pages in the gaps of the page numbering, or one .hex file per
// fragment named after its start sector. The fragments come from a scan of
// SOURCE or from a saved scan (with its content file, no source is needed).
#include <algorithm>
#include <iostream>
#include <set>

#include "assembly/export.h"
#include "base/text.h"
#include "cli/common.h"
#include "cli/saved_scan.h"

namespace sorrelon::cli {
namespace {

const char* kUsage =
    "usage: sorrelon export SOURCE --fragments LIST (--combined FILE | --per-fragment DIR) [options]\n"
    "       sorrelon export --scan-info FILE.sif (--content FILE | SOURCE) --fragments LIST\n"
    "                       (--combined FILE | --per-fragment DIR) [options]\n"
    "\n"
    "  --fragments LIST     fragment numbers as the fragment list's first column shows them:\n"
    "                       comma-separated numbers and ranges (3,7,10-12) or 'all'\n"
    "  --combined FILE      one file: the fragments' pages in list order, all-zero pages\n"
    "                       where the page numbering leaves a gap; pages split across\n"
    "                       clusters are repaired when clusters are smaller than a page\n"
    "  --check-pages        with --combined: refuse fragments that begin below the end\n"
    "                       page of the one before them (page numbers repeated)\n"
    "  --per-fragment DIR   one file per fragment, DIR/<start sector>.hex\n"
    "  --sort-by-start-page order the list by start page first (default: fragment number)\n"
    "  --scan-info FILE.sif, --content FILE: a scan saved with 'scan --save'\n"
    "  scan options (with SOURCE): --begin --end --step --all-space --file-id\n"
    "                              --max-start-page --volume|--disk --quiet\n";

// "3,7,10-12" -> {3, 7, 10, 11, 12}; nullopt on a malformed list.
std::optional<std::set<int64_t>> ParseFragmentList(const std::string& text) {
  std::set<int64_t> out;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t comma = text.find(',', pos);
    std::string_view item = std::string_view(text).substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    size_t dash = item.find('-', 1);
    auto a = ParseInt64(dash == std::string_view::npos ? item : item.substr(0, dash));
    auto b = dash == std::string_view::npos ? a : ParseInt64(item.substr(dash + 1));
    if (!a || !b || *a < 1 || *b < *a || *b - *a > 2000001) return std::nullopt;
    for (int64_t n = *a; n <= *b; ++n) out.insert(n);
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  return out;
}

int RunExport(const Args& in) {
  Args args = in;
  if (std::find(args.begin(), args.end(), "--help") != args.end() ||
      std::find(args.begin(), args.end(), "-h") != args.end()) {
    std::cout << kUsage;
    return 0;
  }
  ScanOptions opt;
  if (auto err = TakeScanOptions(args, opt)) {
    std::cerr << "sorrelon export: " << *err << "\n";
    return 2;
  }
  SavedScanOptions saved;
  if (auto err = TakeSavedScanOptions(args, saved)) {
    std::cerr << "sorrelon export: " << *err << "\n";
    return 2;
  }
  std::string fragments, combined, folder;
  bool checkPages = false, sortByStartPage = false;
  std::vector<std::string> rest;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& dst) {
      if (i + 1 >= args.size() || args[i + 1].empty()) return false;
      dst = args[++i];
      return true;
    };
    bool ok = true;
    if (a == "--fragments") ok = value(fragments);
    else if (a == "--combined") ok = value(combined);
    else if (a == "--per-fragment") ok = value(folder);
    else if (a == "--check-pages") checkPages = true;
    else if (a == "--sort-by-start-page") sortByStartPage = true;
    else if (a.rfind("-", 0) == 0) {
      std::cerr << "sorrelon export: unknown option " << a << "\n" << kUsage;
      return 2;
    } else rest.push_back(a);
    if (!ok) {
      std::cerr << "sorrelon export: " << a << " needs a value\n" << kUsage;
      return 2;
    }
  }
  const bool fromSaved = !saved.scanInfo.empty();
  if (fragments.empty() || combined.empty() == folder.empty() || rest.size() > 1 ||
      (!fromSaved && rest.size() != 1) || (!fromSaved && !saved.content.empty()) ||
      (fromSaved && rest.empty() && saved.content.empty()) || (checkPages && combined.empty())) {
    std::cerr << kUsage;
    return 2;
  }
  std::optional<std::set<int64_t>> chosen;
  const bool all = fragments == "all";
  if (!all && !(chosen = ParseFragmentList(fragments))) {
    std::cerr << "sorrelon export: --fragments: not a list of fragment numbers: " << fragments << "\n";
    return 2;
  }

  Session s;
  ConsolePerson person;
  person.quiet = opt.quiet;
  if (!rest.empty()) {
    opt.source = rest[0];
    if (!PrepareSource(s, person, opt)) return 1;
  }
  if (fromSaved) {
    if (!LoadSavedScan(s, person, saved, opt)) return 1;
  } else if (!ScanSource(s, person)) {
    return 2;
  }

  // Check the chosen rows of the fragment list, as a person would.
  Catalogue& cat = s.catalogue;
  RebuildFragmentList(cat.store, cat.fragmentList);
  if (sortByStartPage) cat.FragmentListColumnClick(kColStartPage, /*scanRunning=*/false);
  size_t checked = 0;
  for (ListRow& r : cat.fragmentList.rows) {
    r.checked = all || chosen->count(r.number) > 0;
    checked += r.checked;
  }
  if (!all && checked != chosen->size()) {
    std::set<int64_t> shown;
    for (const ListRow& r : cat.fragmentList.rows) shown.insert(r.number);
    for (int64_t n : *chosen)
      if (!shown.count(n))
        std::cerr << "sorrelon export: fragment " << n << " is not in the fragment list ("
                  << cat.fragmentList.size() << " rows)\n";
    return 1;
  }

  std::vector<ExportRow> rows = CheckedExportRows(cat);
  ExportResult res = combined.empty()
                         ? ExportFragmentFiles(rows, folder, s.fragments, person)
                         : ExportCombined(rows, combined, checkPages, s.source, s.fragments, person);
  if (!res.complete) {
    std::cerr << "sorrelon export: the export did not finish\n";
    return 1;
  }
  std::cout << "exported " << rows.size() << " fragment(s), " << res.pages << " pages";
  if (!combined.empty()) std::cout << " and " << res.zeroPages << " zero pages to " << combined << "\n";
  else std::cout << " to " << res.files.size() << " file(s) in " << folder << "\n";
  return 0;
}

Registrar reg("export", "copy the pages of chosen fragments to one combined file or one file per fragment", RunExport);

}  // namespace
}  // namespace sorrelon::cli
