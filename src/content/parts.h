// The parts of an item read from its property context: headers and the
// fields of each item kind, the bodies, and the properties view. Internal to
// the content layer.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "content/item.h"
#include "content/ltp.h"

namespace velmorix::content {

struct ReadOptions;

// What the parts need to read values.
struct PartContext {
  const ltp::PropertyContext& pc;
  TextDecoder& decoder;
  int codePage;  // for 8-bit texts

  std::optional<std::string> Text(uint16_t id) const;
  std::optional<std::string> TextLid(uint32_t lid) const;
  std::optional<int64_t> Int(uint16_t id) const;
  std::optional<int64_t> IntLid(uint32_t lid) const;
  std::optional<FileTime> Time(uint16_t id) const;
  std::optional<FileTime> TimeLid(uint32_t lid) const;
};

// Headers, addresses, times, flags and the fields of the item's kind.
void ReadFields(const PartContext& ctx, Item& item);

// Plain, HTML and RTF bodies, each stored or derived from the others. With
// `plainSuffices`, a stored plain text that can be read is the only body read.
void ReadBodies(const PartContext& ctx, Item& item, bool plainSuffices = false);

// Every property with its name, type and value as text.
void ReadPropertiesView(const PartContext& ctx, const ReadOptions& options, Item& item);

// Every property of a context as stored, but `skip` (0: none).
void ReadRawProperties(const ltp::PropertyContext& pc, TextDecoder& decoder, int codePage,
                       const items::NamedPropertyMap* names, std::vector<RawProperty>& out, uint16_t skip = 0);
// Every cell of every row of a table, but the row id and version.
std::vector<std::vector<RawProperty>> ReadRawRows(const ltp::TableContext& tc, TextDecoder& decoder, int codePage,
                                                  const items::NamedPropertyMap* names);

// Parses a stored recurrence pattern; nullopt when it is not one.
std::optional<Recurrence> ParseRecurrence(ByteSpan blob);

// Parses a one-off entry ID (a recipient named by its address alone).
std::optional<Address> ParseOneOffEntryId(ByteSpan entryId, TextDecoder& decoder, int codePage);

// One value as stored, named when the map knows it; nullopt for objects
// and nulls, and for values that cannot be read (named in `problems`).
std::optional<RawProperty> RawValue(uint16_t id, const ltp::Value& value, const items::NamedPropertyMap* names,
                                    std::vector<std::string>& problems);
// Every property of a context but the one with ID `leaveOut` (0: none).
std::vector<RawProperty> RawProperties(const ltp::PropertyContext& pc, const items::NamedPropertyMap* names,
                                       std::vector<std::string>& problems, uint16_t leaveOut = 0);
// Every cell of a table row, in ID order.
std::vector<RawProperty> RawRow(const ltp::TableContext& tc, size_t row, const items::NamedPropertyMap* names,
                                std::vector<std::string>& problems);

// Names for the properties view; nullptr when unknown.
const char* PropertyTagName(uint16_t id);
const char* PropertyLidName(uint32_t lid);
const char* PropertyTypeName(uint16_t type);

}  // namespace velmorix::content
