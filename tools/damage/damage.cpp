#include "damage/damage.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>

#include "format/vocabulary.h"

namespace velmorix::damage {

namespace {

constexpr int kMaxTreeDepth = 16;  // nesting of data trees and subnode blocks

uint64_t HeaderSize(sb::Format format) { return sb::GeometryOf(format).unicode ? 564 : 512; }

uint64_t StoredSize(const sb::Geometry& g, const sb::BlockLocation& b) {
  return g.layout->StoredBlockSize(b.size);
}

// Reads a BID/NID field of the format's width.
uint64_t ReadId(const ByteView& v, uint64_t offset, bool unicode) {
  if (unicode) return v.U64(offset).value_or(0);
  return v.U32(offset).value_or(0);
}

// Works out byte dependencies over a pristine image.
class DependencyFinder {
 public:
  DependencyFinder(sb::MailboxBuilder& builder, const Buffer& image, const sb::Layout& layout)
      : view_(ByteSpan(image)), layout_(layout),
        geometry_(sb::GeometryOf(builder.ndb().options().format)),
        headerSize_(HeaderSize(builder.ndb().options().format)) {
    const auto entries = builder.ndb().NodeEntries();
    if (entries.size() != layout.nodeEntryOffsets.size()) {
      throw std::logic_error("node entries and their offsets disagree");
    }
    for (size_t i = 0; i < entries.size(); ++i) {
      const uint64_t at = layout.nodeEntryOffsets[i];
      if (ReadId(view_, at, geometry_.unicode) != entries[i].nid) {
        throw std::logic_error("node entry offset does not hold its NID");
      }
      nodes_.try_emplace(entries[i].nid, Node{entries[i], at});
    }
    // Child page -> parent page, from the intermediate pages as written.
    for (const auto* tree : {&layout.blockPages, &layout.nodePages}) {
      for (size_t level = 1; level < tree->size(); ++level) {
        for (const sb::PageInfo& page : (*tree)[level]) {
          for (int e = 0; e < page.entries; ++e) {
            const uint64_t entry = page.offset + static_cast<uint64_t>(e) * geometry_.btEntrySize;
            const uint64_t child = ReadId(view_, entry + 2 * geometry_.idSize, geometry_.unicode);
            parentPage_[child] = page.offset;
          }
        }
      }
    }
  }

  bool HasNode(uint32_t nid) const { return nodes_.count(nid) != 0; }

  std::vector<Range> ForMail(uint32_t nid, uint32_t topFolder) {
    std::vector<Range> out;
    out.push_back({0, headerSize_});
    AddNode(format::kNidMessageStore, out);
    AddNode(nid, out);
    // The folder chain from the mail's parent up to the top folder.
    uint32_t folder = nodes_.at(nid).entry.parentNid;
    std::unordered_set<uint32_t> seen;
    while (seen.insert(folder).second && nodes_.count(folder)) {
      AddNode(folder, out);
      if (folder == topFolder) break;
      folder = nodes_.at(folder).entry.parentNid;
    }
    return Coalesce(std::move(out));
  }

  // The node's data block and the blocks below it, without index pages.
  std::vector<Range> OwnBlocks(uint32_t nid) const {
    auto it = nodes_.find(nid);
    return it == nodes_.end() ? std::vector<Range>{} : BlocksOf(it->second.entry.dataBid);
  }
  std::vector<Range> BlocksOf(uint32_t dataBid) const {
    std::vector<Range> out;
    AddBlock(dataBid, out, 0, false);
    return Coalesce(std::move(out));
  }
  // The mail's folder's contents table, and the contexts of the folders on
  // its path up to the top folder with the hierarchy tables naming each as
  // its parent's child: what its path is rebuilt from once the index is lost.
  std::vector<Range> FolderBlocks(uint32_t nid, uint32_t topFolder) const {
    uint32_t folder = nodes_.at(nid).entry.parentNid;
    std::vector<Range> out = OwnBlocks((folder & ~0x1Fu) | format::kNidTypeContentsTable);
    std::unordered_set<uint32_t> seen;
    while (seen.insert(folder).second && nodes_.count(folder)) {
      for (const Range& r : OwnBlocks(folder)) out.push_back(r);
      if (folder == topFolder) break;
      folder = nodes_.at(folder).entry.parentNid;
      for (const Range& r : OwnBlocks((folder & ~0x1Fu) | format::kNidTypeHierarchyTable)) out.push_back(r);
    }
    return Coalesce(std::move(out));
  }

 private:
  struct Node {
    sb::NodeLeafEntry entry;
    uint64_t entryOffset;
  };

  // The page holding `entryOffset` and every page above it up to the root.
  void AddPagePath(uint64_t entryOffset, std::vector<Range>& out) const {
    const uint64_t pageSize = geometry_.layout->pageSize;
    uint64_t page = entryOffset / pageSize * pageSize;
    for (int guard = 0; guard < 64; ++guard) {
      out.push_back({page, page + pageSize});
      auto it = parentPage_.find(page);
      if (it == parentPage_.end()) break;
      page = it->second;
    }
  }

  void AddNode(uint32_t nid, std::vector<Range>& out) const {
    auto it = nodes_.find(nid);
    if (it == nodes_.end()) return;
    AddPagePath(it->second.entryOffset, out);
    AddBlock(it->second.entry.dataBid, out, 0);
    AddBlock(it->second.entry.subnodeBid, out, 0);
  }

  void AddBlock(uint64_t bid, std::vector<Range>& out, int depth, bool withIndex = true) const {
    if (bid == 0 || depth > kMaxTreeDepth) return;
    const sb::BlockLocation* b = layout_.FindBlock(static_cast<uint32_t>(bid));
    if (!b) return;
    out.push_back({b->offset, b->offset + StoredSize(geometry_, *b)});
    if (withIndex && b->entryOffset != 0) AddPagePath(b->entryOffset, out);
    if ((bid & 2) == 0) return;
    // Internal blocks are stored unencoded: follow what they name.
    const uint8_t btype = view_.U8(b->offset).value_or(0);
    const uint8_t level = view_.U8(b->offset + 1).value_or(0);
    const uint16_t count = view_.U16(b->offset + 2).value_or(0);
    const uint64_t id = geometry_.idSize;
    if (btype == 1) {
      for (uint64_t i = 0; i < count; ++i) {
        AddBlock(ReadId(view_, b->offset + 8 + i * id, geometry_.unicode), out, depth + 1, withIndex);
      }
    } else if (btype == 2) {
      const uint64_t first = b->offset + (geometry_.unicode ? 8 : 4);
      const uint64_t size = level == 0 ? 3 * id : 2 * id;
      for (uint64_t i = 0; i < count; ++i) {
        const uint64_t e = first + i * size;
        if (level == 0) {
          AddBlock(ReadId(view_, e + id, geometry_.unicode), out, depth + 1, withIndex);
          AddBlock(ReadId(view_, e + 2 * id, geometry_.unicode), out, depth + 1, withIndex);
        } else {
          AddBlock(ReadId(view_, e + id, geometry_.unicode), out, depth + 1, withIndex);
        }
      }
    }
  }

  ByteView view_;
  const sb::Layout& layout_;
  sb::Geometry geometry_;
  uint64_t headerSize_;
  std::unordered_map<uint32_t, Node> nodes_;
  std::unordered_map<uint64_t, uint64_t> parentPage_;
};

std::vector<bool> Untouched(const std::vector<MailInfo>& mails, std::vector<Range> MailInfo::*ranges,
                            const std::vector<Range>& changed) {
  std::vector<bool> out;
  out.reserve(mails.size());
  for (const MailInfo& m : mails) out.push_back(!Overlaps(m.*ranges, changed));
  return out;
}

void FillRandom(std::mt19937_64& rng, std::byte* p, uint64_t n) {
  for (uint64_t i = 0; i < n; ++i) p[i] = static_cast<std::byte>(rng() & 0xFF);
}

// Overwrites [offset, offset + n) with garbage that differs from what was
// there in at least one byte.
void Garble(std::mt19937_64& rng, Buffer& image, uint64_t offset, uint64_t n) {
  n = std::min<uint64_t>(n, image.size() - std::min<uint64_t>(offset, image.size()));
  if (n == 0) return;
  FillRandom(rng, image.data() + offset, n);
  image[offset] ^= std::byte{0x5A};
}

double Uniform(std::mt19937_64& rng, double lo, double hi) {
  return lo + (hi - lo) * (static_cast<double>(rng() >> 11) / 9007199254740992.0);
}

size_t Pick(size_t count, std::optional<double> parameter, std::mt19937_64& rng) {
  if (count == 0) throw std::invalid_argument("nothing to damage of that kind");
  if (parameter) {
    const double p = std::clamp(*parameter, 0.0, 1.0);
    return std::min(count - 1, static_cast<size_t>(p * static_cast<double>(count)));
  }
  return static_cast<size_t>(rng() % count);
}

std::string Hex(uint64_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
  return buf;
}

}  // namespace

std::vector<Range> Coalesce(std::vector<Range> ranges) {
  std::erase_if(ranges, [](const Range& r) { return r.end <= r.begin; });
  std::sort(ranges.begin(), ranges.end(),
            [](const Range& a, const Range& b) { return a.begin < b.begin; });
  std::vector<Range> out;
  for (const Range& r : ranges) {
    if (!out.empty() && r.begin <= out.back().end) {
      out.back().end = std::max(out.back().end, r.end);
    } else {
      out.push_back(r);
    }
  }
  return out;
}

bool Overlaps(const std::vector<Range>& a, const std::vector<Range>& b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (a[i].end <= b[j].begin) {
      ++i;
    } else if (b[j].end <= a[i].begin) {
      ++j;
    } else {
      return true;
    }
  }
  return false;
}

std::vector<Range> ChangedRanges(const Buffer& original, const Buffer& damaged) {
  std::vector<Range> out;
  const size_t common = std::min(original.size(), damaged.size());
  size_t i = 0;
  while (i < common) {
    if (original[i] == damaged[i]) {
      ++i;
      continue;
    }
    const size_t start = i;
    while (i < common && original[i] != damaged[i]) ++i;
    out.push_back({start, i});
  }
  if (original.size() != damaged.size()) {
    out.push_back({common, std::max(original.size(), damaged.size())});
  }
  return Coalesce(std::move(out));
}

Mailbox DescribeMailbox(sb::MailboxBuilder& builder, std::vector<MailSpec> mails, std::vector<MailSpec> deleted,
                        std::vector<MailSpec> stale) {
  builder.Finish();
  Mailbox mb;
  mb.format = builder.ndb().options().format;
  mb.image = builder.Build();
  mb.layout = builder.ndb().layout();
  DependencyFinder finder(builder, mb.image, mb.layout);
  mb.mails.reserve(mails.size());
  for (MailSpec& spec : mails) {
    if (!finder.HasNode(spec.nid)) throw std::invalid_argument("mail NID not in the store");
    std::vector<Range> deps = finder.ForMail(spec.nid, builder.topFolder());
    std::vector<Range> own = finder.OwnBlocks(spec.nid);
    std::vector<Range> folder = finder.FolderBlocks(spec.nid, builder.topFolder());
    mb.mails.push_back({std::move(spec), std::move(deps), std::move(own), std::move(folder)});
  }
  for (auto [from, to] : {std::pair{&deleted, &mb.deleted}, std::pair{&stale, &mb.stale}}) {
    for (MailSpec& spec : *from) {
      std::vector<Range> own = finder.BlocksOf(spec.dataBid);
      to->push_back({std::move(spec), {}, std::move(own), {}});
    }
  }
  return mb;
}

const char* LayoutName(LayoutKind layout) { return layout == LayoutKind::Compact ? "compact" : "client"; }

const char* KindName(DamageKind kind) {
  switch (kind) {
    case DamageKind::Cut: return "cut";
    case DamageKind::IndexPage: return "index-page";
    case DamageKind::DataBlock: return "data-block";
    case DamageKind::SubnodeBlock: return "subnode-block";
    case DamageKind::BitFlips: return "bit-flips";
    case DamageKind::ZeroRegion: return "zero-region";
    case DamageKind::Header: return "header";
  }
  return "?";
}

std::optional<DamageKind> ParseKind(std::string_view name) {
  for (DamageKind k : kAllKinds) {
    if (name == KindName(k)) return k;
  }
  return std::nullopt;
}

Variant MakeVariant(const Mailbox& mailbox, DamageKind kind, uint64_t seed,
                    std::optional<double> parameter) {
  std::mt19937_64 rng(seed * 0x9E3779B97F4A7C15ull + static_cast<uint64_t>(kind));
  const sb::Geometry g = sb::GeometryOf(mailbox.format);
  Variant v;
  v.kind = kind;
  v.image = mailbox.image;
  const uint64_t size = v.image.size();

  switch (kind) {
    case DamageKind::Cut: {
      // Index pages lie at the end of builder stores: half of the drawn cuts
      // fall into the last 64 KiB (log-uniform distance from the end), where
      // they take only some of them, or only the padding after them.
      uint64_t cut = 0;
      if (parameter) {
        cut = static_cast<uint64_t>(std::clamp(*parameter, 0.0, 1.0) * static_cast<double>(size));
      } else if (rng() & 1) {
        const auto back = static_cast<uint64_t>(std::exp(Uniform(rng, std::log(16.0), std::log(65536.0))));
        cut = size - std::min<uint64_t>(size, back);
      } else {
        cut = static_cast<uint64_t>(Uniform(rng, 0.02, 1.0) * static_cast<double>(size));
      }
      v.image.resize(cut);
      v.description = "cut at " + std::to_string(cut) + " of " + std::to_string(size);
      break;
    }
    case DamageKind::IndexPage: {
      // Without a parameter: a tree, then a level of it, then a page, so that
      // the few intermediate pages are hit as often as the leaves.
      const auto& layout = mailbox.layout;
      const sb::PageInfo* page = nullptr;
      std::string where;
      if (parameter) {
        std::vector<std::pair<const sb::PageInfo*, std::string>> all;
        for (int t = 0; t < 2; ++t) {
          const auto& tree = t == 0 ? layout.blockPages : layout.nodePages;
          for (size_t l = 0; l < tree.size(); ++l) {
            for (const auto& p : tree[l]) {
              all.push_back({&p, std::string(t == 0 ? "block" : "node") + " level " + std::to_string(l)});
            }
          }
        }
        const auto& chosen = all[Pick(all.size(), parameter, rng)];
        page = chosen.first;
        where = chosen.second;
      } else {
        const bool blockTree = (rng() & 1) != 0;
        const auto& tree = blockTree ? layout.blockPages : layout.nodePages;
        const size_t level = static_cast<size_t>(rng() % tree.size());
        page = &tree[level][Pick(tree[level].size(), std::nullopt, rng)];
        where = std::string(blockTree ? "block" : "node") + " level " + std::to_string(level);
      }
      Garble(rng, v.image, page->offset, g.layout->pageSize);
      v.description = where + " page at " + Hex(page->offset) + " overwritten";
      break;
    }
    case DamageKind::DataBlock:
    case DamageKind::SubnodeBlock: {
      const ByteView view{ByteSpan(mailbox.image)};
      std::vector<const sb::BlockLocation*> candidates;
      for (const auto& b : mailbox.layout.blocks) {
        const bool internal = (b.bid & 2) != 0;
        if (kind == DamageKind::DataBlock ? !internal
                                          : internal && view.U8(b.offset).value_or(0) == 2) {
          candidates.push_back(&b);
        }
      }
      const sb::BlockLocation* b = candidates[Pick(candidates.size(), parameter, rng)];
      Garble(rng, v.image, b->offset, StoredSize(g, *b));
      v.description = std::string(kind == DamageKind::DataBlock ? "data" : "subnode") + " block " +
                      Hex(b->bid) + " at " + Hex(b->offset) + " overwritten";
      break;
    }
    case DamageKind::BitFlips: {
      const double rate = parameter.value_or(std::exp(Uniform(rng, std::log(1e-7), std::log(1e-5))));
      const double bits = static_cast<double>(size) * 8.0;
      const auto flips = std::max<uint64_t>(1, static_cast<uint64_t>(std::llround(bits * rate)));
      for (uint64_t i = 0; i < flips && size > 0; ++i) {
        const uint64_t bit = rng() % (size * 8);
        v.image[bit / 8] ^= static_cast<std::byte>(1u << (bit % 8));
      }
      v.description = std::to_string(flips) + " bit flips";
      break;
    }
    case DamageKind::ZeroRegion: {
      const auto length = static_cast<uint64_t>(
          parameter.value_or(std::exp(Uniform(rng, std::log(16.0), std::log(65536.0)))));
      const uint64_t at = size > 0 ? rng() % size : 0;
      const uint64_t n = std::min(length, size - at);
      if (n > 0) std::memset(v.image.data() + at, 0, n);
      v.description = std::to_string(n) + " bytes zeroed at " + Hex(at);
      break;
    }
    case DamageKind::Header: {
      // Garbage over part of the header or all of it, version field included
      // half of the time.
      const uint64_t header = std::min<uint64_t>(HeaderSize(mailbox.format), size);
      const auto length = static_cast<uint64_t>(
          parameter.value_or(std::exp(Uniform(rng, std::log(4.0), std::log(static_cast<double>(header))))));
      const uint64_t n = std::clamp<uint64_t>(length, 1, header);
      const uint64_t at = (rng() & 1) ? std::min<uint64_t>(8, header - n) : rng() % (header - n + 1);
      Garble(rng, v.image, at, n);
      v.description = std::to_string(n) + " header bytes garbled at " + Hex(at);
      break;
    }
  }
  v.changed = ChangedRanges(mailbox.image, v.image);
  v.intact = Untouched(mailbox.mails, &MailInfo::dependencies, v.changed);
  v.ownIntact = Untouched(mailbox.mails, &MailInfo::ownBlocks, v.changed);
  v.folderIntact = Untouched(mailbox.mails, &MailInfo::folderBlocks, v.changed);
  v.deletedIntact = Untouched(mailbox.deleted, &MailInfo::ownBlocks, v.changed);
  return v;
}

}  // namespace velmorix::damage
