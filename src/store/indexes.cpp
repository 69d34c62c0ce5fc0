// Loading the block index and the node index B-trees into the block list and
// the node tree. The walks do not trust the pages' own counts and levels: they
// find the leaf level themselves, stop a page at a zero or out-of-order key,
// and skip subtrees whose pages cannot be read or do not start with the key
// their parent promised.
#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "format/vocabulary.h"
#include "store/store.h"

namespace velmorix::store {

namespace {

constexpr int32_t kTopBound = 0x7FFFFFFF;
constexpr int kMaxLeafEntriesBlock = 42;
constexpr int kMaxLeafEntriesNode = 31;
constexpr uint32_t kFirstBlockBid = 4;
// Deeper than any real index; bounds the recursion on crafted files.
constexpr int kMaxDepth = 64;

// How the walks read each variant's pages. The 512-byte variants read more
// than a page and take at most 42 / 31 leaf entries, bounded only by keys;
// the 4 KiB variant reads one page and takes the entries its own 2-byte
// count names.
struct WalkLayout {
  uint32_t blockPage, nodePage;      // bytes read per page
  size_t interEntry, blockLeafEntry, nodeLeafEntry;
  size_t wide;                       // width of BIDs, keys and offsets
  const VariantLayout* counted;      // the layout whose page counts bound the entries, or null
};

WalkLayout LayoutOf(const Store& s) {
  if (s.variant == Variant::Unicode4K) {
    const VariantLayout& L = kUnicode4KLayout;
    return {L.pageSize, L.pageSize, L.intermediateEntrySize, L.blockLeafEntrySize, L.nodeLeafEntrySize,
            L.idSize, &L};
  }
  if (s.variant == Variant::Unicode) return {1032, 1040, 24, 24, 32, 8, nullptr};
  return {516, 520, 12, 12, 16, 4, nullptr};
}

constexpr uint32_t kPageSize = 512;
constexpr size_t kUncounted = SIZE_MAX;

// The child pages of one intermediate page, read ahead with as few reads as
// their places allow: children that lie next to each other in the file (as
// a tree written in one go places them) come in one read. A child that is
// not held here is read on its own.
class ChildPages {
 public:
  // Reads the `size` bytes of each page at `offsets`.
  void Read(Store& s, std::vector<uint64_t> offsets, uint32_t size) {
    std::sort(offsets.begin(), offsets.end());
    offsets.erase(std::unique(offsets.begin(), offsets.end()), offsets.end());
    size_t i = 0;
    while (i < offsets.size()) {
      const uint64_t start = offsets[i];
      uint64_t end = start + size;
      size_t j = i + 1;
      while (j < offsets.size() && offsets[j] <= end && offsets[j] + size - start <= kMaxRun) {
        end = offsets[j] + size;
        ++j;
      }
      if (j - i > 1) {
        Run run{start, end, {}};
        try {
          s.ReadRawBlock(start, static_cast<uint32_t>(end - start), run.bytes);
          runs_.push_back(std::move(run));
        } catch (const IoError&) {
          // Each child is read on its own, and fails there as it would have.
        }
      }
      i = j;
    }
  }

  // The bytes a read of `size` at `offset` gives, when held; false otherwise.
  bool Take(uint64_t offset, uint64_t size, Buffer& out) const {
    for (const Run& r : runs_) {
      if (offset < r.start || offset + size > r.end) continue;
      // A run read short ended at the end of the file: what it lacks is not there.
      const uint64_t held = r.start + r.bytes.size();
      const uint64_t from = std::min(offset, held) - r.start;
      const uint64_t to = std::min(offset + size, held) - r.start;
      out.assign(r.bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 r.bytes.begin() + static_cast<std::ptrdiff_t>(to));
      return true;
    }
    return false;
  }

 private:
  static constexpr uint64_t kMaxRun = 1u << 20;
  struct Run {
    uint64_t start, end;  // the bytes asked for
    Buffer bytes;         // fewer when the file ends first
  };
  std::vector<Run> runs_;
};

// Reads an index page of `size` bytes. The 512-byte variants read more bytes
// than one page holds, so a page that ends the file reads short: when the
// page itself is whole, the missing tail counts as zeros. Returns the bytes
// available, or 0 when the page cannot be read.
//
// Pages lie on page boundaries. An offset off a boundary is no page: such
// offsets come from a leaf page walked as an intermediate one while the leaf
// level is still unknown, and the bytes there could start with the promised
// key by chance and be taken for a level of the tree. In the 4 KiB variant a
// page must also name the tree's page type in its trailer.
uint32_t ReadIndexPage(Store& s, const WalkLayout& L, uint64_t offset, uint32_t size, uint8_t ptype,
                       Buffer& page, const ChildPages* near = nullptr) {
  const uint32_t pageSize = L.counted ? L.counted->pageSize : kPageSize;
  if (offset % pageSize != 0) return 0;
  uint32_t n = 0;
  if (near && near->Take(offset, size, page)) {
    n = static_cast<uint32_t>(page.size());
  } else {
    n = s.ReadRawBlock(offset, size, page);
  }
  if (n < pageSize) return 0;
  if (L.counted) {
    auto t = ReadPageTrailer(*L.counted, page);
    if (!t || (t->ptype != ptype && t->ptypeRepeat != ptype)) return 0;
  }
  page.resize(size, std::byte{0});
  return size;
}

// The most entries of `entrySize` bytes to take from a page: `uncounted` in
// the 512-byte variants, the page's own count in the 4 KiB variant. -1 when
// that count is above what the page can hold: the page is damaged.
int64_t EntryLimit(const WalkLayout& L, ByteSpan page, size_t entrySize, size_t uncounted) {
  if (!L.counted) return static_cast<int64_t>(uncounted == kUncounted ? INT64_MAX : uncounted);
  auto info = ReadBTreePageInfo(*L.counted, page);
  if (!info || info->count > L.counted->MaxEntries(static_cast<uint32_t>(entrySize))) return -1;
  return info->count;
}

int32_t Key(const ByteView& v, size_t off) {
  auto k = v.U32(off);
  return k ? static_cast<int32_t>(*k) : 0;
}

uint64_t Wide(const ByteView& v, size_t off, size_t width) {
  if (width == 8) return v.U64(off).value_or(0);
  return v.U32(off).value_or(0);
}

// Each page is walked at most once as an intermediate page and once as a
// leaf during one load, so that crafted files cannot make the walks loop.
bool FirstWalk(Store& s, uint64_t offset, bool leaf) { return s.walkedPages.emplace(offset, leaf).second; }

// Counts the child page named by entry `index` of `parent` as lost when the
// entry lies within the parent's own count and the page cannot be read whole
// or its trailer does not hold (signature, CRC). Real files hold entries
// past the count that name reused pages, and pages that hold but do not
// start with the promised key: neither is counted.
void NoteIfUnreadable(Store& s, ByteSpan parent, int64_t index, uint64_t offset) {
  const VariantLayout* L = s.layout();
  if (!L) return;
  if (!parent.empty()) {
    auto info = ReadBTreePageInfo(*L, parent);
    if (!info || index >= info->count) return;
  }
  auto page = ReadPage(s, offset);
  auto t = page ? ReadPageTrailer(*L, *page) : std::nullopt;
  if (offset % L->pageSize != 0 || !t || t->ptype != t->ptypeRepeat || t->sig != ComputeSig(offset, t->bid) ||
      !PageCrcHolds(*L, *page)) {
    ++s.indexPagesLost;
  }
}

struct LargestNid {
  bool set = false;
  int32_t value = 0;
};

// Per-page state of the node index leaf walk. A page holds at most 31
// entries, so short vectors searched linearly serve.
struct LeafPage {
  // Entries resolved as parents on this page, newest last.
  std::vector<NodeEntry*> parentCache;
  // Entries whose parent has not been found, with that parent's NID; newest last.
  std::vector<std::pair<NodeEntry*, uint32_t>> waiting;
};

NodeEntry* FindParent(Store& s, LeafPage& page, uint32_t p) {
  for (size_t i = page.parentCache.size(); i-- > 0;) {
    if (page.parentCache[i]->nid == p) return page.parentCache[i];
  }
  NodeEntry* found = FindNode(s, p);
  if (!found) {
    for (size_t i = page.waiting.size(); i-- > 0;) {
      if (page.waiting[i].first->nid == p) {
        found = page.waiting[i].first;
        break;
      }
    }
  }
  if (found) page.parentCache.push_back(found);
  return found;
}

void Place(Store& s, LeafPage& page, NodeEntry* e, uint32_t p) {
  NodeTree& tree = s.data->nodes;
  if (p == 0 || p == e->nid) {
    tree.AppendTopLevel(e);
    return;
  }
  if (NodeEntry* parent = FindParent(s, page, p)) {
    // A parent inside the entry's own subtree would make a cycle; such an
    // entry goes to the top level instead.
    if (!tree.AppendChild(parent, e)) tree.AppendTopLevel(e);
    return;
  }
  page.waiting.emplace_back(e, p);
}

void ReleaseWaiting(Store& s, LeafPage& page, NodeEntry* taken) {
  NodeTree& tree = s.data->nodes;
  // Newest first, as the waiting list is walked from its front.
  for (size_t i = page.waiting.size(); i-- > 0;) {
    if (page.waiting[i].second != taken->nid) continue;
    NodeEntry* child = page.waiting[i].first;
    page.waiting.erase(page.waiting.begin() + static_cast<std::ptrdiff_t>(i));
    if (!tree.AppendChild(taken, child)) tree.AppendTopLevel(child);
  }
}

void TakeNodeEntry(Store& s, LeafPage& page, LargestNid& largest, uint32_t n, uint32_t dataBid,
                   uint32_t subBid, uint32_t p) {
  NodeTree& tree = s.data->nodes;
  const auto signedN = static_cast<int32_t>(n);
  NodeEntry* e = nullptr;
  if ((dataBid != 0 && !FindBlock(s, dataBid)) || (subBid != 0 && !FindBlock(s, subBid))) ++s.nodesWithoutBlocks;
  if (largest.set && signedN <= largest.value) e = FindNode(s, n);
  if (e) {
    e->subnodeBlock = FindBlock(s, subBid);
    e->dataBlock = FindBlock(s, dataBid);
    if (e->parent && e->parent->nid != p) {
      tree.Unlink(e);
      Place(s, page, e, p);
    }
  } else {
    e = tree.Create(n, FindBlock(s, subBid), FindBlock(s, dataBid));
    if (!largest.set || signedN > largest.value) {
      largest.set = true;
      largest.value = signedN;
    }
    Place(s, page, e, p);
  }
  ReleaseWaiting(s, page, e);
}

// The children an intermediate page names, read ahead.
ChildPages ReadChildren(Store& s, const WalkLayout& L, const ByteView& v, uint32_t n, int64_t limit,
                        uint32_t size) {
  const uint32_t pageSize = L.counted ? L.counted->pageSize : kPageSize;
  std::vector<uint64_t> offsets;
  for (int64_t i = 0; i < limit; ++i) {
    const size_t off = static_cast<size_t>(i) * L.interEntry;
    if (Key(v, off) == 0 || off + L.interEntry >= n) break;
    const uint64_t child = Wide(v, off + 2 * L.wide, L.wide);
    if (child % pageSize == 0 && child < s.fileSize()) offsets.push_back(child);
  }
  ChildPages pages;
  pages.Read(s, std::move(offsets), size);
  return pages;
}

int LoadBlockIndex(Store& store, uint64_t pageOffset, int depth, int64_t expectedFirstKey,
                   int32_t upperBound, const ChildPages* near) {
  const WalkLayout L = LayoutOf(store);
  if (depth > kMaxDepth) return -1;
  Buffer page;
  int64_t b = expectedFirstKey;
  if (depth == store.blockLeafLevel) {
    if (store.StopRequested()) return 0;
    const uint32_t n = ReadIndexPage(store, L, pageOffset, L.blockPage, format::kPtypeBbt, page, near);
    if (n == 0) return -1;
    const int64_t limit = EntryLimit(L, page, L.blockLeafEntry, kMaxLeafEntriesBlock);
    if (limit < 0) return -1;
    ByteView v{ByteSpan(page)};
    int64_t prev = b;
    bool walkedBefore = false;
    for (int i = 0; i < limit; ++i) {
      const size_t off = static_cast<size_t>(i) * L.blockLeafEntry;
      const int32_t key = Key(v, off);
      if (key == 0 || off + L.blockLeafEntry >= n || key >= upperBound) break;
      if (store.StopRequested()) return 0;
      if (b != -1) {
        if (key != b) return -1;
        b = -1;
      }
      if (i == 0 && !FirstWalk(store, pageOffset, true)) walkedBefore = true;
      if (walkedBefore) break;
      store.blockLeafSeen = true;
      if (prev > key) break;
      prev = key;
      BlockEntry e;
      e.bid = static_cast<uint32_t>(key);
      e.offset = Wide(v, off + L.wide, L.wide);
      e.size = v.U16(off + 2 * L.wide).value_or(0);
      if (L.counted) {
        e.inflatedSize = v.U16(off + L.counted->blockInflatedAt).value_or(0);
        e.refCount = v.U16(off + L.counted->blockRefCountAt).value_or(0);
      } else {
        e.inflatedSize = e.size;
        e.refCount = v.U16(off + 2 * L.wide + 2).value_or(0);
      }
      store.data->blocks.Append(e);
    }
    return 2;
  }

  const uint32_t n = ReadIndexPage(store, L, pageOffset, L.blockPage, format::kPtypeBbt, page, near);
  if (n == 0) return -1;
  if (store.StopRequested()) return 0;
  ByteView v{ByteSpan(page)};
  if (b != -1 && Key(v, 0) != b) return -1;
  const int64_t limit = EntryLimit(L, page, L.interEntry, kUncounted);
  if (limit < 0) return -1;
  if (!FirstWalk(store, pageOffset, false)) return 3;
  const ChildPages children = ReadChildren(store, L, v, n, limit, L.blockPage);
  // While the leaf level is unknown, a failed child means this page is a leaf
  // only if no later child reaches a leaf either: one damaged page below the
  // root must not turn the root into a leaf and lose the whole index.
  bool childFailedBeforeLeaf = false;
  for (int64_t i = 0; i < limit; ++i) {
    const size_t off = static_cast<size_t>(i) * L.interEntry;
    const int32_t key = Key(v, off);
    if (key == 0 || off + L.interEntry >= n || key >= upperBound) break;
    const int32_t nextKey = i + 1 < limit ? Key(v, off + L.interEntry) : 0;
    const int32_t bound = nextKey > key ? nextKey : upperBound;
    const uint64_t child = Wide(v, off + 2 * L.wide, L.wide);
    int r = LoadBlockIndex(store, child, depth + 1, key, bound, &children);
    if (r == -1 && !store.blockLeafSeen) childFailedBeforeLeaf = true;
    else if (r == -1) NoteIfUnreadable(store, page, i, child);
    if (r == 4) LoadBlockIndex(store, child, depth + 1, key, bound, &children);
  }
  if (childFailedBeforeLeaf && !store.blockLeafSeen) {
    store.blockLeafLevel = static_cast<uint8_t>(depth);
    return 4;
  }
  return 3;
}

int LoadNodeIndex(Store& store, uint64_t pageOffset, int depth, LargestNid& largest,
                  int64_t expectedFirstKey, int32_t upperBound, const ChildPages* near) {
  const WalkLayout L = LayoutOf(store);
  if (store.StopRequested()) return 0;
  if (depth > kMaxDepth) return -1;
  Buffer page;
  int64_t b = expectedFirstKey;
  if (depth == store.nodeLeafLevel) {
    const uint32_t n = ReadIndexPage(store, L, pageOffset, L.nodePage, format::kPtypeNbt, page, near);
    if (n == 0) return -1;
    const int64_t limit = EntryLimit(L, page, L.nodeLeafEntry, kMaxLeafEntriesNode);
    if (limit < 0) return -1;
    ByteView v{ByteSpan(page)};
    LeafPage state;
    bool havePrev = false;
    int32_t prev = 0;
    for (int i = 0; i < limit; ++i) {
      const size_t off = static_cast<size_t>(i) * L.nodeLeafEntry;
      const int32_t nid = Key(v, off);
      if (nid >= upperBound || (havePrev && nid <= prev)) break;
      if (store.StopRequested()) return 0;
      if (b != -1) {
        if (nid != b) return -1;
        b = -1;
      }
      if (i == 0 && !FirstWalk(store, pageOffset, true)) break;
      store.nodeLeafSeen = true;
      havePrev = true;
      prev = nid;
      const auto dataBid = static_cast<uint32_t>(Wide(v, off + L.wide, L.wide));
      const auto subBid = static_cast<uint32_t>(Wide(v, off + 2 * L.wide, L.wide));
      const uint32_t parent = v.U32(off + 3 * L.wide).value_or(0);
      TakeNodeEntry(store, state, largest, static_cast<uint32_t>(nid), dataBid, subBid, parent);
    }
    return 0;
  }

  const uint32_t n = ReadIndexPage(store, L, pageOffset, L.nodePage, format::kPtypeNbt, page, near);
  if (n == 0) return -1;
  if (store.StopRequested()) return 0;
  ByteView v{ByteSpan(page)};
  if (b != -1 && Key(v, 0) != b) return -1;
  const int64_t limit = EntryLimit(L, page, L.interEntry, kUncounted);
  if (limit < 0) return -1;
  if (!FirstWalk(store, pageOffset, false)) return 3;
  const ChildPages children = ReadChildren(store, L, v, n, limit, L.nodePage);
  for (int64_t i = 0; i < limit; ++i) {
    const size_t off = static_cast<size_t>(i) * L.interEntry;
    const int32_t key = Key(v, off);
    if (key == 0 || off + 2 * L.interEntry > n) break;
    const int32_t nextKey = i + 1 < limit ? Key(v, off + L.interEntry) : 0;
    const int32_t bound = nextKey > key ? nextKey : kTopBound;
    const uint64_t child = Wide(v, off + 2 * L.wide, L.wide);
    int r = LoadNodeIndex(store, child, depth + 1, largest, key, bound, &children);
    if (r == -1 && !store.nodeLeafSeen) {
      store.nodeLeafLevel = static_cast<uint8_t>(depth);
      return 4;
    }
    if (r == -1) NoteIfUnreadable(store, page, i, child);
    if (r == 4) LoadNodeIndex(store, child, depth + 1, largest, key, bound, &children);
  }
  return 3;
}

}  // namespace

int LoadIndexes(Store& store) {
  if (store.variant == Variant::Unknown) return -1;
  store.walkedPages.clear();
  try {
    int r = LoadBlockIndex(store, store.blockRootOffset, 0, -1, kTopBound, nullptr);
    if (r == -1) {
      store.blockLeafLevel = 0;
      NoteIfUnreadable(store, {}, 0, store.blockRootOffset);
    }
    if (r == -1 || r == 4) {
      if (LoadBlockIndex(store, store.blockRootOffset, 0, kFirstBlockBid, kTopBound, nullptr) == -1) return -1;
    }
    LargestNid largest;
    r = LoadNodeIndex(store, store.nodeRootOffset, 0, largest, format::kNidMessageStore, kTopBound, nullptr);
    if (r == -1) {
      store.nodeLeafLevel = 0;
      NoteIfUnreadable(store, {}, 0, store.nodeRootOffset);
    }
    if (r == -1 || r == 4) {
      if (LoadNodeIndex(store, store.nodeRootOffset, 0, largest, format::kNidMessageStore, kTopBound, nullptr) == -1) {
        return -1;
      }
    }
  } catch (const IoError&) {
    // What was loaded before the error stays.
  }
  store.walkedPages.clear();
  return 0;
}

}  // namespace velmorix::store
