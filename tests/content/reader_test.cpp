// Items of builder mailboxes read in full: bodies, recipients, attachments,
// embedded messages, the fields of each kind and the properties view.
#include <gtest/gtest.h>

#include "content_test_util.h"
#include "storebuilder/rtf.h"

namespace velmorix::content::testing {
namespace {

class ReaderTest : public ::testing::TestWithParam<sb::Format> {
 protected:
  bool unicode() const { return GetParam() != sb::Format::Ansi14; }
};

// The 4 KiB-page variant with its compressed blocks, attachment data trees
// streamed block by block included.
INSTANTIATE_TEST_SUITE_P(Variants, ReaderTest,
                         ::testing::Values(sb::Format::Unicode23, sb::Format::Ansi14, sb::Format::Unicode4K),
                         [](const auto& info) {
                           return info.param == sb::Format::Unicode23 ? "Unicode"
                                  : info.param == sb::Format::Ansi14  ? "Ansi"
                                                                      : "Unicode4K";
                         });

constexpr const char* kFromHtmlRtf =
    "{\\rtf1\\ansi\\ansicpg1252\\fromhtml1 \\deff0{\\fonttbl{\\f0\\fswiss Arial;}}"
    "{\\*\\htmltag64}{\\*\\htmltag <html><body>\\par <p>}{\\htmlrtf \\f0 \\htmlrtf0 Caf\\'e9 "
    "r\\'e9sum\\'e9}{\\*\\htmltag </p>\\par </body></html>}}";

TEST_P(ReaderTest, EveryBodyFormStoredOrDerived) {
  sb::MailboxBuilder mb(Options(GetParam()));
  const uint32_t folder = mb.AddFolder(mb.topFolder(), "Inbox");

  sb::MailFields all;
  all.subject = "Gr\xC3\xBC\xC3\x9F" "e";
  all.body = "Plain text\r\nsecond line";
  all.html = "<html><body><p>z\xB6ote</p></body></html>";  // ISO-8859-2 bytes
  all.rtf = "{\\rtf1\\ansi Plain text\\par second line}";
  sb::Item allItem = sb::MakeMail(all);
  allItem.props.Long(0x3FDE, 28592);
  const uint32_t allNid = mb.AddItem(folder, allItem);

  sb::MailFields big;
  big.body = std::string(6000, 'x') + "end";
  big.bodyInSubnode = true;
  const uint32_t bigNid = mb.AddItem(folder, sb::MakeMail(big));

  sb::MailFields rtfHtml;
  rtfHtml.rtf = kFromHtmlRtf;
  const uint32_t rtfHtmlNid = mb.AddItem(folder, sb::MakeMail(rtfHtml));

  sb::MailFields rtfOnly;
  rtfOnly.rtf = "{\\rtf1\\ansi\\ansicpg1252 First\\par Second \\'e0 la carte}";
  rtfOnly.rtfUncompressed = true;
  const uint32_t rtfOnlyNid = mb.AddItem(folder, sb::MakeMail(rtfOnly));

  sb::MailFields htmlOnly;
  htmlOnly.html = "<html><head><meta charset=\"utf-8\"></head><body>Hi &amp; <b>bye</b> \xE2\x82\xAC</body></html>";
  const uint32_t htmlOnlyNid = mb.AddItem(folder, sb::MakeMail(htmlOnly));

  const uint32_t noneNid = mb.AddItem(folder, sb::MakeMail({}));
  Written w(mb);

  Item a = w.Read(allNid);
  EXPECT_EQ(a.subject, "Gr\xC3\xBC\xC3\x9F" "e");
  EXPECT_EQ(a.bodies.plain.source, BodySource::Stored);
  EXPECT_EQ(a.bodies.plain.text, "Plain text\r\nsecond line");
  EXPECT_EQ(a.bodies.html.source, BodySource::Stored);
  EXPECT_EQ(a.bodies.html.text, "<html><body><p>z\xC5\x9Bote</p></body></html>");
  EXPECT_EQ(a.bodies.rtf.source, BodySource::Stored);
  EXPECT_EQ(a.bodies.rtf.text, "{\\rtf1\\ansi Plain text\\par second line}");
  EXPECT_FALSE(a.bodies.rtf.damaged);
  EXPECT_TRUE(a.problems.empty());

  EXPECT_EQ(w.Read(bigNid).bodies.plain.text, big.body);

  Item h = w.Read(rtfHtmlNid);
  EXPECT_EQ(h.bodies.html.source, BodySource::FromRtf);
  EXPECT_EQ(h.bodies.html.text, "<html><body>\r\n<p>Caf\xC3\xA9 r\xC3\xA9sum\xC3\xA9</p>\r\n</body></html>");
  EXPECT_EQ(h.bodies.plain.source, BodySource::FromHtml);
  EXPECT_EQ(h.bodies.plain.text, "Caf\xC3\xA9 r\xC3\xA9sum\xC3\xA9");

  Item r = w.Read(rtfOnlyNid);
  EXPECT_FALSE(r.bodies.html.present());
  EXPECT_EQ(r.bodies.plain.source, BodySource::FromRtf);
  EXPECT_EQ(r.bodies.plain.text, "First\r\nSecond \xC3\xA0 la carte");

  Item t = w.Read(htmlOnlyNid);
  EXPECT_EQ(t.bodies.html.source, BodySource::Stored);
  EXPECT_EQ(t.bodies.plain.source, BodySource::FromHtml);
  EXPECT_EQ(t.bodies.plain.text, "Hi & bye \xE2\x82\xAC");

  Item n = w.Read(noneNid);
  EXPECT_FALSE(n.bodies.plain.present() || n.bodies.html.present() || n.bodies.rtf.present());

  // What a search of message text reads: the same plain text, whatever it
  // comes from, and nothing a stored plain text makes needless.
  ReadOptions searchText;
  searchText.properties = false;
  searchText.searchText = true;
  for (uint32_t nid : {allNid, bigNid, rtfHtmlNid, rtfOnlyNid, htmlOnlyNid, noneNid}) {
    const Item full = w.Read(nid);
    const Item text = w.Read(nid, searchText);
    EXPECT_EQ(text.bodies.plain.source, full.bodies.plain.source) << nid;
    EXPECT_EQ(text.bodies.plain.text, full.bodies.plain.text) << nid;
  }
  const Item text = w.Read(allNid, searchText);
  EXPECT_TRUE(text.subject.empty());
  EXPECT_FALSE(text.bodies.html.present() || text.bodies.rtf.present());
}

TEST(Reader, AnsiTextsUseTheItemsCodePage) {
  sb::MailboxBuilder mb(Options(sb::Format::Ansi14));
  sb::Item item = sb::MakeMail({});
  item.props.Raw(0x0037, 0x001E, Bytes("\xCF\xF0\xE8\xE2\xE5\xF2"));  // Windows-1251
  item.props.Long(0x3FFD, 1251);
  const uint32_t nid = mb.AddItem(mb.topFolder(), item);
  Written w(mb);
  Item read = w.Read(nid);
  EXPECT_EQ(read.subject, "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82");
  EXPECT_EQ(read.codePage, 1251);
}

TEST_P(ReaderTest, RecipientsOfEveryTypeInHeapAndSubnodeTables) {
  sb::MailboxOptions o = Options(GetParam());
  sb::MailboxBuilder mb(o);
  sb::Item few = sb::MakeMail({});
  few.recipients = {{"Ann", "ann@example.com", 1},
                    {"Bob", "bob@example.com", 2},
                    {"Cy", "/o=Org/cn=cy", 3, "EX", "cy@example.com"}};
  const uint32_t fewNid = mb.AddItem(mb.topFolder(), few);

  sb::Item many = sb::MakeMail({});
  for (int i = 0; i < 300; ++i) many.recipients.push_back({"User " + std::to_string(i), "u" + std::to_string(i) + "@x.test", 1 + i % 3});
  const uint32_t manyNid = mb.AddItem(mb.topFolder(), many);
  Written w(mb);

  Item f = w.Read(fewNid);
  ASSERT_EQ(f.recipients.size(), 3u);
  EXPECT_EQ(f.recipients[0].type, RecipientType::To);
  EXPECT_EQ(f.recipients[0].name, "Ann");
  EXPECT_EQ(f.recipients[0].smtpAddress, "ann@example.com");
  EXPECT_EQ(f.recipients[1].type, RecipientType::Cc);
  EXPECT_EQ(f.recipients[2].type, RecipientType::Bcc);
  EXPECT_EQ(f.recipients[2].addressType, "EX");
  EXPECT_EQ(f.recipients[2].address, "/o=Org/cn=cy");
  EXPECT_EQ(f.recipients[2].smtpAddress, "cy@example.com");

  // 300 rows do not fit the heap: the row matrix lies in a subnode.
  Item m = w.Read(manyNid);
  ASSERT_EQ(m.recipients.size(), 300u);
  EXPECT_EQ(m.recipients[299].name, "User 299");
  EXPECT_EQ(m.recipients[299].address, "u299@x.test");
  EXPECT_EQ(m.recipients[299].type, RecipientType::Bcc);
}

TEST_P(ReaderTest, AttachmentsInTheHeapInSubnodesAndDataTrees) {
  sb::MailboxBuilder mb(Options(GetParam()));
  sb::Item item = sb::MakeMail({});
  sb::Attachment small;
  small.fileName = "small.txt";
  small.data = Bytes("tiny");
  sb::Attachment large;
  large.fileName = "large.bin";
  // More than one block of any variant (4 KiB-page blocks hold 64 KiB).
  for (int i = 0; i < 150000; ++i) large.data.push_back(std::byte(i * 7));
  sb::Attachment tree = large;
  tree.fileName = "tree.bin";
  tree.dataPlacement = sb::Placement::Subnode;
  tree.dataTreeLevel = 2;
  sb::Attachment image;
  image.fileName = "IMAGE~1.PNG";
  image.data = Bytes("\x89PNG\r\n\x1A\n");
  image.mimeTag = "image/png";
  image.props.Text(0x3707, "a long picture name.png").Text(0x3712, "img001@example").Long(0x3714, 4);
  sb::Attachment lying = small;
  lying.fileName = "lying.txt";
  lying.size = 0xFFFFFFF0;  // a stored size far beyond the file
  item.attachments = {small, large, tree, image, lying};
  const uint32_t nid = mb.AddItem(mb.topFolder(), item);
  Written w(mb);

  Item read = w.Read(nid);
  ASSERT_EQ(read.attachments.size(), 5u);
  std::vector<std::string> names;
  for (const auto& a : read.attachments) {
    names.push_back(a.fileName);
    EXPECT_TRUE(a.readable) << a.fileName << ": " << a.problem;
  }
  EXPECT_EQ(names, (std::vector<std::string>{"small.txt", "large.bin", "tree.bin", "a long picture name.png",
                                             "lying.txt"}));
  // A search of message text gets the same names, without the data.
  ReadOptions searchText;
  searchText.searchText = true;
  const Item text = w.Read(nid, searchText);
  ASSERT_EQ(text.attachments.size(), read.attachments.size());
  for (size_t i = 0; i < text.attachments.size(); ++i) {
    EXPECT_EQ(text.attachments[i].fileName, read.attachments[i].fileName);
    EXPECT_EQ(text.attachments[i].displayName, read.attachments[i].displayName);
    EXPECT_FALSE(text.attachments[i].readable);
  }
  EXPECT_EQ(w.Bytes(read.attachments[0]), "tiny");
  EXPECT_EQ(read.attachments[1].size, 150000u);
  EXPECT_EQ(w.Bytes(read.attachments[1]), Str(large.data));
  EXPECT_EQ(w.Bytes(read.attachments[2]), Str(large.data));
  const Attachment& img = read.attachments[3];
  EXPECT_EQ(img.shortFileName, "IMAGE~1.PNG");
  EXPECT_EQ(img.mimeType, "image/png");
  EXPECT_EQ(img.contentId, "img001@example");
  EXPECT_TRUE(img.isInline());
  EXPECT_EQ(read.attachments[4].storedSize, 0xFFFFFFF0u);
  EXPECT_EQ(read.attachments[4].size, 4u);
  EXPECT_EQ(w.Bytes(read.attachments[4]), "tiny");

  std::string error;
  EXPECT_FALSE(w.reader->ReadAttachmentBytes(read.attachments[1], 1000, &error));
  EXPECT_EQ(error, "the attachment is too large");
  auto bytes = w.reader->ReadAttachmentBytes(read.attachments[2], 1 << 20);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(*bytes, large.data);
  // A sink that stops ends the read.
  int calls = 0;
  EXPECT_FALSE(w.reader->ReadAttachment(read.attachments[2], [&](ByteSpan) { return ++calls < 2; }));
  EXPECT_EQ(calls, 2);
}

TEST_P(ReaderTest, EmbeddedMessagesTwoLevelsDeep) {
  sb::MailboxBuilder mb(Options(GetParam()));
  sb::MailFields innerFields;
  innerFields.subject = "level 2";
  innerFields.html = "<p>deepest</p>";
  auto inner = std::make_shared<sb::Item>(sb::MakeMail(innerFields));

  sb::MailFields middleFields;
  middleFields.subject = "level 1";
  middleFields.body = "middle body";
  auto middle = std::make_shared<sb::Item>(sb::MakeMail(middleFields));
  middle->recipients = {{"Dee", "dee@example.com", 1}};
  sb::Attachment file;
  file.fileName = "inner.txt";
  file.data = Bytes("inner bytes");
  sb::Attachment innerMsg;
  innerMsg.fileName = "level 2";
  innerMsg.embedded = inner;
  middle->attachments = {file, innerMsg};

  sb::Item outer = sb::MakeMail({});
  sb::Attachment middleMsg;
  middleMsg.fileName = "level 1";
  middleMsg.embedded = middle;
  outer.attachments = {middleMsg};
  const uint32_t nid = mb.AddItem(mb.topFolder(), outer);
  Written w(mb);

  Item top = w.Read(nid);
  ASSERT_EQ(top.attachments.size(), 1u);
  ASSERT_TRUE(top.attachments[0].isEmbeddedMessage());
  std::string error;
  EXPECT_FALSE(w.reader->ReadAttachment(top.attachments[0], [](ByteSpan) { return true; }, &error));

  auto level1 = w.reader->ReadEmbedded(top.attachments[0], {}, &error);
  ASSERT_TRUE(level1) << error;
  EXPECT_EQ(level1->depth, 1);
  EXPECT_EQ(level1->subject, "level 1");
  EXPECT_EQ(level1->bodies.plain.text, "middle body");
  ASSERT_EQ(level1->recipients.size(), 1u);
  EXPECT_EQ(level1->recipients[0].name, "Dee");
  ASSERT_EQ(level1->attachments.size(), 2u);
  EXPECT_EQ(w.Bytes(level1->attachments[0]), "inner bytes");

  auto level2 = w.reader->ReadEmbedded(level1->attachments[1], {}, &error);
  ASSERT_TRUE(level2) << error;
  EXPECT_EQ(level2->depth, 2);
  EXPECT_EQ(level2->subject, "level 2");
  EXPECT_EQ(level2->bodies.html.text, "<p>deepest</p>");
  EXPECT_EQ(level2->bodies.plain.text, "deepest");
  EXPECT_FALSE(w.reader->ReadEmbedded(level1->attachments[0], {}, &error));
}

Buffer Utf16(std::string_view ascii) {
  Buffer b;
  for (char c : ascii) {
    b.push_back(std::byte(c));
    b.push_back(std::byte{0});
  }
  return b;
}

TEST(Reader, FieldsOfEachItemKind) {
  sb::MailboxBuilder mb(Options());
  sb::ContactFields cf;
  cf.displayName = "Ada Lovelace";
  cf.givenName = "Ada";
  cf.surname = "Lovelace";
  cf.companyName = "Engines Ltd";
  cf.postalAddress = "12 Street\r\nLondon";
  cf.mobilePhone = "+44 1";
  cf.businessPhone = "+44 2";
  cf.email = "ada@example.com";
  sb::Item contact = sb::MakeContact(cf);
  contact.props.Time(0x3A42, sb::FileTime(1815, 12, 10));
  const uint32_t contactNid = mb.AddItem(mb.topFolder(), contact);

  sb::AppointmentFields af;
  af.subject = "Standup";
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
  const uint32_t appointmentNid = mb.AddItem(mb.topFolder(), appointment);

  const uint32_t taskNid = mb.AddItem(mb.topFolder(), sb::MakeTask({"Write", "", sb::FileTime(2024, 6, 1), 1, false}));
  const uint32_t noteNid = mb.AddItem(mb.topFolder(), sb::MakeStickyNote({"Note", "text", 2}));
  const uint32_t journalNid = mb.AddItem(mb.topFolder(), sb::MakeJournal({"Call", "", "Phone call"}));

  sb::Item tagged = sb::MakeMail({});
  Buffer keywords = {std::byte{2}, {}, {}, {}, std::byte{12}, {}, {}, {}, std::byte{18}, {}, {}, {}};
  for (std::byte b : Utf16("Red")) keywords.push_back(b);
  for (std::byte b : Utf16("Blue")) keywords.push_back(b);
  tagged.props.NamedRaw(sb::PropertyName::String(sb::kPsPublicStrings, "Keywords"), 0x101F, keywords);
  const uint32_t taggedNid = mb.AddItem(mb.topFolder(), tagged);
  Written w(mb);

  Item c = w.Read(contactNid);
  EXPECT_EQ(c.kind, ItemKind::Contact);
  ASSERT_TRUE(c.contact);
  EXPECT_EQ(c.contact->givenName, "Ada");
  EXPECT_EQ(c.contact->surname, "Lovelace");
  EXPECT_EQ(c.contact->company, "Engines Ltd");
  ASSERT_EQ(c.contact->emails.size(), 1u);
  EXPECT_EQ(c.contact->emails[0].address, "ada@example.com");
  EXPECT_EQ(c.contact->emails[0].addressType, "SMTP");
  EXPECT_EQ(c.contact->phones,
            (std::vector<LabeledText>{{"business", "+44 2"}, {"mobile", "+44 1"}}));
  ASSERT_EQ(c.contact->addresses.size(), 1u);
  EXPECT_EQ(c.contact->addresses[0].full, "12 Street\r\nLondon");
  EXPECT_EQ(c.contact->birthday, sb::FileTime(1815, 12, 10));

  Item a = w.Read(appointmentNid);
  ASSERT_TRUE(a.appointment);
  EXPECT_EQ(a.appointment->location, "Room 1");
  EXPECT_EQ(a.appointment->start, sb::FileTime(2024, 5, 6, 9));
  EXPECT_EQ(a.appointment->end, sb::FileTime(2024, 5, 6, 9, 15));
  EXPECT_EQ(a.appointment->busyStatus, 2);
  ASSERT_TRUE(a.appointment->recurrence);
  EXPECT_EQ(a.appointment->recurrence->frequency, 0x200B);
  EXPECT_EQ(a.appointment->recurrence->dayMask, 0x0Au);
  EXPECT_EQ(a.appointment->recurrence->occurrences, 10u);
  EXPECT_EQ(a.appointment->recurrence->startDate, 100u);
  ASSERT_EQ(a.recipients.size(), 1u);

  Item t = w.Read(taskNid);
  ASSERT_TRUE(t.task);
  EXPECT_EQ(t.task->due, sb::FileTime(2024, 6, 1));
  EXPECT_EQ(t.task->status, 1);
  EXPECT_EQ(w.Read(noteNid).note->color, 2);
  Item j = w.Read(journalNid);
  ASSERT_TRUE(j.journal);
  EXPECT_EQ(j.journal->type, "Phone call");
  EXPECT_EQ(j.journal->start, sb::kDefaultTime);

  EXPECT_EQ(w.Read(taggedNid).categories, (std::vector<std::string>{"Red", "Blue"}));
  EXPECT_EQ(FormatFileTime(sb::FileTime(2024, 5, 6, 9, 7, 5)), "2024-05-06 09:07:05 UTC");
}

TEST(Reader, PropertiesViewNamesEveryProperty) {
  sb::MailboxBuilder mb(Options());
  sb::AppointmentFields af;
  af.subject = "Review";
  af.location = "Hall";
  sb::Item item = sb::MakeAppointment(af);
  item.props.Binary(0x300B, Buffer(5000, std::byte{0xAB}));
  item.props.NamedText(sb::PropertyName::String(sb::kPsPublicStrings, "x-custom"), "custom value");
  const uint32_t nid = mb.AddItem(mb.topFolder(), item);
  Written w(mb);

  ReadOptions options;
  options.propertyBytesShown = 64;
  Item read = w.Read(nid, options);
  auto find = [&](std::string_view name) -> const Property* {
    for (const Property& p : read.properties) {
      if (p.name == name) return &p;
    }
    return nullptr;
  };
  const Property* subject = find("PidTagSubject");
  ASSERT_TRUE(subject);
  EXPECT_EQ(subject->value, "Review");
  EXPECT_EQ(subject->typeName, "PtypString");
  const Property* location = find("PidLidLocation");
  ASSERT_TRUE(location);
  EXPECT_EQ(location->lid, 0x8208u);
  EXPECT_EQ(location->value, "Hall");
  ASSERT_TRUE(find("x-custom"));
  EXPECT_EQ(find("x-custom")->value, "custom value");
  const Property* start = find("PidLidAppointmentStartWhole");
  ASSERT_TRUE(start);
  EXPECT_EQ(start->value, FormatFileTime(sb::kDefaultTime));
  const Property* key = find("PidTagSearchKey");
  ASSERT_TRUE(key);
  EXPECT_TRUE(key->truncated);
  EXPECT_EQ(key->size, 5000u);
  EXPECT_EQ(key->value.substr(0, 8), "AB AB AB");

  EXPECT_TRUE(w.Read(nid, ReadOptions{false, 0}).properties.empty());
}

}  // namespace
}  // namespace velmorix::content::testing
