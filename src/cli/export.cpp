#include "cli/export.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "cli/cli_view.h"
#include "cli/recover.h"
#include "cli/show.h"
#include "content/item_reader.h"
#include "session/folder_list.h"
#include "session/folder_tree.h"
#include "session/session.h"
#include "session/session_data.h"

namespace velmorix::cli {
namespace {

static_assert(std::atomic<bool>::is_always_lock_free, "the Ctrl-C handler needs a lock-free flag");

std::atomic<bool> g_exportInterrupted{false};
// The running session's stop request, set straight from the Ctrl-C handler.
std::atomic<std::atomic<bool>*> g_exportSessionStop{nullptr};

void OnInterrupt(int) {
  if (std::atomic<bool>* stop = g_exportSessionStop.load()) stop->store(true);
  g_exportInterrupted.store(true);
}

const char* Usage() {
  return "usage: velmorix-cli export --format eml|mbox|vcf|ics|all --out DIR [--folder PATH] [--quiet] FILE\n";
}

exporting::ListKind KindOf(session::ColumnSet set) {
  switch (set) {
    case session::ColumnSet::Contacts: return exporting::ListKind::Contacts;
    case session::ColumnSet::Tasks: return exporting::ListKind::Tasks;
    case session::ColumnSet::Journal: return exporting::ListKind::Journal;
    case session::ColumnSet::Notes: return exporting::ListKind::Notes;
    case session::ColumnSet::Calendar: return exporting::ListKind::Calendar;
    case session::ColumnSet::Start:
    case session::ColumnSet::Mail: break;
  }
  return exporting::ListKind::Mail;
}

std::string Thousands(uint64_t n) {
  const std::string digits = std::to_string(n);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string Hex(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%x", v);
  return buf;
}

// One line on a terminal, redrawn in place at most every 100 ms.
class ProgressDrawer {
 public:
  explicit ProgressDrawer(std::ostream& err) : err_(err) {}
  ~ProgressDrawer() { Clear(); }
  void Draw(const std::string& text, bool force = false) {
    const auto now = std::chrono::steady_clock::now();
    if (!force && shown_ && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    std::string line = text.substr(0, 79);
    err_ << '\r' << line << std::string(width_ > line.size() ? width_ - line.size() : 0, ' ') << std::flush;
    width_ = line.size();
    shown_ = true;
  }
  void Clear() {
    if (!shown_) return;
    err_ << '\r' << std::string(width_, ' ') << '\r' << std::flush;
    shown_ = false;
    width_ = 0;
  }

 private:
  std::ostream& err_;
  std::chrono::steady_clock::time_point last_{};
  size_t width_ = 0;
  bool shown_ = false;
};

}  // namespace

std::vector<exporting::FolderItems> ListedFolders(const session::FolderTreeModel& tree,
                                                  const session::SessionData& data,
                                                  const session::TreeItem* subtree) {
  const bool ansi = data.variant() == store::Variant::Ansi;
  std::vector<exporting::FolderItems> out;
  for (const session::TreeItem* item : tree.PreOrder()) {
    if (subtree) {
      bool inside = false;
      for (const session::TreeItem* p = item; p && !inside; p = p->parent) inside = p == subtree;
      if (!inside) continue;
    }
    const session::ListContent content = session::FillItemList(data, session::FolderTreeModel::ItemPath(item));
    if (!content.changes || content.rows.empty()) continue;
    exporting::FolderItems f;
    for (const session::TreeItem* p = item; p; p = p->parent) {
      f.path.insert(f.path.begin(), ansi ? session::Cp1252ToUtf8(p->text) : p->text);
    }
    f.kind = KindOf(content.columnSet);
    f.nodeIds.reserve(content.rows.size());
    for (const auto& row : content.rows) f.nodeIds.push_back(row.nodeId);
    out.push_back(std::move(f));
  }
  return out;
}

const session::TreeItem* FindFolder(const session::FolderTreeModel& tree, std::string path, bool ansi) {
  if (!path.empty() && path.back() != '\\') path += '\\';
  for (const session::TreeItem* item : tree.PreOrder()) {
    const std::string itemPath = session::FolderTreeModel::ItemPath(item);
    if (itemPath == path || (ansi && session::Cp1252ToUtf8(itemPath) == path)) return item;
  }
  return nullptr;
}

int ExportStore(const std::string& path, const ExportCommand& command, std::ostream& out, std::ostream& err,
                const std::atomic<bool>* interrupt) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) {
    err << "velmorix-cli: " << path << ": " << std::strerror(path.empty() ? ENOENT : errno) << '\n';
    return kExitOpenFailed;
  }

  std::optional<ProgressDrawer> progress;
  if (command.progress) progress.emplace(err);

  // The recovery, as `recover` runs it.
  CliView view;
  session::RecoverySession session(view);
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  session.onWorkerFinished = [&] {
    std::lock_guard lock(mutex);
    done = true;
    ended.notify_all();
  };
  if (interrupt == &g_exportInterrupted) g_exportSessionStop.store(&session.stopRequest());
  session.StartRecovery(path);
  {
    std::unique_lock lock(mutex);
    bool stopAsked = false;
    while (!done) {
      ended.wait_for(lock, std::chrono::milliseconds(20));
      if (!done && progress) {
        progress->Draw("Recovering: " + Thousands(static_cast<uint64_t>(session.nodesVisited())) + " items, " +
                       Thousands(static_cast<uint64_t>(session.folderCount())) + " folders");
      }
      if (!done && !stopAsked && interrupt && interrupt->load()) {
        stopAsked = true;
        lock.unlock();
        session.RequestStop();
        lock.lock();
      }
    }
  }
  session.WaitForWorker();
  g_exportSessionStop.store(nullptr);
  if (progress) progress->Clear();

  switch (session.outcome()) {
    case session::RunOutcome::Finished: break;
    case session::RunOutcome::Stopped:
      err << "velmorix-cli: stopped; nothing was exported\n";
      return kExitStopped;
    case session::RunOutcome::OpenFailed:
    case session::RunOutcome::Failed:
    case session::RunOutcome::Aborted:
    case session::RunOutcome::None:
      err << "velmorix-cli: " << path << ": cannot be opened as an offline-folders file";
      if (session.failureCode() != 0) err << " (Found Condition :00" << session.failureCode() << ")";
      err << '\n';
      return kExitOpenFailed;
  }
  // A scan that failed part way (Found Condition :005) still lists what it found.
  const bool scanIncomplete = session.failureCode() != 0;
  if (scanIncomplete) {
    err << "velmorix-cli: " << path << ": the scan ended early (Found Condition :00" << session.failureCode()
        << "); exporting what it found\n";
  }

  const session::TreeItem* subtree = nullptr;
  if (command.folder) {
    subtree = FindFolder(view.tree(), *command.folder, session.data().variant() == store::Variant::Ansi);
    if (!subtree) {
      err << "velmorix-cli: export: no folder " << *command.folder << " (give it as recover prints it, e.g. "
          << "\"Personal Folders\\Inbox\\\")\n";
      return kExitUsage;
    }
  }
  const std::vector<exporting::FolderItems> folders = ListedFolders(view.tree(), session.data(), subtree);
#ifdef __GLIBC__
  // The scan's freed buffers lie in its thread's arena, which the export
  // (on this thread) does not reuse: give them back first, so that the
  // export adds nothing to the recovery's peak.
  malloc_trim(0);
#endif

  std::string error;
  auto reader = content::ItemReader::Open(path, session.data().storeData, &session.data().names, &error);
  if (!reader) {
    err << "velmorix-cli: " << path << ": " << error << '\n';
    return kExitOpenFailed;
  }

  exporting::ExportOptions options;
  options.format = command.format;
  options.destination = command.out;
  const exporting::ExportResult result =
      exporting::Export(*reader, folders, options, [&](const exporting::Progress& p) {
        if (progress) {
          progress->Draw("Exporting " + p.folder + ": " + Thousands(p.itemsDone) + " of " + Thousands(p.itemsTotal) +
                         " items, " + Thousands(p.bytesWritten / 1000000) + " MB");
        }
        return !(interrupt && interrupt->load());
      });
  if (progress) progress->Clear();

  for (const auto& f : result.failures) {
    err << "not exported: " << f.folder << " item " << Hex(f.nodeId)
        << (f.subject.empty() ? std::string() : " \"" + f.subject + "\"") << ": " << f.reason << '\n';
  }
  for (const auto& w : result.warnings) {
    err << "incomplete: " << w.folder << " item " << Hex(w.nodeId)
        << (w.subject.empty() ? std::string() : " \"" + w.subject + "\"") << ": " << w.reason << '\n';
  }
  if (!result.error.empty()) err << "velmorix-cli: export: " << result.error << '\n';
  out << Thousands(result.itemsWritten) << " items written, " << Thousands(result.itemsFailed)
      << " could not be read, " << Thousands(result.bytesWritten) << " bytes written"
      << (result.cancelled ? " (stopped)" : "") << '\n';
  out.flush();

  if (result.cancelled) return kExitStopped;
  if (!result.error.empty()) return kExitOpenFailed;
  if (result.itemsFailed > 0 || !result.warnings.empty() || scanIncomplete) return kExitSomeUnreadable;
  return kExitFinished;
}

int RunExport(int argc, char** argv) {
  ExportCommand command;
  std::vector<std::string> operands;
  bool haveFormat = false;
  bool quiet = false;
  bool optionsEnd = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (optionsEnd || a.size() < 2 || a[0] != '-') {
      operands.push_back(a);
      continue;
    }
    if (a == "--") {
      optionsEnd = true;
      continue;
    }
    if (a == "--quiet") {
      quiet = true;
      continue;
    }
    const size_t eq = a.find('=');
    const std::string name = a.substr(0, eq);
    if (name != "--format" && name != "--out" && name != "--folder") {
      std::cerr << "velmorix-cli: export: unknown option '" << name << "'\n" << Usage();
      return kExitUsage;
    }
    std::string value;
    if (eq != std::string::npos) {
      value = a.substr(eq + 1);
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      std::cerr << "velmorix-cli: export: option '" << name << "' needs a value\n" << Usage();
      return kExitUsage;
    }
    if (name == "--format") {
      const auto format = exporting::ParseFormat(value);
      if (!format) {
        std::cerr << "velmorix-cli: export: invalid value '" << value << "' for --format\n" << Usage();
        return kExitUsage;
      }
      command.format = *format;
      haveFormat = true;
    } else if (name == "--out") {
      command.out = value;
    } else {
      command.folder = value;
    }
  }
  if (!haveFormat || command.out.empty() || operands.size() != 1) {
    std::cerr << Usage();
    return kExitUsage;
  }
  command.progress = !quiet && ::isatty(STDERR_FILENO);

  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  return ExportStore(operands[0], command, std::cout, std::cerr, &g_exportInterrupted);
}

}  // namespace velmorix::cli
