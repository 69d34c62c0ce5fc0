// The item list (control 1009): a report-style list that renders the rows the
// session layer computes for a folder (column set, row pictures, cells).
// Each row keeps its item's node id; a double click or Enter opens it, and
// its context menu offers Open and Save As... for the selected rows. A click
// on a column header sorts by that column (again: the other way round);
// dates sort by their time value.
#pragma once

#include <QStringList>
#include <QTreeView>

#include <functional>
#include <vector>

#include "session/folder_list.h"
#include "ui/item_list_model.h"

namespace velmorix::ui {

class ItemList : public QTreeView {
  Q_OBJECT

 public:
  // Row data roles (column 0): the row's picture index, the item's node id,
  // the FILETIME the Date column shows (0 = none).
  static constexpr int kPictureRole = ItemListModel::kPictureRole;
  static constexpr int kNodeIdRole = ItemListModel::kNodeIdRole;
  static constexpr int kDateRole = ItemListModel::kDateRole;
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
  int FilterRows(const std::function<bool(int row)>& keep);
  // Shows the hidden rows of the items `nodeIds`; returns how many it showed.
  int ShowRowsOf(const std::vector<uint32_t>& nodeIds);

  // The rows, top to bottom as shown (hidden ones included), and their values.
  int rowCount() const { return model_->rowCount(); }
  int columnCount() const { return model_->columnCount(); }
  const QString& Text(int row, int column) const { return model_->Text(row, column); }
  const QString& Title(int column) const { return model_->Title(column); }
  uint32_t NodeIdAt(int row) const { return model_->NodeId(row); }
  int PictureAt(int row) const { return model_->Picture(row); }
  uint64_t DateAt(int row) const { return model_->Date(row); }
  QModelIndex IndexAt(int row, int column = 0) const { return model_->index(row, column); }
  bool IsRowShown(int row) const { return !isRowHidden(row, QModelIndex()); }
  // The row of node `nodeId`, or -1.
  int RowOf(uint32_t nodeId) const;

  // The current row (-1 none); setting it selects that row alone.
  int currentRow() const;
  void SetCurrentRow(int row);
  // Adds `row` to the selection.
  void SelectRow(int row);
  // The selected rows, top to bottom, and their items' node ids.
  std::vector<int> SelectedRows() const;
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
  // The current row changed (or the list was refilled).
  void currentRowChanged();

 protected:
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  void OnHeaderClicked(int column);
  void ShowColumns(const QStringList& titles, const std::vector<int>& widths);

  ItemListModel* model_;
  session::ColumnSet columnSet_ = session::ColumnSet::Start;
  int sortColumn_ = -1;
  Qt::SortOrder sortOrder_ = Qt::AscendingOrder;
};

}  // namespace velmorix::ui
