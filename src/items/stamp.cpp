// What tells stored copies of one item apart, read straight from the heap of
// its property context.
#include <functional>
#include <string_view>

#include "format/vocabulary.h"
#include "items/heap.h"
#include "items/items.h"
#include "items/table_rows.h"

namespace velmorix::items {
namespace {

uint64_t HashOf(ByteSpan bytes) {
  if (bytes.empty()) return 0;
  const uint64_t h =
      std::hash<std::string_view>{}(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  return h ? h : 1;  // 0 stays "none"
}

}  // namespace

std::optional<ItemStamp> ReadItemStamp(store::Store& store, uint32_t dataBid) {
  auto heap = Heap::Read(store, dataBid);
  if (!heap || heap->signature() != format::kHeapPropertyContext) return std::nullopt;
  ItemStamp stamp;
  uint64_t h = 0;
  for (size_t i = 0; i < heap->pageCount(); ++i) {
    h = h * 0x100000001B3ull ^ HashOf(ByteSpan(heap->page(i).data));
  }
  stamp.contentHash = h ? h : 1;
  auto records = heap->ReadBth(heap->userRoot(), format::kBthPropertyContext, 8);
  if (!records) return stamp;
  unsigned mapParts = 0;
  std::optional<Buffer> keyParts[4];
  for (ByteSpan r : *records) {
    const ByteView v(r);
    const uint16_t tag = v.U16(0).value_or(0);
    const uint16_t type = v.U16(2).value_or(0);
    const uint32_t hnid = v.U32(4).value_or(0);
    for (size_t i = 0; i < 4; ++i) {
      if (tag != kRowKeyIds[i]) continue;
      if (type == format::kPtypInteger32) {
        const ByteSpan inline4 = r.subspan(4, 4);
        keyParts[i] = Buffer(inline4.begin(), inline4.end());
      } else if ((hnid & 0x1F) == 0) {
        if (auto value = heap->Resolve(hnid)) keyParts[i] = Buffer(value->bytes().begin(), value->bytes().end());
      }
    }
    if (tag == format::kPidTagNameidStreamGuid && type == format::kPtypBinary) mapParts |= 1;
    if (tag == format::kPidTagNameidStreamEntry && type == format::kPtypBinary) mapParts |= 2;
    if (tag == format::kPidTagMessageClass) mapParts |= 4;
    if (tag == format::kPidTagContentCount) stamp.folder = true;
    if (tag != format::kPidTagSearchKey && tag != format::kPidTagInternetMessageId && tag != format::kPidTagLastModificationTime) continue;
    // Values kept in subnodes are left out: these three are short.
    if ((hnid & 0x1F) != 0) continue;
    auto value = heap->Resolve(hnid);
    if (!value) continue;
    const ByteSpan bytes = value->bytes();
    if (tag == format::kPidTagLastModificationTime) {
      if (type == format::kPtypTime) stamp.modified = ByteView(bytes).U64(0).value_or(0);
    } else if (tag == format::kPidTagSearchKey) {
      stamp.searchKey = HashOf(bytes);
    } else {
      stamp.messageId = HashOf(bytes);
    }
  }
  stamp.nameMap = mapParts == 3;
  stamp.rowKey = MessageRowKey(keyParts[0], keyParts[1], keyParts[2], keyParts[3]);
  return stamp;
}

}  // namespace velmorix::items
