// The 4 KiB-page variant (version 36): real fragments of it read back through
// the store layer, builder stores of it loaded whole, and hostile pages and
// compressed blocks taken as damage.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "format/vocabulary.h"
#include "samples.h"
#include "store/layout.h"
#include "store/store.h"
#include "storebuilder/ndb.h"

namespace velmorix {
namespace {

using storebuilder::Format;
using storebuilder::NdbOptions;
using storebuilder::NdbWriter;
const store::VariantLayout& L4K = store::kUnicode4KLayout;

// A file name of its own for the running test and process: tests run in parallel.
std::string TempPath(const std::string& name) {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string unique = std::to_string(::getpid()) + "_" + info->name() + "_" + name;
  for (char& c : unique) {
    if (c == '/') c = '_';
  }
  return (std::filesystem::temp_directory_path() / unique).string();
}

// A fragment of a real 4 KiB-page file, or nullopt when the samples are not
// beside the checkout.
std::optional<Buffer> Fragment(const std::string& name, std::string& path) {
  path = velmorix::test::OriginalSamplePath("v36/" + name);
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string raw((std::istreambuf_iterator<char>(in)), {});
  const auto* p = reinterpret_cast<const std::byte*>(raw.data());
  return Buffer(p, p + raw.size());
}

#define FRAGMENT(var, name)                                         \
  std::string var##Path;                                            \
  auto var##Bytes = Fragment(name, var##Path);                      \
  if (!var##Bytes) GTEST_SKIP() << "sample not found: " << var##Path; \
  const Buffer& var = *var##Bytes

uint64_t U(ByteSpan b, size_t at, int width) {
  uint64_t v = 0;
  for (int i = 0; i < width; ++i) v |= static_cast<uint64_t>(b[at + i]) << (8 * i);
  return v;
}

// The file offset a page or block with this BID and signature was written
// at: the smallest multiple of `alignment` whose signature matches.
uint64_t OffsetNamedBySignature(uint64_t bid, uint16_t sig, uint64_t alignment) {
  for (uint64_t ib = alignment; ib < (uint64_t{1} << 32); ib += alignment) {
    if (store::ComputeSig(ib, bid) == sig) return ib;
  }
  return 0;
}

TEST(Fragments, HeaderOfVersion36) {
  FRAGMENT(h, "header-v36.bin");
  ASSERT_EQ(h.size(), 564u);
  EXPECT_EQ(U(h, 4, 4), store::ComputeCrc(0, ByteSpan(h).subspan(8, 471)));
  EXPECT_EQ(U(h, 524, 4), store::ComputeCrc(0, ByteSpan(h).subspan(8, 516)));
  EXPECT_EQ(AsChars(ByteSpan(h).subspan(8, 2)), "SO");
  EXPECT_EQ(store::VariantOfVersion(static_cast<uint32_t>(U(h, 10, 2))), store::Variant::Unicode4K);
  EXPECT_EQ(U(h, 224, 8), 0x8D000u);  // node index root
  EXPECT_EQ(U(h, 240, 8), 0x65000u);  // block index root
  EXPECT_EQ(U(h, 192, 8), L4K.firstAMapAt);

  // Opened as a store, the header alone names the variant and both roots.
  const std::string path = TempPath("header.ost");
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(h.data()), 564);
  store::Store s;
  ASSERT_EQ(store::OpenStore(s, path), 0);
  EXPECT_EQ(s.variant, store::Variant::Unicode4K);
  EXPECT_EQ(s.encryptionMethod, 0);
  EXPECT_EQ(s.nodeRootOffset, 0x8D000u);
  EXPECT_EQ(s.blockRootOffset, 0x65000u);
  std::filesystem::remove(path);
}

TEST(Fragments, AllocationMapPage) {
  FRAGMENT(page, "amap-page.4k");
  auto t = store::ReadPageTrailer(L4K, page);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->ptype, format::kPtypeAMap);
  EXPECT_EQ(t->ptypeRepeat, format::kPtypeAMap);
  EXPECT_EQ(t->bid, L4K.firstAMapAt);  // an allocation map names its own offset
  EXPECT_TRUE(store::PageCrcHolds(L4K, page));
  // Its first byte covers the map page itself: 8 bits of 512 bytes.
  EXPECT_EQ(page[0], std::byte{0xFF});
}

// The real node index page and compressed block, placed into a builder store
// of this variant at the offsets their trailers' signatures name.
class FragmentsInAStore : public ::testing::Test {
 protected:
  static constexpr uint32_t kBlockBid = 0x2618;

  void SetUp() override {
    page_ = Fragment("nbt-page.4k", pagePath_);
    block_ = Fragment("compressed-block.4k", blockPath_);
    if (!page_) GTEST_SKIP() << "sample not found: " << pagePath_;
    if (!block_) GTEST_SKIP() << "sample not found: " << blockPath_;
  }

  std::optional<Buffer> page_, block_;
  std::string pagePath_, blockPath_;
};

TEST_F(FragmentsInAStore, PageEntriesAreReadAndTheBlockInflates) {
  const Buffer& page = *page_;
  const Buffer& block = *block_;
  auto pt = store::ReadPageTrailer(L4K, page);
  ASSERT_TRUE(pt);
  auto bt = store::ReadBlockTrailer(L4K, ByteSpan(block).last(L4K.blockTrailer.size));
  ASSERT_TRUE(bt);
  EXPECT_EQ(bt->bid, kBlockBid);
  EXPECT_EQ(bt->cb, 7992u);
  EXPECT_EQ(bt->inflated, 11866u);
  EXPECT_EQ(L4K.StoredBlockSize(bt->cb), block.size());
  EXPECT_EQ(bt->crc, store::ComputeCrc(0, ByteSpan(block).first(bt->cb)));  // over the stored bytes
  const uint64_t pageAt = OffsetNamedBySignature(pt->bid, pt->sig, L4K.pageSize);
  const uint64_t blockAt = OffsetNamedBySignature(bt->bid, bt->sig, L4K.blockAlignment);
  EXPECT_EQ(pageAt, 0x53000u);
  EXPECT_EQ(blockAt, 0x6C000u);

  NdbOptions o;
  o.format = Format::Unicode4K;
  o.encryption = 0;
  o.blockBase = 0x100000;  // the builder's own blocks and pages stay clear of both
  NdbWriter w(o);
  const std::vector<std::byte> payload(100, std::byte{7});
  w.AddNode(0x21, w.AddDataBlock(payload), 0, 0);
  auto entries = w.BlockEntries();
  entries.push_back({kBlockBid, blockAt, bt->cb, 2, static_cast<uint16_t>(bt->inflated)});
  w.SetBlockLeafPages({entries});
  w.Finish();
  w.PatchBytes(pageAt, page);
  w.PatchBytes(blockAt, block);
  const std::string path = TempPath("fragments.ost");
  w.Write(path);

  store::Store s;
  ASSERT_EQ(store::OpenStore(s, path), 0);
  ASSERT_EQ(store::LoadIndexes(s), 0);
  const store::BlockEntry* e = store::FindBlock(s, kBlockBid);
  ASSERT_NE(e, nullptr);
  EXPECT_TRUE(e->compressed());
  auto data = store::ReadNodeBlock(s, kBlockBid);
  ASSERT_TRUE(data);
  ASSERT_EQ(data->size(), 11866u);
  EXPECT_EQ((*data)[2], std::byte{0xEC});  // a heap: a property context
  EXPECT_EQ((*data)[3], std::byte{0xBC});

  auto read = store::ReadPage(s, pageAt);
  ASSERT_TRUE(read);
  EXPECT_TRUE(store::PageCrcHolds(L4K, *read));
  auto info = store::ReadBTreePageInfo(L4K, *read);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->count, 3u);
  EXPECT_EQ(info->maxCount, 169u);
  EXPECT_EQ(info->entrySize, 24u);
  EXPECT_EQ(info->level, 1u);
  EXPECT_EQ(pt->ptype, format::kPtypeNbt);
  std::vector<uint64_t> keys, children;
  for (uint32_t i = 0; i < info->count; ++i) {
    auto entry = store::ReadIntermediateEntry(L4K, *read, i);
    ASSERT_TRUE(entry);
    keys.push_back(entry->key);
    children.push_back(entry->offset);
  }
  EXPECT_EQ(keys, (std::vector<uint64_t>{0x21, 0x21CD, 0x80027}));
  EXPECT_EQ(children, (std::vector<uint64_t>{0x52000, 0x69000, 0x6B000}));
  std::filesystem::remove(path);
}

TEST_F(FragmentsInAStore, HostileCompressedStreamsAreDamage) {
  const Buffer& block = *block_;
  const ByteSpan stream = ByteSpan(block).first(7992);
  store::Inflater inflater;
  ASSERT_TRUE(inflater.Inflate(stream, 11866));
  EXPECT_FALSE(inflater.Inflate(stream, 11865));  // more bytes than claimed
  EXPECT_FALSE(inflater.Inflate(stream, 11867));  // fewer
  EXPECT_FALSE(inflater.Inflate(stream.first(4000), 11866));
  Buffer badSum(stream.begin(), stream.end());
  badSum.back() ^= std::byte{1};  // the stream's Adler-32
  EXPECT_FALSE(inflater.Inflate(badSum, 11866));
  EXPECT_FALSE(inflater.Inflate(stream, store::kMaxInflatedBlock + 1));
  EXPECT_FALSE(inflater.Inflate(ByteSpan(block).subspan(100, 500), 11866));
}

struct BuiltStore {
  std::string path;
  storebuilder::Layout layout;
  uint32_t big = 0, small = 0;
  Buffer bigData;
};

// A store of 4 KiB pages with `items` messages below the top folder, a
// compressible value over a data tree and an incompressible block.
BuiltStore Build(NdbWriter& w, int items, const std::string& name) {
  BuiltStore b;
  std::vector<std::byte> payload(300, std::byte{0x5A});
  const uint32_t shared = w.AddDataBlock(payload);
  w.AddNode(0x21, shared, 0, 0);
  w.AddNode(0x122, shared, 0, 0x122);
  w.AddNode(0x8022, shared, 0, 0x122);
  for (int i = 0; i < items; ++i) {
    payload[0] = std::byte(i & 0xFF);
    w.AddNode((static_cast<uint32_t>(0x10000 + i) << 5) | 4, w.AddDataBlock(payload), 0, 0x8022);
  }
  b.bigData.resize(3 * w.maxBlockData() + 17);
  for (size_t i = 0; i < b.bigData.size(); ++i) b.bigData[i] = std::byte((i / 7) & 0x3F);
  b.big = w.AddData(b.bigData);
  std::vector<std::byte> noise(600);
  uint32_t x = 12345;
  for (auto& c : noise) c = std::byte((x = x * 1103515245 + 12345) >> 24);
  b.small = w.AddDataBlock(noise);
  w.AddNode(0x400004, b.big, 0, 0x8022);
  b.path = TempPath(name);
  w.Write(b.path);
  b.layout = w.layout();
  return b;
}

class Builder4K : public ::testing::TestWithParam<int> {};  // the encryption method

TEST_P(Builder4K, EveryEntryLoadsAndEveryBlockInflates) {
  NdbOptions o;
  o.format = Format::Unicode4K;
  o.encryption = GetParam();
  o.nodeLeafFill = 40;
  o.blockLeafFill = 50;
  o.minBlockLevels = 3;
  NdbWriter w(o);
  const BuiltStore b = Build(w, 400, "builder.ost");
  // Blocks are encoded before they are compressed: the cyclic method leaves
  // nothing that compresses.
  if (GetParam() != 2) {
    ASSERT_GT(w.compressedBlockCount(), 0u);
  }

  store::Store s;
  ASSERT_EQ(store::OpenStore(s, b.path), 0);
  EXPECT_EQ(s.variant, store::Variant::Unicode4K);
  EXPECT_EQ(s.encryptionMethod, GetParam());
  ASSERT_EQ(store::LoadIndexes(s), 0);
  EXPECT_EQ(s.data->blocks.size(), b.layout.blocks.size());
  EXPECT_EQ(s.data->nodes.createdCount(), 404u);
  EXPECT_EQ(s.blockLeafLevel + 1u, b.layout.blockPages.size());
  EXPECT_EQ(s.nodeLeafLevel + 1u, b.layout.nodePages.size());
  size_t compressed = 0;
  for (const auto& e : s.data->blocks.entries()) compressed += e.compressed();
  EXPECT_EQ(compressed, w.compressedBlockCount());
  auto* top = store::FindNode(s, 0x8022);
  ASSERT_NE(top, nullptr);
  int i = 0;
  for (auto* e = top->firstChild; e && i < 400; e = e->nextSibling, ++i) {
    auto data = store::ReadNodeBlock(s, e->dataBlock->bid);
    ASSERT_TRUE(data);
    ASSERT_EQ(data->size(), 300u);
    EXPECT_EQ((*data)[0], std::byte(i & 0xFF));
    EXPECT_EQ((*data)[299], std::byte{0x5A});
  }
  EXPECT_EQ(store::ReadDataTree(s, b.big), b.bigData);  // inflated bytes, in order
  auto noise = store::ReadNodeBlock(s, b.small);
  ASSERT_TRUE(noise);
  EXPECT_EQ(noise->size(), 600u);
  EXPECT_FALSE(store::FindBlock(s, b.small)->compressed());
  std::filesystem::remove(b.path);
}

INSTANTIATE_TEST_SUITE_P(Encodings, Builder4K, ::testing::Values(0, 1, 2));

TEST(Builder4K, UncompressedStoresReadTheSame) {
  NdbOptions o;
  o.format = Format::Unicode4K;
  o.compress = false;
  NdbWriter w(o);
  const BuiltStore b = Build(w, 20, "plain.ost");
  EXPECT_EQ(w.compressedBlockCount(), 0u);
  store::Store s;
  ASSERT_EQ(store::OpenStore(s, b.path), 0);
  ASSERT_EQ(store::LoadIndexes(s), 0);
  EXPECT_EQ(store::ReadDataTree(s, b.big), b.bigData);
  std::filesystem::remove(b.path);
}

TEST(Builder4K, LaterVersionsWithTheseIndexPagesOpenAsTheVariant) {
  NdbOptions o;
  o.format = Format::Unicode4K;
  NdbWriter w(o);
  BuiltStore b = Build(w, 5, "v37.ost");
  {
    std::fstream f(b.path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(10);
    f.put(37);
  }
  store::Store s;
  ASSERT_EQ(store::OpenStore(s, b.path), 0);
  EXPECT_EQ(s.version, 37);
  EXPECT_EQ(s.variant, store::Variant::Unicode4K);
  ASSERT_EQ(store::LoadIndexes(s), 0);
  EXPECT_EQ(s.data->nodes.createdCount(), 9u);
  std::filesystem::remove(b.path);
}

class Hostile4K : public ::testing::Test {
 protected:
  Hostile4K() : w_(Options()) { built_ = Build(w_, 300, "hostile.ost"); }
  static NdbOptions Options() {
    NdbOptions o;
    o.format = Format::Unicode4K;
    o.encryption = 0;
    o.nodeLeafFill = 100;
    o.blockLeafFill = 100;
    return o;
  }
  ~Hostile4K() override { std::filesystem::remove(built_.path); }

  // Rewrites the file after damaging the writer's image.
  void Rewrite() { w_.Write(built_.path); }
  void Open(store::Store& s) {
    ASSERT_EQ(store::OpenStore(s, built_.path), 0);
    ASSERT_EQ(store::LoadIndexes(s), 0);
  }
  // The first data block of the big value: compressed, 65,512 bytes inflated.
  const storebuilder::BlockLocation& FirstOfBig() {
    for (const auto& loc : built_.layout.blocks) {
      if (loc.inflatedSize == w_.maxBlockData() && loc.size < loc.inflatedSize) return loc;
    }
    throw std::logic_error("no compressed full block");
  }

  NdbWriter w_;
  BuiltStore built_;
};

TEST_F(Hostile4K, AWrongInflatedSizeMakesTheBlockUnreadable) {
  const auto loc = FirstOfBig();
  for (int delta : {-1, 1}) {
    w_.SetBlockEntryInflatedSize(loc.bid, static_cast<uint16_t>(loc.inflatedSize + delta));
    Rewrite();
    store::Store s;
    Open(s);
    EXPECT_FALSE(store::ReadNodeBlock(s, loc.bid)) << delta;
    EXPECT_FALSE(store::ReadDataTree(s, built_.big));
    EXPECT_TRUE(store::ReadNodeBlock(s, built_.small));
  }
}

TEST_F(Hostile4K, ABadStreamChecksumMakesTheBlockUnreadable) {
  const auto loc = FirstOfBig();
  Buffer flip(1, std::byte{0});
  const Buffer image = w_.Build();
  flip[0] = image[loc.offset + loc.size - 1] ^ std::byte{0x55};  // in the Adler-32
  w_.PatchBytes(loc.offset + loc.size - 1, flip);
  w_.RefreshBlockCrc(loc.bid);
  Rewrite();
  store::Store s;
  Open(s);
  EXPECT_FALSE(store::ReadNodeBlock(s, loc.bid));
  EXPECT_FALSE(store::ReadDataTree(s, built_.big));
}

TEST_F(Hostile4K, ACountAboveThePageMaximumMakesThePageUnreadable) {
  // The second node leaf page claims 127 entries (at most 126 fit).
  const auto& leaf = built_.layout.nodePages[0][1];
  Buffer count(2);
  count[0] = std::byte{127};
  w_.PatchBytes(leaf.offset + L4K.countAt, count);
  w_.RefreshPageCrc(leaf.offset);
  // And the second block leaf page 170 (at most 169).
  const auto& bleaf = built_.layout.blockPages[0][1];
  count[0] = std::byte{170};
  w_.PatchBytes(bleaf.offset + L4K.countAt, count);
  w_.RefreshPageCrc(bleaf.offset);
  Rewrite();
  store::Store s;
  Open(s);
  EXPECT_EQ(s.data->nodes.createdCount(), 304u - static_cast<size_t>(leaf.entries));
  EXPECT_EQ(s.data->blocks.size(), built_.layout.blocks.size() - static_cast<size_t>(bleaf.entries));
  EXPECT_NE(store::FindNode(s, 0x8022), nullptr);
}

TEST_F(Hostile4K, APageOfAnotherTypeIsNoIndexPage) {
  // The root of the node index names the first block index page as its
  // second child, promising that page's first key.
  const auto& blockLeaf = built_.layout.blockPages[0][0];
  w_.SetPageEntryKey(storebuilder::IndexTree::Node, 1, 0, 1, blockLeaf.firstKey);
  w_.SetChildOffset(storebuilder::IndexTree::Node, 1, 0, 1, blockLeaf.offset);
  Rewrite();
  store::Store s;
  Open(s);
  EXPECT_EQ(s.data->nodes.createdCount(), 304u - static_cast<size_t>(built_.layout.nodePages[0][1].entries));
}

}  // namespace
}  // namespace velmorix
