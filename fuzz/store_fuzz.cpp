// Opens arbitrary bytes as a store, loads its indexes and reads every node's
// data and subnode list, and the trailers and fields of the index roots and
// of the blocks; then deep-scans it: page and block recognition, the rebuilt
// indexes and the orphaned property contexts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz_input.h"
#include "store/deep_scan.h"
#include "store/layout.h"
#include "store/store.h"

using namespace velmorix;

namespace {

// The root pages' trailers, counts and entries, and each block's trailer.
void ReadTrailers(store::Store& s) {
  const store::VariantLayout* L = s.layout();
  if (!L) return;
  for (uint64_t root : {s.nodeRootOffset, s.blockRootOffset}) {
    auto page = store::ReadPage(s, root);
    if (!page) continue;
    store::ReadPageTrailer(*L, *page);
    store::PageCrcHolds(*L, *page);
    if (auto info = store::ReadBTreePageInfo(*L, *page)) {
      for (uint32_t i = 0; i < info->count; ++i) {
        if (!store::ReadIntermediateEntry(*L, *page, i)) break;
      }
    }
  }
  int budget = 200;
  for (const store::BlockEntry& e : s.data->blocks.entries()) {
    if (--budget < 0) break;
    const uint64_t stored = L->StoredBlockSize(static_cast<uint64_t>(e.size));
    Buffer trailer;
    if (s.ReadRawBlock(e.offset + stored - L->blockTrailer.size, L->blockTrailer.size, trailer) ==
        L->blockTrailer.size) {
      store::ReadBlockTrailer(*L, trailer);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
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
  ReadTrailers(s);

  // The deep scan over the loaded indexes, and from nothing.
  const store::DeepScanResult deep = store::DeepScan(s, s.data.get());
  if (deep.data) {
    int left = 200;
    for (uint32_t nid : deep.orphanNids) {
      if (--left < 0) break;
      const store::NodeEntry* e = deep.data->nodes.FindReadOnly(nid);
      if (!e || !e->dataBlock) std::abort();
    }
  }
  store::Store fresh;
  if (store::OpenStore(fresh, fuzz::InputPath(), false) == 0) store::DeepScan(fresh, nullptr);
  return 0;
}
