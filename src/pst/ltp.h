// Lists, tables and properties: heaps on nodes, B-trees on heaps, property
// contexts and table contexts, written into a node database. Values too
// large for the heap go to subnodes of the node being built.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <optional>
#include <vector>

#include "format/vocabulary.h"
#include "pst/ndb.h"

namespace velmorix::pst {

// A heap on a node: items grouped in pages of at most one block each. HIDs
// and page sizes follow the variant's layout.
class Heap {
 public:
  explicit Heap(uint8_t clientSignature, const Layout& layout = format::kUnicodeLayout)
      : signature_(clientSignature), layout_(&layout) {}
  // Stores an item (1 to format::kMaxHeapItem bytes) and gives its HID.
  uint32_t Allocate(ByteRange item);
  // A zero-filled item of any size a page holds (std::length_error when
  // none does), to be filled in through Item().
  uint32_t Reserve(size_t size);
  // The bytes of an item; std::out_of_range for an unknown HID.
  std::span<std::byte> Item(uint32_t hid);
  // Rewrites an item with bytes of the same size.
  void Replace(uint32_t hid, ByteRange item);
  void SetRoot(uint32_t hid) { root_ = hid; }
  size_t pageCount() const { return pages_.size(); }
  // The node's data blocks, one per page.
  std::vector<Bytes> Pages() const;

 private:
  struct Page {
    std::vector<Bytes> items;
    size_t bytes = 0;
  };
  static size_t HeaderSize(size_t page);
  size_t PageSize(size_t page, size_t itemBytes, size_t itemCount) const;

  uint8_t signature_;
  const Layout* layout_;
  uint32_t root_ = 0;
  std::vector<Page> pages_;
};

// A B-tree on a heap, its nodes reserved before its records are filled in,
// so that they lie where clients place them: the header, the leaves, then
// each index level.
struct BthReservation {
  uint32_t headerHid = 0;
  uint8_t keySize = 0;
  uint8_t dataSize = 0;
  size_t count = 0;
  size_t maxNodeBytes = format::kMaxHeapItem;
  std::vector<std::vector<uint32_t>> levels;  // levels[0] = leaves, last = the root
};
// Reserves a tree of `count` records of `keySize` + `dataSize` bytes, each
// node at most `maxNodeBytes`; `headerHid` names an 8-byte item reserved
// earlier for the header (0: reserve one first).
BthReservation ReserveBth(Heap& heap, uint8_t keySize, uint8_t dataSize, size_t count,
                          size_t maxNodeBytes = format::kMaxHeapItem, uint32_t headerHid = 0);
// Fills a reserved tree with its records, sorted by key, each key then data
// (std::invalid_argument when they are not `count` records).
void FillBth(Heap& heap, const BthReservation& tree, ByteRange records);

// Where the parts of an object too large for its heap go: the writer's
// Subnodes below, or a test builder's own store.
class PartSink {
 public:
  // Keeps a value in a subnode of its own and gives the subnode's NID.
  virtual uint32_t AddValue(ByteRange data) = 0;
  // A row matrix, one block at a time (every block but the last full), and
  // its end, which gives the NID of the subnode holding it.
  virtual void AddMatrixBlock(ByteRange block) = 0;
  virtual uint32_t EndMatrix() = 0;

 protected:
  ~PartSink() = default;
};

// The subnodes of the object being built: values too large for its heap,
// its row matrix, and objects nested in it.
class Subnodes final : public PartSink {
 public:
  // Subnodes of one object's parts may share `counter`: their NIDs are then
  // unique across the object, as readers that flatten its subnodes expect.
  explicit Subnodes(NodeDatabase& db, uint32_t* counter = nullptr)
      : db_(&db), next_(counter ? counter : &ownNext_) {}
  Subnodes(const Subnodes&) = delete;
  Subnodes& operator=(const Subnodes&) = delete;
  NodeDatabase& db() { return *db_; }
  // Writes `data` as a value subnode and gives its NID.
  uint32_t AddValue(ByteRange data) override;
  void AddMatrixBlock(ByteRange block) override;
  uint32_t EndMatrix() override;
  // Registers a subnode already written; `type` is its NID type.
  uint32_t Add(uint8_t type, uint64_t dataBid, uint64_t subnodeBid);
  // Registers a subnode under a fixed NID (the recipient and attachment tables).
  void AddFixed(uint32_t nid, uint64_t dataBid, uint64_t subnodeBid);
  // The subnode tree (0 when there are none).
  uint64_t Write();

 private:
  NodeDatabase* db_;
  std::optional<DataStream> matrix_;
  std::vector<SubnodeRef> refs_;
  uint32_t ownNext_ = 0x400;
  uint32_t* next_;
};

// One property of a property context. A value is its bytes (fixed types
// little-endian, strings UTF-16LE without terminator), or a subnode the
// caller has written: the value's data (`subnode`), or an object whose
// subnode and size are recorded in the heap (`object`).
struct PcProperty {
  uint16_t id = 0;
  uint16_t type = 0;
  Bytes value;
  uint32_t subnode = 0;
  bool object = false;
  uint32_t objectSize = 0;
};

// Limits of an object's heap: values larger than `maxValueInHeap` go to
// subnodes, B-tree nodes (and a row matrix kept in the heap) hold at most
// `maxNodeBytes`, and `rowsInSubnode` keeps a row matrix out of the heap.
struct HeapLimits {
  size_t maxValueInHeap = format::kMaxHeapItem;
  size_t maxNodeBytes = format::kMaxHeapItem;
  bool rowsInSubnode = false;
};

// The heap of a property context: records sorted by property id (stable for
// equal ids), values of 4 bytes or less inline, the others in the heap or in
// subnodes by size.
Heap EncodePropertyContext(std::vector<PcProperty> properties, const Layout& layout, PartSink& parts,
                           const HeapLimits& limits = {});
// Writes a property context and gives its data BID. Properties must have
// distinct ids.
uint64_t WritePropertyContext(std::vector<PcProperty> properties, Subnodes& subnodes);

// A row of a table: its id, and one cell per column after the row id and
// row version (nullopt: the cell does not exist).
struct TcRow {
  uint32_t rowId = 0;
  std::vector<std::optional<Bytes>> cells;
};

// Fills row `index` of a table being written.
using RowSource = std::function<void(size_t index, TcRow& row)>;

// The columns of a table as its rows lay them out: the row id and row
// version, then the given tags; 8- and 4-byte cells first, then 2-byte and
// 1-byte ones, then the cell-existence bitmap.
struct TableColumn {
  uint32_t tag = 0;
  uint16_t at = 0;
  uint8_t width = 0;
  uint8_t bit = 0;
};
struct TableShape {
  std::vector<TableColumn> columns;  // in bit order
  uint16_t ends[3] = {};             // end of the 8/4-, 2- and 1-byte cells
  uint16_t rowSize = 0;
};
TableShape ShapeOfTable(const std::vector<uint32_t>& tags);

// The heap of a table context with the given columns (row id and row version
// are added first). Row matrices larger than the heap allows go to a subnode,
// every block but the last filled with whole rows and padded to a full block.
Heap EncodeTableContext(const std::vector<uint32_t>& tags, size_t rowCount, const RowSource& rows,
                        const Layout& layout, PartSink& parts, const HeapLimits& limits = {});
// Writes a table context with the given columns (row id and row version are
// added first) and gives its data BID. Large row matrices go to a subnode.
uint64_t WriteTableContext(const std::vector<uint32_t>& tags, size_t rowCount, const RowSource& rows,
                           Subnodes& subnodes);
uint64_t WriteTableContext(const std::vector<uint32_t>& tags, const std::vector<TcRow>& rows, Subnodes& subnodes);

// Writes the pages of a heap as a node's data.
uint64_t WriteHeap(const Heap& heap, NodeDatabase& db);

}  // namespace velmorix::pst
