// Node-database writer: builds a complete store file (header, allocation maps,
// block and node B-trees, data and internal blocks) of any variant.
//
// Blocks are placed in the file as they are added; the index pages, the maps
// and the header are laid out by Finish() (called by Build() and Write()).
// After Finish() the layout can be inspected and the image damaged on purpose
// through the Patch / Set... helpers, and Build() / Write() give the result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "format/checksum.h"
#include "format/layout.h"
#include "pst/blocks.h"
#include "store/bytes.h"

namespace velmorix::storebuilder {

class Deflater;

// Header versions 14, 15, 23 and 36 (the 4 KiB-page variant).
enum class Format { Ansi14, Ansi15, Unicode23, Unicode4K };

struct NdbOptions {
  Format format = Format::Unicode23;
  int encryption = 1;  // 0 none, 1 permutation, 2 cyclic (header byte 461 ANSI / 513 Unicode)
  bool offlineFolders = false;  // client magic "SO" (offline folders) instead of "SM"
  // Unicode4K: data blocks are stored as zlib streams where that makes them
  // smaller (internal blocks never are).
  bool compress = true;

  // Entries per B-tree page; 0 = the page maximum. Partial fills give deeper trees.
  int blockLeafFill = 0;
  int nodeLeafFill = 0;
  int intermediateFill = 0;  // both trees
  // Minimum number of levels (leaf level included): extra single-entry
  // intermediate pages are stacked on top until the tree is this high.
  int minBlockLevels = 1;
  int minNodeLevels = 1;

  // Reference count written for every block.
  uint16_t refCount = 2;

  // File offset of the first block (0 = right after the first map pages), and
  // of the first index page (0 = right after the blocks). Offsets of 4 GiB and
  // more need the Unicode format; the gap becomes a hole in the written file.
  uint64_t blockBase = 0;
  uint64_t pageBase = 0;
  // Map ranges inside such a hole hold nothing. By default their map pages are
  // left out (the file stays small on disk) and the header marks the maps
  // invalid, which the format allows; set this to write every map page.
  bool writeHoleMaps = false;

  // Zero bytes left free after the last page or block, so that a reader reading
  // more than one page at the last page offset still gets a full read.
  uint32_t tailPadding = 1024;
  // Extend the file to the end of its last allocation-map range, as Outlook does.
  bool padToAMapRange = false;
};

using SubnodeRef = pst::SubnodeRef;

// One node index leaf entry as written.
struct NodeLeafEntry {
  uint32_t nid = 0;
  uint32_t dataBid = 0;
  uint32_t subnodeBid = 0;
  uint32_t parentNid = 0;
};

// One block index leaf entry as written.
struct BlockLeafEntry {
  uint32_t bid = 0;
  uint64_t offset = 0;
  uint16_t size = 0;          // as stored
  uint16_t refCount = 2;
  uint16_t inflatedSize = 0;  // Unicode4K: once inflated; 0 = the same as size
};

enum class IndexTree { Block, Node };

// One written B-tree page.
struct PageInfo {
  uint64_t offset = 0;
  uint64_t bid = 0;        // page BID
  uint64_t firstKey = 0;   // key of entry 0 (0 for an empty page)
  int level = 0;           // 0 = leaf
  int entries = 0;
};

// Where one block lies.
struct BlockLocation {
  uint32_t bid = 0;
  uint64_t offset = 0;        // file offset of the block's data
  uint16_t size = 0;          // data bytes as stored
  uint64_t entryOffset = 0;   // file offset of its block index leaf entry; 0 if not listed
  uint16_t inflatedSize = 0;  // data bytes once inflated (== size unless compressed)
};

struct Layout {
  // Pages by level (index 0 = leaves), each level in file order; the root is
  // the single page of the last level.
  std::vector<std::vector<PageInfo>> blockPages;
  std::vector<std::vector<PageInfo>> nodePages;
  std::vector<BlockLocation> blocks;          // ascending BID
  std::vector<uint64_t> nodeEntryOffsets;     // each node leaf entry, in file order
  std::vector<uint64_t> amapOffsets;
  // Pages of the older index states WriteStaleIndex() left in the file.
  std::vector<PageInfo> stalePages;
  uint64_t blockRoot = 0;
  uint64_t nodeRoot = 0;
  uint64_t fileSize = 0;

  const BlockLocation* FindBlock(uint32_t bid) const;
  const PageInfo& BlockRootPage() const { return blockPages.back().front(); }
  const PageInfo& NodeRootPage() const { return nodePages.back().front(); }
};

class NdbWriter {
 public:
  explicit NdbWriter(NdbOptions options = {});
  ~NdbWriter();
  NdbWriter(const NdbWriter&) = delete;
  NdbWriter& operator=(const NdbWriter&) = delete;

  const NdbOptions& options() const { return options_; }
  bool unicode() const;         // 8-byte IDs and Unicode texts (Unicode23 and Unicode4K)
  size_t maxBlockData() const;  // 8176 Unicode, 8180 ANSI, 65512 Unicode4K
  size_t idSize() const { return unicode() ? 8 : 4; }
  const format::VariantLayout& variantLayout() const;
  // Data blocks written compressed so far.
  size_t compressedBlockCount() const { return compressedBlocks_; }

  // Data blocks are encoded with the store's method (and, in Unicode4K,
  // compressed); internal blocks never are.
  uint32_t AddDataBlock(std::span<const std::byte> data);  // one data block (size <= maxBlockData())
  // One data block, or an XBLOCK (or XXBLOCK) data tree when larger.
  uint32_t AddData(std::span<const std::byte> data);
  // Explicit XBLOCK (level 1) / XXBLOCK (level 2) over the given BIDs.
  uint32_t AddDataTree(const std::vector<uint32_t>& childBids, uint32_t totalSize, int level);
  // XBLOCK over data blocks already written, of the given sizes, or an
  // XXBLOCK over XBLOCKs when they do not fit one.
  uint32_t AddTree(const std::vector<uint32_t>& bids, const std::vector<uint32_t>& sizes);
  // SLBLOCK, or SIBLOCK over SLBLOCKs when too many entries. Entries are
  // written in the order given.
  uint32_t AddSubnodeBlock(const std::vector<SubnodeRef>& entries);
  // A block holding exactly `data`, never encoded, with the internal bit set
  // or not (for hand-made or damaged internal blocks).
  uint32_t AddRawBlock(std::span<const std::byte> data, bool internal);
  // The BID the next added block will get (lets a test build self-references).
  uint32_t PeekNextBlockBid(bool internal) const;

  void AddNode(uint32_t nid, uint32_t dataBid, uint32_t subnodeBid, uint32_t parentNid);
  // Takes the node's entries out of the node index (its blocks stay).
  void RemoveNode(uint32_t nid);
  // Leaves the block in the file but out of the block index, as free space
  // a mail client left behind.
  void FreeBlock(uint32_t bid);
  // Writes both index trees as they stand now at the end of the blocks so
  // far: pages the header never names, as a client leaves the older state
  // behind when it appends rewritten pages.
  void WriteStaleIndex();
  size_t nodeCount() const { return nodes_.size(); }
  size_t blockCount() const { return blocks_.size(); }

  // Capacity hint for big stores: that many more nodes and blocks, and
  // `blockBytes` more bytes of blocks in the file.
  void Reserve(size_t nodes, size_t blocks, uint64_t blockBytes);

  // Entries the default index trees hold: nodes ascending by NID (added order
  // among equal NIDs), blocks ascending by BID.
  std::vector<NodeLeafEntry> NodeEntries() const;
  std::vector<BlockLeafEntry> BlockEntries() const;
  // Replace the default leaf level with explicit pages, each in file order.
  // Pages may be empty; a page holds at most the page maximum of entries.
  void SetNodeLeafPages(std::vector<std::vector<NodeLeafEntry>> pages);
  void SetBlockLeafPages(std::vector<std::vector<BlockLeafEntry>> pages);

  // Lays out index pages, maps and header. Idempotent; no block or node may be
  // added afterwards.
  void Finish();
  const Layout& layout();  // finishes first

  Buffer Build();                       // whole file in memory
  void Write(const std::string& path);  // to disk (sparse where the layout has holes)

  // --- Damage helpers (after Finish) --------------------------------------
  void PatchBytes(uint64_t offset, std::span<const std::byte> bytes);
  // Writes a BID/key/offset field: 4 bytes ANSI, 8 bytes Unicode.
  void PatchId(uint64_t offset, uint64_t value);
  // Rewrites entry `entry`'s key (BID / NID / btkey) and refreshes the page CRC.
  void SetPageEntryKey(IndexTree tree, int level, size_t page, int entry, uint64_t key);
  // Rewrites the child page offset of an intermediate entry; refreshes the CRC.
  void SetChildOffset(IndexTree tree, int level, size_t page, int entry, uint64_t offset);
  // Rewrites the size field of `bid`'s block index leaf entry; refreshes the CRC.
  void SetBlockEntrySize(uint32_t bid, uint16_t size);
  // Unicode4K: rewrites the inflated-size field of that entry; refreshes the CRC.
  void SetBlockEntryInflatedSize(uint32_t bid, uint16_t size);
  // Recomputes the CRC of the B-tree page at `offset` (signature and BID kept).
  void RefreshPageCrc(uint64_t offset);
  // Recomputes the trailer CRC of block `bid` over its data as stored now.
  void RefreshBlockCrc(uint32_t bid);
  // Cuts (or zero-extends) the written file to `size` bytes.
  void Truncate(uint64_t size);

 private:
  struct BlockRec {
    uint32_t bid;
    uint64_t offset;
    uint16_t size;
    uint16_t inflated;
  };
  uint64_t MapPageStart(uint64_t k) const;
  uint64_t MapBytes(uint64_t k) const;
  uint64_t Allocate(uint64_t size, uint64_t align);
  void ReserveAtCursor(uint64_t bytes);
  uint64_t IndexBytesEstimate(size_t nodes, size_t blocks) const;
  std::byte* At(uint64_t offset, uint64_t length);
  uint32_t NextBid(bool internal);
  uint32_t WriteBlock(std::span<const std::byte> data, bool internal, bool encode);
  uint32_t WriteXBlock(std::span<const uint32_t> bids, uint32_t total, int level);
  void RequireOpen() const;
  void RequireFinished() const;
  void BuildTree(IndexTree tree, bool stale = false);
  void WriteMaps();
  void WriteHeader();
  void WritePageTrailer(uint64_t offset, uint8_t ptype, uint64_t bid);
  uint64_t PageOf(uint64_t offset) const;
  uint64_t EntryOffset(IndexTree tree, int level, size_t page, int entry) const;

  NdbOptions options_;
  uint64_t cursor_ = 0;
  uint64_t nextBidIndex_ = 1;
  uint64_t nextPageBid_ = 1;
  std::vector<BlockRec> blocks_;
  std::vector<NodeLeafEntry> nodes_;
  std::vector<uint32_t> freed_;
  bool explicitNodePages_ = false;
  bool explicitBlockPages_ = false;
  std::vector<std::vector<NodeLeafEntry>> nodePages_;
  std::vector<std::vector<BlockLeafEntry>> blockPages_;
  // Allocation bits of each map range.
  std::vector<std::vector<uint8_t>> amapBits_;
  std::unique_ptr<Deflater> deflater_;
  size_t compressedBlocks_ = 0;
  // The file image: segments keyed by file offset; gaps read as zeros.
  std::map<uint64_t, Buffer> segments_;
  bool finished_ = false;
  uint64_t fileSize_ = 0;
  uint64_t cbAMapFree_ = 0;
  bool amapValid_ = true;
  Layout layout_;
};

// Page and block geometry of a format (Unicode / ANSI / Unicode4K), taken
// from its variant's layout.
struct Geometry {
  bool unicode;           // 8-byte IDs
  size_t idSize;          // 8 / 4 / 8
  size_t maxBlockData;    // 8176 / 8180 / 65512
  int btEntrySize;        // 24 / 12 / 24 (intermediate entries and block leaf entries)
  int nodeEntrySize;      // 32 / 16 / 32
  int btEntryMax;         // 20 / 41 / 169
  int nodeEntryMax;       // 15 / 31 / 126
  int xblockMax;          // 1021 / 2043 / 8188
  int slMax;              // 340 / 681 / 2729
  int siMax;              // 510 / 1022 / 4094
  const format::VariantLayout* layout;  // page size, trailers, alignment, maps
};
Geometry GeometryOf(Format format);
format::Variant VariantOf(Format format);
uint16_t VersionOf(Format format);

// The format's CRC and the signature of a page or block trailer, under the
// names the builder's tests use.
inline uint32_t ComputeCrc(uint32_t crc, std::span<const std::byte> data) { return format::Crc(crc, data); }
inline uint16_t ComputeSig(uint64_t ib, uint64_t bid) { return format::Signature(ib, bid); }

}  // namespace velmorix::storebuilder
