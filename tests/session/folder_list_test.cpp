#include "session/folder_list.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "session/session_data.h"

namespace velmorix::session {
namespace {

// FILETIME bytes of a UTC calendar time.
std::string FileTimeBytes(int64_t unixSeconds) {
  const uint64_t ticks = static_cast<uint64_t>(unixSeconds + 11644473600LL) * 10000000u;
  std::string b(8, '\0');
  for (int i = 0; i < 8; ++i) b[i] = static_cast<char>((ticks >> (8 * i)) & 0xFF);
  return b;
}

std::string Date(const std::string& bytes) { return DateText(bytes.data(), bytes.size()); }

TEST(DateText, ShowsTheStoredUtcClockTime) {
  // 2006-07-01 12:00:00 UTC, whatever the local zone and its summer time.
  const char* old = std::getenv("TZ");
  std::string saved = old ? old : "";
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  EXPECT_EQ(Date(FileTimeBytes(1151755200)), "Sat Jul 01 12:00:00 2006");
  if (old) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
  tzset();

  EXPECT_EQ(Date(FileTimeBytes(1177885653)), "Sun Apr 29 22:27:33 2007");
  EXPECT_EQ(Date(FileTimeBytes(951782400)), "Tue Feb 29 00:00:00 2000");
  EXPECT_EQ(Date(FileTimeBytes(0)), "Thu Jan 01 00:00:00 1970");
}

TEST(DateText, OutOfRangeAndMissingValuesHaveADefinedText) {
  EXPECT_EQ(DateText(nullptr, 8), "");
  EXPECT_EQ(Date(std::string(8, '\0')), "");
  EXPECT_EQ(Date(std::string(7, '\x01')), "");  // too short to be a time
  // Before 1970 and after 2038.
  EXPECT_EQ(Date(FileTimeBytes(-2208988800LL)), "Mon Jan 01 00:00:00 1900");
  EXPECT_EQ(Date(FileTimeBytes(4102444799LL)), "Thu Dec 31 23:59:59 2099");
  // The earliest and the latest FILETIME.
  EXPECT_EQ(Date(std::string("\x01\0\0\0\0\0\0\0", 8)), "Mon Jan 01 00:00:00 1601");
  EXPECT_EQ(Date(std::string(8, '\xFF')), "Sun May 28 05:36:10 60056");
  // Extra bytes after the first eight are ignored.
  EXPECT_EQ(Date(FileTimeBytes(0) + "xyz"), "Thu Jan 01 00:00:00 1970");
}

TEST(Cp1252ToUtf8, MapsTheHighHalfOfTheCodePage) {
  EXPECT_EQ(Cp1252ToUtf8("abc"), "abc");
  EXPECT_EQ(Cp1252ToUtf8("\xC9l\xE9ments"), "\xC3\x89l\xC3\xA9ments");
  EXPECT_EQ(Cp1252ToUtf8("\x80\x99"), "\xE2\x82\xAC\xE2\x84\xA2");
  EXPECT_EQ(Cp1252ToUtf8("\x81"), "\xC2\x81");  // undefined: the C1 control
}

TEST(Columns, EachSetHasItsTitlesAndWidths) {
  EXPECT_EQ(Columns(ColumnSet::Start).size(), 6u);
  EXPECT_EQ(Columns(ColumnSet::Start)[5].width, 0);
  EXPECT_EQ(Columns(ColumnSet::Tasks)[0].width, 260);
  EXPECT_EQ(Columns(ColumnSet::Contacts)[1].title, "Postal Address");
  EXPECT_EQ(Columns(ColumnSet::Journal)[1].title, "Entry Type");
  EXPECT_EQ(Columns(ColumnSet::Notes)[1].title, "Body");
  EXPECT_EQ(Columns(ColumnSet::Calendar)[1].title, "Location");
  EXPECT_STREQ(ColumnSetName(ColumnSet::Calendar), "calendar");
}

// Session data filled by hand through the worker's interface.
class ItemListTest : public ::testing::Test {
 protected:
  static std::unique_ptr<items::MessageDetails> Mail(const char* from, const char* subject,
                                                     const char* to, int64_t when = 0,
                                                     int attachments = 0) {
    auto d = std::make_unique<items::MessageDetails>();
    if (from) d->sentRepresentingName = Blob::Of(std::string_view(from));
    if (subject) {
      d->subject = std::make_unique<items::Subject>();
      d->subject->text = Blob::Of(std::string_view(subject));
    }
    if (to) d->displayTo = Blob::Of(std::string_view(to));
    if (when) d->deliveryTime = Blob::Of(FileTimeBytes(when));
    d->attachmentList.resize(attachments);
    return d;
  }

  SessionData data;
};

TEST_F(ItemListTest, MailFolderShowsItsFirstRecordsMailsInListOrder) {
  FolderRecord& inbox = data.AddFolder("Personal Folders\\Inbox\\", 0x8042);
  FolderRecord& twin = data.AddFolder("Personal Folders\\Inbox\\", 0x8062);
  data.AppendMail(inbox, Mail("Ann", "First", "Bob", 1151755200));
  data.AppendMail(twin, Mail("Twin", "Other", "X"));
  data.AppendMail(inbox, Mail(nullptr, nullptr, nullptr, 0, 2));
  data.AppendMail(inbox, Mail("", "", "", 0, 1));

  ListContent list = FillItemList(data, "Personal Folders\\Inbox\\");
  EXPECT_TRUE(list.changes);
  EXPECT_TRUE(list.toggleExpansion);
  EXPECT_EQ(list.columnSet, ColumnSet::Mail);
  ASSERT_EQ(list.rows.size(), 3u);
  EXPECT_EQ(list.rows[0].picture, kListEnvelope);
  EXPECT_EQ(list.rows[0].cells,
            (std::vector<std::string>{"Ann", "First", "Bob", "Sat Jul 01 12:00:00 2006"}));
  EXPECT_EQ(list.rows[1].picture, kListEnvelopeClip);
  EXPECT_EQ(list.rows[1].cells, (std::vector<std::string>{"None", "Unspecified", "", ""}));
  // The last row follows the same rules as the others.
  EXPECT_EQ(list.rows[2].picture, kListEnvelopeClip);
  EXPECT_EQ(list.rows[2].cells, (std::vector<std::string>{"", "", "", ""}));

  // Paths are compared whole and case-sensitively.
  ListContent other = FillItemList(data, "Personal Folders\\inbox\\");
  EXPECT_TRUE(other.changes);
  EXPECT_EQ(other.columnSet, ColumnSet::Mail);
  EXPECT_TRUE(other.rows.empty());
  EXPECT_TRUE(other.toggleExpansion);
}

TEST_F(ItemListTest, WithoutFolderRecordsOnlyTheColumnsChange) {
  ListContent list = FillItemList(data, "Personal Folders\\Inbox\\");
  EXPECT_TRUE(list.changes);
  EXPECT_EQ(list.columnSet, ColumnSet::Mail);
  EXPECT_FALSE(list.toggleExpansion);
  EXPECT_TRUE(list.rows.empty());
}

TEST_F(ItemListTest, TopFolderShowsItsOwnMailsOrNothing) {
  EXPECT_FALSE(FillItemList(data, "Personal Folders\\").changes);
  data.AppendMail(*data.topFolderRecord(), Mail("Ann", "Top", "Bob"));
  ListContent list = FillItemList(data, "Personal Folders\\");
  EXPECT_TRUE(list.changes);
  EXPECT_EQ(list.columnSet, ColumnSet::Mail);
  ASSERT_EQ(list.rows.size(), 1u);
  EXPECT_EQ(list.rows[0].cells[1], "Top");
}

TEST_F(ItemListTest, SpecialFoldersShowTheirListsWithTheirColumns) {
  // Contacts, appended in list order; an empty contacts list is a mail folder.
  ListContent contacts = FillItemList(data, "Personal Folders\\Contacts\\");
  EXPECT_EQ(contacts.columnSet, ColumnSet::Mail);
  for (const char* name : {"Ann", "Bob"}) {
    auto c = std::make_unique<items::ContactDetails>();
    c->fileUnder = Blob::Of(std::string_view(name));
    if (std::string(name) == "Ann") c->mobilePhone = Blob::Of(std::string_view("555"));
    c->postalAddress = Blob::Of(std::string_view(""));
    data.AppendContact(std::move(c), nullptr);
  }
  contacts = FillItemList(data, "Personal Folders\\Contacts\\");
  EXPECT_EQ(contacts.columnSet, ColumnSet::Contacts);
  ASSERT_EQ(contacts.rows.size(), 2u);
  EXPECT_EQ(contacts.rows[0].picture, kListContact);
  EXPECT_EQ(contacts.rows[0].cells, (std::vector<std::string>{"Ann", "None", "555"}));
  EXPECT_EQ(contacts.rows[1].cells, (std::vector<std::string>{"Bob", "None", "None"}));

  // Tasks, journal, notes and calendar: each row at the top, so reversed.
  for (const char* s : {"T1", "T2"}) data.AppendTask(Mail(nullptr, s, nullptr, 1151755200));
  ListContent tasks = FillItemList(data, "Personal Folders\\Tasks\\");
  EXPECT_EQ(tasks.columnSet, ColumnSet::Tasks);
  ASSERT_EQ(tasks.rows.size(), 2u);
  EXPECT_EQ(tasks.rows[0].picture, kListTasks);
  EXPECT_EQ(tasks.rows[0].cells, (std::vector<std::string>{"T2", "Sat Jul 01 12:00:00 2006"}));
  EXPECT_EQ(tasks.rows[1].cells[0], "T1");
  EXPECT_FALSE(tasks.toggleExpansion);

  for (const char* s : {"J1", "J2"}) {
    auto j = std::make_unique<items::JournalDetails>();
    j->logType = Blob::Of(std::string_view("Phone call"));
    data.AppendJournal(std::move(j), Mail(nullptr, s, nullptr, 1151755200));
  }
  data.AppendJournal(std::make_unique<items::JournalDetails>(), nullptr);
  ListContent journal = FillItemList(data, "Personal Folders\\Journal\\");
  EXPECT_EQ(journal.columnSet, ColumnSet::Journal);
  ASSERT_EQ(journal.rows.size(), 3u);
  EXPECT_EQ(journal.rows[0].cells, (std::vector<std::string>{"", "", ""}));
  EXPECT_EQ(journal.rows[1].picture, kListJournal);
  EXPECT_EQ(journal.rows[1].cells, (std::vector<std::string>{"J2", "Phone call", ""}));

  auto noteMessage = Mail(nullptr, "N1", nullptr, 1151755200);
  noteMessage->bodyText = Blob::Of(std::string_view("remember"));
  data.AppendNote(std::make_unique<items::AppointmentDetails>(), std::move(noteMessage));
  ListContent notes = FillItemList(data, "Personal Folders\\Notes\\");
  EXPECT_EQ(notes.columnSet, ColumnSet::Notes);
  ASSERT_EQ(notes.rows.size(), 1u);
  EXPECT_EQ(notes.rows[0].picture, kListNotes);
  EXPECT_EQ(notes.rows[0].cells,
            (std::vector<std::string>{"N1", "remember", "Sat Jul 01 12:00:00 2006"}));

  ListContent calendar = FillItemList(data, "Personal Folders\\Calendar\\");
  EXPECT_TRUE(calendar.changes);
  EXPECT_EQ(calendar.columnSet, ColumnSet::Calendar);
  EXPECT_TRUE(calendar.rows.empty());
  for (const char* s : {"C1", "C2"}) {
    auto a = std::make_unique<items::AppointmentDetails>();
    a->meetingLocation = Blob::Of(std::string_view("Room 1"));
    data.AppendCalendar(std::move(a), Mail(nullptr, s, nullptr));
  }
  calendar = FillItemList(data, "Personal Folders\\Calendar\\");
  ASSERT_EQ(calendar.rows.size(), 2u);
  EXPECT_EQ(calendar.rows[0].picture, kListCalendar);
  EXPECT_EQ(calendar.rows[0].cells, (std::vector<std::string>{"C2", "Room 1", ""}));
}

TEST_F(ItemListTest, AnsiTextsAreShownAsWindows1252) {
  data.SetVariant(store::Variant::Ansi);
  FolderRecord& f = data.AddFolder("Personal Folders\\Inbox\\", 1);
  data.AppendMail(f, Mail("J\xF6rn", "Caf\xE9", "x"));
  ListContent list = FillItemList(data, "Personal Folders\\Inbox\\");
  ASSERT_EQ(list.rows.size(), 1u);
  EXPECT_EQ(list.rows[0].cells[0], "J\xC3\xB6rn");
  EXPECT_EQ(list.rows[0].cells[1], "Caf\xC3\xA9");

  data.Release();
  EXPECT_EQ(data.firstFolder(), nullptr);
  EXPECT_EQ(data.variant(), store::Variant::Unknown);
  EXPECT_TRUE(FillItemList(data, "Personal Folders\\Inbox\\").rows.empty());
}

TEST_F(ItemListTest, ReleasingTheListedItemsKeepsTheFoldersAndTheMap) {
  data.storeData = std::make_shared<store::StoreData>();
  FolderRecord& f = data.AddFolder("Personal Folders\\Inbox\\", 0x8062);
  data.AppendMail(f, Mail("a", "b", "c"));
  data.AppendTask(Mail(nullptr, "T1", nullptr), &f);
  ASSERT_GT(data.listedBytes(), 0u);

  data.ReleaseListedItems();
  EXPECT_EQ(data.listedBytes(), 0u);
  EXPECT_TRUE(FillItemList(data, "Personal Folders\\Inbox\\").rows.empty());
  EXPECT_TRUE(FillItemList(data, "Personal Folders\\Tasks\\").rows.empty());
  ASSERT_NE(data.firstFolder(), nullptr);
  EXPECT_EQ(data.firstFolder()->folderNid, 0x8062u);
  EXPECT_EQ(data.Names(), &data.names);
  EXPECT_NE(data.storeData, nullptr);
  // Lists fill again after it.
  data.AppendMail(f, Mail("d", "e", "f"));
  EXPECT_EQ(FillItemList(data, "Personal Folders\\Inbox\\").rows.size(), 1u);
}

}  // namespace
}  // namespace velmorix::session
