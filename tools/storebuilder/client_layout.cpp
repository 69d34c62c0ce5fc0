// The client-like layout of the mailbox builder: items replaced and deleted,
// folders rewritten and the indexes appended after each batch, the older
// versions left in the file as free space, as mail clients leave them.
#include <algorithm>
#include <stdexcept>

#include "storebuilder/mailbox.h"
#include "storebuilder/mailbox_folder.h"

namespace velmorix::storebuilder {

void MailboxBuilder::FreeBids(uint32_t firstBid, uint32_t endBid) {
  // BIDs are handed out in order, four apart; the internal bit tells data
  // from internal blocks, so both forms of each number are freed. The
  // shared empty recipient table stays.
  for (uint32_t bid = firstBid & ~3u; bid < endBid; bid += 4) {
    if (emptyRecipientTable_ && (emptyRecipientTable_ & ~3u) == bid) continue;
    ndb_->FreeBlock(bid);
    ndb_->FreeBlock(bid | 2u);
  }
}

uint32_t MailboxBuilder::ReplaceItem(uint32_t nid, const Item& item) {
  if (finished_) throw std::logic_error("mailbox already finished");
  auto it = kept_.find(nid);
  if (!options_.keepRows || it == kept_.end()) throw std::invalid_argument("no such item kept");
  KeptItem& k = it->second;
  Folder& folder = FolderOf(k.folder);
  MessageIds ids;
  const uint32_t firstBid = ndb_->PeekNextBlockBid(false);
  WrittenMessage m = WriteMessage(item, ids, true);
  FreeBids(k.firstBid, k.endBid);
  const uint32_t old = k.dataBid;
  if (k.read != m.read) folder.unread += m.read ? -1u : 1u;
  k = {k.folder, m.dataBid, firstBid, ndb_->PeekNextBlockBid(false), m.read};
  for (auto& row : folder.rows) {
    if (row.first == nid) row.second = std::move(m.row);
  }
  folder.dirty = true;
  FolderOf(folder.parent).dirty = true;
  ndb_->RemoveNode(nid);
  ndb_->AddNode(nid, m.dataBid, m.subnodeBid, k.folder);
  return old;
}

uint32_t MailboxBuilder::DeleteItem(uint32_t nid) {
  if (finished_) throw std::logic_error("mailbox already finished");
  auto it = kept_.find(nid);
  if (!options_.keepRows || it == kept_.end()) throw std::invalid_argument("no such item kept");
  const KeptItem k = it->second;
  kept_.erase(it);
  Folder& folder = FolderOf(k.folder);
  std::erase_if(folder.rows, [nid](const auto& row) { return row.first == nid; });
  --folder.items;
  if (!k.read) --folder.unread;
  folder.dirty = true;
  FolderOf(folder.parent).dirty = true;
  FreeBids(k.firstBid, k.endBid);
  ndb_->RemoveNode(nid);
  return k.dataBid;
}

void MailboxBuilder::RewriteFolder(Folder& f) {
  if (f.written) {
    const uint32_t base = f.nid & ~0x1Fu;
    for (uint32_t nid : {f.nid, base | 0x0D, base | 0x0E, base | 0x0F}) ndb_->RemoveNode(nid);
    FreeBids(f.firstBid, f.endBid);
  }
  f.firstBid = ndb_->PeekNextBlockBid(false);
  WriteFolder(f);
  f.endBid = ndb_->PeekNextBlockBid(false);
  f.written = true;
  f.dirty = false;
}

void MailboxBuilder::Checkpoint() {
  if (finished_) throw std::logic_error("mailbox already finished");
  if (!options_.keepRows) throw std::logic_error("checkpoints need kept rows");
  if (!hierarchyTemplate_) WriteTemplates();
  for (auto& f : folders_) {
    if (f->dirty || !f->written) RewriteFolder(*f);
  }
  if (!storeWritten_) WriteStore();
  storeWritten_ = true;
  ndb_->WriteStaleIndex();
}

}  // namespace velmorix::storebuilder
