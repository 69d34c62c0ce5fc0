// The named-property map: property IDs from 0x8000 to numeric or string names.
#include <algorithm>

#include "format/vocabulary.h"
#include "items/items.h"

namespace velmorix::items {
namespace {

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
    const uint32_t guidIndex = guidAndKind >> 1;
    if (guidIndex == 1) {
      e.guid = kPsMapi;
    } else if (guidIndex == 2) {
      e.guid = kPsPublicStrings;
    } else if (guidIndex >= 3 && guidStream && (uint64_t{guidIndex} - 3) * 16 + 16 <= guidStream->size()) {
      const size_t at = (size_t{guidIndex} - 3) * 16;
      for (size_t i = 0; i < 16; ++i) e.guid[i] = static_cast<uint8_t>((*guidStream)[at + i]);
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

namespace {

// `found`: the node is not the map's own, so its context must look like the
// map's: a binary GUID stream and a binary entry stream.
int LoadMap(store::Store& store, const store::NodeEntry* node, bool found, NamedPropertyMap& out) {
  out = NamedPropertyMap();
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
    if (e.tag == format::kPidTagNameidStreamEntry) entryStream = &e;
    if (e.tag == format::kPidTagNameidStreamString) stringStream = &e;
    if (e.tag == format::kPidTagNameidStreamGuid && e.type == format::kPtypBinary) guidStream = &e;
  }
  if (!entryStream || !entryStream->data) return 0;
  if (found && (!guidStream || entryStream->type != format::kPtypBinary)) return 0;
  // A found context read with a subnode list that may not be its own: the
  // streams must have the sizes of whole records.
  if (found && (entryStream->data.bytes().size() % 8 != 0 ||
                (guidStream->data && guidStream->data.bytes().size() % 16 != 0))) {
    return 0;
  }
  std::optional<ByteSpan> strings;
  if (stringStream && stringStream->data) strings = stringStream->data.bytes();
  std::optional<ByteSpan> guids;
  if (guidStream && guidStream->data) guids = guidStream->data.bytes();
  out = NamedPropertyMap(ParseNameIdStreams(entryStream->data.bytes(), strings, guids));
  return 1;
}

}  // namespace

int LoadNamedPropertyMap(store::Store& store, NamedPropertyMap& out) {
  return LoadMap(store, store::FindNode(store, format::kNidNameToIdMap), false, out);
}

int LoadNamedPropertyMap(store::Store& store, const store::NodeEntry* node, NamedPropertyMap& out) {
  return LoadMap(store, node, node && node->nid != format::kNidNameToIdMap, out);
}

}  // namespace velmorix::items
