// The item list (control 1009): a report-style list that renders the rows the
// session layer computes for a folder (column set, row pictures, cells).
// Each row keeps its item's node id; a double click or Enter opens it, and
// its context menu offers Open and Save As... for the selected rows.
#pragma once

#include <QTreeWidget>

#include "session/folder_list.h"

namespace velmorix::ui {

class ItemList : public QTreeWidget {
  Q_OBJECT

 public:
  // Row data role (column 0): the row's picture index.
  static constexpr int kPictureRole = Qt::UserRole + 1;
  // Row data role (column 0): the item's node id.
  static constexpr int kNodeIdRole = Qt::UserRole + 2;
  // Enter opens at most this many selected rows at once.
  static constexpr int kMaxOpenedAtOnce = 20;

  explicit ItemList(QWidget* parent = nullptr);

  session::ColumnSet columnSet() const { return columnSet_; }

  // Removes all rows and all columns, then inserts the columns of `set`.
  void SetColumnSet(session::ColumnSet set);
  // Shows `content`; content without changes leaves the list as it is.
  void Render(const session::ListContent& content);

  // Node ids of the selected rows, top to bottom.
  std::vector<uint32_t> SelectedNodeIds() const;

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
  session::ColumnSet columnSet_ = session::ColumnSet::Start;
};

}  // namespace velmorix::ui
