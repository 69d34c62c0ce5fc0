#include "session/folder_tree.h"

#include <utility>

#include "session/folder_list.h"

namespace velmorix::session {

namespace {

struct NamedImage {
  const char* name;
  int image;
};

// Folder names (upper-cased) that have a picture of their own.
constexpr NamedImage kFolderImages[] = {
    {"PERSONAL FOLDERS", kImagePersonalFolders},
    {"CALENDAR", kImageCalendar},
    {"CONTACTS", kImageContacts},
    {"DELETED ITEMS", kImageDeletedItems},
    {"DRAFTS", kImageDrafts},
    {"INBOX", kImageInbox},
    {"JOURNAL", kImageJournal},
    {"JUNK E-MAILS", kImageJunk},
    {"NOTES", kImageNotes},
    {"OUTBOX", kImageOutbox},
    {"SENT ITEMS", kImageSentItems},
    {"TASKS", kImageTasks},
    {"SYNC ISSUES", kImageSyncIssues},
};

// Upper-cases ASCII letters only, so multi-byte UTF-8 sequences stay intact.
std::string UpperAscii(const std::string& s) {
  std::string out = s;
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

TreeItem* FindOrInsert(std::vector<std::unique_ptr<TreeItem>>& siblings, TreeItem* parent,
                       const std::string& name) {
  for (auto& child : siblings) {
    if (child->text == name) return child.get();
  }
  auto item = std::make_unique<TreeItem>();
  item->text = name;
  item->image = FolderTreeModel::ImageFor(name, parent == nullptr, false);
  item->selectedImage = FolderTreeModel::ImageFor(name, parent == nullptr, true);
  item->parent = parent;
  siblings.push_back(std::move(item));
  return siblings.back().get();
}

void SetSubtreeFlags(TreeItem* item, bool on) {
  // Iterative, so that a very deep tree cannot exhaust the stack.
  std::vector<TreeItem*> pending{item};
  while (!pending.empty()) {
    TreeItem* t = pending.back();
    pending.pop_back();
    t->selected = on;
    t->bold = on;
    for (auto it = t->children.rbegin(); it != t->children.rend(); ++it) pending.push_back(it->get());
  }
}

// The first UTF-8 character of `text` (the whole sequence for a multi-byte one).
std::string FirstCharacter(const std::string& text) {
  if (text.empty()) return {};
  const auto lead = static_cast<unsigned char>(text[0]);
  size_t n = 1;
  if (lead >= 0xF0) n = 4;
  else if (lead >= 0xE0) n = 3;
  else if (lead >= 0xC0) n = 2;
  return text.substr(0, n);
}

// The picture a folder's name gives it, or -1 when the name has none.
int NamedImage(const std::string& name) {
  const std::string upper = UpperAscii(name);
  for (const auto& entry : kFolderImages) {
    if (upper == entry.name) return entry.image;
  }
  return -1;
}

int KindImage(ColumnSet set) {
  switch (set) {
    case ColumnSet::Contacts: return kImageContacts;
    case ColumnSet::Calendar: return kImageCalendar;
    case ColumnSet::Tasks: return kImageTasks;
    case ColumnSet::Notes: return kImageNotes;
    case ColumnSet::Journal: return kImageJournal;
    default: return -1;
  }
}

}  // namespace

int FolderTreeModel::ImageFor(const std::string& name, bool topLevel, bool selectedImage) {
  if (const int named = NamedImage(name); named >= 0) return named;
  if (topLevel) return kImageDeletedItems;
  return selectedImage ? kImageOpenFolder : kImageClosedFolder;
}

TreeItem* FolderTreeModel::Find(const std::string& path) {
  TreeItem* parent = nullptr;
  TreeItem* item = nullptr;
  size_t start = 0;
  for (size_t pos = path.find('\\'); pos != std::string::npos; pos = path.find('\\', start)) {
    const std::string name = path.substr(start, pos - start);
    auto& siblings = parent ? parent->children : top_;
    item = nullptr;
    for (auto& child : siblings) {
      if (child->text == name) {
        item = child.get();
        break;
      }
    }
    if (!item) return nullptr;
    parent = item;
    start = pos + 1;
  }
  return item;
}

TreeItem* FolderTreeModel::SetFolderKind(const std::string& path, ColumnSet set) {
  TreeItem* item = Find(path);
  if (!item || NamedImage(item->text) >= 0) return nullptr;
  const bool top = item->parent == nullptr;
  const int kind = KindImage(set);
  const int image = kind >= 0 ? kind : ImageFor(item->text, top, false);
  const int selected = kind >= 0 ? kind : ImageFor(item->text, top, true);
  if (item->image == image && item->selectedImage == selected) return nullptr;
  item->image = image;
  item->selectedImage = selected;
  return item;
}

TreeItem* FolderTreeModel::InsertFolderPath(const std::string& path) {
  TreeItem* parent = nullptr;
  TreeItem* item = nullptr;
  size_t start = 0;
  // One component per backslash; text after the last backslash is ignored.
  for (size_t pos = path.find('\\'); pos != std::string::npos; pos = path.find('\\', start)) {
    const std::string name = path.substr(start, pos - start);
    item = FindOrInsert(parent ? parent->children : top_, parent, name);
    item->expanded = true;
    parent = item;
    start = pos + 1;
  }
  if (!item) return nullptr;
  SelectSubtree(item);
  UpdateAncestorSelection(item);
  UpdateAncestorBold(item);
  item->expanded = true;
  return item;
}

std::string FolderTreeModel::ItemPath(const TreeItem* item) {
  std::vector<const TreeItem*> chain;
  for (const TreeItem* t = item; t; t = t->parent) chain.push_back(t);
  std::string path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    path += (*it)->text;
    path += '\\';
  }
  return path;
}

void FolderTreeModel::SelectSubtree(TreeItem* item) {
  if (item) SetSubtreeFlags(item, true);
}

void FolderTreeModel::DeselectSubtree(TreeItem* item) {
  if (item) SetSubtreeFlags(item, false);
}

void FolderTreeModel::UpdateAncestorSelection(TreeItem* item) {
  if (!item) return;
  for (TreeItem* a = item->parent; a; a = a->parent) {
    bool all = true;
    for (const auto& child : a->children) {
      if (!child->selected) {
        all = false;
        break;
      }
    }
    a->selected = all;
    a->bold = all;
  }
}

void FolderTreeModel::UpdateAncestorBold(TreeItem* item) {
  if (!item) return;
  for (TreeItem* a = item->parent; a; a = a->parent) {
    bool any = false;
    for (const auto& child : a->children) {
      if (child->bold) {
        any = true;
        break;
      }
    }
    a->bold = any;
  }
}

std::vector<MenuEntry> FolderTreeModel::ContextMenu(const TreeItem* item) {
  std::vector<MenuEntry> menu;
  if (!item) return menu;
  const std::string before(27, ' ');
  const std::string after(28, ' ');
  if (item->parent) {
    menu.push_back({false, before + "Display Folder " + item->text + after, kMenuDisplayFolder});
  } else {
    menu.push_back({false, before + "Display Disk " + FirstCharacter(item->text) + after,
                    kMenuDisplayFolder});
  }
  menu.push_back({true, "", kMenuNone});
  if (item->selected) {
    menu.push_back({false, "Deselect this folder and all SubFolder", kMenuDeselectSubtree});
  } else {
    menu.push_back({false, "Select this folder and all SubFolder", kMenuSelectSubtree});
  }
  menu.push_back({true, "", kMenuNone});

  bool boldChild = false;
  for (const auto& child : item->children) boldChild = boldChild || child->bold;
  if (boldChild) {
    // Selected folders below the item, depth first.
    std::vector<const TreeItem*> pending;
    for (auto it = item->children.rbegin(); it != item->children.rend(); ++it) pending.push_back(it->get());
    while (!pending.empty()) {
      const TreeItem* t = pending.back();
      pending.pop_back();
      if (t->selected) menu.push_back({false, ItemPath(t), kMenuListed});
      for (auto it = t->children.rbegin(); it != t->children.rend(); ++it) pending.push_back(it->get());
    }
  } else {
    menu.push_back({false, "0 Subfolder Selected", kMenuNone});
  }
  return menu;
}

bool FolderTreeModel::RunMenuCommand(TreeItem* item, int command) {
  if (!item) return false;
  if (command == kMenuSelectSubtree) {
    SelectSubtree(item);
  } else if (command == kMenuDeselectSubtree) {
    DeselectSubtree(item);
  } else {
    return false;
  }
  UpdateAncestorSelection(item);
  UpdateAncestorBold(item);
  return true;
}

std::vector<const TreeItem*> FolderTreeModel::PreOrder() const {
  std::vector<const TreeItem*> out;
  std::vector<const TreeItem*> pending;
  for (auto it = top_.rbegin(); it != top_.rend(); ++it) pending.push_back(it->get());
  while (!pending.empty()) {
    const TreeItem* t = pending.back();
    pending.pop_back();
    out.push_back(t);
    for (auto it = t->children.rbegin(); it != t->children.rend(); ++it) pending.push_back(it->get());
  }
  return out;
}

}  // namespace velmorix::session
