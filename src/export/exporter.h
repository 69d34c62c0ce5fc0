// Exports listed items as files other programs open, into a folder the user
// chose: mails as .eml files or one mbox per folder, contacts as vCards,
// calendar items, tasks and journal entries as iCalendar files, sticky notes
// as text files; or every item as a .msg file. The front end says which items (by node id, grouped by the
// folder they are listed in and the kind of that list) and where; the export
// mirrors the folders as directories, names every file after its item,
// safely and uniquely, and never replaces a file or leaves a partial one.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "content/item_reader.h"

namespace velmorix::exporting {

enum class Format {
  Eml,        // mails as .eml
  Mbox,       // mails as one mbox file per folder
  VCard,      // contacts as .vcf
  ICalendar,  // calendar items, tasks and journal entries as .ics
  Msg,        // every item as the mail client's own .msg file
  All,        // each kind in its own format (mails as .eml, notes as .txt)
  Pst,        // every item into one personal-folders file (see pst_convert.h)
};

// The list a folder's items are shown in, which says what they are.
enum class ListKind { Mail, Contacts, Calendar, Tasks, Journal, Notes };

// Parses "eml", "mbox", "vcf", "ics", "msg", "all", "pst".
std::optional<Format> ParseFormat(std::string_view name);
// Whether `format` writes the items of a `kind` list.
bool Takes(Format format, ListKind kind);

// Items listed in one folder.
struct FolderItems {
  // The folder's names from the top ("Personal Folders", "Inbox"); each
  // becomes one directory below the destination. Empty: the items go into
  // the destination itself (saving selected rows).
  std::vector<std::string> path;
  ListKind kind = ListKind::Mail;
  std::vector<uint32_t> nodeIds;
};

// A folder of the recovered tree, with the store node it was found at (0
// when the tree shows it without a folder node behind it).
struct TreeFolder {
  std::vector<std::string> path;
  uint32_t nodeId = 0;
};

struct Progress {
  size_t itemsDone = 0;   // items handled so far (written or failed)
  size_t itemsTotal = 0;  // items the export will handle
  uint64_t bytesWritten = 0;
  std::string folder;     // the folder being exported, as "A\B"
};
// Called after each item; returning false stops the export (what is
// written stays, the file being written is removed).
using ProgressCallback = std::function<bool(const Progress&)>;

// An item that was not written, or written without some part.
struct ItemProblem {
  std::string folder;  // as "Personal Folders\Inbox"
  uint32_t nodeId = 0;
  std::string subject;  // when the item could be read
  std::string reason;
};

struct ExportResult {
  size_t itemsWritten = 0;   // items written as files (or into an mbox)
  size_t itemsFailed = 0;    // items that could not be read or written
  size_t filesWritten = 0;
  uint64_t bytesWritten = 0;
  bool cancelled = false;
  // A problem with the destination itself (it cannot be created or
  // written), after which nothing more was tried.
  std::string error;
  std::vector<ItemProblem> failures;  // one per failed item
  std::vector<ItemProblem> warnings;  // items written without some part (an unreadable attachment)
};

struct ExportOptions {
  Format format = Format::All;
  std::string destination;  // created when missing
  // Attachments of items other than mails (written inside .eml files) are
  // saved as files beside the item's own file.
  bool attachmentsOfOtherItems = true;
};

// Exports `folders` through `reader` (which must read the store the node
// ids come from). The items of lists the format does not take are left out
// and not counted.
ExportResult Export(content::ItemReader& reader, const std::vector<FolderItems>& folders,
                    const ExportOptions& options, const ProgressCallback& progress = {});

// How many items of `folders` the format takes.
size_t CountItems(const std::vector<FolderItems>& folders, Format format);

}  // namespace velmorix::exporting
