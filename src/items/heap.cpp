#include "items/heap.h"

#include <algorithm>
#include <unordered_set>

#include "format/vocabulary.h"

namespace velmorix::items {
namespace {
// Deepest data tree read: an XXBLOCK over XBLOCKs over data blocks.
constexpr int kMaxTreeLevels = 2;
// Deepest BTree-on-heap read (index levels above the leaves).
constexpr int kMaxBthLevels = 8;

// Every heap value is looked up here: kept inline in the heap's own lookup,
// one copy for each width of page-map words.
template <bool wideBlocks>
[[gnu::always_inline]] inline std::optional<HeapRange> ResolveInBlock(ByteSpan block, uint16_t ibHnpm, uint32_t hid) {
  if (block.empty() || hid == 0) return std::nullopt;
  ByteView v(block);
  const uint64_t pos = static_cast<uint64_t>(ibHnpm) + (hid >> 4) + 2;
  auto startWord = v.U16(pos);
  auto endWord = v.U16(pos + 2);
  if (!startWord || !endWord) return std::nullopt;
  const int32_t start = wideBlocks ? int32_t{*startWord} : int32_t{static_cast<int16_t>(*startWord)};
  const int32_t end = wideBlocks ? int32_t{*endWord} : int32_t{static_cast<int16_t>(*endWord)};
  if (start < 0 || static_cast<size_t>(start) > block.size()) return std::nullopt;
  if (end >= start && static_cast<size_t>(end) > block.size()) return std::nullopt;
  HeapRange r{start, end};
  if (r.end < r.start) r.end = r.start;  // an empty allocation
  return r;
}

struct TreeWalk {
  store::Store& store;
  uint64_t budget;                        // bytes still allowed
  std::unordered_set<uint32_t> seen;      // every BID read so far
  std::vector<DataBlock> leaves;
};

bool ReadLeaf(TreeWalk& w, uint32_t bid) {
  if (!w.seen.insert(bid & ~1u).second) return false;
  auto data = store::ReadNodeBlock(w.store, bid);
  if (!data || data->empty() || data->size() > w.budget) return false;
  w.budget -= data->size();
  w.leaves.push_back({bid, std::move(*data)});
  return true;
}

// Reads `bid` as a data block or a data tree of at most `levels` levels.
bool Collect(TreeWalk& w, uint32_t bid, int levels) {
  if ((bid & 2u) == 0) return ReadLeaf(w, bid);
  const store::BlockEntry* e = store::FindBlock(w.store, bid);
  if (!e) return false;
  auto raw = store::ReadBlockData(w.store, *e);
  if (!raw) return false;
  ByteView v{ByteSpan(*raw)};
  if (*v.U8(0) != format::kBtypeDataTree) return ReadLeaf(w, bid);  // a plain block after all
  if (!w.seen.insert(bid & ~1u).second) return false;      // names itself or an ancestor
  auto level = v.U8(1);
  auto count = v.U16(2);
  if (!level || !count || *level < 1 || *level > levels) return false;
  const store::VariantLayout* layout = w.store.layout();
  if (!layout) return false;
  const size_t width = layout->idSize;
  if (!v.Contains(8, static_cast<uint64_t>(*count) * width)) return false;
  for (size_t i = 0; i < *count; ++i) {
    const uint32_t child = *v.U32(8 + i * width);
    const bool ok = *level == 1 ? ReadLeaf(w, child) : Collect(w, child, *level - 1);
    if (!ok) return false;
  }
  return true;
}

}  // namespace

std::optional<HeapRange> ResolveHid(ByteSpan block, uint16_t ibHnpm, uint32_t hid, bool wideBlocks) {
  return wideBlocks ? ResolveInBlock<true>(block, ibHnpm, hid) : ResolveInBlock<false>(block, ibHnpm, hid);
}

std::optional<Heap> Heap::Read(store::Store& store, uint32_t bid) {
  auto blocks = ReadDataBlockList(store, bid);
  if (!blocks || blocks->empty()) return std::nullopt;
  std::vector<Page> pages;
  pages.reserve(blocks->size());
  for (auto& b : *blocks) {
    Page p;
    p.bid = b.bid;
    p.ibHnpm = ByteView(ByteSpan(b.data)).U16(0).value_or(0);
    p.data = std::move(b.data);
    pages.push_back(std::move(p));
  }
  const store::VariantLayout* layout = store.layout();
  return FromPages(std::move(pages), layout ? *layout : store::kUnicodeLayout);
}

Heap Heap::FromPages(std::vector<Page> pages, const store::VariantLayout& layout) {
  Heap h;
  h.pages_ = std::move(pages);
  h.blockShift_ = layout.hidBlockShift();
  h.inPageMask_ = (1u << h.blockShift_) - 1;
  h.wideBlocks_ = layout.maxBlockSize > 0x8000;
  return h;
}

uint16_t Heap::signature() const {
  if (pages_.empty()) return 0;
  return ByteView(ByteSpan(pages_[0].data)).U16(2).value_or(0);
}

uint32_t Heap::userRoot() const {
  if (pages_.empty()) return 0;
  return ByteView(ByteSpan(pages_[0].data)).U32(4).value_or(0);
}

ByteSpan Heap::Allocation::bytes() const {
  if (!page) return {};
  return ByteSpan(page->data).subspan(static_cast<size_t>(range.start),
                                      static_cast<size_t>(range.size()));
}

std::optional<Heap::Allocation> Heap::Resolve(uint32_t hid) const {
  const uint32_t pageIndex = hid >> blockShift_;
  if (hid == 0 || pageIndex >= pages_.size()) return std::nullopt;
  const Page& p = pages_[pageIndex];
  const uint32_t inPage = hid & inPageMask_;
  auto r = wideBlocks_ ? ResolveInBlock<true>(ByteSpan(p.data), p.ibHnpm, inPage)
                       : ResolveInBlock<false>(ByteSpan(p.data), p.ibHnpm, inPage);
  if (!r) return std::nullopt;
  return Allocation{&p, *r};
}

std::optional<Heap::Allocation> Heap::ResolveHeader(uint32_t hid) const {
  return Resolve(pages_.size() == 1 ? (hid & inPageMask_) : hid);
}

namespace {

bool CollectBthRecords(const Heap& heap, uint32_t hid, int levels, uint32_t cbKey,
                       uint32_t recordSize, int& budget, std::vector<ByteSpan>& out) {
  if (--budget < 0) return false;
  auto a = heap.Resolve(hid);
  if (!a) return false;
  ByteSpan bytes = a->bytes();
  if (levels == 0) {
    for (size_t off = 0; off + recordSize <= bytes.size(); off += recordSize) {
      out.push_back(bytes.subspan(off, recordSize));
    }
    return true;
  }
  ByteView v(bytes);
  const uint32_t step = cbKey + 4;
  for (size_t off = 0; off + step <= bytes.size(); off += step) {
    if (!CollectBthRecords(heap, *v.U32(off + cbKey), levels - 1, cbKey, recordSize, budget, out)) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::optional<std::vector<ByteSpan>> Heap::ReadBth(uint32_t hid, uint16_t headerWord,
                                                   uint32_t recordSize, uint8_t* cbEnt) const {
  auto header = ResolveHeader(hid);
  if (!header) return std::nullopt;
  ByteView v(header->bytes());
  auto word = v.U16(0);
  auto entSize = v.U8(2);
  auto levels = v.U8(3);
  auto root = v.U32(4);
  if (!word || !entSize || !levels || !root || *word != headerWord || *root == 0) {
    return std::nullopt;
  }
  const uint32_t cbKey = headerWord >> 8;
  if (cbEnt) *cbEnt = *entSize;
  if (recordSize == 0) recordSize = cbKey + *entSize;
  if (*levels > kMaxBthLevels) return std::nullopt;
  // Every index record costs at least cbKey + 4 heap bytes; bound the walk by
  // the allocations the heap can hold so that shared subtrees cannot explode.
  size_t heapBytes = 0;
  for (size_t i = 0; i < pages_.size(); ++i) heapBytes += pages_[i].data.size();
  int budget = static_cast<int>(std::min<size_t>(heapBytes / 2 + 1, 1 << 20));
  std::vector<ByteSpan> records;
  if (!CollectBthRecords(*this, *root, *levels, cbKey, recordSize, budget, records)) {
    return std::nullopt;
  }
  return records;
}

const store::SubnodeEntry* FindSubnode(const store::SubnodeList* list, uint32_t nid) {
  if (!list) return nullptr;
  for (const auto& e : *list) {
    if (e.nid == nid) return &e;
  }
  return nullptr;
}

std::optional<std::vector<DataBlock>> ReadDataBlockList(store::Store& store, uint32_t bid) {
  if (bid == 0) return std::nullopt;
  try {
    if ((bid & 2u) == 0) {  // a single data block: the common case
      auto data = store::ReadNodeBlock(store, bid);
      if (!data || data->empty()) return std::nullopt;
      std::vector<DataBlock> one;
      one.push_back({bid, std::move(*data)});
      return one;
    }
    TreeWalk w{store, store::DataBudget(store), {}, {}};
    if (!Collect(w, bid, kMaxTreeLevels)) return std::nullopt;
    return std::move(w.leaves);
  } catch (const store::IoError&) {
    return std::nullopt;
  }
}

std::optional<Buffer> ReadValueWhole(store::Store& store, uint32_t bid) {
  auto blocks = ReadDataBlockList(store, bid);
  if (!blocks || blocks->empty()) return std::nullopt;
  if (blocks->size() == 1) return std::move(blocks->front().data);
  size_t total = 0;
  for (const auto& b : *blocks) total += b.data.size();
  Buffer out;
  out.reserve(total);
  for (const auto& b : *blocks) out.insert(out.end(), b.data.begin(), b.data.end());
  return out;
}

std::optional<Buffer> ReadSubnodeValue(store::Store& store, uint32_t nid,
                                       const store::SubnodeList* list) {
  const store::SubnodeEntry* e = FindSubnode(list, nid);
  if (!e || !e->dataBlock) return std::nullopt;
  return ReadValueWhole(store, e->dataBlock->bid);
}

}  // namespace velmorix::items
