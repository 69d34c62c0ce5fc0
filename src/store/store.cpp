// The store file: opening, header, raw reads, block lookups and data trees.
#include "store/store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "format/vocabulary.h"

namespace velmorix::store {

namespace {

constexpr size_t kHeaderSize = 564;  // the Unicode header; the ANSI one is 512

constexpr int kVersion4K = 36;

// A version after 36 is read with the 4 KiB-page layout only when one of the
// index roots the header names is a page of that layout.
bool HasIndexRootPage(Store& store) {
  const VariantLayout& L = *store.layout();
  for (auto [offset, ptype] : {std::pair{store.nodeRootOffset, format::kPtypeNbt},
                               std::pair{store.blockRootOffset, format::kPtypeBbt}}) {
    auto page = ReadPage(store, offset);
    if (!page) continue;
    auto t = ReadPageTrailer(L, *page);
    if (t && t->ptype == ptype && t->ptypeRepeat == ptype) return true;
  }
  return false;
}

}  // namespace

const BlockEntry& BlockList::Append(const BlockEntry& e) {
  entries_.push_back(e);
  // Keeps the first entry for a BID; entries past what the map can number
  // stay in the list unindexed.
  if (entries_.size() <= IdMap::kMaxPositions) {
    first_.InsertFirst(e.bid, static_cast<uint32_t>(entries_.size() - 1));
  }
  return entries_.back();
}

const BlockEntry* BlockList::FindExact(uint32_t bid) const {
  const uint32_t at = first_.Find(bid);
  return at == IdMap::kNone ? nullptr : &entries_[at];
}

const SubnodeList* SubnodeRegistry::Register(SubnodeList list) {
  std::lock_guard lock(mutex_);
  lists_.push_back(std::move(list));
  return &lists_.back();
}

Store::Store() : data(std::make_shared<StoreData>()) {}

Store::~Store() {
  if (fd_ >= 0) ::close(fd_);  // also releases the advisory lock
}

int OpenStore(Store& store, const std::string& path, bool lock) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (lock && ::flock(fd, LOCK_EX | LOCK_NB) != 0)) {
    ::close(fd);
    return -1;
  }
  if (store.fd_ >= 0) ::close(store.fd_);
  store.fd_ = fd;
  store.path_ = path;
  store.fileSize_ = static_cast<uint64_t>(st.st_size);

  // Header bytes beyond the end of a short file count as zero.
  Buffer header;
  store.ReadRawBlock(0, kHeaderSize, header);
  header.resize(kHeaderSize, std::byte{0});
  ByteView h{ByteSpan(header)};

  store.version = *h.U16(10);
  store.variant = VariantOfVersion(static_cast<uint32_t>(store.version));
  store.encryptionMethod = 0;
  store.nodeRootOffset = 0;
  store.blockRootOffset = 0;
  store.headerFileEof = 0;
  store.indexPagesLost = 0;
  store.nodesWithoutBlocks = 0;
  if (store.variant == Variant::Ansi) {
    // The method byte and the reserved byte after it, read as one value: a
    // non-zero reserved byte makes the method unknown.
    store.encryptionMethod = *h.U16(461);
    store.nodeRootOffset = *h.U32(188);
    store.blockRootOffset = *h.U32(196);
    store.headerFileEof = *h.U32(168);
  } else if (store.variant != Variant::Unknown) {
    store.encryptionMethod = *h.U8(513);
    store.nodeRootOffset = *h.U64(224);
    store.blockRootOffset = *h.U64(240);
    store.headerFileEof = *h.U64(184);
    if (store.version > kVersion4K && !HasIndexRootPage(store)) {
      store.variant = Variant::Unknown;
      store.headerFileEof = 0;
    }
  }
  store.blockLeafLevel = 255;
  store.nodeLeafLevel = 255;
  store.blockLeafSeen = false;
  store.nodeLeafSeen = false;
  return 0;
}

uint32_t Store::ReadRawBlock(uint64_t offset, uint32_t count, Buffer& out) {
  out.clear();
  if (fd_ < 0) throw IoError("store file is not open");
  if (offset >= fileSize_) return 0;
  // Never allocate more than the file can hold from this offset.
  const uint64_t avail = fileSize_ - offset;
  const size_t want = static_cast<size_t>(count < avail ? count : avail);
  out.resize(want);
  size_t done = 0;
  while (done < want) {
    ssize_t n = ::pread(fd_, out.data() + done, want - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      out.clear();
      throw IoError(std::string("read error: ") + std::strerror(errno));
    }
    if (n == 0) break;  // the file ended early
    done += static_cast<size_t>(n);
  }
  out.resize(done);
  return static_cast<uint32_t>(done);
}

uint64_t Store::ReadAt(uint64_t offset, std::span<std::byte> out) {
  if (fd_ < 0) throw IoError("store file is not open");
  if (offset >= fileSize_) return 0;
  const uint64_t want = std::min<uint64_t>(out.size(), fileSize_ - offset);
  uint64_t done = 0;
  while (done < want) {
    ssize_t n = ::pread(fd_, out.data() + done, want - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw IoError(std::string("read error: ") + std::strerror(errno));
    }
    if (n == 0) break;
    done += static_cast<uint64_t>(n);
  }
  return done;
}

const BlockEntry* FindBlock(const Store& store, uint32_t bid) {
  if (bid == 0 || store.data->blocks.empty()) return nullptr;
  return store.data->blocks.FindExact(bid & ~1u);
}

NodeEntry* FindNode(const Store& store, uint32_t nid) { return store.data->nodes.Find(nid); }

uint64_t BlockOffset(const Store& store, uint32_t bid) {
  const BlockEntry* e = FindBlock(store, bid);
  return e ? e->offset : 0;
}

namespace {

// ReadBlockData, inline in the readers of this file: every node's data comes
// through here.
[[gnu::always_inline]] inline std::optional<Buffer> ReadBlock(Store& store, const BlockEntry& e) {
  if (e.size <= 0) return std::nullopt;
  if (!e.compressed()) {
    Buffer buf;
    if (store.ReadRawBlock(e.offset, static_cast<uint32_t>(e.size), buf) < static_cast<uint32_t>(e.size)) {
      return std::nullopt;
    }
    return buf;
  }
  // The stored stream is needed only until it is inflated: one buffer serves
  // every compressed block. Several threads build items of one store (the
  // scan's helpers, item readers beside it): each inflates with its own.
  if (e.inflatedSize <= 0) return std::nullopt;
  thread_local Inflater inflater;
  Buffer& stream = inflater.input;
  if (store.ReadRawBlock(e.offset, static_cast<uint32_t>(e.size), stream) < static_cast<uint32_t>(e.size)) {
    return std::nullopt;
  }
  return inflater.Inflate(stream, static_cast<uint32_t>(e.inflatedSize));
}

void Decode(Store& store, const BlockEntry& e, Buffer& buf) {
  if (store.encryptionMethod == kEncodeNone) return;
  if (DecodeBlock(buf, store.encryptionMethod, e.bid) != 0 && !store.unknownEncryptionShown) {
    // An unknown method: the block is used as stored, and the user is told once.
    store.unknownEncryptionShown = true;
    if (store.onUnknownEncryption) store.onUnknownEncryption();
  }
}

// Appends the decoded data blocks under `bid` to `out`. `level` is the most
// tree levels the block may still have (2 at the top: XXBLOCK, XBLOCK, data).
bool CollectDataBlocks(Store& store, uint32_t bid, int level, uint64_t& budget,
                       std::vector<Buffer>& out) {
  const BlockEntry* e = FindBlock(store, bid);
  if (!e) return false;
  auto buf = ReadBlock(store, *e);
  if (!buf) return false;
  const bool internal = (bid & 2u) != 0;
  ByteView v{ByteSpan(*buf)};
  if (!internal || *v.U8(0) != format::kBtypeDataTree) {
    // A plain data block, or an internal BID whose block is not a data tree.
    if (buf->size() > budget) return false;
    budget -= buf->size();
    Decode(store, *e, *buf);
    out.push_back(std::move(*buf));
    return true;
  }
  auto treeLevel = v.U8(1);
  auto count = v.U16(2);
  if (!treeLevel || !count || *treeLevel < 1 || *treeLevel > level) return false;
  const VariantLayout* L = store.layout();
  if (!L) return false;
  const size_t width = L->idSize;
  for (size_t i = 0; i < *count; ++i) {
    auto child = v.U32(8 + i * width);
    if (!child || !v.Contains(8 + i * width, width)) return false;
    if (*treeLevel == 1) {
      const BlockEntry* ce = FindBlock(store, *child);
      if (!ce) return false;
      auto cb = ReadBlock(store, *ce);
      if (!cb || cb->size() > budget) return false;
      budget -= cb->size();
      Decode(store, *ce, *cb);
      out.push_back(std::move(*cb));
    } else if (!CollectDataBlocks(store, *child, *treeLevel - 1, budget, out)) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::optional<Buffer> ReadPage(Store& store, uint64_t offset) {
  const VariantLayout* L = store.layout();
  if (!L) return std::nullopt;
  Buffer page;
  if (store.ReadRawBlock(offset, L->pageSize, page) < L->pageSize) return std::nullopt;
  return page;
}

std::optional<Buffer> ReadBlockData(Store& store, const BlockEntry& e) { return ReadBlock(store, e); }

uint64_t DataBudget(const Store& store) {
  const VariantLayout* L = store.layout();
  if (!L || !L->compressed) return store.fileSize();
  // Each block takes at least one alignment unit of the file and inflates to
  // at most the largest block.
  return store.fileSize() * (kMaxInflatedBlock / L->blockAlignment);
}

std::optional<Buffer> ReadNodeBlock(Store& store, uint32_t bid) {
  const BlockEntry* e = FindBlock(store, bid);
  if (!e) return std::nullopt;
  auto buf = ReadBlock(store, *e);
  if (!buf) return std::nullopt;
  Decode(store, *e, *buf);
  return buf;
}

std::optional<std::vector<Buffer>> ReadDataBlocks(Store& store, uint32_t bid) {
  uint64_t budget = DataBudget(store);
  std::vector<Buffer> blocks;
  if (!CollectDataBlocks(store, bid, 2, budget, blocks)) return std::nullopt;
  return blocks;
}

std::optional<Buffer> ReadDataTree(Store& store, uint32_t bid) {
  auto blocks = ReadDataBlocks(store, bid);
  if (!blocks) return std::nullopt;
  if (blocks->size() == 1) return std::move(blocks->front());
  size_t total = 0;
  for (const auto& b : *blocks) total += b.size();
  Buffer out;
  out.reserve(total);
  for (const auto& b : *blocks) out.insert(out.end(), b.begin(), b.end());
  return out;
}

}  // namespace velmorix::store
