// Small helpers shared by the item-decoding tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "items/items.h"

namespace velmorix::items::testing {

inline void PutLe(Buffer& b, uint64_t v, int width) {
  for (int i = 0; i < width; ++i) b.push_back(static_cast<std::byte>((v >> (8 * i)) & 0xFF));
}

inline Buffer Le(uint64_t v, int width) {
  Buffer b;
  PutLe(b, v, width);
  return b;
}

inline Buffer Bytes(std::string_view s) {
  Buffer b;
  for (char c : s) b.push_back(static_cast<std::byte>(c));
  return b;
}

// ASCII or Latin-1 text as UTF-16LE.
inline Buffer Wide(std::string_view s) {
  Buffer b;
  for (char c : s) PutLe(b, static_cast<uint8_t>(c), 2);
  return b;
}

inline Buffer Concat(std::initializer_list<Buffer> parts) {
  Buffer out;
  for (const Buffer& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// One heap block laid out by hand: the 12-byte header, the allocations back to
// back (allocation k has HID k << 5) and the page map after them.
inline Buffer HeapBlock(uint8_t clientSig, uint32_t userRoot, const std::vector<Buffer>& allocs) {
  Buffer b;
  size_t mapOffset = 12;
  for (const Buffer& a : allocs) mapOffset += a.size();
  mapOffset += mapOffset % 2;
  PutLe(b, mapOffset, 2);
  b.push_back(std::byte{0xEC});
  b.push_back(static_cast<std::byte>(clientSig));
  PutLe(b, userRoot, 4);
  PutLe(b, 0, 4);
  std::vector<uint16_t> starts{12};
  for (const Buffer& a : allocs) {
    b.insert(b.end(), a.begin(), a.end());
    starts.push_back(static_cast<uint16_t>(b.size()));
  }
  if (b.size() < mapOffset) b.push_back(std::byte{0});
  PutLe(b, allocs.size(), 2);
  PutLe(b, 0, 2);
  for (uint16_t s : starts) PutLe(b, s, 2);
  return b;
}

inline Buffer BthHeader(uint8_t cbKey, uint8_t cbEnt, uint8_t levels, uint32_t root) {
  Buffer b{std::byte{0xB5}, std::byte{cbKey}, std::byte{cbEnt}, std::byte{levels}};
  PutLe(b, root, 4);
  return b;
}

inline Buffer PcRecord(uint16_t id, uint16_t type, uint32_t value) {
  Buffer b;
  PutLe(b, id, 2);
  PutLe(b, type, 2);
  PutLe(b, value, 4);
  return b;
}

inline Heap HeapOf(std::vector<Buffer> blocks) {
  std::vector<Heap::Page> pages;
  uint32_t bid = 4;
  for (Buffer& b : blocks) {
    Heap::Page p;
    p.ibHnpm = ByteView(ByteSpan(b)).U16(0).value_or(0);
    p.bid = bid;
    bid += 4;
    p.data = std::move(b);
    pages.push_back(std::move(p));
  }
  return Heap::FromPages(std::move(pages));
}

inline const PropertyEntry* FindEntry(const PropertyRow& row, uint32_t tag) {
  for (const PropertyEntry& e : row.entries) {
    if (e.tag == tag) return &e;
  }
  return nullptr;
}

}  // namespace velmorix::items::testing
