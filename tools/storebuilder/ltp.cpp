#include "storebuilder/ltp.h"

#include "format/vocabulary.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>

namespace velmorix::storebuilder {
namespace {

void PutU16(std::byte* p, uint16_t v) {
  p[0] = std::byte(v & 0xFF);
  p[1] = std::byte(v >> 8);
}
void PutU32(std::byte* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = std::byte((v >> (8 * i)) & 0xFF);
}
void AppendU16(Buffer& b, uint16_t v) {
  b.resize(b.size() + 2);
  PutU16(b.data() + b.size() - 2, v);
}
void AppendU32(Buffer& b, uint32_t v) {
  b.resize(b.size() + 4);
  PutU32(b.data() + b.size() - 4, v);
}

// Decodes UTF-8 into code points; malformed sequences become U+FFFD.
std::vector<char32_t> DecodeUtf8(std::string_view s) {
  std::vector<char32_t> out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    auto c = static_cast<uint8_t>(s[i]);
    int extra = 0;
    char32_t cp = 0;
    if (c < 0x80) {
      cp = c;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      cp = c & 0x07;
    } else {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    bool ok = i + static_cast<size_t>(extra) < s.size();
    for (int k = 1; ok && k <= extra; ++k) {
      auto cc = static_cast<uint8_t>(s[i + k]);
      if ((cc & 0xC0) != 0x80) ok = false;
      else cp = (cp << 6) | (cc & 0x3F);
    }
    if (!ok || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    out.push_back(cp);
    i += static_cast<size_t>(extra) + 1;
  }
  return out;
}

}  // namespace

Buffer LeBytes(uint64_t v, size_t width) {
  Buffer b(width);
  for (size_t i = 0; i < width; ++i) b[i] = std::byte((v >> (8 * i)) & 0xFF);
  return b;
}

bool IsInlinePcType(uint16_t type) { return format::FixedWidth(type) != 0 && format::FixedWidth(type) <= 4; }

uint8_t TcCellWidth(uint16_t type) {
  const uint32_t fixed = format::FixedWidth(type);
  return static_cast<uint8_t>(fixed ? fixed : 4);
}

bool IsVariableType(uint16_t type) { return format::FixedWidth(type) == 0; }

Buffer Utf16le(std::string_view utf8) {
  Buffer out;
  out.reserve(utf8.size() * 2);
  for (char32_t cp : DecodeUtf8(utf8)) {
    if (cp >= 0x10000) {
      char32_t v = cp - 0x10000;
      AppendU16(out, static_cast<uint16_t>(0xD800 + (v >> 10)));
      AppendU16(out, static_cast<uint16_t>(0xDC00 + (v & 0x3FF)));
    } else {
      AppendU16(out, static_cast<uint16_t>(cp));
    }
  }
  return out;
}

Buffer Windows1252(std::string_view utf8) {
  // Code points of the bytes 0x80..0x9F; 0 marks a byte with no character.
  static constexpr char16_t kHigh[32] = {
      0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
  Buffer out;
  out.reserve(utf8.size());
  for (char32_t cp : DecodeUtf8(utf8)) {
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) {
      out.push_back(std::byte(cp));
      continue;
    }
    std::byte b{'?'};
    for (int i = 0; i < 32; ++i) {
      if (kHigh[i] != 0 && kHigh[i] == cp) b = std::byte(0x80 + i);
    }
    out.push_back(b);
  }
  return out;
}

// ---------------------------------------------------------------- heap, BTH

LtpFormat LtpFormat::Of(Format format) {
  LtpFormat f(GeometryOf(format).unicode);
  f.layout = GeometryOf(format).layout;
  return f;
}

uint32_t HeapWriter::Allocate(ByteSpan bytes) {
  const uint32_t hid = Reserve(bytes.size());
  std::copy(bytes.begin(), bytes.end(), Item(hid).begin());
  return hid;
}

void FillBth(pst::Heap& heap, const BthReservation& r, const std::vector<BthRecord>& records) {
  if (records.size() != r.count) throw std::invalid_argument("BTH record count mismatch");
  Buffer flat;
  for (const BthRecord& rec : records) {
    Buffer key = rec.key, data = rec.data;
    key.resize(r.keySize);
    data.resize(r.dataSize);
    flat.insert(flat.end(), key.begin(), key.end());
    flat.insert(flat.end(), data.begin(), data.end());
  }
  pst::FillBth(heap, r, flat);
}

uint32_t WriteBth(pst::Heap& heap, uint8_t cbKey, uint8_t cbEnt, const std::vector<BthRecord>& records,
                  size_t maxItemBytes) {
  BthReservation r = ReserveBth(heap, cbKey, cbEnt, records.size(), maxItemBytes);
  FillBth(heap, r, records);
  return r.headerHid;
}

namespace {

// Collects a node's subnodes in memory for the caller to store: values as
// they are placed, a row matrix with the size of each of its blocks.
class NodeParts final : public pst::PartSink {
 public:
  NodeParts(SubnodeNids& nids, std::vector<LtpSubnode>& out) : nids_(nids), out_(out) {}
  uint32_t AddValue(pst::ByteRange data) override {
    out_.push_back({nids_.Next(), Buffer(data.begin(), data.end()), {}, 0});
    return out_.back().nid;
  }
  void AddMatrixBlock(pst::ByteRange block) override {
    matrix_.data.insert(matrix_.data.end(), block.begin(), block.end());
    matrix_.blockSizes.push_back(block.size());
  }
  uint32_t EndMatrix() override {
    matrix_.nid = nids_.Next();
    out_.push_back(std::move(matrix_));
    matrix_ = {};
    return out_.back().nid;
  }

 private:
  SubnodeNids& nids_;
  std::vector<LtpSubnode>& out_;
  LtpSubnode matrix_;
};

}  // namespace

// ---------------------------------------------------------------- PC

LtpNode BuildPropertyContext(std::vector<PcProperty> props, LtpFormat format, SubnodeNids& nids,
                             const PcOptions& options) {
  std::stable_sort(props.begin(), props.end(),
                   [](const PcProperty& a, const PcProperty& b) { return a.id < b.id; });
  LtpNode node;
  // Values bound for subnodes are given theirs here, with the tree shape
  // asked for; every other one stays in the heap when a page holds it.
  std::vector<pst::PcProperty> shared;
  shared.reserve(props.size());
  for (PcProperty& p : props) {
    pst::PcProperty q;
    q.id = p.id;
    q.type = p.type;
    const bool toSubnode = !IsInlinePcType(p.type) &&
                           (p.placement == Placement::Subnode ||
                            (p.placement == Placement::Auto && p.value.size() > format::kMaxHeapItem));
    if (toSubnode) {
      q.subnode = nids.Next();
      node.subnodes.push_back({q.subnode, std::move(p.value), {}, p.treeLevel});
    } else {
      q.value = std::move(p.value);
    }
    shared.push_back(std::move(q));
  }
  NodeParts parts(nids, node.subnodes);
  pst::HeapLimits limits;
  limits.maxValueInHeap = SIZE_MAX;
  limits.maxNodeBytes = options.maxItemBytes;
  node.pages = pst::EncodePropertyContext(std::move(shared), *format.layout, parts, limits).Pages();
  return node;
}

// ---------------------------------------------------------------- TC

TableWriter::TableWriter(const std::vector<uint32_t>& columns, LtpFormat format, SubnodeNids& nids,
                         TcOptions options)
    : format_(format), nids_(nids), options_(options) {
  constexpr uint32_t kRowId = format::Tag(format::kPidTagLtpRowId, format::kPtypInteger32);
  constexpr uint32_t kRowVersion = format::Tag(format::kPidTagLtpRowVer, format::kPtypInteger32);
  byTag_.emplace(kRowId, 0);
  byTag_.emplace(kRowVersion, 1);
  for (uint32_t t : columns) {
    if (t == kRowId || t == kRowVersion) continue;
    byTag_.emplace(t, tags_.size() + 2);
    tags_.push_back(t);
  }
  rowWidth_ = pst::ShapeOfTable(tags_).rowSize;
}

void TableWriter::AddRow(uint32_t rowId, std::span<const TcCell> cells) {
  for (const TcCell& cell : cells) {
    if (!byTag_.count(cell.tag)) throw std::invalid_argument("cell for an unknown column");
  }
  pst::TcRow row;
  row.rowId = rowId;
  row.cells.assign(tags_.size(), std::nullopt);
  for (const TcCell& cell : cells) {
    const size_t column = byTag_.at(cell.tag);
    if (column >= 2) row.cells[column - 2] = cell.value;
  }
  rows_.push_back(std::move(row));
}

LtpNode TableWriter::Finish() {
  LtpNode node;
  NodeParts parts(nids_, node.subnodes);
  pst::HeapLimits limits;
  limits.maxValueInHeap = options_.maxItemBytes;
  limits.maxNodeBytes = options_.maxItemBytes;
  limits.rowsInSubnode = options_.rowsInSubnode;
  const pst::Heap heap = pst::EncodeTableContext(
      tags_, rows_.size(), [&](size_t i, pst::TcRow& row) { row = rows_[i]; }, *format_.layout, parts, limits);
  node.pages = heap.Pages();
  return node;
}

// ---------------------------------------------------------------- name map

std::string NameToIdMap::Key(const PropertyName& name) {
  std::string k(reinterpret_cast<const char*>(name.guid.data()), name.guid.size());
  if (name.isString) {
    k += 'S';
    k += name.name;
  } else {
    k += 'N';
    k += std::to_string(name.lid);
  }
  return k;
}

uint16_t NameToIdMap::IdFor(const PropertyName& name) {
  std::string key = Key(name);
  auto it = index_.find(key);
  if (it != index_.end()) return it->second;
  if (names_.size() >= 0x7FFF) throw std::length_error("too many named properties");
  auto id = static_cast<uint16_t>(0x8000 + names_.size());
  names_.push_back(name);
  index_.emplace(std::move(key), id);
  return id;
}

std::optional<uint16_t> NameToIdMap::Find(const PropertyName& name) const {
  auto it = index_.find(Key(name));
  if (it == index_.end()) return std::nullopt;
  return it->second;
}

uint16_t NameToIdMap::GuidIndex(const Guid& guid, const std::vector<Guid>& stream) {
  if (guid == kPsMapi) return 1;
  if (guid == kPsPublicStrings) return 2;
  auto it = std::find(stream.begin(), stream.end(), guid);
  return static_cast<uint16_t>(3 + (it - stream.begin()));
}

std::vector<PcProperty> NameToIdMap::Properties() const {
  std::vector<Guid> guids;
  for (const PropertyName& n : names_) {
    if (n.guid != kPsMapi && n.guid != kPsPublicStrings &&
        std::find(guids.begin(), guids.end(), n.guid) == guids.end()) {
      guids.push_back(n.guid);
    }
  }
  Buffer guidStream;
  for (const Guid& g : guids) {
    for (uint8_t b : g) guidStream.push_back(std::byte{b});
  }
  Buffer entries;
  Buffer strings;
  std::vector<Buffer> buckets(kBucketCount);
  for (size_t i = 0; i < names_.size(); ++i) {
    const PropertyName& n = names_[i];
    auto wGuid = static_cast<uint16_t>((GuidIndex(n.guid, guids) << 1) | (n.isString ? 1 : 0));
    uint32_t id = n.lid;
    uint32_t hash = n.lid;
    if (n.isString) {
      Buffer text = Utf16le(n.name);
      id = static_cast<uint32_t>(strings.size());
      hash = ComputeCrc(0, text);
      AppendU32(strings, static_cast<uint32_t>(text.size()));
      strings.insert(strings.end(), text.begin(), text.end());
      while (strings.size() % 4) strings.push_back(std::byte{0});
    }
    AppendU32(entries, id);
    AppendU16(entries, wGuid);
    AppendU16(entries, static_cast<uint16_t>(i));
    Buffer& bucket = buckets[(hash ^ wGuid) % kBucketCount];
    AppendU32(bucket, hash);
    AppendU16(bucket, wGuid);
    AppendU16(bucket, static_cast<uint16_t>(i));
  }
  std::vector<PcProperty> props;
  props.push_back({0x0001, format::kPtypInteger32, LeBytes(kBucketCount, 4)});
  props.push_back({0x0002, format::kPtypBinary, std::move(guidStream)});
  props.push_back({0x0003, format::kPtypBinary, std::move(entries)});
  props.push_back({0x0004, format::kPtypBinary, std::move(strings)});
  for (uint32_t b = 0; b < kBucketCount; ++b) {
    if (!buckets[b].empty()) {
      props.push_back({static_cast<uint16_t>(0x1000 + b), format::kPtypBinary, std::move(buckets[b])});
    }
  }
  return props;
}

}  // namespace velmorix::storebuilder
