// sorrelon recover SOURCE -o OUT.mdf [--db N | --db-name TEXT] [--report FILE.json] [scan options]
// sorrelon recover --scan-info FILE.sif (--content FILE | SOURCE) -o OUT.mdf [...]
// Scans (or loads a saved scan), picks the database file, chains its
// fragments automatically, sorts the assembly by start page, searches the
// gaps until a pass finds nothing, checks for missing pages and writes the file.
#include <fstream>
#include <iostream>

#include "assembly/mdf_writer.h"
#include "base/text.h"
#include "catalogue/content_file.h"
#include "cli/common.h"
#include "cli/json.h"
#include "cli/saved_scan.h"

namespace sorrelon::cli {
namespace {

// Forwards to the console and keeps the assembly log lines of CHECK.
class RecordingPerson : public ConsolePerson {
 public:
  std::vector<std::string> assemblyLines;
  void AddLog(Log log, std::string_view line) override {
    if (log == Log::Assembly) assemblyLines.emplace_back(line);
    ConsolePerson::AddLog(log, line);
  }
  void ClearLog(Log log) override {
    if (log == Log::Assembly) assemblyLines.clear();
  }
};

const char* kUsage =
    "usage: sorrelon recover SOURCE -o OUT.mdf [--db N | --db-name TEXT] [--report FILE.json]\n"
    "                        [--begin S] [--end S] [--step N] [--all-space] [--file-id N]\n"
    "                        [--max-start-page N] [--volume|--disk] [--plain] [--quiet]\n"
    "       sorrelon recover --scan-info FILE.sif (--content FILE | SOURCE) -o OUT.mdf [same options]\n"
    "  --scan-info FILE.sif  use the fragments saved by 'scan --save' instead of scanning\n"
    "  --content FILE        read the fragments from the content file saved with them (no SOURCE needed)\n"
    "  --plain               the plain algorithm alone, without deep recovery\n";

void FragmentJson(Json& j, const Fragment& f, int32_t index) {
  j.BeginObject()
      .Key("index").Int(index)
      .Key("number").Int(f.number)
      .Key("startSector").Int(f.startSector)
      .Key("endSector").Int(f.endSector)
      .Key("sizeKb").Int(f.sizeKb)
      .Key("startPage").Int(f.startPage)
      .Key("endPage").Int(f.endPage)
      .Key("remark").String(f.remark)
      .EndObject();
}

int RunRecover(const Args& in) {
  Args args = in;
  ScanOptions opt;
  if (auto err = TakeScanOptions(args, opt)) {
    std::cerr << "sorrelon recover: " << *err << "\n";
    return 2;
  }
  SavedScanOptions saved;
  if (auto err = TakeSavedScanOptions(args, saved)) {
    std::cerr << "sorrelon recover: " << *err << "\n";
    return 2;
  }
  std::string out, reportPath, dbName;
  int dbNumber = 0;
  bool plainOnly = false;
  std::vector<std::string> rest;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& dst) {
      if (i + 1 >= args.size()) return false;
      dst = args[++i];
      return true;
    };
    std::string v;
    if (a == "-o" || a == "--output") {
      if (!value(out)) { std::cerr << kUsage; return 2; }
    } else if (a == "--plain") {
      plainOnly = true;
    } else if (a == "--report") {
      if (!value(reportPath)) { std::cerr << kUsage; return 2; }
    } else if (a == "--db-name") {
      if (!value(dbName)) { std::cerr << kUsage; return 2; }
    } else if (a == "--db") {
      auto n = value(v) ? ParseInt32(v) : std::nullopt;
      if (!n || *n < 1) { std::cerr << "sorrelon recover: --db takes a row number from 1\n"; return 2; }
      dbNumber = *n;
    } else if (a.rfind("-", 0) == 0) {
      std::cerr << "sorrelon recover: unknown option " << a << "\n" << kUsage;
      return 2;
    } else {
      rest.push_back(a);
    }
  }
  const bool fromSaved = !saved.scanInfo.empty();
  if (out.empty() || rest.size() > 1 || (!fromSaved && rest.size() != 1) || (!fromSaved && !saved.content.empty()) ||
      (fromSaved && rest.empty() && saved.content.empty())) {
    std::cerr << kUsage;
    return 2;
  }
  if (!rest.empty()) opt.source = rest[0];

  Session s;
  s.SetDeep(!plainOnly);  // deep recovery unless --plain
  RecordingPerson person;
  person.quiet = opt.quiet;
  if (!opt.source.empty() && !PrepareSource(s, person, opt)) return 1;
  if (fromSaved) {
    if (!LoadSavedScan(s, person, saved, opt)) return 1;
  } else {
    ScanEnd how{};
    if (!ScanSource(s, person, &how)) return 2;
  }
  Catalogue& cat = s.catalogue;
  RebuildFragmentList(cat.store, cat.fragmentList);
  RebuildDatabaseFileList(cat.store, cat.databaseFiles);
  RefreshDatabaseFileNames(s.source, s.fragments, cat, person);
  if (s.deep) {
    AnalysisContext ctx = s.Analysis(person);
    NameUnreadHeaders(ctx, s.scanFileId);
    OfferHeaderlessFiles(ctx, s.scanFileId);
  }
  PrintDatabaseFiles(s);

  // The database file to rebuild.
  int row = -1;
  const RowList& files = cat.databaseFiles;
  if (dbNumber > 0) {
    if (size_t(dbNumber) > files.size()) {
      std::cerr << "sorrelon recover: --db " << dbNumber << ": the list has " << files.size() << " row(s)\n";
      return 1;
    }
    row = dbNumber - 1;
  } else if (!dbName.empty()) {
    for (size_t i = 0; i < files.size(); ++i)
      if (ContainsNoCase(files.Remark(cat.store, i), dbName)) {
        row = int(i);
        break;
      }
    if (row < 0) {
      std::cerr << "sorrelon recover: no database file whose name contains '" << dbName << "'\n";
      return 1;
    }
  } else if (files.size() == 1) {
    row = 0;
  } else {
    std::cerr << "sorrelon recover: " << (files.empty() ? "no database file was found" : "several database files were found")
              << (files.empty() ? "\n" : "; choose one with --db N or --db-name TEXT:\n");
    for (size_t i = 0; i < files.size(); ++i)
      std::cerr << "  " << files.rows[i].number << "  " << files.Remark(cat.store, i) << "\n";
    return 1;
  }

  AnalysisContext ctx = s.Analysis(person);
  if (!RunAnalysis(ctx, row, /*automatic=*/true)) {
    std::cerr << "sorrelon recover: the analysis did not finish\n";
    return 1;
  }
  cat.AssemblyColumnClick(kColStartPage);
  SearchMore(ctx);
  CheckMissingPages(ctx);
  std::vector<std::string> checkLines = person.assemblyLines;
  MdfWriteResult written = CreateMdf(ctx, out);

  if (!reportPath.empty()) {
    Json j;
    j.BeginObject();
    j.Key("source").String(opt.source);
    if (fromSaved) {
      j.Key("scanInfo").String(saved.scanInfo);
      if (!saved.content.empty()) j.Key("content").String(saved.content);
    }
    j.Key("fragments").BeginArray();
    for (size_t i = 0; i < cat.store.size(); ++i) FragmentJson(j, cat.store[i], int32_t(i));
    j.EndArray();
    j.Key("databaseFiles").BeginArray();
    for (size_t i = 0; i < files.size(); ++i)
      j.BeginObject().Key("row").Int(files.rows[i].number).Key("fragment").Int(files.rows[i].fragment)
          .Key("name").String(files.Remark(cat.store, i)).EndObject();
    j.EndArray();
    j.Key("chosen").Int(row + 1);
    j.Key("filePageCount").Int(s.analysis.filePageCount);
    j.Key("databasePath").String(s.analysis.databasePath);
    j.Key("assembly").BeginArray();
    for (size_t i = 0; i < cat.assemblyList.size(); ++i)
      FragmentJson(j, cat.assemblyList.FragmentOf(cat.store, i), cat.assemblyList.rows[i].fragment);
    j.EndArray();
    j.Key("missingPfsPages").BeginArray();
    for (auto& l : checkLines)
      if (l.rfind("缺少重要的PFS页面", 0) == 0) j.Int(*ParseInt64(l.substr(std::string("缺少重要的PFS页面").size())));
    j.EndArray();
    j.Key("missingPages").BeginArray();
    for (auto& l : checkLines)
      if (l.rfind("缺少页面", 0) == 0) j.Int(*ParseInt64(l.substr(std::string("缺少页面").size())));
    j.EndArray();
    j.Key("output").BeginObject()
        .Key("path").String(out)
        .Key("complete").Bool(written.complete)
        .Key("pagesFromFragments").Int(written.pagesFromFragments)
        .Key("zeroPages").Int(written.zeroPages)
        .Key("unreadablePages").Int(written.unreadablePages)
        .Key("repairedPages").Int(written.repairedPages)
        .Key("foreignPages").Int(written.foreignPages)
        .Key("ambiguousPages").Int(written.ambiguousPages)
        .Key("deep").Bool(s.deep)
        .Key("unconfirmedPages").Int(written.unconfirmedPages)
        .EndObject();
    j.Key("deepPages").BeginArray();
    for (int64_t p : written.deepPages) j.Int(p);
    j.EndArray();
    j.EndObject();
    std::ofstream rf(reportPath, std::ios::binary | std::ios::trunc);
    rf << j.str() << "\n";
    if (!rf) std::cerr << "sorrelon recover: cannot write the report " << reportPath << "\n";
  }

  if (!written.complete) {
    std::cerr << "sorrelon recover: " << out << " was not wholly written\n";
    return 1;
  }
  std::cout << "written " << out << ": " << written.pagesFromFragments << " pages from fragments, "
            << written.zeroPages + written.unreadablePages + written.foreignPages << " zero pages\n";
  return 0;
}

Registrar reg("recover", "scan, chain and write the chosen database file", RunRecover);

}  // namespace
}  // namespace sorrelon::cli
