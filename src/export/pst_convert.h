// Converts a recovery into one Unicode personal-folders file that mail
// clients open: the recovered folder tree, every listed item in its folder
// with every property it has, its recipients and attachments (embedded
// messages nested). Named properties get ids of the new file; entry IDs that
// point into the source store are left out, since they would name nodes
// the new file does not have.
//
// The file appears under its name only when it is complete: a stop or an
// error leaves nothing, and an existing file is never replaced.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "export/exporter.h"
#include "pst/ndb.h"

namespace velmorix::exporting {

struct PstOptions {
  std::string destination;  // the file to write
  pst::Encoding encoding = pst::Encoding::Permute;
  // Clients refuse files above a size (50 GB for this variant): a larger
  // conversion is split at folder boundaries (and within a folder larger
  // than one file) into DESTINATION, NAME-2.pst, ..., each with the whole
  // folder tree. 0: no limit.
  uint64_t maxSize = 50'000'000'000;
};

struct PstResult {
  size_t foldersWritten = 0;
  size_t itemsWritten = 0;
  size_t itemsFailed = 0;
  uint64_t bytesWritten = 0;  // the files' sizes
  std::vector<std::string> files;  // the files written, in order
  bool cancelled = false;
  std::string error;  // the file could not be written; nothing was left
  std::vector<ItemProblem> failures;
  std::vector<ItemProblem> warnings;
};

// `folders` is the tree to create (in pre-order, parents before children;
// the first path component names the top of the personal folders) and
// `items` what goes into each, as ListedFolders gives them.
PstResult ConvertToPst(content::ItemReader& reader, const std::vector<TreeFolder>& folders,
                       const std::vector<FolderItems>& items, const PstOptions& options,
                       const ProgressCallback& progress = {});

}  // namespace velmorix::exporting
