// The shared walk of table contexts: row matrices and cells at the edges of
// the bytes that hold them.
#include <gtest/gtest.h>

#include "items/ltp_reader.h"
#include "test_util.h"

namespace velmorix::items {
namespace {

using namespace testing;

Buffer Filled(size_t n) {
  Buffer b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<std::byte>(i + 1);
  return b;
}

TEST(RowMatrix, BlockRowsAreWholeWhileWordsPadPastTheBlock) {
  std::vector<DataBlock> blocks(2);
  blocks[0].data = Filled(10);  // two rows of 4 and two bytes left over
  blocks[1].data = Filled(6);
  const RowMatrix m(std::move(blocks), 4, 2);
  EXPECT_EQ(m.rowsHeld(), 3u);
  ASSERT_TRUE(m.Row(1));
  EXPECT_EQ(m.Row(1)->front(), std::byte{5});
  EXPECT_EQ(m.Row(2)->front(), std::byte{1});  // first row of the second block
  EXPECT_FALSE(m.Row(3));                       // only 2 of its 4 bytes there
  EXPECT_FALSE(m.Row(4));                       // no third block
  EXPECT_EQ(m.Word(3, 0), 0x0605u);             // the bytes past the end read as zero
  EXPECT_EQ(m.Word(4, 0), 0u);
  EXPECT_FALSE(RowMatrix(std::vector<DataBlock>(1), 4, 0).Row(0));  // no rows a block
}

TEST(RowMatrix, HeapRowsStayInTheAllocationWhileWordsReadThePage) {
  const Heap heap = HeapOf({HeapBlock(format::kBTypeTc, 0x20, {Filled(8), Filled(8)})});
  auto first = heap.Resolve(0x20);
  ASSERT_TRUE(first);
  const RowMatrix m(*first, 4);
  EXPECT_EQ(m.rowsHeld(), 2u);
  EXPECT_TRUE(m.Row(1));
  EXPECT_FALSE(m.Row(2));
  // Row 2 lies in the next allocation: the lists read it there.
  EXPECT_EQ(m.Word(2, 0), 0x04030201u);
  EXPECT_EQ(m.Word(1000, 0), 0u);
  EXPECT_EQ(RowMatrix(*first, 0).rowsHeld(), 0u);
  EXPECT_FALSE(RowMatrix(*first, 0).Row(0));
}

TEST(CellOf, ReadsTheBitmapFromTheTopBitAndBoundsBothParts) {
  // Row: a 4-byte cell, then the bitmap byte.
  const Buffer row = Concat({Le(0x11223344, 4), Le(0x40, 1)});
  TcColumn second;
  second.cbData = 4;
  second.iBit = 1;
  EXPECT_EQ(CellOf(row, 4, second).exists, true);
  EXPECT_EQ(*ByteView(*CellOf(row, 4, second).bytes).U32(0), 0x11223344u);
  TcColumn first = second;
  first.iBit = 0;
  EXPECT_EQ(CellOf(row, 4, first).exists, false);
  TcColumn far = second;
  far.iBit = 8;  // its bitmap byte lies outside the row
  EXPECT_FALSE(CellOf(row, 4, far).exists.has_value());
  TcColumn wide = second;
  wide.ibData = 2;  // the cell runs past the row
  EXPECT_FALSE(CellOf(row, 4, wide).bytes);
}

}  // namespace
}  // namespace velmorix::items
