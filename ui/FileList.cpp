// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/FileList.h"

#include <QApplication>
#include <QFont>
#include <QHeaderView>
#include <QStyle>

#include "core/Locations.h"
#include "core/Settings.h"
#include "core/Store.h"
#include "platform/TextUtil.h"
#include "ui/Theme.h"

namespace kvo {
namespace {

const char* const kPositionNames[3] = {"Startup", "Wait", "Turn off"};

QString ToQ(const std::string& Text) { return QString::fromStdString(Text); }

// The name as the list shows it: without the ".kvo" every stored picture has.
QString ShownName(const std::string& FileName) {
  const size_t ext = std::string(STORED_EXT).size();
  if (FileName.size() > ext && SameText(FileName.substr(FileName.size() - ext), STORED_EXT))
    return ToQ(FileName.substr(0, FileName.size() - ext));
  return ToQ(FileName);
}

QString PositionList(uint32_t Positions) {
  QStringList names;
  for (int k = 0; k < 3; ++k)
    if (Positions & POSITIONS[k]) names << QString::fromLatin1(kPositionNames[k]);
  return names.join(QStringLiteral(", "));
}

}  // namespace

int TFileListModel::rowCount(const QModelIndex& Parent) const {
  return Parent.isValid() ? 0 : static_cast<int>(names_.size());
}

int TFileListModel::columnCount(const QModelIndex& Parent) const {
  return Parent.isValid() ? 0 : COLUMNS;
}

uint32_t TFileListModel::Positions_(int Row) const {
  const auto& e = LogoList().Entries;
  if (Row < 0 || Row >= LogoList().Count || Row >= static_cast<int>(e.size())) return 0;
  return e[static_cast<size_t>(Row)].Positions;
}

uint32_t TFileListModel::SourceOf(int Row) const {
  uint32_t positions = 0;
  if (Row < 0 || Row >= static_cast<int>(names_.size())) return 0;
  for (int k = 0; k < 3; ++k)
    if (!sources_[k].empty() && SameText(sources_[k], names_[static_cast<size_t>(Row)]))
      positions |= POSITIONS[k];
  return positions;
}

QString TFileListModel::Spoken(int Row) const {
  QString text = ShownName(FileName(Row)) + QStringLiteral(": ");
  const uint32_t positions = Positions_(Row);
  text += positions ? PositionList(positions) : QStringLiteral("no position");
  if (const uint32_t current = SourceOf(Row))
    text += QStringLiteral("; current ") + PositionList(current) +
            (current & (current - 1) ? QStringLiteral(" logos") : QStringLiteral(" logo"));
  return text;
}

QVariant TFileListModel::data(const QModelIndex& Index, int Role) const {
  if (!Index.isValid() || Index.row() >= static_cast<int>(names_.size())) return {};
  const int row = Index.row(), column = Index.column();
  if (column == 0) {
    switch (Role) {
      case Qt::DisplayRole: return ShownName(names_[static_cast<size_t>(row)]);
      case Qt::AccessibleTextRole: return Spoken(row);
      case Qt::ToolTipRole: {
        QString tip = ToQ(names_[static_cast<size_t>(row)]);
        if (const uint32_t current = SourceOf(row))
          tip += QStringLiteral("\nCurrent logo: ") + PositionList(current);
        return tip;
      }
      case Qt::FontRole: {
        // The pictures the drive's logos came from stand out in bold, with
        // the theme's "current" emblem.
        if (!SourceOf(row)) return {};
        QFont bold;
        bold.setBold(true);
        return bold;
      }
      case Qt::DecorationRole:
        return SourceOf(row) ? ThemeIcon("emblem-default", QStyle::SP_DialogApplyButton)
                             : QVariant();
      default: return {};
    }
  }
  const uint32_t position = POSITIONS[column - 1];
  const bool marked = Positions_(row) & position;
  const QString name = QString::fromLatin1(kPositionNames[column - 1]);
  switch (Role) {
    case Qt::DisplayRole: return marked ? QStringLiteral("\u2713") : QString();
    case Qt::AccessibleTextRole: return marked ? name : QStringLiteral("not ") + name;
    case Qt::ToolTipRole:
      return marked ? QStringLiteral("Used by Shuffle as the %1 logo").arg(name)
                    : QStringLiteral("Not used by Shuffle as the %1 logo").arg(name);
    case Qt::TextAlignmentRole: return Qt::AlignCenter;
    default: return {};
  }
}

QVariant TFileListModel::headerData(int Section, Qt::Orientation Orientation, int Role) const {
  if (Orientation != Qt::Horizontal || Section < 0 || Section >= COLUMNS) return {};
  if (Role == Qt::DisplayRole)
    return Section == 0 ? QStringLiteral("Name") : QString::fromLatin1(kPositionNames[Section - 1]);
  if (Role == Qt::ToolTipRole && Section > 0)
    return QStringLiteral("Pictures Shuffle may choose as the %1 logo")
        .arg(QString::fromLatin1(kPositionNames[Section - 1]));
  return {};
}

void TFileListModel::Sync() {
  const auto& entries = LogoList().Entries;
  const int count = std::max(0, std::min<int>(LogoList().Count, static_cast<int>(entries.size())));
  const int old = static_cast<int>(names_.size());
  if (count < old) {
    beginRemoveRows(QModelIndex(), count, old - 1);
    names_.resize(static_cast<size_t>(count));
    endRemoveRows();
  }
  for (int i = 0; i < std::min(count, old); ++i)
    names_[static_cast<size_t>(i)] = entries[static_cast<size_t>(i)].FileName;
  if (count > old) {
    beginInsertRows(QModelIndex(), old, count - 1);
    for (int i = old; i < count; ++i) names_.push_back(entries[static_cast<size_t>(i)].FileName);
    endInsertRows();
  }
  RefreshSources();
}

void TFileListModel::RefreshSources() {
  for (int k = 0; k < 3; ++k) sources_[k] = LogoSource(POSITIONS[k]);
  if (!names_.empty())
    emit dataChanged(index(0, 0), index(static_cast<int>(names_.size()) - 1, COLUMNS - 1));
}

bool TFileListModel::Matches() const {
  if (static_cast<int>(names_.size()) != LogoList().Count) return false;
  for (size_t i = 0; i < names_.size(); ++i)
    if (names_[i] != LogoList().Entries[i].FileName) return false;
  return true;
}

std::string TFileListModel::FileName(int Row) const {
  return Row >= 0 && Row < static_cast<int>(names_.size()) ? names_[static_cast<size_t>(Row)]
                                                           : std::string();
}

// ---- the view ------------------------------------------------------------------------

TFileList::TFileList(QWidget* Parent) : QTreeView(Parent) {
  model_ = new TFileListModel(this);
  setModel(model_);
  setRootIsDecorated(false);
  setItemsExpandable(false);
  setUniformRowHeights(true);
  setAllColumnsShowFocus(true);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  // Cut in the middle: "Kleiber…copy" stays told apart from "Kleiber…".
  setTextElideMode(Qt::ElideMiddle);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  QHeaderView* h = header();
  h->setStretchLastSection(false);
  h->setSectionResizeMode(0, QHeaderView::Stretch);
  for (int c = 1; c < TFileListModel::COLUMNS; ++c)
    h->setSectionResizeMode(c, QHeaderView::ResizeToContents);
  h->setSectionsMovable(false);
  connect(selectionModel(), &QItemSelectionModel::currentRowChanged, this,
          [this](const QModelIndex& Current, const QModelIndex&) {
            emit currentRowChanged(Current.isValid() ? Current.row() : -1);
          });
}

int TFileList::count() const { return model_->rowCount(); }

int TFileList::currentRow() const {
  const QModelIndex c = currentIndex();
  return c.isValid() ? c.row() : -1;
}

void TFileList::setCurrentRow(int Row, QItemSelectionModel::SelectionFlags Flags) {
  if (Row < 0 || Row >= count()) return;
  selectionModel()->setCurrentIndex(model_->index(Row, 0), Flags | QItemSelectionModel::Rows);
}

QString TFileList::text(int Row) const { return ToQ(model_->FileName(Row)); }

bool TFileList::isRowSelected(int Row) const {
  return Row >= 0 && Row < count() && selectionModel()->isRowSelected(Row, QModelIndex());
}

void TFileList::setRowSelected(int Row, bool Selected) {
  if (Row < 0 || Row >= count()) return;
  selectionModel()->select(model_->index(Row, 0), (Selected ? QItemSelectionModel::Select
                                                            : QItemSelectionModel::Deselect) |
                                                      QItemSelectionModel::Rows);
}

}  // namespace kvo
