// A builder mailbox with every kind of item exported through the command
// line's export: the messages parse strictly and keep what the item reader
// reads; the mbox splits back into the same messages; vCards and iCalendar
// files parse and keep their fields.
#include <libical/ical.h>

#include <sstream>

#include "../content/content_test_util.h"
#include "cli/export.h"
#include "cli/recover.h"
#include "export/vcard.h"
#include "export_test_util.h"

namespace velmorix::exporting::testing {
namespace {

namespace sb = velmorix::storebuilder;
using content::testing::Bytes;
using content::testing::TempPath;
using content::testing::TempPathGuard;

// Unfolds a vCard and checks it strictly: CRLF line ends, lines of at most
// 75 octets, "NAME;PARAMS:VALUE" content lines, only the escapes RFC 6350
// defines in text values. Returns the properties, value unescaped, as
// "NAME:value" (params dropped); an "error: ..." entry for each fault.
std::vector<std::string> ParseVCard(const std::string& text) {
  std::vector<std::string> out;
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) {
      out.push_back("error: line without CRLF");
      break;
    }
    const std::string line = text.substr(pos, end - pos);
    if (line.size() > 75) out.push_back("error: line over 75 octets: " + line);
    if (!line.empty() && line[0] == ' ' && !lines.empty()) {
      lines.back() += line.substr(1);
    } else {
      lines.push_back(line);
    }
    pos = end + 2;
  }
  for (const auto& l : lines) {
    const size_t colon = l.find(':');
    if (colon == std::string::npos || colon == 0) {
      out.push_back("error: no property: " + l);
      continue;
    }
    std::string name = l.substr(0, std::min(colon, l.find(';')));
    std::string value;
    const std::string raw = l.substr(colon + 1);
    const bool text = name != "URL" && name != "IMPP";
    for (size_t i = 0; i < raw.size(); ++i) {
      const char c = raw[i];
      if (static_cast<unsigned char>(c) < 0x20 && c != '\t') out.push_back("error: control character in " + name);
      if (!text || c != '\\') {
        value += c;
        continue;
      }
      if (i + 1 >= raw.size() || !std::strchr("\\,;nN", raw[i + 1])) {
        out.push_back("error: bad escape in " + l);
        continue;
      }
      ++i;
      value += raw[i] == 'n' || raw[i] == 'N' ? '\n' : raw[i];
    }
    out.push_back(name + ":" + value);
  }
  if (lines.size() < 4 || lines.front() != "BEGIN:VCARD" || lines[1] != "VERSION:4.0" || lines.back() != "END:VCARD") {
    out.push_back("error: not a vCard 4.0");
  }
  return out;
}

bool Has(const std::vector<std::string>& v, const std::string& s) { return std::find(v.begin(), v.end(), s) != v.end(); }

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

struct Parsed {
  icalcomponent* calendar = nullptr;
  ~Parsed() {
    if (calendar) icalcomponent_free(calendar);
  }
};

class ExportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sb::MailboxOptions o;
    o.deletedItems = false;
    sb::MailboxBuilder mb(o);
    const uint32_t inbox = mb.AddFolder(mb.topFolder(), "Inbox");

    sb::MailFields rich;
    rich.subject = "R\xC3\xA9sum\xC3\xA9 \xE2\x80\x94 \xE6\x97\xA5\xE6\x9C\xAC";
    rich.senderName = "Zo\xC3\xAB Sender";
    rich.senderEmail = "zoe@example.com";
    rich.body = "Line one\r\nFrom the start of a line\r\n>From quoted\r\nLast";
    rich.html = "<html><body><p>Hi</p><img src=\"cid:pic1@x\"></body></html>";
    sb::Item mail = sb::MakeMail(rich);
    mail.recipients = {{"Ann", "ann@example.com", 1}, {"B\xC3\xB6", "bo@example.com", 2},
                       {"Hidden", "hid@example.com", 3}, {"Exchange Only", "/O=ORG/CN=X", 1, "EX"}};
    sb::Attachment file;
    file.fileName = "r\xC3\xA9port \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\xE3\x83\x95\xE3\x82\xA1\xE3\x82\xA4\xE3\x83\xAB"
                    "\xE5\x90\x8D\xE5\x89\x8D\xE3\x81\x8C\xE9\x95\xB7\xE3\x81\x84.pdf";
    for (int i = 0; i < 20000; ++i) file.data.push_back(std::byte(i * 7));
    file.dataPlacement = sb::Placement::Subnode;
    sb::Attachment picture;
    picture.fileName = "pic.png";
    picture.mimeTag = "image/png";
    picture.data = Bytes("\x89PNG fake");
    picture.props.Text(0x3712, "pic1@x");
    sb::MailFields innerFields;
    innerFields.subject = "inner";
    innerFields.body = "inner body";
    auto inner = std::make_shared<sb::Item>(sb::MakeMail(innerFields));
    sb::Attachment innerText;
    innerText.fileName = "inner.txt";
    innerText.data = Bytes("inner bytes");
    inner->attachments = {innerText};
    sb::Attachment message;
    message.fileName = "inner";
    message.embedded = inner;
    mail.attachments = {file, picture, message};
    mailNid_ = mb.AddItem(inbox, mail);

    // Kept transport headers whose MIME headers must not survive.
    sb::MailFields kept;
    kept.subject = "kept";
    kept.body = "plain only";
    kept.transportHeaders =
        "From: Kept Sender <kept@example.com>\r\nTo: to@example.com\r\nSubject: kept\r\n"
        "Date: Mon, 15 Jan 2024 10:30:00 +0000\r\nMessage-ID: <kept@example.com>\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=\"gone\"\r\nContent-Transfer-Encoding: 7bit\r\n";
    keptNid_ = mb.AddItem(inbox, sb::MakeMail(kept));
    // Kept headers of which three do not parse; the subject, only in the
    // properties, ends in blanks.
    sb::MailFields broken;
    broken.subject = "Trailing blanks  ";
    broken.senderName = "Real Sender";
    broken.senderEmail = "real@example.com";
    broken.transportHeaders =
        "From: Bad <<bad@\r\nTo: to@example.com\r\nDate: the day before yesterday\r\n"
        "Message-ID: <two@at@signs>\r\nX-Mailer: kept as it is\r\n";
    sb::Item brokenMail = sb::MakeMail(broken);
    brokenMail.props.Text(0x1035, "<rebuilt@example.com>");
    brokenNid_ = mb.AddItem(inbox, brokenMail);
    // An appointment among the mails: listed in Inbox and in Calendar, written once, as iCalendar.
    sb::AppointmentFields stray;
    stray.subject = "Lunch";
    mb.AddItem(inbox, sb::MakeAppointment(stray));
    emptyNid_ = mb.AddItem(inbox, sb::MakeMail({}));  // nothing at all

    const uint32_t contacts = mb.AddFolder(mb.topFolder(), "Contacts");
    sb::ContactFields cf;
    cf.displayName = "Lovelace, Ada; Countess";
    cf.givenName = "Ada";
    cf.surname = "Lovelace";
    cf.companyName = "Engines, Ltd";
    cf.postalAddress = "12 Street\r\nLondon";
    cf.mobilePhone = "+44 1";
    cf.email = "ada@example.com";
    sb::Item contact = sb::MakeContact(cf);
    contact.props.Time(0x3A42, sb::FileTime(1815, 12, 10));
    contact.props.Text(0x1000, std::string(200, 'n') + "\r\nsecond line \xE2\x82\xAC\\end");
    mb.AddItem(contacts, contact);

    const uint32_t calendar = mb.AddFolder(mb.topFolder(), "Calendar");
    sb::AppointmentFields af;
    af.subject = "Standup, daily; short";
    af.location = "Room 1";
    af.start = sb::FileTime(2024, 5, 6, 9);
    af.end = sb::FileTime(2024, 5, 6, 9, 15);
    sb::Item appointment = sb::MakeAppointment(af);
    // Weekly on Monday and Wednesday, ten times.
    Buffer recur;
    auto put = [&](uint64_t v, int width) {
      for (int i = 0; i < width; ++i) recur.push_back(std::byte((v >> (8 * i)) & 0xFF));
    };
    put(0x3004, 2), put(0x3004, 2), put(0x200B, 2), put(1, 2), put(0, 2), put(0, 4), put(1, 4), put(0, 4);
    put(0x0A, 4), put(0x2022, 4), put(10, 4), put(0, 4), put(0, 4), put(0, 4), put(100, 4), put(200, 4);
    appointment.props.NamedRaw(sb::PropertyName::Lid(sb::kPsetidAppointment, 0x8216), 0x0102, recur);
    appointment.recipients = {{"Attendee", "att@example.com", 1}};
    mb.AddItem(calendar, appointment);
    sb::AppointmentFields odd;
    odd.subject = "Unreadable pattern";
    sb::Item oddItem = sb::MakeAppointment(odd);
    oddItem.props.NamedBool(sb::PropertyName::Lid(sb::kPsetidAppointment, 0x8223), true);
    mb.AddItem(calendar, oddItem);

    const uint32_t tasks = mb.AddFolder(mb.topFolder(), "Tasks");
    mb.AddItem(tasks, sb::MakeTask({"Write", "task body", sb::FileTime(2024, 6, 1), 2, true}));
    const uint32_t notes = mb.AddFolder(mb.topFolder(), "Notes");
    mb.AddItem(notes, sb::MakeStickyNote({"", "note text\r\nmore", 2}));
    const uint32_t journal = mb.AddFolder(mb.topFolder(), "Journal");
    mb.AddItem(journal, sb::MakeJournal({"Call", "journal body", "Phone call"}));
    mb.Write(store_.path());
  }

  int Export(const std::string& format, std::string* output = nullptr) {
    cli::ExportCommand command;
    command.format = *ParseFormat(format);
    command.out = out_.path() + "/" + format;
    std::ostringstream out, err;
    const int status = cli::ExportStore(store_.path(), command, out, err);
    if (output) *output = out.str() + err.str();
    return status;
  }

  std::vector<std::string> ExpectedMails() {
    std::string error;
    auto reader = content::ItemReader::Open(store_.path(), &error);
    EXPECT_TRUE(reader) << error;
    std::vector<std::string> expected;
    for (uint32_t nid : {mailNid_, keptNid_, brokenNid_, emptyNid_}) {
      auto item = reader->Read(nid);
      EXPECT_TRUE(item) << std::hex << nid;
      if (item) expected.push_back(Expected(*reader, *item));
    }
    return expected;
  }

  TempPathGuard store_{TempPath("export", ".pst")};
  TempPathGuard out_{TempPath("export-out", "")};
  uint32_t mailNid_ = 0, keptNid_ = 0, brokenNid_ = 0, emptyNid_ = 0;
};

TEST_F(ExportTest, MessagesParseStrictlyAndKeepEverything) {
  if (!HavePython()) GTEST_SKIP() << "python3 with the email package is not installed";
  std::string output;
  ASSERT_EQ(Export("eml", &output), 0) << output;
  EXPECT_NE(output.find("4 items written, 0 could not be read"), std::string::npos) << output;
  const auto files = FilesWith(out_.path() + "/eml", ".eml");
  ASSERT_EQ(files.size(), 4u);
  for (const auto& f : files) EXPECT_TRUE(fs::path(f).parent_path().filename() == "Inbox") << f;
  const CheckResult r = CheckMessages("eml", ExpectedMails(), files, out_.path());
  EXPECT_EQ(r.status, 0) << r.output;

  // The kept header block is used, without its own MIME headers.
  for (const auto& f : files) {
    const std::string text = Read(f);
    if (text.find("Subject: kept") == std::string::npos) continue;
    EXPECT_NE(text.find("From: Kept Sender <kept@example.com>"), std::string::npos);
    EXPECT_EQ(text.find("boundary=\"gone\""), std::string::npos);
    EXPECT_EQ(text.find("MIME-Version"), text.rfind("MIME-Version"));
  }
  // Kept headers that do not parse are set aside and made again from the
  // properties (the strict parse above found no defect).
  const auto broken = std::find_if(files.begin(), files.end(),
                                   [](const std::string& f) { return Read(f).find("X-Mailer") != std::string::npos; });
  ASSERT_NE(broken, files.end());
  const std::string text = Read(*broken);
  for (const char* kept : {"X-Original-From: Bad <<bad@", "X-Original-Date: the day before yesterday",
                           "X-Original-Message-ID: <two@at@signs>", "From: Real Sender <real@example.com>",
                           "Message-Id: <rebuilt@example.com>", "To: to@example.com"}) {
    EXPECT_NE(text.find(kept), std::string::npos) << kept << "\n" << text;
  }
}

TEST_F(ExportTest, MboxSplitsBackIntoTheSameMessages) {
  if (!HavePython()) GTEST_SKIP() << "python3 with the email package is not installed";
  ASSERT_EQ(Export("mbox"), 0);
  const auto files = FilesWith(out_.path() + "/mbox", ".mbox");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(fs::path(files[0]).filename(), "Inbox.mbox");
  const std::string mbox = Read(files[0]);
  EXPECT_NE(mbox.find("\n>From the start of a line"), std::string::npos);
  const CheckResult r = CheckMessages("mbox", ExpectedMails(), files, out_.path());
  EXPECT_EQ(r.status, 0) << r.output;
}

TEST_F(ExportTest, VCardsAndCalendarsParseAndKeepTheirFields) {
  ASSERT_EQ(Export("all"), 0);
  const std::string top = out_.path() + "/all/Personal Folders";
  const auto cards = FilesWith(top + "/Contacts", ".vcf");
  ASSERT_EQ(cards.size(), 1u);
  const auto card = ParseVCard(Read(cards[0]));
  for (const auto& p : card) EXPECT_FALSE(p.starts_with("error")) << p;
  EXPECT_TRUE(Has(card, "FN:Lovelace, Ada; Countess"));
  EXPECT_TRUE(Has(card, "N:Lovelace;Ada;;;"));
  EXPECT_TRUE(Has(card, "ORG:Engines, Ltd;"));
  EXPECT_TRUE(Has(card, "EMAIL:ada@example.com"));
  EXPECT_TRUE(Has(card, "TEL:+44 1"));
  EXPECT_TRUE(Has(card, "BDAY:18151210"));
  EXPECT_TRUE(Has(card, "ADR:;;12 Street\nLondon;;;;"));
  EXPECT_TRUE(Has(card, "NOTE:" + std::string(200, 'n') + "\nsecond line \xE2\x82\xAC\\end"));

  const auto ics = [&](const std::string& folder) {
    const auto files = FilesWith(top + "/" + folder, ".ics");
    std::vector<std::string> texts;
    for (const auto& f : files) texts.push_back(Read(f));
    return texts;
  };
  auto parse = [](const std::string& text) {
    icalcomponent* c = icalparser_parse_string(text.c_str());
    EXPECT_TRUE(c);
    if (c) {
      EXPECT_EQ(icalcomponent_count_errors(c), 0) << text;
    }
    return c;
  };
  auto events = ics("Calendar");
  ASSERT_EQ(events.size(), 2u);
  for (const auto& text : events) {
    Parsed p{parse(text)};
    ASSERT_TRUE(p.calendar);
    icalcomponent* ev = icalcomponent_get_first_component(p.calendar, ICAL_VEVENT_COMPONENT);
    ASSERT_TRUE(ev);
    const std::string summary = icalcomponent_get_summary(ev);
    if (summary == "Standup, daily; short") {
      EXPECT_EQ(icaltime_as_timet(icalcomponent_get_dtstart(ev)), 1714986000);  // 2024-05-06 09:00 UTC
      EXPECT_EQ(icaltime_as_timet(icalcomponent_get_dtend(ev)), 1714986900);
      EXPECT_STREQ(icalcomponent_get_location(ev), "Room 1");
      icalproperty* rrule = icalcomponent_get_first_property(ev, ICAL_RRULE_PROPERTY);
      ASSERT_TRUE(rrule);
      struct icalrecurrencetype rule = icalproperty_get_rrule(rrule);
      EXPECT_STREQ(icalrecurrencetype_as_string(&rule), "FREQ=WEEKLY;COUNT=10;BYDAY=MO,WE");
      icalproperty* attendee = icalcomponent_get_first_property(ev, ICAL_ATTENDEE_PROPERTY);
      ASSERT_TRUE(attendee);
      EXPECT_STREQ(icalproperty_get_attendee(attendee), "mailto:att@example.com");
    } else {
      EXPECT_EQ(summary, "Unreadable pattern");
      EXPECT_FALSE(icalcomponent_get_first_property(ev, ICAL_RRULE_PROPERTY));
      EXPECT_NE(std::string(icalcomponent_get_description(ev)).find("only its first instance"), std::string::npos);
    }
  }
  auto tasks = ics("Tasks");
  ASSERT_EQ(tasks.size(), 1u);
  Parsed task{parse(tasks[0])};
  icalcomponent* todo = icalcomponent_get_first_component(task.calendar, ICAL_VTODO_COMPONENT);
  ASSERT_TRUE(todo);
  EXPECT_STREQ(icalcomponent_get_summary(todo), "Write");
  EXPECT_EQ(icalcomponent_get_status(todo), ICAL_STATUS_COMPLETED);
  const icaltimetype due = icalcomponent_get_due(todo);
  EXPECT_TRUE(due.is_date);
  EXPECT_EQ(due.year * 10000 + due.month * 100 + due.day, 20240601);
  auto journal = ics("Journal");
  ASSERT_EQ(journal.size(), 1u);
  Parsed entry{parse(journal[0])};
  icalcomponent* vjournal = icalcomponent_get_first_component(entry.calendar, ICAL_VJOURNAL_COMPONENT);
  ASSERT_TRUE(vjournal);
  EXPECT_STREQ(icalcomponent_get_summary(vjournal), "Call");
  EXPECT_STREQ(icalcomponent_get_description(vjournal), "journal body");

  EXPECT_EQ(FilesWith(top + "/Inbox", ".ics").size(), 1u);
  EXPECT_EQ(FilesWith(top, ".ics").size(), 5u);

  const auto notes = FilesWith(top + "/Notes", ".txt");
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(fs::path(notes[0]).filename(), "note text.txt");
  EXPECT_EQ(Read(notes[0]), "note text\r\nmore");
}

TEST_F(ExportTest, OneFolderAndItsSubfoldersOrNothingForAFileThatIsNotAStore) {
  cli::ExportCommand command;
  command.format = Format::All;
  command.out = out_.path() + "/one";
  command.folder = "Personal Folders\\Contacts";
  std::ostringstream out, err;
  ASSERT_EQ(cli::ExportStore(store_.path(), command, out, err), 0) << err.str();
  EXPECT_EQ(out.str(), "1 items written, 0 could not be read, " +
                           std::to_string(fs::file_size(FilesWith(out_.path() + "/one", ".vcf").at(0))) +
                           " bytes written\n");
  command.folder = "Personal Folders\\Nowhere\\";
  EXPECT_EQ(cli::ExportStore(store_.path(), command, out, err), cli::kExitUsage);

  const std::string junk = out_.path() + "/junk.pst";
  std::ofstream(junk) << std::string(4096, 'x');
  command.folder.reset();
  EXPECT_EQ(cli::ExportStore(junk, command, out, err), cli::kExitOpenFailed);
  EXPECT_EQ(cli::ExportStore(out_.path() + "/missing.pst", command, out, err), cli::kExitOpenFailed);
}

TEST(VCardText, EscapesAndFoldsAsRfc6350Says) {
  EXPECT_EQ(VCardText("a,b;c\\d\r\ne\nf"), "a\\,b\\;c\\\\d\\ne\\nf");
  // Folded at 75 octets, never inside a character.
  const std::string line = "NOTE:" + std::string(69, 'x') + "\xE2\x82\xAC" + std::string(100, 'y');
  const std::string folded = FoldLine(line);
  EXPECT_EQ(folded.substr(0, 76), "NOTE:" + std::string(69, 'x') + "\r\n");
  EXPECT_EQ(folded.substr(76, 4), " \xE2\x82\xAC");
  std::string unfolded;
  for (size_t pos = 0; pos < folded.size();) {
    const size_t end = folded.find("\r\n", pos);
    const std::string piece = folded.substr(pos, end - pos);
    EXPECT_LE(piece.size(), 75u);
    unfolded += pos == 0 ? piece : piece.substr(1);
    pos = end + 2;
  }
  EXPECT_EQ(unfolded, line);
}

}  // namespace
}  // namespace velmorix::exporting::testing
