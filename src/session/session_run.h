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

// Ties the hierarchy and contents tables the deep scan found to their
// folders and the nodes their rows name, linking those nodes below their
// folders in `found`'s tree (a lost message node is made again from a found
// property context its row describes). With `fillByCounts`, messages still
// in no folder go to a folder whose contents table was lost when the
// folder's item count and kind single it out. Returns the message NIDs a
// found contents table names, and the subfolders found hierarchy tables
// name with their rows.
struct FoundTies {
  std::unordered_set<uint32_t> named;  // message NIDs a found contents table names
  // What a found hierarchy table's row says of a subfolder: its name and
  // container class as stored, for a folder whose own context is lost.
  struct FolderRow {
    Buffer name;
    Buffer containerClass;
  };
  std::unordered_map<uint32_t, FolderRow> folders;
};
FoundTies TieFoundTables(store::Store& s, store::DeepScanResult& found, const std::atomic<bool>& stop,
                         bool fillByCounts);

}  // namespace detail
}  // namespace velmorix::session
