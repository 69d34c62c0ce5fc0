#include "ui/folder_tree.h"

#include <QContextMenuEvent>
#include <QHeaderView>
#include <QLocale>
#include <QMenu>
#include <QMouseEvent>

#include "session/folder_list.h"
#include "ui/pictures.h"
#include "ui/text.h"

namespace velmorix::ui {

using session::FolderTreeModel;
using session::MenuEntry;
using session::TreeItem;

namespace {

QIcon ItemIcon(int image, int selectedImage) {
  QIcon icon;
  icon.addPixmap(TreeImage(image), QIcon::Normal);
  icon.addPixmap(TreeImage(selectedImage), QIcon::Selected);
  return icon;
}

// QMenu treats '&' as a mnemonic marker; folder names show it literally.
QString MenuText(const std::string& text) {
  QString out = ToQString(text);
  out.replace(QLatin1Char('&'), QStringLiteral("&&"));
  return out;
}

}  // namespace

FolderTree::FolderTree(QWidget* parent) : QTreeWidget(parent) {
  setColumnCount(1);
  setHeaderHidden(true);
  setRootIsDecorated(true);
  setItemsExpandable(true);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setAllColumnsShowFocus(true);
  setIconSize(QSize(16, 16));
  setUniformRowHeights(true);
  setExpandsOnDoubleClick(true);
  header()->setStretchLastSection(true);

  popupMenu = [this](const std::vector<MenuEntry>& entries, const QPoint& globalPos) {
    return DefaultPopup(entries, globalPos);
  };

  connect(this, &QTreeWidget::currentItemChanged, this,
          [this](QTreeWidgetItem* current, QTreeWidgetItem*) {
            if (current != nullptr) emit fillRequested(current);
          });
  // Keep the model's expansion in step with the user's.
  connect(this, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* item) {
    if (auto it = items_.find(item); it != items_.end()) it->second->expanded = true;
  });
  connect(this, &QTreeWidget::itemCollapsed, this, [this](QTreeWidgetItem* item) {
    if (auto it = items_.find(item); it != items_.end()) it->second->expanded = false;
  });
}

void FolderTree::Clear() {
  // Widgets go first: clear() may report a current-item change, which must
  // not see model items that are already released.
  items_.clear();
  widgets_.clear();
  clear();
  model_.Clear();
}

void FolderTree::InsertFolderPath(const std::string& path) {
  TreeItem* last = model_.InsertFolderPath(path);
  if (last == nullptr) return;

  std::vector<TreeItem*> chain;
  for (TreeItem* item = last; item != nullptr; item = item->parent) chain.push_back(item);
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) Materialise(*it)->setExpanded(true);

  RefreshSubtree(last);
  RefreshAncestors(last);
}

void FolderTree::SetFolderKind(const std::string& path, session::ColumnSet set) {
  const TreeItem* item = model_.SetFolderKind(path, set);
  QTreeWidgetItem* widget = item == nullptr ? nullptr : WidgetItem(item);
  if (widget == nullptr) return;
  widget->setIcon(0, ItemIcon(item->image, item->selectedImage));
  widget->setData(0, kImageRole, item->image);
  widget->setData(0, kSelectedImageRole, item->selectedImage);
}

QString FolderTree::CountedName(const QString& name, size_t count) {
  if (count == 0) return name;
  return name + QStringLiteral(" (") + QLocale(QLocale::English).toString(static_cast<qulonglong>(count)) +
         QLatin1Char(')');
}

bool FolderTree::SetCount(const std::string& path, size_t count) {
  TreeItem* item = model_.Find(path);
  QTreeWidgetItem* widget = item == nullptr ? nullptr : WidgetItem(item);
  if (widget == nullptr) return false;
  widget->setText(0, CountedName(ToQString(item->text), count));
  return true;
}

QTreeWidgetItem* FolderTree::Materialise(TreeItem* item) {
  if (auto it = widgets_.find(item); it != widgets_.end()) return it->second;

  auto* widget = new QTreeWidgetItem;  // owned by the tree once added below
  widget->setText(0, ToQString(item->text));
  widget->setIcon(0, ItemIcon(item->image, item->selectedImage));
  widget->setData(0, kImageRole, item->image);
  widget->setData(0, kSelectedImageRole, item->selectedImage);
  if (item->parent == nullptr) {
    addTopLevelItem(widget);
  } else {
    Materialise(item->parent)->addChild(widget);
  }
  widgets_.emplace(item, widget);
  items_.emplace(widget, item);
  RefreshFlags(item);
  return widget;
}

void FolderTree::RefreshFlags(const TreeItem* item) {
  auto it = widgets_.find(item);
  if (it == widgets_.end()) return;
  QTreeWidgetItem* widget = it->second;
  widget->setData(0, kSelectionFlagRole, item->selected ? 2 : 1);
  QFont f = font();
  f.setBold(item->bold);
  widget->setFont(0, f);
}

void FolderTree::RefreshSubtree(const TreeItem* item) {
  std::vector<const TreeItem*> pending{item};
  while (!pending.empty()) {
    const TreeItem* current = pending.back();
    pending.pop_back();
    RefreshFlags(current);
    for (const auto& child : current->children) pending.push_back(child.get());
  }
}

void FolderTree::RefreshAncestors(const TreeItem* item) {
  for (const TreeItem* up = item->parent; up != nullptr; up = up->parent) RefreshFlags(up);
}

void FolderTree::RefreshAll() {
  for (const auto& top : model_.topLevel()) RefreshSubtree(top.get());
}

const TreeItem* FolderTree::ModelItem(const QTreeWidgetItem* item) const {
  auto it = items_.find(item);
  return it == items_.end() ? nullptr : it->second;
}

QTreeWidgetItem* FolderTree::WidgetItem(const TreeItem* item) const {
  auto it = widgets_.find(item);
  return it == widgets_.end() ? nullptr : it->second;
}

QTreeWidgetItem* FolderTree::FindPath(const std::string& path) const {
  for (const TreeItem* item : model_.PreOrder()) {
    if (FolderTreeModel::ItemPath(item) == path) return WidgetItem(item);
  }
  return nullptr;
}

std::string FolderTree::PathOf(const QTreeWidgetItem* item) const {
  const TreeItem* model = ModelItem(item);
  return model == nullptr ? std::string() : FolderTreeModel::ItemPath(model);
}

std::vector<MenuEntry> FolderTree::MenuFor(const QTreeWidgetItem* item) const {
  const TreeItem* model = ModelItem(item);
  if (model == nullptr) return {};
  std::vector<MenuEntry> entries{{false, "Export Folder...", kMenuExportFolder},
                                  {false, "Save as PST...", kMenuSavePst},
                                  {true, {}, session::kMenuNone}};
  for (MenuEntry& entry : FolderTreeModel::ContextMenu(model)) entries.push_back(std::move(entry));
  return entries;
}

void FolderTree::RunMenuCommand(QTreeWidgetItem* item, int command) {
  auto it = items_.find(item);
  if (it == items_.end()) return;
  switch (command) {
    case session::kMenuSelectSubtree:
    case session::kMenuDeselectSubtree:
      if (FolderTreeModel::RunMenuCommand(it->second, command)) RefreshAll();
      break;
    case session::kMenuDisplayFolder:
      // Shows the folder's items as selecting it would; folder names read
      // from the file are never handed to the desktop shell.
      emit fillRequested(item);
      break;
    case kMenuExportFolder:
      emit exportRequested(item);
      break;
    case kMenuSavePst:
      emit savePstRequested(item);
      break;
    default:
      break;
  }
}

void FolderTree::mousePressEvent(QMouseEvent* event) {
  QTreeWidgetItem* item = itemAt(event->position().toPoint());
  if (event->button() == Qt::LeftButton) {
    if (item != nullptr) {
      setCurrentItem(item);
    } else {
      setCurrentItem(nullptr);
      clearSelection();
    }
    QTreeWidget::mousePressEvent(event);
    if (item != nullptr) emit fillRequested(item);
    return;
  }
  if (event->button() == Qt::RightButton) {
    if (item == nullptr) {
      event->accept();
      return;
    }
    setCurrentItem(item);
    QTreeWidget::mousePressEvent(event);
    const QPoint globalPos = event->globalPosition().toPoint();
    const int command = popupMenu(MenuFor(item), globalPos);
    // The tree may have been emptied while the menu was open.
    if (items_.count(item) != 0) RunMenuCommand(item, command);
    return;
  }
  QTreeWidget::mousePressEvent(event);
}

void FolderTree::contextMenuEvent(QContextMenuEvent* event) {
  // The menu is shown on the right button press; the event must not reach
  // the window, which has a context menu of its own.
  event->accept();
}

void FolderTree::BuildMenu(QMenu& menu, const std::vector<MenuEntry>& entries) {
  size_t listed = 0;
  for (const MenuEntry& entry : entries) listed += entry.command == session::kMenuListed ? 1 : 0;
  QMenu* paths = nullptr;
  for (const MenuEntry& entry : entries) {
    if (entry.separator) {
      menu.addSeparator();
      continue;
    }
    QMenu* into = &menu;
    if (entry.command == session::kMenuListed) {
      if (paths == nullptr) {
        paths = menu.addMenu(QStringLiteral("Selected Subfolders (%1)").arg(listed));
      }
      into = paths;
    }
    QAction* action = into->addAction(MenuText(entry.text));
    action->setData(entry.command);
  }
}

int FolderTree::DefaultPopup(const std::vector<MenuEntry>& entries, const QPoint& globalPos) {
  QMenu menu(this);
  BuildMenu(menu, entries);
  QAction* chosen = menu.exec(globalPos);
  return chosen == nullptr ? session::kMenuNone : chosen->data().toInt();
}

}  // namespace velmorix::ui
