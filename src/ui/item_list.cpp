#include "ui/item_list.h"

#include <QHeaderView>

#include "ui/pictures.h"
#include "ui/text.h"

namespace velmorix::ui {

namespace {

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
  header()->setSectionsClickable(false);
  header()->setSortIndicatorShown(false);
  header()->setStretchLastSection(false);
  header()->setMinimumSectionSize(0);
  header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
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
}

void ItemList::Render(const session::ListContent& content) {
  if (!content.changes) return;
  SetColumnSet(content.columnSet);
  const int columns = columnCount();
  QList<QTreeWidgetItem*> rows;
  rows.reserve(static_cast<qsizetype>(content.rows.size()));
  for (const session::ListRow& row : content.rows) {
    auto* item = new QTreeWidgetItem;  // owned by the list once added below
    item->setIcon(0, QIcon(ListImage(row.picture)));
    item->setData(0, kPictureRole, row.picture);
    const int cells = std::min(columns, static_cast<int>(row.cells.size()));
    for (int i = 0; i < cells; ++i) {
      const std::string& cell = row.cells[static_cast<size_t>(i)];
      if (!cell.empty()) item->setText(i, SingleLine(ToQString(cell)));
    }
    rows.append(item);
  }
  addTopLevelItems(rows);
}

}  // namespace velmorix::ui
