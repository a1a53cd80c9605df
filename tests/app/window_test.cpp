// The desktop window: its controls, lists and menus as laid out, the enabling
// rules, the worker's hand-over, and one whole recovery driven through the
// window on a real FAT32 image, compared with what the command line writes.
#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QClipboard>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTreeView>
#include <QTreeWidget>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "analysis/analysis.h"
#include "app/continuation_dialog.h"
#include "app/list_models.h"
#include "app/main_window.h"
#include "app/qt_person.h"
#include "tests/support/fsimage.h"
#include "tests/support/testdata.h"

namespace sorrelon::app {
namespace {

namespace fs = std::filesystem;

SourceMenu FixedSources() {
  SourceMenu m;
  DiskEntry d;
  d.number = 0;
  d.path = "/nonexistent/sorrelon-disk0";
  d.totalSectors = 976773168;
  d.caption = DiskCaption(0, false, d.totalSectors);
  m.disks.push_back(d);
  DriveEntry v;
  v.driveNumber = 1;
  v.path = v.root = "/nonexistent/sorrelon-part1";
  v.label = "DATA";
  v.sizeBytes = 0;
  v.keptText = v.root + " " + DriveLabelText(v.label);
  v.caption = "逻辑分区 " + v.keptText + " ";
  m.drives.push_back(v);
  return m;
}

QTabWidget* Tabs(TForm1& w) { return w.findChild<QTabWidget*>(QStringLiteral("PageControl1")); }
// The lists are looked up under the tabs: the continuation dialog has a
// ListView2 of its own.
QTreeView* List(TForm1& w, const char* name) { return Tabs(w)->findChild<QTreeView*>(QString::fromLatin1(name)); }
template <typename T>
T* Find(QObject& w, const char* name) {
  return w.findChild<T*>(QString::fromLatin1(name));
}

QString Text(QObject* o) {
  if (auto* e = qobject_cast<QLineEdit*>(o)) return e->text();
  if (auto* b = qobject_cast<QAbstractButton*>(o)) return b->text();
  if (auto* g = qobject_cast<QGroupBox*>(o)) return g->title();
  if (auto* l = qobject_cast<QLabel*>(o)) return l->text();
  if (auto* m = qobject_cast<QPlainTextEdit*>(o)) return m->toPlainText();
  return {};
}

QStringList Lines(QObject& w, const char* memo) { return Find<QPlainTextEdit>(w, memo)->toPlainText().split('\n'); }

void ClickHeader(QTreeView* view, int column) {
  QHeaderView* h = view->header();
  QPoint at(h->sectionViewportPosition(column) + h->sectionSize(column) / 2, h->height() / 2);
  QTest::mouseClick(h->viewport(), Qt::LeftButton, {}, at);
}

void ClickTab(TForm1& w, int index) {
  QTabBar* bar = Tabs(w)->tabBar();
  QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(index).center());
}

void SelectRow(QTreeView* view, int row) {
  view->selectionModel()->setCurrentIndex(view->model()->index(row, 0),
                                          QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

std::vector<int32_t> AssemblyFragments(TForm1& w) {
  std::vector<int32_t> out;
  for (const ListRow& r : w.session().catalogue.assemblyList.rows) out.push_back(r.fragment);
  return out;
}

// Appends a fragment record and rebuilds the fragment list, as a scan would.
void AddRecord(Catalogue& cat, int32_t sizeKb, int32_t startPage, int64_t startSector, const std::string& remark = " ") {
  Fragment f;
  f.number = int32_t(cat.store.size() + 1);
  f.startSector = startSector;
  f.endSector = startSector + 2 * sizeKb;
  f.sizeKb = sizeKb;
  f.startPage = startPage;
  f.endPage = startPage + sizeKb / 8;
  f.remark = remark;
  cat.store.Append(f);
  RebuildFragmentList(cat.store, cat.fragmentList);
  cat.SetAssemblyFlag(cat.store.size() - 1, 0);
}

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { SetUpApplication(); }

  void ControlsAsLaidOut();
  void ListColumnsColoursIconsAndSorting();
  void MenusAndSourceChoice();
  void HowToPanelAboutBoxAndCheckBox1();
  void AssemblyButtonsFollowTheSortColumn();
  void FragmentListCommandsAreWired();
  void ScanWorkerHandOver();
  void WholeRecoveryThroughTheWindow();
};

void WindowTest::ControlsAsLaidOut() {
  TForm1 w(FixedSources());
  w.show();
  QCOMPARE(w.windowTitle(), QStringLiteral("Sorrelon Recover for SQLSERVER"));
  QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("Vellicor"));
  QCOMPARE(w.width(), 1014);
  QCOMPARE(w.height() - w.menuBar()->height(), 615);
  QCOMPARE(w.minimumSize(), w.maximumSize());
  QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint));

  QTabWidget* tabs = Tabs(w);
  QVERIFY(tabs);
  const QStringList captions = {QStringLiteral("  Ⅰ  选择数据源(DATA SOURCE)     "),
                                QStringLiteral("  Ⅱ  碎片列表(FRAGMENT LIST )        "),
                                QStringLiteral("  Ⅲ  分析碎片(FILTER)       "),
                                QStringLiteral("   Ⅳ  组合MDF(CREATE MDF)     ")};
  QCOMPARE(tabs->count(), 4);
  for (int i = 0; i < 4; ++i) {
    QCOMPARE(tabs->tabText(i), captions[i]);
    QCOMPARE(tabs->widget(i)->objectName(), QStringLiteral("TabSheet%1").arg(i + 1));
  }
  QCOMPARE(tabs->currentIndex(), 0);

  // name, tab (-1: below the tabs), caption or text, check state (-1: none), enabled
  struct Row {
    const char* name;
    int tab;
    const char* text;
    int checked;
    bool enabled;
  };
  const Row rows[] = {
      {"grp1", 0, "  数据源(DATASOURCE)  ", -1, true},
      {"edtDataStr", 0, "......右键设置数据源(RIGHT CLICK TO CHOOSE DS )......", -1, true},
      {"label5", 0, "", -1, true},
      {"btnscan", 0, "开始扫描(SCAN)", -1, true},
      {"btnstop", 0, "停止扫描(STOP)", -1, true},
      {"pnl2", 0, "扫描设置:(非专业人员建议不选择) OPTIONS", -1, true},
      {"chkfreespace", 0, "只扫描空闲簇(FREE SPACE ONLY)", 1, true},
      {"Label1", 0, "开始扇区", -1, true},
      {"edtbegin", 0, "", -1, true},
      {"Label2", 0, "结束扇区", -1, true},
      {"edtend", 0, "", -1, true},
      {"Label3", 0, "每簇扇区数", -1, true},
      {"edtsecs", 0, "", -1, true},
      {"CheckBox1", 0, "开始页面号小于", 0, true},
      {"edtmaxpageid", 0, "", -1, true},
      {"Label9", 0, "文件ID", -1, true},
      {"Edit2", 0, "1", -1, true},
      {"Memo1", 0, "", -1, true},
      {"Label7", 0, "使  用  说 明", -1, true},
      {"GroupBox1", 1, "开始页面号范围", -1, true},
      {"rb3", 1, "全部显示", 0, true},
      {"rb1", 1, "开始页面号范围", 0, true},
      {"rb2", 1, "含如ID的碎片", 0, true},
      {"Label4", 1, ">=", -1, true},
      {"Edit1", 1, "edtbeginid", -1, true},
      {"Label8", 1, "<", -1, true},
      {"edtendid", 1, "edtendid", -1, true},
      {"edtpgid", 1, "edtpgid", -1, true},
      {"edtfilter", 1, "过滤", -1, true},
      {"btnsave", 1, "保存此次扫描信息(SAVE)", -1, true},
      {"Button3", 1, "打开扫描信息文件(OPEN)", -1, true},
      {"GroupBox3", 1, "自动下勾选选项", -1, true},
      {"Label10", 1, "往下范围", -1, true},
      {"edtlen", 1, "5", -1, true},
      {"Label11", 1, "页码范围", -1, true},
      {"edtpagelen", 1, "128", -1, true},
      {"Button8", 1, "自动勾选", -1, true},
      {"Button1", 2, "分析该碎片(FILTER)", -1, true},
      {"chkauto", 2, "自动模式", 1, true},
      {"chkdeep", 2, "深度恢复(DEEP)", 0, true},
      {"Memo2", 2, "", -1, true},
      {"Button6", 3, "查找遗漏碎片(SEARCH MORE)", -1, true},
      {"Button5", 3, "检查遗漏页(CHECK)", -1, false},
      {"Button2", 3, "组合MDF(CREATE MDF)", -1, false},
      {"Memo3", 3, "", -1, true},
      {"Button7", -1, "业务联系专业恢复(ABOUT)", -1, true},
  };
  for (const Row& r : rows) {
    QWidget* c = Find<QWidget>(w, r.name);
    QVERIFY2(c, r.name);
    QVERIFY2(r.tab < 0 ? !tabs->isAncestorOf(c) : tabs->widget(r.tab)->isAncestorOf(c), r.name);
    QCOMPARE(Text(c), QString::fromUtf8(r.text));
    if (r.checked >= 0) QVERIFY2(qobject_cast<QAbstractButton*>(c)->isChecked() == bool(r.checked), r.name);
    QVERIFY2(c->isEnabled() == r.enabled, r.name);
  }
  QVERIFY(Find<QLineEdit>(w, "edtDataStr")->isReadOnly());
  for (const char* memo : {"Memo1", "Memo2", "Memo3"}) QVERIFY(Find<QPlainTextEdit>(w, memo)->isReadOnly());
  QVERIFY(Find<QLabel>(w, "img1")->isVisible());
  QVERIFY(!Find<QLabel>(w, "lbl1")->isVisible());
  QVERIFY(Find<QLabel>(w, "lbl1")->text().startsWith(QStringLiteral("恢复步骤\n1 选择恢复的数据源 点右键选取分区硬盘或镜像\n")));

  auto* g1 = Find<QProgressBar>(w, "g1");
  QVERIFY(g1 && !tabs->isAncestorOf(g1));
  QCOMPARE(g1->minimum(), 0);
  QCOMPARE(g1->maximum(), 100);
  QCOMPARE(g1->value(), 0);
  QCOMPARE(w.statusBar()->objectName(), QStringLiteral("stat1"));
  QCOMPARE(Find<QLabel>(w, "stat1Panel")->width(), 200);

  // The deep-recovery box turns deep recovery on and off in the session.
  QVERIFY(!w.session().deep && !w.session().analysis.deep);
  Find<QCheckBox>(w, "chkdeep")->setChecked(true);
  QVERIFY(w.session().deep && w.session().analysis.deep);
  Find<QCheckBox>(w, "chkdeep")->setChecked(false);
  QVERIFY(!w.session().deep && !w.session().analysis.deep);
}

void WindowTest::ListColumnsColoursIconsAndSorting() {
  TForm1 w(FixedSources());
  w.show();
  struct Column {
    const char* caption;
    int width;
  };
  const std::vector<std::pair<const char*, std::vector<Column>>> lists = {
      {"ListView2",
       {{"序号", 100}, {"碎片大小(KB)", 80}, {"开始页面号", 80}, {"结束页面号", 80}, {"备注", 800}, {"开始扇区", 100},
        {"结束扇区", 100}}},
      {"ListView3",
       {{"序号", 100}, {"文件名", 800}, {"碎片大小(KB)", 80}, {"开始页面号", 80}, {"结束页面号", 80},
        {"开始扇区", 100}, {"结束扇区", 100}}},
      {"ListView4",
       {{"序号", 100}, {"碎片大小(KB)", 100}, {"起始页面号", 100}, {"结束页面号", 100}, {"备注", 800},
        {"开始扇区", 100}, {"结束扇区", 100}}},
  };
  for (const auto& [name, columns] : lists) {
    QTreeView* v = List(w, name);
    QVERIFY2(v, name);
    QCOMPARE(v->model()->columnCount(), 7);
    for (int c = 0; c < 7; ++c) {
      QCOMPARE(v->model()->headerData(c, Qt::Horizontal).toString(), QString::fromUtf8(columns[size_t(c)].caption));
      QCOMPARE(v->header()->sectionSize(c), columns[size_t(c)].width);
    }
  }

  // Rows: fragments of 80, 72 and 16 KB; the last begins with a file header.
  Catalogue& cat = w.session().catalogue;
  AddRecord(cat, 80, 100, 5000);
  AddRecord(cat, 72, 10, 9000);
  AddRecord(cat, 16, 0, 1000, "D:\\x.mdf(0.01 MB)");
  w.ViewChanged(View::FragmentList);
  QTreeView* v2 = List(w, "ListView2");
  QAbstractItemModel* m = v2->model();
  QCOMPARE(m->rowCount(), 3);
  for (int r = 0; r < 3; ++r)
    QCOMPARE(m->index(r, 0).data(Qt::BackgroundRole).value<QColor>(),
             r % 2 == 0 ? QColor(120, 182, 93) : QColor(120, 221, 139));
  auto iconOf = [&](int r) { return m->index(r, 0).data(Qt::DecorationRole).value<QIcon>().cacheKey(); };
  QCOMPARE(iconOf(0), RowsModel::RowIcon(0).cacheKey());
  QCOMPARE(iconOf(2), RowsModel::RowIcon(1).cacheKey());
  QCOMPARE(m->index(2, 4).data().toString(), QStringLiteral("D:\\x.mdf(0.01 MB)"));

  // Check marks are the core's.
  QVERIFY(m->setData(m->index(1, 0), Qt::Checked, Qt::CheckStateRole));
  QVERIFY(cat.fragmentList.rows[1].checked);

  // A header click sorts through the core, numerically (16 before 72 before 80),
  // and a second click on the same header keeps the order ascending.
  for (int click = 0; click < 2; ++click) {
    ClickHeader(v2, 1);
    QCOMPARE(m->index(0, 1).data().toString(), QStringLiteral("16"));
    QCOMPARE(m->index(1, 1).data().toString(), QStringLiteral("72"));
    QCOMPARE(m->index(2, 1).data().toString(), QStringLiteral("80"));
  }
  QCOMPARE(m->index(0, 0).data().toString(), QStringLiteral("3"));  // fragment index + 1
  QCOMPARE(m->index(0, 0).data(Qt::BackgroundRole).value<QColor>(), QColor(120, 182, 93));  // by display row

  // While a scan runs the fragment list does not sort.
  w.session().scanStopped = false;
  ClickHeader(v2, 2);
  QCOMPARE(m->index(0, 1).data().toString(), QStringLiteral("16"));
  w.session().scanStopped = true;

  // The analysis tab, when the user opens it, lists the file beginnings.
  ClickTab(w, 2);
  QCOMPARE(List(w, "ListView3")->model()->rowCount(), 1);
  QCOMPARE(List(w, "ListView3")->model()->index(0, 1).data().toString(), QStringLiteral("D:\\x.mdf(0.01 MB)"));
}

void WindowTest::MenusAndSourceChoice() {
  TForm1 w(FixedSources());
  w.show();
  DialogScript script;
  w.person().SetScript(&script);

  auto captions = [](const QList<QAction*>& actions) {
    QStringList out;
    for (QAction* a : actions) out << (a->isSeparator() ? QStringLiteral("-") : a->text());
    return out;
  };
  auto names = [](const QList<QAction*>& actions) {
    QStringList out;
    for (QAction* a : actions) out << a->objectName();
    return out;
  };
  QMenuBar* mm1 = w.menuBar();
  QCOMPARE(mm1->objectName(), QStringLiteral("mm1"));
  QCOMPARE(captions(mm1->actions()), (QStringList{QStringLiteral("操作(OPERATION)"), QStringLiteral("关于(ABOUT)")}));
  QMenu* N1 = Find<QMenu>(w, "N1");
  QVERIFY(N1);
  QCOMPARE(names(N1->actions()), (QStringList{"N2", "N3", "N4", "N5"}));
  QCOMPARE(captions(N1->actions()), (QStringList{QStringLiteral("开始扫描(SCAN)"), QStringLiteral("停止扫描(STOP)"),
                                                 QStringLiteral("-"), QStringLiteral("退出")}));

  QMenu* pm1 = Find<QMenu>(w, "pm1");
  const SourceMenu src = FixedSources();
  QCOMPARE(captions(pm1->actions()),
           (QStringList{QStringLiteral("打开镜像文件"), QStringLiteral("-"), QString::fromStdString(src.disks[0].caption),
                        QStringLiteral("-"), QString::fromStdString(src.drives[0].caption)}));
  QCOMPARE(src.disks[0].caption, std::string("本地磁盘 0 (465.76 GB) "));

  QMenu* popup = Find<QMenu>(w, "PopupMenu1");
  QCOMPARE(names(popup->actions()), (QStringList{"N9", "N10", "N14", "N15", "N11", "N12", "N13", "N16", "N17", "N18"}));
  QCOMPARE(captions(popup->actions()),
           (QStringList{QStringLiteral("提取勾选碎片到文件"), QStringLiteral("全部选择"), QStringLiteral("全部取消选择"),
                        QStringLiteral("反向选择"), QStringLiteral("碎片过滤"), QStringLiteral("统计勾选的碎片信息"),
                        QStringLiteral("复制此碎片的开始扇区号到剪贴板"), QStringLiteral("把选择的碎片加入组合"),
                        QStringLiteral("取勾选碎片的文件名"), QStringLiteral("取更新信息")}));

  // "退出" and "碎片过滤" do nothing.
  Find<QAction>(w, "N5")->trigger();
  Find<QAction>(w, "N11")->trigger();
  QVERIFY(w.isVisible());
  QVERIFY(script.messages.empty() && script.questions.empty() && script.dialogTitles.empty());

  // SCAN without a source.
  QTest::mouseClick(Find<QPushButton>(w, "btnscan"), Qt::LeftButton);
  QCOMPARE(script.messages.size(), size_t(1));
  QCOMPARE(script.messages[0].text, std::string("请选择数据源！"));
  QCOMPARE(script.messages[0].caption, std::string("提示"));
  QCOMPARE(script.messages[0].icon, Icon::Warning);
  QVERIFY(!w.WorkerBusy());
  QVERIFY(Find<QPushButton>(w, "btnscan")->isEnabled());

  // A drive of no size is refused; nothing else changes.
  pm1->actions()[4]->trigger();
  QCOMPARE(script.messages.back().text, std::string("分区无效！"));
  QCOMPARE(script.messages.back().icon, Icon::Warning);
  QVERIFY(!w.session().source.sourceChosen);

  // The image: the open dialog with its filter, then the partition question.
  auto dir = test::TempDir("app_menus");
  std::vector<uint8_t> image(64 * 512, 0);
  test::WriteFileBytes(dir / "disk.img", image);
  script.files = {(dir / "disk.img").string()};
  script.answers = {false};
  Find<QAction>(w, "N7")->trigger();
  QCOMPARE(script.dialogDefaults.back(),
           std::string("镜像文件(*.hdd;*.img;*.dsr;*.bin)|*.hdd;*.img;*.dsr;*.bin|所有文件(*.*)|*"));
  QCOMPARE(script.questions.back().text, std::string("此镜像文件是逻辑分区镜像请选是，是整个磁盘镜像请选否"));
  QCOMPARE(script.questions.back().caption, std::string("数据文件类型选择"));
  QCOMPARE(Text(Find<QLineEdit>(w, "edtDataStr")), QString::fromStdString((dir / "disk.img").string()));
  QCOMPARE(Text(Find<QLineEdit>(w, "edtbegin")), QStringLiteral("0"));
  QCOMPARE(Text(Find<QLineEdit>(w, "edtend")), QStringLiteral("64"));
  QCOMPARE(Text(Find<QLineEdit>(w, "edtsecs")), QStringLiteral("1"));
  QVERIFY(!Find<QCheckBox>(w, "chkfreespace")->isChecked());
  QVERIFY(!Find<QCheckBox>(w, "chkfreespace")->isEnabled());
  QCOMPARE(QtPerson::QtFilter("镜像文件(*.hdd;*.img;*.dsr;*.bin)|*.hdd;*.img;*.dsr;*.bin|所有文件(*.*)|*"),
           QStringLiteral("镜像文件(*.hdd *.img *.dsr *.bin);;所有文件(*)"));

  // A scan field that is not a number stops the scan before it starts.
  Find<QLineEdit>(w, "edtsecs")->setText(QStringLiteral("x"));
  Find<QAction>(w, "N2")->trigger();
  QVERIFY(QString::fromStdString(script.messages.back().text).contains(QStringLiteral("每簇扇区数")));
  QVERIFY(!w.WorkerBusy());
  QVERIFY(Find<QPushButton>(w, "btnscan")->isEnabled());
  Find<QLineEdit>(w, "Edit2")->setText(QStringLiteral("abc"));
  QTest::mouseClick(Find<QPushButton>(w, "btnscan"), Qt::LeftButton);
  QVERIFY(QString::fromStdString(script.messages.back().text).contains(QStringLiteral("文件ID")));
  QVERIFY(!w.WorkerBusy());
}

void WindowTest::HowToPanelAboutBoxAndCheckBox1() {
  TForm1 w(FixedSources());
  w.show();
  auto* Label7 = Find<QLabel>(w, "Label7");
  auto* img1 = Find<QLabel>(w, "img1");
  auto* lbl1 = Find<QLabel>(w, "lbl1");
  QCOMPARE(Label7->cursor().shape(), Qt::PointingHandCursor);
  QVERIFY(Label7->font().bold() && Label7->font().italic() && Label7->font().underline());
  QTest::mouseClick(Label7, Qt::LeftButton);
  QVERIFY(!img1->isVisible() && lbl1->isVisible());
  QTest::mouseClick(Label7, Qt::LeftButton);
  QVERIFY(img1->isVisible() && !lbl1->isVisible());

  auto* CheckBox1 = Find<QCheckBox>(w, "CheckBox1");
  auto* edtmaxpageid = Find<QLineEdit>(w, "edtmaxpageid");
  QTest::mouseClick(CheckBox1, Qt::LeftButton);
  QVERIFY(edtmaxpageid->isEnabled());
  QTest::mouseClick(CheckBox1, Qt::LeftButton);
  QVERIFY(!edtmaxpageid->isEnabled());

  // The about box: modal, on top, titled "关于"; both the menu item and the button open it.
  for (const char* opener : {"N6", "Button7"}) {
    bool seen = false;
    QTimer::singleShot(0, [&] {
      QWidget* box = QApplication::activeModalWidget();
      QVERIFY(box);
      seen = box->windowTitle() == QStringLiteral("关于") && (box->windowFlags() & Qt::WindowStaysOnTopHint);
      QTest::mouseClick(box->findChild<QPushButton*>(QStringLiteral("AboutOk")), Qt::LeftButton);
    });
    if (QAction* a = Find<QAction>(w, opener)) a->trigger();
    else QTest::mouseClick(Find<QPushButton>(w, opener), Qt::LeftButton);
    QVERIFY2(seen, opener);
  }
}

void WindowTest::AssemblyButtonsFollowTheSortColumn() {
  TForm1 w(FixedSources());
  w.show();
  Catalogue& cat = w.session().catalogue;
  AddRecord(cat, 80, 10, 5000);
  AddRecord(cat, 80, 0, 1000);
  cat.SetAssemblyFlag(0, 1);
  cat.SetAssemblyFlag(1, 1);
  RebuildAssemblyList(cat.store, cat.assemblyFlags, cat.assemblyList);
  w.ViewChanged(View::AssemblyList);
  QTreeView* v4 = List(w, "ListView4");
  auto* create = Find<QPushButton>(w, "Button2");
  auto* check = Find<QPushButton>(w, "Button5");
  auto* more = Find<QPushButton>(w, "Button6");
  // Column clicked -> enabled state of CREATE MDF, CHECK, SEARCH MORE.
  for (int column : {2, 1, 0, 3, 4, 5, 6, 2}) {
    ClickHeader(v4, column);
    const bool on = column == 2;
    QVERIFY(create->isEnabled() == on && check->isEnabled() == on && more->isEnabled() == on);
  }
  // Sorted by start page, numbered in rebuild order.
  QCOMPARE(v4->model()->index(0, 2).data().toString(), QStringLiteral("0"));
  QCOMPARE(v4->model()->index(0, 0).data().toString(), QStringLiteral("2"));
}

void WindowTest::FragmentListCommandsAreWired() {
  TForm1 w(FixedSources());
  w.show();
  DialogScript script;
  w.person().SetScript(&script);
  Catalogue& cat = w.session().catalogue;
  AddRecord(cat, 80, 100, 5000);
  AddRecord(cat, 72, 10, 9000);
  AddRecord(cat, 16, 0, 1000);
  w.ViewChanged(View::FragmentList);
  QTreeView* v2 = List(w, "ListView2");
  QAbstractItemModel* m = v2->model();
  auto checked = [&] {
    QString marks;
    for (int r = 0; r < m->rowCount(); ++r)
      marks += m->index(r, 0).data(Qt::CheckStateRole).toInt() == Qt::Checked ? QLatin1Char('x') : QLatin1Char('.');
    return marks;
  };
  auto run = [&](const char* item) { Find<QAction>(w, item)->trigger(); };

  run("N10");
  QCOMPARE(checked(), QStringLiteral("xxx"));
  run("N14");
  QCOMPARE(checked(), QStringLiteral("..."));
  m->setData(m->index(1, 0), Qt::Checked, Qt::CheckStateRole);
  run("N15");
  QCOMPARE(checked(), QStringLiteral("x.x"));
  run("N12");
  QCOMPARE(script.messages.back().text, std::string("统计结果:碎片数量为2总大小为:96KB"));
  SelectRow(v2, 2);
  run("N13");
  QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("1000"));
  run("N16");
  QCOMPARE(List(w, "ListView4")->model()->rowCount(), 2);
  run("N18");  // no source chosen: the read of page 0 fails
  QCOMPARE(script.messages.back().text, std::string("read disk error"));

  // The per-fragment export with nothing checked asks for the folder and ends.
  run("N14");
  script.answers = {false};
  script.files = {test::TempDir("app_commands").string()};
  run("N9");
  QCOMPARE(script.questions.back().text, std::string("组合保存成一个文件选是，保存为多个文件选否"));
  QCOMPARE(script.messages.back().text, std::string("保存完毕"));

  // Filter by start page: 0 <= start page < 50.
  Find<QRadioButton>(w, "rb1")->setChecked(true);
  Find<QLineEdit>(w, "Edit1")->setText(QStringLiteral("0"));
  Find<QLineEdit>(w, "edtendid")->setText(QStringLiteral("50"));
  QTest::mouseClick(Find<QPushButton>(w, "edtfilter"), Qt::LeftButton);
  QCOMPARE(m->rowCount(), 2);
  QCOMPARE(m->index(0, 2).data().toString(), QStringLiteral("10"));

  // Automatic check from the current row.
  SelectRow(v2, 0);
  QTest::mouseClick(Find<QPushButton>(w, "Button8"), Qt::LeftButton);
  QVERIFY(QString::fromStdString(script.messages.back().text).startsWith(QStringLiteral("本次处理到index")));

  // SAVE and OPEN: the records come back, the filter's flags with them.
  const fs::path info = test::TempDir("app_scaninfo") / "scan.txt";
  script.files = {info.string()};
  script.answers = {false};
  QTest::mouseClick(Find<QPushButton>(w, "btnsave"), Qt::LeftButton);
  QCOMPARE(script.questions.back().caption, std::string("保存碎片内容"));
  QVERIFY(fs::exists(info));
  Tabs(w)->setCurrentIndex(0);
  script.files = {info.string()};
  script.answers = {false};
  QTest::mouseClick(Find<QPushButton>(w, "Button3"), Qt::LeftButton);
  QCOMPARE(script.questions.back().caption, std::string("打开碎片内容"));
  QCOMPARE(Tabs(w)->currentIndex(), 1);
  QCOMPARE(cat.store.size(), size_t(3));
  QCOMPARE(m->rowCount(), 2);
}

void WindowTest::ScanWorkerHandOver() {
  // A sparse 4 GB image scanned sector by sector takes long enough to act on.
  auto dir = test::TempDir("app_worker");
  const fs::path image = dir / "big.img";
  { std::ofstream(image, std::ios::binary); }
  fs::resize_file(image, int64_t(4) << 30);
  // A database file near the start: its fragments are listed long before the scan ends.
  const auto real = test::RealMdfFiles();
  if (!real.empty()) {
    const auto bytes = test::ReadFileBytes(real.front());
    std::fstream f(image, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(1 << 20);
    f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  }

  {
    TForm1 w(FixedSources());
    w.show();
    DialogScript script;
    w.person().SetScript(&script);
    QVERIFY(w.OpenImage(image.string(), false));
    QTest::mouseClick(Find<QPushButton>(w, "btnscan"), Qt::LeftButton);
    QVERIFY(!Find<QPushButton>(w, "btnscan")->isEnabled());
    for (const char* name : {"chkfreespace", "edtbegin", "edtend", "edtsecs", "CheckBox1", "edtmaxpageid"})
      QVERIFY2(!Find<QWidget>(w, name)->isEnabled(), name);
    QTRY_COMPARE_WITH_TIMEOUT(Find<QLabel>(w, "stat1Panel")->text(), QStringLiteral("开始扫描"), 20000);
    if (!real.empty()) {
      // The list grows while the worker still scans.
      QTRY_VERIFY_WITH_TIMEOUT(List(w, "ListView2")->model()->rowCount() > 0, 20000);
      QVERIFY(w.WorkerBusy());
    }

    // SEARCH refuses while the scan runs.
    QTest::mouseClick(Find<QPushButton>(w, "Button1"), Qt::LeftButton);
    QCOMPARE(script.messages.back().text, std::string(kScanStillRunning));
    // A second start waits for the first, then ends at its first step.
    Find<QAction>(w, "N2")->trigger();
    QTest::qWait(200);
    QVERIFY(w.WorkerBusy());
    QTest::mouseClick(Find<QPushButton>(w, "btnstop"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!w.WorkerBusy(), 60000);
    QCOMPARE(Find<QLabel>(w, "stat1Panel")->text(), QStringLiteral("已停止扫描"));
    QVERIFY(w.session().scanStopped);
    const QStringList memo = Lines(w, "Memo1");
    QVERIFY(memo.first().startsWith(QStringLiteral("开始扫描")));  // the second scan's own log
    QVERIFY(!Find<QPushButton>(w, "btnscan")->isEnabled());     // for the rest of the run
    QCOMPARE(size_t(List(w, "ListView2")->model()->rowCount()), w.session().catalogue.store.size());
    QVERIFY(Find<QAction>(w, "N2")->isEnabled());
  }
  {
    // Closing while the scan runs stops it and waits for the worker.
    auto w = std::make_unique<TForm1>(FixedSources());
    w->show();
    QVERIFY(w->OpenImage(image.string(), false));
    QTest::mouseClick(Find<QPushButton>(*w, "btnscan"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(Find<QLabel>(*w, "stat1Panel")->text(), QStringLiteral("开始扫描"), 20000);
    QVERIFY(w->WorkerBusy());
    QVERIFY(w->close());
    QVERIFY(!w->WorkerBusy());
    QVERIFY(w->session().scanStopped);
    w.reset();
  }
}

void WindowTest::WholeRecoveryThroughTheWindow() {
  const auto real = test::RealMdfFiles();
  if (real.empty()) QSKIP("real database files not found (set SORRELON_TESTDATA or provide ../shared/testdata/mdf)");
  if (!test::RequireTools({"mkfs.vfat", "mcopy", "mdel", "mshowfat"})) QFAIL("file-system tools missing");
  const fs::path mdf = real.front();

  // Two copies of one database in pieces on a FAT32 volume, both deleted:
  // every piece has a twin, so the chain has choices to make.
  auto dir = test::TempDir("app_road");
  const fs::path image = dir / "fat32.img";
  test::FatVolume fat;
  test::FatOptions options;
  options.sectorsPerCluster = 8;
  QVERIFY(fat.Create(image, options));
  QVERIFY(fat.CopyInFragmented(mdf, "FIRST.MDF", 3));
  QVERIFY(fat.CopyInFragmented(mdf, "SECOND.MDF", 4));
  QVERIFY(fat.Delete("FIRST.MDF"));
  QVERIFY(fat.Delete("SECOND.MDF"));
  // What the source is before the window touches it.
  struct stat imageBefore {};
  QCOMPARE(::stat(image.c_str(), &imageBefore), 0);
  const std::string shaBefore = test::FileSha256(image);

  TForm1 w(FixedSources());
  w.show();
  DialogScript script;
  w.person().SetScript(&script);

  // Data source: the image, declared a partition image.
  script.files = {image.string()};
  script.answers = {true};
  Find<QAction>(w, "N7")->trigger();
  QCOMPARE(Text(Find<QLabel>(w, "label5")), QStringLiteral("FAT32"));
  QVERIFY(Find<QCheckBox>(w, "chkfreespace")->isChecked());
  QVERIFY(Find<QCheckBox>(w, "chkfreespace")->isEnabled());
  QCOMPARE(Text(Find<QLineEdit>(w, "edtbegin")), QString::number(fat.reservedSectors + 2 * fat.fatSectors));
  QCOMPARE(Text(Find<QLineEdit>(w, "edtsecs")), QStringLiteral("8"));

  // SCAN, on the worker.
  QTest::mouseClick(Find<QPushButton>(w, "btnscan"), Qt::LeftButton);
  QTRY_VERIFY_WITH_TIMEOUT(!w.WorkerBusy(), 300000);
  QCOMPARE(Find<QLabel>(w, "stat1Panel")->text(), QStringLiteral("完成"));
  const QStringList scanLog = Lines(w, "Memo1");
  QVERIFY(scanLog.first().startsWith(QStringLiteral("正在取分区存储位图")));
  QVERIFY(scanLog.last().startsWith(QStringLiteral("完成")));
  QTreeView* v2 = List(w, "ListView2");
  QVERIFY(v2->model()->rowCount() >= 4);
  QCOMPARE(size_t(v2->model()->rowCount()), w.session().catalogue.store.size());

  // The analysis tab lists both copies.
  ClickTab(w, 2);
  QTreeView* v3 = List(w, "ListView3");
  QCOMPARE(v3->model()->rowCount(), 2);
  QVERIFY(v3->model()->index(0, 1).data().toString().contains(QStringLiteral(".mdf"), Qt::CaseInsensitive));

  // SEARCH, automatic: on the worker.
  SelectRow(v3, 0);
  QTest::mouseClick(Find<QPushButton>(w, "Button1"), Qt::LeftButton);
  QVERIFY(!Find<QPushButton>(w, "Button1")->isEnabled());
  QTRY_VERIFY_WITH_TIMEOUT(!w.WorkerBusy(), 120000);
  QVERIFY(Find<QPushButton>(w, "Button1")->isEnabled() && Find<QCheckBox>(w, "chkauto")->isEnabled());
  QCOMPARE(Lines(w, "Memo2").last(), QString::fromUtf8(kAnalysisDone));
  const std::vector<int32_t> automatic = AssemblyFragments(w);
  QVERIFY(automatic.size() >= 2);
  QCOMPARE(List(w, "ListView4")->model()->rowCount(), int(automatic.size()));
  QCOMPARE(Tabs(w)->currentIndex(), 2);

  // SEARCH, asking: the continuation dialog, closed with its close box, cancels.
  Find<QCheckBox>(w, "chkauto")->setChecked(false);
  script.onContinuation = [](Tfrmuserchoose& d) { d.close(); };
  QTest::mouseClick(Find<QPushButton>(w, "Button1"), Qt::LeftButton);
  QCOMPARE(Lines(w, "Memo2").last(), QString::fromUtf8(kUserStopped));
  QCOMPARE(AssemblyFragments(w), automatic);  // the list is not refilled
  QCOMPARE(script.continuations, 1);

  // SEARCH, asking. The first run picks the last candidate by a click on its
  // row; the second answers as the automatic choice would (among the
  // candidates with the first one's start page, the one nearest on disk to
  // the fragment reached so far) by a check mark.
  script.continuations = 0;
  bool dialogChecked = false;
  bool nearest = false;
  std::vector<int32_t> picked;  // fragment indexes chosen in the dialog
  script.onContinuation = [&](Tfrmuserchoose& d) {
    auto* list1 = d.findChild<QTreeWidget*>(QStringLiteral("ListView1"));
    auto* list2 = d.findChild<QTreeWidget*>(QStringLiteral("ListView2"));
    QVERIFY(list1 && list2);
    QVERIFY(list2->topLevelItemCount() >= 2);
    if (!dialogChecked) {
      dialogChecked = true;
      QCOMPARE(d.windowTitle(), QStringLiteral("指定接续碎片"));
      QCOMPARE(d.size(), QSize(734, 450));
      QVERIFY(d.windowFlags() & Qt::WindowStaysOnTopHint);
      QVERIFY(!d.isModal());
      QCOMPARE(list1->topLevelItemCount(), 1);
      QCOMPARE(list1->headerItem()->text(0), QStringLiteral("上一有效碎片"));
      QCOMPARE(list2->headerItem()->text(0), QStringLiteral("序号"));
      QCOMPARE(list2->layoutDirection(), Qt::RightToLeft);
      QCOMPARE(d.findChild<QPushButton*>(QStringLiteral("btnok"))->text(), QStringLiteral("确定"));
      QCOMPARE(d.findChild<QPushButton*>(QStringLiteral("btncancel"))->text(), QStringLiteral("取消"));
      QCOMPARE(d.findChild<QPushButton*>(QStringLiteral("Button1"))->text(), QStringLiteral("把勾选的碎片保存为文件"));
      if (const char* shots = std::getenv("SORRELON_SCREENSHOTS"))
        QVERIFY(d.grab().save(QString::fromStdString((fs::path(shots) / "window-5-continuation.png").string())));

      // "把勾选的碎片保存为文件": the checked candidate's pages, named after its start sector.
      QTreeWidgetItem* first = list2->topLevelItem(0);
      first->setCheckState(0, Qt::Checked);
      const fs::path folder = dir / "candidates";
      fs::create_directories(folder);
      script.files.push_back(folder.string());
      QTest::mouseClick(d.findChild<QPushButton*>(QStringLiteral("Button1")), Qt::LeftButton);
      QCOMPARE(script.dialogTitles.back(), std::string("保存目录"));
      QCOMPARE(script.messages.back().text, std::string("保存完毕"));
      QCOMPARE(int64_t(fs::file_size(folder / (first->text(4).toStdString() + ".hex"))),
               int64_t(first->text(1).toLongLong() / 8 * 8192));
      first->setCheckState(0, Qt::Unchecked);
    }
    int best = list2->topLevelItemCount() - 1;
    if (nearest) {
      const int64_t from = list1->topLevelItem(0)->text(4).toLongLong();
      const QString firstPage = list2->topLevelItem(0)->text(2);
      int64_t bestDistance = -1;
      for (int i = 0; i < list2->topLevelItemCount() && list2->topLevelItem(i)->text(2) == firstPage; ++i) {
        int64_t distance = std::llabs(list2->topLevelItem(i)->text(4).toLongLong() - from);
        if (bestDistance < 0 || distance < bestDistance) {
          bestDistance = distance;
          best = i;
        }
      }
      list2->topLevelItem(best)->setCheckState(0, Qt::Checked);
    } else {
      QTreeWidgetItem* item = list2->topLevelItem(best);
      QTest::mouseClick(list2->viewport(), Qt::LeftButton, {}, list2->visualItemRect(item).center());
    }
    picked.push_back(list2->topLevelItem(best)->text(0).toInt() - 1);
    QTest::mouseClick(d.findChild<QPushButton*>(QStringLiteral("btnok")), Qt::LeftButton);
  };
  QTest::mouseClick(Find<QPushButton>(w, "Button1"), Qt::LeftButton);
  QVERIFY(script.continuations > 0);
  QCOMPARE(Lines(w, "Memo2").last(), QString::fromUtf8(kAnalysisDone));
  std::vector<int32_t> byClick = AssemblyFragments(w);
  QVERIFY(byClick != automatic);
  QVERIFY(std::find(byClick.begin(), byClick.end(), picked.front()) != byClick.end());

  nearest = true;
  picked.clear();
  QTest::mouseClick(Find<QPushButton>(w, "Button1"), Qt::LeftButton);
  QCOMPARE(Lines(w, "Memo2").last(), QString::fromUtf8(kAnalysisDone));
  QCOMPARE(AssemblyFragments(w), automatic);

  // Assembly: sort by start page, SEARCH MORE, CHECK, CREATE MDF.
  ClickTab(w, 3);
  QTreeView* v4 = List(w, "ListView4");
  ClickHeader(v4, 2);
  QVERIFY(Find<QPushButton>(w, "Button2")->isEnabled());
  QTest::mouseClick(Find<QPushButton>(w, "Button6"), Qt::LeftButton);
  QCOMPARE(Lines(w, "Memo3").last(), QStringLiteral("本次找到碎片数量0。二次查找完毕"));
  QVERIFY(Find<QPushButton>(w, "Button2")->isEnabled());
  QTest::mouseClick(Find<QPushButton>(w, "Button5"), Qt::LeftButton);
  QCOMPARE(Lines(w, "Memo3").last(), QStringLiteral("检测完毕"));
  const fs::path out = dir / "window.mdf";
  script.files = {out.string()};
  QTest::mouseClick(Find<QPushButton>(w, "Button2"), Qt::LeftButton);
  QCOMPARE(script.dialogTitles.back(), std::string("保存MDF文件,请注意别保存到原数据所在盘，防止覆盖"));
  QCOMPARE(Lines(w, "Memo3").last(), QStringLiteral("组合完毕"));

  // The command line, on the same image, writes the same file; both are the
  // original database.
  const fs::path cli = dir / "cli.mdf";
  std::string log;
  QCOMPARE(test::Run(std::string(SORRELON_CLI) + " recover '" + image.string() + "' -o '" + cli.string() +
                         "' --db 1 --quiet",
                     &log),
           0);
  const auto written = test::ReadFileBytes(out);
  QVERIFY(!written.empty());
  QVERIFY2(written == test::ReadFileBytes(cli), log.c_str());
  QVERIFY(written == test::ReadFileBytes(mdf));

  // None of it wrote to the source, which the window holds open for reading only.
  struct stat imageAfter {};
  QCOMPARE(::stat(image.c_str(), &imageAfter), 0);
  QCOMPARE(test::FileSha256(image), shaBefore);
  QVERIFY(imageAfter.st_mtim.tv_sec == imageBefore.st_mtim.tv_sec &&
          imageAfter.st_mtim.tv_nsec == imageBefore.st_mtim.tv_nsec);
  int sourceDescriptors = 0;
  for (auto& e : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (fs::read_symlink(e.path(), ec) != fs::canonical(image) || ec) continue;
    std::ifstream info("/proc/self/fdinfo/" + e.path().filename().string());
    std::string key, value;
    while (info >> key >> value) {
      if (key != "flags:") continue;
      QCOMPARE(int(std::stol(value, nullptr, 8)) & O_ACCMODE, O_RDONLY);
      ++sourceDescriptors;
    }
  }
  QVERIFY(sourceDescriptors > 0);

  // Started on an image without questions (--open-image): a volume boot
  // sector makes it a partition image.
  {
    TForm1 other(FixedSources());
    QVERIFY(other.OpenImage(image.string(), std::nullopt));
    QCOMPARE(Text(Find<QLabel>(other, "label5")), QStringLiteral("FAT32"));
    QVERIFY(Find<QCheckBox>(other, "chkfreespace")->isChecked());
    QVERIFY(other.session().source.hasFileSystem);
  }

  // Pictures of the four tabs after the recovery, for the documentation.
  if (const char* shots = std::getenv("SORRELON_SCREENSHOTS")) {
    const char* names[4] = {"window-1-source.png", "window-2-fragments.png", "window-3-analysis.png",
                            "window-4-assembly.png"};
    for (int i = 0; i < 4; ++i) {
      ClickTab(w, i);
      if (i == 2) SelectRow(v3, 0);
      QApplication::processEvents();
      QVERIFY(w.grab().save(QString::fromStdString((fs::path(shots) / names[i]).string())));
    }
  }
}

}  // namespace sorrelon::app

QTEST_MAIN(sorrelon::app::WindowTest)
#include "window_test.moc"
