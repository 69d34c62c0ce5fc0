// `velmorix-cli search [--in FIELDS] [--folder PATH] [--after DATE] [--before
// DATE] [--format text|tsv|json] [--ids] [--deep] FILE TEXT`: recovers FILE as
// `recover` does, then prints the items whose texts hold TEXT (ignoring case)
// as `recover` prints rows, with their folders. Exit 0 with matches, 1 with
// none, as grep does.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "search/query.h"
#include "session/folder_list.h"

namespace velmorix::content {
class ItemReader;
}
namespace velmorix::session {
class FolderTreeModel;
class SessionData;
struct TreeItem;
}  // namespace velmorix::session

namespace velmorix::cli {

struct Arguments;

// One matching item: the list it is shown in and its row there.
struct SearchMatch {
  std::string folder;  // tree path ("Personal Folders\Inbox\")
  session::ColumnSet set = session::ColumnSet::Mail;
  session::ListRow row;
};

// The items of a finished recovery that `matcher` matches, in the tree's
// order, each once; content (bodies, attachment names) is read with
// `reader` when the query asks for it (not read when null).
std::vector<SearchMatch> FindMatches(const session::FolderTreeModel& tree, const session::SessionData& data,
                                     const search::Matcher& matcher, content::ItemReader* reader,
                                     const session::TreeItem* subtree = nullptr);

// The query of --in, --after and --before with `text`; nullopt after a usage
// error was printed for `command` (its status is then 64).
std::optional<search::Query> QueryOf(const Arguments& args, std::string_view command, std::string text);

int RunSearch(int argc, char** argv);

}  // namespace velmorix::cli
