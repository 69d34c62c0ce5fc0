// Node database of a Unicode personal-folders file, written as a stream.
//
// Blocks are appended to a temporary file beside the destination as they are
// added; only one compact entry per block and per node is kept in memory.
// Commit() then writes the block and node B-trees bottom-up, the allocation
// maps of every interval, the header last, and gives the file its name. A
// database destroyed before Commit() removes its temporary file, so a stop or
// an error leaves nothing behind; an existing file is never replaced.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "format/checksum.h"
#include "pst/blocks.h"

namespace velmorix::pst {

// A write that could not be done; what() names the file and the reason.
class WriteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The format's CRC and the signature of a page or block trailer.
using format::Crc;
using format::Signature;

inline constexpr size_t kMaxBlockData = 8176;
inline constexpr uint64_t kFirstMapOffset = 0x4400;
inline constexpr uint64_t kMapInterval = 0x3E000;

// Last node index given out per node type (the header's rgnid[]).
using NidCounters = std::array<uint32_t, 32>;

class NodeDatabase {
 public:
  // Creates the temporary file in the folder of `path`. Throws WriteError
  // when `path` exists or the folder cannot be written.
  NodeDatabase(std::string path, Encoding encoding);
  ~NodeDatabase();
  NodeDatabase(const NodeDatabase&) = delete;
  NodeDatabase& operator=(const NodeDatabase&) = delete;

  // One data block (at most kMaxBlockData bytes).
  uint64_t AddBlock(ByteRange data);
  // One data block, or a data tree over full blocks when larger.
  uint64_t AddData(ByteRange data);
  // A data tree over data blocks already written, of the given sizes
  // (XBLOCK, or XXBLOCK over XBLOCKs when more than one XBLOCK is needed).
  uint64_t AddTree(const std::vector<uint64_t>& bids, const std::vector<uint32_t>& sizes);
  // A subnode tree: SLBLOCK, or SIBLOCK over SLBLOCKs. 0 when empty.
  uint64_t AddSubnodes(std::vector<SubnodeRef> entries);
  void AddNode(uint32_t nid, uint64_t dataBid, uint64_t subnodeBid, uint32_t parentNid);

  // Bytes placed in the file so far.
  uint64_t size() const { return cursor_; }
  size_t nodeCount() const { return nodes_.size(); }
  size_t blockCount() const { return blocks_.size(); }

  // Writes the indexes, maps and header and renames the file to its name.
  void Commit(const NidCounters& counters);
  const std::string& path() const { return path_; }

 private:
  // A block in 8 bytes: its offset (48 bits), its size (14 bits) and
  // whether it is internal. Its BID follows from its place in blocks_, as
  // BIDs are given out in order.
  struct BlockEntry {
    uint64_t packed;
    uint64_t ib() const { return packed & ((uint64_t{1} << 48) - 1); }
    uint16_t cb() const { return static_cast<uint16_t>((packed >> 48) & 0x3FFF); }
    bool internal() const { return (packed >> 62) & 1; }
  };
  static uint64_t BidAt(size_t index, bool internal) { return 4 * (index + 1) | (internal ? 2 : 0); }
  struct NodeEntry {
    uint32_t nid;
    uint32_t parent;
    uint64_t dataBid;
    uint64_t subnodeBid;
  };
  struct PageRef {
    uint64_t key;
    uint64_t bid;
    uint64_t ib;
  };

  uint64_t WriteBlock(ByteRange data, bool internal);
  uint64_t Allocate(uint64_t size, uint64_t align);
  uint64_t MapBytes(uint64_t interval) const;
  void EnterInterval(uint64_t interval);
  void CloseInterval();
  void WriteDensityList();
  void MarkUsed(uint64_t offset, uint64_t size);
  void Emit(uint64_t offset, ByteRange data);
  void Patch(uint64_t offset, ByteRange data);
  void Flush();
  void WriteAt(uint64_t offset, ByteRange data);
  void WritePage(uint64_t offset, std::array<std::byte, 512>& page, uint8_t ptype, uint64_t bid, bool signed_);
  uint64_t WriteTreePage(const std::byte* entries, size_t count, size_t entrySize, int maxEntries,
                         int level, uint8_t ptype, uint64_t* bidOut);
  PageRef BuildBlockTree();
  PageRef BuildNodeTree();
  PageRef BuildUpper(std::vector<PageRef> level, uint8_t ptype, int height);
  [[noreturn]] void Fail(const char* what, int err) const;

  std::string path_;
  std::string tempPath_;
  int fd_ = -1;
  Encoding encoding_;
  bool committed_ = false;

  uint64_t cursor_ = kFirstMapOffset;  // next free byte
  uint64_t flushed_ = 0;               // bytes handed to the file
  Bytes buffer_;                       // bytes from flushed_ on
  uint64_t nextBid_ = 4;               // next block BID (index 1)
  uint64_t nextPageBid_ = 1;

  // Allocation of the interval being filled.
  uint64_t interval_ = 0;
  std::array<uint8_t, 496> amap_{};
  std::vector<uint8_t> longestFree_;  // per closed interval, for the free maps
  std::vector<uint16_t> freeSlots_;   // per closed interval, for the density list
  uint64_t freeBytes_ = 0;            // zero bits of closed intervals, × 64

  // Deques: they grow without copying, so their peak is their size.
  std::deque<BlockEntry> blocks_;  // ascending BID
  std::deque<NodeEntry> nodes_;
};

// Streams one value into data blocks of a database and gives its data BID.
class DataStream {
 public:
  explicit DataStream(NodeDatabase& db) : db_(db) {}
  void Write(ByteRange data);
  uint64_t size() const { return total_; }
  // The value's data BID: one block, or a tree; 0 for an empty value.
  uint64_t Finish();

 private:
  NodeDatabase& db_;
  Bytes pending_;
  std::vector<uint64_t> bids_;
  uint64_t total_ = 0;
};

}  // namespace velmorix::pst
