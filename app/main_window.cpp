#include "app/main_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDeadlineTimer>
#include <QDialog>
#include <QFont>
#include <QGroupBox>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>
#include <mutex>

#include "analysis/analysis.h"
#include "app/continuation_dialog.h"
#include "app/howto.h"
#include "app/list_models.h"
#include "app/qt_person.h"
#include "assembly/export.h"
#include "assembly/mdf_writer.h"
#include "catalogue/content_file.h"
#include "catalogue/list_commands.h"
#include "catalogue/scan_info.h"

namespace sorrelon::app {
namespace {

constexpr const char* kHint = "提示";
constexpr int kClientWidth = 1014;
constexpr int kClientHeight = 615;  // below the menu bar

QString Q(const std::string& s) { return QString::fromStdString(s); }
std::string S(const QString& s) { return s.toStdString(); }

template <typename T>
T* Named(T* w, const char* name) {
  w->setObjectName(QString::fromLatin1(name));
  return w;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, QRect geometry) {
  auto* l = Named(new QLabel(text, parent), name);
  l->setGeometry(geometry);
  l->setTextFormat(Qt::PlainText);
  return l;
}

QLineEdit* MakeEdit(QWidget* parent, const char* name, const QString& text, QRect geometry) {
  auto* e = Named(new QLineEdit(text, parent), name);
  e->setGeometry(geometry);
  return e;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& text, QRect geometry) {
  auto* b = Named(new QPushButton(text, parent), name);
  b->setGeometry(geometry);
  return b;
}

QPlainTextEdit* MakeMemo(QWidget* parent, const char* name, QRect geometry) {
  auto* m = Named(new QPlainTextEdit(parent), name);
  m->setGeometry(geometry);
  m->setReadOnly(true);
  m->setLineWrapMode(QPlainTextEdit::NoWrap);
  return m;
}

// A title bar above a group of controls.
QLabel* MakePanel(QWidget* parent, const char* name, const QString& text, QRect geometry) {
  auto* p = MakeLabel(parent, name, text, geometry);
  p->setFrameStyle(QFrame::Panel | QFrame::Raised);
  p->setAutoFillBackground(true);
  QPalette pal = p->palette();
  pal.setColor(QPalette::Window, QColor(58, 110, 165));
  pal.setColor(QPalette::WindowText, Qt::white);
  p->setPalette(pal);
  QFont f = p->font();
  f.setBold(true);
  p->setFont(f);
  return p;
}

}  // namespace

void SetUpApplication() {
  QCoreApplication::setApplicationName(QStringLiteral("Vellicor"));
  QFont font;
  // 宋体 where it is installed; a CJK sans-serif font otherwise.
  font.setFamilies({QStringLiteral("SimSun"), QStringLiteral("宋体"), QStringLiteral("WenQuanYi Micro Hei"),
                    QStringLiteral("Noto Sans CJK SC")});
  font.setPixelSize(12);
  QApplication::setFont(font);
}

// Holds the workers' slot for one command of the window.
class TForm1::Exclusive {
 public:
  explicit Exclusive(TForm1& w) : w_(w), ok_(w.BeginExclusive()) {}
  ~Exclusive() {
    if (ok_) w_.EndExclusive();
  }
  explicit operator bool() const { return ok_; }

 private:
  TForm1& w_;
  bool ok_;
};

TForm1::TForm1(std::optional<SourceMenu> sources, QWidget* parent) : QMainWindow(parent) {
  setObjectName(QStringLiteral("TForm1"));
  setWindowTitle(QStringLiteral("Sorrelon Recover for SQLSERVER"));
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  move(2, 115);

  person_ = new QtPerson(*this);
  sources_ = sources ? std::move(*sources) : EnumerateSources();

  fragmentModel_ = new RowsModel(RowsModel::Kind::Fragments, session_.catalogue, this);
  databaseModel_ = new RowsModel(RowsModel::Kind::DatabaseFiles, session_.catalogue, this);
  assemblyModel_ = new RowsModel(RowsModel::Kind::Assembly, session_.catalogue, this);

  auto* central = new QWidget(this);
  central->setObjectName(QStringLiteral("client"));
  setCentralWidget(central);

  PageControl1 = Named(new QTabWidget(central), "PageControl1");
  const char* tabNames[4] = {"TabSheet1", "TabSheet2", "TabSheet3", "TabSheet4"};
  const QString captions[4] = {QStringLiteral("  Ⅰ  选择数据源(DATA SOURCE)     "),
                               QStringLiteral("  Ⅱ  碎片列表(FRAGMENT LIST )        "),
                               QStringLiteral("  Ⅲ  分析碎片(FILTER)       "),
                               QStringLiteral("   Ⅳ  组合MDF(CREATE MDF)     ")};
  QWidget* pages[4];
  for (int i = 0; i < 4; ++i) {
    pages[i] = Named(new QWidget, tabNames[i]);
    PageControl1->addTab(pages[i], captions[i]);
  }
  BuildTab1(pages[0]);
  BuildTab2(pages[1]);
  BuildTab3(pages[2]);
  BuildTab4(pages[3]);

  g1 = Named(new QProgressBar(central), "g1");
  g1->setRange(0, 100);
  g1->setValue(0);
  Button7 = MakeButton(central, "Button7", QStringLiteral("业务联系专业恢复(ABOUT)"), {});

  auto* status = statusBar();
  status->setObjectName(QStringLiteral("stat1"));
  status->setSizeGripEnabled(false);
  stat1Panel = Named(new QLabel(status), "stat1Panel");
  stat1Panel->setFixedWidth(200);
  stat1Panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  status->addWidget(stat1Panel);

  BuildMenus();

  // Fixed size: the client area below the menu bar is 1014 x 615.
  const int menuHeight = menuBar()->sizeHint().height();
  const int statusHeight = status->sizeHint().height();
  const int centralHeight = kClientHeight - statusHeight;
  PageControl1->setGeometry(2, 2, kClientWidth - 4, centralHeight - 40);
  g1->setGeometry(6, centralHeight - 32, 786, 20);
  Button7->setGeometry(800, centralHeight - 36, 208, 30);
  setFixedSize(kClientWidth, menuHeight + kClientHeight);

  connect(PageControl1, &QTabWidget::currentChanged, this, &TForm1::PageControl1Change);
  connect(Button7, &QPushButton::clicked, this, &TForm1::N6Click);

  growTimer_.setInterval(150);
  connect(&growTimer_, &QTimer::timeout, this, &TForm1::GrowTick);

  FormCreate();
}

TForm1::~TForm1() {
  closing_ = true;
  if (choose_) choose_->Cancel();
  WaitForWorkers();
  // The views and models read the session: they go before it does.
  delete centralWidget();
  delete fragmentModel_;
  delete databaseModel_;
  delete assemblyModel_;
}

// ---------------------------------------------------------------- building

void TForm1::BuildMenus() {
  QMenuBar* mm1 = menuBar();
  mm1->setObjectName(QStringLiteral("mm1"));
  QMenu* N1 = Named(mm1->addMenu(QStringLiteral("操作(OPERATION)")), "N1");
  N1->menuAction()->setObjectName(QStringLiteral("N1Action"));
  QAction* N2 = Named(N1->addAction(QStringLiteral("开始扫描(SCAN)")), "N2");
  QAction* N3 = Named(N1->addAction(QStringLiteral("停止扫描(STOP)")), "N3");
  Named(N1->addSeparator(), "N4");
  Named(N1->addAction(QStringLiteral("退出")), "N5");  // no action
  QAction* N6 = Named(mm1->addAction(QStringLiteral("关于(ABOUT)")), "N6");
  connect(N2, &QAction::triggered, this, &TForm1::N2Click);
  connect(N3, &QAction::triggered, this, &TForm1::N3Click);
  connect(N6, &QAction::triggered, this, &TForm1::N6Click);

  // The data-source menu of edtDataStr.
  pm1 = Named(new QMenu(this), "pm1");
  QAction* N7 = Named(pm1->addAction(QStringLiteral("打开镜像文件")), "N7");
  Named(pm1->addSeparator(), "N8");
  connect(N7, &QAction::triggered, this, &TForm1::N7Click);
  edtDataStr->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(edtDataStr, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& pos) { pm1->popup(edtDataStr->mapToGlobal(pos)); });

  // The fragment list's context menu.
  PopupMenu1 = Named(new QMenu(this), "PopupMenu1");
  struct Item {
    const char* name;
    const char* caption;
    void (TForm1::*handler)();
  };
  const Item items[] = {
      {"N9", "提取勾选碎片到文件", &TForm1::N9Click},
      {"N10", "全部选择", &TForm1::N10Click},
      {"N14", "全部取消选择", &TForm1::N14Click},
      {"N15", "反向选择", &TForm1::N15Click},
      {"N11", "碎片过滤", nullptr},  // no action
      {"N12", "统计勾选的碎片信息", &TForm1::N12Click},
      {"N13", "复制此碎片的开始扇区号到剪贴板", &TForm1::N13Click},
      {"N16", "把选择的碎片加入组合", &TForm1::N16Click},
      {"N17", "取勾选碎片的文件名", &TForm1::N17Click},
      {"N18", "取更新信息", &TForm1::N18Click},
  };
  for (const Item& it : items) {
    QAction* a = Named(PopupMenu1->addAction(QString::fromUtf8(it.caption)), it.name);
    if (it.handler) connect(a, &QAction::triggered, this, it.handler);
  }
  ListView2->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(ListView2, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& pos) { PopupMenu1->popup(ListView2->viewport()->mapToGlobal(pos)); });
}

void TForm1::BuildSourceMenu() {
  // Disks after "打开镜像文件" and "-", then "-", then the logical drives.
  for (size_t i = 0; i < sources_.disks.size(); ++i) {
    QAction* a = pm1->addAction(Q(sources_.disks[i].caption));
    a->setObjectName(QStringLiteral("pm1Disk%1").arg(i));
    connect(a, &QAction::triggered, this, [this, i] { DiskItemClick(i); });
  }
  pm1->addSeparator()->setObjectName(QStringLiteral("pm1Separator"));
  for (size_t i = 0; i < sources_.drives.size(); ++i) {
    QAction* a = pm1->addAction(Q(sources_.drives[i].caption));
    a->setObjectName(QStringLiteral("pm1Drive%1").arg(i));
    connect(a, &QAction::triggered, this, [this, i] { DriveItemClick(i); });
  }
}

QTreeView* TForm1::MakeListView(QWidget* page, const char* name, RowsModel* model) {
  auto* v = Named(new QTreeView(page), name);
  v->setModel(model);
  v->setRootIsDecorated(false);
  v->setItemsExpandable(false);
  v->setUniformRowHeights(true);  // rows are laid out by count, not measured one by one
  v->setAllColumnsShowFocus(true);
  v->setSelectionBehavior(QAbstractItemView::SelectRows);
  v->setSelectionMode(QAbstractItemView::SingleSelection);
  v->setEditTriggers(QAbstractItemView::NoEditTriggers);
  v->setIconSize(QSize(16, 16));
  // The selection stays visible when the list loses the focus.
  QPalette pal = v->palette();
  pal.setColor(QPalette::Inactive, QPalette::Highlight, pal.color(QPalette::Active, QPalette::Highlight));
  pal.setColor(QPalette::Inactive, QPalette::HighlightedText, pal.color(QPalette::Active, QPalette::HighlightedText));
  v->setPalette(pal);
  QHeaderView* h = v->header();
  h->setStretchLastSection(false);
  h->setSectionsMovable(false);
  h->setSectionsClickable(true);
  h->setSectionResizeMode(QHeaderView::Interactive);
  for (int c = 0; c < 7; ++c) h->resizeSection(c, model->headerData(c, Qt::Horizontal, Qt::SizeHintRole).toSize().width());
  // The list's current row is core data (commands act on it).
  connect(v->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
          [this, model](const QModelIndex& current) {
            std::lock_guard<std::mutex> lock(session_.catalogue.mutex);
            model->rows().current = current.isValid() ? current.row() : -1;
          });
  return v;
}

void TForm1::BuildTab1(QWidget* page) {
  grp1 = Named(new QGroupBox(QStringLiteral("  数据源(DATASOURCE)  "), page), "grp1");
  grp1->setGeometry(6, 4, 992, 66);
  edtDataStr = MakeEdit(grp1, "edtDataStr", Q(session_.fields.dataStr), {10, 26, 560, 28});
  edtDataStr->setReadOnly(true);
  label5 = MakeLabel(grp1, "label5", QString(), {580, 30, 64, 22});
  btnscan = MakeButton(grp1, "btnscan", QStringLiteral("开始扫描(SCAN)"), {652, 24, 158, 32});
  btnstop = MakeButton(grp1, "btnstop", QStringLiteral("停止扫描(STOP)"), {822, 24, 158, 32});

  MakePanel(page, "pnl2", QStringLiteral("扫描设置:(非专业人员建议不选择) OPTIONS"), {6, 76, 482, 24});
  chkfreespace = Named(new QCheckBox(QStringLiteral("只扫描空闲簇(FREE SPACE ONLY)"), page), "chkfreespace");
  chkfreespace->setGeometry(16, 106, 300, 24);
  chkfreespace->setChecked(true);
  MakeLabel(page, "Label1", QStringLiteral("开始扇区"), {16, 138, 100, 24});
  edtbegin = MakeEdit(page, "edtbegin", QString(), {120, 136, 200, 26});
  MakeLabel(page, "Label2", QStringLiteral("结束扇区"), {16, 170, 100, 24});
  edtend = MakeEdit(page, "edtend", QString(), {120, 168, 200, 26});
  MakeLabel(page, "Label3", QStringLiteral("每簇扇区数"), {16, 202, 100, 24});
  edtsecs = MakeEdit(page, "edtsecs", QString(), {120, 200, 200, 26});
  CheckBox1 = Named(new QCheckBox(QStringLiteral("开始页面号小于"), page), "CheckBox1");
  CheckBox1->setGeometry(16, 234, 130, 24);
  edtmaxpageid = MakeEdit(page, "edtmaxpageid", QString(), {150, 232, 170, 26});
  MakeLabel(page, "Label9", QStringLiteral("文件ID"), {16, 266, 100, 24});
  Edit2 = MakeEdit(page, "Edit2", QStringLiteral("1"), {120, 264, 80, 26});

  MakePanel(page, "pnl1", QStringLiteral("         扫描图分区信息;                    "), {6, 298, 482, 24});
  Memo1 = MakeMemo(page, "Memo1", {6, 322, 482, 196});

  auto* pnl3 = Named(new QFrame(page), "pnl3");
  pnl3->setFrameStyle(QFrame::VLine | QFrame::Sunken);
  pnl3->setGeometry(494, 76, 6, 442);

  Label7 = MakeLabel(page, "Label7", QStringLiteral("使  用  说 明"), {510, 78, 200, 24});
  Label7->setCursor(Qt::PointingHandCursor);
  QFont f = Label7->font();
  f.setBold(true);
  f.setItalic(true);
  f.setUnderline(true);
  f.setPixelSize(14);
  Label7->setFont(f);
  QPalette pal = Label7->palette();
  pal.setColor(QPalette::WindowText, QColor(0, 0, 128));  // navy
  Label7->setPalette(pal);
  Label7->installEventFilter(this);

  const QRect howTo(510, 106, 488, 412);
  img1 = MakeLabel(page, "img1", QString(), howTo);
  img1->setPixmap(HowToPicture(howTo.width(), howTo.height()));
  lbl1 = MakeLabel(page, "lbl1", HowToText(), howTo);
  lbl1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  QFont lf = lbl1->font();
  lf.setPixelSize(14);
  lbl1->setFont(lf);
  lbl1->setVisible(false);

  connect(btnscan, &QPushButton::clicked, this, &TForm1::btnscanClick);
  connect(btnstop, &QPushButton::clicked, this, &TForm1::N3Click);
  connect(CheckBox1, &QCheckBox::toggled, this, &TForm1::CheckBox1Click);
}

void TForm1::BuildTab2(QWidget* page) {
  ListView2 = MakeListView(page, "ListView2", fragmentModel_);
  ListView2->setGeometry(4, 4, 994, 380);
  connect(ListView2->header(), &QHeaderView::sectionClicked, this, &TForm1::ListView2ColumnClick);

  auto* GroupBox1 = Named(new QGroupBox(QStringLiteral("开始页面号范围"), page), "GroupBox1");
  GroupBox1->setGeometry(4, 390, 454, 128);
  rb3 = Named(new QRadioButton(QStringLiteral("全部显示"), GroupBox1), "rb3");
  rb3->setGeometry(10, 22, 130, 24);
  rb1 = Named(new QRadioButton(QStringLiteral("开始页面号范围"), GroupBox1), "rb1");
  rb1->setGeometry(10, 54, 130, 24);
  MakeLabel(GroupBox1, "Label4", QStringLiteral(">="), {146, 56, 22, 22});
  Edit1 = MakeEdit(GroupBox1, "Edit1", QStringLiteral("edtbeginid"), {170, 52, 110, 26});
  MakeLabel(GroupBox1, "Label8", QStringLiteral("<"), {290, 56, 14, 22});
  edtendid = MakeEdit(GroupBox1, "edtendid", QStringLiteral("edtendid"), {306, 52, 110, 26});
  rb2 = Named(new QRadioButton(QStringLiteral("含如ID的碎片"), GroupBox1), "rb2");
  rb2->setGeometry(10, 88, 130, 24);
  edtpgid = MakeEdit(GroupBox1, "edtpgid", QStringLiteral("edtpgid"), {170, 86, 110, 26});
  auto* edtfilter = MakeButton(GroupBox1, "edtfilter", QStringLiteral("过滤"), {306, 84, 110, 30});
  connect(edtfilter, &QPushButton::clicked, this, &TForm1::edtfilterClick);

  auto* btnsave = MakeButton(page, "btnsave", QStringLiteral("保存此次扫描信息(SAVE)"), {468, 398, 236, 38});
  auto* Button3 = MakeButton(page, "Button3", QStringLiteral("打开扫描信息文件(OPEN)"), {468, 450, 236, 38});
  connect(btnsave, &QPushButton::clicked, this, &TForm1::btnsaveClick);
  connect(Button3, &QPushButton::clicked, this, &TForm1::Button3Click);

  auto* GroupBox3 = Named(new QGroupBox(QStringLiteral("自动下勾选选项"), page), "GroupBox3");
  GroupBox3->setGeometry(714, 390, 284, 128);
  MakeLabel(GroupBox3, "Label10", QStringLiteral("往下范围"), {10, 30, 70, 22});
  edtlen = MakeEdit(GroupBox3, "edtlen", QStringLiteral("5"), {82, 28, 70, 26});
  MakeLabel(GroupBox3, "Label11", QStringLiteral("页码范围"), {10, 70, 70, 22});
  edtpagelen = MakeEdit(GroupBox3, "edtpagelen", QStringLiteral("128"), {82, 68, 70, 26});
  auto* Button8 = MakeButton(GroupBox3, "Button8", QStringLiteral("自动勾选"), {164, 44, 108, 34});
  connect(Button8, &QPushButton::clicked, this, &TForm1::Button8Click);
}

void TForm1::BuildTab3(QWidget* page) {
  ListView3 = MakeListView(page, "ListView3", databaseModel_);
  ListView3->setGeometry(4, 4, 994, 350);
  Button1 = MakeButton(page, "Button1", QStringLiteral("分析该碎片(FILTER)"), {10, 362, 220, 36});
  chkauto = Named(new QCheckBox(QStringLiteral("自动模式"), page), "chkauto");
  chkauto->setGeometry(250, 368, 120, 24);
  chkauto->setChecked(true);
  // Deep recovery: off until the user asks for it; the next scan, analysis
  // and CREATE MDF then run with it.
  chkdeep = Named(new QCheckBox(QStringLiteral("深度恢复(DEEP)"), page), "chkdeep");
  chkdeep->setGeometry(380, 368, 180, 24);
  chkdeep->setChecked(false);
  Memo2 = MakeMemo(page, "Memo2", {4, 406, 994, 112});
  connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
  connect(chkdeep, &QCheckBox::toggled, this, [this](bool on) { session_.SetDeep(on); });
}

void TForm1::BuildTab4(QWidget* page) {
  ListView4 = MakeListView(page, "ListView4", assemblyModel_);
  ListView4->setGeometry(4, 4, 994, 350);
  connect(ListView4->header(), &QHeaderView::sectionClicked, this, &TForm1::ListView4ColumnClick);
  Button6 = MakeButton(page, "Button6", QStringLiteral("查找遗漏碎片(SEARCH MORE)"), {10, 362, 250, 36});
  Button5 = MakeButton(page, "Button5", QStringLiteral("检查遗漏页(CHECK)"), {276, 362, 200, 36});
  Button2 = MakeButton(page, "Button2", QStringLiteral("组合MDF(CREATE MDF)"), {492, 362, 200, 36});
  Memo3 = MakeMemo(page, "Memo3", {4, 406, 994, 112});
  connect(Button6, &QPushButton::clicked, this, &TForm1::Button6Click);
  connect(Button5, &QPushButton::clicked, this, &TForm1::Button5Click);
  connect(Button2, &QPushButton::clicked, this, &TForm1::Button2Click);
  UpdateAssemblyButtons();
}

void TForm1::FormCreate() {
  SetCurrentTabQuietly(0);
  session_.source.readFromSource = true;
  session_.scanStopped = true;
  session_.source.fatReservedSectors = 0;
  session_.source.fatSizeSectors = 0;
  session_.fileIdText = S(Edit2->text());
  session_.ReadFileId();
  session_.source.hasFileSystem = false;
  Memo1->clear();
  Memo2->clear();
  session_.catalogue.Clear();
  BuildSourceMenu();
  SyncFieldsFromWidgets();
}

// ---------------------------------------------------------------- person

void TForm1::AppendLog(Log log, const QString& text) {
  QPlainTextEdit* memo = log == Log::Scan ? Memo1 : log == Log::Analysis ? Memo2 : Memo3;
  memo->appendPlainText(text);
}

void TForm1::ClearLogView(Log log) {
  QPlainTextEdit* memo = log == Log::Scan ? Memo1 : log == Log::Analysis ? Memo2 : Memo3;
  memo->clear();
}

void TForm1::SetGaugeValue(int percent) { g1->setValue(std::clamp(percent, 0, 100)); }

void TForm1::SetStatusText(const QString& text) { stat1Panel->setText(text); }

void TForm1::ViewChanged(View view) {
  switch (view) {
    case View::FragmentList: RefreshList(fragmentModel_, ListView2); break;
    case View::DatabaseFiles: RefreshList(databaseModel_, ListView3); break;
    case View::AssemblyList: RefreshList(assemblyModel_, ListView4); break;
    case View::Buttons: UpdateAssemblyButtons(); break;
    case View::SourceFields: ApplyFieldsToWidgets(); break;
  }
}

std::optional<size_t> TForm1::AskContinuation(const std::vector<CandidateRow>& candidates,
                                               const CandidateRow& current, int& chosenRow) {
  if (closing_ || closeRequested_) return std::nullopt;
  if (!choose_) NewContinuationDialog();
  QMetaObject::Connection hook;
  if (DialogScript* s = person_->Script(); s && s->onContinuation) {
    ++s->continuations;
    hook = connect(choose_, &Tfrmuserchoose::waitingForChoice, this, [this, s] { s->onContinuation(*choose_); });
  }
  auto choice = choose_->Ask(candidates, current, chosenRow);
  if (hook) disconnect(hook);
  return choice;
}

void TForm1::NewContinuationDialog() {
  if (choose_) choose_->deleteLater();
  choose_ = new Tfrmuserchoose(session_.fragments, *person_, this);
}

// ---------------------------------------------------------------- lists

void TForm1::RefreshList(RowsModel* model, QTreeView* view) {
  size_t n;
  int current;
  {
    std::lock_guard<std::mutex> lock(session_.catalogue.mutex);
    n = model->rows().size();
    current = model->rows().current;
  }
  const QModelIndex viewCurrent = view->currentIndex();
  if (int(n) == model->rowCount() && (viewCurrent.isValid() ? viewCurrent.row() : -1) == current) {
    // Same rows, same current row: cells changed (check marks, a remark).
    model->RefreshAll();
    return;
  }
  model->Reload();
  if (current >= 0 && current < model->rowCount())
    view->selectionModel()->setCurrentIndex(model->index(current, 0),
                                            QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void TForm1::ListView2ColumnClick(int column) {
  // No sort while the scan appends, nor under a command that walks the rows.
  if (uiBusy_ > 0 || !session_.scanStopped || WorkerAlive(TMyThread::Mode::Scan)) return;
  {
    std::lock_guard<std::mutex> lock(session_.catalogue.mutex);
    session_.catalogue.FragmentListColumnClick(fragmentModel_->CoreColumn(column), false);
  }
  fragmentModel_->Reload();
}

void TForm1::ListView4ColumnClick(int column) {
  if (uiBusy_ > 0) return;
  {
    std::lock_guard<std::mutex> lock(session_.catalogue.mutex);
    session_.catalogue.AssemblyColumnClick(assemblyModel_->CoreColumn(column));
  }
  assemblyModel_->Reload();
  UpdateAssemblyButtons();
}

void TForm1::UpdateAssemblyButtons() {
  const auto& b = session_.catalogue.assemblyButtons;
  // While the analysis runs on the worker the assembly is being rebuilt.
  const bool free = !analysisRunning_;
  Button2->setEnabled(free && b.createMdf);
  Button5->setEnabled(free && b.check);
  Button6->setEnabled(free && b.searchMore);
}

void TForm1::GrowTick() {
  if (person_->TakeFragmentsGrown()) fragmentModel_->Grow();
  // The view lays out all its rows again after an append (about 25 ns a
  // row): the longer the list, the further apart the batches, so following a
  // scan never takes more than a few percent of the window's time.
  growTimer_.setInterval(std::clamp(fragmentModel_->rowCount() / 2000, 150, 1000));
  if (!WorkerAlive(TMyThread::Mode::Scan)) growTimer_.stop();
}

// ---------------------------------------------------------------- first tab

void TForm1::SyncFieldsFromWidgets() {
  SourceFields& f = session_.fields;
  f.begin = S(edtbegin->text());
  f.end = S(edtend->text());
  f.secs = S(edtsecs->text());
  f.freeSpaceChecked = chkfreespace->isChecked();
  session_.limitStartPage = CheckBox1->isChecked();
  session_.maxStartPageText = S(edtmaxpageid->text());
  session_.fileIdText = S(Edit2->text());
}

void TForm1::ApplyFieldsToWidgets() {
  const SourceFields& f = session_.fields;
  edtDataStr->setText(Q(f.dataStr));
  edtDataStr->setCursorPosition(0);
  edtbegin->setText(Q(f.begin));
  edtend->setText(Q(f.end));
  edtsecs->setText(Q(f.secs));
  label5->setText(Q(f.label5));
  chkfreespace->setChecked(f.freeSpaceChecked);
  // The scan options stay disabled once a scan has started.
  chkfreespace->setEnabled(f.freeSpaceEnabled && !scanStarted_);
}

void TForm1::Label7Click() {
  const bool picture = img1->isVisible();
  img1->setVisible(!picture);
  lbl1->setVisible(picture);
}

void TForm1::CheckBox1Click() {
  if (!scanStarted_) edtmaxpageid->setEnabled(CheckBox1->isChecked());
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
  if (watched == Label7 && event->type() == QEvent::MouseButtonRelease &&
      static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
    Label7Click();
    return true;
  }
  return QMainWindow::eventFilter(watched, event);
}

void TForm1::N6Click() {
  QDialog about(this, Qt::Dialog | Qt::WindowStaysOnTopHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  about.setObjectName(QStringLiteral("AboutBox"));
  about.setWindowTitle(QStringLiteral("关于"));
  about.setModal(true);
  auto* layout = new QVBoxLayout(&about);
  auto* name = new QLabel(QStringLiteral("Sorrelon Recover for SQLSERVER"), &about);
  QFont f = name->font();
  f.setBold(true);
  f.setPixelSize(16);
  name->setFont(f);
  layout->addWidget(name);
  layout->addWidget(new QLabel(QStringLiteral("版本 ") + QStringLiteral(SORRELON_VERSION), &about));
  layout->addWidget(new QLabel(QStringLiteral("SQL Server 数据文件(MDF)碎片恢复\n"
                                              "数据源只以只读方式打开，从不写入。"),
                               &about));
  auto* ok = new QPushButton(QStringLiteral("确定"), &about);
  ok->setObjectName(QStringLiteral("AboutOk"));
  connect(ok, &QPushButton::clicked, &about, &QDialog::accept);
  layout->addWidget(ok, 0, Qt::AlignRight);
  about.setFixedSize(380, 180);
  about.exec();
}

// ---------------------------------------------------------------- data source

bool TForm1::OpenImage(const std::string& path, std::optional<bool> partition) {
  Exclusive guard(*this);
  if (!guard) return false;
  if (!partition) {
    DataSource probe;
    probe.devicePath = path;
    SectorReader reader(probe);
    SilentPerson quiet;
    partition = ParseBootSector(probe, reader, quiet) &&
                (probe.fileSystemName == "NTFS" || probe.fileSystemName == "FAT32");
  }
  SyncFieldsFromWidgets();
  bool ok = ChooseImage(path, *partition, session_.source, session_.reader, session_.fields, *person_);
  ApplyFieldsToWidgets();
  return ok;
}

void TForm1::N7Click() {
  Exclusive guard(*this);
  if (!guard) return;
  SyncFieldsFromWidgets();
  ChooseImageInteractive(session_.source, session_.reader, session_.fields, *person_);
  ApplyFieldsToWidgets();
}

void TForm1::DiskItemClick(size_t disk) {
  Exclusive guard(*this);
  if (!guard || disk >= sources_.disks.size()) return;
  SyncFieldsFromWidgets();
  ChooseDisk(sources_.disks[disk], session_.source, session_.reader, session_.fields, *person_);
  ApplyFieldsToWidgets();
}

void TForm1::DriveItemClick(size_t drive) {
  Exclusive guard(*this);
  if (!guard || drive >= sources_.drives.size()) return;
  SyncFieldsFromWidgets();
  ChooseDrive(sources_.drives[drive], session_.source, session_.reader, session_.fields, *person_);
  ApplyFieldsToWidgets();
}

// ---------------------------------------------------------------- workers

bool TForm1::BeginExclusive() {
  if (closing_ || closeRequested_) return false;
  if (uiBusy_ > 0) return false;  // a command is running and letting events through
  if (!TMyThread::Semaphore().tryAcquire()) {
    if (WorkerAlive(TMyThread::Mode::Scan)) person_->Message(kScanStillRunning, kHint);
    return false;
  }
  ++uiBusy_;
  return true;
}

void TForm1::EndExclusive() {
  --uiBusy_;
  TMyThread::Semaphore().release();
  if (closeRequested_ && uiBusy_ == 0) QTimer::singleShot(0, this, &QWidget::close);
}

bool TForm1::WorkerAlive(TMyThread::Mode mode) const {
  for (const TMyThread* w : workers_)
    if (w->mode() == mode) return true;
  return false;
}

void TForm1::StartWorker(TMyThread::Mode mode, std::function<void()> body) {
  auto* w = new TMyThread(mode, std::move(body), this);
  connect(w, &QThread::finished, this, [this, w] { OnWorkerFinished(w); });
  workers_.push_back(w);
  w->start();
}

void TForm1::OnWorkerFinished(TMyThread* worker) {
  auto it = std::find(workers_.begin(), workers_.end(), worker);
  if (it == workers_.end()) return;  // already waited for and deleted while closing
  workers_.erase(it);
  worker->wait();  // past its finished signal: returns once the thread has exited
  worker->deleteLater();
  if (closing_) return;
  person_->Drain();
  if (worker->mode() == TMyThread::Mode::Scan) {
    person_->TakeFragmentsGrown();
    fragmentModel_->Grow();
  } else if (!WorkerAlive(TMyThread::Mode::Analysis)) {
    SetAnalysisRunning(false);
    if (pendingDatabaseRebuild_) {
      pendingDatabaseRebuild_ = false;
      if (PageControl1->currentIndex() == 2) RebuildDatabaseFiles();
    }
  }
}

void TForm1::WaitForWorkers() {
  session_.scanStopped = true;
  person_->SetClosing(true);
  // A worker waiting on a question is answered at once (closing), so it runs
  // to its end; the queue it fills is drained meanwhile.
  for (TMyThread* w : workers_) {
    while (!w->wait(QDeadlineTimer(20))) person_->Drain();
  }
  person_->Drain();
  for (TMyThread* w : workers_) delete w;
  workers_.clear();
}

void TForm1::closeEvent(QCloseEvent* event) {
  if (uiBusy_ > 0) {
    // A command of the window is on the stack below this event: it ends
    // first (a pending continuation choice is cancelled), then the window closes.
    closeRequested_ = true;
    if (choose_) choose_->Cancel();
    event->ignore();
    return;
  }
  closing_ = true;
  if (choose_) choose_->Cancel();
  hide();
  WaitForWorkers();
  growTimer_.stop();
  event->accept();
}

void TForm1::SetAnalysisRunning(bool running) {
  analysisRunning_ = running;
  Button1->setEnabled(!running);
  chkauto->setEnabled(!running);
  chkdeep->setEnabled(!running);
  UpdateAssemblyButtons();
}

void TForm1::SetCurrentTabQuietly(int index) {
  quietTabs_ = true;
  PageControl1->setCurrentIndex(index);
  quietTabs_ = false;
}

// ---------------------------------------------------------------- scan

void TForm1::btnscanClick() {
  SyncFieldsFromWidgets();
  if (!session_.ReadFileId()) {
    person_->Message("'" + session_.fileIdText + "' is not a valid integer value (文件ID)", kHint);
    return;
  }
  N2Click();
}

void TForm1::N2Click() {
  if (closing_) return;
  if (!session_.source.sourceChosen) {
    person_->Message("请选择数据源！", kHint, Icon::Warning);
    edtDataStr->setFocus();
    return;
  }
  SetCurrentTabQuietly(2);
  SetCurrentTabQuietly(1);
  SetCurrentTabQuietly(0);
  SyncFieldsFromWidgets();
  std::string error;
  std::optional<ScanParams> params = session_.ScanParamsFromFields(&error);
  if (!params) {
    person_->Message(error, kHint);
    return;
  }
  scanStarted_ = true;
  btnscan->setEnabled(false);
  for (QWidget* w : std::initializer_list<QWidget*>{chkfreespace, edtbegin, edtend, edtsecs, CheckBox1, edtmaxpageid})
    w->setEnabled(false);
  session_.scanStopped = false;
  StartWorker(TMyThread::Mode::Scan, [this, p = *params] {
    RunScan(p, session_.source, session_.reader, session_.catalogue, session_.freeSpace, session_.scanStopped,
            *person_);
  });
  growTimer_.start();
}

void TForm1::N3Click() { session_.scanStopped = true; }

// ---------------------------------------------------------------- analysis

void TForm1::PageControl1Change(int index) {
  if (quietTabs_ || index != 2) return;
  RebuildDatabaseFiles();
}

void TForm1::RebuildDatabaseFiles() {
  // The automatic analysis reads the list when it starts: the rebuild waits
  // for its end.
  if (WorkerAlive(TMyThread::Mode::Analysis)) {
    pendingDatabaseRebuild_ = true;
    return;
  }
  {
    std::lock_guard<std::mutex> lock(session_.catalogue.mutex);
    RebuildDatabaseFileList(session_.catalogue.store, session_.catalogue.databaseFiles);
  }
  databaseModel_->Reload();
  if (!session_.source.readFromSource) {
    RefreshDatabaseFileNames(session_.source, session_.fragments, session_.catalogue, *person_);
    databaseModel_->RefreshAll();
  }
  // Deep recovery: files whose file-header page is gone, known from page 1.
  if (session_.deep) {
    AnalysisContext ctx = session_.Analysis(*person_);
    NameUnreadHeaders(ctx, session_.scanFileId);
    OfferHeaderlessFiles(ctx, session_.scanFileId);
    databaseModel_->Reload();
  }
}

void TForm1::Button1Click() {
  if (!session_.scanStopped) {
    person_->Message(kScanStillRunning, kHint);
    return;
  }
  SetCurrentTabQuietly(3);
  SetCurrentTabQuietly(2);
  NewContinuationDialog();
  const QModelIndexList selected = ListView3->selectionModel()->selectedRows();
  const int row = selected.isEmpty() ? -1 : selected.first().row();

  if (chkauto->isChecked()) {
    SetAnalysisRunning(true);
    StartWorker(TMyThread::Mode::Analysis, [this, row] {
      if (row < 0) return;
      AnalysisContext ctx = session_.Analysis(*person_);
      RunAnalysis(ctx, row, /*automatic=*/true);
    });
    return;
  }
  // Asking: the run stays on this thread and lets events through while the
  // continuation dialog waits; it holds the workers' slot meanwhile.
  Exclusive guard(*this);
  if (!guard) return;
  Button1->setEnabled(false);
  chkauto->setEnabled(false);
  if (row >= 0) {
    AnalysisContext ctx = session_.Analysis(*person_);
    RunAnalysis(ctx, row, /*automatic=*/false);
  }
  Button1->setEnabled(true);
  chkauto->setEnabled(true);
  UpdateAssemblyButtons();
}

void TForm1::Button6Click() {
  Exclusive guard(*this);
  if (!guard) return;
  AnalysisContext ctx = session_.Analysis(*person_);
  SearchMore(ctx);
  RefreshList(assemblyModel_, ListView4);
  UpdateAssemblyButtons();
}

void TForm1::Button5Click() {
  Exclusive guard(*this);
  if (!guard) return;
  AnalysisContext ctx = session_.Analysis(*person_);
  CheckMissingPages(ctx);
}

void TForm1::Button2Click() {
  Exclusive guard(*this);
  if (!guard) return;
  AnalysisContext ctx = session_.Analysis(*person_);
  CreateMdf(ctx);
}

// ---------------------------------------------------------------- fragment list

void TForm1::btnsaveClick() {
  Exclusive guard(*this);
  if (!guard) return;
  SyncFieldsFromWidgets();
  ScanInfoContext ctx = session_.ScanInfo(*person_);
  SaveScanInfo(ctx);
}

void TForm1::Button3Click() {
  SetCurrentTabQuietly(1);
  Exclusive guard(*this);
  if (!guard) return;
  SyncFieldsFromWidgets();
  ScanInfoContext ctx = session_.ScanInfo(*person_);
  OpenScanInfo(ctx);
  ApplyFieldsToWidgets();
  fragmentModel_->Reload();
}

void TForm1::edtfilterClick() {
  if (uiBusy_ > 0) return;
  FilterFields f;
  f.rb3 = rb3->isChecked();
  f.rb1 = rb1->isChecked();
  f.rb2 = rb2->isChecked();
  f.edit1 = S(Edit1->text());
  f.edtendid = S(edtendid->text());
  f.edtpgid = S(edtpgid->text());
  FilterFragments(session_.catalogue, f, *person_);
  fragmentModel_->Reload();
}

void TForm1::Button8Click() {
  if (uiBusy_ > 0) return;
  AutoCheckFields f;
  f.edtlen = S(edtlen->text());
  f.edtpagelen = S(edtpagelen->text());
  AutoCheck(session_.catalogue, f, *person_);
  RefreshList(fragmentModel_, ListView2);
}

void TForm1::N9Click() {
  Exclusive guard(*this);
  if (!guard) return;
  ExportCheckedFragments(session_.catalogue, session_.source, session_.fragments, *person_);
}

void TForm1::N10Click() {
  CheckAllRows(session_.catalogue);
  RefreshList(fragmentModel_, ListView2);
}

void TForm1::N14Click() {
  UncheckAllRows(session_.catalogue);
  RefreshList(fragmentModel_, ListView2);
}

void TForm1::N15Click() {
  InvertCheckedRows(session_.catalogue);
  RefreshList(fragmentModel_, ListView2);
}

void TForm1::N12Click() { ShowCheckedStatistics(session_.catalogue, *person_); }

void TForm1::N13Click() { CopyStartSector(session_.catalogue, *person_); }

void TForm1::N16Click() {
  Exclusive guard(*this);
  if (!guard) return;
  AddCheckedToAssembly(session_.catalogue, *person_);
  RefreshList(assemblyModel_, ListView4);
}

void TForm1::N17Click() {
  Exclusive guard(*this);
  if (!guard) return;
  ShowCheckedFileNames(session_.catalogue, session_.fragments, *person_);
}

void TForm1::N18Click() {
  Exclusive guard(*this);
  if (!guard) return;
  AppendUpdateInfo(session_.catalogue, session_.fragments, *person_);
  RefreshList(fragmentModel_, ListView2);
}

}  // namespace sorrelon::app
