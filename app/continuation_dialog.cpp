#include "app/continuation_dialog.h"

#include <QCloseEvent>
#include <QEventLoop>
#include <QGuiApplication>
#include <QGroupBox>
#include <QHeaderView>
#include <QPushButton>
#include <QStyle>
#include <QTreeWidget>

#include "assembly/export.h"

namespace sorrelon::app {
namespace {

QTreeWidget* MakeList(QWidget* parent, const char* name, const char* firstCaption) {
  auto* list = new QTreeWidget(parent);
  list->setObjectName(QString::fromLatin1(name));
  list->setRootIsDecorated(false);
  list->setItemsExpandable(false);
  list->setUniformRowHeights(true);
  list->setSelectionBehavior(QAbstractItemView::SelectRows);
  list->setSelectionMode(QAbstractItemView::SingleSelection);
  list->setLayoutDirection(Qt::RightToLeft);
  // The selection stays visible when the list loses the focus.
  QPalette pal = list->palette();
  pal.setColor(QPalette::Inactive, QPalette::Highlight, pal.color(QPalette::Active, QPalette::Highlight));
  pal.setColor(QPalette::Inactive, QPalette::HighlightedText, pal.color(QPalette::Active, QPalette::HighlightedText));
  list->setPalette(pal);
  const char* captions[6] = {firstCaption, "碎片大小(KB)", "开始页面号", "结束页面号", "开始扇区", "结束扇区"};
  const int widths[6] = {100, 80, 80, 80, 100, 100};
  QStringList labels;
  for (const char* c : captions) labels << QString::fromUtf8(c);
  list->setHeaderLabels(labels);
  list->header()->setStretchLastSection(false);
  list->header()->setSectionsMovable(false);
  for (int i = 0; i < 6; ++i) list->header()->resizeSection(i, widths[i]);
  return list;
}

QTreeWidgetItem* MakeItem(const CandidateRow& c) {
  auto* item = new QTreeWidgetItem(QStringList{QString::number(c.fragmentIndex + 1), QString::number(c.sizeKb),
                                               QString::number(c.startPage), QString::number(c.endPage),
                                               QString::number(c.startSector), QString::number(c.endSector)});
  return item;
}

}  // namespace

Tfrmuserchoose::Tfrmuserchoose(FragmentReader& reader, Person& person, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowStaysOnTopHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      reader_(reader),
      person_(person) {
  setObjectName(QStringLiteral("frmuserchoose"));
  setWindowTitle(QStringLiteral("指定接续碎片"));
  setFixedSize(734, 450);
  setModal(false);

  group_ = new QGroupBox(QStringLiteral("符合超过1个,请选择后续碎片"), this);
  group_->setObjectName(QStringLiteral("GroupBox1"));
  group_->setGeometry(6, 4, 722, 440);

  ListView1 = MakeList(group_, "ListView1", "上一有效碎片");
  ListView1->setGeometry(10, 24, 702, 64);
  ListView2 = MakeList(group_, "ListView2", "序号");
  ListView2->setGeometry(10, 96, 702, 282);

  Button1 = new QPushButton(QStringLiteral("把勾选的碎片保存为文件"), group_);
  Button1->setObjectName(QStringLiteral("Button1"));
  Button1->setGeometry(10, 392, 220, 34);
  btnok = new QPushButton(style()->standardIcon(QStyle::SP_DialogOkButton), QStringLiteral("确定"), group_);
  btnok->setObjectName(QStringLiteral("btnok"));
  btnok->setGeometry(470, 392, 110, 34);
  btncancel = new QPushButton(style()->standardIcon(QStyle::SP_DialogCancelButton), QStringLiteral("取消"), group_);
  btncancel->setObjectName(QStringLiteral("btncancel"));
  btncancel->setGeometry(600, 392, 110, 34);
  btnok->setAutoDefault(false);
  btncancel->setAutoDefault(false);
  Button1->setAutoDefault(false);

  connect(btnok, &QPushButton::clicked, this, &Tfrmuserchoose::btnokClick);
  connect(btncancel, &QPushButton::clicked, this, &Tfrmuserchoose::btncancelClick);
  connect(Button1, &QPushButton::clicked, this, &Tfrmuserchoose::Button1Click);
  connect(ListView2, &QTreeWidget::itemClicked, this, &Tfrmuserchoose::ListView2Click);
  connect(ListView1, &QTreeWidget::itemClicked, this, &Tfrmuserchoose::ListView2Click);
}

Tfrmuserchoose::~Tfrmuserchoose() {
  if (loop_) loop_->quit();
}

std::optional<size_t> Tfrmuserchoose::Ask(const std::vector<CandidateRow>& candidates, const CandidateRow& current,
                                          int& chosenRow) {
  result_ = 1;
  ListView1->clear();
  ListView2->clear();
  candidates_ = candidates;
  for (const CandidateRow& c : candidates) {
    QTreeWidgetItem* item = MakeItem(c);
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
    item->setCheckState(0, Qt::Unchecked);
    ListView2->addTopLevelItem(item);
  }
  ListView1->addTopLevelItem(MakeItem(current));

  chosenRow_ = &chosenRow;
  result_ = -1;
  show();
  if (QGuiApplication::platformName() != QLatin1String("offscreen")) raise();
  activateWindow();

  QEventLoop loop;
  loop_ = &loop;
  QMetaObject::invokeMethod(this, [this] { if (result_ == -1) emit waitingForChoice(); }, Qt::QueuedConnection);
  if (result_ == -1) loop.exec();
  loop_ = nullptr;
  chosenRow_ = nullptr;

  if (result_ != 0 || chosenRow < 0 || size_t(chosenRow) >= candidates.size()) return std::nullopt;
  return size_t(chosenRow);
}

void Tfrmuserchoose::Decide(int result) {
  result_ = result;
  hide();
  if (loop_) loop_->quit();
}

void Tfrmuserchoose::Cancel() {
  if (result_ == -1) Decide(1);
}

void Tfrmuserchoose::btnokClick() {
  // The first checked row, from the top, is the choice; with none checked the
  // remembered row stands.
  for (int i = 0; i < ListView2->topLevelItemCount(); ++i) {
    if (ListView2->topLevelItem(i)->checkState(0) == Qt::Checked) {
      if (chosenRow_) *chosenRow_ = i;
      break;
    }
  }
  Decide(0);
}

void Tfrmuserchoose::btncancelClick() { Decide(1); }

void Tfrmuserchoose::reject() { Decide(1); }

void Tfrmuserchoose::closeEvent(QCloseEvent* event) {
  if (result_ == -1) Decide(1);  // the close box cancels
  event->accept();
}

void Tfrmuserchoose::ListView2Click() {
  QTreeWidgetItem* item = ListView2->currentItem();
  if (!item || !item->isSelected()) return;
  int row = ListView2->indexOfTopLevelItem(item);
  if (row >= 0 && chosenRow_) *chosenRow_ = row;
}

void Tfrmuserchoose::Button1Click() {
  std::vector<CandidateRow> checked;
  for (int i = 0; i < ListView2->topLevelItemCount() && size_t(i) < candidates_.size(); ++i)
    if (ListView2->topLevelItem(i)->checkState(0) == Qt::Checked) checked.push_back(candidates_[size_t(i)]);
  SaveFragmentFiles(checked, reader_, person_);
}

}  // namespace sorrelon::app
