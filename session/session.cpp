#include "session/session.h"

#include "base/text.h"

namespace sorrelon {

bool Session::ReadFileId() {
  auto v = ParseInt64(fileIdText);
  if (!v) return false;
  scanFileId = uint16_t(*v);
  return true;
}

std::optional<ScanParams> Session::ScanParamsFromFields(std::string* error) const {
  auto fail = [&](const char* what, const std::string& text) -> std::optional<ScanParams> {
    if (error) *error = std::string("'") + text + "' is not a valid integer value (" + what + ")";
    return std::nullopt;
  };
  ScanParams p;
  auto begin = ParseInt64(fields.begin);
  if (!begin) return fail("开始扇区", fields.begin);
  auto end = ParseInt64(fields.end);
  if (!end) return fail("结束扇区", fields.end);
  auto secs = ParseInt32(fields.secs);
  if (!secs) return fail("每簇扇区数", fields.secs);
  p.begin = *begin;
  p.end = *end;
  p.sectorsPerCluster = *secs;
  p.freeSpaceOnly = fields.freeSpaceChecked;
  p.scanFileId = scanFileId;
  p.recordLonelyHeaders = deep;
  p.limit.limitStartPage = limitStartPage;
  if (limitStartPage) {
    auto m = ParseInt32(maxStartPageText);
    if (!m) return fail("开始页面号小于", maxStartPageText);
    p.limit.maxStartPage = *m;
  }
  return p;
}

}  // namespace sorrelon
