#include "storebuilder/minimal_store.h"

#include <array>
#include <stdexcept>

namespace velmorix::storebuilder {
namespace {

// An empty heap: header (page map at 12, signature 0xEC, client signature,
// no root), then a page map with no items.
std::array<std::byte, 18> EmptyHeap(uint8_t clientSig) {
  std::array<std::byte, 18> h{};
  h[0] = std::byte{12};
  h[2] = std::byte{0xEC};
  h[3] = std::byte{clientSig};
  h[16] = std::byte{12};  // rgibAlloc[0]: where the (absent) first item would start
  return h;
}

constexpr uint8_t kPropertyContext = 0xBC;
constexpr uint8_t kTableContext = 0x7C;

}  // namespace

void AddMinimalNodes(NdbWriter& w) {
  const auto pc = EmptyHeap(kPropertyContext);
  const auto tc = EmptyHeap(kTableContext);
  auto node = [&](uint32_t nid, bool table, uint32_t parent) {
    w.AddNode(nid, w.AddDataBlock(table ? std::span<const std::byte>(tc) : std::span<const std::byte>(pc)), 0,
              parent);
  };
  auto folder = [&](uint32_t nid, uint32_t parent) {
    node(nid, false, parent);
    for (uint32_t t : {0x0Du, 0x0Eu, 0x0Fu}) node((nid & ~0x1Fu) | t, true, 0);
  };
  node(0x21, false, 0);
  node(0x61, false, 0);
  folder(0x122, 0x122);
  w.AddNode(0x1E1, 0, 0, 0);
  w.AddNode(0x201, 0, 0, 0);
  for (uint32_t t : {0x60Du, 0x60Eu, 0x60Fu, 0x610u, 0x62Bu, 0x671u, 0x692u}) node(t, true, 0);
  folder(0x8022, 0x122);
  folder(0x8042, 0x8022);
  folder(0x8062, 0x122);
}

uint32_t BulkMessageNid(uint64_t i) {
  const uint64_t index = 0x10001 + i;
  if (index >= (uint64_t{1} << 26)) throw std::out_of_range("too many bulk messages");
  return static_cast<uint32_t>(index << 5) | 0x04;
}

void AddBulkMessages(NdbWriter& w, uint64_t count, bool withData) {
  const auto pc = EmptyHeap(kPropertyContext);
  w.Reserve(count, withData ? count : 0, withData ? count * 64 : 0);
  for (uint64_t i = 0; i < count; ++i) {
    w.AddNode(BulkMessageNid(i), withData ? w.AddDataBlock(pc) : 0, 0, 0x8022);
  }
}

}  // namespace velmorix::storebuilder
