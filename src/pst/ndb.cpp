#include "format/vocabulary.h"
#include "pst/ndb.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace velmorix::pst {
namespace {

constexpr size_t kPageSize = 512;
constexpr size_t kBufferLimit = 1 << 20;
constexpr int kBlockEntriesPerPage = 20;  // block leaf and intermediate entries
constexpr int kNodeEntriesPerPage = 15;
constexpr const Layout& kLayout = format::kUnicodeLayout;
const TreeLimits kLimits = TreeLimitsOf(kLayout);
const size_t kXBlockMax = kLimits.xblock;
const size_t kSlMax = kLimits.subnodeLeaf;
const size_t kSiMax = kLimits.subnodeIndex;
constexpr uint64_t kDensityListOffset = 0x4200;
constexpr size_t kDensityListEntries = 476 / 4;

// The free map follows the 128 intervals the header covers, one page per
// 496 intervals; the free-page map follows the 1,024 page maps the header
// covers, one page per 3,968 page maps. Published in [MS-PST]: a byte per
// allocation map (its longest free run) and a bit per page map, the
// header's initial 128-byte maps, and that readers must find these pages "at
// the correct intervals" with valid trailers; not published, and in no
// client file we have (all under 32 MB): that each sits in the first
// interval past what the one before covers, after that interval's page map.
constexpr uint64_t kFreeMapFirst = 128;
constexpr uint64_t kFreeMapEvery = 496;
constexpr uint64_t kFreePageMapFirst = 128 * 8 * 8;
constexpr uint64_t kFreePageMapEvery = 496 * 8 * 8;

bool HasPageMap(uint64_t k) { return k % 8 == 0; }
bool HasFreeMap(uint64_t k) { return k >= kFreeMapFirst && (k - kFreeMapFirst) % kFreeMapEvery == 0; }
bool HasFreePageMap(uint64_t k) {
  return k >= kFreePageMapFirst && (k - kFreePageMapFirst) % kFreePageMapEvery == 0;
}
uint64_t IntervalStart(uint64_t k) { return kFirstMapOffset + k * kMapInterval; }
uint64_t AlignUp(uint64_t v, uint64_t a) { return (v + a - 1) / a * a; }

void Put32(std::byte* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = std::byte(v >> (8 * i));
}

std::string Folder(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

NodeDatabase::NodeDatabase(std::string path, Encoding encoding) : path_(std::move(path)), encoding_(encoding) {
  struct stat st;
  if (::lstat(path_.c_str(), &st) == 0) throw WriteError(path_ + ": the file exists already");
  const std::string folder = Folder(path_);
  std::string name = path_.substr(path_.rfind('/') == std::string::npos ? 0 : path_.rfind('/') + 1);
  tempPath_ = folder + "/." + name + ".XXXXXX";
  std::vector<char> templ(tempPath_.begin(), tempPath_.end());
  templ.push_back('\0');
  fd_ = ::mkstemp(templ.data());
  if (fd_ < 0) {
    const int err = errno;
    tempPath_.clear();
    throw WriteError(path_ + ": cannot create a file in " + folder + ": " + std::strerror(err));
  }
  tempPath_.assign(templ.data());
  ::fchmod(fd_, 0644);
  EnterInterval(0);
}

NodeDatabase::~NodeDatabase() {
  if (fd_ >= 0) ::close(fd_);
  if (!committed_ && !tempPath_.empty()) ::unlink(tempPath_.c_str());
}

void NodeDatabase::Fail(const char* what, int err) const {
  throw WriteError(path_ + ": " + what + ": " + std::strerror(err));
}

uint64_t NodeDatabase::MapBytes(uint64_t k) const {
  uint64_t pages = 1;
  if (HasPageMap(k)) ++pages;
  if (HasFreeMap(k)) ++pages;
  if (HasFreePageMap(k)) ++pages;
  return pages * kPageSize;
}

void NodeDatabase::EnterInterval(uint64_t k) {
  interval_ = k;
  amap_.fill(0);
  MarkUsed(IntervalStart(k), MapBytes(k));
}

void NodeDatabase::MarkUsed(uint64_t offset, uint64_t size) {
  const uint64_t from = (offset - IntervalStart(interval_)) / 64;
  const uint64_t to = (offset + size - IntervalStart(interval_) + 63) / 64;
  for (uint64_t s = from; s < to; ++s) amap_[s / 8] |= static_cast<uint8_t>(0x80 >> (s % 8));
}

void NodeDatabase::CloseInterval() {
  uint64_t zeros = 0, run = 0, longest = 0;
  for (size_t s = 0; s < amap_.size() * 8; ++s) {
    if (amap_[s / 8] & (0x80 >> (s % 8))) {
      run = 0;
    } else {
      ++zeros;
      longest = std::max(longest, ++run);
    }
  }
  freeBytes_ += zeros * 64;
  longestFree_.push_back(static_cast<uint8_t>(std::min<uint64_t>(longest, 255)));
  freeSlots_.push_back(static_cast<uint16_t>(zeros));
  std::array<std::byte, 512> page{};
  std::memcpy(page.data(), amap_.data(), amap_.size());
  const uint64_t at = IntervalStart(interval_);
  WritePage(at, page, format::kPtypeAMap, at, false);
}

uint64_t NodeDatabase::Allocate(uint64_t size, uint64_t align) {
  for (;;) {
    uint64_t pos = AlignUp(cursor_, align);
    const uint64_t k = (pos - kFirstMapOffset) / kMapInterval;
    while (k > interval_) {
      CloseInterval();
      EnterInterval(interval_ + 1);
    }
    const uint64_t start = IntervalStart(k);
    pos = std::max(pos, AlignUp(start + MapBytes(k), align));
    if (pos + size <= start + kMapInterval) {
      MarkUsed(pos, size);
      cursor_ = pos + size;
      return pos;
    }
    cursor_ = start + kMapInterval;
  }
}

void NodeDatabase::WriteAt(uint64_t offset, ByteRange data) {
  while (!data.empty()) {
    const ssize_t n = ::pwrite(fd_, data.data(), data.size(), static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail("cannot write", errno);
    }
    if (n == 0) Fail("cannot write", ENOSPC);
    data = data.subspan(static_cast<size_t>(n));
    offset += static_cast<uint64_t>(n);
  }
}

void NodeDatabase::Patch(uint64_t offset, ByteRange data) {
  if (offset < flushed_) {
    const size_t head = static_cast<size_t>(std::min<uint64_t>(data.size(), flushed_ - offset));
    WriteAt(offset, data.first(head));
    data = data.subspan(head);
    offset += head;
    if (data.empty()) return;
  }
  const size_t at = static_cast<size_t>(offset - flushed_);
  if (buffer_.size() < at + data.size()) buffer_.resize(at + data.size());
  if (!data.empty()) std::memcpy(buffer_.data() + at, data.data(), data.size());
}

void NodeDatabase::Emit(uint64_t offset, ByteRange data) {
  Patch(offset, data);
  if (buffer_.size() >= kBufferLimit) Flush();
}

void NodeDatabase::Flush() {
  if (buffer_.empty()) return;
  WriteAt(flushed_, buffer_);
  flushed_ += buffer_.size();
  buffer_.clear();
}

void NodeDatabase::WritePage(uint64_t offset, std::array<std::byte, 512>& page, uint8_t ptype, uint64_t bid,
                             bool signed_) {
  SealPage(kLayout, page, ptype, offset, bid, signed_);
  Emit(offset, page);
}

uint64_t NodeDatabase::WriteBlock(ByteRange data, bool internal) {
  if (data.size() > kMaxBlockData) throw WriteError(path_ + ": a block is too large");
  const uint64_t stored = kLayout.StoredBlockSize(data.size());
  const uint64_t pos = Allocate(stored, 64);
  const uint64_t bid = BidAt(blocks_.size(), internal);
  nextBid_ = BidAt(blocks_.size() + 1, false);
  if (pos >> 48) throw WriteError(path_ + ": the file is larger than the format allows");
  Bytes block(stored);
  if (!data.empty()) std::memcpy(block.data(), data.data(), data.size());
  if (!internal) EncodeBlockData(std::span(block.data(), data.size()), encoding_, bid);
  const auto cb = static_cast<uint16_t>(data.size());
  SealBlock(kLayout, block, cb, pos, bid, cb);
  Emit(pos, block);
  blocks_.push_back({pos | (uint64_t{data.size()} << 48) | (uint64_t{internal} << 62)});
  return bid;
}

uint64_t NodeDatabase::AddBlock(ByteRange data) { return WriteBlock(data, false); }

uint64_t NodeDatabase::AddData(ByteRange data) {
  if (data.size() <= kMaxBlockData) return AddBlock(data);
  DataStream s(*this);
  s.Write(data);
  return s.Finish();
}

uint64_t NodeDatabase::AddTree(const std::vector<uint64_t>& bids, const std::vector<uint32_t>& sizes) {
  uint64_t total = 0;
  for (uint32_t s : sizes) total += s;
  if (total > 0xFFFFFFFFu || bids.size() > kXBlockMax * kXBlockMax || bids.size() != sizes.size()) {
    throw WriteError(path_ + ": a value is larger than the format allows");
  }
  return WriteDataTree(kLayout, bids, sizes, [&](const Bytes& b) { return WriteBlock(b, true); });
}

uint64_t NodeDatabase::AddSubnodes(std::vector<SubnodeRef> entries) {
  if (entries.empty()) return 0;
  std::sort(entries.begin(), entries.end(), [](const SubnodeRef& a, const SubnodeRef& b) { return a.nid < b.nid; });
  if (entries.size() > kSlMax * kSiMax) throw WriteError(path_ + ": an object has too many parts");
  return WriteSubnodeTree(kLayout, entries, [&](const Bytes& b) { return WriteBlock(b, true); });
}

void NodeDatabase::AddNode(uint32_t nid, uint64_t dataBid, uint64_t subnodeBid, uint32_t parentNid) {
  nodes_.push_back({nid, parentNid, dataBid, subnodeBid});
}

uint64_t NodeDatabase::WriteTreePage(const std::byte* entries, size_t count, size_t entrySize, int maxEntries,
                                     int level, uint8_t ptype, uint64_t* bidOut) {
  std::array<std::byte, 512> page{};
  std::memcpy(page.data(), entries, count * entrySize);
  PutBTreeMeta(kLayout, page, count, static_cast<size_t>(maxEntries), entrySize, level);
  const uint64_t at = Allocate(kPageSize, kPageSize);
  const uint64_t bid = nextPageBid_++;
  WritePage(at, page, ptype, bid, true);
  *bidOut = bid;
  return at;
}

NodeDatabase::PageRef NodeDatabase::BuildUpper(std::vector<PageRef> level, uint8_t ptype, int height) {
  while (level.size() > 1) {
    std::vector<PageRef> next;
    for (size_t from = 0; from < level.size(); from += kBlockEntriesPerPage) {
      const size_t count = std::min<size_t>(kBlockEntriesPerPage, level.size() - from);
      std::vector<std::byte> e(24 * count);
      for (size_t i = 0; i < count; ++i) {
        PutIntermediateEntry(kLayout, e.data() + 24 * i, level[from + i].key, level[from + i].bid, level[from + i].ib);
      }
      PageRef r{level[from].key, 0, 0};
      r.ib = WriteTreePage(e.data(), count, 24, kBlockEntriesPerPage, height, ptype, &r.bid);
      next.push_back(r);
    }
    level = std::move(next);
    ++height;
  }
  return level.front();
}

NodeDatabase::PageRef NodeDatabase::BuildBlockTree() {
  std::vector<PageRef> leaves;
  const size_t n = blocks_.size();
  for (size_t from = 0; from < std::max<size_t>(n, 1); from += kBlockEntriesPerPage) {
    const size_t count = std::min<size_t>(kBlockEntriesPerPage, n - from);
    std::vector<std::byte> e(24 * std::max<size_t>(count, 1));
    for (size_t i = 0; i < count; ++i) {
      const BlockEntry& b = blocks_[from + i];
      // The index's own reference and the one node or tree that uses the block.
      PutBlockLeafEntry(kLayout, e.data() + 24 * i, BidAt(from + i, b.internal()), b.ib(), b.cb(), 2, b.cb());
    }
    PageRef r{count ? BidAt(from, blocks_[from].internal()) : 0, 0, 0};
    r.ib = WriteTreePage(e.data(), count, 24, kBlockEntriesPerPage, 0, format::kPtypeBbt, &r.bid);
    leaves.push_back(r);
  }
  return BuildUpper(std::move(leaves), format::kPtypeBbt, 1);
}

NodeDatabase::PageRef NodeDatabase::BuildNodeTree() {
  std::sort(nodes_.begin(), nodes_.end(), [](const NodeEntry& a, const NodeEntry& b) { return a.nid < b.nid; });
  for (size_t i = 1; i < nodes_.size(); ++i) {
    if (nodes_[i].nid == nodes_[i - 1].nid) throw WriteError(path_ + ": two nodes share an id");
  }
  std::vector<PageRef> leaves;
  const size_t n = nodes_.size();
  for (size_t from = 0; from < std::max<size_t>(n, 1); from += kNodeEntriesPerPage) {
    const size_t count = std::min<size_t>(kNodeEntriesPerPage, n - from);
    std::vector<std::byte> e(32 * std::max<size_t>(count, 1));
    for (size_t i = 0; i < count; ++i) {
      const NodeEntry& x = nodes_[from + i];
      PutNodeLeafEntry(kLayout, e.data() + 32 * i, x.nid, x.dataBid, x.subnodeBid, x.parent);
    }
    PageRef r{count ? nodes_[from].nid : 0u, 0, 0};
    r.ib = WriteTreePage(e.data(), count, 32, kNodeEntriesPerPage, 0, format::kPtypeNbt, &r.bid);
    leaves.push_back(r);
  }
  return BuildUpper(std::move(leaves), format::kPtypeNbt, 1);
}

// The density list as clients write it: every interval but the one being
// filled (the last), most free 64-byte slots first, with the flag that the
// allocation maps are complete once there is more than one interval. Its
// trailer carries the next page BID, which the header keeps as it is.
void NodeDatabase::WriteDensityList() {
  const uint64_t current = interval_;
  std::vector<uint64_t> others;
  for (uint64_t k = 0; k < freeSlots_.size(); ++k) {
    if (k != current) others.push_back(k);
  }
  std::stable_sort(others.begin(), others.end(), [&](uint64_t a, uint64_t b) { return freeSlots_[a] > freeSlots_[b]; });
  if (others.size() > kDensityListEntries) others.resize(kDensityListEntries);
  std::array<std::byte, 512> page{};
  page[0] = std::byte(freeSlots_.size() > 1 ? 1 : 0);
  page[1] = std::byte(others.size());
  Put32(&page[4], static_cast<uint32_t>(current));
  for (size_t i = 0; i < others.size(); ++i) {
    Put32(&page[8 + 4 * i], static_cast<uint32_t>((others[i] & 0xFFFFF) | (uint64_t{freeSlots_[others[i]]} << 20)));
  }
  WritePage(kDensityListOffset, page, format::kPtypeDl, nextPageBid_, true);
}

void NodeDatabase::Commit(const NidCounters& counters) {
  const PageRef blockRoot = BuildBlockTree();
  const PageRef nodeRoot = BuildNodeTree();
  CloseInterval();
  const uint64_t last = interval_;
  const uint64_t fileEnd = IntervalStart(last + 1);

  // The deprecated maps, kept at their places with valid trailers.
  for (uint64_t k = 0; k <= last; ++k) {
    uint64_t at = IntervalStart(k) + kPageSize;
    if (HasPageMap(k)) {
      std::array<std::byte, 512> page{};
      std::memset(page.data(), 0xFF, 496);
      WritePage(at, page, format::kPtypePMap, at, false);
      at += kPageSize;
    }
    if (HasFreeMap(k)) {
      std::array<std::byte, 512> page{};
      for (uint64_t i = 0; i < 496 && k + i <= last; ++i) page[i] = std::byte(longestFree_[k + i]);
      WritePage(at, page, format::kPtypeFMap, at, false);
      at += kPageSize;
    }
    if (HasFreePageMap(k)) {
      std::array<std::byte, 512> page{};
      std::memset(page.data(), 0xFF, 496);
      WritePage(at, page, format::kPtypeFPMap, at, false);
    }
  }
  WriteDensityList();
  Flush();
  if (::ftruncate(fd_, static_cast<off_t>(fileEnd)) != 0) Fail("cannot write", errno);
  cursor_ = fileEnd;

  UnicodeHeader header;
  header.nextPageBid = nextPageBid_;
  header.nextBid = nextBid_;
  std::copy(counters.begin(), counters.end(), header.nidCounters.begin());
  header.fileEnd = fileEnd;
  header.lastAMap = IntervalStart(last);
  header.amapFree = freeBytes_;
  header.nodeRootBid = nodeRoot.bid;
  header.nodeRootIb = nodeRoot.ib;
  header.blockRootBid = blockRoot.bid;
  header.blockRootIb = blockRoot.ib;
  header.encoding = encoding_;
  const auto h = EncodeUnicodeHeader(header);
  WriteAt(0, h);
  if (::fsync(fd_) != 0) Fail("cannot write", errno);
  ::close(fd_);
  fd_ = -1;
  // A hard link never replaces an existing file, unlike a rename.
  if (::link(tempPath_.c_str(), path_.c_str()) != 0) {
    const int err = errno;
    if (err == EEXIST) throw WriteError(path_ + ": the file exists already");
    Fail("cannot name the file", err);
  }
  ::unlink(tempPath_.c_str());
  committed_ = true;
}

void DataStream::Write(ByteRange data) {
  total_ += data.size();
  while (!data.empty()) {
    const size_t take = std::min(kMaxBlockData - pending_.size(), data.size());
    pending_.insert(pending_.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(take));
    data = data.subspan(take);
    if (pending_.size() == kMaxBlockData) {
      bids_.push_back(db_.AddBlock(pending_));
      pending_.clear();
    }
  }
}

uint64_t DataStream::Finish() {
  if (bids_.empty()) return pending_.empty() ? 0 : db_.AddBlock(pending_);
  const size_t last = pending_.size();
  if (last) bids_.push_back(db_.AddBlock(pending_));
  if (bids_.size() == 1) return bids_.front();
  std::vector<uint32_t> sizes(bids_.size(), static_cast<uint32_t>(kMaxBlockData));
  if (last) sizes.back() = static_cast<uint32_t>(last);
  return db_.AddTree(bids_, sizes);
}

}  // namespace velmorix::pst
