// The headline part of a search, over what a recovery lists: every listed
// row once, in the tree's order with its folder, matched on the texts its
// row shows and its date, without reading anything from the file.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "search/query.h"
#include "session/folder_list.h"

namespace velmorix::session {
class FolderTreeModel;
class SessionData;
struct TreeItem;
}  // namespace velmorix::session

namespace velmorix::search {

// One row as the walk hands it out; valid during the call only.
struct RowInList {
  const std::string& folder;  // the tree path of the list ("Personal Folders\Inbox\")
  const session::RowView& row;
  // Whether its headline texts hold the text (false when the query has none
  // but reads content); dates are already in range.
  bool headlineMatch = false;
};

// Calls `sink` for every listed row whose date is in the query's range, each
// item once: in the folder it lies in rather than in a list that gathers its
// kind from everywhere. With `subtree`, only that tree item and those below.
// `sink` returns false to end the walk.
void ForEachRow(const session::FolderTreeModel& tree, const session::SessionData& data, const Matcher& matcher,
                const std::function<bool(const RowInList&)>& sink, const session::TreeItem* subtree = nullptr);

// Whether `row`'s texts in the query's headline fields hold its text: a
// mail's From, Subject and To cells; any other item's text cells for the
// subject.
bool HeadlineMatches(const Matcher& matcher, const session::RowView& row);

}  // namespace velmorix::search
