// The item list (control 1009): a report-style list that renders the rows the
// session layer computes for a folder (column set, row pictures, cells).
// Each row keeps its item's node id; a double click or Enter opens it, and
// its context menu offers Open and Save As... for the selected rows. A click
// on a column header sorts by that column (again: the other way round);
// dates sort by their time value.
#pragma once

#include <QStringList>
#include <QTreeWidget>

#include <functional>
#include <vector>

#include "session/folder_list.h"

namespace velmorix::ui {

class ItemList : public QTreeWidget {
  Q_OBJECT

 public:
  // Row data role (column 0): the row's picture index.
  static constexpr int kPictureRole = Qt::UserRole + 1;
  // Row data role (column 0): the item's node id.
  static constexpr int kNodeIdRole = Qt::UserRole + 2;
  // Row data role (column 0): the FILETIME the Date column shows (0 = none).
  static constexpr int kDateRole = Qt::UserRole + 3;
  // Enter opens at most this many selected rows at once.
  static constexpr int kMaxOpenedAtOnce = 20;

  explicit ItemList(QWidget* parent = nullptr);

  session::ColumnSet columnSet() const { return columnSet_; }

  // Removes all rows and all columns, then inserts the columns of `set`.
  void SetColumnSet(session::ColumnSet set);
  // Shows `content`; content without changes leaves the list as it is.
  // `extraTitles` are columns after the set's own (the Folder of found items).
  void Render(const session::ListContent& content, const QStringList& extraTitles = {});
  // Adds rows at the end, in the columns shown.
  void AppendRows(const std::vector<session::ListRow>& rows);
  // Hides the rows `keep` says no to and shows the others; returns how many
  // are shown. The selection of hidden rows is dropped.
  int FilterRows(const std::function<bool(const QTreeWidgetItem*)>& keep);
  // The row of node `nodeId`, or nullptr.
  QTreeWidgetItem* RowOf(uint32_t nodeId) const;

  // Node ids of the selected rows, top to bottom.
  std::vector<uint32_t> SelectedNodeIds() const;

  // Sorts the rows by `column` (dates by time value, other texts ignoring
  // case; equal keys keep their order). The selection and current row stay.
  void SortByColumn(int column, Qt::SortOrder order);
  // The column the rows are sorted by, -1 while they are in the order given.
  int sortedColumn() const { return sortColumn_; }
  Qt::SortOrder sortedOrder() const { return sortOrder_; }
  // Whether column `column` shows dates.
  bool IsDateColumn(int column) const;

 signals:
  // The user asked to read the item of node `nodeId`.
  void openRequested(quint32 nodeId);
  // "Save As..." was chosen for the selected rows.
  void saveAsRequested();

 protected:
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  void OnHeaderClicked(int column);
  QTreeWidgetItem* MakeRow(const session::ListRow& row) const;
  void ReorderByRank(int column, Qt::SortOrder order);

  session::ColumnSet columnSet_ = session::ColumnSet::Start;
  int sortColumn_ = -1;
  Qt::SortOrder sortOrder_ = Qt::AscendingOrder;
  int rankedRows_ = -1;  // rows ranked by the last sort; -1 none
};

}  // namespace velmorix::ui
