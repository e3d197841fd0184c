// SPDX-License-Identifier: GPL-3.0-or-later
// The list of stored pictures: one row per entry of the picture list, with
// the name and a column for each logo position the picture may be shuffled
// into, and a mark on the pictures the drive's current logos came from.
#pragma once

#include <QAbstractTableModel>
#include <QItemSelectionModel>
#include <QTreeView>

#include <string>
#include <vector>

namespace kvo {

class TFileListModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  using QAbstractTableModel::QAbstractTableModel;

  // Column 0 the name, then Startup, Wait and Turn off.
  static constexpr int COLUMNS = 4;

  int rowCount(const QModelIndex& Parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& Parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& Index, int Role) const override;
  QVariant headerData(int Section, Qt::Orientation Orientation, int Role) const override;

  // Brings the rows in line with the picture list: names replaced in place,
  // rows added or removed at the end, so the selection of the rows that
  // stay is kept.
  void Sync();
  // True when the rows name the picture list's entries, in its order.
  bool Matches() const;
  // The file name (with extension) of Row; empty for no row.
  std::string FileName(int Row) const;
  // Re-reads which pictures the current logos came from.
  void RefreshSources();
  // The positions whose current logo came from the picture of Row.
  uint32_t SourceOf(int Row) const;
  // What a screen reader says for Row: "Custom--Sunset: Startup, Turn off".
  QString Spoken(int Row) const;

 private:
  uint32_t Positions_(int Row) const;

  std::vector<std::string> names_;
  std::string sources_[3];
};

// The view of the list: rows selected whole, several at a time.
class TFileList : public QTreeView {
  Q_OBJECT

 public:
  explicit TFileList(QWidget* Parent = nullptr);

  TFileListModel* Model() const { return model_; }
  int count() const;
  int currentRow() const;
  void setCurrentRow(int Row, QItemSelectionModel::SelectionFlags Flags =
                                  QItemSelectionModel::ClearAndSelect);
  // The file name of Row, with its extension.
  QString text(int Row) const;
  bool isRowSelected(int Row) const;
  void setRowSelected(int Row, bool Selected);

 signals:
  void currentRowChanged(int Row);

 private:
  TFileListModel* model_ = nullptr;
};

}  // namespace kvo
