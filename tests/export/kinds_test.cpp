// Items exported in their own form beyond the plain kinds: a meeting request
// as a mail carrying its invitation, a distribution list with its members,
// a recurring appointment with a modified instance. In every variant.
#include <libical/ical.h>

#include <memory>
#include <sstream>

#include "../content/content_test_util.h"
#include "cli/export.h"
#include "content/item_reader.h"
#include "export/icalendar.h"
#include "export_test_util.h"

namespace velmorix::exporting::testing {
namespace {

namespace sb = velmorix::storebuilder;
using content::testing::TempPath;
using content::testing::TempPathGuard;

constexpr sb::Guid kPsetidMeeting =
    sb::MakeGuid(0x6ED8DA90, 0x450B, 0x101B, {0x98, 0xDA, 0x00, 0xAA, 0x00, 0x3F, 0x13, 0x05});

struct Calendar {
  explicit Calendar(const std::string& text) : c(icalparser_parse_string(text.c_str())) {}
  ~Calendar() {
    if (c) icalcomponent_free(c);
  }
  icalcomponent* c;
};

void Put(Buffer& b, uint64_t v, int width) {
  for (int i = 0; i < width; ++i) b.push_back(std::byte((v >> (8 * i)) & 0xFF));
}

void PutWide(Buffer& b, std::string_view ascii) {
  for (char c : ascii) Put(b, static_cast<uint8_t>(c), 2);
}

uint32_t Minutes(uint64_t filetime) { return static_cast<uint32_t>(filetime / 600000000ull); }

// A one-off entry ID in its Unicode form: name, address type, address.
std::string OneOff(std::string_view name, std::string_view type, std::string_view address) {
  Buffer b;
  Put(b, 0, 4);
  for (uint8_t x : {0x81, 0x2B, 0x1F, 0xA4, 0xBE, 0xA3, 0x10, 0x19, 0x9D, 0x6E, 0x00, 0xDD, 0x01, 0x0F, 0x54, 0x02}) {
    b.push_back(std::byte{x});
  }
  Put(b, 0, 2);
  Put(b, 0x8000 | 0x0190, 2);
  for (std::string_view s : {name, type, address}) {
    PutWide(b, s);
    Put(b, 0, 2);
  }
  return std::string(AsChars(ByteSpan(b)));
}

// A multi-valued binary value: the count, each value's offset, the values.
Buffer MultipleBinary(const std::vector<std::string>& values) {
  Buffer b;
  Put(b, values.size(), 4);
  uint32_t offset = static_cast<uint32_t>(4 + 4 * values.size());
  for (const auto& v : values) {
    Put(b, offset, 4);
    offset += static_cast<uint32_t>(v.size());
  }
  for (const auto& v : values) {
    const ByteSpan s = AsBytes(v);
    b.insert(b.end(), s.begin(), s.end());
  }
  return b;
}

class KindsTest : public ::testing::TestWithParam<sb::Format> {
 protected:
  void SetUp() override {
    sb::MailboxBuilder mb(content::testing::Options(GetParam()));
    const uint32_t inbox = mb.AddFolder(mb.topFolder(), "Inbox");
    sb::AppointmentFields mf;
    mf.subject = "Planning";
    mf.location = "Room 9";
    mf.start = sb::FileTime(2024, 3, 4, 14);
    mf.end = sb::FileTime(2024, 3, 4, 15);
    sb::Item request = sb::MakeAppointment(mf);
    request.props.Text(0x001A, "IPM.Schedule.Meeting.Request")
        .Text(0x0C1A, "Olga Organizer")
        .Text(0x0C1F, "olga@example.com")
        .Text(0x0C1E, "SMTP");
    Buffer goid;
    for (int i = 0; i < 20; ++i) goid.push_back(std::byte(0xA0 + i));
    request.props.NamedRaw(sb::PropertyName::Lid(kPsetidMeeting, 0x0003), 0x0102, goid);
    request.recipients = {{"Rita Required", "rita@example.com", 1}, {"Otto Optional", "otto@example.com", 2}};
    requestNid_ = mb.AddItem(inbox, request);

    const uint32_t contacts = mb.AddFolder(mb.topFolder(), "Contacts");
    sb::Item list;
    list.props.Text(0x001A, "IPM.DistList").Text(0x3001, "Team").Text(0x0037, "Team");
    list.props.NamedRaw(sb::PropertyName::Lid(sb::kPsetidAddress, 0x8054), 0x1102,
                        MultipleBinary({OneOff("Ann Member", "SMTP", "ann@example.com"),
                                        OneOff("Exchange Only", "EX", "/o=Org/cn=Recipients/cn=x")}));
    mb.AddItem(contacts, list);

    // Weekly on Mondays from 2024-05-06 09:00, five times; the second
    // instance moved to 11:00 with its own subject and place, the third
    // deleted.
    const uint32_t calendar = mb.AddFolder(mb.topFolder(), "Calendar");
    sb::AppointmentFields af;
    af.subject = "Weekly";
    af.location = "Room 1";
    af.start = sb::FileTime(2024, 5, 6, 9);
    af.end = sb::FileTime(2024, 5, 6, 10);
    sb::Item weekly = sb::MakeAppointment(af);
    const uint32_t day1 = Minutes(sb::FileTime(2024, 5, 6)), day2 = Minutes(sb::FileTime(2024, 5, 13)),
                   day3 = Minutes(sb::FileTime(2024, 5, 20));
    Buffer r;
    Put(r, 0x3004, 2), Put(r, 0x3004, 2), Put(r, 0x200B, 2), Put(r, 1, 2), Put(r, 0, 2);
    Put(r, 0, 4), Put(r, 1, 4), Put(r, 0, 4), Put(r, 0x02, 4);    // first time, period, sliding, Mondays
    Put(r, 0x2022, 4), Put(r, 5, 4), Put(r, 1, 4);                // after 5, week starts Monday
    Put(r, 2, 4), Put(r, day2, 4), Put(r, day3, 4);               // deleted (the modified one too)
    Put(r, 1, 4), Put(r, day2, 4);                                // modified
    Put(r, day1, 4), Put(r, Minutes(sb::FileTime(2024, 6, 3)), 4);  // start and end dates
    Put(r, 0x3006, 4), Put(r, 0x3008, 4), Put(r, 540, 4), Put(r, 600, 4);
    Put(r, 1, 2);                                                 // one exception
    Put(r, day2 + 660, 4), Put(r, day2 + 720, 4), Put(r, day2 + 540, 4), Put(r, 0x0011, 2);
    for (std::string_view s : {"Moved", "Room 2"}) {
      Put(r, s.size() + 1, 2), Put(r, s.size(), 2);
      for (char c : s) r.push_back(std::byte(c));
    }
    Put(r, 0, 4);                                                 // reserved block
    Put(r, 0, 4);                                                 // the exception's reserved block
    Put(r, day2 + 660, 4), Put(r, day2 + 720, 4), Put(r, day2 + 540, 4);
    for (std::string_view s : {"Moved", "Room 2"}) {
      Put(r, s.size(), 2);
      PutWide(r, s);
    }
    Put(r, 0, 4);
    weekly.props.NamedRaw(sb::PropertyName::Lid(sb::kPsetidAppointment, 0x8216), 0x0102, r);
    mb.AddItem(calendar, weekly);
    mb.Write(store_.path());

    cli::ExportCommand command;
    command.format = Format::All;
    command.out = out_.path();
    std::ostringstream out, err;
    status_ = cli::ExportStore(store_.path(), command, out, err);
    output_ = out.str() + err.str();
  }

  std::string Only(const std::string& folder, const std::string& ext) {
    const auto files = FilesWith(out_.path() + "/Personal Folders/" + folder, ext);
    EXPECT_EQ(files.size(), 1u) << folder << ext;
    if (files.empty()) return {};
    std::ifstream in(files[0], std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  TempPathGuard store_{TempPath("kinds", ".pst")};
  TempPathGuard out_{TempPath("kinds-out", "")};
  uint32_t requestNid_ = 0;
  int status_ = -1;
  std::string output_;
};

TEST_P(KindsTest, AMeetingRequestIsAMailCarryingItsInvitation) {
  ASSERT_EQ(status_, 0) << output_;
  const std::string eml = Only("Inbox", ".eml");
  EXPECT_NE(eml.find("Content-Type: text/calendar; charset=us-ascii; method=REQUEST"), std::string::npos) << eml;
  EXPECT_TRUE(FilesWith(out_.path() + "/Personal Folders/Contacts", ".vcf").size() == 1);  // only the list

  std::string error;
  auto reader = content::ItemReader::Open(store_.path(), &error);
  ASSERT_TRUE(reader) << error;
  auto item = reader->Read(requestNid_);
  ASSERT_TRUE(item);
  const auto text = MeetingICalendar(*item);
  ASSERT_TRUE(text);
  Calendar cal(*text);
  ASSERT_TRUE(cal.c) << *text;
  EXPECT_EQ(icalcomponent_count_errors(cal.c), 0) << *text;
  EXPECT_EQ(icalcomponent_get_method(cal.c), ICAL_METHOD_REQUEST);
  icalcomponent* ev = icalcomponent_get_first_component(cal.c, ICAL_VEVENT_COMPONENT);
  ASSERT_TRUE(ev);
  EXPECT_STREQ(icalcomponent_get_summary(ev), "Planning");
  EXPECT_STREQ(icalcomponent_get_location(ev), "Room 9");
  EXPECT_STREQ(icalcomponent_get_uid(ev), "A0A1A2A3A4A5A6A7A8A9AAABACADAEAFB0B1B2B3");
  EXPECT_EQ(icaltime_as_timet(icalcomponent_get_dtstart(ev)), 1709560800);  // 2024-03-04 14:00 UTC
  icalproperty* organizer = icalcomponent_get_first_property(ev, ICAL_ORGANIZER_PROPERTY);
  ASSERT_TRUE(organizer);
  EXPECT_STREQ(icalproperty_get_organizer(organizer), "mailto:olga@example.com");
  std::vector<std::string> attendees;
  for (icalproperty* p = icalcomponent_get_first_property(ev, ICAL_ATTENDEE_PROPERTY); p;
       p = icalcomponent_get_next_property(ev, ICAL_ATTENDEE_PROPERTY)) {
    icalparameter* role = icalproperty_get_first_parameter(p, ICAL_ROLE_PARAMETER);
    attendees.push_back(std::string(icalproperty_get_attendee(p)) + " " +
                        (role ? icalparameter_enum_to_string(icalparameter_get_role(role)) : "-"));
  }
  EXPECT_EQ(attendees, (std::vector<std::string>{"mailto:rita@example.com REQ-PARTICIPANT",
                                                 "mailto:otto@example.com OPT-PARTICIPANT"}));
}

TEST_P(KindsTest, ADistributionListKeepsItsMembers) {
  ASSERT_EQ(status_, 0) << output_;
  std::string card = Only("Contacts", ".vcf");
  for (size_t fold; (fold = card.find("\r\n ")) != std::string::npos;) card.erase(fold, 3);
  EXPECT_NE(card.find("KIND:group\r\n"), std::string::npos) << card;
  EXPECT_NE(card.find("MEMBER;X-CN=\"Ann Member\":mailto:ann@example.com\r\n"), std::string::npos) << card;
  // A member without an Internet address is named in the note.
  EXPECT_NE(card.find("NOTE:Members without an Internet address:\\nExchange Only (EX:/o=Org/cn=Recipients/cn=x)\r\n"), std::string::npos) << card;
}

TEST_P(KindsTest, AModifiedInstanceIsAnEventOfItsOwn) {
  ASSERT_EQ(status_, 0) << output_;
  const std::string text = Only("Calendar", ".ics");
  Calendar cal(text);
  ASSERT_TRUE(cal.c) << text;
  EXPECT_EQ(icalcomponent_count_errors(cal.c), 0) << text;
  std::vector<icalcomponent*> events;
  for (icalcomponent* e = icalcomponent_get_first_component(cal.c, ICAL_VEVENT_COMPONENT); e;
       e = icalcomponent_get_next_component(cal.c, ICAL_VEVENT_COMPONENT)) {
    events.push_back(e);
  }
  ASSERT_EQ(events.size(), 2u) << text;
  icalcomponent* master = events[0];
  icalcomponent* moved = events[1];
  EXPECT_STREQ(icalcomponent_get_uid(master), icalcomponent_get_uid(moved));
  // The deleted instance only is excluded; the moved one is replaced.
  std::vector<time_t> excluded;
  for (icalproperty* p = icalcomponent_get_first_property(master, ICAL_EXDATE_PROPERTY); p;
       p = icalcomponent_get_next_property(master, ICAL_EXDATE_PROPERTY)) {
    excluded.push_back(icaltime_as_timet(icalproperty_get_exdate(p)));
  }
  EXPECT_EQ(excluded, std::vector<time_t>{1716195600}) << text;  // 2024-05-20 09:00 UTC
  EXPECT_EQ(icaltime_as_timet(icalcomponent_get_recurrenceid(moved)), 1715590800);  // 2024-05-13 09:00
  EXPECT_EQ(icaltime_as_timet(icalcomponent_get_dtstart(moved)), 1715598000);       // 11:00
  EXPECT_EQ(icaltime_as_timet(icalcomponent_get_dtend(moved)), 1715601600);
  EXPECT_STREQ(icalcomponent_get_summary(moved), "Moved");
  EXPECT_STREQ(icalcomponent_get_location(moved), "Room 2");
}

INSTANTIATE_TEST_SUITE_P(Variants, KindsTest,
                         ::testing::Values(sb::Format::Unicode23, sb::Format::Ansi14, sb::Format::Unicode4K),
                         [](const auto& info) {
                           switch (info.param) {
                             case sb::Format::Ansi14: return std::string("Ansi");
                             case sb::Format::Unicode4K: return std::string("Unicode4K");
                             default: return std::string("Unicode");
                           }
                         });

}  // namespace
}  // namespace velmorix::exporting::testing
