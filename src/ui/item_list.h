// The item list (control 1009): a report-style list that renders the rows the
// session layer computes for a folder (column set, row pictures, cells).
#pragma once

#include <QTreeWidget>

#include "session/folder_list.h"

namespace velmorix::ui {

class ItemList : public QTreeWidget {
  Q_OBJECT

 public:
  // Row data role (column 0): the row's picture index.
  static constexpr int kPictureRole = Qt::UserRole + 1;

  explicit ItemList(QWidget* parent = nullptr);

  session::ColumnSet columnSet() const { return columnSet_; }

  // Removes all rows and all columns, then inserts the columns of `set`.
  void SetColumnSet(session::ColumnSet set);
  // Shows `content`; content without changes leaves the list as it is.
  void Render(const session::ListContent& content);

 private:
  session::ColumnSet columnSet_ = session::ColumnSet::Start;
};

}  // namespace velmorix::ui
