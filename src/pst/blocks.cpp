#include "pst/blocks.h"

#include <algorithm>
#include <cstring>

#include "format/block_encoding.h"
#include "format/checksum.h"

namespace velmorix::pst {
namespace {

// The 4 KiB-page variant's trailers end in fields that hold these values in
// every file clients write: 8 bytes after a page trailer's BID, 2 bytes after
// a block trailer's BID.
constexpr uint64_t kPageTrailerTail4K = 1;
constexpr uint16_t kBlockTrailerTail4K = 2;

void Put16(std::byte* p, uint16_t v) {
  for (int i = 0; i < 2; ++i) p[i] = std::byte(v >> (8 * i));
}
void Put32(std::byte* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = std::byte(v >> (8 * i));
}
void Put64(std::byte* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = std::byte(v >> (8 * i));
}

// Internal blocks start with their type and level and a 16-bit count; where
// IDs are 8 bytes wide, subnode blocks pad that header to 8 bytes.
size_t SubnodeHeader(const Layout& L) { return L.idSize == 8 ? 8 : 4; }

Bytes InternalBlock(uint8_t type, int level, size_t count, size_t header, size_t entrySize) {
  Bytes b(header + count * entrySize);
  b[0] = std::byte{type};
  b[1] = std::byte(level);
  Put16(b.data() + 2, static_cast<uint16_t>(count));
  return b;
}

}  // namespace

void EncodeBlockData(std::span<std::byte> data, Encoding encoding, uint64_t bid) {
  if (encoding == Encoding::Permute) format::Substitute(data, format::kPermuteTable);
  if (encoding == Encoding::Cyclic) format::Cyclic(data, static_cast<uint32_t>(bid));
}

void PutId(const Layout& L, std::byte* at, uint64_t value) {
  if (L.idSize == 8) {
    Put64(at, value);
  } else {
    Put32(at, static_cast<uint32_t>(value));
  }
}

void SealBlock(const Layout& L, std::span<std::byte> stored, uint16_t cb, uint64_t ib, uint64_t bid,
               uint16_t inflated) {
  std::byte* t = stored.data() + stored.size() - L.blockTrailer.size;
  Put16(t, cb);
  Put16(t + 2, format::Signature(ib, bid));
  Put32(t + L.blockTrailer.crcAt, format::Crc(0, stored.first(cb)));
  PutId(L, t + L.blockTrailer.bidAt, bid);
  if (L.blockTrailer.inflatedAt) {
    Put16(t + L.blockTrailer.bidAt + L.idSize, kBlockTrailerTail4K);
    Put16(t + L.blockTrailer.inflatedAt, inflated);
  }
}

void SealPage(const Layout& L, std::span<std::byte> page, uint8_t ptype, uint64_t ib, uint64_t bid, bool signed_) {
  std::byte* t = page.data() + L.pageTrailerAt();
  t[0] = std::byte(ptype);
  t[1] = std::byte(ptype);
  Put16(t + 2, signed_ ? format::Signature(ib, bid) : 0);
  Put32(t + L.pageTrailer.crcAt, format::Crc(0, page.first(L.pageTrailerAt())));
  PutId(L, t + L.pageTrailer.bidAt, bid);
  // Whatever the trailer holds past its BID and CRC is the 4 KiB variant's tail.
  const uint32_t tailAt = std::max(L.pageTrailer.bidAt + L.idSize, L.pageTrailer.crcAt + 4);
  if (L.pageTrailer.size >= tailAt + 8) Put64(t + tailAt, kPageTrailerTail4K);
}

void PutBTreeMeta(const Layout& L, std::span<std::byte> page, size_t count, size_t maxEntries, size_t entrySize,
                  int level) {
  if (L.countWidth == 2) {
    Put16(page.data() + L.countAt, static_cast<uint16_t>(count));
    Put16(page.data() + L.maxCountAt, static_cast<uint16_t>(maxEntries));
  } else {
    page[L.countAt] = std::byte(count);
    page[L.maxCountAt] = std::byte(maxEntries);
  }
  page[L.entrySizeAt] = std::byte(entrySize);
  page[L.levelAt] = std::byte(level);
}

void PutIntermediateEntry(const Layout& L, std::byte* at, uint64_t key, uint64_t bid, uint64_t ib) {
  PutId(L, at, key);
  PutId(L, at + L.idSize, bid);
  PutId(L, at + 2 * L.idSize, ib);
}

void PutBlockLeafEntry(const Layout& L, std::byte* at, uint64_t bid, uint64_t ib, uint16_t cb, uint16_t refCount,
                       uint16_t inflated) {
  PutId(L, at, bid);
  PutId(L, at + L.idSize, ib);
  Put16(at + L.blockSizeAt, cb);
  Put16(at + L.blockRefCountAt, refCount);
  if (L.blockInflatedAt) Put16(at + L.blockInflatedAt, inflated);
}

void PutNodeLeafEntry(const Layout& L, std::byte* at, uint64_t nid, uint64_t dataBid, uint64_t subnodeBid,
                      uint32_t parentNid) {
  PutId(L, at, nid);
  PutId(L, at + L.idSize, dataBid);
  PutId(L, at + 2 * L.idSize, subnodeBid);
  Put32(at + 3 * L.idSize, parentNid);
}

TreeLimits TreeLimitsOf(const Layout& L) {
  const size_t data = L.maxBlockData();
  return {(data - 8) / L.idSize, (data - SubnodeHeader(L)) / (3 * L.idSize),
          (data - SubnodeHeader(L)) / (2 * L.idSize)};
}

Bytes EncodeDataTree(const Layout& L, int level, std::span<const uint64_t> bids, uint32_t total) {
  Bytes b = InternalBlock(0x01, level, bids.size(), 8, L.idSize);
  Put32(b.data() + 4, total);
  for (size_t i = 0; i < bids.size(); ++i) PutId(L, b.data() + 8 + i * L.idSize, bids[i]);
  return b;
}

Bytes EncodeSubnodeLeaf(const Layout& L, std::span<const SubnodeRef> entries) {
  const size_t head = SubnodeHeader(L);
  Bytes b = InternalBlock(0x02, 0, entries.size(), head, 3 * L.idSize);
  for (size_t i = 0; i < entries.size(); ++i) {
    std::byte* e = b.data() + head + i * 3 * L.idSize;
    PutId(L, e, entries[i].nid);
    PutId(L, e + L.idSize, entries[i].dataBid);
    PutId(L, e + 2 * L.idSize, entries[i].subnodeBid);
  }
  return b;
}

Bytes EncodeSubnodeIndex(const Layout& L, std::span<const SubnodeIndexRef> leaves) {
  const size_t head = SubnodeHeader(L);
  Bytes b = InternalBlock(0x02, 1, leaves.size(), head, 2 * L.idSize);
  for (size_t i = 0; i < leaves.size(); ++i) {
    std::byte* e = b.data() + head + i * 2 * L.idSize;
    PutId(L, e, leaves[i].nid);
    PutId(L, e + L.idSize, leaves[i].bid);
  }
  return b;
}

uint64_t WriteDataTree(const Layout& L, std::span<const uint64_t> bids, std::span<const uint32_t> sizes,
                       const InternalBlockWriter& write) {
  const size_t per = TreeLimitsOf(L).xblock;
  uint64_t total = 0;
  for (uint32_t s : sizes) total += s;
  if (bids.size() <= per) return write(EncodeDataTree(L, 1, bids, static_cast<uint32_t>(total)));
  std::vector<uint64_t> upper;
  for (size_t from = 0; from < bids.size(); from += per) {
    const size_t count = std::min(per, bids.size() - from);
    uint64_t bytes = 0;
    for (size_t i = from; i < from + count; ++i) bytes += sizes[i];
    upper.push_back(write(EncodeDataTree(L, 1, bids.subspan(from, count), static_cast<uint32_t>(bytes))));
  }
  return write(EncodeDataTree(L, 2, upper, static_cast<uint32_t>(total)));
}

uint64_t WriteSubnodeTree(const Layout& L, std::span<const SubnodeRef> entries, const InternalBlockWriter& write) {
  const size_t per = TreeLimitsOf(L).subnodeLeaf;
  if (entries.size() <= per) return write(EncodeSubnodeLeaf(L, entries));
  std::vector<SubnodeIndexRef> leaves;
  for (size_t from = 0; from < entries.size(); from += per) {
    leaves.push_back({entries[from].nid, write(EncodeSubnodeLeaf(L, entries.subspan(from, std::min(per, entries.size() - from))))});
  }
  return write(EncodeSubnodeIndex(L, leaves));
}

std::array<std::byte, kUnicodeHeaderSize> EncodeUnicodeHeader(const UnicodeHeader& in) {
  std::array<std::byte, kUnicodeHeaderSize> h{};
  std::memcpy(h.data(), "!BDN", 4);
  Put16(&h[8], in.clientMagic);
  Put16(&h[10], in.version);
  Put16(&h[12], in.clientVersion);
  h[14] = std::byte{1};
  h[15] = std::byte{1};
  Put64(&h[32], in.nextPageBid);
  Put32(&h[40], 1);
  for (size_t i = 0; i < in.nidCounters.size(); ++i) Put32(&h[44 + 4 * i], in.nidCounters[i]);
  Put64(&h[184], in.fileEnd);
  Put64(&h[192], in.lastAMap);
  Put64(&h[200], in.amapFree);
  Put64(&h[216], in.nodeRootBid);
  Put64(&h[224], in.nodeRootIb);
  Put64(&h[232], in.blockRootBid);
  Put64(&h[240], in.blockRootIb);
  h[248] = std::byte(in.amapValid ? 2 : 0);
  // The deprecated free maps' bytes: 0xFF in version 23, zero in later ones.
  if (in.version == 23) std::memset(&h[256], 0xFF, 256);
  h[512] = std::byte{0x80};
  h[513] = std::byte(in.encoding);
  Put64(&h[516], in.nextBid);
  Put32(&h[4], format::Crc(0, std::span(h).subspan(8, 471)));
  Put32(&h[524], format::Crc(0, std::span(h).subspan(8, 516)));
  return h;
}

}  // namespace velmorix::pst
