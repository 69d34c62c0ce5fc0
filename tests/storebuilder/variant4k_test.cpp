// The builder's 4 KiB-page stores checked field by field, with the real
// fragments of that variant as the reference for where each field lies, and
// as velmorix-cli info describes them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "samples.h"
#include "store/layout.h"
#include "storebuilder/ndb.h"
#include "storebuilder/mailbox.h"
#include "storebuilder/sample_mailboxes.h"

namespace velmorix::storebuilder {
namespace {

const store::VariantLayout& L = store::kUnicode4KLayout;

uint64_t U(ByteSpan f, uint64_t at, int width) {
  uint64_t v = 0;
  for (int i = 0; i < width; ++i) v |= static_cast<uint64_t>(f[at + i]) << (8 * i);
  return v;
}

std::optional<Buffer> Fragment(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string raw((std::istreambuf_iterator<char>(in)), {});
  const auto* p = reinterpret_cast<const std::byte*>(raw.data());
  return Buffer(p, p + raw.size());
}

// The fields that surround a B-tree page's entries, as (offset, width, value).
struct PageFields {
  uint64_t count, maxCount, entrySize, level, padding, ptype, ptypeRepeat, tail;
};
PageFields FieldsOf(ByteSpan page) {
  uint64_t padding = 0;
  for (uint64_t i = 4062; i < 4072; ++i) padding |= U(page, i, 1);
  return {U(page, 4056, 2), U(page, 4058, 2), U(page, 4060, 1), U(page, 4061, 1),
          padding,          U(page, 4072, 1), U(page, 4073, 1), U(page, 4088, 8)};
}

class Builder4KLayout : public ::testing::Test {
 protected:
  void SetUp() override {
    MailboxOptions o;
    o.ndb.format = Format::Unicode4K;
    o.ndb.encryption = 0;
    o.ndb.offlineFolders = true;
    o.ndb.nodeLeafFill = 20;  // an intermediate level in both trees
    o.ndb.blockLeafFill = 20;
    builder_ = std::make_unique<MailboxBuilder>(o);
    AddDemoMailbox(*builder_);
    image_ = builder_->Build();
  }
  const Layout& layout() { return builder_->ndb().layout(); }

  std::unique_ptr<MailboxBuilder> builder_;
  Buffer image_;
};

TEST_F(Builder4KLayout, HeaderOfVersion36) {
  const ByteSpan f(image_);
  EXPECT_EQ(U(f, 0, 4), 0x4E444221u);  // "!BDN"
  EXPECT_EQ(AsChars(f.subspan(8, 2)), "SO");
  EXPECT_EQ(U(f, 10, 2), 36u);
  EXPECT_EQ(U(f, 4, 4), ComputeCrc(0, f.subspan(8, 471)));
  EXPECT_EQ(U(f, 524, 4), ComputeCrc(0, f.subspan(8, 516)));
  EXPECT_EQ(U(f, 184, 8), image_.size());
  EXPECT_EQ(U(f, 192, 8), L.firstAMapAt);  // the only map of a small file
  EXPECT_EQ(U(f, 224, 8), layout().nodeRoot);
  EXPECT_EQ(U(f, 240, 8), layout().blockRoot);
  EXPECT_EQ(U(f, 248, 1), 2u);
  EXPECT_EQ(U(f, 512, 1), 0x80u);
  EXPECT_EQ(U(f, 513, 1), 0u);
  for (uint64_t i = 256; i < 512; ++i) ASSERT_EQ(U(f, i, 1), 0u) << i;  // FMap / FPMap bytes
}

TEST_F(Builder4KLayout, PagesHaveTheFieldsOfTheRealNodeIndexPage) {
  const std::string path = velmorix::test::OriginalSamplePath("v36/nbt-page.4k");
  auto real = Fragment(path);
  if (!real) GTEST_SKIP() << "sample not found: " << path;
  const PageFields reference = FieldsOf(*real);
  ASSERT_EQ(reference.level, 1u);

  const ByteSpan f(image_);
  ASSERT_GE(layout().nodePages.size(), 2u);
  ASSERT_GE(layout().blockPages.size(), 2u);
  for (const auto* tree : {&layout().nodePages, &layout().blockPages}) {
    const bool nodes = tree == &layout().nodePages;
    for (size_t level = 0; level < tree->size(); ++level) {
      for (const PageInfo& p : (*tree)[level]) {
        SCOPED_TRACE(std::to_string(p.offset));
        ASSERT_EQ(p.offset % 4096, 0u);
        const ByteSpan page = f.subspan(p.offset, 4096);
        const PageFields got = FieldsOf(page);
        const bool leafOfNodes = nodes && level == 0;
        EXPECT_EQ(got.count, static_cast<uint64_t>(p.entries));
        EXPECT_EQ(got.maxCount, leafOfNodes ? 126u : reference.maxCount);
        EXPECT_EQ(got.entrySize, leafOfNodes ? 32u : reference.entrySize);
        EXPECT_EQ(got.level, level);
        EXPECT_EQ(got.padding, reference.padding);
        EXPECT_EQ(got.ptype, nodes ? reference.ptype : 0x80u);
        EXPECT_EQ(got.ptypeRepeat, got.ptype);
        EXPECT_EQ(got.tail, reference.tail);
        EXPECT_EQ(U(page, 4074, 2), ComputeSig(p.offset, p.bid));
        EXPECT_EQ(U(page, 4076, 4), ComputeCrc(0, page.first(4072)));
        EXPECT_EQ(U(page, 4080, 8), p.bid);
      }
    }
  }
}

TEST_F(Builder4KLayout, BlocksHaveTheTrailerOfTheRealCompressedBlock) {
  const std::string path = velmorix::test::OriginalSamplePath("v36/compressed-block.4k");
  auto real = Fragment(path);
  if (!real) GTEST_SKIP() << "sample not found: " << path;
  const ByteSpan realTrailer = ByteSpan(*real).last(24);
  ASSERT_EQ(U(realTrailer, 16, 2), 2u);
  ASSERT_EQ(U(realTrailer, 20, 4), 0u);

  const ByteSpan f(image_);
  size_t compressed = 0;
  for (const BlockLocation& b : layout().blocks) {
    SCOPED_TRACE(b.bid);
    ASSERT_EQ(b.offset % 512, 0u);
    const uint64_t stored = (b.size + 24 + 511) / 512 * 512;
    const ByteSpan t = f.subspan(b.offset + stored - 24, 24);
    EXPECT_EQ(U(t, 0, 2), b.size);
    EXPECT_EQ(U(t, 2, 2), ComputeSig(b.offset, b.bid));
    EXPECT_EQ(U(t, 4, 4), ComputeCrc(0, f.subspan(b.offset, b.size)));  // over the stored bytes
    EXPECT_EQ(U(t, 8, 8), b.bid);
    EXPECT_EQ(U(t, 16, 2), U(realTrailer, 16, 2));
    EXPECT_EQ(U(t, 18, 2), b.inflatedSize);
    EXPECT_EQ(U(t, 20, 4), 0u);
    if (b.size != b.inflatedSize) {
      ++compressed;
      EXPECT_EQ(f.subspan(b.offset, 2)[0], (*real)[0]);  // the zlib header the real block has: 78 9C
      EXPECT_EQ(f.subspan(b.offset, 2)[1], (*real)[1]);
      EXPECT_EQ(b.bid & 2u, 0u);  // internal blocks are stored as they are
    }
  }
  EXPECT_EQ(compressed, builder_->ndb().compressedBlockCount());
  EXPECT_GT(compressed, 10u);
}

TEST_F(Builder4KLayout, AllocationMapCoversEveryBlockAndPage) {
  const std::string path = velmorix::test::OriginalSamplePath("v36/amap-page.4k");
  auto real = Fragment(path);
  if (!real) GTEST_SKIP() << "sample not found: " << path;
  const ByteSpan f(image_);
  ASSERT_EQ(layout().amapOffsets, std::vector<uint64_t>{L.firstAMapAt});
  const ByteSpan map = f.subspan(L.firstAMapAt, 4096);
  for (uint64_t at : {4072, 4073, 4074, 4088}) EXPECT_EQ(U(map, at, 2), U(*real, at, 2)) << at;  // type, sig 0, tail
  EXPECT_EQ(U(map, 4076, 4), ComputeCrc(0, map.first(4072)));
  EXPECT_EQ(U(map, 4080, 8), L.firstAMapAt);
  EXPECT_EQ(map[0], (*real)[0]);  // 0xFF: the map page itself, 8 bits of 512 bytes
  auto used = [&](uint64_t offset) {
    const uint64_t slot = (offset - L.firstAMapAt) / 512;
    return (static_cast<uint8_t>(map[slot / 8]) & (0x80 >> (slot % 8))) != 0;
  };
  for (const BlockLocation& b : layout().blocks) EXPECT_TRUE(used(b.offset)) << b.bid;
  for (const auto& level : layout().nodePages) {
    for (const PageInfo& p : level) EXPECT_TRUE(used(p.offset) && used(p.offset + 3584));
  }
  uint64_t free = 0;
  for (uint64_t i = 0; i < 4072; ++i) free += 8 - static_cast<uint64_t>(std::popcount(static_cast<uint8_t>(map[i])));
  EXPECT_EQ(U(f, 200, 8), free * 512);  // cbAMapFree
}

#ifdef VELMORIX_CLI
TEST(Builder4KInfo, CliNamesTheVariantPageSizeAndCompressedEntries) {
  MailboxOptions o;
  o.ndb.format = Format::Unicode4K;
  MailboxBuilder b(o);
  AddDemoMailbox(b);
  const std::string path =
      (std::filesystem::temp_directory_path() / ("vx_info4k_" + std::to_string(::getpid()) + ".ost")).string();
  b.Write(path);
  const std::string cmd = std::string(VELMORIX_CLI) + " info '" + path + "'";
  std::FILE* p = ::popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  EXPECT_EQ(::pclose(p), 0);
  std::filesystem::remove(path);
  EXPECT_NE(out.find("variant\tUnicode 4K\n"), std::string::npos) << out;
  EXPECT_NE(out.find("version\t36\n"), std::string::npos);
  EXPECT_NE(out.find("page size\t4096\n"), std::string::npos);
  EXPECT_NE(out.find("compressed block entries\t" + std::to_string(b.ndb().compressedBlockCount()) + "\n"),
            std::string::npos);
  EXPECT_NE(out.find("indexes\tloaded\n"), std::string::npos);
}
#endif

}  // namespace
}  // namespace velmorix::storebuilder
