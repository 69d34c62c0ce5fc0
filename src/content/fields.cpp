// Headers, addresses and the fields of each item kind, read from an item's
// property context.
#include <algorithm>
#include <cctype>
#include <cstdio>

#include "content/codepage.h"
#include "content/parts.h"
#include "format/vocabulary.h"
#include "items/text.h"

namespace velmorix::content {
namespace {

constexpr FileTime kUnixEpoch = 116444736000000000ull;  // 1970-01-01 as a FILETIME

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(s[i])) != std::tolower(static_cast<unsigned char>(prefix[i]))) {
      return false;
    }
  }
  return true;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && StartsWithNoCase(a, b);
}

// A class names `base` itself or one of its sub-classes ("IPM.Note.SMIME").
bool IsClass(std::string_view cls, std::string_view base) {
  return StartsWithNoCase(cls, base) && (cls.size() == base.size() || cls[base.size()] == '.');
}

std::string Or(std::optional<std::string> v) { return v ? std::move(*v) : std::string(); }

// The subject after the marker some clients store before it: a control
// character followed by the prefix length.
std::string StripSubjectMarker(std::string s) {
  if (s.empty() || static_cast<unsigned char>(s[0]) >= 0x20) return s;
  size_t cut = 1;
  // The second character is the prefix length, itself one UTF-8 character.
  if (cut < s.size()) {
    ++cut;
    while (cut < s.size() && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) ++cut;
  }
  return s.substr(cut);
}

void FillAddress(const PartContext& c, uint16_t name, uint16_t type, uint16_t address, uint16_t smtp,
                 Address& out) {
  out.name = Or(c.Text(name));
  out.addressType = Or(c.Text(type));
  out.address = Or(c.Text(address));
  out.smtpAddress = Or(c.Text(smtp));
  if (out.smtpAddress.empty() && EqualsNoCase(out.addressType, "SMTP")) out.smtpAddress = out.address;
}

// A text of a contact: the tag property, else the named one.
std::string ContactText(const PartContext& c, uint16_t id, uint32_t lid = 0) {
  if (auto t = c.Text(id); t && !t->empty()) return *t;
  return lid ? Or(c.TextLid(lid)) : std::string();
}

void ReadContact(const PartContext& c, ContactFields& f) {
  f.displayName = Or(c.Text(0x3001));
  f.prefix = Or(c.Text(0x3A45));
  f.givenName = Or(c.Text(0x3A06));
  f.middleName = Or(c.Text(0x3A44));
  f.surname = Or(c.Text(0x3A11));
  f.suffix = Or(c.Text(0x3A05));
  f.nickname = Or(c.Text(0x3A4F));
  f.initials = Or(c.Text(0x3A0A));
  f.fileUnder = Or(c.TextLid(0x8005));
  f.company = Or(c.Text(0x3A16));
  f.department = Or(c.Text(0x3A18));
  f.jobTitle = Or(c.Text(0x3A17));
  f.profession = Or(c.Text(0x3A46));
  f.officeLocation = Or(c.Text(0x3A19));
  f.manager = Or(c.Text(0x3A4E));
  f.assistant = Or(c.Text(0x3A30));
  f.spouse = Or(c.Text(0x3A48));
  f.birthday = c.Time(0x3A42);
  f.anniversary = c.Time(0x3A41);
  f.businessHomePage = ContactText(c, 0x3A51, 0x802B);
  f.personalHomePage = Or(c.Text(0x3A50));
  f.imAddress = Or(c.TextLid(0x8062));

  // E-mail 1 to 3: display name, address type, address.
  for (uint32_t base : {0x8080u, 0x8090u, 0x80A0u}) {
    EmailAddress e;
    e.address = Or(c.TextLid(base + 3));
    if (e.address.empty()) continue;
    e.displayName = Or(c.TextLid(base));
    if (e.displayName.empty()) e.displayName = Or(c.TextLid(base + 4));
    e.addressType = Or(c.TextLid(base + 2));
    f.emails.push_back(std::move(e));
  }
  if (f.emails.empty()) {
    if (auto a = c.Text(0x3003); a && !a->empty()) f.emails.push_back({f.displayName, Or(c.Text(0x3002)), *a});
  }

  static constexpr std::pair<const char*, uint16_t> kPhones[] = {
      {"business", 0x3A08}, {"business 2", 0x3A1B}, {"home", 0x3A09}, {"home 2", 0x3A2F},
      {"mobile", 0x3A1C}, {"car", 0x3A1E}, {"radio", 0x3A1D}, {"pager", 0x3A21},
      {"callback", 0x3A02}, {"other", 0x3A1F}, {"primary", 0x3A1A}, {"company", 0x3A57},
      {"assistant", 0x3A2E}, {"isdn", 0x3A2D}, {"telex", 0x3A2C}, {"tty", 0x3A4B},
      {"business fax", 0x3A24}, {"home fax", 0x3A25}, {"other fax", 0x3A23}};
  for (const auto& [label, id] : kPhones) {
    if (auto t = c.Text(id); t && !t->empty()) f.phones.push_back({label, *t});
  }

  struct AddressIds {
    const char* label;
    uint16_t street, city, state, postal, country, poBox;
    uint32_t full;
    uint32_t lidStreet;  // the named copies of the parts, 0 when none
  };
  static constexpr AddressIds kAddresses[] = {
      {"work", 0x3A29, 0x3A27, 0x3A28, 0x3A2A, 0x3A26, 0x3A2B, 0x801B, 0x8045},
      {"home", 0x3A5D, 0x3A59, 0x3A5C, 0x3A5B, 0x3A5A, 0x3A5E, 0x801A, 0},
      {"other", 0x3A63, 0x3A5F, 0x3A62, 0x3A61, 0x3A60, 0x3A64, 0x801C, 0}};
  for (const AddressIds& a : kAddresses) {
    PostalAddress p;
    p.label = a.label;
    const uint32_t l = a.lidStreet;
    p.street = ContactText(c, a.street, l ? l : 0);
    p.city = ContactText(c, a.city, l ? l + 1 : 0);
    p.state = ContactText(c, a.state, l ? l + 2 : 0);
    p.postalCode = ContactText(c, a.postal, l ? l + 3 : 0);
    p.country = ContactText(c, a.country, l ? l + 4 : 0);
    p.poBox = ContactText(c, a.poBox, l ? l + 5 : 0);
    p.full = Or(c.TextLid(a.full));
    if (!p.street.empty() || !p.city.empty() || !p.state.empty() || !p.postalCode.empty() ||
        !p.country.empty() || !p.poBox.empty() || !p.full.empty()) {
      f.addresses.push_back(std::move(p));
    }
  }
  // The mailing address alone, when no address above holds it.
  if (auto mailing = c.Text(0x3A15); mailing && !mailing->empty()) {
    const bool known = std::any_of(f.addresses.begin(), f.addresses.end(),
                                   [&](const PostalAddress& p) { return p.full == *mailing; });
    if (!known) {
      PostalAddress p;
      p.label = "mailing";
      p.full = *mailing;
      f.addresses.push_back(std::move(p));
    }
  }
}

// A distribution list's members. Each is named by an entry ID: a one-off
// one (name, address type and address), or one wrapping a contact's entry
// ID, with the one-off copy in the parallel list of one-off members.
void ReadDistributionList(const PartContext& c, ContactFields& f) {
  f.displayName = Or(c.Text(0x3001));
  if (f.displayName.empty()) f.displayName = Or(c.TextLid(0x8053));
  auto values = [&](uint32_t lid) {
    auto v = c.pc.GetLid(lid);
    return v ? v->Binaries() : std::vector<std::string>();
  };
  const std::vector<std::string> members = values(0x8055), oneOffs = values(0x8054);
  // Flags (4), the wrapped-entry provider's UID (16), the type (1), then the entry ID.
  static constexpr uint8_t kWrappedUid[16] = {0xC0, 0x91, 0xAD, 0xD3, 0x51, 0x9D, 0xCF, 0x11,
                                              0xA4, 0xA9, 0x00, 0xAA, 0x00, 0x47, 0xFA, 0xA4};
  const size_t count = std::max(members.size(), oneOffs.size());
  for (size_t i = 0; i < count; ++i) {
    std::optional<Address> a;
    for (const std::vector<std::string>* list : {&oneOffs, &members}) {
      if (a || i >= list->size()) continue;
      ByteSpan id = AsBytes((*list)[i]);
      a = ParseOneOffEntryId(id, c.decoder, c.codePage);
      if (!a && id.size() > 21 && std::equal(id.begin() + 4, id.begin() + 20, reinterpret_cast<const std::byte*>(kWrappedUid))) {
        a = ParseOneOffEntryId(id.subspan(21), c.decoder, c.codePage);
      }
    }
    if (a && (!a->name.empty() || !a->address.empty())) f.members.push_back({a->name, a->addressType, a->address});
  }
}

void ReadAppointment(const PartContext& c, AppointmentFields& f) {
  f.start = c.TimeLid(0x820D);
  if (!f.start) f.start = c.Time(0x0060);
  if (!f.start) f.start = c.TimeLid(0x8235);
  f.end = c.TimeLid(0x820E);
  if (!f.end) f.end = c.Time(0x0061);
  if (!f.end) f.end = c.TimeLid(0x8236);
  f.allDay = c.IntLid(0x8215).value_or(0) != 0;
  f.location = Or(c.TextLid(0x8208));
  f.busyStatus = static_cast<int32_t>(c.IntLid(0x8205).value_or(0));
  f.durationMinutes = static_cast<int32_t>(c.IntLid(0x8213).value_or(0));
  f.recurring = c.IntLid(0x8223).value_or(0) != 0;
  f.recurrenceText = Or(c.TextLid(0x8232));
  if (auto v = c.pc.GetLid(0x8216)) {
    if (auto b = v->Bytes(); b && v->type == format::kPtypBinary) f.recurrence = ParseRecurrence(*b);
  }
  f.timeZone = Or(c.TextLid(0x8234));
  f.reminderSet = c.IntLid(0x8503).value_or(0) != 0;
  f.reminderMinutesBefore = static_cast<int32_t>(c.IntLid(0x8501).value_or(0));
  f.meetingFlags = static_cast<int32_t>(c.IntLid(0x8217).value_or(0));
  // PidLidGlobalObjectId, else PidLidCleanGlobalObjectId (PSETID_Meeting).
  for (uint32_t lid : {0x0003u, 0x0023u}) {
    auto v = c.pc.GetLid(lid);
    if (!v || v->type != format::kPtypBinary) continue;
    auto b = v->Bytes(1024);
    if (!b || b->size() < 16) continue;
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (std::byte x : *b) {
      f.globalObjectId += kHex[static_cast<uint8_t>(x) >> 4];
      f.globalObjectId += kHex[static_cast<uint8_t>(x) & 0xF];
    }
    break;
  }
}

void ReadTask(const PartContext& c, TaskFields& f) {
  f.start = c.TimeLid(0x8104);
  f.due = c.TimeLid(0x8105);
  f.completed = c.TimeLid(0x810F);
  f.status = static_cast<int32_t>(c.IntLid(0x8101).value_or(0));
  if (auto v = c.pc.GetLid(0x8102)) f.percentComplete = v->Double().value_or(0);
  f.complete = c.IntLid(0x811C).value_or(0) != 0;
  f.owner = Or(c.TextLid(0x811F));
  f.estimatedMinutes = static_cast<int32_t>(c.IntLid(0x8110).value_or(0));
  f.actualMinutes = static_cast<int32_t>(c.IntLid(0x8111).value_or(0));
  f.recurring = c.IntLid(0x8126).value_or(0) != 0;
}

void ReadNote(const PartContext& c, NoteFields& f) {
  f.color = static_cast<int32_t>(c.IntLid(0x8B00).value_or(0));
  f.width = static_cast<int32_t>(c.IntLid(0x8B02).value_or(0));
  f.height = static_cast<int32_t>(c.IntLid(0x8B03).value_or(0));
  f.left = static_cast<int32_t>(c.IntLid(0x8B04).value_or(0));
  f.top = static_cast<int32_t>(c.IntLid(0x8B05).value_or(0));
}

void ReadJournal(const PartContext& c, JournalFields& f) {
  f.type = Or(c.TextLid(0x8700));
  f.typeDescription = Or(c.TextLid(0x8712));
  f.start = c.TimeLid(0x8706);
  f.end = c.TimeLid(0x8708);
  f.durationMinutes = static_cast<int32_t>(c.IntLid(0x8707).value_or(0));
}

}  // namespace

// ---------------------------------------------------------------- values

std::optional<std::string> PartContext::Text(uint16_t id) const {
  auto v = pc.Get(id);
  return v ? v->Text(decoder, codePage) : std::nullopt;
}
std::optional<std::string> PartContext::TextLid(uint32_t lid) const {
  auto v = pc.GetLid(lid);
  return v ? v->Text(decoder, codePage) : std::nullopt;
}
std::optional<int64_t> PartContext::Int(uint16_t id) const {
  auto v = pc.Get(id);
  return v ? v->Int() : std::nullopt;
}
std::optional<int64_t> PartContext::IntLid(uint32_t lid) const {
  auto v = pc.GetLid(lid);
  return v ? v->Int() : std::nullopt;
}
std::optional<FileTime> PartContext::Time(uint16_t id) const {
  auto v = pc.Get(id);
  return v ? v->Time() : std::nullopt;
}
std::optional<FileTime> PartContext::TimeLid(uint32_t lid) const {
  auto v = pc.GetLid(lid);
  return v ? v->Time() : std::nullopt;
}

// ---------------------------------------------------------------- public helpers

ItemKind KindOfClass(std::string_view cls) {
  if (IsClass(cls, "IPM.Note") || EqualsNoCase(cls, "IPM") || IsClass(cls, "IPM.Post")) return ItemKind::Mail;
  if (IsClass(cls, "REPORT")) return ItemKind::Report;
  if (IsClass(cls, "IPM.Schedule.Meeting")) return ItemKind::MeetingRequest;
  if (IsClass(cls, "IPM.Appointment")) return ItemKind::Appointment;
  if (IsClass(cls, "IPM.Contact")) return ItemKind::Contact;
  if (IsClass(cls, "IPM.DistList")) return ItemKind::DistributionList;
  if (IsClass(cls, "IPM.Task") || IsClass(cls, "IPM.TaskRequest")) return ItemKind::Task;
  if (IsClass(cls, "IPM.StickyNote")) return ItemKind::StickyNote;
  if (IsClass(cls, "IPM.Activity")) return ItemKind::Journal;
  return ItemKind::Other;
}

int64_t UnixSeconds(FileTime t) {
  return (static_cast<int64_t>(t / 10000000) - static_cast<int64_t>(kUnixEpoch / 10000000));
}

std::string FormatFileTime(FileTime t) {
  // Days since 1970 to a civil date (proleptic Gregorian).
  const int64_t secs = UnixSeconds(t);
  int64_t days = secs >= 0 ? secs / 86400 : (secs - 86399) / 86400;
  const int64_t rem = secs - days * 86400;
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  if (year < 1601 || year > 9999) return {};
  char buf[96];
  std::snprintf(buf, sizeof buf, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld UTC",
                static_cast<long long>(year), static_cast<long long>(month), static_cast<long long>(day),
                static_cast<long long>(rem / 3600), static_cast<long long>(rem / 60 % 60),
                static_cast<long long>(rem % 60));
  return buf;
}

namespace {

constexpr uint16_t kChangedSubject = 0x0001;
constexpr uint16_t kChangedLocation = 0x0010;

// A text of the exception list: a 16-bit length, a second one equal to it,
// then that many 8-bit characters (taken as Windows-1252 Latin letters).
bool ReadShortText(ByteReader& r, std::optional<std::string>& out) {
  uint16_t length = 0, length2 = 0;
  ByteSpan bytes;
  if (!r.ReadU16(length) || !r.ReadU16(length2) || !r.ReadBytes(length2, bytes)) return false;
  std::string text;
  for (std::byte b : bytes) AppendCodePoint(static_cast<uint8_t>(b), text);
  out = std::move(text);
  return true;
}

bool SkipBlock(ByteReader& r) {
  uint32_t size = 0;
  return r.ReadU32(size) && r.Skip(size);
}

// The modified instances that follow an appointment's pattern: their
// times and changed subject and location, the latter replaced by the wide
// forms of the extended list where it reads. A list that stops short keeps
// the instances read whole.
void ReadExceptions(ByteReader& r, uint32_t writerVersion, Recurrence& p) {
  uint16_t count = 0;
  if (!r.ReadU16(count)) return;
  std::vector<Recurrence::Exception> found;
  std::vector<uint16_t> flags;
  for (uint16_t i = 0; i < count; ++i) {
    Recurrence::Exception e;
    uint16_t changed = 0;
    if (!r.ReadU32(e.start) || !r.ReadU32(e.end) || !r.ReadU32(e.originalStart) || !r.ReadU16(changed)) break;
    bool whole = true;
    if (changed & kChangedSubject) whole = ReadShortText(r, e.subject);
    for (uint16_t bit : {0x0002, 0x0004, 0x0008}) {
      uint32_t skipped = 0;
      if (whole && (changed & bit)) whole = r.ReadU32(skipped);
    }
    if (whole && (changed & kChangedLocation)) whole = ReadShortText(r, e.location);
    for (uint16_t bit : {0x0020, 0x0040, 0x0080, 0x0100}) {
      uint32_t skipped = 0;
      if (whole && (changed & bit)) whole = r.ReadU32(skipped);
    }
    if (!whole) break;
    found.push_back(std::move(e));
    flags.push_back(changed);
  }
  const bool complete = found.size() == count;
  if (complete && SkipBlock(r)) {
    for (size_t i = 0; i < found.size(); ++i) {
      if (writerVersion >= 0x3009 && !SkipBlock(r)) break;
      if (!SkipBlock(r)) break;
      if (!(flags[i] & (kChangedSubject | kChangedLocation))) continue;
      uint32_t times[3];
      if (!r.ReadU32(times[0]) || !r.ReadU32(times[1]) || !r.ReadU32(times[2])) break;
      bool whole = true;
      for (uint16_t bit : {kChangedSubject, kChangedLocation}) {
        if (!whole || !(flags[i] & bit)) continue;
        uint16_t chars = 0;
        ByteSpan wide;
        whole = r.ReadU16(chars) && r.ReadBytes(size_t{chars} * 2, wide);
        if (whole) (bit == kChangedSubject ? found[i].subject : found[i].location) = items::WideToUtf8(wide);
      }
      if (!whole || !SkipBlock(r)) break;
    }
  }
  p.exceptions = std::move(found);
}

}  // namespace

std::optional<Recurrence> ParseRecurrence(ByteSpan blob) {
  ByteReader r(blob);
  uint16_t reader = 0, writer = 0;
  Recurrence p;
  uint32_t sliding = 0;
  if (!r.ReadU16(reader) || !r.ReadU16(writer) || reader != 0x3004) return std::nullopt;
  if (!r.ReadU16(p.frequency) || !r.ReadU16(p.patternType) || !r.ReadU16(p.calendarType) ||
      !r.ReadU32(p.firstDateTime) || !r.ReadU32(p.period) || !r.ReadU32(sliding)) {
    return std::nullopt;
  }
  switch (p.patternType) {
    case 0x0:  // every N days
      break;
    case 0x1:  // weekly on the days of a mask
      if (!r.ReadU32(p.dayMask)) return std::nullopt;
      break;
    case 0x2: case 0x4: case 0xA: case 0xC:  // a day of the month, or its end
      if (!r.ReadU32(p.dayOfMonth)) return std::nullopt;
      break;
    case 0x3: case 0xB:  // the nth weekday of the month
      if (!r.ReadU32(p.dayMask) || !r.ReadU32(p.nth)) return std::nullopt;
      break;
    default:
      return std::nullopt;
  }
  uint32_t deleted = 0, modified = 0;
  if (!r.ReadU32(p.endType) || !r.ReadU32(p.occurrences) || !r.ReadU32(p.firstDayOfWeek) ||
      !r.ReadU32(deleted) || deleted > r.remaining() / 4) {
    return std::nullopt;
  }
  p.deletedDates.resize(deleted);
  for (uint32_t& d : p.deletedDates) r.ReadU32(d);
  if (!r.ReadU32(modified) || modified > r.remaining() / 4) return std::nullopt;
  p.modifiedDates.resize(modified);
  for (uint32_t& d : p.modifiedDates) r.ReadU32(d);
  if (!r.ReadU32(p.startDate) || !r.ReadU32(p.endDate)) return std::nullopt;
  // An appointment's pattern goes on with the times of day of its instances.
  uint32_t reader2 = 0, writer2 = 0, startOffset = 0, endOffset = 0;
  if (r.ReadU32(reader2) && r.ReadU32(writer2) && r.ReadU32(startOffset) && r.ReadU32(endOffset)) {
    p.startTimeOffset = startOffset;
    p.endTimeOffset = endOffset;
    ReadExceptions(r, writer2, p);
  }
  return p;
}

std::optional<Address> ParseOneOffEntryId(ByteSpan id, TextDecoder& decoder, int codePage) {
  // Flags (4), the one-off provider's UID (16), version (2), flags (2), then
  // display name, address type and address, each NUL-terminated.
  static constexpr uint8_t kOneOffUid[16] = {0x81, 0x2B, 0x1F, 0xA4, 0xBE, 0xA3, 0x10, 0x19,
                                             0x9D, 0x6E, 0x00, 0xDD, 0x01, 0x0F, 0x54, 0x02};
  ByteView v(id);
  if (id.size() < 24) return std::nullopt;
  for (size_t i = 0; i < 16; ++i) {
    if (static_cast<uint8_t>(id[4 + i]) != kOneOffUid[i]) return std::nullopt;
  }
  const bool wide = (*v.U16(22) & 0x8000) != 0;
  size_t pos = 24;
  auto next = [&]() -> std::string {
    size_t end = pos;
    if (wide) {
      while (end + 1 < id.size() && (id[end] != std::byte{0} || id[end + 1] != std::byte{0})) end += 2;
      std::string s = items::WideToUtf8(id.subspan(pos, std::min(end, id.size()) - pos));
      pos = std::min(end + 2, id.size());
      return s;
    }
    while (end < id.size() && id[end] != std::byte{0}) ++end;
    std::string s = decoder.ToUtf8(id.subspan(pos, end - pos), codePage);
    pos = std::min(end + 1, id.size());
    return s;
  };
  Address a;
  a.name = next();
  a.addressType = next();
  a.address = next();
  if (EqualsNoCase(a.addressType, "SMTP")) a.smtpAddress = a.address;
  return a;
}

// ---------------------------------------------------------------- the item

void ReadFields(const PartContext& c, Item& item) {
  item.messageClass = Or(c.Text(0x001A));
  item.kind = KindOfClass(item.messageClass);
  item.subject = StripSubjectMarker(Or(c.Text(0x0037)));
  item.conversationTopic = Or(c.Text(0x0070));
  FillAddress(c, 0x0C1A, 0x0C1E, 0x0C1F, 0x5D01, item.sender);
  FillAddress(c, 0x0042, 0x0064, 0x0065, 0x5D02, item.sentRepresenting);
  item.displayTo = Or(c.Text(0x0E04));
  item.displayCc = Or(c.Text(0x0E03));
  item.displayBcc = Or(c.Text(0x0E02));
  item.sentTime = c.Time(0x0039);
  item.receivedTime = c.Time(0x0E06);
  item.creationTime = c.Time(0x3007);
  item.modificationTime = c.Time(0x3008);
  item.importance = static_cast<int32_t>(c.Int(0x0017).value_or(1));
  item.sensitivity = static_cast<int32_t>(c.Int(0x0036).value_or(0));
  item.priority = static_cast<int32_t>(c.Int(0x0026).value_or(0));
  item.flags = static_cast<uint32_t>(c.Int(0x0E07).value_or(0));
  item.size = static_cast<uint32_t>(c.Int(0x0E08).value_or(0));
  item.internetMessageId = Or(c.Text(0x1035));
  item.inReplyTo = Or(c.Text(0x1042));
  item.references = Or(c.Text(0x1039));
  item.transportHeaders = Or(c.Text(0x007D));
  if (const auto* k = c.pc.FindName("Keywords")) item.categories = c.pc.ValueOf(*k).Texts(c.decoder, c.codePage);

  switch (item.kind) {
    case ItemKind::Contact:
      ReadContact(c, item.contact.emplace());
      break;
    case ItemKind::DistributionList:
      ReadDistributionList(c, item.contact.emplace());
      break;
    case ItemKind::Appointment:
    case ItemKind::MeetingRequest:
      ReadAppointment(c, item.appointment.emplace());
      break;
    case ItemKind::Task:
      ReadTask(c, item.task.emplace());
      break;
    case ItemKind::StickyNote:
      ReadNote(c, item.note.emplace());
      break;
    case ItemKind::Journal:
      ReadJournal(c, item.journal.emplace());
      break;
    default:
      break;
  }
}

}  // namespace velmorix::content
