// One walk of the structures a node's heap holds: the records of a property
// context, and the header, row index, row matrix and cells of a table
// context. Every offset and count is checked against the bytes it lies in.
// What to make of a record or a cell (which types hold their value in
// place, what a missing value means) is left to the readers above: the
// lists, the item reader and the raw rows of the deep scan.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "items/heap.h"
#include "store/bytes.h"
#include "store/store.h"

namespace velmorix::items {

// True when an HNID names a heap allocation (its node-type bits are clear);
// any other names a subnode. The lists tell them apart by the low four bits
// instead (see properties.cpp).
inline bool IsHeapId(uint32_t hnid) { return (hnid & 0x1F) == 0; }

// One record of a property context: the property ID, its type and the
// stored word (the value itself, or the HNID of its bytes).
struct PropertyRecord {
  uint16_t id = 0;
  uint16_t type = 0;
  uint32_t word = 0;
};

// The records in stored order; nullopt when the tree cannot be read.
std::optional<std::vector<PropertyRecord>> ReadPropertyRecords(const Heap& heap);

struct TcColumn {
  uint32_t tag = 0;
  uint16_t id = 0;
  uint16_t type = 0;
  uint16_t ibData = 0;  // the cell's offset in a row
  uint8_t cbData = 0;   // the cell's width
  uint8_t iBit = 0;     // the cell's bit in the cell existence bitmap
};

// A table context's header: its columns in stored order and where its row
// index and row matrix lie.
struct TcInfo {
  std::vector<TcColumn> columns;
  uint16_t cebStart = 0;  // offset of the cell existence bitmap in a row
  uint16_t rowWidth = 0;
  uint32_t hidRowIndex = 0;
  uint32_t hnidRows = 0;
};

// nullopt when the heap's root allocation is no table header or its columns
// do not fit in its page.
std::optional<TcInfo> ReadTcInfo(const Heap& heap);

// The row index: per row its ID and its position in the row matrix, in
// index order (ascending row ID).
struct RowIndex {
  enum class State { Read, Empty, Unreadable };
  struct Entry {
    uint32_t rowId = 0;
    uint32_t position = 0;
  };
  State state = State::Unreadable;
  std::vector<Entry> rows;  // State::Read: one entry a record, possibly none
};
RowIndex ReadRowIndex(const Heap& heap, uint32_t hidRowIndex);

// Where a table's rows are: one heap allocation, or the data blocks of a
// subnode that each hold whole rows.
class RowMatrix {
 public:
  RowMatrix() = default;
  RowMatrix(const Heap::Allocation& a, uint16_t rowWidth);
  RowMatrix(std::vector<DataBlock> blocks, uint16_t rowWidth, size_t rowsPerBlock);
  // The data blocks of subnode `entry`; nullopt when they cannot be read.
  static std::optional<std::vector<DataBlock>> Blocks(store::Store& store, const store::SubnodeEntry& entry);

  bool inHeap() const { return page_ != nullptr; }
  bool inBlocks() const { return !blocks_.empty(); }
  size_t rowsPerBlock() const { return rowsPerBlock_; }
  // The whole rows the matrix holds (a block's partial last row not counted).
  uint64_t rowsHeld() const;
  // The bytes of the row at `position`; nullopt when the row does not lie
  // whole in the allocation or its block.
  std::optional<ByteSpan> Row(uint64_t position) const;
  // The 4 bytes at `ibData` of row `position`, as the lists read every cell
  // whatever its width. In the heap they are read within the allocation's
  // whole page (at an offset above 0 and below its size - 4; 0 outside); in
  // a block, bytes past its end read as zero.
  uint32_t Word(uint64_t position, uint16_t ibData) const;

 private:
  const Heap::Page* page_ = nullptr;
  HeapRange range_;
  std::vector<DataBlock> blocks_;
  uint16_t rowWidth_ = 0;
  size_t rowsPerBlock_ = 0;
};

// One cell of a row: whether its bit in the cell existence bitmap is set
// (unknown when the bitmap lies outside the row) and its bytes at the
// column's width (nullopt when they lie outside the row).
struct TcCell {
  std::optional<bool> exists;
  std::optional<ByteSpan> bytes;
};
TcCell CellOf(ByteSpan row, uint16_t cebStart, const TcColumn& column);

}  // namespace velmorix::items
