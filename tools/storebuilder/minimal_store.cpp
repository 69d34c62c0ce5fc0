#include "storebuilder/minimal_store.h"

#include <stdexcept>
#include <string_view>
#include <vector>

#include "format/vocabulary.h"
#include "storebuilder/ltp.h"

namespace velmorix::storebuilder {
namespace {
constexpr uint32_t kTop = 0x8022;
constexpr uint32_t kDeleted = 0x8042;
constexpr uint32_t kSearch = 0x8062;

// Writes the property and table contexts of one format; every context fits
// one heap page and has no subnodes.
class Contexts {
 public:
  explicit Contexts(NdbWriter& w) : w_(w), format_(LtpFormat::Of(w.options().format)) {}

  Buffer Text(std::string_view s) const { return format_.unicode ? Utf16le(s) : Windows1252(s); }
  uint16_t TextType() const { return format_.unicode ? format::kPtypString : format::kPtypString8; }
  uint32_t TextTag(uint16_t id) const { return (uint32_t{id} << 16) | TextType(); }

  // A property context of one heap page (those written here never need more).
  Buffer Pc(std::vector<PcProperty> props) const {
    SubnodeNids nids;
    LtpNode node = BuildPropertyContext(std::move(props), format_, nids);
    if (node.pages.size() != 1 || !node.subnodes.empty()) throw std::logic_error("context needs more than one block");
    return std::move(node.pages.front());
  }
  uint32_t Block(std::span<const std::byte> heap) { return w_.AddDataBlock(heap); }

  // Writes a table context (its heap over a data tree, its row matrix in a
  // subnode when large) and returns its data BID and subnode BID.
  std::pair<uint32_t, uint32_t> Table(const std::vector<uint32_t>& columns,
                                      const std::vector<std::pair<uint32_t, std::vector<TcCell>>>& rows = {}) {
    SubnodeNids nids;
    TableWriter t(columns, format_, nids);
    for (const auto& [id, cells] : rows) t.AddRow(id, cells);
    LtpNode node = t.Finish();
    const uint32_t data = Blocks(node.pages);
    std::vector<SubnodeRef> refs;
    for (const LtpSubnode& sub : node.subnodes) {
      std::vector<Buffer> blocks;
      size_t at = 0;
      for (size_t n : sub.blockSizes) {
        blocks.emplace_back(sub.data.begin() + static_cast<ptrdiff_t>(at), sub.data.begin() + static_cast<ptrdiff_t>(at + n));
        at += n;
      }
      refs.push_back({sub.nid, blocks.empty() ? w_.AddData(sub.data) : Blocks(blocks), 0});
    }
    return {data, refs.empty() ? 0 : w_.AddSubnodeBlock(refs)};
  }

 private:
  // One data block per buffer, under a data tree when there are several.
  uint32_t Blocks(const std::vector<Buffer>& blocks) {
    std::vector<uint32_t> bids;
    std::vector<uint32_t> sizes;
    for (const Buffer& b : blocks) {
      bids.push_back(w_.AddDataBlock(b));
      sizes.push_back(static_cast<uint32_t>(b.size()));
    }
    return bids.size() == 1 ? bids[0] : w_.AddTree(bids, sizes);
  }

  NdbWriter& w_;
  LtpFormat format_;
};

constexpr uint8_t kRecordKey[16] = {0x4E, 0x88, 0x78, 0x73, 0xE2, 0x9E, 0xC9, 0x44,
                                    0x8E, 0xC2, 0x34, 0x6D, 0xFA, 0x6D, 0xF8, 0x58};

// A folder's entry identifier: flags, the store's record key, the NID.
Buffer EntryId(uint32_t nid) {
  Buffer b(4);
  for (uint8_t k : kRecordKey) b.push_back(std::byte{k});
  Buffer n = LeBytes(nid, 4);
  b.insert(b.end(), n.begin(), n.end());
  return b;
}

// The heap every bulk message shares: a read mail with a class and subject.
Buffer MessageHeap(const Contexts& c) {
  return c.Pc({{0x001A, c.TextType(), c.Text("IPM.Note")},
               {0x0037, c.TextType(), c.Text("Bulk message")},
               {0x0E07, format::kPtypInteger32, LeBytes(1, 4)}});
}

}  // namespace

uint32_t BulkMessageNid(uint64_t i) {
  const uint64_t index = 0x10001 + i;
  if (index >= (uint64_t{1} << 26)) throw std::out_of_range("too many bulk messages");
  return static_cast<uint32_t>(index << 5) | 0x04;
}

void AddMinimalNodes(NdbWriter& w, uint64_t messages, bool withData) {
  if (messages) BulkMessageNid(messages - 1);  // throws when there are too many
  Contexts c(w);
  Buffer key(reinterpret_cast<const std::byte*>(kRecordKey), reinterpret_cast<const std::byte*>(kRecordKey) + 16);
  w.AddNode(format::kNidMessageStore,
            c.Block(c.Pc({{0x0FF9, format::kPtypBinary, key},
                          {0x3001, c.TextType(), c.Text("Personal Folders")},
                          {0x35DF, format::kPtypInteger32, LeBytes(0x89, 4)},
                          {0x35E0, format::kPtypBinary, EntryId(kTop)},
                          {0x35E3, format::kPtypBinary, EntryId(kDeleted)},
                          {0x35E7, format::kPtypBinary, EntryId(kSearch)},
                          {0x67FF, format::kPtypInteger32, LeBytes(0, 4)}})),
            0, 0);

  // The name-to-ID map: one property-set GUID and one name (PSETID_Common's
  // reminder flag), as readers expect both.
  NameToIdMap names;
  names.IdFor(PropertyName::Lid(kPsetidCommon, 0x8503));
  w.AddNode(format::kNidNameToIdMap, c.Block(c.Pc(names.Properties())), 0, 0);

  const std::vector<uint32_t> hierarchy = {c.TextTag(0x3001), 0x36020003, 0x36030003, 0x360A000B};
  const std::vector<uint32_t> contents = {c.TextTag(0x001A), c.TextTag(0x0037), 0x0E070003};
  const uint32_t emptyHierarchy = c.Table(hierarchy).first;
  const uint32_t emptyContents = c.Table(contents).first;
  auto folder = [&](uint32_t nid, uint32_t parent, std::string_view name,
                    std::vector<std::pair<uint32_t, std::string_view>> children, uint64_t items = 0) {
    w.AddNode(nid,
              c.Block(c.Pc({{0x3001, c.TextType(), c.Text(name)},
                            {0x3602, format::kPtypInteger32, LeBytes(items, 4)},
                            {0x3603, format::kPtypInteger32, LeBytes(0, 4)},
                            {0x360A, format::kPtypBoolean, LeBytes(children.empty() ? 0 : 1, 1)}})),
              0, parent);
    std::vector<std::pair<uint32_t, std::vector<TcCell>>> rows;
    for (auto [child, childName] : children) {
      rows.push_back({child, {{c.TextTag(0x3001), c.Text(childName)}, {0x36020003, LeBytes(0, 4)},
                              {0x36030003, LeBytes(0, 4)}, {0x360A000B, LeBytes(0, 1)}}});
    }
    const uint32_t base = nid & ~0x1Fu;
    w.AddNode(base | 0x0D, rows.empty() ? emptyHierarchy : c.Table(hierarchy, rows).first, 0, 0);
    // Other readers list a folder's messages from its contents table.
    rows.clear();
    const Buffer read = LeBytes(1, 4);
    for (uint64_t i = 0; i < items; ++i) rows.push_back({BulkMessageNid(i), {{0x0E070003, read}}});
    const auto [table, sub] = rows.empty() ? std::pair{emptyContents, 0u} : c.Table(contents, rows);
    w.AddNode(base | 0x0E, table, sub, 0);
    w.AddNode(base | 0x0F, emptyContents, 0, 0);
  };
  folder(format::kNidRootFolder, format::kNidRootFolder, "", {{kTop, "Top of Personal Folders"}, {kSearch, "Search Root"}});
  w.AddNode(0x1E1, 0, 0, 0);
  w.AddNode(0x201, 0, 0, 0);
  for (uint32_t t : {0x60Du, 0x60Eu, 0x60Fu, 0x610u, 0x62Bu, 0x671u, 0x692u}) {
    w.AddNode(t, t == 0x60D ? emptyHierarchy : emptyContents, 0, 0);
  }
  folder(kTop, format::kNidRootFolder, "Top of Personal Folders", {{kDeleted, "Deleted Items"}}, withData ? messages : 0);
  folder(kDeleted, kTop, "Deleted Items", {});
  folder(kSearch, format::kNidRootFolder, "Search Root", {});

  const Buffer heap = withData ? MessageHeap(c) : Buffer();
  w.Reserve(messages, withData ? messages : 0, withData ? messages * w.variantLayout().StoredBlockSize(heap.size()) : 0);
  for (uint64_t i = 0; i < messages; ++i) {
    w.AddNode(BulkMessageNid(i), withData ? w.AddDataBlock(heap) : 0, 0, kTop);
  }
}

}  // namespace velmorix::storebuilder
