// What a recovery's lists hold, grouped by folder and kind: where exports
// (and searches) start from, for the window and the command line alike.
#pragma once

#include <string>
#include <vector>

#include "export/exporter.h"

namespace velmorix::session {

class FolderTreeModel;
class SessionData;
struct TreeItem;

// What a row is, by its picture: mixed folders list other kinds among
// their mails.
exporting::ListKind KindOfRow(int picture);

// The items a recovery lists, folder by folder in the tree's order, with the
// tree's names as the folder path (texts of ANSI stores as UTF-8), grouped
// by kind (a folder may list contacts or appointments among its mails).
// Each item comes once: in the folder it lies in rather than in the list
// that gathers its kind from everywhere. With `subtree`, only that tree
// item and the items below it.
std::vector<exporting::FolderItems> ListedFolders(const FolderTreeModel& tree, const SessionData& data,
                                                  const TreeItem* subtree = nullptr);

// Every folder of the tree in pre-order (with `subtree`, that item and the
// ones below it), named as ListedFolders names them, with its store node.
std::vector<exporting::TreeFolder> TreeFolders(const FolderTreeModel& tree, const SessionData& data,
                                               const TreeItem* subtree = nullptr);

// The tree item whose path is `path` as `folder` records print it
// ("Personal Folders\Inbox\"; the last backslash may be left out). Paths of
// ANSI stores (`ansi`) also match as UTF-8.
const TreeItem* FindFolder(const FolderTreeModel& tree, std::string path, bool ansi = false);

}  // namespace velmorix::session
