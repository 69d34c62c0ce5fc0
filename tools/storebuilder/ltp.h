// Writers for the lists-tables-properties layer: heaps on nodes, BTrees on
// heaps, property contexts, table contexts and the name-to-ID map.
//
// Everything here is pure serialisation into byte buffers: a node's heap comes
// out as one buffer per heap page (one data block each), and values too large
// for the heap come out as subnode values that the caller stores through the
// node-database writer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "format/vocabulary.h"
#include "store/bytes.h"
#include "pst/ltp.h"
#include "storebuilder/ndb.h"

namespace velmorix::storebuilder {

// Largest data block payload of the Unicode and ANSI variants.
inline constexpr size_t MaxBlockData(bool unicode) {
  return unicode ? format::kUnicodeLayout.maxBlockData() : format::kAnsiLayout.maxBlockData();
}

// The variant the heap and table writers write: Unicode or ANSI texts and
// row-index entries, and the layout that gives the largest heap page or
// row-matrix block and the heap-ID split.
struct LtpFormat {
  bool unicode = true;
  const format::VariantLayout* layout = &format::kUnicodeLayout;

  // The Unicode (true) or ANSI (false) variant of 8 KiB blocks.
  LtpFormat(bool unicodeFormat)
      : unicode(unicodeFormat), layout(unicodeFormat ? &format::kUnicodeLayout : &format::kAnsiLayout) {}
  static LtpFormat Of(Format format);
};

// The `width` low bytes of `v`, little-endian.
Buffer LeBytes(uint64_t v, size_t width);

// True for the types stored inline in a property context record.
bool IsInlinePcType(uint16_t type);
// Cell width in a table row: 1, 2, 4 or 8 (4 for every variable-size type,
// whose cell holds an HNID).
uint8_t TcCellWidth(uint16_t type);
// True when a table cell of this type holds an HNID rather than the value.
bool IsVariableType(uint16_t type);

// Text conversions for property values: UTF-8 to UTF-16LE (no terminator), and
// UTF-8 to Windows-1252 bytes ('?' for characters it cannot hold).
Buffer Utf16le(std::string_view utf8);
Buffer Windows1252(std::string_view utf8);

// Hands out NIDs of type NID_TYPE_LTP (0x1F) for the value subnodes of one
// top-level node. One counter serves a node and all its nested subnodes, so
// that NIDs stay unique in the node's flattened subnode list.
class SubnodeNids {
 public:
  explicit SubnodeNids(uint32_t firstIndex = 0x401) : next_(firstIndex) {}
  uint32_t Next() { return (next_++ << 5) | 0x1F; }

 private:
  uint32_t next_;
};

// A value kept in a subnode of the node (an HNID with a non-zero type).
struct LtpSubnode {
  uint32_t nid = 0;
  Buffer data;
  // Sizes of the data blocks to cut `data` into; empty = full blocks.
  std::vector<size_t> blockSizes;
  // 0 = whatever the size needs (block or XBLOCK); 2 = force an XXBLOCK tree.
  int treeLevel = 0;
};

// A serialised heap-based node: its heap pages (one data block each) and the
// subnode values it refers to.
struct LtpNode {
  std::vector<Buffer> pages;
  std::vector<LtpSubnode> subnodes;
};

// The shared heap-on-node writer (see pst/ltp.h), as the builder's tests use
// it: allocations of any size a page holds (std::length_error beyond).
class HeapWriter : public pst::Heap {
 public:
  HeapWriter(uint8_t clientSig, LtpFormat format) : pst::Heap(clientSig, *format.layout), unicode_(format.unicode) {}
  uint32_t Allocate(ByteSpan bytes);
  void SetUserRoot(uint32_t hid) { SetRoot(hid); }
  bool unicode() const { return unicode_; }
  std::vector<Buffer> Finish() const { return Pages(); }

 private:
  bool unicode_;
};

// BTree-on-heap records as key and data.
struct BthRecord {
  Buffer key;
  Buffer data;
};
using pst::BthReservation;
using pst::ReserveBth;
// Fills a reserved BTH; `records` must be sorted by key and match the count
// (std::invalid_argument otherwise).
void FillBth(pst::Heap& heap, const BthReservation& r, const std::vector<BthRecord>& records);
// ReserveBth + FillBth; returns the header's HID.
uint32_t WriteBth(pst::Heap& heap, uint8_t cbKey, uint8_t cbEnt, const std::vector<BthRecord>& records,
                  size_t maxItemBytes = format::kMaxHeapItem);

// Where a property context value goes: Auto puts values of more than
// format::kMaxHeapItem bytes in subnodes; Heap keeps any value that fits a heap page
// (BuildPropertyContext throws std::length_error for one that does not);
// Subnode always uses a subnode. Inline types ignore it.
enum class Placement { Auto, Heap, Subnode };

struct PcProperty {
  uint16_t id = 0;
  uint16_t type = 0;
  Buffer value;  // little-endian value bytes; strings without terminator
  Placement placement = Placement::Auto;
  int treeLevel = 0;  // for subnode values: 2 forces an XXBLOCK
};

struct PcOptions {
  size_t maxItemBytes = format::kMaxHeapItem;  // BTH node size limit (tests lower it)
};

// Serialises a property context through the shared encoding (records sorted
// by property ID, stable for equal IDs), with the placement each property
// asks for. An empty variable value is written as HNID 0.
LtpNode BuildPropertyContext(std::vector<PcProperty> props, LtpFormat format, SubnodeNids& nids,
                             const PcOptions& options = {});

// Table context writer over the shared encoding. Columns 0x67F20003 (row
// ID) and 0x67F30003 (row version) always come first.
struct TcCell {
  uint32_t tag = 0;
  Buffer value;  // fixed types: little-endian value; variable types: the bytes
};

struct TcOptions {
  bool rowsInSubnode = false;          // force the row matrix into a subnode
  size_t maxItemBytes = format::kMaxHeapItem;  // heap allocation / BTH node limit
};

class TableWriter {
 public:
  // `columns` are the property tags after the two row columns, in the order
  // their cells are laid out within each width group. `nids` must outlive
  // the writer.
  TableWriter(const std::vector<uint32_t>& columns, LtpFormat format, SubnodeNids& nids,
              TcOptions options = {});

  // Appends a row. Cells name their column by tag; columns without a cell are
  // absent (CEB bit clear). A cell for an unknown tag throws
  // std::invalid_argument. Row ID and row version cells are ignored.
  void AddRow(uint32_t rowId, std::span<const TcCell> cells);

  size_t rowCount() const { return rows_.size(); }
  uint16_t rowWidth() const { return rowWidth_; }

  LtpNode Finish();

 private:
  LtpFormat format_;
  SubnodeNids& nids_;
  TcOptions options_;
  std::vector<uint32_t> tags_;                   // after the row id and version
  std::unordered_map<uint32_t, size_t> byTag_;   // column index: 0 row id, 1 row version, then tags_
  uint16_t rowWidth_ = 0;
  std::vector<pst::TcRow> rows_;
};

// A GUID in its on-disk (little-endian fields) byte order.
using Guid = std::array<uint8_t, 16>;
constexpr Guid MakeGuid(uint32_t d1, uint16_t d2, uint16_t d3, std::array<uint8_t, 8> d4) {
  Guid g{};
  for (int i = 0; i < 4; ++i) g[i] = static_cast<uint8_t>(d1 >> (8 * i));
  for (int i = 0; i < 2; ++i) g[4 + i] = static_cast<uint8_t>(d2 >> (8 * i));
  for (int i = 0; i < 2; ++i) g[6 + i] = static_cast<uint8_t>(d3 >> (8 * i));
  for (int i = 0; i < 8; ++i) g[8 + i] = d4[i];
  return g;
}

inline constexpr Guid kPsMapi = MakeGuid(0x00020328, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46});
inline constexpr Guid kPsPublicStrings = MakeGuid(0x00020329, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46});
inline constexpr Guid kPsInternetHeaders = MakeGuid(0x00020386, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46});
inline constexpr Guid kPsetidAppointment = MakeGuid(0x00062002, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46});
inline constexpr Guid kPsetidTask = MakeGuid(0x00062003, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46});
inline constexpr Guid kPsetidAddress = MakeGuid(0x00062004, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46});
inline constexpr Guid kPsetidCommon = MakeGuid(0x00062008, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46});
inline constexpr Guid kPsetidLog = MakeGuid(0x0006200A, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46});
inline constexpr Guid kPsetidNote = MakeGuid(0x0006200E, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46});

// A named property's name: a numeric LID or a string, within a property set.
struct PropertyName {
  Guid guid = kPsPublicStrings;
  bool isString = false;
  uint32_t lid = 0;
  std::string name;  // UTF-8, for string names

  static PropertyName Lid(const Guid& set, uint32_t lid) { return {set, false, lid, {}}; }
  static PropertyName String(const Guid& set, std::string_view name) {
    return {set, true, 0, std::string(name)};
  }
  bool operator==(const PropertyName&) const = default;
};

// The name-to-ID map. Names get property IDs 0x8000 + index in order of first
// use; Properties() gives the map's property context content.
class NameToIdMap {
 public:
  static constexpr uint32_t kBucketCount = 251;

  // The property ID for `name`, assigning the next one on first use.
  uint16_t IdFor(const PropertyName& name);
  // The ID already assigned to `name`, if any.
  std::optional<uint16_t> Find(const PropertyName& name) const;
  size_t size() const { return names_.size(); }

  // Bucket count, GUID, entry and string streams, and the non-empty buckets
  // (0x1000 + bucket), as PC properties in that order.
  std::vector<PcProperty> Properties() const;

  // wGuid value of a GUID: 1 PS_MAPI, 2 PS_PUBLIC_STRINGS, 3 + stream index otherwise.
  static uint16_t GuidIndex(const Guid& guid, const std::vector<Guid>& stream);

 private:
  static std::string Key(const PropertyName& name);
  std::vector<PropertyName> names_;
  std::unordered_map<std::string, uint16_t> index_;
};

}  // namespace velmorix::storebuilder
