#include "cli/cli_view.h"

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

}  // namespace velmorix::cli
