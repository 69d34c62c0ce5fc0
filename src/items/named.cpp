// The named-property map: property IDs from 0x8000 to numeric or string names.
#include <algorithm>

#include "items/items.h"

namespace velmorix::items {
namespace {

constexpr uint32_t kNameToIdMapNid = 0x61;
constexpr uint32_t kEntryStreamTag = 0x0003;
constexpr uint32_t kStringStreamTag = 0x0004;
constexpr uint32_t kGuidStreamTag = 0x0002;

// The two property sets with fixed GUID indexes: 1 PS_MAPI, 2 PS_PUBLIC_STRINGS.
constexpr std::array<uint8_t, 16> kPsMapi = {0x28, 0x03, 0x02, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
constexpr std::array<uint8_t, 16> kPsPublicStrings = {0x29, 0x03, 0x02, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};

}  // namespace

NamedPropertyMap::NamedPropertyMap(std::vector<NamedPropertyEntry> taken) {
  // Ascending IDs, and among equal IDs the entry taken later first.
  std::reverse(taken.begin(), taken.end());
  std::stable_sort(taken.begin(), taken.end(),
                   [](const NamedPropertyEntry& a, const NamedPropertyEntry& b) {
                     return a.propertyId < b.propertyId;
                   });
  entries_ = std::move(taken);
  first_.reserve(entries_.size());
  for (size_t i = 0; i < entries_.size(); ++i) first_.emplace(entries_[i].propertyId, i);
}

const NamedPropertyEntry* NamedPropertyMap::Find(int32_t propertyId) const {
  if (entries_.empty() || propertyId < entries_.front().propertyId) return nullptr;
  auto it = first_.find(propertyId);
  return it == first_.end() ? nullptr : &entries_[it->second];
}

std::vector<NamedPropertyEntry> ParseNameIdStreams(ByteSpan entryStream,
                                                   std::optional<ByteSpan> stringStream,
                                                   std::optional<ByteSpan> guidStream) {
  std::vector<NamedPropertyEntry> taken;
  ByteView entries(entryStream);
  for (uint64_t off = 0; off + 8 <= entryStream.size(); off += 8) {
    const uint32_t propertyId = *entries.U32(off);
    const uint16_t guidAndKind = *entries.U16(off + 4);
    const uint16_t index = *entries.U16(off + 6);
    if (guidAndKind == 0) break;
    NamedPropertyEntry e;
    e.propertyId = 0x8000 + index;
    const uint16_t guidIndex = guidAndKind >> 1;
    if (guidIndex == 1) e.guid = kPsMapi;
    if (guidIndex == 2) e.guid = kPsPublicStrings;
    if (guidIndex >= 3 && guidStream) {
      const uint64_t at = (guidIndex - 3) * uint64_t{16};
      if (at + 16 <= guidStream->size()) {
        for (size_t i = 0; i < 16; ++i) e.guid[i] = static_cast<uint8_t>((*guidStream)[at + i]);
      }
    }
    if ((guidAndKind & 1) == 0) {
      e.kind = kNameNumeric;
      e.lid = propertyId & 0xFFFF;
    } else {
      e.kind = kNameString;
      if (stringStream && propertyId < stringStream->size()) {
        ByteView strings(*stringStream);
        if (auto len = strings.U32(propertyId)) {
          // Only the name bytes inside the stream are taken.
          const size_t from = static_cast<size_t>(propertyId) + 4;
          const size_t take = static_cast<size_t>(std::min<uint64_t>(*len, stringStream->size() - from));
          e.name = WideToUtf8Blob(stringStream->subspan(from, take));
        }
      }
    }
    taken.push_back(std::move(e));
  }
  return taken;
}

int LoadNamedPropertyMap(store::Store& store, NamedPropertyMap& out) {
  out = NamedPropertyMap();
  const store::NodeEntry* node = store::FindNode(store, kNameToIdMapNid);
  if (!node) return 0;
  const store::SubnodeList* subnodes =
      node->subnodeBlock ? store::ReadSubnodeList(store, node->subnodeBlock) : nullptr;
  if (!node->dataBlock) return 0;
  ItemContext ctx{store};
  auto set = ReadPropertySet(ctx, node->dataBlock->bid, subnodes);
  if (!set || set->rows.empty()) return 0;
  const PropertyEntry* entryStream = nullptr;
  const PropertyEntry* stringStream = nullptr;
  const PropertyEntry* guidStream = nullptr;
  for (const PropertyEntry& e : set->rows.front().entries) {
    if (e.tag == kEntryStreamTag) entryStream = &e;
    if (e.tag == kStringStreamTag) stringStream = &e;
    if (e.tag == kGuidStreamTag) guidStream = &e;
  }
  if (!entryStream || !entryStream->data) return 0;
  std::optional<ByteSpan> strings;
  if (stringStream && stringStream->data) strings = stringStream->data.bytes();
  std::optional<ByteSpan> guids;
  if (guidStream && guidStream->data) guids = guidStream->data.bytes();
  out = NamedPropertyMap(ParseNameIdStreams(entryStream->data.bytes(), strings, guids));
  return 1;
}

}  // namespace velmorix::items
