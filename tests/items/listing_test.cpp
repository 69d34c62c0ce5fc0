// A listing build reads only what the lists and the walk use; for that it
// must give exactly what a full build gives, on built and on real stores.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include <unistd.h>

#include "items/items.h"
#include "storebuilder/mailbox.h"

namespace velmorix::items {
namespace {

namespace sb = storebuilder;
namespace fs = std::filesystem;

std::string Bytes(const Blob& b) { return b.present() ? "[" + b.str() + "]" : "absent"; }

// The fields a listing build fills, as one comparable text.
std::string Listed(const ItemRecord* r) {
  if (!r) return "none";
  std::string s = "kind " + std::to_string(r->kind) + " class " + Bytes(r->messageClass) + " name " +
                  Bytes(r->displayName) + " damaged " + std::to_string(r->attachmentTableDamaged) +
                  " attachments " + std::to_string(r->attachments.size());
  if (const FolderCounts* f = r->folderCounts.get()) {
    s += " counts " + std::to_string(f->contentCount) + "," + std::to_string(f->unreadCount) + "," +
         std::to_string(f->associatedCount) + "," + std::to_string(f->hasSubfolders);
  }
  if (const MessageDetails* d = r->details.get()) {
    s += " details from " + Bytes(d->sentRepresentingName) + " to " + Bytes(d->displayTo) + " date " +
         Bytes(d->deliveryTime) + " body " + Bytes(d->bodyText);
    if (d->subject) {
      s += " subject " + std::to_string(d->subject->marker) + "," +
           std::to_string(d->subject->prefixLength) + Bytes(d->subject->text);
    }
  }
  if (const ContactDetails* c = r->contact.get()) {
    s += " contact " + Bytes(c->fileUnder) + Bytes(c->postalAddress) + Bytes(c->mobilePhone);
  }
  if (r->storeInfo) s += " store";
  if (r->appointment) s += " appointment " + Bytes(r->appointment->meetingLocation);
  if (r->journal) s += " journal " + Bytes(r->journal->logType);
  return s;
}

// Builds every node of `path` both ways and compares; returns the count.
int CompareEveryNode(const std::string& path) {
  store::Store s;
  EXPECT_EQ(store::OpenStore(s, path), 0) << path;
  if (!s.isOpen() || store::LoadIndexes(s) != 0 || !s.data) return 0;
  NamedPropertyMap names;
  LoadNamedPropertyMap(s, names);
  ItemContext ctx(s, &names);
  int compared = 0;
  std::function<void(const store::NodeEntry*)> walk = [&](const store::NodeEntry* n) {
    for (; n; n = n->nextSibling) {
      auto full = BuildItem(ctx, n);
      auto listing = BuildItem(ctx, n, ReadScope::Listing);
      EXPECT_EQ(Listed(full.get()), Listed(listing.get())) << path << " node 0x" << std::hex << n->nid;
      ++compared;
      walk(n->firstChild);
    }
  };
  walk(s.data->nodes.head());
  return compared;
}

class ListingBuild : public ::testing::TestWithParam<sb::Format> {};

TEST_P(ListingBuild, GivesWhatAFullBuildGivesForEveryKind) {
  sb::MailboxOptions o;
  o.ndb.format = GetParam();
  sb::MailboxBuilder mb(o);
  sb::FolderOptions contactClass;
  contactClass.containerClass = "IPF.Contact";
  const uint32_t inbox = mb.AddFolder(mb.topFolder(), "Inbox");
  const uint32_t contacts = mb.AddFolder(mb.topFolder(), "Kontakte", contactClass);

  sb::MailFields mf;
  mf.subject = "\x01\x04RE: hello";
  mf.senderName = "Ann";
  mf.displayTo = "Bob";
  mf.body = std::string(20000, 'b');  // in a subnode
  sb::Item mail = sb::MakeMail(mf);
  sb::Attachment a;
  a.fileName = "a.txt";
  a.data = Buffer(10, std::byte{'x'});
  mail.attachments.push_back(a);
  mb.AddItem(inbox, mail);
  mf.bodyInSubnode = true;
  mf.body = "short";
  mf.deliveryTime = 0;
  mf.subject.clear();
  mb.AddItem(inbox, sb::MakeMail(mf));
  sb::Item removed = sb::MakeMail({});
  removed.attachmentTable = sb::AttachmentTableForm::NoRows;
  mb.AddItem(inbox, removed);
  sb::Item damaged = mail;
  damaged.attachmentTable = sb::AttachmentTableForm::Overwritten;
  mb.AddItem(inbox, damaged);
  // Contact and mail properties on items of other classes, a large value
  // in a subnode, a property of an unknown type.
  sb::Item post = sb::MakeMail({});
  post.props.Text(0x001A, "IPM.Post").Text(0x3A1C, "0170").Text(0x3A30, std::string(9000, 'z'));
  post.props.Raw(0x6700, 0x0099, Buffer(4, std::byte{1}));
  mb.AddItem(inbox, post);
  sb::Item bare;
  bare.props.Text(0x001A, "IPM.Contact").Text(0x3A4F, std::string(9000, 'n'));
  bare.props.Place(0x3A4F, sb::Placement::Subnode);
  mb.AddItem(contacts, bare);

  sb::ContactFields cf;
  cf.displayName = cf.fileUnder = "Smith, Ann";
  cf.postalAddress = "1 Main St";
  cf.mobilePhone = "555";
  cf.email = "ann@example.com";
  mb.AddItem(contacts, sb::MakeContact(cf));
  mb.AddItem(inbox, sb::MakeAppointment({"meeting", "room", "agenda"}));
  mb.AddItem(inbox, sb::MakeTask({"task", "do it", sb::kDefaultTime, 1, false}));
  mb.AddItem(inbox, sb::MakeStickyNote({"note", std::string(9000, 'n'), 3}));
  mb.AddItem(inbox, sb::MakeJournal({"call", "notes", "Phone call"}));
  mb.AddItem(inbox, sb::MakeReport({}));

  const std::string path =
      (fs::temp_directory_path() / ("vx_listing_" + std::to_string(static_cast<int>(GetParam())) + ".pst"))
          .string();
  mb.Write(path);
  EXPECT_GT(CompareEveryNode(path), 15);
  fs::remove(path);
}

INSTANTIATE_TEST_SUITE_P(Variants, ListingBuild,
                         ::testing::Values(sb::Format::Ansi14, sb::Format::Unicode23),
                         [](const auto& info) {
                           return info.param == sb::Format::Unicode23 ? std::string("Unicode")
                                                                      : std::string("Ansi");
                         });

TEST(ListingBuildSamples, GivesWhatAFullBuildGivesOnEverySample) {
  const fs::path dir = VELMORIX_SAMPLES_DIR;
  if (!fs::is_directory(dir)) GTEST_SKIP() << "samples not found in " << dir;
  int compared = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string ext = entry.path().extension().string();
    if (ext != ".pst" && ext != ".ost") continue;
    // A copy of its own: stores are opened under an exclusive lock, and
    // other tests open the samples at the same time.
    const fs::path copy = fs::temp_directory_path() / ("vx_listing_sample_" + std::to_string(::getpid()));
    fs::copy_file(entry.path(), copy, fs::copy_options::overwrite_existing);
    compared += CompareEveryNode(copy.string());
    fs::remove(copy);
  }
  EXPECT_GT(compared, 1000);
}

TEST(ListingBuild, KnowsWhichSubRecordEachPropertyCreates) {
  EXPECT_EQ(RecordsCreatedBy(0x0037, true), kRecordDetails);
  EXPECT_EQ(RecordsCreatedBy(0x3A1C, false), kRecordContact);
  EXPECT_EQ(RecordsCreatedBy(0x3602, true), kRecordFolderCounts);
  EXPECT_EQ(RecordsCreatedBy(0x8208, true), kRecordAppointment);
  EXPECT_EQ(RecordsCreatedBy(0x35E0, true), kRecordStoreInfo);
  EXPECT_EQ(RecordsCreatedBy(0x8700, true), kRecordJournal);
  // The sent-mail entry ID is decoded in ANSI stores only.
  EXPECT_EQ(RecordsCreatedBy(0x0E0A, false), kRecordDetails);
  EXPECT_EQ(RecordsCreatedBy(0x0E0A, true), 0);
  EXPECT_EQ(RecordsCreatedBy(0x001A, true), 0);
  EXPECT_EQ(RecordsCreatedBy(0x3701, true), 0);  // attachment properties never reach the item
  EXPECT_EQ(RecordsCreatedBy(0x12345, true), 0);
}

}  // namespace
}  // namespace velmorix::items
