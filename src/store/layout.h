// Reading pages and blocks of each store variant: the variants' layouts (see
// format/layout.h), checksums, and readers of trailers and B-tree page fields,
// for code that recognises pages and blocks by their trailers alone.
#pragma once

#include <cstdint>
#include <optional>

#include "format/layout.h"
#include "format/vocabulary.h"
#include "store/bytes.h"

namespace velmorix::store {

using Variant = format::Variant;
using format::BlockTrailerLayout;
using format::PageTrailerLayout;
using format::VariantLayout;
using format::kAnsiLayout;
using format::kUnicode4KLayout;
using format::kUnicodeLayout;

using format::LayoutOf;

// The variant a header version names: 14 and 15 ANSI, 23 Unicode, 36 and
// later the 4 KiB-page variant (callers confirm later versions, see
// OpenStore); any other version none.
Variant VariantOfVersion(uint32_t version);

// The store format's 32-bit CRC: reflected polynomial 0xEDB88320, initial
// value supplied by the caller (the format starts from 0), no final XOR.
uint32_t ComputeCrc(uint32_t crc, ByteSpan data);

// Signature of a page or block: its file offset and BID folded to 16 bits.
uint16_t ComputeSig(uint64_t ib, uint64_t bid);

// A page trailer's fields.
struct PageTrailer {
  uint8_t ptype = 0;
  uint8_t ptypeRepeat = 0;
  uint16_t sig = 0;
  uint32_t crc = 0;
  uint64_t bid = 0;
};
// Reads the trailer of a whole page; nullopt when `page` is shorter than a page.
std::optional<PageTrailer> ReadPageTrailer(const VariantLayout& L, ByteSpan page);
// True when the page's stored CRC matches its bytes before the trailer.
bool PageCrcHolds(const VariantLayout& L, ByteSpan page);

// A B-tree page's own count, most entries, entry size and level.
struct BTreePageInfo {
  uint16_t count = 0;
  uint16_t maxCount = 0;
  uint8_t entrySize = 0;
  uint8_t level = 0;
};
std::optional<BTreePageInfo> ReadBTreePageInfo(const VariantLayout& L, ByteSpan page);

// One intermediate B-tree entry: the first key of the child page, its BID and
// its file offset.
struct IntermediateEntry {
  uint64_t key = 0;
  uint64_t bid = 0;
  uint64_t offset = 0;
};
std::optional<IntermediateEntry> ReadIntermediateEntry(const VariantLayout& L, ByteSpan page, uint32_t index);

// A block trailer's fields; `inflated` equals `cb` where the variant has no
// inflated size.
struct BlockTrailer {
  uint16_t cb = 0;
  uint16_t sig = 0;
  uint32_t crc = 0;
  uint64_t bid = 0;
  uint32_t inflated = 0;
};
// Reads a block trailer from its `L.blockTrailer.size` bytes.
std::optional<BlockTrailer> ReadBlockTrailer(const VariantLayout& L, ByteSpan trailer);

}  // namespace velmorix::store
