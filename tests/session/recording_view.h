// A RecoveryView that records every call as one line, in order, and keeps
// the folder tree the way the window would.
#pragma once

#include <algorithm>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "session/folder_list.h"
#include "session/folder_tree.h"
#include "session/recovery_view.h"

namespace velmorix::session::testing {

class RecordingView : public RecoveryView {
 public:
  void SetControlText(int id, const std::string& text) override {
    Add("text " + std::to_string(id) + " " + text);
  }
  void ShowControl(int id, bool shown) override {
    Add((shown ? "show " : "hide ") + std::to_string(id));
  }
  void EnableControl(int id, bool enabled) override {
    Add((enabled ? "enable " : "disable ") + std::to_string(id));
  }
  void SetProgressRange(int low, int high) override {
    Add("range " + std::to_string(low) + " " + std::to_string(high));
  }
  void SetProgressPosition(int position) override { Add("position " + std::to_string(position)); }
  void StartProgressTimer() override { Add("timer start"); }
  void StopProgressTimer() override { Add("timer stop"); }
  void ApplyFileSelectionLayout() override { Add("layout file-selection"); }
  void ApplyScanningLayout() override { Add("layout scanning"); }
  void ClearViews() override {
    std::lock_guard lock(mutex_);
    tree_.Clear();
    calls_.push_back("clear");
  }
  void InsertFolderPath(const std::string& path) override {
    std::lock_guard lock(mutex_);
    tree_.InsertFolderPath(path);
    calls_.push_back("insert " + path);
  }
  // Kept apart from calls(): "PATH set" for each folder whose list changed kind.
  void SetFolderKind(const std::string& path, ColumnSet set) override {
    std::lock_guard lock(mutex_);
    tree_.SetFolderKind(path, set);
    kinds_.push_back(path + " " + ColumnSetName(set));
  }
  MessageAnswer ShowMessage(const Message& m) override {
    std::string icon = m.icon == MessageIcon::Question ? "question"
                       : m.icon == MessageIcon::Information ? "information" : "none";
    Add("message [" + m.caption + "|" + icon + "|" +
        (m.buttons == MessageButtons::Ok ? "ok" : "yesno") + "|" + (m.ownedByWindow ? "owned" : "free") +
        "] " + m.text);
    if (onMessage) onMessage(m);
    if (m.buttons == MessageButtons::Ok) return MessageAnswer::Ok;
    return answerYes ? MessageAnswer::Yes : MessageAnswer::No;
  }

  std::vector<std::string> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  // The calls that start with `prefix`, in order.
  std::vector<std::string> Calls(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& c : calls()) {
      if (c.rfind(prefix, 0) == 0) out.push_back(c);
    }
    return out;
  }
  // The calls from the first one equal to `from` on (empty when none is).
  std::vector<std::string> CallsFrom(const std::string& from) const {
    auto all = calls();
    auto it = std::find(all.begin(), all.end(), from);
    return std::vector<std::string>(it, all.end());
  }
  bool Has(const std::string& call) const {
    auto all = calls();
    return std::find(all.begin(), all.end(), call) != all.end();
  }
  std::vector<std::string> kinds() const {
    std::lock_guard lock(mutex_);
    return kinds_;
  }
  // Only while no worker runs.
  const FolderTreeModel& tree() const { return tree_; }

  bool answerYes = true;
  std::function<void(const Message&)> onMessage;

 private:
  void Add(std::string call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
  }
  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
  std::vector<std::string> kinds_;
  FolderTreeModel tree_;
};

}  // namespace velmorix::session::testing
