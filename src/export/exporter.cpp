#include "export/exporter.h"

#include <cstdio>
#include <map>
#include <memory>

#include "export/eml.h"
#include "export/icalendar.h"
#include "export/mbox.h"
#include "export/msg.h"
#include "export/output.h"
#include "export/vcard.h"

namespace velmorix::exporting {
namespace {

using content::Item;

std::string Hex(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%x", v);
  return buf;
}

std::string FolderLabel(const std::vector<std::string>& path) {
  std::string s;
  for (const auto& p : path) {
    if (!s.empty()) s += '\\';
    s += p;
  }
  return s;
}

// The folders made so far, as a tree that mirrors the folder paths. Only
// the folders on the path in use hold a descriptor.
struct DirNode {
  std::unique_ptr<OutputDir> dir;
  std::map<std::string, std::unique_ptr<DirNode>> children;  // by folder name as stored
};

class Job {
 public:
  Job(content::ItemReader& reader, const ExportOptions& options, const ProgressCallback& progress,
      ExportResult& result)
      : reader_(reader), options_(options), progress_(progress), result_(result) {}

  void Run(const std::vector<FolderItems>& folders) {
    root_.dir = OutputDir::Open(options_.destination, &result_.error);
    if (!root_.dir) return;
    status_.itemsTotal = CountItems(folders, options_.format);
    for (const FolderItems& f : folders) {
      if (!Takes(options_.format, f.kind) || f.nodeIds.empty()) continue;
      status_.folder = FolderLabel(f.path);
      OutputDir* dir = Enter(f.path);
      if (!dir) return;
      const bool go = options_.format == Format::Mbox ? ExportMbox(*dir, f) : ExportFiles(*dir, f);
      if (!go) return;
    }
  }

 private:
  // The directory of a folder path, made when missing.
  OutputDir* Enter(const std::vector<std::string>& path) {
    std::vector<DirNode*> chain{&root_};
    DirNode* node = &root_;
    for (const std::string& name : path) {
      auto& child = node->children[name];
      if (!child) {
        child = std::make_unique<DirNode>();
        child->dir = node->dir->CreateSubdirectory(name, &result_.error);
        if (!child->dir) {
          node->children.erase(name);
          return nullptr;
        }
      } else if (!child->dir->Reopen(&result_.error)) {
        return nullptr;
      }
      node = child.get();
      chain.push_back(node);
    }
    // Folders off the new path give their descriptors back.
    for (DirNode* open : open_) {
      if (std::find(chain.begin(), chain.end(), open) == chain.end()) open->dir->Close();
    }
    open_ = std::move(chain);
    return node->dir.get();
  }

  std::optional<Item> Read(uint32_t nid, std::string& error) {
    content::ReadOptions read;
    read.properties = false;
    if (options_.format == Format::Msg) read = MsgReadOptions();
    return reader_.Read(nid, read, &error);
  }

  void Fail(uint32_t nid, const std::string& subject, const std::string& reason) {
    ++result_.itemsFailed;
    result_.failures.push_back({status_.folder, nid, subject, reason});
  }

  void Warn(uint32_t nid, const Item& item, const std::vector<std::string>& problems) {
    for (const auto& p : problems) result_.warnings.push_back({status_.folder, nid, item.subject, p});
  }

  // Counts one item done and asks whether to go on.
  bool Step() {
    ++status_.itemsDone;
    status_.bytesWritten = result_.bytesWritten;
    if (progress_ && !progress_(status_)) {
      result_.cancelled = true;
      return false;
    }
    return true;
  }

  bool Committed(OutputFile& file, std::string_view name, std::string_view extension, std::string_view fallback) {
    const uint64_t size = file.size();
    auto path = file.Commit(name, extension, fallback, &result_.error);
    if (!path) return false;
    ++result_.filesWritten;
    result_.bytesWritten += size;
    return true;
  }

  bool ExportMbox(OutputDir& dir, const FolderItems& folder) {
    auto file = dir.CreateFile(&result_.error);
    if (!file) return false;
    const mime::Sink sink = [&](std::string_view b) { return file->Write(b); };
    size_t written = 0;
    for (uint32_t nid : folder.nodeIds) {
      std::string error;
      auto item = Read(nid, error);
      if (!item) {
        Fail(nid, {}, error);
      } else {
        std::vector<std::string> problems;
        if (!AppendToMbox(reader_, *item, sink, problems, &error)) {
          result_.error = "cannot write the mbox of " + status_.folder + ": " + error;
          return false;
        }
        Warn(nid, *item, problems);
        ++written;
        ++result_.itemsWritten;
      }
      if (!Step()) return false;
    }
    if (written == 0) return true;
    const std::string name = folder.path.empty() ? std::string("mbox") : folder.path.back();
    return Committed(*file, name, ".mbox", "mbox");
  }

  bool ExportFiles(OutputDir& dir, const FolderItems& folder) {
    for (uint32_t nid : folder.nodeIds) {
      std::string error;
      auto item = Read(nid, error);
      if (!item) {
        Fail(nid, {}, error);
      } else if (!WriteItem(dir, folder.kind, nid, *item)) {
        return false;
      }
      if (!Step()) return false;
    }
    return true;
  }

  // The name of an item's file, before it is made safe.
  static std::string ItemName(const Item& item, ListKind kind) {
    if (kind == ListKind::Contacts && item.contact) {
      const auto& c = *item.contact;
      for (const std::string* n : {&c.displayName, &c.fileUnder, &item.subject, &c.company}) {
        if (!n->empty()) return *n;
      }
    }
    if (kind == ListKind::Notes && item.subject.empty()) {
      // A note is known by its first line.
      const std::string& body = item.bodies.plain.text;
      return body.substr(0, std::min(body.find_first_of("\r\n"), size_t{80}));
    }
    return item.subject;
  }

  enum class Written { Done, ItemFailed, Stop };

  // Writes an item's content in the export's format; `extension` is set
  // to its file's.
  Written WriteContent(OutputDir& dir, OutputFile& file, ListKind kind, uint32_t nid, const Item& item,
                       std::vector<std::string>& problems, const char*& extension) {
    auto failed = [&](const std::string& error) {
      if (file.failed()) {
        result_.error = "cannot write in " + dir.path() + ": " + error;
        return Written::Stop;
      }
      Fail(nid, item.subject, error);
      return Written::ItemFailed;
    };
    extension = ".eml";
    if (options_.format == Format::Msg) {
      extension = ".msg";
      std::string error;
      if (!file.WriteThrough([&](int fd) { return WriteMsg(reader_, item, fd, problems, &error); })) {
        return failed(error);
      }
      problems.insert(problems.end(), item.problems.begin(), item.problems.end());
      return Written::Done;
    }
    switch (kind) {
      case ListKind::Mail: {
        const mime::Sink sink = [&](std::string_view b) { return file.Write(b); };
        std::string error;
        if (!WriteMessage(reader_, item, sink, MessageOptions{}, problems, &error)) return failed(error);
        break;
      }
      case ListKind::Contacts:
        extension = ".vcf";
        file.Write(VCard(item));
        break;
      case ListKind::Calendar:
      case ListKind::Tasks:
      case ListKind::Journal: {
        extension = ".ics";
        const CalendarKind ck = kind == ListKind::Tasks     ? CalendarKind::Todo
                                : kind == ListKind::Journal ? CalendarKind::Journal
                                                            : CalendarKindOf(item);
        file.Write(ICalendar(item, ck));
        break;
      }
      case ListKind::Notes:
        extension = ".txt";
        file.Write(item.bodies.plain.present() ? std::string_view(item.bodies.plain.text) : std::string_view(item.subject));
        break;
    }
    return Written::Done;
  }

  bool WriteItem(OutputDir& dir, ListKind kind, uint32_t nid, const Item& item) {
    auto file = dir.CreateFile(&result_.error);
    if (!file) return false;
    std::vector<std::string> problems;
    const char* extension = ".eml";
    switch (WriteContent(dir, *file, kind, nid, item, problems, extension)) {
      case Written::Stop: return false;
      case Written::ItemFailed: return true;
      case Written::Done: break;
    }
    const std::string fallback = "item-" + Hex(nid);
    const uint64_t size = file->size();
    auto path = file->Commit(ItemName(item, kind), extension, fallback, &result_.error);
    if (!path) return false;
    ++result_.filesWritten;
    ++result_.itemsWritten;
    result_.bytesWritten += size;
    if (kind != ListKind::Mail && options_.format != Format::Msg && options_.attachmentsOfOtherItems &&
        !SaveAttachments(dir, *path, item, problems)) {
      return false;
    }
    Warn(nid, item, problems);
    return true;
  }

  // Attachments of an item other than a mail, in a folder beside its file.
  bool SaveAttachments(OutputDir& dir, const std::string& itemPath, const Item& item,
                       std::vector<std::string>& problems) {
    bool any = false;
    for (const auto& a : item.attachments) any = any || a.readable;
    if (!any) return true;
    std::string stem = itemPath.substr(itemPath.rfind('/') + 1);
    stem = stem.substr(0, stem.rfind('.'));
    auto sub = dir.CreateSubdirectory(stem + " attachments", &result_.error);
    if (!sub) return false;
    for (const auto& a : item.attachments) {
      const std::string label = "attachment " + std::to_string(a.index + 1);
      if (!a.readable) {
        if (a.damaged) problems.push_back(label + " could not be read: " + a.problem);
        continue;
      }
      auto file = sub->CreateFile(&result_.error);
      if (!file) return false;
      std::string error;
      const char* extension = "";
      bool read;
      if (a.isEmbeddedMessage()) {
        extension = ".eml";
        content::ReadOptions options;
        options.properties = false;
        auto inner = reader_.ReadEmbedded(a, options, &error);
        const mime::Sink sink = [&](std::string_view b) { return file->Write(b); };
        read = inner && WriteMessage(reader_, *inner, sink, MessageOptions{}, problems, &error);
      } else {
        read = reader_.ReadAttachment(a, [&](ByteSpan b) { return file->Write(b); }, &error);
      }
      if (file->failed()) {
        result_.error = "cannot write in " + sub->path();
        return false;
      }
      if (!read) {
        problems.push_back(label + " could not be read: " + error);
        continue;
      }
      if (!Committed(*file, a.fileName, extension, "attachment-" + std::to_string(a.index + 1))) return false;
    }
    return true;
  }

  content::ItemReader& reader_;
  const ExportOptions& options_;
  const ProgressCallback& progress_;
  ExportResult& result_;
  Progress status_;
  DirNode root_;
  std::vector<DirNode*> open_;
};

}  // namespace

std::optional<Format> ParseFormat(std::string_view name) {
  if (name == "eml") return Format::Eml;
  if (name == "mbox") return Format::Mbox;
  if (name == "vcf") return Format::VCard;
  if (name == "ics") return Format::ICalendar;
  if (name == "msg") return Format::Msg;
  if (name == "all") return Format::All;
  if (name == "pst") return Format::Pst;
  return std::nullopt;
}

bool Takes(Format format, ListKind kind) {
  switch (format) {
    case Format::Eml:
    case Format::Mbox: return kind == ListKind::Mail;
    case Format::VCard: return kind == ListKind::Contacts;
    case Format::ICalendar:
      return kind == ListKind::Calendar || kind == ListKind::Tasks || kind == ListKind::Journal;
    case Format::Msg:
    case Format::All:
    case Format::Pst: return true;
  }
  return false;
}

size_t CountItems(const std::vector<FolderItems>& folders, Format format) {
  size_t n = 0;
  for (const auto& f : folders) {
    if (Takes(format, f.kind)) n += f.nodeIds.size();
  }
  return n;
}

ExportResult Export(content::ItemReader& reader, const std::vector<FolderItems>& folders,
                    const ExportOptions& options, const ProgressCallback& progress) {
  ExportResult result;
  Job job(reader, options, progress, result);
  job.Run(folders);
  return result;
}

}  // namespace velmorix::exporting
