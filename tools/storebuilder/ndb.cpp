#include "storebuilder/ndb.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <stdexcept>
#include <system_error>

#include "format/vocabulary.h"
#include "store/store.h"
#include "storebuilder/crc.h"
#include "storebuilder/deflate.h"

namespace velmorix::storebuilder {
namespace {

constexpr uint64_t kMaxSegmentGap = 0x10000;  // smaller gaps are zero-filled, larger ones stay holes
constexpr uint64_t k4GiB = uint64_t{1} << 32;

constexpr uint8_t kPtypeBbt = format::kPtypeBbt;
constexpr uint8_t kPtypeNbt = format::kPtypeNbt;
constexpr uint8_t kPtypePMap = format::kPtypePMap;
constexpr uint8_t kPtypeAMap = format::kPtypeAMap;
// Unicode4K trailers: the 8 bytes after a page trailer's BID, and the 2 bytes
// after a block trailer's BID, hold these values in every real file seen.
constexpr uint64_t kPageTrailerTail4K = 1;
constexpr uint16_t kBlockTrailerTail4K = 2;

uint64_t AlignUp(uint64_t v, uint64_t a) { return (v + a - 1) / a * a; }

void PutU16(std::byte* p, uint16_t v) {
  for (int i = 0; i < 2; ++i) p[i] = static_cast<std::byte>(v >> (8 * i));
}
void PutU32(std::byte* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::byte>(v >> (8 * i));
}
void PutU64(std::byte* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<std::byte>(v >> (8 * i));
}

}  // namespace

store::Variant VariantOf(Format format) {
  switch (format) {
    case Format::Unicode23: return store::Variant::Unicode;
    case Format::Unicode4K: return store::Variant::Unicode4K;
    default: return store::Variant::Ansi;
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
  const store::VariantLayout& L = *store::LayoutOf(VariantOf(format));
  const size_t data = L.maxBlockData();
  // Subnode blocks have a 4-byte header, and 4 more bytes of padding where IDs are 8 bytes wide.
  const size_t slHeader = L.idSize == 8 ? 8 : 4;
  return {L.idSize == 8,
          L.idSize,
          L.pageTrailerAt(),
          L.countAt,
          L.blockTrailer.size,
          data,
          static_cast<int>(L.intermediateEntrySize),
          static_cast<int>(L.nodeLeafEntrySize),
          static_cast<int>(L.MaxEntries(L.intermediateEntrySize)),
          static_cast<int>(L.MaxEntries(L.nodeLeafEntrySize)),
          static_cast<int>((data - 8) / L.idSize),
          static_cast<int>((data - slHeader) / (3 * L.idSize)),
          static_cast<int>((data - slHeader) / (2 * L.idSize)),
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
const store::VariantLayout& NdbWriter::variantLayout() const { return *GeometryOf(options_.format).layout; }

uint64_t NdbWriter::MapPageStart(uint64_t k) const {
  const store::VariantLayout& L = variantLayout();
  return L.firstAMapAt + k * L.amapRange();
}

// A PMap page follows the AMap page of every eighth range; the 4 KiB variant
// has no PMaps.
uint64_t NdbWriter::MapBytes(uint64_t k) const {
  const store::VariantLayout& L = variantLayout();
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
  const store::VariantLayout& L = variantLayout();
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

// Pointer to [offset, offset + length) of the image, creating or growing a
// segment as needed. Valid until the next call.
std::byte* NdbWriter::At(uint64_t offset, uint64_t length) {
  auto next = segments_.upper_bound(offset);
  if (next != segments_.begin()) {
    auto prev = std::prev(next);
    Buffer& buf = prev->second;
    const uint64_t start = prev->first;
    if (offset + length <= start + buf.size()) return buf.data() + (offset - start);
    if (offset <= start + buf.size() + kMaxSegmentGap &&
        (next == segments_.end() || offset + length <= next->first)) {
      buf.resize(offset + length - start);
      return buf.data() + (offset - start);
    }
  }
  if (next != segments_.end() && offset + length > next->first) {
    throw std::logic_error("write across image segments");
  }
  Buffer& buf = segments_[offset];
  buf.assign(length, std::byte{0});
  return buf.data();
}

void NdbWriter::ReserveAtCursor(uint64_t bytes) {
  auto it = segments_.upper_bound(cursor_);
  if (it == segments_.begin()) return;
  --it;
  Buffer& buf = it->second;
  if (it->first + buf.size() + kMaxSegmentGap < cursor_) return;  // the cursor starts a new segment
  const uint64_t want = cursor_ - it->first + bytes;
  if (want > buf.capacity()) buf.reserve(want);
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
  const store::VariantLayout& L = *g.layout;
  if (data.size() > g.maxBlockData) throw std::invalid_argument("block data too large");
  const uint32_t bid = NextBid(internal);
  const bool encrypt = encode && (options_.encryption == 1 || options_.encryption == 2);
  // Encoded first, then compressed: the stream is inflated, then decoded.
  Buffer encoded;
  if (encrypt && L.compressed) {
    encoded.assign(data.begin(), data.end());
    velmorix::store::EncodeBlock(encoded, options_.encryption, bid);
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
  if (encrypt && !L.compressed) {
    velmorix::store::EncodeBlock(std::span<std::byte>(p, data.size()), options_.encryption, bid);
  }
  std::byte* t = p + stored - g.blockTrailer;
  const auto cb = static_cast<uint16_t>(body.size());
  const auto inflated = static_cast<uint16_t>(data.size());
  PutU16(t, cb);
  PutU16(t + 2, ComputeSig(off, bid));
  PutU32(t + L.blockTrailer.crcAt, ComputeCrc(0, {p, body.size()}));
  if (g.unicode) {
    PutU64(t + L.blockTrailer.bidAt, bid);
  } else {
    PutU32(t + L.blockTrailer.bidAt, bid);
  }
  if (L.blockTrailer.inflatedAt) {
    PutU16(t + 16, kBlockTrailerTail4K);
    PutU16(t + L.blockTrailer.inflatedAt, inflated);
  }
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
  Buffer b(8 + bids.size() * g.idSize);
  b[0] = std::byte{0x01};
  b[1] = static_cast<std::byte>(level);
  PutU16(&b[2], static_cast<uint16_t>(bids.size()));
  PutU32(&b[4], total);
  for (size_t i = 0; i < bids.size(); ++i) {
    if (g.unicode) {
      PutU64(&b[8 + i * 8], bids[i]);
    } else {
      PutU32(&b[8 + i * 4], bids[i]);
    }
  }
  return WriteBlock(b, true, false);
}

uint32_t NdbWriter::AddDataTree(const std::vector<uint32_t>& childBids, uint32_t totalSize, int level) {
  if (level != 1 && level != 2) throw std::invalid_argument("data tree level must be 1 or 2");
  return WriteXBlock(childBids, totalSize, level);
}

uint32_t NdbWriter::AddData(std::span<const std::byte> data) {
  const size_t max = maxBlockData();
  if (data.size() <= max) return AddDataBlock(data);
  if (data.size() > UINT32_MAX) throw std::invalid_argument("data too large for a data tree");
  const Geometry g = GeometryOf(options_.format);
  std::vector<uint32_t> leaves;
  std::vector<uint32_t> leafSizes;
  for (size_t pos = 0; pos < data.size(); pos += max) {
    const size_t n = std::min(max, data.size() - pos);
    leaves.push_back(AddDataBlock(data.subspan(pos, n)));
    leafSizes.push_back(static_cast<uint32_t>(n));
  }
  const auto total = static_cast<uint32_t>(data.size());
  if (leaves.size() <= static_cast<size_t>(g.xblockMax)) return WriteXBlock(leaves, total, 1);
  std::vector<uint32_t> xblocks;
  for (size_t i = 0; i < leaves.size(); i += g.xblockMax) {
    const size_t n = std::min<size_t>(g.xblockMax, leaves.size() - i);
    uint32_t sum = 0;
    for (size_t j = i; j < i + n; ++j) sum += leafSizes[j];
    xblocks.push_back(WriteXBlock(std::span<const uint32_t>(leaves).subspan(i, n), sum, 1));
  }
  return WriteXBlock(xblocks, total, 2);
}

uint32_t NdbWriter::WriteSubnodeLeaf(std::span<const SubnodeRef> entries) {
  const Geometry g = GeometryOf(options_.format);
  const size_t head = g.unicode ? 8 : 4;
  const size_t size = 3 * g.idSize;
  Buffer b(head + entries.size() * size);
  b[0] = std::byte{0x02};
  b[1] = std::byte{0x00};
  PutU16(&b[2], static_cast<uint16_t>(entries.size()));
  for (size_t i = 0; i < entries.size(); ++i) {
    std::byte* e = &b[head + i * size];
    if (g.unicode) {
      PutU64(e, entries[i].nid);
      PutU64(e + 8, entries[i].dataBid);
      PutU64(e + 16, entries[i].subnodeBid);
    } else {
      PutU32(e, entries[i].nid);
      PutU32(e + 4, entries[i].dataBid);
      PutU32(e + 8, entries[i].subnodeBid);
    }
  }
  return WriteBlock(b, true, false);
}

uint32_t NdbWriter::AddSubnodeBlock(const std::vector<SubnodeRef>& entries) {
  const Geometry g = GeometryOf(options_.format);
  if (entries.size() <= static_cast<size_t>(g.slMax)) return WriteSubnodeLeaf(entries);
  const size_t leaves = (entries.size() + g.slMax - 1) / g.slMax;
  if (leaves > static_cast<size_t>(g.siMax)) throw std::invalid_argument("too many subnode entries");
  const size_t head = g.unicode ? 8 : 4;
  Buffer b(head + leaves * 2 * g.idSize);
  b[0] = std::byte{0x02};
  b[1] = std::byte{0x01};
  PutU16(&b[2], static_cast<uint16_t>(leaves));
  for (size_t i = 0; i < leaves; ++i) {
    const size_t first = i * g.slMax;
    const size_t n = std::min<size_t>(g.slMax, entries.size() - first);
    const uint32_t bid = WriteSubnodeLeaf(std::span<const SubnodeRef>(entries).subspan(first, n));
    std::byte* e = &b[head + i * 2 * g.idSize];
    if (g.unicode) {
      PutU64(e, entries[first].nid);
      PutU64(e + 8, bid);
    } else {
      PutU32(e, entries[first].nid);
      PutU32(e + 4, bid);
    }
  }
  return WriteBlock(b, true, false);
}

void NdbWriter::AddNode(uint32_t nid, uint32_t dataBid, uint32_t subnodeBid, uint32_t parentNid) {
  RequireOpen();
  nodes_.push_back({nid, dataBid, subnodeBid, parentNid});
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
  const Geometry g = GeometryOf(options_.format);
  const store::VariantLayout& L = *g.layout;
  std::byte* p = At(offset, L.pageSize);
  std::byte* t = p + g.pageTrailerAt;
  t[0] = static_cast<std::byte>(ptype);
  t[1] = static_cast<std::byte>(ptype);
  const bool btPage = ptype == kPtypeBbt || ptype == kPtypeNbt;
  PutU16(t + 2, btPage ? ComputeSig(offset, bid) : 0);
  PutU32(t + L.pageTrailer.crcAt, ComputeCrc(0, {p, g.pageTrailerAt}));
  if (g.unicode) {
    PutU64(t + L.pageTrailer.bidAt, bid);
  } else {
    PutU32(t + L.pageTrailer.bidAt, static_cast<uint32_t>(bid));
  }
  if (L.pageTrailer.size > 16) PutU64(t + 16, kPageTrailerTail4K);
}

// A B-tree page's own count, most entries, entry size and level.
void NdbWriter::WritePageMeta(std::byte* page, size_t count, int max, int entrySize, int level) const {
  const store::VariantLayout& L = variantLayout();
  if (L.countWidth == 2) {
    PutU16(page + L.countAt, static_cast<uint16_t>(count));
    PutU16(page + L.maxCountAt, static_cast<uint16_t>(max));
  } else {
    page[L.countAt] = static_cast<std::byte>(count);
    page[L.maxCountAt] = static_cast<std::byte>(max);
  }
  page[L.entrySizeAt] = static_cast<std::byte>(entrySize);
  page[L.levelAt] = static_cast<std::byte>(level);
}

void NdbWriter::BuildTree(IndexTree tree) {
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
  if (!blockTree) layout_.nodeEntryOffsets.reserve(total);
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
        if (g.unicode) {
          const store::VariantLayout& L = *g.layout;
          PutU64(e, b.bid);
          PutU64(e + 8, b.offset);
          PutU16(e + L.blockSizeAt, b.size);
          PutU16(e + L.blockRefCountAt, b.refCount);
          if (L.blockInflatedAt) PutU16(e + L.blockInflatedAt, b.inflatedSize ? b.inflatedSize : b.size);
        } else {
          PutU32(e, b.bid);
          PutU32(e + 4, static_cast<uint32_t>(b.offset));
          PutU16(e + 8, b.size);
          PutU16(e + 10, b.refCount);
        }
        if (!blocks) {
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
        if (g.unicode) {
          PutU64(e, n.nid);
          PutU64(e + 8, n.dataBid);
          PutU64(e + 16, n.subnodeBid);
          PutU32(e + 24, n.parentNid);
        } else {
          PutU32(e, n.nid);
          PutU32(e + 4, n.dataBid);
          PutU32(e + 8, n.subnodeBid);
          PutU32(e + 12, n.parentNid);
        }
        layout_.nodeEntryOffsets.push_back(off + i * leafSize);
      }
      if (i == 0) info.firstKey = key;
      lastKey = key;
    }
    // An empty page is promised the key after the previous page's last key.
    if (count == 0) info.firstKey = lastKey + 1;
    WritePageMeta(p, count, leafMax, leafSize, 0);
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
        std::byte* e = p + i * g.btEntrySize;
        if (g.unicode) {
          PutU64(e, c.firstKey);
          PutU64(e + 8, c.bid);
          PutU64(e + 16, c.offset);
        } else {
          PutU32(e, static_cast<uint32_t>(c.firstKey));
          PutU32(e + 4, static_cast<uint32_t>(c.bid));
          PutU32(e + 8, static_cast<uint32_t>(c.offset));
        }
      }
      WritePageMeta(p, count, g.btEntryMax, g.btEntrySize, level);
      WritePageTrailer(off, ptype, pbid);
      pages.push_back({off, pbid, children[first].firstKey, level, static_cast<int>(count)});
    }
    levels.push_back(std::move(pages));
  }
  (blockTree ? layout_.blockRoot : layout_.nodeRoot) = levels.back().front().offset;
  (blockTree ? layout_.blockPages : layout_.nodePages) = std::move(levels);
}

void NdbWriter::WriteMaps() {
  const store::VariantLayout& L = variantLayout();
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

  std::memcpy(h, "!BDN", 4);
  PutU16(h + 8, options_.offlineFolders ? 0x4F53 : 0x4D53);
  PutU16(h + 10, VersionOf(options_.format));
  PutU16(h + 12, options_.offlineFolders ? 12 : 19);
  h[14] = std::byte{1};
  h[15] = std::byte{1};
  const uint64_t bidNextB = nextBidIndex_ << 2;
  const PageInfo& nbt = layout_.NodeRootPage();
  const PageInfo& bbt = layout_.BlockRootPage();
  const uint64_t amapLast = layout_.amapOffsets.back();
  if (uni) {
    PutU64(h + 32, nextPageBid_);
    PutU32(h + 40, 1);
    for (int i = 0; i < 32; ++i) PutU32(h + 44 + 4 * i, rgnid[i]);
    PutU64(h + 184, fileSize_);
    PutU64(h + 192, amapLast);
    PutU64(h + 200, cbAMapFree_);
    PutU64(h + 208, 0);
    PutU64(h + 216, nbt.bid);
    PutU64(h + 224, nbt.offset);
    PutU64(h + 232, bbt.bid);
    PutU64(h + 240, bbt.offset);
    h[248] = static_cast<std::byte>(amapValid_ ? 2 : 0);
    // Deprecated FMap / FPMap bytes: 0xFF in version 23, zero in version 36.
    if (options_.format == Format::Unicode23) std::memset(h + 256, 0xFF, 256);
    h[512] = std::byte{0x80};
    h[513] = static_cast<std::byte>(options_.encryption);
    PutU64(h + 516, bidNextB);
    PutU32(h + 4, ComputeCrc(0, {h + 8, 471}));
    PutU32(h + 524, ComputeCrc(0, {h + 8, 516}));
  } else {
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
  layout_ = Layout{};
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

Buffer NdbWriter::Build() {
  Finish();
  Buffer out(fileSize_);
  for (const auto& [start, buf] : segments_) {
    if (start >= fileSize_) break;
    const uint64_t n = std::min<uint64_t>(buf.size(), fileSize_ - start);
    std::memcpy(out.data() + start, buf.data(), n);
  }
  return out;
}

void NdbWriter::Write(const std::string& path) {
  Finish();
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "cannot create " + path);
  auto fail = [&](const char* what) {
    const int err = errno;
    ::close(fd);
    throw std::system_error(err, std::generic_category(), std::string(what) + " " + path);
  };
  // Size the file first: whatever is not written below stays a hole.
  if (::ftruncate(fd, static_cast<off_t>(fileSize_)) != 0) fail("cannot size");
  for (const auto& [start, buf] : segments_) {
    if (start >= fileSize_) break;
    uint64_t n = std::min<uint64_t>(buf.size(), fileSize_ - start);
    uint64_t done = 0;
    while (done < n) {
      const ssize_t w = ::pwrite(fd, buf.data() + done, n - done, static_cast<off_t>(start + done));
      if (w < 0) {
        if (errno == EINTR) continue;
        fail("cannot write");
      }
      done += static_cast<uint64_t>(w);
    }
  }
  if (::close(fd) != 0) throw std::system_error(errno, std::generic_category(), "cannot close " + path);
}

// --- Damage helpers --------------------------------------------------------

void NdbWriter::PatchBytes(uint64_t offset, std::span<const std::byte> bytes) {
  RequireFinished();
  if (bytes.empty()) return;
  std::memcpy(At(offset, bytes.size()), bytes.data(), bytes.size());
}

void NdbWriter::PatchId(uint64_t offset, uint64_t value) {
  RequireFinished();
  if (unicode()) {
    PutU64(At(offset, 8), value);
  } else {
    PutU32(At(offset, 4), static_cast<uint32_t>(value));
  }
}

uint64_t NdbWriter::EntryOffset(IndexTree tree, int level, size_t page, int entry) const {
  const Geometry g = GeometryOf(options_.format);
  const auto& levels = tree == IndexTree::Block ? layout_.blockPages : layout_.nodePages;
  if (level < 0 || static_cast<size_t>(level) >= levels.size() || page >= levels[level].size()) {
    throw std::out_of_range("no such index page");
  }
  const int size = level > 0 || tree == IndexTree::Block ? g.btEntrySize : g.nodeEntrySize;
  const int max = level > 0 || tree == IndexTree::Block ? g.btEntryMax : g.nodeEntryMax;
  if (entry < 0 || entry >= max) throw std::out_of_range("no such page entry");
  return levels[level][page].offset + static_cast<uint64_t>(entry) * size;
}

void NdbWriter::SetPageEntryKey(IndexTree tree, int level, size_t page, int entry, uint64_t key) {
  RequireFinished();
  const uint64_t at = EntryOffset(tree, level, page, entry);
  PatchId(at, key);
  RefreshPageCrc(PageOf(at));
}

void NdbWriter::SetChildOffset(IndexTree tree, int level, size_t page, int entry, uint64_t offset) {
  RequireFinished();
  if (level < 1) throw std::invalid_argument("leaf entries have no child offset");
  const uint64_t at = EntryOffset(tree, level, page, entry);
  PatchId(at + 2 * idSize(), offset);
  RefreshPageCrc(PageOf(at));
}

void NdbWriter::SetBlockEntrySize(uint32_t bid, uint16_t size) {
  RequireFinished();
  const BlockLocation* loc = layout_.FindBlock(bid);
  if (!loc || loc->entryOffset == 0) throw std::invalid_argument("block is not in the block index");
  PutU16(At(loc->entryOffset + 2 * idSize(), 2), size);
  RefreshPageCrc(PageOf(loc->entryOffset));
}

void NdbWriter::SetBlockEntryInflatedSize(uint32_t bid, uint16_t size) {
  RequireFinished();
  const store::VariantLayout& L = variantLayout();
  if (!L.blockInflatedAt) throw std::logic_error("this format has no inflated sizes");
  const BlockLocation* loc = layout_.FindBlock(bid);
  if (!loc || loc->entryOffset == 0) throw std::invalid_argument("block is not in the block index");
  PutU16(At(loc->entryOffset + L.blockInflatedAt, 2), size);
  RefreshPageCrc(PageOf(loc->entryOffset));
}

uint64_t NdbWriter::PageOf(uint64_t offset) const {
  const uint64_t pageSize = variantLayout().pageSize;
  return offset / pageSize * pageSize;
}

void NdbWriter::RefreshPageCrc(uint64_t offset) {
  RequireFinished();
  const store::VariantLayout& L = variantLayout();
  std::byte* p = At(offset, L.pageSize);
  PutU32(p + L.pageTrailerAt() + L.pageTrailer.crcAt, ComputeCrc(0, {p, L.pageTrailerAt()}));
}

void NdbWriter::RefreshBlockCrc(uint32_t bid) {
  RequireFinished();
  const store::VariantLayout& L = variantLayout();
  const BlockLocation* loc = layout_.FindBlock(bid);
  if (!loc) throw std::invalid_argument("no such block");
  const uint64_t stored = L.StoredBlockSize(loc->size);
  std::byte* p = At(loc->offset, stored);
  std::byte* t = p + stored - L.blockTrailer.size;
  PutU32(t + L.blockTrailer.crcAt, ComputeCrc(0, {p, loc->size}));
}

void NdbWriter::Truncate(uint64_t size) {
  RequireFinished();
  fileSize_ = size;
  layout_.fileSize = size;
}

}  // namespace velmorix::storebuilder
