// Subnode lists: a node's SLBLOCK (or SIBLOCK over SLBLOCKs) read into one
// flat list, nested subnodes following the entry they belong to.
#include <unordered_set>

#include "format/vocabulary.h"
#include "store/store.h"

namespace velmorix::store {

namespace {
constexpr uint8_t kLeafLevel = 0x00;
constexpr uint8_t kIntermediateLevel = 0x01;
constexpr int kMaxNesting = 64;

// Appends the entries of one subnode block to `list`, followed by each
// entry's own subnodes when `nested`. False when the block cannot be read in
// full or is not a subnode block. A block already expanded for this list is
// not expanded again, which cuts loops in damaged files.
bool ReadSubnodeBlock(Store& store, const BlockEntry& block, SubnodeList& list,
                      std::unordered_set<const BlockEntry*>& expanded, int nesting, bool nested) {
  if (nesting > kMaxNesting || !expanded.insert(&block).second) return false;
  const VariantLayout* L = store.layout();
  if (!L) return false;
  auto buf = ReadBlockData(store, block);
  if (!buf) return false;
  ByteView v{ByteSpan(*buf)};
  auto type = v.U8(0);
  auto level = v.U8(1);
  auto count = v.I16(2);
  if (!type || !level || !count || *type != format::kBtypeSubnodeTree) return false;
  if (*level != kLeafLevel && *level != kIntermediateLevel) return false;
  if (*count <= 0) return true;

  // Entries follow 4 bytes of padding where BIDs are 8 bytes wide.
  const size_t w = L->idSize;
  const size_t start = w == 8 ? 8 : 4;
  if (*level == kIntermediateLevel) {
    // Intermediate entries name leaf blocks: (NID, BID of an SLBLOCK).
    for (int i = 0; i < *count; ++i) {
      const size_t off = start + static_cast<size_t>(i) * 2 * w;
      if (!v.Contains(off, 2 * w)) break;
      const BlockEntry* leaf = FindBlock(store, *v.U32(off + w));
      if (leaf) ReadSubnodeBlock(store, *leaf, list, expanded, nesting + 1, nested);
    }
    return true;
  }
  for (int i = 0; i < *count; ++i) {
    const size_t off = start + static_cast<size_t>(i) * 3 * w;
    if (!v.Contains(off, 3 * w)) break;
    const uint32_t nid = *v.U32(off);
    const BlockEntry* data = FindBlock(store, *v.U32(off + w));
    if (!data) continue;  // its nested subnodes are not read either
    const uint32_t subBid = *v.U32(off + 2 * w);
    const BlockEntry* own = subBid != 0 ? FindBlock(store, subBid) : nullptr;
    list.push_back({nid, data, own});
    if (own && nested) ReadSubnodeBlock(store, *own, list, expanded, nesting + 1, nested);
  }
  return true;
}

}  // namespace

bool ReadSubnodeList(Store& store, const BlockEntry* subnodeBlock, SubnodeList& out) {
  out.clear();
  if (!subnodeBlock) return false;
  std::unordered_set<const BlockEntry*> expanded;
  if (!ReadSubnodeBlock(store, *subnodeBlock, out, expanded, 0, true)) out.clear();
  return !out.empty();
}

const SubnodeList* ReadSubnodeList(Store& store, const BlockEntry* subnodeBlock) {
  SubnodeList list;
  if (!ReadSubnodeList(store, subnodeBlock, list)) return nullptr;
  return store.data->subnodes.Register(std::move(list));
}

bool ReadSubnodeLevel(Store& store, const BlockEntry* subnodeBlock, SubnodeList& out) {
  if (!subnodeBlock) return false;
  std::unordered_set<const BlockEntry*> expanded;
  try {
    return ReadSubnodeBlock(store, *subnodeBlock, out, expanded, 0, false);
  } catch (const IoError&) {
    return false;
  }
}

}  // namespace velmorix::store
