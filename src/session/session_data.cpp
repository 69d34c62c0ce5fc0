#include "session/session_data.h"

#include <utility>

namespace velmorix::session {

namespace {
constexpr const char* kTopFolderPath = "Personal Folders\\";
}

SessionData::SessionData() { topFolder_.folderPath = kTopFolderPath; }

SessionData::~SessionData() = default;

FolderRecord& SessionData::AddFolder(std::string path, uint32_t nid) {
  FolderRecord& record = folders_.emplace_back();
  record.folderPath = std::move(path);
  record.folderNid = nid;
  folderByNid_.emplace(nid, &record);  // keeps the first record of a NID
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

void SessionData::AppendTask(std::unique_ptr<items::MessageDetails> details) {
  items::MessageDetails* entry = details.get();
  messages_.push_back(std::move(details));
  tasks_.Append(entry);
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
                                std::unique_ptr<items::MessageDetails> details) {
  contact->backReference = Keep(messages_, std::move(details));
  items::ContactDetails* entry = contact.get();
  contactEntries_.push_back(std::move(contact));
  contacts_.Append(entry);
}

void SessionData::AppendCalendar(std::unique_ptr<items::AppointmentDetails> appointment,
                                 std::unique_ptr<items::MessageDetails> details) {
  appointment->backReference = Keep(messages_, std::move(details));
  items::AppointmentDetails* entry = appointment.get();
  appointmentEntries_.push_back(std::move(appointment));
  calendar_.Append(entry);
}

void SessionData::AppendNote(std::unique_ptr<items::AppointmentDetails> appointment,
                             std::unique_ptr<items::MessageDetails> details) {
  appointment->backReference = Keep(messages_, std::move(details));
  items::AppointmentDetails* entry = appointment.get();
  appointmentEntries_.push_back(std::move(appointment));
  notes_.Append(entry);
}

void SessionData::AppendJournal(std::unique_ptr<items::JournalDetails> journal,
                                std::unique_ptr<items::MessageDetails> details) {
  journal->backReference = Keep(messages_, std::move(details));
  items::JournalDetails* entry = journal.get();
  journalEntries_.push_back(std::move(journal));
  journal_.Append(entry);
}

void SessionData::Release() {
  // Unlink first, so that nothing reachable points into released memory.
  firstFolder_.store(nullptr, std::memory_order_release);
  lastFolder_ = nullptr;
  topFolder_.firstMail.store(nullptr, std::memory_order_release);
  topFolder_.lastMail_ = nullptr;
  contacts_.Reset();
  calendar_.Reset();
  tasks_.Reset();
  journal_.Reset();
  notes_.Reset();

  folders_.clear();
  folderByNid_.clear();
  std::vector<std::unique_ptr<items::MessageDetails>>().swap(messages_);
  std::vector<std::unique_ptr<items::ContactDetails>>().swap(contactEntries_);
  std::vector<std::unique_ptr<items::AppointmentDetails>>().swap(appointmentEntries_);
  std::vector<std::unique_ptr<items::JournalDetails>>().swap(journalEntries_);
  names = items::NamedPropertyMap();
  storeData.reset();
  variant_.store(store::Variant::Unknown, std::memory_order_release);
}

}  // namespace velmorix::session
