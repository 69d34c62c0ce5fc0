// What a recovery leaves behind: the folder records with their mail lists
// and the non-mail items lying in them, the contacts, calendar, tasks,
// journal and notes lists, the named-property map and the store's block
// list, node tree and subnode registry.
//
// A listed item keeps only what its rows show (picture, cell texts, date)
// and its node id; everything else is read again from the node when asked.
//
// One worker thread appends while the user-interface thread reads. Entries
// live in memory that only the worker touches until it links them in; readers
// follow only the atomic list links. An entry is complete before it is linked
// in (release store), and readers load every link with acquire, so a reader
// sees each entry it reaches fully written.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "items/items.h"
#include "session/folder_list.h"
#include "store/store.h"

namespace velmorix::session {

// One listed item as its rows show it. Texts are UTF-8, as shown (cut at
// their first NUL; ANSI stores' Windows-1252 converted).
//
// Texts by kind: a mail's sender, subject and recipients; every other kind's
// subject first, then a contact's file-under name, postal address and mobile
// phone, a note's body, an appointment's location, a journal entry's type.
struct ListedItem {
  static constexpr int kMaxTexts = 4;
  // Mail flags.
  static constexpr uint8_t kHasSender = 1;
  static constexpr uint8_t kHasSubject = 2;
  static constexpr uint8_t kHasAttachments = 4;

  // Next in its folder's mails or in its kind's list.
  std::atomic<const ListedItem*> next{nullptr};
  // Next among the non-mail items lying in its folder.
  std::atomic<const ListedItem*> nextPlaced{nullptr};
  const char* texts = nullptr;  // back to back
  uint32_t lengths[kMaxTexts] = {};
  uint64_t date = 0;  // the FILETIME the Date column shows; 0 = none
  uint32_t nodeId = 0;
  ColumnSet kind = ColumnSet::Mail;
  uint8_t flags = 0;

  std::string_view Text(int i) const;
  const ListedItem* Next() const { return next.load(std::memory_order_acquire); }
  const ListedItem* NextPlaced() const { return nextPlaced.load(std::memory_order_acquire); }
};

// Follows a list link as a reader.
inline const ListedItem* NextListed(const ListedItem* entry) { return entry->Next(); }

// One recovered folder, found again by its path.
struct FolderRecord {
  std::atomic<const ListedItem*> firstMail{nullptr};
  std::string folderPath;  // with the trailing backslash
  size_t pathHash = 0;     // std::hash of folderPath, to find records quickly
  uint32_t folderNid = 0;
  // The kind its container class names (Mail when it names none other).
  ColumnSet containerKind = ColumnSet::Mail;
  std::atomic<const ListedItem*> firstPlaced{nullptr};
  std::atomic<FolderRecord*> next{nullptr};

  const ListedItem* FirstMail() const { return firstMail.load(std::memory_order_acquire); }
  // The non-mail items lying directly in the folder, in walk order.
  const ListedItem* FirstPlaced() const { return firstPlaced.load(std::memory_order_acquire); }
  const FolderRecord* Next() const { return next.load(std::memory_order_acquire); }

 private:
  friend class SessionData;
  // Worker only.
  ListedItem* lastMail_ = nullptr;
  ListedItem* lastPlaced_ = nullptr;
  unsigned placedKinds_ = 0;  // KindBit of each kind placed
  ColumnSet shown_ = ColumnSet::Mail;
  bool firstWithPath_ = false;
};

// A singly linked list of listed items.
class ListedChain {
 public:
  const ListedItem* head() const { return head_.load(std::memory_order_acquire); }
  bool empty() const { return head() == nullptr; }

  // Worker only: links a complete entry at the end.
  void Append(ListedItem* entry) {
    if (tail_) {
      tail_->next.store(entry, std::memory_order_release);
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
  std::atomic<const ListedItem*> head_{nullptr};
  ListedItem* tail_ = nullptr;
};

// Memory handed out in large chunks and released all at once: the listed
// items and their texts. Worker only.
class Arena {
 public:
  void* Allocate(size_t bytes, size_t align);
  void Release();
  size_t bytes() const { return reserved_; }

 private:
  std::vector<std::unique_ptr<std::byte[]>> chunks_;
  std::byte* at_ = nullptr;
  size_t left_ = 0;
  size_t reserved_ = 0;
};

class SessionData {
 public:
  SessionData();
  ~SessionData();
  SessionData(const SessionData&) = delete;
  SessionData& operator=(const SessionData&) = delete;

  // ---- Reading (any thread) ------------------------------------------------

  // Folder records in creation order (the top folder's record not included).
  const FolderRecord* firstFolder() const { return firstFolder_.load(std::memory_order_acquire); }
  // The record of the top folder itself ("Personal Folders\"), for the items
  // that lie directly in it.
  const FolderRecord& topFolder() const { return topFolder_; }

  const ListedChain& contacts() const { return contacts_; }
  const ListedChain& calendar() const { return calendar_; }
  const ListedChain& tasks() const { return tasks_; }
  const ListedChain& journal() const { return journal_; }
  const ListedChain& notes() const { return notes_; }

  // The variant of the store the texts came from. Set before any entry is
  // linked in.
  store::Variant variant() const { return variant_.load(std::memory_order_acquire); }

  // ---- Writing (the worker while a recovery runs) ------------------------

  void SetVariant(store::Variant v) { variant_.store(v, std::memory_order_release); }

  FolderRecord& AddFolder(std::string path, uint32_t nid, ColumnSet containerKind = ColumnSet::Mail);
  FolderRecord* topFolderRecord() { return &topFolder_; }
  // The first folder record whose NID is `nid`; nullptr when none has it.
  FolderRecord* FindFolderByNid(uint32_t nid);
  FolderRecord* lastFolder() { return lastFolder_; }

  // Each Append keeps what the item's rows show, taken from its records
  // (which it then releases), and links the entry in: a mail at the end of
  // its folder's mails; any other item at the end of its kind's list and,
  // when `folder` is given, of the items placed in that folder. The entry's
  // node id is the one its records carry.
  void AppendMail(FolderRecord& folder, std::unique_ptr<items::MessageDetails> details);
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
  // The deep scan replaces the indexes with rebuilt ones (std::atomic_store)
  // before it lists items only they know: a reader running beside it takes
  // them with std::atomic_load.
  items::NamedPropertyMap names;
  std::shared_ptr<store::StoreData> storeData;

  // The map a reader takes when it opens: `names`, or the one the deep scan
  // found after the normal stages found none.
  const items::NamedPropertyMap* Names() const { return namesInUse_.load(std::memory_order_acquire); }
  // Worker only: from now on readers take `found`. A map a reader took
  // before stays as it was; once per recovery (false when already done).
  bool PublishFoundNames(items::NamedPropertyMap found);

  // Bytes held for the listed items and their texts.
  size_t listedBytes() const { return arena_.bytes(); }

  // Releases everything and empties every list. Only while no worker runs
  // and no reader holds an entry.
  void Release();
  // Releases the listed items and their texts and empties every list; the
  // folder records, the named-property map and the indexes stay, for a
  // reader that goes on reading the items by node id (an export that took
  // its node ids from the lists). Same conditions as Release().
  void ReleaseListedItems();

 private:
  ListedItem* NewItem(ColumnSet kind, uint32_t nodeId, const items::MessageDetails* details,
                      std::initializer_list<const Blob*> texts);
  void AppendOther(ListedChain& list, ListedItem* entry, FolderRecord* folder);

  std::atomic<store::Variant> variant_{store::Variant::Unknown};

  std::deque<FolderRecord> folders_;  // stable addresses
  std::unordered_map<uint32_t, FolderRecord*> folderByNid_;  // first record per NID
  std::unordered_map<std::string, FolderRecord*> folderByPath_;  // first record per path
  std::atomic<FolderRecord*> firstFolder_{nullptr};
  FolderRecord* lastFolder_ = nullptr;
  FolderRecord topFolder_;

  ListedChain contacts_;
  ListedChain calendar_;
  ListedChain tasks_;
  ListedChain journal_;
  ListedChain notes_;

  Arena arena_;
  items::NamedPropertyMap foundNames_;
  std::atomic<const items::NamedPropertyMap*> namesInUse_{&names};
};

// The first eight bytes of a FILETIME value, little-endian; 0 when absent
// or shorter (both show no date).
uint64_t FileTimeOf(const Blob& value);

}  // namespace velmorix::session
