// Data named by a BID read piece by piece: one data block at a time, so that
// an attachment of any size passes through one block of memory; and its size
// from the block index alone.
#include <unordered_set>

#include "format/vocabulary.h"
#include "store/store.h"

namespace velmorix::store {
namespace {
// An XXBLOCK over XBLOCKs over data blocks.
constexpr int kMaxTreeLevels = 2;

enum class Step { Go, Stop, Fail };

struct TreeWalk {
  Store& store;
  std::unordered_set<uint32_t> seen;  // every BID met, so no block counts twice
  uint64_t budget;                    // bytes the data may still hold
  std::function<Step(const BlockEntry&)> leaf;
};

// The bytes a data block holds once read: its inflated size when compressed.
int64_t DataBytes(const BlockEntry& e) { return e.compressed() ? e.inflatedSize : e.size; }

Step Leaf(TreeWalk& w, const BlockEntry& e) {
  if (!w.seen.insert(e.bid & ~1u).second) return Step::Fail;
  const int64_t size = DataBytes(e);
  if (size <= 0 || static_cast<uint64_t>(size) > w.budget) return Step::Fail;
  w.budget -= static_cast<uint64_t>(size);
  return w.leaf(e);
}

// Walks the data under `bid`: a data block, or a data tree of at most
// `levels` levels whose leaves are handed to the walk's leaf function.
Step Walk(TreeWalk& w, uint32_t bid, int levels) {
  const BlockEntry* e = FindBlock(w.store, bid);
  if (!e || e->size <= 0) return Step::Fail;
  if ((bid & 2u) == 0) return Leaf(w, *e);
  auto raw = ReadBlockData(w.store, *e);
  const VariantLayout* layout = w.store.layout();
  if (!raw || !layout) return Step::Fail;
  ByteView v{ByteSpan(*raw)};
  if (*v.U8(0) != format::kBtypeDataTree) return Leaf(w, *e);  // a plain block after all
  if (!w.seen.insert(bid & ~1u).second) return Step::Fail;  // names itself or an ancestor
  auto level = v.U8(1);
  auto count = v.U16(2);
  if (!level || !count || *level < 1 || *level > levels) return Step::Fail;
  const size_t width = layout->idSize;
  if (!v.Contains(8, static_cast<uint64_t>(*count) * width)) return Step::Fail;
  for (size_t i = 0; i < *count; ++i) {
    const uint32_t child = *v.U32(8 + i * width);
    Step s;
    if (*level == 1) {
      const BlockEntry* ce = FindBlock(w.store, child);
      s = ce ? Leaf(w, *ce) : Step::Fail;
    } else {
      s = Walk(w, child, *level - 1);
    }
    if (s != Step::Go) return s;
  }
  return Step::Go;
}

}  // namespace

bool VisitDataBlocks(Store& store, uint32_t bid, const std::function<bool(ByteSpan)>& visit) {
  TreeWalk w{store, {}, DataBudget(store), nullptr};
  w.leaf = [&](const BlockEntry& e) {
    auto data = ReadNodeBlock(store, e.bid);
    if (!data || data->empty()) return Step::Fail;
    return visit(ByteSpan(*data)) ? Step::Go : Step::Stop;
  };
  try {
    return Walk(w, bid, kMaxTreeLevels) != Step::Fail;
  } catch (const IoError&) {
    return false;
  }
}

std::optional<uint64_t> DataSize(Store& store, uint32_t bid) {
  uint64_t total = 0;
  TreeWalk w{store, {}, DataBudget(store), nullptr};
  w.leaf = [&](const BlockEntry& e) {
    total += static_cast<uint64_t>(DataBytes(e));
    return Step::Go;
  };
  try {
    if (Walk(w, bid, kMaxTreeLevels) == Step::Fail) return std::nullopt;
  } catch (const IoError&) {
    return std::nullopt;
  }
  return total;
}

}  // namespace velmorix::store
