#include "cli/saved_scan.h"

#include <iostream>

#include "catalogue/content_file.h"
#include "catalogue/out_file.h"
#include "catalogue/scan_info.h"

namespace sorrelon::cli {

std::optional<std::string> TakeSavedScanOptions(Args& args, SavedScanOptions& opt) {
  for (size_t i = 0; i < args.size();) {
    std::string* dst = args[i] == "--scan-info" ? &opt.scanInfo : args[i] == "--content" ? &opt.content : nullptr;
    if (!dst) {
      ++i;
      continue;
    }
    if (i + 1 >= args.size() || args[i + 1].empty()) return args[i] + " needs a file";
    *dst = args[i + 1];
    args.erase(args.begin() + std::ptrdiff_t(i), args.begin() + std::ptrdiff_t(i + 2));
  }
  return std::nullopt;
}

bool LoadSavedScan(Session& s, ConsolePerson& person, const SavedScanOptions& opt, const ScanOptions& scan) {
  if (scan.fileId) s.fileIdText = std::to_string(*scan.fileId);
  if (scan.step) s.fields.secs = std::to_string(*scan.step);
  ScanInfoContext ctx = s.ScanInfo(person);
  if (!LoadScanInfoFile(ctx, opt.scanInfo)) {
    std::cerr << "sorrelon: " << opt.scanInfo << " was not loaded\n";
    return false;
  }
  if (!opt.content.empty() && !OpenContentFile(ctx, opt.content)) {
    std::cerr << "sorrelon: " << opt.content << " cannot be used as the content file of " << opt.scanInfo << "\n";
    return false;
  }
  if (!person.quiet)
    std::cerr << "loaded " << s.catalogue.store.size() << " fragment(s) from " << opt.scanInfo
              << (opt.content.empty() ? "" : ", contents from " + opt.content) << "\n";
  return true;
}

bool SaveScan(Session& s, ConsolePerson& person, const std::string& scanInfoPath, const std::string& contentPath) {
  std::string error;
  bool created = false;
  if (!WriteScanInfoFile(scanInfoPath, s.catalogue.store, &error, &created)) {
    person.Message(created ? WriteFailedText(scanInfoPath, error) : "error,无法创建文件", "提示", Icon::None);
    std::cerr << "sorrelon: " << scanInfoPath << ": " << error << "\n";
    return false;
  }
  if (!person.quiet) std::cerr << "saved " << s.catalogue.store.size() << " fragment(s) to " << scanInfoPath << "\n";
  if (contentPath.empty()) return true;
  ContentWriteResult r = WriteContentFile(contentPath, s.catalogue.store, s.reader, s.source.sectorsPerCluster, person);
  person.EndProgress();
  return r.complete;
}

}  // namespace sorrelon::cli
