// Mapping property entries onto item records: conversion rules, the
// classification of message and container classes, detail records and the
// attachment cursor.
#include <gtest/gtest.h>

#include "items/items.h"
#include "test_util.h"

namespace velmorix::items {
namespace {

using namespace testing;

PropertyEntry Entry(uint32_t tag, const Buffer& value, uint32_t type = 0x0102) {
  PropertyEntry e;
  e.tag = tag;
  e.propertyId = static_cast<uint16_t>(tag);
  e.type = type;
  e.data = Blob::Of(ByteSpan(value));
  e.size = static_cast<int32_t>(value.size());
  return e;
}

PropertyEntry Long(uint32_t tag, uint32_t v) { return Entry(tag, Le(v, 4), 0x0003); }

PropertyEntry Unread(uint32_t tag, uint32_t hnid) {
  PropertyEntry e;
  e.tag = tag;
  e.type = hnid;
  return e;
}

PropertySet Rows(std::vector<std::vector<PropertyEntry>> rows) {
  PropertySet set;
  for (auto& r : rows) {
    PropertyRow row;
    row.totalRows = static_cast<int32_t>(rows.size());
    row.entries = std::move(r);
    set.rows.push_back(std::move(row));
  }
  return set;
}

class DecodeTest : public ::testing::Test {
 protected:
  std::unique_ptr<ItemRecord> Decode(std::vector<PropertyEntry> entries, bool unicode) {
    store.variant = unicode ? store::Variant::Unicode : store::Variant::Ansi;
    auto item = std::make_unique<ItemRecord>();
    std::vector<std::vector<PropertyEntry>> rows;
    rows.push_back(std::move(entries));
    EXPECT_EQ(DecodeProperties(ctx, Rows(std::move(rows)), item.get()), 0);
    return item;
  }
  store::Store store;
  ItemContext ctx{store};
};

TEST(Classify, MessageClassesByPrefixIgnoringCase) {
  EXPECT_EQ(ClassifyMessageClass("IPM.Note"), kKindMail);
  EXPECT_EQ(ClassifyMessageClass("ipm.note.SMIME"), kKindMail);
  EXPECT_EQ(ClassifyMessageClass("IPM"), kKindMail);
  EXPECT_EQ(ClassifyMessageClass(""), kKindMail);  // a prefix of every literal
  EXPECT_EQ(ClassifyMessageClass("IPM.C"), kKindContact);
  EXPECT_EQ(ClassifyMessageClass("IPM.Contact"), kKindContact);
  EXPECT_EQ(ClassifyMessageClass("REPORT.IPM.Note.NDR"), kKindReport);
  EXPECT_EQ(ClassifyMessageClass("IPM.Activity"), kKindJournal);
  EXPECT_EQ(ClassifyMessageClass("IPM.Appointment"), kKindAppointment);
  EXPECT_EQ(ClassifyMessageClass("IPM.Task"), kKindOther);
  EXPECT_EQ(ClassifyMessageClass("IPM.StickyNote"), kKindOther);
  EXPECT_EQ(ClassifyMessageClass("IPM.Schedule.Meeting.Request"), kKindOther);
}

TEST(Classify, ContainerClassesCaseSensitive) {
  auto k = [](std::string_view s) { return ClassifyContainerClass(AsBytes(s)); };
  EXPECT_EQ(k("IPF.Note"), kKindMail);
  EXPECT_EQ(k("IPF.Note.OutlookHomepage"), kKindMail);
  EXPECT_EQ(k("ipf.note"), kKindOther);
  EXPECT_EQ(k("IPF.Contact"), kKindContact);
  EXPECT_EQ(k("IPF.Journal"), kKindJournal);
  EXPECT_EQ(k("IPF.Appointment"), kKindAppointment);
  EXPECT_EQ(k("IPF.StickyNote"), kKindStickyNote);
  EXPECT_EQ(k("IPF.Task"), kKindTask);
  EXPECT_EQ(k("IPF"), kKindOther);
  EXPECT_EQ(k(""), kKindOther);
  Buffer wide = Wide("IPF.Note");
  EXPECT_EQ(ClassifyContainerClass(ByteSpan(wide)), kKindOther);
}

TEST_F(DecodeTest, MissingRecordIsRefused) {
  EXPECT_EQ(DecodeProperties(ctx, PropertySet{}, nullptr), -1);
}

TEST_F(DecodeTest, TextRuleByVariantAndRawFieldsKeepTheirBytes) {
  auto ansi = Decode({Entry(0x3001, Bytes("Caf\xE9")), Entry(0x3A08, Bytes("555")),
                      Entry(0x3A09, Bytes("666"))},
                     false);
  EXPECT_EQ(ansi->displayName.view(), "Caf\xE9");
  EXPECT_EQ(ansi->contact->businessPhone.view(), "555");
  EXPECT_EQ(ansi->contact->homePhone.view(), "666");

  auto uni = Decode({Entry(0x3001, Wide("Caf\xE9")), Entry(0x3A08, Wide("555")),
                     Entry(0x3A09, Wide("666"))},
                    true);
  EXPECT_EQ(uni->displayName.view(), "Caf\xC3\xA9");
  EXPECT_EQ(uni->contact->businessPhone.view(), "555");
  EXPECT_EQ(uni->contact->homePhone.view(), AsChars(Wide("666")));
  EXPECT_EQ(uni->contact->homePhone.size(), 6u);
}

TEST_F(DecodeTest, MessageClassAndContainerClassSetTheKind) {
  auto mail = Decode({Entry(0x001A, Wide("IPM.Note"))}, true);
  EXPECT_EQ(mail->kind, kKindMail);
  EXPECT_EQ(mail->messageClass.view(), "IPM.Note");
  auto folder = Decode({Entry(0x3613, Bytes("IPF.Contact"))}, false);
  EXPECT_EQ(folder->kind, kKindContact);
  auto wideFolder = Decode({Entry(0x3613, Wide("IPF.Contact"))}, true);
  EXPECT_EQ(wideFolder->kind, kKindOther);
  EXPECT_EQ(wideFolder->messageClass.size(), 22u);  // stored raw
  EXPECT_EQ(Decode({}, true)->kind, 0);
}

TEST_F(DecodeTest, MessageDetailsConversions) {
  auto item = Decode({Entry(0x0002, Le(0, 4), 0x000B), Long(0x0017, 2), Entry(0x0037, Bytes("Hi")),
                      Entry(0x0039, Le(0x01D9000000000001ull, 8)), Entry(0x0042, Bytes("Sender")),
                      Entry(0x0071, Le(0x11223344, 4)), Entry(0x0E04, Bytes("To")),
                      Entry(0x0E0A, Bytes("entry")), Long(0x0E07, 0x10001), Long(0x0E1F, 0x10000),
                      Entry(0x6F02, Bytes("xyz"))},
                     false);
  ASSERT_TRUE(item->details);
  const MessageDetails& d = *item->details;
  EXPECT_EQ(d.alternateRecipientAllowed, -1);
  EXPECT_EQ(d.importance, 2);
  EXPECT_EQ(d.subject->text.view(), "Hi");
  EXPECT_EQ(d.clientSubmitTime.size(), 8u);
  EXPECT_EQ(d.sentRepresentingName.view(), "Sender");
  EXPECT_EQ(d.conversationIndexHead, 0x11223344);
  EXPECT_EQ(d.displayTo.view(), "To");
  EXPECT_EQ(d.sentMailEntryId.view(), "entry");
  EXPECT_EQ(d.messageFlags, 0x10001);
  EXPECT_EQ(d.rtfInSync, 0);  // bool takes the first 16 bits only
  EXPECT_EQ(d.value6F02Size, 3);
  EXPECT_EQ(d.lastKind, 0);
  EXPECT_FALSE(d.nextListed.load());

  auto uni = Decode({Entry(0x0002, Le(1, 4), 0x000B), Entry(0x0E0A, Bytes("entry"))}, true);
  EXPECT_EQ(uni->details->alternateRecipientAllowed, 1);
  EXPECT_FALSE(uni->details->sentMailEntryId);  // ANSI stores only
  EXPECT_EQ(Decode({Long(0x0E07, 1)}, true)->details->alternateRecipientAllowed, 0);
}

TEST_F(DecodeTest, SubjectMarkerAndPrefix) {
  auto marked = Decode({Entry(0x0037, Bytes("\x01\x04RE: Hi"))}, false);
  EXPECT_EQ(marked->details->subject->marker, 1);
  EXPECT_EQ(marked->details->subject->prefixLength, 4);
  EXPECT_EQ(marked->details->subject->text.view(), "RE: Hi");

  auto wide = Decode({Entry(0x0037, Concat({Le(1, 2), Le(4, 2), Wide("RE: Hi")}))}, true);
  EXPECT_EQ(wide->details->subject->marker, 1);
  EXPECT_EQ(wide->details->subject->prefixLength, 4);
  EXPECT_EQ(wide->details->subject->text.view(), "RE: Hi");

  auto plain = Decode({Entry(0x0037, Wide("Hello"))}, true);
  EXPECT_EQ(plain->details->subject->marker, 0);
  EXPECT_EQ(plain->details->subject->text.view(), "Hello");

  // Letters beyond ASCII are text, not a marker.
  auto accented = Decode({Entry(0x0037, Bytes("\xC9t\xE9"))}, false);
  EXPECT_EQ(accented->details->subject->marker, 0);
  EXPECT_EQ(accented->details->subject->text.view(), "\xC9t\xE9");
  auto chinese = Decode({Entry(0x0037, Buffer{std::byte{0x00}, std::byte{0x4E}})}, true);
  EXPECT_EQ(chinese->details->subject->text.view(), "\xE4\xB8\x80");

  auto empty = Decode({Entry(0x0037, Buffer{})}, false);
  EXPECT_FALSE(empty->details && empty->details->subject);
}

TEST_F(DecodeTest, KeyFromRecordKeyThenChangeList) {
  auto rk = Decode({Entry(0x0FF9, Bytes("ABCD"))}, false);
  EXPECT_EQ(rk->key.view(), "ABCD");
  EXPECT_EQ(rk->keySize, 4);
  Buffer changes = Concat({Buffer{std::byte{0x16}}, Bytes("0123456789abcdef"), Bytes("tail")});
  auto pcl = Decode({Entry(0x0FF9, Bytes("ABCD")), Entry(0x65E3, changes)}, true);
  EXPECT_EQ(pcl->key.view(), "0123456789abcdef");
  EXPECT_EQ(pcl->keySize, 16);
  auto shortList = Decode({Entry(0x65E3, Bytes("\x05" "ab"))}, true);
  EXPECT_EQ(shortList->key.size(), 16u);
  EXPECT_EQ(shortList->key.bytes()[1], std::byte{'b'});
  EXPECT_EQ(shortList->key.bytes()[2], std::byte{0});
}

TEST_F(DecodeTest, ContactFieldsLaterPropertyWins) {
  auto c = Decode({Entry(0x3002, Bytes("EX")), Entry(0x3003, Bytes("old@x")),
                   Entry(0x3A4D, Le(0xFFFF0002u, 4), 0x0002), Entry(0x3A0E, Le(1, 4), 0x000B),
                   Entry(0x8082, Bytes("SMTP")), Entry(0x8083, Bytes("new@x"))},
                  false);
  ASSERT_TRUE(c->contact);
  EXPECT_EQ(c->contact->email1Address.view(), "new@x");
  EXPECT_EQ(c->contact->email1AddressType.view(), "SMTP");
  EXPECT_EQ(c->contact->gender, 2);
  EXPECT_EQ(c->contact->mailPermission, 1);
  EXPECT_FALSE(c->details);
  // Contact-range IDs that belong to the message details.
  auto m = Decode({Entry(0x3A03, Le(1, 4), 0x000B), Entry(0x3A0F, Bytes("mhs"))}, false);
  EXPECT_FALSE(m->contact);
  EXPECT_EQ(m->details->conversionProhibited, 1);
  EXPECT_EQ(m->details->mhsCommonName.view(), "mhs");
  EXPECT_EQ(Decode({Entry(0x3A4D, Le(0xFFFF, 4), 0x0002)}, false)->contact->gender, -1);
}

TEST_F(DecodeTest, FolderStoreAppointmentAndJournalRecords) {
  auto folder = Decode({Long(0x3602, 5), Long(0x3603, 2)}, true);
  ASSERT_TRUE(folder->folderCounts);
  EXPECT_EQ(folder->folderCounts->contentCount, 5);
  EXPECT_EQ(folder->folderCounts->unreadCount, 2);
  EXPECT_EQ(folder->folderCounts->hasSubfolders, 0);
  EXPECT_EQ(Decode({Entry(0x360A, Le(0x100, 4), 0x000B)}, true)->folderCounts->hasSubfolders, 1);

  auto root = Decode({Long(0x35DF, 0x89), Entry(0x35E0, Bytes("subtree")), Entry(0x7C07, Bytes("short")),
                      Long(0x67FF, 7)},
                     true);
  ASSERT_TRUE(root->storeInfo);
  EXPECT_EQ(root->storeInfo->validFolderMask, 0x89);
  EXPECT_EQ(root->storeInfo->subtreeEntryId.view(), "subtree");
  EXPECT_EQ(root->storeInfo->rowVersion, 7);
  ASSERT_EQ(root->storeInfo->value7C07.size(), 24u);
  EXPECT_EQ(root->storeInfo->value7C07.view().substr(0, 5), "short");
  EXPECT_EQ(root->storeInfo->value7C07.bytes()[23], std::byte{0});
  Buffer longer(40, std::byte{7});
  EXPECT_EQ(Decode({Entry(0x7C07, longer)}, true)->storeInfo->value7C07.size(), 24u);

  auto appt = Decode({Long(0x8205, 2), Entry(0x8208, Wide("Room")), Entry(0x8235, Le(1, 8))}, true);
  ASSERT_TRUE(appt->appointment);
  EXPECT_EQ(appt->appointment->busyStatus, 2);
  EXPECT_EQ(appt->appointment->meetingLocation.view(), "Room");
  EXPECT_EQ(appt->appointment->clipStart.size(), 8u);

  auto journal = Decode({Entry(0x8700, Wide("Phone call")), Entry(0x8706, Le(1, 8)),
                         Entry(0x8712, Wide("Call"))},
                        true);
  ASSERT_TRUE(journal->journal);
  EXPECT_EQ(journal->journal->logType.view(), "Call");
  EXPECT_EQ(journal->journal->logStart.size(), 8u);
}

TEST_F(DecodeTest, ValuesNotReadLeaveTheirFieldsAlone) {
  auto item = Decode({Unread(0x1000, 0x803F), Unread(0x3A08, 0x805F)}, true);
  EXPECT_FALSE(item->details);
  EXPECT_FALSE(item->contact);
}

TEST_F(DecodeTest, StringNamedPropertiesListNewestFirst) {
  Blob first = Blob::Of(std::string_view("first"));
  PropertyEntry a = Entry(kTagStringNamed, Wide("one"));
  a.name = &first;
  PropertyEntry b = Entry(kTagStringNamed, Wide("two"));
  auto item = Decode({a, b}, true);
  ASSERT_EQ(item->namedStrings.size(), 2u);
  EXPECT_FALSE(item->namedStrings[0].name);
  EXPECT_EQ(item->namedStrings[0].value.view(), "two");
  EXPECT_EQ(item->namedStrings[1].name.view(), "first");
  EXPECT_EQ(item->namedStrings[1].value.view(), "one");
}

TEST_F(DecodeTest, AttachmentCursorMovesOneAttachmentPerRow) {
  store.variant = store::Variant::Ansi;
  ItemRecord item;
  item.attachments.resize(2);
  // Attachment properties without a cursor are ignored.
  ASSERT_EQ(DecodeProperties(ctx, Rows({{Long(0x3705, 1)}}), &item), 0);
  EXPECT_EQ(item.attachments[0].method, 0);

  item.attachmentCursor = &item.attachments[0];
  auto set = Rows({{Long(0x67F2, 0x8045), Entry(0x3704, Bytes("b.txt")), Long(0x0E20, 99)},
                   {Long(0x67F3, 1), Long(0x67F2, 0x8025), Entry(0x3701, Bytes("data")),
                    Long(0x0E20, 50)},
                   {Long(0x67F2, 0x8005)}});
  ASSERT_EQ(DecodeProperties(ctx, set, &item), 0);
  EXPECT_EQ(item.attachments[0].nid, 0x8045u);
  EXPECT_EQ(item.attachments[0].fileName.view(), "b.txt");
  EXPECT_EQ(item.attachments[0].size, 99);
  EXPECT_EQ(item.attachments[1].nid, 0x8025u);
  EXPECT_EQ(item.attachments[1].data.view(), "data");
  EXPECT_EQ(item.attachments[1].size, 4);  // 0x0E20 only while the size is 0

  // An attachment's own context whose data was not read names the data's NID.
  item.attachmentCursor = &item.attachments[0];
  ASSERT_EQ(DecodeProperties(ctx, Rows({{Unread(0x3701, 0x803F), Long(0x3705, 5)}}), &item), 0);
  EXPECT_EQ(item.attachments[0].nid, 0x803Fu);
  EXPECT_EQ(item.attachments[0].method, 5);
  // Item properties never reach the attachment.
  EXPECT_FALSE(item.attachments[0].longFileName);
}

TEST_F(DecodeTest, AttachmentOnlyDecodingLeavesTheItemAlone) {
  store.variant = store::Variant::Ansi;
  ItemRecord item;
  item.displayName = Blob::Of(std::string_view("Contact"));
  item.attachments.resize(1);
  item.attachmentCursor = &item.attachments[0];
  auto set = Rows({{Entry(0x3001, Bytes("photo.jpg")), Entry(0x3007, Le(1, 8)),
                    Entry(0x3707, Bytes("photo.jpg"))}});
  ASSERT_EQ(DecodeAttachmentProperties(ctx, set, &item), 0);
  EXPECT_EQ(item.displayName.view(), "Contact");
  EXPECT_FALSE(item.creationTime);
  EXPECT_EQ(item.attachments[0].longFileName.view(), "photo.jpg");
}

}  // namespace
}  // namespace velmorix::items
