// Heap, BTree-on-heap, property context, table context and name-to-ID map
// serialisation, checked by parsing the bytes with the format's layouts.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <stdexcept>

#include "format/vocabulary.h"
#include "storebuilder/ndb.h"
#include "storebuilder/ltp.h"

namespace velmorix::storebuilder {
namespace {

Buffer Bytes(std::initializer_list<int> v) {
  Buffer b;
  for (int x : v) b.push_back(std::byte(x));
  return b;
}
Buffer Filled(size_t n, int value) { return Buffer(n, std::byte(value)); }

uint16_t U16(ByteSpan b, size_t at) { return ByteView(b).U16(at).value(); }
uint32_t U32(ByteSpan b, size_t at) { return ByteView(b).U32(at).value(); }

// Independent reader of heap pages, by the page map of each page.
struct Heap {
  std::vector<Buffer> pages;

  ByteSpan Item(uint32_t hid) const {
    EXPECT_EQ(hid & 0x1F, 0u);
    const Buffer& page = pages.at(hid >> 16);
    size_t k = (hid >> 5) & 0x7FF;
    uint16_t map = U16(page, 0);
    EXPECT_GE(k, 1u);
    EXPECT_LE(k, U16(page, map));
    uint16_t start = U16(page, map + 4 + 2 * (k - 1));
    uint16_t end = U16(page, map + 4 + 2 * k);
    return ByteSpan(page).subspan(start, end - start);
  }
  uint32_t UserRoot() const { return U32(pages.at(0), 4); }

  // All (key, data) records of the BTH whose header is at `hid`, in tree order.
  std::vector<std::pair<Buffer, Buffer>> BthRecords(uint32_t hid, int* levels = nullptr) const {
    ByteSpan h = Item(hid);
    EXPECT_EQ(h.size(), 8u);
    EXPECT_EQ(static_cast<uint8_t>(h[0]), 0xB5);
    size_t cbKey = static_cast<uint8_t>(h[1]);
    size_t cbEnt = static_cast<uint8_t>(h[2]);
    int idx = static_cast<uint8_t>(h[3]);
    if (levels) *levels = idx;
    std::vector<std::pair<Buffer, Buffer>> out;
    if (U32(h, 4) != 0) Walk(U32(h, 4), idx, cbKey, cbEnt, nullptr, out);
    return out;
  }

 private:
  void Walk(uint32_t hid, int level, size_t cbKey, size_t cbEnt, const Buffer* expectedFirst,
            std::vector<std::pair<Buffer, Buffer>>& out) const {
    ByteSpan node = Item(hid);
    size_t width = cbKey + (level ? 4 : cbEnt);
    EXPECT_EQ(node.size() % width, 0u);
    for (size_t at = 0; at + width <= node.size(); at += width) {
      Buffer key(node.begin() + at, node.begin() + at + cbKey);
      if (at == 0 && expectedFirst) {
        EXPECT_EQ(key, *expectedFirst);
      }
      if (level) {
        Walk(U32(node, at + cbKey), level - 1, cbKey, cbEnt, &key, out);
      } else {
        out.emplace_back(key, Buffer(node.begin() + at + cbKey, node.begin() + at + width));
      }
    }
  }
};

TEST(HeapWriterTest, SinglePageLayoutAndHids) {
  HeapWriter heap(format::kBTypePc, true);
  EXPECT_EQ(heap.Allocate(Filled(8, 1)), 0x20u);
  EXPECT_EQ(heap.Allocate(Filled(5, 2)), 0x40u);
  EXPECT_EQ(heap.Allocate(Filled(3, 3)), 0x60u);
  heap.SetUserRoot(0x20);
  auto pages = heap.Finish();
  ASSERT_EQ(pages.size(), 1u);
  const Buffer& p = pages[0];
  // Items run 12..28; the page map follows at the next even offset.
  EXPECT_EQ(U16(p, 0), 28u);
  EXPECT_EQ(static_cast<uint8_t>(p[2]), 0xEC);
  EXPECT_EQ(static_cast<uint8_t>(p[3]), 0xBC);
  EXPECT_EQ(U32(p, 4), 0x20u);
  EXPECT_EQ(U16(p, 28), 3u);  // cAlloc
  EXPECT_EQ(U16(p, 30), 0u);  // cFree
  EXPECT_EQ(U16(p, 32), 12u);
  EXPECT_EQ(U16(p, 34), 20u);
  EXPECT_EQ(U16(p, 36), 25u);
  EXPECT_EQ(U16(p, 38), 28u);
  EXPECT_EQ(p.size(), 28u + 4 + 2 * 4);
  Heap h{pages};
  EXPECT_EQ(Buffer(h.Item(0x40).begin(), h.Item(0x40).end()), Filled(5, 2));
}

TEST(HeapWriterTest, OddItemBytesAlignThePageMap) {
  HeapWriter heap(format::kBTypeTc, false);
  heap.Allocate(Filled(7, 9));
  auto pages = heap.Finish();
  EXPECT_EQ(U16(pages[0], 0), 20u);  // 12 + 7 = 19, aligned to 20
  EXPECT_EQ(static_cast<uint8_t>(pages[0][3]), 0x7C);
}

TEST(HeapWriterTest, SpillsToNewPagesWithPageAndBitmapHeaders) {
  for (bool unicode : {true, false}) {
    HeapWriter heap(format::kBTypePc, unicode);
    std::vector<uint32_t> hids;
    for (int i = 0; i < 24; ++i) hids.push_back(heap.Allocate(Filled(3000, i)));
    auto pages = heap.Finish();
    // Two 3000-byte items fit one page.
    ASSERT_EQ(pages.size(), 12u);
    EXPECT_EQ(hids[1], 0x40u);
    EXPECT_EQ(hids[2], 0x10020u);
    EXPECT_EQ(hids[17], 0x80040u);
    Heap h{pages};
    for (size_t p = 0; p < pages.size(); ++p) {
      EXPECT_LE(pages[p].size(), MaxBlockData(unicode));
      uint16_t map = U16(pages[p], 0);
      size_t header = p == 0 ? 12 : p == 8 ? 66 : 2;
      EXPECT_EQ(U16(pages[p], map + 4), header) << "page " << p;
    }
    for (int i = 0; i < 24; ++i) {
      ByteSpan item = h.Item(hids[i]);
      ASSERT_EQ(item.size(), 3000u);
      EXPECT_EQ(static_cast<int>(item[0]), i);
    }
    // Each page has about 2 KB free: fill level 2 for pages 0..7, in nibbles.
    EXPECT_EQ(static_cast<uint8_t>(pages[0][8]), 0x22);
    EXPECT_EQ(static_cast<uint8_t>(pages[8][2]), 0x22);  // pages 8 and 9
  }
}

TEST(HeapWriterTest, RejectsWhatNoPageCanHoldAndUnknownHids) {
  HeapWriter heap(format::kBTypePc, true);
  EXPECT_THROW(heap.Allocate(Filled(8170, 0)), std::length_error);
  EXPECT_NO_THROW(heap.Allocate(Filled(8156, 0)));  // 12 + 8156 + 4 + 4 = 8176
  EXPECT_EQ(heap.Finish()[0].size(), 8176u);
  EXPECT_THROW(heap.Item(0x40), std::out_of_range);
  EXPECT_THROW(heap.Item(0x10020), std::out_of_range);
  EXPECT_THROW(heap.Item(0x21), std::out_of_range);
}

std::vector<BthRecord> NumberedRecords(size_t n, size_t cbKey, size_t cbEnt) {
  std::vector<BthRecord> r;
  for (size_t i = 0; i < n; ++i) {
    Buffer key(cbKey), data(cbEnt);
    key[0] = std::byte(i & 0xFF);
    key[1] = std::byte(i >> 8);
    data[0] = std::byte(0xA0 + (i % 16));
    r.push_back({key, data});
  }
  return r;
}

TEST(BthWriterTest, LeafOnlyAndEmptyTrees) {
  HeapWriter heap(format::kBTypeBth, true);
  uint32_t hid = WriteBth(heap, 4, 4, NumberedRecords(3, 4, 4));
  uint32_t empty = WriteBth(heap, 2, 6, {});
  Heap h{heap.Finish()};
  int levels = -1;
  auto recs = h.BthRecords(hid, &levels);
  EXPECT_EQ(levels, 0);
  ASSERT_EQ(recs.size(), 3u);
  EXPECT_EQ(static_cast<uint8_t>(recs[2].first[0]), 2);
  ByteSpan e = h.Item(empty);
  EXPECT_EQ(static_cast<uint8_t>(e[1]), 2);
  EXPECT_EQ(static_cast<uint8_t>(e[2]), 6);
  EXPECT_EQ(U32(e, 4), 0u);  // no root
}

TEST(BthWriterTest, IndexLevelsWhenRecordsExceedOneAllocation) {
  // 80-byte nodes: 10 records per leaf, 13 index entries per index node.
  HeapWriter heap(format::kBTypeBth, true);
  auto input = NumberedRecords(300, 2, 6);
  uint32_t hid = WriteBth(heap, 2, 6, input, 80);
  Heap h{heap.Finish()};
  int levels = -1;
  auto recs = h.BthRecords(hid, &levels);
  EXPECT_EQ(levels, 2);  // 30 leaves -> 3 index nodes -> 1 root
  ASSERT_EQ(recs.size(), input.size());
  for (size_t i = 0; i < recs.size(); ++i) {
    EXPECT_EQ(recs[i].first, input[i].key);
    EXPECT_EQ(recs[i].second, input[i].data);
  }
  EXPECT_THROW(FillBth(heap, ReserveBth(heap, 2, 6, 2), NumberedRecords(3, 2, 6)),
               std::invalid_argument);
}

TEST(PropertyContextTest, SortedRecordsInlineHeapAndEmptyValues) {
  SubnodeNids nids;
  std::vector<PcProperty> props = {
      {0x3001, format::kPtypString, Bytes({'A', 0, 'b', 0})},
      {0x0E07, format::kPtypInteger32, Bytes({0x11, 0x22, 0x33, 0x44})},
      {0x0037, format::kPtypString, {}},
      {0x360A, format::kPtypBoolean, Bytes({1})},
      {0x0E06, format::kPtypTime, Bytes({1, 2, 3, 4, 5, 6, 7, 8})},
      {0x0002, format::kPtypInteger16, Bytes({0x34, 0x12})},
  };
  LtpNode node = BuildPropertyContext(props, true, nids);
  EXPECT_TRUE(node.subnodes.empty());
  Heap h{node.pages};
  ASSERT_EQ(node.pages.size(), 1u);
  EXPECT_EQ(static_cast<uint8_t>(node.pages[0][3]), 0xBC);
  EXPECT_EQ(h.UserRoot(), 0x20u);
  int levels = -1;
  auto recs = h.BthRecords(0x20, &levels);
  ASSERT_EQ(recs.size(), 6u);
  std::map<uint16_t, std::pair<uint16_t, uint32_t>> byId;
  uint16_t last = 0;
  for (auto& [k, d] : recs) {
    uint16_t id = U16(k, 0);
    EXPECT_GT(id, last);
    last = id;
    byId[id] = {U16(d, 0), U32(d, 2)};
  }
  EXPECT_EQ(byId[0x0002].second, 0x1234u);
  EXPECT_EQ(byId[0x0E07].second, 0x44332211u);
  EXPECT_EQ(byId[0x360A].second, 1u);
  EXPECT_EQ(byId[0x0037], std::make_pair(format::kPtypString, 0u));  // empty: HNID 0
  ByteSpan name = h.Item(byId[0x3001].second);
  EXPECT_EQ(Buffer(name.begin(), name.end()), Bytes({'A', 0, 'b', 0}));
  ByteSpan time = h.Item(byId[0x0E06].second);
  EXPECT_EQ(time.size(), 8u);
  // The BTH header and its leaf come first, as in files written by Outlook.
  ByteSpan header = h.Item(0x20);
  EXPECT_EQ(U32(header, 4), 0x40u);
}

TEST(PropertyContextTest, LargeOrRequestedValuesGoToSubnodes) {
  SubnodeNids nids(0x401);
  std::vector<PcProperty> props = {
      {0x1000, format::kPtypString, Filled(5000, 'x')},
      {0x1013, format::kPtypBinary, Filled(format::kMaxHeapItem, 'h')},  // largest heap value
      {0x0037, format::kPtypString, Bytes({'S', 0}), Placement::Subnode},
      {0x3701, format::kPtypBinary, Filled(20000, 'd'), Placement::Auto, 2},
  };
  LtpNode node = BuildPropertyContext(props, false, nids);
  Heap h{node.pages};
  std::map<uint16_t, uint32_t> hnid;
  for (auto& [k, d] : h.BthRecords(h.UserRoot())) hnid[U16(k, 0)] = U32(d, 2);
  EXPECT_EQ(hnid[0x1013] & 0x1F, 0u);
  EXPECT_EQ(h.Item(hnid[0x1013]).size(), format::kMaxHeapItem);
  ASSERT_EQ(node.subnodes.size(), 3u);
  // Subnodes are numbered in property order, NID type 0x1F.
  EXPECT_EQ(hnid[0x0037], 0x803Fu);
  EXPECT_EQ(hnid[0x1000], 0x805Fu);
  EXPECT_EQ(hnid[0x3701], 0x807Fu);
  EXPECT_EQ(node.subnodes[0].data, Bytes({'S', 0}));
  EXPECT_EQ(node.subnodes[1].data.size(), 5000u);
  EXPECT_EQ(node.subnodes[2].treeLevel, 2);
}

TEST(PropertyContextTest, ManyPropertiesSpanPagesAndIndexLevels) {
  SubnodeNids nids;
  std::vector<PcProperty> props;
  for (uint16_t id = 0; id < 900; ++id) props.push_back({uint16_t(0x4000 + id), format::kPtypBinary, Filled(40, id & 0xFF)});
  LtpNode node = BuildPropertyContext(props, true, nids);
  EXPECT_GT(node.pages.size(), 4u);
  Heap h{node.pages};
  int levels = -1;
  auto recs = h.BthRecords(h.UserRoot(), &levels);
  EXPECT_EQ(levels, 1);  // 900 records of 8 bytes need three leaves
  ASSERT_EQ(recs.size(), 900u);
  for (uint16_t i = 0; i < 900; ++i) {
    EXPECT_EQ(U16(recs[i].first, 0), 0x4000 + i);
    ByteSpan v = h.Item(U32(recs[i].second, 2));
    ASSERT_EQ(v.size(), 40u);
    EXPECT_EQ(static_cast<int>(v[0]), i & 0xFF);
  }
}

struct TcView {
  Heap heap;
  ByteSpan info;
  uint8_t cCols() const { return static_cast<uint8_t>(info[1]); }
  uint16_t rgib(int i) const { return U16(info, 2 + 2 * i); }
  uint32_t hidRowIndex() const { return U32(info, 10); }
  uint32_t hnidRows() const { return U32(info, 14); }
  struct Col {
    uint32_t tag;
    uint16_t ib;
    uint8_t cb, bit;
  };
  std::vector<Col> cols() const {
    std::vector<Col> c;
    for (size_t i = 0; i < cCols(); ++i) {
      ByteSpan d = info.subspan(22 + 8 * i, 8);
      c.push_back({U32(d, 0), U16(d, 4), static_cast<uint8_t>(d[6]), static_cast<uint8_t>(d[7])});
    }
    return c;
  }
};

TcView ViewTable(const LtpNode& node) {
  TcView v{Heap{node.pages}, {}};
  EXPECT_EQ(static_cast<uint8_t>(node.pages[0][3]), 0x7C);
  v.info = v.heap.Item(v.heap.UserRoot());
  EXPECT_EQ(static_cast<uint8_t>(v.info[0]), 0x7C);
  return v;
}

bool CellExists(ByteSpan row, uint16_t cebAt, uint8_t bit) {
  return (static_cast<uint8_t>(row[cebAt + bit / 8]) & (0x80 >> (bit % 8))) != 0;
}

TEST(TableContextTest, AttachmentColumnsMatchTheTemplateLayout) {
  SubnodeNids nids;
  TableWriter t({0x370B0003, 0x0E200003, 0x37050003, 0x3704001F}, true, nids);
  std::vector<TcCell> cells = {{0x0E200003, Bytes({0x10, 0x27, 0, 0})},
                               {0x3704001F, Bytes({'a', 0, '.', 0, 't', 0})}};
  t.AddRow(0x8025, cells);
  TcView v = ViewTable(t.Finish());
  EXPECT_EQ(v.cCols(), 6);
  EXPECT_EQ(v.rgib(0), 24);
  EXPECT_EQ(v.rgib(1), 24);
  EXPECT_EQ(v.rgib(2), 24);
  EXPECT_EQ(v.rgib(3), 25);
  auto cols = v.cols();
  // Descriptors sorted by tag; offsets and bits in the given column order.
  std::vector<uint32_t> tags;
  for (auto& c : cols) tags.push_back(c.tag);
  EXPECT_TRUE(std::is_sorted(tags.begin(), tags.end()));
  std::map<uint32_t, TcView::Col> byTag;
  for (auto& c : cols) byTag[c.tag] = c;
  EXPECT_EQ(byTag[0x67F20003].ib, 0);
  EXPECT_EQ(byTag[0x67F30003].ib, 4);
  EXPECT_EQ(byTag[0x370B0003].ib, 8);
  EXPECT_EQ(byTag[0x370B0003].bit, 2);
  EXPECT_EQ(byTag[0x3704001F].ib, 20);
  EXPECT_EQ(byTag[0x3704001F].bit, 5);

  ByteSpan rows = v.heap.Item(v.hnidRows());
  ASSERT_EQ(rows.size(), 25u);
  EXPECT_EQ(U32(rows, 0), 0x8025u);
  EXPECT_EQ(U32(rows, 12), 10000u);
  ByteSpan name = v.heap.Item(U32(rows, 20));
  EXPECT_EQ(name.size(), 6u);
  // Row ID, row version, size and file name exist; position and method not.
  EXPECT_EQ(static_cast<uint8_t>(rows[24]), 0x80 | 0x40 | 0x10 | 0x04);
}

TEST(TableContextTest, ContentsLayoutWithEightTwoAndOneByteCells) {
  SubnodeNids nids;
  TableWriter t({0x0E170003, 0x001A001F, 0x0E070003, 0x00170003, 0x0042001F, 0x0037001F,
                 0x0E060040, 0x0E080003, 0x0E04001F, 0x0E03001F, 0x0057000B, 0x0058000B,
                 0x00360003, 0x10970003, 0x00020002},
                true, nids);
  std::vector<TcCell> cells = {{0x0E060040, Bytes({1, 2, 3, 4, 5, 6, 7, 8})},
                               {0x0058000B, Bytes({1})},
                               {0x00020002, Bytes({0xCD, 0xAB})}};
  t.AddRow(0x200024, cells);
  TcView v = ViewTable(t.Finish());
  EXPECT_EQ(v.rgib(0), 60);
  EXPECT_EQ(v.rgib(1), 62);
  EXPECT_EQ(v.rgib(2), 64);
  EXPECT_EQ(v.rgib(3), 67);  // 17 columns: three CEB bytes
  std::map<uint32_t, TcView::Col> byTag;
  for (auto& c : v.cols()) byTag[c.tag] = c;
  EXPECT_EQ(byTag[0x0E060040].ib, 32);
  EXPECT_EQ(byTag[0x0E060040].cb, 8);
  EXPECT_EQ(byTag[0x0E080003].ib, 40);
  EXPECT_EQ(byTag[0x00020002].ib, 60);
  EXPECT_EQ(byTag[0x0057000B].ib, 62);
  EXPECT_EQ(byTag[0x0058000B].ib, 63);
  ByteSpan row = v.heap.Item(v.hnidRows());
  EXPECT_EQ(U32(row, 32), 0x04030201u);
  EXPECT_EQ(U16(row, 60), 0xABCDu);
  EXPECT_EQ(static_cast<uint8_t>(row[63]), 1);
  EXPECT_TRUE(CellExists(row, 64, byTag[0x0058000B].bit));
  EXPECT_FALSE(CellExists(row, 64, byTag[0x0057000B].bit));
  EXPECT_TRUE(CellExists(row, 64, byTag[0x00020002].bit));  // bit 16, third byte
  EXPECT_FALSE(CellExists(row, 64, byTag[0x0037001F].bit));
}

TEST(TableContextTest, RowIndexIsSortedByRowIdAndPointsAtMatrixRows) {
  for (bool unicode : {true, false}) {
    SubnodeNids nids;
    TableWriter t({0x36020003}, unicode, nids);
    for (uint32_t id : {0x8062u, 0x8022u, 0x8042u}) {
      std::vector<TcCell> cells = {{0x36020003, Bytes({static_cast<int>(id >> 5), 0, 0, 0})}};
      t.AddRow(id, cells);
    }
    TcView v = ViewTable(t.Finish());
    ByteSpan header = v.heap.Item(v.hidRowIndex());
    EXPECT_EQ(static_cast<uint8_t>(header[1]), 4);                 // cbKey
    EXPECT_EQ(static_cast<uint8_t>(header[2]), unicode ? 4 : 2);  // cbEnt
    auto recs = v.heap.BthRecords(v.hidRowIndex());
    ASSERT_EQ(recs.size(), 3u);
    ByteSpan rows = v.heap.Item(v.hnidRows());
    uint32_t lastId = 0;
    for (auto& [k, d] : recs) {
      uint32_t id = U32(k, 0);
      EXPECT_GT(id, lastId);
      lastId = id;
      uint32_t index = unicode ? U32(d, 0) : U16(d, 0);
      EXPECT_EQ(U32(rows, index * v.rgib(3)), id);  // the row at that index has this row ID
    }
  }
}

TEST(TableContextTest, RowMatrixInSubnodeKeepsRowsWithinBlocks) {
  SubnodeNids nids;
  TcOptions options;
  options.rowsInSubnode = true;
  // 30 four-byte columns + row ID/version: 128 + 4 CEB = 132 bytes per row.
  std::vector<uint32_t> cols;
  for (uint32_t i = 0; i < 30; ++i) cols.push_back(((0x6700 + i) << 16) | format::kPtypInteger32);
  TableWriter t(cols, true, nids, options);
  EXPECT_EQ(t.rowWidth(), 132);
  for (uint32_t r = 0; r < 100; ++r) t.AddRow(0x100 + r, {});
  LtpNode node = t.Finish();
  TcView v = ViewTable(node);
  ASSERT_EQ(node.subnodes.size(), 1u);
  const LtpSubnode& m = node.subnodes[0];
  EXPECT_EQ(v.hnidRows(), m.nid);
  EXPECT_EQ(m.nid & 0x1F, 0x1Fu);
  // floor(8176 / 132) = 61 rows in the first block, padded to a full block
  // as clients write it, and 39 in the last.
  ASSERT_EQ(m.blockSizes.size(), 2u);
  EXPECT_EQ(m.blockSizes[0], 8176u);
  EXPECT_EQ(m.blockSizes[1], 39u * 132);
  EXPECT_EQ(U32(m.data, 8176), 0x100u + 61);
}

TEST(TableContextTest, LargeTablesMoveToSubnodesOnTheirOwn) {
  SubnodeNids nids;
  TableWriter t({0x0037001F}, false, nids);
  std::vector<TcCell> big = {{0x0037001F, Filled(5000, 'q')}};
  t.AddRow(1, big);
  for (uint32_t r = 2; r <= 400; ++r) t.AddRow(r, {});
  LtpNode node = t.Finish();
  TcView v = ViewTable(node);
  ASSERT_EQ(node.subnodes.size(), 2u);  // the long cell, then the 400 x 13-byte matrix
  EXPECT_EQ(node.subnodes[0].data.size(), 5000u);
  EXPECT_EQ(v.hnidRows(), node.subnodes[1].nid);
  EXPECT_EQ(node.subnodes[1].data.size(), 400u * 13);
  EXPECT_EQ(U32(node.subnodes[1].data, 8), node.subnodes[0].nid);

  std::vector<TcCell> unknown = {{0x12340003, Bytes({1})}};
  EXPECT_THROW(t.AddRow(9, unknown), std::invalid_argument);
}

TEST(TableContextTest, EmptyTableHasNoRowsAndAnEmptyRowIndex) {
  SubnodeNids nids;
  TableWriter t({0x3001001F}, true, nids);
  TcView v = ViewTable(t.Finish());
  EXPECT_EQ(v.hnidRows(), 0u);
  ByteSpan header = v.heap.Item(v.hidRowIndex());
  EXPECT_EQ(U16(header, 0), 0x04B5);
  EXPECT_EQ(U32(header, 4), 0u);
}

TEST(NameToIdMapTest, AssignsIdsInOrderOfFirstUse) {
  NameToIdMap map;
  EXPECT_EQ(map.IdFor(PropertyName::Lid(kPsetidAddress, 0x8005)), 0x8000);
  EXPECT_EQ(map.IdFor(PropertyName::String(kPsPublicStrings, "Keywords")), 0x8001);
  EXPECT_EQ(map.IdFor(PropertyName::Lid(kPsetidAddress, 0x8005)), 0x8000);
  EXPECT_EQ(map.IdFor(PropertyName::Lid(kPsetidLog, 0x8005)), 0x8002);  // other set
  EXPECT_EQ(map.Find(PropertyName::Lid(kPsetidLog, 0x8005)), 0x8002);
  EXPECT_FALSE(map.Find(PropertyName::Lid(kPsetidTask, 0x8101)).has_value());
  EXPECT_EQ(map.size(), 3u);
}

TEST(NameToIdMapTest, StreamsAndBucketsFollowTheMapLayout) {
  NameToIdMap map;
  map.IdFor(PropertyName::Lid(kPsetidAppointment, 0x8208));         // 0x8000
  map.IdFor(PropertyName::String(kPsPublicStrings, "Keywords"));     // 0x8001
  map.IdFor(PropertyName::Lid(kPsMapi, 0x3A15));                    // 0x8002
  map.IdFor(PropertyName::String(kPsInternetHeaders, "content-class"));  // 0x8003
  map.IdFor(PropertyName::Lid(kPsetidAppointment, 0x8205));         // 0x8004
  auto props = map.Properties();
  std::map<uint16_t, const PcProperty*> byId;
  for (auto& p : props) byId[p.id] = &p;
  ASSERT_TRUE(byId.count(1) && byId.count(2) && byId.count(3) && byId.count(4));
  EXPECT_EQ(U32(byId[1]->value, 0), 251u);
  EXPECT_EQ(byId[1]->type, format::kPtypInteger32);

  // GUID stream: appointment set (index 3), then internet headers (index 4).
  const Buffer& guids = byId[2]->value;
  ASSERT_EQ(guids.size(), 32u);
  EXPECT_TRUE(std::equal(kPsetidAppointment.begin(), kPsetidAppointment.end(), guids.begin(),
                         [](uint8_t a, std::byte b) { return a == static_cast<uint8_t>(b); }));
  EXPECT_EQ(static_cast<uint8_t>(guids[16]), 0x86);  // 00020386 little-endian
  EXPECT_EQ(static_cast<uint8_t>(guids[17]), 0x03);

  const Buffer& entries = byId[3]->value;
  ASSERT_EQ(entries.size(), 5u * 8);
  struct Rec {
    uint32_t id;
    uint16_t guid, idx;
  };
  auto rec = [&](const Buffer& b, size_t i) {
    return Rec{U32(b, 8 * i), U16(b, 8 * i + 4), U16(b, 8 * i + 6)};
  };
  EXPECT_EQ(rec(entries, 0).id, 0x8208u);
  EXPECT_EQ(rec(entries, 0).guid, 3 << 1);
  EXPECT_EQ(rec(entries, 1).id, 0u);  // string stream offset
  EXPECT_EQ(rec(entries, 1).guid, (2 << 1) | 1);
  EXPECT_EQ(rec(entries, 2).guid, 1 << 1);
  EXPECT_EQ(rec(entries, 3).id, 20u);  // 4 + 16 bytes of "Keywords"
  EXPECT_EQ(rec(entries, 3).guid, (4 << 1) | 1);
  for (uint16_t i = 0; i < 5; ++i) EXPECT_EQ(rec(entries, i).idx, i);

  // String stream: length, UTF-16LE name, padded to 4 bytes.
  const Buffer& strings = byId[4]->value;
  EXPECT_EQ(U32(strings, 0), 16u);
  EXPECT_EQ(static_cast<char>(strings[4]), 'K');
  EXPECT_EQ(U32(strings, 20), 26u);
  EXPECT_EQ(strings.size(), 20u + 4 + 28);

  // Every record sits in bucket (hash ^ wGuid) % 251, in entry order.
  std::map<uint16_t, std::vector<Rec>> expected;
  Buffer keywords = Utf16le("Keywords"), cc = Utf16le("content-class");
  uint32_t hashes[5] = {0x8208, ComputeCrc(0, keywords), 0x3A15, ComputeCrc(0, cc), 0x8205};
  for (uint16_t i = 0; i < 5; ++i) {
    Rec r = rec(entries, i);
    expected[static_cast<uint16_t>(0x1000 + (hashes[i] ^ r.guid) % 251)].push_back(
        {hashes[i], r.guid, i});
  }
  size_t bucketProps = 0;
  for (auto& p : props) {
    if (p.id < 0x1000) continue;
    ++bucketProps;
    ASSERT_TRUE(expected.count(p.id)) << std::hex << p.id;
    const auto& want = expected[p.id];
    ASSERT_EQ(p.value.size(), want.size() * 8);
    for (size_t k = 0; k < want.size(); ++k) {
      EXPECT_EQ(rec(p.value, k).id, want[k].id);
      EXPECT_EQ(rec(p.value, k).guid, want[k].guid);
      EXPECT_EQ(rec(p.value, k).idx, want[k].idx);
    }
  }
  EXPECT_EQ(bucketProps, expected.size());
}

TEST(NameToIdMapTest, EmptyMapHasEmptyStreamsAndNoBuckets) {
  NameToIdMap map;
  auto props = map.Properties();
  ASSERT_EQ(props.size(), 4u);
  for (size_t i = 1; i < 4; ++i) EXPECT_TRUE(props[i].value.empty());
}

TEST(TextConversionTest, Utf16AndWindows1252) {
  EXPECT_EQ(Utf16le("A\xC3\x9C"), Bytes({'A', 0, 0xDC, 0}));
  EXPECT_EQ(Utf16le("\xE6\x94\xB6"), Bytes({0x36, 0x65}));                      // U+6536
  EXPECT_EQ(Utf16le("\xF0\x9F\x98\x80"), Bytes({0x3D, 0xD8, 0x00, 0xDE}));      // U+1F600
  EXPECT_EQ(Utf16le("\xFF" "a"), Bytes({0xFD, 0xFF, 'a', 0}));                  // bad byte
  EXPECT_EQ(Utf16le("\xC3"), Bytes({0xFD, 0xFF}));                             // cut short
  EXPECT_EQ(Windows1252("\xC3\x9C" "ber \xE2\x82\xAC"), Bytes({0xDC, 'b', 'e', 'r', ' ', 0x80}));
  EXPECT_EQ(Windows1252("\xE6\x94\xB6"), Bytes({'?'}));
}

TEST(TypeRulesTest, InlineAndCellWidths) {
  for (uint16_t t : {format::kPtypInteger16, format::kPtypInteger32, format::kPtypFloating32, format::kPtypErrorCode, format::kPtypBoolean}) EXPECT_TRUE(IsInlinePcType(t));
  for (uint16_t t : {format::kPtypFloating64, format::kPtypInteger64, format::kPtypTime, format::kPtypString, format::kPtypBinary, format::kPtypGuid})
    EXPECT_FALSE(IsInlinePcType(t));
  EXPECT_EQ(TcCellWidth(format::kPtypBoolean), 1);
  EXPECT_EQ(TcCellWidth(format::kPtypInteger16), 2);
  EXPECT_EQ(TcCellWidth(format::kPtypTime), 8);
  EXPECT_EQ(TcCellWidth(format::kPtypString), 4);
  EXPECT_TRUE(IsVariableType(format::kPtypGuid));
  EXPECT_FALSE(IsVariableType(format::kPtypInteger64));
}

}  // namespace
}  // namespace velmorix::storebuilder
