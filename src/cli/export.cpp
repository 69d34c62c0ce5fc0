#include "cli/numbers.h"
#include "cli/export.h"

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <unordered_set>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "cli/cli_view.h"
#include "cli/commands.h"
#include "cli/file_errors.h"
#include "cli/progress.h"
#include "cli/recover.h"
#include "cli/search.h"
#include "cli/show.h"
#include "content/item_reader.h"
#include "export/pst_convert.h"
#include "session/folder_list.h"
#include "session/folder_tree.h"
#include "session/listed_items.h"
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


// Keeps in `folders` only the items `query` matches, as search finds them.
void KeepMatches(std::vector<exporting::FolderItems>& folders, const CliView& view, const session::SessionData& data,
                 const search::Query& query, content::ItemReader& reader, const session::TreeItem* subtree) {
  const search::Matcher matcher(query);
  std::unordered_set<uint32_t> matched;
  for (const SearchMatch& m : FindMatches(view.tree(), data, matcher, &reader, subtree)) matched.insert(m.row.nodeId);
  for (exporting::FolderItems& folder : folders) {
    std::erase_if(folder.nodeIds, [&matched](uint32_t id) { return matched.count(id) == 0; });
  }
  std::erase_if(folders, [](const exporting::FolderItems& folder) { return folder.nodeIds.empty(); });
}

// "a.pst", "a.pst and a-2.pst", "a.pst, a-2.pst and a-3.pst".
std::string Names(const std::vector<std::string>& files) {
  std::string s;
  for (size_t i = 0; i < files.size(); ++i) {
    if (i > 0) s += i + 1 == files.size() ? " and " : ", ";
    s += files[i];
  }
  return s;
}

}  // namespace

int ExportStore(const std::string& path, const ExportCommand& command, std::ostream& out, std::ostream& err,
                const std::atomic<bool>* interrupt) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) {
    err << "velmorix-cli: " << path << ": " << std::strerror(path.empty() ? ENOENT : errno) << '\n';
    return kExitOpenFailed;
  }

  const bool toPst = command.format == exporting::Format::Pst;
  if (toPst && ::lstat(command.out.c_str(), &st) == 0) {
    err << "velmorix-cli: " << command.out << ": the file exists already; nothing was written\n";
    return kExitOpenFailed;
  }

  std::optional<ProgressLine> progress;
  if (command.progress) progress.emplace(err, ProgressLine::StderrWidth());

  // The recovery, as `recover` runs it.
  CliView view;
  session::RecoverySession session(view);
  if (interrupt == &g_exportInterrupted) g_exportSessionStop.store(&session.stopRequest());
  session.deepScan = command.deep ? session::DeepScanChoice::Always : session::DeepScanChoice::Never;
  RunToEnd(session, view, path, progress ? &*progress : nullptr, interrupt);
  g_exportSessionStop.store(nullptr);
  if (progress) progress->Clear();
  if (!command.deep && session.damageFound() && session.outcome() != session::RunOutcome::Stopped) {
    err << "velmorix-cli: " << path << ": the file is damaged; export --deep may find more items\n";
  }

  switch (session.outcome()) {
    case session::RunOutcome::Finished: break;
    case session::RunOutcome::Stopped:
      err << "velmorix-cli: stopped; nothing was exported\n";
      return kExitStopped;
    case session::RunOutcome::OpenFailed:
    case session::RunOutcome::Failed:
    case session::RunOutcome::Aborted:
    case session::RunOutcome::None: {
      std::string reason = OpenFailureReason(path);
      if (reason.empty()) {
        store::Store s;
        if (store::OpenStore(s, path) == 0) reason = NotAStoreReason(s);
      }
      if (reason.empty()) reason = "cannot be read as an offline-folders file";
      err << "velmorix-cli: " << path << ": " << reason;
      if (session.failureCode() != 0) err << " (Found Condition :00" << session.failureCode() << ")";
      err << '\n';
      return kExitOpenFailed;
    }
  }
  // A scan that failed part way (Found Condition :005) still lists what it found.
  const bool scanIncomplete = session.failureCode() != 0;
  if (scanIncomplete) {
    err << "velmorix-cli: " << path << ": the scan ended early (Found Condition :00" << session.failureCode()
        << "); exporting what it found\n";
  }

  const session::TreeItem* subtree = nullptr;
  if (command.folder) {
    subtree = session::FindFolder(view.tree(), *command.folder, session.data().variant() == store::Variant::Ansi);
    if (!subtree) {
      err << "velmorix-cli: export: no folder " << *command.folder << " (give it as recover prints it, e.g. "
          << "\"Personal Folders\\Inbox\\\")\n";
      return kExitUsage;
    }
  }
  std::vector<exporting::FolderItems> folders = session::ListedFolders(view.tree(), session.data(), subtree);
#ifdef __GLIBC__
  // The scan's freed buffers lie in its thread's arena, which the export
  // (on this thread) does not reuse: give them back first, so that the
  // export adds nothing to the recovery's peak.
  malloc_trim(0);
#endif

  std::string error;
  auto reader = content::ItemReader::Open(path, session.data().storeData, session.data().Names(), &error);
  if (!reader) {
    err << "velmorix-cli: " << path << ": " << error << '\n';
    return kExitOpenFailed;
  }

  if (command.filter) KeepMatches(folders, view, session.data(), *command.filter, *reader, subtree);
  const std::vector<exporting::TreeFolder> tree =
      toPst ? session::TreeFolders(view.tree(), session.data(), subtree) : std::vector<exporting::TreeFolder>{};
  // The export reads every item by node id: the lists' rows and texts (a
  // hundred bytes or more per item) can go before the writing starts.
  session.ReleaseListedItems();
#ifdef __GLIBC__
  malloc_trim(0);
#endif

  auto report = [&](const std::vector<exporting::ItemProblem>& failures,
                    const std::vector<exporting::ItemProblem>& warnings) {
    for (const auto& f : failures) {
      err << "not exported: " << f.folder << " item " << Hex(f.nodeId)
          << (f.subject.empty() ? std::string() : " \"" + f.subject + "\"") << ": " << f.reason << '\n';
    }
    for (const auto& w : warnings) {
      err << "incomplete: " << w.folder << " item " << Hex(w.nodeId)
          << (w.subject.empty() ? std::string() : " \"" + w.subject + "\"") << ": " << w.reason << '\n';
    }
  };
  auto onProgress = [&](const exporting::Progress& p) {
    if (progress) {
      progress->Update("Exporting", static_cast<int64_t>(p.itemsDone), static_cast<int64_t>(p.itemsTotal));
    }
    return !(interrupt && interrupt->load());
  };

  if (toPst) {
    exporting::PstOptions po;
    po.destination = command.out;
    if (command.maxSize) po.maxSize = *command.maxSize;
    const exporting::PstResult r = exporting::ConvertToPst(*reader, tree, folders, po, onProgress);
    if (progress) progress->Clear();
    report(r.failures, r.warnings);
    if (!r.error.empty()) err << "velmorix-cli: export: " << r.error << "; nothing was written\n";
    out << Thousands(r.foldersWritten) << " folders, " << Thousands(r.itemsWritten) << " items written, "
        << Thousands(r.itemsFailed) << " could not be read, "
        << (r.error.empty() && !r.cancelled ? Thousands(r.bytesWritten) : std::string("0")) << " bytes written"
        << (r.error.empty() && !r.cancelled ? " to " + Names(r.files) : std::string())
        << (r.cancelled ? " (stopped)" : "") << '\n';
    out.flush();
    if (r.cancelled) return kExitStopped;
    if (!r.error.empty()) return kExitOpenFailed;
    if (r.itemsFailed > 0 || !r.warnings.empty() || scanIncomplete) return kExitSomeUnreadable;
    return kExitFinished;
  }

  exporting::ExportOptions options;
  options.format = command.format;
  options.destination = command.out;
  const exporting::ExportResult result =
      exporting::Export(*reader, folders, options, onProgress);
  if (progress) progress->Clear();
  report(result.failures, result.warnings);
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
  const Command& self = *FindCommand("export");
  Arguments args;
  if (const int status = ParseArguments(self, argc, argv, args); status != kRunCommand) return status;
  ExportCommand command;
  command.format = exporting::ParseFormat(args.Value("--format")).value_or(exporting::Format::All);
  command.out = args.Value("--out");
  if (command.out.empty()) {
    return UsageError(&self, command.format == exporting::Format::Pst ? "--out needs a file" : "--out needs a folder");
  }
  if (args.Has("--folder")) command.folder = args.Value("--folder");
  command.progress = !args.Has("--quiet") && ProgressLine::StderrIsTerminal();
  command.deep = args.Has("--deep");
  if (args.Has("--match") || args.Has("--after") || args.Has("--before")) {
    if (args.Has("--in") && !args.Has("--match")) return UsageError(&self, "--in needs --match");
    command.filter = QueryOf(args, "export", args.Value("--match"));
    if (!command.filter) return kExitUsage;
  } else if (args.Has("--in")) {
    return UsageError(&self, "--in needs --match");
  }
  if (args.Has("--max-size")) {
    const std::string v = args.Value("--max-size");
    char* end = nullptr;
    errno = 0;
    const unsigned long long n = std::strtoull(v.c_str(), &end, 10);
    if (v.empty() || *end != '\0' || errno != 0 || n < 1'000'000 || v[0] == '-') {
      return UsageError(&self, "--max-size needs a number of bytes, at least 1000000");
    }
    command.maxSize = n;
  }

  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  return ExportStore(args.operands[0], command, std::cout, std::cerr, &g_exportInterrupted);
}

}  // namespace velmorix::cli
