#include "damage/measure.h"

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <unistd.h>

#include "session/folder_list.h"
#include "session/recovery_view.h"
#include "session/session_data.h"

namespace velmorix::damage {

namespace {

namespace ss = velmorix::session;

// A view that only keeps the messages; a question is answered No.
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

std::string TempPath(const std::string& dir, const std::string& stem) {
  static std::atomic<int> counter{0};
  return (std::filesystem::path(dir) /
          (stem + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".pst"))
      .string();
}

}  // namespace

Recovered RecoverImage(const Buffer& image, const std::vector<MailInfo>& mails, session::DeepScanChoice deep,
                       std::chrono::milliseconds bound, const std::string& dir) {
  const std::string path = TempPath(dir, "damage");
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
      if (!cv.wait_for(lock, bound, [&] { return done; })) {
        r.finishedInTime = false;
        session.stopRequest().store(true);
        if (!cv.wait_for(lock, std::chrono::seconds(30), [&] { return done; })) {
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
        if (row.cells.size() > 1) ++r.subjects[p][row.cells[1]];
      }
    }
    auto take = [&](const ss::FolderRecord& f) {
      const bool listedAbove = paths.count(f.folderPath) != 0;
      for (const ss::ListedItem* e = f.FirstMail(); e; e = e->Next()) {
        r.senders[std::string(e->Text(1))].emplace_back(e->Text(0));
        if (!listedAbove) ++r.subjects[f.folderPath][std::string(e->Text(1))];
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

double Share(long part, long whole) { return whole ? static_cast<double>(part) / static_cast<double>(whole) : 1.0; }

size_t Recovered::Below(const std::string& prefix, const std::string& subject) const {
  size_t n = 0;
  for (auto it = subjects.lower_bound(prefix); it != subjects.end() && it->first.starts_with(prefix); ++it) {
    auto row = it->second.find(subject);
    if (row != it->second.end()) n += row->second;
  }
  return n;
}

std::vector<std::string> Tally(const Mailbox& mailbox, const Variant& v, const Recovered& normal,
                               const Recovered& deep, KindFigures& s) {
  std::vector<std::string> problems;
  ++s.variants;
  // Mails of one subject (a newsletter received many times) count together.
  std::map<std::string, std::vector<size_t>> bySubject;
  for (size_t i = 0; i < mailbox.mails.size(); ++i) bySubject[mailbox.mails[i].spec.subject].push_back(i);
  for (const auto& [subject, group] : bySubject) {
    const size_t rows = deep.Rows(subject);
    // Damaged index entries can make the normal recovery list one mail's
    // properties under two nodes; the deep scan adds no further row.
    const size_t allowed = std::max(group.size(), normal.Rows(subject));
    if (rows > allowed) {
      problems.push_back("listed " + std::to_string(rows) + " times, " + std::to_string(normal.Rows(subject)) +
                         " without the deep scan, " + std::to_string(group.size()) + " stored: " + subject);
    }
    struct Counts {
      size_t all = 0, intact = 0, ownFolder = 0;
    };
    std::map<std::string, Counts> byFolder;
    size_t own = 0;
    for (size_t i : group) {
      Counts& c = byFolder[mailbox.mails[i].spec.folderPath];
      ++c.all;
      c.intact += v.intact[i];
      c.ownFolder += v.ownIntact[i] && v.folderIntact[i];
      own += v.ownIntact[i];
    }
    s.mails += static_cast<long>(group.size());
    s.own += static_cast<long>(own);
    s.deep += static_cast<long>(std::min(rows, group.size()));
    for (const auto& [path, c] : byFolder) {
      const size_t inNormal = normal.InFolder(path, subject);
      const size_t inDeep = deep.InFolder(path, subject);
      s.intact += static_cast<long>(c.intact);
      s.normal += static_cast<long>(std::min(inNormal, c.all));
      s.normalIntact += static_cast<long>(std::min(inNormal, c.intact));
      s.ownFolder += static_cast<long>(c.ownFolder);
      s.deepFolder += static_cast<long>(std::min(inDeep, c.ownFolder));
      if (inNormal < c.intact) problems.push_back("intact mail not listed: " + path + " " + subject);
      if (inDeep < std::min(inNormal, c.all)) problems.push_back("lost by the deep scan: " + path + subject);
    }
    const std::string& sender = mailbox.mails[group.front()].spec.sender;
    if (rows > 0 && rows <= allowed && deep.senders.at(subject).front() == sender) {
      s.deepOwn += static_cast<long>(std::min(rows, own));
    }
  }
  for (size_t j = 0; j < mailbox.deleted.size(); ++j) {
    const MailSpec& m = mailbox.deleted[j].spec;
    const size_t rows = deep.Rows(m.subject);
    if (rows > 1) problems.push_back("deleted mail listed " + std::to_string(rows) + " times: " + m.subject);
    if (!v.deletedIntact[j]) continue;
    ++s.deleted;
    s.deletedListed += rows == 1;
    // Only on a file the normal recovery found intact is a deep find known
    // to be deleted.
    if (normal.damageFound) continue;
    ++s.deletedOnIntact;
    s.deletedPlaced += rows == 1 && deep.Below(session::kRecoveredDeletedItemsPath, m.subject) == 1;
  }
  std::map<uint32_t, size_t> byNid;
  for (size_t i = 0; i < mailbox.mails.size(); ++i) byNid[mailbox.mails[i].spec.nid] = i;
  for (const MailInfo& old : mailbox.stale) {
    if (deep.Rows(old.spec.subject) == 0) continue;
    ++s.staleListed;
    // Beside a newer version whose blocks are damaged the older one may be
    // the only whole copy: listed then, it is no fault.
    auto newer = byNid.find(old.spec.nid);
    if (newer != byNid.end() && v.ownIntact[newer->second] && deep.Rows(mailbox.mails[newer->second].spec) > 0) {
      problems.push_back("older version listed beside the newer: " + old.spec.subject);
    }
  }
  return problems;
}

void PrintFigures(std::FILE* out, const std::string& title, const std::map<DamageKind, KindFigures>& figures) {
  std::fprintf(out, "%s\n  %-14s %7s %7s %16s %16s %16s %14s %24s %6s\n", title.c_str(), "kind", "intact", "own",
               "normal/intact", "deep/own", "in folder", "normal, deep", "deleted: listed, placed", "stale");
  for (const auto& [kind, s] : figures) {
    std::fprintf(out,
                 "  %-14s %7ld %7ld %7ld (%5.1f%%) %7ld (%5.1f%%) %7ld (%5.1f%%) %5.1f%% %5.1f%% %4ld: %5.1f%%, %4ld: %5.1f%% %6ld\n",
                 KindName(kind), s.intact, s.own, s.normalIntact, 100 * Share(s.normalIntact, s.intact), s.deepOwn,
                 100 * Share(s.deepOwn, s.own), s.deepFolder, 100 * Share(s.deepFolder, s.ownFolder),
                 100 * Share(s.normal, s.mails), 100 * Share(s.deep, s.mails), s.deleted,
                 100 * Share(s.deletedListed, s.deleted), s.deletedOnIntact,
                 100 * Share(s.deletedPlaced, s.deletedOnIntact), s.staleListed);
  }
}

}  // namespace velmorix::damage
