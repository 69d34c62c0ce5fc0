// Every recovered item within reach: mails whose attachment table is empty
// or unreadable, and contacts, calendar entries, tasks, notes and journal
// entries shown in the folders they lie in, whatever those are called.
#include <gtest/gtest.h>

#include <sstream>

#include "cli/recover.h"
#include "session_fixture.h"

namespace velmorix::session::testing {
namespace {

using V = std::vector<std::string>;

const std::string kTop = "Personal Folders\\";
const std::string kDate = "Mon Jan 15 10:30:00 2024";  // the builder's default time

sb::Item WithFile(sb::Item item) {
  sb::Attachment a;
  a.fileName = "a.txt";
  a.data = Buffer(10, std::byte{'x'});
  item.attachments.push_back(a);
  return item;
}

sb::Item Contact(const std::string& name) {
  sb::ContactFields f;
  f.displayName = f.fileUnder = name;
  f.mobilePhone = "555";
  return sb::MakeContact(f);
}

sb::Item Appointment(const std::string& subject) {
  sb::AppointmentFields f;
  f.subject = subject;
  f.location = "Room";
  f.start = sb::kDefaultTime;
  return sb::MakeAppointment(f);
}

std::vector<int> Pictures(const ListContent& list) {
  std::vector<int> out;
  for (const auto& row : list.rows) out.push_back(row.picture);
  return out;
}

TEST_P(SessionTest, MailsWithEmptyOrUnreadableAttachmentTablesAreKept) {
  sb::MailboxBuilder mb(Options(GetParam()));
  const uint32_t drafts = mb.AddFolder(mb.topFolder(), "Drafts");
  sb::Item removed = Mail("removed");
  removed.attachmentTable = sb::AttachmentTableForm::NoRows;
  mb.AddItem(drafts, removed);
  sb::Item noMatrix = WithFile(Mail("no matrix"));
  noMatrix.attachmentTable = sb::AttachmentTableForm::MatrixMissing;
  mb.AddItem(drafts, noMatrix);
  sb::Item overwritten = WithFile(Mail("overwritten"));
  overwritten.attachmentTable = sb::AttachmentTableForm::Overwritten;
  mb.AddItem(drafts, overwritten);
  mb.AddItem(drafts, WithFile(Mail("intact")));
  const std::string path = Write(mb);
  Run(path);

  EXPECT_EQ(session.outcome(), RunOutcome::Finished);
  EXPECT_EQ(session.mailCount(), 4);
  EXPECT_EQ(session.damagedAttachments(), 2);
  const ListContent list = FillItemList(session.data(), kTop + "Drafts\\");
  EXPECT_EQ(Column(kTop + "Drafts\\", 1), (V{"removed", "no matrix", "overwritten", "intact"}));
  EXPECT_EQ(Pictures(list),
            (std::vector<int>{kListEnvelope, kListEnvelope, kListEnvelope, kListEnvelopeClip}));

  // The command line reports the count after the other summary fields.
  std::ostringstream tsv, text;
  EXPECT_EQ(cli::Recover(path, cli::OutputFormat::Tsv, tsv), cli::kExitFinished);
  EXPECT_NE(tsv.str().find("\tstate=C\tdamaged_attachments=2\n"), std::string::npos);
  EXPECT_EQ(cli::Recover(path, cli::OutputFormat::Text, text), cli::kExitFinished);
  EXPECT_NE(text.str().find("(attachment table unreadable): 2\n"), std::string::npos);

  // A later run counts afresh.
  sb::MailboxBuilder clean(Options(GetParam()));
  clean.AddItem(clean.AddFolder(clean.topFolder(), "Inbox"), WithFile(Mail("m")));
  Run(Write(clean));
  EXPECT_EQ(session.damagedAttachments(), 0);
}

TEST_P(SessionTest, ItemsShowInTheFoldersTheyLieIn) {
  sb::MailboxBuilder mb(Options(GetParam()));
  sb::FolderOptions contactClass, calendarClass, taskClass;
  contactClass.containerClass = "IPF.Contact";
  calendarClass.containerClass = "IPF.Appointment";
  taskClass.containerClass = "IPF.Task";

  const uint32_t kontakte = mb.AddFolder(mb.topFolder(), "Kontakte", contactClass);
  mb.AddItem(kontakte, Contact("Ada"));
  mb.AddItem(kontakte, Contact("Bob"));
  const uint32_t calendario = mb.AddFolder(mb.topFolder(), "Calendario", calendarClass);
  const uint32_t feriados = mb.AddFolder(calendario, "Feriados");
  mb.AddItem(feriados, Appointment("first"));
  mb.AddItem(feriados, Appointment("second"));
  mb.AddFolder(mb.topFolder(), "Attivit\xC3\xA0", taskClass);
  const uint32_t myInbox = mb.AddFolder(mb.topFolder(), "myInbox");
  mb.AddItem(myInbox, Contact("Cy"));
  const uint32_t inbox = mb.AddFolder(mb.topFolder(), "Inbox");
  mb.AddItem(inbox, Contact("Dee"));
  mb.AddItem(inbox, Mail("hello"));
  mb.AddItem(inbox, sb::MakeTask({"todo", "", 0, 0, false}));
  mb.AddItem(inbox, WithFile(Mail("with file")));
  const uint32_t contacts = mb.AddFolder(mb.topFolder(), "Contacts");
  mb.AddItem(contacts, Contact("Eve"));
  const uint32_t calendar = mb.AddFolder(mb.topFolder(), "Calendar", calendarClass);
  mb.AddItem(mb.AddFolder(calendar, "Holidays"), Appointment("holiday"));
  mb.AddItem(mb.topFolder(), sb::MakeStickyNote({"top note", "body", 3}));
  Run(Write(mb));
  ASSERT_EQ(session.outcome(), RunOutcome::Finished);

  // Single-kind folders show their kind's columns, contacts in walk order,
  // the other kinds last first, as their fixed folders do.
  ListContent k = FillItemList(session.data(), kTop + "Kontakte\\");
  EXPECT_EQ(k.columnSet, ColumnSet::Contacts);
  EXPECT_FALSE(k.toggleExpansion);
  ASSERT_EQ(k.rows.size(), 2u);
  EXPECT_EQ(k.rows[0].cells, (V{"Ada", "None", "555"}));
  EXPECT_EQ(k.rows[1].picture, kListContact);
  ListContent f = FillItemList(session.data(), kTop + "Calendario\\Feriados\\");
  EXPECT_EQ(f.columnSet, ColumnSet::Calendar);
  EXPECT_EQ(Column(kTop + "Calendario\\Feriados\\", 0), (V{"second", "first"}));
  EXPECT_EQ(f.rows[0].cells, (V{"second", "Room", kDate}));
  EXPECT_EQ(Column(kTop + "myInbox\\", 0), V{"Cy"});
  EXPECT_EQ(FillItemList(session.data(), kTop + "myInbox\\").columnSet, ColumnSet::Contacts);
  // Without items, the container class names the kind.
  ListContent c = FillItemList(session.data(), kTop + "Calendario\\");
  EXPECT_EQ(c.columnSet, ColumnSet::Calendar);
  EXPECT_TRUE(c.rows.empty());
  EXPECT_EQ(FillItemList(session.data(), kTop + "Attivit\xC3\xA0\\").columnSet, ColumnSet::Tasks);

  // A mixed folder: the mails first, then the others with their kind's
  // picture, name or subject and date; nothing twice.
  ListContent m = FillItemList(session.data(), kTop + "Inbox\\");
  EXPECT_EQ(m.columnSet, ColumnSet::Mail);
  EXPECT_TRUE(m.toggleExpansion);
  EXPECT_EQ(Pictures(m),
            (std::vector<int>{kListEnvelope, kListEnvelopeClip, kListContact, kListTasks}));
  ASSERT_EQ(m.rows.size(), 4u);
  EXPECT_EQ(m.rows[0].cells[1], "hello");
  EXPECT_EQ(m.rows[1].cells[1], "with file");
  EXPECT_EQ(m.rows[2].cells, (V{"", "Dee", "", kDate}));
  EXPECT_EQ(m.rows[3].cells, (V{"", "todo", "", kDate}));

  // The top folder shows what lies directly in it.
  ListContent top = FillItemList(session.data(), kTop);
  EXPECT_TRUE(top.changes);
  EXPECT_EQ(top.columnSet, ColumnSet::Notes);
  EXPECT_EQ(Column(kTop, 1), V{"body"});

  // The fixed paths show exactly what they showed before: every contact,
  // task, appointment and note of the store, wherever it lies.
  EXPECT_EQ(Column(kTop + "Contacts\\", 0), (V{"Ada", "Bob", "Cy", "Dee", "Eve"}));
  EXPECT_EQ(Column(kTop + "Calendar\\", 0), (V{"holiday", "second", "first"}));
  EXPECT_EQ(Column(kTop + "Calendar\\Holidays\\", 0), V{"holiday"});
  EXPECT_EQ(FillItemList(session.data(), kTop + "Calendar\\Holidays\\").columnSet,
            ColumnSet::Calendar);
  EXPECT_EQ(Column(kTop + "Tasks\\", 0), V{"todo"});
  EXPECT_EQ(Column(kTop + "Notes\\", 0), V{"top note"});

  // Tree pictures follow the kind where the name has no picture of its own.
  auto image = [&](const std::string& path) {
    for (const TreeItem* t : view.tree().PreOrder()) {
      if (FolderTreeModel::ItemPath(t) == path) return t->image;
    }
    return -1;
  };
  EXPECT_EQ(image(kTop + "Kontakte\\"), kImageContacts);
  EXPECT_EQ(image(kTop + "Calendario\\"), kImageCalendar);
  EXPECT_EQ(image(kTop + "Calendario\\Feriados\\"), kImageCalendar);
  EXPECT_EQ(image(kTop + "Attivit\xC3\xA0\\"), kImageTasks);
  EXPECT_EQ(image(kTop + "myInbox\\"), kImageContacts);
  EXPECT_EQ(image(kTop + "Inbox\\"), kImageInbox);
  EXPECT_EQ(image(kTop + "Contacts\\"), kImageContacts);
  EXPECT_EQ(image(kTop + "Calendar\\Holidays\\"), kImageCalendar);
  EXPECT_EQ(image(kTop), kImagePersonalFolders);
}

TEST_P(SessionTest, AFolderTurnsMixedWhenAMailFollowsItsOtherItems) {
  sb::MailboxBuilder mb(Options(GetParam()));
  const uint32_t misc = mb.AddFolder(mb.topFolder(), "Misc");
  mb.AddItem(misc, Contact("Ada"));
  mb.AddItem(misc, Mail("late mail"));
  Run(Write(mb));
  EXPECT_EQ(view.kinds(), (V{kTop + "Misc\\ contacts", kTop + "Misc\\ mail"}));
  EXPECT_EQ(Column(kTop + "Misc\\", 1), (V{"late mail", "Ada"}));
  const TreeItem* item = view.tree().PreOrder().back();
  EXPECT_EQ(item->text, "Misc");
  EXPECT_EQ(item->image, kImageClosedFolder);
  EXPECT_EQ(item->selectedImage, kImageOpenFolder);
}

TEST(CliListing, ListAndRowRecordsFollowTheFolderKind) {
  sb::MailboxBuilder mb(Options(sb::Format::Unicode23));
  sb::FolderOptions contactClass;
  contactClass.containerClass = "IPF.Contact";
  mb.AddItem(mb.AddFolder(mb.topFolder(), "Kontakte", contactClass), Contact("Ada"));
  TempFile file(TempPath("cli-listing"));
  mb.Write(file.path());
  std::ostringstream out;
  ASSERT_EQ(cli::Recover(file.path(), cli::OutputFormat::Tsv, out), cli::kExitFinished);
  EXPECT_NE(out.str().find("list\tPersonal Folders\\Kontakte\\\tcontacts\tName\tPostal Address\tMobile "
                           "Phone\nrow\t1\tAda\tNone\t555\n"),
            std::string::npos);
}

}  // namespace
}  // namespace velmorix::session::testing
