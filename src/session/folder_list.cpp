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

ListContent FillItemList(const SessionData& data, const std::string& itemPath) {
  ListContent out;
  // Heads are loaded before the variant: the variant is set before any entry
  // is linked in, so a reader that reaches an entry sees the right variant.
  if (itemPath == kTopPath) {
    // The top folder's own mails, when it has any; otherwise no change.
    const FolderRecord& top = data.topFolder();
    if (!top.FirstMail()) return out;
    const TextShower show(data.variant());
    out.changes = true;
    out.columnSet = ColumnSet::Mail;
    out.toggleExpansion = true;
    FillMails(out, show, top);
    return out;
  }

  if (itemPath == kContactsPath && !data.contacts().empty()) {
    const auto* head = data.contacts().head();
    const TextShower show(data.variant());
    out.changes = true;
    out.columnSet = ColumnSet::Contacts;
    for (const items::ContactDetails* c = head; c; c = NextListed(c)) {
      ListRow row;
      row.picture = kListContact;
      row.cells.push_back(show.OrWhenEmpty(c->fileUnder, "None"));
      row.cells.push_back(show.OrWhenEmpty(c->postalAddress, "None"));
      row.cells.push_back(show.OrWhenEmpty(c->mobilePhone, "None"));
      row.nodeId = c->nodeId;
      out.rows.push_back(std::move(row));
    }
    return out;
  }

  // The four lists whose rows are each inserted at the top: collected in
  // list order, then reversed.
  if (itemPath == kTasksPath) {
    const auto* head = data.tasks().head();
    const TextShower show(data.variant());
    out.changes = true;
    out.columnSet = ColumnSet::Tasks;
    for (const items::MessageDetails* t = head; t; t = NextListed(t)) {
      out.rows.push_back({kListTasks, {show.Subject(t), DeliveryDate(t)}, t->nodeId});
    }
    std::reverse(out.rows.begin(), out.rows.end());
    return out;
  }
  if (itemPath == kJournalPath) {
    const auto* head = data.journal().head();
    const TextShower show(data.variant());
    out.changes = true;
    out.columnSet = ColumnSet::Journal;
    for (const items::JournalDetails* j = head; j; j = NextListed(j)) {
      out.rows.push_back(
          {kListJournal, {show.Subject(j->backReference), show(j->logType), ""}, j->nodeId});
    }
    std::reverse(out.rows.begin(), out.rows.end());
    return out;
  }
  if (itemPath == kNotesPath) {
    const auto* head = data.notes().head();
    const TextShower show(data.variant());
    out.changes = true;
    out.columnSet = ColumnSet::Notes;
    for (const items::AppointmentDetails* n = head; n; n = NextListed(n)) {
      const items::MessageDetails* m = n->backReference;
      out.rows.push_back({kListNotes,
                          {show.Subject(m), m ? show(m->bodyText) : std::string(), DeliveryDate(m)},
                          n->nodeId});
    }
    std::reverse(out.rows.begin(), out.rows.end());
    return out;
  }
  if (itemPath == kCalendarPath) {
    const auto* head = data.calendar().head();
    const TextShower show(data.variant());
    out.changes = true;
    out.columnSet = ColumnSet::Calendar;
    for (const items::AppointmentDetails* a = head; a; a = NextListed(a)) {
      const items::MessageDetails* m = a->backReference;
      out.rows.push_back(
          {kListCalendar, {show.Subject(m), show(a->meetingLocation), DeliveryDate(m)}, a->nodeId});
    }
    std::reverse(out.rows.begin(), out.rows.end());
    return out;
  }

  // Any other path: the mails of the first folder record with that path.
  out.changes = true;
  out.columnSet = ColumnSet::Mail;
  const FolderRecord* first = data.firstFolder();
  if (!first) return out;  // no folder record at all: columns only
  out.toggleExpansion = true;
  const TextShower show(data.variant());
  for (const FolderRecord* f = first; f; f = f->Next()) {
    if (f->folderPath == itemPath) {
      FillMails(out, show, *f);
      break;
    }
  }
  return out;
}

}  // namespace velmorix::session
