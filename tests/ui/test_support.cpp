#include "test_support.h"

#include <QDir>
#include <QTest>

#include "storebuilder/mailbox.h"

namespace velmorix::ui::testing {

using session::MessageAnswer;
using session::MessageButtons;

MessageAnswer FakePresenter::ShowMessage(QWidget* owner, const session::Message& message) {
  messages.push_back({message, owner != nullptr});
  if (onMessage) onMessage(message);
  return message.buttons == MessageButtons::YesNo ? yesNoAnswer : MessageAnswer::Ok;
}

QString FakePresenter::SelectOpenFile(QWidget*, const QString& title, const QString& filters) {
  ++fileDialogs;
  fileDialogTitle = title;
  fileDialogFilters = filters;
  return fileToChoose;
}

QStringList FakePresenter::texts() const {
  QStringList out;
  for (const Shown& shown : messages) out.append(QString::fromStdString(shown.message.text));
  return out;
}

QString WriteTestMailbox(const QString& dir, bool unicode) {
  using namespace velmorix::storebuilder;
  MailboxOptions options;
  options.ndb.format = unicode ? Format::Unicode23 : Format::Ansi14;
  MailboxBuilder b(options);
  const uint32_t top = b.topFolder();

  const uint32_t inbox = b.AddFolder(top, "Inbox");
  MailFields first;
  first.subject = "Kickoff";
  first.senderName = "Alice Example";
  first.displayTo = "Bob Example";
  first.deliveryTime = FileTime(2006, 7, 1, 12, 0, 0);
  b.AddItem(inbox, MakeMail(first));
  MailFields second;
  second.subject = "Figures";
  second.senderName = "Carol Finance";
  second.displayTo = "Team";
  Item withFile = MakeMail(second);
  Attachment file;
  file.fileName = "figures.txt";
  file.data = Buffer(64, std::byte{0x41});
  withFile.attachments.push_back(file);
  b.AddItem(inbox, withFile);
  MailFields anonymous;
  anonymous.displayTo = "Nobody";
  b.AddItem(inbox, MakeMail(anonymous));

  const uint32_t sent = b.AddFolder(top, "Sent Items");
  b.AddFolder(sent, "Archive");

  const uint32_t contacts = b.AddFolder(top, "Contacts");
  ContactFields c1;
  c1.displayName = "Alice Example";
  c1.fileUnder = "Example, Alice";
  c1.postalAddress = "1 Main Street";
  c1.mobilePhone = "+1 555 0100";
  b.AddItem(contacts, MakeContact(c1));
  ContactFields c2;
  c2.displayName = "Bob Example";
  c2.fileUnder = "Example, Bob";
  b.AddItem(contacts, MakeContact(c2));

  const uint32_t tasks = b.AddFolder(top, "Tasks");
  for (int i = 1; i <= 3; ++i) {
    TaskFields t;
    t.subject = "Task " + std::to_string(i);
    b.AddItem(tasks, MakeTask(t));
  }
  const uint32_t journal = b.AddFolder(top, "Journal");
  JournalFields j;
  j.subject = "Called Alice";
  j.logType = "Phone call";
  b.AddItem(journal, MakeJournal(j));
  const uint32_t notes = b.AddFolder(top, "Notes");
  NoteFields n;
  n.subject = "Shopping";
  n.body = "Milk, bread";
  b.AddItem(notes, MakeStickyNote(n));
  const uint32_t calendar = b.AddFolder(top, "Calendar");
  AppointmentFields a;
  a.subject = "Review";
  a.location = "Room 4";
  b.AddItem(calendar, MakeAppointment(a));

  const QString path = QDir(dir).filePath(unicode ? QStringLiteral("mailbox.pst")
                                                  : QStringLiteral("mailbox-ansi.pst"));
  b.Write(path.toStdString());
  return path;
}

bool WaitForWorker(MainWindow& window, int timeoutMs) {
  // The worker cannot have started its last call before StartRecovery ran;
  // wait until it reports its end.
  return QTest::qWaitFor([&] { return !window.session().WorkerRunning(); }, timeoutMs);
}

QString SamplePath(const char* name) {
  return QString::fromStdString(velmorix::test::SamplePath(name));
}

}  // namespace velmorix::ui::testing
