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
        if (row.cells.size() > 1) r.subjects[p].insert(row.cells[1]);
      }
    }
    auto take = [&](const ss::FolderRecord& f) {
      for (const ss::ListedItem* e = f.FirstMail(); e; e = e->Next()) {
        r.senders[std::string(e->Text(1))].emplace_back(e->Text(0));
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

std::vector<std::string> Tally(const Mailbox& mailbox, const Variant& v, const Recovered& normal,
                               const Recovered& deep, KindFigures& s) {
  std::vector<std::string> problems;
  ++s.variants;
  for (size_t i = 0; i < mailbox.mails.size(); ++i) {
    const MailSpec& m = mailbox.mails[i].spec;
    const bool found = normal.Has(m);
    const size_t rows = deep.Rows(m);
    // Damaged index entries can make the normal recovery list one mail's
    // properties under two nodes; the deep scan adds no further row.
    const size_t once = std::max<size_t>(1, normal.Rows(m));
    ++s.mails;
    s.normal += found;
    s.deep += rows > 0;
    if (rows > once) {
      problems.push_back("listed " + std::to_string(rows) + " times, " + std::to_string(normal.Rows(m)) +
                         " without the deep scan: " + m.subject);
    }
    if (found && !deep.Has(m)) problems.push_back("lost by the deep scan: " + m.subject);
    if (v.intact[i]) {
      ++s.intact;
      s.normalIntact += found;
      if (!found) problems.push_back("intact mail not listed: " + m.folderPath + " " + m.subject);
    }
    if (v.ownIntact[i]) {
      ++s.own;
      s.deepOwn += rows >= 1 && rows <= once && deep.senders.at(m.subject).front() == m.sender;
    }
  }
  return problems;
}

void PrintFigures(std::FILE* out, const std::string& title, const std::map<DamageKind, KindFigures>& figures) {
  std::fprintf(out, "%s\n  %-14s %9s %9s %16s %16s %14s\n", title.c_str(), "kind", "intact", "own",
               "normal/intact", "deep/own", "normal, deep");
  for (const auto& [kind, s] : figures) {
    std::fprintf(out, "  %-14s %9ld %9ld %7ld (%5.1f%%) %7ld (%5.1f%%) %5.1f%% %5.1f%%\n", KindName(kind), s.intact,
                 s.own, s.normalIntact, 100 * Share(s.normalIntact, s.intact), s.deepOwn,
                 100 * Share(s.deepOwn, s.own), 100 * Share(s.normal, s.mails), 100 * Share(s.deep, s.mails));
  }
}

}  // namespace velmorix::damage
