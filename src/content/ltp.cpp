#include "content/ltp.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "format/vocabulary.h"
#include "items/ltp_reader.h"
#include "items/text.h"

namespace velmorix::content::ltp {
namespace {
// Types whose value a property context keeps in the record itself.
bool InlineInPc(uint16_t type) {
  switch (type) {
    case 0x0001: case format::kPtypInteger16: case format::kPtypInteger32: case format::kPtypFloating32: case format::kPtypErrorCode: case format::kPtypBoolean:
      return true;
    default:
      return false;
  }
}

// Types whose table cell holds an HNID rather than the value.
bool ByReferenceInTc(uint16_t type) {
  if (type & format::kPtypMultipleFlag) return true;
  switch (type) {
    case format::kPtypObject: case format::kPtypString8: case format::kPtypString: case format::kPtypGuid: case format::kPtypBinary:
      return true;
    default:
      return false;
  }
}

uint64_t LittleEndian(ByteSpan b, size_t width) {
  uint64_t v = 0;
  for (size_t i = 0; i < width && i < b.size(); ++i) {
    v |= static_cast<uint64_t>(static_cast<uint8_t>(b[i])) << (8 * i);
  }
  return v;
}

}  // namespace

const store::SubnodeEntry* SubnodeScope::Find(uint32_t nid) const {
  // Scopes nest as deep as messages are embedded, which the reader bounds.
  for (const SubnodeScope* s = this; s; s = s->outer) {
    if (const store::SubnodeEntry* e = items::FindSubnode(s->own, nid)) return e;
  }
  return nullptr;
}

const store::SubnodeEntry* ValueSource::Subnode(uint32_t hnid) const {
  if (hnid == 0 || items::IsHeapId(hnid) || !scope_) return nullptr;
  return scope_->Find(hnid);
}

std::optional<ByteSpan> ValueSource::Resolve(uint32_t hnid, uint64_t limit, ValueState* state) const {
  auto fail = [&](ValueState s) -> std::optional<ByteSpan> {
    if (state) *state = s;
    return std::nullopt;
  };
  if (state) *state = ValueState::Ok;
  if (hnid == 0) return ByteSpan();
  if (items::IsHeapId(hnid)) {
    auto a = heap_.Resolve(hnid);
    if (!a) return fail(ValueState::Unreadable);
    return a->bytes();
  }
  if (auto it = fetchedByNid_.find(hnid); it != fetchedByNid_.end()) {
    const Buffer& b = fetched_[it->second];
    if (b.size() > limit) return fail(ValueState::TooLarge);
    return ByteSpan(b);
  }
  const store::SubnodeEntry* e = Subnode(hnid);
  if (!e) return fail(ValueState::Missing);
  if (limit != kNoLimit) {
    auto size = store::DataSize(*store_, e->dataBlock->bid);
    if (!size) return fail(ValueState::Unreadable);
    if (*size > limit) return fail(ValueState::TooLarge);
  }
  auto value = items::ReadValueWhole(*store_, e->dataBlock->bid);
  if (!value) return fail(ValueState::Unreadable);
  fetchedByNid_.emplace(hnid, fetched_.size());
  fetched_.push_back(std::move(*value));
  return ByteSpan(fetched_.back());
}

// ---------------------------------------------------------------- values

std::optional<ByteSpan> Value::Bytes(uint64_t limit, ValueState* state) const {
  if (byReference) {
    if (!source) return std::nullopt;
    return source->Resolve(word, limit, state);
  }
  if (state) *state = ValueState::Ok;
  // Fixed values are handed out from their own storage.
  return ByteSpan(reinterpret_cast<const std::byte*>(&fixed), std::max<size_t>(format::FixedWidth(type), 4));
}

namespace {

std::optional<uint64_t> FixedBits(const Value& v, size_t width) {
  if (!v.byReference) return v.fixed;
  auto b = v.Bytes();
  if (!b || b->size() < width) return std::nullopt;
  return LittleEndian(*b, width);
}

}  // namespace

std::optional<int64_t> Value::Int() const {
  switch (type) {
    case format::kPtypInteger16: {
      auto v = FixedBits(*this, 2);
      if (!v) return std::nullopt;
      return static_cast<int16_t>(*v & 0xFFFF);
    }
    case format::kPtypInteger32: case format::kPtypErrorCode: {
      auto v = FixedBits(*this, 4);
      if (!v) return std::nullopt;
      return static_cast<int32_t>(*v & 0xFFFFFFFF);
    }
    case format::kPtypBoolean: {
      auto v = FixedBits(*this, 1);
      if (!v) return std::nullopt;
      return (*v & 0xFF) != 0 ? 1 : 0;
    }
    case format::kPtypInteger64: case format::kPtypCurrency: case format::kPtypTime: {
      auto v = FixedBits(*this, 8);
      if (!v) return std::nullopt;
      return static_cast<int64_t>(*v);
    }
    default:
      return std::nullopt;
  }
}

std::optional<bool> Value::Bool() const {
  auto v = Int();
  if (!v) return std::nullopt;
  return *v != 0;
}

std::optional<double> Value::Double() const {
  if (type == format::kPtypFloating32) {
    auto v = FixedBits(*this, 4);
    if (!v) return std::nullopt;
    return static_cast<double>(std::bit_cast<float>(static_cast<uint32_t>(*v)));
  }
  if (type == format::kPtypFloating64 || type == format::kPtypFloatingTime) {
    auto v = FixedBits(*this, 8);
    if (!v) return std::nullopt;
    return std::bit_cast<double>(*v);
  }
  auto i = Int();
  if (!i) return std::nullopt;
  return static_cast<double>(*i);
}

std::optional<uint64_t> Value::Time() const {
  if (type != format::kPtypTime) return std::nullopt;
  return FixedBits(*this, 8);
}

std::optional<std::string> Value::Text(TextDecoder& decoder, int codePage) const {
  if (type != format::kPtypString && type != format::kPtypString8) return std::nullopt;
  auto b = Bytes();
  if (!b) return std::nullopt;
  if (type == format::kPtypString) return items::WideToUtf8(*b);
  return decoder.ToUtf8(*b, codePage);
}

namespace {

// The values of a variable-size multi-valued property: a count, one offset
// per value from the start, then the values. Values whose offsets do not
// hold are left out.
template <typename Each>
void ForEachValue(ByteSpan b, Each each) {
  ByteView v(b);
  const uint64_t count = v.U32(0).value_or(0);
  if (count > b.size() / 4) return;
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t start = v.U32(4 + 4 * i).value_or(0);
    const uint64_t end = i + 1 < count ? v.U32(8 + 4 * i).value_or(0) : b.size();
    if (start > end || end > b.size()) continue;
    each(b.subspan(static_cast<size_t>(start), static_cast<size_t>(end - start)));
  }
}

}  // namespace

std::vector<std::string> Value::Texts(TextDecoder& decoder, int codePage) const {
  std::vector<std::string> out;
  if (type == format::kPtypString || type == format::kPtypString8) {
    if (auto t = Text(decoder, codePage)) out.push_back(std::move(*t));
    return out;
  }
  if (type != (format::kPtypString | format::kPtypMultipleFlag) && type != (format::kPtypString8 | format::kPtypMultipleFlag)) return out;
  if (auto b = Bytes()) {
    ForEachValue(*b, [&](ByteSpan s) { out.push_back(type & 1 ? items::WideToUtf8(s) : decoder.ToUtf8(s, codePage)); });
  }
  return out;
}

std::vector<std::string> Value::Binaries() const {
  std::vector<std::string> out;
  if (type != (format::kPtypBinary | format::kPtypMultipleFlag)) return out;
  if (auto b = Bytes()) {
    ForEachValue(*b, [&](ByteSpan s) { out.emplace_back(reinterpret_cast<const char*>(s.data()), s.size()); });
  }
  return out;
}

// ---------------------------------------------------------------- property contexts

std::optional<PropertyContext> PropertyContext::Read(store::Store& store, uint32_t dataBid,
                                                     const SubnodeScope* scope,
                                                     const items::NamedPropertyMap* names) {
  std::optional<items::Heap> heap;
  try {
    heap = items::Heap::Read(store, dataBid);
  } catch (const store::IoError&) {
    return std::nullopt;
  }
  if (!heap || heap->signature() != format::kHeapPropertyContext) return std::nullopt;
  auto records = items::ReadPropertyRecords(*heap);
  if (!records) return std::nullopt;
  std::vector<Property> props;
  props.reserve(records->size());
  for (const items::PropertyRecord& r : *records) {
    Property p;
    p.id = r.id;
    p.type = r.type;
    p.word = r.word;
    if (const items::NamedPropertyEntry* n = items::LookupNamedProperty(names, p.id)) {
      if (n->kind == items::kNameNumeric) p.lid = n->lid;
      if (n->kind == items::kNameString && n->name) p.stringName = &n->name;
    }
    props.push_back(p);
  }
  // Records are stored in ID order; a damaged tree may not be. The first
  // record of an ID stands.
  std::stable_sort(props.begin(), props.end(),
                   [](const Property& a, const Property& b) { return a.id < b.id; });
  props.erase(std::unique(props.begin(), props.end(),
                          [](const Property& a, const Property& b) { return a.id == b.id; }),
              props.end());
  PropertyContext pc(ValueSource(store, std::move(*heap), scope));
  pc.props_ = std::move(props);
  for (size_t i = 0; i < pc.props_.size(); ++i) {
    if (pc.props_[i].lid != 0) pc.byLid_.emplace_back(pc.props_[i].lid, i);
  }
  std::stable_sort(pc.byLid_.begin(), pc.byLid_.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  return pc;
}

const PropertyContext::Property* PropertyContext::Find(uint16_t id) const {
  auto it = std::lower_bound(props_.begin(), props_.end(), id,
                             [](const Property& p, uint16_t v) { return p.id < v; });
  return it != props_.end() && it->id == id ? &*it : nullptr;
}

const PropertyContext::Property* PropertyContext::FindLid(uint32_t lid) const {
  auto it = std::lower_bound(byLid_.begin(), byLid_.end(), lid,
                             [](const auto& e, uint32_t v) { return e.first < v; });
  return it != byLid_.end() && it->first == lid ? &props_[it->second] : nullptr;
}

const PropertyContext::Property* PropertyContext::FindName(std::string_view name) const {
  for (const Property& p : props_) {
    if (p.stringName && p.stringName->view() == name) return &p;
  }
  return nullptr;
}

Value PropertyContext::ValueOf(const Property& p) const {
  Value v;
  v.source = &source_;
  v.type = p.type;
  if (InlineInPc(p.type)) {
    v.fixed = p.word;
  } else {
    v.byReference = true;
    v.word = p.word;
  }
  return v;
}

std::optional<Value> PropertyContext::Get(uint16_t id) const {
  const Property* p = Find(id);
  if (!p) return std::nullopt;
  return ValueOf(*p);
}

std::optional<Value> PropertyContext::GetLid(uint32_t lid) const {
  const Property* p = FindLid(lid);
  if (!p) return std::nullopt;
  return ValueOf(*p);
}

// ---------------------------------------------------------------- table contexts

std::optional<TableContext> TableContext::Read(store::Store& store, uint32_t dataBid,
                                               const SubnodeScope* scope) {
  std::optional<items::Heap> heap;
  try {
    heap = items::Heap::Read(store, dataBid);
  } catch (const store::IoError&) {
    return std::nullopt;
  }
  if (!heap || heap->signature() != format::kHeapTableContext) return std::nullopt;
  auto info = items::ReadTcInfo(*heap);
  if (!info) return std::nullopt;

  // Moving the heap keeps its pages where they are.
  TableContext tc(ValueSource(store, std::move(*heap), scope));
  const items::Heap& h = tc.source_.heap();
  const uint16_t rowWidth = info->rowWidth;
  tc.columns_ = std::move(info->columns);
  tc.cebStart_ = info->cebStart;

  // The row matrix. Unlike the lists, an HNID is a heap allocation only when
  // its low five bits are clear, and a subnode matrix holds as many rows a
  // block as its first block does.
  if (info->hnidRows != 0 && rowWidth != 0) {
    if (items::IsHeapId(info->hnidRows)) {
      if (auto rows = h.ResolveHeader(info->hnidRows)) tc.matrix_ = items::RowMatrix(*rows, rowWidth);
    } else if (const store::SubnodeEntry* sub = scope ? scope->Find(info->hnidRows) : nullptr) {
      if (auto blocks = items::RowMatrix::Blocks(store, *sub)) {
        const size_t perBlock = blocks->front().data.size() / rowWidth;
        tc.matrix_ = items::RowMatrix(std::move(*blocks), rowWidth, perBlock);
      }
    }
  }
  const size_t matrixRows = static_cast<size_t>(tc.matrix_.rowsHeld());

  // The row index gives the row count, bounded by the rows the matrix holds;
  // when the index cannot be read, those rows are taken.
  const items::RowIndex index = items::ReadRowIndex(h, info->hidRowIndex);
  size_t indexRows = matrixRows;
  if (index.state == items::RowIndex::State::Empty) indexRows = 0;
  if (index.state == items::RowIndex::State::Read) indexRows = index.rows.size();
  tc.rows_ = std::min(indexRows, matrixRows);
  return tc;
}

std::optional<ByteSpan> TableContext::Row(size_t row) const {
  if (row >= rows_) return std::nullopt;
  return matrix_.Row(row);
}

bool TableContext::HasColumn(uint16_t id) const {
  return std::any_of(columns_.begin(), columns_.end(), [&](const Column& c) { return c.id == id; });
}

std::optional<Value> TableContext::Cell(size_t row, uint16_t id) const {
  auto it = std::find_if(columns_.begin(), columns_.end(), [&](const Column& c) { return c.id == id; });
  if (it == columns_.end()) return std::nullopt;
  auto bytes = Row(row);
  if (!bytes) return std::nullopt;
  const ByteView r(*bytes);
  // A bitmap that lies outside the row is not trusted to hide cells.
  if (const auto exists = items::CellOf(*bytes, cebStart_, *it).exists; exists && !*exists) return std::nullopt;
  Value v;
  v.source = &source_;
  v.type = it->type;
  if (ByReferenceInTc(it->type)) {
    auto w = r.U32(it->ibData);
    if (!w) return std::nullopt;
    v.byReference = true;
    v.word = *w;
    return v;
  }
  size_t width = format::FixedWidth(it->type);
  if (width == 0) width = std::min<size_t>(it->cbData, 8);
  if (width == 0) return std::nullopt;
  auto cell = r.Sub(it->ibData, std::min<size_t>(width, it->cbData ? it->cbData : width));
  if (!cell) return std::nullopt;
  v.fixed = LittleEndian(*cell, cell->size());
  return v;
}

}  // namespace velmorix::content::ltp
