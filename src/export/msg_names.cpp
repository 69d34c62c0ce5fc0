#include "export/msg_names.h"

#include <glib.h>

#include <cstdio>

#include "content/codepage.h"
#include "items/items.h"

namespace velmorix::exporting::msg {
namespace {

// Named property IDs run from 0x8000 to 0xFFFE.
constexpr size_t kMaxNames = 0x7FFF;
constexpr uint32_t kHashBuckets = 0x1F;

void PutU32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

constexpr std::array<uint32_t, 256> MakeTable() {
  std::array<uint32_t, 256> t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[i] = c;
  }
  return t;
}
constexpr std::array<uint32_t, 256> kCrcTable = MakeTable();

}  // namespace

std::string Utf16(std::string_view utf8) {
  const std::string valid = content::ValidUtf8(utf8);
  glong written = 0;
  gunichar2* w = g_utf8_to_utf16(valid.data(), static_cast<glong>(valid.size()), nullptr, &written, nullptr);
  std::string out;
  if (!w) return out;
  out.reserve(static_cast<size_t>(written) * 2);
  for (glong i = 0; i < written; ++i) {
    out += static_cast<char>(w[i] & 0xFF);
    out += static_cast<char>(w[i] >> 8);
  }
  g_free(w);
  return out;
}

uint32_t NameCrc(std::string_view bytes) {
  uint32_t crc = 0;
  for (char b : bytes) crc = kCrcTable[(crc ^ static_cast<uint8_t>(b)) & 0xFF] ^ (crc >> 8);
  return crc;
}

uint16_t NameMap::GuidIndex(const std::array<uint8_t, 16>& guid) {
  if (guid == items::kPsMapi) return 1;
  if (guid == items::kPsPublicStrings) return 2;
  for (size_t i = 0; i < guids_.size(); ++i) {
    if (guids_[i] == guid) return static_cast<uint16_t>(i + 3);
  }
  guids_.push_back(guid);
  return static_cast<uint16_t>(guids_.size() + 2);
}

std::optional<uint16_t> NameMap::IdOf(const content::RawProperty& p) {
  auto key = std::make_tuple(p.guid, p.stringNamed, p.stringNamed ? 0u : p.lid,
                             p.stringNamed ? p.name : std::string());
  if (auto it = known_.find(key); it != known_.end()) return static_cast<uint16_t>(0x8000 + it->second);
  if (records_.size() >= kMaxNames) return std::nullopt;
  Record r;
  r.guidIndex = GuidIndex(p.guid);
  r.string = p.stringNamed;
  if (r.string) {
    const std::string name = Utf16(p.name);
    r.key = static_cast<uint32_t>(strings_.size());
    r.hashKey = NameCrc(name);
    PutU32(strings_, static_cast<uint32_t>(name.size()));
    strings_ += name;
    while (strings_.size() % 4 != 0) strings_ += '\0';
  } else {
    r.key = p.lid;
    r.hashKey = p.lid;
  }
  const auto index = static_cast<uint16_t>(records_.size());
  records_.push_back(r);
  known_.emplace(std::move(key), index);
  return static_cast<uint16_t>(0x8000 + index);
}

std::vector<std::pair<std::string, std::string>> NameMap::Streams() const {
  std::string guids, entries;
  for (const auto& g : guids_) guids.append(reinterpret_cast<const char*>(g.data()), g.size());
  std::map<uint32_t, std::string> buckets;
  for (size_t i = 0; i < records_.size(); ++i) {
    const Record& r = records_[i];
    const uint32_t kind = (uint32_t{r.guidIndex} << 1) | (r.string ? 1u : 0u);
    const uint32_t indexAndKind = (static_cast<uint32_t>(i) << 16) | kind;
    PutU32(entries, r.key);
    PutU32(entries, indexAndKind);
    std::string& bucket = buckets[0x1000 + (r.hashKey ^ kind) % kHashBuckets];
    PutU32(bucket, r.hashKey);
    PutU32(bucket, indexAndKind);
  }
  std::vector<std::pair<std::string, std::string>> out;
  out.emplace_back("__substg1.0_00020102", std::move(guids));
  out.emplace_back("__substg1.0_00030102", std::move(entries));
  out.emplace_back("__substg1.0_00040102", strings_);
  for (auto& [id, bytes] : buckets) {
    char name[32];
    std::snprintf(name, sizeof name, "__substg1.0_%04X0102", static_cast<unsigned>(id));
    out.emplace_back(name, std::move(bytes));
  }
  return out;
}

}  // namespace velmorix::exporting::msg
