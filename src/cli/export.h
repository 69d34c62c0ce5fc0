// `velmorix-cli export --format eml|mbox|vcf|ics|all --out DIR [--folder PATH]
// FILE`: recovers FILE as `recover` does, then writes every listed item of
// the kinds the format takes into DIR, one directory per folder.
#pragma once

#include <atomic>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "export/exporter.h"

namespace velmorix::session {
class FolderTreeModel;
class SessionData;
struct TreeItem;
}  // namespace velmorix::session

namespace velmorix::cli {

// What a row is, by its picture: mixed folders list other kinds among
// their mails.
exporting::ListKind KindOfRow(int picture);

// The items a recovery lists, folder by folder in the tree's order, with the
// tree's names as the folder path (texts of ANSI stores as UTF-8), grouped
// by kind (a folder may list contacts or appointments among its mails).
// Each item comes once: in the folder it lies in rather than in the list
// that gathers its kind from everywhere. With `subtree`, only that tree
// item and the items below it.
std::vector<exporting::FolderItems> ListedFolders(const session::FolderTreeModel& tree,
                                                  const session::SessionData& data,
                                                  const session::TreeItem* subtree = nullptr);

// The tree item whose path is `path` as `folder` records print it
// ("Personal Folders\Inbox\"; the last backslash may be left out). Paths of
// ANSI stores (`ansi`) also match as UTF-8.
const session::TreeItem* FindFolder(const session::FolderTreeModel& tree, std::string path, bool ansi = false);

struct ExportCommand {
  exporting::Format format = exporting::Format::All;
  std::string out;
  std::optional<std::string> folder;
  bool progress = false;  // draw a progress line on `err`
  bool deep = false;      // run the deep scan after the normal recovery
};

// Recovers `path` and exports it; prints the summary line on `out`, what
// could not be read and any failure on `err`. When `interrupt` becomes true
// the recovery or the export stops.
int ExportStore(const std::string& path, const ExportCommand& command, std::ostream& out, std::ostream& err,
                const std::atomic<bool>* interrupt = nullptr);

// argv[0] is "export". Installs the Ctrl-C handler.
int RunExport(int argc, char** argv);

}  // namespace velmorix::cli
