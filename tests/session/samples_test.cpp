// The real sample stores: every mail, contact, calendar entry, task, note and
// journal entry that the scan builds appears in at least one list.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <iostream>
#include <set>

#include "items/items.h"
#include "samples.h"
#include "session_fixture.h"

namespace velmorix::session::testing {
namespace {

namespace fs = std::filesystem;

struct Listable {
  std::set<uint32_t> nodes;  // should be listed
  size_t messageNodes = 0;   // normal messages below a folder
  size_t unreadable = 0;     // of them, without a record
  size_t freeBusy = 0;       // of them, free/busy records (not listed)
};

// The nodes below the top folder whose items should be listed: every normal
// message whose record can be built (free/busy records aside), and whatever
// else the scan builds as a mail, task, note, journal entry, appointment or
// contact.
Listable ListableItems(const std::string& path) {
  Listable out;
  store::Store s;
  EXPECT_EQ(store::OpenStore(s, path), 0) << path;
  if (!s.isOpen() || store::LoadIndexes(s) != 0 || !s.data) return out;
  items::NamedPropertyMap names;
  items::LoadNamedPropertyMap(s, names);
  items::ItemContext ctx(s, &names);
  auto root = items::BuildItem(ctx, s.data->nodes.head());
  if (!root || !root->storeInfo) return out;
  const auto topNid = ByteView(root->storeInfo->subtreeEntryId.bytes()).U32(20).value_or(0x2142);
  const store::NodeEntry* top = store::FindNode(s, topNid);
  std::function<void(const store::NodeEntry*)> walk = [&](const store::NodeEntry* n) {
    for (; n; n = n->nextSibling) {
      const bool message = (n->nid & 0x1F) == 0x04;
      out.messageNodes += message;
      auto r = n->dataBlock ? items::BuildItem(ctx, n) : nullptr;
      if (!r) {
        out.unreadable += message;
        continue;
      }
      if (r->folderCounts) {
        walk(n->firstChild);
        continue;
      }
      const std::string_view cls = r->messageClass.view().substr(0, r->messageClass.view().find('\0'));
      if (message && cls.rfind("IPM.Microsoft.ScheduleData.FreeBusy", 0) == 0) {
        ++out.freeBusy;
        continue;
      }
      const bool listable = message || (cls == "IPM.Task" && r->details) || cls == "IPM.StickyNote" ||
                            r->kind == items::kKindJournal || r->kind == items::kKindAppointment ||
                            (r->kind == items::kKindMail && r->details);
      if (listable) out.nodes.insert(n->nid);
    }
  };
  if (top) walk(top->firstChild);
  return out;
}

TEST(Samples, EveryItemTheScanBuildsIsListedSomewhere) {
  const fs::path dir = ::velmorix::test::SamplesDir();
  if (!fs::is_directory(dir)) {
    GTEST_SKIP() << "samples not found in " << dir << " (set VELMORIX_SAMPLES to the samples folder)";
  }
  size_t checked = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string ext = entry.path().extension().string();
    if (ext != ".pst" && ext != ".ost") continue;
    const std::string copy = ::velmorix::test::SamplePath(entry.path().filename().string());
    RecordingView view;
    RecoverySession session(view);
    session.StartRecovery(copy);
    session.WaitForWorker();
    ASSERT_NE(session.outcome(), RunOutcome::OpenFailed) << entry.path();
    std::set<uint32_t> listed;
    for (const TreeItem* t : view.tree().PreOrder()) {
      for (const auto& row : FillItemList(session.data(), FolderTreeModel::ItemPath(t)).rows) {
        listed.insert(row.nodeId);
      }
    }
    const Listable listable = ListableItems(copy);
    size_t missing = 0;
    for (uint32_t nid : listable.nodes) {
      EXPECT_TRUE(listed.count(nid)) << entry.path().filename() << " node 0x" << std::hex << nid;
      missing += listed.count(nid) == 0;
      ++checked;
    }
    std::cout << entry.path().filename().string() << ": message nodes " << listable.messageNodes
              << ", listed " << listable.nodes.size() - missing << ", unreadable " << listable.unreadable
              << ", free/busy " << listable.freeBusy << "\n";
  }
  EXPECT_GT(checked, 400u);
}

TEST(Samples, SampleContactsShowsItsContacts) {
  REQUIRE_SAMPLE("SampleContacts.pst");
  RecordingView view;
  RecoverySession session(view);
  session.StartRecovery(::velmorix::test::SamplePath("SampleContacts.pst"));
  session.WaitForWorker();
  const ListContent list = FillItemList(session.data(), "Personal Folders\\Contacts\\");
  EXPECT_EQ(list.columnSet, ColumnSet::Contacts);
  EXPECT_EQ(list.rows.size(), 6u);
}

}  // namespace
}  // namespace velmorix::session::testing
