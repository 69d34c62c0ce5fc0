// Whole mailboxes written by the mailbox builder, read back through the store
// layer and parsed here with the heap, property and table layouts.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <optional>

#include "format/vocabulary.h"
#include "storebuilder/ndb.h"
#include "storebuilder/mailbox.h"
#include "store/store.h"

namespace velmorix::storebuilder {
namespace {

uint16_t U16(ByteSpan b, size_t at) { return ByteView(b).U16(at).value(); }
uint32_t U32(ByteSpan b, size_t at) { return ByteView(b).U32(at).value(); }
Buffer Filled(size_t n, int value) { return Buffer(n, std::byte(value)); }
Buffer Copy(ByteSpan s) { return Buffer(s.begin(), s.end()); }

struct Value {
  uint16_t type = 0;
  uint32_t hnid = 0;      // as stored in the record (the value itself for inline types)
  Buffer bytes;           // resolved value
  bool inSubnode = false;
};

// A written mailbox, opened with the store layer.
class Opened {
 public:
  explicit Opened(MailboxBuilder& b) {
    static int counter = 0;
    path_ = (std::filesystem::temp_directory_path() /
             ("mailbox_" + std::to_string(::getpid()) + "_" + std::to_string(counter++) + ".pst"))
                .string();
    b.Write(path_);
    EXPECT_EQ(store::OpenStore(store_, path_), 0);
    EXPECT_EQ(store::LoadIndexes(store_), 0);
    unicode_ = store_.variant == store::Variant::Unicode;
  }
  ~Opened() { std::filesystem::remove(path_); }

  store::Store& store() { return store_; }

  const store::NodeEntry* Node(uint32_t nid) { return store::FindNode(store_, nid); }

  // The node's flattened subnode list (nested subnodes included).
  const store::SubnodeList* Subnodes(const store::NodeEntry* n) {
    return n && n->subnodeBlock ? store::ReadSubnodeList(store_, n->subnodeBlock) : nullptr;
  }
  const store::SubnodeEntry* FindSub(const store::SubnodeList* list, uint32_t nid) {
    if (!list) return nullptr;
    for (const auto& e : *list) {
      if (e.nid == nid) return &e;
    }
    return nullptr;
  }

  std::vector<Buffer> Pages(uint32_t bid) {
    auto pages = store::ReadDataBlocks(store_, bid);
    EXPECT_TRUE(pages.has_value());
    return pages.value_or(std::vector<Buffer>{});
  }

  ByteSpan Item(const std::vector<Buffer>& pages, uint32_t hid) {
    const Buffer& page = pages.at(hid >> 16);
    size_t k = (hid >> 5) & 0x7FF;
    uint16_t map = U16(page, 0);
    uint16_t start = U16(page, map + 4 + 2 * (k - 1));
    uint16_t end = U16(page, map + 4 + 2 * k);
    return ByteSpan(page).subspan(start, end - start);
  }

  Buffer Resolve(const std::vector<Buffer>& pages, const store::SubnodeList* subs, uint32_t hnid,
                 bool* inSubnode = nullptr) {
    if (inSubnode) *inSubnode = (hnid & 0x1F) != 0;
    if (hnid == 0) return {};
    if ((hnid & 0x1F) == 0) return Copy(Item(pages, hnid));
    const store::SubnodeEntry* e = FindSub(subs, hnid);
    EXPECT_NE(e, nullptr) << std::hex << hnid;
    if (!e) return {};
    return store::ReadDataTree(store_, e->dataBlock->bid).value_or(Buffer{});
  }

  // Leaf records of the BTH at `hid` (index levels followed).
  std::vector<std::pair<Buffer, Buffer>> Bth(const std::vector<Buffer>& pages, uint32_t hid) {
    ByteSpan h = Item(pages, hid);
    std::vector<std::pair<Buffer, Buffer>> out;
    if (U32(h, 4)) Walk(pages, U32(h, 4), static_cast<int>(h[3]),
                        static_cast<size_t>(h[1]), static_cast<size_t>(h[2]), out);
    return out;
  }

  // A property context read from a node's data (or a subnode's data).
  std::map<uint16_t, Value> Pc(uint32_t dataBid, const store::SubnodeList* subs) {
    auto pages = Pages(dataBid);
    std::map<uint16_t, Value> out;
    if (pages.empty()) return out;
    EXPECT_EQ(U16(pages[0], 2), 0xBCEC);
    for (auto& [k, d] : Bth(pages, U32(pages[0], 4))) {
      Value v;
      v.type = U16(d, 0);
      v.hnid = U32(d, 2);
      bool inline_ = IsInlinePcType(v.type);
      v.bytes = inline_ ? Copy(ByteSpan(d).subspan(2, 4)) : Resolve(pages, subs, v.hnid, &v.inSubnode);
      out[U16(k, 0)] = std::move(v);
    }
    return out;
  }
  std::map<uint16_t, Value> NodePc(uint32_t nid) {
    const store::NodeEntry* n = Node(nid);
    EXPECT_NE(n, nullptr) << std::hex << nid;
    if (!n || !n->dataBlock) return {};
    return Pc(n->dataBlock->bid, Subnodes(n));
  }

  struct Table {
    uint16_t rowWidth = 0;
    std::map<uint32_t, std::pair<uint16_t, uint8_t>> columns;  // tag -> (ibData, iBit)
    std::vector<uint32_t> rowIds;                               // in row index order
    std::vector<Buffer> rows;                                   // in matrix order
    uint8_t cbEnt = 0;
  };
  Table Tc(uint32_t dataBid, const store::SubnodeList* subs) {
    Table t;
    auto pages = Pages(dataBid);
    if (pages.empty()) return t;
    EXPECT_EQ(U16(pages[0], 2), 0x7CEC);
    ByteSpan info = Item(pages, U32(pages[0], 4));
    t.rowWidth = U16(info, 8);
    for (size_t i = 0; i < static_cast<uint8_t>(info[1]); ++i) {
      t.columns[U32(info, 22 + 8 * i)] = {U16(info, 26 + 8 * i), static_cast<uint8_t>(info[29 + 8 * i])};
    }
    t.cbEnt = static_cast<uint8_t>(Item(pages, U32(info, 10))[2]);
    for (auto& [k, d] : Bth(pages, U32(info, 10))) t.rowIds.push_back(U32(k, 0));
    Buffer matrix = Resolve(pages, subs, U32(info, 14));
    // Rows never straddle blocks: every block but the last is filled up.
    const size_t block = MaxBlockData(unicode_);
    for (size_t from = 0; t.rowWidth && from < matrix.size(); from += block) {
      const size_t end = std::min(matrix.size(), from + block);
      for (size_t at = from; at + t.rowWidth <= end; at += t.rowWidth) {
        t.rows.emplace_back(matrix.begin() + at, matrix.begin() + at + t.rowWidth);
      }
    }
    return t;
  }

  bool unicode() const { return unicode_; }

 private:
  void Walk(const std::vector<Buffer>& pages, uint32_t hid, int level, size_t cbKey, size_t cbEnt,
            std::vector<std::pair<Buffer, Buffer>>& out) {
    ByteSpan node = Item(pages, hid);
    size_t width = cbKey + (level ? 4 : cbEnt);
    for (size_t at = 0; at + width <= node.size(); at += width) {
      if (level) {
        Walk(pages, U32(node, at + cbKey), level - 1, cbKey, cbEnt, out);
      } else {
        out.emplace_back(Copy(node.subspan(at, cbKey)), Copy(node.subspan(at + cbKey, cbEnt)));
      }
    }
  }

  std::string path_;
  store::Store store_;
  bool unicode_ = true;
};

Buffer U16le(std::string_view ascii) {
  Buffer b;
  for (char c : ascii) {
    b.push_back(std::byte(c));
    b.push_back(std::byte{0});
  }
  return b;
}
Buffer Ascii(std::string_view s) { return Copy(AsBytes(s)); }

std::map<uint32_t, uint32_t> NbtParents(MailboxBuilder& b) {
  std::map<uint32_t, uint32_t> parents;
  for (const NodeLeafEntry& e : b.ndb().NodeEntries()) parents[e.nid] = e.parentNid;
  return parents;
}

TEST(MailboxStoreTest, StoreRootAndTopFolderWithMandatoryNodes) {
  MailboxOptions o;
  o.storeName = "Archive";
  MailboxBuilder b(o);
  Opened f(b);
  auto store = f.NodePc(format::kNidMessageStore);
  EXPECT_EQ(store[0x3001].bytes, U16le("Archive"));
  ASSERT_EQ(store[0x0FF9].bytes.size(), 16u);
  const Buffer& key = store[0x0FF9].bytes;
  for (auto [id, nid] : {std::pair{0x35E0, kTopFolderNid}, std::pair{0x35E3, b.deletedItems()},
                         std::pair{0x35E7, b.searchRoot()}}) {
    const Buffer& e = store[static_cast<uint16_t>(id)].bytes;
    ASSERT_EQ(e.size(), 24u) << std::hex << id;
    EXPECT_EQ(U32(e, 0), 0u);
    EXPECT_TRUE(std::equal(key.begin(), key.end(), e.begin() + 4));
    EXPECT_EQ(U32(e, 20), nid);
  }
  EXPECT_EQ(b.deletedItems(), 0x8042u);
  EXPECT_EQ(b.searchRoot(), 0x8062u);

  auto parents = NbtParents(b);
  EXPECT_EQ(parents[format::kNidRootFolder], format::kNidRootFolder);
  EXPECT_EQ(parents[kTopFolderNid], format::kNidRootFolder);
  EXPECT_EQ(parents[0x8042], kTopFolderNid);
  EXPECT_EQ(parents[0x8062], format::kNidRootFolder);
  for (uint32_t nid : {0x21u, 0x61u, 0x12Du, 0x12Eu, 0x12Fu, 0x1E1u, 0x201u, 0x60Du, 0x60Eu, 0x60Fu,
                       0x610u, 0x62Bu, 0x671u, 0x692u, 0x802Du, 0x802Eu, 0x802Fu}) {
    EXPECT_TRUE(parents.count(nid)) << std::hex << nid;
    if (parents.count(nid) && nid != 0x21 && nid != 0x61) {
      EXPECT_EQ(parents[nid], 0u);
    }
  }

  auto top = f.NodePc(kTopFolderNid);
  EXPECT_EQ(top[0x3001].bytes, U16le("Top of Personal Folders"));
  EXPECT_EQ(top[0x360A].hnid, 1u);  // has Deleted Items
  auto rootTable = f.Tc(f.Node(0x12D)->dataBlock->bid, nullptr);
  EXPECT_EQ(rootTable.rowIds, (std::vector<uint32_t>{0x8022, 0x8062}));
}

TEST(MailboxStoreTest, SubtreeEntryIdCanBeOmittedOrRedirected) {
  MailboxOptions none;
  none.subtreeEntryNid.reset();
  none.deletedItems = false;
  none.searchRoot = false;
  MailboxBuilder a(none);
  EXPECT_EQ(a.AddFolder(kTopFolderNid, "x"), 0x8042u);
  Opened fa(a);
  auto s = fa.NodePc(format::kNidMessageStore);
  EXPECT_FALSE(s.count(0x35E0));
  EXPECT_FALSE(s.count(0x35E3));
  EXPECT_FALSE(s.count(0x35E7));
  EXPECT_THROW(a.AddFolder(kTopFolderNid, "late"), std::logic_error);

  MailboxOptions other;
  other.subtreeEntryNid = 0x8082;
  MailboxBuilder b(other);
  EXPECT_EQ(b.AddFolder(kTopFolderNid, "Inbox"), 0x8082u);
  Opened fb(b);
  EXPECT_EQ(U32(fb.NodePc(format::kNidMessageStore)[0x35E0].bytes, 20), 0x8082u);
}

TEST(MailboxFolderTest, FoldersCountsClassesAndHierarchyRows) {
  MailboxBuilder b;
  FolderOptions inboxOptions;
  inboxOptions.containerClass = "IPF.Note";
  uint32_t inbox = b.AddFolder(b.topFolder(), "Inbox", inboxOptions);
  uint32_t sub = b.AddFolder(inbox, "\xC3\x9C" "berweisungen");
  FolderOptions fixed;
  fixed.contentCount = 42;
  fixed.props.Long(0x3617, 7);
  uint32_t chinese = b.AddFolder(inbox, "\xE6\x94\xB6\xE4\xBB\xB6\xE7\xAE\xB1", fixed);
  MailFields unread;
  unread.messageFlags = 0;
  b.AddItem(inbox, MakeMail({}));
  b.AddItem(inbox, MakeMail(unread));
  b.AddItem(sub, MakeMail({}));
  EXPECT_THROW(b.AddFolder(0x12345, "nope"), std::invalid_argument);
  EXPECT_THROW(b.AddItem(0x8002, MakeMail({})), std::invalid_argument);

  Opened f(b);
  auto parents = NbtParents(b);
  EXPECT_EQ(parents[inbox], kTopFolderNid);
  EXPECT_EQ(parents[sub], inbox);
  EXPECT_EQ(parents[chinese], inbox);

  auto pc = f.NodePc(inbox);
  EXPECT_EQ(pc[0x3001].bytes, U16le("Inbox"));
  EXPECT_EQ(pc[0x3602].hnid, 2u);
  EXPECT_EQ(pc[0x3603].hnid, 1u);
  EXPECT_EQ(pc[0x360A].hnid, 1u);
  EXPECT_EQ(pc[0x3613].bytes, U16le("IPF.Note"));
  auto subPc = f.NodePc(sub);
  EXPECT_EQ(subPc[0x3001].bytes, Utf16le("\xC3\x9C" "berweisungen"));
  EXPECT_EQ(subPc[0x360A].hnid, 0u);
  EXPECT_FALSE(subPc.count(0x3613));
  auto cn = f.NodePc(chinese);
  EXPECT_EQ(cn[0x3001].bytes, (Buffer{std::byte{0x36}, std::byte{0x65}, std::byte{0xF6},
                                      std::byte{0x4E}, std::byte{0xB1}, std::byte{0x7B}}));
  EXPECT_EQ(cn[0x3602].hnid, 42u);
  EXPECT_EQ(cn[0x3617].hnid, 7u);

  // The parent's hierarchy table has a row per child with the child's values.
  auto h = f.Tc(f.Node((inbox & ~0x1Fu) | 0x0D)->dataBlock->bid, nullptr);
  ASSERT_EQ(h.rows.size(), 2u);
  EXPECT_EQ(h.rowIds, (std::vector<uint32_t>{sub, chinese}));
  auto [ibCount, bitCount] = h.columns.at(0x36020003);
  EXPECT_EQ(U32(h.rows[1], ibCount), 42u);
  EXPECT_EQ(U32(h.rows[0], ibCount), 1u);
  // Contents table: a row per item, keyed by the item NID.
  auto c = f.Tc(f.Node((inbox & ~0x1Fu) | 0x0E)->dataBlock->bid, nullptr);
  EXPECT_EQ(c.rows.size(), 2u);
  EXPECT_EQ(c.rowIds, (std::vector<uint32_t>{0x200024, 0x200044}));
}

TEST(MailboxItemTest, MailPropertiesBodiesAndContentsRow) {
  MailboxBuilder b;
  MailFields m;
  m.subject = "Quarterly report";
  m.senderName = "Alice";
  m.displayTo = "Bob";
  m.body = "Hello Bob";
  m.html = "<p>Hello</p>";
  m.transportHeaders = "Received: by mx\r\n";
  m.deliveryTime = FileTime(2023, 5, 1, 8, 0);
  uint32_t heapMail = b.AddItem(b.topFolder(), MakeMail(m));
  m.bodyInSubnode = true;
  m.messageClass = "IPM.Note.Custom";
  uint32_t subnodeMail = b.AddItem(b.topFolder(), MakeMail(m));
  MailFields big;
  big.body = std::string(20000, 'b');
  uint32_t bigMail = b.AddItem(b.topFolder(), MakeMail(big));
  uint32_t report = b.AddItem(b.topFolder(), MakeReport({}));
  EXPECT_EQ(heapMail, 0x200024u);
  EXPECT_EQ(subnodeMail, 0x200044u);

  Opened f(b);
  EXPECT_EQ(NbtParents(b)[heapMail], kTopFolderNid);
  auto a = f.NodePc(heapMail);
  EXPECT_EQ(a[0x001A].bytes, U16le("IPM.Note"));
  EXPECT_EQ(a[0x0037].bytes, U16le("Quarterly report"));
  EXPECT_EQ(a[0x0042].bytes, U16le("Alice"));
  EXPECT_EQ(a[0x0E04].bytes, U16le("Bob"));
  EXPECT_EQ(a[0x007D].bytes, U16le("Received: by mx\r\n"));
  EXPECT_EQ(a[0x1000].bytes, U16le("Hello Bob"));
  EXPECT_FALSE(a[0x1000].inSubnode);
  EXPECT_EQ(a[0x1013].type, format::kPtypBinary);
  EXPECT_EQ(a[0x1013].bytes, Ascii("<p>Hello</p>"));
  EXPECT_EQ(U32(a[0x0E06].bytes, 0) | (uint64_t{U32(a[0x0E06].bytes, 4)} << 32),
            FileTime(2023, 5, 1, 8, 0));
  EXPECT_EQ(a[0x0E07].hnid, 1u);
  EXPECT_GT(a[0x0E08].hnid, 40u);

  auto s = f.NodePc(subnodeMail);
  EXPECT_EQ(s[0x001A].bytes, U16le("IPM.Note.Custom"));
  EXPECT_TRUE(s[0x1000].inSubnode);
  EXPECT_EQ(s[0x1000].hnid & 0x1F, 0x1Fu);
  EXPECT_EQ(s[0x1000].bytes, U16le("Hello Bob"));

  auto g = f.NodePc(bigMail);
  EXPECT_TRUE(g[0x1000].inSubnode);
  EXPECT_EQ(g[0x1000].bytes.size(), 40000u);
  const store::SubnodeEntry* e = f.FindSub(f.Subnodes(f.Node(bigMail)), g[0x1000].hnid);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->dataBlock->bid & 2, 2u);  // an XBLOCK data tree

  EXPECT_EQ(f.NodePc(report)[0x001A].bytes, U16le("REPORT.IPM.Note"));

  // Every message has a recipient table subnode.
  EXPECT_NE(f.FindSub(f.Subnodes(f.Node(heapMail)), format::kNidRecipientTable), nullptr);

  auto c = f.Tc(f.Node(0x802E)->dataBlock->bid, nullptr);
  ASSERT_EQ(c.rows.size(), 4u);
  auto [ibSubject, bitSubject] = c.columns.at(0x0037001F);
  uint16_t ceb = static_cast<uint16_t>(c.rowWidth - 2);
  EXPECT_TRUE(static_cast<uint8_t>(c.rows[0][ceb + bitSubject / 8]) & (0x80 >> (bitSubject % 8)));
  EXPECT_FALSE(static_cast<uint8_t>(c.rows[2][ceb + bitSubject / 8]) & (0x80 >> (bitSubject % 8)));
  EXPECT_EQ(U32(c.rows[0], 0), heapMail);
  EXPECT_NE(U32(c.rows[0], ibSubject), 0u);
}

TEST(MailboxItemTest, AttachmentsInHeapOrOwnSubnodeWithTableRows) {
  MailboxBuilder b;
  Item mail = MakeMail({});
  Attachment small;
  small.fileName = "a.txt";
  small.data = Ascii("tiny");
  Attachment own;
  own.fileName = "b.bin";
  own.data = Filled(300, 7);
  own.dataPlacement = Placement::Subnode;
  Attachment huge;
  huge.fileName = "c.bin";
  huge.data = Filled(30000, 9);
  huge.dataPlacement = Placement::Subnode;
  huge.dataTreeLevel = 2;
  mail.attachments = {small, own, huge};
  uint32_t nid = b.AddItem(b.topFolder(), mail);
  Opened f(b);

  const store::SubnodeList* subs = f.Subnodes(f.Node(nid));
  ASSERT_NE(subs, nullptr);
  const store::SubnodeEntry* table = f.FindSub(subs, format::kNidAttachmentTable);
  ASSERT_NE(table, nullptr);
  auto t = f.Tc(table->dataBlock->bid, subs);
  EXPECT_EQ(t.rowIds, (std::vector<uint32_t>{0x8025, 0x8045, 0x8065}));
  auto [ibSize, bitSize] = t.columns.at(0x0E200003);
  EXPECT_EQ(U32(t.rows[2], ibSize), 30000u);

  auto pc = f.NodePc(nid);
  EXPECT_EQ(pc[0x0E07].hnid & 0x10, 0x10u);  // has attachments

  auto a0 = f.Pc(f.FindSub(subs, 0x8025)->dataBlock->bid, subs);
  EXPECT_EQ(a0[0x3701].bytes, Ascii("tiny"));
  EXPECT_FALSE(a0[0x3701].inSubnode);
  EXPECT_EQ(a0[0x3704].bytes, U16le("a.txt"));
  EXPECT_EQ(a0[0x3705].hnid, 1u);
  EXPECT_EQ(a0[0x0E20].hnid, 4u);

  auto a1 = f.Pc(f.FindSub(subs, 0x8045)->dataBlock->bid, subs);
  EXPECT_TRUE(a1[0x3701].inSubnode);
  EXPECT_EQ(a1[0x3701].bytes, Filled(300, 7));

  auto a2 = f.Pc(f.FindSub(subs, 0x8065)->dataBlock->bid, subs);
  ASSERT_TRUE(a2[0x3701].inSubnode);
  EXPECT_EQ(a2[0x3701].bytes, Filled(30000, 9));
  // The forced XXBLOCK: an internal block of level 2.
  const store::SubnodeEntry* data = f.FindSub(subs, a2[0x3701].hnid);
  ASSERT_NE(data, nullptr);
  Buffer raw;
  f.store().ReadRawBlock(data->dataBlock->offset, 8, raw);
  EXPECT_EQ(static_cast<uint8_t>(raw[0]), 0x01);
  EXPECT_EQ(static_cast<uint8_t>(raw[1]), 0x02);
  EXPECT_EQ(U32(raw, 4), 30000u);

  // Subnode NIDs stay unique across the message and its nested subnodes.
  std::map<uint32_t, int> seen;
  for (const auto& e : *subs) EXPECT_EQ(++seen[e.nid], 1) << std::hex << e.nid;
}

TEST(MailboxItemTest, EmbeddedMessagesLiveInAttachmentSubnodes) {
  MailboxBuilder b;
  MailFields innerFields;
  innerFields.subject = "Forwarded";
  Item inner = MakeMail(innerFields);
  Attachment innerFile;
  innerFile.fileName = "inner.txt";
  innerFile.data = Ascii("inside");
  inner.attachments = {innerFile};
  Item outer = MakeMail({});
  Attachment first;
  first.fileName = "first.txt";
  first.data = Ascii("1");
  Attachment embedded;
  embedded.fileName = "Forwarded";
  embedded.embedded = std::make_shared<Item>(inner);
  Attachment last;
  last.fileName = "last.txt";
  last.data = Ascii("3");
  outer.attachments = {first, embedded, last};
  uint32_t nid = b.AddItem(b.topFolder(), outer);
  Opened f(b);

  const store::SubnodeList* subs = f.Subnodes(f.Node(nid));
  ASSERT_NE(subs, nullptr);
  // Outer attachments keep the first NIDs; the inner one continues the count,
  // so every attachment NID is unique in the flattened list.
  auto t = f.Tc(f.FindSub(subs, format::kNidAttachmentTable)->dataBlock->bid, subs);
  EXPECT_EQ(t.rowIds, (std::vector<uint32_t>{0x8025, 0x8045, 0x8085}));
  auto [ibMethod, bitMethod] = t.columns.at(0x37050003);
  EXPECT_EQ(U32(t.rows[1], ibMethod), 5u);
  std::map<uint32_t, int> seen;
  for (const auto& e : *subs) {
    if ((e.nid & 0x1F) != 0x1F && e.nid != format::kNidRecipientTable && e.nid != format::kNidAttachmentTable) {
      EXPECT_EQ(++seen[e.nid], 1) << std::hex << e.nid;
    }
  }
  EXPECT_EQ(seen.count(0x8065), 1u);  // the embedded message's own attachment

  auto att = f.Pc(f.FindSub(subs, 0x8045)->dataBlock->bid, subs);
  ASSERT_EQ(att[0x3701].type, format::kPtypObject);
  ASSERT_EQ(att[0x3701].bytes.size(), 8u);
  EXPECT_EQ(att[0x3705].hnid, 5u);
  const store::SubnodeEntry* msg = f.FindSub(subs, U32(att[0x3701].bytes, 0));
  ASSERT_NE(msg, nullptr);
  auto m = f.Pc(msg->dataBlock->bid, subs);
  EXPECT_EQ(m[0x0037].bytes, U16le("Forwarded"));
  EXPECT_EQ(m[0x0E07].hnid & 0x10, 0x10u);
  EXPECT_EQ(U32(att[0x3701].bytes, 4), att[0x0E20].hnid);
}

TEST(MailboxItemTest, RecipientsFillTheRecipientTable) {
  MailboxBuilder b;
  Item mail = MakeMail({});
  mail.recipients = {{"Bob", "bob@example.com", 1}, {"Carol", "carol@example.com", 2}};
  uint32_t nid = b.AddItem(b.topFolder(), mail);
  Opened f(b);
  const store::SubnodeList* subs = f.Subnodes(f.Node(nid));
  auto t = f.Tc(f.FindSub(subs, format::kNidRecipientTable)->dataBlock->bid, subs);
  ASSERT_EQ(t.rows.size(), 2u);
  auto [ibType, bitType] = t.columns.at(0x0C150003);
  EXPECT_EQ(U32(t.rows[1], ibType), 2u);
  EXPECT_EQ(t.columns.at(0x3001001F).first, 20);  // the template's layout
  EXPECT_EQ(t.rowWidth, 52);
}

TEST(MailboxItemTest, OtherKindsWithNamedPropertiesAndTheNameMap) {
  MailboxBuilder b;
  FolderOptions contactOptions;
  contactOptions.containerClass = "IPF.Contact";
  uint32_t contacts = b.AddFolder(b.topFolder(), "Contacts", contactOptions);
  ContactFields c;
  c.displayName = "Dana Scully";
  c.fileUnder = "Scully, Dana";
  c.postalAddress = "1 Main St";
  c.mobilePhone = "555-0100";
  c.email = "dana@example.com";
  uint32_t contact = b.AddItem(contacts, MakeContact(c));
  AppointmentFields ap;
  ap.subject = "Meeting";
  ap.location = "Room 1";
  uint32_t appt = b.AddItem(b.topFolder(), MakeAppointment(ap));
  uint32_t task = b.AddItem(b.topFolder(), MakeTask({"Do it", "", 0, 1, false}));
  uint32_t note = b.AddItem(b.topFolder(), MakeStickyNote({"Remember", "milk", 3}));
  uint32_t journal = b.AddItem(b.topFolder(), MakeJournal({}));
  Item custom = MakeMail({});
  custom.props.NamedText(PropertyName::String(kPsPublicStrings, "Keywords"), "red");
  custom.props.Raw(0x6F04, format::kPtypBinary, Filled(3, 1));
  custom.props.NamedText(PropertyName::Lid(kPsetidCommon, 0x8554), "16.0")
      .PlaceNamed(PropertyName::Lid(kPsetidCommon, 0x8554), Placement::Subnode);
  uint32_t mail = b.AddItem(b.topFolder(), custom);
  Opened f(b);

  // Named IDs in order of first use.
  const uint16_t fileUnder = b.names().Find(PropertyName::Lid(kPsetidAddress, 0x8005)).value();
  const uint16_t location = b.names().Find(PropertyName::Lid(kPsetidAppointment, 0x8208)).value();
  EXPECT_EQ(fileUnder, 0x8000);
  auto pc = f.NodePc(contact);
  EXPECT_EQ(pc[0x001A].bytes, U16le("IPM.Contact"));
  EXPECT_EQ(pc[fileUnder].bytes, U16le("Scully, Dana"));
  EXPECT_EQ(pc[0x3A15].bytes, U16le("1 Main St"));
  EXPECT_EQ(pc[0x3A1C].bytes, U16le("555-0100"));
  uint16_t email = b.names().Find(PropertyName::Lid(kPsetidAddress, 0x8083)).value();
  EXPECT_EQ(pc[email].bytes, U16le("dana@example.com"));
  auto ap2 = f.NodePc(appt);
  EXPECT_EQ(ap2[location].bytes, U16le("Room 1"));
  uint16_t clipStart = b.names().Find(PropertyName::Lid(kPsetidAppointment, 0x8235)).value();
  EXPECT_EQ(ap2[clipStart].type, format::kPtypTime);
  EXPECT_EQ(f.NodePc(task)[0x001A].bytes, U16le("IPM.Task"));
  EXPECT_EQ(f.NodePc(note)[0x001A].bytes, U16le("IPM.StickyNote"));
  auto j = f.NodePc(journal);
  EXPECT_EQ(j[0x001A].bytes, U16le("IPM.Activity"));
  EXPECT_EQ(j[b.names().Find(PropertyName::Lid(kPsetidLog, 0x8700)).value()].bytes,
            U16le("Phone call"));
  auto m = f.NodePc(mail);
  EXPECT_EQ(m[b.names().Find(PropertyName::String(kPsPublicStrings, "Keywords")).value()].bytes,
            U16le("red"));
  EXPECT_EQ(m[0x6F04].bytes, Filled(3, 1));
  auto version = m[b.names().Find(PropertyName::Lid(kPsetidCommon, 0x8554)).value()];
  EXPECT_TRUE(version.inSubnode);
  EXPECT_EQ(version.bytes, U16le("16.0"));

  // The name map node: entry stream record of file-under, and its bucket.
  auto map = f.NodePc(format::kNidNameToIdMap);
  EXPECT_EQ(map[0x0001].hnid, 251u);
  const Buffer& entries = map[0x0003].bytes;
  ASSERT_EQ(entries.size(), 8u * b.names().size());
  EXPECT_EQ(U32(entries, 0), 0x8005u);
  uint16_t wGuid = U16(entries, 4);
  EXPECT_EQ(wGuid, 3 << 1);  // PSETID_Address is the first GUID in the stream
  EXPECT_EQ(U16(entries, 6), 0);
  uint16_t bucket = static_cast<uint16_t>(0x1000 + (0x8005 ^ wGuid) % 251);
  ASSERT_TRUE(map.count(bucket));
  EXPECT_EQ(U32(map[bucket].bytes, 0), 0x8005u);
}

TEST(MailboxItemTest, AnsiStoresUseString8AndNarrowRowIndexes) {
  MailboxOptions o;
  o.ndb.format = Format::Ansi14;
  MailboxBuilder b(o);
  uint32_t folder = b.AddFolder(b.topFolder(), "\xC3\x9C" "bersicht");
  MailFields m;
  m.subject = "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC";
  m.body = std::string(9000, 'a');
  uint32_t nid = b.AddItem(folder, MakeMail(m));
  Opened f(b);
  EXPECT_FALSE(f.unicode());
  auto pc = f.NodePc(nid);
  EXPECT_EQ(pc[0x0037].type, format::kPtypString8);
  EXPECT_EQ(pc[0x0037].bytes, (Buffer{std::byte{'G'}, std::byte{'r'}, std::byte{0xFC},
                                      std::byte{0xDF}, std::byte{'e'}, std::byte{' '},
                                      std::byte{0x80}}));
  EXPECT_TRUE(pc[0x1000].inSubnode);
  EXPECT_EQ(pc[0x1000].bytes.size(), 9000u);
  auto fp = f.NodePc(folder);
  EXPECT_EQ(fp[0x3001].bytes, (Buffer{std::byte{0xDC}, std::byte{'b'}, std::byte{'e'},
                                      std::byte{'r'}, std::byte{'s'}, std::byte{'i'},
                                      std::byte{'c'}, std::byte{'h'}, std::byte{'t'}}));
  auto c = f.Tc(f.Node((folder & ~0x1Fu) | 0x0E)->dataBlock->bid, nullptr);
  EXPECT_EQ(c.cbEnt, 2);
  EXPECT_TRUE(c.columns.count(0x0037001E));
  EXPECT_FALSE(c.columns.count(0x0037001F));
}

TEST(MailboxItemTest, OverridesAndKnobsReachEveryProperty) {
  MailboxOptions o;
  o.storeProps.Long(0x35DF, 0xFF).Text(0x3001, "Renamed");
  o.nameMapProperties = std::vector<PcProperty>{{0x0001, format::kPtypInteger32, Buffer{std::byte{5}, {}, {}, {}}}};
  o.ndb.encryption = 2;
  MailboxBuilder b(o);
  Item item = MakeMail({});
  item.props.Long(0x0E08, 12345);
  item.props.Text(0x0037, std::string(5000, 's'));  // too large for the heap
  item.props.Raw(0x0E07, format::kPtypInteger32, Buffer{std::byte{4}, {}, {}, {}});
  uint32_t nid = b.AddItem(b.topFolder(), item);
  EXPECT_THROW(item.props.Place(0x7777, Placement::Subnode), std::out_of_range);
  Opened f(b);
  auto s = f.NodePc(format::kNidMessageStore);
  EXPECT_EQ(s[0x35DF].hnid, 0xFFu);
  EXPECT_EQ(s[0x3001].bytes, U16le("Renamed"));
  auto map = f.NodePc(format::kNidNameToIdMap);
  EXPECT_EQ(map.size(), 1u);
  EXPECT_EQ(map[0x0001].hnid, 5u);
  auto pc = f.NodePc(nid);
  EXPECT_EQ(pc[0x0E08].hnid, 12345u);
  EXPECT_EQ(pc[0x0E07].hnid, 4u);
  EXPECT_TRUE(pc[0x0037].inSubnode);
  EXPECT_EQ(pc[0x0037].bytes.size(), 10000u);
  // The folder counts the item as unread (no read flag).
  EXPECT_EQ(f.NodePc(kTopFolderNid)[0x3603].hnid, 1u);
}

TEST(MailboxItemTest, TableKnobsForceSubnodeRowsAndIndexLevels) {
  MailboxOptions o;
  o.tables.rowsInSubnode = true;
  o.tables.maxItemBytes = 40;  // five row index records per leaf
  MailboxBuilder b(o);
  Item mail = MakeMail({});
  for (int i = 0; i < 3; ++i) {
    Attachment a;
    a.fileName = "f" + std::to_string(i);
    a.data = Filled(10, i);
    mail.attachments.push_back(a);
  }
  uint32_t nid = b.AddItem(b.topFolder(), mail);
  for (int i = 0; i < 11; ++i) b.AddItem(b.topFolder(), MakeMail({}));
  Opened f(b);
  const store::SubnodeList* subs = f.Subnodes(f.Node(nid));
  auto t = f.Tc(f.FindSub(subs, format::kNidAttachmentTable)->dataBlock->bid, subs);
  EXPECT_EQ(t.rows.size(), 3u);  // the matrix came from a subnode nested under the table
  EXPECT_EQ(t.rowIds, (std::vector<uint32_t>{0x8025, 0x8045, 0x8065}));

  const store::NodeEntry* contents = f.Node(0x802E);
  auto pages = f.Pages(contents->dataBlock->bid);
  ByteSpan info = f.Item(pages, U32(pages[0], 4));
  EXPECT_NE(U32(info, 14) & 0x1F, 0u);                       // row matrix in a subnode
  EXPECT_GE(static_cast<int>(f.Item(pages, U32(info, 10))[3]), 1);  // row index levels
  auto c = f.Tc(contents->dataBlock->bid, f.Subnodes(contents));
  EXPECT_EQ(c.rowIds.size(), 12u);
  EXPECT_EQ(c.rows.size(), 12u);
}

TEST(MailboxScaleTest, LargeFolderTablesSpanHeapPagesAndSubnodes) {
  MailboxBuilder b;
  uint32_t folder = b.AddFolder(b.topFolder(), "Bulk");
  for (int i = 0; i < 1500; ++i) {
    MailFields m;
    m.subject = "Message number " + std::to_string(i);
    m.senderName = "Sender";
    b.AddItem(folder, MakeMail(m));
  }
  Opened f(b);
  const store::NodeEntry* contents = f.Node((folder & ~0x1Fu) | 0x0E);
  ASSERT_NE(contents, nullptr);
  EXPECT_EQ(contents->dataBlock->bid & 2, 2u);  // heap of several pages
  auto t = f.Tc(contents->dataBlock->bid, f.Subnodes(contents));
  ASSERT_EQ(t.rowIds.size(), 1500u);
  ASSERT_EQ(t.rows.size(), 1500u);
  for (size_t i = 1; i < t.rowIds.size(); ++i) ASSERT_LT(t.rowIds[i - 1], t.rowIds[i]);
  EXPECT_EQ(U32(t.rows[1499], 0), t.rowIds[1499]);
  EXPECT_EQ(f.NodePc(folder)[0x3602].hnid, 1500u);
}

}  // namespace
}  // namespace velmorix::storebuilder
