// The window's lists over two million fragments: loading them into the
// fragment list, sorting by a column header, scrolling, and following a scan
// that appends them in batches. Each window figure is printed beside the core
// work it wraps (rebuilding or sorting the rows), measured in the same run, so
// the ratio is what the view adds.
//
//   bench_lists [FRAGMENTS]      (default 2000000; runs headless)
#include <QApplication>
#include <QHeaderView>
#include <QTabWidget>
#include <QTreeView>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>

#include "app/list_models.h"
#include "app/main_window.h"

namespace {

using Clock = std::chrono::steady_clock;
double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// Records as a scan of a large disk leaves them: increasing sectors, scattered
// page numbers, a file-header remark now and then.
void Fill(sorrelon::FragmentStore& store, size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  store.Reserve(n);
  int64_t sector = 2048;
  for (size_t i = 0; i < n; ++i) {
    sorrelon::Fragment f;
    f.number = int32_t(i + 1);
    const int32_t pages = 1 + int32_t(rng() % 64);
    f.startPage = (i % 997 == 0) ? 0 : int32_t(rng() % 20000000);
    f.endPage = f.startPage + pages;
    f.sizeKb = pages * 8;
    f.startSector = sector;
    f.endSector = sector + 16 * int64_t(pages);
    f.remark = f.startPage == 0 ? "D:\\DATA\\db" + std::to_string(i % 13) + ".mdf(512.00 MB)" : " ";
    sector = f.endSector + 16 * int64_t(rng() % 8);
    store.Append(std::move(f));
  }
}

void Row(const char* what, double seconds, double baseline) {
  if (baseline > 0)
    std::printf("  %-52s %8.3f s   x%.2f of the core work\n", what, seconds, seconds / baseline);
  else
    std::printf("  %-52s %8.3f s\n", what, seconds);
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  sorrelon::app::SetUpApplication();
  const size_t n = argc > 1 ? size_t(std::strtoull(argv[1], nullptr, 10)) : 2000000;
  std::printf("bench_lists: %zu fragments\n", n);

  sorrelon::app::TForm1 w(sorrelon::SourceMenu{});
  w.show();
  w.findChild<QTabWidget*>(QStringLiteral("PageControl1"))->setCurrentIndex(1);
  auto* view = w.findChild<QTreeView*>(QStringLiteral("ListView2"));
  sorrelon::Catalogue& cat = w.session().catalogue;
  QApplication::processEvents();

  auto t = Clock::now();
  Fill(cat.store, n, 7);
  const double fill = Seconds(t);
  Row("core: make the records", fill, 0);

  // Loading: the core rebuilds its rows, the view takes them and paints.
  t = Clock::now();
  sorrelon::RebuildFragmentList(cat.store, cat.fragmentList);
  const double rebuild = Seconds(t);
  Row("core: fragment list rebuild (baseline)", rebuild, 0);
  t = Clock::now();
  w.ViewChanged(sorrelon::View::FragmentList);
  view->viewport()->repaint();
  const double load = Seconds(t);
  Row("window: load the rows into ListView2 and paint", load, rebuild);
  Row("window: rebuild + load + paint, as a filter does", rebuild + load, 0);

  // Sorting by a header click: the core sorts, the view starts again.
  const struct {
    int column;
    const char* name;
  } sorts[] = {{1, "size"}, {2, "start page"}, {5, "start sector"}, {4, "remark"}};
  for (const auto& s : sorts) {
    sorrelon::RowList copy = cat.fragmentList;
    t = Clock::now();
    sorrelon::SortRows(copy, cat.store, s.column);
    const double core = Seconds(t);
    t = Clock::now();
    emit view->header()->sectionClicked(s.column);
    view->viewport()->repaint();
    const double click = Seconds(t);
    char label[96];
    std::snprintf(label, sizeof label, "core: sort by %s (baseline)", s.name);
    Row(label, core, 0);
    std::snprintf(label, sizeof label, "window: header click on %s + paint", s.name);
    Row(label, click, core);
  }

  // Scrolling to the far end and back to the middle.
  t = Clock::now();
  view->scrollToBottom();
  view->viewport()->repaint();
  view->scrollTo(view->model()->index(int(n / 2), 0));
  view->viewport()->repaint();
  Row("window: scroll to the end and the middle + paint", Seconds(t), 0);

  // A scan appending: rows arrive at an even rate over a minute (a very
  // fast scan) and the view takes them once per tick of the window's timer,
  // whose interval grows with the list (150 ms up to 1 s).
  sorrelon::Catalogue grown;
  sorrelon::FragmentStore source;
  Fill(source, n, 11);
  sorrelon::app::RowsModel model(sorrelon::app::RowsModel::Kind::Fragments, grown);
  QTreeView follower;
  follower.setUniformRowHeights(true);
  follower.setRootIsDecorated(false);
  follower.setModel(&model);
  follower.resize(990, 380);
  follower.show();
  QApplication::processEvents();
  const double scanSeconds = 60;
  double scanClock = 0, appendCore = 0, viewTime = 0, worst = 0;
  size_t have = 0, ticks = 0;
  while (have < n) {
    scanClock += std::clamp(int(have) / 2000, 150, 1000) / 1000.0;
    const size_t want = std::min(n, size_t(scanClock * double(n) / scanSeconds));
    auto c = Clock::now();
    {
      std::lock_guard<std::mutex> lock(grown.mutex);
      for (size_t i = have; i < want; ++i) {
        grown.store.Append(source[i]);
        grown.fragmentList.rows.push_back({int32_t(i), int32_t(i + 1), false, std::nullopt});
      }
    }
    appendCore += Seconds(c);
    c = Clock::now();
    model.Grow();
    follower.scrollToBottom();  // the person watches the newest rows
    QApplication::processEvents();
    follower.viewport()->repaint();
    const double tick = Seconds(c);
    viewTime += tick;
    worst = std::max(worst, tick);
    have = want;
    ++ticks;
  }
  Row("core: append the rows (baseline)", appendCore, 0);
  char label[96];
  std::snprintf(label, sizeof label, "window: follow a 60 s scan, %zu ticks (all)", ticks);
  Row(label, viewTime, appendCore);
  std::printf("  %-52s %7.1f %%\n", "window: share of the scan's minute spent following", 100.0 * viewTime / scanSeconds);
  Row("window: the slowest tick", worst, 0);
  return 0;
}
