#include "storebuilder/sample_mailboxes.h"

#include <memory>
#include <string>
#include <string_view>

namespace velmorix::storebuilder {
namespace {

Attachment MakeAttachment(std::string name, size_t size, int seed) {
  Attachment a;
  a.fileName = std::move(name);
  a.data.resize(size);
  for (size_t i = 0; i < size; ++i) a.data[i] = std::byte((i * 31 + seed) & 0xFF);
  return a;
}

uint64_t Day(int d, int hour = 9) { return FileTime(2024, 3, 1 + d % 28, hour, 0); }

// Text of `length` characters that varies with `seed`.
std::string Filler(std::string_view base, size_t length, uint32_t seed) {
  std::string s;
  s.reserve(length);
  std::string prefix = std::to_string(seed) + " ";
  s.append(prefix.substr(0, length));
  while (s.size() < length) s.append(base.substr(0, length - s.size()));
  return s;
}

}  // namespace

void AddDemoMailbox(MailboxBuilder& b) {
  auto folder = [&](uint32_t parent, std::string_view name, std::string cls) {
    FolderOptions o;
    o.containerClass = std::move(cls);
    return b.AddFolder(parent, name, o);
  };
  const uint32_t top = b.topFolder();
  const uint32_t inbox = folder(top, "Inbox", "IPF.Note");
  const uint32_t transfers = folder(inbox, "\xC3\x9C" "berweisungen", "IPF.Note");
  const uint32_t chinese = folder(inbox, "\xE6\x94\xB6\xE4\xBB\xB6\xE7\xAE\xB1", "IPF.Note");
  const uint32_t sent = folder(top, "Sent Items", "IPF.Note");
  const uint32_t contacts = folder(top, "Contacts", "IPF.Contact");
  const uint32_t calendar = folder(top, "Calendar", "IPF.Appointment");
  const uint32_t tasks = folder(top, "Tasks", "IPF.Task");
  const uint32_t notes = folder(top, "Notes", "IPF.StickyNote");
  const uint32_t journal = folder(top, "Journal", "IPF.Journal");

  auto mail = [](std::string subject, std::string from, std::string to, std::string body, int day) {
    MailFields m;
    m.subject = std::move(subject);
    m.senderName = std::move(from);
    m.senderEmail = "sender@example.com";
    m.displayTo = std::move(to);
    m.body = std::move(body);
    m.deliveryTime = Day(day);
    m.transportHeaders = "Received: from mail.example.com\r\nSubject: " + m.subject + "\r\n";
    return m;
  };

  b.AddItem(top, MakeMail(mail("Welcome to Velmorix", "Velmorix Team", "You",
                                "This mail sits directly in the top folder.", 0)));

  MailFields m = mail("Project kickoff", "Alice Example", "Bob Example",
                      "Hi Bob,\r\n\r\nthe kickoff is on Monday.\r\n\r\nAlice", 1);
  m.html = "<html><body><p>Hi Bob,</p><p>the kickoff is on Monday.</p></body></html>";
  b.AddItem(inbox, MakeMail(m));
  Item withFiles = MakeMail(mail("Quarterly figures", "Carol Finance", "Team",
                                 "Please find the figures attached.", 2));
  withFiles.attachments.push_back(MakeAttachment("figures.xlsx", 5000, 1));
  Attachment big = MakeAttachment("scan.pdf", 40000, 2);
  big.mimeTag = "application/pdf";
  withFiles.attachments.push_back(std::move(big));
  withFiles.recipients = {{"Team", "team@example.com", 1}, {"Dave", "dave@example.com", 2}};
  b.AddItem(inbox, withFiles);
  MailFields longMail = mail("Meeting notes", "Dave Notes", "Alice Example",
                             std::string(12000, 'n'), 3);
  longMail.messageFlags = 0;  // unread
  b.AddItem(inbox, MakeMail(longMail));
  MailFields report = mail("Undeliverable: Project kickoff", "Mail Delivery System", "Alice Example",
                           "Delivery has failed to these recipients.", 4);
  b.AddItem(inbox, MakeReport(report));
  MailFields custom = mail("Expense form", "Erin Forms", "Alice Example", "Custom form.", 5);
  custom.messageClass = "IPM.Note.Custom";
  b.AddItem(inbox, MakeMail(custom));

  b.AddItem(transfers, MakeMail(mail("\xC3\x9C" "berweisung eingegangen", "Bank", "Alice Example",
                                     "Ihre \xC3\x9C" "berweisung \xC3\xBC" "ber 100 \xE2\x82\xAC "
                                     "ist eingegangen.", 6)));
  b.AddItem(transfers, MakeMail(mail("Kontoauszug M\xC3\xA4rz", "Bank", "Alice Example",
                                     "Der Kontoauszug liegt bereit.", 7)));
  b.AddItem(chinese, MakeMail(mail("\xE4\xBD\xA0\xE5\xA5\xBD", "\xE6\x9D\x8E\xE9\x9B\xB7",
                                   "Alice Example", "\xE4\xBD\xA0\xE5\xA5\xBD\xEF\xBC\x81", 8)));

  b.AddItem(sent, MakeMail(mail("Re: Project kickoff", "Bob Example", "Alice Example",
                                "Thanks, see you Monday.", 9)));
  Item sentFile = MakeMail(mail("Photo", "Bob Example", "Carol Finance", "The photo.", 10));
  sentFile.attachments.push_back(MakeAttachment("photo.jpg", 3000, 3));
  b.AddItem(sent, sentFile);
  Item forward = MakeMail(mail("Fw: Project kickoff", "Bob Example", "Erin Forms",
                               "See the mail below.", 11));
  Attachment original;
  original.fileName = "Project kickoff";
  original.embedded = std::make_shared<Item>(MakeMail(m));
  forward.attachments.push_back(std::move(original));
  b.AddItem(sent, forward);

  if (b.deletedItems()) {
    b.AddItem(b.deletedItems(), MakeMail(mail("Old newsletter", "News", "Alice Example",
                                              "Last month's news.", 11)));
  }

  ContactFields c1{"Alice Example", "Example, Alice", "Alice", "Example", "Example Corp",
                   "1 Main Street\r\nSpringfield", "+1 555 0100", "+1 555 0101",
                   "alice@example.com"};
  ContactFields c2{"J\xC3\xBCrgen M\xC3\xBCller", "M\xC3\xBCller, J\xC3\xBCrgen", "J\xC3\xBCrgen",
                   "M\xC3\xBCller", "Beispiel GmbH", "Hauptstra\xC3\x9F" "e 5\r\nBerlin",
                   "+49 170 1234567", "", "juergen@example.de"};
  ContactFields c3{"Li Lei", "Li, Lei", "Lei", "Li", "", "", "+86 138 0000 0000", "", ""};
  for (const ContactFields& c : {c1, c2, c3}) b.AddItem(contacts, MakeContact(c));

  AppointmentFields a1;
  a1.subject = "Team meeting";
  a1.location = "Room 101";
  a1.start = Day(12, 10);
  a1.end = Day(12, 11);
  b.AddItem(calendar, MakeAppointment(a1));
  AppointmentFields a2;
  a2.subject = "Dentist";
  a2.location = "Dr. Smile";
  a2.start = Day(14, 15);
  a2.end = Day(14, 16);
  b.AddItem(calendar, MakeAppointment(a2));

  b.AddItem(tasks, MakeTask({"Write report", "Quarterly report for the board.", Day(20), 1, false}));
  b.AddItem(tasks, MakeTask({"Book flights", "", Day(21), 2, true}));
  b.AddItem(notes, MakeStickyNote({"Call Alice", "Call Alice about the kickoff.", 3}));
  b.AddItem(notes, MakeStickyNote({"Shopping", "Milk, bread, coffee", 1}));
  JournalFields j1;
  j1.subject = "Call with Carol";
  j1.body = "Discussed the figures.";
  j1.start = Day(15, 14);
  j1.end = Day(15, 15);
  b.AddItem(journal, MakeJournal(j1));
  JournalFields j2;
  j2.subject = "Conversation with Dave";
  j2.logType = "Conversation";
  b.AddItem(journal, MakeJournal(j2));
}

void AddBenchmarkMailbox(MailboxBuilder& b, const BenchmarkShape& s) {
  static constexpr std::string_view kWords =
      "Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod tempor "
      "incididunt ut labore et dolore magna aliqua. ";
  static constexpr std::string_view kHeader =
      "Received: from relay.example.com (relay.example.com [192.0.2.1]) by mx.example.com\r\n";
  uint64_t mailNumber = 0;
  for (uint32_t f = 0; f < s.folders; ++f) {
    FolderOptions o;
    o.containerClass = "IPF.Note";
    uint32_t folder = b.AddFolder(b.topFolder(), "Folder " + std::to_string(f + 1), o);
    for (uint32_t k = 0; k < s.mailsPerFolder; ++k) {
      ++mailNumber;
      MailFields m;
      m.subject = Filler("Benchmark subject ", s.subjectLength, static_cast<uint32_t>(mailNumber));
      m.senderName = "Sender " + std::to_string(mailNumber % 97);
      m.displayTo = "Recipient " + std::to_string(mailNumber % 89);
      m.body = Filler(kWords, s.bodySize, static_cast<uint32_t>(mailNumber));
      m.transportHeaders = Filler(kHeader, s.headerSize, static_cast<uint32_t>(mailNumber));
      m.deliveryTime = Day(static_cast<int>(mailNumber % 28), static_cast<int>(mailNumber % 24));
      m.bodyInSubnode = s.bodyInSubnodeEvery && mailNumber % s.bodyInSubnodeEvery == 0;
      Item item = MakeMail(m);
      if (s.attachmentEvery && mailNumber % s.attachmentEvery == 0) {
        item.attachments.push_back(
            MakeAttachment("file" + std::to_string(mailNumber) + ".bin", 2048,
                           static_cast<int>(mailNumber)));
      }
      b.AddItem(folder, item);
    }
  }
}

}  // namespace velmorix::storebuilder
