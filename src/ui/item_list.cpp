#include "ui/item_list.h"

#include <QContextMenuEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>

#include <algorithm>
#include <numeric>

#include "ui/pictures.h"
#include "ui/text.h"

namespace velmorix::ui {

namespace {

// A row that sorts by the rank the last sort gave it: the order is worked
// out once with keys made per row, and the view then reorders its rows in
// place, keeping the selection and the current row.
class RankedRow : public QTreeWidgetItem {
 public:
  static constexpr int kType = QTreeWidgetItem::UserType + 1;
  RankedRow() : QTreeWidgetItem(kType) {}
  size_t rank = 0;
  bool operator<(const QTreeWidgetItem& other) const override {
    if (other.type() != kType) return QTreeWidgetItem::operator<(other);
    return rank < static_cast<const RankedRow&>(other).rank;
  }
};

// A report row shows one line per cell: line breaks inside a text (postal
// addresses, note bodies) become blanks.
QString SingleLine(QString text) {
  text.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
  text.replace(QLatin1Char('\r'), QLatin1Char(' '));
  text.replace(QLatin1Char('\n'), QLatin1Char(' '));
  return text;
}

}  // namespace

ItemList::ItemList(QWidget* parent) : QTreeWidget(parent) {
  setRootIsDecorated(false);
  setItemsExpandable(false);
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
  SetColumnSet(session::ColumnSet::Start);
}

void ItemList::SetColumnSet(session::ColumnSet set) {
  clear();
  const std::vector<session::Column> columns = session::Columns(set);
  QStringList titles;
  for (const auto& column : columns) titles.append(ToQString(column.title));
  setColumnCount(static_cast<int>(columns.size()));
  setHeaderLabels(titles);
  for (int i = 0; i < static_cast<int>(columns.size()); ++i) {
    setColumnWidth(i, columns[static_cast<size_t>(i)].width);
  }
  columnSet_ = set;
  sortColumn_ = -1;
  sortOrder_ = Qt::AscendingOrder;
  rankedRows_ = -1;
  header()->setSortIndicatorShown(false);
}

QTreeWidgetItem* ItemList::MakeRow(const session::ListRow& row) const {
  auto* item = new RankedRow;  // owned by the list once added
  item->setIcon(0, QIcon(ListImage(row.picture)));
  item->setData(0, kPictureRole, row.picture);
  item->setData(0, kNodeIdRole, row.nodeId);
  if (row.date != 0) item->setData(0, kDateRole, QVariant::fromValue<qulonglong>(row.date));
  const int cells = std::min(columnCount(), static_cast<int>(row.cells.size()));
  for (int i = 0; i < cells; ++i) {
    const std::string& cell = row.cells[static_cast<size_t>(i)];
    if (!cell.empty()) item->setText(i, SingleLine(ToQString(cell)));
  }
  return item;
}

void ItemList::Render(const session::ListContent& content, const QStringList& extraTitles) {
  if (!content.changes) return;
  SetColumnSet(content.columnSet);
  if (!extraTitles.isEmpty()) {
    const int first = columnCount();
    setColumnCount(first + static_cast<int>(extraTitles.size()));
    for (int i = 0; i < extraTitles.size(); ++i) {
      headerItem()->setText(first + i, extraTitles[i]);
      setColumnWidth(first + i, 170);
    }
  }
  AppendRows(content.rows);
}

void ItemList::AppendRows(const std::vector<session::ListRow>& rows) {
  QList<QTreeWidgetItem*> items;
  items.reserve(static_cast<qsizetype>(rows.size()));
  for (const session::ListRow& row : rows) items.append(MakeRow(row));
  addTopLevelItems(items);
}

int ItemList::FilterRows(const std::function<bool(const QTreeWidgetItem*)>& keep) {
  int shown = 0;
  setUpdatesEnabled(false);
  for (int i = 0; i < topLevelItemCount(); ++i) {
    QTreeWidgetItem* row = topLevelItem(i);
    const bool visible = keep(row);
    if (row->isHidden() == visible) {
      if (!visible && row->isSelected()) row->setSelected(false);
      row->setHidden(!visible);
    }
    shown += visible ? 1 : 0;
  }
  setUpdatesEnabled(true);
  return shown;
}

QTreeWidgetItem* ItemList::RowOf(uint32_t nodeId) const {
  for (int i = 0; i < topLevelItemCount(); ++i) {
    QTreeWidgetItem* row = topLevelItem(i);
    if (row->data(0, kNodeIdRole).toUInt() == nodeId) return row;
  }
  return nullptr;
}

std::vector<uint32_t> ItemList::SelectedNodeIds() const {
  std::vector<uint32_t> ids;
  for (int i = 0; i < topLevelItemCount(); ++i) {
    const QTreeWidgetItem* row = topLevelItem(i);
    if (!row->isSelected()) continue;
    const uint32_t id = row->data(0, kNodeIdRole).toUInt();
    if (id != 0) ids.push_back(id);
  }
  return ids;
}

bool ItemList::IsDateColumn(int column) const {
  return column >= 0 && column < columnCount() && headerItem()->text(column) == QLatin1String("Date");
}

void ItemList::OnHeaderClicked(int column) {
  if (column < 0 || column >= columnCount() || headerItem()->text(column).isEmpty()) return;
  const Qt::SortOrder order = column == sortColumn_ && sortOrder_ == Qt::AscendingOrder ? Qt::DescendingOrder
                                                                                       : Qt::AscendingOrder;
  SortByColumn(column, order);
}

void ItemList::SortByColumn(int column, Qt::SortOrder order) {
  if (column < 0 || column >= columnCount()) return;
  const int count = topLevelItemCount();
  if (column == sortColumn_ && order != sortOrder_ && count == rankedRows_) {
    // The same column the other way round: the ranks turned over.
    for (int i = 0; i < count; ++i) {
      QTreeWidgetItem* row = topLevelItem(i);
      if (row->type() == RankedRow::kType) static_cast<RankedRow*>(row)->rank = static_cast<size_t>(count - 1 - i);
    }
    ReorderByRank(column, order);
    return;
  }
  // One key per row, made once: a date's time value, or the text folded
  // to one case, compared as plain code units.
  std::vector<QTreeWidgetItem*> rows(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) rows[static_cast<size_t>(i)] = topLevelItem(i);
  std::vector<size_t> ranks(rows.size());
  std::iota(ranks.begin(), ranks.end(), size_t{0});
  if (IsDateColumn(column)) {
    std::vector<qulonglong> keys(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) keys[i] = rows[i]->data(0, kDateRole).toULongLong();
    std::stable_sort(ranks.begin(), ranks.end(), [&](size_t a, size_t b) {
      return order == Qt::AscendingOrder ? keys[a] < keys[b] : keys[b] < keys[a];
    });
  } else {
    std::vector<QString> keys(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) keys[i] = rows[i]->text(column).toCaseFolded();
    std::stable_sort(ranks.begin(), ranks.end(), [&](size_t a, size_t b) {
      return order == Qt::AscendingOrder ? keys[a] < keys[b] : keys[b] < keys[a];
    });
  }

  for (size_t place = 0; place < ranks.size(); ++place) {
    QTreeWidgetItem* row = rows[ranks[place]];
    if (row->type() == RankedRow::kType) static_cast<RankedRow*>(row)->rank = place;
  }
  rankedRows_ = count;
  ReorderByRank(column, order);
}

void ItemList::ReorderByRank(int column, Qt::SortOrder order) {
  QTreeWidgetItem* current = currentItem();
  sortItems(column, Qt::AscendingOrder);  // by rank: the order worked out before
  sortColumn_ = column;
  sortOrder_ = order;
  header()->setSortIndicatorShown(true);
  header()->setSortIndicator(column, order);
  if (current != nullptr) scrollToItem(current);
}

void ItemList::mouseDoubleClickEvent(QMouseEvent* event) {
  QTreeWidget::mouseDoubleClickEvent(event);
  if (event->button() != Qt::LeftButton) return;
  if (const QTreeWidgetItem* row = itemAt(event->position().toPoint())) {
    const uint32_t id = row->data(0, kNodeIdRole).toUInt();
    if (id != 0) emit openRequested(id);
  }
}

void ItemList::keyPressEvent(QKeyEvent* event) {
  if (event->key() != Qt::Key_Return && event->key() != Qt::Key_Enter) {
    QTreeWidget::keyPressEvent(event);
    return;
  }
  // Enter reads the selected items; it never reaches the dialog.
  event->accept();
  std::vector<uint32_t> ids = SelectedNodeIds();
  if (ids.empty() && currentItem() != nullptr) {
    if (const uint32_t id = currentItem()->data(0, kNodeIdRole).toUInt()) ids.push_back(id);
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
