// Decodes an arbitrary node block as a property or table context, with
// arbitrary subnodes, in either variant: the input is laid into a real store
// file and the node is assembled as an item, then read as a name-to-ID map.
// The listing build of the node must give what the full build gives.
//
// Input: [flags][subnode count n][n x (u16 length, bytes)][node data...]
//   flags bit 0: Unicode variant; bit 1: the first subnode is the attachment
//   table (NID 0x671); bit 2: nest the second subnode below the first.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fuzz_input.h"
#include "items/items.h"
#include "store/store.h"
#include "storebuilder/ndb.h"

namespace {

using velmorix::Blob;
using velmorix::items::ItemRecord;

bool Same(const Blob& a, const Blob& b) {
  return a.present() == b.present() && a.view() == b.view();
}

// The fields a listing build fills (see BuildItem).
bool SameListing(const ItemRecord* a, const ItemRecord* b) {
  if (!a || !b) return !a && !b;
  if (a->kind != b->kind || !Same(a->messageClass, b->messageClass) ||
      !Same(a->displayName, b->displayName) || a->attachmentTableDamaged != b->attachmentTableDamaged ||
      a->attachments.size() != b->attachments.size() || !a->details != !b->details ||
      !a->contact != !b->contact || !a->folderCounts != !b->folderCounts ||
      !a->storeInfo != !b->storeInfo || !a->appointment != !b->appointment || !a->journal != !b->journal) {
    return false;
  }
  if (a->folderCounts && (a->folderCounts->contentCount != b->folderCounts->contentCount ||
                          a->folderCounts->hasSubfolders != b->folderCounts->hasSubfolders)) {
    return false;
  }
  if (a->details) {
    const auto &x = *a->details, &y = *b->details;
    if (!Same(x.sentRepresentingName, y.sentRepresentingName) || !Same(x.displayTo, y.displayTo) ||
        !Same(x.deliveryTime, y.deliveryTime) || !Same(x.bodyText, y.bodyText) || !x.subject != !y.subject ||
        (x.subject && (!Same(x.subject->text, y.subject->text) || x.subject->marker != y.subject->marker))) {
      return false;
    }
  }
  if (a->contact && (!Same(a->contact->fileUnder, b->contact->fileUnder) ||
                     !Same(a->contact->postalAddress, b->contact->postalAddress) ||
                     !Same(a->contact->mobilePhone, b->contact->mobilePhone))) {
    return false;
  }
  if (a->appointment && !Same(a->appointment->meetingLocation, b->appointment->meetingLocation)) return false;
  if (a->journal && !Same(a->journal->logType, b->journal->logType)) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velmorix;
  if (size < 2) return 0;
  const uint8_t flags = data[0];
  const size_t count = data[1] % 8;
  size_t pos = 2;
  std::vector<std::vector<std::byte>> values;
  for (size_t i = 0; i < count && pos + 2 <= size; ++i) {
    size_t len = data[pos] | (static_cast<size_t>(data[pos + 1]) << 8);
    pos += 2;
    if (len > size - pos) len = size - pos;
    values.emplace_back(reinterpret_cast<const std::byte*>(data + pos),
                        reinterpret_cast<const std::byte*>(data + pos + len));
    pos += len;
  }
  std::vector<std::byte> node(reinterpret_cast<const std::byte*>(data + pos),
                              reinterpret_cast<const std::byte*>(data + size));
  if (node.empty()) return 0;

  storebuilder::NdbOptions o;
  o.format = (flags & 1) ? storebuilder::Format::Unicode23 : storebuilder::Format::Ansi14;
  o.encryption = 0;
  storebuilder::NdbWriter w(o);
  std::vector<storebuilder::SubnodeRef> refs;
  for (size_t i = 0; i < values.size(); ++i) {
    if (values[i].empty()) continue;
    const uint32_t bid = w.AddData(values[i]);
    const uint32_t nid = (i == 0 && (flags & 2)) ? 0x671u : ((static_cast<uint32_t>(i) + 1) << 5) | 0x1F;
    refs.push_back({nid, bid, 0});
  }
  uint32_t sub = 0;
  if (refs.size() >= 2 && (flags & 4)) {
    const uint32_t nested = w.AddSubnodeBlock({refs[1]});
    refs[0].subnodeBid = nested;
    refs.erase(refs.begin() + 1);
  }
  if (!refs.empty()) sub = w.AddSubnodeBlock(refs);
  const uint32_t bid = w.AddData(node);
  w.AddNode(0x21, bid, sub, 0);
  w.AddNode(0x61, bid, sub, 0);
  w.Write(fuzz::InputPath());

  store::Store s;
  if (store::OpenStore(s, fuzz::InputPath()) != 0) return 0;
  store::LoadIndexes(s);
  items::NamedPropertyMap names;
  items::LoadNamedPropertyMap(s, names);
  items::ItemContext ctx(s, &names);
  const store::NodeEntry* entry = store::FindNode(s, 0x21);
  auto item = items::BuildItem(ctx, entry);
  auto listing = items::BuildItem(ctx, entry, items::ReadScope::Listing);
  if (!SameListing(item.get(), listing.get())) std::abort();
  return 0;
}
