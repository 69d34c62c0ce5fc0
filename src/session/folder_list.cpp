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

// Turns stored text into UTF-8 for display: ANSI stores hold Windows-1252
// bytes, Unicode stores hold UTF-8 already.
class TextShower {
 public:
  explicit TextShower(store::Variant variant) : ansi_(variant == store::Variant::Ansi) {}

  std::string operator()(const Blob& text) const {
    // A text is shown up to its first NUL, as the list control would.
    std::string_view v = text.view();
    v = v.substr(0, v.find('\0'));
    return ansi_ ? Cp1252ToUtf8(v) : std::string(v);
  }
  // The text, or `fallback` when the field is absent.
  std::string Or(const Blob& text, const char* fallback) const {
    return text.present() ? (*this)(text) : std::string(fallback);
  }
  // The text, or `fallback` when the field is absent or holds no text.
  std::string OrWhenEmpty(const Blob& text, const char* fallback) const {
    std::string s = (*this)(text);
    return s.empty() ? std::string(fallback) : s;
  }
  std::string Subject(const items::MessageDetails* details) const {
    if (!details || !details->subject) return {};
    return (*this)(details->subject->text);
  }

 private:
  bool ansi_;
};

std::string Date(const Blob& filetime) {
  const ByteSpan b = filetime.bytes();
  return DateText(b.data(), b.size());
}

std::string DeliveryDate(const items::MessageDetails* details) {
  return details ? Date(details->deliveryTime) : std::string();
}

ListRow MailRow(const TextShower& show, const items::MessageDetails& mail) {
  ListRow row;
  row.picture = mail.attachmentList.empty() ? kListEnvelope : kListEnvelopeClip;
  row.cells.push_back(show.Or(mail.sentRepresentingName, "None"));
  row.cells.push_back(mail.subject ? show(mail.subject->text) : std::string("Unspecified"));
  row.cells.push_back(show(mail.displayTo));
  row.cells.push_back(Date(mail.deliveryTime));
  row.nodeId = mail.nodeId;
  return row;
}

void FillMails(ListContent& out, const TextShower& show, const FolderRecord& folder) {
  for (const items::MessageDetails* mail = folder.FirstMail(); mail; mail = NextListed(mail)) {
    out.rows.push_back(MailRow(show, *mail));
  }
}

// The rows of each kind's own column set.
ListRow ContactRow(const TextShower& show, const items::ContactDetails& c) {
  ListRow row;
  row.picture = kListContact;
  row.cells.push_back(show.OrWhenEmpty(c.fileUnder, "None"));
  row.cells.push_back(show.OrWhenEmpty(c.postalAddress, "None"));
  row.cells.push_back(show.OrWhenEmpty(c.mobilePhone, "None"));
  row.nodeId = c.nodeId;
  return row;
}

ListRow TaskRow(const TextShower& show, const items::MessageDetails& t) {
  return {kListTasks, {show.Subject(&t), DeliveryDate(&t)}, t.nodeId};
}

ListRow JournalRow(const TextShower& show, const items::JournalDetails& j) {
  return {kListJournal, {show.Subject(j.backReference), show(j.logType), ""}, j.nodeId};
}

ListRow NoteRow(const TextShower& show, const items::AppointmentDetails& n) {
  const items::MessageDetails* m = n.backReference;
  return {kListNotes, {show.Subject(m), m ? show(m->bodyText) : std::string(), DeliveryDate(m)},
          n.nodeId};
}

ListRow CalendarRow(const TextShower& show, const items::AppointmentDetails& a) {
  const items::MessageDetails* m = a.backReference;
  return {kListCalendar, {show.Subject(m), show(a.meetingLocation), DeliveryDate(m)}, a.nodeId};
}

// A placed item's row in its own kind's column set.
ListRow KindRow(const TextShower& show, const PlacedItem& p) {
  switch (p.kind) {
    case ColumnSet::Contacts: return ContactRow(show, *p.contact);
    case ColumnSet::Tasks: return TaskRow(show, *p.message);
    case ColumnSet::Journal: return JournalRow(show, *p.journal);
    case ColumnSet::Notes: return NoteRow(show, *p.appointment);
    case ColumnSet::Calendar: return CalendarRow(show, *p.appointment);
    default: return {};
  }
}

// A placed item's row among the mails of a mixed folder: its kind's picture,
// its name or subject, its date.
ListRow MixedRow(const TextShower& show, const PlacedItem& p) {
  std::string name;
  if (p.contact) name = show(p.contact->fileUnder);
  if (name.empty()) name = show.Subject(p.message);
  return {KindPicture(p.kind), {"", std::move(name), "", DeliveryDate(p.message)}, p.nodeId};
}

// Contacts are shown in list order, the other kinds last first, as their
// fixed folders show them.
void FinishKindRows(ListContent& out) {
  if (out.columnSet != ColumnSet::Contacts) std::reverse(out.rows.begin(), out.rows.end());
}

// What a folder record shows: its own kind's list, or its mails followed by
// the other items lying in it. `mailsOnly` keeps to the mails.
void FillFolder(ListContent& out, const TextShower& show, const FolderRecord& folder,
                bool mailsOnly) {
  // One pass over the placed items: the kinds decided on are those of the
  // items shown, also while the worker appends.
  std::vector<const PlacedItem*> placed;
  unsigned kinds = 0;
  if (!mailsOnly) {
    for (const PlacedItem* p = folder.FirstPlaced(); p; p = p->Next()) {
      placed.push_back(p);
      kinds |= KindBit(p->kind);
    }
  }
  const bool hasMails = folder.FirstMail() != nullptr;
  out.columnSet = mailsOnly ? ColumnSet::Mail : FolderColumnSet(hasMails, kinds, folder.containerKind);
  if (out.columnSet != ColumnSet::Mail) {
    for (const PlacedItem* p : placed) out.rows.push_back(KindRow(show, *p));
    FinishKindRows(out);
    return;
  }
  out.toggleExpansion = true;
  FillMails(out, show, folder);
  for (const PlacedItem* p : placed) out.rows.push_back(MixedRow(show, *p));
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
  // Heads are loaded before the variant: the variant is set before any entry
  // is linked in, so a reader that reaches an entry sees the right variant.
  if (itemPath == kTopPath) {
    // What lies in the top folder itself, when it holds anything; otherwise
    // no change.
    const FolderRecord& top = data.topFolder();
    if (!top.FirstMail() && !top.FirstPlaced()) return out;
    const TextShower show(data.variant());
    out.changes = true;
    FillFolder(out, show, top, false);
    return out;
  }

  if (itemPath == kContactsPath && !data.contacts().empty()) {
    const auto* head = data.contacts().head();
    const TextShower show(data.variant());
    out.changes = true;
    out.columnSet = ColumnSet::Contacts;
    for (const items::ContactDetails* c = head; c; c = NextListed(c)) out.rows.push_back(ContactRow(show, *c));
    return out;
  }

  // The four lists whose rows are each inserted at the top: collected in
  // list order, then reversed.
  if (itemPath == kTasksPath) {
    const auto* head = data.tasks().head();
    const TextShower show(data.variant());
    out.changes = true;
    out.columnSet = ColumnSet::Tasks;
    for (const items::MessageDetails* t = head; t; t = NextListed(t)) out.rows.push_back(TaskRow(show, *t));
    FinishKindRows(out);
    return out;
  }
  if (itemPath == kJournalPath) {
    const auto* head = data.journal().head();
    const TextShower show(data.variant());
    out.changes = true;
    out.columnSet = ColumnSet::Journal;
    for (const items::JournalDetails* j = head; j; j = NextListed(j)) out.rows.push_back(JournalRow(show, *j));
    FinishKindRows(out);
    return out;
  }
  if (itemPath == kNotesPath) {
    const auto* head = data.notes().head();
    const TextShower show(data.variant());
    out.changes = true;
    out.columnSet = ColumnSet::Notes;
    for (const items::AppointmentDetails* n = head; n; n = NextListed(n)) out.rows.push_back(NoteRow(show, *n));
    FinishKindRows(out);
    return out;
  }
  if (itemPath == kCalendarPath) {
    const auto* head = data.calendar().head();
    const TextShower show(data.variant());
    out.changes = true;
    out.columnSet = ColumnSet::Calendar;
    for (const items::AppointmentDetails* a = head; a; a = NextListed(a)) {
      out.rows.push_back(CalendarRow(show, *a));
    }
    FinishKindRows(out);
    return out;
  }

  // Any other path: what lies in the first folder record with that path. The
  // contacts folder gets here only while the contacts list is empty, and
  // then shows its mails alone, as it always has.
  out.changes = true;
  out.columnSet = ColumnSet::Mail;
  const FolderRecord* first = data.firstFolder();
  if (!first) return out;  // no folder record at all: columns only
  const TextShower show(data.variant());
  for (const FolderRecord* f = first; f; f = f->Next()) {
    if (f->folderPath == itemPath) {
      FillFolder(out, show, *f, itemPath == kContactsPath);
      return out;
    }
  }
  out.toggleExpansion = true;
  return out;
}

}  // namespace velmorix::session
