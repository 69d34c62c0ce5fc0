#include "session/listed_items.h"

#include <algorithm>
#include <unordered_map>

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
  // Only the node id and kind of each row are kept: a folder's rows with
  // their cell texts are made one folder at a time and let go, so that a
  // million listed items do not sit in memory twice beside the lists.
  struct Row {
    uint32_t nodeId;
    exporting::ListKind kind;
  };
  struct Listing {
    std::vector<std::string> path;
    bool gathering = false;
    std::vector<Row> rows;
  };
  std::vector<Listing> listings;
  std::vector<Row> rows;
  for (const TreeItem* item : tree.PreOrder()) {
    if (subtree) {
      bool inside = false;
      for (const TreeItem* p = item; p && !inside; p = p->parent) inside = p == subtree;
      if (!inside) continue;
    }
    const std::string itemPath = FolderTreeModel::ItemPath(item);
    rows.clear();
    const ListContent content = FillItemList(data, itemPath, [&rows](const RowView& view) {
      rows.push_back({view.nodeId, KindOfRow(view.picture)});
    });
    if (!content.changes || rows.empty()) continue;
    Listing l;
    for (const TreeItem* p = item; p; p = p->parent) {
      l.path.insert(l.path.begin(), ansi ? Cp1252ToUtf8(p->text) : p->text);
    }
    l.gathering = IsGatheringList(itemPath);
    l.rows.assign(rows.begin(), rows.end());
    listings.push_back(std::move(l));
  }
  // Every listed node id once, sorted: the two sets below are bits over it.
  std::vector<uint32_t> ids;
  for (const Listing& l : listings) {
    for (const Row& row : l.rows) ids.push_back(row.nodeId);
  }
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  auto indexOf = [&ids](uint32_t nid) {
    return static_cast<size_t>(std::lower_bound(ids.begin(), ids.end(), nid) - ids.begin());
  };
  // Each item once: in the folder it lies in before the lists that gather
  // its kind from everywhere.
  std::vector<bool> inOwnFolder(ids.size());
  for (const Listing& l : listings) {
    if (l.gathering) continue;
    for (const Row& row : l.rows) inOwnFolder[indexOf(row.nodeId)] = true;
  }
  std::vector<bool> taken(ids.size());
  std::vector<exporting::FolderItems> out;
  for (Listing& l : listings) {
    // One group per kind, in the order the kinds first appear.
    const size_t first = out.size();
    for (const Row& row : l.rows) {
      const size_t at = indexOf(row.nodeId);
      if (l.gathering && inOwnFolder[at]) continue;
      if (taken[at]) continue;
      taken[at] = true;
      auto it = std::find_if(out.begin() + static_cast<std::ptrdiff_t>(first), out.end(),
                             [&](const exporting::FolderItems& f) { return f.kind == row.kind; });
      if (it == out.end()) {
        out.push_back({l.path, row.kind, {}});
        it = out.end() - 1;
      }
      it->nodeIds.push_back(row.nodeId);
    }
    l.rows = {};
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
