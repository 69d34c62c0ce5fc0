// Headless recoveries of damaged variants of builder mailboxes: no crash, no
// hang, and every mail the damage left intact is listed in its folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <unistd.h>

#include "damage/damage.h"
#include "session/folder_list.h"
#include "session/recovery_view.h"
#include "session/session.h"
#include "session/session_data.h"

namespace velmorix::damage {
namespace {

using namespace std::chrono_literals;
namespace ss = velmorix::session;

#ifdef VELMORIX_DAMAGE_SANITIZED
constexpr int kVariantsPerKind = 5;  // per format: 105 variants in all
constexpr auto kTimeBound = 30s;
#else
constexpr int kVariantsPerKind = 29;  // per format: 203 variants, 609 over the three formats
constexpr auto kTimeBound = 5s;
#endif
// With the deep scan, at least this share of the mails whose own blocks are
// untouched is listed.
constexpr double kDeepTarget = 0.98;
constexpr int kMails = 300;

// A view that only keeps what the checks need.
class QuietView : public ss::RecoveryView {
 public:
  void SetControlText(int, const std::string&) override {}
  void ShowControl(int, bool) override {}
  void EnableControl(int, bool) override {}
  void SetProgressRange(int, int) override {}
  void SetProgressPosition(int) override {}
  void StartProgressTimer() override {}
  void StopProgressTimer() override {}
  void ApplyFileSelectionLayout() override {}
  void ApplyScanningLayout() override {}
  void ClearViews() override {}
  void InsertFolderPath(const std::string&) override {}
  ss::MessageAnswer ShowMessage(const ss::Message& m) override {
    std::lock_guard lock(mutex);
    messages.push_back(m.text);
    return m.buttons == ss::MessageButtons::Ok ? ss::MessageAnswer::Ok : ss::MessageAnswer::No;
  }
  std::mutex mutex;
  std::vector<std::string> messages;
};

std::string TempPath(const std::string& stem) {
  static std::atomic<int> counter{0};
  return (std::filesystem::path(::testing::TempDir()) /
          (stem + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".pst"))
      .string();
}

// What one recovery listed: subjects by folder path, and each subject's
// rows anywhere with their senders.
struct Recovered {
  std::map<std::string, std::set<std::string>> subjects;
  std::map<std::string, std::vector<std::string>> senders;  // by subject, one per row
  ss::RunOutcome outcome = ss::RunOutcome::None;
  std::vector<std::string> messages;
  bool finishedInTime = true;
  bool damageFound = false;

  bool Has(const MailSpec& m) const {
    auto it = subjects.find(m.folderPath);
    return it != subjects.end() && it->second.count(m.subject) != 0;
  }
  // Rows listing the mail anywhere.
  size_t Rows(const MailSpec& m) const {
    auto it = senders.find(m.subject);
    return it == senders.end() ? 0 : it->second.size();
  }
};

// Writes `image`, recovers it on the session's worker thread and waits at
// most kTimeBound for the end. A run that overstays is stopped; one that
// does not stop either ends the test program.
Recovered Recover(const Buffer& image, const std::vector<MailInfo>& mails,
                  ss::DeepScanChoice deep = ss::DeepScanChoice::Never) {
  const std::string path = TempPath("damage");
  {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  }
  Recovered r;
  QuietView view;
  {
    ss::RecoverySession session(view);
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    session.onWorkerFinished = [&] {
      std::lock_guard lock(m);
      done = true;
      cv.notify_all();
    };
    session.deepScan = deep;
    session.StartRecovery(path);
    {
      std::unique_lock lock(m);
      if (!cv.wait_for(lock, kTimeBound, [&] { return done; })) {
        r.finishedInTime = false;
        session.stopRequest().store(true);
        if (!cv.wait_for(lock, 30s, [&] { return done; })) {
          std::fprintf(stderr, "recovery of %s neither ended nor stopped\n", path.c_str());
          std::abort();
        }
      }
    }
    session.WaitForWorker();
    r.outcome = session.outcome();
    r.damageFound = session.damageFound();
    std::set<std::string> paths;
    for (const MailInfo& mail : mails) paths.insert(mail.spec.folderPath);
    for (const std::string& p : paths) {
      const ss::ListContent list = ss::FillItemList(session.data(), p);
      if (!list.changes || list.columnSet != ss::ColumnSet::Mail) continue;
      for (const ss::ListRow& row : list.rows) {
        if (row.cells.size() > 1) r.subjects[p].insert(row.cells[1]);
      }
    }
    auto take = [&](const ss::FolderRecord& f) {
      for (const ss::ListedItem* m = f.FirstMail(); m; m = m->Next()) {
        r.senders[std::string(m->Text(1))].emplace_back(m->Text(0));
      }
    };
    take(session.data().topFolder());
    for (const ss::FolderRecord* f = session.data().firstFolder(); f; f = f->Next()) take(*f);
  }
  r.messages = view.messages;
  std::error_code ec;
  if (r.finishedInTime) std::filesystem::remove(path, ec);  // kept for inspection otherwise
  return r;
}

const Mailbox& SampleMailbox(sb::Format format) {
  static const Mailbox unicode = BuildSampleMailbox(sb::Format::Unicode23, kMails, 7);
  static const Mailbox ansi = BuildSampleMailbox(sb::Format::Ansi14, kMails, 7);
  static const Mailbox unicode4k = BuildSampleMailbox(sb::Format::Unicode4K, kMails, 7);
  return format == sb::Format::Unicode23 ? unicode : format == sb::Format::Ansi14 ? ansi : unicode4k;
}

const char* FormatName(sb::Format f) {
  return f == sb::Format::Unicode23 ? "Unicode" : f == sb::Format::Ansi14 ? "ANSI" : "Unicode4K";
}

class DamageTest : public ::testing::TestWithParam<sb::Format> {};

TEST_P(DamageTest, PristineMailboxRecoversEveryMailIntoItsFolder) {
  const Mailbox& mb = SampleMailbox(GetParam());
  ASSERT_EQ(mb.mails.size(), static_cast<size_t>(kMails));
  const Variant none = MakeVariant(mb, DamageKind::ZeroRegion, 1, 0.0);
  EXPECT_TRUE(none.changed.empty());
  EXPECT_EQ(std::count(none.intact.begin(), none.intact.end(), true), kMails);

  const Recovered r = Recover(mb.image, mb.mails);
  EXPECT_EQ(r.outcome, ss::RunOutcome::Finished);
  EXPECT_TRUE(r.messages.empty());
  for (const MailInfo& m : mb.mails) EXPECT_TRUE(r.Has(m.spec)) << m.spec.folderPath << m.spec.subject;
  // Mails sit in nested folders and in the top folder itself.
  EXPECT_TRUE(r.subjects.count("Personal Folders\\"));
  EXPECT_TRUE(r.subjects.count("Personal Folders\\Archive\\2023\\Q2\\"));
}

// The intact set must follow the real dependencies: damage that every mail
// depends on leaves none intact, damage to one mail's own block only that one.
TEST_P(DamageTest, IntactMailsFollowWhatTheDamageTouched) {
  const Mailbox& mb = SampleMailbox(GetParam());
  const auto intactCount = [](const Variant& v) {
    return std::count(v.intact.begin(), v.intact.end(), true);
  };

  // Every mail depends on the header and on the root pages of both trees.
  Buffer flipped = mb.image;
  flipped[200] ^= std::byte{1};
  EXPECT_TRUE(Overlaps(mb.mails[5].dependencies, ChangedRanges(mb.image, flipped)));

  const auto rootOffset = [&](const sb::PageInfo& root) {
    Buffer b = mb.image;
    b[root.offset + 3] ^= std::byte{0xFF};
    return ChangedRanges(mb.image, b);
  };
  for (const auto& ranges : {rootOffset(mb.layout.BlockRootPage()), rootOffset(mb.layout.NodeRootPage())}) {
    for (const MailInfo& m : mb.mails) ASSERT_TRUE(Overlaps(m.dependencies, ranges));
  }

  // Cutting off the tail padding changes no byte any mail depends on.
  const Variant tail = MakeVariant(mb, DamageKind::Cut, 1,
                                   1.0 - 512.0 / static_cast<double>(mb.image.size()));
  EXPECT_EQ(intactCount(tail), kMails);
  EXPECT_EQ(tail.image.size(), mb.image.size() - 512);

  // One data block of a mail: exactly the mails depending on it are lost,
  // and the recovery still lists every other mail.
  const Variant block = MakeVariant(mb, DamageKind::DataBlock, 3, 0.3);
  const auto lost = kMails - intactCount(block);
  EXPECT_GE(lost, 1);
  EXPECT_LE(lost, 2);
  const Recovered r = Recover(block.image, mb.mails);
  for (size_t i = 0; i < mb.mails.size(); ++i) {
    if (block.intact[i]) {
      EXPECT_TRUE(r.Has(mb.mails[i].spec)) << mb.mails[i].spec.subject;
    }
  }
}

// Found by the sweep: the first intermediate page below the block index root
// overwritten made the loader take the root for a leaf, so no block was
// found and the whole store was lost. Only that page's subtree may be lost.
TEST_P(DamageTest, DamagedFirstBlockIndexPageBelowTheRootLosesOnlyItsSubtree) {
  const Mailbox& mb = SampleMailbox(GetParam());
  const auto& levels = mb.layout.blockPages;
  ASSERT_GE(levels.size(), 3u);
  for (size_t level = 0; level + 1 < levels.size(); ++level) {
    SCOPED_TRACE("block index level " + std::to_string(level));
    Buffer image = mb.image;
    const uint64_t first = levels[level].front().offset;
    for (uint64_t i = 0; i < 512; ++i) image[first + i] = static_cast<std::byte>(0xA5 ^ i);
    const auto changed = ChangedRanges(mb.image, image);
    const Recovered r = Recover(image, mb.mails);
    size_t intact = 0;
    for (const MailInfo& m : mb.mails) {
      if (Overlaps(m.dependencies, changed)) continue;
      ++intact;
      EXPECT_TRUE(r.Has(m.spec)) << m.spec.subject;
    }
    EXPECT_GT(intact, mb.mails.size() / 2);
  }
}

TEST(DamageRanges, ChangedRangesCoalesceAndOverlap) {
  Buffer a(100, std::byte{0});
  Buffer b = a;
  b[10] = std::byte{1};
  b[11] = std::byte{1};
  b[13] = std::byte{1};
  b.resize(90);
  EXPECT_EQ(ChangedRanges(a, b), (std::vector<Range>{{10, 12}, {13, 14}, {90, 100}}));
  EXPECT_TRUE(ChangedRanges(a, a).empty());
  EXPECT_EQ(Coalesce({{5, 9}, {0, 3}, {3, 4}, {8, 12}, {20, 20}}), (std::vector<Range>{{0, 4}, {5, 12}}));
  EXPECT_TRUE(Overlaps({{0, 4}, {10, 12}}, {{11, 30}}));
  EXPECT_FALSE(Overlaps({{0, 4}, {10, 12}}, {{4, 10}, {12, 13}}));
}

struct KindStats {
  long variants = 0;
  long mails = 0;
  long intact = 0;        // nothing the mail depends on changed
  long own = 0;           // its own property-context blocks unchanged
  long normal = 0;        // listed by the normal recovery, in its folder
  long normalIntact = 0;
  long deep = 0;          // listed with the deep scan, anywhere
  long deepOwn = 0;       // of `own`, listed once with its sender
};

double Share(long part, long whole) { return whole ? static_cast<double>(part) / static_cast<double>(whole) : 1.0; }

// Each variant is recovered twice: as the window does without a deep scan,
// and with one. The normal recovery lists every intact mail in its folder;
// the deep scan keeps all of those where they were and lists at least 98% of
// the mails whose own blocks are untouched, each once, with its sender.
TEST_P(DamageTest, EveryIntactMailSurvivesDamageOfEachKind) {
  const Mailbox& mb = SampleMailbox(GetParam());
  std::map<DamageKind, KindStats> stats;
  uint64_t seed = GetParam() == sb::Format::Unicode23 ? 1000 : GetParam() == sb::Format::Ansi14 ? 5000 : 9000;
  // Longer local sweeps: VELMORIX_DAMAGE_VARIANTS=N variants per kind and format.
  int perKind = kVariantsPerKind;
  if (const char* env = std::getenv("VELMORIX_DAMAGE_VARIANTS")) perKind = std::max(1, std::atoi(env));
  for (DamageKind kind : kAllKinds) {
    for (int k = 0; k < perKind; ++k) {
      const Variant v = MakeVariant(mb, kind, ++seed);
      SCOPED_TRACE(std::string(KindName(kind)) + " seed " + std::to_string(seed) + ": " + v.description);
      const Recovered normal = Recover(v.image, mb.mails);
      const Recovered deep = Recover(v.image, mb.mails, ss::DeepScanChoice::Always);
      EXPECT_TRUE(normal.finishedInTime && deep.finishedInTime) << "recovery overstayed its time bound";
      EXPECT_NE(normal.outcome, ss::RunOutcome::Aborted);
      EXPECT_EQ(deep.outcome, ss::RunOutcome::Finished);
      KindStats& s = stats[kind];
      ++s.variants;
      int missing = 0, reported = 0;
      for (size_t i = 0; i < mb.mails.size(); ++i) {
        const MailSpec& m = mb.mails[i].spec;
        const bool found = normal.Has(m);
        const size_t rows = deep.Rows(m);
        // Damaged index entries can make the normal recovery list one mail's
        // properties under two nodes; the deep scan adds no further row.
        const size_t once = std::max<size_t>(1, normal.Rows(m));
        ++s.mails;
        s.normal += found;
        s.deep += rows > 0;
        if (rows > once && ++reported <= 3) {
          ADD_FAILURE() << "listed " << rows << " times, " << normal.Rows(m) << " without the deep scan: " << m.subject;
        }
        if (found && !deep.Has(m) && ++reported <= 3) ADD_FAILURE() << "lost by the deep scan: " << m.subject;
        if (v.intact[i]) {
          ++s.intact;
          s.normalIntact += found;
          if (!found && ++missing <= 3) {
            ADD_FAILURE() << "intact mail not listed: " << m.folderPath << " " << m.subject;
          }
        }
        if (v.ownIntact[i]) {
          ++s.own;
          const bool right = rows >= 1 && rows <= once && deep.senders.at(m.subject).front() == m.sender;
          s.deepOwn += right;
        }
      }
      EXPECT_EQ(missing, 0);
      EXPECT_EQ(reported, 0);
    }
  }
  std::printf("%s mailbox, %d mails, %d variants per kind\n"
              "  %-14s %9s %9s %16s %16s %14s\n",
              FormatName(GetParam()), kMails, perKind, "kind", "intact", "own", "normal/intact", "deep/own",
              "normal, deep");
  for (const auto& [kind, s] : stats) {
    std::printf("  %-14s %9ld %9ld %7ld (%5.1f%%) %7ld (%5.1f%%) %5.1f%% %5.1f%%\n", KindName(kind), s.intact,
                s.own, s.normalIntact, 100 * Share(s.normalIntact, s.intact), s.deepOwn,
                100 * Share(s.deepOwn, s.own), 100 * Share(s.normal, s.mails), 100 * Share(s.deep, s.mails));
    EXPECT_GE(Share(s.deepOwn, s.own), kDeepTarget) << KindName(kind);
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, DamageTest,
                         ::testing::Values(sb::Format::Unicode23, sb::Format::Ansi14, sb::Format::Unicode4K),
                         [](const auto& info) { return std::string(FormatName(info.param)); });

}  // namespace
}  // namespace velmorix::damage
