// Heap-on-node access: heap IDs, BTree-on-heap records, subnode values.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "format/vocabulary.h"
#include "store/bytes.h"
#include "store/store.h"

namespace velmorix::items {

// Byte range [start, end) of one heap allocation inside its block. `end` may
// lie below `start`: such an allocation is empty.
struct HeapRange {
  int32_t start = 0;
  int32_t end = 0;
  int32_t size() const { return end > start ? end - start : 0; }
};

// Page-map lookup inside one heap block: the allocation of `hid`, whose
// page-map words stand at ibHnpm + (hid >> 4) + 2 and + 4. nullopt when the
// heap is empty, the HID is 0, or either word lies outside the block. The
// block index of the HID is not honoured here (see Heap for that). The words
// are signed 16-bit offsets in blocks of at most 8 KiB, and unsigned
// (`wideBlocks`) where blocks reach 64 KiB.
std::optional<HeapRange> ResolveHid(ByteSpan block, uint16_t ibHnpm, uint32_t hid, bool wideBlocks = false);

// A node's heap: one page per data block of the node, in order. Single-block
// heaps and heaps over a data tree are both read.
class Heap {
 public:
  struct Page {
    Buffer data;
    uint32_t bid = 0;          // the data block's BID
    uint16_t ibHnpm = 0;       // page-map offset of this page
  };

  // Reads the node data named by `bid` (one block or a data tree). nullopt
  // when nothing can be read.
  static std::optional<Heap> Read(store::Store& store, uint32_t bid);
  // A heap over blocks already in memory (tests, and values of other heaps),
  // with the heap-ID split of `layout`'s variant.
  static Heap FromPages(std::vector<Page> pages, const store::VariantLayout& layout = store::kUnicodeLayout);

  size_t pageCount() const { return pages_.size(); }
  const Page& page(size_t i) const { return pages_[i]; }

  // The first page's header.
  uint16_t signature() const;
  uint32_t userRoot() const;

  // Resolves a HID to its page and the allocation in it. The bits above the
  // allocation index (16 and up, 19 and up in the 4 KiB variant) name the
  // page; a HID naming a page the heap does not have fails.
  struct Allocation {
    const Page* page = nullptr;
    HeapRange range;
    ByteSpan bytes() const;
  };
  std::optional<Allocation> Resolve(uint32_t hid) const;
  // The same for a HID named by a heap or table header: on a single-page heap
  // its page bits are ignored.
  std::optional<Allocation> ResolveHeader(uint32_t hid) const;

  // Reads a BTree-on-heap whose header is the allocation `hid`: checks the
  // header word against `headerWord` and returns the leaf records in order,
  // each `recordSize` bytes (0 = cbKey + cbEnt of the header). Index levels are
  // descended. nullopt when the header or root is not readable. `cbEnt`
  // receives the header's entry size.
  std::optional<std::vector<ByteSpan>> ReadBth(uint32_t hid, uint16_t headerWord,
                                               uint32_t recordSize, uint8_t* cbEnt = nullptr) const;

 private:
  std::vector<Page> pages_;
  uint32_t blockShift_ = 16;  // HID bits below the page index
  uint32_t inPageMask_ = 0xFFFF;
  bool wideBlocks_ = false;   // page-map offsets read unsigned
};

// Finds `nid` in a node's flat subnode list (first exact match); nullptr when
// absent or when there is no list.
const store::SubnodeEntry* FindSubnode(const store::SubnodeList* list, uint32_t nid);

// The leaf data blocks of the data named by `bid`, in order: one block, or the
// children of an XBLOCK / XXBLOCK. nullopt when a block is missing or the tree
// is malformed (bad level, an entry count that does not fit, a block named
// twice).
struct DataBlock {
  uint32_t bid = 0;
  Buffer data;
};
std::optional<std::vector<DataBlock>> ReadDataBlockList(store::Store& store, uint32_t bid);

// Reads the data named by `bid` whole (concatenated leaves). nullopt or an
// empty buffer means failure.
std::optional<Buffer> ReadValueWhole(store::Store& store, uint32_t bid);

// Finds subnode `nid` and reads its data whole. nullopt on any failure.
std::optional<Buffer> ReadSubnodeValue(store::Store& store, uint32_t nid,
                                       const store::SubnodeList* list);

}  // namespace velmorix::items
