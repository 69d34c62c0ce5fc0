// The rows of the item list as a flat table model: the cells, picture, node
// id and date of each row, kept in the order they came in, and the order
// they are shown in. Sorting reorders the shown order only: each column's
// rank of every row is worked out once, and a sort is then a stable bucket
// pass over the rows as shown, so that a list of any length sorts in linear
// time and equal keys keep the order they had.
#pragma once

#include <QAbstractTableModel>
#include <QIcon>
#include <QStringList>

#include <cstdint>
#include <vector>

#include "session/folder_list.h"

namespace velmorix::ui {

class ItemListModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  // Data roles of column 0.
  static constexpr int kPictureRole = Qt::UserRole + 1;
  static constexpr int kNodeIdRole = Qt::UserRole + 2;
  static constexpr int kDateRole = Qt::UserRole + 3;

  explicit ItemListModel(QObject* parent = nullptr);

  // Drops every row and shows the columns `titles`.
  void Reset(const QStringList& titles);
  // Adds rows at the end of the order shown.
  void Append(const std::vector<session::ListRow>& rows);

  // The shown row `row`'s values; `row` must be below rowCount().
  const QString& Text(int row, int column) const;
  int Picture(int row) const { return At(row).picture; }
  uint32_t NodeId(int row) const { return At(row).nodeId; }
  uint64_t Date(int row) const { return At(row).date; }
  const QString& Title(int column) const { return titles_[column]; }

  // Shows the rows sorted by `column`: dates (`byDate`) by time value,
  // other texts by their case-folded form. Persistent indexes (selection,
  // current row, hidden rows) follow their rows.
  void Sort(int column, Qt::SortOrder order, bool byDate);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

 private:
  struct Row {
    std::vector<QString> cells;
    int picture = 0;
    uint32_t nodeId = 0;
    uint64_t date = 0;
  };
  const Row& At(int row) const { return rows_[static_cast<size_t>(order_[static_cast<size_t>(row)])]; }
  // Each row's rank in `column` (equal keys, equal ranks), worked out on
  // first use; returns the number of distinct ranks.
  uint32_t Ranks(int column, bool byDate);
  const QIcon& Icon(int picture) const;

  QStringList titles_;
  std::vector<Row> rows_;   // in the order given
  std::vector<int> order_;  // the rows shown, top to bottom, as indexes into rows_
  // Per column: the rank of each row of rows_, empty until a sort needs it
  // (and again when rows are added).
  std::vector<std::vector<uint32_t>> ranks_;
  std::vector<uint32_t> rankCounts_;
  mutable std::vector<QIcon> icons_;
};

}  // namespace velmorix::ui
