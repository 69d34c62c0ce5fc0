// The folder tree's content, independent of any toolkit: find-or-insert of
// folder path components, the pictures of the folder image table, the
// selection and bold flags with their subtree and ancestor updates, and the
// context menu's entries. The window renders it; the CLI walks it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velmorix::session {

enum class ColumnSet;  // session/folder_list.h

// Indexes into the tree's 16 x 16 image list.
enum TreeImage : int {
  kImageClosedFolder = 0,
  kImageOpenFolder = 1,
  kImagePersonalFolders = 2,
  kImageCalendar = 3,
  kImageContacts = 4,
  kImageDeletedItems = 5,
  kImageDrafts = 6,
  kImageInbox = 7,
  kImageJournal = 8,
  kImageJunk = 9,
  kImageNotes = 10,
  kImageOutbox = 11,
  kImageSentItems = 12,
  kImageTasks = 13,
  kImageSyncIssues = 14,
  kImagePaperClip = 15,
  kImageEnvelope = 16,
  kImageEnvelopeClip = 17,
};

struct TreeItem {
  std::string text;
  int image = 0;
  int selectedImage = 0;
  bool selected = false;  // the selection flag (not the toolkit's current item)
  bool bold = false;
  bool expanded = false;
  TreeItem* parent = nullptr;
  std::vector<std::unique_ptr<TreeItem>> children;
};

// Context menu commands.
enum MenuCommand : int {
  kMenuNone = 0,
  kMenuListed = 32000,
  kMenuSelectSubtree = 32003,
  kMenuDeselectSubtree = 32004,
  kMenuDisplayFolder = 32005,
};

struct MenuEntry {
  bool separator = false;
  std::string text;
  int command = kMenuNone;
};

class FolderTreeModel {
 public:
  const std::vector<std::unique_ptr<TreeItem>>& topLevel() const { return top_; }
  void Clear() { top_.clear(); }

  // Adds a folder path ("Personal Folders\Inbox\"), finding or inserting one
  // item per component, and selects the last item with its subtree. Returns
  // the last item (nullptr for an empty path).
  TreeItem* InsertFolderPath(const std::string& path);

  // The item whose ItemPath is `path`, or nullptr.
  TreeItem* Find(const std::string& path);

  // Gives the item of a folder whose list shows `set` the picture of that
  // kind (the plain folder pictures for the mail set), unless its name has a
  // picture of its own. Returns the item when its pictures changed.
  TreeItem* SetFolderKind(const std::string& path, ColumnSet set);

  // The item's path: the texts from the top-level ancestor down, each
  // followed by a backslash.
  static std::string ItemPath(const TreeItem* item);

  static void SelectSubtree(TreeItem* item);
  static void DeselectSubtree(TreeItem* item);
  static void UpdateAncestorSelection(TreeItem* item);
  static void UpdateAncestorBold(TreeItem* item);

  // Picture index for a new item named `name` (top level or not).
  static int ImageFor(const std::string& name, bool topLevel, bool selectedImage);

  // The context menu for `item`, entries in order.
  static std::vector<MenuEntry> ContextMenu(const TreeItem* item);
  // Carries out a menu command on `item` (32003 and 32004; others do nothing
  // here). Returns true when the tree's flags changed.
  static bool RunMenuCommand(TreeItem* item, int command);

  // Items in depth-first pre-order.
  std::vector<const TreeItem*> PreOrder() const;

 private:
  std::vector<std::unique_ptr<TreeItem>> top_;
};

}  // namespace velmorix::session
