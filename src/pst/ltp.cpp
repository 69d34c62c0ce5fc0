#include "format/vocabulary.h"
#include "pst/ltp.h"

#include <algorithm>
#include <cstring>

namespace velmorix::pst {
namespace {
constexpr uint32_t kTagRowId = format::Tag(format::kPidTagLtpRowId, format::kPtypInteger32);
constexpr uint32_t kTagRowVersion = format::Tag(format::kPidTagLtpRowVer, format::kPtypInteger32);

void Put16(std::byte* p, uint16_t v) {
  for (int i = 0; i < 2; ++i) p[i] = std::byte(v >> (8 * i));
}
void Put32(std::byte* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = std::byte(v >> (8 * i));
}
void Append32(Bytes& b, uint32_t v) {
  b.resize(b.size() + 4);
  Put32(b.data() + b.size() - 4, v);
}

// Fill level of a heap page by its free bytes.
uint8_t FillLevel(size_t free) {
  static constexpr size_t kAtLeast[] = {3584, 2560, 2048, 1792, 1536, 1280, 1024, 768, 512, 256, 128, 64, 32, 16, 8};
  for (uint8_t i = 0; i < 15; ++i) {
    if (free >= kAtLeast[i]) return i;
  }
  return 15;
}

// The HNID of a variable-size value: 0 when empty, a heap item, or a subnode.
uint32_t Place(ByteRange value, Heap& heap, Subnodes& subnodes) {
  if (value.empty()) return 0;
  if (value.size() <= format::kMaxHeapItem) return heap.Allocate(value);
  return subnodes.AddValue(value);
}

}  // namespace

size_t Heap::HeaderSize(size_t page) {
  if (page == 0) return 12;
  return page % 128 == 8 ? 66 : 2;
}

bool Heap::Fits(size_t page, const Page& p, size_t n) {
  const size_t items = HeaderSize(page) + p.bytes + n;
  const size_t map = 4 + 2 * (p.items.size() + 2);
  // An item index has 11 bits.
  return (items + 1) / 2 * 2 + map <= kMaxBlockData && p.items.size() < 2047;
}

uint32_t Heap::Allocate(ByteRange item) {
  if (item.empty() || item.size() > format::kMaxHeapItem) throw WriteError("a heap item has a size the format does not allow");
  if (pages_.empty() || !Fits(pages_.size() - 1, pages_.back(), item.size())) {
    if (pages_.size() >= 0x10000) throw WriteError("a table is larger than the format allows");
    pages_.emplace_back();
  }
  Page& p = pages_.back();
  p.items.emplace_back(item.begin(), item.end());
  p.bytes += item.size();
  return static_cast<uint32_t>(((pages_.size() - 1) << 16) | (p.items.size() << 5));
}

void Heap::Replace(uint32_t hid, ByteRange item) {
  Bytes& b = pages_.at(hid >> 16).items.at(((hid >> 5) & 0x7FF) - 1);
  if (b.size() != item.size()) throw WriteError("a heap item changed size");
  std::copy(item.begin(), item.end(), b.begin());
}

std::vector<Bytes> Heap::Pages() const {
  std::vector<Bytes> out;
  std::vector<uint8_t> levels;
  const size_t count = std::max<size_t>(pages_.size(), 1);
  out.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    static const Page kEmpty;
    const Page& p = i < pages_.size() ? pages_[i] : kEmpty;
    Bytes b(HeaderSize(i));
    for (const Bytes& item : p.items) b.insert(b.end(), item.begin(), item.end());
    std::vector<uint16_t> offsets;
    uint16_t at = static_cast<uint16_t>(HeaderSize(i));
    offsets.push_back(at);
    for (const Bytes& item : p.items) offsets.push_back(at = static_cast<uint16_t>(at + item.size()));
    if (b.size() % 2) b.push_back(std::byte{0});
    Put16(b.data(), static_cast<uint16_t>(b.size()));
    const size_t map = b.size();
    b.resize(map + 4 + 2 * offsets.size());
    Put16(b.data() + map, static_cast<uint16_t>(p.items.size()));
    for (size_t k = 0; k < offsets.size(); ++k) Put16(b.data() + map + 4 + 2 * k, offsets[k]);
    levels.push_back(FillLevel(kMaxBlockData - b.size()));
    out.push_back(std::move(b));
  }
  // Fill levels: of pages 0-7 in the first header, of the next 128 in each bitmap header.
  auto putLevels = [&](Bytes& b, size_t at, size_t first, size_t n) {
    for (size_t k = 0; k < n && first + k < levels.size(); ++k) {
      b[at + k / 2] |= std::byte(levels[first + k] << (4 * (k % 2)));
    }
  };
  Bytes& h = out[0];
  h[2] = std::byte{format::kHeapSignature};
  h[3] = std::byte{signature_};
  Put32(h.data() + 4, root_);
  putLevels(h, 8, 0, 8);
  for (size_t i = 8; i < out.size(); i += 128) putLevels(out[i], 2, i, 128);
  return out;
}

uint32_t WriteBTree(Heap& heap, uint8_t keySize, uint8_t dataSize, const Bytes& records, uint32_t headerHid,
                    uint32_t leafHid) {
  Bytes header(8);
  header[0] = std::byte{format::kBTypeBth};
  header[1] = std::byte{keySize};
  header[2] = std::byte{dataSize};
  if (headerHid) {
    heap.Replace(headerHid, header);
  } else {
    headerHid = heap.Allocate(header);
  }
  if (records.empty()) return headerHid;
  if (leafHid && records.size() <= format::kMaxHeapItem) {
    heap.Replace(leafHid, records);
    header[3] = std::byte{0};
    Put32(header.data() + 4, leafHid);
    heap.Replace(headerHid, header);
    return headerHid;
  }
  size_t size = keySize + dataSize;
  Bytes level = records;
  uint8_t depth = 0;
  for (;;) {
    const size_t perItem = format::kMaxHeapItem / size * size;
    Bytes upper;
    uint32_t last = 0;
    size_t items = 0;
    for (size_t from = 0; from < level.size(); from += perItem) {
      const size_t n = std::min(perItem, level.size() - from);
      last = heap.Allocate(ByteRange(level.data() + from, n));
      ++items;
      upper.insert(upper.end(), level.begin() + static_cast<std::ptrdiff_t>(from),
                   level.begin() + static_cast<std::ptrdiff_t>(from + keySize));
      Append32(upper, last);
    }
    if (items == 1) {
      header[3] = std::byte{depth};
      Put32(header.data() + 4, last);
      heap.Replace(headerHid, header);
      return headerHid;
    }
    level = std::move(upper);
    size = keySize + 4u;
    ++depth;
  }
}

uint32_t Subnodes::AddValue(ByteRange data) {
  return Add(format::kNidTypeLtp, db_->AddData(data), 0);
}

uint32_t Subnodes::Add(uint8_t type, uint64_t dataBid, uint64_t subnodeBid) {
  if (*next_ >= (1u << 27) - 1) throw WriteError("an object has too many parts");
  const uint32_t nid = (++*next_ << 5) | type;
  refs_.push_back({nid, dataBid, subnodeBid});
  return nid;
}

void Subnodes::AddFixed(uint32_t nid, uint64_t dataBid, uint64_t subnodeBid) {
  refs_.push_back({nid, dataBid, subnodeBid});
}

uint64_t Subnodes::Write() { return db_->AddSubnodes(std::move(refs_)); }

uint64_t WriteHeap(const Heap& heap, NodeDatabase& db) {
  const std::vector<Bytes> pages = heap.Pages();
  if (pages.size() == 1) return db.AddBlock(pages.front());
  std::vector<uint64_t> bids;
  std::vector<uint32_t> sizes;
  for (const Bytes& p : pages) {
    bids.push_back(db.AddBlock(p));
    sizes.push_back(static_cast<uint32_t>(p.size()));
  }
  return db.AddTree(bids, sizes);
}

uint64_t WritePropertyContext(std::vector<PcProperty> properties, Subnodes& subnodes) {
  std::sort(properties.begin(), properties.end(), [](const PcProperty& a, const PcProperty& b) { return a.id < b.id; });
  Heap heap(format::kBTypePc);
  // Header and records first, as clients lay them out; they are filled in
  // once the values are placed.
  const uint32_t headerHid = heap.Allocate(Bytes(8));
  const size_t recordBytes = 8 * properties.size();
  const uint32_t leafHid = recordBytes && recordBytes <= format::kMaxHeapItem ? heap.Allocate(Bytes(recordBytes)) : 0;
  Bytes records;
  for (const PcProperty& p : properties) {
    const size_t fixed = format::FixedWidth(p.type);
    uint32_t word = 0;
    if (p.subnode) {
      word = p.subnode;
      if (p.object) {
        Bytes ref(8);
        Put32(ref.data(), p.subnode);
        Put32(ref.data() + 4, p.objectSize);
        word = heap.Allocate(ref);
      }
    } else if (fixed != 0 && fixed <= 4) {
      for (size_t i = 0; i < std::min(fixed, p.value.size()); ++i) word |= static_cast<uint32_t>(p.value[i]) << (8 * i);
    } else if (fixed == 8) {
      Bytes v = p.value;
      v.resize(8);
      word = heap.Allocate(v);
    } else {
      word = Place(p.value, heap, subnodes);
    }
    Bytes r(8);
    Put16(r.data(), p.id);
    Put16(r.data() + 2, p.type);
    Put32(r.data() + 4, word);
    records.insert(records.end(), r.begin(), r.end());
  }
  heap.SetRoot(WriteBTree(heap, 2, 6, records, headerHid, leafHid));
  return WriteHeap(heap, subnodes.db());
}

uint64_t WriteTableContext(const std::vector<uint32_t>& tags, const std::vector<TcRow>& rows, Subnodes& subnodes) {
  return WriteTableContext(tags, rows.size(), [&](size_t i, TcRow& row) { row = rows[i]; }, subnodes);
}

uint64_t WriteTableContext(const std::vector<uint32_t>& tags, size_t rowCount, const RowSource& source,
                           Subnodes& subnodes) {
  struct Column {
    uint32_t tag;
    uint16_t at = 0;
    uint8_t width = 0;
    uint8_t bit = 0;
    size_t cell = 0;  // index into TcRow::cells, or SIZE_MAX for the row id and version
  };
  std::vector<Column> cols;
  cols.push_back({kTagRowId, 0, 4, 0, SIZE_MAX});
  cols.push_back({kTagRowVersion, 0, 4, 1, SIZE_MAX});
  for (size_t i = 0; i < tags.size(); ++i) {
    const size_t fixed = format::FixedWidth(static_cast<uint16_t>(tags[i]));
    cols.push_back({tags[i], 0, static_cast<uint8_t>(fixed ? fixed : 4), static_cast<uint8_t>(i + 2), i});
  }
  if (cols.size() > 255) throw WriteError("a table has too many columns");
  // Wide columns first, then 2-byte, then 1-byte ones, then the existence bitmap.
  uint16_t at = 0;
  uint16_t ends[3];
  int e = 0;
  for (auto group : {std::pair<int, int>{4, 8}, {2, 2}, {1, 1}}) {
    for (Column& c : cols) {
      if (c.width >= group.first && c.width <= group.second) {
        c.at = at;
        at = static_cast<uint16_t>(at + c.width);
      }
    }
    ends[e++] = at;
  }
  const uint16_t cebAt = at;
  const uint16_t rowSize = static_cast<uint16_t>(at + (cols.size() + 7) / 8);

  // Clients lay a table out as the row index's header, the table's header,
  // the index's records, the row matrix, then the values the rows refer to.
  // Some readers take the heap's first item for the row index's header (and
  // loop when it is not), so these items are reserved first, in that order.
  Heap heap(format::kBTypeTc);
  const uint32_t indexHeaderHid = heap.Allocate(Bytes(8));
  Bytes info(22 + 8 * cols.size());
  const uint32_t infoHid = heap.Allocate(info);
  heap.SetRoot(infoHid);

  Bytes index;
  {
    std::vector<std::pair<uint32_t, uint32_t>> ids;
    TcRow row;
    for (size_t r = 0; r < rowCount; ++r) {
      source(r, row);
      ids.emplace_back(row.rowId, static_cast<uint32_t>(r));
    }
    std::sort(ids.begin(), ids.end());
    for (auto [id, r] : ids) {
      Append32(index, id);
      Append32(index, r);
    }
  }
  const uint32_t indexLeafHid = !index.empty() && index.size() <= format::kMaxHeapItem ? heap.Allocate(Bytes(index.size())) : 0;
  const uint32_t indexHid = WriteBTree(heap, 4, 4, index, indexHeaderHid, indexLeafHid);

  const size_t perBlock = kMaxBlockData / rowSize;
  const bool inHeap = static_cast<uint64_t>(rowCount) * rowSize <= format::kMaxHeapItem;
  const uint32_t matrixHid = inHeap && rowCount != 0 ? heap.Allocate(Bytes(rowCount * rowSize)) : 0;
  Bytes matrix;
  DataStream stream(subnodes.db());
  Bytes row(rowSize);
  TcRow in;
  for (size_t r = 0; r < rowCount; ++r) {
    source(r, in);
    std::fill(row.begin(), row.end(), std::byte{0});
    for (const Column& c : cols) {
      uint32_t v32 = 0;
      const Bytes* cell = nullptr;
      if (c.cell == SIZE_MAX) {
        v32 = c.tag == kTagRowId ? in.rowId : 0;
      } else {
        if (c.cell >= in.cells.size() || !in.cells[c.cell]) continue;
        cell = &*in.cells[c.cell];
      }
      row[cebAt + c.bit / 8] |= std::byte(0x80 >> (c.bit % 8));
      const size_t fixed = format::FixedWidth(static_cast<uint16_t>(c.tag));
      if (cell && fixed) {
        if (!cell->empty()) std::memcpy(row.data() + c.at, cell->data(), std::min(fixed, cell->size()));
        continue;
      }
      if (cell) v32 = Place(*cell, heap, subnodes);
      Put32(row.data() + c.at, v32);
    }
    if (inHeap) {
      matrix.insert(matrix.end(), row.begin(), row.end());
    } else {
      stream.Write(row);
      // Rows never straddle blocks: every block but the last is filled up.
      if ((r + 1) % perBlock == 0 && r + 1 < rowCount) {
        const Bytes pad(kMaxBlockData - perBlock * rowSize);
        stream.Write(pad);
      }
    }
  }
  uint32_t rowsHnid = 0;
  if (rowCount != 0) {
    if (inHeap) {
      heap.Replace(matrixHid, matrix);
      rowsHnid = matrixHid;
    } else {
      rowsHnid = subnodes.Add(format::kNidTypeLtp, stream.Finish(), 0);
    }
  }

  std::vector<const Column*> sorted;
  for (const Column& c : cols) sorted.push_back(&c);
  std::sort(sorted.begin(), sorted.end(), [](const Column* a, const Column* b) { return a->tag < b->tag; });
  info[0] = std::byte{format::kBTypeTc};
  info[1] = std::byte(cols.size());
  Put16(info.data() + 2, ends[0]);
  Put16(info.data() + 4, ends[1]);
  Put16(info.data() + 6, ends[2]);
  Put16(info.data() + 8, rowSize);
  Put32(info.data() + 10, indexHid);
  Put32(info.data() + 14, rowsHnid);
  for (size_t i = 0; i < sorted.size(); ++i) {
    std::byte* d = info.data() + 22 + 8 * i;
    Put32(d, sorted[i]->tag);
    Put16(d + 4, sorted[i]->at);
    d[6] = std::byte(sorted[i]->width);
    d[7] = std::byte(sorted[i]->bit);
  }
  heap.Replace(infoHid, info);
  return WriteHeap(heap, subnodes.db());
}

}  // namespace velmorix::pst
