// Property bags and the item kinds the builder writes: mails, reports,
// contacts, appointments, tasks, sticky notes and journal entries.
#include "storebuilder/mailbox.h"

#include <algorithm>
#include <stdexcept>

#include "format/vocabulary.h"
#include "storebuilder/rtf.h"

namespace velmorix::storebuilder {
namespace {


PropertyName Address(uint32_t lid) { return PropertyName::Lid(kPsetidAddress, lid); }
PropertyName Appointment(uint32_t lid) { return PropertyName::Lid(kPsetidAppointment, lid); }
PropertyName Task(uint32_t lid) { return PropertyName::Lid(kPsetidTask, lid); }
PropertyName Log(uint32_t lid) { return PropertyName::Lid(kPsetidLog, lid); }
PropertyName Note(uint32_t lid) { return PropertyName::Lid(kPsetidNote, lid); }

void TextIf(PropertyBag& bag, uint16_t id, const std::string& s) {
  if (!s.empty()) bag.Text(id, s);
}

// Delivery, creation and modification times, which lists show as the item's date.
void Times(PropertyBag& bag, uint64_t when) {
  bag.Time(0x0E06, when).Time(0x3007, when).Time(0x3008, when);
}

}  // namespace

uint64_t FileTime(int year, int month, int day, int hour, int minute, int second) {
  // Days since 1970-01-01 of a proleptic Gregorian date.
  int y = year - (month <= 2 ? 1 : 0);
  int era = (y >= 0 ? y : y - 399) / 400;
  int yoe = y - era * 400;
  int mp = (month + 9) % 12;
  int doy = (153 * mp + 2) / 5 + day - 1;
  int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  int64_t days = static_cast<int64_t>(era) * 146097 + doe - 719468;
  int64_t secs = days * 86400 + hour * 3600 + minute * 60 + second;
  return static_cast<uint64_t>(secs * 10000000 + 116444736000000000LL);
}

// ---------------------------------------------------------------- bag

PropValue& PropertyBag::Slot(uint16_t id) {
  for (Entry& e : entries_) {
    if (!e.named && e.id == id) return e.value;
  }
  entries_.push_back({false, id, {}, {}});
  return entries_.back().value;
}

PropValue& PropertyBag::NamedSlot(const PropertyName& name) {
  for (Entry& e : entries_) {
    if (e.named && e.name == name) return e.value;
  }
  entries_.push_back({true, 0, name, {}});
  return entries_.back().value;
}

namespace {
void SetText(PropValue& v, std::string_view utf8) {
  v.type = format::kPtypString;
  v.isText = true;
  v.text = std::string(utf8);
  v.bytes.clear();
}
void SetRaw(PropValue& v, uint16_t type, ByteSpan bytes) {
  v.type = type;
  v.isText = false;
  v.text.clear();
  v.bytes.assign(bytes.begin(), bytes.end());
}
}  // namespace

PropertyBag& PropertyBag::Text(uint16_t id, std::string_view utf8) {
  SetText(Slot(id), utf8);
  return *this;
}
PropertyBag& PropertyBag::Short(uint16_t id, uint16_t v) { return Raw(id, format::kPtypInteger16, LeBytes(v, 2)); }
PropertyBag& PropertyBag::Long(uint16_t id, uint32_t v) { return Raw(id, format::kPtypInteger32, LeBytes(v, 4)); }
PropertyBag& PropertyBag::Bool(uint16_t id, bool v) { return Raw(id, format::kPtypBoolean, LeBytes(v ? 1 : 0, 1)); }
PropertyBag& PropertyBag::Time(uint16_t id, uint64_t ft) { return Raw(id, format::kPtypTime, LeBytes(ft, 8)); }
PropertyBag& PropertyBag::Binary(uint16_t id, ByteSpan bytes) { return Raw(id, format::kPtypBinary, bytes); }
PropertyBag& PropertyBag::Raw(uint16_t id, uint16_t type, ByteSpan bytes) {
  SetRaw(Slot(id), type, bytes);
  return *this;
}

PropertyBag& PropertyBag::NamedText(const PropertyName& name, std::string_view utf8) {
  SetText(NamedSlot(name), utf8);
  return *this;
}
PropertyBag& PropertyBag::NamedLong(const PropertyName& name, uint32_t v) {
  return NamedRaw(name, format::kPtypInteger32, LeBytes(v, 4));
}
PropertyBag& PropertyBag::NamedBool(const PropertyName& name, bool v) {
  return NamedRaw(name, format::kPtypBoolean, LeBytes(v ? 1 : 0, 1));
}
PropertyBag& PropertyBag::NamedTime(const PropertyName& name, uint64_t ft) {
  return NamedRaw(name, format::kPtypTime, LeBytes(ft, 8));
}
PropertyBag& PropertyBag::NamedRaw(const PropertyName& name, uint16_t type, ByteSpan bytes) {
  SetRaw(NamedSlot(name), type, bytes);
  return *this;
}

PropertyBag& PropertyBag::Place(uint16_t id, Placement placement, int treeLevel) {
  for (Entry& e : entries_) {
    if (!e.named && e.id == id) {
      e.value.placement = placement;
      e.value.treeLevel = treeLevel;
      return *this;
    }
  }
  throw std::out_of_range("placing a property that is not set");
}

PropertyBag& PropertyBag::PlaceNamed(const PropertyName& name, Placement placement, int treeLevel) {
  for (Entry& e : entries_) {
    if (e.named && e.name == name) {
      e.value.placement = placement;
      e.value.treeLevel = treeLevel;
      return *this;
    }
  }
  throw std::out_of_range("placing a property that is not set");
}

void PropertyBag::Remove(uint16_t id) {
  std::erase_if(entries_, [&](const Entry& e) { return !e.named && e.id == id; });
}

const PropValue* PropertyBag::Find(uint16_t id) const {
  for (const Entry& e : entries_) {
    if (!e.named && e.id == id) return &e.value;
  }
  return nullptr;
}

const PropValue* PropertyBag::FindNamed(const PropertyName& name) const {
  for (const Entry& e : entries_) {
    if (e.named && e.name == name) return &e.value;
  }
  return nullptr;
}

// ---------------------------------------------------------------- item kinds

Item MakeMail(const MailFields& f) {
  Item item;
  PropertyBag& p = item.props;
  p.Text(0x001A, f.messageClass);
  TextIf(p, 0x0037, f.subject);
  TextIf(p, 0x0042, f.senderName);
  TextIf(p, 0x0C1A, f.senderName);
  if (!f.senderEmail.empty()) {
    p.Text(0x0064, "SMTP").Text(0x0065, f.senderEmail);
    p.Text(0x0C1E, "SMTP").Text(0x0C1F, f.senderEmail);
  }
  TextIf(p, 0x0E04, f.displayTo);
  TextIf(p, 0x0E03, f.displayCc);
  TextIf(p, 0x007D, f.transportHeaders);
  if (f.deliveryTime) p.Time(0x0039, f.deliveryTime).Time(0x0E06, f.deliveryTime);
  p.Long(0x0E07, f.messageFlags);
  p.Long(0x0017, 1);
  p.Time(0x3007, kDefaultTime).Time(0x3008, kDefaultTime);
  if (!f.body.empty()) {
    p.Text(0x1000, f.body);
    if (f.bodyInSubnode) p.Place(0x1000, Placement::Subnode);
  }
  if (!f.html.empty()) p.Binary(0x1013, AsBytes(f.html));
  if (!f.rtf.empty()) p.Binary(0x1009, CompressRtf(f.rtf, !f.rtfUncompressed));
  return item;
}

Item MakeReport(const MailFields& f) {
  MailFields r = f;
  r.messageClass = "REPORT.IPM.Note";
  return MakeMail(r);
}

Item MakeContact(const ContactFields& f) {
  Item item;
  PropertyBag& p = item.props;
  p.Text(0x001A, "IPM.Contact");
  TextIf(p, 0x0037, f.displayName);
  TextIf(p, 0x3001, f.displayName);
  TextIf(p, 0x3A06, f.givenName);
  TextIf(p, 0x3A11, f.surname);
  TextIf(p, 0x3A16, f.companyName);
  TextIf(p, 0x3A15, f.postalAddress);
  TextIf(p, 0x3A1C, f.mobilePhone);
  TextIf(p, 0x3A08, f.businessPhone);
  p.Long(0x0E07, 0x01);
  Times(p, kDefaultTime);
  if (!f.fileUnder.empty()) p.NamedText(Address(0x8005), f.fileUnder);
  if (!f.email.empty()) {
    p.NamedText(Address(0x8080), f.displayName.empty() ? f.email : f.displayName);
    p.NamedText(Address(0x8082), "SMTP");
    p.NamedText(Address(0x8083), f.email);
  }
  return item;
}

namespace {

// The properties every non-mail item kind starts with: class, subject, body,
// flags and times.
Item BaseItem(const char* messageClass, const std::string& subject, const std::string& body,
              uint64_t when) {
  Item item;
  PropertyBag& p = item.props;
  p.Text(0x001A, messageClass);
  TextIf(p, 0x0037, subject);
  TextIf(p, 0x1000, body);
  p.Long(0x0E07, 0x01);
  Times(p, when);
  return item;
}

}  // namespace

Item MakeAppointment(const AppointmentFields& f) {
  Item item = BaseItem("IPM.Appointment", f.subject, f.body, f.start);
  PropertyBag& p = item.props;
  if (!f.location.empty()) p.NamedText(Appointment(0x8208), f.location);
  p.NamedLong(Appointment(0x8205), f.busyStatus);
  p.NamedTime(Appointment(0x820D), f.start);
  p.NamedTime(Appointment(0x820E), f.end);
  p.NamedTime(Appointment(0x8235), f.start);
  p.NamedTime(Appointment(0x8236), f.end);
  return item;
}

Item MakeTask(const TaskFields& f) {
  Item item = BaseItem("IPM.Task", f.subject, f.body, f.dueDate ? f.dueDate : kDefaultTime);
  PropertyBag& p = item.props;
  p.NamedLong(Task(0x8101), f.status);
  p.NamedBool(Task(0x811C), f.complete);
  if (f.dueDate) p.NamedTime(Task(0x8105), f.dueDate);
  return item;
}

Item MakeStickyNote(const NoteFields& f) {
  Item item = BaseItem("IPM.StickyNote", f.subject, f.body, kDefaultTime);
  PropertyBag& p = item.props;
  p.NamedLong(Note(0x8B00), f.color);
  return item;
}

Item MakeJournal(const JournalFields& f) {
  Item item = BaseItem("IPM.Activity", f.subject, f.body, f.start);
  PropertyBag& p = item.props;
  if (!f.logType.empty()) p.NamedText(Log(0x8700), f.logType);
  p.NamedTime(Log(0x8706), f.start);
  p.NamedTime(Log(0x8708), f.end);
  return item;
}

}  // namespace velmorix::storebuilder
