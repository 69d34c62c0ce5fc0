// Found tables tied to what they name: a folder's hierarchy table names its
// subfolders' NIDs, its contents table its messages' NIDs, and each row
// carries the values its item shows. A deep scan of a file whose indexes
// were lost finds these tables and the items' property contexts without
// their node entries; here each table is tied to its folder (by the NID a
// leaf page gave it, else by the folders of the messages it names), each row
// to its node (by NID, else to a found property context with the row's
// subject, sender, delivery time and size), and the node linked below the
// folder, so that the placement puts items where the file had them.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <unordered_map>

#include "format/vocabulary.h"
#include "items/items.h"
#include "items/table_rows.h"
#include "session/folder_list.h"
#include "session/session_run.h"

namespace velmorix::session::detail {
namespace {

// The row key's columns, then a subfolder's name, container class, item
// count and whether it has subfolders.
constexpr uint16_t kAsked[] = {0x0037, 0x0042, 0x0E06, 0x0E08, 0x3001, 0x3613, 0x3602, 0x360A};
// Folders below this index are the file's fixed nodes and templates.
// Ties made by searching among untied tables or equal-count folders look at
// no more than this many of them.
constexpr size_t kMostUntied = 256;
constexpr uint32_t kFirstFolderIndex = 0x400;

uint32_t TypeOf(uint32_t nid) { return nid & 0x1F; }
bool IsFolder(const store::NodeEntry* n) {
  return n && (TypeOf(n->nid) == format::kNidTypeNormalFolder || TypeOf(n->nid) == format::kNidTypeSearchFolder);
}

struct FoundTable {
  uint32_t nid = 0;  // 0: no leaf page names it
  uint32_t bid = 0;
  bool hierarchy = false;
  items::TableRows rows;
};

bool HasColumn(const items::TableRows& t, uint16_t id) {
  return std::any_of(t.columns.begin(), t.columns.end(), [&](uint32_t tag) { return (tag >> 16) == id; });
}

// A row's stored text as an item record holds it: 8-bit as stored in an
// ANSI store, else converted from UTF-16LE; up to its first NUL.
std::string RowText(const store::Store& s, const Buffer& raw) {
  const Blob b = s.variant == store::Variant::Ansi ? Blob::Of(ByteSpan(raw)) : items::WideToUtf8Blob(ByteSpan(raw));
  return std::string(TextOf(b));
}

// The kind of list an item goes to, as RegisterItem sorts it.
ColumnSet ItemKind(const items::ItemRecord& r) {
  const std::string_view cls = TextOf(r.messageClass);
  auto starts = [&](std::string_view p) {
    if (cls.size() < p.size()) return false;
    for (size_t i = 0; i < p.size(); ++i) {
      if (std::tolower(static_cast<unsigned char>(cls[i])) != std::tolower(static_cast<unsigned char>(p[i]))) {
        return false;
      }
    }
    return true;
  };
  if (starts("IPM.Task")) return ColumnSet::Tasks;
  if (starts("IPM.StickyNote")) return ColumnSet::Notes;
  if (r.kind == items::kKindJournal) return ColumnSet::Journal;
  if (r.kind == items::kKindAppointment) return ColumnSet::Calendar;
  if (starts("IPM.Contact") || starts("IPM.DistList") || starts("IPM.AbchPerson")) return ColumnSet::Contacts;
  return ColumnSet::Mail;
}

// Messages that lie in no folder go to a folder whose contents table was
// lost when it is the only such folder of their kind whose item count
// exceeds the items below it, as many as that count leaves room for.
void FillByCounts(store::Store& s, store::NodeTree& tree, const std::unordered_set<const store::NodeEntry*>& withTable,
                  const std::atomic<bool>& stop) {
  items::ItemContext ctx(s);
  const bool ansi = s.variant == store::Variant::Ansi;
  auto build = [&](const store::NodeEntry* n) -> std::unique_ptr<items::ItemRecord> {
    try {
      return items::BuildItem(ctx, n, items::ReadScope::Listing);
    } catch (...) {
      return nullptr;
    }
  };
  struct Room {
    store::NodeEntry* folder;
    ColumnSet kind;
    int64_t free;
  };
  std::vector<Room> rooms;
  std::vector<store::NodeEntry*> loose;
  std::vector<store::NodeEntry*> stack;
  for (store::NodeEntry* t = tree.tail(); t; t = t->prevSibling) stack.push_back(t);
  while (!stack.empty()) {
    if (stop.load(std::memory_order_acquire)) return;
    store::NodeEntry* n = stack.back();
    stack.pop_back();
    for (store::NodeEntry* c = n->lastChild; c; c = c->prevSibling) stack.push_back(c);
    if (!n->dataBlock) continue;
    const uint32_t type = TypeOf(n->nid);
    if (type == format::kNidTypeNormalMessage && !IsFolder(n->parent)) {
      loose.push_back(n);
      continue;
    }
    if (type != format::kNidTypeNormalFolder || (n->nid >> 5) < kFirstFolderIndex || withTable.count(n)) continue;
    // The root's children without subfolders lie outside the top folder.
    bool subfolders = false;
    int64_t items = 0;
    for (const store::NodeEntry* c = n->firstChild; c; c = c->nextSibling) {
      subfolders = subfolders || TypeOf(c->nid) == format::kNidTypeNormalFolder;
      items += TypeOf(c->nid) == format::kNidTypeNormalMessage && c->dataBlock;
    }
    if (n->parent && (n->parent->nid >> 5) < kFirstFolderIndex && !subfolders) continue;
    auto record = build(n);
    if (!record || !record->folderCounts) continue;
    const int64_t free = int64_t{record->folderCounts->contentCount} - items;
    if (free > 0) rooms.push_back({n, ContainerKind(*record, ansi), free});
  }
  if (rooms.empty() || loose.empty()) return;
  for (store::NodeEntry* n : loose) {
    if (stop.load(std::memory_order_acquire)) return;
    auto record = build(n);
    if (!record || record->folderCounts || !record->messageClass.present()) continue;
    const ColumnSet kind = ItemKind(*record);
    Room* only = nullptr;
    size_t matches = 0;
    for (Room& r : rooms) {
      if (r.kind != kind) continue;
      ++matches;
      only = &r;
    }
    if (matches != 1 || only->free <= 0) continue;
    tree.Unlink(n);
    if (tree.AppendChild(only->folder, n)) --only->free;
    else tree.AppendTopLevel(n);
  }
}

}  // namespace

FoundTies TieFoundTables(store::Store& s, store::DeepScanResult& found, const std::atomic<bool>& stop) {
  FoundTies ties;
  std::unordered_set<uint32_t>& named = ties.named;
  store::NodeTree& tree = found.data->nodes;

  // The tables: those with a node, then the orphaned ones, with the NID a
  // stale leaf page gave their block when one did.
  std::vector<FoundTable> tables;
  auto read = [&](uint32_t nid, uint32_t bid, const store::BlockEntry* subnodeBlock) {
    store::SubnodeList subnodes;
    if (subnodeBlock) store::ReadSubnodeList(s, subnodeBlock, subnodes);
    std::optional<items::TableRows> rows;
    try {
      rows = items::ReadTableRows(s, bid, subnodeBlock ? &subnodes : nullptr, kAsked);
    } catch (...) {
      return;
    }
    if (!rows || rows->rows.empty()) return;
    FoundTable t;
    t.nid = nid;
    t.bid = bid;
    t.hierarchy = HasColumn(*rows, format::kPidTagContentCount) && HasColumn(*rows, format::kPidTagSubfolders);
    t.rows = std::move(*rows);
    tables.push_back(std::move(t));
  };
  std::vector<store::NodeEntry*> stack;
  for (store::NodeEntry* t = tree.head(); t; t = t->nextSibling) stack.push_back(t);
  while (!stack.empty()) {
    if (stop.load(std::memory_order_acquire)) return ties;
    const store::NodeEntry* n = stack.back();
    stack.pop_back();
    for (store::NodeEntry* c = n->firstChild; c; c = c->nextSibling) stack.push_back(c);
    const uint32_t type = TypeOf(n->nid);
    if ((type == format::kNidTypeHierarchyTable || type == format::kNidTypeContentsTable) && n->dataBlock && (n->nid >> 5) >= kFirstFolderIndex) {
      read(n->nid, n->dataBlock->bid, n->subnodeBlock);
    }
  }
  for (uint32_t bid : found.orphanTables) {
    if (stop.load(std::memory_order_acquire)) return ties;
    uint32_t nid = 0;
    auto it = std::lower_bound(found.namedBy.begin(), found.namedBy.end(), std::make_pair(bid & ~1u, 0u));
    for (; it != found.namedBy.end() && it->first == (bid & ~1u); ++it) {
      if (TypeOf(it->second) == format::kNidTypeHierarchyTable || TypeOf(it->second) == format::kNidTypeContentsTable) nid = it->second;
    }
    read(nid, bid, nullptr);
  }
  if (tables.empty()) return ties;

  // Each table's folder: its own NID's index, else the folder most of the
  // nodes it names already lie in.
  // Folder contexts found without a node, by name and item count.
  std::unordered_set<uint32_t> retired;  // orphan NIDs whose context a row took
  std::map<std::pair<std::string, uint32_t>, std::vector<store::NodeEntry*>> lostFolders;
  {
    items::ItemContext ctx(s);
    for (auto it = found.orphanNids.rbegin(); it != found.orphanNids.rend(); ++it) {
      if (stop.load(std::memory_order_acquire)) return ties;
      store::NodeEntry* n = tree.Find(*it);
      std::unique_ptr<items::ItemRecord> record;
      try {
        auto stamp = n && n->dataBlock ? items::ReadItemStamp(s, n->dataBlock->bid) : std::nullopt;
        if (stamp && stamp->folder) record = items::BuildItem(ctx, n, items::ReadScope::Listing);
      } catch (...) {
      }
      if (!record || !record->folderCounts) continue;
      lostFolders[{std::string(TextOf(record->displayName)), static_cast<uint32_t>(record->folderCounts->contentCount)}]
          .push_back(n);
    }
  }
  std::unordered_map<uint32_t, store::NodeEntry*> folderOf;  // table index -> folder node
  std::unordered_map<uint32_t, uint32_t> counts;              // folder NID -> item count its row gives
  std::map<uint32_t, int> withSubfolders;                     // folder NIDs whose row says they have subfolders
  auto folderNode = [&](uint32_t nid) -> store::NodeEntry* {
    store::NodeEntry* f = tree.Find(nid);
    return f && (f->dataBlock || ties.folders.count(nid)) ? f : nullptr;
  };
  // Hierarchy tables first, each newest first: the subfolders they name are
  // made known (a lost one's node made again) before contents tables are
  // tied to them.
  std::vector<size_t> order(tables.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    if (tables[a].hierarchy != tables[b].hierarchy) return tables[a].hierarchy;
    return tables[a].bid > tables[b].bid;
  });
  for (size_t i : order) {
    FoundTable& t = tables[i];
    store::NodeEntry* folder = nullptr;
    if (t.nid) {
      folder = folderNode((t.nid & ~0x1Fu) | format::kNidTypeNormalFolder);
      if (!folder) folder = folderNode((t.nid & ~0x1Fu) | format::kNidTypeSearchFolder);
    } else {
      std::map<store::NodeEntry*, size_t> votes;
      for (const items::TableRowCells& r : t.rows.rows) {
        const store::NodeEntry* n = tree.Find(r.rowId);
        if (n && IsFolder(n->parent)) ++votes[n->parent];
      }
      size_t most = 0;
      for (auto [f, v] : votes) {
        if (v > most) {
          most = v;
          folder = f;
        }
      }
    }
    if (folder) folderOf[i] = folder;
    if (!t.hierarchy) continue;
    // A hierarchy table without a folder still names its subfolders.
    for (const items::TableRowCells& r : t.rows.rows) {
      if (TypeOf(r.rowId) != format::kNidTypeNormalFolder || (r.rowId >> 5) < kFirstFolderIndex || !r.cells[4]) continue;
      if (ties.folders.count(r.rowId)) continue;
      uint32_t count = 0;
      if (r.cells[6]) count = ByteView(ByteSpan(*r.cells[6])).U32(0).value_or(0);
      store::NodeEntry* child = tree.Find(r.rowId);
      if (!child || !child->dataBlock) {
        // The folder's context found without its node, by name and count.
        auto lost = lostFolders.find({RowText(s, *r.cells[4]), count});
        if (lost != lostFolders.end() && !lost->second.empty()) {
          store::NodeEntry* orphan = lost->second.back();
          lost->second.pop_back();
          tree.Unlink(orphan);
          retired.insert(orphan->nid);
          if (child) child->dataBlock = orphan->dataBlock;
          else child = tree.Create(r.rowId, nullptr, orphan->dataBlock);
        }
      }
      if (!child) child = tree.Create(r.rowId, nullptr, nullptr);
      if (folder && child != folder && !(IsFolder(child->parent) && child->parent->dataBlock)) {
        tree.Unlink(child);
        if (!tree.AppendChild(folder, child)) tree.AppendTopLevel(child);
      } else if (!child->parent && !child->topLevel) {
        tree.AppendTopLevel(child);
      }
      ties.folders[r.rowId] = {*r.cells[4], r.cells[5] ? *r.cells[5] : Buffer()};
      if (r.cells[6]) counts[r.rowId] = count;
      if (r.cells[7] && !r.cells[7]->empty() && (*r.cells[7])[0] != std::byte{0}) withSubfolders.emplace(r.rowId, 1);
    }
  }
  // A hierarchy table still without a folder belongs to a folder whose row
  // says it has subfolders (or the root folder) and whose own table is
  // unknown, and that it does not name itself: the nearest such folder by
  // block ID, as a folder's context and tables are written together;
  // nearest pairs first.
  std::unordered_set<const store::NodeEntry*> parents;
  for (const auto& [i, folder] : folderOf) {
    if (tables[i].hierarchy) parents.insert(folder);
  }
  // Bounded: a file of many untied tables or such folders ties none this way.
  const size_t untied = static_cast<size_t>(std::count_if(tables.begin(), tables.end(), [&](const FoundTable& t) {
    return t.hierarchy && !folderOf.count(static_cast<uint32_t>(&t - tables.data()));
  }));
  std::vector<store::NodeEntry*> candidates;
  if (untied <= kMostUntied && withSubfolders.size() <= kMostUntied) {
    if (store::NodeEntry* root = tree.Find(format::kNidRootFolder); root && root->dataBlock) candidates.push_back(root);
    for (const auto& entry : withSubfolders) {
      if (store::NodeEntry* folder = tree.Find(entry.first)) candidates.push_back(folder);
    }
  }
  struct Pairing {
    uint64_t distance;
    size_t table;
    store::NodeEntry* folder;
  };
  std::vector<Pairing> pairings;
  for (size_t i = 0; i < tables.size() && !candidates.empty(); ++i) {
    const FoundTable& t = tables[i];
    if (!t.hierarchy || folderOf.count(i)) continue;
    for (store::NodeEntry* folder : candidates) {
      if (parents.count(folder)) continue;
      const bool namesItself = std::any_of(t.rows.rows.begin(), t.rows.rows.end(),
                                           [&](const items::TableRowCells& r) { return r.rowId == folder->nid; });
      if (namesItself) continue;
      const uint64_t bid = folder->dataBlock ? folder->dataBlock->bid : 0;
      pairings.push_back({bid ? (bid > t.bid ? bid - t.bid : t.bid - bid) : UINT64_MAX, i, folder});
    }
  }
  std::stable_sort(pairings.begin(), pairings.end(), [](const Pairing& a, const Pairing& b) { return a.distance < b.distance; });
  for (const Pairing& p : pairings) {
    if (stop.load(std::memory_order_acquire)) break;
    if (folderOf.count(p.table) || parents.count(p.folder)) continue;
    store::NodeEntry* folder = p.folder;
    folderOf[p.table] = folder;
    parents.insert(folder);
    for (const items::TableRowCells& r : tables[p.table].rows.rows) {
      store::NodeEntry* child = TypeOf(r.rowId) == format::kNidTypeNormalFolder ? tree.Find(r.rowId) : nullptr;
      if (!child || child == folder || (IsFolder(child->parent) && child->parent->dataBlock)) continue;
      tree.Unlink(child);
      if (!tree.AppendChild(folder, child)) tree.AppendTopLevel(child);
    }
  }

  for (size_t i = 0; i < tables.size(); ++i) {
    if (!tables[i].hierarchy || folderOf.count(i)) continue;
    std::vector<uint32_t>& group = ties.siblings.emplace_back();
    for (const items::TableRowCells& r : tables[i].rows.rows) group.push_back(r.rowId);
  }

  // A contents table still without a folder goes to a folder without a
  // table whose item count, as its parent's hierarchy row gives it, is the
  // table's row count.
  std::map<uint32_t, std::vector<uint32_t>> byCount;  // item count -> folder NIDs, ascending
  for (const auto& [nid, n] : counts) byCount[n].push_back(nid);
  for (auto& [n, nids] : byCount) std::sort(nids.begin(), nids.end());
  std::unordered_set<const store::NodeEntry*> holding;
  for (const auto& [i, folder] : folderOf) {
    if (!tables[i].hierarchy) holding.insert(folder);
  }
  for (size_t i : order) {
    const FoundTable& t = tables[i];
    if (t.hierarchy || folderOf.count(i)) continue;
    // Among folders of equal count, the one whose context was written with
    // the table: a folder's context, hierarchy and contents tables are
    // written together, so their block IDs lie close.
    store::NodeEntry* nearest = nullptr;
    uint64_t distance = UINT64_MAX;
    if (stop.load(std::memory_order_acquire)) break;
    auto same = byCount.find(static_cast<uint32_t>(t.rows.rows.size()));
    if (same == byCount.end()) continue;
    size_t looked = 0;
    for (uint32_t nid : same->second) {
      if (++looked > kMostUntied) break;
      store::NodeEntry* f = tree.Find(nid);
      if (!f || holding.count(f)) continue;
      const uint64_t d = f->dataBlock ? (f->dataBlock->bid > t.bid ? f->dataBlock->bid - t.bid : t.bid - f->dataBlock->bid)
                                      : UINT64_MAX - 1;
      if (d < distance || (d == distance && nearest && f->nid < nearest->nid)) {
        distance = d;
        nearest = f;
      }
    }
    if (!nearest) continue;
    folderOf[i] = nearest;
    holding.insert(nearest);
  }

  // Found message contexts by row key, those no node names first: a row
  // whose message node is lost takes one of those; a context several nodes
  // share already (as some writers store equal messages) may serve one more.
  std::unordered_map<uint64_t, std::vector<store::NodeEntry*>> byKey;
  std::unordered_map<uint64_t, const store::BlockEntry*> shared;
  bool indexed = false;
  auto index = [&]() {
    indexed = true;
    std::unordered_map<uint32_t, unsigned> users;  // data BID -> nodes naming it
    std::vector<store::NodeEntry*> all;
    std::vector<store::NodeEntry*> walk;
    for (store::NodeEntry* t = tree.head(); t; t = t->nextSibling) walk.push_back(t);
    while (!walk.empty()) {
      store::NodeEntry* n = walk.back();
      walk.pop_back();
      for (store::NodeEntry* c = n->firstChild; c; c = c->nextSibling) walk.push_back(c);
      if (TypeOf(n->nid) == format::kNidTypeNormalMessage && n->dataBlock) {
        ++users[n->dataBlock->bid];
        all.push_back(n);
      }
    }
    const std::unordered_set<uint32_t> orphans(found.orphanNids.begin(), found.orphanNids.end());
    for (store::NodeEntry* n : all) {
      if (stop.load(std::memory_order_acquire)) return;
      std::optional<items::ItemStamp> st;
      try {
        st = items::ReadItemStamp(s, n->dataBlock->bid);
      } catch (...) {
      }
      if (!st || !st->rowKey) continue;
      if (orphans.count(n->nid)) byKey[st->rowKey].push_back(n);
      else if (users[n->dataBlock->bid] > 1) shared.try_emplace(st->rowKey, n->dataBlock);
    }
    // Taken from the back: the first found first.
    for (auto& [key, list] : byKey) std::reverse(list.begin(), list.end());
  };

  // Newest tables first: a NID goes to the folder whose latest table names it.
  std::unordered_set<uint32_t> tied;
  auto linkBelow = [&](store::NodeEntry* folder, store::NodeEntry* n) {
    if (IsFolder(n->parent) && n->parent->dataBlock) return;  // a leaf page's parent stands
    tree.Unlink(n);
    if (!tree.AppendChild(folder, n)) tree.AppendTopLevel(n);
  };
  for (size_t i : order) {
    auto f = folderOf.find(i);
    if (f == folderOf.end()) continue;
    store::NodeEntry* folder = f->second;
    const FoundTable& t = tables[i];
    for (const items::TableRowCells& r : t.rows.rows) {
      if (stop.load(std::memory_order_acquire)) return ties;
      const uint32_t type = TypeOf(r.rowId);
      if (!tied.insert(r.rowId).second) continue;
      if (t.hierarchy) {
        if (type != format::kNidTypeNormalFolder && type != format::kNidTypeSearchFolder) continue;
        if (store::NodeEntry* child = tree.Find(r.rowId); child && child != folder) linkBelow(folder, child);
        continue;
      }
      if (type != format::kNidTypeNormalMessage) continue;
      store::NodeEntry* n = tree.Find(r.rowId);
      if (n && n->dataBlock) {
        linkBelow(folder, n);
        named.insert(r.rowId);
        continue;
      }
      if (!t.rows.cellsRead) continue;
      if (!indexed) index();
      const uint64_t key = items::MessageRowKey(r.cells[0], r.cells[1], r.cells[2], r.cells[3]);
      if (!key) continue;
      const store::BlockEntry* data = nullptr;
      if (auto k = byKey.find(key); k != byKey.end() && !k->second.empty()) {
        store::NodeEntry* orphan = k->second.back();
        k->second.pop_back();
        data = orphan->dataBlock;
        tree.Unlink(orphan);
        retired.insert(orphan->nid);
      } else if (auto sh = shared.find(key); sh != shared.end()) {
        data = sh->second;
      }
      if (!data) continue;
      if (!n) {
        n = tree.Create(r.rowId, nullptr, data);
      } else {
        n->dataBlock = data;
      }
      tree.Unlink(n);
      if (!tree.AppendChild(folder, n)) tree.AppendTopLevel(n);
      named.insert(r.rowId);
    }
  }
  if (!retired.empty()) {
    std::erase_if(found.orphanNids, [&](uint32_t nid) { return retired.count(nid) != 0; });
  }
  std::unordered_set<const store::NodeEntry*> withTable;
  for (const auto& [i, folder] : folderOf) {
    if (tables[i].hierarchy) continue;
    withTable.insert(folder);
    ties.tabled.insert(folder->nid);
  }
  FillByCounts(s, tree, withTable, stop);
  return ties;
}

}  // namespace velmorix::session::detail
