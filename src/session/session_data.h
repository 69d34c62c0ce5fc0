// What a recovery leaves behind: the folder records with their mail lists,
// the contacts, calendar, tasks, journal and notes lists, the named-property
// map and the store's block list, node tree and subnode registry.
//
// One worker thread appends while the user-interface thread reads. Entries are
// owned by containers that only the worker touches; readers follow only the
// atomic list links. An entry is complete before it is linked in (release
// store), and readers load every link with acquire, so a reader sees each
// entry it reaches fully written.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "items/items.h"
#include "session/folder_list.h"
#include "store/store.h"

namespace velmorix::session {

// A contact, calendar entry, task, note or journal entry lying directly in a
// folder: its kind (the column set of its kind's list) and the entry of that
// list, with the item's message where it has one.
struct PlacedItem {
  ColumnSet kind = ColumnSet::Mail;
  uint32_t nodeId = 0;
  const items::MessageDetails* message = nullptr;  // subject, date, body
  const items::ContactDetails* contact = nullptr;
  const items::AppointmentDetails* appointment = nullptr;
  const items::JournalDetails* journal = nullptr;
  std::atomic<PlacedItem*> next{nullptr};

  const PlacedItem* Next() const { return next.load(std::memory_order_acquire); }
};

// One recovered folder, found again by its path.
struct FolderRecord {
  std::atomic<items::MessageDetails*> firstMail{nullptr};
  std::string folderPath;  // with the trailing backslash
  uint32_t folderNid = 0;
  // The kind its container class names (Mail when it names none other).
  ColumnSet containerKind = ColumnSet::Mail;
  std::atomic<PlacedItem*> firstPlaced{nullptr};
  std::atomic<FolderRecord*> next{nullptr};

  const items::MessageDetails* FirstMail() const { return firstMail.load(std::memory_order_acquire); }
  // The non-mail items lying directly in the folder, in walk order.
  const PlacedItem* FirstPlaced() const { return firstPlaced.load(std::memory_order_acquire); }
  const FolderRecord* Next() const { return next.load(std::memory_order_acquire); }

 private:
  friend class SessionData;
  // Worker only.
  items::MessageDetails* lastMail_ = nullptr;
  PlacedItem* lastPlaced_ = nullptr;
  unsigned placedKinds_ = 0;  // KindBit of each kind placed
  ColumnSet shown_ = ColumnSet::Mail;
  bool firstWithPath_ = false;
};

// A singly linked list of entries of type T linked through T::nextListed.
template <typename T>
class ListedChain {
 public:
  const T* head() const { return head_.load(std::memory_order_acquire); }
  bool empty() const { return head() == nullptr; }

  // Worker only: links a complete entry at the end.
  void Append(T* entry) {
    entry->nextListed.store(nullptr, std::memory_order_relaxed);
    if (tail_) {
      tail_->nextListed.store(entry, std::memory_order_release);
    } else {
      head_.store(entry, std::memory_order_release);
    }
    tail_ = entry;
  }
  void Reset() {
    head_.store(nullptr, std::memory_order_release);
    tail_ = nullptr;
  }

 private:
  std::atomic<T*> head_{nullptr};
  T* tail_ = nullptr;
};

// Follows a list link as a reader.
template <typename T>
const T* NextListed(const T* entry) {
  return entry->nextListed.load(std::memory_order_acquire);
}

class SessionData {
 public:
  SessionData();
  ~SessionData();
  SessionData(const SessionData&) = delete;
  SessionData& operator=(const SessionData&) = delete;

  // ---- Reading (any thread) ------------------------------------------------

  // Folder records in creation order (the top folder's record not included).
  const FolderRecord* firstFolder() const { return firstFolder_.load(std::memory_order_acquire); }
  // The record of the top folder itself ("Personal Folders\"), for the mails
  // that lie directly in it.
  const FolderRecord& topFolder() const { return topFolder_; }

  const ListedChain<items::ContactDetails>& contacts() const { return contacts_; }
  const ListedChain<items::AppointmentDetails>& calendar() const { return calendar_; }
  const ListedChain<items::MessageDetails>& tasks() const { return tasks_; }
  const ListedChain<items::JournalDetails>& journal() const { return journal_; }
  const ListedChain<items::AppointmentDetails>& notes() const { return notes_; }

  // The variant of the store the texts came from (ANSI texts are code-page
  // bytes, Unicode texts UTF-8). Set before any entry is linked in.
  store::Variant variant() const { return variant_.load(std::memory_order_acquire); }

  // ---- Writing (the worker while a recovery runs) ------------------------

  void SetVariant(store::Variant v) { variant_.store(v, std::memory_order_release); }

  FolderRecord& AddFolder(std::string path, uint32_t nid, ColumnSet containerKind = ColumnSet::Mail);
  FolderRecord* topFolderRecord() { return &topFolder_; }
  // The first folder record whose NID is `nid`; nullptr when none has it.
  FolderRecord* FindFolderByNid(uint32_t nid);
  FolderRecord* lastFolder() { return lastFolder_; }

  void AppendMail(FolderRecord& folder, std::unique_ptr<items::MessageDetails> details);
  // Each of these appends the entry to its kind's list and, when `folder` is
  // given, places the item in that folder too.
  void AppendTask(std::unique_ptr<items::MessageDetails> details, FolderRecord* folder = nullptr);
  void AppendContact(std::unique_ptr<items::ContactDetails> contact,
                     std::unique_ptr<items::MessageDetails> details, FolderRecord* folder = nullptr);
  void AppendCalendar(std::unique_ptr<items::AppointmentDetails> appointment,
                      std::unique_ptr<items::MessageDetails> details,
                      FolderRecord* folder = nullptr);
  void AppendNote(std::unique_ptr<items::AppointmentDetails> appointment,
                  std::unique_ptr<items::MessageDetails> details, FolderRecord* folder = nullptr);
  void AppendJournal(std::unique_ptr<items::JournalDetails> journal,
                     std::unique_ptr<items::MessageDetails> details, FolderRecord* folder = nullptr);

  // The column set `folder` shows now, when it changed since the last call
  // and the folder is the first with its path (the one its tree item shows).
  std::optional<ColumnSet> TakeShownChange(FolderRecord& folder);

  // The named-property map read by stage 3 and the store's loaded indexes.
  items::NamedPropertyMap names;
  std::shared_ptr<store::StoreData> storeData;

  // Releases everything and empties every list. Only while no worker runs
  // and no reader holds an entry.
  void Release();

 private:
  std::atomic<store::Variant> variant_{store::Variant::Unknown};

  void Place(FolderRecord* folder, const PlacedItem& item);

  std::deque<FolderRecord> folders_;  // stable addresses
  std::unordered_map<uint32_t, FolderRecord*> folderByNid_;  // first record per NID
  std::unordered_map<std::string, FolderRecord*> folderByPath_;  // first record per path
  std::deque<PlacedItem> placed_;
  std::atomic<FolderRecord*> firstFolder_{nullptr};
  FolderRecord* lastFolder_ = nullptr;
  FolderRecord topFolder_;

  ListedChain<items::ContactDetails> contacts_;
  ListedChain<items::AppointmentDetails> calendar_;
  ListedChain<items::MessageDetails> tasks_;
  ListedChain<items::JournalDetails> journal_;
  ListedChain<items::AppointmentDetails> notes_;

  // Owners of every listed entry and of the messages they refer to.
  std::vector<std::unique_ptr<items::MessageDetails>> messages_;
  std::vector<std::unique_ptr<items::ContactDetails>> contactEntries_;
  std::vector<std::unique_ptr<items::AppointmentDetails>> appointmentEntries_;
  std::vector<std::unique_ptr<items::JournalDetails>> journalEntries_;
};

}  // namespace velmorix::session
