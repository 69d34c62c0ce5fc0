// Table rows read raw: each row's ID and the stored bytes of chosen columns,
// for tying found tables to the folders and items they name.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "store/bytes.h"
#include "store/store.h"

namespace velmorix::items {

struct TableRowCells {
  uint32_t rowId = 0;
  // Per asked property ID: the cell's bytes (fixed-width values at their
  // width, variable ones as the heap holds them); absent when the cell is
  // not set or its value cannot be read.
  std::vector<std::optional<Buffer>> cells;
};

struct TableRows {
  std::vector<uint32_t> columns;     // every column tag, in stored order
  std::vector<TableRowCells> rows;   // in row-index order (ascending row ID)
  bool cellsRead = false;            // false: the row matrix could not be read, cells are all absent
};

// Reads the table context in `dataBid`. Columns are asked for by property ID
// (any type). nullopt when the heap is no table context or its header or row
// index cannot be read; the row count is bounded by what the heap holds.
std::optional<TableRows> ReadTableRows(store::Store& store, uint32_t dataBid, const store::SubnodeList* subnodes,
                                       std::span<const uint16_t> ids);

// The key a message is recognised by from a contents table row: its
// subject, sender name, delivery time and size, as stored. 0 when all four
// are absent.
uint64_t MessageRowKey(const std::optional<Buffer>& subject, const std::optional<Buffer>& sender,
                       const std::optional<Buffer>& delivered, const std::optional<Buffer>& size);

// The property IDs of those four values, in that order.
inline constexpr uint16_t kRowKeyIds[4] = {0x0037, 0x0042, 0x0E06, 0x0E08};

}  // namespace velmorix::items
