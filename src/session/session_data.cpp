#include "session/session_data.h"

#include <utility>

namespace velmorix::session {

namespace {
constexpr const char* kTopFolderPath = "Personal Folders\\";
}

SessionData::SessionData() {
  topFolder_.folderPath = kTopFolderPath;
  topFolder_.firstWithPath_ = true;
}

SessionData::~SessionData() = default;

FolderRecord& SessionData::AddFolder(std::string path, uint32_t nid, ColumnSet containerKind) {
  FolderRecord& record = folders_.emplace_back();
  record.folderPath = std::move(path);
  record.folderNid = nid;
  record.containerKind = containerKind;
  folderByNid_.emplace(nid, &record);  // keeps the first record of a NID
  record.firstWithPath_ = folderByPath_.emplace(record.folderPath, &record).second;
  if (lastFolder_) {
    lastFolder_->next.store(&record, std::memory_order_release);
  } else {
    firstFolder_.store(&record, std::memory_order_release);
  }
  lastFolder_ = &record;
  return record;
}

FolderRecord* SessionData::FindFolderByNid(uint32_t nid) {
  auto it = folderByNid_.find(nid);
  return it == folderByNid_.end() ? nullptr : it->second;
}

void SessionData::AppendMail(FolderRecord& folder, std::unique_ptr<items::MessageDetails> details) {
  items::MessageDetails* entry = details.get();
  messages_.push_back(std::move(details));
  entry->nextListed.store(nullptr, std::memory_order_relaxed);
  if (folder.lastMail_) {
    folder.lastMail_->nextListed.store(entry, std::memory_order_release);
  } else {
    folder.firstMail.store(entry, std::memory_order_release);
  }
  folder.lastMail_ = entry;
}

void SessionData::Place(FolderRecord* folder, const PlacedItem& item) {
  if (!folder) return;
  PlacedItem& entry = placed_.emplace_back();
  entry.kind = item.kind;
  entry.nodeId = item.nodeId;
  entry.message = item.message;
  entry.contact = item.contact;
  entry.appointment = item.appointment;
  entry.journal = item.journal;
  if (folder->lastPlaced_) {
    folder->lastPlaced_->next.store(&entry, std::memory_order_release);
  } else {
    folder->firstPlaced.store(&entry, std::memory_order_release);
  }
  folder->lastPlaced_ = &entry;
  folder->placedKinds_ |= KindBit(entry.kind);
}

std::optional<ColumnSet> SessionData::TakeShownChange(FolderRecord& folder) {
  const ColumnSet shown =
      FolderColumnSet(folder.lastMail_ != nullptr, folder.placedKinds_, folder.containerKind);
  if (shown == folder.shown_) return std::nullopt;
  folder.shown_ = shown;
  if (!folder.firstWithPath_) return std::nullopt;
  return shown;
}

void SessionData::AppendTask(std::unique_ptr<items::MessageDetails> details, FolderRecord* folder) {
  items::MessageDetails* entry = details.get();
  messages_.push_back(std::move(details));
  tasks_.Append(entry);
  PlacedItem p;
  p.kind = ColumnSet::Tasks;
  p.nodeId = entry->nodeId;
  p.message = entry;
  Place(folder, p);
}

namespace {
// Keeps `details` (may be null) and returns it for the entry's back reference.
const items::MessageDetails* Keep(std::vector<std::unique_ptr<items::MessageDetails>>& owner,
                                  std::unique_ptr<items::MessageDetails> details) {
  if (!details) return nullptr;
  owner.push_back(std::move(details));
  return owner.back().get();
}
}  // namespace

void SessionData::AppendContact(std::unique_ptr<items::ContactDetails> contact,
                                std::unique_ptr<items::MessageDetails> details, FolderRecord* folder) {
  contact->backReference = Keep(messages_, std::move(details));
  items::ContactDetails* entry = contact.get();
  contactEntries_.push_back(std::move(contact));
  contacts_.Append(entry);
  PlacedItem p;
  p.kind = ColumnSet::Contacts;
  p.nodeId = entry->nodeId;
  p.message = entry->backReference;
  p.contact = entry;
  Place(folder, p);
}

void SessionData::AppendCalendar(std::unique_ptr<items::AppointmentDetails> appointment,
                                 std::unique_ptr<items::MessageDetails> details,
                                 FolderRecord* folder) {
  appointment->backReference = Keep(messages_, std::move(details));
  items::AppointmentDetails* entry = appointment.get();
  appointmentEntries_.push_back(std::move(appointment));
  calendar_.Append(entry);
  PlacedItem p;
  p.kind = ColumnSet::Calendar;
  p.nodeId = entry->nodeId;
  p.message = entry->backReference;
  p.appointment = entry;
  Place(folder, p);
}

void SessionData::AppendNote(std::unique_ptr<items::AppointmentDetails> appointment,
                             std::unique_ptr<items::MessageDetails> details, FolderRecord* folder) {
  appointment->backReference = Keep(messages_, std::move(details));
  items::AppointmentDetails* entry = appointment.get();
  appointmentEntries_.push_back(std::move(appointment));
  notes_.Append(entry);
  PlacedItem p;
  p.kind = ColumnSet::Notes;
  p.nodeId = entry->nodeId;
  p.message = entry->backReference;
  p.appointment = entry;
  Place(folder, p);
}

void SessionData::AppendJournal(std::unique_ptr<items::JournalDetails> journal,
                                std::unique_ptr<items::MessageDetails> details, FolderRecord* folder) {
  journal->backReference = Keep(messages_, std::move(details));
  items::JournalDetails* entry = journal.get();
  journalEntries_.push_back(std::move(journal));
  journal_.Append(entry);
  PlacedItem p;
  p.kind = ColumnSet::Journal;
  p.nodeId = entry->nodeId;
  p.message = entry->backReference;
  p.journal = entry;
  Place(folder, p);
}

void SessionData::Release() {
  // Unlink first, so that nothing reachable points into released memory.
  firstFolder_.store(nullptr, std::memory_order_release);
  lastFolder_ = nullptr;
  topFolder_.firstMail.store(nullptr, std::memory_order_release);
  topFolder_.lastMail_ = nullptr;
  topFolder_.firstPlaced.store(nullptr, std::memory_order_release);
  topFolder_.lastPlaced_ = nullptr;
  topFolder_.placedKinds_ = 0;
  topFolder_.shown_ = ColumnSet::Mail;
  contacts_.Reset();
  calendar_.Reset();
  tasks_.Reset();
  journal_.Reset();
  notes_.Reset();

  folders_.clear();
  folderByNid_.clear();
  folderByPath_.clear();
  placed_.clear();
  std::vector<std::unique_ptr<items::MessageDetails>>().swap(messages_);
  std::vector<std::unique_ptr<items::ContactDetails>>().swap(contactEntries_);
  std::vector<std::unique_ptr<items::AppointmentDetails>>().swap(appointmentEntries_);
  std::vector<std::unique_ptr<items::JournalDetails>>().swap(journalEntries_);
  names = items::NamedPropertyMap();
  storeData.reset();
  variant_.store(store::Variant::Unknown, std::memory_order_release);
}

}  // namespace velmorix::session
