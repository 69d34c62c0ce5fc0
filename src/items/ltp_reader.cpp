// Property and table contexts walked: records, table header, row index, row
// matrix and cells, each bounded by the bytes that hold it.
#include "items/ltp_reader.h"

#include "format/vocabulary.h"

namespace velmorix::items {
namespace {
constexpr size_t kTcInfoSize = 22;
constexpr size_t kColumnSize = 8;
constexpr uint32_t kPcRecordSize = 8;
}  // namespace

std::optional<std::vector<PropertyRecord>> ReadPropertyRecords(const Heap& heap) {
  auto records = heap.ReadBth(heap.userRoot(), format::kBthPropertyContext, kPcRecordSize);
  if (!records) return std::nullopt;
  std::vector<PropertyRecord> out;
  out.reserve(records->size());
  for (ByteSpan r : *records) {
    const ByteView v(r);
    out.push_back({*v.U16(0), *v.U16(2), *v.U32(4)});
  }
  return out;
}

std::optional<TcInfo> ReadTcInfo(const Heap& heap) {
  auto info = heap.ResolveHeader(heap.userRoot());
  if (!info) return std::nullopt;
  const ByteView page(ByteSpan(info->page->data));
  const uint64_t base = static_cast<uint64_t>(info->range.start);
  if (!page.Contains(base, kTcInfoSize) || *page.U8(base) != format::kBTypeTc) return std::nullopt;
  const uint8_t cols = *page.U8(base + 1);
  if (!page.Contains(base + kTcInfoSize, uint64_t{cols} * kColumnSize)) return std::nullopt;
  TcInfo out;
  out.cebStart = *page.U16(base + 6);
  out.rowWidth = *page.U16(base + 8);
  out.hidRowIndex = *page.U32(base + 10);
  out.hnidRows = *page.U32(base + 14);
  out.columns.reserve(cols);
  for (size_t c = 0; c < cols; ++c) {
    const uint64_t off = base + kTcInfoSize + c * kColumnSize;
    TcColumn col;
    col.tag = *page.U32(off);
    col.id = static_cast<uint16_t>(col.tag >> 16);
    col.type = static_cast<uint16_t>(col.tag & 0xFFFF);
    col.ibData = *page.U16(off + 4);
    col.cbData = *page.U8(off + 6);
    col.iBit = *page.U8(off + 7);
    out.columns.push_back(col);
  }
  return out;
}

RowIndex ReadRowIndex(const Heap& heap, uint32_t hidRowIndex) {
  RowIndex out;
  uint8_t cbEnt = 0;
  if (auto records = heap.ReadBth(hidRowIndex, format::kBthRowIndex, 0, &cbEnt)) {
    out.state = RowIndex::State::Read;
    out.rows.reserve(records->size());
    for (ByteSpan record : *records) {
      const ByteView r(record);
      // Row positions are 16 bits wide in the ANSI variants, 32 in the others.
      const uint32_t position = cbEnt >= 4 ? r.U32(4).value_or(0) : r.U16(4).value_or(0);
      out.rows.push_back({r.U32(0).value_or(0), position});
    }
    return out;
  }
  // A tree whose root is 0 holds no rows; any other failure leaves the
  // row count unknown.
  if (auto header = heap.ResolveHeader(hidRowIndex)) {
    const ByteView v(header->bytes());
    if (v.U16(0) == format::kBthRowIndex && v.U32(4) == 0u) out.state = RowIndex::State::Empty;
  }
  return out;
}

RowMatrix::RowMatrix(const Heap::Allocation& a, uint16_t rowWidth)
    : page_(a.page), range_(a.range), rowWidth_(rowWidth) {}

RowMatrix::RowMatrix(std::vector<DataBlock> blocks, uint16_t rowWidth, size_t rowsPerBlock)
    : blocks_(std::move(blocks)), rowWidth_(rowWidth), rowsPerBlock_(rowsPerBlock) {}

std::optional<std::vector<DataBlock>> RowMatrix::Blocks(store::Store& store, const store::SubnodeEntry& entry) {
  if (!entry.dataBlock) return std::nullopt;
  return ReadDataBlockList(store, entry.dataBlock->bid);
}

uint64_t RowMatrix::rowsHeld() const {
  if (rowWidth_ == 0) return 0;
  if (page_) return static_cast<uint64_t>(range_.size()) / rowWidth_;
  uint64_t rows = 0;
  for (const DataBlock& b : blocks_) rows += b.data.size() / rowWidth_;
  return rows;
}

std::optional<ByteSpan> RowMatrix::Row(uint64_t position) const {
  if (rowWidth_ == 0) return std::nullopt;
  if (page_) {
    const Heap::Allocation a{page_, range_};
    return ByteView(a.bytes()).Sub(position * rowWidth_, rowWidth_);
  }
  if (rowsPerBlock_ == 0 || position / rowsPerBlock_ >= blocks_.size()) return std::nullopt;
  const Buffer& data = blocks_[position / rowsPerBlock_].data;
  return ByteView(ByteSpan(data)).Sub((position % rowsPerBlock_) * rowWidth_, rowWidth_);
}

uint32_t RowMatrix::Word(uint64_t position, uint16_t ibData) const {
  if (page_) {
    const uint64_t off = static_cast<uint64_t>(range_.start) + position * rowWidth_ + ibData;
    const uint64_t size = page_->data.size();
    if (off > 0 && size >= 4 && off < size - 4) return *ByteView(ByteSpan(page_->data)).U32(off);
    return 0;
  }
  if (rowsPerBlock_ == 0) return 0;
  const uint64_t block = position / rowsPerBlock_;
  if (block >= blocks_.size()) return 0;
  const Buffer& data = blocks_[block].data;
  const uint64_t off = (position % rowsPerBlock_) * rowWidth_ + ibData;
  uint32_t value = 0;
  for (uint64_t i = 0; i < 4 && off + i < data.size(); ++i) {
    value |= static_cast<uint32_t>(static_cast<uint8_t>(data[off + i])) << (8 * i);
  }
  return value;
}

TcCell CellOf(ByteSpan row, uint16_t cebStart, const TcColumn& column) {
  const ByteView r(row);
  TcCell cell;
  // The bitmap's bits run from the most significant bit of its first byte.
  if (auto flags = r.U8(static_cast<uint64_t>(cebStart) + column.iBit / 8)) {
    cell.exists = (*flags & (0x80 >> (column.iBit % 8))) != 0;
  }
  cell.bytes = r.Sub(column.ibData, column.cbData);
  return cell;
}

}  // namespace velmorix::items
