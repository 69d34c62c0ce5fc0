// Item assembly: a node's property context, its attachment table and each
// attachment's own property context.
#include "format/vocabulary.h"
#include "items/items.h"

namespace velmorix::items {
namespace {

std::unique_ptr<ItemRecord> Assemble(ItemContext& ctx, const store::NodeEntry* node,
                                     ReadScope scope) {
  if (!node) return nullptr;
  // A listing read keeps no pointer into the subnode list (its body locator
  // is dropped), so the list lives only while the item is read.
  store::SubnodeList ownList;
  const store::SubnodeList* subnodes = nullptr;
  if (node->subnodeBlock) {
    if (scope == ReadScope::Listing) {
      if (store::ReadSubnodeList(ctx.store, node->subnodeBlock, ownList)) subnodes = &ownList;
    } else {
      subnodes = store::ReadSubnodeList(ctx.store, node->subnodeBlock);
    }
  }
  if (!node->dataBlock) return nullptr;
  auto set = ReadPropertySet(ctx, node->dataBlock->bid, subnodes, scope);
  if (!set) return nullptr;
  auto item = std::make_unique<ItemRecord>();
  DecodeProperties(ctx, *set, item.get());
  set.reset();

  const store::SubnodeEntry* table = FindSubnode(subnodes, format::kNidAttachmentTable);
  if (!table) return item;
  // A mail whose attachments were removed keeps a table without rows; a
  // table that cannot be read costs the attachments, never the item.
  TableRead how = TableRead::Unreadable;
  auto rows = ReadTable(ctx, table->dataBlock->bid, subnodes, how, scope);
  if (!rows || rows->totalRows() <= 0) {
    item->attachmentTableDamaged = how != TableRead::NoRows;
    return item;
  }
  item->attachments.resize(static_cast<size_t>(rows->totalRows()));
  if (scope == ReadScope::Listing) return item;  // what the rows show: that there are attachments
  item->attachmentCursor = &item->attachments.front();
  DecodeAttachmentProperties(ctx, *rows, item.get());
  rows.reset();

  // Only attachment properties are taken from the table and the attachments'
  // own property contexts: an attachment's display name or times must not
  // replace the item's.
  // Values the attachments keep in subnodes of their own are not read: their
  // property contexts are read without a subnode list.
  for (AttachmentRecord& a : item->attachments) {
    const store::SubnodeEntry* sub = FindSubnode(subnodes, a.nid);
    if (!sub) continue;
    auto own = ReadPropertySet(ctx, sub->dataBlock->bid, nullptr);
    if (!own) continue;
    item->attachmentCursor = &a;
    DecodeAttachmentProperties(ctx, *own, item.get());
    if (const store::SubnodeEntry* data = FindSubnode(subnodes, a.nid)) a.dataBid = data->dataBlock->bid;
  }
  item->attachmentCursor = &item->attachments.front();
  return item;
}

}  // namespace

std::unique_ptr<ItemRecord> BuildItem(ItemContext& ctx, const store::NodeEntry* node,
                                      ReadScope scope) {
  ctx.bodyLocator = {};
  std::unique_ptr<ItemRecord> item;
  try {
    item = Assemble(ctx, node, scope);
  } catch (const std::exception&) {
    item.reset();
  }
  if (item && scope == ReadScope::Full) item->bodyLocator = ctx.bodyLocator;
  // No capture travels on to the next item.
  ctx.bodyLocator = {};
  return item;
}

}  // namespace velmorix::items
