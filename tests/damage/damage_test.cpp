// Headless recoveries of damaged variants of builder mailboxes: no crash, no
// hang, every mail the damage left intact listed in its folder, and with the
// deep scan the mails whose own blocks are untouched.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include "damage/damage.h"
#include "damage/measure.h"
#include "session/session.h"

namespace velmorix::damage {
namespace {

using namespace std::chrono_literals;
namespace ss = velmorix::session;

#ifdef VELMORIX_DAMAGE_SANITIZED
constexpr int kVariantsPerKind = 3;  // per format and layout: 126 variants in all
constexpr auto kTimeBound = 30s;
#else
constexpr int kVariantsPerKind = 15;  // per format and layout: 105 variants, 630 in all
constexpr auto kTimeBound = 5s;
#endif
// With the deep scan, at least this share of the mails whose own blocks are
// untouched is listed, each once; and this share of those whose folder's
// context and contents table are untouched too lies in that folder.
constexpr double kDeepTarget = 0.98;
constexpr double kFolderTarget = 0.95;
constexpr int kMails = 300;

Recovered Recover(const Buffer& image, const std::vector<MailInfo>& mails,
                  ss::DeepScanChoice deep = ss::DeepScanChoice::Never) {
  return RecoverImage(image, mails, deep, kTimeBound, ::testing::TempDir());
}

const Mailbox& SampleMailbox(LayoutKind layout, sb::Format format) {
  static std::map<std::pair<LayoutKind, sb::Format>, Mailbox> built;
  auto it = built.find({layout, format});
  if (it == built.end()) it = built.emplace(std::pair{layout, format}, BuildSampleMailbox(format, kMails, 7, layout)).first;
  return it->second;
}

const char* FormatName(sb::Format f) {
  return f == sb::Format::Unicode23 ? "Unicode" : f == sb::Format::Ansi14 ? "ANSI" : "Unicode4K";
}

class DamageTest : public ::testing::TestWithParam<std::tuple<LayoutKind, sb::Format>> {
 protected:
  LayoutKind layout() const { return std::get<0>(GetParam()); }
  sb::Format format() const { return std::get<1>(GetParam()); }
  const Mailbox& mailbox() const { return SampleMailbox(layout(), format()); }
};

TEST_P(DamageTest, PristineMailboxRecoversEveryMailIntoItsFolder) {
  const Mailbox& mb = mailbox();
  ASSERT_EQ(mb.mails.size() + mb.deleted.size(), static_cast<size_t>(kMails));
  const Variant none = MakeVariant(mb, DamageKind::ZeroRegion, 1, 0.0);
  EXPECT_TRUE(none.changed.empty());
  EXPECT_EQ(std::count(none.intact.begin(), none.intact.end(), true), static_cast<long>(mb.mails.size()));

  const Recovered r = Recover(mb.image, mb.mails);
  EXPECT_EQ(r.outcome, ss::RunOutcome::Finished);
  EXPECT_TRUE(r.messages.empty());
  for (const MailInfo& m : mb.mails) EXPECT_TRUE(r.Has(m.spec)) << m.spec.folderPath << m.spec.subject;
  // Mails sit in nested folders and in the top folder itself.
  EXPECT_TRUE(r.subjects.count("Personal Folders\\"));
  EXPECT_TRUE(r.subjects.count("Personal Folders\\Archive\\2023\\Q2\\"));
  // Deleted mails and the older versions of edited ones are not listed.
  for (const auto* list : {&mb.deleted, &mb.stale}) {
    for (const MailInfo& m : *list) EXPECT_EQ(r.Rows(m.spec), 0u) << m.spec.subject;
  }
}

// The client-like layout leaves what clients leave: older index pages and
// folder tables, deleted mails' and older versions' blocks, and the index
// the header names after the data. On that intact file the deep scan lists
// the deleted mails below "Recovered Deleted Items" in their former folder
// and no older version, and the normal recovery's rows stay as they were.
TEST_P(DamageTest, ClientLikeFileOffersItsDeletedMailsAndNoOlderVersion) {
  if (layout() != LayoutKind::ClientLike) GTEST_SKIP() << "client-like layout only";
  const Mailbox& mb = mailbox();
  EXPECT_GE(mb.deleted.size(), 10u);
  EXPECT_GE(mb.stale.size(), 20u);
  EXPECT_GE(mb.layout.stalePages.size(), 20u);
  const uint64_t indexStart = std::min(mb.layout.BlockRootPage().offset, mb.layout.NodeRootPage().offset);
  size_t before = 0;
  for (const MailInfo& m : mb.mails) before += m.ownBlocks.front().end <= indexStart;
  EXPECT_EQ(before, mb.mails.size());

  const Recovered normal = Recover(mb.image, mb.mails);
  const Recovered deep = Recover(mb.image, mb.mails, ss::DeepScanChoice::Always);
  EXPECT_FALSE(deep.damageFound);
  for (const MailInfo& m : mb.mails) {
    EXPECT_EQ(deep.InFolder(m.spec.folderPath, m.spec.subject), normal.InFolder(m.spec.folderPath, m.spec.subject))
        << m.spec.subject;
  }
  size_t placed = 0;
  for (const MailInfo& m : mb.deleted) {
    const std::string former = m.spec.folderPath.substr(std::string_view("Personal Folders\\").size());
    placed += deep.Rows(m.spec) == 1 &&
              deep.InFolder(std::string(ss::kRecoveredDeletedItemsPath) + former, m.spec.subject) == 1;
  }
  EXPECT_GE(Share(static_cast<long>(placed), static_cast<long>(mb.deleted.size())), kDeepTarget);
  for (const MailInfo& m : mb.stale) EXPECT_EQ(deep.Rows(m.spec), 0u) << m.spec.subject;
}

// The intact set must follow the real dependencies: damage that every mail
// depends on leaves none intact, damage to one mail's own block only that one.
TEST_P(DamageTest, IntactMailsFollowWhatTheDamageTouched) {
  const Mailbox& mb = mailbox();
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
  EXPECT_EQ(intactCount(tail), static_cast<long>(mb.mails.size()));
  EXPECT_EQ(tail.image.size(), mb.image.size() - 512);

  // One data block of a mail: exactly the mails depending on it are lost,
  // and the recovery still lists every other mail.
  const Variant block = MakeVariant(mb, DamageKind::DataBlock, 3, 0.3);
  const auto lost = static_cast<long>(mb.mails.size()) - intactCount(block);
  // Client-like files also hold blocks no mail depends on any more.
  if (layout() == LayoutKind::Compact) {
    EXPECT_GE(lost, 1);
  }
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
  const Mailbox& mb = mailbox();
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
    // In a client-like file the store record lies among the first blocks,
    // so that page's subtree is one every mail depends on.
    if (layout() == LayoutKind::Compact) {
      EXPECT_GT(intact, mb.mails.size() / 2);
    }
  }
}

// Found by the sweep: with these bit flips the normal recovery lists one mail
// under a wrong NID in its folder, and the deep scan listed it again under
// the NID its folder's contents table and an older index page still name.
TEST(DamageSweep, MailListedUnderAWrongNidIsNotListedAgain) {
  const Mailbox& mb = SampleMailbox(LayoutKind::ClientLike, sb::Format::Ansi14);
  const Variant v = MakeVariant(mb, DamageKind::BitFlips, 25292);
  const auto mail = std::find_if(mb.mails.begin(), mb.mails.end(),
                                 [](const MailInfo& m) { return m.spec.subject == "Mail 0090 status"; });
  ASSERT_NE(mail, mb.mails.end());
  const Recovered normal = Recover(v.image, mb.mails);
  const Recovered deep = Recover(v.image, mb.mails, ss::DeepScanChoice::Always);
  EXPECT_EQ(normal.InFolder(mail->spec.folderPath, mail->spec.subject), 1u);
  EXPECT_EQ(deep.Rows(mail->spec), 1u);
  EXPECT_EQ(deep.InFolder(mail->spec.folderPath, mail->spec.subject), 1u);
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

// Each variant is recovered twice: as the window does without a deep scan,
// and with one. The normal recovery lists every intact mail in its folder;
// the deep scan keeps all of those where they were and lists at least 98% of
// the mails whose own blocks are untouched, each once, with its sender.
TEST_P(DamageTest, EveryIntactMailSurvivesDamageOfEachKind) {
  const Mailbox& mb = mailbox();
  std::map<DamageKind, KindFigures> stats;
  uint64_t seed = (format() == sb::Format::Unicode23 ? 1000 : format() == sb::Format::Ansi14 ? 5000 : 9000) +
                  (layout() == LayoutKind::Compact ? 0 : 20000);
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
      const std::vector<std::string> problems = Tally(mb, v, normal, deep, stats[kind]);
      for (size_t i = 0; i < problems.size() && i < 3; ++i) ADD_FAILURE() << problems[i];
      EXPECT_TRUE(problems.empty()) << problems.size() << " problems";
    }
  }
  PrintFigures(stdout,
               std::string(FormatName(format())) + " mailbox, " + LayoutName(layout()) + " layout, " +
                   std::to_string(mb.mails.size()) + " mails, " + std::to_string(perKind) + " variants per kind",
               stats);
  for (const auto& [kind, s] : stats) {
    EXPECT_GE(Share(s.deepOwn, s.own), kDeepTarget) << KindName(kind);
    EXPECT_GE(Share(s.deepFolder, s.ownFolder), kFolderTarget) << KindName(kind);
    EXPECT_GE(Share(s.deletedListed, s.deleted), kDeepTarget) << KindName(kind);
    EXPECT_GE(Share(s.deletedPlaced, s.deletedOnIntact), kDeepTarget) << KindName(kind);
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, DamageTest,
                         ::testing::Combine(::testing::Values(LayoutKind::Compact, LayoutKind::ClientLike),
                                            ::testing::Values(sb::Format::Unicode23, sb::Format::Ansi14,
                                                              sb::Format::Unicode4K)),
                         [](const auto& info) {
                           return std::string(LayoutName(std::get<0>(info.param))) + "_" +
                                  FormatName(std::get<1>(info.param));
                         });

}  // namespace
}  // namespace velmorix::damage
