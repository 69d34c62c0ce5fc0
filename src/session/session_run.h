// The working state of one run and the helpers its stages share (the normal
// stages in session.cpp, the deep scan in deep_stage.cpp).
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "items/items.h"
#include "session/folder_list.h"
#include "session/session.h"
#include "store/deep_scan.h"
#include "store/store.h"

namespace velmorix::session {

struct FolderRecord;

// Released on every path when the run ends.
struct RecoverySession::Run {
  std::unique_ptr<store::Store> store;
  std::unique_ptr<items::ItemContext> ctx;
  const store::NodeEntry* topNode = nullptr;
  bool ansi = false;
  bool unknownEncryptionShown = false;
  // When set, the folder record RegisterItem places items in, or what makes
  // it when an item is placed.
  FolderRecord* placeInto = nullptr;
  std::function<FolderRecord&()> placeLazily;
};

namespace detail {

inline constexpr const char* kTopFolderPath = "Personal Folders\\";

// A stored text up to its first NUL, as the record's C string would read.
std::string_view TextOf(const Blob& b);
// The kind a folder's container class names.
ColumnSet ContainerKind(const items::ItemRecord& folder, bool ansi);
// The folder path as shown: whole, or cut at a component boundary.
std::string ShownPath(const std::string& path);

// What the found tables name: the message NIDs a found contents table
// names, and per subfolder a found hierarchy table names, its row's name and
// container class as stored (for a folder whose own context is lost).
struct FoundTies {
  std::unordered_set<uint32_t> named;
  // Folders a found contents table was tied to: a message below one that
  // its table does not name lies there under a damaged NID.
  std::unordered_set<uint32_t> tabled;
  struct FolderRow {
    Buffer name;
    Buffer containerClass;
  };
  std::unordered_map<uint32_t, FolderRow> folders;
  // Per hierarchy table whose own folder stays unknown, the folders it
  // names: siblings of the top folder there lie outside it, as the root
  // folder's other children do.
  std::vector<std::vector<uint32_t>> siblings;
};

// Ties the hierarchy and contents tables the deep scan of a damaged file
// found to their folders and the nodes their rows name, linking those nodes
// below their folders in `found`'s tree (a lost message node is made again
// from a found property context its row describes, a lost folder node from
// its hierarchy row). Messages still in no folder go to a folder whose
// contents table was lost when the folder's item count and kind single it
// out.
FoundTies TieFoundTables(store::Store& s, store::DeepScanResult& found, const std::atomic<bool>& stop);

}  // namespace detail
}  // namespace velmorix::session
