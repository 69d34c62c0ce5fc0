#include "storebuilder/ltp.h"

#include "format/vocabulary.h"
#include "storebuilder/crc.h"

#include <algorithm>
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
Buffer LeBytes(uint64_t v, size_t width) {
  Buffer b(width);
  for (size_t i = 0; i < width; ++i) b[i] = std::byte((v >> (8 * i)) & 0xFF);
  return b;
}

uint8_t FillLevel(size_t freeBytes) {
  static constexpr size_t kLimits[] = {3584, 2560, 2048, 1792, 1536, 1280, 1024, 768,
                                       512,  256,  128,  64,   32,   16,   8};
  for (uint8_t i = 0; i < 15; ++i) {
    if (freeBytes >= kLimits[i]) return i;
  }
  return 0xF;
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

bool IsInlinePcType(uint16_t type) {
  return type == format::kPtypInteger16 || type == format::kPtypInteger32 || type == format::kPtypFloating32 || type == format::kPtypErrorCode ||
         type == format::kPtypBoolean;
}

uint8_t TcCellWidth(uint16_t type) {
  switch (type) {
    case format::kPtypBoolean:
      return 1;
    case format::kPtypInteger16:
      return 2;
    case format::kPtypFloating64:
    case format::kPtypCurrency:
    case format::kPtypFloatingTime:
    case format::kPtypInteger64:
    case format::kPtypTime:
      return 8;
    default:
      return 4;
  }
}

bool IsVariableType(uint16_t type) {
  switch (type) {
    case format::kPtypInteger16:
    case format::kPtypInteger32:
    case format::kPtypFloating32:
    case format::kPtypFloating64:
    case format::kPtypCurrency:
    case format::kPtypFloatingTime:
    case format::kPtypErrorCode:
    case format::kPtypBoolean:
    case format::kPtypInteger64:
    case format::kPtypTime:
      return false;
    default:
      return true;
  }
}

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

// ---------------------------------------------------------------- heap

LtpFormat LtpFormat::Of(Format format) {
  const Geometry g = GeometryOf(format);
  return LtpFormat(g.unicode, g.maxBlockData, g.layout->hidBlockShift());
}

HeapWriter::HeapWriter(uint8_t clientSig, LtpFormat format) : clientSig_(clientSig), format_(format) {}

size_t HeapWriter::HeaderSize(size_t page) {
  if (page == 0) return 12;
  if (page >= 8 && (page - 8) % 128 == 0) return 66;
  return 2;
}

size_t HeapWriter::PageSize(size_t page, size_t itemBytes, size_t itemCount) const {
  size_t map = (HeaderSize(page) + itemBytes + 1) & ~size_t{1};
  return map + 4 + 2 * (itemCount + 1);
}

uint32_t HeapWriter::Reserve(size_t size) {
  const size_t limit = format_.maxBlockData;
  // A HID holds the allocation index in the bits between the type and the
  // block index, and the block index above them.
  const size_t maxAllocsPerPage = (size_t{1} << (format_.hidBlockShift - 5)) - 1;
  const size_t maxHeapPages = size_t{1} << (32 - format_.hidBlockShift);
  bool fits = !pages_.empty() && pages_.back().items.size() < maxAllocsPerPage &&
              PageSize(pages_.size() - 1, pages_.back().itemBytes + size,
                       pages_.back().items.size() + 1) <= limit;
  if (!fits) {
    if (PageSize(pages_.size(), size, 1) > limit) {
      throw std::length_error("heap allocation larger than a heap page");
    }
    if (pages_.size() >= maxHeapPages) throw std::length_error("heap has too many pages");
    pages_.emplace_back();
  }
  Page& p = pages_.back();
  p.items.emplace_back(size);
  p.itemBytes += size;
  return static_cast<uint32_t>(((pages_.size() - 1) << format_.hidBlockShift) | (p.items.size() << 5));
}

uint32_t HeapWriter::Allocate(ByteSpan bytes) {
  uint32_t hid = Reserve(bytes.size());
  std::copy(bytes.begin(), bytes.end(), Item(hid).begin());
  return hid;
}

std::span<std::byte> HeapWriter::Item(uint32_t hid) {
  size_t page = hid >> format_.hidBlockShift;
  size_t index = (hid >> 5) & ((size_t{1} << (format_.hidBlockShift - 5)) - 1);
  if ((hid & 0x1F) != 0 || page >= pages_.size() || index == 0 ||
      index > pages_[page].items.size()) {
    throw std::out_of_range("unknown heap ID");
  }
  return pages_[page].items[index - 1];
}

std::vector<Buffer> HeapWriter::Finish() const {
  const size_t limit = format_.maxBlockData;
  std::vector<uint8_t> fill(pages_.size());
  for (size_t p = 0; p < pages_.size(); ++p) {
    fill[p] = FillLevel(limit - PageSize(p, pages_[p].itemBytes, pages_[p].items.size()));
  }
  auto putFill = [&](std::byte* dst, size_t first, size_t count) {
    for (size_t i = 0; i < count && first + i < fill.size(); ++i) {
      dst[i / 2] |= std::byte(fill[first + i] << ((i % 2) * 4));
    }
  };
  std::vector<Buffer> out;
  out.reserve(pages_.size());
  for (size_t p = 0; p < pages_.size(); ++p) {
    const Page& page = pages_[p];
    Buffer b(PageSize(p, page.itemBytes, page.items.size()));
    size_t header = HeaderSize(p);
    size_t mapOffset = (header + page.itemBytes + 1) & ~size_t{1};
    PutU16(b.data(), static_cast<uint16_t>(mapOffset));
    if (p == 0) {
      b[2] = std::byte{0xEC};
      b[3] = std::byte{clientSig_};
      PutU32(b.data() + 4, userRoot_);
      putFill(b.data() + 8, 0, 8);
    } else if (header == 66) {
      putFill(b.data() + 2, p, 128);
    }
    std::byte* map = b.data() + mapOffset;
    PutU16(map, static_cast<uint16_t>(page.items.size()));
    PutU16(map + 2, 0);
    size_t at = header;
    PutU16(map + 4, static_cast<uint16_t>(at));
    for (size_t i = 0; i < page.items.size(); ++i) {
      std::copy(page.items[i].begin(), page.items[i].end(), b.begin() + static_cast<ptrdiff_t>(at));
      at += page.items[i].size();
      PutU16(map + 6 + 2 * i, static_cast<uint16_t>(at));
    }
    out.push_back(std::move(b));
  }
  return out;
}

// ---------------------------------------------------------------- BTH

BthReservation ReserveBth(HeapWriter& heap, uint8_t cbKey, uint8_t cbEnt, size_t count,
                          size_t maxItemBytes, uint32_t headerHid) {
  BthReservation r;
  r.cbKey = cbKey;
  r.cbEnt = cbEnt;
  r.count = count;
  r.maxItemBytes = maxItemBytes;
  const size_t perLeaf = maxItemBytes / (cbKey + cbEnt);
  const size_t perIndex = maxItemBytes / (cbKey + 4u);
  if (perLeaf == 0 || perIndex < 2) throw std::invalid_argument("BTH node limit too small");
  r.headerHid = headerHid ? headerHid : heap.Reserve(8);
  if (count == 0) return r;
  size_t nodes = (count + perLeaf - 1) / perLeaf;
  size_t children = count;
  size_t per = perLeaf;
  size_t width = cbKey + cbEnt;
  while (true) {
    std::vector<uint32_t> level;
    for (size_t i = 0; i < nodes; ++i) {
      size_t n = std::min(per, children - i * per);
      level.push_back(heap.Reserve(n * width));
    }
    r.levels.push_back(std::move(level));
    if (nodes == 1) break;
    children = nodes;
    per = perIndex;
    width = cbKey + 4u;
    nodes = (children + per - 1) / per;
  }
  return r;
}

void FillBth(HeapWriter& heap, const BthReservation& r, const std::vector<BthRecord>& records) {
  if (records.size() != r.count) throw std::invalid_argument("BTH record count mismatch");
  auto header = heap.Item(r.headerHid);
  header[0] = std::byte{format::kBTypeBth};
  header[1] = std::byte{r.cbKey};
  header[2] = std::byte{r.cbEnt};
  header[3] = std::byte(r.levels.empty() ? 0 : r.levels.size() - 1);
  PutU32(header.data() + 4, r.levels.empty() ? 0 : r.levels.back().front());
  if (r.levels.empty()) return;

  auto put = [](std::byte* dst, const Buffer& src, size_t width) {
    std::copy_n(src.begin(), std::min(width, src.size()), dst);
  };
  const size_t perLeaf = r.maxItemBytes / (r.cbKey + r.cbEnt);
  const size_t perIndex = r.maxItemBytes / (r.cbKey + 4u);
  // First key of each node of the level being filled.
  std::vector<const Buffer*> firstKeys;
  for (size_t i = 0; i < r.levels[0].size(); ++i) {
    auto item = heap.Item(r.levels[0][i]);
    size_t at = 0;
    for (size_t k = i * perLeaf; k < records.size() && k < (i + 1) * perLeaf; ++k) {
      put(item.data() + at, records[k].key, r.cbKey);
      put(item.data() + at + r.cbKey, records[k].data, r.cbEnt);
      at += r.cbKey + r.cbEnt;
    }
    firstKeys.push_back(&records[i * perLeaf].key);
  }
  for (size_t l = 1; l < r.levels.size(); ++l) {
    std::vector<const Buffer*> next;
    const auto& below = r.levels[l - 1];
    for (size_t i = 0; i < r.levels[l].size(); ++i) {
      auto item = heap.Item(r.levels[l][i]);
      size_t at = 0;
      for (size_t k = i * perIndex; k < below.size() && k < (i + 1) * perIndex; ++k) {
        put(item.data() + at, *firstKeys[k], r.cbKey);
        PutU32(item.data() + at + r.cbKey, below[k]);
        at += r.cbKey + 4u;
      }
      next.push_back(firstKeys[i * perIndex]);
    }
    firstKeys = std::move(next);
  }
}

uint32_t WriteBth(HeapWriter& heap, uint8_t cbKey, uint8_t cbEnt,
                  const std::vector<BthRecord>& records, size_t maxItemBytes) {
  BthReservation r = ReserveBth(heap, cbKey, cbEnt, records.size(), maxItemBytes);
  FillBth(heap, r, records);
  return r.headerHid;
}

// ---------------------------------------------------------------- PC

LtpNode BuildPropertyContext(std::vector<PcProperty> props, LtpFormat format, SubnodeNids& nids,
                             const PcOptions& options) {
  std::stable_sort(props.begin(), props.end(),
                   [](const PcProperty& a, const PcProperty& b) { return a.id < b.id; });
  LtpNode node;
  HeapWriter heap(format::kBTypePc, format);
  BthReservation bth = ReserveBth(heap, 2, 6, props.size(), options.maxItemBytes);
  std::vector<BthRecord> records;
  records.reserve(props.size());
  for (PcProperty& p : props) {
    uint32_t hnid = 0;
    if (IsInlinePcType(p.type)) {
      for (size_t i = 0; i < 4 && i < p.value.size(); ++i) {
        hnid |= static_cast<uint32_t>(p.value[i]) << (8 * i);
      }
    } else if (p.placement == Placement::Subnode ||
               (p.placement == Placement::Auto && p.value.size() > format::kMaxHeapItem)) {
      hnid = nids.Next();
      node.subnodes.push_back({hnid, std::move(p.value), {}, p.treeLevel});
    } else if (!p.value.empty()) {
      hnid = heap.Allocate(p.value);
    }
    Buffer data = LeBytes(p.type, 2);
    AppendU32(data, hnid);
    records.push_back({LeBytes(p.id, 2), std::move(data)});
  }
  FillBth(heap, bth, records);
  heap.SetUserRoot(bth.headerHid);
  node.pages = heap.Finish();
  return node;
}

// ---------------------------------------------------------------- TC

TableWriter::TableWriter(const std::vector<uint32_t>& columns, LtpFormat format, SubnodeNids& nids,
                         TcOptions options)
    : format_(format), nids_(nids), options_(options), heap_(format::kBTypeTc, format) {
  std::vector<uint32_t> tags = {0x67F20003, 0x67F30003};
  for (uint32_t t : columns) {
    if (t != 0x67F20003 && t != 0x67F30003) tags.push_back(t);
  }
  if (tags.size() > 255) throw std::invalid_argument("too many table columns");
  for (size_t i = 0; i < tags.size(); ++i) {
    columns_.push_back({tags[i], 0, TcCellWidth(static_cast<uint16_t>(tags[i] & 0xFFFF)),
                        static_cast<uint8_t>(i)});
    byTag_.emplace(tags[i], i);
  }
  // Cells are grouped by width: 4- and 8-byte, then 2-byte, then 1-byte, then the CEB.
  uint16_t at = 0;
  for (Column& c : columns_) {
    if (c.cbData >= 4) c.ibData = at, at = static_cast<uint16_t>(at + c.cbData);
  }
  rgib_[0] = at;
  for (Column& c : columns_) {
    if (c.cbData == 2) c.ibData = at, at = static_cast<uint16_t>(at + 2);
  }
  rgib_[1] = at;
  for (Column& c : columns_) {
    if (c.cbData == 1) c.ibData = at, at = static_cast<uint16_t>(at + 1);
  }
  rgib_[2] = at;
  rgib_[3] = static_cast<uint16_t>(at + (columns_.size() + 7) / 8);
  rowWidth_ = rgib_[3];
  tcInfoHid_ = heap_.Reserve(22 + 8 * columns_.size());
}

void TableWriter::AddRow(uint32_t rowId, std::span<const TcCell> cells) {
  for (const TcCell& cell : cells) {
    if (!byTag_.count(cell.tag)) throw std::invalid_argument("cell for an unknown column");
  }
  size_t base = matrix_.size();
  matrix_.resize(base + rowWidth_);
  std::byte* row = matrix_.data() + base;
  std::byte* ceb = row + rgib_[2];
  auto mark = [&](const Column& c) { ceb[c.iBit / 8] |= std::byte(0x80 >> (c.iBit % 8)); };
  PutU32(row, rowId);
  mark(columns_[0]);
  PutU32(row + 4, 1);
  mark(columns_[1]);
  for (const TcCell& cell : cells) {
    auto it = byTag_.find(cell.tag);
    const Column& c = columns_[it->second];
    if (it->second == 0) continue;
    std::byte* dst = row + c.ibData;
    std::fill_n(dst, c.cbData, std::byte{0});
    if (IsVariableType(static_cast<uint16_t>(c.tag & 0xFFFF))) {
      uint32_t hnid = 0;
      if (cell.value.size() > options_.maxItemBytes) {
        hnid = nids_.Next();
        subnodes_.push_back({hnid, cell.value, {}, 0});
      } else if (!cell.value.empty()) {
        hnid = heap_.Allocate(cell.value);
      }
      PutU32(dst, hnid);
    } else {
      std::copy_n(cell.value.begin(), std::min<size_t>(c.cbData, cell.value.size()), dst);
    }
    mark(c);
  }
  rowIds_.push_back(rowId);
}

LtpNode TableWriter::Finish() {
  const uint8_t cbEnt = format_.unicode ? 4 : 2;
  std::vector<uint32_t> order(rowIds_.size());
  for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](uint32_t a, uint32_t b) { return rowIds_[a] < rowIds_[b]; });
  std::vector<BthRecord> records;
  records.reserve(order.size());
  for (uint32_t i : order) records.push_back({LeBytes(rowIds_[i], 4), LeBytes(i, cbEnt)});
  BthReservation bth = ReserveBth(heap_, 4, cbEnt, records.size(), options_.maxItemBytes);
  FillBth(heap_, bth, records);

  uint32_t hnidRows = 0;
  if (!matrix_.empty()) {
    if (!options_.rowsInSubnode && matrix_.size() <= options_.maxItemBytes) {
      hnidRows = heap_.Allocate(matrix_);
    } else {
      // Rows never straddle blocks: each block holds as many whole rows as fit.
      const size_t perBlock = format_.maxBlockData / rowWidth_ * rowWidth_;
      LtpSubnode sub{nids_.Next(), std::move(matrix_), {}, 0};
      for (size_t at = 0; at < sub.data.size(); at += perBlock) {
        sub.blockSizes.push_back(std::min(perBlock, sub.data.size() - at));
      }
      hnidRows = sub.nid;
      subnodes_.push_back(std::move(sub));
    }
  }

  auto info = heap_.Item(tcInfoHid_);
  info[0] = std::byte{format::kBTypeTc};
  info[1] = std::byte(columns_.size());
  for (int i = 0; i < 4; ++i) PutU16(info.data() + 2 + 2 * i, rgib_[i]);
  PutU32(info.data() + 10, bth.headerHid);
  PutU32(info.data() + 14, hnidRows);
  PutU32(info.data() + 18, 0);
  std::vector<Column> sorted = columns_;
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const Column& a, const Column& b) { return a.tag < b.tag; });
  for (size_t i = 0; i < sorted.size(); ++i) {
    std::byte* d = info.data() + 22 + 8 * i;
    PutU32(d, sorted[i].tag);
    PutU16(d + 4, sorted[i].ibData);
    d[6] = std::byte{sorted[i].cbData};
    d[7] = std::byte{sorted[i].iBit};
  }
  heap_.SetUserRoot(tcInfoHid_);
  LtpNode node;
  node.pages = heap_.Finish();
  node.subnodes = std::move(subnodes_);
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
