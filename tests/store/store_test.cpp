#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mini_store.h"
#include "samples.h"
#include "store/bytes.h"
#include "store/store.h"

namespace velmorix {
namespace {

using store::Store;
using testing::BlockLeaf;
using testing::Child;
using testing::MiniStore;
using testing::NodeLeaf;

using test::SamplePath;

TEST(ByteView, ShortReadIsAValue) {
  const std::byte data[3] = {std::byte{1}, std::byte{2}, std::byte{3}};
  ByteView v{ByteSpan(data)};
  EXPECT_EQ(v.U16(0), 0x0201);
  EXPECT_FALSE(v.U32(0).has_value());
  EXPECT_FALSE(v.U16(2).has_value());
  EXPECT_FALSE(v.Sub(1, 3).has_value());
  EXPECT_FALSE(v.U8(~0ull).has_value());
}

TEST(DecodeBlock, PermutationTable) {
  auto b = MiniStore::Bytes({0x41, 0x36, 0x13, 0x62});
  EXPECT_EQ(store::DecodeBlock(b, store::kEncodePermute, 0), 0);
  EXPECT_EQ(b, MiniStore::Bytes({0x00, 0x01, 0x02, 0x03}));
}

TEST(DecodeBlock, CyclicAndPermutationRoundTrip) {
  std::vector<std::byte> plain;
  for (int i = 0; i < 600; ++i) plain.push_back(std::byte(i * 7));
  for (int method : {store::kEncodePermute, store::kEncodeCyclic}) {
    auto b = plain;
    ASSERT_EQ(store::EncodeBlock(b, method, 0x12345678), 0);
    EXPECT_NE(b, plain);
    ASSERT_EQ(store::DecodeBlock(b, method, 0x12345678), 0);
    EXPECT_EQ(b, plain) << method;
  }
}

TEST(DecodeBlock, WholeBlocksMatchByteByByteDecoding) {
  // Blocks are decoded several bytes per step; every length and every byte
  // value must come out as decoding each byte alone does.
  std::vector<std::byte> all;
  for (int i = 0; i < 256; ++i) all.push_back(std::byte(255 - i));
  for (int method : {store::kEncodePermute, store::kEncodeCyclic}) {
    for (size_t n = 0; n <= all.size(); n += (n < 20 ? 1 : 37)) {
      std::vector<std::byte> whole(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(n));
      ASSERT_EQ(store::DecodeBlock(whole, method, 0x1234), 0);
      for (size_t i = 0; i < n; ++i) {
        std::vector<std::byte> one{all[i]};
        // The cyclic key word advances by one per byte.
        ASSERT_EQ(store::DecodeBlock(one, method, static_cast<uint32_t>(0x1234 + i)), 0);
        ASSERT_EQ(whole[i], one[0]) << "method " << method << ", length " << n << ", byte " << i;
      }
    }
  }
}

TEST(DecodeBlock, UnknownMethodLeavesDataAsItIs) {
  auto b = MiniStore::Bytes({0x41, 0x36});
  EXPECT_EQ(store::DecodeBlock(b, 0x0101, 4), -1);
  EXPECT_EQ(store::DecodeBlock(b, 3, 4), -1);
  EXPECT_EQ(b, MiniStore::Bytes({0x41, 0x36}));
}

class StoreFile : public ::testing::Test {
 protected:
  // An index pair whose block index holds BID 4 and node index NID 0x21.
  static void MinimalIndexes(MiniStore& m) {
    auto bl = m.BlockLeafPage({{4, 0x4400, 8}});
    auto nl = m.NodeLeafPage({{0x21, 4, 0, 0}});
    m.SetRoots(bl, nl);
  }
};

TEST_F(StoreFile, ReadRawBlockNearAndBeyondTheEnd) {
  MiniStore m(false);
  MinimalIndexes(m);
  auto path = m.Write("vx_raw.pst");
  Store s;
  ASSERT_EQ(store::OpenStore(s, path), 0);
  Buffer buf;
  EXPECT_EQ(s.ReadRawBlock(s.fileSize() - 100, 516, buf), 100u);
  EXPECT_EQ(buf.size(), 100u);
  // Beyond the end of the file a read is short, not an error.
  EXPECT_EQ(s.ReadRawBlock(0x80000000ull, 516, buf), 0u);
  EXPECT_EQ(s.ReadRawBlock(s.fileSize() + 1, 16, buf), 0u);
}

TEST_F(StoreFile, OpenFailsForMissingFilesDirectoriesAndLockedFiles) {
  Store a;
  EXPECT_EQ(store::OpenStore(a, "/nonexistent/file.ost"), -1);
  EXPECT_FALSE(a.isOpen());
  Store d;
  EXPECT_EQ(store::OpenStore(d, "/tmp"), -1);

  MiniStore m(true);
  MinimalIndexes(m);
  auto path = m.Write("vx_locked.ost");
  int fd = ::open(path.c_str(), O_RDONLY);
  ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  Store b;
  EXPECT_EQ(store::OpenStore(b, path), -1);
  ::close(fd);
  Store c;
  EXPECT_EQ(store::OpenStore(c, path), 0);
  // A second open while the first store holds the file fails too.
  Store e;
  EXPECT_EQ(store::OpenStore(e, path), -1);
}

TEST_F(StoreFile, HeaderVariantsAndMethods) {
  struct Case {
    bool unicode;
    uint16_t version;
    int method;
    store::Variant variant;
  };
  for (Case c : {Case{false, 14, 1, store::Variant::Ansi}, Case{false, 15, 1, store::Variant::Ansi},
                 Case{true, 23, 0, store::Variant::Unicode}, Case{true, 23, 2, store::Variant::Unicode}}) {
    MiniStore m(c.unicode, c.method);
    m.SetVersion(c.version);
    MinimalIndexes(m);
    auto path = m.Write("vx_header.pst");
    Store s;
    ASSERT_EQ(store::OpenStore(s, path), 0);
    EXPECT_EQ(s.version, c.version);
    EXPECT_EQ(s.variant, c.variant);
    EXPECT_EQ(s.encryptionMethod, c.method);
    EXPECT_EQ(store::LoadIndexes(s), 0);
    EXPECT_NE(store::FindNode(s, 0x21), nullptr) << c.version;
  }
}

TEST_F(StoreFile, AnsiReservedByteMakesTheMethodUnknown) {
  MiniStore m(false, 1);
  m.SetHeaderByte(462, 1);
  MinimalIndexes(m);
  Store s;
  ASSERT_EQ(store::OpenStore(s, m.Write("vx_reserved.pst")), 0);
  EXPECT_EQ(s.encryptionMethod, 0x0101);
}

TEST_F(StoreFile, OtherVersionsOpenButYieldNoIndexes) {
  // 37 names a later 4 KiB-page store, but these index roots are not 4 KiB pages.
  for (uint16_t version : {21, 24, 35, 37}) {
    MiniStore m(true);
    m.SetVersion(version);
    MinimalIndexes(m);
    Store s;
    ASSERT_EQ(store::OpenStore(s, m.Write("vx_other.pst")), 0);
    EXPECT_EQ(s.variant, store::Variant::Unknown) << version;
    EXPECT_EQ(store::LoadIndexes(s), -1);
    EXPECT_EQ(s.data->blocks.size(), 0u);
  }
}

TEST_F(StoreFile, ShortFilesAndNonStoresOpen) {
  REQUIRE_SAMPLE("truncated-in-header.bin");
  REQUIRE_SAMPLE("not-a-pst-file.txt");
  Store a;
  EXPECT_EQ(store::OpenStore(a, SamplePath("truncated-in-header.bin")), 0);
  EXPECT_EQ(store::LoadIndexes(a), -1);
  Store b;
  EXPECT_EQ(store::OpenStore(b, SamplePath("not-a-pst-file.txt")), 0);
  EXPECT_EQ(store::LoadIndexes(b), -1);
}

// Index walks.

class IndexWalk : public ::testing::TestWithParam<bool> {
 protected:
  bool unicode() const { return GetParam(); }
  std::string Name(const char* base) const { return std::string(base) + (unicode() ? "_u.ost" : "_a.pst"); }

  static std::vector<uint32_t> Children(const store::NodeEntry* e) {
    std::vector<uint32_t> out;
    for (auto* c = e->firstChild; c; c = c->nextSibling) out.push_back(c->nid);
    return out;
  }
  static std::vector<uint32_t> TopLevel(const Store& s) {
    std::vector<uint32_t> out;
    for (auto* c = s.data->nodes.head(); c; c = c->nextSibling) out.push_back(c->nid);
    return out;
  }
};

TEST_P(IndexWalk, RootLeafBlockIndexNeedsFirstBid4) {
  for (uint32_t first : {4u, 8u}) {
    MiniStore m(unicode());
    auto bl = m.BlockLeafPage({{first, 0x4400, 8}, {first + 4, 0x4440, 8}});
    auto nl = m.NodeLeafPage({{0x21, first, 0, 0}});
    m.SetRoots(bl, nl);
    Store s;
    ASSERT_EQ(store::OpenStore(s, m.Write(Name("vx_rootleaf"))), 0);
    if (first == 4) {
      EXPECT_EQ(store::LoadIndexes(s), 0);
      EXPECT_EQ(s.data->blocks.size(), 2u);
      EXPECT_EQ(s.blockLeafLevel, 0);
    } else {
      EXPECT_EQ(store::LoadIndexes(s), -1);
    }
  }
}

TEST_P(IndexWalk, LeafEndsAtOutOfOrderZeroOrBoundKeys) {
  MiniStore m(unicode());
  auto bl = m.BlockLeafPage({{4, 0x4400, 8}, {8, 0x4440, 8}, {8, 0x4480, 9}, {0xC, 0x44C0, 8},
                             {0x6, 0x4500, 8}, {0x10, 0x4540, 8}});
  auto nl = m.NodeLeafPage({{0x21, 4, 0, 0}, {0x61, 8, 0, 0}, {0x2A, 0xC, 0, 0}, {0x122, 0xC, 0, 0}});
  m.SetRoots(bl, nl);
  Store s;
  ASSERT_EQ(store::OpenStore(s, m.Write(Name("vx_order"))), 0);
  ASSERT_EQ(store::LoadIndexes(s), 0);
  // An equal BID is taken, a smaller one ends the page.
  EXPECT_EQ(s.data->blocks.size(), 4u);
  EXPECT_EQ(store::FindBlock(s, 8)->offset, 0x4440u);  // the first of the two
  // A NID not greater than the one before ends the page.
  EXPECT_EQ(TopLevel(s), (std::vector<uint32_t>{0x21, 0x61}));
  EXPECT_EQ(store::FindNode(s, 0x122), nullptr);
}

TEST_P(IndexWalk, FindBlockIgnoresBitZero) {
  MiniStore m(unicode());
  auto bl = m.BlockLeafPage({{4, 0x4400, 8}, {0x1234, 0x4440, 8}});
  auto nl = m.NodeLeafPage({{0x21, 0x1235, 0, 0}});
  m.SetRoots(bl, nl);
  Store s;
  ASSERT_EQ(store::OpenStore(s, m.Write(Name("vx_bit0"))), 0);
  ASSERT_EQ(store::LoadIndexes(s), 0);
  ASSERT_NE(store::FindBlock(s, 0x1235), nullptr);
  EXPECT_EQ(store::FindBlock(s, 0x1235)->bid, 0x1234u);
  EXPECT_EQ(store::FindNode(s, 0x21)->dataBlock, store::FindBlock(s, 0x1234));
  EXPECT_EQ(store::BlockOffset(s, 0x1234), 0x4440u);
  EXPECT_EQ(store::BlockOffset(s, 0x9999), 0u);
  EXPECT_EQ(store::FindBlock(s, 0), nullptr);
}

TEST_P(IndexWalk, AnsiNodeLeafTakesAtMost31Entries) {
  MiniStore m(unicode());
  std::vector<NodeLeaf> es;
  for (uint32_t i = 0; i < 40; ++i) es.push_back({0x21 + 0x20 * i, 4, 0, 0});
  auto bl = m.BlockLeafPage({{4, 0x4400, 8}});
  // Unicode entries are 32 bytes, so a page holds 16 and the reader reads on
  // into the next page; write the rest there.
  std::vector<NodeLeaf> first(es.begin(), es.begin() + (unicode() ? 16 : 32));
  auto nl = m.NodeLeafPage(first);
  if (unicode()) m.NodeLeafPage(std::vector<NodeLeaf>(es.begin() + 16, es.end()));
  m.SetRoots(bl, nl);
  Store s;
  ASSERT_EQ(store::OpenStore(s, m.Write(Name("vx_31"))), 0);
  ASSERT_EQ(store::LoadIndexes(s), 0);
  EXPECT_EQ(TopLevel(s).size(), 31u);
}

TEST_P(IndexWalk, ItemsFollowTheirFolderOrWaitForIt) {
  MiniStore m(unicode());
  auto bl = m.BlockLeafPage({{4, 0x4400, 8}});
  auto nl = m.NodeLeafPage({
      {0x21, 4, 0, 0},
      {0x122, 4, 0, 0x122},
      {0x8022, 4, 0, 0x122},
      {0x8062, 4, 0, 0x8022},
      {0x200024, 4, 0, 0x8062},  // after its folder
      {0x200044, 4, 0, 0x8062},
      {0x200064, 4, 0, 0x300082},  // before its folder
      {0x200084, 4, 0, 0x300082},
      {0x300082, 4, 0, 0x8022},
  });
  m.SetRoots(bl, nl);
  Store s;
  ASSERT_EQ(store::OpenStore(s, m.Write(Name("vx_tree"))), 0);
  ASSERT_EQ(store::LoadIndexes(s), 0);
  EXPECT_EQ(TopLevel(s), (std::vector<uint32_t>{0x21, 0x122}));
  EXPECT_EQ(Children(store::FindNode(s, 0x8062)), (std::vector<uint32_t>{0x200024, 0x200044}));
  // Waiting children are appended newest first when their folder arrives.
  EXPECT_EQ(Children(store::FindNode(s, 0x300082)), (std::vector<uint32_t>{0x200084, 0x200064}));
  EXPECT_EQ(store::FindNode(s, 0x200064)->parent->nid, 0x300082u);
  EXPECT_EQ(Children(store::FindNode(s, 0x8022)), (std::vector<uint32_t>{0x8062, 0x300082}));
}

TEST_P(IndexWalk, ParentOnALaterPageLeavesTheItemOut) {
  MiniStore m(unicode());
  auto bl = m.BlockLeafPage({{4, 0x4400, 8}});
  auto leaf1 = m.NodeLeafPage({{0x21, 4, 0, 0}, {0x100024, 4, 0, 0x200022}});
  auto leaf2 = m.NodeLeafPage({{0x200022, 4, 0, 0}, {0x200042, 4, 0, 0x200022}});
  auto root = m.IntermediatePage({{0x21, leaf1}, {0x200022, leaf2}});
  m.SetRoots(bl, root);
  Store s;
  ASSERT_EQ(store::OpenStore(s, m.Write(Name("vx_later"))), 0);
  ASSERT_EQ(store::LoadIndexes(s), 0);
  EXPECT_EQ(s.nodeLeafLevel, 1);
  EXPECT_EQ(store::FindNode(s, 0x100024), nullptr);
  EXPECT_EQ(Children(store::FindNode(s, 0x200022)), (std::vector<uint32_t>{0x200042}));
}

TEST_P(IndexWalk, DuplicatesUpdateAndMoveTheFirstEntry) {
  MiniStore m(unicode());
  auto bl = m.BlockLeafPage({{4, 0x4400, 8}, {8, 0x4440, 8}});
  auto leaf1 = m.NodeLeafPage({{0x21, 4, 0, 0}, {0x42, 4, 0, 0}, {0x62, 4, 0, 0}, {0x84, 4, 0, 0x42}});
  // A later page repeats 0x84 under another parent, and 0x62 as its own parent.
  auto leaf2 = m.NodeLeafPage({{0x62, 8, 0, 0x62}, {0x84, 8, 0, 0x62}, {0x100, 4, 0, 0}});
  auto root = m.IntermediatePage({{0x21, leaf1}, {0x62, leaf2}});
  m.SetRoots(bl, root);
  Store s;
  ASSERT_EQ(store::OpenStore(s, m.Write(Name("vx_dup"))), 0);
  ASSERT_EQ(store::LoadIndexes(s), 0);
  auto* e = store::FindNode(s, 0x84);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->parent->nid, 0x62u);
  EXPECT_EQ(e->dataBlock->bid, 8u);  // the later entry's BIDs win
  EXPECT_TRUE(Children(store::FindNode(s, 0x42)).empty());
  EXPECT_EQ(TopLevel(s), (std::vector<uint32_t>{0x21, 0x42, 0x62, 0x100}));
  EXPECT_EQ(s.data->nodes.createdCount(), 5u);
}

TEST_P(IndexWalk, ParentLoopsNeverMakeACycle) {
  MiniStore m(unicode());
  auto bl = m.BlockLeafPage({{4, 0x4400, 8}});
  // 0x100 waits for 0x200; 0x200 finds 0x100 on the waiting list and goes
  // below it; releasing 0x100 below 0x200 would close the loop.
  auto nl = m.NodeLeafPage({{0x21, 4, 0, 0}, {0x100, 4, 0, 0x200}, {0x200, 4, 0, 0x100}});
  m.SetRoots(bl, nl);
  Store s;
  ASSERT_EQ(store::OpenStore(s, m.Write(Name("vx_loop"))), 0);
  ASSERT_EQ(store::LoadIndexes(s), 0);
  auto* a = store::FindNode(s, 0x100);
  auto* b = store::FindNode(s, 0x200);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->parent, a);
  EXPECT_EQ(a->parent, nullptr);
  EXPECT_EQ(TopLevel(s), (std::vector<uint32_t>{0x21, 0x100}));
}

TEST_P(IndexWalk, UnreadableAndMismatchedChildPagesAreSkipped) {
  MiniStore m(unicode());
  auto b1 = m.BlockLeafPage({{4, 0x4400, 8}, {8, 0x4440, 8}});
  auto b2 = m.BlockLeafPage({{0x10, 0x4480, 8}});   // promised 0x0C: skipped
  auto b3 = m.BlockLeafPage({{0x20, 0x44C0, 8}});
  auto broot = m.IntermediatePage({{4, b1}, {0xC, b2}, {0x18, 0x7FFFFE00}, {0x20, b3}});
  auto n1 = m.NodeLeafPage({{0x21, 4, 0, 0}});
  auto nroot = m.IntermediatePage({{0x21, n1}, {0x61, 0x7FFFFE00}});
  m.SetRoots(broot, nroot);
  Store s;
  ASSERT_EQ(store::OpenStore(s, m.Write(Name("vx_skip"))), 0);
  ASSERT_EQ(store::LoadIndexes(s), 0);
  EXPECT_EQ(s.blockLeafLevel, 1);
  EXPECT_EQ(s.data->blocks.size(), 3u);
  EXPECT_EQ(store::FindBlock(s, 0x10), nullptr);
  EXPECT_NE(store::FindBlock(s, 0x20), nullptr);
  EXPECT_NE(store::FindNode(s, 0x21), nullptr);
}

TEST_P(IndexWalk, SelfReferencingPagesEndTheWalk) {
  MiniStore m(unicode());
  // A root whose child is the root itself, with the promised key.
  auto self = m.End() + 0;  // the next page's offset
  auto broot = m.IntermediatePage({{4, self}, {8, self}});
  auto nl = m.NodeLeafPage({{0x21, 4, 0, 0}});
  m.SetRoots(broot, nl);
  Store s;
  ASSERT_EQ(store::OpenStore(s, m.Write(Name("vx_self"))), 0);
  store::LoadIndexes(s);  // must return; what it finds is garbage
  SUCCEED();
}

TEST_P(IndexWalk, StopRequestEndsTheWalks) {
  MiniStore m(unicode());
  auto bl = m.BlockLeafPage({{4, 0x4400, 8}});
  auto nl = m.NodeLeafPage({{0x21, 4, 0, 0}});
  m.SetRoots(bl, nl);
  Store s;
  std::atomic<bool> stop{true};
  s.stopRequest = &stop;
  ASSERT_EQ(store::OpenStore(s, m.Write(Name("vx_stop"))), 0);
  EXPECT_EQ(store::LoadIndexes(s), 0);
  EXPECT_EQ(s.data->nodes.createdCount(), 0u);
}

TEST_P(IndexWalk, LastPageEndingTheFileIsRead) {
  MiniStore m(unicode());
  auto bl = m.BlockLeafPage({{4, 0x4400, 8}});
  auto nl = m.NodeLeafPage({{0x21, 4, 0, 0}, {0x61, 4, 0, 0}});  // the last 512 bytes
  m.SetRoots(bl, nl);
  Store s;
  ASSERT_EQ(store::OpenStore(s, m.Write(Name("vx_eof"))), 0);
  EXPECT_EQ(s.fileSize(), nl + 512);
  ASSERT_EQ(store::LoadIndexes(s), 0);
  EXPECT_NE(store::FindNode(s, 0x61), nullptr);
}

TEST_P(IndexWalk, BytesAtAMisreadChildOffsetAreNoPage) {
  // While the leaf level is unknown the leaf is walked as an intermediate
  // page: its size and reference-count bytes read as the child offset
  // 0x20000 + size, where the promised key 4 stands off a page boundary.
  MiniStore m(unicode());
  const uint16_t size = 0x48;
  std::vector<std::byte> filler(0x20000 + size + 64 - 0x4400, std::byte{0});
  filler[0x20000 + size - 0x4400] = std::byte{4};
  const uint64_t data = m.Block(filler);
  auto bl = m.BlockLeafPage({{4, data, size}, {8, data, size}});
  auto broot = m.IntermediatePage({{4, bl}});
  auto nl = m.NodeLeafPage({{0x21, 4, 0, 0}});
  m.SetRoots(broot, nl);
  Store s;
  ASSERT_EQ(store::OpenStore(s, m.Write(Name("vx_misread"))), 0);
  ASSERT_EQ(store::LoadIndexes(s), 0);
  EXPECT_EQ(s.blockLeafLevel, 1);
  ASSERT_EQ(s.data->blocks.size(), 2u);
  EXPECT_EQ(store::FindBlock(s, 8)->offset, data);
}

INSTANTIATE_TEST_SUITE_P(BothVariants, IndexWalk, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Unicode" : "Ansi"; });

TEST(LargeFiles, UnicodeIndexesAndBlocksBeyond4GiB) {
  const uint64_t base = (5ull << 30);  // 5 GiB: a sparse hole before it
  MiniStore m(true, 1, base);
  std::vector<std::byte> data = MiniStore::Bytes({0x4C, 0x01, 0xEC, 0xBC});
  store::EncodeBlock(data, 1, 4);
  auto blk = m.Block(data);
  auto bl = m.BlockLeafPage({{4, blk, 4}});
  auto nl = m.NodeLeafPage({{0x21, 4, 0, 0}});
  m.SetRoots(bl, nl);
  Store s;
  ASSERT_EQ(store::OpenStore(s, m.Write("vx_5g.ost")), 0);
  EXPECT_GT(s.fileSize(), base);
  ASSERT_EQ(store::LoadIndexes(s), 0);
  auto* e = store::FindBlock(s, 4);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->offset, blk);
  auto decoded = store::ReadNodeBlock(s, 4);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(*decoded, MiniStore::Bytes({0x4C, 0x01, 0xEC, 0xBC}));
  std::remove(s.path().c_str());
}

// Data trees and subnode lists.

class Blocks : public ::testing::TestWithParam<bool> {
 protected:
  bool unicode() const { return GetParam(); }
  // Lays out the given blocks, a block index over them and a one-node index.
  std::string Write(MiniStore& m, const std::vector<std::pair<uint32_t, std::vector<std::byte>>>& blocks) {
    std::vector<BlockLeaf> leaves;
    for (const auto& [bid, bytes] : blocks) {
      auto off = m.Block(bytes);
      leaves.push_back({bid, off, static_cast<uint16_t>(bytes.size())});
    }
    auto bl = m.BlockLeafPage(leaves);
    auto nl = m.NodeLeafPage({{0x21, 4, 0, 0}});
    m.SetRoots(bl, nl);
    return m.Write(unicode() ? "vx_blocks_u.ost" : "vx_blocks_a.pst");
  }
  std::vector<std::byte> Tree(MiniStore& m, int level, std::vector<uint32_t> kids, uint32_t total) {
    std::vector<std::byte> b = MiniStore::Bytes({0x01, level});
    MiniStore::Put(b, kids.size(), 2);
    MiniStore::Put(b, total, 4);
    for (auto k : kids) m.PutW(b, k);
    return b;
  }
  std::vector<std::byte> Sl(MiniStore& m, std::vector<NodeLeaf> es) {
    std::vector<std::byte> b = MiniStore::Bytes({0x02, 0x00});
    MiniStore::Put(b, es.size(), 2);
    if (unicode()) MiniStore::Put(b, 0, 4);
    for (auto& e : es) {
      m.PutW(b, e.nid);
      m.PutW(b, e.dataBid);
      m.PutW(b, e.subBid);
    }
    return b;
  }
  std::vector<std::byte> Si(MiniStore& m, std::vector<std::pair<uint32_t, uint32_t>> es) {
    std::vector<std::byte> b = MiniStore::Bytes({0x02, 0x01});
    MiniStore::Put(b, es.size(), 2);
    if (unicode()) MiniStore::Put(b, 0, 4);
    for (auto& [nid, bid] : es) {
      m.PutW(b, nid);
      m.PutW(b, bid);
    }
    return b;
  }
  static std::vector<uint32_t> Nids(const store::SubnodeList* l) {
    std::vector<uint32_t> out;
    if (l) for (auto& e : *l) out.push_back(e.nid);
    return out;
  }
};

TEST_P(Blocks, DataTreesOfBothLevelsReadWhole) {
  MiniStore m(unicode(), 0);
  auto a = MiniStore::Bytes({'a', 'b'});
  auto b = MiniStore::Bytes({'c'});
  auto c = MiniStore::Bytes({'d', 'e', 'f'});
  auto path = Write(m, {{4, a}, {8, b}, {0xC, c},
                        {0x12, Tree(m, 1, {4, 8}, 3)},
                        {0x16, Tree(m, 1, {0xC}, 3)},
                        {0x1A, Tree(m, 2, {0x12, 0x16}, 6)},
                        {0x1E, Tree(m, 2, {0x1E}, 6)},          // names itself
                        {0x22, Tree(m, 1, {4, 0x40}, 6)}});     // a missing child
  Store s;
  ASSERT_EQ(store::OpenStore(s, path), 0);
  ASSERT_EQ(store::LoadIndexes(s), 0);
  auto x = store::ReadDataTree(s, 0x12);
  ASSERT_TRUE(x);
  EXPECT_EQ(*x, MiniStore::Bytes({'a', 'b', 'c'}));
  auto xx = store::ReadDataTree(s, 0x1A);
  ASSERT_TRUE(xx);
  EXPECT_EQ(*xx, MiniStore::Bytes({'a', 'b', 'c', 'd', 'e', 'f'}));
  auto parts = store::ReadDataBlocks(s, 0x1A);
  ASSERT_TRUE(parts);
  EXPECT_EQ(parts->size(), 3u);
  EXPECT_FALSE(store::ReadDataTree(s, 0x1E));
  EXPECT_FALSE(store::ReadDataTree(s, 0x22));
  EXPECT_EQ(*store::ReadDataTree(s, 8), b);
}

TEST_P(Blocks, SubnodeListsAreFlatDepthFirst) {
  MiniStore m(unicode(), 0);
  auto d = MiniStore::Bytes({1, 2, 3, 4});
  auto path = Write(m, {{4, d}, {8, d}, {0xC, d},
                        {0x12, Sl(m, {{0x671, 4, 0, 0}, {0x8025, 8, 0, 0}, {0x8045, 0xC, 0x16, 0}})},
                        {0x16, Sl(m, {{0x671, 8, 0, 0}, {0x8065, 4, 0, 0}})},
                        {0x1A, Sl(m, {})},
                        {0x1E, Sl(m, {{0x100, 0, 0, 0}, {0x200, 4, 0, 0}})},     // data BID 0
                        {0x22, Sl(m, {{0x300, 4, 0x22, 0}, {0x400, 8, 0, 0}})},  // names itself
                        {0x26, Si(m, {{0x671, 0x12}, {0x9000, 0x1E}})},
                        {0x2A, MiniStore::Bytes({0x01, 0x01, 0, 0})}});
  Store s;
  ASSERT_EQ(store::OpenStore(s, path), 0);
  ASSERT_EQ(store::LoadIndexes(s), 0);
  auto* list = store::ReadSubnodeList(s, store::FindBlock(s, 0x12));
  EXPECT_EQ(Nids(list), (std::vector<uint32_t>{0x671, 0x8025, 0x8045, 0x671, 0x8065}));
  EXPECT_EQ((*list)[0].dataBlock->bid, 4u);  // the message's own table comes first
  EXPECT_EQ(store::ReadSubnodeList(s, store::FindBlock(s, 0x1A)), nullptr);
  EXPECT_EQ(Nids(store::ReadSubnodeList(s, store::FindBlock(s, 0x1E))), (std::vector<uint32_t>{0x200}));
  EXPECT_EQ(Nids(store::ReadSubnodeList(s, store::FindBlock(s, 0x22))), (std::vector<uint32_t>{0x300, 0x400}));
  EXPECT_EQ(Nids(store::ReadSubnodeList(s, store::FindBlock(s, 0x26))),
            (std::vector<uint32_t>{0x671, 0x8025, 0x8045, 0x671, 0x8065, 0x200}));
  EXPECT_EQ(store::ReadSubnodeList(s, store::FindBlock(s, 0x2A)), nullptr);
  EXPECT_EQ(store::ReadSubnodeList(s, nullptr), nullptr);
}

INSTANTIATE_TEST_SUITE_P(BothVariants, Blocks, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Unicode" : "Ansi"; });

// Real files.

struct SampleCase {
  const char* file;
  int method;
  size_t minNodes;
};
// Names the case by its file: test names stay the same from build to build.
void PrintTo(const SampleCase& c, std::ostream* os) { *os << c.file; }

class Samples : public ::testing::TestWithParam<SampleCase> {};

TEST_P(Samples, IndexesLoadAndTheStoreNodeDecodes) {
  const auto& c = GetParam();
  REQUIRE_SAMPLE(c.file);
  Store s;
  ASSERT_EQ(store::OpenStore(s, SamplePath(c.file)), 0);
  EXPECT_EQ(s.encryptionMethod, c.method);
  ASSERT_EQ(store::LoadIndexes(s), 0);
  EXPECT_GE(s.data->nodes.createdCount(), c.minNodes);
  auto* root = store::FindNode(s, 0x21);
  ASSERT_NE(root, nullptr);
  ASSERT_NE(store::FindNode(s, 0x61), nullptr);
  ASSERT_NE(root->dataBlock, nullptr);
  auto block = store::ReadDataTree(s, root->dataBlock->bid);
  ASSERT_TRUE(block);
  ASSERT_GE(block->size(), 4u);
  // A heap holding a property context.
  EXPECT_EQ((*block)[2], std::byte{0xEC});
  EXPECT_EQ((*block)[3], std::byte{0xBC});
}

INSTANTIATE_TEST_SUITE_P(
    Files, Samples,
    ::testing::Values(SampleCase{"outlook.pst", 1, 100}, SampleCase{"sample.ost", 1, 250},
                      SampleCase{"2003_no-encryption_quickquick.pst", 0, 50},
                      SampleCase{"2003_high-encryption_quickquick.pst", 2, 60},
                      SampleCase{"sample2.pst", 1, 50}, SampleCase{"97_outlook_pass12345.pst", 1, 300},
                      SampleCase{"Outlook98Backup.pst", 1, 20}),
    [](const auto& info) {
      std::string n = info.param.file;
      for (auto& ch : n) if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return n;
    });

TEST(Samples, OutlookPstLeafLevelsAndCounts) {
  REQUIRE_SAMPLE("outlook.pst");
  Store s;
  ASSERT_EQ(store::OpenStore(s, SamplePath("outlook.pst")), 0);
  ASSERT_EQ(store::LoadIndexes(s), 0);
  // One intermediate level over the leaves in both indexes.
  EXPECT_EQ(s.blockLeafLevel, 1);
  EXPECT_EQ(s.nodeLeafLevel, 1);
  EXPECT_EQ(s.data->nodes.createdCount(), 103u);
  // 130 live entries plus 20 stale ones left after the live entries of their
  // pages, in ascending order, which the walk takes too.
  EXPECT_EQ(s.data->blocks.size(), 150u);
}

}  // namespace
}  // namespace velmorix
