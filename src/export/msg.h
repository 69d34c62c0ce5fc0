// An item as one .msg file: the mail client's own format for a single item,
// an OLE compound file (written by libgsf) holding every property the item
// keeps. The message's properties are in its property stream and one stream
// per variable-size value; recipients and attachments have storages of
// their own, attachment data its stream, an embedded message a nested
// storage of the same shape; named properties are listed in the file's
// named property mapping storage under IDs of the file's own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "content/item.h"
#include "content/item_reader.h"

namespace velmorix::exporting {

// A compound file of 512-byte sectors holds at most 2 GB.
inline constexpr uint64_t kMaxMsgBytes = uint64_t{2} << 30;
// A .msg file holds at most this many recipients and attachments per message.
inline constexpr size_t kMaxMsgRecipients = 2048;
inline constexpr size_t kMaxMsgAttachments = 2048;

// The read options a written item must have been read with.
content::ReadOptions MsgReadOptions();

// Writes `item` (read with MsgReadOptions()) as a .msg file into `fd`, an
// empty seekable file open for writing, which stays open. Attachment bytes
// and embedded messages are read through `reader`, which read `item`; parts
// that cannot be read are left out and named in `problems` (with those of
// embedded messages; the item's own are in Item::problems). False (with
// `error`) when no whole file could be written: the file is then to be
// discarded.
bool WriteMsg(content::ItemReader& reader, const content::Item& item, int fd, std::vector<std::string>& problems,
              std::string* error = nullptr);

// Saves `item` as the new file `path`: written under a temporary name in
// its folder and named when whole; an existing file is never replaced (the
// save fails). The path written, or nullopt with `error`.
std::optional<std::string> SaveMsg(content::ItemReader& reader, const content::Item& item, const std::string& path,
                                   std::vector<std::string>& problems, std::string* error = nullptr);

}  // namespace velmorix::exporting
