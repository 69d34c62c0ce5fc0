#include "cli/recover.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <sstream>
#include <sys/stat.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "cli/cli_view.h"
#include "cli/commands.h"
#include "cli/file_errors.h"
#include "cli/json.h"
#include "cli/progress.h"
#include "session/folder_list.h"
#include "session/session.h"
#include "session/session_data.h"
#include "store/store.h"

namespace velmorix::cli {

namespace {

static_assert(std::atomic<bool>::is_always_lock_free, "the Ctrl-C handler needs a lock-free flag");
static_assert(std::atomic<std::atomic<bool>*>::is_always_lock_free);

std::atomic<bool> g_interrupted{false};
// The running session's stop request, set straight from the Ctrl-C handler.
std::atomic<std::atomic<bool>*> g_sessionStop{nullptr};

void OnInterrupt(int) {
  if (std::atomic<bool>* stop = g_sessionStop.load()) stop->store(true);
  g_interrupted.store(true);
}

// TAB, CR and LF inside a tsv field become one blank.
std::string Field(std::string_view text) {
  std::string s(text);
  std::replace_if(s.begin(), s.end(), [](char c) { return c == '\t' || c == '\r' || c == '\n'; }, ' ');
  return s;
}

const char* StateLetter(session::SessionState s) {
  switch (s) {
    case session::SessionState::Idle: return "A";
    case session::SessionState::Scanning: return "B";
    case session::SessionState::Finished: return "C";
  }
  return "?";
}

const char* StateName(session::SessionState s) {
  switch (s) {
    case session::SessionState::Idle: return "Idle";
    case session::SessionState::Scanning: return "Scanning";
    case session::SessionState::Finished: return "Finished";
  }
  return "?";
}

const char* PictureName(int picture) {
  switch (picture) {
    case session::kListCalendar: return "calendar";
    case session::kListContact: return "contact";
    case session::kListJournal: return "journal";
    case session::kListNotes: return "note";
    case session::kListTasks: return "task";
    case session::kListEnvelope: return "mail";
    case session::kListEnvelopeClip: return "mail+clip";
    default: return "item";
  }
}

// Display width of UTF-8 text, one column per code point.
size_t Width(const std::string& s) {
  size_t n = 0;
  for (char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

struct Listing {
  const session::TreeItem* item;
  std::string path;
  session::ListContent content;
};

// Calls `print` with the listing of each tree item in pre-order. One listing
// is alive at a time: a big store's rows are never all held at once.
template <typename Print>
void ForEachListing(const CliView& view, const session::SessionData& data, Print print) {
  for (const session::TreeItem* item : view.tree().PreOrder()) {
    std::string path = session::FolderTreeModel::ItemPath(item);
    session::ListContent content = session::FillItemList(data, path);
    print(Listing{item, std::move(path), std::move(content)});
  }
}

// Appends `text` to `line` as a tsv field: TAB, CR and LF become one blank.
void AppendField(std::string& line, std::string_view text) {
  const size_t start = line.size();
  line += text;
  for (size_t i = start; i < line.size(); ++i) {
    char& c = line[i];
    if (c == '\t' || c == '\r' || c == '\n') c = ' ';
  }
}

// A node id as "0x" and lowercase hex.
std::string NodeIdText(uint32_t nid) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%x", nid);
  return buf;
}

void PrintTsv(std::ostream& out, const CliView& view, const session::RecoverySession& session,
              bool ids) {
  for (const auto& e : view.events()) {
    out << (e.kind == CliView::Event::Status ? "status\t" : "message\t") << Field(e.text) << '\n';
  }
  for (const session::FolderRecord* f = session.data().firstFolder(); f; f = f->Next()) {
    out << "folder\t" << Field(f->folderPath) << '\n';
  }
  // Rows are formatted into one string and written in large pieces.
  std::string chunk;
  auto flushChunk = [&] {
    out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    chunk.clear();
  };
  ForEachListing(view, session.data(), [&](const Listing& l) {
    if (!l.content.changes) return;
    chunk += "list\t";
    AppendField(chunk, l.path);
    chunk += '\t';
    chunk += session::ColumnSetName(l.content.columnSet);
    for (const auto& c : session::Columns(l.content.columnSet)) {
      chunk += '\t';
      AppendField(chunk, c.title);
    }
    chunk += '\n';
    for (const auto& row : l.content.rows) {
      chunk += "row\t";
      chunk += std::to_string(row.picture);
      for (const auto& cell : row.cells) {
        chunk += '\t';
        AppendField(chunk, cell);
      }
      if (ids) {
        chunk += '\t';
        chunk += NodeIdText(row.nodeId);
      }
      chunk += '\n';
      if (chunk.size() >= 64 * 1024) flushChunk();
    }
  });
  flushChunk();
  out << "summary\tfolders=" << session.folderCount() << "\tmails=" << session.mailCount()
      << "\tnodes=" << session.nodesVisited() << "\tstate=" << StateLetter(session.state())
      << "\tdamaged_attachments=" << session.damagedAttachments() << '\n';
}

// The tsv records as JSON objects, one a line, keys in a fixed order; texts
// exact (TAB, CR and LF escaped, not blanked).
void PrintJson(std::ostream& out, const CliView& view, const session::RecoverySession& session,
               bool ids) {
  std::string chunk;
  auto begin = [&](std::string_view type) {
    chunk += "{\"type\":\"";
    chunk += type;
    chunk += '"';
  };
  auto key = [&](std::string_view name) {
    chunk += ",\"";
    chunk += name;
    chunk += "\":";
  };
  auto text = [&](std::string_view name, std::string_view value) {
    key(name);
    AppendJsonString(chunk, value);
  };
  auto number = [&](std::string_view name, long long value) {
    key(name);
    chunk += std::to_string(value);
  };
  auto end = [&] {
    chunk += "}\n";
    if (chunk.size() >= 64 * 1024) {
      out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
      chunk.clear();
    }
  };

  for (const auto& e : view.events()) {
    begin(e.kind == CliView::Event::Status ? "status" : "message");
    text("text", e.text);
    end();
  }
  for (const session::FolderRecord* f = session.data().firstFolder(); f; f = f->Next()) {
    begin("folder");
    text("path", f->folderPath);
    end();
  }
  ForEachListing(view, session.data(), [&](const Listing& l) {
    if (!l.content.changes) return;
    begin("list");
    text("path", l.path);
    text("set", session::ColumnSetName(l.content.columnSet));
    key("columns");
    chunk += '[';
    const char* comma = "";
    for (const auto& c : session::Columns(l.content.columnSet)) {
      chunk += comma;
      AppendJsonString(chunk, c.title);
      comma = ",";
    }
    chunk += ']';
    end();
    for (const auto& row : l.content.rows) {
      begin("row");
      number("picture", row.picture);
      key("cells");
      chunk += '[';
      comma = "";
      for (const auto& cell : row.cells) {
        chunk += comma;
        AppendJsonString(chunk, cell);
        comma = ",";
      }
      chunk += ']';
      if (ids) text("id", NodeIdText(row.nodeId));
      end();
    }
  });
  begin("summary");
  number("folders", session.folderCount());
  number("mails", session.mailCount());
  number("nodes", session.nodesVisited());
  text("state", StateLetter(session.state()));
  number("damaged_attachments", session.damagedAttachments());
  end();
  out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
}

void PrintTable(std::ostream& out, const std::string& indent, const session::ListContent& content,
                bool ids) {
  std::vector<std::string> header{""};
  for (const auto& c : session::Columns(content.columnSet)) header.push_back(c.title);
  if (ids) header.push_back("ID");
  std::vector<std::vector<std::string>> lines{header};
  for (const auto& row : content.rows) {
    std::vector<std::string> line{PictureName(row.picture)};
    for (const auto& cell : row.cells) line.push_back(Field(cell));
    if (ids) line.push_back(NodeIdText(row.nodeId));
    lines.push_back(std::move(line));
  }
  std::vector<size_t> widths(header.size(), 0);
  for (const auto& line : lines) {
    for (size_t i = 0; i < line.size() && i < widths.size(); ++i) widths[i] = std::max(widths[i], Width(line[i]));
  }
  for (const auto& line : lines) {
    std::string text = indent;
    for (size_t i = 0; i < line.size(); ++i) {
      text += line[i];
      if (i + 1 < line.size()) text += std::string(widths[i] - Width(line[i]) + 2, ' ');
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    out << text << '\n';
  }
}

void PrintText(std::ostream& out, const CliView& view, const session::RecoverySession& session,
               bool ids) {
  for (const auto& e : view.events()) {
    if (e.kind == CliView::Event::Status) {
      if (!e.text.empty()) out << e.text << '\n';
    } else {
      out << "Message: " << e.text << '\n';
    }
  }
  if (!view.tree().PreOrder().empty()) out << '\n';
  ForEachListing(view, session.data(), [&](const Listing& l) {
    size_t depth = 0;
    for (const session::TreeItem* p = l.item->parent; p; p = p->parent) ++depth;
    const std::string indent(depth * 2, ' ');
    out << indent << Field(l.item->text);
    if (l.content.changes) {
      const size_t n = l.content.rows.size();
      out << "  [" << session::ColumnSetName(l.content.columnSet) << ", " << n
          << (n == 1 ? " item]" : " items]");
    }
    out << '\n';
    if (l.content.changes && !l.content.rows.empty()) PrintTable(out, indent + "    ", l.content, ids);
  });
  out << '\n'
      << "Folders: " << session.folderCount() << "  Mails: " << session.mailCount()
      << "  Nodes: " << session.nodesVisited() << "  State: " << StateName(session.state()) << '\n';
  if (const int damaged = session.damagedAttachments()) {
    out << "Items kept without their attachments (attachment table unreadable): " << damaged << '\n';
  }
}

// Names the file and why the run failed: the system's reason for a file that
// does not open, what the failed stage could not read otherwise.
void ReportFailure(std::ostream& err, const std::string& path, const session::RecoverySession& session) {
  const session::RunOutcome outcome = session.outcome();
  const int code = session.failureCode();
  if (outcome == session::RunOutcome::Stopped || (outcome == session::RunOutcome::Finished && code == 0)) return;
  std::string reason;
  if (outcome == session::RunOutcome::OpenFailed) {
    reason = OpenFailureReason(path);
    if (reason.empty()) reason = "cannot be opened";
  } else {
    store::Store s;
    if (store::OpenStore(s, path) == 0) reason = NotAStoreReason(s);
    if (reason.empty()) {
      static constexpr const char* kStage[] = {
          "the recovery failed",
          "the indexes cannot be read",
          "the named-property map cannot be read",
          "the store information cannot be read",
          "the top folder cannot be found",
          "the folder scan failed",
      };
      reason = kStage[code >= 0 && code <= 5 ? code : 0];
      if (code != 0) reason += " (Found Condition :00" + std::to_string(code) + ")";
    }
  }
  err << "velmorix-cli: " << path << ": " << reason << '\n';
}

int ExitStatus(const session::RecoverySession& session) {
  switch (session.outcome()) {
    case session::RunOutcome::Finished:
      // A deep scan that ran to its end recovered what the file still holds.
      return session.failureCode() != 0 && !session.deepScanRan() ? kExitFoundCondition : kExitFinished;
    case session::RunOutcome::OpenFailed: return kExitOpenFailed;
    case session::RunOutcome::Stopped: return kExitStopped;
    case session::RunOutcome::Failed:
    case session::RunOutcome::Aborted:
    case session::RunOutcome::None: return kExitFoundCondition;
  }
  return kExitFoundCondition;
}

}  // namespace

int Recover(const std::string& path, const RecoverOptions& options, std::ostream& out,
            const std::atomic<bool>* interrupt) {
  CliView view;
  session::RecoverySession session(view);
  auto print = [&] {
    if (options.progress) options.progress->Clear();
    if (options.format == OutputFormat::Tsv) PrintTsv(out, view, session, options.ids);
    else if (options.format == OutputFormat::Json) PrintJson(out, view, session, options.ids);
    else PrintText(out, view, session, options.ids);
    out.flush();
  };

  // The window's start command refuses a path that names nothing.
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) {
    const int error = path.empty() ? ENOENT : errno;
    if (options.errors) *options.errors << "velmorix-cli: " << path << ": " << std::strerror(error) << '\n';
    view.Note("Please select a valid file first");
    print();
    return kExitOpenFailed;
  }

  if (interrupt == &g_interrupted) g_sessionStop.store(&session.stopRequest());
  session.deepScan = options.deep ? session::DeepScanChoice::Always : session::DeepScanChoice::Never;
  const bool stopAsked = RunToEnd(session, view, path, options.progress, interrupt);
  g_sessionStop.store(nullptr);
  // A stop the worker saw before the Stop command ran: complete the command.
  if (!stopAsked && interrupt && interrupt->load() &&
      session.outcome() == session::RunOutcome::Stopped) {
    session.RequestStop();
  }
  if (!options.deep && session.damageFound() && session.outcome() != session::RunOutcome::Stopped) {
    view.Note(kDeepScanSuggestion);
  }

  print();
  if (options.errors) ReportFailure(*options.errors, path, session);
  return ExitStatus(session);
}

int RunRecover(int argc, char** argv) {
  Arguments args;
  if (const int status = ParseArguments(*FindCommand("recover"), argc, argv, args); status != kRunCommand) {
    return status;
  }
  RecoverOptions options;
  const std::string format = args.Value("--format", "text");
  options.format = format == "tsv" ? OutputFormat::Tsv : format == "json" ? OutputFormat::Json : OutputFormat::Text;
  options.ids = args.Has("--ids");
  options.deep = args.Has("--deep");
  options.errors = &std::cerr;
  std::optional<ProgressLine> progress;
  if (!args.Has("--quiet") && ProgressLine::StderrIsTerminal()) {
    options.progress = &progress.emplace(std::cerr, ProgressLine::StderrWidth());
  }

#ifdef __GLIBC__
  // The worker's allocator arena otherwise grows a page at a time, one
  // system call and fault per step; untouched padding costs no memory.
  mallopt(M_TOP_PAD, 64 << 20);
#endif

  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  return Recover(args.operands[0], options, std::cout, &g_interrupted);
}

}  // namespace velmorix::cli
