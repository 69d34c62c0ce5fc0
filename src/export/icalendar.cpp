#include "export/icalendar.h"

#include <libical/ical.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>

#include "export/eml.h"

namespace velmorix::exporting {
namespace {

using content::FileTime;
using content::Item;

struct ComponentFree {
  void operator()(icalcomponent* c) const {
    if (c) icalcomponent_free(c);
  }
};
using Component = std::unique_ptr<icalcomponent, ComponentFree>;

struct BufferFree {
  void operator()(char* p) const { icalmemory_free_buffer(p); }
};

// Minutes from 1601-01-01 to 1970-01-01.
constexpr int64_t kEpochMinutes = 11644473600LL / 60;
constexpr int64_t kMinSeconds = -62135596800LL;  // 0001-01-01
constexpr int64_t kMaxSeconds = 253402300799LL;  // 9999-12-31 23:59:59

std::optional<int64_t> Seconds(std::optional<FileTime> t) {
  if (!t) return std::nullopt;
  const int64_t s = content::UnixSeconds(*t);
  if (s < kMinSeconds || s > kMaxSeconds) return std::nullopt;
  return s;
}

icaltimetype UtcTime(int64_t secs) {
  return icaltime_from_timet_with_zone(static_cast<time_t>(secs), 0, icaltimezone_get_utc_timezone());
}

// The day a whole-day time stands for. Such times are the local midnight
// of the day, kept in UTC: the nearest UTC midnight is that day for every
// time zone.
icaltimetype Day(int64_t secs) {
  const int64_t days = (secs + 43200 >= 0 ? (secs + 43200) / 86400 : (secs + 43200 - 86399) / 86400);
  icaltimetype t = icaltime_from_timet_with_zone(static_cast<time_t>(days * 86400), 1, nullptr);
  t.is_date = 1;
  return t;
}

// A day given in minutes since 1601 (the form of recurrence dates).
icaltimetype DayOfMinutes(int64_t minutes) { return Day((minutes - kEpochMinutes) * 60); }

// Text without the control characters a value cannot carry (line breaks
// and tabs stay: libical escapes them).
std::string CleanText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\r') {
      if (i + 1 < text.size() && text[i + 1] == '\n') continue;
      out += '\n';
    } else if (c >= 0x20 || c == '\n' || c == '\t') {
      out += static_cast<char>(c);
    }
  }
  return out;
}

void AddText(icalcomponent* c, icalproperty* (*make)(const char*), std::string_view text) {
  const std::string clean = CleanText(text);
  if (!clean.empty()) icalcomponent_add_property(c, make(clean.c_str()));
}

std::string CalAddress(const content::Address& a) {
  std::string email = a.smtpAddress.find('@') != std::string::npos ? a.smtpAddress : a.address;
  if (email.find('@') == std::string::npos) return {};
  std::string clean;
  for (char ch : email) {
    if (static_cast<unsigned char>(ch) > 0x20 && ch != 0x7F) clean += ch;
  }
  return "mailto:" + clean;
}

void AddPerson(icalcomponent* c, bool organizer, const content::Address& a,
               std::optional<icalparameter_role> role = std::nullopt, bool resource = false) {
  std::string address = CalAddress(a);
  if (address.empty()) {
    if (a.name.empty()) return;
    // Someone known by name only: the placeholder address calendar programs use.
    address = "invalid:nomail";
  }
  icalproperty* p = organizer ? icalproperty_new_organizer(address.c_str()) : icalproperty_new_attendee(address.c_str());
  // A parameter value cannot hold a double quote or a line break.
  std::string cn = CleanText(a.name);
  for (char& ch : cn) {
    if (ch == '"') ch = '\'';
    if (ch == '\n' || ch == '\t') ch = ' ';
  }
  if (!cn.empty()) {
    icalproperty_add_parameter(p, icalparameter_new_cn(cn.c_str()));
  }
  if (role) icalproperty_add_parameter(p, icalparameter_new_role(*role));
  if (resource) icalproperty_add_parameter(p, icalparameter_new_cutype(ICAL_CUTYPE_RESOURCE));
  icalcomponent_add_property(c, p);
}

std::string Description(const Item& item) {
  const content::Body& b = item.bodies.plain;
  if (!b.present()) return {};
  std::string text = b.text;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  return text;
}

// What every kind shares: UID, time stamp, summary, description, class,
// categories, priority.
void AddCommon(icalcomponent* c, const Item& item, const std::string& description) {
  char uid[96];
  std::snprintf(uid, sizeof uid, "%016llx-%08x@velmorix",
                static_cast<unsigned long long>(item.creationTime.value_or(item.modificationTime.value_or(0))),
                item.nodeId);
  // A meeting's instances and messages share its global object id: the UID
  // by which calendar programs tie a request, its replies and its event.
  if (item.appointment && !item.appointment->globalObjectId.empty()) {
    AddText(c, icalproperty_new_uid, item.appointment->globalObjectId);
  } else {
    AddText(c, icalproperty_new_uid, item.internetMessageId.empty() ? std::string(uid) : item.internetMessageId);
  }
  auto stamp = Seconds(item.modificationTime);
  if (!stamp) stamp = Seconds(item.creationTime);
  icalcomponent_add_property(c, icalproperty_new_dtstamp(UtcTime(stamp.value_or(0))));
  if (auto created = Seconds(item.creationTime)) icalcomponent_add_property(c, icalproperty_new_created(UtcTime(*created)));
  if (auto modified = Seconds(item.modificationTime)) {
    icalcomponent_add_property(c, icalproperty_new_lastmodified(UtcTime(*modified)));
  }
  AddText(c, icalproperty_new_summary, item.subject);
  AddText(c, icalproperty_new_description, description);
  if (item.sensitivity == 2) icalcomponent_add_property(c, icalproperty_new_class(ICAL_CLASS_PRIVATE));
  if (item.sensitivity == 3) icalcomponent_add_property(c, icalproperty_new_class(ICAL_CLASS_CONFIDENTIAL));
  for (const auto& cat : item.categories) AddText(c, icalproperty_new_categories, cat);
  if (item.importance == 2) icalcomponent_add_property(c, icalproperty_new_priority(1));
  if (item.importance == 0) icalcomponent_add_property(c, icalproperty_new_priority(9));
}

// Every week's days of the mask (no position within the month).
void AddWeekdays(struct icalrecurrencetype& r, uint32_t mask) {
  static constexpr icalrecurrencetype_weekday kDays[] = {ICAL_SUNDAY_WEEKDAY, ICAL_MONDAY_WEEKDAY,
                                                         ICAL_TUESDAY_WEEKDAY, ICAL_WEDNESDAY_WEEKDAY,
                                                         ICAL_THURSDAY_WEEKDAY, ICAL_FRIDAY_WEEKDAY,
                                                         ICAL_SATURDAY_WEEKDAY};
  int n = 0;
  for (int d = 0; d < 7; ++d) {
    if (mask & (1u << d)) r.by_day[n++] = static_cast<short>(kDays[d]);
  }
  r.by_day[n] = ICAL_RECURRENCE_ARRAY_MAX;
}

std::optional<struct icalrecurrencetype> Rule(const content::Recurrence& p, std::optional<int64_t> utcStart,
                                              bool allDay) {
  struct icalrecurrencetype r;
  icalrecurrencetype_clear(&r);
  // Gregorian patterns only (0 default, 1 Gregorian).
  if (p.calendarType > 1) return std::nullopt;
  const int64_t firstDay = p.startDate;  // minutes since 1601, local midnight
  const icaltimetype first = DayOfMinutes(firstDay);
  switch (p.patternType) {
    case 0x0:  // every N days (the period in minutes)
      if (p.frequency != 0x200A || p.period == 0 || p.period % 1440 != 0) return std::nullopt;
      r.freq = ICAL_DAILY_RECURRENCE;
      r.interval = static_cast<short>(std::min<uint32_t>(p.period / 1440, 32767));
      break;
    case 0x1:  // weekly on the days of a mask
      if ((p.dayMask & 0x7F) == 0 || p.period == 0) return std::nullopt;
      r.freq = ICAL_WEEKLY_RECURRENCE;
      r.interval = static_cast<short>(std::min<uint32_t>(p.period, 32767));
      AddWeekdays(r, p.dayMask & 0x7F);
      break;
    case 0x2:  // a day of the month, every N months or years
    case 0x4:  // the last day of the month
    case 0x3: {  // the nth weekday of the month
      if (p.period == 0) return std::nullopt;
      if (p.frequency == 0x200D || p.period % 12 == 0) {
        r.freq = ICAL_YEARLY_RECURRENCE;
        r.interval = static_cast<short>(std::max<uint32_t>(1, std::min<uint32_t>(p.period / 12, 32767)));
        r.by_month[0] = static_cast<short>(first.month);
        r.by_month[1] = ICAL_RECURRENCE_ARRAY_MAX;
      } else if (p.frequency == 0x200C) {
        r.freq = ICAL_MONTHLY_RECURRENCE;
        r.interval = static_cast<short>(std::min<uint32_t>(p.period, 32767));
      } else {
        return std::nullopt;
      }
      if (p.patternType == 0x3) {
        if ((p.dayMask & 0x7F) == 0 || p.nth < 1 || p.nth > 5) return std::nullopt;
        AddWeekdays(r, p.dayMask & 0x7F);
        r.by_set_pos[0] = static_cast<short>(p.nth == 5 ? -1 : static_cast<int>(p.nth));
        r.by_set_pos[1] = ICAL_RECURRENCE_ARRAY_MAX;
      } else {
        const bool last = p.patternType == 0x4 || p.dayOfMonth == 31;
        if (!last && (p.dayOfMonth < 1 || p.dayOfMonth > 31)) return std::nullopt;
        r.by_month_day[0] = static_cast<short>(last ? -1 : static_cast<int>(p.dayOfMonth));
        r.by_month_day[1] = ICAL_RECURRENCE_ARRAY_MAX;
      }
      break;
    }
    default:  // Hijri and other calendars' patterns
      return std::nullopt;
  }
  if (r.interval > 1 && p.firstDayOfWeek < 7) {
    r.week_start = static_cast<icalrecurrencetype_weekday>(p.firstDayOfWeek + 1);
  }
  if (p.endType == 0x2022) {
    if (p.occurrences == 0) return std::nullopt;
    r.count = static_cast<int>(std::min<uint32_t>(p.occurrences, 1000000));
  } else if (p.endType == 0x2021) {
    // The last instance's day, local midnight; the rule ends with that
    // instance (its start in UTC for timed events).
    if (allDay || !utcStart || !p.startTimeOffset) {
      r.until = DayOfMinutes(p.endDate);
    } else {
      const int64_t localFirst = (firstDay + *p.startTimeOffset - kEpochMinutes) * 60;
      const int64_t zone = *utcStart - localFirst;
      const int64_t last = (static_cast<int64_t>(p.endDate) + *p.startTimeOffset - kEpochMinutes) * 60 + zone;
      if (last < kMinSeconds || last > kMaxSeconds) return std::nullopt;
      r.until = UtcTime(last);
    }
  }
  return r;
}

// Each modified instance of a recurring event as an event of its own with
// the master's UID and the instance it replaces as RECURRENCE-ID; what the
// instance does not change is the master's.
void AddExceptions(icalcomponent* cal, icalcomponent* master, const Item& item, const content::Recurrence& p,
                   int64_t utcStart) {
  if (!p.startTimeOffset) return;
  const content::AppointmentFields& a = *item.appointment;
  // Local times are turned into UTC with the master's offset.
  const int64_t localFirst = (static_cast<int64_t>(p.startDate) + *p.startTimeOffset - kEpochMinutes) * 60;
  const int64_t zone = utcStart - localFirst;
  auto utc = [&](uint32_t minutes) -> std::optional<int64_t> {
    const int64_t at = (static_cast<int64_t>(minutes) - kEpochMinutes) * 60 + zone;
    if (at < kMinSeconds || at > kMaxSeconds) return std::nullopt;
    return at;
  };
  const char* uid = icalcomponent_get_uid(master);
  for (const content::Recurrence::Exception& e : p.exceptions) {
    auto original = utc(e.originalStart), begin = utc(e.start), end = utc(e.end);
    if (!original || !begin || !end) continue;
    icalcomponent* ev = icalcomponent_new(ICAL_VEVENT_COMPONENT);
    icalcomponent_add_component(cal, ev);
    if (uid) icalcomponent_add_property(ev, icalproperty_new_uid(uid));
    icalcomponent_add_property(ev, icalproperty_new_dtstamp(UtcTime(Seconds(item.modificationTime).value_or(0))));
    if (a.allDay) {
      icalcomponent_add_property(ev, icalproperty_new_recurrenceid(Day(*original)));
      icalcomponent_add_property(ev, icalproperty_new_dtstart(Day(*begin)));
      icaltimetype last = Day(*end);
      if (icaltime_compare(last, Day(*begin)) <= 0) last = icaltime_add(Day(*begin), icaldurationtype_from_int(86400));
      icalcomponent_add_property(ev, icalproperty_new_dtend(last));
    } else {
      icalcomponent_add_property(ev, icalproperty_new_recurrenceid(UtcTime(*original)));
      icalcomponent_add_property(ev, icalproperty_new_dtstart(UtcTime(*begin)));
      if (*end >= *begin) icalcomponent_add_property(ev, icalproperty_new_dtend(UtcTime(*end)));
    }
    AddText(ev, icalproperty_new_summary, e.subject ? *e.subject : item.subject);
    AddText(ev, icalproperty_new_location, e.location ? *e.location : a.location);
  }
}

// What a meeting message says of its event: a request (or an update), a
// reply with the attendee's answer, or a cancellation.
struct Meeting {
  icalproperty_method method = ICAL_METHOD_REQUEST;
  icalparameter_partstat answer = ICAL_PARTSTAT_NEEDSACTION;  // replies
};

void AddEvent(icalcomponent* cal, const Item& item, const Meeting* meeting = nullptr) {
  icalcomponent* ev = icalcomponent_new(ICAL_VEVENT_COMPONENT);
  icalcomponent_add_component(cal, ev);
  const content::AppointmentFields none;
  const content::AppointmentFields& a = item.appointment ? *item.appointment : none;
  std::string description = Description(item);

  auto start = Seconds(a.start);
  auto end = Seconds(a.end);
  if (!start) start = Seconds(MessageTime(item));
  if (start) {
    if (a.allDay) {
      const icaltimetype s = Day(*start);
      icaltimetype e = end ? Day(*end) : s;
      if (icaltime_compare(e, s) <= 0) e = icaltime_add(s, icaldurationtype_from_int(86400));
      icalcomponent_add_property(ev, icalproperty_new_dtstart(s));
      icalcomponent_add_property(ev, icalproperty_new_dtend(e));
    } else {
      icalcomponent_add_property(ev, icalproperty_new_dtstart(UtcTime(*start)));
      if (end && *end >= *start) icalcomponent_add_property(ev, icalproperty_new_dtend(UtcTime(*end)));
    }
  }
  AddText(ev, icalproperty_new_location, a.location);

  // The recurrence, or a note that only the first instance is given.
  if (a.recurring || a.recurrence) {
    std::optional<struct icalrecurrencetype> rule;
    if (a.recurrence && start) rule = Rule(*a.recurrence, start, a.allDay);
    if (rule) {
      icalcomponent_add_property(ev, icalproperty_new_rrule(*rule));
      const content::Recurrence& p = *a.recurrence;
      for (uint32_t d : p.deletedDates) {
        // Only instances deleted outright: a modified instance is listed
        // there too, under its original day, and is written as its own
        // event below.
        const bool modified = std::any_of(p.exceptions.begin(), p.exceptions.end(), [&](const auto& e) {
          return e.originalStart - e.originalStart % 1440 == d;
        });
        if (modified) continue;
        if (a.allDay || !p.startTimeOffset) {
          icalcomponent_add_property(ev, icalproperty_new_exdate(DayOfMinutes(d)));
        } else {
          const int64_t localFirst = (static_cast<int64_t>(p.startDate) + *p.startTimeOffset - kEpochMinutes) * 60;
          const int64_t at = (static_cast<int64_t>(d) + *p.startTimeOffset - kEpochMinutes) * 60 + (*start - localFirst);
          if (at >= kMinSeconds && at <= kMaxSeconds) icalcomponent_add_property(ev, icalproperty_new_exdate(UtcTime(at)));
        }
      }
    } else {
      std::string note = "This is a recurring appointment";
      if (!a.recurrenceText.empty()) note += " (" + a.recurrenceText + ")";
      note += "; its pattern could not be read, so only its first instance is given here.";
      description = description.empty() ? note : description + "\n\n" + note;
    }
  }
  AddCommon(ev, item, description);
  if (a.busyStatus == 0 && item.appointment) icalcomponent_add_property(ev, icalproperty_new_transp(ICAL_TRANSP_TRANSPARENT));
  if (meeting && meeting->method == ICAL_METHOD_CANCEL) {
    icalcomponent_add_property(ev, icalproperty_new_status(ICAL_STATUS_CANCELLED));
  } else if (a.busyStatus == 1) {
    icalcomponent_add_property(ev, icalproperty_new_status(ICAL_STATUS_TENTATIVE));
  }

  const content::Address& organizer = FromAddress(item);
  if (meeting && meeting->method == ICAL_METHOD_REPLY) {
    // A reply comes from the attendee who answers, to the organiser.
    AddPerson(ev, false, organizer);
    if (icalproperty* p = icalcomponent_get_first_property(ev, ICAL_ATTENDEE_PROPERTY)) {
      icalproperty_add_parameter(p, icalparameter_new_partstat(meeting->answer));
    }
    for (const auto& r : item.recipients) {
      if (r.type == content::RecipientType::To) {
        AddPerson(ev, true, r);
        break;
      }
    }
    return;
  }
  bool attendees = false;
  for (const auto& r : item.recipients) {
    switch (r.type) {
      case content::RecipientType::To: AddPerson(ev, false, r, ICAL_ROLE_REQPARTICIPANT); break;
      case content::RecipientType::Cc: AddPerson(ev, false, r, ICAL_ROLE_OPTPARTICIPANT); break;
      case content::RecipientType::Bcc: AddPerson(ev, false, r, ICAL_ROLE_NONPARTICIPANT, true); break;
      default: continue;
    }
    attendees = true;
  }
  // An organiser only for a meeting (one with attendees).
  if (attendees) AddPerson(ev, true, organizer);
  if (a.recurrence && start && icalcomponent_get_first_property(ev, ICAL_RRULE_PROPERTY)) {
    AddExceptions(cal, ev, item, *a.recurrence, *start);
  }
  if (a.reminderSet) {
    icalcomponent* alarm = icalcomponent_new(ICAL_VALARM_COMPONENT);
    icalcomponent_add_property(alarm, icalproperty_new_action(ICAL_ACTION_DISPLAY));
    AddText(alarm, icalproperty_new_description, item.subject.empty() ? std::string("Reminder") : item.subject);
    struct icaltriggertype trigger = icaltriggertype_from_int(-60 * std::max(0, std::min(a.reminderMinutesBefore, 5256000)));
    icalcomponent_add_property(alarm, icalproperty_new_trigger(trigger));
    icalcomponent_add_component(ev, alarm);
  }
}

void AddTodo(icalcomponent* cal, const Item& item) {
  icalcomponent* todo = icalcomponent_new(ICAL_VTODO_COMPONENT);
  icalcomponent_add_component(cal, todo);
  const content::TaskFields none;
  const content::TaskFields& t = item.task ? *item.task : none;
  AddCommon(todo, item, Description(item));
  // Task dates are whole days.
  auto start = Seconds(t.start);
  auto due = Seconds(t.due);
  if (start) icalcomponent_add_property(todo, icalproperty_new_dtstart(Day(*start)));
  if (due) {
    icaltimetype d = Day(*due);
    if (start && icaltime_compare(d, Day(*start)) < 0) d = Day(*start);
    icalcomponent_add_property(todo, icalproperty_new_due(d));
  }
  const bool complete = t.complete || t.status == 2;
  if (auto done = Seconds(t.completed); done && complete) {
    icalcomponent_add_property(todo, icalproperty_new_completed(UtcTime(*done)));
  }
  icalproperty_status status = ICAL_STATUS_NEEDSACTION;
  if (complete) status = ICAL_STATUS_COMPLETED;
  else if (t.status == 1 || t.status == 3) status = ICAL_STATUS_INPROCESS;
  else if (t.status == 4) status = ICAL_STATUS_CANCELLED;
  icalcomponent_add_property(todo, icalproperty_new_status(status));
  int percent = complete ? 100 : static_cast<int>(t.percentComplete * 100 + 0.5);
  if (percent < 0 || percent > 100) percent = 0;
  if (percent > 0) icalcomponent_add_property(todo, icalproperty_new_percentcomplete(percent));
}

void AddJournal(icalcomponent* cal, const Item& item) {
  icalcomponent* journal = icalcomponent_new(ICAL_VJOURNAL_COMPONENT);
  icalcomponent_add_component(cal, journal);
  const content::JournalFields none;
  const content::JournalFields& j = item.journal ? *item.journal : none;
  std::string description = Description(item);
  if (j.durationMinutes > 0) {
    const std::string line = "Duration: " + std::to_string(j.durationMinutes) + " minutes";
    description = description.empty() ? line : description + "\n\n" + line;
  }
  AddCommon(journal, item, description);
  auto start = Seconds(j.start);
  if (!start) start = Seconds(MessageTime(item));
  if (start) icalcomponent_add_property(journal, icalproperty_new_dtstart(UtcTime(*start)));
  const std::string& type = !j.typeDescription.empty() ? j.typeDescription : j.type;
  AddText(journal, icalproperty_new_categories, type);
}

}  // namespace

CalendarKind CalendarKindOf(const Item& item) {
  if (item.kind == content::ItemKind::Task || item.task) return CalendarKind::Todo;
  if (item.kind == content::ItemKind::Journal || item.journal) return CalendarKind::Journal;
  return CalendarKind::Event;
}

std::string ICalendar(const Item& item, CalendarKind kind) {
  Component cal(icalcomponent_new(ICAL_VCALENDAR_COMPONENT));
  icalcomponent_add_property(cal.get(), icalproperty_new_version("2.0"));
  icalcomponent_add_property(cal.get(), icalproperty_new_prodid("-//Velmorix//Velmorix export//EN"));
  switch (kind) {
    case CalendarKind::Event: AddEvent(cal.get(), item); break;
    case CalendarKind::Todo: AddTodo(cal.get(), item); break;
    case CalendarKind::Journal: AddJournal(cal.get(), item); break;
  }
  std::unique_ptr<char, BufferFree> text(icalcomponent_as_ical_string_r(cal.get()));
  return text ? std::string(text.get()) : std::string();
}

std::optional<std::string> MeetingICalendar(const Item& item) {
  auto is = [&](std::string_view prefix) {
    const std::string_view cls = item.messageClass;
    if (cls.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
      if (std::tolower(static_cast<unsigned char>(cls[i])) != std::tolower(static_cast<unsigned char>(prefix[i]))) {
        return false;
      }
    }
    return true;
  };
  if (!is("IPM.Schedule.Meeting.")) return std::nullopt;
  Meeting meeting;
  if (is("IPM.Schedule.Meeting.Canceled")) {
    meeting.method = ICAL_METHOD_CANCEL;
  } else if (is("IPM.Schedule.Meeting.Resp.")) {
    meeting.method = ICAL_METHOD_REPLY;
    if (is("IPM.Schedule.Meeting.Resp.Pos")) meeting.answer = ICAL_PARTSTAT_ACCEPTED;
    if (is("IPM.Schedule.Meeting.Resp.Neg")) meeting.answer = ICAL_PARTSTAT_DECLINED;
    if (is("IPM.Schedule.Meeting.Resp.Tent")) meeting.answer = ICAL_PARTSTAT_TENTATIVE;
  }
  Component cal(icalcomponent_new(ICAL_VCALENDAR_COMPONENT));
  icalcomponent_add_property(cal.get(), icalproperty_new_version("2.0"));
  icalcomponent_add_property(cal.get(), icalproperty_new_prodid("-//Velmorix//Velmorix export//EN"));
  icalcomponent_add_property(cal.get(), icalproperty_new_method(meeting.method));
  AddEvent(cal.get(), item, &meeting);
  std::unique_ptr<char, BufferFree> text(icalcomponent_as_ical_string_r(cal.get()));
  if (!text) return std::nullopt;
  return std::string(text.get());
}

const char* MethodName(std::string_view calendar) {
  for (const char* m : {"REQUEST", "REPLY", "CANCEL"}) {
    if (calendar.find(std::string("\nMETHOD:") + m + "\r") != std::string_view::npos) return m;
  }
  return "REQUEST";
}

std::optional<std::string> RecurrenceRule(const content::Recurrence& r, std::optional<FileTime> start, bool allDay) {
  auto rule = Rule(r, Seconds(start), allDay);
  if (!rule) return std::nullopt;
  std::unique_ptr<char, BufferFree> text(icalrecurrencetype_as_string_r(&*rule));
  return text ? std::string(text.get()) : std::string();
}

}  // namespace velmorix::exporting
