// Property and table contexts: heap records and table cells into property
// entries.
#include <algorithm>
#include <cstring>

#include "format/vocabulary.h"
#include "items/items.h"
#include "items/ltp_reader.h"

namespace velmorix::items {
namespace {
constexpr uint16_t kPropThirdBody = 0x6619;

bool IsInlineType(uint16_t type) { return type == 0x0002 || type == 0x0003 || type == 0x000B; }

bool IsHnidType(uint16_t type) {
  switch (type) {
    case 0x0005: case 0x000D: case 0x0014: case 0x001E: case 0x001F: case 0x0040:
    case 0x0048: case 0x0102: case 0x1003: case 0x1014: case 0x101E: case 0x1102:
      return true;
    default:
      return false;
  }
}

bool IsBodyProperty(uint16_t id) { return id == format::kPidTagBody || id == format::kPidTagHtml || id == kPropThirdBody; }

Blob U32Blob(uint32_t value) {
  std::byte b[4];
  for (int i = 0; i < 4; ++i) b[i] = static_cast<std::byte>((value >> (8 * i)) & 0xFF);
  return Blob::Of(ByteSpan(b, 4));
}

bool CharsAt(ByteSpan v, std::initializer_list<size_t> offsets, const char* letters) {
  size_t i = 0;
  for (size_t off : offsets) {
    if (off >= v.size() || static_cast<char>(v[off]) != letters[i]) return false;
    ++i;
  }
  return true;
}

// Produces the entries of one row (a property context, or one table row).
class RowReader {
 public:
  RowReader(ItemContext& ctx, const Heap& heap, const store::SubnodeList* subnodes,
            ReadScope scope = ReadScope::Full)
      : ctx_(ctx), heap_(heap), subnodes_(subnodes), listing_(scope == ReadScope::Listing),
        unicode_(ctx.store.variant != store::Variant::Ansi) {}

  void StartRow() { mail_ = false; }
  // The sub-records that the entries a listing read left out would create.
  uint8_t skippedRecords() const { return skipped_; }

  // Adds the entry for one record or cell to `row`, or leaves it out (no
  // value, unreadable heap reference, unknown type).
  void Add(uint16_t id, uint16_t type, uint32_t value, PropertyRow& row) {
    PropertyEntry e;
    e.propertyId = id;
    e.type = type;
    Translate(e);
    if (listing_ && !ListingReads(e.tag)) {
      Skip(e, type, value);
      return;
    }
    if (IsInlineType(type)) {
      e.data = U32Blob(value);
      e.size = 4;
      row.entries.push_back(std::move(e));
      return;
    }
    if (!IsHnidType(type)) return;  // unknown type: this entry only
    if (value == 0) return;
    if ((value & 0xF) == 0xF) {
      if (IsBodyProperty(id) && mail_) {
        CaptureSubnode(id, value);
        e.data = Blob::Of(ByteSpan());
      } else {
        ReadSubnode(e, value);
      }
      row.entries.push_back(std::move(e));
      return;
    }
    auto a = heap_.Resolve(value);
    if (!a) return;
    ByteSpan bytes = a->bytes();
    if (IsBodyProperty(id) && mail_) {
      CaptureHeap(id, *a);
      e.data = Blob::Of(ByteSpan());
      row.entries.push_back(std::move(e));
      return;
    }
    e.data = Blob::Of(bytes);
    e.size = static_cast<int32_t>(bytes.size());
    DetectMail(id, bytes);
    if (type == 0x000D) {
      const uint32_t nid = ByteView(bytes).U32(0).value_or(0);
      e.data.reset();
      e.size = 0;
      ReadSubnode(e, nid);
    }
    row.entries.push_back(std::move(e));
  }

 private:
  void Translate(PropertyEntry& e) {
    e.tag = e.propertyId;
    if (e.propertyId < 0x8000) return;  // named properties start at 0x8000
    const NamedPropertyEntry* n = LookupNamedProperty(ctx_.names, e.propertyId);
    if (!n) return;
    if (n->kind == kNameNumeric) {
      // The record fields name LIDs of 0x8000 and up only. A lower LID
      // (PSETID_Meeting's 0x001A, ...) taken as a tag would overwrite the
      // standard property of that number, so it fills no field.
      e.tag = n->lid >= 0x8000 ? n->lid : kTagNamedLowLid | n->lid;
    } else if (n->kind == kNameString) {
      e.tag = kTagStringNamed;
      e.name = &n->name;
    }
  }

  void ReadSubnode(PropertyEntry& e, uint32_t nid) {
    auto value = ReadSubnodeValue(ctx_.store, nid, subnodes_);
    if (value && !value->empty()) {
      e.data = Blob::Of(ByteSpan(*value));
      e.size = static_cast<int32_t>(value->size());
    } else {
      e.type = nid;
      e.size = 0;
    }
  }

  // A property that a listing read leaves out. Its value is read only as far
  // as needed to tell whether the full read would have read it, which decides
  // the sub-records it creates; a heap value may still mark the item as a
  // mail, which decides how later bodies are read.
  void Skip(const PropertyEntry& e, uint16_t type, uint32_t value) {
    const uint8_t records =
        e.tag == kTagStringNamed ? 0 : RecordsCreatedBy(e.tag, unicode_) & ~skipped_;
    if (IsInlineType(type)) {
      skipped_ |= records;
      return;
    }
    if (!IsHnidType(type) || value == 0) return;
    const bool captured = IsBodyProperty(e.propertyId) && mail_;
    if ((value & 0xF) == 0xF) {
      if (records && (captured || SubnodeReads(value))) skipped_ |= records;
      return;
    }
    // Once the item reads as a mail, a value that creates nothing new
    // changes nothing.
    if (!records && mail_) return;
    auto a = heap_.Resolve(value);
    if (!a) return;
    if (captured) {
      skipped_ |= records;
      return;
    }
    DetectMail(e.propertyId, a->bytes());
    if (!records) return;
    if (type == 0x000D && !SubnodeReads(ByteView(a->bytes()).U32(0).value_or(0))) return;
    skipped_ |= records;
  }

  bool SubnodeReads(uint32_t nid) const {
    auto value = ReadSubnodeValue(ctx_.store, nid, subnodes_);
    return value && !value->empty();
  }

  void DetectMail(uint16_t id, ByteSpan v) {
    if (ctx_.store.variant == store::Variant::Ansi) {
      if (AsChars(v) == "IPM.Note") mail_ = true;
      return;
    }
    if (CharsAt(v, {0, 2, 4, 6, 8}, "IPM.N")) {
      ctx_.bodyLocator.marker = 2;
      mail_ = true;
    }
    if (id == format::kPidTagSubject &&
        (CharsAt(v, {0, 2, 4}, "Syn") || CharsAt(v, {4, 6, 8}, "OST") || CharsAt(v, {0, 2, 4}, "OST"))) {
      ctx_.bodyLocator.marker = 1;
      mail_ = true;
    }
  }

  BodySlot& SlotFor(uint16_t id) {
    BodyLocator& b = ctx_.bodyLocator;
    if (id == format::kPidTagBody) {
      b.lastKind = 1;
      return b.plainSlot;
    }
    if (id == format::kPidTagHtml) {
      b.lastKind = 2;
      return b.htmlSlot;
    }
    b.lastKind = 3;
    return b.thirdSlot;
  }

  void CaptureHeap(uint16_t id, const Heap::Allocation& a) {
    BodySlot& s = SlotFor(id);
    const uint64_t offset = store::BlockOffset(ctx_.store, a.page->bid) + a.range.start;
    s.location = static_cast<uint32_t>(offset);
    s.size = static_cast<uint32_t>(a.range.size());
    s.source = kSourceHeap;
    s.subnodes = nullptr;
  }

  void CaptureSubnode(uint16_t id, uint32_t hnid) {
    BodySlot& s = SlotFor(id);
    s.location = hnid;
    s.size = 1;
    s.source = kSourceSubnode;
    s.subnodes = subnodes_;
  }

  ItemContext& ctx_;
  const Heap& heap_;
  const store::SubnodeList* subnodes_;
  const bool listing_;
  const bool unicode_;
  bool mail_ = false;
  uint8_t skipped_ = 0;
};

std::optional<PropertySet> ReadPropertyContext(ItemContext& ctx, const Heap& heap,
                                               const store::SubnodeList* subnodes,
                                               ReadScope scope) {
  auto records = ReadPropertyRecords(heap);
  if (!records) return std::nullopt;
  PropertySet set;
  PropertyRow& row = set.rows.emplace_back();
  row.totalRows = 1;
  row.entries.reserve(scope == ReadScope::Full ? records->size() : 16);
  RowReader reader(ctx, heap, subnodes, scope);
  reader.StartRow();
  for (const PropertyRecord& r : *records) reader.Add(r.id, r.type, r.word, row);
  set.skippedRecords = reader.skippedRecords();
  return set;
}

// `how`, when given, receives how the read ended; a row matrix that cannot
// be found or read then fails the read. Without it, such a table gives rows
// whose cells are all absent or zero.
//
// What the lists rely on, kept as it has always been read: the row count is
// the row index's, rows are taken in matrix order and listed from last to
// first, every cell is the 4 bytes at its column's offset whatever its width
// (an 8-byte time reads as a heap reference), the cell existence bitmap is
// not consulted, an HNID whose low four bits are all set names a subnode
// (any other a heap allocation), and a subnode matrix holds as many rows a
// block as the variant's largest block data fits.
std::optional<PropertySet> ReadTableContext(ItemContext& ctx, const Heap& heap,
                                            const store::SubnodeList* subnodes,
                                            TableRead* how = nullptr,
                                            ReadScope scope = ReadScope::Full) {
  if (how) *how = TableRead::Unreadable;
  auto info = ReadTcInfo(heap);
  if (!info) return std::nullopt;
  const RowIndex index = ReadRowIndex(heap, info->hidRowIndex);
  if (index.state == RowIndex::State::Empty && how) *how = TableRead::NoRows;
  if (index.state != RowIndex::State::Read) return std::nullopt;
  const size_t rowCount = index.rows.size();
  if (rowCount == 0) {
    if (how) *how = TableRead::NoRows;
    return std::nullopt;
  }

  const uint16_t rowWidth = info->rowWidth;
  std::optional<RowMatrix> matrix;
  if ((info->hnidRows & 0xF) == 0xF) {
    const store::SubnodeEntry* sub = FindSubnode(subnodes, info->hnidRows);
    auto blocks = sub ? RowMatrix::Blocks(ctx.store, *sub) : std::nullopt;
    if (blocks && ctx.store.layout()) {
      const size_t perBlock = ctx.store.layout()->maxBlockData();
      matrix.emplace(std::move(*blocks), rowWidth, rowWidth ? perBlock / rowWidth : 0);
    }
  } else if (auto rows = heap.ResolveHeader(info->hnidRows)) {
    matrix.emplace(*rows, rowWidth);
  }
  if (how) {
    if (!matrix) return std::nullopt;
    *how = TableRead::Rows;
  }
  if (!matrix) matrix.emplace();

  PropertySet set;
  set.rows.resize(rowCount);
  if (scope == ReadScope::Listing) {
    for (PropertyRow& row : set.rows) row.totalRows = static_cast<int32_t>(rowCount);
    return set;
  }
  RowReader reader(ctx, heap, subnodes);
  for (size_t r = 0; r < rowCount; ++r) {
    PropertyRow& row = set.rows[rowCount - 1 - r];
    row.totalRows = static_cast<int32_t>(rowCount);
    row.entries.reserve(info->columns.size());
    reader.StartRow();
    for (const TcColumn& c : info->columns) reader.Add(c.id, c.type, matrix->Word(r, c.ibData), row);
  }
  return set;
}

}  // namespace

const NamedPropertyEntry* LookupNamedProperty(const NamedPropertyMap* map, int32_t propertyId) {
  return map ? map->Find(propertyId) : nullptr;
}

std::optional<PropertySet> ReadPropertySetFromHeap(ItemContext& ctx, const Heap& heap,
                                                   const store::SubnodeList* subnodes,
                                                   ReadScope scope) {
  switch (heap.signature()) {
    case format::kHeapPropertyContext:
      return ReadPropertyContext(ctx, heap, subnodes, scope);
    case format::kHeapTableContext:
      // Rows read as one item are decoded whole whatever the scope.
      return ReadTableContext(ctx, heap, subnodes);
    default:
      return std::nullopt;
  }
}

std::optional<PropertySet> ReadTable(ItemContext& ctx, uint32_t dataBid,
                                     const store::SubnodeList* subnodes, TableRead& how,
                                     ReadScope scope) {
  how = TableRead::Unreadable;
  try {
    auto heap = Heap::Read(ctx.store, dataBid);
    if (!heap || heap->signature() != format::kHeapTableContext) return std::nullopt;
    return ReadTableContext(ctx, *heap, subnodes, &how, scope);
  } catch (const std::exception&) {
    how = TableRead::Unreadable;
    return std::nullopt;
  }
}

std::optional<PropertySet> ReadPropertySet(ItemContext& ctx, uint32_t dataBid,
                                           const store::SubnodeList* subnodes, ReadScope scope) {
  try {
    auto heap = Heap::Read(ctx.store, dataBid);
    if (!heap) return std::nullopt;
    return ReadPropertySetFromHeap(ctx, *heap, subnodes, scope);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace velmorix::items
