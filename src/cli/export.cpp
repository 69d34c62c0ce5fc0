#include "cli/numbers.h"
#include "cli/export.h"

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "cli/cli_view.h"
#include "cli/commands.h"
#include "cli/file_errors.h"
#include "cli/progress.h"
#include "cli/recover.h"
#include "cli/show.h"
#include "content/item_reader.h"
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


}  // namespace

int ExportStore(const std::string& path, const ExportCommand& command, std::ostream& out, std::ostream& err,
                const std::atomic<bool>* interrupt) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) {
    err << "velmorix-cli: " << path << ": " << std::strerror(path.empty() ? ENOENT : errno) << '\n';
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
  const std::vector<exporting::FolderItems> folders = session::ListedFolders(view.tree(), session.data(), subtree);
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

  exporting::ExportOptions options;
  options.format = command.format;
  options.destination = command.out;
  const exporting::ExportResult result =
      exporting::Export(*reader, folders, options, [&](const exporting::Progress& p) {
        if (progress) {
          progress->Update("Exporting", static_cast<int64_t>(p.itemsDone), static_cast<int64_t>(p.itemsTotal));
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
  const Command& self = *FindCommand("export");
  Arguments args;
  if (const int status = ParseArguments(self, argc, argv, args); status != kRunCommand) return status;
  ExportCommand command;
  command.format = exporting::ParseFormat(args.Value("--format")).value_or(exporting::Format::All);
  command.out = args.Value("--out");
  if (command.out.empty()) return UsageError(&self, "--out needs a folder");
  if (args.Has("--folder")) command.folder = args.Value("--folder");
  command.progress = !args.Has("--quiet") && ProgressLine::StderrIsTerminal();
  command.deep = args.Has("--deep");

  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  return ExportStore(args.operands[0], command, std::cout, std::cerr, &g_exportInterrupted);
}

}  // namespace velmorix::cli
