#include "format/vocabulary.h"
#include "pst/messaging.h"

#include <algorithm>
#include <cstring>
#include <set>

namespace velmorix::pst {
namespace {

// Column sets of the table templates, as clients write them (with the
// columns a folder's tables must carry).
const std::vector<uint32_t> kHierarchyColumns = {0x3001001F, 0x36020003, 0x36030003, 0x360A000B, 0x3613001F};
const std::vector<uint32_t> kContentsColumns = {
    0x0E170003, 0x001A001F, 0x0E070003, 0x00170003, 0x0042001F, 0x0037001F, 0x0E060040, 0x0E080003,
    0x0E04001F, 0x0E03001F, 0x0057000B, 0x0058000B, 0x00360003, 0x10970003, 0x00390040, 0x0070001F,
    0x00710102, 0x30080040};
const std::vector<uint32_t> kAssociatedColumns = {0x0E170003, 0x001A001F, 0x0E070003, 0x3001001F, 0x70030003,
                                                  0x70040102, 0x70050102, 0x7006001F, 0x70070003, 0x6800001F,
                                                  0x6803000B, 0x68051003, 0x682F001F};
const std::vector<uint32_t> kSearchColumns = {0x67F10003, 0x0E05001F, 0x0E170003, 0x001A001F, 0x0E070003,
                                              0x00170003, 0x0042001F, 0x0037001F, 0x0E060040, 0x0E080003,
                                              0x0E04001F, 0x0E03001F, 0x0057000B, 0x0058000B, 0x00360003};
const std::vector<uint32_t> kAttachmentColumns = {0x370B0003, 0x0E200003, 0x37050003, 0x3704001F};
const std::vector<uint32_t> kRecipientColumns = {0x0E0F000B, 0x3002001F, 0x3003001F, 0x0FFF0102, 0x3001001F,
                                                 0x0C150003, 0x300B0102, 0x0FF90102, 0x0FFE0003, 0x39000003,
                                                 0x3A40000B, 0x39FF001F};
const std::vector<uint32_t> kReceiveFolderColumns = {0x001A001F, 0x66050003};
const std::vector<uint32_t> kOutgoingQueueColumns = {0x00390040, 0x0E100003, 0x0E140003};

constexpr std::array<uint8_t, 16> kPsMapi = {0x28, 0x03, 0x02, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
constexpr std::array<uint8_t, 16> kPsPublicStrings = {0x29, 0x03, 0x02, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
constexpr uint32_t kBuckets = 251;

void Put16(std::byte* p, uint16_t v) {
  for (int i = 0; i < 2; ++i) p[i] = std::byte(v >> (8 * i));
}
void Put32(std::byte* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = std::byte(v >> (8 * i));
}
Bytes Int32(uint32_t v) {
  Bytes b(4);
  Put32(b.data(), v);
  return b;
}
Bytes Bool(bool v) { return Bytes{std::byte(v ? 1 : 0)}; }

Bytes Utf16(std::string_view utf8) {
  Bytes out;
  for (size_t i = 0; i < utf8.size();) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    uint32_t cp = c;
    size_t n = 1;
    if (c >= 0xF0 && c < 0xF8) {
      cp = c & 0x07;
      n = 4;
    } else if (c >= 0xE0) {
      cp = c & 0x0F;
      n = 3;
    } else if (c >= 0xC0) {
      cp = c & 0x1F;
      n = 2;
    } else if (c >= 0x80) {
      cp = 0xFFFD;
    }
    for (size_t k = 1; k < n; ++k) {
      cp = i + k < utf8.size() ? (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F) : 0xFFFD;
    }
    i += n;
    auto put = [&](uint32_t u) {
      out.push_back(std::byte(u & 0xFF));
      out.push_back(std::byte(u >> 8));
    };
    if (cp >= 0x10000 && cp < 0x110000) {
      cp -= 0x10000;
      put(0xD800 + (cp >> 10));
      put(0xDC00 + (cp & 0x3FF));
    } else {
      put(cp > 0xFFFF ? 0xFFFD : cp);
    }
  }
  return out;
}

const PcProperty* Find(const std::vector<PcProperty>& props, uint32_t tag) {
  for (const PcProperty& p : props) {
    if (p.id == (tag >> 16) && p.type == (tag & 0xFFFF) && !p.subnode) return &p;
  }
  return nullptr;
}

// Cells of `tags` taken from `props`.
std::vector<std::optional<Bytes>> Cells(const std::vector<uint32_t>& tags, const std::vector<PcProperty>& props) {
  std::vector<std::optional<Bytes>> cells(tags.size());
  for (size_t i = 0; i < tags.size(); ++i) {
    if (const PcProperty* p = Find(props, tags[i])) cells[i] = p->value;
  }
  return cells;
}

// A row kept until its table is written: the row id, then per column a
// length (0xFFFFFFFF: no cell) and the bytes.
Bytes Pack(uint32_t rowId, const std::vector<std::optional<Bytes>>& cells) {
  Bytes b(4);
  Put32(b.data(), rowId);
  for (const auto& c : cells) {
    const size_t at = b.size();
    b.resize(at + 4);
    Put32(b.data() + at, c ? static_cast<uint32_t>(c->size()) : 0xFFFFFFFFu);
    if (c) b.insert(b.end(), c->begin(), c->end());
  }
  return b;
}

void Unpack(const Bytes& b, size_t columns, TcRow& row) {
  auto get32 = [&](size_t at) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(b[at + i]) << (8 * i);
    return v;
  };
  row.rowId = get32(0);
  row.cells.assign(columns, std::nullopt);
  size_t at = 4;
  for (size_t c = 0; c < columns; ++c) {
    const uint32_t n = get32(at);
    at += 4;
    if (n == 0xFFFFFFFFu) continue;
    row.cells[c] = Bytes(b.begin() + static_cast<std::ptrdiff_t>(at), b.begin() + static_cast<std::ptrdiff_t>(at + n));
    at += n;
  }
}

uint64_t WriteTable(const std::vector<uint32_t>& tags, const std::vector<Bytes>& packed, NodeDatabase& db,
                    uint64_t* subnodeBid) {
  Subnodes subs(db);
  const uint64_t bid = WriteTableContext(tags, packed.size(), [&](size_t i, TcRow& row) {
    Unpack(packed[i], tags.size(), row);
  }, subs);
  *subnodeBid = subs.Write();
  return bid;
}

}  // namespace

struct PstWriter::Folder {
  uint32_t nid = 0;
  uint32_t parent = 0;
  std::string name;
  std::vector<PcProperty> properties;
  std::vector<uint32_t> children;
  std::vector<Bytes> contents;
  std::vector<Bytes> associated;
  uint32_t count = 0;
  uint32_t associatedCount = 0;
  uint32_t unread = 0;
  bool closed = false;  // its contents tables are written
};

struct PstWriter::Written {
  uint64_t data = 0;
  uint64_t subnodes = 0;
  std::vector<PcProperty> properties;
};

PstWriter::PstWriter(const std::string& path, WriterOptions options)
    : options_(std::move(options)), db_(std::make_unique<NodeDatabase>(path, options_.encoding)) {
  counters_.fill(0x400);
  counters_[3] = 0x4000;
  counters_[format::kNidTypeNormalMessage] = 0x10000;
  counters_[format::kNidTypeAssocMessage] = 0x8000;
  auto add = [&](uint32_t nid, uint32_t parent, std::string name) {
    auto f = std::make_unique<Folder>();
    f->nid = nid;
    f->parent = parent;
    f->name = std::move(name);
    byNid_[nid] = f.get();
    if (parent != nid) byNid_.at(parent)->children.push_back(nid);
    folders_.push_back(std::move(f));
    return nid;
  };
  add(format::kNidRootFolder, format::kNidRootFolder, "");
  top_ = add(NewNid(format::kNidTypeNormalFolder), format::kNidRootFolder, "Top of Personal Folders");
  searchRoot_ = add(NewNid(format::kNidTypeNormalFolder), format::kNidRootFolder, "Search Root");
  // Readers expect none of the name map's streams to be empty: a numbered
  // name in a set of its own, and the string name every client-written file
  // holds ("Keywords" of the public strings).
  IdOf(PropertyName{{0x08, 0x20, 0x06, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46}, false, 0x8503, {}});
  IdOf(PropertyName{kPsPublicStrings, true, 0, "Keywords"});
}

PstWriter::~PstWriter() = default;

uint32_t PstWriter::top() const { return top_; }
uint64_t PstWriter::size() const { return db_->size(); }

uint64_t PstWriter::EstimatedSize() const {
  const uint64_t tables = openRowBytes_ + folders_.size() * 3 * 8192;
  // Index pages: 20 block entries or 15 node entries per 512 bytes, and the levels above.
  const uint64_t index = (db_->blockCount() / 20 + db_->nodeCount() / 15 + 2) * 512 * 21 / 20;
  return db_->size() + tables + index + 64 * 1024 + kMapInterval;
}

uint32_t PstWriter::NewNid(uint8_t type) {
  if (counters_[type] >= (1u << 27) - 1) throw WriteError(db_->path() + ": too many objects for one file");
  return (++counters_[type] << 5) | type;
}

uint16_t PstWriter::IdOf(const PropertyName& name) {
  auto it = names_.find(name);
  if (it != names_.end()) return it->second;
  if (names_.size() >= 0x7FFF) throw WriteError(db_->path() + ": too many named properties");
  const auto id = static_cast<uint16_t>(0x8000 + names_.size());
  auto [pos, _] = names_.emplace(name, id);
  nameOrder_.push_back(&pos->first);
  return id;
}

std::vector<PcProperty> PstWriter::Map(const PropertyList& list) {
  std::vector<PcProperty> out;
  std::set<uint16_t> seen;
  for (const Property& p : list) {
    uint16_t id = p.id;
    if (p.name) {
      id = IdOf(*p.name);
    } else if (id >= 0x8000) {
      continue;  // a named id without its name means nothing in this file
    }
    if (id == 0x67F2 || id == 0x67F3 || p.type == format::kPtypObject || !seen.insert(id).second) continue;
    PcProperty q;
    q.id = id;
    q.type = p.type;
    q.value = p.value;
    out.push_back(std::move(q));
  }
  return out;
}

uint32_t PstWriter::AddFolder(uint32_t parent, std::string_view name, PropertyList properties, bool wastebasket) {
  auto it = byNid_.find(parent);
  if (it == byNid_.end()) throw WriteError(db_->path() + ": no such parent folder");
  auto f = std::make_unique<Folder>();
  f->nid = NewNid(format::kNidTypeNormalFolder);
  f->parent = parent;
  f->name = std::string(name);
  for (PcProperty& p : Map(properties)) {
    switch (p.id) {
      case 0x3001: case 0x3602: case 0x3603: case 0x360A: case 0x3617: continue;
      default: f->properties.push_back(std::move(p));
    }
  }
  it->second->children.push_back(f->nid);
  byNid_[f->nid] = f.get();
  if (wastebasket && !deleted_) deleted_ = f->nid;
  folders_.push_back(std::move(f));
  return folders_.back()->nid;
}

PstWriter::Written PstWriter::WriteMessage(const Message& m, int depth, bool* incomplete) {
  uint32_t counter = 0x400;
  Subnodes subs(*db_, &counter);
  // Recipients: the template's columns, then every other column a recipient has.
  {
    std::vector<std::vector<PcProperty>> rows;
    std::vector<uint32_t> tags = kRecipientColumns;
    std::set<uint32_t> known(tags.begin(), tags.end());
    for (const PropertyList& r : m.recipients) {
      rows.push_back(Map(r));
      for (const PcProperty& p : rows.back()) {
        const uint32_t tag = (uint32_t{p.id} << 16) | p.type;
        if (known.insert(tag).second) tags.push_back(tag);
      }
    }
    std::vector<TcRow> tc;
    for (size_t i = 0; i < rows.size(); ++i) tc.push_back({static_cast<uint32_t>(i), Cells(tags, rows[i])});
    Subnodes tsubs(*db_, &counter);
    const uint64_t bid = WriteTableContext(tags, tc, tsubs);
    subs.AddFixed(format::kNidRecipientTable, bid, tsubs.Write());
  }
  if (!m.attachments.empty()) {
    std::vector<TcRow> rows;
    for (const Attachment& a : m.attachments) {
      Subnodes asubs(*db_, &counter);
      std::vector<PcProperty> props = Map(a.properties);
      std::erase_if(props, [](const PcProperty& p) { return p.id == 0x3701; });
      if (a.embedded) {
        Written w = WriteMessage(*a.embedded, depth + 1, incomplete);
        PcProperty data;
        data.id = 0x3701;
        data.type = format::kPtypObject;
        data.subnode = asubs.Add(format::kNidTypeNormalMessage, w.data, w.subnodes);
        data.object = true;
        if (const PcProperty* size = Find(w.properties, 0x0E080003); size && size->value.size() >= 4) {
          for (int i = 0; i < 4; ++i) data.objectSize |= static_cast<uint32_t>(size->value[i]) << (8 * i);
        }
        props.push_back(std::move(data));
      } else if (a.data) {
        // Small data stays in the heap; larger data is streamed into blocks.
        Bytes head;
        std::optional<DataStream> stream;
        const bool whole = a.data([&](ByteRange piece) {
          if (!stream && head.size() + piece.size() <= format::kMaxHeapItem) {
            head.insert(head.end(), piece.begin(), piece.end());
            return;
          }
          if (!stream) {
            stream.emplace(*db_);
            stream->Write(head);
          }
          stream->Write(piece);
        });
        if (!whole && incomplete) *incomplete = true;
        PcProperty data;
        data.id = 0x3701;
        data.type = format::kPtypBinary;
        if (stream) {
          data.subnode = asubs.Add(format::kNidTypeLtp, stream->Finish(), 0);
        } else {
          data.value = std::move(head);
        }
        props.push_back(std::move(data));
      }
      const uint64_t pc = WritePropertyContext(props, asubs);
      const uint32_t nid = subs.Add(format::kNidTypeAttachment, pc, asubs.Write());
      rows.push_back({nid, Cells(kAttachmentColumns, props)});
    }
    Subnodes tsubs(*db_, &counter);
    const uint64_t bid = WriteTableContext(kAttachmentColumns, rows, tsubs);
    subs.AddFixed(format::kNidAttachmentTable, bid, tsubs.Write());
  }
  Written w;
  w.properties = Map(m.properties);
  // The flag that says the message has attachments follows what it holds.
  bool hasFlags = false;
  for (PcProperty& p : w.properties) {
    if (p.id == 0x0E07 && p.type == format::kPtypInteger32 && p.value.size() >= 4) {
      hasFlags = true;
      p.value[0] = m.attachments.empty() ? (p.value[0] & std::byte{0xEF}) : (p.value[0] | std::byte{0x10});
    }
  }
  if (!hasFlags) w.properties.push_back({0x0E07, format::kPtypInteger32, Int32(m.attachments.empty() ? 0 : 0x10), 0, false, 0});
  w.data = WritePropertyContext(w.properties, subs);
  w.subnodes = subs.Write();
  return w;
}

void PstWriter::AddMessage(uint32_t folder, const Message& message, bool associated, bool* incomplete) {
  auto it = byNid_.find(folder);
  if (it == byNid_.end()) throw WriteError(db_->path() + ": no such folder");
  if (it->second->closed) throw WriteError(db_->path() + ": a message for a folder already written");
  const uint32_t nid = NewNid(associated ? format::kNidTypeAssocMessage : format::kNidTypeNormalMessage);
  Written w = WriteMessage(message, 0, incomplete);
  db_->AddNode(nid, w.data, w.subnodes, folder);
  Folder& f = *it->second;
  std::vector<Bytes>& rows = associated ? f.associated : f.contents;
  rows.push_back(Pack(nid, Cells(associated ? kAssociatedColumns : kContentsColumns, w.properties)));
  openRowBytes_ += rows.back().size() + 16;
  if (associated) {
    ++f.associatedCount;
    return;
  }
  ++f.count;
  const PcProperty* flags = Find(w.properties, 0x0E070003);
  if (!flags || (static_cast<uint8_t>(flags->value[0]) & 1) == 0) ++f.unread;
}

void PstWriter::CloseFolder(uint32_t folder) {
  auto it = byNid_.find(folder);
  if (it == byNid_.end()) throw WriteError(db_->path() + ": no such folder");
  Folder& f = *it->second;
  if (f.closed) return;
  const uint32_t index = f.nid >> 5;
  uint64_t sub = 0;
  uint64_t bid = WriteTable(kContentsColumns, f.contents, *db_, &sub);
  db_->AddNode((index << 5) | format::kNidTypeContentsTable, bid, sub, 0);
  bid = WriteTable(kAssociatedColumns, f.associated, *db_, &sub);
  db_->AddNode((index << 5) | format::kNidTypeAssocContentsTable, bid, sub, 0);
  for (const auto* rows : {&f.contents, &f.associated}) {
    for (const Bytes& row : *rows) openRowBytes_ -= row.size() + 16;
  }
  f.contents = {};
  f.associated = {};
  f.closed = true;
}

void PstWriter::WriteFolder(Folder& f) {
  auto pcOf = [&](const Folder& x) {
    std::vector<PcProperty> props = x.properties;
    props.push_back({0x3001, format::kPtypString, Utf16(x.name), 0, false, 0});
    props.push_back({0x3602, format::kPtypInteger32, Int32(x.count), 0, false, 0});
    props.push_back({0x3603, format::kPtypInteger32, Int32(x.unread), 0, false, 0});
    props.push_back({0x360A, format::kPtypBoolean, Bool(!x.children.empty()), 0, false, 0});
    props.push_back({0x3617, format::kPtypInteger32, Int32(x.associatedCount), 0, false, 0});
    return props;
  };
  Subnodes subs(*db_);
  const uint64_t pc = WritePropertyContext(pcOf(f), subs);
  db_->AddNode(f.nid, pc, subs.Write(), f.parent);

  const uint32_t index = f.nid >> 5;
  std::vector<Bytes> children;
  for (uint32_t c : f.children) children.push_back(Pack(c, Cells(kHierarchyColumns, pcOf(*byNid_.at(c)))));
  uint64_t sub = 0;
  uint64_t bid = WriteTable(kHierarchyColumns, children, *db_, &sub);
  db_->AddNode((index << 5) | format::kNidTypeHierarchyTable, bid, sub, 0);
  CloseFolder(f.nid);
}

void PstWriter::WriteStore() {
  auto entryId = [&](uint32_t nid) {
    Bytes b(24);
    std::memcpy(b.data() + 4, options_.recordKey.data(), 16);
    Put32(b.data() + 20, nid);
    return b;
  };
  Bytes key(16);
  std::memcpy(key.data(), options_.recordKey.data(), 16);
  std::vector<PcProperty> props = {
      {0x0FF9, format::kPtypBinary, key, 0, false, 0},
      {0x3001, format::kPtypString, Utf16(options_.storeName), 0, false, 0},
      {0x35DF, format::kPtypInteger32, Int32(0x89), 0, false, 0},
      {0x35E0, format::kPtypBinary, entryId(top_), 0, false, 0},
      {0x35E3, format::kPtypBinary, entryId(deleted_), 0, false, 0},
      {0x35E7, format::kPtypBinary, entryId(searchRoot_), 0, false, 0},
      {0x6633, format::kPtypBoolean, Bool(true), 0, false, 0},
      {0x67FF, format::kPtypInteger32, Int32(0), 0, false, 0},
  };
  Subnodes subs(*db_);
  const uint64_t pc = WritePropertyContext(props, subs);
  db_->AddNode(format::kNidMessageStore, pc, subs.Write(), 0);
}

void PstWriter::WriteNameMap() {
  Bytes guids, entries, strings;
  std::vector<Bytes> buckets(kBuckets);
  std::vector<std::array<uint8_t, 16>> guidList;
  for (size_t i = 0; i < nameOrder_.size(); ++i) {
    const PropertyName& n = *nameOrder_[i];
    uint16_t guidIndex;
    if (n.guid == kPsMapi) {
      guidIndex = 1;
    } else if (n.guid == kPsPublicStrings) {
      guidIndex = 2;
    } else {
      auto it = std::find(guidList.begin(), guidList.end(), n.guid);
      if (it == guidList.end()) {
        guidList.push_back(n.guid);
        for (uint8_t b : n.guid) guids.push_back(std::byte(b));
        it = guidList.end() - 1;
      }
      guidIndex = static_cast<uint16_t>(3 + (it - guidList.begin()));
    }
    const uint16_t wGuid = static_cast<uint16_t>((guidIndex << 1) | (n.isString ? 1 : 0));
    uint32_t id = n.lid;
    uint32_t hash = n.lid;
    if (n.isString) {
      const Bytes name = Utf16(n.name);
      id = static_cast<uint32_t>(strings.size());
      const size_t at = strings.size();
      strings.resize(at + 4);
      Put32(strings.data() + at, static_cast<uint32_t>(name.size()));
      strings.insert(strings.end(), name.begin(), name.end());
      while (strings.size() % 4) strings.push_back(std::byte{0});
      hash = Crc(0, name);
    }
    auto record = [&](Bytes& out, uint32_t first) {
      const size_t at = out.size();
      out.resize(at + 8);
      Put32(out.data() + at, first);
      Put16(out.data() + at + 4, wGuid);
      Put16(out.data() + at + 6, static_cast<uint16_t>(i));
    };
    record(entries, id);
    record(buckets[(hash ^ wGuid) % kBuckets], hash);
  }
  std::vector<PcProperty> props = {
      {0x0001, format::kPtypInteger32, Int32(kBuckets), 0, false, 0},
      {0x0002, format::kPtypBinary, guids, 0, false, 0},
      {0x0003, format::kPtypBinary, entries, 0, false, 0},
      {0x0004, format::kPtypBinary, strings, 0, false, 0},
  };
  for (uint32_t b = 0; b < kBuckets; ++b) {
    if (!buckets[b].empty()) props.push_back({static_cast<uint16_t>(0x1000 + b), format::kPtypBinary, buckets[b], 0, false, 0});
  }
  Subnodes subs(*db_);
  const uint64_t pc = WritePropertyContext(props, subs);
  db_->AddNode(format::kNidNameToIdMap, pc, subs.Write(), 0);
}

void PstWriter::WriteTemplates() {
  auto table = [&](uint32_t nid, const std::vector<uint32_t>& tags) {
    uint64_t sub = 0;
    const uint64_t bid = WriteTable(tags, {}, *db_, &sub);
    db_->AddNode(nid, bid, sub, 0);
  };
  table(0x60D, kHierarchyColumns);
  table(0x60E, kContentsColumns);
  table(0x60F, kAssociatedColumns);
  table(0x610, kSearchColumns);
  table(0x671, kAttachmentColumns);
  table(0x692, kRecipientColumns);
  table(0x62B, kReceiveFolderColumns);
  table(0x64C, kOutgoingQueueColumns);
  // Search bookkeeping with nothing pending. With the store, the name map,
  // the root folder and its tables and the templates above, these are the
  // internal nodes every client-written Unicode file we have holds (0x261
  // and 0x64C in most); none holds the folder templates 0xA1 and 0xC1 that
  // [MS-PST] also names, so they are not written.
  for (uint32_t nid : {0x1E1u, 0x201u, 0x261u}) db_->AddNode(nid, 0, 0, 0);
}

void PstWriter::Finish() {
  if (!deleted_) AddFolder(top_, "Deleted Items", {}, true);
  for (auto& f : folders_) WriteFolder(*f);
  WriteStore();
  WriteTemplates();
  WriteNameMap();
  NidCounters counters = counters_;
  for (uint8_t t : {format::kNidTypeHierarchyTable, format::kNidTypeContentsTable, format::kNidTypeAssocContentsTable}) counters[t] = counters[format::kNidTypeNormalFolder];
  db_->Commit(counters);
}

}  // namespace velmorix::pst
