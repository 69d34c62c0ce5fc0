// A folder as the mailbox builder keeps it until it is written.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "storebuilder/mailbox.h"

namespace velmorix::storebuilder {

struct MailboxBuilder::Folder {
  uint32_t nid = 0;
  uint32_t parent = 0;
  std::string name;
  FolderOptions options;
  std::vector<uint32_t> children;
  uint32_t items = 0;
  uint32_t unread = 0;
  std::unique_ptr<SubnodeNids> contentsNids;
  std::unique_ptr<TableWriter> contents;
  // With kept rows: the contents rows, whether the folder changed since it
  // was last written, and the BIDs that write took (by index).
  std::vector<std::pair<uint32_t, std::vector<TcCell>>> rows;
  bool dirty = true;
  bool written = false;
  uint32_t firstBid = 0;
  uint32_t endBid = 0;
};

}  // namespace velmorix::storebuilder
