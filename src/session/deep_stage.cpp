// The deep scan stage: after the normal stages, when they failed or met
// damage (asked) or always (chosen), the file is scanned page by page, the
// indexes are rebuilt from what was found and everything not listed yet is
// placed: folders under their parent when it is known, else under the top
// folder; items in their folder when it is known, else in "Recovered Items".
#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "format/vocabulary.h"
#include "items/items.h"
#include "session/folder_list.h"
#include "session/session.h"
#include "session/session_data.h"
#include "session/session_run.h"
#include "store/deep_scan.h"
#include "store/store.h"

namespace velmorix::session {

namespace {
constexpr uint32_t kFirstFolderNid = 0x8022;
constexpr const char* kDeepScanStatus = "Deep Scanning File for Items...";

// The root folder's subfolder that looks most like the top folder: the one
// with the most subfolders, then the one holding the most items. Without a
// root folder, the same among the folders whose parent is unknown that have
// subfolders, else the store's first folder.
uint32_t LikeliestTopFolder(const store::Store& s) {
  const store::NodeEntry* root = store::FindNode(s, format::kNidRootFolder);
  uint32_t best = 0;
  std::pair<size_t, size_t> most{0, 0};
  for (const store::NodeEntry* c = root ? root->firstChild : s.data->nodes.head(); c; c = c->nextSibling) {
    if ((c->nid & 0x1F) != format::kNidTypeNormalFolder) continue;
    std::pair<size_t, size_t> n{0, 0};
    for (const store::NodeEntry* g = c->firstChild; g; g = g->nextSibling) {
      ++((g->nid & 0x1F) == format::kNidTypeNormalFolder ? n.first : n.second);
    }
    // Among folders of unknown parent only one with subfolders is taken:
    // any other may be one of the top folder's own.
    if (n > most && (root || n.first > 0)) {
      most = n;
      best = c->nid;
    }
  }
  // Else the first folder a store gets, which mail clients make the top one.
  if (!best && !root && store::FindNode(s, kFirstFolderNid)) best = kFirstFolderNid;
  return best;
}

// Where a node lies relative to the top folder.
enum class Zone : uint8_t { Top, Unknown, Outside };

}  // namespace

void RecoverySession::MaybeRunDeepScan() {
  const RunOutcome o = outcome();
  if (o == RunOutcome::Stopped || o == RunOutcome::OpenFailed || o == RunOutcome::Aborted) return;
  if ((o == RunOutcome::Failed || failureCode() != 0) && !damageFound()) {
    // A failure is damage when the file is a store at all: a text file
    // holds nothing a deep scan could find.
    store::Store s;
    s.stopRequest = &stop_;
    bool store = false;
    try {
      store = store::OpenStore(s, path_, false) == 0 && store::LooksLikeStore(s);
    } catch (...) {
    }
    if (!store) return;
    damageFound_.store(true, std::memory_order_release);
  }
  if (deepScan == DeepScanChoice::Never) return;
  if (deepScan == DeepScanChoice::Ask) {
    if (!damageFound()) return;
    Message ask;
    ask.caption = kCaption;
    ask.text = kDeepScanQuestion;
    ask.icon = MessageIcon::Question;
    ask.buttons = MessageButtons::YesNo;
    if (view_.ShowMessage(ask) != MessageAnswer::Yes) return;
  }
  RunDeepScan();
}

void RecoverySession::RunDeepScan() {
  // On a file the normal stages found intact, what only the deep scan finds
  // was deleted.
  const bool deletedOnly = !damageFound() && failureCode() == 0;
  Run run;
  NewStore(run);
  if (store::OpenStore(*run.store, path_) == -1) return;

  // The normal stages' wrap-up set the stop request; a new one ends this stage.
  stop_.store(false, std::memory_order_release);
  SetState(SessionState::Scanning);
  if (outcome() == RunOutcome::Failed) view_.ApplyScanningLayout();
  outcome_.store(RunOutcome::None, std::memory_order_release);
  view_.EnableControl(kBackButton, false);
  view_.ShowControl(kBackButton, false);
  view_.ShowControl(kStopButton, true);
  view_.EnableControl(kStopButton, true);
  view_.ShowControl(kStatusLine, true);
  view_.ShowControl(kProgressBar, true);
  view_.EnableControl(kProgressBar, true);
  view_.SetControlText(kStatusLine, kDeepScanStatus);
  view_.SetProgressRange(0, 100);
  int shown = -1;
  auto progress = [&](uint64_t done, uint64_t total) {
    const int percent = total ? static_cast<int>(done * 100 / total) : 100;
    if (percent != shown) view_.SetProgressPosition(shown = percent);
  };

  store::DeepScanResult found;
  try {
    found = store::DeepScan(*run.store, data_->storeData.get(), progress);
  } catch (...) {
    found.report.completed = false;  // a read error: what the lists hold stays
  }
  if (stop_.load(std::memory_order_acquire)) {
    outcome_.store(RunOutcome::Stopped, std::memory_order_release);
    return;
  }
  if (found.report.completed && found.data) {
    run.store->data = found.data;
    if (data_->variant() == store::Variant::Unknown) data_->SetVariant(run.store->variant);
    run.ansi = data_->variant() == store::Variant::Ansi;
    // On an intact file the indexes place everything; a deleted item's
    // former folder is what a stale index page names.
    detail::FoundTies ties;
    try {
      if (!deletedOnly) ties = detail::TieFoundTables(*run.store, found, stop_);
    } catch (...) {
      // The tree stays as the scan left it, or partly tied.
    }
    // Readers that open from here on find the items placed below.
    std::atomic_store(&data_->storeData, found.data);
    if (data_->Names()->empty()) FindNamedPropertyMap(run, found.orphanNids, found.orphanSubnodeLists);
    run.ctx = std::make_unique<items::ItemContext>(*run.store, data_->Names());
    view_.SetControlText(kFolderCountLabel, "No. of Folders Found");
    view_.SetControlText(kMailCountLabel, "No. of Mails Found");
    view_.InsertFolderPath(detail::kTopFolderPath);
    try {
      PlaceDeepScanFinds(run, found.orphanNids, deletedOnly, ties);
    } catch (...) {
      // What was placed before the fault stays listed.
    }
    if (stop_.load(std::memory_order_acquire)) {
      outcome_.store(RunOutcome::Stopped, std::memory_order_release);
      return;
    }
    deepScanRan_.store(true, std::memory_order_release);
  }

  ShowFinished();
}

void RecoverySession::FindNamedPropertyMap(Run& run, const std::vector<uint32_t>& orphanNids,
                                           const std::vector<uint32_t>& orphanSubnodeLists) {
  // The map's node as a stale index page names it, else a found property
  // context that holds the map's streams. Clients keep large streams in
  // subnodes: a found context whose streams do not read is tried with the
  // subnode lists no node names, the nearest in the file first (a writer
  // puts a node's blocks side by side).
  constexpr size_t kListsTried = 64;
  items::NamedPropertyMap map;
  try {
    if (items::LoadNamedPropertyMap(*run.store, map) == 0) {
      for (uint32_t nid : orphanNids) {
        if (stop_.load(std::memory_order_acquire)) return;
        const store::NodeEntry* node = store::FindNode(*run.store, nid);
        if (!node || !node->dataBlock) continue;
        auto stamp = items::ReadItemStamp(*run.store, node->dataBlock->bid);
        if (!stamp || !stamp->nameMap) continue;
        if (items::LoadNamedPropertyMap(*run.store, node, map) == 1) break;
        std::vector<std::pair<uint64_t, const store::BlockEntry*>> near;
        for (uint32_t bid : orphanSubnodeLists) {
          const store::BlockEntry* b = run.store->data->blocks.FindExact(bid);
          if (!b) continue;
          const uint64_t at = node->dataBlock->offset;
          near.emplace_back(b->offset > at ? b->offset - at : at - b->offset, b);
        }
        const size_t tried = std::min(near.size(), kListsTried);
        std::partial_sort(near.begin(), near.begin() + static_cast<std::ptrdiff_t>(tried), near.end(),
                          [](const auto& a, const auto& b) { return a.first < b.first; });
        bool loaded = false;
        for (size_t i = 0; i < tried && !loaded; ++i) {
          store::NodeEntry withList = *node;
          withList.subnodeBlock = near[i].second;
          loaded = items::LoadNamedPropertyMap(*run.store, &withList, map) == 1;
        }
        if (loaded) break;
      }
    }
  } catch (...) {
    return;
  }
  if (!map.empty()) data_->PublishFoundNames(std::move(map));
}

void RecoverySession::PlaceDeepScanFinds(Run& run, const std::vector<uint32_t>& orphanNids, bool deletedOnly,
                                         const detail::FoundTies& ties) {
  store::Store& s = *run.store;

  // What the lists hold already: those nodes, the items among them apart.
  std::unordered_set<uint32_t> listed;
  std::vector<uint32_t> listedItems;
  auto takeFolder = [&](const FolderRecord& f) {
    for (const ListedItem* m = f.FirstMail(); m; m = m->Next()) {
      if (listed.insert(m->nodeId).second) listedItems.push_back(m->nodeId);
    }
    for (const ListedItem* p = f.FirstPlaced(); p; p = p->NextPlaced()) {
      if (listed.insert(p->nodeId).second) listedItems.push_back(p->nodeId);
    }
  };
  takeFolder(data_->topFolder());
  for (const FolderRecord* f = data_->firstFolder(); f; f = f->Next()) {
    listed.insert(f->folderNid);
    takeFolder(*f);
  }
  for (const ListedChain* chain :
       {&data_->contacts(), &data_->calendar(), &data_->tasks(), &data_->journal(), &data_->notes()}) {
    for (const ListedItem* e = chain->head(); e; e = e->Next()) {
      if (listed.insert(e->nodeId).second) listedItems.push_back(e->nodeId);
    }
  }
  const std::unordered_set<uint32_t> orphans(orphanNids.begin(), orphanNids.end());

  // The top folder: as the normal stages found it, else as the message store
  // names it, else the likeliest subfolder of the root folder.
  uint32_t topNid = topFolderNid_;
  if (!topNid) {
    topNid = format::kNidDefaultTopFolder;
    try {
      if (auto info = items::BuildItem(*run.ctx, store::FindNode(s, format::kNidMessageStore)); info && info->storeInfo) {
        if (auto nid = ByteView(info->storeInfo->subtreeEntryId.bytes()).U32(20)) topNid = *nid;
      }
    } catch (...) {
    }
    const store::NodeEntry* top = store::FindNode(s, topNid);
    if (!top || (topNid & 0x1F) != format::kNidTypeNormalFolder || !top->parent || top->parent->nid != format::kNidRootFolder) {
      if (const uint32_t likeliest = LikeliestTopFolder(s)) topNid = likeliest;
      else if (!top) topNid = 0;
    }
  }
  listed.insert(topNid);

  std::unordered_map<std::string, FolderRecord*> made;  // folder records this stage made, by path
  auto addFolder = [&](const std::string& path, uint32_t nid, ColumnSet kind) -> FolderRecord& {
    std::string shownPath = detail::ShownPath(path);
    if (auto it = made.find(shownPath); it != made.end() && nid == 0) return *it->second;
    view_.InsertFolderPath(shownPath);
    const int folders = folderCount_.fetch_add(1, std::memory_order_acq_rel) + 1;
    view_.SetControlText(kFolderCount, std::to_string(folders));
    deepScanAdded_.fetch_add(1, std::memory_order_acq_rel);
    FolderRecord& folder = data_->AddFolder(shownPath, nid, kind);
    made.emplace(std::move(shownPath), &folder);
    ShowKindChange(folder);
    return folder;
  };
  auto shownText = [&](const Blob* b) {
    const std::string_view v = b ? detail::TextOf(*b) : std::string_view();
    return run.ansi ? Cp1252ToUtf8(v) : std::string(v);
  };

  // Folder paths below the top folder, by NID: the listed folders', and on
  // an intact file those of the deleted folders a stale index page names.
  std::unordered_map<uint32_t, std::string> formerPath;
  if (deletedOnly) {
    const std::string_view top = detail::kTopFolderPath;
    for (const FolderRecord* f = data_->firstFolder(); f; f = f->Next()) {
      if (f->folderNid && f->folderPath.starts_with(top)) {
        formerPath.try_emplace(f->folderNid, f->folderPath.substr(top.size()));
      }
    }
    formerPath[topNid] = "";
  }

  // Items only the deep scan found, with the folder record they go to (none:
  // "Recovered Items") and the former folder path of a deleted one.
  struct Found {
    const store::NodeEntry* node;
    FolderRecord* parent;
    const std::string* former;
  };
  std::vector<Found> found;

  // Pre-order over the rebuilt tree, each node with the zone it lies in.
  std::vector<std::pair<const store::NodeEntry*, Zone>> stack;
  const store::NodeTree& tree = s.data->nodes;
  std::vector<const store::NodeEntry*> tops;
  for (const store::NodeEntry* t = tree.head(); t; t = t->nextSibling) tops.push_back(t);
  std::unordered_set<uint32_t> outside;  // the top folder's siblings when the root folder is lost
  for (const std::vector<uint32_t>& group : ties.siblings) {
    if (std::find(group.begin(), group.end(), topNid) == group.end()) continue;
    for (uint32_t nid : group) {
      if (nid != topNid) outside.insert(nid);
    }
  }
  for (auto it = tops.rbegin(); it != tops.rend(); ++it) {
    const uint32_t nid = (*it)->nid;
    stack.emplace_back(*it, nid == format::kNidRootFolder || outside.count(nid) ? Zone::Outside
                            : nid == topNid                           ? Zone::Top
                                                                      : Zone::Unknown);
  }
  while (!stack.empty()) {
    if (stop_.load(std::memory_order_acquire)) return;
    auto [node, zone] = stack.back();
    stack.pop_back();
    const Zone below = node->nid == topNid ? Zone::Top : zone;
    for (const store::NodeEntry* c = node->lastChild; c; c = c->prevSibling) stack.emplace_back(c, below);

    const uint32_t type = node->nid & 0x1F;
    const auto row = ties.folders.find(node->nid);
    const bool named = row != ties.folders.end() && type == format::kNidTypeNormalFolder;
    if (zone == Zone::Outside || (!node->dataBlock && !named) || listed.count(node->nid) ||
        node->nid == format::kNidRootFolder ||
        (type != format::kNidTypeNormalFolder && type != format::kNidTypeSearchFolder && type != format::kNidTypeNormalMessage)) {
      continue;
    }
    const bool orphan = orphans.count(node->nid) != 0;
    const std::string* former = nullptr;
    if (deletedOnly && node->parent) {
      if (auto it = formerPath.find(node->parent->nid); it != formerPath.end()) former = &it->second;
    }
    if ((type == format::kNidTypeNormalFolder || type == format::kNidTypeSearchFolder) && !orphan) {
      std::unique_ptr<items::ItemRecord> record;
      try {
        if (node->dataBlock) record = items::BuildItem(*run.ctx, node, items::ReadScope::Listing);
      } catch (...) {
        record.reset();
      }
      nodesVisited_.fetch_add(1, std::memory_order_acq_rel);
      if ((!record || !record->folderCounts) && named) {
        // The folder's own context is lost: its parent's hierarchy table
        // row gives its name and class.
        record = std::make_unique<items::ItemRecord>();
        const ByteSpan name(row->second.name);
        record->displayName = run.ansi ? Blob::Of(name) : items::WideToUtf8Blob(name);
        record->messageClass = Blob::Of(ByteSpan(row->second.containerClass));
        record->folderCounts = std::make_unique<items::FolderCounts>();
      }
      if (!record) continue;
      if (record->folderCounts) {
        // A folder found only as a property context has no NID its items
        // could name: nothing would lie in it.
        if (orphan) continue;
        listed.insert(node->nid);
        const std::string name = shownText(&record->displayName) + '\\';
        if (deletedOnly) {
          // A deleted folder is no folder of the file now: its items go
          // below "Recovered Deleted Items" under its former path.
          formerPath.try_emplace(node->nid, (former ? *former : std::string()) + name);
          continue;
        }
        FolderRecord* parent = nullptr;
        if (node->parent) {
          parent = node->parent->nid == topNid ? data_->topFolderRecord() : data_->FindFolderByNid(node->parent->nid);
        }
        const std::string base = parent ? parent->folderPath : std::string(detail::kTopFolderPath);
        addFolder(base + name, node->nid, detail::ContainerKind(*record, run.ansi));
        continue;
      }
    }
    FolderRecord* parent = nullptr;
    if (!deletedOnly && node->parent) {
      parent = node->parent->nid == topNid ? data_->topFolderRecord() : data_->FindFolderByNid(node->parent->nid);
    }
    found.push_back({node, parent, former});
  }
  if (found.empty()) return;

  // Stored copies of one item are listed once: a property context
  // byte-identical to a listed one's is the same item, and of the versions
  // with one search key or Internet message ID the older ones are stale.
  // Copies of one time are distinct items (a mail copied or sent again).
  // Content hash -> whether every listed item holding it may be an item of
  // its own: none lies below a folder whose found contents table leaves it
  // out (there it lies under a damaged NID).
  std::unordered_map<uint64_t, bool> contents;
  std::unordered_map<uint64_t, uint64_t> newest;  // key hash -> newest modification time listed
  auto stampOf = [&](const store::NodeEntry* node) -> std::optional<items::ItemStamp> {
    if (!node || !node->dataBlock) return std::nullopt;
    try {
      return items::ReadItemStamp(s, node->dataBlock->bid);
    } catch (...) {
      return std::nullopt;
    }
  };
  auto remember = [&](const items::ItemStamp& st, const store::NodeEntry* node) {
    const bool own = ties.named.count(node->nid) || !node->parent || !ties.tabled.count(node->parent->nid);
    auto [held, fresh] = contents.try_emplace(st.contentHash, own);
    if (!fresh) held->second = held->second && own;
    for (uint64_t key : {st.searchKey, st.messageId}) {
      if (!key) continue;
      auto [it, inserted] = newest.try_emplace(key, st.modified);
      if (!inserted) it->second = std::max(it->second, st.modified);
    }
  };
  for (uint32_t nid : listedItems) {
    if (stop_.load(std::memory_order_acquire)) return;
    const store::NodeEntry* node = store::FindNode(s, nid);
    if (auto st = stampOf(node)) remember(*st, node);
  }
  std::vector<std::optional<items::ItemStamp>> stamps(found.size());
  std::unordered_map<uint64_t, uint64_t> newestFound;  // the same over the found items
  for (size_t i = 0; i < found.size(); ++i) {
    if (stop_.load(std::memory_order_acquire)) return;
    stamps[i] = stampOf(found[i].node);
    if (!stamps[i]) continue;
    for (uint64_t key : {stamps[i]->searchKey, stamps[i]->messageId}) {
      if (!key) continue;
      auto [it, inserted] = newestFound.try_emplace(key, stamps[i]->modified);
      if (!inserted) it->second = std::max(it->second, stamps[i]->modified);
    }
  }
  // On a damaged file a node a contents table names is an item of its own
  // even when its context equals another's (some writers store equal
  // messages once).
  auto stale = [&](const items::ItemStamp& st, uint32_t nid) {
    // The same context listed under a damaged NID is this item.
    if (auto held = contents.find(st.contentHash);
        held != contents.end() && (!ties.named.count(nid) || !held->second)) {
      return true;
    }
    for (uint64_t key : {st.searchKey, st.messageId}) {
      if (!key) continue;
      if (auto it = newest.find(key); it != newest.end() && st.modified < it->second) return true;
      if (auto it = newestFound.find(key); it != newestFound.end() && st.modified < it->second) return true;
    }
    return false;
  };

  FolderRecord* recovered = nullptr;
  auto recoveredItems = [&]() -> FolderRecord& {
    if (!recovered) recovered = &addFolder(kRecoveredItemsPath, 0, ColumnSet::Mail);
    return *recovered;
  };
  for (size_t i = 0; i < found.size(); ++i) {
    if (stop_.load(std::memory_order_acquire)) return;
    const Found& f = found[i];
    if (stamps[i]) {
      if (stale(*stamps[i], f.node->nid)) continue;
      remember(*stamps[i], f.node);
    }
    std::unique_ptr<items::ItemRecord> record;
    try {
      record = items::BuildItem(*run.ctx, f.node, items::ReadScope::Listing);
    } catch (...) {
      record.reset();
    }
    nodesVisited_.fetch_add(1, std::memory_order_acq_rel);
    if (!record || record->folderCounts) continue;
    if (orphans.count(f.node->nid) && !record->messageClass.present()) continue;  // an attachment's or other context
    run.placeInto = f.parent;
    if (deletedOnly) {
      // Made when the first item is placed in it, below its parent record.
      std::string path = kRecoveredDeletedItemsPath;
      run.placeInto = &addFolder(path, 0, ColumnSet::Mail);
      if (f.former && !f.former->empty()) {
        size_t from = 0;
        for (size_t at; (at = f.former->find('\\', from)) != std::string::npos; from = at + 1) {
          path += f.former->substr(from, at + 1 - from);
          run.placeInto = &addFolder(path, 0, ColumnSet::Mail);
        }
      }
    }
    // "Recovered Items" is made when the first item is placed in it.
    run.placeLazily = recoveredItems;
    const bool placed = RegisterItem(run, *record, f.node);
    run.placeInto = nullptr;
    run.placeLazily = nullptr;
    listed.insert(f.node->nid);
    if (placed) deepScanAdded_.fetch_add(1, std::memory_order_acq_rel);
  }
}

}  // namespace velmorix::session
