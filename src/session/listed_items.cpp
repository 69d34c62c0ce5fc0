#include "session/listed_items.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "session/folder_list.h"
#include "session/folder_tree.h"
#include "session/session_data.h"

namespace velmorix::session {
namespace {

// The five lists that gather their kind from the whole store.
bool IsGatheringList(const std::string& path) {
  for (const char* name : {"Contacts", "Calendar", "Tasks", "Journal", "Notes"}) {
    if (path == std::string("Personal Folders\\") + name + "\\") return true;
  }
  return false;
}

}  // namespace

exporting::ListKind KindOfRow(int picture) {
  switch (picture) {
    case kListContact: return exporting::ListKind::Contacts;
    case kListTasks: return exporting::ListKind::Tasks;
    case kListJournal: return exporting::ListKind::Journal;
    case kListNotes: return exporting::ListKind::Notes;
    case kListCalendar: return exporting::ListKind::Calendar;
    default: return exporting::ListKind::Mail;
  }
}

std::vector<exporting::FolderItems> ListedFolders(const FolderTreeModel& tree,
                                                  const SessionData& data,
                                                  const TreeItem* subtree) {
  const bool ansi = data.variant() == store::Variant::Ansi;
  struct Listing {
    std::vector<std::string> path;
    bool gathering = false;
    std::vector<const ListRow*> rows;
  };
  std::vector<ListContent> contents;
  std::vector<Listing> listings;
  const std::vector<const TreeItem*> items = tree.PreOrder();
  contents.reserve(items.size());
  for (const TreeItem* item : items) {
    if (subtree) {
      bool inside = false;
      for (const TreeItem* p = item; p && !inside; p = p->parent) inside = p == subtree;
      if (!inside) continue;
    }
    const std::string itemPath = FolderTreeModel::ItemPath(item);
    contents.push_back(FillItemList(data, itemPath));
    const ListContent& content = contents.back();
    if (!content.changes || content.rows.empty()) continue;
    Listing l;
    for (const TreeItem* p = item; p; p = p->parent) {
      l.path.insert(l.path.begin(), ansi ? Cp1252ToUtf8(p->text) : p->text);
    }
    l.gathering = IsGatheringList(itemPath);
    for (const auto& row : content.rows) l.rows.push_back(&row);
    listings.push_back(std::move(l));
  }
  // Each item once: in the folder it lies in before the lists that gather
  // its kind from everywhere.
  std::unordered_set<uint32_t> inOwnFolder;
  for (const Listing& l : listings) {
    if (l.gathering) continue;
    for (const ListRow* row : l.rows) inOwnFolder.insert(row->nodeId);
  }
  std::unordered_set<uint32_t> taken;
  std::vector<exporting::FolderItems> out;
  for (const Listing& l : listings) {
    // One group per kind, in the order the kinds first appear.
    const size_t first = out.size();
    for (const ListRow* row : l.rows) {
      if (l.gathering && inOwnFolder.count(row->nodeId)) continue;
      if (!taken.insert(row->nodeId).second) continue;
      const exporting::ListKind kind = KindOfRow(row->picture);
      auto it = std::find_if(out.begin() + static_cast<std::ptrdiff_t>(first), out.end(),
                             [&](const exporting::FolderItems& f) { return f.kind == kind; });
      if (it == out.end()) {
        out.push_back({l.path, kind, {}});
        it = out.end() - 1;
      }
      it->nodeIds.push_back(row->nodeId);
    }
  }
  return out;
}

std::vector<exporting::TreeFolder> TreeFolders(const FolderTreeModel& tree, const SessionData& data,
                                               const TreeItem* subtree) {
  const bool ansi = data.variant() == store::Variant::Ansi;
  std::unordered_map<std::string, uint32_t> nids;
  for (const FolderRecord* f = data.firstFolder(); f; f = f->Next()) nids.emplace(f->folderPath, f->folderNid);
  std::vector<exporting::TreeFolder> out;
  for (const TreeItem* item : tree.PreOrder()) {
    bool inside = !subtree;
    for (const TreeItem* p = item; p && !inside; p = p->parent) inside = p == subtree;
    if (!inside) continue;
    exporting::TreeFolder f;
    for (const TreeItem* p = item; p; p = p->parent) f.path.insert(f.path.begin(), ansi ? Cp1252ToUtf8(p->text) : p->text);
    auto it = nids.find(FolderTreeModel::ItemPath(item));
    if (it != nids.end()) f.nodeId = it->second;
    out.push_back(std::move(f));
  }
  return out;
}

const TreeItem* FindFolder(const FolderTreeModel& tree, std::string path, bool ansi) {
  if (!path.empty() && path.back() != '\\') path += '\\';
  for (const TreeItem* item : tree.PreOrder()) {
    const std::string itemPath = FolderTreeModel::ItemPath(item);
    if (itemPath == path || (ansi && Cp1252ToUtf8(itemPath) == path)) return item;
  }
  return nullptr;
}

}  // namespace velmorix::session
