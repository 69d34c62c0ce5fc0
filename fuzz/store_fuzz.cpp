// Opens arbitrary bytes as a store, loads its indexes and reads every node's
// data and subnode list.
#include <cstddef>
#include <cstdint>

#include "fuzz_input.h"
#include "store/store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velmorix;
  if (!fuzz::WriteInput(data, size)) return 0;
  store::Store s;
  if (store::OpenStore(s, fuzz::InputPath()) != 0) return 0;
  store::LoadIndexes(s);
  int budget = 2000;
  for (auto* e = s.data->nodes.head(); e && budget > 0; e = e->nextSibling) {
    // Pre-order over this top-level entry's subtree.
    for (auto* n = e; n && budget > 0; --budget) {
      if (n->dataBlock) store::ReadDataTree(s, n->dataBlock->bid);
      if (n->subnodeBlock) store::ReadSubnodeList(s, n->subnodeBlock);
      store::FindNode(s, n->nid);
      if (n->firstChild) {
        n = n->firstChild;
        continue;
      }
      while (n != e && !n->nextSibling) n = n->parent;
      n = (n == e) ? nullptr : n->nextSibling;
    }
  }
  return 0;
}
