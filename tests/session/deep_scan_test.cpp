// The deep scan stage: when it is asked for, where what it finds is placed,
// and that it adds nothing to what an intact store lists.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>

#include "content/item_reader.h"
#include "session_fixture.h"

namespace velmorix::session::testing {
namespace {

using V = std::vector<std::string>;

const std::string kTop = "Personal Folders\\";
const std::string kInbox = kTop + "Inbox\\";
const std::string kQuestion =
    "message [Velmorix|question|yesno|owned] The file is damaged. Run a deep scan to find more items?";

class DeepStageTest : public SessionTest {
 protected:
  void SetUp() override { session.deepScan = DeepScanChoice::Ask; }
  // A mailbox with an Inbox of `mails` mails over several node leaf pages.
  sb::MailboxBuilder& Build(int mails) {
    sb::MailboxOptions o = Options(GetParam());
    o.ndb.nodeLeafFill = 4;
    o.ndb.intermediateFill = 3;
    builder_ = std::make_unique<sb::MailboxBuilder>(o);
    const uint32_t inbox = builder_->AddFolder(builder_->topFolder(), "Inbox");
    for (int i = 0; i < mails; ++i) builder_->AddItem(inbox, Mail("Mail " + std::to_string(i)));
    builder_->Finish();
    image_ = builder_->Build();
    return *builder_;
  }
  std::string WriteImage() {
    std::string bytes(reinterpret_cast<const char*>(image_.data()), image_.size());
    return WriteBytes(bytes);
  }
  void Garble(uint64_t offset, uint64_t n) {
    for (uint64_t i = 0; i < n && offset + i < image_.size(); ++i) image_[offset + i] ^= std::byte{0xA7};
  }
  // Subjects by folder path, over every folder record and the top folder.
  std::map<std::string, V> Listed() const {
    std::map<std::string, V> out;
    for (const ListedItem* m = session.data().topFolder().FirstMail(); m; m = m->Next()) {
      out[kTop].emplace_back(m->Text(1));
    }
    for (const FolderRecord* f = session.data().firstFolder(); f; f = f->Next()) {
      for (const ListedItem* m = f->FirstMail(); m; m = m->Next()) out[f->folderPath].emplace_back(m->Text(1));
    }
    return out;
  }
  uint64_t FirstIndexPage() const {
    const sb::Layout& l = builder_->ndb().layout();
    uint64_t first = image_.size();
    for (const auto* tree : {&l.blockPages, &l.nodePages}) {
      for (const auto& level : *tree) {
        for (const auto& p : level) first = std::min(first, p.offset);
      }
    }
    return first;
  }

  // Leaves the nodes `drop` out of the node index, four entries a leaf page.
  static void Drop(sb::MailboxBuilder& mb, const std::vector<uint32_t>& drop) {
    std::vector<std::vector<sb::NodeLeafEntry>> pages(1);
    for (const sb::NodeLeafEntry& e : mb.ndb().NodeEntries()) {
      if (std::find(drop.begin(), drop.end(), e.nid) != drop.end()) continue;
      if (pages.back().size() == 4) pages.emplace_back();
      pages.back().push_back(e);
    }
    mb.ndb().SetNodeLeafPages(pages);
  }
  std::unique_ptr<sb::MailboxBuilder> builder_;
  Buffer image_;
};

TEST_P(DeepStageTest, IntactStoreAsksNothingAndTheDeepScanAddsNothing) {
  Build(12);
  const std::string path = WriteImage();
  Run(path);
  EXPECT_FALSE(session.damageFound());
  EXPECT_FALSE(session.deepScanRan());
  EXPECT_TRUE(view.Calls("message").empty());
  const auto normal = Listed();

  session.DiscardRecovery();
  session.deepScan = DeepScanChoice::Always;
  Run(path);
  EXPECT_TRUE(session.deepScanRan());
  EXPECT_EQ(session.deepScanAdded(), 0);
  EXPECT_EQ(Listed(), normal);
  EXPECT_EQ(session.outcome(), RunOutcome::Finished);
  EXPECT_EQ(session.state(), SessionState::Finished);
  EXPECT_TRUE(view.Has("text 1048 Deep Scanning File for Items..."));
  EXPECT_EQ(view.Calls("insert " + kTop + "Recovered"), V{});
}

// Cut before its index pages, the store has no index left: the normal stages
// fail, the window asks, and on Yes every mail is found and put back into its
// folder, which the found hierarchy and contents tables name.
TEST_P(DeepStageTest, CutFileAsksAndOnYesPutsEveryMailBackIntoItsFolder) {
  Build(12);
  image_.resize(FirstIndexPage());
  const std::string path = WriteImage();
  Run(path);
  EXPECT_TRUE(session.damageFound());
  EXPECT_TRUE(session.deepScanRan());
  EXPECT_EQ(view.Calls("message [Velmorix|question|yesno"), V{kQuestion});
  // The failure is shown first, then the question, then the deep scan.
  const V after = view.CallsFrom(kQuestion);
  ASSERT_GE(after.size(), 2u);
  EXPECT_EQ(session.outcome(), RunOutcome::Finished);
  const auto listed = Listed();
  EXPECT_FALSE(listed.count(kRecoveredItemsPath));
  ASSERT_TRUE(listed.count(kInbox));
  V subjects = listed.at(kInbox);
  std::sort(subjects.begin(), subjects.end());
  V expected;
  for (int i = 0; i < 12; ++i) expected.push_back("Mail " + std::to_string(i));
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(subjects, expected);
  EXPECT_EQ(session.mailCount(), 12);
  EXPECT_EQ(FolderPaths(), V{kInbox});
}

TEST_P(DeepStageTest, CutFileOnNoKeepsTheFailedRun) {
  Build(4);
  image_.resize(FirstIndexPage());
  view.answerYes = false;
  Run(WriteImage());
  EXPECT_EQ(view.Calls("message [Velmorix|question|yesno"), V{kQuestion});
  EXPECT_FALSE(session.deepScanRan());
  EXPECT_EQ(session.outcome(), RunOutcome::Failed);
  EXPECT_TRUE(Listed().empty());
}

TEST_P(DeepStageTest, NeverAsksButTellsOfTheDamage) {
  Build(4);
  image_.resize(FirstIndexPage());
  session.deepScan = DeepScanChoice::Never;
  Run(WriteImage());
  EXPECT_TRUE(session.damageFound());
  EXPECT_TRUE(view.Calls("message [Velmorix|question|yesno").empty());
  EXPECT_FALSE(session.deepScanRan());
}

// An intermediate node page overwritten: the normal recovery loses the mails
// below it; their leaf pages are still in the file, so the deep scan puts
// them back into their folder, each once.
TEST_P(DeepStageTest, LostNodeSubtreeComesBackIntoItsFolder) {
  sb::MailboxBuilder& mb = Build(40);
  const auto& levels = mb.ndb().layout().nodePages;
  ASSERT_GE(levels.size(), 3u);
  const sb::PageInfo& lost = levels[1].back();
  Garble(lost.offset, 64);
  Run(WriteImage());
  EXPECT_TRUE(session.damageFound());
  EXPECT_TRUE(session.deepScanRan());
  const auto listed = Listed();
  EXPECT_FALSE(listed.count(kRecoveredItemsPath));
  ASSERT_TRUE(listed.count(kInbox));
  V subjects = listed.at(kInbox);
  std::sort(subjects.begin(), subjects.end());
  EXPECT_EQ(std::unique(subjects.begin(), subjects.end()), subjects.end());
  EXPECT_EQ(subjects.size(), 40u);
}

TEST_P(DeepStageTest, GarbledHeaderIsScannedIntoTheFolderTree) {
  Build(10);
  Garble(0, 564);
  Run(WriteImage());
  EXPECT_TRUE(session.deepScanRan());
  const auto listed = Listed();
  ASSERT_TRUE(listed.count(kInbox));
  EXPECT_EQ(listed.at(kInbox).size(), 10u);
  EXPECT_EQ(FolderPaths(), V{kInbox});
  // The items read in full over the rebuilt indexes, the header still garbled.
  const FolderRecord* inbox = session.data().firstFolder();
  ASSERT_TRUE(inbox && inbox->FirstMail());
  auto reader = content::ItemReader::Open(session.sessionPath(), std::atomic_load(&session.data().storeData),
                                          &session.data().names);
  ASSERT_TRUE(reader);
  const auto item = reader->Read(inbox->FirstMail()->nodeId, {});
  ASSERT_TRUE(item);
  EXPECT_EQ(item->subject, std::string(inbox->FirstMail()->Text(1)));
}

// The message store's own block overwritten: the store no longer names its
// top folder, which is then the root folder's subfolder with the most
// children.
TEST_P(DeepStageTest, LostMessageStoreKeepsTheFolderTree) {
  sb::MailboxBuilder& mb = Build(6);
  for (const sb::NodeLeafEntry& e : mb.ndb().NodeEntries()) {
    if (e.nid != 0x21) continue;
    const sb::BlockLocation* b = mb.ndb().layout().FindBlock(e.dataBid);
    ASSERT_NE(b, nullptr);
    Garble(b->offset, b->size);
  }
  Run(WriteImage());
  EXPECT_EQ(session.failureCode(), 3);
  EXPECT_TRUE(session.deepScanRan());
  const auto listed = Listed();
  ASSERT_TRUE(listed.count(kInbox));
  EXPECT_EQ(listed.at(kInbox).size(), 6u);
}

// Neither the message store nor the root folder is left in the index: the
// top folder is the folder of unknown parent with the most subfolders.
TEST_P(DeepStageTest, LostRootFolderKeepsTheFolderTree) {
  builder_ = std::make_unique<sb::MailboxBuilder>(Options(GetParam()));
  const uint32_t inbox = builder_->AddFolder(builder_->topFolder(), "Inbox");
  for (int i = 0; i < 6; ++i) builder_->AddItem(inbox, Mail("Mail " + std::to_string(i)));
  builder_->WriteMailbox();
  Drop(*builder_, {0x21, 0x122});
  image_ = builder_->Build();
  Run(WriteImage());
  EXPECT_TRUE(session.deepScanRan());
  const auto listed = Listed();
  ASSERT_TRUE(listed.count(kInbox));
  EXPECT_EQ(listed.at(kInbox).size(), 6u);
}

// The node index lost its message entries and one folder's entry (a client
// appends its index pages after the data, so a cut loses them first), and
// the header is garbled: the folders' contents tables still name every mail
// and the top folder's hierarchy table the lost folder, so each mail goes
// back into its folder, the lost folder rebuilt from its hierarchy row.
TEST_P(DeepStageTest, FoundTablesPutMailsBackIntoTheirFolders) {
  sb::MailboxOptions o = Options(GetParam());
  o.ndb.nodeLeafFill = 4;
  builder_ = std::make_unique<sb::MailboxBuilder>(o);
  const uint32_t inbox = builder_->AddFolder(builder_->topFolder(), "Inbox");
  const uint32_t archive = builder_->AddFolder(builder_->topFolder(), "Archive");
  std::vector<uint32_t> drop{archive};
  for (int i = 0; i < 6; ++i) drop.push_back(builder_->AddItem(inbox, Mail("In " + std::to_string(i))));
  // Equal mails: each row takes a context of its own.
  for (int i = 0; i < 3; ++i) drop.push_back(builder_->AddItem(archive, Mail("Kept")));
  builder_->WriteMailbox();
  Drop(*builder_, drop);
  image_ = builder_->Build();
  Garble(0, 564);
  Run(WriteImage());
  EXPECT_TRUE(session.deepScanRan());
  auto listed = Listed();
  EXPECT_FALSE(listed.count(kRecoveredItemsPath));
  std::sort(listed[kInbox].begin(), listed[kInbox].end());
  EXPECT_EQ(listed[kInbox], (V{"In 0", "In 1", "In 2", "In 3", "In 4", "In 5"}));
  EXPECT_EQ(listed[kTop + "Archive\\"], (V{"Kept", "Kept", "Kept"}));
  // Each row's item is its own, by the NID the row names.
  std::vector<uint32_t> ids;
  for (const FolderRecord* f = session.data().firstFolder(); f; f = f->Next()) {
    for (const ListedItem* m = f->FirstMail(); m; m = m->Next()) ids.push_back(m->nodeId);
  }
  std::sort(ids.begin(), ids.end());
  std::vector<uint32_t> expected(drop.begin() + 1, drop.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(ids, expected);
}

// An intact file whose index no longer names some items, as a client leaves
// it after deleting them: one still named by an old leaf page left after the
// data, one named by none. An edited mail's older version lies there too.
class DeletedItemsTest : public DeepStageTest {
 protected:
  static constexpr uint64_t kOld = 130000000000000000ull;
  static constexpr uint64_t kNew = kOld + 864000000000ull;

  std::unique_ptr<sb::MailboxBuilder> Make(std::vector<uint32_t>& nids) {
    sb::MailboxOptions o = Options(GetParam());
    o.ndb.nodeLeafFill = 4;
    auto mb = std::make_unique<sb::MailboxBuilder>(o);
    const uint32_t inbox = mb->AddFolder(mb->topFolder(), "Inbox");
    const std::byte key[16] = {std::byte{7}, std::byte{1}, std::byte{9}};
    sb::Item edited = Mail("Edited");
    edited.props.Binary(0x300B, ByteSpan(key)).Time(0x3008, kNew);
    sb::Item older = Mail("Edited");
    older.props.Binary(0x300B, ByteSpan(key)).Time(0x3008, kOld);
    nids = {mb->AddItem(inbox, Mail("Kept")), mb->AddItem(inbox, edited), mb->AddItem(inbox, older),
            mb->AddItem(inbox, Mail("Deleted from Inbox")), mb->AddItem(inbox, Mail("Deleted long ago")),
            mb->AddItem(inbox, Mail("Kept"))};
    mb->WriteMailbox();
    return mb;
  }
  void SetUp() override {
    std::vector<uint32_t> nids;
    auto before = Make(nids);  // the index before the last deletion
    Drop(*before, {nids[2], nids[4]});
    const Buffer old = before->Build();
    builder_ = Make(nids);
    Drop(*builder_, {nids[2], nids[3], nids[4]});
    image_ = builder_->Build();
    // The old leaf pages after the data, each signed for its new offset.
    const store::VariantLayout& L = builder_->ndb().variantLayout();
    for (const sb::PageInfo& p : before->ndb().layout().nodePages.front()) {
      image_.resize((image_.size() + L.pageSize - 1) / L.pageSize * L.pageSize);
      const uint64_t at = image_.size();
      image_.insert(image_.end(), old.begin() + static_cast<std::ptrdiff_t>(p.offset),
                    old.begin() + static_cast<std::ptrdiff_t>(p.offset + L.pageSize));
      const uint16_t sig = store::ComputeSig(at, p.bid);
      std::memcpy(image_.data() + at + L.pageTrailerAt() + 2, &sig, 2);
    }
  }
};

TEST_P(DeletedItemsTest, DeepScanOfAnIntactFileListsDeletedItemsBelowTheirOwnFolder) {
  const std::string path = WriteImage();
  session.deepScan = DeepScanChoice::Never;
  Run(path);
  EXPECT_FALSE(session.damageFound());
  const auto normal = Listed();
  EXPECT_EQ(normal.at(kInbox), (V{"Kept", "Edited", "Kept"}));

  session.DiscardRecovery();
  session.deepScan = DeepScanChoice::Always;
  Run(path);
  EXPECT_TRUE(session.deepScanRan());
  auto listed = Listed();
  const std::string deleted = kRecoveredDeletedItemsPath;
  EXPECT_EQ(listed[kInbox], normal.at(kInbox));
  // The older version of the edited mail is no deleted item.
  EXPECT_EQ(listed[deleted + "Inbox\\"], V{"Deleted from Inbox"});
  EXPECT_EQ(listed[deleted], V{"Deleted long ago"});
  EXPECT_FALSE(listed.count(kRecoveredItemsPath));
  EXPECT_EQ(session.outcome(), RunOutcome::Finished);
}

// The window's command: the deep scan after a finished recovery, into the
// same lists; a second run adds nothing.
TEST_P(DeletedItemsTest, SearchForDeletedItemsAddsToTheFinishedRecovery) {
  Run(WriteImage());
  EXPECT_FALSE(session.deepScanRan());
  const size_t folders = FolderPaths().size();
  session.StartDeepScan();
  session.WaitForWorker();
  EXPECT_TRUE(session.deepScanRan());
  EXPECT_EQ(session.state(), SessionState::Finished);
  EXPECT_EQ(session.deepScanAdded(), 4);  // two folder records, two mails
  EXPECT_EQ(FolderPaths().size(), folders + 2);
  session.StartDeepScan();
  session.WaitForWorker();
  EXPECT_EQ(session.deepScanAdded(), 0);
  EXPECT_EQ(FolderPaths().size(), folders + 2);
}

// The name-to-ID map's node lost from the index: the deep scan finds its
// context among the orphans, and readers opened from then on use it. With
// many names its streams lie in subnodes, whose list only the lost node
// named: the scan tries the subnode lists no node names.
TEST_P(DeepStageTest, LostNameMapIsFoundAgain) {
  for (const int extraNames : {0, 600}) {
    SCOPED_TRACE(extraNames);
    sb::MailboxOptions o = Options(GetParam());
    builder_ = std::make_unique<sb::MailboxBuilder>(o);
    sb::ContactFields c;
    c.displayName = "Ann Lee";
    c.fileUnder = "Lee, Ann";
    builder_->AddItem(builder_->topFolder(), sb::MakeContact(c));
    for (int i = 0; i < extraNames; ++i) {
      builder_->names().IdFor(sb::PropertyName::Lid(sb::kPsPublicStrings, 0x9000 + i));
    }
    builder_->WriteMailbox();
    Drop(*builder_, {0x61});
    image_ = builder_->Build();
    session.deepScan = DeepScanChoice::Always;
    Run(WriteImage());
    EXPECT_TRUE(session.data().names.empty());
    ASSERT_TRUE(session.deepScanRan());
    EXPECT_FALSE(session.data().Names()->empty());
    const ListedItem* contact = session.data().contacts().head();
    ASSERT_NE(contact, nullptr);
    auto reader = content::ItemReader::Open(session.sessionPath(), std::atomic_load(&session.data().storeData),
                                            session.data().Names());
    ASSERT_TRUE(reader);
    const auto item = reader->Read(contact->nodeId, {});
    ASSERT_TRUE(item);
    ASSERT_TRUE(item->contact);
    EXPECT_EQ(item->contact->fileUnder, "Lee, Ann");
    session.DiscardRecovery();
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, DeletedItemsTest,
                         ::testing::Values(sb::Format::Ansi14, sb::Format::Unicode23, sb::Format::Unicode4K),
                         [](const auto& info) {
                           return info.param == sb::Format::Ansi14      ? std::string("Ansi")
                                  : info.param == sb::Format::Unicode23 ? std::string("Unicode")
                                                                        : std::string("Unicode4K");
                         });

INSTANTIATE_TEST_SUITE_P(Variants, DeepStageTest,
                         ::testing::Values(sb::Format::Ansi14, sb::Format::Unicode23, sb::Format::Unicode4K),
                         [](const auto& info) {
                           return info.param == sb::Format::Ansi14      ? std::string("Ansi")
                                  : info.param == sb::Format::Unicode23 ? std::string("Unicode")
                                                                        : std::string("Unicode4K");
                         });

}  // namespace
}  // namespace velmorix::session::testing
