#include "session/folder_list.h"

#include <algorithm>

#include "session/session_data.h"

namespace velmorix::session {

namespace {

constexpr const char* kTopPath = "Personal Folders\\";
constexpr const char* kContactsPath = "Personal Folders\\Contacts\\";
constexpr const char* kTasksPath = "Personal Folders\\Tasks\\";
constexpr const char* kJournalPath = "Personal Folders\\Journal\\";
constexpr const char* kNotesPath = "Personal Folders\\Notes\\";
constexpr const char* kCalendarPath = "Personal Folders\\Calendar\\";

// Text indexes of a listed item (see ListedItem).
constexpr int kSender = 0, kMailSubject = 1, kRecipients = 2;
constexpr int kSubject = 0, kSecond = 1;
constexpr int kFileUnder = 1, kPostalAddress = 2, kMobilePhone = 3;

// Hands out the rows of one list, each made from a listed item.
class Rows {
 public:
  explicit Rows(const RowSink& sink) : sink_(sink) {}

  void Mail(const ListedItem& mail) {
    RowView row = Start(mail, (mail.flags & ListedItem::kHasAttachments) ? kListEnvelopeClip
                                                                         : kListEnvelope);
    Add(row, (mail.flags & ListedItem::kHasSender) ? mail.Text(kSender) : "None");
    Add(row, (mail.flags & ListedItem::kHasSubject) ? mail.Text(kMailSubject) : "Unspecified");
    Add(row, mail.Text(kRecipients));
    Add(row, Date(mail));
    sink_(row);
  }

  // An item's row in its own kind's column set.
  void Kind(const ListedItem& item) {
    RowView row = Start(item, KindPicture(item.kind));
    switch (item.kind) {
      case ColumnSet::Contacts:
        Add(row, OrNone(item.Text(kFileUnder)));
        Add(row, OrNone(item.Text(kPostalAddress)));
        Add(row, OrNone(item.Text(kMobilePhone)));
        break;
      case ColumnSet::Tasks:
        Add(row, item.Text(kSubject));
        Add(row, Date(item));
        break;
      case ColumnSet::Journal:
        Add(row, item.Text(kSubject));
        Add(row, item.Text(kSecond));
        Add(row, "");
        break;
      default:  // notes and appointments
        Add(row, item.Text(kSubject));
        Add(row, item.Text(kSecond));
        Add(row, Date(item));
        break;
    }
    sink_(row);
  }

  // An item's row among the mails of a mixed folder: its kind's picture, its
  // name or subject, its date.
  void Mixed(const ListedItem& item) {
    RowView row = Start(item, KindPicture(item.kind));
    std::string_view name = item.kind == ColumnSet::Contacts ? item.Text(kFileUnder) : std::string_view();
    if (name.empty()) name = item.Text(kSubject);
    Add(row, "");
    Add(row, name);
    Add(row, "");
    Add(row, Date(item));
    sink_(row);
  }

 private:
  static RowView Start(const ListedItem& item, int picture) {
    RowView row;
    row.picture = picture;
    row.nodeId = item.nodeId;
    row.date = item.date;
    return row;
  }
  static void Add(RowView& row, std::string_view cell) { row.cells[row.cellCount++] = cell; }
  static std::string_view OrNone(std::string_view text) { return text.empty() ? "None" : text; }
  std::string_view Date(const ListedItem& item) { return DateText(item.date, date_); }

  const RowSink& sink_;
  char date_[32];
};

// A kind's rows: contacts in list order, the other kinds last first, as
// their fixed folders show them.
void KindRows(Rows& rows, ColumnSet set, const std::vector<const ListedItem*>& items) {
  if (set == ColumnSet::Contacts) {
    for (const ListedItem* item : items) rows.Kind(*item);
  } else {
    for (auto it = items.rbegin(); it != items.rend(); ++it) rows.Kind(**it);
  }
}

void FillKind(ListContent& out, Rows& rows, ColumnSet set, const ListedChain& list) {
  out.changes = true;
  out.columnSet = set;
  std::vector<const ListedItem*> items;
  for (const ListedItem* item = list.head(); item; item = item->Next()) items.push_back(item);
  KindRows(rows, set, items);
}

// What a folder record shows: its own kind's list, or its mails followed by
// the other items lying in it. `mailsOnly` keeps to the mails.
void FillFolder(ListContent& out, Rows& rows, const FolderRecord& folder, bool mailsOnly) {
  // One pass over the placed items: the kinds decided on are those of the
  // items shown, also while the worker appends.
  std::vector<const ListedItem*> placed;
  unsigned kinds = 0;
  if (!mailsOnly) {
    for (const ListedItem* p = folder.FirstPlaced(); p; p = p->NextPlaced()) {
      placed.push_back(p);
      kinds |= KindBit(p->kind);
    }
  }
  const bool hasMails = folder.FirstMail() != nullptr;
  out.columnSet = mailsOnly ? ColumnSet::Mail : FolderColumnSet(hasMails, kinds, folder.containerKind);
  if (out.columnSet != ColumnSet::Mail) {
    KindRows(rows, out.columnSet, placed);
    return;
  }
  out.toggleExpansion = true;
  for (const ListedItem* mail = folder.FirstMail(); mail; mail = mail->Next()) rows.Mail(*mail);
  for (const ListedItem* p : placed) rows.Mixed(*p);
}

}  // namespace

const char* ColumnSetName(ColumnSet set) {
  switch (set) {
    case ColumnSet::Start: return "start";
    case ColumnSet::Mail: return "mail";
    case ColumnSet::Contacts: return "contacts";
    case ColumnSet::Tasks: return "tasks";
    case ColumnSet::Journal: return "journal";
    case ColumnSet::Notes: return "notes";
    case ColumnSet::Calendar: return "calendar";
  }
  return "";
}

std::vector<Column> Columns(ColumnSet set) {
  switch (set) {
    case ColumnSet::Start:
      return {{"From", 170}, {"Subject", 170}, {"To", 170}, {"Date", 170}, {"", 0}, {"", 0}};
    case ColumnSet::Mail:
      return {{"From", 170}, {"Subject", 170}, {"To", 170}, {"Date", 170}};
    case ColumnSet::Contacts:
      return {{"Name", 170}, {"Postal Address", 170}, {"Mobile Phone", 170}};
    case ColumnSet::Tasks:
      return {{"Subject", 260}, {"Date", 260}};
    case ColumnSet::Journal:
      return {{"Subject", 170}, {"Entry Type", 170}, {"Date", 170}};
    case ColumnSet::Notes:
      return {{"Subject", 170}, {"Body", 170}, {"Date", 170}};
    case ColumnSet::Calendar:
      return {{"Subject", 170}, {"Location", 170}, {"Date", 170}};
  }
  return {};
}

ColumnSet FolderColumnSet(bool hasMails, unsigned placedKinds, ColumnSet containerKind) {
  if (hasMails) return ColumnSet::Mail;
  if (placedKinds == 0) return containerKind;
  for (ColumnSet set : {ColumnSet::Contacts, ColumnSet::Tasks, ColumnSet::Journal, ColumnSet::Notes,
                        ColumnSet::Calendar}) {
    if (placedKinds == KindBit(set)) return set;
  }
  return ColumnSet::Mail;  // several kinds: a mixed folder
}

int KindPicture(ColumnSet kind) {
  switch (kind) {
    case ColumnSet::Contacts: return kListContact;
    case ColumnSet::Tasks: return kListTasks;
    case ColumnSet::Journal: return kListJournal;
    case ColumnSet::Notes: return kListNotes;
    case ColumnSet::Calendar: return kListCalendar;
    default: return kListEnvelope;
  }
}

ListContent FillItemList(const SessionData& data, const std::string& itemPath, const RowSink& sink) {
  ListContent out;
  Rows rows(sink);
  if (itemPath == kTopPath) {
    // What lies in the top folder itself, when it holds anything; otherwise
    // no change.
    const FolderRecord& top = data.topFolder();
    if (!top.FirstMail() && !top.FirstPlaced()) return out;
    out.changes = true;
    FillFolder(out, rows, top, false);
    return out;
  }
  if (itemPath == kContactsPath && !data.contacts().empty()) {
    FillKind(out, rows, ColumnSet::Contacts, data.contacts());
    return out;
  }
  if (itemPath == kTasksPath) {
    FillKind(out, rows, ColumnSet::Tasks, data.tasks());
    return out;
  }
  if (itemPath == kJournalPath) {
    FillKind(out, rows, ColumnSet::Journal, data.journal());
    return out;
  }
  if (itemPath == kNotesPath) {
    FillKind(out, rows, ColumnSet::Notes, data.notes());
    return out;
  }
  if (itemPath == kCalendarPath) {
    FillKind(out, rows, ColumnSet::Calendar, data.calendar());
    return out;
  }

  // Any other path: what lies in the first folder record with that path. The
  // contacts folder gets here only while the contacts list is empty, and
  // then shows its mails alone, as it always has.
  out.changes = true;
  out.columnSet = ColumnSet::Mail;
  const FolderRecord* first = data.firstFolder();
  if (!first) return out;  // no folder record at all: columns only
  const size_t hash = std::hash<std::string>{}(itemPath);
  for (const FolderRecord* f = first; f; f = f->Next()) {
    if (f->pathHash == hash && f->folderPath == itemPath) {
      FillFolder(out, rows, *f, itemPath == kContactsPath);
      return out;
    }
  }
  out.toggleExpansion = true;
  return out;
}

ListContent FillItemList(const SessionData& data, const std::string& itemPath) {
  std::vector<ListRow> rows;
  ListContent out = FillItemList(data, itemPath, [&rows](const RowView& view) {
    ListRow& row = rows.emplace_back();
    row.picture = view.picture;
    row.nodeId = view.nodeId;
    row.date = view.date;
    row.cells.reserve(static_cast<size_t>(view.cellCount));
    for (int i = 0; i < view.cellCount; ++i) row.cells.emplace_back(view.cells[i]);
  });
  out.rows = std::move(rows);
  return out;
}

}  // namespace velmorix::session
