#include "storebuilder/ndb.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>

#include "format/vocabulary.h"
#include "pst/blocks.h"
#include "storebuilder/deflate.h"

namespace velmorix::storebuilder {
namespace {

constexpr uint64_t k4GiB = uint64_t{1} << 32;

constexpr uint8_t kPtypeBbt = format::kPtypeBbt;
constexpr uint8_t kPtypeNbt = format::kPtypeNbt;
constexpr uint8_t kPtypePMap = format::kPtypePMap;
constexpr uint8_t kPtypeAMap = format::kPtypeAMap;

uint64_t AlignUp(uint64_t v, uint64_t a) { return (v + a - 1) / a * a; }

void PutU16(std::byte* p, uint16_t v) {
  for (int i = 0; i < 2; ++i) p[i] = static_cast<std::byte>(v >> (8 * i));
}
void PutU32(std::byte* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::byte>(v >> (8 * i));
}

}  // namespace

format::Variant VariantOf(Format format) {
  switch (format) {
    case Format::Unicode23: return format::Variant::Unicode;
    case Format::Unicode4K: return format::Variant::Unicode4K;
    default: return format::Variant::Ansi;
  }
}

uint16_t VersionOf(Format format) {
  switch (format) {
    case Format::Ansi14: return 14;
    case Format::Ansi15: return 15;
    case Format::Unicode23: return 23;
    case Format::Unicode4K: return 36;
  }
  return 0;
}

Geometry GeometryOf(Format format) {
  const format::VariantLayout& L = *format::LayoutOf(VariantOf(format));
  const size_t data = L.maxBlockData();
  const pst::TreeLimits limits = pst::TreeLimitsOf(L);
  return {L.idSize == 8,
          L.idSize,
          data,
          static_cast<int>(L.intermediateEntrySize),
          static_cast<int>(L.nodeLeafEntrySize),
          static_cast<int>(L.MaxEntries(L.intermediateEntrySize)),
          static_cast<int>(L.MaxEntries(L.nodeLeafEntrySize)),
          static_cast<int>(limits.xblock),
          static_cast<int>(limits.subnodeLeaf),
          static_cast<int>(limits.subnodeIndex),
          &L};
}

const BlockLocation* Layout::FindBlock(uint32_t bid) const {
  auto it = std::lower_bound(blocks.begin(), blocks.end(), bid,
                             [](const BlockLocation& b, uint32_t v) { return b.bid < v; });
  return it != blocks.end() && it->bid == bid ? &*it : nullptr;
}

NdbWriter::NdbWriter(NdbOptions options) : options_(options) {
  if (!unicode() && (options_.blockBase >= k4GiB || options_.pageBase >= k4GiB)) {
    throw std::invalid_argument("offsets beyond 4 GiB need the Unicode format");
  }
  // Blocks start after the first map pages.
  cursor_ = std::max(options_.blockBase, MapPageStart(0) + MapBytes(0));
}

NdbWriter::~NdbWriter() = default;

bool NdbWriter::unicode() const { return options_.format == Format::Unicode23 || options_.format == Format::Unicode4K; }
size_t NdbWriter::maxBlockData() const { return GeometryOf(options_.format).maxBlockData; }
const format::VariantLayout& NdbWriter::variantLayout() const { return *GeometryOf(options_.format).layout; }

uint64_t NdbWriter::MapPageStart(uint64_t k) const {
  const format::VariantLayout& L = variantLayout();
  return L.firstAMapAt + k * L.amapRange();
}

// A PMap page follows the AMap page of every eighth range; the 4 KiB variant
// has no PMaps.
uint64_t NdbWriter::MapBytes(uint64_t k) const {
  const format::VariantLayout& L = variantLayout();
  return k % 8 == 0 && !L.compressed ? 2 * L.pageSize : L.pageSize;
}

void NdbWriter::RequireOpen() const {
  if (finished_) throw std::logic_error("store already finished");
}
void NdbWriter::RequireFinished() const {
  if (!finished_) throw std::logic_error("store not finished yet");
}

// Hands out file space, skipping the map pages at the start of each map range,
// and marks it allocated in that range's map.
uint64_t NdbWriter::Allocate(uint64_t size, uint64_t align) {
  const format::VariantLayout& L = variantLayout();
  const uint64_t range = L.amapRange();
  const uint64_t slotBytes = L.amapSlotBytes;
  uint64_t off = AlignUp(cursor_, align);
  for (;;) {
    const uint64_t k = (off - L.firstAMapAt) / range;
    const uint64_t start = MapPageStart(k);
    if (off < start + MapBytes(k)) {
      off = AlignUp(start + MapBytes(k), align);
    } else if (off + size > start + range) {
      off = start + range;
    } else {
      break;
    }
  }
  cursor_ = off + size;
  const uint64_t k = (off - L.firstAMapAt) / range;
  if (amapBits_.size() <= k) amapBits_.resize(k + 1);
  auto& bits = amapBits_[k];
  if (bits.empty()) bits.assign(L.amapDataBytes, 0);
  const uint64_t rel = off - MapPageStart(k);
  for (uint64_t slot = rel / slotBytes; slot < (rel + size + slotBytes - 1) / slotBytes; ++slot) {
    bits[slot / 8] |= static_cast<uint8_t>(0x80 >> (slot % 8));
  }
  return off;
}

void NdbWriter::Reserve(size_t nodes, size_t blocks, uint64_t blockBytes) {
  RequireOpen();
  nodes_.reserve(nodes_.size() + nodes);
  blocks_.reserve(blocks_.size() + blocks);
  ReserveAtCursor(blockBytes + IndexBytesEstimate(nodes_.capacity(), blocks_.capacity()));
}

// Generous size of the index pages for that many entries (partial fills included).
uint64_t NdbWriter::IndexBytesEstimate(size_t nodes, size_t blocks) const {
  const Geometry g = GeometryOf(options_.format);
  auto pages = [&](size_t n, int fill, int max) {
    const size_t perLeaf = fill > 0 ? std::min(fill, max) : max;
    const size_t leaves = n / perLeaf + 1;
    return leaves + leaves / 2 + 64;
  };
  return (pages(nodes, options_.nodeLeafFill, g.nodeEntryMax) + pages(blocks, options_.blockLeafFill, g.btEntryMax)) *
         g.layout->pageSize;
}

uint32_t NdbWriter::NextBid(bool internal) {
  if (nextBidIndex_ >= (uint64_t{1} << 30)) throw std::length_error("block IDs exhausted");
  const auto bid = static_cast<uint32_t>(nextBidIndex_++ << 2);
  return internal ? bid | 2u : bid;
}

uint32_t NdbWriter::PeekNextBlockBid(bool internal) const {
  const auto bid = static_cast<uint32_t>(nextBidIndex_ << 2);
  return internal ? bid | 2u : bid;
}

uint32_t NdbWriter::WriteBlock(std::span<const std::byte> data, bool internal, bool encode) {
  RequireOpen();
  const Geometry g = GeometryOf(options_.format);
  const format::VariantLayout& L = *g.layout;
  if (data.size() > g.maxBlockData) throw std::invalid_argument("block data too large");
  const uint32_t bid = NextBid(internal);
  const bool encrypt = encode && (options_.encryption == 1 || options_.encryption == 2);
  // Encoded first, then compressed: the stream is inflated, then decoded.
  const auto encoding = static_cast<pst::Encoding>(options_.encryption);
  Buffer encoded;
  if (encrypt && L.compressed) {
    encoded.assign(data.begin(), data.end());
    pst::EncodeBlockData(encoded, encoding, bid);
    data = encoded;
  }
  std::optional<Buffer> packed;
  if (encode && L.compressed && options_.compress) {
    if (!deflater_) deflater_ = std::make_unique<Deflater>();
    packed = deflater_->CompressIfSmaller(data);
  }
  const std::span<const std::byte> body = packed ? std::span<const std::byte>(*packed) : data;
  const uint64_t stored = L.StoredBlockSize(body.size());
  const uint64_t off = Allocate(stored, L.blockAlignment);
  std::byte* p = At(off, stored);
  if (!body.empty()) std::memcpy(p, body.data(), body.size());
  if (encrypt && !L.compressed) pst::EncodeBlockData(std::span<std::byte>(p, data.size()), encoding, bid);
  const auto cb = static_cast<uint16_t>(body.size());
  const auto inflated = static_cast<uint16_t>(data.size());
  pst::SealBlock(L, std::span<std::byte>(p, stored), cb, off, bid, inflated);
  if (packed) ++compressedBlocks_;
  blocks_.push_back({bid, off, cb, inflated});
  return bid;
}

uint32_t NdbWriter::AddDataBlock(std::span<const std::byte> data) { return WriteBlock(data, false, true); }

uint32_t NdbWriter::AddRawBlock(std::span<const std::byte> data, bool internal) {
  return WriteBlock(data, internal, false);
}

uint32_t NdbWriter::WriteXBlock(std::span<const uint32_t> bids, uint32_t total, int level) {
  const Geometry g = GeometryOf(options_.format);
  if (bids.size() > static_cast<size_t>(g.xblockMax)) throw std::invalid_argument("too many data tree entries");
  const std::vector<uint64_t> wide(bids.begin(), bids.end());
  return WriteBlock(pst::EncodeDataTree(*g.layout, level, wide, total), true, false);
}

uint32_t NdbWriter::AddDataTree(const std::vector<uint32_t>& childBids, uint32_t totalSize, int level) {
  if (level != 1 && level != 2) throw std::invalid_argument("data tree level must be 1 or 2");
  return WriteXBlock(childBids, totalSize, level);
}

uint32_t NdbWriter::AddData(std::span<const std::byte> data) {
  const size_t max = maxBlockData();
  if (data.size() <= max) return AddDataBlock(data);
  if (data.size() > UINT32_MAX) throw std::invalid_argument("data too large for a data tree");
  std::vector<uint32_t> leaves;
  for (size_t pos = 0; pos < data.size(); pos += max) leaves.push_back(AddDataBlock(data.subspan(pos, std::min(max, data.size() - pos))));
  std::vector<uint32_t> sizes(leaves.size(), static_cast<uint32_t>(max));
  sizes.back() = static_cast<uint32_t>(data.size() - (leaves.size() - 1) * max);
  return AddTree(leaves, sizes);
}

uint32_t NdbWriter::AddTree(const std::vector<uint32_t>& bids, const std::vector<uint32_t>& sizes) {
  const std::vector<uint64_t> wide(bids.begin(), bids.end());
  return static_cast<uint32_t>(pst::WriteDataTree(variantLayout(), wide, sizes, [&](const Buffer& b) {
    return uint64_t{WriteBlock(b, true, false)};
  }));
}

uint32_t NdbWriter::AddSubnodeBlock(const std::vector<SubnodeRef>& entries) {
  const Geometry g = GeometryOf(options_.format);
  if (entries.size() > static_cast<size_t>(g.slMax) * static_cast<size_t>(g.siMax)) {
    throw std::invalid_argument("too many subnode entries");
  }
  return static_cast<uint32_t>(pst::WriteSubnodeTree(*g.layout, entries, [&](const Buffer& b) {
    return uint64_t{WriteBlock(b, true, false)};
  }));
}

void NdbWriter::AddNode(uint32_t nid, uint32_t dataBid, uint32_t subnodeBid, uint32_t parentNid) {
  RequireOpen();
  nodes_.push_back({nid, dataBid, subnodeBid, parentNid});
}

void NdbWriter::RemoveNode(uint32_t nid) {
  RequireOpen();
  std::erase_if(nodes_, [nid](const NodeLeafEntry& n) { return n.nid == nid; });
}

void NdbWriter::FreeBlock(uint32_t bid) {
  RequireOpen();
  freed_.push_back(bid);
}

void NdbWriter::WriteStaleIndex() {
  RequireOpen();
  BuildTree(IndexTree::Block, true);
  BuildTree(IndexTree::Node, true);
}

std::vector<NodeLeafEntry> NdbWriter::NodeEntries() const {
  std::vector<NodeLeafEntry> out = nodes_;
  std::stable_sort(out.begin(), out.end(),
                   [](const NodeLeafEntry& a, const NodeLeafEntry& b) { return a.nid < b.nid; });
  return out;
}

std::vector<BlockLeafEntry> NdbWriter::BlockEntries() const {
  std::vector<BlockLeafEntry> out;
  out.reserve(blocks_.size());
  for (const BlockRec& b : blocks_) out.push_back({b.bid, b.offset, b.size, options_.refCount, b.inflated});
  return out;  // blocks are numbered in the order they are written
}

void NdbWriter::SetNodeLeafPages(std::vector<std::vector<NodeLeafEntry>> pages) {
  RequireOpen();
  const int max = GeometryOf(options_.format).nodeEntryMax;
  for (const auto& p : pages) {
    if (p.size() > static_cast<size_t>(max)) throw std::invalid_argument("too many entries for one page");
  }
  nodePages_ = std::move(pages);
  explicitNodePages_ = true;
}

void NdbWriter::SetBlockLeafPages(std::vector<std::vector<BlockLeafEntry>> pages) {
  RequireOpen();
  const int max = GeometryOf(options_.format).btEntryMax;
  for (const auto& p : pages) {
    if (p.size() > static_cast<size_t>(max)) throw std::invalid_argument("too many entries for one page");
  }
  blockPages_ = std::move(pages);
  explicitBlockPages_ = true;
}

void NdbWriter::WritePageTrailer(uint64_t offset, uint8_t ptype, uint64_t bid) {
  const format::VariantLayout& L = variantLayout();
  const bool btPage = ptype == kPtypeBbt || ptype == kPtypeNbt;
  pst::SealPage(L, std::span<std::byte>(At(offset, L.pageSize), L.pageSize), ptype, offset, bid, btPage);
}

// A stale tree is written as pages only: the layout keeps their places and
// nothing else of them.
void NdbWriter::BuildTree(IndexTree tree, bool stale) {
  const Geometry g = GeometryOf(options_.format);
  const bool blockTree = tree == IndexTree::Block;
  const uint8_t ptype = blockTree ? kPtypeBbt : kPtypeNbt;
  const int leafMax = blockTree ? g.btEntryMax : g.nodeEntryMax;
  const int leafSize = blockTree ? g.btEntrySize : g.nodeEntrySize;
  const int fillOpt = blockTree ? options_.blockLeafFill : options_.nodeLeafFill;
  const int leafFill = fillOpt > 0 ? std::min(fillOpt, leafMax) : leafMax;

  // The leaf entries and the page split. The default lists are used in place
  // (blocks are numbered in write order; nodes are sorted only when needed).
  std::vector<NodeLeafEntry> nodeCopy;
  std::vector<BlockLeafEntry> blockCopy;
  const NodeLeafEntry* nodes = nullptr;
  const BlockLeafEntry* blocks = nullptr;  // null with !explicit block pages: read blocks_
  std::vector<size_t> split;
  size_t total = 0;
  if (blockTree && explicitBlockPages_) {
    for (const auto& p : blockPages_) {
      blockCopy.insert(blockCopy.end(), p.begin(), p.end());
      split.push_back(p.size());
    }
    blocks = blockCopy.data();
    total = blockCopy.size();
  } else if (!blockTree && explicitNodePages_) {
    for (const auto& p : nodePages_) {
      nodeCopy.insert(nodeCopy.end(), p.begin(), p.end());
      split.push_back(p.size());
    }
    nodes = nodeCopy.data();
    total = nodeCopy.size();
  } else {
    if (blockTree) {
      total = blocks_.size();
    } else {
      const bool sorted = std::is_sorted(nodes_.begin(), nodes_.end(), [](const NodeLeafEntry& a, const NodeLeafEntry& b) {
        return a.nid < b.nid;
      });
      if (!sorted) nodeCopy = NodeEntries();
      nodes = sorted ? nodes_.data() : nodeCopy.data();
      total = nodes_.size();
    }
    for (size_t i = 0; i < total; i += leafFill) split.push_back(std::min<size_t>(leafFill, total - i));
  }
  if (split.empty()) split.push_back(0);

  std::vector<std::vector<PageInfo>> levels(1);
  levels[0].reserve(split.size());
  if (!blockTree && !stale) layout_.nodeEntryOffsets.reserve(total);
  size_t index = 0;
  uint64_t lastKey = 0;
  const uint64_t pageSize = g.layout->pageSize;
  for (size_t count : split) {
    const uint64_t off = Allocate(pageSize, pageSize);
    const uint64_t pbid = nextPageBid_++;
    std::byte* p = At(off, pageSize);
    PageInfo info{off, pbid, 0, 0, static_cast<int>(count)};
    for (size_t i = 0; i < count; ++i, ++index) {
      std::byte* e = p + i * leafSize;
      uint64_t key;
      if (blockTree) {
        const BlockLeafEntry b = blocks ? blocks[index]
                                        : BlockLeafEntry{blocks_[index].bid, blocks_[index].offset,
                                                         blocks_[index].size, options_.refCount,
                                                         blocks_[index].inflated};
        key = b.bid;
        pst::PutBlockLeafEntry(*g.layout, e, b.bid, b.offset, b.size, b.refCount,
                               b.inflatedSize ? b.inflatedSize : b.size);
        if (stale) {
          // Only the live tree's entries are recorded in the layout.
        } else if (!blocks) {
          layout_.blocks[index].entryOffset = off + i * leafSize;
        } else {
          auto it = std::lower_bound(layout_.blocks.begin(), layout_.blocks.end(), b.bid,
                                     [](const BlockLocation& l, uint32_t v) { return l.bid < v; });
          if (it != layout_.blocks.end() && it->bid == b.bid && it->entryOffset == 0) {
            it->entryOffset = off + i * leafSize;
          }
        }
      } else {
        const NodeLeafEntry& n = nodes[index];
        key = n.nid;
        pst::PutNodeLeafEntry(*g.layout, e, n.nid, n.dataBid, n.subnodeBid, n.parentNid);
        if (!stale) layout_.nodeEntryOffsets.push_back(off + i * leafSize);
      }
      if (i == 0) info.firstKey = key;
      lastKey = key;
    }
    // An empty page is promised the key after the previous page's last key.
    if (count == 0) info.firstKey = lastKey + 1;
    pst::PutBTreeMeta(*g.layout, std::span<std::byte>(p, pageSize), count, leafMax, leafSize, 0);
    WritePageTrailer(off, ptype, pbid);
    levels[0].push_back(info);
  }

  const int minLevels = std::max(1, blockTree ? options_.minBlockLevels : options_.minNodeLevels);
  const int fill = options_.intermediateFill > 0 ? std::clamp(options_.intermediateFill, 2, g.btEntryMax)
                                                 : g.btEntryMax;
  while (levels.back().size() > 1 || static_cast<int>(levels.size()) < minLevels) {
    const int level = static_cast<int>(levels.size());
    const std::vector<PageInfo> children = levels.back();
    std::vector<PageInfo> pages;
    for (size_t first = 0; first < children.size(); first += fill) {
      const size_t count = std::min<size_t>(fill, children.size() - first);
      const uint64_t off = Allocate(pageSize, pageSize);
      const uint64_t pbid = nextPageBid_++;
      std::byte* p = At(off, pageSize);
      for (size_t i = 0; i < count; ++i) {
        const PageInfo& c = children[first + i];
        pst::PutIntermediateEntry(*g.layout, p + i * g.btEntrySize, c.firstKey, c.bid, c.offset);
      }
      pst::PutBTreeMeta(*g.layout, std::span<std::byte>(p, pageSize), count, g.btEntryMax, g.btEntrySize, level);
      WritePageTrailer(off, ptype, pbid);
      pages.push_back({off, pbid, children[first].firstKey, level, static_cast<int>(count)});
    }
    levels.push_back(std::move(pages));
  }
  if (stale) {
    for (const auto& level : levels) layout_.stalePages.insert(layout_.stalePages.end(), level.begin(), level.end());
    return;
  }
  (blockTree ? layout_.blockRoot : layout_.nodeRoot) = levels.back().front().offset;
  (blockTree ? layout_.blockPages : layout_.nodePages) = std::move(levels);
}

void NdbWriter::WriteMaps() {
  const format::VariantLayout& L = variantLayout();
  const uint64_t pageSize = L.pageSize;
  const uint64_t slotBytes = L.amapSlotBytes;
  uint64_t end = AlignUp(cursor_ + options_.tailPadding, pageSize);
  uint64_t ranges = 0;
  while (MapPageStart(ranges) < end) {
    end = std::max(end, MapPageStart(ranges) + MapBytes(ranges));
    ++ranges;
  }
  if (options_.padToAMapRange) end = MapPageStart(ranges - 1) + L.amapRange();
  if (!unicode() && end > UINT32_MAX) throw std::length_error("ANSI store larger than 4 GiB");
  fileSize_ = end;

  amapBits_.resize(ranges);
  amapValid_ = true;
  uint64_t freeSlots = 0;
  layout_.amapOffsets.clear();
  for (uint64_t k = 0; k < ranges; ++k) {
    auto& bits = amapBits_[k];
    const bool unused = bits.empty();
    if (unused) bits.assign(L.amapDataBytes, 0);
    const uint64_t start = MapPageStart(k);
    // The map pages themselves, and anything past the end of the file, count as used.
    auto mark = [&](uint64_t slot) { bits[slot / 8] |= static_cast<uint8_t>(0x80 >> (slot % 8)); };
    for (uint64_t slot = 0; slot < MapBytes(k) / slotBytes; ++slot) mark(slot);
    const uint64_t slots = uint64_t{L.amapDataBytes} * 8;
    for (uint64_t slot = end > start ? (end - start + slotBytes - 1) / slotBytes : 0; slot < slots; ++slot) mark(slot);
    for (uint8_t b : bits) freeSlots += 8 - static_cast<uint64_t>(std::popcount(b));
    if (unused && k > 0 && k + 1 < ranges && !options_.writeHoleMaps) {
      amapValid_ = false;  // a range inside a hole: its map page is left out
      bits = {};
      continue;
    }
    const size_t at = L.amapDataAt;  // ANSI maps start with 4 bytes of padding
    std::byte* p = At(start, pageSize);
    std::memcpy(p + at, bits.data(), L.amapDataBytes);
    WritePageTrailer(start, kPtypeAMap, start);
    layout_.amapOffsets.push_back(start);
    if (MapBytes(k) > pageSize) {
      std::byte* pm = At(start + pageSize, pageSize);
      std::memset(pm + at, 0xFF, L.amapDataBytes);
      WritePageTrailer(start + pageSize, kPtypePMap, start + pageSize);
    }
  }
  cbAMapFree_ = freeSlots * slotBytes;
}

void NdbWriter::WriteHeader() {
  const bool uni = unicode();
  const uint64_t firstMap = variantLayout().firstAMapAt;
  std::byte* h = At(0, firstMap);
  std::memset(h, 0, firstMap);

  // Per-type NID counters: the defaults of a new file, raised to cover every node.
  uint32_t rgnid[32];
  for (uint32_t& v : rgnid) v = 0x400;
  rgnid[3] = 0x4000;
  rgnid[4] = 0x10000;
  rgnid[8] = 0x8000;
  auto raise = [&](uint32_t nid) { rgnid[nid & 0x1F] = std::max(rgnid[nid & 0x1F], nid >> 5); };
  if (explicitNodePages_) {
    for (const auto& p : nodePages_) {
      for (const auto& n : p) raise(n.nid);
    }
  } else {
    for (const auto& n : nodes_) raise(n.nid);
  }

  const uint64_t bidNextB = nextBidIndex_ << 2;
  const PageInfo& nbt = layout_.NodeRootPage();
  const PageInfo& bbt = layout_.BlockRootPage();
  const uint64_t amapLast = layout_.amapOffsets.back();
  if (uni) {
    pst::UnicodeHeader u;
    u.clientMagic = options_.offlineFolders ? 0x4F53 : 0x4D53;
    u.version = VersionOf(options_.format);
    u.clientVersion = options_.offlineFolders ? 12 : 19;
    u.nextPageBid = nextPageBid_;
    u.nextBid = bidNextB;
    std::copy(std::begin(rgnid), std::end(rgnid), u.nidCounters.begin());
    u.fileEnd = fileSize_;
    u.lastAMap = amapLast;
    u.amapFree = cbAMapFree_;
    u.nodeRootBid = nbt.bid;
    u.nodeRootIb = nbt.offset;
    u.blockRootBid = bbt.bid;
    u.blockRootIb = bbt.offset;
    u.amapValid = amapValid_;
    u.encoding = static_cast<pst::Encoding>(options_.encryption);
    const auto header = pst::EncodeUnicodeHeader(u);
    std::memcpy(h, header.data(), header.size());
  } else {
    std::memcpy(h, "!BDN", 4);
    PutU16(h + 8, options_.offlineFolders ? 0x4F53 : 0x4D53);
    PutU16(h + 10, VersionOf(options_.format));
    PutU16(h + 12, options_.offlineFolders ? 12 : 19);
    h[14] = std::byte{1};
    h[15] = std::byte{1};
    PutU32(h + 24, static_cast<uint32_t>(bidNextB));
    PutU32(h + 28, static_cast<uint32_t>(nextPageBid_));
    PutU32(h + 32, 1);
    for (int i = 0; i < 32; ++i) PutU32(h + 36 + 4 * i, rgnid[i]);
    PutU32(h + 168, static_cast<uint32_t>(fileSize_));
    PutU32(h + 172, static_cast<uint32_t>(amapLast));
    PutU32(h + 176, static_cast<uint32_t>(cbAMapFree_));
    PutU32(h + 180, 0);
    PutU32(h + 184, static_cast<uint32_t>(nbt.bid));
    PutU32(h + 188, static_cast<uint32_t>(nbt.offset));
    PutU32(h + 192, static_cast<uint32_t>(bbt.bid));
    PutU32(h + 196, static_cast<uint32_t>(bbt.offset));
    h[200] = static_cast<std::byte>(amapValid_ ? 2 : 0);
    std::memset(h + 204, 0xFF, 256);
    h[460] = std::byte{0x80};
    h[461] = static_cast<std::byte>(options_.encryption);
    PutU32(h + 4, ComputeCrc(0, {h + 8, 471}));
  }
}

void NdbWriter::Finish() {
  if (finished_) return;
  std::vector<PageInfo> stale = std::move(layout_.stalePages);
  layout_ = Layout{};
  layout_.stalePages = std::move(stale);
  if (!freed_.empty() && !explicitBlockPages_) {
    // Freed blocks leave the index; the rest keep the default page split.
    std::sort(freed_.begin(), freed_.end());
    std::vector<BlockLeafEntry> kept = BlockEntries();
    std::erase_if(kept, [&](const BlockLeafEntry& b) { return std::binary_search(freed_.begin(), freed_.end(), b.bid); });
    const int max = GeometryOf(options_.format).btEntryMax;
    const auto fill = static_cast<size_t>(options_.blockLeafFill > 0 ? std::min(options_.blockLeafFill, max) : max);
    std::vector<std::vector<BlockLeafEntry>> pages;
    for (size_t i = 0; i < kept.size(); i += fill) {
      pages.emplace_back(kept.begin() + static_cast<ptrdiff_t>(i),
                         kept.begin() + static_cast<ptrdiff_t>(std::min(kept.size(), i + fill)));
    }
    blockPages_ = std::move(pages);
    explicitBlockPages_ = true;
  }
  layout_.blocks.reserve(blocks_.size());
  for (const BlockRec& b : blocks_) layout_.blocks.push_back({b.bid, b.offset, b.size, 0, b.inflated});
  if (options_.pageBase > cursor_) cursor_ = options_.pageBase;
  ReserveAtCursor(IndexBytesEstimate(nodes_.size(), blocks_.size()));
  BuildTree(IndexTree::Block);
  BuildTree(IndexTree::Node);
  WriteMaps();
  WriteHeader();
  layout_.fileSize = fileSize_;
  finished_ = true;
}

const Layout& NdbWriter::layout() {
  Finish();
  return layout_;
}

}  // namespace velmorix::storebuilder
