#include "cli/search.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <iostream>

#include "cli/cli_view.h"
#include "cli/commands.h"
#include "cli/file_errors.h"
#include "cli/json.h"
#include "cli/numbers.h"
#include "cli/recover.h"
#include "content/item_reader.h"
#include "search/content_search.h"
#include "search/listed_search.h"
#include "session/listed_items.h"
#include "session/session.h"
#include "session/session_data.h"

namespace velmorix::cli {

namespace {

// As grep: 0 matches found, 1 none, 2 the file could not be searched.
constexpr int kExitNoMatch = 1;
constexpr int kExitSearchFailed = 2;

// The column set a row was listed under, told by its picture and cells.
session::ColumnSet SetOfRow(const session::RowView& row) {
  if (row.cellCount == 4) return session::ColumnSet::Mail;
  switch (row.picture) {
    case session::kListContact: return session::ColumnSet::Contacts;
    case session::kListTasks: return session::ColumnSet::Tasks;
    case session::kListJournal: return session::ColumnSet::Journal;
    case session::kListNotes: return session::ColumnSet::Notes;
    case session::kListCalendar: return session::ColumnSet::Calendar;
    default: return session::ColumnSet::Mail;
  }
}

// TAB, CR and LF inside a field become one blank.
std::string Field(std::string_view text) {
  std::string s(text);
  std::replace_if(s.begin(), s.end(), [](char c) { return c == '\t' || c == '\r' || c == '\n'; }, ' ');
  return s;
}

size_t Width(std::string_view s) {
  size_t n = 0;
  for (char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

// Calls `group` once per run of matches in one list.
template <typename Group>
void ForEachList(const std::vector<SearchMatch>& matches, Group group) {
  for (size_t start = 0; start < matches.size();) {
    size_t end = start + 1;
    while (end < matches.size() && matches[end].folder == matches[start].folder &&
           matches[end].set == matches[start].set) {
      ++end;
    }
    group(start, end);
    start = end;
  }
}

void PrintTsv(std::ostream& out, const std::vector<SearchMatch>& matches, bool ids) {
  std::string chunk;
  ForEachList(matches, [&](size_t start, size_t end) {
    chunk += "list\t" + Field(matches[start].folder) + '\t' + session::ColumnSetName(matches[start].set);
    for (const auto& c : session::Columns(matches[start].set)) chunk += '\t' + Field(c.title);
    chunk += '\n';
    for (size_t i = start; i < end; ++i) {
      const session::ListRow& row = matches[i].row;
      chunk += "row\t" + std::to_string(row.picture);
      for (const auto& cell : row.cells) chunk += '\t' + Field(cell);
      if (ids) chunk += '\t' + Hex(row.nodeId);
      chunk += '\n';
    }
    out << chunk;
    chunk.clear();
  });
  out << "summary\tmatches=" << matches.size() << '\n';
}

void PrintJson(std::ostream& out, const std::vector<SearchMatch>& matches, bool ids) {
  std::string chunk;
  ForEachList(matches, [&](size_t start, size_t end) {
    chunk += "{\"type\":\"list\",\"path\":";
    AppendJsonString(chunk, matches[start].folder);
    chunk += ",\"set\":";
    AppendJsonString(chunk, session::ColumnSetName(matches[start].set));
    chunk += ",\"columns\":[";
    const char* comma = "";
    for (const auto& c : session::Columns(matches[start].set)) {
      chunk += comma;
      AppendJsonString(chunk, c.title);
      comma = ",";
    }
    chunk += "]}\n";
    for (size_t i = start; i < end; ++i) {
      const session::ListRow& row = matches[i].row;
      chunk += "{\"type\":\"row\",\"folder\":";
      AppendJsonString(chunk, matches[i].folder);
      chunk += ",\"picture\":" + std::to_string(row.picture) + ",\"cells\":[";
      comma = "";
      for (const auto& cell : row.cells) {
        chunk += comma;
        AppendJsonString(chunk, cell);
        comma = ",";
      }
      chunk += ']';
      if (ids) chunk += ",\"id\":\"" + Hex(row.nodeId) + '"';
      chunk += "}\n";
    }
    out << chunk;
    chunk.clear();
  });
  out << "{\"type\":\"summary\",\"matches\":" << matches.size() << "}\n";
}

void PrintText(std::ostream& out, const std::vector<SearchMatch>& matches, bool ids) {
  ForEachList(matches, [&](size_t start, size_t end) {
    const size_t n = end - start;
    out << Field(matches[start].folder) << "  [" << session::ColumnSetName(matches[start].set) << ", " << n
        << (n == 1 ? " match]" : " matches]") << '\n';
    std::vector<std::vector<std::string>> lines;
    std::vector<std::string> header;
    for (const auto& c : session::Columns(matches[start].set)) header.push_back(c.title);
    if (ids) header.push_back("ID");
    lines.push_back(header);
    for (size_t i = start; i < end; ++i) {
      std::vector<std::string> line;
      for (const auto& cell : matches[i].row.cells) line.push_back(Field(cell));
      if (ids) line.push_back(Hex(matches[i].row.nodeId));
      lines.push_back(std::move(line));
    }
    std::vector<size_t> widths(header.size(), 0);
    for (const auto& line : lines) {
      for (size_t i = 0; i < line.size() && i < widths.size(); ++i) widths[i] = std::max(widths[i], Width(line[i]));
    }
    for (const auto& line : lines) {
      std::string text = "    ";
      for (size_t i = 0; i < line.size(); ++i) {
        text += line[i];
        if (i + 1 < line.size() && i < widths.size()) text += std::string(widths[i] - Width(line[i]) + 2, ' ');
      }
      while (!text.empty() && text.back() == ' ') text.pop_back();
      out << text << '\n';
    }
  });
  out << Thousands(matches.size()) << (matches.size() == 1 ? " match\n" : " matches\n");
}

}  // namespace

std::vector<SearchMatch> FindMatches(const session::FolderTreeModel& tree, const session::SessionData& data,
                                     const search::Matcher& matcher, content::ItemReader* reader,
                                     const session::TreeItem* subtree) {
  std::vector<SearchMatch> matches;
  const bool ansi = data.variant() == store::Variant::Ansi;
  search::ForEachRow(
      tree, data, matcher,
      [&](const search::RowInList& hit) {
        if (!hit.headlineMatch && !(reader && search::ContentMatches(matcher, *reader, hit.row.nodeId))) return true;
        SearchMatch& m = matches.emplace_back();
        m.folder = ansi ? session::Cp1252ToUtf8(hit.folder) : hit.folder;
        m.set = SetOfRow(hit.row);
        m.row.picture = hit.row.picture;
        m.row.nodeId = hit.row.nodeId;
        m.row.date = hit.row.date;
        for (int i = 0; i < hit.row.cellCount; ++i) m.row.cells.emplace_back(hit.row.cells[i]);
        return true;
      },
      subtree);
  return matches;
}

std::optional<search::Query> QueryOf(const Arguments& args, std::string_view command, std::string text) {
  const Command* self = FindCommand(command);
  search::Query query;
  query.text = std::move(text);
  if (args.Has("--in")) {
    const std::optional<unsigned> fields = search::ParseFields(args.Value("--in"));
    if (!fields) {
      UsageError(self, "--in takes subject, from, to, body, attachments, separated by commas");
      return std::nullopt;
    }
    query.fields = *fields;
  }
  for (const char* option : {"--after", "--before"}) {
    if (!args.Has(option)) continue;
    const std::optional<uint64_t> date = search::ParseDate(args.Value(option));
    if (!date) {
      UsageError(self, std::string(option) + " takes a date as YYYY-MM-DD (or YYYY-MM-DDTHH:MM[:SS], UTC)");
      return std::nullopt;
    }
    (std::strcmp(option, "--after") == 0 ? query.after : query.before) = *date;
  }
  return query;
}

int RunSearch(int argc, char** argv) {
  const Command& self = *FindCommand("search");
  Arguments args;
  if (const int status = ParseArguments(self, argc, argv, args); status != kRunCommand) return status;
  const std::string& path = args.operands[0];
  std::optional<search::Query> query = QueryOf(args, "search", args.operands[1]);
  if (!query) return kExitUsage;
  const std::string format = args.Value("--format", "text");

  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) {
    std::cerr << "velmorix-cli: " << path << ": " << std::strerror(path.empty() ? ENOENT : errno) << '\n';
    return kExitSearchFailed;
  }
  CliView view;
  session::RecoverySession session(view);
  session.deepScan = args.Has("--deep") ? session::DeepScanChoice::Always : session::DeepScanChoice::Never;
  RunToEnd(session, view, path, nullptr, nullptr);
  if (session.outcome() != session::RunOutcome::Finished) {
    std::string reason = OpenFailureReason(path);
    if (reason.empty()) reason = "cannot be read as an offline-folders file";
    std::cerr << "velmorix-cli: " << path << ": " << reason << '\n';
    return kExitSearchFailed;
  }

  const session::TreeItem* subtree = nullptr;
  if (args.Has("--folder")) {
    subtree = session::FindFolder(view.tree(), args.Value("--folder"), session.data().variant() == store::Variant::Ansi);
    if (!subtree) return UsageError(&self, "no folder " + args.Value("--folder") + " (give it as recover prints it)");
  }
  const search::Matcher matcher(*query);
  std::unique_ptr<content::ItemReader> reader;
  if (matcher.ReadsContent()) {
    std::string error;
    reader = content::ItemReader::Open(path, session.data().storeData, &session.data().names, &error);
    if (!reader) {
      std::cerr << "velmorix-cli: " << path << ": " << error << '\n';
      return kExitSearchFailed;
    }
  }
  const std::vector<SearchMatch> matches = FindMatches(view.tree(), session.data(), matcher, reader.get(), subtree);
  const bool ids = args.Has("--ids");
  if (format == "tsv") PrintTsv(std::cout, matches, ids);
  else if (format == "json") PrintJson(std::cout, matches, ids);
  else PrintText(std::cout, matches, ids);
  std::cout.flush();
  return matches.empty() ? kExitNoMatch : kExitFinished;
}

}  // namespace velmorix::cli
