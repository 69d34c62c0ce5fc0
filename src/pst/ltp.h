// Lists, tables and properties: heaps on nodes, B-trees on heaps, property
// contexts and table contexts, written into a node database. Values too
// large for the heap go to subnodes of the node being built.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "format/vocabulary.h"
#include "pst/ndb.h"

namespace velmorix::pst {

// A heap on a node: items grouped in pages of at most one block each.
class Heap {
 public:
  explicit Heap(uint8_t clientSignature) : signature_(clientSignature) {}
  // Stores an item (1 to format::kMaxHeapItem bytes) and gives its HID.
  uint32_t Allocate(ByteRange item);
  // Rewrites an item with bytes of the same size.
  void Replace(uint32_t hid, ByteRange item);
  void SetRoot(uint32_t hid) { root_ = hid; }
  // The node's data blocks, one per page.
  std::vector<Bytes> Pages() const;

 private:
  struct Page {
    std::vector<Bytes> items;
    size_t bytes = 0;
  };
  static size_t HeaderSize(size_t page);
  static bool Fits(size_t page, const Page& p, size_t n);

  uint8_t signature_;
  uint32_t root_ = 0;
  std::vector<Page> pages_;
};

// Builds a B-tree on `heap` over records sorted by key (each key then data,
// `keySize` + `dataSize` bytes) and gives the HID of its header. The header
// and a one-item leaf may be given as items reserved before (of 8 and of
// the records' size), so that they lie first in the heap as clients lay them out.
uint32_t WriteBTree(Heap& heap, uint8_t keySize, uint8_t dataSize, const Bytes& records, uint32_t headerHid = 0,
                    uint32_t leafHid = 0);

// The subnodes of the object being built: values too large for its heap,
// and objects nested in it.
class Subnodes {
 public:
  // Subnodes of one object's parts may share `counter`: their NIDs are then
  // unique across the object, as readers that flatten its subnodes expect.
  explicit Subnodes(NodeDatabase& db, uint32_t* counter = nullptr)
      : db_(&db), next_(counter ? counter : &ownNext_) {}
  Subnodes(const Subnodes&) = delete;
  Subnodes& operator=(const Subnodes&) = delete;
  NodeDatabase& db() { return *db_; }
  // Writes `data` as a value subnode and gives its NID.
  uint32_t AddValue(ByteRange data);
  // Registers a subnode already written; `type` is its NID type.
  uint32_t Add(uint8_t type, uint64_t dataBid, uint64_t subnodeBid);
  // Registers a subnode under a fixed NID (the recipient and attachment tables).
  void AddFixed(uint32_t nid, uint64_t dataBid, uint64_t subnodeBid);
  // The subnode tree (0 when there are none).
  uint64_t Write();

 private:
  NodeDatabase* db_;
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

// Writes a table context with the given columns (row id and row version are
// added first) and gives its data BID. Large row matrices go to a subnode.
uint64_t WriteTableContext(const std::vector<uint32_t>& tags, size_t rowCount, const RowSource& rows,
                           Subnodes& subnodes);
uint64_t WriteTableContext(const std::vector<uint32_t>& tags, const std::vector<TcRow>& rows, Subnodes& subnodes);

// Writes the pages of a heap as a node's data.
uint64_t WriteHeap(const Heap& heap, NodeDatabase& db);

}  // namespace velmorix::pst
