// How many items each folder's list shows, kept up to date while a scan
// appends: every refresh follows only the entries linked in since the last
// one, so the counts can be shown beside the folder names as the scan runs.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace velmorix::session {

class SessionData;
struct FolderRecord;
struct ListedItem;

class FolderCounts {
 public:
  // Follows the lists of `data` from where the last refresh left them and
  // returns the tree paths whose count changed, with their new counts: the
  // number of rows selecting that path lists. Reads as the window's lists
  // do, so it may run while the worker appends.
  std::vector<std::pair<std::string, size_t>> Refresh(const SessionData& data);
  // The count of `path` as of the last refresh (0 when unknown).
  size_t CountOf(const std::string& path) const;
  // `path` could not be shown yet (its tree item is still on its way): the
  // next refresh hands its count out again.
  void Retry(const std::string& path) { retry_.push_back(path); }
  // Forgets everything; before the session data is released or refilled.
  void Reset();

 private:
  // A list followed up to its last entry seen.
  struct Cursor {
    const ListedItem* last = nullptr;
    size_t count = 0;
  };
  struct FolderCursor {
    Cursor mails;
    Cursor placed;
  };
  static bool Advance(Cursor& cursor, const ListedItem* head, bool placedLink);
  void Set(const std::string& path, size_t count, std::vector<std::pair<std::string, size_t>>& changed);

  // The first record with each path, as the tree shows it.
  std::unordered_map<std::string, const FolderRecord*> byPath_;
  std::unordered_map<const FolderRecord*, FolderCursor> folders_;
  const FolderRecord* lastFolder_ = nullptr;
  FolderCursor top_;
  Cursor kinds_[5];  // contacts, tasks, journal, notes, calendar
  std::unordered_map<std::string, size_t> counts_;
  std::vector<std::string> retry_;
};

}  // namespace velmorix::session
