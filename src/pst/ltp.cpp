#include "format/vocabulary.h"
#include "pst/ltp.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

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
uint32_t Place(ByteRange value, Heap& heap, PartSink& parts, const HeapLimits& limits) {
  if (value.empty()) return 0;
  if (value.size() > limits.maxValueInHeap) return parts.AddValue(value);
  const uint32_t hid = heap.Reserve(value.size());
  std::copy(value.begin(), value.end(), heap.Item(hid).begin());
  return hid;
}

}  // namespace

size_t Heap::HeaderSize(size_t page) {
  if (page == 0) return 12;
  return page % 128 == 8 ? 66 : 2;
}

// A page's bytes: its header and items, aligned to 2, then the page map.
size_t Heap::PageSize(size_t page, size_t itemBytes, size_t itemCount) const {
  return (HeaderSize(page) + itemBytes + 1) / 2 * 2 + 4 + 2 * (itemCount + 1);
}

uint32_t Heap::Allocate(ByteRange item) {
  if (item.empty() || item.size() > format::kMaxHeapItem) throw WriteError("a heap item has a size the format does not allow");
  const uint32_t hid = Reserve(item.size());
  std::copy(item.begin(), item.end(), Item(hid).begin());
  return hid;
}

uint32_t Heap::Reserve(size_t size) {
  const size_t limit = layout_->maxBlockData();
  // A HID holds the item's index in the bits above its type, and the page
  // index above those.
  const size_t maxItems = (size_t{1} << layout_->hidIndexBits) - 1;
  const size_t maxPages = size_t{1} << (32 - layout_->hidBlockShift());
  const bool fits = !pages_.empty() && pages_.back().items.size() < maxItems &&
                    PageSize(pages_.size() - 1, pages_.back().bytes + size, pages_.back().items.size() + 1) <= limit;
  if (!fits) {
    if (PageSize(pages_.size(), size, 1) > limit) throw std::length_error("a heap item larger than a heap page");
    if (pages_.size() >= maxPages) throw WriteError("a table is larger than the format allows");
    pages_.emplace_back();
  }
  Page& p = pages_.back();
  p.items.emplace_back(size);
  p.bytes += size;
  return static_cast<uint32_t>(((pages_.size() - 1) << layout_->hidBlockShift()) | (p.items.size() << 5));
}

std::span<std::byte> Heap::Item(uint32_t hid) {
  const size_t page = hid >> layout_->hidBlockShift();
  const size_t index = (hid >> 5) & ((size_t{1} << layout_->hidIndexBits) - 1);
  if ((hid & 0x1F) != 0 || page >= pages_.size() || index == 0 || index > pages_[page].items.size()) {
    throw std::out_of_range("unknown heap ID");
  }
  return pages_[page].items[index - 1];
}

void Heap::Replace(uint32_t hid, ByteRange item) {
  std::span<std::byte> b = Item(hid);
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
    levels.push_back(FillLevel(layout_->maxBlockData() - b.size()));
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

BthReservation ReserveBth(Heap& heap, uint8_t keySize, uint8_t dataSize, size_t count, size_t maxNodeBytes,
                          uint32_t headerHid) {
  BthReservation r;
  r.keySize = keySize;
  r.dataSize = dataSize;
  r.count = count;
  r.maxNodeBytes = maxNodeBytes;
  const size_t perLeaf = maxNodeBytes / (keySize + dataSize);
  const size_t perIndex = maxNodeBytes / (keySize + 4u);
  if (perLeaf == 0 || perIndex < 2) throw std::invalid_argument("B-tree node limit too small");
  r.headerHid = headerHid ? headerHid : heap.Reserve(8);
  size_t children = count;
  size_t per = perLeaf;
  size_t width = keySize + dataSize;
  while (children != 0) {
    const size_t nodes = (children + per - 1) / per;
    std::vector<uint32_t> level;
    for (size_t i = 0; i < nodes; ++i) level.push_back(heap.Reserve(std::min(per, children - i * per) * width));
    r.levels.push_back(std::move(level));
    if (nodes == 1) break;
    children = nodes;
    per = perIndex;
    width = keySize + 4u;
  }
  return r;
}

void FillBth(Heap& heap, const BthReservation& r, ByteRange records) {
  const size_t size = r.keySize + r.dataSize;
  if (records.size() != r.count * size) throw std::invalid_argument("B-tree record count mismatch");
  std::span<std::byte> header = heap.Item(r.headerHid);
  header[0] = std::byte{format::kBTypeBth};
  header[1] = std::byte{r.keySize};
  header[2] = std::byte{r.dataSize};
  header[3] = std::byte(r.levels.empty() ? 0 : r.levels.size() - 1);
  Put32(header.data() + 4, r.levels.empty() ? 0 : r.levels.back().front());
  // Each level's nodes take consecutive entries of the level below: records
  // for the leaves, then each child's first key and HID.
  Bytes level(records.begin(), records.end());
  for (const std::vector<uint32_t>& nodes : r.levels) {
    Bytes upper;
    size_t from = 0;
    for (uint32_t hid : nodes) {
      std::span<std::byte> item = heap.Item(hid);
      std::copy_n(level.begin() + static_cast<std::ptrdiff_t>(from), item.size(), item.begin());
      upper.insert(upper.end(), item.begin(), item.begin() + r.keySize);
      Append32(upper, hid);
      from += item.size();
    }
    level = std::move(upper);
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

void Subnodes::AddMatrixBlock(ByteRange block) {
  if (!matrix_) matrix_.emplace(*db_);
  matrix_->Write(block);
}

uint32_t Subnodes::EndMatrix() {
  const uint64_t bid = matrix_ ? matrix_->Finish() : 0;
  matrix_.reset();
  return Add(format::kNidTypeLtp, bid, 0);
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

Heap EncodePropertyContext(std::vector<PcProperty> properties, const Layout& layout, PartSink& parts,
                           const HeapLimits& limits) {
  std::stable_sort(properties.begin(), properties.end(),
                   [](const PcProperty& a, const PcProperty& b) { return a.id < b.id; });
  Heap heap(format::kBTypePc, layout);
  // Header and records first, as clients lay them out, when the records fit
  // one node; they are filled in once the values are placed.
  const size_t count = properties.size();
  const bool oneLeaf = 8 * count <= limits.maxNodeBytes;
  BthReservation tree = ReserveBth(heap, 2, 6, oneLeaf ? count : 0, limits.maxNodeBytes);
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
      word = Place(p.value, heap, parts, limits);
    }
    Bytes r(8);
    Put16(r.data(), p.id);
    Put16(r.data() + 2, p.type);
    Put32(r.data() + 4, word);
    records.insert(records.end(), r.begin(), r.end());
  }
  if (!oneLeaf) tree = ReserveBth(heap, 2, 6, count, limits.maxNodeBytes, tree.headerHid);
  FillBth(heap, tree, records);
  heap.SetRoot(tree.headerHid);
  return heap;
}

uint64_t WritePropertyContext(std::vector<PcProperty> properties, Subnodes& subnodes) {
  return WriteHeap(EncodePropertyContext(std::move(properties), format::kUnicodeLayout, subnodes), subnodes.db());
}

uint64_t WriteTableContext(const std::vector<uint32_t>& tags, const std::vector<TcRow>& rows, Subnodes& subnodes) {
  return WriteTableContext(tags, rows.size(), [&](size_t i, TcRow& row) { row = rows[i]; }, subnodes);
}

TableShape ShapeOfTable(const std::vector<uint32_t>& tags) {
  TableShape shape;
  std::vector<TableColumn>& cols = shape.columns;
  cols.push_back({kTagRowId, 0, 4, 0});
  cols.push_back({kTagRowVersion, 0, 4, 1});
  for (size_t i = 0; i < tags.size(); ++i) {
    const size_t fixed = format::FixedWidth(static_cast<uint16_t>(tags[i]));
    cols.push_back({tags[i], 0, static_cast<uint8_t>(fixed ? fixed : 4), static_cast<uint8_t>(i + 2)});
  }
  if (cols.size() > 255) throw WriteError("a table has too many columns");
  uint16_t at = 0;
  int e = 0;
  for (auto group : {std::pair<int, int>{4, 8}, {2, 2}, {1, 1}}) {
    for (TableColumn& c : cols) {
      if (c.width >= group.first && c.width <= group.second) {
        c.at = at;
        at = static_cast<uint16_t>(at + c.width);
      }
    }
    shape.ends[e++] = at;
  }
  shape.rowSize = static_cast<uint16_t>(at + (cols.size() + 7) / 8);
  return shape;
}

Heap EncodeTableContext(const std::vector<uint32_t>& tags, size_t rowCount, const RowSource& source,
                        const Layout& layout, PartSink& parts, const HeapLimits& limits) {
  const TableShape shape = ShapeOfTable(tags);
  const std::vector<TableColumn>& cols = shape.columns;
  const uint16_t cebAt = shape.ends[2];
  const uint16_t rowSize = shape.rowSize;
  // Row index entries hold the row's index in 4 bytes, or 2 where IDs are 4 bytes wide.
  const uint8_t indexWidth = layout.idSize == 8 ? 4 : 2;

  // Clients lay a table out as the row index's header, the table's header,
  // the index's records, the row matrix, then the values the rows refer to.
  // Some readers take the heap's first item for the row index's header (and
  // loop when it is not), so these items are reserved first, in that order.
  Heap heap(format::kBTypeTc, layout);
  const uint32_t indexHeaderHid = heap.Reserve(8);
  Bytes info(22 + 8 * cols.size());
  const uint32_t infoHid = heap.Reserve(info.size());
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
      index.resize(index.size() - 4 + indexWidth);
    }
  }
  const BthReservation tree = ReserveBth(heap, 4, indexWidth, rowCount, limits.maxNodeBytes, indexHeaderHid);
  FillBth(heap, tree, index);

  const size_t blockData = layout.maxBlockData();
  const size_t perBlock = blockData / rowSize;
  const bool inHeap = !limits.rowsInSubnode && static_cast<uint64_t>(rowCount) * rowSize <= limits.maxNodeBytes;
  const uint32_t matrixHid = inHeap && rowCount != 0 ? heap.Reserve(rowCount * rowSize) : 0;
  Bytes matrix;
  Bytes row(rowSize);
  TcRow in;
  for (size_t r = 0; r < rowCount; ++r) {
    source(r, in);
    std::fill(row.begin(), row.end(), std::byte{0});
    for (const TableColumn& c : cols) {
      uint32_t v32 = 0;
      const Bytes* cell = nullptr;
      if (c.bit < 2) {
        v32 = c.tag == kTagRowId ? in.rowId : 0;
      } else {
        const size_t k = c.bit - 2u;
        if (k >= in.cells.size() || !in.cells[k]) continue;
        cell = &*in.cells[k];
      }
      row[cebAt + c.bit / 8] |= std::byte(0x80 >> (c.bit % 8));
      const size_t fixed = format::FixedWidth(static_cast<uint16_t>(c.tag));
      if (cell && fixed) {
        if (!cell->empty()) std::memcpy(row.data() + c.at, cell->data(), std::min(fixed, cell->size()));
        continue;
      }
      if (cell) v32 = Place(*cell, heap, parts, limits);
      Put32(row.data() + c.at, v32);
    }
    matrix.insert(matrix.end(), row.begin(), row.end());
    // Rows never straddle blocks: every block but the last is filled up.
    if (!inHeap && ((r + 1) % perBlock == 0 || r + 1 == rowCount)) {
      if (r + 1 < rowCount) matrix.resize(blockData);
      parts.AddMatrixBlock(matrix);
      matrix.clear();
    }
  }
  uint32_t rowsHnid = 0;
  if (rowCount != 0) {
    if (inHeap) {
      heap.Replace(matrixHid, matrix);
      rowsHnid = matrixHid;
    } else {
      rowsHnid = parts.EndMatrix();
    }
  }

  std::vector<const TableColumn*> sorted;
  for (const TableColumn& c : cols) sorted.push_back(&c);
  std::sort(sorted.begin(), sorted.end(), [](const TableColumn* a, const TableColumn* b) { return a->tag < b->tag; });
  info[0] = std::byte{format::kBTypeTc};
  info[1] = std::byte(cols.size());
  Put16(info.data() + 2, shape.ends[0]);
  Put16(info.data() + 4, shape.ends[1]);
  Put16(info.data() + 6, shape.ends[2]);
  Put16(info.data() + 8, rowSize);
  Put32(info.data() + 10, tree.headerHid);
  Put32(info.data() + 14, rowsHnid);
  for (size_t i = 0; i < sorted.size(); ++i) {
    std::byte* d = info.data() + 22 + 8 * i;
    Put32(d, sorted[i]->tag);
    Put16(d + 4, sorted[i]->at);
    d[6] = std::byte(sorted[i]->width);
    d[7] = std::byte(sorted[i]->bit);
  }
  heap.Replace(infoHid, info);
  return heap;
}

uint64_t WriteTableContext(const std::vector<uint32_t>& tags, size_t rowCount, const RowSource& source,
                           Subnodes& subnodes) {
  return WriteHeap(EncodeTableContext(tags, rowCount, source, format::kUnicodeLayout, subnodes), subnodes.db());
}

}  // namespace velmorix::pst
