// Items of the real sample stores.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "items/items.h"
#include "samples.h"

namespace velmorix::items {
namespace {

class SampleStore {
 public:
  explicit SampleStore(const std::string& name) : missing(test::MissingSample(name)) {
    if (!missing.empty()) return;
    const std::string path = test::SamplePath(name);
    if (store::OpenStore(store, path) != 0 || store::LoadIndexes(store) != 0) return;
    mapLoaded = LoadNamedPropertyMap(store, names);
    ok = true;
  }

  // Every node in the tree, depth first from the top-level list.
  void ForEachNode(const std::function<void(const store::NodeEntry*)>& f) const {
    std::function<void(const store::NodeEntry*)> walk = [&](const store::NodeEntry* e) {
      for (; e; e = e->nextSibling) {
        f(e);
        walk(e->firstChild);
      }
    };
    walk(store.data->nodes.head());
  }

  store::Store store;
  NamedPropertyMap names;
  int mapLoaded = 0;
  std::string missing;  // why the sample is not there
  bool ok = false;
};

#define OPEN_OR_SKIP(s)                               \
  if (!(s).missing.empty()) GTEST_SKIP() << (s).missing; \
  ASSERT_TRUE((s).ok) << "the sample does not open"

TEST(OutlookSample, RootItemNamesTheTopFolder) {
  SampleStore s("outlook.pst");
  OPEN_OR_SKIP(s);
  EXPECT_EQ(s.mapLoaded, 1);
  EXPECT_GT(s.names.size(), 0u);
  ItemContext ctx(s.store, &s.names);
  ASSERT_EQ(s.store.data->nodes.head()->nid, 0x21u);
  auto root = BuildItem(ctx, s.store.data->nodes.head());
  ASSERT_TRUE(root);
  ASSERT_TRUE(root->storeInfo);
  ByteView id(root->storeInfo->subtreeEntryId.bytes());
  ASSERT_EQ(id.size(), 24u);
  EXPECT_EQ(*id.U32(20), 0x8022u);
  EXPECT_EQ(root->displayName.view(), "Personal Folders");
}

TEST(OutlookSample, InboxMailAndUnicodeFolderName) {
  SampleStore s("outlook.pst");
  OPEN_OR_SKIP(s);
  ItemContext ctx(s.store, &s.names);
  auto* inboxFolder = store::FindNode(s.store, 0x8142);
  ASSERT_TRUE(inboxFolder);
  auto folder = BuildItem(ctx, inboxFolder);
  ASSERT_TRUE(folder);
  EXPECT_EQ(folder->displayName.view(), "Inbox");
  ASSERT_TRUE(folder->folderCounts);

  auto* mailNode = inboxFolder->firstChild;
  ASSERT_TRUE(mailNode);
  auto mail = BuildItem(ctx, mailNode);
  ASSERT_TRUE(mail);
  EXPECT_EQ(mail->kind, kKindMail);
  ASSERT_TRUE(mail->details);
  ASSERT_TRUE(mail->details->subject);
  EXPECT_EQ(mail->details->subject->text.view(), "Welcome to Microsoft Office Outlook 2003");
  EXPECT_EQ(mail->details->sentRepresentingName.view(), "Outlook 2003 Team");
  EXPECT_EQ(mail->details->displayTo.view(), "New Outlook User");
  EXPECT_GE(mail->attachments.size(), 1u);
  EXPECT_NE(mail->bodyLocator.lastKind, 0);
  // The locator leaves with the item; the context starts the next one empty.
  EXPECT_EQ(ctx.bodyLocator.lastKind, 0);

  bool found = false;
  s.ForEachNode([&](const store::NodeEntry* e) {
    if ((e->nid & 0x1F) != 2) return;
    auto f = BuildItem(ctx, e);
    if (f && f->displayName.view() == "收件箱") found = true;
  });
  EXPECT_TRUE(found);
}

// Every node of a sample builds or is refused without a fault, and the
// messages among them build.
void BuildEveryNode(const std::string& name, int minMails) {
  SampleStore s(name);
  OPEN_OR_SKIP(s);
  ItemContext ctx(s.store, &s.names);
  int mails = 0, messagesRefused = 0;
  s.ForEachNode([&](const store::NodeEntry* e) {
    auto item = BuildItem(ctx, e);
    const bool message = (e->nid & 0x1F) == 4;
    if (message && !item && e->dataBlock) ++messagesRefused;
    if (item && item->kind == kKindMail && item->details) ++mails;
  });
  EXPECT_EQ(messagesRefused, 0);
  EXPECT_GE(mails, minMails);
}

TEST(Samples, TestPstMailsBuildDespiteUnknownTypes) {
  SampleStore s("testPST.pst");
  OPEN_OR_SKIP(s);
  ItemContext ctx(s.store, &s.names);
  int mails = 0;
  s.ForEachNode([&](const store::NodeEntry* e) {
    if ((e->nid & 0x1F) != 4) return;
    auto item = BuildItem(ctx, e);
    ASSERT_TRUE(item) << std::hex << e->nid;
    if (item->kind == kKindMail && item->details && item->details->subject) ++mails;
  });
  EXPECT_GE(mails, 6);
}

TEST(Samples, AnsiStoresDecode) {
  SampleStore s("sample2.pst");
  OPEN_OR_SKIP(s);
  EXPECT_EQ(s.store.variant, store::Variant::Ansi);
  EXPECT_EQ(s.mapLoaded, 1);
  ItemContext ctx(s.store, &s.names);
  int mails = 0;
  s.ForEachNode([&](const store::NodeEntry* e) {
    auto item = BuildItem(ctx, e);
    if (item && item->kind == kKindMail && item->details && item->details->subject &&
        item->details->subject->text.size() > 0) {
      ++mails;
    }
  });
  EXPECT_GE(mails, 1);
  BuildEveryNode("97_outlook_pass12345.pst", 290);
}

TEST(Samples, EncodingsAndWritersDecode) {
  BuildEveryNode("2003_high-encryption_quickquick.pst", 36);
  BuildEveryNode("2003_no-encryption_quickquick.pst", 20);
  BuildEveryNode("Outlook.pst", 14);
  BuildEveryNode("sample.ost", 1);
  BuildEveryNode("SampleContacts.pst", 0);
}

}  // namespace
}  // namespace velmorix::items
