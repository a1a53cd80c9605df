// The three lists as table models over the catalogue's rows. The rows, their
// order and their check marks are core data; a model only shows them, so a
// view of two million fragments costs what its visible rows cost. Every read
// takes the catalogue's lock, because the scan's worker appends while the
// window draws.
#pragma once

#include <QAbstractTableModel>
#include <QColor>
#include <QIcon>

#include "catalogue/catalogue.h"

namespace sorrelon::app {

class RowsModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  // The fragment list (check boxes), the database-file list (the file name in
  // column 1) and the assembly list.
  enum class Kind { Fragments, DatabaseFiles, Assembly };

  RowsModel(Kind kind, Catalogue& cat, QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  // The rows were rebuilt or reordered: the view starts again.
  void Reload();
  // Rows were appended (the scan): only the new rows are announced, and the
  // last row shown before is redrawn (a grown fragment replaces it).
  void Grow();
  // Cells changed in place (check marks, a remark): every row is redrawn.
  void RefreshAll();

  Kind kind() const { return kind_; }
  RowList& rows() const;
  // The core column shown in view column `column`.
  int CoreColumn(int column) const;

  // Row background by display position.
  static QColor RowColour(int row) { return row % 2 == 0 ? QColor(120, 182, 93) : QColor(120, 221, 139); }
  // Image 0: an ordinary fragment; image 1: one that begins with a file-header page.
  static QIcon RowIcon(int image);

 private:
  Kind kind_;
  Catalogue& cat_;
  int count_ = 0;  // rows the view knows of
};

}  // namespace sorrelon::app
