// Table rows read raw from a table context's heap: the row index gives the
// row IDs and their positions, the row matrix the cells, the cell existence
// bitmap which cells are set.
#include "items/table_rows.h"

#include <functional>
#include <string_view>

#include "format/vocabulary.h"
#include "items/heap.h"
#include "items/ltp_reader.h"

namespace velmorix::items {
// The raw rows take their positions from the row index, read a heap matrix
// within its allocation and a subnode matrix at the variant's rows a block,
// honour the cell existence bitmap, and give each cell at its column's width;
// a 4-byte cell of a variable type is an HNID, resolved.
std::optional<TableRows> ReadTableRows(store::Store& store, uint32_t dataBid, const store::SubnodeList* subnodes,
                                       std::span<const uint16_t> ids) {
  auto heap = Heap::Read(store, dataBid);
  if (!heap || heap->signature() != format::kHeapTableContext) return std::nullopt;
  auto info = ReadTcInfo(*heap);
  if (!info) return std::nullopt;

  TableRows out;
  for (const TcColumn& c : info->columns) out.columns.push_back(c.tag);
  std::vector<const TcColumn*> asked;
  for (uint16_t id : ids) {
    const TcColumn* found = nullptr;
    for (const TcColumn& c : info->columns) {
      if (c.id == id) found = &c;
    }
    asked.push_back(found);
  }

  const RowIndex index = ReadRowIndex(*heap, info->hidRowIndex);
  if (index.state != RowIndex::State::Read) return std::nullopt;

  const uint16_t rowWidth = info->rowWidth;
  RowMatrix matrix;
  if (IsHeapId(info->hnidRows)) {
    if (auto rows = heap->ResolveHeader(info->hnidRows)) {
      matrix = RowMatrix(*rows, rowWidth);
      out.cellsRead = matrix.rowsHeld() > 0;
    }
  } else if (const store::SubnodeEntry* sub = FindSubnode(subnodes, info->hnidRows)) {
    if (auto blocks = RowMatrix::Blocks(store, *sub); blocks && store.layout()) {
      const size_t perBlock = rowWidth ? store.layout()->maxBlockData() / rowWidth : 0;
      out.cellsRead = perBlock > 0 && !blocks->empty();
      matrix = RowMatrix(std::move(*blocks), rowWidth, perBlock);
    }
  }

  out.rows.reserve(index.rows.size());
  for (const RowIndex::Entry& entry : index.rows) {
    TableRowCells row;
    row.rowId = entry.rowId;
    row.cells.resize(asked.size());
    const auto cells = matrix.Row(entry.position);
    for (size_t i = 0; cells && i < asked.size(); ++i) {
      const TcColumn* c = asked[i];
      if (!c) continue;
      const TcCell cell = CellOf(*cells, info->cebStart, *c);
      if (!cell.exists.value_or(false) || !cell.bytes) continue;
      const ByteSpan bytes = *cell.bytes;
      if (format::FixedWidth(c->type) != 0 || c->cbData != 4) {
        row.cells[i] = Buffer(bytes.begin(), bytes.end());
        continue;
      }
      const uint32_t hnid = ByteView(bytes).U32(0).value_or(0);
      if (hnid == 0) continue;
      if (IsHeapId(hnid)) {
        if (auto a = heap->Resolve(hnid)) row.cells[i] = Buffer(a->bytes().begin(), a->bytes().end());
      } else if (auto value = ReadSubnodeValue(store, hnid, subnodes)) {
        row.cells[i] = std::move(*value);
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
