// `velmorix-cli recover [--format text|tsv|json] [--ids] [--quiet] [--deep] FILE`: one
// recovery run exactly as the window runs it, printed as text for people or as
// tsv or JSON records.
#pragma once

#include <atomic>
#include <iosfwd>
#include <string>

namespace velmorix::cli {

// Exit statuses.
inline constexpr int kExitFinished = 0;
inline constexpr int kExitOpenFailed = 1;
inline constexpr int kExitFoundCondition = 2;
inline constexpr int kExitStopped = 3;
inline constexpr int kExitUsage = 64;

enum class OutputFormat { Text, Tsv, Json };

class ProgressLine;

struct RecoverOptions {
  OutputFormat format = OutputFormat::Text;
  // Each row also names its item's node (tsv: one more field, "0x" and
  // lowercase hex; text: one more column).
  bool ids = false;
  // Where the run's progress is drawn while it goes on (none when null).
  ProgressLine* progress = nullptr;
  // Where a failure is named with its file and reason (none when null).
  std::ostream* errors = nullptr;
  // Run the deep scan after the normal stages. Without it, a run that met
  // damage ends with a message suggesting it.
  bool deep = false;
};

inline constexpr const char* kDeepScanSuggestion =
    "The file is damaged. Run velmorix-cli recover --deep to find more items.";

// Recovers `path` and prints the result to `out`. When `interrupt` becomes
// true during the run, the run is stopped as the window's Stop command does.
int Recover(const std::string& path, const RecoverOptions& options, std::ostream& out,
            const std::atomic<bool>* interrupt = nullptr);
inline int Recover(const std::string& path, OutputFormat format, std::ostream& out,
                   const std::atomic<bool>* interrupt = nullptr) {
  return Recover(path, RecoverOptions{format}, out, interrupt);
}

// argv[0] is the subcommand name ("recover"). Installs the Ctrl-C handler;
// draws progress on stderr when it is a terminal (unless --quiet).
int RunRecover(int argc, char** argv);

}  // namespace velmorix::cli
