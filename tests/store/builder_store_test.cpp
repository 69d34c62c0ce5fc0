// The store layer on stores written by the store builder: trees of several
// levels with full and partial pages, every format version and encoding, and
// the damage the builder can do on purpose.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "store/store.h"
#include "storebuilder/ndb.h"
#include "temp_files.h"

namespace velmorix {
namespace {

using storebuilder::Format;
using storebuilder::IndexTree;
using storebuilder::NdbOptions;
using storebuilder::NdbWriter;

// A file name of its own for the running test and process: tests run in
// parallel.
std::string TempPath(const std::string& name) {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string unique = std::to_string(::getpid()) + "_" + info->name() + "_" + name;
  for (char& c : unique) {
    if (c == '/') c = '_';
  }
  return velmorix::testing::RemovedAtExit((std::filesystem::temp_directory_path() / unique).string());
}

// Adds the message store, the map node, the root and top folders and `items`
// messages below the top folder, each with a data block of its own.
void Populate(NdbWriter& w, int items) {
  std::vector<std::byte> payload(40, std::byte{0x5A});
  const uint32_t shared = w.AddDataBlock(payload);
  w.AddNode(0x21, shared, 0, 0);
  w.AddNode(0x61, shared, 0, 0);
  w.AddNode(0x122, shared, 0, 0x122);
  w.AddNode(0x8022, shared, 0, 0x122);
  for (int i = 0; i < items; ++i) {
    payload[0] = std::byte(i & 0xFF);
    const uint32_t bid = w.AddDataBlock(payload);
    w.AddNode((static_cast<uint32_t>(0x10000 + i) << 5) | 4, bid, 0, 0x8022);
  }
}

size_t CountChildren(const store::NodeEntry* e) {
  size_t n = 0;
  for (auto* c = e->firstChild; c; c = c->nextSibling) ++n;
  return n;
}

struct TreeCase {
  Format format;
  int encryption;
  int items;
  int leafFill;  // 0 = full pages
  int minLevels;
};

class BuilderStores : public ::testing::TestWithParam<TreeCase> {};

TEST_P(BuilderStores, EveryEntryIsLoadedAndEveryBlockDecodes) {
  const TreeCase c = GetParam();
  NdbOptions o;
  o.format = c.format;
  o.encryption = c.encryption;
  o.nodeLeafFill = c.leafFill;
  o.blockLeafFill = c.leafFill;
  o.minNodeLevels = c.minLevels;
  o.minBlockLevels = c.minLevels;
  NdbWriter w(o);
  Populate(w, c.items);
  const auto path = TempPath("vx_builder.pst");
  w.Write(path);
  const auto& layout = w.layout();

  store::Store s;
  ASSERT_EQ(store::OpenStore(s, path), 0);
  EXPECT_EQ(s.encryptionMethod, c.encryption);
  ASSERT_EQ(store::LoadIndexes(s), 0);
  EXPECT_EQ(s.data->nodes.createdCount(), static_cast<size_t>(c.items + 4));
  EXPECT_EQ(s.data->blocks.size(), layout.blocks.size());
  EXPECT_EQ(s.nodeLeafLevel + 1u, layout.nodePages.size());
  EXPECT_EQ(s.blockLeafLevel + 1u, layout.blockPages.size());
  auto* top = store::FindNode(s, 0x8022);
  ASSERT_NE(top, nullptr);
  EXPECT_EQ(CountChildren(top), static_cast<size_t>(c.items));
  // Spot-check the decoding of a few items' blocks.
  int checked = 0;
  for (auto* e = top->firstChild; e && checked < 5; e = e->nextSibling, ++checked) {
    auto data = store::ReadNodeBlock(s, e->dataBlock->bid);
    ASSERT_TRUE(data);
    EXPECT_EQ((*data)[0], std::byte(checked & 0xFF));
    EXPECT_EQ((*data)[1], std::byte{0x5A});
  }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, BuilderStores,
    ::testing::Values(TreeCase{Format::Ansi14, 1, 50, 0, 1}, TreeCase{Format::Ansi15, 0, 50, 0, 1},
                      TreeCase{Format::Ansi14, 2, 3000, 0, 3}, TreeCase{Format::Ansi14, 1, 500, 5, 1},
                      TreeCase{Format::Unicode23, 1, 10, 0, 1}, TreeCase{Format::Unicode23, 0, 700, 0, 3},
                      TreeCase{Format::Unicode23, 2, 4000, 0, 3}, TreeCase{Format::Unicode23, 1, 300, 3, 2},
                      TreeCase{Format::Unicode4K, 0, 200, 0, 1}, TreeCase{Format::Unicode4K, 1, 3000, 0, 3},
                      TreeCase{Format::Unicode4K, 0, 500, 7, 2}));

class Damage : public ::testing::TestWithParam<Format> {
 protected:
  NdbOptions Options() const {
    NdbOptions o;
    o.format = GetParam();
    o.nodeLeafFill = 10;
    o.blockLeafFill = 10;
    return o;
  }
};

TEST_P(Damage, AChildPageWithTheWrongFirstKeyIsSkipped) {
  NdbWriter w(Options());
  Populate(w, 60);
  w.Finish();
  ASSERT_GE(w.layout().nodePages.size(), 2u);
  // The second node leaf page no longer starts with the key its parent promised.
  const auto& leaf = w.layout().nodePages[0][1];
  w.SetPageEntryKey(IndexTree::Node, 0, 1, 0, leaf.firstKey + 1);
  const auto path = TempPath("vx_wrongkey.pst");
  w.Write(path);
  store::Store s;
  ASSERT_EQ(store::OpenStore(s, path), 0);
  ASSERT_EQ(store::LoadIndexes(s), 0);
  EXPECT_EQ(s.data->nodes.createdCount(), 64u - 10u);
  EXPECT_NE(store::FindNode(s, 0x8022), nullptr);
}

TEST_P(Damage, AnUnreadableLeafPageLosesOnlyItsEntries) {
  NdbWriter w(Options());
  Populate(w, 60);
  w.Finish();
  const uint64_t page = w.layout().blockPages[0][2].offset;
  w.SetChildOffset(IndexTree::Block, 1, 0, 2, w.layout().fileSize + 4096);
  const auto path = TempPath("vx_unreadable.pst");
  w.Write(path);
  (void)page;
  store::Store s;
  ASSERT_EQ(store::OpenStore(s, path), 0);
  ASSERT_EQ(store::LoadIndexes(s), 0);
  EXPECT_EQ(s.data->blocks.size(), w.layout().blocks.size() - 10);
  // Nodes whose blocks were on that page keep their place without a block.
  EXPECT_EQ(s.data->nodes.createdCount(), 64u);
}

TEST_P(Damage, AFileCutShortKeepsWhatCanBeRead) {
  NdbWriter w(Options());
  Populate(w, 200);
  w.Finish();
  // Cut right after the first node leaf page: the rest of the index is gone.
  const auto& firstLeaf = w.layout().nodePages[0][0];
  w.Truncate(firstLeaf.offset + 512);
  const auto path = TempPath("vx_cut.pst");
  w.Write(path);
  store::Store s;
  ASSERT_EQ(store::OpenStore(s, path), 0);
  store::LoadIndexes(s);
  EXPECT_LE(s.data->nodes.createdCount(), 10u);
}

TEST_P(Damage, ASizeWithItsTopBitSetIsReadUnsignedAndBounded) {
  NdbWriter w(Options());
  Populate(w, 3);
  const std::vector<std::byte> payload(32, std::byte{1});
  const uint32_t bid = w.AddDataBlock(payload);
  w.AddNode(0x300004, bid, 0, 0x8022);
  w.Finish();
  w.SetBlockEntrySize(bid, 0x8020);
  const auto path = TempPath("vx_topbit.pst");
  w.Write(path);
  store::Store s;
  ASSERT_EQ(store::OpenStore(s, path), 0);
  ASSERT_EQ(store::LoadIndexes(s), 0);
  auto* e = store::FindBlock(s, bid);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->size, 0x8020);
  // The file has fewer bytes than that after the block: the read fails cleanly.
  auto data = store::ReadNodeBlock(s, bid);
  if (data) {
    EXPECT_EQ(data->size(), 0x8020u);
  }
}

TEST_P(Damage, SubnodeBlocksThatLeadBackToThemselvesAreCut) {
  NdbWriter w(Options());
  Populate(w, 1);
  const std::vector<std::byte> payload(8, std::byte{2});
  const uint32_t data = w.AddDataBlock(payload);
  const uint32_t self = w.PeekNextBlockBid(true);
  const uint32_t sl = w.AddSubnodeBlock({{0x671, data, 0}, {0x8025, data, self}});
  ASSERT_EQ(sl, self);
  w.AddNode(0x400004, data, sl, 0x8022);
  const auto path = TempPath("vx_sloop.pst");
  w.Write(path);
  store::Store s;
  ASSERT_EQ(store::OpenStore(s, path), 0);
  ASSERT_EQ(store::LoadIndexes(s), 0);
  auto* list = store::ReadSubnodeList(s, store::FindNode(s, 0x400004)->subnodeBlock);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->size(), 2u);
}

TEST_P(Damage, LargeSubnodeListsAndDataTrees) {
  NdbWriter w(Options());
  Populate(w, 1);
  // More entries than one leaf subnode block holds: an intermediate block
  // over leaf blocks.
  std::vector<storebuilder::SubnodeRef> refs;
  const std::vector<std::byte> payload(8, std::byte{3});
  const uint32_t data = w.AddDataBlock(payload);
  for (uint32_t i = 0; i < 1500; ++i) refs.push_back({(i << 5) | 0x1F, data, 0});
  const uint32_t sub = w.AddSubnodeBlock(refs);
  // A value over several blocks: a data tree.
  std::vector<std::byte> big(3 * w.maxBlockData() + 17);
  for (size_t i = 0; i < big.size(); ++i) big[i] = std::byte(i * 13);
  const uint32_t tree = w.AddData(big);
  w.AddNode(0x400004, tree, sub, 0x8022);
  const auto path = TempPath("vx_large.pst");
  w.Write(path);
  store::Store s;
  ASSERT_EQ(store::OpenStore(s, path), 0);
  ASSERT_EQ(store::LoadIndexes(s), 0);
  auto* node = store::FindNode(s, 0x400004);
  auto* list = store::ReadSubnodeList(s, node->subnodeBlock);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->size(), 1500u);
  EXPECT_EQ(list->back().nid, (1499u << 5) | 0x1F);
  auto whole = store::ReadDataTree(s, tree);
  ASSERT_TRUE(whole);
  EXPECT_EQ(*whole, big);
}

INSTANTIATE_TEST_SUITE_P(AllVariants, Damage, ::testing::Values(Format::Ansi14, Format::Unicode23, Format::Unicode4K),
                         [](const auto& info) {
                           return info.param == Format::Ansi14 ? "Ansi" : info.param == Format::Unicode23 ? "Unicode" : "Unicode4K";
                         });

TEST(BuilderLargeFiles, PagesAndBlocksBeyond4GiB) {
  NdbOptions o;
  o.format = Format::Unicode23;
  o.blockBase = 5ull << 30;
  NdbWriter w(o);
  Populate(w, 100);
  const auto path = TempPath("vx_builder_5g.ost");
  w.Write(path);
  store::Store s;
  ASSERT_EQ(store::OpenStore(s, path), 0);
  EXPECT_GT(s.blockRootOffset, 4ull << 30);
  ASSERT_EQ(store::LoadIndexes(s), 0);
  EXPECT_EQ(s.data->nodes.createdCount(), 104u);
  auto* top = store::FindNode(s, 0x8022);
  ASSERT_NE(top, nullptr);
  auto data = store::ReadNodeBlock(s, top->lastChild->dataBlock->bid);
  ASSERT_TRUE(data);
  EXPECT_EQ((*data)[0], std::byte{99});
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace velmorix
