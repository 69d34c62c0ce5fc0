// Pages and blocks as written, in every variant: block encodings, block and
// page trailers, B-tree page fields and entries, and the internal blocks of
// data trees and subnode trees. Each takes the variant's layout, so that one
// encoding serves the Unicode writer and the test builder's other variants.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "format/layout.h"

namespace velmorix::pst {

using Bytes = std::vector<std::byte>;
using ByteRange = std::span<const std::byte>;
using Layout = format::VariantLayout;

// Block encodings, as the header names them.
enum class Encoding : uint8_t { None = 0, Permute = 1, Cyclic = 2 };

// Encodes a data block's bytes in place; the cyclic method is keyed by its BID.
void EncodeBlockData(std::span<std::byte> data, Encoding encoding, uint64_t bid);

// Writes an ID, key or file offset: 8 bytes, or 4 where the variant's IDs are.
void PutId(const Layout& L, std::byte* at, uint64_t value);

// Writes the trailer at the end of a block's `L.StoredBlockSize(cb)` bytes,
// whose first `cb` bytes are its data as stored; `inflated` is the data's
// size once inflated, where the variant records it.
void SealBlock(const Layout& L, std::span<std::byte> stored, uint16_t cb, uint64_t ib, uint64_t bid,
               uint16_t inflated);

// Writes the trailer of a page at file offset `ib`, with its CRC over the
// bytes before it; `signed_` gives it the signature (B-tree and density-list
// pages) or leaves that 0 (the maps).
void SealPage(const Layout& L, std::span<std::byte> page, uint8_t ptype, uint64_t ib, uint64_t bid, bool signed_);

// A B-tree page's own count, most entries, entry size and level.
void PutBTreeMeta(const Layout& L, std::span<std::byte> page, size_t count, size_t maxEntries, size_t entrySize,
                  int level);
// B-tree entries: an intermediate one (first key of the child, its BID and
// offset), a block leaf and a node leaf.
void PutIntermediateEntry(const Layout& L, std::byte* at, uint64_t key, uint64_t bid, uint64_t ib);
void PutBlockLeafEntry(const Layout& L, std::byte* at, uint64_t bid, uint64_t ib, uint16_t cb, uint16_t refCount,
                       uint16_t inflated);
void PutNodeLeafEntry(const Layout& L, std::byte* at, uint64_t nid, uint64_t dataBid, uint64_t subnodeBid,
                      uint32_t parentNid);

// How many children an internal block holds: BIDs of a data tree's block,
// entries of a subnode leaf (SLBLOCK) and of a subnode index (SIBLOCK).
struct TreeLimits {
  size_t xblock;
  size_t subnodeLeaf;
  size_t subnodeIndex;
};
TreeLimits TreeLimitsOf(const Layout& L);

struct SubnodeRef {
  uint32_t nid = 0;
  uint64_t dataBid = 0;
  uint64_t subnodeBid = 0;
};
// One entry of a subnode index: the first NID of a leaf and the leaf's BID.
struct SubnodeIndexRef {
  uint32_t nid = 0;
  uint64_t bid = 0;
};

// The bytes of an XBLOCK (level 1) or XXBLOCK (level 2) over `bids`, whose
// data totals `total` bytes.
Bytes EncodeDataTree(const Layout& L, int level, std::span<const uint64_t> bids, uint32_t total);
// The bytes of an SLBLOCK, entries in the order given.
Bytes EncodeSubnodeLeaf(const Layout& L, std::span<const SubnodeRef> entries);
// The bytes of an SIBLOCK over SLBLOCKs.
Bytes EncodeSubnodeIndex(const Layout& L, std::span<const SubnodeIndexRef> leaves);

// Writes one internal block and gives its BID.
using InternalBlockWriter = std::function<uint64_t(const Bytes&)>;
// A data tree over data blocks already written, of the given sizes: an
// XBLOCK, or an XXBLOCK over XBLOCKs when one XBLOCK cannot hold them all.
// Gives the tree's BID.
uint64_t WriteDataTree(const Layout& L, std::span<const uint64_t> bids, std::span<const uint32_t> sizes,
                       const InternalBlockWriter& write);
// A subnode tree over `entries` in the order given: an SLBLOCK, or an SIBLOCK
// over SLBLOCKs when one cannot hold them all. Gives the tree's BID.
uint64_t WriteSubnodeTree(const Layout& L, std::span<const SubnodeRef> entries, const InternalBlockWriter& write);

// The header of the Unicode variant (version 23) and of the 4 KiB-page
// variant (36), with both CRCs.
struct UnicodeHeader {
  uint16_t clientMagic = 0x4D53;  // "SM"; "SO" for offline folders
  uint16_t version = 23;
  uint16_t clientVersion = 19;
  uint64_t nextPageBid = 0;
  uint64_t nextBid = 0;
  std::array<uint32_t, 32> nidCounters{};  // last index given out per node type
  uint64_t fileEnd = 0;
  uint64_t lastAMap = 0;
  uint64_t amapFree = 0;
  uint64_t nodeRootBid = 0;
  uint64_t nodeRootIb = 0;
  uint64_t blockRootBid = 0;
  uint64_t blockRootIb = 0;
  bool amapValid = true;
  Encoding encoding = Encoding::Permute;
};
inline constexpr size_t kUnicodeHeaderSize = 564;
std::array<std::byte, kUnicodeHeaderSize> EncodeUnicodeHeader(const UnicodeHeader& h);

}  // namespace velmorix::pst
