#include "storebuilder/mailbox.h"
#include "storebuilder/mailbox_folder.h"

#include <algorithm>
#include <stdexcept>

#include "format/vocabulary.h"
#include "storebuilder/rtf.h"

namespace velmorix::storebuilder {
namespace {


// Column sets of the table templates; string columns are adapted per variant.
const std::vector<uint32_t> kHierarchyColumns = {0x3001001F, 0x36020003, 0x36030003, 0x360A000B,
                                                 0x3613001F};
const std::vector<uint32_t> kContentsColumns = {
    0x0E170003, 0x001A001F, 0x0E070003, 0x00170003, 0x0042001F, 0x0037001F, 0x0E060040,
    0x0E080003, 0x0E04001F, 0x0E03001F, 0x0057000B, 0x0058000B, 0x00360003, 0x10970003};
const std::vector<uint32_t> kFaiColumns = {0x0E170003, 0x001A001F, 0x0E070003, 0x3001001F,
                                           0x70030003, 0x70040102, 0x70050102, 0x7006001F,
                                           0x70070003, 0x6800001F, 0x6803000B, 0x68051003,
                                           0x682F001F};
const std::vector<uint32_t> kSearchColumns = {
    0x67F10003, 0x0E05001F, 0x0E170003, 0x001A001F, 0x0E070003, 0x00170003, 0x0042001F, 0x0037001F,
    0x0E060040, 0x0E080003, 0x0E04001F, 0x0E03001F, 0x0057000B, 0x0058000B, 0x00360003};
const std::vector<uint32_t> kAttachmentColumns = {0x370B0003, 0x0E200003, 0x37050003, 0x3704001F};
const std::vector<uint32_t> kRecipientColumns = {
    0x0E0F000B, 0x3002001F, 0x3003001F, 0x0FFF0102, 0x3001001F, 0x0C150003,
    0x300B0102, 0x0FF90102, 0x0FFE0003, 0x39000003, 0x3A40000B, 0x39FF001F};
const std::vector<uint32_t> kReceiveFolderColumns = {0x001A001F, 0x66050003};

}  // namespace

// ---------------------------------------------------------------- builder

MailboxBuilder::MailboxBuilder(MailboxOptions options)
    : options_(std::move(options)), ndb_(std::make_unique<NdbWriter>(options_.ndb)) {
  auto add = [&](uint32_t nid, uint32_t parent, std::string name) {
    auto f = std::make_unique<Folder>();
    f->nid = nid;
    f->parent = parent;
    f->name = std::move(name);
    folderByNid_[nid] = f.get();
    if (nid != parent) folderByNid_.at(parent)->children.push_back(nid);
    folders_.push_back(std::move(f));
  };
  add(format::kNidRootFolder, format::kNidRootFolder, "");
  add(kTopFolderNid, format::kNidRootFolder, options_.topFolderName);
  nextFolderIndex_ = (kTopFolderNid >> 5) + 1;
  if (options_.deletedItems) {
    deletedItems_ = (nextFolderIndex_++ << 5) | 2;
    add(deletedItems_, kTopFolderNid, "Deleted Items");
    folderByNid_.at(deletedItems_)->options.containerClass = "IPF.Note";
  }
  if (options_.searchRoot) {
    searchRoot_ = (nextFolderIndex_++ << 5) | 2;
    add(searchRoot_, format::kNidRootFolder, "Search Root");
  }
}

MailboxBuilder::~MailboxBuilder() = default;

bool MailboxBuilder::unicode() const { return ndb_->unicode(); }
LtpFormat MailboxBuilder::Ltp() const { return LtpFormat::Of(options_.ndb.format); }

MailboxBuilder::Folder& MailboxBuilder::FolderOf(uint32_t nid) {
  auto it = folderByNid_.find(nid);
  if (it == folderByNid_.end()) throw std::invalid_argument("unknown folder");
  return *it->second;
}

uint32_t MailboxBuilder::AddFolder(uint32_t parent, std::string_view displayName,
                                   const FolderOptions& options) {
  if (finished_) throw std::logic_error("mailbox already finished");
  Folder& p = FolderOf(parent);
  auto f = std::make_unique<Folder>();
  f->nid = (nextFolderIndex_++ << 5) | 2;
  f->parent = parent;
  f->name = std::string(displayName);
  f->options = options;
  p.children.push_back(f->nid);
  p.dirty = true;
  folderByNid_[f->nid] = f.get();
  folders_.push_back(std::move(f));
  return folders_.back()->nid;
}

PcProperty MailboxBuilder::Resolve(const PropertyBag::Entry& e) {
  PcProperty p;
  p.id = e.named ? names_.IdFor(e.name) : e.id;
  p.placement = e.value.placement;
  p.treeLevel = e.value.treeLevel;
  if (e.value.isText) {
    p.type = unicode() ? format::kPtypString : format::kPtypString8;
    p.value = unicode() ? Utf16le(e.value.text) : Windows1252(e.value.text);
  } else {
    p.type = e.value.type;
    p.value = e.value.bytes;
  }
  return p;
}

std::vector<PcProperty> MailboxBuilder::Resolve(const PropertyBag& bag) {
  std::vector<PcProperty> out;
  out.reserve(bag.entries().size());
  for (const auto& e : bag.entries()) out.push_back(Resolve(e));
  return out;
}

std::vector<uint32_t> MailboxBuilder::Columns(std::vector<uint32_t> tags) const {
  if (!ndb_->unicode()) {
    for (uint32_t& t : tags) {
      if ((t & 0xFFFF) == format::kPtypString) t = (t & 0xFFFF0000) | format::kPtypString8;
    }
  }
  return tags;
}

uint32_t MailboxBuilder::WriteHeap(const std::vector<Buffer>& pages) {
  if (pages.size() == 1) return ndb_->AddDataBlock(pages[0]);
  std::vector<uint32_t> bids;
  std::vector<uint32_t> sizes;
  for (const Buffer& p : pages) {
    bids.push_back(ndb_->AddDataBlock(p));
    sizes.push_back(static_cast<uint32_t>(p.size()));
  }
  return ndb_->AddTree(bids, sizes);
}

uint32_t MailboxBuilder::WriteValue(const LtpSubnode& value) {
  if (value.blockSizes.empty() && value.treeLevel != 2) return ndb_->AddData(value.data);
  std::vector<Buffer> blocks;
  if (value.blockSizes.empty()) {
    size_t max = ndb_->maxBlockData();
    for (size_t at = 0; at < value.data.size(); at += max) {
      size_t n = std::min(max, value.data.size() - at);
      blocks.emplace_back(value.data.begin() + static_cast<ptrdiff_t>(at),
                          value.data.begin() + static_cast<ptrdiff_t>(at + n));
    }
  } else {
    size_t at = 0;
    for (size_t n : value.blockSizes) {
      blocks.emplace_back(value.data.begin() + static_cast<ptrdiff_t>(at),
                          value.data.begin() + static_cast<ptrdiff_t>(at + n));
      at += n;
    }
  }
  if (blocks.empty()) blocks.emplace_back();
  if (value.treeLevel != 2) return WriteHeap(blocks);
  // A forced two-level tree: the blocks split over two XBLOCKs when there are
  // at least two of them.
  std::vector<uint32_t> bids;
  for (const Buffer& b : blocks) bids.push_back(ndb_->AddDataBlock(b));
  const size_t half = bids.size() > 1 ? bids.size() / 2 : bids.size();
  std::vector<uint32_t> xbids;
  for (auto [start, end] : {std::pair{size_t{0}, half}, std::pair{half, bids.size()}}) {
    if (start == end) continue;
    std::vector<uint32_t> part(bids.begin() + static_cast<ptrdiff_t>(start),
                               bids.begin() + static_cast<ptrdiff_t>(end));
    uint64_t size = 0;
    for (size_t k = start; k < end; ++k) size += blocks[k].size();
    xbids.push_back(ndb_->AddDataTree(part, static_cast<uint32_t>(size), 1));
  }
  return ndb_->AddDataTree(xbids, static_cast<uint32_t>(value.data.size()), 2);
}

uint32_t MailboxBuilder::WriteLtp(LtpNode& node, std::vector<SubnodeRef>& refs) {
  for (const LtpSubnode& s : node.subnodes) refs.push_back({s.nid, WriteValue(s), 0});
  return WriteHeap(node.pages);
}

uint32_t MailboxBuilder::WriteSubnodes(std::vector<SubnodeRef> refs) {
  if (refs.empty()) return 0;
  std::stable_sort(refs.begin(), refs.end(),
                   [](const SubnodeRef& a, const SubnodeRef& b) { return a.nid < b.nid; });
  return ndb_->AddSubnodeBlock(refs);
}

uint32_t MailboxBuilder::WriteEmptyTable(const std::vector<uint32_t>& columns) {
  SubnodeNids nids;
  TableWriter t(Columns(columns), Ltp(), nids);
  LtpNode node = t.Finish();
  return WriteHeap(node.pages);
}

uint32_t MailboxBuilder::WritePcNode(uint32_t nid, uint32_t parent, std::vector<PcProperty> props) {
  SubnodeNids nids;
  LtpNode node = BuildPropertyContext(std::move(props), Ltp(), nids);
  std::vector<SubnodeRef> refs;
  uint32_t bid = WriteLtp(node, refs);
  ndb_->AddNode(nid, bid, WriteSubnodes(std::move(refs)), parent);
  return bid;
}

MailboxBuilder::WrittenMessage MailboxBuilder::WriteMessage(const Item& item, MessageIds& ids,
                                                            bool wantRow) {
  const bool uni = unicode();
  SubnodeNids& nids = ids.ltp;
  std::vector<SubnodeRef> refs;

  // Recipient table: one shared block for the common case of no recipients.
  if (item.recipients.empty()) {
    if (!emptyRecipientTable_) emptyRecipientTable_ = WriteEmptyTable(kRecipientColumns);
    refs.push_back({format::kNidRecipientTable, emptyRecipientTable_, 0});
  } else {
    std::vector<uint32_t> columns = Columns(item.recipientColumns.value_or(kRecipientColumns));
    const bool smtp = std::any_of(item.recipients.begin(), item.recipients.end(),
                                  [](const Recipient& r) { return !r.smtpAddress.empty(); });
    if (smtp && !item.recipientColumns) columns.push_back(Columns({0x39FE001F})[0]);
    TableWriter t(columns, Ltp(), nids, options_.tables);
    uint32_t rowId = 0x32;
    for (const Recipient& r : item.recipients) {
      auto text = [&](std::string_view s) { return uni ? Utf16le(s) : Windows1252(s); };
      std::vector<TcCell> cells = {
          {Columns({0x3001001F})[0], text(r.name)},
          {Columns({0x3002001F})[0], text(r.addressType)},
          {Columns({0x3003001F})[0], text(r.email)},
          {0x0C150003, LeBytes(static_cast<uint32_t>(r.type), 4)},
          {0x0FFE0003, LeBytes(6, 4)},
          {0x39000003, LeBytes(0, 4)},
          {0x0E0F000B, LeBytes(1, 1)},
      };
      if (!r.smtpAddress.empty()) cells.push_back({Columns({0x39FE001F})[0], text(r.smtpAddress)});
      // Cells of columns the table lacks are left out.
      std::erase_if(cells, [&](const TcCell& c) {
        return std::find(columns.begin(), columns.end(), c.tag) == columns.end();
      });
      t.AddRow(rowId++, cells);
    }
    LtpNode node = t.Finish();
    std::vector<SubnodeRef> inner;
    uint32_t bid = WriteLtp(node, inner);
    refs.push_back({format::kNidRecipientTable, bid, WriteSubnodes(std::move(inner))});
  }

  // Attachments: a PC subnode each (with its own subnodes) and the table.
  uint64_t attachmentBytes = 0;
  if (item.attachmentTable == AttachmentTableForm::NoRows) {
    TableWriter table(Columns(kAttachmentColumns), Ltp(), nids, options_.tables);
    LtpNode node = table.Finish();
    std::vector<SubnodeRef> inner;
    uint32_t bid = WriteLtp(node, inner);
    refs.push_back({format::kNidAttachmentTable, bid, WriteSubnodes(std::move(inner))});
  } else if (!item.attachments.empty()) {
    TcOptions tableOptions = options_.tables;
    if (item.attachmentTable == AttachmentTableForm::MatrixMissing) tableOptions.rowsInSubnode = true;
    TableWriter table(Columns(kAttachmentColumns), Ltp(), nids, tableOptions);
    for (const Attachment& a : item.attachments) {
      const uint32_t attNid = (ids.attachmentIndex++ << 5) | 5;
      std::vector<SubnodeRef> inner;
      PropertyBag bag;
      uint32_t size = static_cast<uint32_t>(a.data.size());
      int method = a.method;
      if (a.embedded) {
        // An embedded message: its PC and subnodes live in a subnode of the
        // attachment, named by the object value (subnode NID, size).
        WrittenMessage m = WriteMessage(*a.embedded, ids, false);
        const uint32_t msgNid = nids.Next();
        inner.push_back({msgNid, m.dataBid, m.subnodeBid});
        Buffer object = LeBytes(msgNid, 4);
        Buffer total = LeBytes(m.size, 4);
        object.insert(object.end(), total.begin(), total.end());
        bag.Raw(0x3701, format::kPtypObject, object).Place(0x3701, Placement::Heap);
        size = m.size;
        method = 5;
      } else {
        bag.Binary(0x3701, a.data).Place(0x3701, a.dataPlacement, a.dataTreeLevel);
      }
      if (a.size) size = *a.size;
      attachmentBytes += size;
      bag.Long(0x0E20, size).Long(0x3705, static_cast<uint32_t>(method));
      bag.Long(0x370B, 0xFFFFFFFF).Long(0x7FFD, 0).Bool(0x7FFE, false);
      if (!a.fileName.empty()) {
        bag.Text(0x3001, a.fileName).Text(0x3704, a.fileName).Text(0x3707, a.fileName);
      }
      if (!a.mimeTag.empty()) bag.Text(0x370E, a.mimeTag);
      std::vector<PcProperty> props = Resolve(bag);
      for (PcProperty& p : Resolve(a.props)) {
        std::erase_if(props, [&](const PcProperty& q) { return q.id == p.id; });
        props.push_back(std::move(p));
      }
      LtpNode node = BuildPropertyContext(std::move(props), Ltp(), nids);
      uint32_t bid = WriteLtp(node, inner);
      refs.push_back({attNid, bid, WriteSubnodes(std::move(inner))});
      std::vector<TcCell> cells = {{0x370B0003, LeBytes(0xFFFFFFFF, 4)},
                                   {0x0E200003, LeBytes(size, 4)},
                                   {0x37050003, LeBytes(static_cast<uint32_t>(method), 4)}};
      if (!a.fileName.empty()) {
        cells.push_back({Columns({0x3704001F})[0], uni ? Utf16le(a.fileName) : Windows1252(a.fileName)});
      }
      table.AddRow(attNid, cells);
    }
    LtpNode node = table.Finish();
    if (item.attachmentTable == AttachmentTableForm::MatrixMissing) node.subnodes.clear();
    if (item.attachmentTable == AttachmentTableForm::Overwritten) {
      for (Buffer& page : node.pages) {
        for (size_t i = 0; i < page.size(); ++i) page[i] = static_cast<std::byte>(0xA5 ^ (i * 7));
      }
    }
    std::vector<SubnodeRef> inner;
    uint32_t bid = WriteLtp(node, inner);
    refs.push_back({format::kNidAttachmentTable, bid, WriteSubnodes(std::move(inner))});
  }

  // The message's own properties, with the computed ones unless given.
  std::vector<PcProperty> props = Resolve(item.props);
  auto find = [&](uint16_t id) -> PcProperty* {
    for (PcProperty& p : props) {
      if (p.id == id) return &p;
    }
    return nullptr;
  };
  if (!find(0x0E07)) props.push_back({0x0E07, format::kPtypInteger32, LeBytes(0x01, 4)});
  if (!item.attachments.empty()) {
    PcProperty* flags = find(0x0E07);
    if (flags->type == format::kPtypInteger32 && flags->value.size() == 4) flags->value[0] |= std::byte{0x10};
  }
  uint64_t size = attachmentBytes;
  for (const PcProperty& p : props) size += p.value.size();
  if (!find(0x0E08)) props.push_back({0x0E08, format::kPtypInteger32, LeBytes(std::min<uint64_t>(size, 0x7FFFFFFF), 4)});

  WrittenMessage out;
  out.size = static_cast<uint32_t>(std::min<uint64_t>(size, 0x7FFFFFFF));
  PcProperty* flags = find(0x0E07);
  out.read = flags && !flags->value.empty() && (static_cast<uint8_t>(flags->value[0]) & 1);
  if (wantRow) {
    for (uint32_t tag : Columns(kContentsColumns)) {
      PcProperty* p = find(static_cast<uint16_t>(tag >> 16));
      if (p && p->type == (tag & 0xFFFF)) out.row.push_back({tag, p->value});
    }
  }
  LtpNode node = BuildPropertyContext(std::move(props), Ltp(), nids);
  out.dataBid = WriteLtp(node, refs);
  out.subnodeBid = WriteSubnodes(std::move(refs));
  return out;
}

uint32_t MailboxBuilder::AddItem(uint32_t folderNid, const Item& item) {
  if (finished_) throw std::logic_error("mailbox already finished");
  Folder& folder = FolderOf(folderNid);
  const uint32_t nid = (nextMessageIndex_++ << 5) | 4;
  MessageIds ids;
  const uint32_t firstBid = ndb_->PeekNextBlockBid(false);
  WrittenMessage m = WriteMessage(item, ids, options_.contentsRows || options_.keepRows);
  ++folder.items;
  if (!m.read) ++folder.unread;
  if (options_.keepRows) {
    kept_[nid] = {folderNid, m.dataBid, firstBid, ndb_->PeekNextBlockBid(false), m.read};
    folder.rows.emplace_back(nid, std::move(m.row));
    folder.dirty = true;
    FolderOf(folder.parent).dirty = true;  // its hierarchy row counts the item
  } else if (options_.contentsRows) {
    if (!folder.contents) {
      folder.contentsNids = std::make_unique<SubnodeNids>();
      folder.contents = std::make_unique<TableWriter>(Columns(kContentsColumns), Ltp(),
                                                      *folder.contentsNids, options_.tables);
    }
    folder.contents->AddRow(nid, m.row);
  }
  ndb_->AddNode(nid, m.dataBid, m.subnodeBid, folderNid);
  return nid;
}

void MailboxBuilder::WriteFolder(Folder& f) {
  const FolderOptions& o = f.options;
  PropertyBag bag;
  bag.Text(0x3001, f.name);
  bag.Long(0x3602, o.contentCount.value_or(f.items));
  bag.Long(0x3603, o.unreadCount.value_or(f.unread));
  bag.Bool(0x360A, o.hasSubfolders.value_or(!f.children.empty()));
  if (!o.containerClass.empty()) bag.Text(0x3613, o.containerClass);
  std::vector<PcProperty> props = Resolve(bag);
  for (PcProperty& p : Resolve(o.props)) {
    std::erase_if(props, [&](const PcProperty& q) { return q.id == p.id; });
    props.push_back(std::move(p));
  }
  WritePcNode(f.nid, f.parent, std::move(props));

  const uint32_t base = f.nid & ~0x1Fu;
  // Hierarchy table: a row per child folder.
  if (f.children.empty()) {
    ndb_->AddNode(base | 0x0D, hierarchyTemplate_, 0, 0);
  } else {
    SubnodeNids nids;
    TableWriter t(Columns(kHierarchyColumns), Ltp(), nids, options_.tables);
    for (uint32_t child : f.children) {
      Folder& c = FolderOf(child);
      std::vector<TcCell> cells = {
          {Columns({0x3001001F})[0], unicode() ? Utf16le(c.name) : Windows1252(c.name)},
          {0x36020003, LeBytes(c.options.contentCount.value_or(c.items), 4)},
          {0x36030003, LeBytes(c.options.unreadCount.value_or(c.unread), 4)},
          {0x360A000B, LeBytes(c.options.hasSubfolders.value_or(!c.children.empty()) ? 1 : 0, 1)}};
      if (!c.options.containerClass.empty()) {
        const std::string& cls = c.options.containerClass;
        cells.push_back({Columns({0x3613001F})[0], unicode() ? Utf16le(cls) : Windows1252(cls)});
      }
      t.AddRow(child, cells);
    }
    LtpNode node = t.Finish();
    std::vector<SubnodeRef> refs;
    uint32_t bid = WriteLtp(node, refs);
    ndb_->AddNode(base | 0x0D, bid, WriteSubnodes(std::move(refs)), 0);
  }
  // Contents table: a row per item (when rows are kept).
  if (options_.keepRows && !f.rows.empty()) {
    SubnodeNids rowNids;
    TableWriter t(Columns(kContentsColumns), Ltp(), rowNids, options_.tables);
    for (const auto& [rowId, cells] : f.rows) t.AddRow(rowId, cells);
    LtpNode node = t.Finish();
    std::vector<SubnodeRef> refs;
    uint32_t bid = WriteLtp(node, refs);
    ndb_->AddNode(base | 0x0E, bid, WriteSubnodes(std::move(refs)), 0);
  } else if (f.contents) {
    LtpNode node = f.contents->Finish();
    f.contents.reset();
    std::vector<SubnodeRef> refs;
    uint32_t bid = WriteLtp(node, refs);
    ndb_->AddNode(base | 0x0E, bid, WriteSubnodes(std::move(refs)), 0);
  } else {
    ndb_->AddNode(base | 0x0E, contentsTemplate_, 0, 0);
  }
  ndb_->AddNode(base | 0x0F, faiTemplate_, 0, 0);
}

void MailboxBuilder::WriteStore() {
  auto entryId = [&](uint32_t nid) {
    Buffer b(4);
    for (uint8_t k : options_.recordKey) b.push_back(std::byte{k});
    Buffer n = LeBytes(nid, 4);
    b.insert(b.end(), n.begin(), n.end());
    return b;
  };
  PropertyBag bag;
  Buffer key;
  for (uint8_t k : options_.recordKey) key.push_back(std::byte{k});
  bag.Binary(0x0FF9, key);
  bag.Text(0x3001, options_.storeName);
  bag.Long(0x35DF, 0x89);
  if (options_.subtreeEntryNid) bag.Binary(0x35E0, entryId(*options_.subtreeEntryNid));
  if (deletedItems_) bag.Binary(0x35E3, entryId(deletedItems_));
  if (searchRoot_) bag.Binary(0x35E7, entryId(searchRoot_));
  bag.Long(0x67FF, 0);
  std::vector<PcProperty> props = Resolve(bag);
  for (PcProperty& p : Resolve(options_.storeProps)) {
    std::erase_if(props, [&](const PcProperty& q) { return q.id == p.id; });
    props.push_back(std::move(p));
  }
  WritePcNode(format::kNidMessageStore, 0, std::move(props));
}

void MailboxBuilder::WriteTemplates() {
  hierarchyTemplate_ = WriteEmptyTable(kHierarchyColumns);
  contentsTemplate_ = WriteEmptyTable(kContentsColumns);
  faiTemplate_ = WriteEmptyTable(kFaiColumns);
}

void MailboxBuilder::WriteInternalNodes() {
  ndb_->AddNode(0x1E1, 0, 0, 0);
  ndb_->AddNode(0x201, 0, 0, 0);
  ndb_->AddNode(0x60D, hierarchyTemplate_, 0, 0);
  ndb_->AddNode(0x60E, contentsTemplate_, 0, 0);
  ndb_->AddNode(0x60F, faiTemplate_, 0, 0);
  ndb_->AddNode(0x610, WriteEmptyTable(kSearchColumns), 0, 0);
  ndb_->AddNode(0x62B, WriteEmptyTable(kReceiveFolderColumns), 0, 0);
  ndb_->AddNode(format::kNidAttachmentTable, WriteEmptyTable(kAttachmentColumns), 0, 0);
  if (!emptyRecipientTable_) emptyRecipientTable_ = WriteEmptyTable(kRecipientColumns);
  ndb_->AddNode(format::kNidRecipientTable, emptyRecipientTable_, 0, 0);
}

void MailboxBuilder::Finish() {
  WriteMailbox();
  ndb_->Finish();
}

void MailboxBuilder::WriteMailbox() {
  if (finished_) return;
  finished_ = true;
  if (!hierarchyTemplate_) WriteTemplates();
  for (auto& f : folders_) {
    if (!options_.keepRows) {
      WriteFolder(*f);
    } else if (f->dirty || !f->written) {
      RewriteFolder(*f);
    }
  }
  if (!storeWritten_) WriteStore();
  storeWritten_ = true;
  // Readers refuse a name-to-ID map without entries or property-set GUIDs,
  // and every store a mail client makes has both: a mailbox that uses no
  // named property still gets one (the reminder flag of PSETID_Common).
  if (names_.size() == 0) names_.IdFor(PropertyName::Lid(kPsetidCommon, 0x8503));
  if (options_.nameMap) {
    WritePcNode(format::kNidNameToIdMap, 0, options_.nameMapProperties ? *options_.nameMapProperties
                                                           : names_.Properties());
  }
  if (options_.templates) WriteInternalNodes();
}

Buffer MailboxBuilder::Build() {
  Finish();
  return ndb_->Build();
}

void MailboxBuilder::Write(const std::string& path) {
  Finish();
  ndb_->Write(path);
}

}  // namespace velmorix::storebuilder
