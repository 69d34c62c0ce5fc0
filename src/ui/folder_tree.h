// The folder tree (control 1045): a QTreeWidget that renders the session's
// FolderTreeModel. Items show the model's pictures and bold flags and carry
// the selection flag as item data; clicks and context-menu commands are
// forwarded to the model.
#pragma once

#include <QPoint>
#include <QString>
#include <QTreeWidget>

#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "session/folder_tree.h"

class QMenu;

namespace velmorix::ui {

class FolderTree : public QTreeWidget {
  Q_OBJECT

 public:
  // Item data roles (column 0).
  static constexpr int kSelectionFlagRole = Qt::UserRole + 1;  // 1 not selected, 2 selected
  static constexpr int kImageRole = Qt::UserRole + 2;
  static constexpr int kSelectedImageRole = Qt::UserRole + 3;
  // The context menu's command added after the folder's own entries.
  static constexpr int kMenuExportFolder = 32100;
  static constexpr int kMenuSavePst = 32101;

  explicit FolderTree(QWidget* parent = nullptr);

  const session::FolderTreeModel& model() const { return model_; }

  // Removes every item.
  void Clear();
  // Adds a folder path ("Personal Folders\Inbox\"), expanding every item on
  // it and selecting the last one with its subtree.
  void InsertFolderPath(const std::string& path);
  // The folder at `path` shows the list of `set`: its picture follows.
  void SetFolderKind(const std::string& path, session::ColumnSet set);
  // The folder at `path` lists `count` items: shown after its name
  // ("Inbox (1,234)"), nothing for none. False when there is no such item.
  bool SetCount(const std::string& path, size_t count);
  // The text an item shows for a folder named `name` listing `count` items.
  static QString CountedName(const QString& name, size_t count);

  const session::TreeItem* ModelItem(const QTreeWidgetItem* item) const;
  QTreeWidgetItem* WidgetItem(const session::TreeItem* item) const;
  // The item whose ItemPath is `path`, or nullptr.
  QTreeWidgetItem* FindPath(const std::string& path) const;
  // ItemPath of a tree item ("" for nullptr).
  std::string PathOf(const QTreeWidgetItem* item) const;

  // The context menu of `item`: "Export Folder...", "Save as PST...", a
  // separator, then the folder's entries.
  std::vector<session::MenuEntry> MenuFor(const QTreeWidgetItem* item) const;
  // Carries out a context-menu command on `item`: 32003 and 32004 change the
  // selection flags, 32005 shows the folder's items, kMenuExportFolder asks
  // for the folder's export, 32000 and 0 do nothing.
  void RunMenuCommand(QTreeWidgetItem* item, int command);

  // Fills `menu` with `entries`; the paths of the selected folders
  // (kMenuListed) go into one submenu rather than down the menu itself.
  static void BuildMenu(QMenu& menu, const std::vector<session::MenuEntry>& entries);

  // Shows the context menu at a global position and returns the chosen
  // command (kMenuNone when dismissed). Tests replace it.
  std::function<int(const std::vector<session::MenuEntry>&, const QPoint&)> popupMenu;

 signals:
  // The item list is to show `item`'s content: after a selection change,
  // after a left click and for "Display Folder".
  void fillRequested(QTreeWidgetItem* item);
  // "Export Folder..." was chosen for `item`.
  void exportRequested(QTreeWidgetItem* item);
  // "Save as PST..." was chosen for `item`.
  void savePstRequested(QTreeWidgetItem* item);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  QTreeWidgetItem* Materialise(session::TreeItem* item);
  void RefreshFlags(const session::TreeItem* item);
  void RefreshSubtree(const session::TreeItem* item);
  void RefreshAncestors(const session::TreeItem* item);
  void RefreshAll();
  int DefaultPopup(const std::vector<session::MenuEntry>& entries, const QPoint& globalPos);

  session::FolderTreeModel model_;
  std::unordered_map<const session::TreeItem*, QTreeWidgetItem*> widgets_;
  std::unordered_map<const QTreeWidgetItem*, session::TreeItem*> items_;
};

}  // namespace velmorix::ui
