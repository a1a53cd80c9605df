#include "app/list_models.h"

#include <QPainter>
#include <QPixmap>

#include <mutex>

namespace sorrelon::app {
namespace {

struct ColumnLayout {
  const char* caption;
  int width;
  int core;  // column of the core's row layout
};

// Captions and widths of the three lists.
const ColumnLayout kFragmentColumns[7] = {
    {"序号", 100, kColNumber},          {"碎片大小(KB)", 80, kColSize},    {"开始页面号", 80, kColStartPage},
    {"结束页面号", 80, kColEndPage},    {"备注", 800, kColRemark},         {"开始扇区", 100, kColStartSector},
    {"结束扇区", 100, kColEndSector}};
const ColumnLayout kDatabaseFileColumns[7] = {
    {"序号", 100, kColNumber},          {"文件名", 800, kColRemark},       {"碎片大小(KB)", 80, kColSize},
    {"开始页面号", 80, kColStartPage},  {"结束页面号", 80, kColEndPage},   {"开始扇区", 100, kColStartSector},
    {"结束扇区", 100, kColEndSector}};
const ColumnLayout kAssemblyColumns[7] = {
    {"序号", 100, kColNumber},          {"碎片大小(KB)", 100, kColSize},   {"起始页面号", 100, kColStartPage},
    {"结束页面号", 100, kColEndPage},   {"备注", 800, kColRemark},         {"开始扇区", 100, kColStartSector},
    {"结束扇区", 100, kColEndSector}};

const ColumnLayout* Columns(RowsModel::Kind kind) {
  switch (kind) {
    case RowsModel::Kind::Fragments: return kFragmentColumns;
    case RowsModel::Kind::DatabaseFiles: return kDatabaseFileColumns;
    case RowsModel::Kind::Assembly: return kAssemblyColumns;
  }
  return kFragmentColumns;
}

QPixmap DrawIcon(bool headerPage) {
  QPixmap pm(16, 16);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing, false);
  // A sheet with a folded corner and a few text lines.
  QPolygon sheet({QPoint(2, 1), QPoint(10, 1), QPoint(13, 4), QPoint(13, 14), QPoint(2, 14)});
  p.setPen(QColor(60, 60, 60));
  p.setBrush(QColor(250, 250, 245));
  p.drawPolygon(sheet);
  p.drawLine(10, 1, 10, 4);
  p.drawLine(10, 4, 13, 4);
  if (headerPage) {
    // The file-header page: a navy title band and a gold seal.
    p.fillRect(QRect(3, 2, 7, 3), QColor(20, 40, 120));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(230, 170, 20));
    p.drawEllipse(QRect(8, 9, 6, 6));
    p.setPen(QColor(130, 130, 130));
    p.drawLine(4, 7, 10, 7);
    p.drawLine(4, 9, 7, 9);
    p.drawLine(4, 11, 7, 11);
  } else {
    p.setPen(QColor(130, 130, 130));
    for (int y = 5; y <= 11; y += 2) p.drawLine(4, y, 11, y);
  }
  return pm;
}

}  // namespace

QIcon RowsModel::RowIcon(int image) {
  static const QIcon icons[2] = {QIcon(DrawIcon(false)), QIcon(DrawIcon(true))};
  return icons[image == 1 ? 1 : 0];
}

RowsModel::RowsModel(Kind kind, Catalogue& cat, QObject* parent) : QAbstractTableModel(parent), kind_(kind), cat_(cat) {}

RowList& RowsModel::rows() const {
  switch (kind_) {
    case Kind::Fragments: return cat_.fragmentList;
    case Kind::DatabaseFiles: return cat_.databaseFiles;
    case Kind::Assembly: return cat_.assemblyList;
  }
  return cat_.fragmentList;
}

int RowsModel::CoreColumn(int column) const { return column >= 0 && column < 7 ? Columns(kind_)[column].core : -1; }

int RowsModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : count_; }
int RowsModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 7; }

QVariant RowsModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= count_) return {};
  const int r = index.row();
  if (role == Qt::BackgroundRole) return RowColour(r);
  if (role != Qt::DisplayRole && role != Qt::DecorationRole && role != Qt::CheckStateRole && role != Qt::ToolTipRole)
    return {};
  std::lock_guard<std::mutex> lock(cat_.mutex);
  const RowList& list = rows();
  // The core may have rebuilt the rows a moment before the view hears of it.
  if (size_t(r) >= list.size() || size_t(list.rows[size_t(r)].fragment) >= cat_.store.size()) return {};
  const ListRow& row = list.rows[size_t(r)];
  switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
      if (role == Qt::ToolTipRole && CoreColumn(index.column()) != kColRemark) return {};
      return QString::fromStdString(CellText(cat_.store, row, CoreColumn(index.column())));
    case Qt::DecorationRole:
      if (index.column() != 0) return {};
      if (kind_ == Kind::DatabaseFiles) return RowIcon(1);
      return RowIcon(cat_.store[size_t(row.fragment)].startPage == 0 ? 1 : 0);
    case Qt::CheckStateRole:
      if (kind_ != Kind::Fragments || index.column() != 0) return {};
      return row.checked ? Qt::Checked : Qt::Unchecked;
  }
  return {};
}

bool RowsModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (kind_ != Kind::Fragments || role != Qt::CheckStateRole || index.column() != 0 || index.row() >= count_)
    return false;
  {
    std::lock_guard<std::mutex> lock(cat_.mutex);
    RowList& list = rows();
    if (size_t(index.row()) >= list.size()) return false;
    list.rows[size_t(index.row())].checked = value.toInt() == Qt::Checked;
  }
  emit dataChanged(index, index, {Qt::CheckStateRole});
  return true;
}

Qt::ItemFlags RowsModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
  if (kind_ == Kind::Fragments && index.column() == 0) f |= Qt::ItemIsUserCheckable;
  return f;
}

QVariant RowsModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= 7) return {};
  if (role == Qt::DisplayRole) return QString::fromUtf8(Columns(kind_)[section].caption);
  if (role == Qt::SizeHintRole) return QSize(Columns(kind_)[section].width, 20);
  return {};
}

void RowsModel::Reload() {
  beginResetModel();
  {
    std::lock_guard<std::mutex> lock(cat_.mutex);
    count_ = int(rows().size());
  }
  endResetModel();
}

void RowsModel::RefreshAll() {
  if (count_ > 0) emit dataChanged(index(0, 0), index(count_ - 1, 6));
}

void RowsModel::Grow() {
  int n;
  {
    std::lock_guard<std::mutex> lock(cat_.mutex);
    n = int(rows().size());
  }
  if (n < count_) {  // rebuilt smaller meanwhile: start again
    Reload();
    return;
  }
  if (count_ > 0) emit dataChanged(index(count_ - 1, 0), index(count_ - 1, 6));
  if (n == count_) return;
  beginInsertRows({}, count_, n - 1);
  count_ = n;
  endInsertRows();
}

}  // namespace sorrelon::app
