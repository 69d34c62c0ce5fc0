#include "cli/cli_view.h"

namespace velmorix::cli {

void CliView::SetControlText(int id, const std::string& text) {
  if (id != session::kStatusLine) return;
  std::lock_guard lock(mutex_);
  events_.push_back({Event::Status, text});
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
