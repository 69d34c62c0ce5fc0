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

std::string Text(const ListedItem& item, int i) { return std::string(item.Text(i)); }

// The text, or "None" when it is empty.
std::string TextOrNone(const ListedItem& item, int i) {
  std::string_view t = item.Text(i);
  return t.empty() ? std::string("None") : std::string(t);
}

std::string Date(const ListedItem& item) {
  unsigned char b[8];
  for (int i = 0; i < 8; ++i) b[i] = static_cast<unsigned char>(item.date >> (8 * i));
  return DateText(b, sizeof b);
}

ListRow MailRow(const ListedItem& mail) {
  ListRow row;
  row.picture = (mail.flags & ListedItem::kHasAttachments) ? kListEnvelopeClip : kListEnvelope;
  row.cells.reserve(4);
  row.cells.push_back((mail.flags & ListedItem::kHasSender) ? Text(mail, kSender) : std::string("None"));
  row.cells.push_back((mail.flags & ListedItem::kHasSubject) ? Text(mail, kMailSubject)
                                                              : std::string("Unspecified"));
  row.cells.push_back(Text(mail, kRecipients));
  row.cells.push_back(Date(mail));
  row.nodeId = mail.nodeId;
  return row;
}

void FillMails(ListContent& out, const FolderRecord& folder) {
  for (const ListedItem* mail = folder.FirstMail(); mail; mail = mail->Next()) {
    out.rows.push_back(MailRow(*mail));
  }
}

// An item's row in its own kind's column set.
ListRow KindRow(const ListedItem& item) {
  switch (item.kind) {
    case ColumnSet::Contacts:
      return {kListContact,
              {TextOrNone(item, kFileUnder), TextOrNone(item, kPostalAddress), TextOrNone(item, kMobilePhone)},
              item.nodeId};
    case ColumnSet::Tasks:
      return {kListTasks, {Text(item, kSubject), Date(item)}, item.nodeId};
    case ColumnSet::Journal:
      return {kListJournal, {Text(item, kSubject), Text(item, kSecond), ""}, item.nodeId};
    case ColumnSet::Notes:
      return {kListNotes, {Text(item, kSubject), Text(item, kSecond), Date(item)}, item.nodeId};
    case ColumnSet::Calendar:
      return {kListCalendar, {Text(item, kSubject), Text(item, kSecond), Date(item)}, item.nodeId};
    default:
      return {};
  }
}

// An item's row among the mails of a mixed folder: its kind's picture, its
// name or subject, its date.
ListRow MixedRow(const ListedItem& item) {
  std::string name;
  if (item.kind == ColumnSet::Contacts) name = Text(item, kFileUnder);
  if (name.empty()) name = Text(item, kSubject);
  return {KindPicture(item.kind), {"", std::move(name), "", Date(item)}, item.nodeId};
}

// Contacts are shown in list order, the other kinds last first, as their
// fixed folders show them.
void FinishKindRows(ListContent& out) {
  if (out.columnSet != ColumnSet::Contacts) std::reverse(out.rows.begin(), out.rows.end());
}

void FillKind(ListContent& out, ColumnSet set, const ListedChain& list) {
  out.changes = true;
  out.columnSet = set;
  for (const ListedItem* item = list.head(); item; item = item->Next()) out.rows.push_back(KindRow(*item));
  FinishKindRows(out);
}

// What a folder record shows: its own kind's list, or its mails followed by
// the other items lying in it. `mailsOnly` keeps to the mails.
void FillFolder(ListContent& out, const FolderRecord& folder, bool mailsOnly) {
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
    for (const ListedItem* p : placed) out.rows.push_back(KindRow(*p));
    FinishKindRows(out);
    return;
  }
  out.toggleExpansion = true;
  FillMails(out, folder);
  for (const ListedItem* p : placed) out.rows.push_back(MixedRow(*p));
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

ListContent FillItemList(const SessionData& data, const std::string& itemPath) {
  ListContent out;
  if (itemPath == kTopPath) {
    // What lies in the top folder itself, when it holds anything; otherwise
    // no change.
    const FolderRecord& top = data.topFolder();
    if (!top.FirstMail() && !top.FirstPlaced()) return out;
    out.changes = true;
    FillFolder(out, top, false);
    return out;
  }
  if (itemPath == kContactsPath && !data.contacts().empty()) {
    FillKind(out, ColumnSet::Contacts, data.contacts());
    return out;
  }
  if (itemPath == kTasksPath) {
    FillKind(out, ColumnSet::Tasks, data.tasks());
    return out;
  }
  if (itemPath == kJournalPath) {
    FillKind(out, ColumnSet::Journal, data.journal());
    return out;
  }
  if (itemPath == kNotesPath) {
    FillKind(out, ColumnSet::Notes, data.notes());
    return out;
  }
  if (itemPath == kCalendarPath) {
    FillKind(out, ColumnSet::Calendar, data.calendar());
    return out;
  }

  // Any other path: what lies in the first folder record with that path. The
  // contacts folder gets here only while the contacts list is empty, and
  // then shows its mails alone, as it always has.
  out.changes = true;
  out.columnSet = ColumnSet::Mail;
  const FolderRecord* first = data.firstFolder();
  if (!first) return out;  // no folder record at all: columns only
  for (const FolderRecord* f = first; f; f = f->Next()) {
    if (f->folderPath == itemPath) {
      FillFolder(out, *f, itemPath == kContactsPath);
      return out;
    }
  }
  out.toggleExpansion = true;
  return out;
}

}  // namespace velmorix::session
