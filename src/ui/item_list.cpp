#include "ui/item_list.h"

#include <QContextMenuEvent>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>

#include <algorithm>
#include <unordered_set>

#include "ui/text.h"

namespace velmorix::ui {

ItemList::ItemList(QWidget* parent) : QTreeView(parent), model_(new ItemListModel(this)) {
  setModel(model_);
  setRootIsDecorated(false);
  setItemsExpandable(false);
  // Every row is as high as the first: the view never measures the others.
  setUniformRowHeights(true);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setAllColumnsShowFocus(true);
  setSortingEnabled(false);
  setIconSize(QSize(16, 16));
  setTextElideMode(Qt::ElideRight);
  // Sorting is done here rather than by the view, so that rows come in the
  // order given until a header is clicked.
  header()->setSectionsClickable(true);
  header()->setSortIndicatorShown(false);
  header()->setStretchLastSection(false);
  header()->setMinimumSectionSize(0);
  header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  connect(header(), &QHeaderView::sectionClicked, this, &ItemList::OnHeaderClicked);
  connect(selectionModel(), &QItemSelectionModel::currentChanged, this, &ItemList::currentRowChanged);
  SetColumnSet(session::ColumnSet::Start);
}

void ItemList::ShowColumns(const QStringList& titles, const std::vector<int>& widths) {
  const bool hadCurrent = currentIndex().isValid();
  model_->Reset(titles);
  for (int i = 0; i < static_cast<int>(widths.size()); ++i) setColumnWidth(i, widths[static_cast<size_t>(i)]);
  sortColumn_ = -1;
  sortOrder_ = Qt::AscendingOrder;
  header()->setSortIndicatorShown(false);
  if (hadCurrent) emit currentRowChanged();  // a reset moves no current index
}

void ItemList::SetColumnSet(session::ColumnSet set) {
  const std::vector<session::Column> columns = session::Columns(set);
  QStringList titles;
  std::vector<int> widths;
  for (const auto& column : columns) {
    titles.append(ToQString(column.title));
    widths.push_back(column.width);
  }
  columnSet_ = set;
  ShowColumns(titles, widths);
}

void ItemList::Render(const session::ListContent& content, const QStringList& extraTitles) {
  if (!content.changes) return;
  const std::vector<session::Column> columns = session::Columns(content.columnSet);
  QStringList titles;
  std::vector<int> widths;
  for (const auto& column : columns) {
    titles.append(ToQString(column.title));
    widths.push_back(column.width);
  }
  for (const QString& title : extraTitles) {
    titles.append(title);
    widths.push_back(170);
  }
  columnSet_ = content.columnSet;
  ShowColumns(titles, widths);
  AppendRows(content.rows);
}

void ItemList::AppendRows(const std::vector<session::ListRow>& rows) { model_->Append(rows); }

int ItemList::FilterRows(const std::function<bool(int row)>& keep) {
  int shown = 0;
  setUpdatesEnabled(false);
  for (int i = 0; i < rowCount(); ++i) {
    const bool visible = keep(i);
    if (isRowHidden(i, QModelIndex()) == visible) {
      if (!visible && selectionModel()->isRowSelected(i, QModelIndex())) {
        selectionModel()->select(IndexAt(i), QItemSelectionModel::Deselect | QItemSelectionModel::Rows);
      }
      setRowHidden(i, QModelIndex(), !visible);
    }
    shown += visible ? 1 : 0;
  }
  setUpdatesEnabled(true);
  return shown;
}

int ItemList::ShowRowsOf(const std::vector<uint32_t>& nodeIds) {
  if (nodeIds.empty()) return 0;
  const std::unordered_set<uint32_t> ids(nodeIds.begin(), nodeIds.end());
  int shown = 0;
  for (int i = 0; i < rowCount(); ++i) {
    if (isRowHidden(i, QModelIndex()) && ids.count(NodeIdAt(i)) != 0) {
      setRowHidden(i, QModelIndex(), false);
      ++shown;
    }
  }
  return shown;
}

int ItemList::RowOf(uint32_t nodeId) const {
  for (int i = 0; i < rowCount(); ++i) {
    if (NodeIdAt(i) == nodeId) return i;
  }
  return -1;
}

int ItemList::currentRow() const {
  const QModelIndex current = currentIndex();
  return current.isValid() ? current.row() : -1;
}

void ItemList::SetCurrentRow(int row) {
  if (row < 0 || row >= rowCount()) return;
  selectionModel()->setCurrentIndex(IndexAt(row), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void ItemList::SelectRow(int row) {
  if (row < 0 || row >= rowCount()) return;
  selectionModel()->select(IndexAt(row), QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

std::vector<int> ItemList::SelectedRows() const {
  std::vector<int> rows;
  for (const QModelIndex& index : selectionModel()->selectedRows()) rows.push_back(index.row());
  std::sort(rows.begin(), rows.end());
  return rows;
}

std::vector<uint32_t> ItemList::SelectedNodeIds() const {
  std::vector<uint32_t> ids;
  for (int row : SelectedRows()) {
    if (const uint32_t id = NodeIdAt(row)) ids.push_back(id);
  }
  return ids;
}

bool ItemList::IsDateColumn(int column) const {
  return column >= 0 && column < columnCount() && Title(column) == QLatin1String("Date");
}

void ItemList::OnHeaderClicked(int column) {
  if (column < 0 || column >= columnCount() || Title(column).isEmpty()) return;
  const Qt::SortOrder order = column == sortColumn_ && sortOrder_ == Qt::AscendingOrder ? Qt::DescendingOrder
                                                                                       : Qt::AscendingOrder;
  SortByColumn(column, order);
}

void ItemList::SortByColumn(int column, Qt::SortOrder order) {
  if (column < 0 || column >= columnCount()) return;
  model_->Sort(column, order, IsDateColumn(column));
  sortColumn_ = column;
  sortOrder_ = order;
  header()->setSortIndicatorShown(true);
  header()->setSortIndicator(column, order);
  if (currentIndex().isValid()) scrollTo(currentIndex());
}

void ItemList::mouseDoubleClickEvent(QMouseEvent* event) {
  QTreeView::mouseDoubleClickEvent(event);
  if (event->button() != Qt::LeftButton) return;
  if (const QModelIndex index = indexAt(event->position().toPoint()); index.isValid()) {
    if (const uint32_t id = NodeIdAt(index.row())) emit openRequested(id);
  }
}

void ItemList::keyPressEvent(QKeyEvent* event) {
  if (event->key() != Qt::Key_Return && event->key() != Qt::Key_Enter) {
    QTreeView::keyPressEvent(event);
    return;
  }
  // Enter reads the selected items; it never reaches the dialog.
  event->accept();
  std::vector<uint32_t> ids = SelectedNodeIds();
  if (ids.empty() && currentRow() >= 0) {
    if (const uint32_t id = NodeIdAt(currentRow())) ids.push_back(id);
  }
  if (ids.size() > static_cast<size_t>(kMaxOpenedAtOnce)) ids.resize(kMaxOpenedAtOnce);
  for (uint32_t id : ids) emit openRequested(id);
}

void ItemList::contextMenuEvent(QContextMenuEvent* event) {
  const std::vector<uint32_t> ids = SelectedNodeIds();
  if (ids.empty()) {
    event->ignore();  // the window's own menu
    return;
  }
  event->accept();
  QMenu menu(this);
  QAction* open = menu.addAction(QStringLiteral("Open"));
  QAction* saveAs = menu.addAction(QStringLiteral("Save As..."));
  QAction* chosen = menu.exec(event->globalPos());
  if (chosen == open) {
    for (size_t i = 0; i < ids.size() && i < static_cast<size_t>(kMaxOpenedAtOnce); ++i) emit openRequested(ids[i]);
  } else if (chosen == saveAs) {
    emit saveAsRequested();
  }
}

}  // namespace velmorix::ui
