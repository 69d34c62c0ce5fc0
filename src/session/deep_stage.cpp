// The deep scan stage: after the normal stages, when they failed or met
// damage (asked) or always (chosen), the file is scanned page by page, the
// indexes are rebuilt from what was found and everything not listed yet is
// placed: folders under their parent when it is known, else under the top
// folder; items in their folder when it is known, else in "Recovered Items".
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "items/items.h"
#include "session/folder_list.h"
#include "session/session.h"
#include "session/session_data.h"
#include "session/session_run.h"
#include "store/deep_scan.h"
#include "store/store.h"

namespace velmorix::session {

namespace {

constexpr uint32_t kMessageStoreNid = 0x21;
constexpr uint32_t kRootFolderNid = 0x122;
constexpr uint32_t kDefaultTopFolderNid = 0x2142;
constexpr const char* kDeepScanStatus = "Deep Scanning File for Items...";

// What identifies a mail row to the eye: its texts and date. A stale copy of
// a listed mail has the same.
std::string RowKey(std::string_view sender, std::string_view subject, std::string_view to, uint64_t date) {
  std::string key;
  key.reserve(sender.size() + subject.size() + to.size() + 40);
  for (std::string_view t : {sender, subject, to}) {
    key += std::to_string(t.size());
    key += ':';
    key += t;
  }
  key += std::to_string(date);
  return key;
}

std::string RowKey(const ListedItem& m) { return RowKey(m.Text(0), m.Text(1), m.Text(2), m.date); }

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
    // Readers that open from here on find the items placed below.
    std::atomic_store(&data_->storeData, found.data);
    if (!namesLoaded_) {
      try {
        items::LoadNamedPropertyMap(*run.store, data_->names);
        namesLoaded_ = true;
      } catch (...) {
      }
    }
    run.ctx = std::make_unique<items::ItemContext>(*run.store, &data_->names);
    view_.SetControlText(kFolderCountLabel, "No. of Folders Found");
    view_.SetControlText(kMailCountLabel, "No. of Mails Found");
    view_.InsertFolderPath(detail::kTopFolderPath);
    try {
      PlaceDeepScanFinds(run, found.orphanNids);
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

void RecoverySession::PlaceDeepScanFinds(Run& run, const std::vector<uint32_t>& orphanNids) {
  store::Store& s = *run.store;

  // What the lists hold already: those nodes, and the rows of the mails.
  std::unordered_set<uint32_t> listed;
  std::unordered_set<std::string> mailRows;
  auto takeFolder = [&](const FolderRecord& f) {
    for (const ListedItem* m = f.FirstMail(); m; m = m->Next()) {
      listed.insert(m->nodeId);
      mailRows.insert(RowKey(*m));
    }
    for (const ListedItem* p = f.FirstPlaced(); p; p = p->NextPlaced()) listed.insert(p->nodeId);
  };
  takeFolder(data_->topFolder());
  for (const FolderRecord* f = data_->firstFolder(); f; f = f->Next()) {
    listed.insert(f->folderNid);
    takeFolder(*f);
  }
  for (const ListedChain* chain :
       {&data_->contacts(), &data_->calendar(), &data_->tasks(), &data_->journal(), &data_->notes()}) {
    for (const ListedItem* e = chain->head(); e; e = e->Next()) listed.insert(e->nodeId);
  }
  const std::unordered_set<uint32_t> orphans(orphanNids.begin(), orphanNids.end());

  // The top folder: as the normal stages found it, else as the message store
  // names it.
  uint32_t topNid = topFolderNid_;
  if (!topNid) {
    topNid = kDefaultTopFolderNid;
    if (auto info = items::BuildItem(*run.ctx, store::FindNode(s, kMessageStoreNid)); info && info->storeInfo) {
      if (auto nid = ByteView(info->storeInfo->subtreeEntryId.bytes()).U32(20)) topNid = *nid;
    }
    if (!store::FindNode(s, topNid)) topNid = 0;
  }
  if (!topNid) {
    // The store's own record is lost: the root folder's subfolder with the
    // most children is taken for the top folder.
    size_t most = 0;
    if (const store::NodeEntry* root = store::FindNode(s, kRootFolderNid)) {
      for (const store::NodeEntry* c = root->firstChild; c; c = c->nextSibling) {
        size_t n = 0;
        for (const store::NodeEntry* g = c->firstChild; g; g = g->nextSibling) ++n;
        if ((c->nid & 0x1F) == 0x02 && n > most) {
          most = n;
          topNid = c->nid;
        }
      }
    }
  }
  listed.insert(topNid);

  FolderRecord* recovered = nullptr;
  auto addFolder = [&](const std::string& path, uint32_t nid, ColumnSet kind) -> FolderRecord& {
    std::string shownPath = detail::ShownPath(path);
    view_.InsertFolderPath(shownPath);
    const int folders = folderCount_.fetch_add(1, std::memory_order_acq_rel) + 1;
    view_.SetControlText(kFolderCount, std::to_string(folders));
    deepScanAdded_.fetch_add(1, std::memory_order_acq_rel);
    FolderRecord& folder = data_->AddFolder(std::move(shownPath), nid, kind);
    ShowKindChange(folder);
    return folder;
  };
  auto recoveredItems = [&]() -> FolderRecord& {
    if (!recovered) recovered = &addFolder(kRecoveredItemsPath, 0, ColumnSet::Mail);
    return *recovered;
  };
  auto shownText = [&](const Blob* b) {
    const std::string_view v = b ? detail::TextOf(*b) : std::string_view();
    return run.ansi ? Cp1252ToUtf8(v) : std::string(v);
  };

  // Pre-order over the rebuilt tree, each node with the zone it lies in.
  std::vector<std::pair<const store::NodeEntry*, Zone>> stack;
  const store::NodeTree& tree = s.data->nodes;
  std::vector<const store::NodeEntry*> tops;
  for (const store::NodeEntry* t = tree.head(); t; t = t->nextSibling) tops.push_back(t);
  for (auto it = tops.rbegin(); it != tops.rend(); ++it) {
    const uint32_t nid = (*it)->nid;
    stack.emplace_back(*it, nid == kRootFolderNid ? Zone::Outside : nid == topNid ? Zone::Top : Zone::Unknown);
  }
  while (!stack.empty()) {
    if (stop_.load(std::memory_order_acquire)) return;
    auto [node, zone] = stack.back();
    stack.pop_back();
    const Zone below = node->nid == topNid ? Zone::Top : zone;
    for (const store::NodeEntry* c = node->lastChild; c; c = c->prevSibling) stack.emplace_back(c, below);

    const uint32_t type = node->nid & 0x1F;
    if (zone == Zone::Outside || !node->dataBlock || listed.count(node->nid) ||
        node->nid == kRootFolderNid || (type != 0x02 && type != 0x03 && type != 0x04)) {
      continue;
    }
    std::unique_ptr<items::ItemRecord> record;
    try {
      record = items::BuildItem(*run.ctx, node, items::ReadScope::Listing);
    } catch (...) {
      record.reset();
    }
    nodesVisited_.fetch_add(1, std::memory_order_acq_rel);
    if (!record) continue;
    const bool orphan = orphans.count(node->nid) != 0;

    // The folder record of the node's parent: the top folder's, a listed
    // folder's, or none.
    FolderRecord* parent = nullptr;
    if (node->parent) {
      parent = node->parent->nid == topNid ? data_->topFolderRecord() : data_->FindFolderByNid(node->parent->nid);
    }
    if (record->folderCounts) {
      // A folder found only as a property context has no NID its items
      // could name: nothing would lie in it.
      if (orphan) continue;
      const std::string base = parent ? parent->folderPath : std::string(detail::kTopFolderPath);
      addFolder(base + shownText(&record->displayName) + '\\', node->nid, detail::ContainerKind(*record, run.ansi));
      listed.insert(node->nid);
      continue;
    }
    if (orphan && !record->messageClass.present()) continue;  // an attachment's or other context
    if (record->details && record->kind == items::kKindMail) {
      const items::MessageDetails& d = *record->details;
      std::string key = RowKey(shownText(&d.sentRepresentingName), shownText(d.subject ? &d.subject->text : nullptr),
                               shownText(&d.displayTo), FileTimeOf(d.deliveryTime));
      if (!mailRows.insert(std::move(key)).second) continue;  // a copy of a listed mail
    }
    // "Recovered Items" is made when the first item is placed in it.
    run.placeInto = parent;
    run.placeLazily = recoveredItems;
    const bool placed = RegisterItem(run, *record, node);
    run.placeInto = nullptr;
    run.placeLazily = nullptr;
    listed.insert(node->nid);
    if (placed) deepScanAdded_.fetch_add(1, std::memory_order_acq_rel);
  }
}

}  // namespace velmorix::session
