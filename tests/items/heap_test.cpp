// Heaps, property contexts and table contexts read from blocks in memory.
#include <gtest/gtest.h>

#include "format/vocabulary.h"
#include "items/items.h"
#include "test_util.h"

namespace velmorix::items {
namespace {

using namespace testing;

// A property context whose records are allocation 2 and whose values follow.
Buffer PcBlock(const std::vector<Buffer>& records, const std::vector<Buffer>& values) {
  Buffer recs;
  for (const Buffer& r : records) recs.insert(recs.end(), r.begin(), r.end());
  std::vector<Buffer> allocs{BthHeader(2, 6, 0, 0x40), recs};
  allocs.insert(allocs.end(), values.begin(), values.end());
  return HeapBlock(format::kBTypePc, 0x20, allocs);
}

class PropertyContextTest : public ::testing::Test {
 protected:
  std::optional<PropertySet> Read(Buffer block, const store::SubnodeList* subnodes = nullptr) {
    return ReadPropertySetFromHeap(ctx, HeapOf({std::move(block)}), subnodes);
  }
  store::Store store;
  ItemContext ctx{store};
};

TEST(ResolveHid, BoundsEveryPageMapWord) {
  Buffer block = HeapBlock(format::kBTypePc, 0x20, {Bytes("abcd"), Bytes("ef")});
  const uint16_t ibHnpm = *ByteView(ByteSpan(block)).U16(0);
  auto first = ResolveHid(block, ibHnpm, 0x20);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->start, 12);
  EXPECT_EQ(first->end, 16);
  auto second = ResolveHid(block, ibHnpm, 0x40);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->size(), 2);
  EXPECT_FALSE(ResolveHid(block, ibHnpm, 0));
  EXPECT_FALSE(ResolveHid({}, ibHnpm, 0x20));
  // Page-map words beyond the block.
  EXPECT_FALSE(ResolveHid(block, ibHnpm, 0x7FE0));
  EXPECT_FALSE(ResolveHid(block, 0xFFF0, 0x20));
}

TEST(ResolveHid, OffsetsOutsideTheBlockFailAndReversedOnesAreEmpty) {
  Buffer block = HeapBlock(format::kBTypePc, 0x20, {Bytes("abcd"), Bytes("ef")});
  const uint16_t ibHnpm = *ByteView(ByteSpan(block)).U16(0);
  Buffer reversed = block;
  reversed[ibHnpm + 8] = std::byte{10};  // second allocation ends before it starts
  reversed[ibHnpm + 9] = std::byte{0};
  auto r = ResolveHid(reversed, ibHnpm, 0x40);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->size(), 0);
  Buffer outside = block;
  outside[ibHnpm + 9] = std::byte{0x70};  // ends far beyond the block
  EXPECT_FALSE(ResolveHid(outside, ibHnpm, 0x40));
  Buffer negative = block;
  negative[ibHnpm + 7] = std::byte{0x80};  // start read as a negative 16-bit value
  EXPECT_FALSE(ResolveHid(negative, ibHnpm, 0x40));
}

// The 4 KiB-page variant: 14 bits of allocation index, the block index from
// bit 19, and page maps of blocks up to 65,512 bytes.
TEST(HeapIds, TheFourKiBVariantSplitsAtBit19) {
  auto pages = [] {
    std::vector<Heap::Page> p(2);
    p[0].data = HeapBlock(format::kBTypePc, 0x20, {Bytes("zero")});
    p[1].data = HeapBlock(format::kBTypePc, 0x20, {Bytes("one"), Bytes("two")});
    for (auto& page : p) page.ibHnpm = *ByteView(ByteSpan(page.data)).U16(0);
    return p;
  };
  const uint32_t hid = (1u << 19) | (2u << 5);
  const Heap wide = Heap::FromPages(pages(), store::kUnicode4KLayout);
  auto a = wide.Resolve(hid);
  ASSERT_TRUE(a);
  EXPECT_EQ(AsChars(a->bytes()), "two");
  EXPECT_FALSE(Heap::FromPages(pages()).Resolve(hid));  // page 8 of the 16-bit split
  // Page-map offsets beyond 32 KiB are read unsigned.
  std::vector<Heap::Page> big(1);
  big[0].data = HeapBlock(format::kBTypePc, 0x20, {Buffer(33000 - 12), Bytes("far")});
  big[0].ibHnpm = *ByteView(ByteSpan(big[0].data)).U16(0);
  const Heap bigHeap = Heap::FromPages(big, store::kUnicode4KLayout);
  auto far = bigHeap.Resolve(0x40);
  ASSERT_TRUE(far);
  EXPECT_EQ(far->range.start, 33000);
  EXPECT_EQ(AsChars(far->bytes()), "far");
  EXPECT_FALSE(Heap::FromPages(big).Resolve(0x40));  // negative as a signed offset
}

TEST_F(PropertyContextTest, ReadsEveryRecordByItsType) {
  store.variant = store::Variant::Ansi;
  auto set = Read(PcBlock({PcRecord(0x0017, 0x0003, 2), PcRecord(0x0037, 0x001E, 0x60),
                           PcRecord(0x0057, 0x000B, 1), PcRecord(0x0E06, 0x0040, 0x80)},
                          {Bytes("Hello"), Le(0x01D2000000000000ull, 8)}));
  ASSERT_TRUE(set);
  ASSERT_EQ(set->rows.size(), 1u);
  const PropertyRow& row = set->rows[0];
  EXPECT_EQ(row.totalRows, 1);
  ASSERT_EQ(row.count(), 4);
  EXPECT_EQ(row.entries[0].tag, 0x0017u);
  EXPECT_EQ(row.entries[0].size, 4);
  EXPECT_EQ(*ByteView(row.entries[0].data.bytes()).U32(0), 2u);
  EXPECT_EQ(row.entries[1].data.view(), "Hello");
  EXPECT_EQ(row.entries[1].type, 0x001Eu);
  EXPECT_EQ(row.entries[2].type, 0x000Bu);
  EXPECT_EQ(row.entries[3].size, 8);
}

TEST_F(PropertyContextTest, DropsEmptyUnreadableAndUnknownEntriesOnly) {
  auto set = Read(PcBlock({PcRecord(0x0002, 0x0004, 7),         // PT_FLOAT: unknown here
                           PcRecord(0x0037, 0x001F, 0),         // HNID 0: no value
                           PcRecord(0x0042, 0x001F, 0x7FE0),    // beyond the page map
                           PcRecord(0x0E04, 0x101F, 0x60),      // multi-valued Unicode: unknown
                           PcRecord(0x0E07, 0x0003, 9),
                           PcRecord(0x3001, 0x001F, 0x60)},
                          {Wide("Name")}));
  ASSERT_TRUE(set);
  const PropertyRow& row = set->rows[0];
  ASSERT_EQ(row.count(), 2);
  EXPECT_EQ(row.entries[0].tag, 0x0E07u);
  EXPECT_EQ(row.entries[1].tag, 0x3001u);
  EXPECT_EQ(row.entries[1].size, 8);
}

TEST_F(PropertyContextTest, SubnodeValuesThatCannotBeReadKeepTheirNid) {
  auto set = Read(PcBlock({PcRecord(0x1000, 0x001F, 0x8F), PcRecord(0x3701, 0x000D, 0x60)},
                          {Concat({Le(0x1F45, 4), Le(100, 4)})}));
  ASSERT_TRUE(set);
  const PropertyRow& row = set->rows[0];
  ASSERT_EQ(row.count(), 2);
  EXPECT_FALSE(row.entries[0].data);
  EXPECT_EQ(row.entries[0].size, 0);
  EXPECT_EQ(row.entries[0].type, 0x8Fu);  // the HNID
  EXPECT_FALSE(row.entries[1].data);
  EXPECT_EQ(row.entries[1].type, 0x1F45u);  // the object's NID
}

TEST_F(PropertyContextTest, AReversedAllocationIsAnEmptyValue) {
  Buffer block = PcBlock({PcRecord(0x3001, 0x001F, 0x60)}, {Wide("Name")});
  const uint16_t ibHnpm = *ByteView(ByteSpan(block)).U16(0);
  block[ibHnpm + 10] = std::byte{12};  // the value's end, now below its start
  block[ibHnpm + 11] = std::byte{0};
  auto set = Read(block);
  ASSERT_TRUE(set);
  ASSERT_EQ(set->rows[0].count(), 1);
  EXPECT_TRUE(set->rows[0].entries[0].data);
  EXPECT_EQ(set->rows[0].entries[0].size, 0);
}

TEST_F(PropertyContextTest, RefusesBadHeaders) {
  const std::vector<Buffer> recs{PcRecord(0x0E07, 0x0003, 1)};
  // Not a heap of either context.
  Buffer block = PcBlock(recs, {});
  block[3] = std::byte{0x9C};
  EXPECT_FALSE(Read(block));
  // A row-index BTH header where the property BTH belongs.
  EXPECT_FALSE(Read(HeapBlock(format::kBTypePc, 0x20, {BthHeader(4, 4, 0, 0x40), recs[0]})));
  // A BTH without a root.
  EXPECT_FALSE(Read(HeapBlock(format::kBTypePc, 0x20, {BthHeader(2, 6, 0, 0), recs[0]})));
  // The user root names an allocation the page map does not hold.
  EXPECT_FALSE(Read(HeapBlock(format::kBTypePc, 0x7FE0, {BthHeader(2, 6, 0, 0x40), recs[0]})));
  // The page map lies beyond the block.
  block = PcBlock(recs, {});
  block[0] = std::byte{0xF0};
  block[1] = std::byte{0x7F};
  EXPECT_FALSE(Read(block));
  // Too short for a header.
  EXPECT_FALSE(Read(Buffer(3, std::byte{0})));
}

TEST_F(PropertyContextTest, DescendsIndexLevels) {
  // Root index allocation naming two leaves.
  Buffer index = Concat({Le(0x0017, 2), Le(0x60, 4), Le(0x0E07, 2), Le(0x80, 4)});
  Buffer leaf1 = Concat({PcRecord(0x0017, 0x0003, 1), PcRecord(0x0036, 0x0003, 2)});
  Buffer leaf2 = PcRecord(0x0E07, 0x0003, 3);
  auto set = Read(HeapBlock(format::kBTypePc, 0x20, {BthHeader(2, 6, 1, 0x40), index, leaf1, leaf2}));
  ASSERT_TRUE(set);
  ASSERT_EQ(set->rows[0].count(), 3);
  EXPECT_EQ(set->rows[0].entries[2].tag, 0x0E07u);
}

TEST_F(PropertyContextTest, IndexLevelsThatLoopEndTheRead) {
  // An index allocation naming itself, with a level count that never ends.
  Buffer index = Concat({Le(0x0017, 2), Le(0x40, 4)});
  EXPECT_FALSE(Read(HeapBlock(format::kBTypePc, 0x20, {BthHeader(2, 6, 200, 0x40), index})));
  auto set = Read(HeapBlock(format::kBTypePc, 0x20, {BthHeader(2, 6, 3, 0x40), index}));
  EXPECT_TRUE(!set || set->rows[0].count() == 0);
}

TEST_F(PropertyContextTest, HeapsOverSeveralBlocksResolveEachBlock) {
  // Block 0 holds the BTH; the string value lives in block 1 (HID 0x10020).
  Buffer first = HeapBlock(format::kBTypePc, 0x20, {BthHeader(2, 6, 0, 0x40),
                                       Concat({PcRecord(0x0037, 0x001F, 0x10020),
                                               PcRecord(0x3001, 0x001F, 0x60)}),
                                       Wide("Here")});
  Buffer second = HeapBlock(format::kBTypePc, 0, {Wide("There")});
  second[2] = second[3] = std::byte{0};  // later blocks have only ibHnpm
  auto set = ReadPropertySetFromHeap(ctx, HeapOf({first, second}), nullptr);
  ASSERT_TRUE(set);
  ASSERT_EQ(set->rows[0].count(), 2);
  EXPECT_EQ(set->rows[0].entries[0].data.bytes().size(), 10u);
  EXPECT_EQ(set->rows[0].entries[0].data.view(), AsChars(Wide("There")));
  // A block index beyond the heap drops the value.
  auto one = Read(first);
  ASSERT_TRUE(one);
  EXPECT_EQ(one->rows[0].count(), 1);
}

// ---------------------------------------------------------------------------
// Body capture

class BodyCaptureTest : public PropertyContextTest {};

TEST_F(BodyCaptureTest, AnsiMailBodyInTheHeapIsLocatedNotCopied) {
  store.variant = store::Variant::Ansi;
  Buffer block = PcBlock({PcRecord(0x001A, 0x001E, 0x60), PcRecord(0x1000, 0x001E, 0x80)},
                         {Bytes("IPM.Note"), Bytes("Body text")});
  auto set = Read(block);
  ASSERT_TRUE(set);
  const PropertyEntry* body = FindEntry(set->rows[0], 0x1000);
  ASSERT_TRUE(body);
  EXPECT_TRUE(body->data);
  EXPECT_EQ(body->size, 0);
  const BodyLocator& b = ctx.bodyLocator;
  EXPECT_EQ(b.lastKind, 1);
  EXPECT_EQ(b.marker, 0);
  EXPECT_EQ(b.plainSlot.source, kSourceHeap);
  EXPECT_EQ(b.plainSlot.size, 9u);
  // No block list here, so the location is the offset inside the block.
  EXPECT_EQ(AsChars(ByteSpan(block).subspan(b.plainSlot.location, 9)), "Body text");
}

TEST_F(BodyCaptureTest, AnsiCustomClassKeepsTheBody) {
  store.variant = store::Variant::Ansi;
  auto set = Read(PcBlock({PcRecord(0x001A, 0x001E, 0x60), PcRecord(0x1000, 0x001E, 0x80)},
                          {Bytes("IPM.Note.Custom"), Bytes("Body text")}));
  ASSERT_TRUE(set);
  EXPECT_EQ(FindEntry(set->rows[0], 0x1000)->data.view(), "Body text");
  EXPECT_EQ(ctx.bodyLocator.plainSlot.location, 0u);
}

TEST_F(BodyCaptureTest, UnicodeMailMarksTwoAndCapturesEachSlot) {
  store.variant = store::Variant::Unicode;
  store::SubnodeList subs;
  auto set = Read(PcBlock({PcRecord(0x001A, 0x001F, 0x60), PcRecord(0x1000, 0x001F, 0x80),
                           PcRecord(0x1013, 0x0102, 0x3F), PcRecord(0x6619, 0x0102, 0xA0)},
                          {Wide("IPM.Note.Custom"), Wide("Body"), Bytes("x")}),
                  &subs);
  ASSERT_TRUE(set);
  const BodyLocator& b = ctx.bodyLocator;
  EXPECT_EQ(b.marker, 2);
  EXPECT_EQ(b.lastKind, 3);
  EXPECT_EQ(b.plainSlot.source, kSourceHeap);
  EXPECT_EQ(b.plainSlot.size, 8u);
  EXPECT_EQ(b.htmlSlot.source, kSourceSubnode);
  EXPECT_EQ(b.htmlSlot.location, 0x3Fu);
  EXPECT_EQ(b.htmlSlot.size, 1u);
  EXPECT_EQ(b.htmlSlot.subnodes, &subs);
  EXPECT_EQ(b.thirdSlot.size, 1u);
}

TEST_F(BodyCaptureTest, UnicodeSubjectMarksOneWhateverTheClass) {
  store.variant = store::Variant::Unicode;
  auto set = Read(PcBlock({PcRecord(0x001A, 0x001F, 0x60), PcRecord(0x0037, 0x001F, 0x80),
                           PcRecord(0x1000, 0x001F, 0xA0)},
                          {Wide("IPM.Contact"), Wide("Sync issue"), Wide("Body")}));
  ASSERT_TRUE(set);
  EXPECT_EQ(ctx.bodyLocator.marker, 1);
  EXPECT_EQ(ctx.bodyLocator.plainSlot.source, kSourceHeap);
}

TEST_F(BodyCaptureTest, NonMailBodiesAreCopied) {
  store.variant = store::Variant::Unicode;
  auto set = Read(PcBlock({PcRecord(0x001A, 0x001F, 0x60), PcRecord(0x1000, 0x001F, 0x80)},
                          {Wide("IPM.Contact"), Wide("Body")}));
  ASSERT_TRUE(set);
  EXPECT_EQ(FindEntry(set->rows[0], 0x1000)->size, 8);
  EXPECT_EQ(ctx.bodyLocator.lastKind, 0);
}

// ---------------------------------------------------------------------------
// Table contexts

struct Col {
  uint32_t tag;
  uint16_t ibData;
  uint8_t cbData;
};

// A table in one heap block: TCINFO, row index, row matrix and values.
Buffer TcBlock(const std::vector<Col>& cols, uint16_t rowWidth, size_t rows, bool unicode,
               const Buffer& matrix, const std::vector<Buffer>& values,
               uint32_t hnidRows = 0x80) {
  Buffer info{std::byte{0x7C}, static_cast<std::byte>(cols.size())};
  for (int i = 0; i < 3; ++i) PutLe(info, rowWidth, 2);
  PutLe(info, rowWidth, 2);
  PutLe(info, 0x40, 4);  // row index header
  PutLe(info, hnidRows, 4);
  PutLe(info, 0, 4);
  for (size_t i = 0; i < cols.size(); ++i) {
    PutLe(info, cols[i].tag, 4);
    PutLe(info, cols[i].ibData, 2);
    info.push_back(std::byte{cols[i].cbData});
    info.push_back(static_cast<std::byte>(i));
  }
  const int cbEnt = unicode ? 4 : 2;
  Buffer index;
  for (size_t r = 0; r < rows; ++r) {
    PutLe(index, 0x100 + r, 4);
    PutLe(index, r, cbEnt);
  }
  std::vector<Buffer> allocs{info, BthHeader(4, static_cast<uint8_t>(cbEnt), 0, 0x60), matrix, index};
  // Allocation 3 (HID 0x60) must be the index: swap matrix and index.
  std::swap(allocs[2], allocs[3]);
  allocs.insert(allocs.end(), values.begin(), values.end());
  return HeapBlock(format::kBTypeTc, 0x20, allocs);
}

class TableContextTest : public PropertyContextTest {};

TEST_F(TableContextTest, RowsComeLastFirstWithTheTotalInEach) {
  for (bool unicode : {false, true}) {
    store.variant = unicode ? store::Variant::Unicode : store::Variant::Ansi;
    Buffer matrix;
    for (uint32_t r = 0; r < 3; ++r) {
      PutLe(matrix, 0x8005 + 0x20 * r, 4);  // row ID
      PutLe(matrix, 10 + r, 4);             // attach method
      PutLe(matrix, r == 1 ? 0xA0 : 0, 4);  // file name HNID (row 1 only)
    }
    auto set = Read(TcBlock({{0x67F20003, 0, 4}, {0x37050003, 4, 4}, {0x3704001E, 8, 4}}, 12, 3,
                            unicode, matrix, {Bytes("a.txt")}));
    ASSERT_TRUE(set) << unicode;
    ASSERT_EQ(set->rows.size(), 3u);
    EXPECT_EQ(set->totalRows(), 3);
    for (const PropertyRow& row : set->rows) EXPECT_EQ(row.totalRows, 3);
    // Head row = the table's third row.
    EXPECT_EQ(*ByteView(set->rows[0].entries[0].data.bytes()).U32(0), 0x8045u);
    EXPECT_EQ(*ByteView(set->rows[0].entries[1].data.bytes()).U32(0), 12u);
    EXPECT_EQ(set->rows[0].count(), 2);  // HNID 0 left out
    EXPECT_EQ(set->rows[1].count(), 3);
    EXPECT_EQ(set->rows[1].entries[2].data.view(), "a.txt");
  }
}

TEST_F(TableContextTest, ACellIsReadAsThirtyTwoBitsWhateverItsWidth) {
  Buffer matrix = Concat({Le(0x8005, 4), Buffer{std::byte{1}, std::byte{2}, std::byte{3}, std::byte{4}}});
  auto set = Read(TcBlock({{0x67F20003, 0, 4}, {0x0E1F000B, 4, 1}}, 8, 1, true, matrix, {}));
  ASSERT_TRUE(set);
  EXPECT_EQ(*ByteView(set->rows[0].entries[1].data.bytes()).U32(0), 0x04030201u);
}

TEST_F(TableContextTest, NoRowsOrBadHeadersGiveNoSet) {
  Buffer matrix = Le(0x8005, 4);
  const std::vector<Col> cols{{0x67F20003, 0, 4}};
  EXPECT_FALSE(Read(TcBlock(cols, 4, 0, true, matrix, {})));
  Buffer block = TcBlock(cols, 4, 1, true, matrix, {});
  ASSERT_TRUE(Read(block));
  Buffer badType = block;
  badType[12] = std::byte{0x7D};  // TCINFO bType
  EXPECT_FALSE(Read(badType));
  Buffer badIndex = block;
  badIndex[12 + 22 + 8 + 1] = std::byte{2};  // row index cbKey 2
  EXPECT_FALSE(Read(badIndex));
  Buffer tooManyColumns = block;
  tooManyColumns[13] = std::byte{0xFF};  // descriptors beyond the block
  EXPECT_FALSE(Read(tooManyColumns));
  Buffer unknownType = TcBlock({{0x67F20003, 0, 4}, {0x37050004, 0, 4}}, 4, 1, true, matrix, {});
  auto set = Read(unknownType);
  ASSERT_TRUE(set);
  EXPECT_EQ(set->rows[0].count(), 1);  // the PT_FLOAT column is left out
}

TEST_F(TableContextTest, RowsBeyondTheBlockReadZeroCells) {
  // 200 rows in the index, one row of matrix, and a hostile row width.
  Buffer matrix = Le(0x8005, 4);
  auto set = Read(TcBlock({{0x67F20003, 0, 4}, {0x3704001F, 0, 4}}, 0xFFFF, 200, true, matrix, {}));
  ASSERT_TRUE(set);
  ASSERT_EQ(set->rows.size(), 200u);
  EXPECT_EQ(set->rows[0].count(), 1);  // inline zero row ID; the HNID 0 is left out
  // A matrix HID the heap does not hold: cells read as zero.
  set = Read(TcBlock({{0x67F20003, 0, 4}}, 4, 2, true, matrix, {}, 0x7FE0));
  ASSERT_TRUE(set);
  EXPECT_EQ(*ByteView(set->rows[0].entries[0].data.bytes()).U32(0), 0u);
}

}  // namespace
}  // namespace velmorix::items
