#include "cli/cli_view.h"

#include <chrono>
#include <condition_variable>

#include "cli/progress.h"
#include "session/session.h"

namespace velmorix::cli {

void CliView::SetControlText(int id, const std::string& text) {
  if (id != session::kStatusLine) return;
  std::lock_guard lock(mutex_);
  events_.push_back({Event::Status, text});
  stage_ = text;
}

void CliView::SetProgressRange(int low, int high) {
  low_.store(low, std::memory_order_relaxed);
  high_.store(high, std::memory_order_relaxed);
  positioned_.store(false, std::memory_order_relaxed);
}

void CliView::SetProgressPosition(int position) {
  position_.store(position, std::memory_order_relaxed);
  positioned_.store(true, std::memory_order_relaxed);
}

CliView::Progress CliView::progress() const {
  Progress p;
  {
    std::lock_guard lock(mutex_);
    p.stage = stage_;
  }
  // Figures for a display: each is whole, their mix may lag by one update.
  if (positioned_.load(std::memory_order_relaxed)) {
    const int64_t low = low_.load(std::memory_order_relaxed);
    p.done = position_.load(std::memory_order_relaxed) - low;
    p.total = high_.load(std::memory_order_relaxed) - low;
  }
  return p;
}

void CliView::ClearViews() {
  std::lock_guard lock(mutex_);
  tree_.Clear();
}

void CliView::InsertFolderPath(const std::string& path) {
  std::lock_guard lock(mutex_);
  tree_.InsertFolderPath(path);
}

void CliView::SetFolderKind(const std::string& path, session::ColumnSet set) {
  std::lock_guard lock(mutex_);
  tree_.SetFolderKind(path, set);
}

session::MessageAnswer CliView::ShowMessage(const session::Message& message) {
  Note(message.text);
  return message.buttons == session::MessageButtons::YesNo ? session::MessageAnswer::Yes
                                                           : session::MessageAnswer::Ok;
}

void CliView::Note(const std::string& text) {
  std::lock_guard lock(mutex_);
  events_.push_back({Event::Message, text});
}

bool RunToEnd(session::RecoverySession& session, const CliView& view, const std::string& path,
              ProgressLine* progress, const std::atomic<bool>* interrupt) {
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  session.onWorkerFinished = [&] {
    std::lock_guard lock(mutex);
    done = true;
    ended.notify_all();
  };
  session.StartRecovery(path);
  bool stopAsked = false;
  {
    std::unique_lock lock(mutex);
    // With a progress line, the first look comes at once: a run's first
    // stage shows as soon as it starts.
    auto wait = std::chrono::milliseconds(progress ? 1 : 20);
    while (!done) {
      ended.wait_for(lock, wait);
      wait = std::chrono::milliseconds(20);
      if (!done && progress) {
        lock.unlock();
        const CliView::Progress p = view.progress();
        progress->Update(p.stage, p.done, p.total);
        lock.lock();
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
  session.onWorkerFinished = nullptr;
  return stopAsked;
}

}  // namespace velmorix::cli
