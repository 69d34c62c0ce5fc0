// The window as the command line records it: status-line texts and messages
// in the order shown, and the folder tree the scan builds.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "session/folder_tree.h"
#include "session/recovery_view.h"

namespace velmorix::cli {

class CliView : public session::RecoveryView {
 public:
  struct Event {
    enum Kind { Status, Message } kind;
    std::string text;
  };

  void SetControlText(int id, const std::string& text) override;
  void ShowControl(int, bool) override {}
  void EnableControl(int, bool) override {}
  void SetProgressRange(int, int) override {}
  void SetProgressPosition(int) override {}
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

 private:
  std::mutex mutex_;  // the worker and the main thread both call in
  std::vector<Event> events_;
  session::FolderTreeModel tree_;
};

}  // namespace velmorix::cli
