// The on-disk layout of each store variant in one place: page size and
// trailer, B-tree page fields and entry sizes, block trailer, alignment and
// largest block, allocation maps and the heap-ID split. Readers and writers
// of pages and blocks take their offsets from here.
#pragma once

#include <cstdint>

namespace velmorix::format {

enum class Variant : uint8_t { Unknown, Ansi, Unicode, Unicode4K };

// Field offsets of a page trailer, counted from the trailer's start. ptype is
// at 0, ptypeRepeat at 1 and the signature at 2 in every variant.
struct PageTrailerLayout {
  uint32_t size;   // 12 / 16 / 24
  uint32_t crcAt;  // 8 / 4 / 4: CRC over the page bytes before the trailer
  uint32_t bidAt;  // 4 / 8 / 8 (4 or 8 bytes wide: the variant's idSize)
};

// Field offsets of a block trailer, counted from the trailer's start. The
// stored size is at 0 and the signature at 2 in every variant.
struct BlockTrailerLayout {
  uint32_t size;        // 12 / 16 / 24
  uint32_t crcAt;       // 8 / 4 / 4: CRC over the stored data bytes
  uint32_t bidAt;       // 4 / 8 / 8
  uint32_t inflatedAt;  // 0 / 0 / 18: the size once inflated (0: no such field)
};

struct VariantLayout {
  Variant variant;
  uint32_t idSize;    // width of BIDs, keys and file offsets: 4 / 8 / 8
  uint32_t pageSize;  // 512 / 512 / 4096; pages are aligned to it
  PageTrailerLayout pageTrailer;

  // B-tree pages: entries from offset 0, then the page's own count, most
  // entries, entry size and level.
  uint32_t entryBytes;  // 496 / 488 / 4056
  uint32_t countAt;     // == entryBytes
  uint32_t countWidth;  // 1 / 1 / 2 (the most-entries field has the same width)
  uint32_t maxCountAt;
  uint32_t entrySizeAt;
  uint32_t levelAt;  // 0 for leaf pages
  uint32_t intermediateEntrySize;  // 12 / 24 / 24: key, BID, page offset
  uint32_t blockLeafEntrySize;     // 12 / 24 / 24: BID, offset, then the fields below
  uint32_t nodeLeafEntrySize;      // 16 / 32 / 32: NID, data BID, subnode BID, parent NID
  uint32_t blockSizeAt;      // 8 / 16 / 16: the size as stored (u16)
  uint32_t blockInflatedAt;  // 0 / 0 / 18: the size once inflated (u16; 0: no such field)
  uint32_t blockRefCountAt;  // 10 / 18 / 20

  BlockTrailerLayout blockTrailer;
  uint32_t blockAlignment;  // 64 / 64 / 512: a block takes its data and trailer rounded up to this
  uint32_t maxBlockSize;    // 8192 / 8192 / 65536, trailer included
  bool compressed;          // blocks may be zlib streams (stored size differs from inflated size)

  // Allocation maps: the first one's offset, where its bits start, how many
  // bytes of bits it has and how many file bytes one bit stands for.
  uint64_t firstAMapAt;    // 0x4400 / 0x4400 / 0x22000
  uint32_t amapDataAt;     // 4 / 0 / 0
  uint32_t amapDataBytes;  // 496 / 496 / 4072
  uint32_t amapSlotBytes;  // 64 / 64 / 512
  uint64_t densityListAt;  // 0x4200 / 0x4200 / 0x21000

  // Heap IDs: 5 type bits, then this many bits of allocation index, then the
  // heap block index.
  uint32_t hidIndexBits;  // 11 / 11 / 14

  constexpr uint32_t pageTrailerAt() const { return pageSize - pageTrailer.size; }
  constexpr uint32_t maxBlockData() const { return maxBlockSize - blockTrailer.size; }
  // File bytes a block of `cb` stored data bytes takes, trailer included.
  constexpr uint64_t StoredBlockSize(uint64_t cb) const {
    return (cb + blockTrailer.size + blockAlignment - 1) / blockAlignment * blockAlignment;
  }
  // Most entries of `entrySize` bytes a B-tree page holds.
  constexpr uint32_t MaxEntries(uint32_t entrySize) const { return entryBytes / entrySize; }
  // File bytes one allocation map covers (the map page itself included).
  constexpr uint64_t amapRange() const { return uint64_t{amapDataBytes} * 8 * amapSlotBytes; }
  constexpr uint32_t hidBlockShift() const { return 5 + hidIndexBits; }
};

inline constexpr VariantLayout kAnsiLayout = {
    Variant::Ansi, 4, 512, {12, 8, 4}, 496, 496, 1, 497, 498, 499, 12, 12, 16, 8, 0, 10,
    {12, 8, 4, 0}, 64, 8192, false, 0x4400, 4, 496, 64, 0x4200, 11};
inline constexpr VariantLayout kUnicodeLayout = {
    Variant::Unicode, 8, 512, {16, 4, 8}, 488, 488, 1, 489, 490, 491, 24, 24, 32, 16, 0, 18,
    {16, 4, 8, 0}, 64, 8192, false, 0x4400, 0, 496, 64, 0x4200, 11};
inline constexpr VariantLayout kUnicode4KLayout = {
    Variant::Unicode4K, 8, 4096, {24, 4, 8}, 4056, 4056, 2, 4058, 4060, 4061, 24, 24, 32, 16, 18, 20,
    {24, 4, 8, 18}, 512, 65536, true, 0x22000, 0, 4072, 512, 0x21000, 14};

static_assert(kAnsiLayout.maxBlockData() == 8180 && kUnicodeLayout.maxBlockData() == 8176 &&
              kUnicode4KLayout.maxBlockData() == 65512);
static_assert(kUnicode4KLayout.MaxEntries(24) == 169 && kUnicode4KLayout.MaxEntries(32) == 126 &&
              kUnicode4KLayout.pageTrailerAt() == 4072 && kUnicode4KLayout.amapRange() == 0xFE8000);
static_assert(kUnicodeLayout.pageTrailerAt() == 496 && kAnsiLayout.pageTrailerAt() == 500 &&
              kUnicodeLayout.amapRange() == 0x3E000);

// The layout of a variant; nullptr for Variant::Unknown.
constexpr const VariantLayout* LayoutOf(Variant v) {
  switch (v) {
    case Variant::Ansi: return &kAnsiLayout;
    case Variant::Unicode: return &kUnicodeLayout;
    case Variant::Unicode4K: return &kUnicode4KLayout;
    default: return nullptr;
  }
}

}  // namespace velmorix::format
