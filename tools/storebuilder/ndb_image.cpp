// The builder's file image: segments of bytes keyed by file offset, the
// whole file or a sparse file written from them, and the helpers that damage
// a finished image on purpose.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iterator>
#include <stdexcept>
#include <system_error>

#include "storebuilder/ndb.h"

namespace velmorix::storebuilder {
namespace {

constexpr uint64_t kMaxSegmentGap = 0x10000;  // smaller gaps are zero-filled, larger ones stay holes

void PutU16(std::byte* p, uint16_t v) {
  for (int i = 0; i < 2; ++i) p[i] = static_cast<std::byte>(v >> (8 * i));
}
void PutU32(std::byte* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::byte>(v >> (8 * i));
}

}  // namespace

// Pointer to [offset, offset + length) of the image, creating or growing a
// segment as needed. Valid until the next call.
std::byte* NdbWriter::At(uint64_t offset, uint64_t length) {
  auto next = segments_.upper_bound(offset);
  if (next != segments_.begin()) {
    auto prev = std::prev(next);
    Buffer& buf = prev->second;
    const uint64_t start = prev->first;
    if (offset + length <= start + buf.size()) return buf.data() + (offset - start);
    if (offset <= start + buf.size() + kMaxSegmentGap &&
        (next == segments_.end() || offset + length <= next->first)) {
      buf.resize(offset + length - start);
      return buf.data() + (offset - start);
    }
  }
  if (next != segments_.end() && offset + length > next->first) {
    throw std::logic_error("write across image segments");
  }
  Buffer& buf = segments_[offset];
  buf.assign(length, std::byte{0});
  return buf.data();
}

void NdbWriter::ReserveAtCursor(uint64_t bytes) {
  auto it = segments_.upper_bound(cursor_);
  if (it == segments_.begin()) return;
  --it;
  Buffer& buf = it->second;
  if (it->first + buf.size() + kMaxSegmentGap < cursor_) return;  // the cursor starts a new segment
  const uint64_t want = cursor_ - it->first + bytes;
  if (want > buf.capacity()) buf.reserve(want);
}

Buffer NdbWriter::Build() {
  Finish();
  Buffer out(fileSize_);
  for (const auto& [start, buf] : segments_) {
    if (start >= fileSize_) break;
    const uint64_t n = std::min<uint64_t>(buf.size(), fileSize_ - start);
    std::memcpy(out.data() + start, buf.data(), n);
  }
  return out;
}

void NdbWriter::Write(const std::string& path) {
  Finish();
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "cannot create " + path);
  auto fail = [&](const char* what) {
    const int err = errno;
    ::close(fd);
    throw std::system_error(err, std::generic_category(), std::string(what) + " " + path);
  };
  // Size the file first: whatever is not written below stays a hole.
  if (::ftruncate(fd, static_cast<off_t>(fileSize_)) != 0) fail("cannot size");
  for (const auto& [start, buf] : segments_) {
    if (start >= fileSize_) break;
    uint64_t n = std::min<uint64_t>(buf.size(), fileSize_ - start);
    uint64_t done = 0;
    while (done < n) {
      const ssize_t w = ::pwrite(fd, buf.data() + done, n - done, static_cast<off_t>(start + done));
      if (w < 0) {
        if (errno == EINTR) continue;
        fail("cannot write");
      }
      done += static_cast<uint64_t>(w);
    }
  }
  if (::close(fd) != 0) throw std::system_error(errno, std::generic_category(), "cannot close " + path);
}

// --- Damage helpers --------------------------------------------------------

void NdbWriter::PatchBytes(uint64_t offset, std::span<const std::byte> bytes) {
  RequireFinished();
  if (bytes.empty()) return;
  std::memcpy(At(offset, bytes.size()), bytes.data(), bytes.size());
}

void NdbWriter::PatchId(uint64_t offset, uint64_t value) {
  RequireFinished();
  pst::PutId(variantLayout(), At(offset, idSize()), value);
}

uint64_t NdbWriter::EntryOffset(IndexTree tree, int level, size_t page, int entry) const {
  const Geometry g = GeometryOf(options_.format);
  const auto& levels = tree == IndexTree::Block ? layout_.blockPages : layout_.nodePages;
  if (level < 0 || static_cast<size_t>(level) >= levels.size() || page >= levels[level].size()) {
    throw std::out_of_range("no such index page");
  }
  const int size = level > 0 || tree == IndexTree::Block ? g.btEntrySize : g.nodeEntrySize;
  const int max = level > 0 || tree == IndexTree::Block ? g.btEntryMax : g.nodeEntryMax;
  if (entry < 0 || entry >= max) throw std::out_of_range("no such page entry");
  return levels[level][page].offset + static_cast<uint64_t>(entry) * size;
}

void NdbWriter::SetPageEntryKey(IndexTree tree, int level, size_t page, int entry, uint64_t key) {
  RequireFinished();
  const uint64_t at = EntryOffset(tree, level, page, entry);
  PatchId(at, key);
  RefreshPageCrc(PageOf(at));
}

void NdbWriter::SetChildOffset(IndexTree tree, int level, size_t page, int entry, uint64_t offset) {
  RequireFinished();
  if (level < 1) throw std::invalid_argument("leaf entries have no child offset");
  const uint64_t at = EntryOffset(tree, level, page, entry);
  PatchId(at + 2 * idSize(), offset);
  RefreshPageCrc(PageOf(at));
}

void NdbWriter::SetBlockEntrySize(uint32_t bid, uint16_t size) {
  RequireFinished();
  const BlockLocation* loc = layout_.FindBlock(bid);
  if (!loc || loc->entryOffset == 0) throw std::invalid_argument("block is not in the block index");
  PutU16(At(loc->entryOffset + 2 * idSize(), 2), size);
  RefreshPageCrc(PageOf(loc->entryOffset));
}

void NdbWriter::SetBlockEntryInflatedSize(uint32_t bid, uint16_t size) {
  RequireFinished();
  const format::VariantLayout& L = variantLayout();
  if (!L.blockInflatedAt) throw std::logic_error("this format has no inflated sizes");
  const BlockLocation* loc = layout_.FindBlock(bid);
  if (!loc || loc->entryOffset == 0) throw std::invalid_argument("block is not in the block index");
  PutU16(At(loc->entryOffset + L.blockInflatedAt, 2), size);
  RefreshPageCrc(PageOf(loc->entryOffset));
}

uint64_t NdbWriter::PageOf(uint64_t offset) const {
  const uint64_t pageSize = variantLayout().pageSize;
  return offset / pageSize * pageSize;
}

void NdbWriter::RefreshPageCrc(uint64_t offset) {
  RequireFinished();
  const format::VariantLayout& L = variantLayout();
  std::byte* p = At(offset, L.pageSize);
  PutU32(p + L.pageTrailerAt() + L.pageTrailer.crcAt, ComputeCrc(0, {p, L.pageTrailerAt()}));
}

void NdbWriter::RefreshBlockCrc(uint32_t bid) {
  RequireFinished();
  const format::VariantLayout& L = variantLayout();
  const BlockLocation* loc = layout_.FindBlock(bid);
  if (!loc) throw std::invalid_argument("no such block");
  const uint64_t stored = L.StoredBlockSize(loc->size);
  std::byte* p = At(loc->offset, stored);
  std::byte* t = p + stored - L.blockTrailer.size;
  PutU32(t + L.blockTrailer.crcAt, ComputeCrc(0, {p, loc->size}));
}

void NdbWriter::Truncate(uint64_t size) {
  RequireFinished();
  fileSize_ = size;
  layout_.fileSize = size;
}

}  // namespace velmorix::storebuilder
