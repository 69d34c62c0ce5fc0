// Property and table contexts read for content: every property with its
// type and raw value, values fetched from the heap or from subnodes when
// asked for, table cells honouring their widths and the cell existence
// bitmap. Internal to the content layer.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "content/codepage.h"
#include "format/vocabulary.h"
#include "items/heap.h"
#include "items/items.h"
#include "items/ltp_reader.h"
#include "store/store.h"

namespace velmorix::content::ltp {

inline constexpr uint64_t kNoLimit = ~uint64_t{0};

// The subnodes a context's values may live in: the context's own level
// first, then the levels that enclose it (writers differ in where they put
// the values of nested objects).
struct SubnodeScope {
  const store::SubnodeList* own = nullptr;
  const SubnodeScope* outer = nullptr;
  const store::SubnodeEntry* Find(uint32_t nid) const;
};

// Why a value could not be given.
enum class ValueState { Ok, Missing, TooLarge, Unreadable };

// Resolves the HNIDs of one context: heap allocations and subnode values.
// Values read from subnodes are kept for the context's lifetime, so the
// spans handed out stay valid.
class ValueSource {
 public:
  ValueSource(store::Store& store, items::Heap heap, const SubnodeScope* scope)
      : store_(&store), heap_(std::move(heap)), scope_(scope) {}
  ValueSource(ValueSource&&) = default;

  // The bytes an HNID names; an HNID of 0 is an empty value. `state` tells
  // why nothing came back. Subnode values larger than `limit` are not read.
  std::optional<ByteSpan> Resolve(uint32_t hnid, uint64_t limit = kNoLimit,
                                  ValueState* state = nullptr) const;
  // The subnode an HNID names, when it names one.
  const store::SubnodeEntry* Subnode(uint32_t hnid) const;
  const items::Heap& heap() const { return heap_; }
  store::Store& store() const { return *store_; }
  const SubnodeScope* scope() const { return scope_; }

 private:
  store::Store* store_;
  items::Heap heap_;
  const SubnodeScope* scope_;
  mutable std::deque<Buffer> fetched_;
  mutable std::map<uint32_t, size_t> fetchedByNid_;
};

// One property or cell: its type and either the value itself (fixed-size
// values) or the HNID of its bytes.
struct Value {
  const ValueSource* source = nullptr;
  uint16_t type = 0;
  bool byReference = false;  // `word` is an HNID
  uint64_t fixed = 0;        // the value of a fixed-size type held in place
  uint32_t word = 0;         // HNID

  std::optional<int64_t> Int() const;
  std::optional<bool> Bool() const;
  std::optional<double> Double() const;
  std::optional<uint64_t> Time() const;  // PT_SYSTIME
  // The value's bytes: variable values as stored, fixed values little-endian.
  std::optional<ByteSpan> Bytes(uint64_t limit = kNoLimit, ValueState* state = nullptr) const;
  // A string value as UTF-8 (PT_UNICODE, or PT_STRING8 in `codePage`);
  // nullopt for other types or an unreadable value.
  std::optional<std::string> Text(TextDecoder& decoder, int codePage) const;
  // The strings of a multi-valued string property.
  std::vector<std::string> Texts(TextDecoder& decoder, int codePage) const;
  // The values of a multi-valued binary property, each as its bytes.
  std::vector<std::string> Binaries() const;
};

// A property context: one record per property, in property ID order.
class PropertyContext {
 public:
  struct Property {
    uint16_t id = 0;
    uint16_t type = 0;
    uint32_t word = 0;  // inline value or HNID
    uint32_t lid = 0;   // numeric name of a named property
    const Blob* stringName = nullptr;  // string name of a named property
  };

  // nullopt when the node's data is not a readable property context.
  static std::optional<PropertyContext> Read(store::Store& store, uint32_t dataBid,
                                             const SubnodeScope* scope,
                                             const items::NamedPropertyMap* names);

  const std::vector<Property>& properties() const { return props_; }
  const ValueSource& source() const { return source_; }

  const Property* Find(uint16_t id) const;
  const Property* FindLid(uint32_t lid) const;
  const Property* FindName(std::string_view name) const;
  Value ValueOf(const Property& p) const;
  std::optional<Value> Get(uint16_t id) const;
  std::optional<Value> GetLid(uint32_t lid) const;

 private:
  explicit PropertyContext(ValueSource source) : source_(std::move(source)) {}
  ValueSource source_;
  std::vector<Property> props_;
  std::vector<std::pair<uint32_t, size_t>> byLid_;
};

// A table context: rows in the order of the row matrix.
class TableContext {
 public:
  using Column = items::TcColumn;

  // nullopt when the node's data is not a readable table context. A row
  // index that cannot be read leaves the rows the row matrix holds.
  static std::optional<TableContext> Read(store::Store& store, uint32_t dataBid,
                                          const SubnodeScope* scope);

  size_t rowCount() const { return rows_; }
  const std::vector<Column>& columns() const { return columns_; }
  // The cell of column `id` in `row`; nullopt when the table has no such
  // column, the cell is marked absent, or the row cannot be read.
  std::optional<Value> Cell(size_t row, uint16_t id) const;
  bool HasColumn(uint16_t id) const;

 private:
  explicit TableContext(ValueSource source) : source_(std::move(source)) {}
  std::optional<ByteSpan> Row(size_t row) const;

  ValueSource source_;
  std::vector<Column> columns_;
  uint16_t cebStart_ = 0;
  size_t rows_ = 0;
  items::RowMatrix matrix_;
};

}  // namespace velmorix::content::ltp
