#include "cli/show.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <system_error>
#include <vector>

#include "cli/commands.h"
#include "cli/json.h"
#include "cli/numbers.h"
#include "cli/recover.h"
#include "content/item_reader.h"
#include "content/safe_name.h"
#include "export/attachment_files.h"
#include "export/msg.h"
#include "items/items.h"
#include "session/session_run.h"
#include "store/deep_scan.h"

namespace velmorix::cli {
namespace {

using content::Item;

std::string AddressText(const content::Address& a) {
  const std::string& addr = !a.smtpAddress.empty() ? a.smtpAddress : a.address;
  if (a.name.empty()) return addr;
  if (addr.empty() || addr == a.name) return a.name;
  return a.name + " <" + addr + ">";
}

const char* BodyName(BodyForm f) {
  switch (f) {
    case BodyForm::Plain: return "plain";
    case BodyForm::Html: return "html";
    case BodyForm::Rtf: return "rtf";
  }
  return "";
}

class Summary {
 public:
  explicit Summary(std::ostream& out) : out_(out) {}
  void Line(std::string_view label, std::string_view value) {
    if (value.empty()) return;
    out_ << label << ':' << std::string(label.size() < 13 ? 13 - label.size() : 1, ' ') << value << '\n';
  }
  void Time(std::string_view label, const std::optional<content::FileTime>& t) {
    if (t) Line(label, content::FormatFileTime(*t));
  }

 private:
  std::ostream& out_;
};

std::string Recipients(const Item& item, content::RecipientType type, const std::string& display) {
  std::string out;
  for (const auto& r : item.recipients) {
    if (r.type != type) continue;
    if (!out.empty()) out += ", ";
    out += AddressText(r);
  }
  return out.empty() ? display : out;
}

void KindFields(const Item& item, Summary& s) {
  if (const auto& c = item.contact) {
    std::string name;
    for (const std::string* part : {&c->prefix, &c->givenName, &c->middleName, &c->surname, &c->suffix}) {
      if (part->empty()) continue;
      if (!name.empty()) name += ' ';
      name += *part;
    }
    s.Line("Name", name.empty() ? c->displayName : name);
    s.Line("File as", c->fileUnder);
    s.Line("Company", c->company);
    s.Line("Department", c->department);
    s.Line("Job title", c->jobTitle);
    for (const auto& e : c->emails) s.Line("E-mail", e.displayName.empty() || e.displayName == e.address
                                                          ? e.address
                                                          : e.displayName + " <" + e.address + ">");
    for (const auto& p : c->phones) s.Line("Phone (" + p.label + ")", p.value);
    for (const auto& m : c->members) {
      s.Line("Member", m.address.empty() || m.displayName == m.address ? (m.displayName.empty() ? m.address : m.displayName)
                       : m.displayName.empty()                         ? m.address
                                                                       : m.displayName + " <" + m.address + ">");
    }
    for (const auto& a : c->addresses) {
      std::string text = a.full;
      if (text.empty()) {
        for (const std::string* part : {&a.street, &a.city, &a.state, &a.postalCode, &a.country}) {
          if (part->empty()) continue;
          if (!text.empty()) text += ", ";
          text += *part;
        }
      }
      for (char& ch : text) {
        if (ch == '\r' || ch == '\n') ch = ' ';
      }
      s.Line("Address (" + a.label + ")", text);
    }
    if (c->birthday) s.Line("Birthday", content::FormatFileTime(*c->birthday));
    s.Line("Web page", c->businessHomePage.empty() ? c->personalHomePage : c->businessHomePage);
  }
  if (const auto& a = item.appointment) {
    s.Time("Start", a->start);
    s.Time("End", a->end);
    if (a->allDay) s.Line("All day", "yes");
    s.Line("Location", a->location);
    s.Line("Recurrence", a->recurrenceText);
  }
  if (const auto& t = item.task) {
    s.Time("Start", t->start);
    s.Time("Due", t->due);
    static constexpr const char* kStatus[] = {"not started", "in progress", "complete", "waiting", "deferred"};
    if (t->status >= 0 && t->status < 5) s.Line("Status", kStatus[t->status]);
    if (t->percentComplete > 0) s.Line("Complete", std::to_string(static_cast<int>(t->percentComplete * 100)) + "%");
    s.Line("Owner", t->owner);
  }
  if (const auto& n = item.note) {
    static constexpr const char* kColors[] = {"blue", "green", "pink", "yellow", "white"};
    if (n->color >= 0 && n->color < 5) s.Line("Color", kColors[n->color]);
  }
  if (const auto& j = item.journal) {
    s.Line("Type", j->typeDescription.empty() ? j->type : j->typeDescription);
    s.Time("Start", j->start);
    s.Time("End", j->end);
  }
}

void PrintSummary(const Item& item, std::ostream& out) {
  Summary s(out);
  s.Line("Item", Hex(item.nodeId));
  s.Line("Class", item.messageClass);
  s.Line("Subject", item.subject);
  const content::Address& from = item.sentRepresenting.name.empty() && item.sentRepresenting.address.empty()
                                     ? item.sender
                                     : item.sentRepresenting;
  s.Line("From", AddressText(from));
  if (&from != &item.sender && AddressText(item.sender) != AddressText(from)) s.Line("Sender", AddressText(item.sender));
  s.Line("To", Recipients(item, content::RecipientType::To, item.displayTo));
  s.Line("Cc", Recipients(item, content::RecipientType::Cc, item.displayCc));
  s.Line("Bcc", Recipients(item, content::RecipientType::Bcc, item.displayBcc));
  s.Time("Sent", item.sentTime);
  s.Time("Received", item.receivedTime);
  if (!item.sentTime && !item.receivedTime) s.Time("Created", item.creationTime);
  if (item.importance == 0) s.Line("Importance", "low");
  if (item.importance == 2) s.Line("Importance", "high");
  s.Line("Message-ID", item.internetMessageId);
  KindFields(item, s);
  if (!item.attachments.empty()) {
    s.Line("Attachments", std::to_string(item.attachments.size()));
    for (const auto& a : item.attachments) {
      out << "  " << (a.index + 1) << "  ";
      if (a.isEmbeddedMessage()) {
        out << "message: " << (a.fileName.empty() ? "(no name)" : a.fileName);
      } else {
        out << (a.fileName.empty() ? "(no name)" : a.fileName) << "  " << Thousands(a.size) << " bytes";
      }
      if (!a.mimeType.empty()) out << "  " << a.mimeType;
      if (!a.contentId.empty()) out << "  cid:" << a.contentId;
      if (!a.readable) out << "  (unreadable: " << a.problem << ")";
      out << '\n';
    }
  }
  for (const auto& p : item.problems) s.Line("Damaged", p);
  out << '\n';
  if (item.bodies.plain.present()) {
    out << item.bodies.plain.text;
    if (!item.bodies.plain.text.empty() && item.bodies.plain.text.back() != '\n') out << '\n';
  } else {
    out << "(no text body)\n";
  }
}

std::string PropertyTag(const content::Property& p) {
  char tag[11];
  std::snprintf(tag, sizeof tag, "0x%04X%04X", p.id, p.type);
  return tag;
}

// Every property of the item as the window's Properties tab lists it: tag,
// name (a named property's name or LID), type, value; one line each.
void PrintProperties(const Item& item, bool json, std::ostream& out) {
  for (const content::Property& p : item.properties) {
    std::string value = p.unreadable ? "(unreadable)" : p.value;
    if (json) {
      std::string line = "{\"tag\":\"" + PropertyTag(p) + "\",\"name\":";
      AppendJsonString(line, p.name);
      if (p.id >= 0x8000) line += ",\"lid\":" + std::to_string(p.lid);
      line += ",\"type\":";
      AppendJsonString(line, p.typeName);
      line += ",\"size\":" + std::to_string(p.size) + ",\"value\":";
      AppendJsonString(line, p.unreadable ? std::string_view() : std::string_view(p.value));
      line += std::string(",\"truncated\":") + (p.truncated ? "true" : "false") +
              ",\"unreadable\":" + (p.unreadable ? "true" : "false") + "}\n";
      out << line;
      continue;
    }
    if (p.truncated) value += " ... (" + Thousands(p.size) + " bytes)";
    for (char& c : value) {
      if (static_cast<unsigned char>(c) < 0x20) c = ' ';  // one line per property
    }
    out << PropertyTag(p) << "  " << (p.name.empty() ? "-" : p.name) << "  " << p.typeName << "  " << value << '\n';
  }
}

std::string Label(const content::Attachment& a) {
  return "attachment " + std::to_string(a.index + 1) + (a.fileName.empty() ? std::string() : " (" + a.fileName + ")");
}

// Writes every attachment that has bytes into `dir`, an embedded message as
// an .eml file; 0 or kExitSomeUnreadable when one could not be read or saved.
int SaveAttachments(content::ItemReader& reader, const Item& item, const std::string& dir, std::ostream& err) {
  // Attachments without data of their own (a link, a stored OLE object the
  // item does not hold) are named but are no failure.
  std::vector<content::Attachment> withData;
  for (const auto& a : item.attachments) {
    const std::string label = Label(a);
    if (!a.readable && !a.damaged) {
      err << "not saved: " << label << ": " << a.problem << '\n';
      continue;
    }
    withData.push_back(a);
  }
  const exporting::SaveReport report = exporting::SaveAttachments(reader, withData, dir, [] { return false; });
  int status = 0;
  for (size_t i = 0; i < report.files.size() && i < withData.size(); ++i) {
    const exporting::SavedFile& file = report.files[i];
    if (file.path.empty()) {
      err << (withData[i].readable ? "cannot save " : "cannot read ") << Label(withData[i]) << ": " << file.problem
          << '\n';
      status = kExitSomeUnreadable;
      continue;
    }
    err << "saved " << file.path << " (" << Thousands(file.bytes) << " bytes)\n";
  }
  return status;
}

// Writes the item as the .msg file `target`, never replacing a file;
// 0, kExitSomeUnreadable (written without some part) or kExitOpenFailed.
int SaveMsg(content::ItemReader& reader, const Item& item, const std::string& target, std::ostream& err) {
  std::vector<std::string> problems;
  std::string error;
  auto saved = exporting::SaveMsg(reader, item, target, problems, &error);
  if (!saved) {
    err << "velmorix-cli: cannot write " << target << ": " << error << '\n';
    return kExitOpenFailed;
  }
  problems.insert(problems.begin(), item.problems.begin(), item.problems.end());
  for (const auto& p : problems) err << "warning: " << p << '\n';
  std::error_code ec;
  err << "saved " << *saved << " (" << Thousands(std::filesystem::file_size(*saved, ec)) << " bytes)\n";
  return problems.empty() ? 0 : kExitSomeUnreadable;
}

}  // namespace

std::optional<uint32_t> ParseItemId(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty() || text.size() > 10) return std::nullopt;
  uint64_t v = 0;
  for (char c : text) {
    int d;
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      d = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      d = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    if (v > 0xFFFFFFFFu) return std::nullopt;
  }
  return static_cast<uint32_t>(v);
}

namespace {

// A reader over the indexes a deep scan rebuilds: the items `recover --deep`
// lists, with the node ids it gives them.
std::unique_ptr<content::ItemReader> OpenAfterDeepScan(const std::string& path, items::NamedPropertyMap& names,
                                                       std::string* error) {
  store::Store s;
  if (store::OpenStore(s, path, false) != 0) {
    *error = "the file cannot be opened";
    return nullptr;
  }
  store::DeepScanResult found;
  bool damaged = true;
  try {
    damaged = !store::HeaderIntact(s) || s.variant == store::Variant::Unknown || store::LoadIndexes(s) != 0 ||
              s.indexPagesLost || s.nodesWithoutBlocks;
    found = store::DeepScan(s, s.data.get());
  } catch (const std::exception&) {
    found.report.completed = false;
  }
  if (!found.report.completed || !found.data) {
    *error = "the deep scan found nothing it can read";
    return nullptr;
  }
  s.data = found.data;
  // As recover --deep ties the tables found in a damaged file, so that the
  // ids it gives name the same items here.
  if (damaged) {
    std::atomic<bool> stop{false};
    try {
      session::detail::TieFoundTables(s, found, stop);
    } catch (...) {
    }
  }
  try {
    items::LoadNamedPropertyMap(s, names);
  } catch (const std::exception&) {
  }
  return content::ItemReader::Open(path, found.data, &names, error);
}

}  // namespace

int Show(const std::string& path, uint32_t id, const ShowOptions& options, std::ostream& out,
         std::ostream& err) {
  std::string error;
  items::NamedPropertyMap names;
  auto reader = options.deep ? OpenAfterDeepScan(path, names, &error) : content::ItemReader::Open(path, &error);
  if (!reader) {
    err << "velmorix-cli: cannot open " << path << ": " << error << '\n';
    return kExitOpenFailed;
  }
  content::ReadOptions read;
  read.properties = options.properties;
  if (!options.msgFile.empty()) {
    read = exporting::MsgReadOptions();
    read.properties = options.properties;
  }
  auto item = reader->Read(id, read, &error);
  if (!item) {
    err << "velmorix-cli: item " << Hex(id) << ": " << error << '\n';
    return kExitOpenFailed;
  }

  int status = kExitFinished;
  if (options.body) {
    const content::Body& body = *options.body == BodyForm::Plain  ? item->bodies.plain
                                : *options.body == BodyForm::Html ? item->bodies.html
                                                                  : item->bodies.rtf;
    const char* name = BodyName(*options.body);
    if (!body.present()) {
      err << "velmorix-cli: item " << Hex(id) << " has no " << name << " body\n";
      return kExitOpenFailed;
    }
    if (body.damaged && body.text.empty()) {
      err << "velmorix-cli: the " << name << " body of item " << Hex(id) << " cannot be read: " << body.problem
          << '\n';
      return kExitOpenFailed;
    }
    if (body.damaged) {
      err << "velmorix-cli: warning: the " << name << " body of item " << Hex(id)
          << " is damaged (" << body.problem << "); shown as far as it could be read\n";
    }
    out.write(body.text.data(), static_cast<std::streamsize>(body.text.size()));
  } else if (options.properties) {
    PrintProperties(*item, options.json, out);
  } else {
    PrintSummary(*item, out);
  }
  out.flush();

  if (!options.attachmentsDir.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(options.attachmentsDir, ec);
    if (!std::filesystem::is_directory(options.attachmentsDir, ec)) {
      err << "velmorix-cli: cannot create the folder " << options.attachmentsDir << '\n';
      return kExitOpenFailed;
    }
    status = std::max(status, SaveAttachments(*reader, *item, options.attachmentsDir, err));
  }
  if (!options.msgFile.empty()) {
    const int saved = SaveMsg(*reader, *item, options.msgFile, err);
    status = saved == kExitOpenFailed ? saved : std::max(status, saved);
  }
  return status;
}

int RunShow(int argc, char** argv) {
  const Command& command = *FindCommand("show");
  Arguments args;
  if (const int status = ParseArguments(command, argc, argv, args); status != kRunCommand) {
    return status;
  }
  ShowOptions options;
  if (args.Has("--body")) {
    const std::string form = args.Value("--body");
    options.body = form == "html" ? BodyForm::Html : form == "rtf" ? BodyForm::Rtf : BodyForm::Plain;
  }
  options.properties = args.Has("--properties");
  if (args.Has("--format")) {
    if (!options.properties) return UsageError(&command, "--format needs --properties");
    options.json = args.Value("--format") == "json";
  }
  if (options.properties && options.body) return UsageError(&command, "--properties and --body exclude each other");
  options.attachmentsDir = args.Value("--attachments");
  if (args.Has("--attachments") && options.attachmentsDir.empty()) {
    return UsageError(&command, "--attachments needs a folder");
  }
  options.msgFile = args.Value("--save-msg");
  if (args.Has("--save-msg") && options.msgFile.empty()) return UsageError(&command, "--save-msg needs a file name");
  options.deep = args.Has("--deep");
  const auto id = ParseItemId(args.operands[1]);
  if (!id) return UsageError(&command, "not an item id: '" + args.operands[1] + "'");
  return Show(args.operands[0], *id, options, std::cout, std::cerr);
}

}  // namespace velmorix::cli
