// A reader over a recovery's loaded indexes reads listed items while the
// scan still runs on the worker. Built with -DVELMORIX_TSAN=ON this test
// proves the two free of data races.
#include <gtest/gtest.h>

#include <set>

#include "content_test_util.h"
#include "recording_view.h"
#include "session/session.h"
#include "session/session_data.h"

namespace velmorix::content::testing {
namespace {

TEST(SharedIndexes, ItemsReadWhileTheScanRuns) {
  constexpr int kFolders = 6;
  constexpr int kMails = 60;
  sb::MailboxBuilder mb(Options());
  for (int f = 0; f < kFolders; ++f) {
    const uint32_t folder = mb.AddFolder(mb.topFolder(), "Folder " + std::to_string(f));
    for (int m = 0; m < kMails; ++m) {
      sb::MailFields fields;
      fields.subject = "mail " + std::to_string(f * kMails + m);
      fields.body = std::string(3000, 'b');
      fields.bodyInSubnode = m % 2 == 0;
      sb::Item item = sb::MakeMail(fields);
      item.recipients = {{"To", "to@example.com", 1}};
      if (m % 5 == 0) {
        sb::Attachment a;
        a.fileName = "a.bin";
        a.data = Buffer(9000, std::byte{7});
        item.attachments.push_back(a);
      }
      mb.AddItem(folder, item);
    }
  }
  TempPathGuard file(TempPath("shared"));
  mb.Write(file.path());

  session::testing::RecordingView view;
  session::RecoverySession session(view);
  std::atomic<bool> done{false};
  session.onWorkerFinished = [&] { done.store(true); };
  session.StartRecovery(file.path());

  std::unique_ptr<ItemReader> reader;
  std::set<uint32_t> read;
  auto readListed = [&] {
    for (const session::FolderRecord* f = session.data().firstFolder(); f; f = f->Next()) {
      for (const session::ListedItem* m = f->FirstMail(); m; m = session::NextListed(m)) {
        if (read.count(m->nodeId)) continue;
        if (!reader) {
          // A listed row means the indexes and the name map are loaded.
          reader = ItemReader::Open(file.path(), session.data().storeData, &session.data().names);
          ASSERT_TRUE(reader);
        }
        auto item = reader->Read(m->nodeId);
        ASSERT_TRUE(item) << m->nodeId;
        EXPECT_EQ(item->subject.rfind("mail ", 0), 0u);
        EXPECT_EQ(item->bodies.plain.text.size(), 3000u);
        EXPECT_EQ(item->recipients.size(), 1u);
        for (const Attachment& a : item->attachments) {
          auto bytes = reader->ReadAttachmentBytes(a, 1 << 20);
          ASSERT_TRUE(bytes);
          EXPECT_EQ(bytes->size(), 9000u);
        }
        read.insert(m->nodeId);
      }
    }
  };
  while (!done.load()) readListed();
  session.WaitForWorker();
  readListed();
  EXPECT_EQ(session.outcome(), session::RunOutcome::Finished);
  EXPECT_EQ(read.size(), static_cast<size_t>(kFolders * kMails));
}

}  // namespace
}  // namespace velmorix::content::testing
