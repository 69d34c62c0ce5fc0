// Saving an item's attachments as files in a folder the user chose: each
// under its own name made safe, numbered when the name is taken (no file is
// ever replaced), written whole or not at all. An embedded message is saved
// as an .eml file.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "content/item_reader.h"

namespace velmorix::exporting {

struct SavedFile {
  std::string name;  // the attachment's name as listed ("" when it has none)
  std::string path;  // where it was written; empty when it was not
  std::string problem;  // why it was not
  uint64_t bytes = 0;   // bytes written
};

struct SaveReport {
  std::vector<SavedFile> files;  // one per attachment asked for, in order
  bool stopped = false;          // `stop` ended the saving early
  size_t saved() const;
};

// The file name an attachment is saved under before it is made safe: its
// name, with its stored extension when the name has none (".eml" for an
// embedded message).
std::string AttachmentFileName(const content::Attachment& attachment);

// Writes `attachments` (of an item `reader` read) into `dir`. `stop` is
// polled between pieces of data; once it returns true the file being
// written is removed and the rest are left.
SaveReport SaveAttachments(content::ItemReader& reader, const std::vector<content::Attachment>& attachments,
                           const std::string& dir, const std::function<bool()>& stop);

}  // namespace velmorix::exporting
