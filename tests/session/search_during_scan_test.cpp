// A body search on a thread of its own while the recovery still lists items,
// as the window's background search runs: an item reader over the running
// recovery's indexes and name map, rows taken from the growing lists. Built
// with -DVELMORIX_TSAN=ON this test proves the two free of data races.
#include <gtest/gtest.h>

#include <thread>

#include "content/item_reader.h"
#include "search/content_search.h"
#include "session_fixture.h"

namespace velmorix::session::testing {
namespace {

TEST(SearchDuringScan, BodiesAndAttachmentNamesAreSearchedBesideTheRecovery) {
  constexpr int kFolders = 10;
  constexpr int kMailsPerFolder = 80;
  sb::MailboxBuilder mb(Options(sb::Format::Unicode23));
  std::vector<std::string> paths;
  size_t expected = 0;
  for (int f = 0; f < kFolders; ++f) {
    const std::string name = "Folder " + std::to_string(f);
    paths.push_back("Personal Folders\\" + name + "\\");
    const uint32_t folder = mb.AddFolder(mb.topFolder(), name);
    for (int m = 0; m < kMailsPerFolder; ++m) {
      sb::MailFields fields;
      fields.subject = "mail " + std::to_string(m);
      fields.senderName = "Sender";
      fields.body = m % 5 == 0 ? "Gr\xC3\xBC\xC3\x9F" "e an Herrn M\xC3\x9CLLER" : "nothing to see";
      fields.bodyInSubnode = m % 2 == 1;
      sb::Item item = sb::MakeMail(fields);
      if (m % 7 == 3) {
        sb::Attachment a;
        a.fileName = "an m\xC3\xBCller.txt";
        a.data = Buffer(64, std::byte{'x'});
        item.attachments.push_back(std::move(a));
      }
      expected += m % 5 == 0 || m % 7 == 3 ? 1 : 0;
      mb.AddItem(folder, item);
    }
  }
  TempFile file(TempPath("search-during-scan"));
  mb.Write(file.path());

  RecordingView view;
  RecoverySession session(view);
  std::atomic<bool> done{false};
  session.onWorkerFinished = [&] { done.store(true); };

  search::Query query;
  query.text = "M\xC3\xBCller";
  query.fields = search::kBody | search::kAttachments;
  const search::Matcher matcher(query);
  // One pass over the rows listed so far: how many of them match.
  auto pass = [&](content::ItemReader& reader, size_t& rows) {
    size_t found = 0;
    rows = 0;
    for (const std::string& path : paths) {
      std::vector<uint32_t> ids;
      FillItemList(session.data(), path, [&](const RowView& row) { ids.push_back(row.nodeId); });
      for (uint32_t id : ids) found += search::ContentMatches(matcher, reader, id) ? 1 : 0;
      rows += ids.size();
    }
    return found;
  };

  session.StartRecovery(file.path());
  size_t passes = 0;
  size_t foundLast = 0, rowsLast = 0;
  bool overcounted = false;
  std::thread searcher([&] {
    // The reader opens once the first row is listed, as the window's does.
    std::unique_ptr<content::ItemReader> reader;
    while (!reader) {
      const bool finished = done.load();
      const std::shared_ptr<store::StoreData> indexes = std::atomic_load(&session.data().storeData);
      size_t listed = 0;
      for (const FolderRecord* f = session.data().firstFolder(); f && listed == 0; f = f->Next()) {
        listed += f->FirstMail() != nullptr ? 1 : 0;
      }
      if (indexes && listed > 0) reader = content::ItemReader::Open(file.path(), indexes, session.data().Names());
      if (!reader && finished) return;
      std::this_thread::yield();
    }
    bool last = false;
    while (!last) {
      last = done.load();
      size_t rows = 0;
      const size_t found = pass(*reader, rows);
      overcounted = overcounted || found > expected || rows > size_t{kFolders * kMailsPerFolder};
      foundLast = found;
      rowsLast = rows;
      ++passes;
    }
  });
  searcher.join();
  session.WaitForWorker();

  EXPECT_EQ(session.outcome(), RunOutcome::Finished);
  EXPECT_GT(passes, 0u);
  EXPECT_FALSE(overcounted);
  // The pass that began after the recovery ended saw every row.
  EXPECT_EQ(rowsLast, size_t{kFolders * kMailsPerFolder});
  EXPECT_EQ(foundLast, expected);
}

}  // namespace
}  // namespace velmorix::session::testing
