// Properties as stored, for copying an item into another store.
#include "content/parts.h"

namespace velmorix::content {
namespace {

constexpr uint16_t kPtMvString8 = 0x101E;
constexpr uint16_t kPtMvUnicode = 0x101F;
constexpr uint16_t kRowId = 0x67F2;
constexpr uint16_t kRowVersion = 0x67F3;

void AppendUtf16(std::string_view utf8, std::string& out) {
  auto put = [&](uint32_t u) {
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>(u >> 8));
  };
  const std::string valid = ValidUtf8(utf8);
  for (size_t i = 0; i < valid.size();) {
    const auto c = static_cast<unsigned char>(valid[i]);
    uint32_t cp = c;
    size_t n = 1;
    if (c >= 0xF0) {
      cp = c & 0x07;
      n = 4;
    } else if (c >= 0xE0) {
      cp = c & 0x0F;
      n = 3;
    } else if (c >= 0xC0) {
      cp = c & 0x1F;
      n = 2;
    }
    for (size_t k = 1; k < n && i + k < valid.size(); ++k) cp = (cp << 6) | (static_cast<unsigned char>(valid[i + k]) & 0x3F);
    i += n;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      put(0xD800 + (cp >> 10));
      put(0xDC00 + (cp & 0x3FF));
    } else {
      put(cp);
    }
  }
}

void Put32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
}

// The value of `v` as stored, 8-bit strings as Unicode; nullopt when it cannot be read.
std::optional<RawProperty> Raw(uint16_t id, const ltp::Value& v, TextDecoder& decoder, int codePage,
                               const items::NamedPropertyMap* names) {
  RawProperty p;
  p.id = id;
  p.type = v.type;
  if (id >= 0x8000) {
    if (const items::NamedPropertyEntry* n = items::LookupNamedProperty(names, id)) {
      p.named = true;
      p.guid = n->guid;
      if (n->kind == items::kNameString) {
        if (!n->name) return std::nullopt;
        p.stringNamed = true;
        p.name = n->name.str();
      } else {
        p.lid = n->lid;
      }
    }
  }
  if (v.type == ltp::kPtObject) return std::nullopt;
  if (v.type == ltp::kPtString8) {
    auto text = v.Text(decoder, codePage);
    if (!text) return std::nullopt;
    p.type = ltp::kPtUnicode;
    AppendUtf16(*text, p.value);
    return p;
  }
  if (v.type == kPtMvString8) {
    if (!v.Bytes()) return std::nullopt;
    const std::vector<std::string> texts = v.Texts(decoder, codePage);
    p.type = kPtMvUnicode;
    p.value.assign(4 + 4 * texts.size(), '\0');
    Put32(p.value, 0, static_cast<uint32_t>(texts.size()));
    for (size_t i = 0; i < texts.size(); ++i) {
      Put32(p.value, 4 + 4 * i, static_cast<uint32_t>(p.value.size()));
      AppendUtf16(texts[i], p.value);
    }
    return p;
  }
  auto bytes = v.Bytes();
  if (!bytes) return std::nullopt;
  p.value.assign(AsChars(*bytes));
  return p;
}

}  // namespace

void ReadRawProperties(const ltp::PropertyContext& pc, TextDecoder& decoder, int codePage,
                       const items::NamedPropertyMap* names, std::vector<RawProperty>& out, uint16_t skip) {
  for (const auto& prop : pc.properties()) {
    if (skip != 0 && prop.id == skip) continue;
    if (auto raw = Raw(prop.id, pc.ValueOf(prop), decoder, codePage, names)) out.push_back(std::move(*raw));
  }
}

std::vector<std::vector<RawProperty>> ReadRawRows(const ltp::TableContext& tc, TextDecoder& decoder, int codePage,
                                                  const items::NamedPropertyMap* names) {
  std::vector<std::vector<RawProperty>> rows(tc.rowCount());
  for (size_t r = 0; r < tc.rowCount(); ++r) {
    for (const auto& col : tc.columns()) {
      if (col.id == kRowId || col.id == kRowVersion) continue;
      auto v = tc.Cell(r, col.id);
      if (!v) continue;
      if (auto raw = Raw(col.id, *v, decoder, codePage, names)) rows[r].push_back(std::move(*raw));
    }
  }
  return rows;
}

}  // namespace velmorix::content
