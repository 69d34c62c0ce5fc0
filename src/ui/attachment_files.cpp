#include "ui/attachment_files.h"

#include <algorithm>

#include "content/safe_name.h"

namespace velmorix::ui {

size_t SaveReport::saved() const {
  return static_cast<size_t>(std::count_if(files.begin(), files.end(), [](const SavedFile& f) { return !f.path.empty(); }));
}

std::string AttachmentFileName(const content::Attachment& a) {
  std::string name = !a.fileName.empty() ? a.fileName : a.displayName;
  const std::string& ext = a.extension;
  if (!ext.empty() && ext.front() == '.' && ext.size() > 1 && name.find('.') == std::string::npos) name += ext;
  return name;
}

SaveReport SaveAttachments(content::ItemReader& reader, const std::vector<content::Attachment>& attachments,
                           const std::string& dir, const std::function<bool()>& stop) {
  SaveReport report;
  for (const content::Attachment& a : attachments) {
    if (stop()) {
      report.stopped = true;
      break;
    }
    SavedFile& file = report.files.emplace_back();
    file.name = !a.fileName.empty() ? a.fileName : a.displayName;
    if (a.isEmbeddedMessage()) {
      file.problem = "an embedded message: open it to read it";
      continue;
    }
    if (!a.readable) {
      file.problem = a.problem.empty() ? "its data cannot be read" : a.problem;
      continue;
    }
    std::string error;
    std::optional<content::NewFile> out = content::NewFile::Create(dir, &error);
    if (!out) {
      file.problem = error;
      break;  // the folder itself cannot be written: the others would fail alike
    }
    bool writeFailed = false;
    const bool whole = reader.ReadAttachment(
        a,
        [&](ByteSpan piece) {
          if (stop()) return false;
          if (!out->Write(piece)) {
            writeFailed = true;
            return false;
          }
          return true;
        },
        &error);
    if (!whole) {
      if (stop()) {
        report.stopped = true;
        report.files.pop_back();
        break;
      }
      file.problem = writeFailed ? "cannot write into " + dir : (error.empty() ? "its data cannot be read" : error);
      continue;  // the unfinished file is removed with `out`
    }
    if (auto path = out->Commit(AttachmentFileName(a), "attachment", &error)) {
      file.path = *path;
    } else {
      file.problem = error;
    }
  }
  return report;
}

}  // namespace velmorix::ui
