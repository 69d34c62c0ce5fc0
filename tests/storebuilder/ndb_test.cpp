// The node-database writer, checked by an independent parse of what it writes
// (offsets from the format fact sheet), against a real sample, and by reading
// its files back with the store reader.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <numeric>
#include <set>

#include "store/bytes.h"
#include "store/store.h"
#include "storebuilder/ndb.h"
#include "storebuilder/minimal_store.h"
#include "storebuilder/ndb.h"
#include "samples.h"

namespace velmorix::storebuilder {
namespace {

Buffer Bytes(std::string_view s) {
  auto b = AsBytes(s);
  return Buffer(b.begin(), b.end());
}

Buffer Pattern(size_t n, uint32_t seed) {
  Buffer b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<std::byte>((i * 131 + seed * 7 + (i >> 8)) & 0xFF);
  return b;
}

uint64_t U(const Buffer& f, uint64_t off, int width) {
  uint64_t v = 0;
  for (int i = 0; i < width; ++i) v |= static_cast<uint64_t>(f.at(off + i)) << (8 * i);
  return v;
}

uint32_t Crc(const Buffer& f, uint64_t off, uint64_t n) {
  return ComputeCrc(0, ByteSpan(f).subspan(off, n));
}

// Minimal independent reader of the written file, following the fact sheet.
struct Parsed {
  bool unicode = false;
  int w = 4;
  uint64_t nbtRoot = 0, bbtRoot = 0;
  struct Block {
    uint64_t bid, ib;
    uint16_t cb, cref;
  };
  struct Node {
    uint32_t nid;
    uint64_t data, sub;
    uint32_t parent;
  };
  std::vector<Block> blocks;
  std::vector<Node> nodes;
  int bbtHeight = 0, nbtHeight = 0;
  std::vector<std::string> errors;

  explicit Parsed(const Buffer& f) {
    unicode = U(f, 10, 2) == 23;
    w = unicode ? 8 : 4;
    nbtRoot = U(f, unicode ? 224 : 188, w);
    bbtRoot = U(f, unicode ? 240 : 196, w);
    bbtHeight = Walk(f, bbtRoot, true, -1, -1);
    nbtHeight = Walk(f, nbtRoot, false, -1, -1);
  }

  // Checks the page trailer and walks it; returns the page's level + 1.
  int Walk(const Buffer& f, uint64_t off, bool bbt, int64_t promised, int expectLevel) {
    const size_t meta = unicode ? 488 : 496;
    const size_t trailer = unicode ? 496 : 500;
    const int cEnt = static_cast<int>(U(f, off + meta, 1));
    const int cbEnt = static_cast<int>(U(f, off + meta + 2, 1));
    const int level = static_cast<int>(U(f, off + meta + 3, 1));
    const uint8_t ptype = static_cast<uint8_t>(U(f, off + trailer, 1));
    const uint64_t pbid = U(f, off + (unicode ? 504 : 504), w);
    const uint32_t crc = static_cast<uint32_t>(U(f, off + (unicode ? 500 : 508), 4));
    if (off % 512) errors.push_back("unaligned page");
    if (ptype != (bbt ? 0x80 : 0x81) || U(f, off + trailer + 1, 1) != ptype) errors.push_back("ptype");
    if (U(f, off + trailer + 2, 2) != ComputeSig(off, pbid)) errors.push_back("wSig");
    if (crc != Crc(f, off, trailer)) errors.push_back("page crc");
    if (expectLevel >= 0 && level != expectLevel) errors.push_back("level");
    if (level > 0) {
      if (cbEnt != (unicode ? 24 : 12)) errors.push_back("cbEnt");
      int height = 0;
      for (int i = 0; i < cEnt; ++i) {
        const uint64_t e = off + i * cbEnt;
        const int64_t key = static_cast<int64_t>(U(f, e, w));
        if (i == 0 && promised >= 0 && key != promised) errors.push_back("intermediate key");
        height = Walk(f, U(f, e + 2 * w, w), bbt, key, level - 1);
      }
      return height + 1;
    }
    if (cbEnt != (bbt ? (unicode ? 24 : 12) : (unicode ? 32 : 16))) errors.push_back("leaf cbEnt");
    for (int i = 0; i < cEnt; ++i) {
      const uint64_t e = off + i * cbEnt;
      if (i == 0 && promised >= 0 && static_cast<int64_t>(U(f, e, w)) != promised) errors.push_back("leaf key");
      if (bbt) {
        blocks.push_back({U(f, e, w), U(f, e + w, w), static_cast<uint16_t>(U(f, e + 2 * w, 2)),
                          static_cast<uint16_t>(U(f, e + 2 * w + 2, 2))});
      } else {
        nodes.push_back({static_cast<uint32_t>(U(f, e, 4)), U(f, e + w, w), U(f, e + 2 * w, w),
                         static_cast<uint32_t>(U(f, e + 3 * w, 4))});
      }
    }
    return 1;
  }

  const Block* FindBlock(uint64_t bid) const {
    for (const auto& b : blocks)
      if (b.bid == bid) return &b;
    return nullptr;
  }

  // The block's stored bytes, after checking its trailer.
  Buffer BlockData(const Buffer& f, uint64_t bid) {
    const Block* b = FindBlock(bid);
    if (!b) {
      errors.push_back("missing block");
      return {};
    }
    const uint64_t trailerSize = unicode ? 16 : 12;
    const uint64_t stored = (b->cb + trailerSize + 63) / 64 * 64;
    const uint64_t t = b->ib + stored - trailerSize;
    if (b->ib % 64) errors.push_back("unaligned block");
    if (U(f, t, 2) != b->cb) errors.push_back("trailer cb");
    if (U(f, t + 2, 2) != ComputeSig(b->ib, bid)) errors.push_back("block wSig");
    if (U(f, t + (unicode ? 4 : 8), 4) != Crc(f, b->ib, b->cb)) errors.push_back("block crc");
    if (U(f, t + (unicode ? 8 : 4), w) != bid) errors.push_back("trailer bid");
    for (uint64_t i = b->ib + b->cb; i < t; ++i)
      if (f[i] != std::byte{0}) errors.push_back("padding");
    return Buffer(f.begin() + static_cast<std::ptrdiff_t>(b->ib), f.begin() + static_cast<std::ptrdiff_t>(b->ib + b->cb));
  }
};

struct FormatCase {
  Format format;
  int encryption;
};

class NdbFormats : public ::testing::TestWithParam<FormatCase> {};

INSTANTIATE_TEST_SUITE_P(All, NdbFormats,
                         ::testing::Values(FormatCase{Format::Ansi14, 1}, FormatCase{Format::Ansi15, 0},
                                           FormatCase{Format::Ansi14, 2}, FormatCase{Format::Unicode23, 0},
                                           FormatCase{Format::Unicode23, 1}, FormatCase{Format::Unicode23, 2}));

TEST(Crc, CheckValueAndSample) {
  EXPECT_EQ(ComputeCrc(0, AsBytes("123456789")), 0x2DFD2D88u);
  EXPECT_EQ(ComputeCrc(0, {}), 0u);
  // Chained computation equals a single pass (odd split exercises the tail loop).
  const Buffer data = Pattern(1001, 3);
  const uint32_t whole = ComputeCrc(0, data);
  EXPECT_EQ(ComputeCrc(ComputeCrc(0, ByteSpan(data).first(13)), ByteSpan(data).subspan(13)), whole);
  EXPECT_EQ(ComputeSig(0x4E00, 0x4BC), 0x4ABC);
}

TEST(Crc, MatchesRealSampleHeaderAndPages) {
  REQUIRE_SAMPLE("outlook.pst");
  std::ifstream in(test::SamplePath("outlook.pst"), std::ios::binary);
  ASSERT_TRUE(in);
  std::string raw((std::istreambuf_iterator<char>(in)), {});
  Buffer f(reinterpret_cast<const std::byte*>(raw.data()), reinterpret_cast<const std::byte*>(raw.data()) + raw.size());
  ASSERT_GT(f.size(), 0x5000u);
  EXPECT_EQ(U(f, 4, 4), Crc(f, 8, 471));
  EXPECT_EQ(U(f, 524, 4), Crc(f, 8, 516));
  EXPECT_EQ(U(f, 0x4E00 + 500, 4), Crc(f, 0x4E00, 496));
  // The same structure our writer produces: AMap page at 0x4400, PMap at 0x4600.
  EXPECT_EQ(U(f, 0x4400 + 496, 1), 0x84u);
  EXPECT_EQ(U(f, 0x4400 + 504, 8), 0x4400u);
  EXPECT_EQ(U(f, 0x4600 + 496, 1), 0x83u);
  EXPECT_EQ(U(f, 0x4400 + 500, 4), Crc(f, 0x4400, 496));
}

TEST_P(NdbFormats, HeaderFieldsAndCrcs) {
  const auto [format, enc] = GetParam();
  NdbOptions opt;
  opt.format = format;
  opt.encryption = enc;
  NdbWriter w(opt);
  const uint32_t b21 = w.AddDataBlock(Bytes("store"));
  w.AddNode(0x21, b21, 0, 0);
  w.AddNode(0x122, 0, 0, 0x122);
  w.AddNode(0x200024, 0, 0, 0x122);
  const Buffer f = w.Build();
  const bool uni = format == Format::Unicode23;

  EXPECT_EQ(U(f, 0, 4), 0x4E444221u);  // "!BDN"
  EXPECT_EQ(U(f, 8, 2), 0x4D53u);
  EXPECT_EQ(U(f, 10, 2), uni ? 23u : format == Format::Ansi15 ? 15u : 14u);
  EXPECT_EQ(U(f, 4, 4), Crc(f, 8, 471));
  if (uni) {
    EXPECT_EQ(U(f, 524, 4), Crc(f, 8, 516));
  }
  EXPECT_EQ(U(f, uni ? 513 : 461, 1), static_cast<uint64_t>(enc));
  EXPECT_EQ(U(f, uni ? 512 : 460, 1), 0x80u);
  const int wd = uni ? 8 : 4;
  EXPECT_EQ(U(f, uni ? 184 : 168, wd), f.size());  // ibFileEof
  EXPECT_EQ(U(f, uni ? 192 : 172, wd), 0x4400u);   // ibAMapLast
  EXPECT_EQ(U(f, uni ? 224 : 188, wd), w.layout().nodeRoot);
  EXPECT_EQ(U(f, uni ? 240 : 196, wd), w.layout().blockRoot);
  EXPECT_EQ(U(f, uni ? 248 : 200, 1), 2u);                  // fAMapValid
  // rgnid: defaults, raised to cover the message node.
  const uint64_t rgnid = uni ? 44 : 36;
  EXPECT_EQ(U(f, rgnid + 4 * 2, 4), 0x400u);
  EXPECT_EQ(U(f, rgnid + 4 * 4, 4), 0x10001u);
  // Next BIDs lie above every BID used.
  const uint64_t nextB = uni ? U(f, 516, 8) : U(f, 24, 4);
  const uint64_t nextP = uni ? U(f, 32, 8) : U(f, 28, 4);
  EXPECT_GT(nextB, b21);
  EXPECT_GT(nextP, w.layout().NodeRootPage().bid);

  // Any header change is caught by the CRCs only when both are recomputed.
  Buffer g = f;
  g[20] = std::byte{1};
  EXPECT_NE(U(g, 4, 4), Crc(g, 8, 471));
}

TEST_P(NdbFormats, PagesBlocksAndEncoding) {
  const auto [format, enc] = GetParam();
  NdbOptions opt;
  opt.format = format;
  opt.encryption = enc;
  opt.nodeLeafFill = 3;
  opt.blockLeafFill = 4;
  opt.intermediateFill = 2;
  NdbWriter w(opt);
  std::vector<Buffer> contents;
  std::vector<uint32_t> bids;
  for (uint32_t i = 0; i < 30; ++i) {
    contents.push_back(Pattern(i * 37 % 300, i));
    bids.push_back(w.AddDataBlock(contents.back()));
  }
  for (uint32_t i = 0; i < 30; ++i) w.AddNode(0x21 + 0x20 * (29 - i), bids[i], 0, 0);
  const Buffer f = w.Build();
  Parsed p(f);
  EXPECT_TRUE(p.errors.empty()) << p.errors.front();

  // 30 blocks at 4 per leaf = 8 leaves, then 4, 2, 1 with two entries per page.
  EXPECT_EQ(p.bbtHeight, 4);
  EXPECT_EQ(p.nbtHeight, 5);  // 10 leaves -> 5 -> 3 -> 2 -> 1
  ASSERT_EQ(p.blocks.size(), 30u);
  ASSERT_EQ(p.nodes.size(), 30u);
  for (size_t i = 1; i < p.blocks.size(); ++i) EXPECT_LT(p.blocks[i - 1].bid, p.blocks[i].bid);
  for (size_t i = 1; i < p.nodes.size(); ++i) EXPECT_LT(p.nodes[i - 1].nid, p.nodes[i].nid);
  EXPECT_EQ(p.blocks.front().bid, 4u);  // first BID of a new store
  EXPECT_EQ(p.blocks.front().cref, 2u);
  EXPECT_EQ(w.layout().blockPages.size(), 4u);
  EXPECT_EQ(w.layout().nodePages.size(), 5u);

  for (uint32_t i = 0; i < 30; ++i) {
    Buffer stored = p.BlockData(f, bids[i]);
    ASSERT_EQ(stored.size(), contents[i].size());
    if (enc != 0 && stored.size() > 8) {
      EXPECT_NE(stored, contents[i]);
    }
    ASSERT_EQ(store::DecodeBlock(stored, enc, bids[i]), 0);
    EXPECT_EQ(stored, contents[i]) << "block " << i;
  }
  EXPECT_TRUE(p.errors.empty()) << p.errors.front();
  // The node whose data is block i has NID 0x21 + 0x20 * (29 - i).
  for (const auto& n : p.nodes) EXPECT_EQ(n.data, bids[29 - (n.nid - 0x21) / 0x20]);
}

TEST_P(NdbFormats, AllocationMapCoversEverything) {
  const auto [format, enc] = GetParam();
  NdbOptions opt;
  opt.format = format;
  opt.encryption = enc;
  NdbWriter w(opt);
  // Enough data to spill into a second and a ninth map range (the latter with a PMap).
  const Buffer big = Pattern(8000, 1);
  std::vector<uint32_t> bids;
  for (int i = 0; i < 300; ++i) bids.push_back(w.AddDataBlock(big));
  for (int i = 0; i < 300; ++i) w.AddNode(0x21 + 0x20 * i, bids[i], 0, 0);
  const Buffer f = w.Build();
  const Layout& l = w.layout();
  const bool uni = format == Format::Unicode23;
  ASSERT_GE(l.amapOffsets.size(), 10u);
  EXPECT_EQ(U(f, uni ? 192 : 172, uni ? 8 : 4), l.amapOffsets.back());

  auto bitSet = [&](uint64_t off) {
    const uint64_t k = (off - 0x4400) / 0x3E000;
    const uint64_t map = 0x4400 + k * 0x3E000;
    const uint64_t slot = (off - map) / 64;
    return (static_cast<uint8_t>(f[map + (uni ? 0 : 4) + slot / 8]) & (0x80 >> (slot % 8))) != 0;
  };
  uint64_t zeros = 0;
  for (size_t k = 0; k < l.amapOffsets.size(); ++k) {
    const uint64_t m = l.amapOffsets[k];
    EXPECT_EQ(m, 0x4400 + k * 0x3E000);
    EXPECT_EQ(U(f, m + (uni ? 496 : 500), 1), 0x84u);
    EXPECT_EQ(U(f, m + (uni ? 498 : 502), 2), 0u);
    EXPECT_EQ(U(f, m + 504, uni ? 8 : 4), m);
    EXPECT_EQ(U(f, m + (uni ? 500 : 508), 4), Crc(f, m, uni ? 496 : 500));
    EXPECT_EQ(U(f, m + (uni ? 0 : 4), 1), 0xFFu);  // own page
    if (k % 8 == 0) {
      EXPECT_EQ(U(f, m + 512 + (uni ? 496 : 500), 1), 0x83u);
      EXPECT_EQ(U(f, m + 512 + (uni ? 0 : 4), 1), 0xFFu);
      EXPECT_EQ(U(f, m + (uni ? 1 : 5), 1), 0xFFu);  // PMap slots
    }
    for (int i = 0; i < 496; ++i) zeros += 8 - std::popcount(static_cast<uint8_t>(f[m + (uni ? 0 : 4) + i]));
  }
  EXPECT_EQ(U(f, uni ? 200 : 176, uni ? 8 : 4), zeros * 64);  // cbAMapFree
  for (const auto& b : l.blocks) {
    for (uint64_t o = b.offset; o < b.offset + b.size; o += 64) ASSERT_TRUE(bitSet(o)) << b.bid;
  }
  for (const auto* levels : {&l.blockPages, &l.nodePages}) {
    for (const auto& level : *levels) {
      for (const auto& pg : level) {
        for (uint64_t o = pg.offset; o < pg.offset + 512; o += 64) ASSERT_TRUE(bitSet(o));
      }
    }
  }
  // Bits past the end of the file are set; the free tail inside the file is not.
  const uint64_t last = l.amapOffsets.back();
  EXPECT_TRUE(bitSet(last + 0x3E000 - 64));
  EXPECT_FALSE(bitSet(f.size() - 64));
}

TEST_P(NdbFormats, DataTreesAndSubnodeBlocks) {
  const auto [format, enc] = GetParam();
  NdbOptions opt;
  opt.format = format;
  opt.encryption = enc;
  NdbWriter w(opt);
  const bool uni = format == Format::Unicode23;
  const int wd = uni ? 8 : 4;
  const size_t max = w.maxBlockData();
  EXPECT_EQ(max, uni ? 8176u : 8180u);

  const Buffer large = Pattern(max * 2 + 100, 9);
  const uint32_t xbid = w.AddData(large);
  EXPECT_EQ(xbid & 2u, 2u);
  const uint32_t small = w.AddData(Bytes("tiny"));
  EXPECT_EQ(small & 2u, 0u);
  const uint32_t xx = w.AddDataTree({xbid, xbid}, static_cast<uint32_t>(2 * large.size()), 2);

  std::vector<SubnodeRef> many;
  for (uint32_t i = 0; i < 700; ++i) many.push_back({0x1F + 0x20 * i, small, 0});
  const uint32_t si = w.AddSubnodeBlock(many);
  const uint32_t nested = w.AddSubnodeBlock({{0x671, small, 0}, {0x8025, small, si}});
  w.AddNode(0x21, xbid, nested, 0);
  w.AddNode(0x61, xx, 0, 0);
  const Buffer f = w.Build();
  Parsed p(f);

  // XBLOCK: three children, full except the last, never encoded.
  const Buffer x = p.BlockData(f, xbid);
  ASSERT_EQ(x.size(), 8u + 3 * wd);
  EXPECT_EQ(U(x, 0, 1), 1u);
  EXPECT_EQ(U(x, 1, 1), 1u);
  EXPECT_EQ(U(x, 2, 2), 3u);
  EXPECT_EQ(U(x, 4, 4), large.size());
  Buffer joined;
  for (int i = 0; i < 3; ++i) {
    const uint64_t child = U(x, 8 + i * wd, wd);
    Buffer d = p.BlockData(f, child);
    EXPECT_EQ(d.size(), i < 2 ? max : 100u);
    ASSERT_EQ(store::DecodeBlock(d, enc, static_cast<uint32_t>(child)), 0);
    joined.insert(joined.end(), d.begin(), d.end());
  }
  EXPECT_EQ(joined, large);

  const Buffer xxb = p.BlockData(f, xx);
  EXPECT_EQ(U(xxb, 1, 1), 2u);
  EXPECT_EQ(U(xxb, 4, 4), 2 * large.size());

  // SIBLOCK over three SLBLOCKs (the most a leaf holds is 340 / 681 entries).
  const Buffer sib = p.BlockData(f, si);
  const int head = uni ? 8 : 4;
  const uint64_t leaves = uni ? 3 : 2;
  EXPECT_EQ(U(sib, 0, 1), 2u);
  EXPECT_EQ(U(sib, 1, 1), 1u);
  ASSERT_EQ(U(sib, 2, 2), leaves);
  uint64_t seen = 0;
  for (uint64_t i = 0; i < leaves; ++i) {
    const uint64_t firstNid = U(sib, head + i * 2 * wd, wd);
    const Buffer sl = p.BlockData(f, U(sib, head + i * 2 * wd + wd, wd));
    EXPECT_EQ(U(sl, 0, 2), 2u);  // type 2, level 0
    const uint64_t n = U(sl, 2, 2);
    EXPECT_EQ(U(sl, head, wd), firstNid);
    EXPECT_EQ(firstNid, many[seen].nid);
    seen += n;
  }
  EXPECT_EQ(seen, many.size());

  const Buffer sl = p.BlockData(f, nested);
  ASSERT_EQ(U(sl, 2, 2), 2u);
  EXPECT_EQ(U(sl, head + 3 * wd, wd), 0x8025u);
  EXPECT_EQ(U(sl, head + 5 * wd, wd), si);
  EXPECT_TRUE(p.errors.empty()) << p.errors.front();

  EXPECT_THROW(w.AddDataBlock(Pattern(10, 1)), std::logic_error);  // finished
}

TEST(NdbLimits, RejectsOversizedInput) {
  NdbWriter w;
  EXPECT_THROW(w.AddDataBlock(Pattern(8177, 0)), std::invalid_argument);
  EXPECT_THROW(w.AddDataTree(std::vector<uint32_t>(1022, 4), 1, 1), std::invalid_argument);
  EXPECT_THROW(w.AddDataTree({4}, 1, 3), std::invalid_argument);
  EXPECT_THROW(w.SetNodeLeafPages({std::vector<NodeLeafEntry>(16)}), std::invalid_argument);
  NdbOptions ansi;
  ansi.format = Format::Ansi14;
  ansi.blockBase = uint64_t{1} << 32;
  EXPECT_THROW(NdbWriter{ansi}, std::invalid_argument);
  NdbWriter a(NdbOptions{Format::Ansi14});
  EXPECT_NO_THROW(a.AddDataBlock(Pattern(8180, 0)));
}

TEST(NdbTrees, MinimumLevelsStackSingleEntryPages) {
  NdbOptions opt;
  opt.minNodeLevels = 4;
  opt.minBlockLevels = 3;
  NdbWriter w(opt);
  w.AddNode(0x21, w.AddDataBlock(Bytes("x")), 0, 0);
  const Buffer f = w.Build();
  Parsed p(f);
  EXPECT_TRUE(p.errors.empty());
  EXPECT_EQ(p.nbtHeight, 4);
  EXPECT_EQ(p.bbtHeight, 3);
  EXPECT_EQ(w.layout().NodeRootPage().level, 3);
  EXPECT_EQ(p.nodes.size(), 1u);
}

TEST(NdbDamage, ExplicitLeafPagesKeepOrderAndSplit) {
  NdbWriter w;
  // Children before their parent, a duplicate NID, an empty page, out of order keys.
  std::vector<std::vector<NodeLeafEntry>> pages = {
      {{0x21, 0, 0, 0}, {0x200024, 0, 0, 0x8062}, {0x200044, 0, 0, 0x8062}},
      {},
      {{0x8062, 0, 0, 0x122}, {0x8062, 0, 0, 0x8022}, {0x61, 0, 0, 0}},
  };
  w.SetNodeLeafPages(pages);
  w.AddNode(0x999, 0, 0, 0);  // ignored: explicit pages replace the node list
  const Buffer f = w.Build();
  const Layout& l = w.layout();
  ASSERT_EQ(l.nodePages[0].size(), 3u);
  EXPECT_EQ(l.nodePages[0][1].entries, 0);
  EXPECT_EQ(l.nodePages[0][1].firstKey, 0x200045u);  // promised key of the empty page
  EXPECT_EQ(l.nodeEntryOffsets.size(), 6u);
  Parsed p(f);
  ASSERT_EQ(p.nodes.size(), 6u);
  std::vector<uint32_t> nids;
  for (const auto& n : p.nodes) nids.push_back(n.nid);
  EXPECT_EQ(nids, (std::vector<uint32_t>{0x21, 0x200024, 0x200044, 0x8062, 0x8062, 0x61}));
  EXPECT_EQ(p.nodes[4].parent, 0x8022u);
  EXPECT_EQ(U(f, l.nodeEntryOffsets[5], 4), 0x61u);
}

TEST(NdbDamage, PatchHelpersKeepTrailersValid) {
  NdbOptions opt;
  opt.nodeLeafFill = 2;
  NdbWriter w(opt);
  const uint32_t a = w.AddDataBlock(Bytes("aaaa"));
  const uint32_t b = w.AddDataBlock(Bytes("bbbb"));
  for (uint32_t i = 0; i < 6; ++i) w.AddNode(0x21 + 0x20 * i, a, 0, 0);
  w.Finish();
  const Layout& l = w.layout();
  ASSERT_EQ(l.nodePages.size(), 2u);

  w.SetPageEntryKey(IndexTree::Node, 1, 0, 1, 0x12345);  // parent promises a wrong first key
  w.SetPageEntryKey(IndexTree::Node, 0, 2, 1, 0x22);     // out-of-order key on a leaf
  w.SetBlockEntrySize(b, 0x8004);                        // size with its top bit set
  w.SetChildOffset(IndexTree::Node, 1, 0, 2, 0x7FFFF000);  // unreadable child
  Buffer f = w.Build();
  const uint64_t root = l.nodeRoot;
  EXPECT_EQ(U(f, root + 24, 8), 0x12345u);
  EXPECT_EQ(U(f, root + 2 * 24 + 16, 8), 0x7FFFF000u);
  EXPECT_EQ(U(f, root + 500, 4), Crc(f, root, 496));
  const uint64_t leaf = l.nodePages[0][2].offset;
  EXPECT_EQ(U(f, leaf + 32, 8), 0x22u);
  EXPECT_EQ(U(f, leaf + 500, 4), Crc(f, leaf, 496));
  const BlockLocation* loc = l.FindBlock(b);
  ASSERT_NE(loc, nullptr);
  EXPECT_EQ(U(f, loc->entryOffset + 16, 2), 0x8004u);
  EXPECT_EQ(U(f, l.blockRoot + 500, 4), Crc(f, l.blockRoot, 496));
  EXPECT_EQ(U(f, 184, 8), f.size());  // the header still tells the original size

  // A self-referencing subnode block, and a file cut short.
  NdbWriter v;
  const uint32_t self = v.PeekNextBlockBid(true);
  EXPECT_EQ(v.AddSubnodeBlock({{0x671, 0, self}}), self);
  v.AddNode(0x21, 0, self, 0);
  const uint64_t full = v.Build().size();
  v.Truncate(full - 700);
  EXPECT_EQ(v.Build().size(), full - 700);
  EXPECT_EQ(v.layout().fileSize, full - 700);
}

TEST(NdbSparse, PagesAndBlocksBeyondFourGiB) {
  const auto path = std::filesystem::temp_directory_path() / ("ndb_sparse_" + std::to_string(::getpid()) + ".pst");
  NdbOptions opt;
  opt.blockBase = (uint64_t{1} << 32) + 0x10000;
  NdbWriter w(opt);
  const uint32_t d = w.AddDataBlock(Bytes("far away"));
  w.AddNode(0x21, d, 0, 0);
  w.Write(path.string());
  const Layout& l = w.layout();
  EXPECT_GT(l.blockRoot, uint64_t{1} << 32);
  EXPECT_GT(l.FindBlock(d)->offset, uint64_t{1} << 32);

  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(static_cast<uint64_t>(st.st_size), l.fileSize);
  EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, uint64_t{64} << 20);  // a hole, not 4 GiB of zeros

  // Read back the header and the root page through the file.
  std::ifstream in(path, std::ios::binary);
  Buffer head(564), page(512);
  in.read(reinterpret_cast<char*>(head.data()), 564);
  EXPECT_EQ(U(head, 240, 8), l.blockRoot);
  EXPECT_EQ(U(head, 184, 8), l.fileSize);
  EXPECT_EQ(U(head, 4, 4), Crc(head, 8, 471));
  EXPECT_EQ(U(head, 524, 4), Crc(head, 8, 516));
  in.seekg(static_cast<std::streamoff>(l.nodeRoot));
  in.read(reinterpret_cast<char*>(page.data()), 512);
  EXPECT_EQ(U(page, 0, 8), 0x21u);
  EXPECT_EQ(U(page, 500, 4), Crc(page, 0, 496));
  EXPECT_EQ(U(head, 248, 1), 0u);  // maps of the hole left out: marked invalid
  std::filesystem::remove(path);

  // On request the map pages inside a hole are written, and the maps stay valid.
  NdbOptions all;
  all.blockBase = 0x4400 + 5 * 0x3E000 + 0x1000;
  all.writeHoleMaps = true;
  NdbWriter v(all);
  v.AddNode(0x21, v.AddDataBlock(Bytes("x")), 0, 0);
  const Buffer f = v.Build();
  ASSERT_EQ(v.layout().amapOffsets.size(), 6u);
  EXPECT_EQ(U(f, 248, 1), 2u);
  for (uint64_t k = 1; k < 5; ++k) {
    const uint64_t m = 0x4400 + k * 0x3E000;
    EXPECT_EQ(U(f, m + 496, 1), 0x84u);
    EXPECT_EQ(U(f, m + 504, 8), m);
    EXPECT_EQ(U(f, m, 1), 0xFFu);
    EXPECT_EQ(U(f, m + 1, 1), 0u);
  }
  std::filesystem::remove(path);
}

TEST(NdbScale, HundredThousandNodes) {
  NdbWriter w;
  const uint32_t d = w.AddDataBlock(Bytes("n"));
  for (uint32_t i = 0; i < 100000; ++i) w.AddNode(((0x10001 + i) << 5) | 4, d, 0, 0x8022);
  w.AddNode(0x21, d, 0, 0);
  const Layout& l = w.layout();
  EXPECT_EQ(l.nodeEntryOffsets.size(), 100001u);
  EXPECT_EQ(l.nodePages[0].size(), (100001u + 14) / 15);
  EXPECT_EQ(l.nodePages.size(), 4u);  // 6667 -> 334 -> 17 -> 1
  EXPECT_EQ(l.nodePages[0][0].firstKey, 0x21u);
}

// --- Read back with the store reader -------------------------------------

class ReadBack : public ::testing::TestWithParam<FormatCase> {
 protected:
  std::string Path() {
    return (std::filesystem::temp_directory_path() /
            ("ndb_rb_" + std::to_string(::getpid()) + "_" + std::to_string(counter_++) + ".pst"))
        .string();
  }
  void TearDown() override {
    for (int i = 0; i < counter_; ++i)
      std::filesystem::remove(std::filesystem::temp_directory_path() /
                              ("ndb_rb_" + std::to_string(::getpid()) + "_" + std::to_string(i) + ".pst"));
  }
  int counter_ = 0;
};

INSTANTIATE_TEST_SUITE_P(All, ReadBack,
                         ::testing::Values(FormatCase{Format::Ansi14, 1}, FormatCase{Format::Ansi15, 0},
                                           FormatCase{Format::Unicode23, 1}));

TEST_P(ReadBack, ReaderLoadsEveryBlockAndNode) {
  const auto [format, enc] = GetParam();
  for (int fill : {0, 3}) {
    NdbOptions opt;
    opt.format = format;
    opt.encryption = enc;
    opt.nodeLeafFill = fill;
    opt.blockLeafFill = fill;
    opt.intermediateFill = fill;
    NdbWriter w(opt);
    const Buffer big = Pattern(20000, 5);
    const uint32_t tree = w.AddData(big);
    const uint32_t x = w.AddDataBlock(Bytes("leaf data"));
    const uint32_t sub = w.AddSubnodeBlock({{0x671, x, 0}, {0x8025, x, 0}});
    w.AddNode(0x21, tree, sub, 0);
    w.AddNode(0x61, x, 0, 0);
    w.AddNode(0x122, x, 0, 0x122);
    w.AddNode(0x8022, x, 0, 0x122);
    for (uint32_t i = 0; i < 200; ++i) w.AddNode(((0x10001 + i) << 5) | 4, x, 0, 0x8022);
    const std::string path = Path();
    w.Write(path);

    store::Store s;
    ASSERT_EQ(store::OpenStore(s, path), 0);
    ASSERT_EQ(store::LoadIndexes(s), 0);
    EXPECT_EQ(s.data->blocks.size(), w.BlockEntries().size());
    EXPECT_EQ(s.data->nodes.createdCount(), 204u);
    const store::NodeEntry* folder = store::FindNode(s, 0x8022);
    ASSERT_NE(folder, nullptr);
    size_t children = 0;
    for (auto* c = folder->firstChild; c; c = c->nextSibling) ++children;
    EXPECT_EQ(children, 200u);
    const auto data = store::ReadDataTree(s, tree);
    ASSERT_TRUE(data.has_value());
    ASSERT_GE(data->size(), big.size());
    EXPECT_TRUE(std::equal(big.begin(), big.end(), data->begin()));
    const store::NodeEntry* root = store::FindNode(s, 0x21);
    ASSERT_NE(root, nullptr);
    const store::SubnodeList* list = store::ReadSubnodeList(s, root->subnodeBlock);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->size(), 2u);
    EXPECT_EQ((*list)[1].nid, 0x8025u);
  }
}

}  // namespace
}  // namespace velmorix::storebuilder

namespace velmorix::storebuilder {
namespace {

TEST(MinimalStore, ReaderSeesFolderHierarchyAndBulkMessages) {
  for (Format format : {Format::Ansi14, Format::Unicode23}) {
    NdbOptions opt;
    opt.format = format;
    NdbWriter w(opt);
    AddMinimalNodes(w, 500, true);
    EXPECT_EQ(BulkMessageNid(0), 0x200024u);
    const auto path = std::filesystem::temp_directory_path() / ("ndb_min_" + std::to_string(::getpid()) + ".pst");
    w.Write(path.string());
    store::Store s;
    ASSERT_EQ(store::OpenStore(s, path.string()), 0);
    ASSERT_EQ(store::LoadIndexes(s), 0);
    EXPECT_EQ(s.data->nodes.createdCount(), w.nodeCount());
    EXPECT_EQ(s.data->blocks.size(), w.blockCount());
    const store::NodeEntry* ipm = store::FindNode(s, 0x8022);
    ASSERT_NE(ipm, nullptr);
    ASSERT_NE(ipm->parent, nullptr);
    EXPECT_EQ(ipm->parent->nid, 0x122u);
    size_t children = 0;
    for (auto* c = ipm->firstChild; c; c = c->nextSibling) ++children;
    EXPECT_EQ(children, 501u);  // Deleted Items and the messages
    ASSERT_NE(store::FindNode(s, 0x21), nullptr);
    EXPECT_EQ(store::FindNode(s, 0x1E1)->dataBlock, nullptr);  // empty node
    const auto heap = store::ReadNodeBlock(s, store::FindNode(s, 0x21)->dataBlock->bid);
    ASSERT_TRUE(heap.has_value());
    EXPECT_EQ(static_cast<uint8_t>((*heap)[2]), 0xECu);
    std::filesystem::remove(path);
  }
}

}  // namespace
}  // namespace velmorix::storebuilder

namespace velmorix::storebuilder {
namespace {

// The damage helpers produce files the reader reacts to as intended.
TEST(NdbDamage, ReaderSkipsDamagedSubtrees) {
  const auto path = std::filesystem::temp_directory_path() / ("ndb_dmg_" + std::to_string(::getpid()) + ".pst");
  auto load = [&](NdbWriter& w) {
    w.Write(path.string());
    store::Store s;
    EXPECT_EQ(store::OpenStore(s, path.string()), 0);
    const int r = store::LoadIndexes(s);
    std::filesystem::remove(path);
    return std::make_pair(r, s.data->nodes.createdCount());
  };
  auto make = [](NdbWriter& w) {
    const uint32_t d = w.AddDataBlock(Bytes("d"));
    for (uint32_t i = 0; i < 45; ++i) w.AddNode(0x21 + 0x20 * i, d, 0, 0);  // three full leaf pages
  };
  {
    NdbWriter w;
    make(w);
    EXPECT_EQ(load(w), std::make_pair(0, size_t{45}));
  }
  {
    NdbWriter w;  // the second leaf is not the page its parent promised
    make(w);
    w.Finish();
    w.SetPageEntryKey(IndexTree::Node, 1, 0, 1, 0x21 + 0x20 * 16);
    EXPECT_EQ(load(w), std::make_pair(0, size_t{30}));
  }
  {
    NdbWriter w;  // the third leaf lies beyond the end of the file
    make(w);
    w.Finish();
    w.SetChildOffset(IndexTree::Node, 1, 0, 2, w.layout().fileSize + 0x10000);
    EXPECT_EQ(load(w), std::make_pair(0, size_t{30}));
  }
  {
    NdbWriter w;  // the node index root is cut off
    make(w);
    w.Finish();
    w.Truncate(w.layout().nodeRoot + 100);
    EXPECT_EQ(load(w).first, -1);
  }
}

}  // namespace
}  // namespace velmorix::storebuilder
