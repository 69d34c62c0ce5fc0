#include "session/session_data.h"

#include <cstring>
#include <new>
#include <utility>

namespace velmorix::session {

namespace {

constexpr const char* kTopFolderPath = "Personal Folders\\";
constexpr size_t kChunkSize = 256 * 1024;

// A stored text as shown: up to its first NUL; ANSI stores hold
// Windows-1252 bytes, Unicode stores UTF-8 already.
std::string_view StoredText(const Blob* text) {
  if (!text) return {};
  std::string_view v = text->view();
  return v.substr(0, v.find('\0'));
}

const Blob* SubjectOf(const items::MessageDetails* details) {
  return details && details->subject ? &details->subject->text : nullptr;
}

}  // namespace

std::string_view ListedItem::Text(int i) const {
  if (i < 0 || i >= kMaxTexts || !texts) return {};
  size_t start = 0;
  for (int k = 0; k < i; ++k) start += lengths[k];
  return {texts + start, lengths[i]};
}

void* Arena::Allocate(size_t bytes, size_t align) {
  const size_t pad = at_ ? (align - reinterpret_cast<uintptr_t>(at_) % align) % align : 0;
  if (!at_ || pad + bytes > left_) {
    // A request larger than a quarter chunk gets a chunk of its own, so that
    // the current chunk's rest is not wasted.
    const size_t size = bytes + align > kChunkSize / 4 ? bytes + align : kChunkSize;
    chunks_.push_back(std::make_unique_for_overwrite<std::byte[]>(size));
    reserved_ += size;
    std::byte* start = chunks_.back().get();
    const size_t startPad = (align - reinterpret_cast<uintptr_t>(start) % align) % align;
    if (size != kChunkSize) return start + startPad;
    at_ = start;
    left_ = size;
    return Allocate(bytes, align);
  }
  std::byte* out = at_ + pad;
  at_ = out + bytes;
  left_ -= pad + bytes;
  return out;
}

void Arena::Release() {
  std::vector<std::unique_ptr<std::byte[]>>().swap(chunks_);
  at_ = nullptr;
  left_ = 0;
  reserved_ = 0;
}

SessionData::SessionData() {
  topFolder_.folderPath = kTopFolderPath;
  topFolder_.pathHash = std::hash<std::string>{}(topFolder_.folderPath);
  topFolder_.firstWithPath_ = true;
}

SessionData::~SessionData() = default;

FolderRecord& SessionData::AddFolder(std::string path, uint32_t nid, ColumnSet containerKind) {
  FolderRecord& record = folders_.emplace_back();
  record.folderPath = std::move(path);
  record.pathHash = std::hash<std::string>{}(record.folderPath);
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

ListedItem* SessionData::NewItem(ColumnSet kind, uint32_t nodeId, const items::MessageDetails* details,
                                 std::initializer_list<const Blob*> texts) {
  const bool ansi = variant() == store::Variant::Ansi;
  std::string converted[ListedItem::kMaxTexts];
  std::string_view shown[ListedItem::kMaxTexts];
  size_t total = 0;
  int n = 0;
  for (const Blob* text : texts) {
    if (n == ListedItem::kMaxTexts) break;
    shown[n] = StoredText(text);
    if (ansi) {
      converted[n] = Cp1252ToUtf8(shown[n]);
      shown[n] = converted[n];
    }
    total += shown[n].size();
    ++n;
  }
  auto* item = new (arena_.Allocate(sizeof(ListedItem), alignof(ListedItem))) ListedItem;
  char* at = total ? static_cast<char*>(arena_.Allocate(total, 1)) : nullptr;
  item->texts = at;
  for (int i = 0; i < n; ++i) {
    if (!shown[i].empty()) std::memcpy(at, shown[i].data(), shown[i].size());
    at += shown[i].size();
    item->lengths[i] = static_cast<uint32_t>(shown[i].size());
  }
  item->kind = kind;
  item->nodeId = nodeId;
  item->date = details ? FileTimeOf(details->deliveryTime) : 0;
  return item;
}

void SessionData::AppendMail(FolderRecord& folder, std::unique_ptr<items::MessageDetails> details) {
  const items::MessageDetails& d = *details;
  // Without a sender name the row shows the sender's address.
  const Blob* sender = &d.sentRepresentingName;
  if (StoredText(sender).empty()) {
    for (const Blob* address : {&d.sentRepresentingEmailAddress, &d.senderEmailAddress}) {
      if (!StoredText(address).empty()) {
        sender = address;
        break;
      }
    }
  }
  ListedItem* entry = NewItem(ColumnSet::Mail, d.nodeId, &d, {sender, SubjectOf(&d), &d.displayTo});
  if (sender->present()) entry->flags |= ListedItem::kHasSender;
  if (d.subject) entry->flags |= ListedItem::kHasSubject;
  if (!d.attachmentList.empty()) entry->flags |= ListedItem::kHasAttachments;
  if (folder.lastMail_) {
    folder.lastMail_->next.store(entry, std::memory_order_release);
  } else {
    folder.firstMail.store(entry, std::memory_order_release);
  }
  folder.lastMail_ = entry;
}

void SessionData::AppendOther(ListedChain& list, ListedItem* entry, FolderRecord* folder) {
  list.Append(entry);
  if (!folder) return;
  if (folder->lastPlaced_) {
    folder->lastPlaced_->nextPlaced.store(entry, std::memory_order_release);
  } else {
    folder->firstPlaced.store(entry, std::memory_order_release);
  }
  folder->lastPlaced_ = entry;
  folder->placedKinds_ |= KindBit(entry->kind);
}

void SessionData::AppendTask(std::unique_ptr<items::MessageDetails> details, FolderRecord* folder) {
  ListedItem* entry = NewItem(ColumnSet::Tasks, details->nodeId, details.get(), {SubjectOf(details.get())});
  AppendOther(tasks_, entry, folder);
}

void SessionData::AppendContact(std::unique_ptr<items::ContactDetails> contact,
                                std::unique_ptr<items::MessageDetails> details, FolderRecord* folder) {
  const items::ContactDetails& c = *contact;
  ListedItem* entry = NewItem(ColumnSet::Contacts, c.nodeId, details.get(),
                              {SubjectOf(details.get()), &c.fileUnder, &c.postalAddress, &c.mobilePhone});
  AppendOther(contacts_, entry, folder);
}

void SessionData::AppendCalendar(std::unique_ptr<items::AppointmentDetails> appointment,
                                 std::unique_ptr<items::MessageDetails> details,
                                 FolderRecord* folder) {
  ListedItem* entry = NewItem(ColumnSet::Calendar, appointment->nodeId, details.get(),
                              {SubjectOf(details.get()), &appointment->meetingLocation});
  AppendOther(calendar_, entry, folder);
}

void SessionData::AppendNote(std::unique_ptr<items::AppointmentDetails> appointment,
                             std::unique_ptr<items::MessageDetails> details, FolderRecord* folder) {
  ListedItem* entry =
      NewItem(ColumnSet::Notes, appointment->nodeId, details.get(),
              {SubjectOf(details.get()), details ? &details->bodyText : nullptr});
  AppendOther(notes_, entry, folder);
}

void SessionData::AppendJournal(std::unique_ptr<items::JournalDetails> journal,
                                std::unique_ptr<items::MessageDetails> details, FolderRecord* folder) {
  ListedItem* entry = NewItem(ColumnSet::Journal, journal->nodeId, details.get(),
                              {SubjectOf(details.get()), &journal->logType});
  AppendOther(journal_, entry, folder);
}

std::optional<ColumnSet> SessionData::TakeShownChange(FolderRecord& folder) {
  const ColumnSet shown =
      FolderColumnSet(folder.lastMail_ != nullptr, folder.placedKinds_, folder.containerKind);
  if (shown == folder.shown_) return std::nullopt;
  folder.shown_ = shown;
  if (!folder.firstWithPath_) return std::nullopt;
  return shown;
}

bool SessionData::PublishFoundNames(items::NamedPropertyMap found) {
  if (Names() != &names) return false;
  foundNames_ = std::move(found);
  namesInUse_.store(&foundNames_, std::memory_order_release);
  return true;
}

void SessionData::ReleaseListedItems() {
  // Unlink first, so that nothing reachable points into released memory.
  auto unlink = [](FolderRecord& f) {
    f.firstMail.store(nullptr, std::memory_order_release);
    f.lastMail_ = nullptr;
    f.firstPlaced.store(nullptr, std::memory_order_release);
    f.lastPlaced_ = nullptr;
    f.placedKinds_ = 0;
  };
  unlink(topFolder_);
  for (FolderRecord& f : folders_) unlink(f);
  contacts_.Reset();
  calendar_.Reset();
  tasks_.Reset();
  journal_.Reset();
  notes_.Reset();
  arena_.Release();
}

void SessionData::Release() {
  ReleaseListedItems();
  firstFolder_.store(nullptr, std::memory_order_release);
  lastFolder_ = nullptr;
  topFolder_.shown_ = ColumnSet::Mail;

  folders_.clear();
  folderByNid_.clear();
  folderByPath_.clear();
  namesInUse_.store(&names, std::memory_order_release);
  names = items::NamedPropertyMap();
  foundNames_ = items::NamedPropertyMap();
  std::atomic_store(&storeData, std::shared_ptr<store::StoreData>());
  variant_.store(store::Variant::Unknown, std::memory_order_release);
}

uint64_t FileTimeOf(const Blob& value) {
  const ByteSpan b = value.bytes();
  if (b.size() < 8) return 0;
  uint64_t t = 0;
  for (int i = 7; i >= 0; --i) t = (t << 8) | static_cast<uint8_t>(b[static_cast<size_t>(i)]);
  return t;
}

}  // namespace velmorix::session
