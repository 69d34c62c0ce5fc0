// Table rows read raw from a table context's heap: the row index gives the
// row IDs and their positions, the row matrix the cells, the cell existence
// bitmap which cells are set.
#include "items/table_rows.h"

#include <functional>
#include <string_view>

#include "format/vocabulary.h"
#include "items/heap.h"

namespace velmorix::items {
namespace {
constexpr size_t kTcInfoSize = 22;
constexpr size_t kColumnSize = 8;

struct Column {
  uint16_t id = 0, type = 0, ibData = 0;
  uint8_t cbData = 0, iBit = 0;
};

}  // namespace

std::optional<TableRows> ReadTableRows(store::Store& store, uint32_t dataBid, const store::SubnodeList* subnodes,
                                       std::span<const uint16_t> ids) {
  auto heap = Heap::Read(store, dataBid);
  if (!heap || heap->signature() != format::kHeapTableContext) return std::nullopt;
  auto info = heap->ResolveHeader(heap->userRoot());
  if (!info) return std::nullopt;
  const ByteView page(ByteSpan(info->page->data));
  const uint64_t base = static_cast<uint64_t>(info->range.start);
  if (!page.Contains(base, kTcInfoSize) || page.U8(base) != format::kBTypeTc) return std::nullopt;
  const uint8_t cols = *page.U8(base + 1);
  const uint16_t cebAt = *page.U16(base + 6);
  const uint16_t rowWidth = *page.U16(base + 8);
  const uint32_t hidRowIndex = *page.U32(base + 10);
  const uint32_t hnidRows = *page.U32(base + 14);
  if (!page.Contains(base + kTcInfoSize, uint64_t{cols} * kColumnSize)) return std::nullopt;

  TableRows out;
  std::vector<Column> columns;
  for (size_t c = 0; c < cols; ++c) {
    const uint64_t off = base + kTcInfoSize + c * kColumnSize;
    const uint32_t tag = *page.U32(off);
    out.columns.push_back(tag);
    columns.push_back({static_cast<uint16_t>(tag >> 16), static_cast<uint16_t>(tag & 0xFFFF), *page.U16(off + 4),
                       *page.U8(off + 6), *page.U8(off + 7)});
  }
  std::vector<const Column*> asked;
  for (uint16_t id : ids) {
    const Column* found = nullptr;
    for (const Column& c : columns) {
      if (c.id == id) found = &c;
    }
    asked.push_back(found);
  }

  uint8_t cbEnt = 0;
  auto index = heap->ReadBth(hidRowIndex, format::kBthRowIndex, 0, &cbEnt);
  if (!index) return std::nullopt;

  // The row matrix: one heap allocation, or a subnode whose blocks each
  // hold whole rows.
  std::vector<ByteSpan> blocks;
  std::vector<DataBlock> owned;
  size_t perBlock = 0;
  if ((hnidRows & 0x1F) == 0) {
    if (auto rows = heap->ResolveHeader(hnidRows)) {
      blocks.push_back(rows->bytes());
      perBlock = rowWidth ? rows->bytes().size() / rowWidth : 0;
    }
  } else if (const store::SubnodeEntry* sub = FindSubnode(subnodes, hnidRows); sub && sub->dataBlock) {
    if (auto list = ReadDataBlockList(store, sub->dataBlock->bid); list && store.layout()) {
      owned = std::move(*list);
      for (const DataBlock& b : owned) blocks.push_back(ByteSpan(b.data));
      perBlock = rowWidth ? store.layout()->maxBlockData() / rowWidth : 0;
    }
  }
  out.cellsRead = perBlock > 0 && !blocks.empty();

  out.rows.reserve(index->size());
  for (ByteSpan record : *index) {
    const ByteView r(record);
    TableRowCells row;
    row.rowId = r.U32(0).value_or(0);
    row.cells.resize(asked.size());
    const uint64_t position = cbEnt >= 4 ? r.U32(4).value_or(0) : r.U16(4).value_or(0);
    std::optional<ByteSpan> cells;
    if (out.cellsRead && position / perBlock < blocks.size()) {
      cells = ByteView(blocks[position / perBlock]).Sub((position % perBlock) * rowWidth, rowWidth);
    }
    if (cells) {
      const ByteView v(*cells);
      for (size_t i = 0; i < asked.size(); ++i) {
        const Column* c = asked[i];
        if (!c) continue;
        const auto flags = v.U8(cebAt + c->iBit / 8);
        if (!flags || !(*flags & (0x80 >> (c->iBit % 8)))) continue;
        auto bytes = v.Sub(c->ibData, c->cbData);
        if (!bytes) continue;
        if (format::FixedWidth(c->type) != 0 || c->cbData != 4) {
          row.cells[i] = Buffer(bytes->begin(), bytes->end());
          continue;
        }
        const uint32_t hnid = ByteView(*bytes).U32(0).value_or(0);
        if (hnid == 0) continue;
        if ((hnid & 0x1F) == 0) {
          if (auto a = heap->Resolve(hnid)) row.cells[i] = Buffer(a->bytes().begin(), a->bytes().end());
        } else if (auto value = ReadSubnodeValue(store, hnid, subnodes)) {
          row.cells[i] = std::move(*value);
        }
      }
    }
    out.rows.push_back(std::move(row));
  }
  return out;
}

uint64_t MessageRowKey(const std::optional<Buffer>& subject, const std::optional<Buffer>& sender,
                       const std::optional<Buffer>& delivered, const std::optional<Buffer>& size) {
  uint64_t h = 0;
  bool any = false;
  for (const std::optional<Buffer>* b : {&subject, &sender, &delivered, &size}) {
    uint64_t part = 0x9E3779B97F4A7C15ull;
    if (*b) {
      any = true;
      part = std::hash<std::string_view>{}(AsChars(ByteSpan(**b))) + 1;
    }
    h = (h ^ part) * 0x100000001B3ull + (h >> 29);
  }
  if (!any) return 0;
  return h ? h : 1;
}

}  // namespace velmorix::items
