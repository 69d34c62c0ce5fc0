// Decodes an arbitrary node block as a property or table context, with
// arbitrary subnodes, in either variant: the input is laid into a real store
// file and the node is assembled as an item, then read as a name-to-ID map.
//
// Input: [flags][subnode count n][n x (u16 length, bytes)][node data...]
//   flags bit 0: Unicode variant; bit 1: the first subnode is the attachment
//   table (NID 0x671); bit 2: nest the second subnode below the first.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_input.h"
#include "items/items.h"
#include "store/store.h"
#include "storebuilder/ndb.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velmorix;
  if (size < 2) return 0;
  const uint8_t flags = data[0];
  const size_t count = data[1] % 8;
  size_t pos = 2;
  std::vector<std::vector<std::byte>> values;
  for (size_t i = 0; i < count && pos + 2 <= size; ++i) {
    size_t len = data[pos] | (static_cast<size_t>(data[pos + 1]) << 8);
    pos += 2;
    if (len > size - pos) len = size - pos;
    values.emplace_back(reinterpret_cast<const std::byte*>(data + pos),
                        reinterpret_cast<const std::byte*>(data + pos + len));
    pos += len;
  }
  std::vector<std::byte> node(reinterpret_cast<const std::byte*>(data + pos),
                              reinterpret_cast<const std::byte*>(data + size));
  if (node.empty()) return 0;

  storebuilder::NdbOptions o;
  o.format = (flags & 1) ? storebuilder::Format::Unicode23 : storebuilder::Format::Ansi14;
  o.encryption = 0;
  storebuilder::NdbWriter w(o);
  std::vector<storebuilder::SubnodeRef> refs;
  for (size_t i = 0; i < values.size(); ++i) {
    if (values[i].empty()) continue;
    const uint32_t bid = w.AddData(values[i]);
    const uint32_t nid = (i == 0 && (flags & 2)) ? 0x671u : ((static_cast<uint32_t>(i) + 1) << 5) | 0x1F;
    refs.push_back({nid, bid, 0});
  }
  uint32_t sub = 0;
  if (refs.size() >= 2 && (flags & 4)) {
    const uint32_t nested = w.AddSubnodeBlock({refs[1]});
    refs[0].subnodeBid = nested;
    refs.erase(refs.begin() + 1);
  }
  if (!refs.empty()) sub = w.AddSubnodeBlock(refs);
  const uint32_t bid = w.AddData(node);
  w.AddNode(0x21, bid, sub, 0);
  w.AddNode(0x61, bid, sub, 0);
  w.Write(fuzz::InputPath());

  store::Store s;
  if (store::OpenStore(s, fuzz::InputPath()) != 0) return 0;
  store::LoadIndexes(s);
  items::NamedPropertyMap names;
  items::LoadNamedPropertyMap(s, names);
  items::ItemContext ctx(s, &names);
  auto item = items::BuildItem(ctx, store::FindNode(s, 0x21));
  return 0;
}
