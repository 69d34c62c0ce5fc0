// Every property of a context or table row as stored, for writers that keep
// them all: fixed values at their width, variable ones as their bytes,
// multi-valued ones split into their values, named ones with their names.
#include <algorithm>
#include <cstdio>

#include "content/item_reader.h"
#include "content/parts.h"
#include "format/vocabulary.h"

namespace velmorix::content {
namespace {

bool VariableMultiValued(uint16_t type) {
  return type == (format::kPtypString8 | format::kPtypMultipleFlag) || type == (format::kPtypString | format::kPtypMultipleFlag) ||
         type == (format::kPtypBinary | format::kPtypMultipleFlag);
}

// A multi-valued value of a variable-size type: a count, one offset per
// value from the start, then the values. Values whose offsets do not hold
// are left out.
std::vector<std::string> SplitValues(ByteSpan b) {
  std::vector<std::string> out;
  ByteView v(b);
  const uint64_t count = v.U32(0).value_or(0);
  if (count > b.size() / 4) return out;
  out.reserve(static_cast<size_t>(count));
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t start = v.U32(4 + 4 * i).value_or(0);
    const uint64_t end = i + 1 < count ? v.U32(8 + 4 * i).value_or(0) : b.size();
    if (start > end || end > b.size()) continue;
    out.emplace_back(AsChars(b.subspan(static_cast<size_t>(start), static_cast<size_t>(end - start))));
  }
  return out;
}

void Name(RawProperty& p, const items::NamedPropertyMap* names) {
  if (p.id < 0x8000) return;
  const items::NamedPropertyEntry* n = items::LookupNamedProperty(names, p.id);
  if (!n) return;
  p.named = true;
  p.guid = n->guid;
  if (n->kind == items::kNameString) {
    p.stringNamed = true;
    p.name = n->name ? n->name.str() : std::string();
  } else {
    p.lid = n->lid;
  }
}

// The subject without the marker the store keeps before it (a control
// character, then the prefix length as one character): messages hold the
// subject alone.
void StripSubjectMarker(RawProperty& p) {
  const size_t unit = p.type == format::kPtypString ? 2 : p.type == format::kPtypString8 ? 1 : 0;
  if (unit == 0 || p.value.size() < unit) return;
  const unsigned first = static_cast<uint8_t>(p.value[0]) | (unit == 2 ? static_cast<uint8_t>(p.value[1]) << 8 : 0);
  if (first >= 0x20) return;
  p.value.erase(0, std::min(p.value.size(), 2 * unit));
}

}  // namespace

std::optional<RawProperty> RawValue(uint16_t id, const ltp::Value& value, const items::NamedPropertyMap* names,
                                    std::vector<std::string>& problems) {
  const uint16_t type = value.type;
  // Objects are written by what they hold (an embedded message); null
  // and unspecified values hold nothing.
  if (type == format::kPtypObject || type == 0x0000 || type == 0x0001) return std::nullopt;
  RawProperty p;
  p.id = id;
  p.type = type;
  ltp::ValueState state = ltp::ValueState::Ok;
  auto bytes = value.Bytes(kMaxRawValueBytes, &state);
  if (!bytes) {
    char tag[16];
    std::snprintf(tag, sizeof tag, "%04X%04X", id, type);
    problems.push_back(std::string("property ") + tag +
                       (state == ltp::ValueState::TooLarge ? " is too large to keep" : " cannot be read"));
    return std::nullopt;
  }
  if (const size_t width = format::FixedWidth(type)) {
    if (bytes->size() < width) return std::nullopt;
    p.value.assign(8, '\0');
    std::copy_n(reinterpret_cast<const char*>(bytes->data()), width, p.value.begin());
  } else if (VariableMultiValued(type)) {
    p.values = SplitValues(*bytes);
  } else {
    p.value.assign(AsChars(*bytes));
  }
  Name(p, names);
  return p;
}

std::vector<RawProperty> RawProperties(const ltp::PropertyContext& pc, const items::NamedPropertyMap* names,
                                       std::vector<std::string>& problems, uint16_t leaveOut) {
  std::vector<RawProperty> out;
  out.reserve(pc.properties().size());
  for (const auto& p : pc.properties()) {
    if (leaveOut != 0 && p.id == leaveOut) continue;
    auto raw = RawValue(p.id, pc.ValueOf(p), names, problems);
    if (!raw) continue;
    if (raw->id == 0x0037) StripSubjectMarker(*raw);
    out.push_back(std::move(*raw));
  }
  return out;
}

std::vector<RawProperty> RawRow(const ltp::TableContext& tc, size_t row, const items::NamedPropertyMap* names,
                                std::vector<std::string>& problems) {
  std::vector<RawProperty> out;
  for (const auto& c : tc.columns()) {
    // The table's own row bookkeeping is no property of the recipient.
    if (c.id == 0x67F2 || c.id == 0x67F3) continue;
    auto v = tc.Cell(row, c.id);
    if (!v) continue;
    if (auto raw = RawValue(c.id, *v, names, problems)) out.push_back(std::move(*raw));
  }
  std::sort(out.begin(), out.end(), [](const RawProperty& a, const RawProperty& b) { return a.id < b.id; });
  return out;
}

}  // namespace velmorix::content
