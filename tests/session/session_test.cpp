#include <gtest/gtest.h>

#include <stdexcept>

#include "session_fixture.h"

namespace velmorix::session::testing {
namespace {

using V = std::vector<std::string>;

const std::string kTop = "Personal Folders\\";

TEST_P(SessionTest, StagesRunInOrderWithTheirTextsAndTheFinishedLayout) {
  sb::MailboxBuilder mb(Options(GetParam()));
  const uint32_t inbox = mb.AddFolder(mb.topFolder(), "Inbox");
  mb.AddItem(inbox, Mail("Hello"));
  const std::string path = Write(mb);
  Run(path);

  EXPECT_EQ(session.outcome(), RunOutcome::Finished);
  EXPECT_EQ(session.failureCode(), 0);
  EXPECT_EQ(session.state(), SessionState::Finished);
  EXPECT_EQ(session.sessionPath(), path);
  EXPECT_TRUE(session.stopRequest().load());  // set by the wrap-up
  EXPECT_FALSE(session.WorkerRunning());

  const V calls = view.calls();
  // What StartRecovery does on the calling thread, then the worker's stages.
  const V start = {"text 1052 ", "text 1050 ", "text 1051 ", "text 1049 ", "layout scanning",
                   "clear", "range 0 100", "timer start", "text 1048 Opening File",
                   "disable 1011", "hide 1011", "show 1047", "enable 1047", "enable 1012",
                   "text 1048 Scanning File and Loading Indexes...",
                   "text 1048 Loading Extended Attributes",
                   "text 1048 Scanning File for Mails...", "text 1051 No. of Folders Found",
                   "text 1049 No. of Mails Found"};
  ASSERT_GE(calls.size(), start.size());
  EXPECT_EQ(V(calls.begin(), calls.begin() + start.size()), start);
  // The progress range, then the scan: the top folder first, the folder, the mail.
  EXPECT_EQ(calls[start.size()].rfind("range 0 ", 0), 0u);
  EXPECT_EQ(calls[start.size() + 1], "timer stop");
  EXPECT_EQ(calls[start.size() + 2], "insert " + kTop);
  EXPECT_EQ(view.Calls("insert "), (V{"insert " + kTop, "insert " + kTop + "Inbox\\"}));
  EXPECT_EQ(view.Calls("text 1052 "), (V{"text 1052 ", "text 1052 1"}));
  EXPECT_EQ(view.Calls("text 1050 "), (V{"text 1050 ", "text 1050 1"}));
  EXPECT_EQ(view.Calls("position ").back(), "position 0");
  // Wrap-up, then the worker's thread function.
  const V end = {"text 1048 ", "hide 1012", "enable 1011", "show 1011", "position 0", "hide 1047",
                 "timer stop", "hide 1047", "disable 1012", "hide 1012"};
  ASSERT_GE(calls.size(), end.size());
  EXPECT_EQ(V(calls.end() - end.size(), calls.end()), end);
  EXPECT_TRUE(view.Calls("message").empty());

  EXPECT_EQ(session.folderCount(), 1);
  EXPECT_EQ(session.mailCount(), 1);
  EXPECT_EQ(session.nodesVisited(), 2);
  EXPECT_EQ(FolderPaths(), V{kTop + "Inbox\\"});
  EXPECT_EQ(Column(kTop + "Inbox\\", 1), V{"Hello"});
}

TEST_P(SessionTest, ProgressPositionFollowsTheNodesWithData) {
  sb::MailboxBuilder mb(Options(GetParam()));
  const uint32_t a = mb.AddFolder(mb.topFolder(), "A");
  for (int i = 0; i < 3; ++i) mb.AddItem(a, Mail("m" + std::to_string(i)));
  mb.AddFolder(mb.topFolder(), "B");
  Run(Write(mb));
  EXPECT_EQ(view.Calls("position "),
            (V{"position 1", "position 2", "position 3", "position 4", "position 5", "position 0"}));
  EXPECT_EQ(session.nodesVisited(), 5);
}

TEST(ScanEstimate, CountsNodesWithDataClimbingOneLevelAtMost) {
  store::NodeTree tree;
  store::BlockEntry block;
  auto node = [&](uint32_t nid, store::NodeEntry* parent, bool data = true) {
    store::NodeEntry* e = tree.Create(nid, nullptr, data ? &block : nullptr);
    if (parent) tree.AppendChild(parent, e);
    else tree.AppendTopLevel(e);
    return e;
  };
  store::NodeEntry* top = node(1, nullptr);
  EXPECT_EQ(ScanEstimate(top), 0);
  EXPECT_EQ(ScanEstimate(nullptr), 0);
  store::NodeEntry* a = node(2, top);
  node(3, a);
  store::NodeEntry* deep = node(4, a);
  node(5, deep);               // a run of last children two levels deep
  node(6, top, false);         // no data: not counted, never reached
  node(7, top);
  EXPECT_EQ(ScanEstimate(top), 4);

  store::NodeTree flat;
  store::NodeEntry* t = flat.Create(1, nullptr, &block);
  flat.AppendTopLevel(t);
  store::NodeEntry* f = flat.Create(2, nullptr, &block);
  flat.AppendChild(t, f);
  store::NodeEntry* noData = flat.Create(3, nullptr, nullptr);
  flat.AppendChild(t, noData);
  flat.AppendChild(f, flat.Create(4, nullptr, &block));
  flat.AppendChild(t, flat.Create(5, nullptr, &block));
  // The climb from the child of f goes to f's next sibling (no data), then on.
  EXPECT_EQ(ScanEstimate(t), 3);
}

TEST_P(SessionTest, FoldersNestedSeveralLevelsKeepTheirPaths) {
  sb::MailboxBuilder mb(Options(GetParam()));
  const uint32_t inbox = mb.AddFolder(mb.topFolder(), "Inbox");
  const uint32_t old = mb.AddFolder(inbox, "Old");
  const uint32_t older = mb.AddFolder(old, "Older");
  const uint32_t oldest = mb.AddFolder(older, "Oldest");
  mb.AddFolder(older, "Leaf");
  const uint32_t sent = mb.AddFolder(mb.topFolder(), "Sent Items");
  mb.AddItem(inbox, Mail("in inbox"));
  mb.AddItem(oldest, Mail("in oldest"));
  mb.AddItem(old, Mail("in old 1"));
  mb.AddItem(sent, Mail("in sent"));
  mb.AddItem(old, Mail("in old 2"));
  Run(Write(mb));

  EXPECT_EQ(FolderPaths(),
            (V{kTop + "Inbox\\", kTop + "Inbox\\Old\\", kTop + "Inbox\\Old\\Older\\",
               kTop + "Inbox\\Old\\Older\\Oldest\\", kTop + "Inbox\\Old\\Older\\Leaf\\",
               kTop + "Sent Items\\"}));
  EXPECT_EQ(TreePaths(),
            (V{kTop, kTop + "Inbox\\", kTop + "Inbox\\Old\\", kTop + "Inbox\\Old\\Older\\",
               kTop + "Inbox\\Old\\Older\\Oldest\\", kTop + "Inbox\\Old\\Older\\Leaf\\",
               kTop + "Sent Items\\"}));
  EXPECT_EQ(session.folderCount(), 6);
  EXPECT_EQ(view.Calls("text 1052 ").back(), "text 1052 6");
  // Each mail in its own folder, in walk order.
  EXPECT_EQ(Column(kTop + "Inbox\\", 1), V{"in inbox"});
  EXPECT_EQ(Column(kTop + "Inbox\\Old\\", 1), (V{"in old 1", "in old 2"}));
  EXPECT_EQ(Column(kTop + "Inbox\\Old\\Older\\Oldest\\", 1), V{"in oldest"});
  EXPECT_EQ(Column(kTop + "Sent Items\\", 1), V{"in sent"});
  EXPECT_EQ(session.mailCount(), 5);
}

TEST_P(SessionTest, SiblingsWithEqualNamesGiveTwoRecordsAndOneTreeItem) {
  sb::MailboxBuilder mb(Options(GetParam()));
  const uint32_t first = mb.AddFolder(mb.topFolder(), "Inbox");
  const uint32_t second = mb.AddFolder(mb.topFolder(), "Inbox");
  mb.AddItem(first, Mail("first"));
  mb.AddItem(second, Mail("second"));
  Run(Write(mb));
  EXPECT_EQ(FolderPaths(), (V{kTop + "Inbox\\", kTop + "Inbox\\"}));
  EXPECT_EQ(TreePaths(), (V{kTop, kTop + "Inbox\\"}));
  // The list shows the first record with the path; the second's mail stays
  // in its own record.
  EXPECT_EQ(Column(kTop + "Inbox\\", 1), V{"first"});
  ASSERT_NE(session.data().firstFolder()->Next(), nullptr);
  const ListedItem* m = session.data().firstFolder()->Next()->FirstMail();
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->Text(1), "second");
}

TEST_P(SessionTest, BackslashInANameAddsLevelsWithoutMovingLaterFolders) {
  sb::MailboxBuilder mb(Options(GetParam()));
  const uint32_t odd = mb.AddFolder(mb.topFolder(), "A\\B");
  mb.AddFolder(odd, "C");
  mb.AddFolder(mb.topFolder(), "D");
  mb.AddFolder(mb.topFolder(), "");
  Run(Write(mb));
  EXPECT_EQ(FolderPaths(),
            (V{kTop + "A\\B\\", kTop + "A\\B\\C\\", kTop + "D\\", kTop + "\\"}));
  EXPECT_EQ(TreePaths(), (V{kTop, kTop + "A\\", kTop + "A\\B\\", kTop + "A\\B\\C\\", kTop + "D\\",
                            kTop + "\\"}));
}

TEST_P(SessionTest, DeepPathsAreCutAtAComponentTheSameWayForRecordAndTree) {
  sb::MailboxBuilder mb(Options(GetParam()));
  uint32_t parent = mb.topFolder();
  for (int level = 0; level < 14; ++level) {
    parent = mb.AddFolder(parent, std::string(90, static_cast<char>('a' + level)));
  }
  mb.AddItem(parent, Mail("deep"));
  mb.AddFolder(mb.topFolder(), "After");
  Run(Write(mb));

  const V records = FolderPaths();
  ASSERT_EQ(records.size(), 15u);
  EXPECT_EQ(records.back(), kTop + "After\\");
  for (const auto& p : records) {
    EXPECT_LE(p.size(), 1024u);
    EXPECT_EQ(p.back(), '\\');
  }
  // The deepest folders share the longest path that fits; its list shows
  // the first record with that path, and every record path is a tree path.
  const V tree = TreePaths();
  for (const auto& p : records) EXPECT_NE(std::find(tree.begin(), tree.end(), p), tree.end()) << p;
  EXPECT_EQ(records[13], records[12]);
  EXPECT_EQ(session.mailCount(), 1);
}

TEST_P(SessionTest, UnknownEncryptionIsReportedOncePerRecovery) {
  sb::MailboxBuilder mb(Options(GetParam()));
  mb.AddFolder(mb.topFolder(), "Inbox");
  Buffer image = mb.Build();
  // The encryption method byte of the header.
  image.at(GetParam() == sb::Format::Ansi14 ? 461 : 513) = std::byte{7};
  Run(WriteBytes(std::string(reinterpret_cast<const char*>(image.data()), image.size())));
  const V messages = view.Calls("message");
  ASSERT_GE(messages.size(), 1u);
  EXPECT_EQ(messages[0],
            "message [Velmorix|none|ok|free] Unknown Encryption has been done so can'nt be decrypted");
  EXPECT_EQ(std::count(messages.begin(), messages.end(), messages[0]), 1);
  EXPECT_EQ(messages.back(), "message [Velmorix|question|ok|owned] Found Condition :003 ");
}

TEST_P(SessionTest, MailsDirectlyInTheTopFolderAreShownThere) {
  sb::MailboxBuilder mb(Options(GetParam()));
  mb.AddFolder(mb.topFolder(), "Inbox");
  const uint32_t last = mb.AddFolder(mb.topFolder(), "Last");
  mb.AddItem(mb.topFolder(), Mail("top 1"));
  mb.AddItem(last, Mail("in last"));
  mb.AddItem(mb.topFolder(), Mail("top 2"));
  Run(Write(mb));

  EXPECT_EQ(FolderPaths(), (V{kTop + "Inbox\\", kTop + "Last\\"}));  // no record for the top
  EXPECT_EQ(session.folderCount(), 2);
  EXPECT_EQ(session.mailCount(), 3);
  ListContent top = FillItemList(session.data(), kTop);
  EXPECT_TRUE(top.changes);
  EXPECT_EQ(top.columnSet, ColumnSet::Mail);
  EXPECT_EQ(Column(kTop, 1), (V{"top 1", "top 2"}));
  EXPECT_EQ(Column(kTop + "Last\\", 1), V{"in last"});
}

TEST_P(SessionTest, MailsBeforeAnyFolderStayInTheTopFolder) {
  sb::MailboxBuilder mb(Options(GetParam()));
  mb.AddItem(mb.topFolder(), Mail("alone"));
  Run(Write(mb));
  EXPECT_EQ(session.folderCount(), 0);
  EXPECT_EQ(session.data().firstFolder(), nullptr);
  EXPECT_EQ(Column(kTop, 1), V{"alone"});
  EXPECT_EQ(TreePaths(), V{kTop});
}

TEST_P(SessionTest, RegisterItemRoutesEachKindToItsList) {
  sb::MailboxBuilder mb(Options(GetParam()));
  const uint32_t inbox = mb.AddFolder(mb.topFolder(), "Inbox");
  const uint32_t other = mb.AddFolder(mb.topFolder(), "Other");

  mb.AddItem(inbox, Mail("plain mail"));
  // A mail that carries contact-range properties stays a mail.
  sb::Item richMail = Mail("rich mail");
  richMail.props.Bool(0x3A40, true).Text(0x3003, "a@example.com");
  mb.AddItem(inbox, richMail);
  // Contact properties make no contact of an item of another class: a post
  // is listed with the mails.
  sb::Item post = Mail("post with contact data");
  post.props.Text(0x001A, "IPM.Post").Text(0x3A1C, "0170");
  mb.AddItem(other, post);
  sb::ContactFields cf;
  cf.displayName = "Ann Smith";
  cf.fileUnder = "Smith, Ann";
  cf.postalAddress = "1 Main St";
  cf.mobilePhone = "555-1";
  mb.AddItem(other, sb::MakeContact(cf));

  sb::TaskFields tf;
  tf.subject = "Task 1";
  mb.AddItem(other, sb::MakeTask(tf));
  tf.subject = "Task 2";
  mb.AddItem(other, sb::MakeTask(tf));
  // Letter case matters for the task class: a normal message of another class is a mail.
  sb::Item lowerTask = sb::MakeTask({"lower task", "", 0, 0, false});
  lowerTask.props.Text(0x001A, "ipm.task");
  mb.AddItem(other, lowerTask);

  sb::NoteFields nf;
  nf.subject = "Note 1";
  nf.body = "note body";
  mb.AddItem(other, sb::MakeStickyNote(nf));

  sb::JournalFields jf;
  jf.subject = "Call";
  jf.logType = "Phone call";
  mb.AddItem(other, sb::MakeJournal(jf));
  sb::Item bareJournal;
  bareJournal.props.Text(0x001A, "IPM.Activity").Text(0x0037, "Bare journal");
  mb.AddItem(other, bareJournal);

  sb::AppointmentFields af;
  af.subject = "Meeting";
  af.location = "Room 7";
  mb.AddItem(other, sb::MakeAppointment(af));
  sb::Item bareAppointment;
  bareAppointment.props.Text(0x001A, "IPM.Appointment").Text(0x0037, "Bare appointment");
  mb.AddItem(other, bareAppointment);

  sb::MailFields report;
  report.subject = "report";
  mb.AddItem(other, sb::MakeReport(report));
  Run(Write(mb));

  EXPECT_EQ(session.mailCount(), 5);
  EXPECT_EQ(Column(kTop + "Inbox\\", 1), (V{"plain mail", "rich mail"}));
  // The other items also show where they lie: a folder of several kinds
  // lists its mails, then the others in walk order as rows of the mail set.
  EXPECT_EQ(Column(kTop + "Other\\", 1),
            (V{"post with contact data", "lower task", "report", "Smith, Ann", "Task 1", "Task 2", "Note 1",
               "Call", "Bare journal", "Meeting", "Bare appointment"}));

  const std::string contacts = kTop + "Contacts\\";
  ListContent c = FillItemList(session.data(), contacts);
  EXPECT_EQ(c.columnSet, ColumnSet::Contacts);
  ASSERT_EQ(c.rows.size(), 1u);
  EXPECT_EQ(c.rows[0].cells, (V{"Smith, Ann", "1 Main St", "555-1"}));

  EXPECT_EQ(Column(kTop + "Tasks\\", 0), (V{"Task 2", "Task 1"}));
  EXPECT_EQ(FillItemList(session.data(), kTop + "Notes\\").rows.at(0).cells.at(1), "note body");
  EXPECT_EQ(Column(kTop + "Notes\\", 0), V{"Note 1"});
  EXPECT_EQ(Column(kTop + "Journal\\", 0), (V{"Bare journal", "Call"}));
  EXPECT_EQ(Column(kTop + "Journal\\", 1), (V{"", "Phone call"}));
  EXPECT_EQ(Column(kTop + "Calendar\\", 0), (V{"Bare appointment", "Meeting"}));
  EXPECT_EQ(Column(kTop + "Calendar\\", 1), (V{"", "Room 7"}));
}

TEST_P(SessionTest, MeetingsReportsAndContactClassesAreListedAsWhatTheyAre) {
  const sb::Guid meeting = sb::MakeGuid(
      0x6ED8DA90, 0x450B, 0x101B, {0x98, 0xDA, 0x00, 0xAA, 0x00, 0x3F, 0x13, 0x05});
  // Low LIDs of PSETID_Meeting and PSETID_Common equal standard tags (0x001A
  // the message class, 0x0037 the subject, 0x0E04 To): they must not
  // overwrite them.
  auto withLowLids = [&](sb::Item item) {
    item.props.NamedTime(sb::PropertyName::Lid(meeting, 0x001A), sb::kDefaultTime)
        .NamedLong(sb::PropertyName::Lid(meeting, 0x0003), 7)
        .NamedText(sb::PropertyName::Lid(meeting, 0x0037), "not the subject")
        .NamedText(sb::PropertyName::Lid(sb::kPsetidCommon, 0x0E04), "not the recipients");
    return item;
  };
  sb::MailboxBuilder mb(Options(GetParam()));
  const uint32_t calendar = mb.AddFolder(mb.topFolder(), "Kalender");
  const uint32_t inbox = mb.AddFolder(mb.topFolder(), "Inbox");
  const uint32_t people = mb.AddFolder(mb.topFolder(), "People");
  sb::AppointmentFields af;
  af.subject = "Meeting";
  mb.AddItem(calendar, withLowLids(sb::MakeAppointment(af)));

  sb::Item request = withLowLids(Mail("Invitation"));
  request.props.Text(0x001A, "IPM.Schedule.Meeting.Request").Text(0x3A1C, "0170");
  mb.AddItem(inbox, request);
  sb::MailFields rf;
  rf.subject = "Undeliverable";
  rf.senderEmail = "postmaster@example.com";
  sb::Item report = sb::MakeMail(rf);
  report.props.Text(0x001A, "REPORT.IPM.Note.NDR");
  mb.AddItem(inbox, report);
  sb::Item freeBusy = Mail("free/busy");
  freeBusy.props.Text(0x001A, "IPM.Microsoft.ScheduleData.FreeBusy");
  mb.AddItem(inbox, freeBusy);

  // Contacts whose file-as name or postal address is empty show the next
  // field that has one.
  sb::Item list;
  list.props.Text(0x001A, "IPM.DistList").Text(0x3001, "Team").Text(0x0037, "Team");
  mb.AddItem(people, list);
  sb::Item suggested;
  suggested.props.Text(0x001A, "IPM.AbchPerson").Text(0x3A06, "Eva").Text(0x3A11, "Lind");
  mb.AddItem(people, suggested);
  sb::ContactFields cf;
  cf.displayName = "Ann Smith";
  sb::Item marked = sb::MakeContact(cf);
  marked.props.NamedText(sb::PropertyName::Lid(sb::kPsetidAddress, 0x801B), "1 Work Rd")
      .NamedText(sb::PropertyName::Lid(sb::kPsetidAddress, 0x801A), "2 Home St")
      .NamedLong(sb::PropertyName::Lid(sb::kPsetidAddress, 0x8022), 1);
  mb.AddItem(people, withLowLids(marked));
  Run(Write(mb));

  ListContent cal = FillItemList(session.data(), kTop + "Calendar\\");
  ASSERT_EQ(cal.rows.size(), 1u);
  EXPECT_EQ(cal.rows[0].cells.at(0), "Meeting");
  EXPECT_EQ(Column(kTop + "Kalender\\", 0), V{"Meeting"});

  ListContent in = FillItemList(session.data(), kTop + "Inbox\\");
  ASSERT_EQ(in.rows.size(), 2u);
  EXPECT_EQ(std::vector<std::string>(in.rows[0].cells.begin(), in.rows[0].cells.begin() + 3),
            (V{"Sender", "Invitation", "Recipient"}));
  EXPECT_EQ(in.rows[0].picture, kListEnvelope);
  // Without a sender name, the sender's address.
  EXPECT_EQ(in.rows[1].cells.at(0), "postmaster@example.com");
  EXPECT_EQ(in.rows[1].cells.at(1), "Undeliverable");
  EXPECT_EQ(session.mailCount(), 2);

  EXPECT_EQ(Column(kTop + "Contacts\\", 0), (V{"Team", "Eva Lind", "Ann Smith"}));
  EXPECT_EQ(Column(kTop + "Contacts\\", 1), (V{"None", "None", "2 Home St"}));
}

TEST_P(SessionTest, ListedMailsKeepWhatTheirRowsShowAndTheirNode) {
  sb::MailboxBuilder mb(Options(GetParam()));
  const uint32_t inbox = mb.AddFolder(mb.topFolder(), "Inbox");
  sb::MailFields f;
  f.subject = "with file";
  f.body = "the body text";
  sb::Item withFile = sb::MakeMail(f);
  sb::Attachment att;
  att.fileName = "a.txt";
  att.data = Buffer(10, std::byte{'x'});
  withFile.attachments.push_back(att);
  const uint32_t first = mb.AddItem(inbox, withFile);
  const uint32_t second = mb.AddItem(inbox, Mail("no body"));
  Run(Write(mb));

  ListContent list = FillItemList(session.data(), kTop + "Inbox\\");
  ASSERT_EQ(list.rows.size(), 2u);
  EXPECT_EQ(list.rows[0].picture, kListEnvelopeClip);
  EXPECT_EQ(list.rows[1].picture, kListEnvelope);
  // Bodies and attachments are read from the node when asked.
  EXPECT_EQ(list.rows[0].nodeId, first);
  EXPECT_EQ(list.rows[1].nodeId, second);
  const ListedItem* m = session.data().firstFolder()->FirstMail();
  EXPECT_EQ(m->Text(1), "with file");
  EXPECT_EQ(m->flags & ListedItem::kHasAttachments, ListedItem::kHasAttachments);
  EXPECT_EQ(m->Next()->flags & ListedItem::kHasAttachments, 0);
}

TEST_P(SessionTest, OpenFailureReturnsToFileSelection) {
  Run(TempPath("missing"));
  EXPECT_EQ(session.outcome(), RunOutcome::OpenFailed);
  EXPECT_EQ(session.state(), SessionState::Scanning);
  EXPECT_EQ(view.CallsFrom("text 1048 Opening File"),
            (V{"text 1048 Opening File", "disable 1011", "hide 1011",
               "message [Velmorix|question|ok|free] Could not open file Try again", "timer stop",
               "hide 1048", "layout file-selection"}));

  // Next starts another file.
  sb::MailboxBuilder mb(Options(GetParam()));
  mb.AddFolder(mb.topFolder(), "Inbox");
  Run(Write(mb));
  EXPECT_EQ(session.outcome(), RunOutcome::Finished);
  EXPECT_EQ(FolderPaths(), V{kTop + "Inbox\\"});
}

// The failure sequence of codes 1 to 4 after the status text of the stage.
V FailureTail(int code) {
  const std::string message =
      "message [Velmorix|question|ok|owned] Found Condition :00" + std::to_string(code) + " ";
  V head = code == 1 ? V{"timer stop", "hide 1047", "hide 1048"}
                     : V{"hide 1047", "hide 1048", "timer stop"};
  head.push_back(message);
  head.push_back("layout file-selection");
  // The worker's thread function.
  head.insert(head.end(), {"hide 1047", "disable 1012", "hide 1012"});
  return head;
}

TEST_P(SessionTest, IndexAndMapFailuresReportTheirCodes) {
  sb::MailboxBuilder mb(Options(GetParam()));
  mb.AddFolder(mb.topFolder(), "Inbox");
  const std::string path = Write(mb);
  for (int stage : {2, 3}) {
    SCOPED_TRACE(stage);
    RecordingView v;
    RecoverySession s(v);
    s.stageProbe = [stage](int at) {
      if (at == stage) throw std::runtime_error("injected");
    };
    s.StartRecovery(path);
    s.WaitForWorker();
    EXPECT_EQ(s.outcome(), RunOutcome::Failed);
    EXPECT_EQ(s.failureCode(), stage - 1);
    EXPECT_EQ(s.state(), SessionState::Scanning);
    const std::string status = stage == 2 ? "text 1048 Scanning File and Loading Indexes..."
                                          : "text 1048 Loading Extended Attributes";
    V expected{status};
    for (const auto& c : FailureTail(stage - 1)) expected.push_back(c);
    EXPECT_EQ(v.CallsFrom(status), expected);
    EXPECT_EQ(s.data().firstFolder(), nullptr);
  }
}

TEST_P(SessionTest, MissingStoreInformationIsFailure3) {
  Run(WriteBytes(std::string(4096, 'x')));
  EXPECT_EQ(session.outcome(), RunOutcome::Failed);
  EXPECT_EQ(session.failureCode(), 3);
  V expected{"text 1048 Loading Extended Attributes"};
  for (const auto& c : FailureTail(3)) expected.push_back(c);
  EXPECT_EQ(view.CallsFrom("text 1048 Loading Extended Attributes"), expected);
  EXPECT_EQ(session.state(), SessionState::Scanning);
}

TEST_P(SessionTest, MissingTopFolderIsFailure4) {
  for (std::optional<uint32_t> named : {std::optional<uint32_t>(0x7FE2), std::optional<uint32_t>()}) {
    SCOPED_TRACE(named ? "named" : "absent");
    sb::MailboxOptions o = Options(GetParam());
    o.subtreeEntryNid = named;  // an absent identifier stands for 0x2142
    sb::MailboxBuilder mb(o);
    mb.AddFolder(mb.topFolder(), "Inbox");
    RecordingView v;
    RecoverySession s(v);
    s.StartRecovery(Write(mb));
    s.WaitForWorker();
    EXPECT_EQ(s.failureCode(), 4);
    V expected{"text 1048 Loading Extended Attributes"};
    for (const auto& c : FailureTail(4)) expected.push_back(c);
    EXPECT_EQ(v.CallsFrom("text 1048 Loading Extended Attributes"), expected);
  }
}

TEST_P(SessionTest, ScanFailureKeepsWhatWasFoundAndFinishes) {
  sb::MailboxBuilder mb(Options(GetParam()));
  const uint32_t inbox = mb.AddFolder(mb.topFolder(), "Inbox");
  mb.AddItem(inbox, Mail("kept"));
  mb.AddFolder(mb.topFolder(), "Later");
  int nodes = 0;
  session.stageProbe = [&nodes](int stage) {
    if (stage == 5 && ++nodes == 3) throw std::runtime_error("injected");
  };
  Run(Write(mb));
  EXPECT_EQ(session.outcome(), RunOutcome::Finished);
  EXPECT_EQ(session.failureCode(), 5);
  EXPECT_EQ(session.state(), SessionState::Finished);
  EXPECT_EQ(view.Calls("message"), V{"message [Velmorix|question|ok|owned] Found Condition :005 "});
  EXPECT_EQ(FolderPaths(), V{kTop + "Inbox\\"});
  EXPECT_EQ(Column(kTop + "Inbox\\", 1), V{"kept"});
  EXPECT_EQ(session.mailCount(), 1);
  const V tail = view.CallsFrom("message [Velmorix|question|ok|owned] Found Condition :005 ");
  ASSERT_GE(tail.size(), 2u);
  EXPECT_EQ(tail[1], "text 1048 ");  // the wrap-up follows
}

TEST_P(SessionTest, StopDuringIndexLoadingEndsWithoutMessage) {
  sb::MailboxBuilder mb(Options(GetParam()));
  mb.AddFolder(mb.topFolder(), "Inbox");
  session.stageProbe = [this](int stage) {
    if (stage == 2) session.RequestStop();
  };
  Run(Write(mb));
  EXPECT_EQ(session.outcome(), RunOutcome::Stopped);
  EXPECT_EQ(session.state(), SessionState::Scanning);  // nothing visited yet
  EXPECT_EQ(view.Calls("message"),
            V{"message [Velmorix|question|yesno|owned] Do you really want to stop scanning process ?"});
  EXPECT_EQ(view.CallsFrom(view.Calls("message")[0]),
            (V{view.Calls("message")[0], "timer stop", "show 1011", "enable 1011", "hide 1012",
               "hide 1048", "range 0 100", "position 0",
               "text 1048 Loading Extended Attributes", "hide 1047", "disable 1012", "hide 1012"}));
  EXPECT_FALSE(view.Has("text 1048 Scanning File for Mails..."));
  EXPECT_EQ(session.data().firstFolder(), nullptr);
}

TEST_P(SessionTest, StopDuringTheScanKeepsWhatWasRegistered) {
  sb::MailboxBuilder mb(Options(GetParam()));
  const uint32_t inbox = mb.AddFolder(mb.topFolder(), "Inbox");
  mb.AddItem(inbox, Mail("one"));
  mb.AddItem(inbox, Mail("two"));
  mb.AddItem(inbox, Mail("three"));
  mb.AddFolder(mb.topFolder(), "Never");
  int nodes = 0;
  session.stageProbe = [&](int stage) {
    if (stage == 5 && ++nodes == 3) session.RequestStop();
  };
  Run(Write(mb));
  EXPECT_EQ(session.outcome(), RunOutcome::Stopped);
  EXPECT_EQ(session.state(), SessionState::Finished);
  EXPECT_EQ(session.mailCount(), 0);
  EXPECT_EQ(view.Calls("text 1050 ").back(), "text 1050 2");  // the shown number stays
  // The node being visited when Stop was pressed is still handled.
  EXPECT_EQ(Column(kTop + "Inbox\\", 1), (V{"one", "two"}));
  EXPECT_EQ(FolderPaths(), V{kTop + "Inbox\\"});
  EXPECT_FALSE(view.Has("text 1048 "));  // no wrap-up

  // Answering No changes nothing.
  view.answerYes = false;
  session.stopRequest().store(false);
  EXPECT_FALSE(session.RequestStop());
  EXPECT_FALSE(session.stopRequest().load());
}

TEST_P(SessionTest, DiscardReleasesEverythingAndASecondRecoveryStartsClean) {
  sb::MailboxBuilder mb(Options(GetParam()));
  const uint32_t inbox = mb.AddFolder(mb.topFolder(), "Inbox");
  mb.AddItem(inbox, Mail("m"));
  mb.AddItem(mb.topFolder(), Mail("top"));
  mb.AddItem(inbox, sb::MakeTask({"t", "", 0, 0, false}));
  sb::ContactFields cf;
  cf.fileUnder = "c";
  mb.AddItem(inbox, sb::MakeContact(cf));
  const std::string path = Write(mb);
  Run(path);
  ASSERT_EQ(session.mailCount(), 2);

  const size_t before = view.calls().size();
  session.DiscardRecovery();
  const V calls = view.calls();
  EXPECT_EQ(V(calls.begin() + before, calls.end()),
            (V{"position 0", "layout file-selection", "range 0 100"}));
  EXPECT_EQ(session.state(), SessionState::Idle);
  EXPECT_EQ(session.mailCount(), 0);
  EXPECT_EQ(session.nodesVisited(), 0);
  const SessionData& data = session.data();
  EXPECT_EQ(data.firstFolder(), nullptr);
  EXPECT_EQ(data.topFolder().FirstMail(), nullptr);
  EXPECT_TRUE(data.contacts().empty() && data.tasks().empty() && data.notes().empty() &&
              data.calendar().empty() && data.journal().empty());
  EXPECT_EQ(data.storeData, nullptr);
  EXPECT_TRUE(data.names.empty());

  Run(path);
  EXPECT_EQ(session.mailCount(), 2);
  EXPECT_EQ(session.nodesVisited(), 5);
  EXPECT_EQ(FolderPaths(), V{kTop + "Inbox\\"});
  EXPECT_EQ(Column(kTop + "Tasks\\", 0), V{"t"});
  EXPECT_EQ(Column(kTop + "Contacts\\", 0), V{"c"});
  EXPECT_EQ(Column(kTop, 1), V{"top"});

  session.ReleaseSessionData();
  EXPECT_EQ(session.data().firstFolder(), nullptr);
  EXPECT_EQ(session.state(), SessionState::Idle);
}

TEST_P(SessionTest, WorkerFinishedNotificationComesFromTheWorker) {
  sb::MailboxBuilder mb(Options(GetParam()));
  std::atomic<bool> called{false};
  std::thread::id caller;
  session.onWorkerFinished = [&] {
    caller = std::this_thread::get_id();
    called = true;
  };
  Run(Write(mb));
  EXPECT_TRUE(called.load());
  EXPECT_NE(caller, std::this_thread::get_id());
}

INSTANTIATE_TEST_SUITE_P(Variants, SessionTest,
                         ::testing::Values(sb::Format::Unicode23, sb::Format::Ansi14, sb::Format::Unicode4K),
                         [](const auto& info) { return std::string(FormatName(info.param)); });

}  // namespace
}  // namespace velmorix::session::testing
