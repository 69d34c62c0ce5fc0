#include "search/listed_search.h"

#include <string_view>
#include <unordered_set>
#include <vector>

#include "session/folder_tree.h"
#include "session/session_data.h"

namespace velmorix::search {

namespace {

// The lists that gather one kind from the whole store.
bool IsGatheringList(const std::string& path) {
  for (const char* name : {"Contacts", "Calendar", "Tasks", "Journal", "Notes"}) {
    if (path == std::string("Personal Folders\\") + name + "\\") return true;
  }
  return false;
}

bool IsMailPicture(int picture) {
  return picture == session::kListEnvelope || picture == session::kListEnvelopeClip;
}

bool Inside(const session::TreeItem* item, const session::TreeItem* subtree) {
  for (const session::TreeItem* p = item; p != nullptr; p = p->parent) {
    if (p == subtree) return true;
  }
  return false;
}

}  // namespace

bool HeadlineMatches(const Matcher& matcher, const session::RowView& row) {
  if (!matcher.HasText()) return true;
  const unsigned fields = matcher.query().fields;
  // A row of the mail columns (a mail, or another item among mails): From,
  // Subject, To, Date.
  if (row.cellCount == 4) {
    if ((fields & kFrom) && IsMailPicture(row.picture) && matcher.Contains(row.cells[0])) return true;
    if ((fields & kSubject) && matcher.Contains(row.cells[1])) return true;
    return (fields & kTo) && IsMailPicture(row.picture) && matcher.Contains(row.cells[2]);
  }
  if (!(fields & kSubject)) return false;
  // The other column sets: every cell but the date (the last one of tasks,
  // notes, appointments and journal entries; contacts have none).
  int texts = row.cellCount;
  if (row.picture != session::kListContact && texts > 0) --texts;
  for (int i = 0; i < texts; ++i) {
    if (matcher.Contains(row.cells[i])) return true;
  }
  return false;
}

void ForEachRow(const session::FolderTreeModel& tree, const session::SessionData& data, const Matcher& matcher,
                const std::function<bool(const RowInList&)>& sink, const session::TreeItem* subtree) {
  const std::vector<const session::TreeItem*> items = tree.PreOrder();
  std::vector<std::string> paths;
  paths.reserve(items.size());
  for (const session::TreeItem* item : items) {
    paths.push_back(subtree == nullptr || Inside(item, subtree) ? session::FolderTreeModel::ItemPath(item)
                                                                 : std::string());
  }
  // Items other than mails listed in the folders they lie in: the gathering
  // lists leave them out. They are the items placed in the folder records
  // the tree shows (the first record with each listed path).
  std::unordered_set<std::string_view> listed;
  for (const std::string& path : paths) {
    if (!path.empty() && !IsGatheringList(path)) listed.insert(path);
  }
  std::unordered_set<uint32_t> placed;
  std::unordered_set<std::string_view> taken;
  auto place = [&](const session::FolderRecord& record, std::string_view path) {
    if (listed.count(path) == 0 || !taken.insert(path).second) return;
    for (const session::ListedItem* p = record.FirstPlaced(); p != nullptr; p = p->NextPlaced()) placed.insert(p->nodeId);
  };
  place(data.topFolder(), "Personal Folders\\");
  for (const session::FolderRecord* f = data.firstFolder(); f != nullptr; f = f->Next()) place(*f, f->folderPath);
  std::unordered_set<uint32_t> seen;
  bool more = true;
  for (const std::string& path : paths) {
    if (path.empty() || !more) continue;
    const bool gathering = IsGatheringList(path);
    session::FillItemList(data, path, [&](const session::RowView& row) {
      if (!more || !matcher.InRange(row.date)) return;
      if (!IsMailPicture(row.picture)) {
        if (gathering && placed.count(row.nodeId) != 0) return;
        if (!seen.insert(row.nodeId).second) return;
      }
      RowInList hit{path, row, HeadlineMatches(matcher, row)};
      if (!hit.headlineMatch && !matcher.ReadsContent()) return;
      more = sink(hit);
    });
  }
}

}  // namespace velmorix::search
