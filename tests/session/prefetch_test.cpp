// Items built ahead of the walk on helper threads: the recovery is the same
// as one built on the walk's thread alone.
#include <gtest/gtest.h>

#include "session_fixture.h"

namespace velmorix::session::testing {
namespace {

using V = std::vector<std::string>;

// Every tree path with its list, as text.
V Listing(const RecordingView& view, const RecoverySession& session) {
  V out;
  for (const TreeItem* t : view.tree().PreOrder()) {
    const std::string path = FolderTreeModel::ItemPath(t);
    const ListContent list = FillItemList(session.data(), path);
    out.push_back(path + " " + ColumnSetName(list.columnSet) + (list.changes ? "" : " unchanged"));
    for (const auto& row : list.rows) {
      std::string line = std::to_string(row.picture) + " " + std::to_string(row.nodeId);
      for (const auto& cell : row.cells) line += "|" + cell;
      out.push_back(line);
    }
  }
  return out;
}

TEST(ItemPrefetch, GivesTheSameRecoveryWithAndWithoutHelpers) {
  sb::MailboxBuilder mb(Options(sb::Format::Unicode23));
  uint32_t lastMail = 0;
  for (int f = 0; f < 4; ++f) {
    const uint32_t folder = mb.AddFolder(mb.topFolder(), "Folder " + std::to_string(f));
    const uint32_t sub = mb.AddFolder(folder, "Sub");
    // More items than the helpers may build ahead of the walk.
    for (int m = 0; m < 200; ++m) {
      lastMail = mb.AddItem(m % 3 ? folder : sub, Mail("m" + std::to_string(m)));
    }
    sb::ContactFields c;
    c.fileUnder = "contact " + std::to_string(f);
    mb.AddItem(sub, sb::MakeContact(c));
    // A mail with nodes below it in the node tree: planned as if it were a
    // folder, and passed over by the walk.
    const uint32_t below = 0x7F0004 + (static_cast<uint32_t>(f) << 8);
    const uint32_t junk = mb.ndb().AddDataBlock(Buffer(40, std::byte{7}));
    mb.ndb().AddNode(below, junk, 0, lastMail);
    mb.ndb().AddNode(below + 0x20, junk, 0, below);
  }
  mb.AddItem(mb.topFolder(), Mail("top"));
  TempFile file(TempPath("prefetch"));
  mb.Write(file.path());

  V reference;
  for (int helpers : {0, 1, 3}) {
    SCOPED_TRACE(helpers);
    RecordingView view;
    RecoverySession session(view);
    session.scanHelpers = helpers;
    session.StartRecovery(file.path());
    session.WaitForWorker();
    ASSERT_EQ(session.outcome(), RunOutcome::Finished);
    EXPECT_EQ(session.mailCount(), 801);
    const V listing = Listing(view, session);
    if (reference.empty()) {
      reference = listing;
    } else {
      EXPECT_EQ(listing, reference);
    }
  }
}

TEST(ItemPrefetch, AStoppedScanEndsWithItsHelpers) {
  sb::MailboxBuilder mb(Options(sb::Format::Ansi14));
  const uint32_t folder = mb.AddFolder(mb.topFolder(), "Inbox");
  for (int m = 0; m < 600; ++m) mb.AddItem(folder, Mail("m" + std::to_string(m)));
  TempFile file(TempPath("prefetch-stop"));
  mb.Write(file.path());

  RecordingView view;
  RecoverySession session(view);
  session.scanHelpers = 2;
  int nodes = 0;
  session.stageProbe = [&](int stage) {
    if (stage == 5 && ++nodes == 100) session.stopRequest().store(true);
  };
  session.StartRecovery(file.path());
  session.WaitForWorker();
  EXPECT_EQ(session.outcome(), RunOutcome::Stopped);
  // The node being visited when the stop came is still handled.
  EXPECT_EQ(FillItemList(session.data(), "Personal Folders\\Inbox\\").rows.size(), 99u);
}

}  // namespace
}  // namespace velmorix::session::testing
