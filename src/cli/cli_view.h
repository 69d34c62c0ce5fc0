// The window as the command line records it: status-line texts and messages
// in the order shown, and the folder tree the scan builds.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "session/folder_tree.h"
#include "session/recovery_view.h"

namespace velmorix::session {
class RecoverySession;
}

namespace velmorix::cli {

class ProgressLine;

class CliView : public session::RecoveryView {
 public:
  struct Event {
    enum Kind { Status, Message } kind;
    std::string text;
  };

  void SetControlText(int id, const std::string& text) override;
  void ShowControl(int, bool) override {}
  void EnableControl(int, bool) override {}
  void SetProgressRange(int low, int high) override;
  void SetProgressPosition(int position) override;
  void StartProgressTimer() override {}
  void StopProgressTimer() override {}
  void ApplyFileSelectionLayout() override {}
  void ApplyScanningLayout() override {}
  void ClearViews() override;
  void InsertFolderPath(const std::string& path) override;
  void SetFolderKind(const std::string& path, session::ColumnSet set) override;
  // Records the message; a question is answered Yes (the only one asked is
  // the stop question, raised by Ctrl-C).
  session::MessageAnswer ShowMessage(const session::Message& message) override;

  // Read once the worker has ended.
  const std::vector<Event>& events() const { return events_; }
  const session::FolderTreeModel& tree() const { return tree_; }
  // Records a message shown by the front end itself.
  void Note(const std::string& text);

  // The run as a progress line shows it, read while the worker runs: the
  // latest status-line text, and the position within the progress range
  // (total 0 while the stage has set no position).
  struct Progress {
    std::string stage;
    int64_t done = 0;
    int64_t total = 0;
  };
  Progress progress() const;

 private:
  mutable std::mutex mutex_;  // the worker and the main thread both call in
  std::vector<Event> events_;
  std::string stage_;
  session::FolderTreeModel tree_;
  // Set for every item the worker visits: atomics, not the mutex.
  std::atomic<int> low_{0}, high_{0}, position_{0};
  std::atomic<bool> positioned_{false};
};

// Starts the recovery of `path` in `session` (whose view is `view`) and waits
// for its worker: draws the view's progress on `progress` (when given) and
// asks the session to stop once `interrupt` is set. True when it asked.
bool RunToEnd(session::RecoverySession& session, const CliView& view, const std::string& path,
              ProgressLine* progress, const std::atomic<bool>* interrupt);

}  // namespace velmorix::cli
