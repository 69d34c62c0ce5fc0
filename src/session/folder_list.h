// What selecting a folder-tree item shows in the item list, computed from the
// session data without any toolkit: the column set, the rows with their
// pictures and cells, and their order. The window and the CLI render it.
#pragma once

#include <array>
#include <cstdint>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace velmorix::session {

class SessionData;

enum class ColumnSet { Start, Mail, Contacts, Tasks, Journal, Notes, Calendar };

struct Column {
  std::string title;
  int width = 0;
};

// Indexes into the item list's 16 x 16 image list.
enum ListImage : int {
  kListCalendar = 0,
  kListContact = 1,
  kListDeletedItems = 2,
  kListDrafts = 3,
  kListInbox = 4,
  kListJournal = 5,
  kListJunk = 6,
  kListNotes = 7,
  kListOutbox = 8,
  kListSentItems = 9,
  kListTasks = 10,
  kListSyncIssues = 11,
  kListPaperClip = 12,
  kListEnvelope = 13,
  kListEnvelopeClip = 14,
};

struct ListRow {
  int picture = 0;
  std::vector<std::string> cells;  // one per column; "" = empty cell
  uint32_t nodeId = 0;             // the item's node, to read it in full
  uint64_t date = 0;               // the FILETIME the Date column shows; 0 = none
};

struct ListContent {
  // False: the list is left exactly as it is (no column change, no rows).
  bool changes = false;
  ColumnSet columnSet = ColumnSet::Mail;
  std::vector<ListRow> rows;  // in the order shown, top to bottom
  // True for mail folders: the tree item's expansion is toggled.
  bool toggleExpansion = false;
};

const char* ColumnSetName(ColumnSet set);  // "start", "mail", "contacts", ...
std::vector<Column> Columns(ColumnSet set);

// The item list for the tree item whose path is `itemPath`.
ListContent FillItemList(const SessionData& data, const std::string& itemPath);

// One row of a list while it is handed out; its cells are valid during the
// call only.
struct RowView {
  int picture = 0;
  std::string_view cells[4];
  int cellCount = 0;
  uint32_t nodeId = 0;
  uint64_t date = 0;
};
using RowSink = std::function<void(const RowView&)>;

// The same list, each row handed to `sink` in the order shown instead of
// kept in `rows` (for lists too long to hold twice).
ListContent FillItemList(const SessionData& data, const std::string& itemPath, const RowSink& sink);

// One bit per column set, to hold the kinds of the items a folder holds.
inline unsigned KindBit(ColumnSet set) { return 1u << static_cast<unsigned>(set); }

// The column set of a folder (other than the five fixed paths) that holds
// mails or not and non-mail items of the kinds in `placedKinds`: the one kind
// its items all are, or without items the kind its container class names;
// otherwise the mail set, which also shows the other items of a mixed folder.
ColumnSet FolderColumnSet(bool hasMails, unsigned placedKinds, ColumnSet containerKind);

// The item list picture of an item of `kind` in a mixed folder.
int KindPicture(ColumnSet kind);

// The stored UTC clock time of an 8-byte FILETIME in the 24-character form
// "Sat Jul 01 12:00:00 2006"; "" for an all-zero or missing value.
// Times before 1970 or after 2038 are shown like any other; a year past 9999
// takes five digits.
std::string DateText(const void* filetime8, size_t size);
// The same for a FILETIME value (0 = none), written into `buffer`.
std::string_view DateText(uint64_t filetime, char (&buffer)[32]);

// Windows-1252 bytes (the texts of ANSI stores) as UTF-8.
std::string Cp1252ToUtf8(std::string_view bytes);

}  // namespace velmorix::session
