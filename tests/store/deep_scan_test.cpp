// The deep scan on builder mailboxes of every variant: intact, cut before
// their index pages, with a garbled header, and on hostile files.
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "format/vocabulary.h"
#include "store/deep_scan.h"
#include "store/store.h"
#include "storebuilder/mailbox.h"

namespace velmorix {
namespace {

namespace sb = storebuilder;

std::string TempPath(const std::string& name) {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string unique = std::to_string(::getpid()) + "_deep_" + info->name() + "_" + name;
  for (char& c : unique) {
    if (c == '/') c = '_';
  }
  return (std::filesystem::temp_directory_path() / unique).string();
}

struct TempFile {
  explicit TempFile(const std::string& name, const Buffer& bytes) : path(TempPath(name)) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  ~TempFile() { std::filesystem::remove(path); }
  std::string path;
};

constexpr int kMails = 40;

struct Built {
  Buffer image;
  std::set<uint32_t> mails;
  sb::Layout layout;
};

Built BuildMailbox(sb::Format format, int encryption) {
  sb::MailboxOptions options;
  options.ndb.format = format;
  options.ndb.encryption = encryption;
  sb::MailboxBuilder mb(options);
  const uint32_t inbox = mb.AddFolder(mb.topFolder(), "Inbox");
  Built b;
  for (int i = 0; i < kMails; ++i) {
    sb::MailFields f;
    f.subject = "Deep " + std::to_string(i);
    f.senderName = "Sender";
    f.body = std::string(100 + 300 * (i % 5), 'x');
    b.mails.insert(mb.AddItem(i % 2 ? inbox : mb.topFolder(), sb::MakeMail(f)));
  }
  mb.Finish();
  b.image = mb.Build();
  b.layout = mb.ndb().layout();
  return b;
}

class DeepScanTest : public ::testing::TestWithParam<sb::Format> {};

TEST_P(DeepScanTest, IntactStoreRebuildsTheLiveIndexesAndFindsNoOrphans) {
  const Built b = BuildMailbox(GetParam(), GetParam() == sb::Format::Unicode4K ? 0 : 1);
  TempFile file("intact", b.image);
  store::Store s;
  ASSERT_EQ(store::OpenStore(s, file.path), 0);
  ASSERT_EQ(store::LoadIndexes(s), 0);
  EXPECT_EQ(s.indexPagesLost, 0u);
  EXPECT_EQ(s.nodesWithoutBlocks, 0u);
  uint64_t lastDone = 0;
  const store::DeepScanResult r =
      store::DeepScan(s, s.data.get(), [&](uint64_t done, uint64_t total) {
        EXPECT_GE(done, lastDone);
        EXPECT_EQ(total, s.fileSize());
        lastDone = done;
      });
  EXPECT_EQ(lastDone, s.fileSize());
  ASSERT_TRUE(r.report.completed);
  EXPECT_TRUE(r.report.headerIntact);
  EXPECT_EQ(r.report.blocks, s.data->blocks.size());
  EXPECT_EQ(r.data->blocks.size(), s.data->blocks.size());
  EXPECT_EQ(r.data->nodes.createdCount(), s.data->nodes.createdCount());
  EXPECT_EQ(r.report.orphans, 0u);
  for (uint32_t nid : b.mails) {
    const store::NodeEntry* e = r.data->nodes.FindReadOnly(nid);
    ASSERT_NE(e, nullptr);
    ASSERT_NE(e->dataBlock, nullptr);
    EXPECT_EQ(e->dataBlock->offset, store::FindNode(s, nid)->dataBlock->offset);
  }
}

// Builder stores keep their index pages after the blocks: a cut before them
// leaves no index at all, and every mail is found as a property context.
TEST_P(DeepScanTest, FileCutBeforeItsIndexesGivesEveryMailAsAnOrphan) {
  Built b = BuildMailbox(GetParam(), GetParam() == sb::Format::Unicode4K ? 0 : 2);
  uint64_t firstPage = b.image.size();
  for (const auto* tree : {&b.layout.blockPages, &b.layout.nodePages}) {
    for (const auto& level : *tree) {
      for (const auto& page : level) firstPage = std::min<uint64_t>(firstPage, page.offset);
    }
  }
  b.image.resize(firstPage);
  TempFile file("cut", b.image);
  store::Store s;
  ASSERT_EQ(store::OpenStore(s, file.path), 0);
  const store::DeepScanResult r = store::DeepScan(s, nullptr);
  ASSERT_TRUE(r.report.completed);
  EXPECT_EQ(r.report.nodePages, 0u);
  // The mails, the folders and the store's own contexts.
  EXPECT_GE(r.orphanNids.size(), b.mails.size());
  s.data = r.data;
  for (uint32_t nid : r.orphanNids) {
    EXPECT_EQ(nid & 0x1F, format::kNidTypeNormalMessage);
    const store::NodeEntry* e = r.data->nodes.FindReadOnly(nid);
    ASSERT_NE(e, nullptr);
    auto data = store::ReadNodeBlock(s, e->dataBlock->bid);
    ASSERT_TRUE(data);
    EXPECT_EQ((*data)[2], std::byte{0xEC});
    EXPECT_EQ((*data)[3], std::byte{0xBC});
  }
}

// A garbled header: the variant and the encoding come from the pages and
// blocks, and the node index comes from its leaf pages.
TEST_P(DeepScanTest, GarbledHeaderIsReadFromThePages) {
  const int encryption = GetParam() == sb::Format::Unicode4K ? 0 : 1;
  Built b = BuildMailbox(GetParam(), encryption);
  for (size_t i = 0; i < 564; ++i) b.image[i] = static_cast<std::byte>(i * 37 + 11);
  TempFile file("header", b.image);
  store::Store s;
  ASSERT_EQ(store::OpenStore(s, file.path), 0);
  const store::DeepScanResult r = store::DeepScan(s, nullptr);
  ASSERT_TRUE(r.report.completed);
  EXPECT_FALSE(r.report.headerIntact);
  const store::Variant expected = GetParam() == sb::Format::Ansi14      ? store::Variant::Ansi
                                  : GetParam() == sb::Format::Unicode23 ? store::Variant::Unicode
                                                                        : store::Variant::Unicode4K;
  EXPECT_EQ(r.report.variant, expected);
  EXPECT_EQ(r.report.encryptionMethod, encryption);
  EXPECT_EQ(r.report.orphans, 0u);
  for (uint32_t nid : b.mails) {
    const store::NodeEntry* e = r.data->nodes.FindReadOnly(nid);
    ASSERT_NE(e, nullptr) << nid;
    EXPECT_NE(e->dataBlock, nullptr);
    ASSERT_NE(e->parent, nullptr);
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, DeepScanTest,
                         ::testing::Values(sb::Format::Ansi14, sb::Format::Unicode23, sb::Format::Unicode4K),
                         [](const auto& info) {
                           switch (info.param) {
                             case sb::Format::Ansi14: return std::string("Ansi");
                             case sb::Format::Unicode4K: return std::string("Unicode4K");
                             default: return std::string("Unicode");
                           }
                         });

// Hostile files: many copies of one valid block and one valid node leaf
// page, and a file of nothing but trailers that claim one BID. Bounded time,
// one block per BID, no crash.
TEST(DeepScanHostile, RepeatedPagesAndBlocksStayBounded) {
  const Built b = BuildMailbox(sb::Format::Unicode23, 0);
  const sb::PageInfo& leaf = b.layout.nodePages.front().front();
  const sb::BlockLocation& block = b.layout.blocks.front();
  Buffer image(b.image.begin(), b.image.begin() + 0x4400);
  // The same page and block bytes at new offsets: signatures no longer hold
  // there, except where the copy lands at its own offset.
  for (int i = 0; i < 2000; ++i) {
    image.insert(image.end(), b.image.begin() + static_cast<std::ptrdiff_t>(leaf.offset),
                 b.image.begin() + static_cast<std::ptrdiff_t>(leaf.offset + 512));
    image.insert(image.end(), b.image.begin() + static_cast<std::ptrdiff_t>(block.offset),
                 b.image.begin() + static_cast<std::ptrdiff_t>(block.offset + 512));
  }
  // Valid trailers claiming BID 8 over and over, each signed for its offset.
  const store::VariantLayout& L = store::kUnicodeLayout;
  for (int i = 0; i < 4000; ++i) {
    const uint64_t at = image.size();
    Buffer slot(64, std::byte{0x33});
    const uint16_t cb = 40;
    const uint32_t crc = store::ComputeCrc(0, ByteSpan(slot).first(cb));
    const uint16_t sig = store::ComputeSig(at, 8);
    std::memcpy(slot.data() + 48, &cb, 2);
    std::memcpy(slot.data() + 50, &sig, 2);
    std::memcpy(slot.data() + 48 + L.blockTrailer.crcAt, &crc, 4);
    const uint64_t bid = 8;
    std::memcpy(slot.data() + 48 + L.blockTrailer.bidAt, &bid, 8);
    image.insert(image.end(), slot.begin(), slot.end());
  }
  TempFile file("hostile", image);
  store::Store s;
  ASSERT_EQ(store::OpenStore(s, file.path), 0);
  const auto start = std::chrono::steady_clock::now();
  const store::DeepScanResult r = store::DeepScan(s, nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  ASSERT_TRUE(r.report.completed);
  EXPECT_GE(r.report.blocks, 4000u);
  size_t withBid8 = 0;
  for (const auto& e : r.data->blocks.entries()) withBid8 += e.bid == 8;
  EXPECT_EQ(withBid8, 1u);
}

TEST(DeepScanHostile, StopRequestEndsTheScan) {
  const Built b = BuildMailbox(sb::Format::Ansi14, 1);
  TempFile file("stop", b.image);
  store::Store s;
  ASSERT_EQ(store::OpenStore(s, file.path), 0);
  std::atomic<bool> stop{true};
  s.stopRequest = &stop;
  EXPECT_FALSE(store::DeepScan(s, nullptr).report.completed);
}

}  // namespace
}  // namespace velmorix
