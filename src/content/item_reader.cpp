#include "content/item_reader.h"

#include <algorithm>
#include <cctype>

#include "content/ltp.h"
#include "content/parts.h"
#include "format/vocabulary.h"

namespace velmorix::content {
namespace {

const store::SubnodeEntry* FindIn(const store::SubnodeList& level, uint32_t nid) {
  for (const auto& e : level) {
    if (e.nid == nid) return &e;
  }
  return nullptr;
}

// A subnode's own subnodes; empty when it has none or they cannot be read.
store::SubnodeList LevelOf(store::Store& store, const store::BlockEntry* block) {
  store::SubnodeList level;
  if (block) store::ReadSubnodeLevel(store, block, level);
  return level;
}

void AddProblem(Item& item, std::string problem) {
  if (std::find(item.problems.begin(), item.problems.end(), problem) == item.problems.end()) {
    item.problems.push_back(std::move(problem));
  }
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// Code pages that name a subset of Windows-1252 read as Windows-1252: texts
// often hold more than their declared ASCII or Latin-1.
int Widen(int cp) {
  if (cp == 20127 || cp == 28591 || cp == kCodePageUtf16le || cp == 1201 || cp <= 0) return kCodePageWindows1252;
  return cp;
}

// What the attachment table says of an attachment, used where its own
// properties are missing.
struct AttachmentRow {
  uint32_t nid = 0;
  std::string fileName;
  std::optional<int64_t> size, method, renderingPosition;
};

}  // namespace

// Where an item's properties and subnodes lie.
struct ItemReader::Node {
  uint32_t nid = 0;
  const store::BlockEntry* data = nullptr;
  const store::BlockEntry* subnodes = nullptr;
  const store::BlockEntry* containerSubnodes = nullptr;  // an embedded message's attachment
  int depth = 0;
  std::vector<uint32_t> enclosing;
};

ItemReader::ItemReader() = default;
ItemReader::~ItemReader() = default;

std::unique_ptr<ItemReader> ItemReader::Open(const std::string& path, std::string* error) {
  std::unique_ptr<ItemReader> r(new ItemReader());
  // No lock: the reader only reads, and a recovery of the same file may hold one.
  if (store::OpenStore(r->store_, path, false) != 0) {
    if (error) *error = "the file cannot be opened";
    return nullptr;
  }
  if (r->store_.variant == store::Variant::Unknown) {
    if (error) *error = "the file is not a personal or offline folders file";
    return nullptr;
  }
  try {
    if (store::LoadIndexes(r->store_) != 0 || r->store_.data->nodes.createdCount() == 0) {
      if (error) *error = "the file's indexes cannot be read";
      return nullptr;
    }
    items::LoadNamedPropertyMap(r->store_, r->ownNames_);
  } catch (const std::exception&) {
    if (error) *error = "the file's indexes cannot be read";
    return nullptr;
  }
  r->names_ = &r->ownNames_;
  return r;
}

std::unique_ptr<ItemReader> ItemReader::Open(const std::string& path,
                                             std::shared_ptr<const store::StoreData> data,
                                             const items::NamedPropertyMap* names, std::string* error) {
  if (!data) {
    if (error) *error = "no indexes are loaded";
    return nullptr;
  }
  std::unique_ptr<ItemReader> r(new ItemReader());
  if (store::OpenStore(r->store_, path, false) != 0) {
    if (error) *error = "the file cannot be opened";
    return nullptr;
  }
  // Indexes a deep scan rebuilt past a damaged header say how to read the file.
  if (data->scannedVariant != store::Variant::Unknown) {
    r->store_.variant = data->scannedVariant;
    r->store_.encryptionMethod = data->scannedEncryption;
  }
  if (r->store_.variant == store::Variant::Unknown) {
    if (error) *error = "the file is not a personal or offline folders file";
    return nullptr;
  }
  // The reader never writes through this: it reads subnodes into lists of
  // its own instead of the shared registry.
  r->store_.data = std::const_pointer_cast<store::StoreData>(std::move(data));
  r->names_ = names;
  return r;
}

bool ItemReader::Contains(uint32_t nid) const { return store_.data->nodes.FindReadOnly(nid) != nullptr; }

int ItemReader::StoreCodePage() {
  if (storeCodePage_) return *storeCodePage_;
  int cp = kCodePageWindows1252;
  if (const store::NodeEntry* n = store_.data->nodes.FindReadOnly(format::kNidMessageStore); n && n->dataBlock) {
    if (auto pc = ltp::PropertyContext::Read(store_, n->dataBlock->bid, nullptr, nullptr)) {
      for (uint16_t id : {uint16_t{0x3FFD}, uint16_t{0x3FDE}}) {
        auto v = pc->Get(id);
        if (auto i = v ? v->Int() : std::nullopt; i && *i > 0) {
          cp = Widen(static_cast<int>(*i));
          break;
        }
      }
    }
  }
  storeCodePage_ = cp;
  return cp;
}

std::optional<Item> ItemReader::Read(uint32_t nid, const ReadOptions& options, std::string* error) {
  const store::NodeEntry* e = store_.data->nodes.FindReadOnly(nid);
  if (!e) {
    if (error) *error = "there is no item with this id";
    return std::nullopt;
  }
  if (!e->dataBlock) {
    if (error) *error = "the item holds no data";
    return std::nullopt;
  }
  Node n;
  n.nid = nid;
  n.data = e->dataBlock;
  n.subnodes = e->subnodeBlock;
  return ReadNode(n, options, error);
}

std::optional<Item> ItemReader::ReadEmbedded(const Attachment& a, const ReadOptions& options,
                                             std::string* error) {
  if (!a.isEmbeddedMessage()) {
    if (error) *error = "the attachment is not an embedded message";
    return std::nullopt;
  }
  if (!a.readable) {
    if (error) *error = a.problem;
    return std::nullopt;
  }
  Node n;
  n.nid = a.source.nid;
  n.data = store::FindBlock(store_, a.source.bid);
  n.subnodes = a.source.subnodeBid ? store::FindBlock(store_, a.source.subnodeBid) : nullptr;
  n.containerSubnodes =
      a.source.containerSubnodeBid ? store::FindBlock(store_, a.source.containerSubnodeBid) : nullptr;
  n.depth = a.source.depth;
  n.enclosing = a.source.enclosing;
  if (!n.data || n.depth > kMaxEmbeddingDepth) {
    if (error) *error = "the embedded message cannot be read";
    return std::nullopt;
  }
  return ReadNode(n, options, error);
}

namespace {

// The parts of one item that come from its subnodes.
class SubnodeParts {
 public:
  SubnodeParts(store::Store& store, const items::NamedPropertyMap* names, TextDecoder& decoder,
               int codePage, bool raw, Item& item)
      : store_(store), names_(names), decoder_(decoder), codePage_(codePage), raw_(raw), item_(item) {}

  void Recipients(const store::SubnodeList& level, const ltp::SubnodeScope& outer) {
    const store::SubnodeEntry* e = FindIn(level, format::kNidRecipientTable);
    if (!e) return;
    const store::SubnodeList own = LevelOf(store_, e->subnodeBlock);
    const ltp::SubnodeScope scope{&own, &outer};
    auto tc = ltp::TableContext::Read(store_, e->dataBlock->bid, &scope);
    if (!tc) {
      AddProblem(item_, "the recipient table cannot be read");
      return;
    }
    for (size_t r = 0; r < tc->rowCount(); ++r) {
      auto text = [&](uint16_t id) {
        auto v = tc->Cell(r, id);
        return v ? v->Text(decoder_, codePage_).value_or("") : std::string();
      };
      Recipient rec;
      auto type = tc->Cell(r, 0x0C15);
      rec.rawType = static_cast<int32_t>(type ? type->Int().value_or(1) : 1);
      switch (rec.rawType & 0x0F) {
        case 0: rec.type = RecipientType::Originator; break;
        case 2: rec.type = RecipientType::Cc; break;
        case 3: rec.type = RecipientType::Bcc; break;
        default: rec.type = RecipientType::To; break;
      }
      rec.name = text(0x3001);
      if (rec.name.empty()) rec.name = text(0x5FF6);
      if (rec.name.empty()) rec.name = text(0x39FF);
      rec.addressType = text(0x3002);
      rec.address = text(0x3003);
      rec.smtpAddress = text(0x39FE);
      if (rec.name.empty() || rec.address.empty()) {
        // A table without those columns may still name the recipient by a
        // one-off entry ID.
        auto id = tc->Cell(r, 0x0FFF);
        auto bytes = id ? id->Bytes() : std::nullopt;
        if (auto one = bytes ? ParseOneOffEntryId(*bytes, decoder_, codePage_) : std::nullopt) {
          if (rec.name.empty()) rec.name = one->name;
          if (rec.address.empty()) {
            rec.address = one->address;
            rec.addressType = one->addressType;
          }
        }
      }
      if (rec.smtpAddress.empty() && EqualsNoCase(rec.addressType, "SMTP")) rec.smtpAddress = rec.address;
      if (rec.name.empty() && rec.address.empty() && rec.smtpAddress.empty()) continue;
      if (raw_) rec.raw = Raw([&](std::vector<std::string>& problems) { return RawRow(*tc, r, names_, problems); });
      item_.recipients.push_back(std::move(rec));
    }
  }

  // The rows of the attachment table, in table order.
  std::vector<AttachmentRow> AttachmentRows(const store::SubnodeList& level, const ltp::SubnodeScope& outer) {
    std::vector<AttachmentRow> rows;
    const store::SubnodeEntry* e = FindIn(level, format::kNidAttachmentTable);
    if (!e) return rows;
    const store::SubnodeList own = LevelOf(store_, e->subnodeBlock);
    const ltp::SubnodeScope scope{&own, &outer};
    auto tc = ltp::TableContext::Read(store_, e->dataBlock->bid, &scope);
    if (!tc) {
      AddProblem(item_, "the attachment table cannot be read");
      return rows;
    }
    for (size_t r = 0; r < tc->rowCount(); ++r) {
      auto id = tc->Cell(r, 0x67F2);
      if (!id || !id->Int()) continue;
      AttachmentRow row;
      row.nid = static_cast<uint32_t>(*id->Int());
      if (auto v = tc->Cell(r, 0x3707)) row.fileName = v->Text(decoder_, codePage_).value_or("");
      if (row.fileName.empty()) {
        if (auto v = tc->Cell(r, 0x3704)) row.fileName = v->Text(decoder_, codePage_).value_or("");
      }
      if (auto v = tc->Cell(r, 0x0E20)) row.size = v->Int();
      if (auto v = tc->Cell(r, 0x3705)) row.method = v->Int();
      if (auto v = tc->Cell(r, 0x370B)) row.renderingPosition = v->Int();
      rows.push_back(std::move(row));
    }
    return rows;
  }

  // The attachment of `row`; with `namesOnly`, its names and nothing else.
  Attachment ReadAttachment(const AttachmentRow& row, size_t index, const store::SubnodeList& level,
                            const ltp::SubnodeScope& outer, const store::BlockEntry* itemData,
                            int depth, const std::vector<uint32_t>& enclosing, bool namesOnly) {
    Attachment a;
    a.index = index;
    a.shortFileName = row.fileName;
    a.storedSize = static_cast<uint32_t>(row.size.value_or(0));
    a.method = static_cast<int32_t>(row.method.value_or(kAttachByValue));
    a.renderingPosition = static_cast<int32_t>(row.renderingPosition.value_or(-1));
    Finish(a);
    const store::SubnodeEntry* e = FindIn(level, row.nid);
    if (!e) {
      Damaged(a, "the attachment's properties are missing");
      return a;
    }
    const store::SubnodeList own = LevelOf(store_, e->subnodeBlock);
    const ltp::SubnodeScope scope{&own, &outer};
    auto pc = ltp::PropertyContext::Read(store_, e->dataBlock->bid, &scope, names_);
    if (!pc) {
      Damaged(a, "the attachment's properties cannot be read");
      return a;
    }
    const PartContext c{*pc, decoder_, codePage_};
    auto take = [&](uint16_t id, std::string& field) {
      if (auto t = c.Text(id); t && !t->empty()) field = std::move(*t);
    };
    take(0x3707, a.longFileName);
    take(0x3704, a.shortFileName);
    take(0x3001, a.displayName);
    if (namesOnly) {
      Finish(a);
      return a;
    }
    take(0x3703, a.extension);
    take(0x370E, a.mimeType);
    take(0x3712, a.contentId);
    take(0x3713, a.contentLocation);
    if (auto v = c.Int(0x3714)) a.flags = static_cast<uint32_t>(*v);
    if (auto v = c.Int(0x7FFE)) a.hidden = *v != 0;
    if (auto v = c.Int(0x370B)) a.renderingPosition = static_cast<int32_t>(*v);
    if (auto v = c.Int(0x3705)) a.method = static_cast<int32_t>(*v);
    if (auto v = c.Int(0x0E20)) a.storedSize = static_cast<uint32_t>(*v);
    a.creationTime = c.Time(0x3007);
    a.modificationTime = c.Time(0x3008);
    Finish(a);
    // The data is read when it is written, not kept.
    if (raw_) a.raw = Raw([&](std::vector<std::string>& problems) { return RawProperties(*pc, names_, problems, 0x3701); });
    a.size = a.storedSize;
    Data(c, scope, e, itemData, depth, enclosing, a);
    return a;
  }

 private:
  // Raw properties, with what could not be kept named in the item's problems.
  template <typename Read>
  std::vector<RawProperty> Raw(Read read) {
    std::vector<std::string> problems;
    std::vector<RawProperty> raw = read(problems);
    for (auto& p : problems) AddProblem(item_, std::move(p));
    return raw;
  }

  static void Damaged(Attachment& a, const char* problem) {
    a.damaged = true;
    a.problem = problem;
  }

  static void Finish(Attachment& a) {
    a.fileName = !a.longFileName.empty() ? a.longFileName
                 : !a.shortFileName.empty() ? a.shortFileName
                                            : a.displayName;
  }

  // Where the attachment's bytes or message lie, and whether they can be read.
  void Data(const PartContext& c, const ltp::SubnodeScope& scope, const store::SubnodeEntry* own,
            const store::BlockEntry* itemData, int depth, const std::vector<uint32_t>& enclosing,
            Attachment& a) {
    auto v = c.pc.Get(0x3701);
    if (!v) {
      const bool link = a.method >= 2 && a.method <= 4;
      a.problem = link ? "the attachment is a link to a file outside the store"
                       : "the attachment holds no data";
      if (link) {
        std::string path = c.Text(0x370D).value_or("");
        if (path.empty()) path = c.Text(0x3708).value_or("");
        if (!path.empty()) a.problem += ": " + path;
      }
      return;
    }
    if (v->type == format::kPtypObject) {
      // An object value names a subnode: an embedded message, or the
      // stream of another kind of object.
      uint32_t nid = v->word;
      if (items::IsHeapId(nid)) {
        auto b = v->Bytes();
        nid = b ? ByteView(*b).U32(0).value_or(0) : 0;
      }
      const store::SubnodeEntry* o = nid ? scope.Find(nid) : nullptr;
      if (!o) {
        Damaged(a, "the attachment's object is missing");
        return;
      }
      if (a.method == kAttachEmbeddedMessage) {
        Message(o, nid, own, itemData, depth, enclosing, a);
      } else {
        Blocks(o->dataBlock->bid, a);
      }
      return;
    }
    if (v->word == 0) {
      a.source.kind = AttachmentSource::Kind::Inline;
      a.size = 0;
      a.readable = true;
      return;
    }
    if (items::IsHeapId(v->word)) {
      auto b = v->Bytes();
      if (!b) {
        Damaged(a, "the attachment's data cannot be read");
        return;
      }
      a.source.kind = AttachmentSource::Kind::Inline;
      a.source.inlineBytes.assign(AsChars(*b));
      a.size = b->size();
      a.readable = true;
      return;
    }
    const store::SubnodeEntry* d = scope.Find(v->word);
    if (!d) {
      Damaged(a, "the attachment's data is missing");
      return;
    }
    Blocks(d->dataBlock->bid, a);
  }

  void Blocks(uint32_t bid, Attachment& a) {
    a.source.kind = AttachmentSource::Kind::Blocks;
    a.source.bid = bid;
    if (auto size = store::DataSize(store_, bid)) {
      a.size = *size;
      a.readable = true;
    } else {
      Damaged(a, "the attachment's data cannot be read");
    }
  }

  void Message(const store::SubnodeEntry* o, uint32_t nid, const store::SubnodeEntry* attachment,
               const store::BlockEntry* itemData, int depth, const std::vector<uint32_t>& enclosing,
               Attachment& a) {
    AttachmentSource& s = a.source;
    s.kind = AttachmentSource::Kind::Message;
    s.bid = o->dataBlock->bid;
    s.subnodeBid = o->subnodeBlock ? o->subnodeBlock->bid : 0;
    s.containerSubnodeBid = attachment->subnodeBlock ? attachment->subnodeBlock->bid : 0;
    s.nid = nid;
    s.depth = depth + 1;
    s.enclosing = enclosing;
    s.enclosing.push_back(itemData->bid);
    if (std::find(s.enclosing.begin(), s.enclosing.end(), s.bid) != s.enclosing.end()) {
      Damaged(a, "the embedded message contains itself");
    } else if (s.depth > kMaxEmbeddingDepth) {
      Damaged(a, "the embedded message is nested too deeply");
    } else {
      a.readable = true;
    }
  }

  store::Store& store_;
  const items::NamedPropertyMap* names_;
  TextDecoder& decoder_;
  int codePage_;
  bool raw_;
  Item& item_;
};

}  // namespace

std::optional<Item> ItemReader::ReadNode(const Node& n, const ReadOptions& options, std::string* error) {
  try {
    store::SubnodeList level;
    const bool subnodesRead = !n.subnodes || store::ReadSubnodeLevel(store_, n.subnodes, level);
    const store::SubnodeList container = LevelOf(store_, n.containerSubnodes);
    const ltp::SubnodeScope containerScope{&container, nullptr};
    const ltp::SubnodeScope scope{&level, n.containerSubnodes ? &containerScope : nullptr};
    auto pc = ltp::PropertyContext::Read(store_, n.data->bid, &scope, names_);
    if (!pc) {
      if (error) *error = "the item's properties cannot be read";
      return std::nullopt;
    }
    Item item;
    item.nodeId = n.nid;
    item.depth = n.depth;
    if (!subnodesRead) AddProblem(item, "the item's subnodes cannot be read");

    int cp = 0;
    for (uint16_t id : {uint16_t{0x3FFD}, uint16_t{0x3FDE}}) {
      auto v = pc->Get(id);
      if (auto i = v ? v->Int() : std::nullopt; i && *i > 0) {
        cp = Widen(static_cast<int>(*i));
        break;
      }
    }
    if (cp == 0) cp = StoreCodePage();
    item.codePage = cp;

    const PartContext ctx{*pc, decoder_, cp};
    if (!options.searchText) ReadFields(ctx, item);
    ReadBodies(ctx, item, options.searchText);

    if (options.raw) {
      std::vector<std::string> problems;
      item.raw = RawProperties(*pc, names_, problems);
      for (auto& p : problems) AddProblem(item, std::move(p));
    }
    SubnodeParts parts(store_, names_, decoder_, cp, options.raw, item);
    if (!options.searchText) parts.Recipients(level, scope);
    std::vector<AttachmentRow> rows = parts.AttachmentRows(level, scope);
    // Attachments the table does not list are read all the same.
    for (const auto& e : level) {
      if ((e.nid & 0x1F) != format::kNidTypeAttachment) continue;
      if (std::none_of(rows.begin(), rows.end(), [&](const AttachmentRow& r) { return r.nid == e.nid; })) {
        rows.push_back(AttachmentRow{e.nid, {}, {}, {}, {}});
      }
    }
    for (const AttachmentRow& row : rows) {
      Attachment a = parts.ReadAttachment(row, item.attachments.size(), level, scope, n.data, n.depth,
                                          n.enclosing, options.searchText);
      if (a.damaged) AddProblem(item, a.problem);
      item.attachments.push_back(std::move(a));
    }
    if (options.properties) ReadPropertiesView(ctx, options, item);
    return item;
  } catch (const std::exception&) {
    if (error) *error = "the item cannot be read";
    return std::nullopt;
  }
}

bool ItemReader::ReadAttachment(const Attachment& a, const std::function<bool(ByteSpan)>& sink,
                                std::string* error) {
  auto fail = [&](std::string why) {
    if (error) *error = std::move(why);
    return false;
  };
  switch (a.source.kind) {
    case AttachmentSource::Kind::Inline:
      if (a.source.inlineBytes.empty()) return true;
      return sink(AsBytes(a.source.inlineBytes)) || fail("stopped");
    case AttachmentSource::Kind::Blocks: {
      bool stopped = false;
      const bool whole = store::VisitDataBlocks(store_, a.source.bid, [&](ByteSpan b) {
        if (!sink(b)) stopped = true;
        return !stopped;
      });
      if (stopped) return fail("stopped");
      return whole || fail("the attachment's data cannot be read whole");
    }
    case AttachmentSource::Kind::Message:
      return fail("an embedded message has no bytes of its own");
    case AttachmentSource::Kind::None:
      break;
  }
  return fail(a.problem.empty() ? "the attachment holds no data" : a.problem);
}

std::optional<Buffer> ItemReader::ReadAttachmentBytes(const Attachment& a, uint64_t maxBytes,
                                                      std::string* error) {
  if (a.size > maxBytes) {
    if (error) *error = "the attachment is too large";
    return std::nullopt;
  }
  Buffer out;
  out.reserve(static_cast<size_t>(a.size));
  bool tooLarge = false;
  const bool ok = ReadAttachment(a, [&](ByteSpan b) {
    if (out.size() + b.size() > maxBytes) {
      tooLarge = true;
      return false;
    }
    out.insert(out.end(), b.begin(), b.end());
    return true;
  }, error);
  if (tooLarge && error) *error = "the attachment is too large";
  if (!ok) return std::nullopt;
  return out;
}

}  // namespace velmorix::content
