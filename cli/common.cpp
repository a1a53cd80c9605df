#include "cli/common.h"

#include <cstring>
#include <iostream>
#include <vector>

#include "base/text.h"
#include "catalogue/lists.h"

namespace sorrelon::cli {

namespace {
std::optional<std::string> TakeValue(Args& args, size_t i, std::string& out) {
  if (i + 1 >= args.size()) return args[i] + " needs a value";
  out = args[i + 1];
  args.erase(args.begin() + std::ptrdiff_t(i), args.begin() + std::ptrdiff_t(i + 2));
  return std::nullopt;
}
}  // namespace

std::optional<std::string> TakeScanOptions(Args& args, ScanOptions& opt) {
  for (size_t i = 0; i < args.size();) {
    const std::string& a = args[i];
    std::string v;
    auto num64 = [&](std::optional<int64_t>& dst) -> std::optional<std::string> {
      if (auto e = TakeValue(args, i, v)) return e;
      auto n = ParseInt64(v);
      if (!n) return "not a number: " + v;
      dst = *n;
      return std::nullopt;
    };
    auto num32 = [&](std::optional<int32_t>& dst) -> std::optional<std::string> {
      if (auto e = TakeValue(args, i, v)) return e;
      auto n = ParseInt32(v);
      if (!n) return "not a number: " + v;
      dst = *n;
      return std::nullopt;
    };
    std::optional<std::string> err;
    if (a == "--begin") err = num64(opt.begin);
    else if (a == "--end") err = num64(opt.end);
    else if (a == "--step") err = num32(opt.step);
    else if (a == "--file-id") err = num32(opt.fileId);
    else if (a == "--max-start-page") err = num32(opt.maxStartPage);
    else if (a == "--all-space") { opt.allSpace = true; args.erase(args.begin() + std::ptrdiff_t(i)); continue; }
    else if (a == "--volume") { opt.forceKind = 1; args.erase(args.begin() + std::ptrdiff_t(i)); continue; }
    else if (a == "--disk") { opt.forceKind = 2; args.erase(args.begin() + std::ptrdiff_t(i)); continue; }
    else if (a == "--quiet" || a == "-q") { opt.quiet = true; args.erase(args.begin() + std::ptrdiff_t(i)); continue; }
    else { ++i; continue; }
    if (err) return err;
  }
  return std::nullopt;
}

bool LooksLikeVolume(Session& s) {
  uint8_t sec[512];
  if (!s.reader.ReadSectors(1, sec, 0)) return false;
  return std::memcmp(sec + 3, "NTFS", 4) == 0 || std::memcmp(sec + 82, "FAT32", 5) == 0;
}

bool PrepareSource(Session& s, ConsolePerson& person, const ScanOptions& opt) {
  // A first look at sector 0 decides volume or disk unless the caller says.
  s.source.devicePath = opt.source;
  bool volume = opt.forceKind == 1 || (opt.forceKind == 0 && LooksLikeVolume(s));
  if (!s.reader.LastOpenError().empty()) {
    std::cerr << "sorrelon: cannot open " << opt.source << ": " << s.reader.LastOpenError() << "\n";
    return false;
  }
  if (!ChooseImage(opt.source, volume, s.source, s.reader, s.fields, person)) {
    std::cerr << "sorrelon: " << opt.source << " cannot be used as a "
              << (volume ? "volume (its boot sector cannot be read)" : "source") << "\n";
    return false;
  }
  if (opt.begin) s.fields.begin = std::to_string(*opt.begin);
  if (opt.end) s.fields.end = std::to_string(*opt.end);
  if (opt.step) s.fields.secs = std::to_string(*opt.step);
  if (opt.allSpace) s.fields.freeSpaceChecked = false;
  if (opt.fileId) s.fileIdText = std::to_string(*opt.fileId);
  if (opt.maxStartPage) {
    s.limitStartPage = true;
    s.maxStartPageText = std::to_string(*opt.maxStartPage);
  }
  return true;
}

bool ScanSource(Session& s, ConsolePerson& person, ScanEnd* how) {
  if (!s.ReadFileId()) {
    std::cerr << "sorrelon: file id '" << s.fileIdText << "' is not a number\n";
    return false;
  }
  std::string error;
  auto params = s.ScanParamsFromFields(&error);
  if (!params) {
    std::cerr << "sorrelon: " << error << "\n";
    return false;
  }
  person.progressBytes = (params->end - params->begin) * 512;
  s.scanStopped = false;
  ScanEnd end = RunScan(*params, s.source, s.reader, s.catalogue, s.freeSpace, s.scanStopped, person);
  person.EndProgress();
  if (how) *how = end;
  return true;
}

void PrintFragmentList(const Session& s) {
  const Catalogue& c = s.catalogue;
  std::cout << "碎片列表(FRAGMENT LIST): " << c.fragmentList.size() << "\n";
  std::cout << "序号\t碎片大小(KB)\t开始页面号\t结束页面号\t备注\t开始扇区\t结束扇区\n";
  for (const ListRow& r : c.fragmentList.rows) {
    for (int col = 0; col <= kColEndSector; ++col) {
      if (col) std::cout << '\t';
      std::cout << CellText(c.store, r, col);
    }
    std::cout << '\n';
  }
}

void PrintDatabaseFiles(const Session& s) {
  const Catalogue& c = s.catalogue;
  const RowList& files = c.databaseFiles;
  std::cout << "数据库文件(DATABASE FILES): " << files.size() << "\n";
  std::cout << "序号\t文件名\t碎片大小(KB)\t开始页面号\t结束页面号\t开始扇区\t结束扇区\n";
  for (const ListRow& r : files.rows) {
    std::cout << r.number << '\t' << files.Remark(c.store, &r - files.rows.data());
    for (int col : {kColSize, kColStartPage, kColEndPage, kColStartSector, kColEndSector})
      std::cout << '\t' << CellText(c.store, r, col);
    std::cout << '\n';
  }
}

}  // namespace sorrelon::cli
