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
#include "storebuilder/ndb.h"

namespace velmorix::storebuilder {

// Largest data block payload of the Unicode and ANSI variants.
inline constexpr size_t MaxBlockData(bool unicode) { return unicode ? 8176 : 8180; }

// What the heap and table writers take from a store format: Unicode or ANSI
// texts and row-index entries, the largest heap page or row-matrix block, and
// where a heap ID's block index starts.
struct LtpFormat {
  bool unicode = true;
  size_t maxBlockData = MaxBlockData(true);
  uint32_t hidBlockShift = 16;

  // The Unicode (true) or ANSI (false) variant of 8 KiB blocks.
  LtpFormat(bool unicodeFormat) : unicode(unicodeFormat), maxBlockData(MaxBlockData(unicodeFormat)) {}
  LtpFormat(bool unicodeFormat, size_t blockData, uint32_t blockShift)
      : unicode(unicodeFormat), maxBlockData(blockData), hidBlockShift(blockShift) {}
  static LtpFormat Of(Format format);
};

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

// Heap-on-node writer. Allocations fill the current page and open a new page
// (block) when they do not fit; HIDs are (block << hidBlockShift) | (index << 5).
class HeapWriter {
 public:
  HeapWriter(uint8_t clientSig, LtpFormat format);

  // Copies `bytes` into a new allocation and returns its HID. Throws
  // std::length_error when the allocation cannot fit even an empty page.
  uint32_t Allocate(ByteSpan bytes);
  // A zero-filled allocation of `size` bytes.
  uint32_t Reserve(size_t size);
  // The bytes of an allocation, for filling in later. Throws
  // std::out_of_range for an unknown HID.
  std::span<std::byte> Item(uint32_t hid);

  void SetUserRoot(uint32_t hid) { userRoot_ = hid; }
  size_t pageCount() const { return pages_.size(); }
  bool unicode() const { return format_.unicode; }

  // The heap pages, each laid out with its header, items and page map.
  std::vector<Buffer> Finish() const;

 private:
  struct Page {
    std::vector<Buffer> items;
    size_t itemBytes = 0;
  };
  static size_t HeaderSize(size_t page);
  size_t PageSize(size_t page, size_t itemBytes, size_t itemCount) const;

  uint8_t clientSig_;
  LtpFormat format_;
  uint32_t userRoot_ = 0;
  std::vector<Page> pages_;
};

// BTree-on-heap. Records are (key, data) with fixed widths; leaves and index
// nodes each fit one allocation of at most `maxItemBytes`.
struct BthRecord {
  Buffer key;
  Buffer data;
};

// Space for a BTH reserved before its records are known: the header and all
// leaf and index allocations, so that they come first in the heap.
struct BthReservation {
  uint32_t headerHid = 0;
  uint8_t cbKey = 0;
  uint8_t cbEnt = 0;
  size_t count = 0;
  size_t maxItemBytes = format::kMaxHeapItem;
  std::vector<std::vector<uint32_t>> levels;  // levels[0] = leaves, last = root level
};

// `headerHid` names an 8-byte allocation made earlier for the header; 0 makes one.
BthReservation ReserveBth(HeapWriter& heap, uint8_t cbKey, uint8_t cbEnt, size_t count,
                          size_t maxItemBytes = format::kMaxHeapItem, uint32_t headerHid = 0);
// Fills a reserved BTH. `records` must be sorted by key and match the count.
void FillBth(HeapWriter& heap, const BthReservation& r, const std::vector<BthRecord>& records);
// ReserveBth + FillBth; returns the header's HID.
uint32_t WriteBth(HeapWriter& heap, uint8_t cbKey, uint8_t cbEnt,
                  const std::vector<BthRecord>& records, size_t maxItemBytes = format::kMaxHeapItem);

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

// Serialises a property context: records sorted by property ID (stable for
// equal IDs), fixed values of at most 4 bytes inline, everything else in the
// heap or, when too large or asked for, in a subnode. An empty variable value
// is written as HNID 0.
LtpNode BuildPropertyContext(std::vector<PcProperty> props, LtpFormat format, SubnodeNids& nids,
                             const PcOptions& options = {});

// Table context writer. Columns 0x67F20003 (row ID) and 0x67F30003 (row
// version) always come first; rows are serialised as they are added.
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
  // std::invalid_argument. Row ID cells are ignored (rowId is used).
  void AddRow(uint32_t rowId, std::span<const TcCell> cells);

  size_t rowCount() const { return rowIds_.size(); }
  uint16_t rowWidth() const { return rowWidth_; }

  LtpNode Finish();

 private:
  struct Column {
    uint32_t tag;
    uint16_t ibData;
    uint8_t cbData;
    uint8_t iBit;
  };
  LtpFormat format_;
  SubnodeNids& nids_;
  TcOptions options_;
  HeapWriter heap_;
  std::vector<Column> columns_;  // in iBit order
  std::unordered_map<uint32_t, size_t> byTag_;
  std::array<uint16_t, 4> rgib_{};
  uint16_t rowWidth_ = 0;
  uint32_t tcInfoHid_ = 0;
  Buffer matrix_;
  std::vector<uint32_t> rowIds_;
  std::vector<LtpSubnode> subnodes_;
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
