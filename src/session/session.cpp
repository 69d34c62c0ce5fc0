#include "session/session.h"

#include <cctype>
#include <exception>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "format/vocabulary.h"
#include "items/items.h"
#include "items/text.h"
#include "session/folder_list.h"
#include "session/item_prefetch.h"
#include "session/session_data.h"
#include "session/session_run.h"
#include "store/store.h"

namespace velmorix::session {

namespace {
// Folder paths handed to the tree and kept in folder records are cut at a
// component boundary to this many bytes, so that a hostile nesting depth
// cannot make every record huge. The walk itself keeps the whole path.
constexpr size_t kMaxFolderPath = 1024;

Message QuestionOk(const std::string& text, bool owned = true) {
  Message m;
  m.caption = kCaption;
  m.text = text;
  m.icon = MessageIcon::Question;
  m.buttons = MessageButtons::Ok;
  m.ownedByWindow = owned;
  return m;
}

std::string FailureText(int code) {
  return "Found Condition :00" + std::to_string(code) + " ";
}

}  // namespace

namespace detail {

// A stored text up to its first NUL, as the record's C string would read.
std::string_view TextOf(const Blob& b) {
  std::string_view v = b.view();
  return v.substr(0, v.find('\0'));
}

// The kind a folder's container class names. Unicode stores keep the class
// as UTF-16LE; it is decoded for this decision.
ColumnSet ContainerKind(const items::ItemRecord& folder, bool ansi) {
  const ByteSpan raw = folder.messageClass.bytes();
  const bool wide = !ansi && raw.size() >= 2 && raw[1] == std::byte{0};
  const std::string cls = wide ? items::WideToUtf8(raw) : std::string(TextOf(folder.messageClass));
  switch (items::ClassifyContainerClass(AsBytes(cls))) {
    case items::kKindContact: return ColumnSet::Contacts;
    case items::kKindAppointment: return ColumnSet::Calendar;
    case items::kKindTask: return ColumnSet::Tasks;
    case items::kKindStickyNote: return ColumnSet::Notes;
    case items::kKindJournal: return ColumnSet::Journal;
    default: return ColumnSet::Mail;
  }
}

// The folder path as shown: whole, or cut after its last backslash that
// keeps it within kMaxFolderPath.
std::string ShownPath(const std::string& path) {
  if (path.size() <= kMaxFolderPath) return path;
  const size_t cut = path.rfind('\\', kMaxFolderPath - 1);
  return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

}  // namespace detail

using detail::ContainerKind;
using detail::kTopFolderPath;
using detail::ShownPath;
using detail::TextOf;

int ScanEstimate(const store::NodeEntry* topFolder) {
  int count = 0;
  const store::NodeEntry* n = topFolder ? topFolder->firstChild : nullptr;
  while (n) {
    if (n->dataBlock) ++count;
    if (n->firstChild) {
      n = n->firstChild;
    } else if (n->nextSibling) {
      n = n->nextSibling;
    } else if (n->parent && n->parent->nextSibling) {
      n = n->parent->nextSibling;
    } else {
      break;
    }
  }
  return count;
}

RecoverySession::RecoverySession(RecoveryView& view)
    : view_(view), data_(std::make_unique<SessionData>()) {}

RecoverySession::~RecoverySession() {
  stop_.store(true, std::memory_order_release);
  WaitForWorker();
}

void RecoverySession::WaitForWorker() {
  if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id()) worker_.join();
}

void RecoverySession::ReleaseListedItems() {
  WaitForWorker();
  data_->ReleaseListedItems();
}

void RecoverySession::StartRecovery(const std::string& path) {
  // One worker at a time: a start while a run is still going is ignored.
  if (WorkerRunning()) return;
  WaitForWorker();

  SetState(SessionState::Scanning);
  path_ = path;
  view_.SetControlText(kFolderCount, "");
  view_.SetControlText(kMailCount, "");
  view_.SetControlText(kFolderCountLabel, "");
  view_.SetControlText(kMailCountLabel, "");
  view_.ApplyScanningLayout();
  view_.ClearViews();
  stop_.store(false, std::memory_order_release);
  view_.SetProgressRange(0, 100);
  view_.StartProgressTimer();

  outcome_.store(RunOutcome::None, std::memory_order_release);
  failureCode_.store(0, std::memory_order_release);
  damagedAttachments_.store(0, std::memory_order_release);
  workerRunning_.store(true, std::memory_order_release);
  worker_ = std::thread([this] {
    try {
      if (RunRecovery() != 1) {
        view_.ShowControl(kProgressBar, false);
        view_.EnableControl(kStopButton, false);
        view_.ShowControl(kStopButton, false);
      }
    } catch (...) {
      // A failure that escaped the run ends the worker without further action.
      outcome_.store(RunOutcome::Aborted, std::memory_order_release);
    }
    workerRunning_.store(false, std::memory_order_release);
    if (onWorkerFinished) onWorkerFinished();
  });
}

void RecoverySession::StartDeepScan() {
  if (WorkerRunning() || state() != SessionState::Finished || outcome() != RunOutcome::Finished) return;
  WaitForWorker();
  deepScanAdded_.store(0, std::memory_order_release);
  workerRunning_.store(true, std::memory_order_release);
  worker_ = std::thread([this] {
    try {
      RunDeepScan();
      view_.ShowControl(kProgressBar, false);
      view_.EnableControl(kStopButton, false);
      view_.ShowControl(kStopButton, false);
    } catch (...) {
      outcome_.store(RunOutcome::Aborted, std::memory_order_release);
    }
    workerRunning_.store(false, std::memory_order_release);
    if (onWorkerFinished) onWorkerFinished();
  });
}

void RecoverySession::ReportFailure(Run& run, int code) {
  if (code == 1) view_.StopProgressTimer();
  view_.ShowControl(kProgressBar, false);
  view_.ShowControl(kStatusLine, false);
  if (code != 1) view_.StopProgressTimer();
  failureCode_.store(code, std::memory_order_release);
  outcome_.store(RunOutcome::Failed, std::memory_order_release);
  view_.ShowMessage(QuestionOk(FailureText(code)));
  view_.ApplyFileSelectionLayout();
  run.ctx.reset();
  run.store.reset();
}

int RecoverySession::RunRecovery() {
  damageFound_.store(false, std::memory_order_release);
  deepScanRan_.store(false, std::memory_order_release);
  deepScanAdded_.store(0, std::memory_order_release);
  // The folder counter counts this run's folders only, whichever stages run.
  folderCount_.store(0, std::memory_order_release);
  topFolderNid_ = 0;
  if (RunNormalStages() == 1) return 1;
  MaybeRunDeepScan();
  return 0;
}

void RecoverySession::NoteStoreDamage(const Run& run) {
  const store::Store& s = *run.store;
  if (s.indexPagesLost || s.nodesWithoutBlocks || (s.headerFileEof && s.fileSize() < s.headerFileEof)) {
    damageFound_.store(true, std::memory_order_release);
  }
}

void RecoverySession::NewStore(Run& run) {
  run.store = std::make_unique<store::Store>();
  run.store->stopRequest = &stop_;
  // A block the store cannot decode is told of once per run.
  run.store->onUnknownEncryption = [this, &run] {
    if (run.unknownEncryptionShown) return;
    run.unknownEncryptionShown = true;
    Message m;
    m.caption = kCaption;
    m.text = "Unknown Encryption has been done so can'nt be decrypted";
    m.icon = MessageIcon::None;
    m.buttons = MessageButtons::Ok;
    m.ownedByWindow = false;
    view_.ShowMessage(m);
  };
}

int RecoverySession::RunNormalStages() {
  Run run;

  // Stage 1: open.
  view_.SetControlText(kStatusLine, "Opening File");
  NewStore(run);
  view_.EnableControl(kBackButton, false);
  view_.ShowControl(kBackButton, false);
  if (store::OpenStore(*run.store, path_) == -1) {
    outcome_.store(RunOutcome::OpenFailed, std::memory_order_release);
    view_.ShowMessage(QuestionOk("Could not open file Try again", false));
    view_.StopProgressTimer();
    view_.ShowControl(kStatusLine, false);
    view_.ApplyFileSelectionLayout();
    return 1;
  }
  // Whatever the store loads from here on is session data. Readers beside
  // the worker take the indexes with std::atomic_load.
  data_->SetVariant(run.store->variant);
  std::atomic_store(&data_->storeData, run.store->data);
  run.ansi = run.store->variant == store::Variant::Ansi;

  view_.ShowControl(kProgressBar, true);
  view_.EnableControl(kProgressBar, true);
  view_.EnableControl(kStopButton, true);

  // Stage 2: indexes. The loader's result is not examined; one cut short by
  // the stop request simply returns.
  view_.SetControlText(kStatusLine, "Scanning File and Loading Indexes...");
  try {
    if (stageProbe) stageProbe(2);
    store::LoadIndexes(*run.store);
  } catch (...) {
    ReportFailure(run, 1);
    return 0;
  }
  std::atomic_store(&data_->storeData, run.store->data);
  NoteStoreDamage(run);

  // Stage 3: extended attributes (the named-property map).
  view_.SetControlText(kStatusLine, "Loading Extended Attributes");
  try {
    if (stageProbe) stageProbe(3);
    items::LoadNamedPropertyMap(*run.store, data_->names);
  } catch (...) {
    ReportFailure(run, 2);
    return 0;
  }

  auto stopped = [this] { return stop_.load(std::memory_order_acquire); };
  if (stopped()) {
    outcome_.store(RunOutcome::Stopped, std::memory_order_release);
    return 0;
  }

  // Stage 4: the top folder, named by the store information of the first
  // top-level node.
  run.ctx = std::make_unique<items::ItemContext>(*run.store, &data_->names);
  {
    const store::NodeEntry* root = run.store->data ? run.store->data->nodes.head() : nullptr;
    std::unique_ptr<items::ItemRecord> rootItem = items::BuildItem(*run.ctx, root);
    if (!rootItem || !rootItem->storeInfo) {
      ReportFailure(run, 3);
      return 0;
    }
    uint32_t topNid = format::kNidDefaultTopFolder;
    // An identifier too short to hold the NID counts as absent.
    if (auto nid = ByteView(rootItem->storeInfo->subtreeEntryId.bytes()).U32(20)) topNid = *nid;
    run.topNode = store::FindNode(*run.store, topNid);
    if (!run.topNode) {
      ReportFailure(run, 4);
      return 0;
    }
    topFolderNid_ = topNid;
  }

  if (stopped()) {
    outcome_.store(RunOutcome::Stopped, std::memory_order_release);
    return 0;
  }

  // Stage 5: the scan.
  view_.SetControlText(kStatusLine, "Scanning File for Mails...");
  view_.SetControlText(kFolderCountLabel, "No. of Folders Found");
  view_.SetControlText(kMailCountLabel, "No. of Mails Found");
  view_.SetProgressRange(0, ScanEstimate(run.topNode) - 3);
  view_.StopProgressTimer();

  bool completed = true;
  try {
    completed = ScanHierarchy(run);
  } catch (...) {
    failureCode_.store(5, std::memory_order_release);
    view_.ShowMessage(QuestionOk(FailureText(5)));
  }
  if (!completed) {
    mailCount_.store(0, std::memory_order_release);
    outcome_.store(RunOutcome::Stopped, std::memory_order_release);
    return 0;
  }

  ShowFinished();
  return 0;
}

// Wrap-up of a run that ended: the finished layout.
void RecoverySession::ShowFinished() {
  view_.SetControlText(kStatusLine, "");
  stop_.store(true, std::memory_order_release);
  SetState(SessionState::Finished);
  view_.ShowControl(kStopButton, false);
  view_.EnableControl(kBackButton, true);
  view_.ShowControl(kBackButton, true);
  view_.SetProgressPosition(0);
  view_.ShowControl(kProgressBar, false);
  view_.StopProgressTimer();
  outcome_.store(RunOutcome::Finished, std::memory_order_release);
}

bool RecoverySession::ScanHierarchy(Run& run) {
  folderCount_.store(0, std::memory_order_release);
  view_.InsertFolderPath(kTopFolderPath);

  // The walk's folder path, and per open level the length the path had
  // before that level's folder name was appended. Going back to a recorded
  // length undoes exactly what entering the folder added, also for a name
  // that itself holds backslashes.
  std::string path = kTopFolderPath;
  std::vector<size_t> levels{path.size()};
  bool descended = false;

  // Items are built ahead of the walk on the other cores. Not when blocks
  // may fail to decode: the store tells of that once, from whichever thread.
  std::optional<ItemPrefetcher> prefetch;
  const int helpers = scanHelpers >= 0 ? scanHelpers : ItemPrefetcher::HelpersForThisMachine();
  const int method = run.store->encryptionMethod;
  if (helpers > 0 && (method == store::kEncodeNone || method == store::kEncodePermute ||
                      method == store::kEncodeCyclic)) {
    prefetch.emplace(*run.ctx, run.topNode, helpers);
  }

  const store::NodeEntry* k = run.topNode->firstChild;
  while (k) {
    if (stop_.load(std::memory_order_acquire)) return false;
    if (stageProbe) stageProbe(5);

    std::unique_ptr<items::ItemRecord> record;
    if (k->dataBlock) {
      try {
        record = prefetch ? prefetch->Take(k)
                          : items::BuildItem(*run.ctx, k, items::ReadScope::Listing);
      } catch (...) {
        record.reset();  // a node that cannot be assembled has no record
      }
      // A folder or message whose property context cannot be read is damage.
      const uint32_t type = k->nid & 0x1F;
      if (!record && (type == 0x02 || type == 0x04 || type == 0x08)) {
        damageFound_.store(true, std::memory_order_release);
      }
      const int visited = nodesVisited_.fetch_add(1, std::memory_order_acq_rel) + 1;
      view_.SetProgressPosition(visited);
      if (record && record->attachmentTableDamaged) {
        damagedAttachments_.fetch_add(1, std::memory_order_acq_rel);
      }

      if (record && record->folderCounts) {
        const size_t before = path.size();
        std::string_view name = TextOf(record->displayName);
        path += run.ansi ? Cp1252ToUtf8(name) : std::string(name);
        path += '\\';
        std::string shown = ShownPath(path);
        view_.InsertFolderPath(shown);
        const int folders = folderCount_.fetch_add(1, std::memory_order_acq_rel) + 1;
        view_.SetControlText(kFolderCount, std::to_string(folders));
        FolderRecord& folder =
            data_->AddFolder(std::move(shown), k->nid, ContainerKind(*record, run.ansi));
        ShowKindChange(folder);
        if (k->firstChild) {
          levels.push_back(before);
          k = k->firstChild;
          descended = true;
        } else {
          path.resize(before);
        }
      } else if (record) {
        RegisterItem(run, *record, k);
      }
    }

    // Climb out of folders whose children are done.
    while (!descended && !k->nextSibling && k->parent) {
      const size_t before = levels.back();
      levels.pop_back();
      if (levels.empty()) break;
      path.resize(before);
      k = k->parent;
    }
    if (prefetch) prefetch->Recycle(std::move(record));
    record.reset();
    if (descended) {
      descended = false;
    } else {
      k = k->nextSibling;
    }
  }
  return true;
}

namespace {

// Whether `cls` starts with `prefix`, letter case ignored.
bool StartsWithNoCase(std::string_view cls, std::string_view prefix) {
  if (cls.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(cls[i])) !=
        std::tolower(static_cast<unsigned char>(prefix[i]))) {
      return false;
    }
  }
  return true;
}

bool IsContactClass(std::string_view cls) {
  return StartsWithNoCase(cls, "IPM.Contact") || StartsWithNoCase(cls, "IPM.DistList") ||
         StartsWithNoCase(cls, "IPM.AbchPerson");
}

// Free/busy records are the calendar's bookkeeping, not items of the user.
bool IsFreeBusyClass(std::string_view cls) {
  return StartsWithNoCase(cls, "IPM.Microsoft.ScheduleData.FreeBusy");
}

bool Empty(const Blob& b) { return detail::TextOf(b).empty(); }

// A contact whose file-as name or postal address is empty shows the next
// field that has one: the display name, then given name and surname; the
// mailing address it marks, then work, home and other.
void FillContactFallbacks(items::ItemRecord& r) {
  items::ContactDetails& c = *r.contact;
  if (Empty(c.fileUnder)) {
    if (!Empty(r.displayName)) {
      c.fileUnder = r.displayName.Clone();
    } else if (!Empty(c.givenName) || !Empty(c.surname)) {
      std::string name(detail::TextOf(c.givenName));
      const std::string_view surname = detail::TextOf(c.surname);
      if (!name.empty() && !surname.empty()) name += ' ';
      name += surname;
      c.fileUnder = Blob::Of(AsBytes(name));
    }
  }
  if (Empty(c.postalAddress)) {
    const Blob* marked = c.postalAddressId == 1   ? &c.homeAddress
                         : c.postalAddressId == 2 ? &c.workAddress
                         : c.postalAddressId == 3 ? &c.otherAddress
                                                  : nullptr;
    for (const Blob* b : std::initializer_list<const Blob*>{marked, &c.workAddress, &c.homeAddress, &c.otherAddress}) {
      if (b && !Empty(*b)) {
        c.postalAddress = b->Clone();
        break;
      }
    }
  }
}

}  // namespace

bool RecoverySession::RegisterItem(Run& run, items::ItemRecord& r, const store::NodeEntry* node) {
  const bool hasClass = r.messageClass.present();
  const std::string_view cls = TextOf(r.messageClass);
  // Every listed entry knows its node, so a row leads back to the item.
  const uint32_t nid = node->nid;
  if (r.details) r.details->nodeId = nid;
  if (r.contact) r.contact->nodeId = nid;

  // Besides its kind's list, each item is placed in the folder it lies in.
  if (hasClass && cls == "IPM.Task") {
    if (!r.details) return false;
    FolderRecord& folder = FolderOf(run, node);
    data_->AppendTask(std::move(r.details), &folder);
    ShowKindChange(folder);
  } else if (hasClass && cls == "IPM.StickyNote") {
    // A note without appointment properties still gets an entry.
    if (!r.appointment) r.appointment = std::make_unique<items::AppointmentDetails>();
    r.appointment->nodeId = nid;
    FolderRecord& folder = FolderOf(run, node);
    data_->AppendNote(std::move(r.appointment), std::move(r.details), &folder);
    ShowKindChange(folder);
  } else if (r.kind == items::kKindJournal) {
    if (!r.journal) r.journal = std::make_unique<items::JournalDetails>();
    r.journal->nodeId = nid;
    FolderRecord& folder = FolderOf(run, node);
    data_->AppendJournal(std::move(r.journal), std::move(r.details), &folder);
    ShowKindChange(folder);
  } else if (r.kind == items::kKindAppointment) {
    if (!r.appointment) r.appointment = std::make_unique<items::AppointmentDetails>();
    r.appointment->nodeId = nid;
    FolderRecord& folder = FolderOf(run, node);
    data_->AppendCalendar(std::move(r.appointment), std::move(r.details), &folder);
    ShowKindChange(folder);
  } else if (hasClass && IsContactClass(cls)) {
    // Only a contact's own class makes a contact: a meeting request may carry
    // contact properties too, and stays a mail.
    if (!r.contact) r.contact = std::make_unique<items::ContactDetails>();
    r.contact->nodeId = nid;
    FillContactFallbacks(r);
    FolderRecord& folder = FolderOf(run, node);
    data_->AppendContact(std::move(r.contact), std::move(r.details), &folder);
    ShowKindChange(folder);
  } else if (r.details && r.kind == items::kKindMail) {
    RegisterMail(run, r, node);
  } else if ((nid & 0x1F) == format::kNidTypeNormalMessage && !(hasClass && IsFreeBusyClass(cls))) {
    // Reports, posts, meeting messages and every other class of a normal
    // message are listed with the mails of their folder.
    if (!r.details) r.details = std::make_unique<items::MessageDetails>();
    r.details->nodeId = nid;
    RegisterMail(run, r, node);
  } else {
    return false;
  }
  return true;
}

FolderRecord& RecoverySession::FolderOf(Run& run, const store::NodeEntry* node) {
  if (run.placeInto) return *run.placeInto;
  if (run.placeLazily) return run.placeLazily();
  const store::NodeEntry* parent = node->parent;
  if (parent && parent == run.topNode) return *data_->topFolderRecord();
  FolderRecord* folder = parent ? data_->FindFolderByNid(parent->nid) : nullptr;
  if (!folder) folder = data_->lastFolder();
  // Before any folder record exists the item stays with the top folder.
  if (!folder) folder = data_->topFolderRecord();
  return *folder;
}

void RecoverySession::ShowKindChange(FolderRecord& folder) {
  if (auto set = data_->TakeShownChange(folder)) view_.SetFolderKind(folder.folderPath, *set);
}

void RecoverySession::RegisterMail(Run& run, items::ItemRecord& r, const store::NodeEntry* node) {
  FolderRecord* folder = &FolderOf(run, node);

  const int mails = mailCount_.fetch_add(1, std::memory_order_acq_rel) + 1;
  view_.SetControlText(kMailCount, std::to_string(mails));

  // The row shows whether the mail has attachments; the attachments
  // themselves, like the bodies, are read from the node when asked.
  r.attachmentCursor = nullptr;
  r.details->attachmentList = std::move(r.attachments);
  r.attachments.clear();
  data_->AppendMail(*folder, std::move(r.details));
  ShowKindChange(*folder);
}

bool RecoverySession::RequestStop() {
  Message ask;
  ask.caption = kCaption;
  ask.text = "Do you really want to stop scanning process ?";
  ask.icon = MessageIcon::Question;
  ask.buttons = MessageButtons::YesNo;
  if (view_.ShowMessage(ask) != MessageAnswer::Yes) return false;
  view_.StopProgressTimer();
  stop_.store(true, std::memory_order_release);
  view_.ShowControl(kBackButton, true);
  view_.EnableControl(kBackButton, true);
  view_.ShowControl(kStopButton, false);
  view_.ShowControl(kStatusLine, false);
  if (nodesVisited() != 0) SetState(SessionState::Finished);
  view_.SetProgressRange(0, 100);
  view_.SetProgressPosition(0);
  return true;
}

void RecoverySession::ResetCounters() {
  nodesVisited_.store(0, std::memory_order_release);
  mailCount_.store(0, std::memory_order_release);
  damagedAttachments_.store(0, std::memory_order_release);
}

void RecoverySession::DiscardRecovery() {
  // No data is released while the worker can still touch it.
  stop_.store(true, std::memory_order_release);
  WaitForWorker();
  view_.SetProgressPosition(0);
  nodesVisited_.store(0, std::memory_order_release);
  view_.ApplyFileSelectionLayout();
  mailCount_.store(0, std::memory_order_release);
  damagedAttachments_.store(0, std::memory_order_release);
  view_.SetProgressRange(0, 100);
  data_->Release();
  SetState(SessionState::Idle);
}

void RecoverySession::ReleaseSessionData() {
  stop_.store(true, std::memory_order_release);
  WaitForWorker();
  ResetCounters();
  data_->Release();
  SetState(SessionState::Idle);
}

}  // namespace velmorix::session
