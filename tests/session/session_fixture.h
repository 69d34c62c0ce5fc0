// Builder mailboxes written to temporary files, and a session run to its end.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

#include "recording_view.h"
#include "session/folder_list.h"
#include "session/session.h"
#include "session/session_data.h"
#include "storebuilder/mailbox.h"

namespace velmorix::session::testing {

namespace sb = velmorix::storebuilder;

inline std::string TempPath(const std::string& stem) {
  static std::atomic<int> counter{0};
  return (std::filesystem::path(::testing::TempDir()) /
          (stem + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".pst"))
      .string();
}

inline sb::MailboxOptions Options(sb::Format format) {
  sb::MailboxOptions o;
  o.ndb.format = format;
  o.deletedItems = false;
  return o;
}

inline const char* FormatName(sb::Format f) {
  switch (f) {
    case sb::Format::Unicode23: return "Unicode";
    case sb::Format::Unicode4K: return "Unicode4K";
    case sb::Format::Ansi14: return "Ansi14";
    default: return "Ansi15";
  }
}

inline sb::Item Mail(const std::string& subject, const std::string& from = "Sender",
                     const std::string& to = "Recipient") {
  sb::MailFields f;
  f.subject = subject;
  f.senderName = from;
  f.displayTo = to;
  return sb::MakeMail(f);
}

// Removes the written file at the end of the test.
class TempFile {
 public:
  explicit TempFile(std::string path) : path_(std::move(path)) {}
  ~TempFile() {
    std::error_code ec;
    std::filesystem::remove(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

class SessionTest : public ::testing::TestWithParam<sb::Format> {
 protected:
  // Writes the builder's mailbox and returns its path.
  std::string Write(sb::MailboxBuilder& mb) {
    files_.push_back(std::make_unique<TempFile>(TempPath("session")));
    mb.Write(files_.back()->path());
    return files_.back()->path();
  }
  std::string WriteBytes(const std::string& bytes) {
    files_.push_back(std::make_unique<TempFile>(TempPath("raw")));
    std::ofstream(files_.back()->path(), std::ios::binary) << bytes;
    return files_.back()->path();
  }
  // Runs a whole recovery of `path` and waits for its end.
  void Run(const std::string& path) {
    session.StartRecovery(path);
    session.WaitForWorker();
  }
  std::vector<std::string> FolderPaths() const {
    std::vector<std::string> out;
    for (const FolderRecord* f = session.data().firstFolder(); f; f = f->Next()) {
      out.push_back(f->folderPath);
    }
    return out;
  }
  std::vector<std::string> Column(const std::string& path, size_t column) const {
    std::vector<std::string> out;
    for (const auto& row : FillItemList(session.data(), path).rows) out.push_back(row.cells.at(column));
    return out;
  }
  std::vector<std::string> TreePaths() const {
    std::vector<std::string> out;
    for (const TreeItem* t : view.tree().PreOrder()) out.push_back(FolderTreeModel::ItemPath(t));
    return out;
  }

  RecordingView view;
  RecoverySession session{view};

 private:
  std::vector<std::unique_ptr<TempFile>> files_;
};

}  // namespace velmorix::session::testing
