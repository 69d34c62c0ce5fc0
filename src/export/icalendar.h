// Calendar items as iCalendar (RFC 5545), written with libical: an
// appointment or meeting as a VEVENT (start and end, or whole days;
// location, organiser, attendees, description, and its recurrence as an
// RRULE with EXDATEs where the stored pattern can be read, else its first
// instance and a note saying so), a task as a VTODO, a journal entry as a
// VJOURNAL. One VCALENDAR per item.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "content/item.h"

namespace velmorix::exporting {

enum class CalendarKind { Event, Todo, Journal };

// The kind an item is written as: tasks as VTODO, journal entries as
// VJOURNAL, everything else as VEVENT.
CalendarKind CalendarKindOf(const content::Item& item);

std::string ICalendar(const content::Item& item, CalendarKind kind);

// The calendar a meeting message (IPM.Schedule.Meeting.*) carries for mail
// clients: METHOD:REQUEST, REPLY (with the answer) or CANCEL and its event;
// nullopt for any other class.
std::optional<std::string> MeetingICalendar(const content::Item& item);
// The METHOD of such a calendar.
const char* MethodName(std::string_view calendar);

// The RRULE text for a stored recurrence ("FREQ=WEEKLY;BYDAY=MO,WE"), or
// nullopt when the pattern is not one the rule can state.
std::optional<std::string> RecurrenceRule(const content::Recurrence& r, std::optional<content::FileTime> start,
                                          bool allDay);

}  // namespace velmorix::exporting
