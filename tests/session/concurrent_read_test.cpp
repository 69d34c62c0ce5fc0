// The item lists are read on another thread while the worker appends to them.
// Built with -DVELMORIX_TSAN=ON this test proves the lists free of data races.
#include <gtest/gtest.h>

#include <thread>

#include "session_fixture.h"

namespace velmorix::session::testing {
namespace {

TEST(ConcurrentRead, ListsReadDuringTheScanGrowAndEndComplete) {
  constexpr int kFolders = 8;
  constexpr int kMailsPerFolder = 40;
  sb::MailboxBuilder mb(Options(sb::Format::Unicode23));
  std::vector<std::string> paths = {"Personal Folders\\", "Personal Folders\\Contacts\\",
                                    "Personal Folders\\Tasks\\", "Personal Folders\\Journal\\",
                                    "Personal Folders\\Notes\\", "Personal Folders\\Calendar\\"};
  for (int f = 0; f < kFolders; ++f) {
    const std::string name = "Folder " + std::to_string(f);
    paths.push_back("Personal Folders\\" + name + "\\");
    const uint32_t folder = mb.AddFolder(mb.topFolder(), name);
    for (int m = 0; m < kMailsPerFolder; ++m) {
      mb.AddItem(folder, Mail("mail " + std::to_string(m)));
      if (m % 8 == 0) {
        sb::ContactFields cf;
        cf.fileUnder = "contact " + std::to_string(m);
        mb.AddItem(folder, sb::MakeContact(cf));
        mb.AddItem(folder, sb::MakeTask({"task", "", 0, 0, false}));
        mb.AddItem(folder, sb::MakeStickyNote({"note", "body", 3}));
        mb.AddItem(folder, sb::MakeJournal({"journal", "", "Call"}));
        mb.AddItem(folder, sb::MakeAppointment({"meeting", "room", ""}));
      }
    }
    mb.AddItem(mb.topFolder(), Mail("top"));
  }
  TempFile file(TempPath("concurrent"));
  mb.Write(file.path());

  RecordingView view;
  RecoverySession session(view);
  std::atomic<bool> done{false};
  session.onWorkerFinished = [&] { done.store(true); };

  size_t reads = 0;
  size_t lastTotal = 0;
  bool shrank = false;
  auto readAll = [&] {
    size_t total = 0;
    for (const FolderRecord* f = session.data().firstFolder(); f; f = f->Next()) {
      EXPECT_EQ(f->folderPath.rfind("Personal Folders\\Folder ", 0), 0u);
      // Every entry reached is complete: its texts and node are written.
      for (const ListedItem* m = f->FirstMail(); m; m = NextListed(m)) {
        EXPECT_EQ(m->Text(1).substr(0, 5), "mail ");
        EXPECT_NE(m->nodeId, 0u);
        ++total;
      }
      for (const ListedItem* p = f->FirstPlaced(); p; p = p->NextPlaced()) {
        EXPECT_NE(p->kind, ColumnSet::Mail);
        EXPECT_FALSE(p->Text(p->kind == ColumnSet::Contacts ? 1 : 0).empty());
        ++total;
      }
    }
    for (const auto& p : paths) {
      for (const auto& row : FillItemList(session.data(), p).rows) total += row.cells.size();
    }
    return total;
  };

  session.StartRecovery(file.path());
  while (!done.load()) {
    const size_t total = readAll();
    shrank = shrank || total < lastTotal;
    lastTotal = total;
    ++reads;
  }
  session.WaitForWorker();
  EXPECT_FALSE(shrank);
  EXPECT_GT(reads, 0u);

  EXPECT_EQ(session.outcome(), RunOutcome::Finished);
  EXPECT_EQ(session.mailCount(), kFolders * (kMailsPerFolder + 1));
  int folders = 0;
  for (const FolderRecord* f = session.data().firstFolder(); f; f = f->Next()) ++folders;
  EXPECT_EQ(folders, kFolders);
  const size_t perList = kFolders * (kMailsPerFolder / 8);
  EXPECT_EQ(FillItemList(session.data(), "Personal Folders\\Contacts\\").rows.size(), perList);
  EXPECT_EQ(FillItemList(session.data(), "Personal Folders\\Tasks\\").rows.size(), perList);
  EXPECT_EQ(FillItemList(session.data(), "Personal Folders\\Notes\\").rows.size(), perList);
  EXPECT_EQ(FillItemList(session.data(), "Personal Folders\\Journal\\").rows.size(), perList);
  EXPECT_EQ(FillItemList(session.data(), "Personal Folders\\Calendar\\").rows.size(), perList);
  EXPECT_EQ(FillItemList(session.data(), "Personal Folders\\").rows.size(), size_t{kFolders});
}

}  // namespace
}  // namespace velmorix::session::testing
