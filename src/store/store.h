// Store access: the opened file, its header, raw and decoded block reads, the
// block list and node tree loaded from the two index B-trees, data trees and
// subnode lists.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "store/bytes.h"
#include "store/id_map.h"
#include "store/inflate.h"
#include "store/layout.h"

namespace velmorix::store {

// Raised by the file layer for a real read error (never for end of file).
class IoError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Encryption (block encoding) methods.
inline constexpr int kEncodeNone = 0;
inline constexpr int kEncodePermute = 1;
inline constexpr int kEncodeCyclic = 2;

// One block index leaf entry.
struct BlockEntry {
  uint32_t bid = 0;           // as stored, bit 0 included
  int32_t inflatedSize = 0;   // data bytes once inflated; differs from size only for a compressed block
  uint64_t offset = 0;        // file offset of the block's data
  int32_t size = 0;           // data bytes as stored (the 16-bit field, taken unsigned)
  int32_t refCount = 0;
  bool compressed() const { return inflatedSize != size; }
};

// The block list: every block index leaf entry in walk order, with a hash
// index that finds the first entry stored with a given BID.
class BlockList {
 public:
  const BlockEntry& Append(const BlockEntry& e);
  // First entry in list order whose stored BID equals `bid`; nullptr if none.
  const BlockEntry* FindExact(uint32_t bid) const;
  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  const std::deque<BlockEntry>& entries() const { return entries_; }

 private:
  std::deque<BlockEntry> entries_;
  IdMap first_;
};

// One node index leaf entry, linked into the node tree.
struct NodeEntry {
  uint32_t nid = 0;
  const BlockEntry* subnodeBlock = nullptr;
  const BlockEntry* dataBlock = nullptr;
  NodeEntry* prevSibling = nullptr;
  NodeEntry* nextSibling = nullptr;
  NodeEntry* parent = nullptr;
  NodeEntry* firstChild = nullptr;
  NodeEntry* lastChild = nullptr;
  bool topLevel = false;  // linked into the top-level list
  // Reachability cache of NodeTree::Find, valid while reachEpoch is current.
  mutable uint64_t reachEpoch = 0;
  mutable bool reachable = false;
};

// The node tree: top-level entries in a doubly linked list, each entry's
// children in a doubly linked list. Owns every entry ever created, linked or not.
class NodeTree {
 public:
  NodeTree();
  ~NodeTree();
  NodeTree(const NodeTree&) = delete;
  NodeTree& operator=(const NodeTree&) = delete;

  NodeEntry* head() const { return head_; }
  NodeEntry* tail() const { return tail_; }
  size_t createdCount() const { return all_.size(); }

  // First entry with `nid` in depth-first pre-order of the tree; entries not
  // reachable from the top-level list are not found.
  NodeEntry* Find(uint32_t nid) const;
  // The same answer without the reachability cache: writes nothing, so other
  // threads may call it while one thread uses Find on a loaded tree.
  NodeEntry* FindReadOnly(uint32_t nid) const;

  // Tree-building primitives used by the index loader.
  NodeEntry* Create(uint32_t nid, const BlockEntry* sub, const BlockEntry* data);
  void AppendTopLevel(NodeEntry* e);
  // Appends `child` as the last child of `parent`. Returns false (and links
  // nothing) when that would make a cycle.
  bool AppendChild(NodeEntry* parent, NodeEntry* child);
  // Unlinks `e` from its parent or from the top-level list; clears its links
  // (its own children stay with it).
  void Unlink(NodeEntry* e);

 private:
  bool Reachable(const NodeEntry* e) const;
  bool ReachableUncached(const NodeEntry* e) const;
  NodeEntry* FindPreorder(uint32_t nid) const;
  NodeEntry* FirstByNid(uint32_t nid) const;

  std::deque<NodeEntry> all_;
  NodeEntry* head_ = nullptr;
  NodeEntry* tail_ = nullptr;
  // The first entry created with each NID, and any later ones.
  IdMap firstByNid_;
  std::unordered_multimap<uint32_t, NodeEntry*> moreByNid_;
  // Bumped whenever an entry is unlinked: reachability caches older than this
  // are stale.
  uint64_t epoch_ = 1;
  bool sharedNids_ = false;  // some NID was created more than once
};

// One subnode of a node: its NID, the block entry of its data and, when it
// has subnodes of its own, the block entry of its subnode block.
struct SubnodeEntry {
  uint32_t nid = 0;
  const BlockEntry* dataBlock = nullptr;  // never null
  const BlockEntry* subnodeBlock = nullptr;
};

// A node's flat subnode list: nested subnodes follow the entry they belong to.
using SubnodeList = std::vector<SubnodeEntry>;

// Keeps every subnode list read during a session; lists are released with it.
// Threads that build items of one store register concurrently.
class SubnodeRegistry {
 public:
  const SubnodeList* Register(SubnodeList list);

 private:
  std::mutex mutex_;
  std::deque<SubnodeList> lists_;
};

// What the store layer leaves behind as session data.
struct StoreData {
  BlockList blocks;
  NodeTree nodes;
  SubnodeRegistry subnodes;
  // Set when a deep scan rebuilt these indexes without an intact header: the
  // variant and block encoding the file was read with, which readers of
  // these indexes take instead of the header's.
  Variant scannedVariant = Variant::Unknown;
  int scannedEncryption = 0;
};

// An opened store file. Lives for one recovery run on the worker thread; the
// loaded data is shared with the session and outlives it.
class Store {
 public:
  Store();
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Header values, set by OpenStore.
  int version = 0;
  Variant variant = Variant::Unknown;
  int encryptionMethod = 0;
  uint64_t blockRootOffset = 0;
  uint64_t nodeRootOffset = 0;
  uint8_t blockLeafLevel = 255;
  uint8_t nodeLeafLevel = 255;
  bool blockLeafSeen = false;
  bool nodeLeafSeen = false;
  // File size the header names (0 when it names none).
  uint64_t headerFileEof = 0;

  // Damage met by the index load: index pages that could not be read below a
  // known leaf level, and node entries naming a block the block index lacks.
  uint32_t indexPagesLost = 0;
  uint32_t nodesWithoutBlocks = 0;

  // Set by the session: the stop request polled by the index walks.
  const std::atomic<bool>* stopRequest = nullptr;
  bool StopRequested() const { return stopRequest && stopRequest->load(std::memory_order_acquire); }

  // Shown once per store when a block cannot be decoded (unknown method).
  std::function<void()> onUnknownEncryption;
  bool unknownEncryptionShown = false;

  std::shared_ptr<StoreData> data;

  // Index pages walked during the current index load, as (offset, as leaf).
  std::set<std::pair<uint64_t, bool>> walkedPages;

  // The page, entry and block layout of the variant; nullptr when unknown.
  const VariantLayout* layout() const { return LayoutOf(variant); }

  bool isOpen() const { return fd_ >= 0; }
  const std::string& path() const { return path_; }
  uint64_t fileSize() const { return fileSize_; }

  // Reads `count` bytes at `offset` into `out` (resized to the bytes read) and
  // returns the number read; fewer at or beyond the end of the file. Throws
  // IoError for a real read error.
  uint32_t ReadRawBlock(uint64_t offset, uint32_t count, Buffer& out);
  // Reads up to `out.size()` bytes at `offset` into `out`; returns the number
  // read, fewer at the end of the file. Throws IoError for a real read error.
  uint64_t ReadAt(uint64_t offset, std::span<std::byte> out);

 private:
  friend int OpenStore(Store& store, const std::string& path, bool lock);
  int fd_ = -1;
  std::string path_;
  uint64_t fileSize_ = 0;
};

// Opens `path` read-only under an exclusive advisory lock and reads the header.
// 0 when the file was opened (whatever its header says), -1 otherwise.
// Without `lock` no lock is taken: for a second reader of a file that
// another Store of this process holds locked.
int OpenStore(Store& store, const std::string& path, bool lock = true);

// Decodes `buf` in place with `method`, keyed by `bid` for the cyclic method.
// 0 when decoded (method 0 leaves it as it is), -1 for an unknown method.
int DecodeBlock(std::span<std::byte> buf, int method, uint32_t bid);
// Encodes in place; the inverse of DecodeBlock (used by the store builder).
int EncodeBlock(std::span<std::byte> buf, int method, uint32_t bid);

// Loads the block list and node tree. 0 when loading ended (completely or cut
// short), -1 when either index could not be loaded at all.
int LoadIndexes(Store& store);

const BlockEntry* FindBlock(const Store& store, uint32_t bid);
NodeEntry* FindNode(const Store& store, uint32_t nid);
uint64_t BlockOffset(const Store& store, uint32_t bid);

// Reads a node's subnode block into a registered, flat subnode list; nullptr
// when the block is missing, unreadable or not a subnode block.
const SubnodeList* ReadSubnodeList(Store& store, const BlockEntry* subnodeBlock);
// The same into the caller's `out` (cleared first), registering nothing: for
// reads whose results keep no pointer into the list. False when `out` stays
// empty.
bool ReadSubnodeList(Store& store, const BlockEntry* subnodeBlock, SubnodeList& out);

// Reads the entries of one subnode block (a leaf block, or an intermediate
// block over leaf blocks) into the caller's `out`, without following their own
// subnode blocks: each entry keeps its subnode block instead. Registers
// nothing and touches no session data. False when the block is missing,
// unreadable or not a subnode block.
bool ReadSubnodeLevel(Store& store, const BlockEntry* subnodeBlock, SubnodeList& out);

// Reads one whole page of the store's variant at `offset`; nullopt when the
// variant is unknown or the file holds less than a page there.
std::optional<Buffer> ReadPage(Store& store, uint64_t offset);

// The data bytes of a block, inflated when it is compressed but not decoded;
// nullopt when it cannot be read in full or does not inflate to its size.
std::optional<Buffer> ReadBlockData(Store& store, const BlockEntry& block);

// Reads one data block by BID, inflates and decodes it; nullopt when the
// block is not in the block list or cannot be read in full.
std::optional<Buffer> ReadNodeBlock(Store& store, uint32_t bid);

// The most bytes a data tree of this store can hold: the file size, and for a
// variant with compressed blocks the most its blocks can inflate to.
uint64_t DataBudget(const Store& store);

// Reads the data named by `bid` whole: a single data block, or the data blocks
// of an XBLOCK / XXBLOCK data tree in order, each decoded. nullopt on any
// failure.
std::optional<std::vector<Buffer>> ReadDataBlocks(Store& store, uint32_t bid);
std::optional<Buffer> ReadDataTree(Store& store, uint32_t bid);

// Hands the decoded data blocks under `bid` to `visit` one at a time, in
// order, so that data of any size passes through one block of memory. `visit`
// returns false to stop early. False when a block is missing or unreadable or
// the tree is malformed; the blocks visited before that stay visited.
bool VisitDataBlocks(Store& store, uint32_t bid, const std::function<bool(ByteSpan)>& visit);

// The byte count of the data under `bid`, from the block index and the tree's
// internal blocks alone (no data block is read); nullopt when the tree is
// malformed or names a missing block.
std::optional<uint64_t> DataSize(Store& store, uint32_t bid);

}  // namespace velmorix::store
