// The deep scan: one sequential pass over the file in large chunks, each
// aligned slot checked as the end of a block and each page boundary as a node
// index leaf page; then the block list, the node tree and the orphaned
// property contexts are put together from what was found.
#include "format/vocabulary.h"
#include "store/deep_scan.h"

#include <libdeflate.h>

#include <algorithm>
#include <array>
#include <deque>
#include <unordered_map>

namespace velmorix::store {

namespace {

constexpr uint64_t kChunkSize = 8u << 20;
// The variant of a store with an unreadable header is judged from its first
// bytes read with each layout.
constexpr uint64_t kProbeBytes = 32u << 20;
constexpr size_t kHeaderBytes = 564;

// The store CRC (initial value 0, no final XOR) through libdeflate's fast
// CRC-32, which applies both inversions itself.
uint32_t StoreCrc(ByteSpan data) {
  return ~libdeflate_crc32(0xFFFFFFFFu, data.data(), data.size());
}

uint64_t Id(const VariantLayout& L, const ByteView& v, uint64_t at) {
  return L.idSize == 8 ? v.U64(at).value_or(0) : v.U32(at).value_or(0);
}

// Packed to 24 bytes: a large file holds millions of blocks.
struct FoundBlock {
  uint64_t offset = 0;
  uint32_t bid = 0;
  int32_t inflatedSize = 0;
  uint16_t size = 0;              // at most a block's data bytes
  std::array<uint8_t, 4> head{};  // first stored bytes (uncompressed blocks)
  bool compressed() const { return inflatedSize != size; }
  BlockEntry entry() const {
    BlockEntry e;
    e.bid = bid;
    e.offset = offset;
    e.size = size;
    e.inflatedSize = inflatedSize;
    e.refCount = 1;
    return e;
  }
};

struct NodeCandidate {
  uint32_t nid = 0;
  uint32_t dataBid = 0;
  uint32_t subBid = 0;
  uint32_t parent = 0;
  uint64_t pageBid = 0;
  uint64_t pageOffset = 0;
};

bool HeapHead(const std::array<uint8_t, 4>& decoded) {
  return decoded[2] == format::kHeapSignature &&
         (decoded[3] == format::kBTypePc || decoded[3] == format::kBTypeTc || decoded[3] == format::kBTypeBth);
}

// What one pass over the file collects with one layout.
class Pass {
 public:
  Pass(Store& store, const VariantLayout& L, uint64_t limit, bool collect)
      : store_(store), L_(L), limit_(std::min(limit, store.fileSize())), collect_(collect),
        crcBudget_(3 * limit_ + (64u << 20)),
        maxCandidates_(limit_ / 128 + 65536) {}

  // False when the stop request ended it.
  bool Run(const DeepScanProgress& progress) {
    Buffer buf;
    buf.reserve(std::min<uint64_t>(kChunkSize, limit_) + L_.maxBlockSize + L_.pageSize);
    uint64_t bufStart = 0;
    uint64_t next = 0;  // the first slot not yet checked
    const uint32_t align = L_.blockAlignment;
    while (next < limit_) {
      if (store_.StopRequested()) return false;
      // Keep the bytes a block ending in the next slots may start in.
      const uint64_t keepFrom = next > L_.maxBlockSize ? (next - L_.maxBlockSize) / align * align : 0;
      if (keepFrom > bufStart) {
        buf.erase(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(keepFrom - bufStart));
        bufStart = keepFrom;
      }
      const uint64_t readAt = bufStart + buf.size();
      const uint64_t want = std::min<uint64_t>(kChunkSize, limit_ - readAt);
      const size_t old = buf.size();
      buf.resize(old + want);
      const uint64_t got = store_.ReadAt(readAt, std::span<std::byte>(buf.data() + old, want));
      buf.resize(old + got);
      const uint64_t bufEnd = bufStart + buf.size();
      const bool atEnd = got < want || bufEnd >= limit_;
      const ByteView v{ByteSpan(buf)};
      uint64_t a = next;
      for (; a + align <= bufEnd; a += align) {
        if (!atEnd && a + L_.pageSize > bufEnd) break;
        CheckBlockEndingAt(v, bufStart, a + align);
        if (a % L_.pageSize == 0 && a + L_.pageSize <= bufEnd) CheckPage(v, bufStart, a);
      }
      next = a;
      if (progress) progress(std::min(bufEnd, limit_), limit_);
      if (atEnd) break;
    }
    return true;
  }

  // In file order. A deque: hundreds of thousands of blocks grow it without
  // the copies (and twice the memory) of a growing vector.
  std::deque<FoundBlock> blocks;
  std::vector<NodeCandidate> candidates;  // in file order
  std::vector<uint32_t> references;       // BIDs named by data trees and subnode blocks
  std::vector<uint32_t> dataTrees;        // indexes into `blocks` of data-tree blocks
  std::vector<uint32_t> subnodeLists;     // indexes into `blocks` of subnode leaf blocks
  uint64_t nodePages = 0;
  uint64_t unchecked = 0;

 private:
  void CheckBlockEndingAt(const ByteView& v, uint64_t bufStart, uint64_t end) {
    const uint32_t tsize = L_.blockTrailer.size;
    auto raw = v.Sub(end - tsize - bufStart, tsize);
    if (!raw) return;
    auto t = ReadBlockTrailer(L_, *raw);
    if (!t || t->cb == 0 || t->cb > L_.maxBlockData() || t->bid == 0) return;
    const uint64_t stored = L_.StoredBlockSize(t->cb);
    if (stored > end || end - stored < lastEnd_ || end - stored < bufStart) return;
    const uint64_t start = end - stored;
    if (t->sig != ComputeSig(start, t->bid)) return;
    const bool compressed = t->inflated != t->cb;
    if (t->inflated == 0 || t->inflated > kMaxInflatedBlock || (compressed && !L_.compressed)) return;
    // Blocks taken never overlap, so their CRCs cost at most one pass over
    // the file; candidates that fail cost from a budget of a few passes.
    if (crcBudget_ < t->cb) {
      ++unchecked;
      return;
    }
    const ByteSpan data = *v.Sub(start - bufStart, t->cb);
    if (StoreCrc(data) != t->crc) {
      crcBudget_ -= t->cb;
      return;
    }
    lastEnd_ = end;
    if (blocks.size() >= maxCandidates_) {
      ++unchecked;
      return;
    }
    FoundBlock f;
    f.bid = static_cast<uint32_t>(t->bid);
    f.offset = start;
    f.size = static_cast<uint16_t>(t->cb);
    f.inflatedSize = static_cast<int32_t>(t->inflated);
    if (!compressed) {
      for (size_t i = 0; i < 4 && i < data.size(); ++i) f.head[i] = static_cast<uint8_t>(data[i]);
    }
    if (collect_ && (f.bid & 2u) && !compressed) TakeReferences(data);
    blocks.push_back(f);
  }

  // The BIDs an internal block names: they are no orphans.
  void TakeReferences(ByteSpan data) {
    const ByteView b(data);
    const uint8_t type = b.U8(0).value_or(0);
    const uint8_t level = b.U8(1).value_or(0);
    const uint16_t count = b.U16(2).value_or(0);
    const uint64_t w = L_.idSize;
    if (type == format::kBtypeDataTree) {
      dataTrees.push_back(static_cast<uint32_t>(blocks.size()));
      for (uint64_t i = 0; i < count && b.Contains(8 + i * w, w); ++i) {
        references.push_back(static_cast<uint32_t>(Id(L_, b, 8 + i * w)));
      }
    } else if (type == format::kBtypeSubnodeTree) {
      if (level == 0) subnodeLists.push_back(static_cast<uint32_t>(blocks.size()));
      const uint64_t first = w == 8 ? 8 : 4;
      const uint64_t size = level == 0 ? 3 * w : 2 * w;
      for (uint64_t i = 0; i < count && b.Contains(first + i * size, size); ++i) {
        const uint64_t e = first + i * size;
        references.push_back(static_cast<uint32_t>(Id(L_, b, e + w)));
        if (level == 0) references.push_back(static_cast<uint32_t>(Id(L_, b, e + 2 * w)));
      }
    }
  }

  void CheckPage(const ByteView& v, uint64_t bufStart, uint64_t at) {
    const ByteSpan page = *v.Sub(at - bufStart, L_.pageSize);
    auto t = ReadPageTrailer(L_, page);
    if (!t || t->ptype != format::kPtypeNbt || t->ptypeRepeat != format::kPtypeNbt) return;
    if (t->sig != ComputeSig(at, t->bid) || StoreCrc(page.first(L_.pageTrailerAt())) != t->crc) return;
    auto info = ReadBTreePageInfo(L_, page);
    if (!info || info->level != 0 || info->entrySize != L_.nodeLeafEntrySize ||
        info->count > L_.MaxEntries(L_.nodeLeafEntrySize)) {
      return;
    }
    ++nodePages;
    if (!collect_) return;
    const ByteView p(page);
    const uint64_t w = L_.idSize;
    for (uint32_t i = 0; i < info->count; ++i) {
      if (candidates.size() >= maxCandidates_) {
        ++unchecked;
        return;
      }
      const uint64_t off = uint64_t{i} * L_.nodeLeafEntrySize;
      NodeCandidate c;
      c.nid = p.U32(off).value_or(0);
      if (c.nid == 0) continue;
      c.dataBid = static_cast<uint32_t>(Id(L_, p, off + w));
      c.subBid = static_cast<uint32_t>(Id(L_, p, off + 2 * w));
      c.parent = p.U32(off + 3 * w).value_or(0);
      c.pageBid = t->bid;
      c.pageOffset = at;
      candidates.push_back(c);
    }
  }

  Store& store_;
  const VariantLayout& L_;
  uint64_t limit_;
  bool collect_;
  uint64_t crcBudget_;
  size_t maxCandidates_;
  uint64_t lastEnd_ = 0;  // end of the last block taken: blocks never overlap
};

// The method that turns most block heads into heaps.
int GuessEncryption(const std::deque<FoundBlock>& blocks) {
  std::array<uint64_t, 3> hits{};
  for (const FoundBlock& f : blocks) {
    if ((f.bid & 2u) || f.compressed()) continue;
    for (int m = 0; m < 3; ++m) {
      std::array<uint8_t, 4> h = f.head;
      DecodeBlock(std::as_writable_bytes(std::span(h)), m, f.bid);
      hits[static_cast<size_t>(m)] += HeapHead(h);
    }
  }
  int best = 0;
  for (int m = 1; m < 3; ++m) {
    if (hits[static_cast<size_t>(m)] > hits[static_cast<size_t>(best)]) best = m;
  }
  return best;
}

// The client signature of the heap the block starts (format::kBTypePc,
// format::kBTypeTc), or 0 when it starts none. Compressed blocks are inflated
// for it.
uint8_t HeapClient(Store& store, const FoundBlock& f) {
  std::array<uint8_t, 4> h = f.head;
  if (f.compressed()) {
    auto data = ReadBlockData(store, f.entry());
    if (!data || data->size() < 4) return 0;
    for (size_t i = 0; i < 4; ++i) h[i] = static_cast<uint8_t>((*data)[i]);
  }
  DecodeBlock(std::as_writable_bytes(std::span(h)), store.encryptionMethod, f.bid);
  if (h[2] != format::kHeapSignature || (h[3] != format::kBTypePc && h[3] != format::kBTypeTc)) return 0;
  return h[3];
}

// The live tree's entries in pre-order, each with its parent's NID.
template <typename Visit>
void WalkLive(const NodeTree& tree, Visit visit) {
  for (const NodeEntry* top = tree.head(); top; top = top->nextSibling) {
    for (const NodeEntry* n = top; n;) {
      visit(*n);
      if (n->firstChild) {
        n = n->firstChild;
        continue;
      }
      while (n != top && !n->nextSibling) n = n->parent;
      n = n == top ? nullptr : n->nextSibling;
    }
  }
}

}  // namespace

bool HeaderIntact(Store& store) {
  Buffer h;
  if (store.ReadRawBlock(0, kHeaderBytes, h) < 512) return false;
  const ByteView v{ByteSpan(h)};
  const Variant variant = VariantOfVersion(v.U16(10).value_or(0));
  if (variant == Variant::Unknown) return false;
  if (v.U32(4) != ComputeCrc(0, ByteSpan(h).subspan(8, 471))) return false;
  if (variant == Variant::Ansi) return true;
  return h.size() >= 528 && v.U32(524) == ComputeCrc(0, ByteSpan(h).subspan(8, 516));
}

bool LooksLikeStore(Store& store) {
  if (HeaderIntact(store)) return true;
  for (const VariantLayout* L : {&kUnicodeLayout, &kAnsiLayout, &kUnicode4KLayout}) {
    Pass probe(store, *L, kProbeBytes, false);
    if (probe.Run({}) && (!probe.blocks.empty() || probe.nodePages)) return true;
  }
  return false;
}

DeepScanResult DeepScan(Store& store, const StoreData* live, const DeepScanProgress& progress) {
  DeepScanResult out;
  out.data = std::make_shared<StoreData>();
  DeepScanReport& report = out.report;

  report.headerIntact = HeaderIntact(store) && store.layout();
  if (!report.headerIntact) {
    // The layout under which the file's first bytes show the most pages and
    // blocks.
    uint64_t best = 0;
    Variant chosen = Variant::Unknown;
    for (const VariantLayout* L : {&kUnicodeLayout, &kAnsiLayout, &kUnicode4KLayout}) {
      Pass probe(store, *L, kProbeBytes, false);
      if (!probe.Run({})) return out;
      const uint64_t score = probe.blocks.size() + 8 * probe.nodePages;
      if (score > best) {
        best = score;
        chosen = L->variant;
      }
    }
    store.variant = chosen;
  }
  report.variant = store.variant;
  const VariantLayout* L = store.layout();
  if (!L) return out;

  Pass pass(store, *L, store.fileSize(), true);
  if (!pass.Run(progress)) return out;
  if (!report.headerIntact) store.encryptionMethod = GuessEncryption(pass.blocks);
  report.encryptionMethod = store.encryptionMethod;
  if (!report.headerIntact) {
    out.data->scannedVariant = store.variant;
    out.data->scannedEncryption = store.encryptionMethod;
  }
  // Kept to the end: sorted and each once.
  for (uint32_t& bid : pass.references) bid &= ~1u;
  std::sort(pass.references.begin(), pass.references.end());
  pass.references.erase(std::unique(pass.references.begin(), pass.references.end()), pass.references.end());
  pass.references.shrink_to_fit();
  report.blocks = pass.blocks.size();
  report.nodePages = pass.nodePages;
  report.unchecked = pass.unchecked;

  // Blocks: the live list first, an entry whose block failed its checks (or
  // whose size differs from its trailer's) replaced by a block found with
  // the same BID; then every other block found, the first of each BID.
  BlockList& blocks = out.data->blocks;
  // The first found block of each BID: (BID, index) pairs sorted, a quarter
  // of a hash map's memory over this many blocks.
  std::vector<std::pair<uint32_t, uint32_t>> firstFound;
  firstFound.reserve(pass.blocks.size());
  for (size_t i = 0; i < pass.blocks.size(); ++i) {
    firstFound.emplace_back(pass.blocks[i].bid, static_cast<uint32_t>(i));
  }
  std::sort(firstFound.begin(), firstFound.end());
  auto firstWith = [&](uint32_t bid) -> const FoundBlock* {
    auto it = std::lower_bound(firstFound.begin(), firstFound.end(), std::pair<uint32_t, uint32_t>(bid, 0));
    return it != firstFound.end() && it->first == bid ? &pass.blocks[it->second] : nullptr;
  };
  auto foundAt = [&](uint64_t offset) -> const FoundBlock* {
    auto it = std::lower_bound(pass.blocks.begin(), pass.blocks.end(), offset,
                               [](const FoundBlock& f, uint64_t o) { return f.offset < o; });
    return it != pass.blocks.end() && it->offset == offset ? &*it : nullptr;
  };
  if (live) {
    for (const BlockEntry& e : live->blocks.entries()) {
      const FoundBlock* here = foundAt(e.offset);
      const FoundBlock* other = firstWith(e.bid);
      const bool holds = here && here->bid == e.bid && here->size == e.size;
      blocks.Append(holds || !other ? e : other->entry());
    }
  }
  for (const FoundBlock& f : pass.blocks) {
    if (!blocks.FindExact(f.bid)) blocks.Append(f.entry());
  }
  firstFound = {};
  auto block = [&](uint32_t bid) { return bid ? blocks.FindExact(bid & ~1u) : nullptr; };

  // Nodes: per NID the live entry, then the one whose blocks are all found,
  // then the one from the later page.
  for (const NodeCandidate& c : pass.candidates) {
    if (c.dataBid) out.namedBy.emplace_back(c.dataBid & ~1u, c.nid);
  }
  std::sort(out.namedBy.begin(), out.namedBy.end());
  out.namedBy.erase(std::unique(out.namedBy.begin(), out.namedBy.end()), out.namedBy.end());
  // The best candidate of each NID: sorted by NID, the intact ones first,
  // then the later pages, equal ones in file order; the first of each NID stays.
  std::vector<NodeCandidate>& best = pass.candidates;
  {
    auto intact = [&](const NodeCandidate& c) { return block(c.dataBid) && (!c.subBid || block(c.subBid)); };
    std::vector<bool> whole(best.size());
    for (size_t i = 0; i < best.size(); ++i) whole[i] = intact(best[i]);
    std::vector<uint32_t> order(best.size());
    for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](uint32_t x, uint32_t y) {
      const NodeCandidate &a = best[x], &b = best[y];
      if (a.nid != b.nid) return a.nid < b.nid;
      if (whole[x] != whole[y]) return bool(whole[x]);
      if (a.pageBid != b.pageBid) return a.pageBid > b.pageBid;
      if (a.pageOffset != b.pageOffset) return a.pageOffset > b.pageOffset;
      return x < y;
    });
    std::vector<NodeCandidate> sorted;
    sorted.reserve(order.size());
    for (uint32_t i : order) {
      if (sorted.empty() || sorted.back().nid != best[i].nid) sorted.push_back(best[i]);
    }
    best = std::move(sorted);
  }
  auto bestOf = [&](uint32_t nid) -> const NodeCandidate* {
    auto it = std::lower_bound(best.begin(), best.end(), nid,
                               [](const NodeCandidate& c, uint32_t n) { return c.nid < n; });
    return it != best.end() && it->nid == nid ? &*it : nullptr;
  };

  NodeTree& tree = out.data->nodes;
  std::vector<std::pair<NodeEntry*, uint32_t>> links;  // entry, parent NID
  std::unordered_map<uint32_t, NodeEntry*> byNid;
  if (live) {
    WalkLive(live->nodes, [&](const NodeEntry& n) {
      if (byNid.count(n.nid)) return;
      const BlockEntry* data = n.dataBlock ? block(n.dataBlock->bid) : nullptr;
      const BlockEntry* sub = n.subnodeBlock ? block(n.subnodeBlock->bid) : nullptr;
      uint32_t parent = n.parent ? n.parent->nid : 0;
      if (const NodeCandidate* c = bestOf(n.nid)) {
        if (!data && block(c->dataBid)) {
          data = block(c->dataBid);
          sub = block(c->subBid);
        }
        if (!parent) parent = c->parent;
      }
      NodeEntry* e = tree.Create(n.nid, sub, data);
      byNid.emplace(n.nid, e);
      links.emplace_back(e, parent);
    });
  }
  for (const NodeCandidate& c : best) {  // in NID order
    if (byNid.count(c.nid)) continue;
    NodeEntry* e = tree.Create(c.nid, block(c.subBid), block(c.dataBid));
    byNid.emplace(c.nid, e);
    links.emplace_back(e, c.parent);
  }
  for (auto [e, parent] : links) {
    auto it = parent && parent != e->nid ? byNid.find(parent) : byNid.end();
    if (it == byNid.end() || !tree.AppendChild(it->second, e)) tree.AppendTopLevel(e);
  }
  // What only the node tree needed goes before the orphans are sought.
  links = {};
  pass.candidates = {};

  // Orphans: property contexts that no node, subnode block or data tree
  // names, each given a message NID of its own.
  // Sorted BIDs: those data trees and subnode blocks name, then those of nodes.
  const std::vector<uint32_t>& referenced = pass.references;
  std::vector<uint32_t> ofNodes;
  ofNodes.reserve(byNid.size() * 2);
  for (const auto& [nid, e] : byNid) {
    if (e->dataBlock) ofNodes.push_back(e->dataBlock->bid & ~1u);
    if (e->subnodeBlock) ofNodes.push_back(e->subnodeBlock->bid & ~1u);
  }
  std::sort(ofNodes.begin(), ofNodes.end());
  auto named = [&](uint32_t bid) {
    return std::binary_search(referenced.begin(), referenced.end(), bid) ||
           std::binary_search(ofNodes.begin(), ofNodes.end(), bid);
  };
  uint32_t nextIndex = 0;
  for (const auto& [nid, e] : byNid) nextIndex = std::max(nextIndex, nid >> 5);
  auto orphan = [&](const BlockEntry* data) {
    uint32_t nid;
    do {
      nid = (++nextIndex << 5) | format::kNidTypeNormalMessage;
    } while (byNid.count(nid) && nextIndex < (1u << 27) - 1);
    if (byNid.count(nid)) return;
    NodeEntry* e = tree.Create(nid, nullptr, data);
    byNid.emplace(nid, e);
    tree.AppendTopLevel(e);
    out.orphanNids.push_back(nid);
  };
  std::vector<bool> isTreeBlock(pass.blocks.size(), false);
  for (uint32_t i : pass.dataTrees) isTreeBlock[i] = true;
  for (size_t i = 0; i < pass.blocks.size(); ++i) {
    if (store.StopRequested()) return out;
    const FoundBlock& f = pass.blocks[i];
    const BlockEntry* taken = blocks.FindExact(f.bid);
    if (!taken || taken->offset != f.offset || named(f.bid & ~1u)) continue;
    if (!(f.bid & 2u)) {
      const uint8_t client = HeapClient(store, f);
      if (client == format::kBTypePc) orphan(taken);
      if (client == format::kBTypeTc) out.orphanTables.push_back(taken->bid);
    } else if (isTreeBlock[i]) {
      // A data tree: its first data block tells what it holds.
      auto first = ReadBlockData(store, *taken);
      if (!first || first->size() < 16) continue;
      const ByteView b{ByteSpan(*first)};
      if (b.U8(1).value_or(0) != 1) continue;  // one level: the children are data blocks
      const BlockEntry* child = block(static_cast<uint32_t>(Id(*L, b, 8)));
      if (!child || (child->bid & 2u)) continue;
      auto head = foundAt(child->offset);
      const uint8_t client = head ? HeapClient(store, *head) : 0;
      if (client == format::kBTypePc) orphan(taken);
      if (client == format::kBTypeTc) out.orphanTables.push_back(taken->bid);
    }
  }
  // Subnode lists whose node is lost: an orphan's values stored in subnodes
  // are in one of them.
  for (uint32_t i : pass.subnodeLists) {
    const FoundBlock& f = pass.blocks[i];
    const BlockEntry* taken = blocks.FindExact(f.bid);
    if (taken && taken->offset == f.offset && !named(f.bid & ~1u)) out.orphanSubnodeLists.push_back(taken->bid);
  }
  report.orphans = out.orphanNids.size();
  report.nodeEntries = tree.createdCount();
  report.completed = true;
  return out;
}

}  // namespace velmorix::store
