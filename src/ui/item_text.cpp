#include "ui/item_text.h"

#include <QDateTime>
#include <QLocale>
#include <QTimeZone>

#include "ui/text.h"

namespace velmorix::ui {

using content::Item;
using content::RecipientType;

namespace {

class Fields {
 public:
  void Add(const QString& label, const QString& value) {
    if (!value.trimmed().isEmpty()) out.push_back({label, value});
  }
  void Add(const char* label, const QString& value) { Add(QString::fromLatin1(label), value); }
  void Add(const char* label, const std::string& value) { Add(QString::fromLatin1(label), ToQString(value)); }
  void Add(const QString& label, const std::string& value) { Add(label, ToQString(value)); }
  void Time(const char* label, const std::optional<content::FileTime>& t) {
    if (t) Add(label, TimeText(*t));
  }
  std::vector<Field> out;
};

QString Recipients(const Item& item, RecipientType type, const std::string& display) {
  QStringList names;
  for (const content::Recipient& r : item.recipients) {
    if (r.type == type) names.append(AddressText(r));
  }
  return names.isEmpty() ? ToQString(display) : names.join(QStringLiteral("; "));
}

const content::Address& From(const Item& item) {
  const content::Address& r = item.sentRepresenting;
  return r.name.empty() && r.address.empty() && r.smtpAddress.empty() ? item.sender : r;
}

QString AttachmentsLine(const Item& item) {
  QStringList parts;
  for (const content::Attachment& a : item.attachments) {
    if (a.hidden) continue;
    QString name = AttachmentName(a);
    if (name.isEmpty()) name = QStringLiteral("(no name)");
    parts.append(a.isEmbeddedMessage() ? name : QStringLiteral("%1 (%2)").arg(name, SizeText(a.size)));
  }
  return parts.join(QStringLiteral("; "));
}

void MailFields(const Item& item, Fields& f) {
  const content::Address& from = From(item);
  f.Add("From", AddressText(from));
  if (&from != &item.sender && !item.sender.name.empty() && AddressText(item.sender) != AddressText(from)) {
    f.Add("Sender", AddressText(item.sender));
  }
  f.Add("To", Recipients(item, RecipientType::To, item.displayTo));
  f.Add("Cc", Recipients(item, RecipientType::Cc, item.displayCc));
  f.Add("Bcc", Recipients(item, RecipientType::Bcc, item.displayBcc));
  f.Add("Subject", item.subject);
  if (item.sentTime) {
    f.Time("Date", item.sentTime);
  } else if (item.receivedTime) {
    f.Time("Date", item.receivedTime);
  } else {
    f.Time("Date", item.creationTime);
  }
  if (item.importance == 0) f.Add("Importance", QStringLiteral("Low"));
  if (item.importance == 2) f.Add("Importance", QStringLiteral("High"));
}

QString JoinParts(std::initializer_list<const std::string*> parts, const char* separator) {
  QStringList out;
  for (const std::string* p : parts) {
    if (!p->empty()) out.append(ToQString(*p));
  }
  return out.join(QLatin1String(separator));
}

void ContactFields(const Item& item, const content::ContactFields& c, Fields& f) {
  const QString name = JoinParts({&c.prefix, &c.givenName, &c.middleName, &c.surname, &c.suffix}, " ");
  f.Add("Name", name.isEmpty() ? ToQString(c.displayName.empty() ? item.subject : c.displayName) : name);
  f.Add("File as", c.fileUnder);
  f.Add("Nickname", c.nickname);
  f.Add("Company", c.company);
  f.Add("Department", c.department);
  f.Add("Job title", c.jobTitle);
  for (const content::EmailAddress& e : c.emails) {
    const QString address = ToQString(e.address);
    const QString shown = ToQString(e.displayName);
    f.Add("E-mail", shown.isEmpty() || shown == address || shown.contains(address)
                        ? address
                        : QStringLiteral("%1 <%2>").arg(shown, address));
  }
  for (const content::LabeledText& p : c.phones) {
    f.Add(QStringLiteral("Phone (%1)").arg(ToQString(p.label)), p.value);
  }
  for (const content::PostalAddress& a : c.addresses) {
    QString text = ToQString(a.full);
    if (text.trimmed().isEmpty()) {
      text = JoinParts({&a.street, &a.poBox, &a.city, &a.state, &a.postalCode, &a.country}, ", ");
    }
    f.Add(QStringLiteral("Address (%1)").arg(ToQString(a.label)), text);
  }
  f.Time("Birthday", c.birthday);
  f.Time("Anniversary", c.anniversary);
  f.Add("Web page", c.businessHomePage.empty() ? c.personalHomePage : c.businessHomePage);
  f.Add("IM address", c.imAddress);
  for (const content::EmailAddress& m : c.members) {
    const QString address = ToQString(m.address);
    const QString shown = ToQString(m.displayName);
    f.Add("Member", shown.isEmpty() ? address
                    : address.isEmpty() || shown == address ? shown
                                                            : QStringLiteral("%1 <%2>").arg(shown, address));
  }
}

void AppointmentFields(const Item& item, const content::AppointmentFields& a, Fields& f) {
  f.Add("Subject", item.subject);
  f.Add("Location", a.location);
  f.Time("Start", a.start);
  f.Time("End", a.end);
  if (a.allDay) f.Add("All day", QStringLiteral("Yes"));
  f.Add("Recurrence", a.recurrenceText);
  f.Add("Organizer", AddressText(From(item)));
  QStringList attendees;
  for (const content::Recipient& r : item.recipients) {
    if (r.type == RecipientType::Originator) continue;
    attendees.append(AddressText(r));
  }
  f.Add("Attendees", attendees.isEmpty() ? JoinParts({&item.displayTo, &item.displayCc}, "; ")
                                         : attendees.join(QStringLiteral("; ")));
}

void TaskFields(const Item& item, const content::TaskFields& t, Fields& f) {
  static constexpr const char* kStatus[] = {"Not started", "In progress", "Complete", "Waiting on someone else",
                                            "Deferred"};
  f.Add("Subject", item.subject);
  f.Time("Start", t.start);
  f.Time("Due", t.due);
  if (t.status >= 0 && t.status < 5) f.Add("Status", QString::fromLatin1(kStatus[t.status]));
  if (t.percentComplete > 0 && t.percentComplete <= 1) {
    f.Add("% Complete", QString::number(static_cast<int>(t.percentComplete * 100 + 0.5)) + QLatin1Char('%'));
  }
  f.Time("Completed", t.completed);
  f.Add("Owner", t.owner);
}

void NoteFields(const Item& item, const content::NoteFields& n, Fields& f) {
  static constexpr const char* kColors[] = {"Blue", "Green", "Pink", "Yellow", "White"};
  f.Add("Subject", item.subject);
  if (n.color >= 0 && n.color < 5) f.Add("Color", QString::fromLatin1(kColors[n.color]));
  f.Time("Modified", item.modificationTime ? item.modificationTime : item.creationTime);
}

void JournalFields(const Item& item, const content::JournalFields& j, Fields& f) {
  f.Add("Subject", item.subject);
  f.Add("Entry type", j.typeDescription.empty() ? j.type : j.typeDescription);
  f.Time("Start", j.start);
  f.Time("End", j.end);
  if (j.durationMinutes > 0) f.Add("Duration", QStringLiteral("%1 minutes").arg(j.durationMinutes));
}

}  // namespace

std::vector<Field> HeaderFields(const Item& item) {
  Fields f;
  if (item.contact) {
    ContactFields(item, *item.contact, f);
  } else if (item.appointment) {
    AppointmentFields(item, *item.appointment, f);
  } else if (item.task) {
    TaskFields(item, *item.task, f);
  } else if (item.note) {
    NoteFields(item, *item.note, f);
  } else if (item.journal) {
    JournalFields(item, *item.journal, f);
  } else {
    MailFields(item, f);
  }
  f.Add("Attachments", AttachmentsLine(item));
  return std::move(f.out);
}

QString ItemTitle(const Item& item) {
  if (!item.subject.empty()) return ToQString(item.subject);
  if (item.contact && !item.contact->displayName.empty()) return ToQString(item.contact->displayName);
  switch (item.kind) {
    case content::ItemKind::Contact: return QStringLiteral("Contact");
    case content::ItemKind::Appointment: return QStringLiteral("Appointment");
    case content::ItemKind::Task: return QStringLiteral("Task");
    case content::ItemKind::StickyNote: return QStringLiteral("Note");
    case content::ItemKind::Journal: return QStringLiteral("Journal entry");
    default: return QStringLiteral("(no subject)");
  }
}

QString TimeText(content::FileTime time) {
  if (content::FormatFileTime(time).empty()) return {};  // out of range
  const QDateTime utc = QDateTime::fromSecsSinceEpoch(content::UnixSeconds(time), QTimeZone::utc());
  const QDateTime local = utc.toLocalTime();
  return QLocale::c().toString(local, QStringLiteral("ddd yyyy-MM-dd HH:mm:ss ")) + local.timeZoneAbbreviation();
}

QString SizeText(uint64_t bytes) {
  if (bytes < 1024) return QStringLiteral("%1 bytes").arg(bytes);
  const double kb = static_cast<double>(bytes) / 1024.0;
  if (kb < 1024) return QStringLiteral("%1 KB").arg(kb, 0, 'f', 1);
  const double mb = kb / 1024.0;
  if (mb < 1024) return QStringLiteral("%1 MB").arg(mb, 0, 'f', 1);
  return QStringLiteral("%1 GB").arg(mb / 1024.0, 0, 'f', 1);
}

QString AddressText(const content::Address& a) {
  std::string address = a.smtpAddress;
  // An Exchange address is a directory path that means nothing to a reader.
  const bool exchange = a.addressType == "EX" || (!a.address.empty() && a.address.front() == '/');
  if (address.empty() && !exchange) address = a.address;
  const QString name = ToQString(a.name).trimmed();
  const QString addr = ToQString(address).trimmed();
  if (name.isEmpty()) return addr;
  if (addr.isEmpty() || addr.compare(name, Qt::CaseInsensitive) == 0 || name.contains(addr)) return name;
  return QStringLiteral("%1 <%2>").arg(name, addr);
}

QString PropertyTag(const content::Property& p) {
  return QStringLiteral("0x%1%2")
      .arg(p.id, 4, 16, QLatin1Char('0'))
      .arg(p.type, 4, 16, QLatin1Char('0'))
      .toUpper()
      .replace(QLatin1String("0X"), QLatin1String("0x"));
}

QString AttachmentName(const content::Attachment& a) {
  if (!a.fileName.empty()) return ToQString(a.fileName);
  if (!a.displayName.empty()) return ToQString(a.displayName);
  return {};
}

}  // namespace velmorix::ui
