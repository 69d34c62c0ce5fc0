// Item assembly on stores written by the store builder, in both variants:
// mails with their bodies and attachments, the other item kinds, heaps over
// several blocks, tables kept in subnodes, and damaged data trees.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "format/vocabulary.h"
#include "items/items.h"
#include "storebuilder/ltp.h"
#include "storebuilder/mailbox.h"
#include "storebuilder/ndb.h"
#include "test_util.h"

namespace velmorix::items {
namespace {

namespace sb = storebuilder;
using testing::Le;
using testing::PutLe;

// A file name of its own for the running test.
std::string TempPath(const std::string& prefix) {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = prefix + "_" + info->test_suite_name() + "_" + info->name() + ".pst";
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  return (std::filesystem::temp_directory_path() / name).string();
}

std::string FormatName(sb::Format f) {
  return f == sb::Format::Unicode23 ? "Unicode" : f == sb::Format::Unicode4K ? "Unicode4K" : "Ansi";
}

// A written store, opened with its indexes and named-property map loaded.
struct OpenedStore {
  explicit OpenedStore(const std::string& path) {
    EXPECT_EQ(store::OpenStore(store, path), 0);
    EXPECT_EQ(store::LoadIndexes(store), 0);
    LoadNamedPropertyMap(store, names);
  }
  std::unique_ptr<ItemRecord> Build(uint32_t nid) {
    ItemContext ctx(store, &names);
    return BuildItem(ctx, store::FindNode(store, nid));
  }
  const store::SubnodeList* Subnodes(uint32_t nid) {
    auto* n = store::FindNode(store, nid);
    return n ? store::ReadSubnodeList(store, n->subnodeBlock) : nullptr;
  }
  store::Store store;
  NamedPropertyMap names;
};

class BuildItemTest : public ::testing::TestWithParam<sb::Format> {
 protected:
  bool unicode() const { return GetParam() != sb::Format::Ansi14; }

  sb::MailboxOptions Options(int encryption = 1) {
    sb::MailboxOptions o;
    o.ndb.format = GetParam();
    o.ndb.encryption = encryption;
    return o;
  }

  std::unique_ptr<OpenedStore> Open(sb::MailboxBuilder& b) {
    path_ = TempPath("vx_items");
    b.Write(path_);
    return std::make_unique<OpenedStore>(path_);
  }
  void TearDown() override {
    if (!path_.empty()) std::filesystem::remove(path_);
  }

  // The stored form of a text: UTF-16LE or Windows-1252.
  Buffer Stored(std::string_view s) const { return unicode() ? sb::Utf16le(s) : sb::Windows1252(s); }

  std::string path_;
};

TEST_P(BuildItemTest, MailWithHeapBodyAndAttachments) {
  sb::MailboxBuilder b(Options(0));
  sb::MailFields f;
  f.subject = "Quarterly report";
  f.senderName = "Ann Sender";
  f.displayTo = "Bob Receiver";
  f.body = "The body of the mail.";
  sb::Item mail = sb::MakeMail(f);
  sb::Attachment a;
  a.fileName = "a.txt";
  a.data = testing::Bytes("AAA");
  mail.attachments.push_back(a);
  a.fileName = "b.txt";
  a.data = testing::Bytes("BBBB");
  mail.attachments.push_back(a);
  const uint32_t nid = b.AddItem(b.topFolder(), mail);
  auto s = Open(b);

  auto item = s->Build(nid);
  ASSERT_TRUE(item);
  EXPECT_EQ(item->kind, kKindMail);
  EXPECT_EQ(item->messageClass.view(), "IPM.Note");
  ASSERT_TRUE(item->details);
  EXPECT_EQ(item->details->subject->text.view(), "Quarterly report");
  EXPECT_EQ(item->details->sentRepresentingName.view(), "Ann Sender");
  EXPECT_EQ(item->details->displayTo.view(), "Bob Receiver");
  EXPECT_EQ(item->details->bodyText.size(), 0u);

  // The body is located, not copied: its bytes stand at the recorded offset.
  const BodySlot& slot = item->bodyLocator.plainSlot;
  EXPECT_EQ(item->bodyLocator.lastKind, 1);
  EXPECT_EQ(item->bodyLocator.marker, unicode() ? 2 : 0);
  ASSERT_EQ(slot.source, kSourceHeap);
  const Buffer expected = Stored(f.body);
  ASSERT_EQ(slot.size, expected.size());
  Buffer onDisk;
  const store::BlockEntry* block = store::FindNode(s->store, nid)->dataBlock;
  if (block->compressed()) {
    // Stored compressed: the offset counts into the block's inflated bytes.
    auto inflated = store::ReadNodeBlock(s->store, block->bid);
    ASSERT_TRUE(inflated);
    const size_t at = slot.location - block->offset;
    ASSERT_LE(at + slot.size, inflated->size());
    onDisk.assign(inflated->begin() + static_cast<ptrdiff_t>(at),
                  inflated->begin() + static_cast<ptrdiff_t>(at + slot.size));
  } else {
    ASSERT_EQ(s->store.ReadRawBlock(slot.location, slot.size, onDisk), slot.size);
  }
  EXPECT_EQ(onDisk, expected);

  // Table rows arrive last first, so the list runs b.txt, a.txt.
  ASSERT_EQ(item->attachments.size(), 2u);
  EXPECT_EQ(item->attachmentCursor, &item->attachments[0]);
  const AttachmentRecord& first = item->attachments[0];
  EXPECT_EQ(first.longFileName.view(), "b.txt");
  EXPECT_EQ(first.fileName.view(), "b.txt");
  EXPECT_EQ(first.data.view(), "BBBB");
  EXPECT_EQ(first.size, 4);
  EXPECT_EQ(first.method, 1);
  EXPECT_EQ(first.nid & 0x1F, 5u);
  const store::SubnodeEntry* own = FindSubnode(s->Subnodes(nid), first.nid);
  ASSERT_TRUE(own);
  EXPECT_EQ(first.dataBid, own->dataBlock->bid);
  EXPECT_EQ(item->attachments[1].longFileName.view(), "a.txt");
  EXPECT_EQ(item->attachments[1].data.view(), "AAA");
  // The attachments' display names do not become the item's.
  EXPECT_FALSE(item->displayName);
}

TEST_P(BuildItemTest, MailBodyInASubnodeIsLocatedByNid) {
  sb::MailboxBuilder b(Options());
  sb::MailFields f;
  f.subject = "Sub";
  f.body = std::string(5000, 'x');
  f.bodyInSubnode = true;
  const uint32_t nid = b.AddItem(b.topFolder(), sb::MakeMail(f));
  auto s = Open(b);
  auto item = s->Build(nid);
  ASSERT_TRUE(item);
  const BodySlot& slot = item->bodyLocator.plainSlot;
  ASSERT_EQ(slot.source, kSourceSubnode);
  EXPECT_EQ(slot.size, 1u);
  EXPECT_EQ(slot.location & 0x1F, 0x1Fu);
  ASSERT_TRUE(slot.subnodes);
  auto body = ReadSubnodeValue(s->store, slot.location, slot.subnodes);
  ASSERT_TRUE(body);
  EXPECT_EQ(*body, Stored(f.body));
  EXPECT_FALSE(item->attachmentCursor);
}

TEST_P(BuildItemTest, AttachmentDataInItsOwnSubnodeIsNotRead) {
  sb::MailboxBuilder b(Options());
  sb::Item mail = sb::MakeMail({});
  sb::Attachment a;
  a.fileName = "big.bin";
  a.data = Buffer(12000, std::byte{0x42});
  a.dataPlacement = sb::Placement::Subnode;
  mail.attachments.push_back(a);
  const uint32_t nid = b.AddItem(b.topFolder(), mail);
  auto s = Open(b);
  auto item = s->Build(nid);
  ASSERT_TRUE(item);
  ASSERT_EQ(item->attachments.size(), 1u);
  const AttachmentRecord& att = item->attachments[0];
  EXPECT_FALSE(att.data);
  EXPECT_EQ(att.size, 12000);
  EXPECT_EQ(att.nid & 0x1F, 0x1Fu);  // the data's subnode, not the attachment's
  // Nested subnodes are in the item's flat list: the data is found there.
  const store::SubnodeEntry* data = FindSubnode(s->Subnodes(nid), att.nid);
  ASSERT_TRUE(data);
  EXPECT_EQ(att.dataBid, data->dataBlock->bid);
  auto bytes = ReadValueWhole(s->store, att.dataBid);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(*bytes, a.data);
}

TEST_P(BuildItemTest, PropertyContextOverSeveralBlocks) {
  sb::MailboxBuilder b(Options());
  sb::MailFields f;
  f.subject = "Long";
  sb::Item mail = sb::MakeMail(f);
  const std::vector<uint16_t> ids{0x0050, 0x0070, 0x007D, 0x0E03, 0x0E04, 0x1035, 0x1042, 0x1046};
  for (size_t i = 0; i < ids.size(); ++i) {
    mail.props.Text(ids[i], std::string(1700, static_cast<char>('a' + i)));
  }
  // Blocks of the 4 KiB variant hold 65,512 bytes: properties sorted before
  // those above fill the first, so that they are read from the second.
  for (uint16_t i = 0; GetParam() == sb::Format::Unicode4K && i < 20; ++i) {
    mail.props.Text(static_cast<uint16_t>(0x0003 + i), std::string(1700, 'z'));
  }
  const uint32_t nid = b.AddItem(b.topFolder(), mail);
  auto s = Open(b);
  auto* node = store::FindNode(s->store, nid);
  ASSERT_TRUE(node);
  EXPECT_NE(node->dataBlock->bid & 2u, 0u) << "expected a data tree";
  auto item = s->Build(nid);
  ASSERT_TRUE(item);
  const MessageDetails& d = *item->details;
  EXPECT_EQ(d.replyRecipientNames.view(), std::string(1700, 'a'));
  EXPECT_EQ(d.conversationTopic.view(), std::string(1700, 'b'));
  EXPECT_EQ(d.transportHeaders.view(), std::string(1700, 'c'));
  EXPECT_EQ(d.displayCc.view(), std::string(1700, 'd'));
  EXPECT_EQ(d.originalMessageId.view(), std::string(1700, 'h'));
  EXPECT_EQ(d.subject->text.view(), "Long");
}

TEST_P(BuildItemTest, AttachmentTableRowsKeptInASubnode) {
  sb::MailboxOptions o = Options();
  o.tables.rowsInSubnode = true;
  sb::MailboxBuilder b(o);
  sb::Item mail = sb::MakeMail({});
  for (int i = 0; i < 400; ++i) {
    sb::Attachment a;
    a.fileName = "f" + std::to_string(i);
    a.data = testing::Bytes("x");
    mail.attachments.push_back(a);
  }
  const uint32_t nid = b.AddItem(b.topFolder(), mail);
  auto s = Open(b);
  auto item = s->Build(nid);
  ASSERT_TRUE(item);
  ASSERT_EQ(item->attachments.size(), 400u);
  for (int i = 0; i < 400; ++i) {
    EXPECT_EQ(item->attachments[static_cast<size_t>(i)].fileName.view(), "f" + std::to_string(399 - i));
  }
}

TEST_P(BuildItemTest, NonMailBodyOverAnXxblockIsRead) {
  sb::MailboxBuilder b(Options());
  sb::NoteFields f;
  f.subject = "Note";
  f.body = std::string(30000, 'n');
  sb::Item note = sb::MakeStickyNote(f);
  note.props.Place(0x1000, sb::Placement::Subnode, 2);
  const uint32_t nid = b.AddItem(b.topFolder(), note);
  auto s = Open(b);
  auto item = s->Build(nid);
  ASSERT_TRUE(item);
  EXPECT_EQ(item->kind, kKindOther);
  EXPECT_EQ(item->details->bodyText.view(), f.body);
  EXPECT_EQ(item->bodyLocator.lastKind, 0);
}

TEST_P(BuildItemTest, ContactAppointmentJournalFolderAndStore) {
  sb::MailboxBuilder b(Options());
  sb::ContactFields cf;
  cf.displayName = "Carla Contact";
  cf.fileUnder = "Contact, Carla";
  cf.mobilePhone = "+1 555 0100";
  cf.email = "carla@example.com";
  sb::FolderOptions fo;
  fo.containerClass = "IPF.Contact";
  const uint32_t folder = b.AddFolder(b.topFolder(), "Contacts", fo);
  const uint32_t contact = b.AddItem(folder, sb::MakeContact(cf));
  sb::AppointmentFields af;
  af.subject = "Meeting";
  af.location = "Room 1";
  const uint32_t appt = b.AddItem(b.topFolder(), sb::MakeAppointment(af));
  sb::JournalFields jf;
  jf.subject = "Call";
  const uint32_t journal = b.AddItem(b.topFolder(), sb::MakeJournal(jf));
  auto s = Open(b);

  auto c = s->Build(contact);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->kind, kKindContact);
  EXPECT_EQ(c->displayName.view(), "Carla Contact");
  ASSERT_TRUE(c->contact);
  EXPECT_EQ(c->contact->fileUnder.view(), "Contact, Carla");
  EXPECT_EQ(c->contact->mobilePhone.view(), "+1 555 0100");
  EXPECT_EQ(c->contact->email1Address.view(), "carla@example.com");
  EXPECT_EQ(c->contact->email1AddressType.view(), "SMTP");

  auto a = s->Build(appt);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->kind, kKindAppointment);
  ASSERT_TRUE(a->appointment);
  EXPECT_EQ(a->appointment->meetingLocation.view(), "Room 1");
  EXPECT_EQ(a->appointment->busyStatus, 2);
  EXPECT_EQ(a->appointment->clipStart.size(), 8u);

  auto j = s->Build(journal);
  ASSERT_TRUE(j);
  EXPECT_EQ(j->kind, kKindJournal);
  ASSERT_TRUE(j->journal);
  EXPECT_EQ(j->journal->logType.view(), "Phone call");
  EXPECT_EQ(j->journal->logEnd.size(), 8u);

  auto f = s->Build(folder);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->displayName.view(), "Contacts");
  ASSERT_TRUE(f->folderCounts);
  EXPECT_EQ(f->folderCounts->contentCount, 1);
  // The container class is kept raw: only ANSI stores classify it.
  EXPECT_EQ(f->kind, unicode() ? kKindOther : kKindContact);

  auto root = s->Build(0x21);
  ASSERT_TRUE(root);
  ASSERT_TRUE(root->storeInfo);
  ByteView id(root->storeInfo->subtreeEntryId.bytes());
  ASSERT_EQ(id.size(), 24u);
  EXPECT_EQ(*id.U32(20), b.topFolder());
}

TEST_P(BuildItemTest, UnknownTypesAndStringNames) {
  sb::MailboxBuilder b(Options());
  sb::MailFields f;
  f.subject = "Odd types";
  sb::Item mail = sb::MakeMail(f);
  mail.props.Raw(0x6000, format::kPtypFloating32, Le(0x3F800000, 4));
  mail.props.Raw(0x6001, 0x101F, Le(0, 4));
  mail.props.Raw(0x6002, format::kPtypErrorCode, Le(5, 4));
  mail.props.NamedText(sb::PropertyName::String(sb::kPsPublicStrings, "x-custom"), "custom value");
  const uint32_t nid = b.AddItem(b.topFolder(), mail);
  auto s = Open(b);
  auto item = s->Build(nid);
  ASSERT_TRUE(item);
  EXPECT_EQ(item->details->subject->text.view(), "Odd types");
  ASSERT_EQ(item->namedStrings.size(), 1u);
  EXPECT_EQ(item->namedStrings[0].name.view(), "x-custom");
  EXPECT_EQ(item->namedStrings[0].value.view(), "custom value");
}

TEST_P(BuildItemTest, NamedPropertyMapLoadsOrIsAbsent) {
  {
    sb::MailboxBuilder b(Options());
    sb::ContactFields cf;
    cf.fileUnder = "X";
    b.AddItem(b.topFolder(), sb::MakeContact(cf));
    auto s = Open(b);
    EXPECT_GT(s->names.size(), 0u);
  }
  sb::MailboxOptions o = Options();
  o.nameMap = false;
  sb::MailboxBuilder b(o);
  auto s = Open(b);
  NamedPropertyMap map;
  EXPECT_EQ(LoadNamedPropertyMap(s->store, map), 0);
  EXPECT_EQ(map.size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Variants, BuildItemTest,
                         ::testing::Values(sb::Format::Ansi14, sb::Format::Unicode23, sb::Format::Unicode4K),
                         [](const auto& info) { return FormatName(info.param); });

// ---------------------------------------------------------------------------
// Hand-made nodes and damaged data trees

class HandMadeStore : public ::testing::TestWithParam<sb::Format> {
 protected:
  HandMadeStore() {
    sb::NdbOptions o;
    o.format = GetParam();
    o.encryption = 1;
    w = std::make_unique<sb::NdbWriter>(o);
    const uint32_t empty = w->AddDataBlock(Le(0, 8));
    w->AddNode(0x21, empty, 0, 0);
    w->AddNode(0x122, empty, 0, 0x122);
    w->AddNode(0x8022, empty, 0, 0x122);
  }
  bool unicode() const { return GetParam() != sb::Format::Ansi14; }

  // An XBLOCK or XXBLOCK over `children`, written raw.
  Buffer TreeBlock(int level, const std::vector<uint32_t>& children, uint32_t total) const {
    Buffer b{std::byte{0x01}, static_cast<std::byte>(level)};
    PutLe(b, children.size(), 2);
    PutLe(b, total, 4);
    for (uint32_t c : children) PutLe(b, c, unicode() ? 8 : 4);
    return b;
  }

  uint32_t WriteHeap(const std::vector<Buffer>& pages) {
    if (pages.size() == 1) return w->AddDataBlock(pages[0]);
    std::vector<uint32_t> bids;
    uint32_t total = 0;
    for (const Buffer& p : pages) {
      bids.push_back(w->AddDataBlock(p));
      total += static_cast<uint32_t>(p.size());
    }
    return w->AddDataTree(bids, total, 1);
  }

  enum class TableDamage { None, MatrixMissing, Overwritten };

  // A message node with its property context and, when `rows` is set, an
  // attachment table with one row per file name, its matrix in the heap or in
  // a subnode.
  uint32_t AddMessage(const std::optional<std::vector<std::string>>& rows, bool rowsInSubnode,
                      TableDamage damage = TableDamage::None) {
    sb::SubnodeNids nids;
    auto text = [&](std::string_view v) { return unicode() ? sb::Utf16le(v) : sb::Windows1252(v); };
    const uint16_t textType = unicode() ? format::kPtypString : format::kPtypString8;
    std::vector<sb::PcProperty> props{{0x001A, textType, text("IPM.Note"), sb::Placement::Auto, 0},
                                      {0x0037, textType, text("Hand made"), sb::Placement::Auto, 0}};
    sb::LtpNode pc = sb::BuildPropertyContext(props, sb::LtpFormat::Of(GetParam()), nids);
    std::vector<sb::SubnodeRef> refs;
    if (rows) {
      sb::TcOptions o;
      o.rowsInSubnode = rowsInSubnode;
      const uint32_t nameTag = (0x3704u << 16) | textType;
      sb::TableWriter table({0x37050003, nameTag}, sb::LtpFormat::Of(GetParam()), nids, o);
      uint32_t id = 0x8005;
      for (const std::string& r : *rows) {
        std::vector<sb::TcCell> cells{{0x37050003, Le(1, 4)}, {nameTag, text(r)}};
        table.AddRow(id, cells);
        id += 0x20;
      }
      sb::LtpNode tc = table.Finish();
      if (damage == TableDamage::Overwritten) {
        for (Buffer& page : tc.pages) std::fill(page.begin(), page.end(), std::byte{0x5A});
      }
      std::vector<sb::SubnodeRef> inner;
      for (const sb::LtpSubnode& v : tc.subnodes) inner.push_back({v.nid, WriteValue(v), 0});
      if (damage == TableDamage::MatrixMissing) inner.clear();
      refs.push_back({0x671, WriteHeap(tc.pages), inner.empty() ? 0 : w->AddSubnodeBlock(inner)});
    }
    for (const sb::LtpSubnode& v : pc.subnodes) refs.push_back({v.nid, w->AddData(v.data), 0});
    const uint32_t nid = (nextMessage_++ << 5) | 4;
    w->AddNode(nid, WriteHeap(pc.pages), refs.empty() ? 0 : w->AddSubnodeBlock(refs), 0x8022);
    return nid;
  }

  // A subnode value cut into the blocks it asks for.
  uint32_t WriteValue(const sb::LtpSubnode& v) {
    if (v.blockSizes.empty()) return w->AddData(v.data);
    std::vector<Buffer> blocks;
    size_t at = 0;
    for (size_t n : v.blockSizes) {
      blocks.emplace_back(v.data.begin() + static_cast<ptrdiff_t>(at),
                          v.data.begin() + static_cast<ptrdiff_t>(at + n));
      at += n;
    }
    return WriteHeap(blocks);
  }

  OpenedStore& Open() {
    path = TempPath("vx_items_handmade");
    w->Write(path);
    opened = std::make_unique<OpenedStore>(path);
    return *opened;
  }
  void TearDown() override {
    if (!path.empty()) std::filesystem::remove(path);
  }

  std::unique_ptr<sb::NdbWriter> w;
  std::unique_ptr<OpenedStore> opened;
  std::string path;
  uint32_t nextMessage_ = 0x10001;
};

TEST_P(HandMadeStore, DataTreesAreReadInLeafOrder) {
  const uint32_t a = w->AddDataBlock(testing::Bytes("one-"));
  const uint32_t b = w->AddDataBlock(testing::Bytes("two-"));
  const uint32_t c = w->AddDataBlock(testing::Bytes("three"));
  const uint32_t x1 = w->AddRawBlock(TreeBlock(1, {a, b}, 8), true);
  // The total size field is not trusted.
  const uint32_t x2 = w->AddRawBlock(TreeBlock(1, {c}, 0xFFFFFFFF), true);
  const uint32_t xx = w->AddRawBlock(TreeBlock(2, {x1, x2}, 13), true);
  // An internal BID whose block is not a tree is a plain block.
  const uint32_t plain = w->AddRawBlock(testing::Bytes("\x05plain"), true);
  OpenedStore& s = Open();
  auto whole = ReadValueWhole(s.store, xx);
  ASSERT_TRUE(whole);
  EXPECT_EQ(AsChars(ByteSpan(*whole)), "one-two-three");
  auto blocks = ReadDataBlockList(s.store, xx);
  ASSERT_TRUE(blocks);
  ASSERT_EQ(blocks->size(), 3u);
  EXPECT_EQ((*blocks)[2].bid, c);
  auto single = ReadValueWhole(s.store, x2);
  ASSERT_TRUE(single);
  EXPECT_EQ(AsChars(ByteSpan(*single)), "three");
  auto p = ReadValueWhole(s.store, plain);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->size(), 6u);
}

TEST_P(HandMadeStore, HostileDataTreesFailWithoutLooping) {
  const uint32_t leaf = w->AddDataBlock(testing::Bytes("leaf"));
  const uint32_t selfX = w->PeekNextBlockBid(true);
  ASSERT_EQ(w->AddRawBlock(TreeBlock(1, {selfX}, 4), true), selfX);
  const uint32_t selfXX = w->PeekNextBlockBid(true);
  ASSERT_EQ(w->AddRawBlock(TreeBlock(2, {selfXX, selfXX}, 0x7FFFFFFF), true), selfXX);
  const uint32_t x = w->AddRawBlock(TreeBlock(1, {leaf}, 4), true);
  const uint32_t shared = w->AddRawBlock(TreeBlock(2, {x, x, x}, 12), true);
  Buffer overlong = TreeBlock(1, {leaf}, 4);
  overlong[2] = std::byte{0xFF};  // 255 entries in a block that holds one
  const uint32_t counted = w->AddRawBlock(overlong, true);
  const uint32_t deep = w->AddRawBlock(TreeBlock(3, {leaf}, 4), true);
  const uint32_t missing = w->AddRawBlock(TreeBlock(1, {leaf, 0x7FFFFFF4}, 8), true);
  w->AddNode(0x200024, selfXX, 0, 0x8022);
  OpenedStore& s = Open();
  for (uint32_t bid : {selfX, selfXX, shared, counted, deep, missing, 0u}) {
    EXPECT_FALSE(ReadValueWhole(s.store, bid)) << std::hex << bid;
  }
  EXPECT_FALSE(s.Build(0x200024));
}

TEST_P(HandMadeStore, AttachmentTables) {
  const uint32_t none = AddMessage(std::nullopt, false);
  const uint32_t empty = AddMessage(std::vector<std::string>{}, false);
  const uint32_t heap = AddMessage(std::vector<std::string>{"x.doc", "y.doc", "z.doc"}, false);
  std::vector<std::string> many;
  for (int i = 0; i < 800; ++i) many.push_back("r" + std::to_string(i));
  const uint32_t spread = AddMessage(many, true);
  const uint32_t noMatrix =
      AddMessage(std::vector<std::string>{"a.doc", "b.doc"}, true, TableDamage::MatrixMissing);
  const uint32_t overwritten =
      AddMessage(std::vector<std::string>{"a.doc"}, false, TableDamage::Overwritten);
  OpenedStore& s = Open();

  auto plain = s.Build(none);
  ASSERT_TRUE(plain);
  EXPECT_TRUE(plain->attachments.empty());
  EXPECT_FALSE(plain->attachmentCursor);
  EXPECT_FALSE(plain->attachmentTableDamaged);
  EXPECT_EQ(plain->details->subject->text.view(), "Hand made");

  // A table without rows (attachments removed): an item without attachments.
  auto removed = s.Build(empty);
  ASSERT_TRUE(removed);
  EXPECT_TRUE(removed->attachments.empty());
  EXPECT_FALSE(removed->attachmentCursor);
  EXPECT_FALSE(removed->attachmentTableDamaged);
  EXPECT_EQ(removed->details->subject->text.view(), "Hand made");

  // A table that cannot be read: the item without attachments, marked.
  for (uint32_t nid : {noMatrix, overwritten}) {
    auto damaged = s.Build(nid);
    ASSERT_TRUE(damaged) << std::hex << nid;
    EXPECT_TRUE(damaged->attachments.empty());
    EXPECT_FALSE(damaged->attachmentCursor);
    EXPECT_TRUE(damaged->attachmentTableDamaged);
    EXPECT_EQ(damaged->details->subject->text.view(), "Hand made");
  }

  auto three = s.Build(heap);
  ASSERT_TRUE(three);
  ASSERT_EQ(three->attachments.size(), 3u);
  EXPECT_EQ(three->attachments[0].fileName.view(), "z.doc");
  EXPECT_EQ(three->attachments[2].fileName.view(), "x.doc");
  EXPECT_EQ(three->attachments[0].method, 1);

  // Rows in a subnode over two blocks, with names in a heap of several blocks.
  auto rows = s.Build(spread);
  ASSERT_TRUE(rows);
  ASSERT_EQ(rows->attachments.size(), 800u);
  EXPECT_FALSE(rows->attachmentTableDamaged);
  for (size_t i = 0; i < 800; ++i) {
    ASSERT_EQ(rows->attachments[i].fileName.view(), "r" + std::to_string(799 - i)) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, HandMadeStore,
                         ::testing::Values(sb::Format::Ansi14, sb::Format::Unicode23, sb::Format::Unicode4K),
                         [](const auto& info) { return FormatName(info.param); });

}  // namespace
}  // namespace velmorix::items
