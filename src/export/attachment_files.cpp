#include "export/attachment_files.h"

#include <algorithm>
#include <cctype>

#include "content/safe_name.h"
#include "export/eml.h"

namespace velmorix::exporting {

size_t SaveReport::saved() const {
  return static_cast<size_t>(std::count_if(files.begin(), files.end(), [](const SavedFile& f) { return !f.path.empty(); }));
}

namespace {

bool EndsWithNoCase(const std::string& s, std::string_view end) {
  if (s.size() < end.size()) return false;
  for (size_t i = 0; i < end.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(s[s.size() - end.size() + i])) != end[i]) return false;
  }
  return true;
}

// Writes the message embedded in `a` as an RFC 5322 message into `out`.
bool WriteEmbedded(content::ItemReader& reader, const content::Attachment& a, content::NewFile& out,
                   const std::function<bool()>& stop, std::string& problem, uint64_t& written) {
  std::string error;
  std::optional<content::Item> inner = reader.ReadEmbedded(a, {.properties = false}, &error);
  if (!inner) {
    problem = error.empty() ? "the embedded message cannot be read" : error;
    return false;
  }
  std::vector<std::string> parts;
  bool writeFailed = false;
  const mime::Sink sink = [&](std::string_view bytes) {
    if (stop()) return false;
    writeFailed = !out.Write(AsBytes(bytes));
    written += bytes.size();
    return !writeFailed;
  };
  if (!WriteMessage(reader, *inner, sink, MessageOptions{}, parts, &error)) {
    problem = writeFailed ? "the file cannot be written" : (error.empty() ? "the message cannot be written" : error);
    return false;
  }
  return true;
}

}  // namespace

std::string AttachmentFileName(const content::Attachment& a) {
  std::string name = !a.fileName.empty() ? a.fileName : a.displayName;
  if (a.isEmbeddedMessage()) {
    if (EndsWithNoCase(name, ".msg")) name.resize(name.size() - 4);
    if (!EndsWithNoCase(name, ".eml")) name += ".eml";
    return name;
  }
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
    if (!a.readable) {
      file.problem = a.problem.empty() ? "its data cannot be read" : a.problem;
      continue;
    }
    std::string error;
    std::optional<content::NewFile> out = content::NewFile::Create(dir, &error);
    if (!out) {
      file.problem = error;
      continue;
    }
    bool writeFailed = false;
    bool whole = false;
    if (a.isEmbeddedMessage()) {
      whole = WriteEmbedded(reader, a, *out, stop, error, file.bytes);
    } else {
      whole = reader.ReadAttachment(
          a,
          [&](ByteSpan piece) {
            if (stop()) return false;
            file.bytes += piece.size();
            if (!out->Write(piece)) {
              writeFailed = true;
              return false;
            }
            return true;
          },
          &error);
    }
    if (!whole) {
      if (stop()) {
        report.stopped = true;
        report.files.pop_back();
        break;
      }
      file.problem = writeFailed ? "cannot write into " + dir : (error.empty() ? "its data cannot be read" : error);
      continue;  // the unfinished file is removed with `out`
    }
    if (auto path = out->Commit(AttachmentFileName(a), "attachment-" + std::to_string(a.index + 1), &error)) {
      file.path = *path;
    } else {
      file.problem = error;
    }
  }
  return report;
}

}  // namespace velmorix::exporting
