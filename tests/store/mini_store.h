// A tiny writer of index pages and blocks for the store tests: it lays out
// exactly the entries a test names, in the order named, so that the walks can
// be checked on damaged and unusual pages. Trailers and CRCs are not written
// (the reader never looks at them).
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "store/bytes.h"
#include "temp_files.h"

namespace velmorix::testing {

struct BlockLeaf {
  uint32_t bid;
  uint64_t offset;
  uint16_t size;
};
struct NodeLeaf {
  uint32_t nid;
  uint32_t dataBid;
  uint32_t subBid;
  uint32_t parent;
};
struct Child {
  uint32_t key;
  uint64_t offset;
};

class MiniStore {
 public:
  explicit MiniStore(bool unicode, int method = 0, uint64_t base = 0x4400)
      : unicode_(unicode), base_(base) {
    header_.assign(0x4400, std::byte{0});
    Put16(header_, 10, unicode ? 23 : 14);
    if (unicode) header_[513] = std::byte(method); else header_[461] = std::byte(method);
  }

  size_t wide() const { return unicode_ ? 8 : 4; }

  void SetVersion(uint16_t v) { Put16(header_, 10, v); }
  void SetHeaderByte(size_t off, uint8_t v) { header_[off] = std::byte{v}; }

  // Appends a 512-byte page of raw entries and returns its offset.
  uint64_t Page(const std::vector<std::byte>& entries) {
    Align(512);
    uint64_t off = End();
    std::vector<std::byte> page(512, std::byte{0});
    for (size_t i = 0; i < entries.size() && i < page.size(); ++i) page[i] = entries[i];
    body_.insert(body_.end(), page.begin(), page.end());
    return off;
  }

  uint64_t BlockLeafPage(const std::vector<BlockLeaf>& es) {
    std::vector<std::byte> b;
    for (const auto& e : es) {
      PutW(b, e.bid);
      PutW(b, e.offset);
      Put(b, e.size, 2);
      Put(b, 2, 2);
      if (unicode_) Put(b, 0, 4);
    }
    return Page(b);
  }

  uint64_t NodeLeafPage(const std::vector<NodeLeaf>& es) {
    std::vector<std::byte> b;
    for (const auto& e : es) {
      PutW(b, e.nid);
      PutW(b, e.dataBid);
      PutW(b, e.subBid);
      Put(b, e.parent, 4);
      if (unicode_) Put(b, 0, 4);
    }
    return Page(b);
  }

  uint64_t IntermediatePage(const std::vector<Child>& cs) {
    std::vector<std::byte> b;
    for (const auto& c : cs) {
      PutW(b, c.key);
      PutW(b, 0);
      PutW(b, c.offset);
    }
    return Page(b);
  }

  // Appends a block's bytes (64-byte aligned) and returns its offset.
  uint64_t Block(const std::vector<std::byte>& data) {
    Align(64);
    uint64_t off = End();
    body_.insert(body_.end(), data.begin(), data.end());
    return off;
  }

  void SetRoots(uint64_t blockRoot, uint64_t nodeRoot) {
    if (unicode_) {
      Put64(header_, 224, nodeRoot);
      Put64(header_, 240, blockRoot);
    } else {
      Put32(header_, 188, static_cast<uint32_t>(nodeRoot));
      Put32(header_, 196, static_cast<uint32_t>(blockRoot));
    }
  }

  // Writes the file; the body starts at `base` (a hole before it when base
  // lies beyond the header area).
  std::string Write(const std::string& name) const {
    // Unique per process: tests run in parallel.
    auto path = velmorix::testing::RemovedAtExit(
        (std::filesystem::temp_directory_path() / (std::to_string(::getpid()) + "_" + name)).string());
    std::remove(path.c_str());
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    (void)!::pwrite(fd, header_.data(), header_.size(), 0);
    (void)!::pwrite(fd, body_.data(), body_.size(), static_cast<off_t>(base_));
    ::close(fd);
    return path;
  }

  uint64_t End() const { return base_ + body_.size(); }

  static std::vector<std::byte> Bytes(std::initializer_list<int> v) {
    std::vector<std::byte> b;
    for (int x : v) b.push_back(std::byte(x));
    return b;
  }
  static void Put(std::vector<std::byte>& b, uint64_t v, int n) {
    for (int i = 0; i < n; ++i) b.push_back(std::byte((v >> (8 * i)) & 0xFF));
  }
  void PutW(std::vector<std::byte>& b, uint64_t v) const { Put(b, v, static_cast<int>(wide())); }

 private:
  void Align(size_t a) {
    while (End() % a) body_.push_back(std::byte{0});
  }
  static void Put16(std::vector<std::byte>& b, size_t off, uint16_t v) {
    b[off] = std::byte(v & 0xFF);
    b[off + 1] = std::byte(v >> 8);
  }
  static void Put32(std::vector<std::byte>& b, size_t off, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[off + i] = std::byte((v >> (8 * i)) & 0xFF);
  }
  static void Put64(std::vector<std::byte>& b, size_t off, uint64_t v) {
    for (int i = 0; i < 8; ++i) b[off + i] = std::byte((v >> (8 * i)) & 0xFF);
  }

  bool unicode_;
  uint64_t base_;
  std::vector<std::byte> header_;
  std::vector<std::byte> body_;
};

}  // namespace velmorix::testing
