#include "tests/support/recovery.h"

#include <cstring>

#include "base/bytes.h"
#include "base/text.h"
#include "page/page.h"

namespace sorrelon::test {

bool ScanImage(Session& s, FakePerson& person, const std::filesystem::path& image, const RecoverOptions& opt) {
  if (!ChooseImage(image.string(), opt.volume, s.source, s.reader, s.fields, person)) return false;
  if (opt.volume) s.fields.freeSpaceChecked = opt.freeSpaceOnly;
  if (opt.step > 0) s.fields.secs = std::to_string(opt.step);
  s.ReadFileId();
  s.SetDeep(opt.deep);
  auto params = s.ScanParamsFromFields(nullptr);
  if (!params) return false;
  s.scanStopped = false;
  RunScan(*params, s.source, s.reader, s.catalogue, s.freeSpace, s.scanStopped, person);
  RebuildDatabaseFileList(s.catalogue.store, s.catalogue.databaseFiles);
  return true;
}

Recovery RebuildRow(Session& s, FakePerson& person, int row, const std::filesystem::path& out) {
  Recovery r;
  AnalysisContext ctx = s.Analysis(person);
  r.analysed = RunAnalysis(ctx, row, true);
  if (!r.analysed) return r;
  s.catalogue.AssemblyColumnClick(kColStartPage);
  SearchMore(ctx);
  CheckMissingPages(ctx);
  r.checkLines = person.Log(Log::Assembly);
  r.written = CreateMdf(ctx, out.string());
  return r;
}

Recovery RecoverImage(Session& s, FakePerson& person, const std::filesystem::path& image,
                      const std::filesystem::path& out, const RecoverOptions& opt) {
  if (!ScanImage(s, person, image, opt)) return {};
  const Catalogue& cat = s.catalogue;
  int row = cat.databaseFiles.empty() ? -1 : 0;
  if (!opt.dbName.empty()) {
    row = -1;
    for (size_t i = 0; i < cat.databaseFiles.size(); ++i)
      if (ContainsNoCase(cat.databaseFiles.Remark(cat.store, i), opt.dbName)) {
        row = int(i);
        break;
      }
  }
  if (row < 0) return {};
  return RebuildRow(s, person, row, out);
}

bool IsGenuinePage(const uint8_t* p, int64_t pageNumber) {
  return p[0] == 1 && LeI32(p + page::off::pageId) == pageNumber && Le16(p + page::off::fileId) == 1;
}

Fidelity Compare(const std::vector<uint8_t>& original, const std::vector<uint8_t>& output,
                 const std::vector<bool>& considered) {
  Fidelity f;
  const int64_t pages = int64_t(original.size() / kPageSize);
  const int64_t outPages = int64_t(output.size() / kPageSize);
  static const std::vector<uint8_t> zero(kPageSize, 0);
  for (int64_t p = 0; p < pages; ++p) {
    const uint8_t* o = original.data() + p * kPageSize;
    const bool genuine = IsGenuinePage(o, p) && (considered.empty() || (size_t(p) < considered.size() && considered[size_t(p)]));
    const uint8_t* w = p < outPages ? output.data() + p * kPageSize : zero.data();
    const bool same = std::memcmp(o, w, kPageSize) == 0;
    const bool isZero = std::memcmp(w, zero.data(), kPageSize) == 0;
    if (genuine) {
      ++f.genuine;
      if (same) ++f.recovered;
      else if (f.missing.size() < 20) f.missing.push_back(p);
    }
    if (!same && !isZero && IsGenuinePage(o, p)) {
      ++f.wrong;
      if (f.wrongPages.size() < 20) f.wrongPages.push_back(p);
    }
  }
  return f;
}

}  // namespace sorrelon::test
