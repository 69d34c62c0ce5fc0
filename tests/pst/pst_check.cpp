#include "pst_check.h"

#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>

#include "content/ltp.h"
#include "pst/ndb.h"
#include "store/store.h"

namespace velmorix::test {
namespace {

constexpr uint64_t kAMap = 0x4400;
constexpr uint64_t kInterval = 0x3E000;

struct File {
  std::vector<std::byte> b;
  std::vector<std::string> faults;
  std::vector<uint8_t> used;  // per 64 bytes

  uint64_t U(uint64_t at, int width) const {
    uint64_t v = 0;
    if (at + width > b.size()) return 0;
    for (int i = 0; i < width; ++i) v |= static_cast<uint64_t>(b[at + i]) << (8 * i);
    return v;
  }
  void Fault(std::string s) {
    if (faults.size() < 50) faults.push_back(std::move(s));
  }
  void Use(uint64_t at, uint64_t n, const char* what) {
    for (uint64_t s = at / 64; s < (at + n + 63) / 64 && s < used.size(); ++s) {
      if (used[s]) {
        Fault(std::string(what) + " at " + std::to_string(at) + " overlaps another allocation");
        return;
      }
      used[s] = 1;
    }
  }
  uint32_t Crc(uint64_t at, uint64_t n) const { return pst::Crc(0, pst::ByteRange(b.data() + at, n)); }
};

bool MapPage(File& f, uint64_t at, uint8_t ptype) {
  if (at + 512 > f.b.size()) {
    f.Fault("map page at " + std::to_string(at) + " lies past the end");
    return false;
  }
  const uint64_t t = at + 496;
  if (f.U(t, 1) != ptype || f.U(t + 1, 1) != ptype || f.U(t + 2, 2) != 0 || f.U(t + 8, 8) != at ||
      f.U(t + 4, 4) != f.Crc(at, 496)) {
    f.Fault("map page of type " + std::to_string(ptype) + " at " + std::to_string(at) + " has a bad trailer");
  }
  f.Use(at, 512, "map page");
  return true;
}

struct Walk {
  File& f;
  uint8_t ptype;
  int leafEntry;  // entry size of the leaves
  int leafMax;
  std::vector<std::vector<uint8_t>> leaves;  // raw leaf entries in key order
  std::set<uint64_t> pageBids;

  void Page(uint64_t ib, uint64_t bid, int expectLevel, uint64_t key, bool checkKey) {
    if (ib % 512 || ib + 512 > f.b.size()) return f.Fault("index page at " + std::to_string(ib) + " is misplaced");
    const uint64_t t = ib + 496;
    if (f.U(t, 1) != ptype || f.U(t + 1, 1) != ptype || f.U(t + 2, 2) != pst::Signature(ib, bid) ||
        f.U(t + 4, 4) != f.Crc(ib, 496) || f.U(t + 8, 8) != bid) {
      return f.Fault("index page at " + std::to_string(ib) + " has a bad trailer");
    }
    if (!pageBids.insert(bid).second) f.Fault("two index pages share a page id");
    f.Use(ib, 512, "index page");
    const int count = static_cast<int>(f.U(ib + 488, 1));
    const int max = static_cast<int>(f.U(ib + 489, 1));
    const int size = static_cast<int>(f.U(ib + 490, 1));
    const int level = static_cast<int>(f.U(ib + 491, 1));
    if (expectLevel >= 0 && level != expectLevel) f.Fault("index page at " + std::to_string(ib) + " has a wrong level");
    const bool leaf = level == 0;
    if (size != (leaf ? leafEntry : 24) || max != (leaf ? leafMax : 20) || count > max) {
      return f.Fault("index page at " + std::to_string(ib) + " has bad entry counts");
    }
    uint64_t prev = 0;
    for (int i = 0; i < count; ++i) {
      const uint64_t e = ib + static_cast<uint64_t>(i) * size;
      const uint64_t k = f.U(e, ptype == 0x81 && leaf ? 4 : 8);
      if (i == 0 && checkKey && k != key) f.Fault("index page at " + std::to_string(ib) + " has a wrong first key");
      if (i > 0 && k <= prev) f.Fault("index page at " + std::to_string(ib) + " is out of order");
      prev = k;
      if (leaf) {
        leaves.emplace_back(size);
        std::memcpy(leaves.back().data(), f.b.data() + e, size);
      } else {
        Page(f.U(e + 16, 8), f.U(e + 8, 8), level - 1, k, true);
      }
    }
  }
};

uint64_t Get(const std::vector<uint8_t>& e, size_t at, int width) {
  uint64_t v = 0;
  for (int i = 0; i < width; ++i) v |= static_cast<uint64_t>(e[at + i]) << (8 * i);
  return v;
}

void CheckFolders(const std::string& path, File& f, const std::map<uint32_t, uint32_t>& parents) {
  store::Store s;
  if (store::OpenStore(s, path, false) != 0 || store::LoadIndexes(s) != 0) return f.Fault("the file cannot be opened");
  auto children = [&](uint32_t nid, uint8_t type) {
    size_t n = 0;
    for (auto [c, p] : parents) n += p == nid && c != nid && (c & 0x1F) == type;
    return n;
  };
  auto table = [&](uint32_t nid) -> std::optional<size_t> {
    const store::NodeEntry* n = store::FindNode(s, nid);
    if (!n || !n->dataBlock) return std::nullopt;
    store::SubnodeList level;
    if (n->subnodeBlock) store::ReadSubnodeLevel(s, n->subnodeBlock, level);
    const content::ltp::SubnodeScope scope{&level, nullptr};
    auto tc = content::ltp::TableContext::Read(s, n->dataBlock->bid, &scope);
    if (!tc) return std::nullopt;
    return tc->rowCount();
  };
  for (auto [nid, parent] : parents) {
    if ((nid & 0x1F) != 2 && nid != 0x122) continue;
    const std::string name = "folder " + std::to_string(nid);
    const store::NodeEntry* n = store::FindNode(s, nid);
    auto pc = n && n->dataBlock ? content::ltp::PropertyContext::Read(s, n->dataBlock->bid, nullptr, nullptr)
                                : std::nullopt;
    if (!pc) {
      f.Fault(name + ": its properties cannot be read");
      continue;
    }
    const size_t messages = children(nid, 4), assoc = children(nid, 8), folders = children(nid, 2);
    auto count = [&](uint16_t id) { auto v = pc->Get(id); return v ? v->Int().value_or(-1) : -1; };
    const uint32_t base = nid & ~0x1Fu;
    if (count(0x3602) != static_cast<int64_t>(messages)) f.Fault(name + ": its content count is not its messages");
    if (count(0x360A) != (folders ? 1 : 0)) f.Fault(name + ": its subfolder flag is wrong");
    if (table(base | 0x0D) != folders) f.Fault(name + ": its hierarchy table does not list its folders");
    if (table(base | 0x0E) != messages) f.Fault(name + ": its contents table does not list its messages");
    if (table(base | 0x0F) != assoc) f.Fault(name + ": its associated contents do not list its messages");
  }
}

}  // namespace

std::vector<std::string> CheckPst(const std::string& path) {
  File f;
  {
    std::ifstream in(path, std::ios::binary);
    f.b.resize(0);
    std::vector<char> raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    f.b.resize(raw.size());
    std::memcpy(f.b.data(), raw.data(), raw.size());
  }
  const uint64_t size = f.b.size();
  if (size < kAMap + 512) return {"the file is too short"};
  f.used.assign(size / 64, 0);
  if (std::memcmp(f.b.data(), "!BDN", 4) != 0 || f.U(8, 2) != 0x4D53 || f.U(10, 2) != 23) f.Fault("not a Unicode file");
  if (f.U(4, 4) != f.Crc(8, 471)) f.Fault("the header's partial CRC is wrong");
  if (f.U(524, 4) != f.Crc(8, 516)) f.Fault("the header's full CRC is wrong");
  if ((size - kAMap) % kInterval != 0) f.Fault("the file is not whole allocation-map intervals");
  if (f.U(184, 8) != size) f.Fault("the header's end of file is not the file's size");
  const uint64_t intervals = (size - kAMap) / kInterval;
  if (f.U(192, 8) != kAMap + (intervals - 1) * kInterval) f.Fault("the header names a wrong last map");
  if (f.U(248, 1) != 2) f.Fault("the maps are not marked valid");
  f.Use(0, kAMap, "header");

  for (uint64_t k = 0; k < intervals; ++k) {
    uint64_t at = kAMap + k * kInterval;
    MapPage(f, at, 0x84);
    at += 512;
    if (k % 8 == 0 && MapPage(f, at, 0x83)) at += 512;
    if (k >= 128 && (k - 128) % 496 == 0 && MapPage(f, at, 0x82)) at += 512;
    if (k >= 8192 && (k - 8192) % 31744 == 0) MapPage(f, at, 0x85);
  }

  Walk blocks{f, 0x80, 24, 20, {}, {}};
  blocks.Page(f.U(240, 8), f.U(232, 8), -1, 0, false);
  Walk nodes{f, 0x81, 32, 15, {}, {}};
  nodes.Page(f.U(224, 8), f.U(216, 8), -1, 0, false);
  for (uint64_t bid : blocks.pageBids) {
    if (bid >= f.U(32, 8)) f.Fault("a page id is not below the next page id");
  }
  for (uint64_t bid : nodes.pageBids) {
    if (bid >= f.U(32, 8)) f.Fault("a page id is not below the next page id");
  }

  // Blocks: trailers and CRCs; then every reference counted.
  std::map<uint64_t, std::pair<uint64_t, uint16_t>> where;  // bid -> ib, cb
  std::map<uint64_t, uint64_t> refs, counts;
  for (const auto& e : blocks.leaves) {
    const uint64_t bid = Get(e, 0, 8), ib = Get(e, 8, 8);
    const auto cb = static_cast<uint16_t>(Get(e, 16, 2));
    counts[bid] = Get(e, 18, 2);
    where[bid] = {ib, cb};
    const uint64_t stored = (cb + 16 + 63) / 64 * 64;
    if (ib % 64 || ib + stored > size) {
      f.Fault("block " + std::to_string(bid) + " lies outside the file");
      continue;
    }
    const uint64_t t = ib + stored - 16;
    if (f.U(t, 2) != cb || f.U(t + 2, 2) != pst::Signature(ib, bid) || f.U(t + 4, 4) != f.Crc(ib, cb) ||
        f.U(t + 8, 8) != bid) {
      f.Fault("block " + std::to_string(bid) + " has a bad trailer");
    }
    if (bid >= f.U(516, 8)) f.Fault("a block id is not below the next block id");
    f.Use(ib, stored, "block");
  }
  auto ref = [&](uint64_t bid) {
    if (bid == 0) return;
    if (!where.count(bid)) f.Fault("a reference names block " + std::to_string(bid) + ", which is not indexed");
    ++refs[bid];
  };
  std::map<uint32_t, uint32_t> parents;
  for (const auto& e : nodes.leaves) {
    parents[static_cast<uint32_t>(Get(e, 0, 4))] = static_cast<uint32_t>(Get(e, 24, 4));
    ref(Get(e, 8, 8));
    ref(Get(e, 16, 8));
  }
  for (const auto& [bid, loc] : where) {
    if (!(bid & 2)) continue;
    const uint64_t ib = loc.first;
    const uint64_t btype = f.U(ib, 1), level = f.U(ib + 1, 1), n = f.U(ib + 2, 2);
    if (btype == 1) {
      for (uint64_t i = 0; i < n; ++i) ref(f.U(ib + 8 + 8 * i, 8));
    } else if (btype == 2 && level == 0) {
      for (uint64_t i = 0; i < n; ++i) {
        ref(f.U(ib + 8 + 24 * i + 8, 8));
        ref(f.U(ib + 8 + 24 * i + 16, 8));
      }
    } else if (btype == 2 && level == 1) {
      for (uint64_t i = 0; i < n; ++i) ref(f.U(ib + 8 + 16 * i + 8, 8));
    } else {
      f.Fault("internal block " + std::to_string(bid) + " has an unknown type");
    }
  }
  for (const auto& [bid, count] : counts) {
    if (count != refs[bid] + 1) f.Fault("block " + std::to_string(bid) + " has a wrong reference count");
  }

  // Allocation bits against what is in use.
  uint64_t zeros = 0;
  std::vector<uint64_t> freeSlots(intervals);
  for (uint64_t k = 0; k < intervals; ++k) {
    const uint64_t at = kAMap + k * kInterval;
    for (uint64_t s = 0; s < 496 * 8; ++s) {
      const bool bit = (static_cast<uint8_t>(f.b[at + s / 8]) & (0x80 >> (s % 8))) != 0;
      zeros += !bit;
      freeSlots[k] += !bit;
      if (bit != (f.used[at / 64 + s] != 0)) {
        f.Fault("the allocation map of " + std::to_string(at) + " is wrong at slot " + std::to_string(s));
        break;
      }
    }
  }
  if (f.U(200, 8) != zeros * 64) f.Fault("the header's free bytes do not match the maps");

  // The density list: a signed page whose entries name intervals other than
  // the current one, with their free slots, most free first.
  constexpr uint64_t kDList = 0x4200;
  const uint64_t dbid = f.U(kDList + 504, 8);
  if (f.U(kDList + 496, 1) != 0x86 || f.U(kDList + 497, 1) != 0x86 || f.U(kDList + 498, 2) != pst::Signature(kDList, dbid) ||
      f.U(kDList + 500, 4) != f.Crc(kDList, 496)) {
    f.Fault("the density list has a bad trailer");
  } else {
    const uint64_t current = f.U(kDList + 4, 4), count = f.U(kDList + 1, 1);
    uint64_t last = UINT64_MAX;
    for (uint64_t i = 0; i < count && i < 119; ++i) {
      const uint64_t e = f.U(kDList + 8 + 4 * i, 4), page = e & 0xFFFFF, free = e >> 20;
      if (page >= intervals || page == current || free != freeSlots[page] || free > last) {
        f.Fault("density list entry " + std::to_string(i) + " is wrong");
      }
      last = free;
    }
  }

  for (uint32_t nid : {0x21u, 0x61u, 0x122u, 0x12Du, 0x12Eu, 0x12Fu, 0x1E1u, 0x201u, 0x60Du, 0x60Eu, 0x60Fu, 0x610u,
                       0x62Bu, 0x671u, 0x692u, 0x8022u, 0x802Du, 0x802Eu, 0x802Fu}) {
    if (!parents.count(nid)) f.Fault("node " + std::to_string(nid) + " is missing");
  }
  if (parents.count(0x122) && parents[0x122] != 0x122) f.Fault("the root folder is not its own parent");
  if (f.faults.empty()) CheckFolders(path, f, parents);
  return f.faults;
}

}  // namespace velmorix::test
