// Damaged and hostile items: clear results, never a crash, hang or runaway
// allocation.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include "content_test_util.h"
#include "damage/damage.h"
#include "format/vocabulary.h"
#include "storebuilder/rtf.h"

namespace velmorix::content::testing {
namespace {

Buffer Le(uint64_t v, size_t width) {
  Buffer b(width);
  for (size_t i = 0; i < width; ++i) b[i] = std::byte((v >> (8 * i)) & 0xFF);
  return b;
}

// What a hand-written mail's single attachment keeps in its own subnodes,
// given the mail's data block, the BID its subnode block will get and the
// values its property context placed in subnodes.
using AttachmentSubnodes = std::function<std::vector<sb::SubnodeRef>(
    uint32_t mailData, uint32_t ownBlock, const std::vector<sb::LtpSubnode>& values)>;

// Writes a mail by hand (class, subject, one attachment with `props`) into
// the builder's node database; returns its NID.
uint32_t WriteRawMail(sb::MailboxBuilder& mb, std::vector<sb::PcProperty> props,
                      const AttachmentSubnodes& subnodes) {
  sb::NdbWriter& ndb = mb.ndb();
  const bool uni = mb.unicode();
  auto text = [&](std::string_view s) { return uni ? sb::Utf16le(s) : sb::Windows1252(s); };
  const uint16_t textType = uni ? format::kPtypString : format::kPtypString8;
  sb::SubnodeNids nids;
  sb::LtpNode mail = sb::BuildPropertyContext({{0x001A, textType, text("IPM.Note")}, {0x0037, textType, text("raw")}},
                                              uni, nids);
  const uint32_t mailData = ndb.AddData(mail.pages[0]);
  sb::LtpNode attachment = sb::BuildPropertyContext(std::move(props), uni, nids);
  const uint32_t attachmentData = ndb.AddData(attachment.pages[0]);
  const uint32_t predicted = ndb.PeekNextBlockBid(true);
  const std::vector<sb::SubnodeRef> own = subnodes(mailData, predicted, attachment.subnodes);
  const uint32_t ownBlock = own.empty() ? 0 : ndb.AddSubnodeBlock(own);
  sb::TableWriter table({0x37050003}, uni, nids);
  const sb::TcCell method{0x37050003, Le(5, 4)};
  table.AddRow(0x8025, std::span(&method, 1));
  sb::LtpNode tableNode = table.Finish();
  const uint32_t tableData = ndb.AddData(tableNode.pages[0]);
  const uint32_t mailSubnodes = ndb.AddSubnodeBlock({{0x671, tableData, 0}, {0x8025, attachmentData, ownBlock}});
  const uint32_t nid = (0x30000u << 5) | 4;
  ndb.AddNode(nid, mailData, mailSubnodes, mb.topFolder());
  return nid;
}

TEST(DamagedItems, AMessageThatContainsItselfIsNotFollowed) {
  sb::MailboxBuilder mb(Options());
  const uint32_t object = 0x801F;
  Buffer value = Le(object, 4);
  Buffer size = Le(100, 4);
  value.insert(value.end(), size.begin(), size.end());
  const uint32_t nid = WriteRawMail(
      mb, {{0x3705, format::kPtypInteger32, Le(5, 4)}, {0x3701, format::kPtypObject, value, sb::Placement::Heap}},
      [&](uint32_t mailData, uint32_t ownBlock, const std::vector<sb::LtpSubnode>&) {
        // The embedded message is the mail itself, with these very subnodes
        // (the block written next gets `ownBlock`).
        return std::vector<sb::SubnodeRef>{{object, mailData, ownBlock}};
      });
  Written w(mb);
  Item item = w.Read(nid);
  ASSERT_EQ(item.attachments.size(), 1u);
  const Attachment& a = item.attachments[0];
  EXPECT_TRUE(a.isEmbeddedMessage());
  EXPECT_FALSE(a.readable);
  EXPECT_TRUE(a.damaged);
  EXPECT_EQ(a.problem, "the embedded message contains itself");
  std::string error;
  EXPECT_FALSE(w.reader->ReadEmbedded(a, {}, &error));
  EXPECT_EQ(error, "the embedded message contains itself");
}

TEST(DamagedItems, AttachmentDataThatIsMissingOrMalformed) {
  for (int variant : {0, 1}) {
    sb::MailboxBuilder mb(Options());
    const uint32_t nid = WriteRawMail(
        mb, {{0x3705, format::kPtypInteger32, Le(1, 4)},
             {0x3704, format::kPtypString, sb::Utf16le("gone.bin")},
             {0x3701, format::kPtypBinary, Buffer(50, std::byte{1}), sb::Placement::Subnode}},
        [&](uint32_t, uint32_t, const std::vector<sb::LtpSubnode>& values) {
          std::vector<sb::SubnodeRef> refs;
          if (variant == 1) {
            // A data tree naming a block the file does not hold.
            Buffer xblock = {std::byte{1}, std::byte{1}, std::byte{1}, std::byte{0}};
            Buffer total = Le(50, 4), child = Le(0xFFFFF0, 8);
            xblock.insert(xblock.end(), total.begin(), total.end());
            xblock.insert(xblock.end(), child.begin(), child.end());
            refs.push_back({values.at(0).nid, mb.ndb().AddRawBlock(xblock, true), 0});
          }
          return refs;
        });
    Written w(mb);
    Item item = w.Read(nid);
    ASSERT_EQ(item.attachments.size(), 1u) << variant;
    const Attachment& a = item.attachments[0];
    EXPECT_EQ(a.fileName, "gone.bin");
    EXPECT_FALSE(a.readable);
    EXPECT_TRUE(a.damaged);
    EXPECT_EQ(a.problem, variant == 0 ? "the attachment's data is missing" : "the attachment's data cannot be read");
    EXPECT_EQ(item.problems, std::vector<std::string>{a.problem});
    std::string error;
    EXPECT_FALSE(w.reader->ReadAttachment(a, [](ByteSpan) { return true; }, &error));
  }
}

TEST(DamagedItems, ALinkedAttachmentIsNotDamage) {
  sb::MailboxBuilder mb(Options());
  const uint32_t nid = WriteRawMail(
      mb, {{0x3705, format::kPtypInteger32, Le(4, 4)}, {0x370D, format::kPtypString, sb::Utf16le("C:\\docs\\plan.pdf")}},
      [](uint32_t, uint32_t, const std::vector<sb::LtpSubnode>&) { return std::vector<sb::SubnodeRef>{}; });
  Written w(mb);
  Item item = w.Read(nid);
  ASSERT_EQ(item.attachments.size(), 1u);
  EXPECT_FALSE(item.attachments[0].readable);
  EXPECT_FALSE(item.attachments[0].damaged);
  EXPECT_EQ(item.attachments[0].problem, "the attachment is a link to a file outside the store: C:\\docs\\plan.pdf");
  EXPECT_TRUE(item.problems.empty());
}

TEST(DamagedItems, DamagedBodiesAndTablesGiveWhatCanBeRead) {
  sb::MailboxBuilder mb(Options());
  Buffer badCrc = sb::CompressRtf("{\\rtf1\\ansi Readable text\\par}");
  badCrc[12] ^= std::byte{0x55};
  sb::Item crc = sb::MakeMail({});
  crc.props.Binary(0x1009, badCrc);
  const uint32_t crcNid = mb.AddItem(mb.topFolder(), crc);

  sb::Item garbage = sb::MakeMail({});
  garbage.props.Binary(0x1009, Bytes("not a compressed stream at all"));
  const uint32_t garbageNid = mb.AddItem(mb.topFolder(), garbage);

  sb::Item namesOnly = sb::MakeMail({});
  namesOnly.recipients = {{"Only Name", "lost@example.com", 2}};
  namesOnly.recipientColumns = std::vector<uint32_t>{0x3001001F};
  const uint32_t namesOnlyNid = mb.AddItem(mb.topFolder(), namesOnly);

  sb::Item noColumns = sb::MakeMail({});
  noColumns.recipients = {{"Nobody", "n@example.com", 1}};
  noColumns.recipientColumns = std::vector<uint32_t>{0x0C150003};
  const uint32_t noColumnsNid = mb.AddItem(mb.topFolder(), noColumns);
  Written w(mb);

  Item c = w.Read(crcNid);
  EXPECT_TRUE(c.bodies.rtf.damaged);
  EXPECT_EQ(c.bodies.rtf.text, "{\\rtf1\\ansi Readable text\\par}");
  EXPECT_EQ(c.bodies.plain.source, BodySource::FromRtf);
  EXPECT_EQ(c.bodies.plain.text, "Readable text\r\n");
  EXPECT_TRUE(c.bodies.plain.damaged);
  EXPECT_EQ(c.problems, std::vector<std::string>{"the compressed RTF fails its CRC check"});

  Item g = w.Read(garbageNid);
  EXPECT_TRUE(g.bodies.rtf.present());
  EXPECT_TRUE(g.bodies.rtf.damaged);
  EXPECT_TRUE(g.bodies.rtf.text.empty());
  EXPECT_FALSE(g.bodies.plain.present());

  Item n = w.Read(namesOnlyNid);
  ASSERT_EQ(n.recipients.size(), 1u);
  EXPECT_EQ(n.recipients[0].name, "Only Name");
  EXPECT_EQ(n.recipients[0].type, RecipientType::To);
  EXPECT_TRUE(n.recipients[0].address.empty());
  EXPECT_TRUE(w.Read(noColumnsNid).recipients.empty());
}

TEST(DamagedItems, EmbeddingDepthIsBounded) {
  sb::MailboxBuilder mb(Options());
  std::shared_ptr<sb::Item> chain;
  for (int level = kMaxEmbeddingDepth + 2; level >= 1; --level) {
    sb::MailFields f;
    f.subject = "level " + std::to_string(level);
    auto item = std::make_shared<sb::Item>(sb::MakeMail(f));
    if (chain) {
      sb::Attachment a;
      a.embedded = chain;
      item->attachments.push_back(a);
    }
    chain = item;
  }
  sb::Item top = sb::MakeMail({});
  sb::Attachment a;
  a.embedded = chain;
  top.attachments.push_back(a);
  const uint32_t nid = mb.AddItem(mb.topFolder(), top);
  Written w(mb);

  std::optional<Item> item = w.Read(nid);
  int depth = 0;
  while (item && !item->attachments.empty() && item->attachments[0].readable) {
    item = w.reader->ReadEmbedded(item->attachments[0]);
    ASSERT_TRUE(item);
    EXPECT_EQ(item->depth, ++depth);
    EXPECT_EQ(item->subject, "level " + std::to_string(depth));
  }
  EXPECT_EQ(depth, kMaxEmbeddingDepth);
  ASSERT_EQ(item->attachments.size(), 1u);
  EXPECT_EQ(item->attachments[0].problem, "the embedded message is nested too deeply");
}

TEST(DamagedItems, UnknownIdsAndEmptyNodes) {
  sb::MailboxBuilder mb(Options());
  mb.ndb().AddNode((0x30001u << 5) | 4, 0, 0, mb.topFolder());
  Written w(mb);
  std::string error;
  EXPECT_FALSE(w.reader->Read(0x12345678, {}, &error));
  EXPECT_EQ(error, "there is no item with this id");
  EXPECT_FALSE(w.reader->Contains(0x12345678));
  EXPECT_FALSE(w.reader->Read((0x30001u << 5) | 4, {}, &error));
  EXPECT_EQ(error, "the item holds no data");

  TempPathGuard text(TempPath("text", ".txt"));
  std::ofstream(text.path()) << "not a store";
  EXPECT_FALSE(ItemReader::Open(text.path(), &error));
  EXPECT_FALSE(ItemReader::Open(text.path() + ".missing", &error));
  EXPECT_EQ(error, "the file cannot be opened");
}

// Every mail of damaged variants of the harness mailbox is read in full
// (attachments and embedded messages included): whatever comes back, the
// reader ends.
TEST(DamagedItems, DamagedStoresReadWithoutFault) {
  for (sb::Format format : {sb::Format::Unicode23, sb::Format::Ansi14}) {
    const damage::Mailbox mailbox = damage::BuildSampleMailbox(format, 24, 7);
    for (damage::DamageKind kind : damage::kAllKinds) {
      for (uint64_t seed = 1; seed <= 3; ++seed) {
        const damage::Variant v = damage::MakeVariant(mailbox, kind, seed);
        TempPathGuard file(TempPath("damaged"));
        std::ofstream(file.path(), std::ios::binary)
            .write(reinterpret_cast<const char*>(v.image.data()), static_cast<std::streamsize>(v.image.size()));
        auto reader = ItemReader::Open(file.path());
        if (!reader) continue;
        for (size_t m = 0; m < mailbox.mails.size(); ++m) {
          auto item = reader->Read(mailbox.mails[m].spec.nid);
          if (v.intact[m]) {
            ASSERT_TRUE(item) << v.description;
            EXPECT_EQ(item->subject, mailbox.mails[m].spec.subject) << v.description;
          }
          if (!item) continue;
          for (const Attachment& a : item->attachments) {
            reader->ReadAttachment(a, [](ByteSpan) { return true; });
            reader->ReadEmbedded(a);
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace velmorix::content::testing
