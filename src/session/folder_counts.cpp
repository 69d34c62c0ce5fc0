#include "session/folder_counts.h"

#include "session/session_data.h"

namespace velmorix::session {

namespace {

constexpr const char* kTopPath = "Personal Folders\\";
constexpr const char* kContactsPath = "Personal Folders\\Contacts\\";
// The fixed paths whose list gathers one kind from the whole store, in the
// order of FolderCounts::kinds_.
constexpr const char* kKindPaths[5] = {kContactsPath, "Personal Folders\\Tasks\\", "Personal Folders\\Journal\\",
                                       "Personal Folders\\Notes\\", "Personal Folders\\Calendar\\"};

bool IsKindPath(const std::string& path) {
  for (const char* fixed : kKindPaths) {
    if (path == fixed) return true;
  }
  return false;
}

}  // namespace

bool FolderCounts::Advance(Cursor& cursor, const ListedItem* head, bool placedLink) {
  auto next = [placedLink](const ListedItem* e) { return placedLink ? e->NextPlaced() : e->Next(); };
  const ListedItem* at = cursor.last == nullptr ? head : next(cursor.last);
  if (at == nullptr) return false;
  for (; at != nullptr; at = next(at)) {
    cursor.last = at;
    ++cursor.count;
  }
  return true;
}

void FolderCounts::Set(const std::string& path, size_t count, std::vector<std::pair<std::string, size_t>>& changed) {
  size_t& known = counts_[path];
  if (known == count) return;
  known = count;
  changed.emplace_back(path, count);
}

std::vector<std::pair<std::string, size_t>> FolderCounts::Refresh(const SessionData& data) {
  std::vector<std::pair<std::string, size_t>> changed;
  for (std::string& path : retry_) {
    const size_t count = CountOf(path);
    changed.emplace_back(std::move(path), count);
  }
  retry_.clear();

  // New folder records: the first with each path is the one its tree item shows.
  const FolderRecord* f = lastFolder_ == nullptr ? data.firstFolder() : lastFolder_->Next();
  for (; f != nullptr; f = f->Next()) {
    lastFolder_ = f;
    if (byPath_.emplace(f->folderPath, f).second) folders_.emplace(f, FolderCursor{});
  }

  const ListedChain* kinds[5] = {&data.contacts(), &data.tasks(), &data.journal(), &data.notes(), &data.calendar()};
  for (int i = 0; i < 5; ++i) {
    if (Advance(kinds_[i], kinds[i]->head(), false)) Set(kKindPaths[i], kinds_[i].count, changed);
  }
  // The contacts folder shows its own mails while no contact is listed.
  const bool contactsListed = kinds_[0].count != 0;

  for (auto& [record, cursor] : folders_) {
    const bool mails = Advance(cursor.mails, record->FirstMail(), false);
    const bool placed = Advance(cursor.placed, record->FirstPlaced(), true);
    if (!mails && !placed) continue;
    const std::string& path = record->folderPath;
    if (path == kContactsPath) {
      if (!contactsListed) Set(path, cursor.mails.count, changed);
    } else if (!IsKindPath(path)) {
      Set(path, cursor.mails.count + cursor.placed.count, changed);
    }
  }
  const bool topMails = Advance(top_.mails, data.topFolder().FirstMail(), false);
  const bool topPlaced = Advance(top_.placed, data.topFolder().FirstPlaced(), true);
  if (topMails || topPlaced) Set(kTopPath, top_.mails.count + top_.placed.count, changed);
  return changed;
}

size_t FolderCounts::CountOf(const std::string& path) const {
  auto it = counts_.find(path);
  return it == counts_.end() ? 0 : it->second;
}

void FolderCounts::Reset() { *this = FolderCounts(); }

}  // namespace velmorix::session
