// Deep recovery: database-file rows of file-header pages that the scan could
// not read whole. The scan reads page 0 as it lies; split across runs of
// clusters, it gives no page count ("无效文件头,size:0KB"), and a lonely
// page 0 has no page 32 behind it for the name. Read through deep recovery,
// page 0 gives its page count, and page 32 is taken from the fragment
// holding it nearest after the header.
#include <algorithm>
#include <tuple>
#include <mutex>
#include <vector>

#include "analysis/analysis.h"
#include "analysis/deep.h"
#include "catalogue/add_fragment.h"
#include "page/page.h"

namespace sorrelon {

void NameUnreadHeaders(AnalysisContext& ctx, uint16_t fileId) {
  Catalogue& cat = ctx.cat;
  struct Row {
    size_t pos;
    int64_t startSector;
    int32_t pages;
  };
  std::vector<Row> rows;
  std::vector<int32_t> holders;  // fragments holding page 32
  {
    std::lock_guard<std::mutex> lock(cat.mutex);
    for (size_t i = 0; i < cat.databaseFiles.size(); ++i) {
      const ListRow& r = cat.databaseFiles.rows[i];
      if (r.fragment < 0 || size_t(r.fragment) >= cat.store.size()) continue;
      const Fragment& f = cat.store[size_t(r.fragment)];
      if (f.startPage != 0 || cat.databaseFiles.Remark(cat.store, i).rfind(kInvalidHeaderRemark, 0) != 0) continue;
      rows.push_back({i, f.startSector, f.Pages()});
    }
    if (rows.empty()) return;
    for (size_t i = 0; i < cat.store.size(); ++i) {
      const Fragment& f = cat.store[i];
      if (f.visible && f.startPage <= 32 && f.endPage > 32) holders.push_back(int32_t(i));
    }
  }
  std::vector<uint8_t> pg(kPageSize);
  std::vector<std::pair<size_t, std::string>> named;
  for (const Row& r : rows) {
    if (!ctx.reader.ReadPage(r.startSector, 0, pg.data()) || !page::IsFileHeaderPage(pg.data(), fileId)) continue;
    page::RestoreTornBits(pg.data());
    const auto count = page::FilePageCount(pg.data());
    if (!count || *count <= 0) continue;
    // Page 32: nearest after the header on the source, else nearest before.
    std::string name = "none";
    std::vector<std::tuple<bool, int64_t, int32_t>> order;  // (before the header, distance, fragment)
    for (int32_t h : holders) {
      const Fragment& f = cat.store[size_t(h)];
      const int64_t at = f.startSector + 16 * int64_t(32 - f.startPage);
      order.push_back({at < r.startSector, at < r.startSector ? r.startSector - at : at - r.startSector, h});
    }
    std::sort(order.begin(), order.end());
    for (size_t k = 0; k < order.size() && k < 8; ++k) {
      const Fragment& f = cat.store[size_t(std::get<2>(order[k]))];
      if (!ctx.reader.ReadPage(f.startSector, 32 - f.startPage, pg.data()) || !page::IsHeaderOfPage(fileId, 32, pg.data()))
        continue;
      page::RestoreTornBits(pg.data());
      if (auto n = page::PhysicalFileName(pg.data())) {
        name = *n;
        break;
      }
    }
    named.push_back({r.pos, NamedHeaderRemark(name, *count)});
  }
  std::lock_guard<std::mutex> lock(cat.mutex);
  for (auto& [pos, text] : named)
    if (pos < cat.databaseFiles.rows.size()) cat.databaseFiles.rows[pos].remarkCell = std::move(text);
}

}  // namespace sorrelon
