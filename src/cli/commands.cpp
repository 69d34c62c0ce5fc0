#include "cli/commands.h"

#include <algorithm>
#include <array>
#include <iostream>

#include "cli/export.h"
#include "cli/info.h"
#include "cli/recover.h"
#include "cli/search.h"
#include "cli/show.h"

#ifndef VELMORIX_VERSION
#define VELMORIX_VERSION "0.0.0"
#endif

namespace velmorix::cli {

namespace {

int RunHelp(int argc, char** argv);

constexpr std::string_view kProgram = "velmorix-cli";

const std::array kCommands{
    Command{"recover", "FILE",
            "Recover FILE and print its folder tree and each folder's items as the window lists them.",
            "0 finished, 1 the file could not be opened, 2 the recovery failed (\"Found Condition\"), "
            "3 stopped (Ctrl-C), 64 usage error",
            RunRecover},
    Command{"info", "FILE", "Print what the file's header and indexes hold.",
            "0 printed, 1 the file could not be opened or is not an offline-folders file, 64 usage error",
            RunInfo},
    Command{"show", "FILE ID",
            "Print one item by its node id (as recover --ids prints it): headers, recipients, "
            "attachments, body.",
            "0 shown, 1 the file could not be opened, the id is unknown, the body asked for is "
            "missing or the .msg file could not be written, 5 some attachment could not be read or saved, "
            "64 usage error",
            RunShow},
    Command{"export", "FILE",
            "Recover FILE and write its items as files other programs open, one directory per folder.",
            "0 every item written, 1 the file could not be opened, 3 stopped (Ctrl-C), "
            "5 some items could not be read, 64 usage error",
            RunExport},
    Command{"search", "FILE TEXT",
            "Recover FILE and print the items whose texts hold TEXT (ignoring case), with their folders.",
            "0 items found, 1 none found, 2 the file could not be searched, 64 usage error", RunSearch},
    Command{"help", "[COMMAND]", "Print this help, or one command's.", "0 printed, 64 usage error",
            RunHelp},
};

const std::array kOptions{
    Option{"recover", "--format", "text|tsv|json",
           "text (default): the tree with each folder's table; tsv, json: one record per line"},
    Option{"recover", "--ids", "", "end each row with its item's node id (0x and hex)"},
    Option{"recover", "--quiet", "", "no progress line on a terminal"},
    Option{"recover", "--deep", "",
           "after the normal recovery, read the whole file page by page and list what its damaged "
           "indexes no longer reach (unplaced items in \"Recovered Items\")"},
    Option{"show", "--body", "plain|html|rtf", "print only this body, exactly as the item holds it"},
    Option{"show", "--properties", "",
           "print every property (tag, name or LID, type, value) instead of the summary"},
    Option{"show", "--format", "text|json", "with --properties: text (default), or one JSON record per property"},
    Option{"show", "--attachments", "DIR", "write the item's attachments into DIR (an embedded message as .eml)"},
    Option{"show", "--save-msg", "FILE.msg",
           "save the item as a .msg file (every property, recipients, attachments, embedded messages); "
           "an existing file is not replaced"},
    Option{"show", "--deep", "", "find the item as recover --deep lists it (ids it gave found items)"},
    Option{"export", "--format", "eml|mbox|vcf|ics|msg|all|pst",
           "mails as .eml or mbox, contacts as vCard, calendar, tasks, journal as iCalendar; msg: every item "
           "as a .msg file; all: each kind in its own format, notes as .txt; pst: every item into one "
           "personal-folders file", true},
    Option{"export", "--out", "DIR", "the directory to write into (with pst: the file to write)", true},
    Option{"export", "--folder", "PATH", "only this folder (as recover prints it) and its subfolders"},
    Option{"export", "--max-size", "BYTES",
           "with pst: files at most this large (default 50000000000), the conversion split at folders into NAME-2.pst, ..."},
    Option{"export", "--quiet", "", "no progress line on a terminal"},
    Option{"export", "--deep", "", "recover as recover --deep does before exporting"},
    Option{"export", "--match", "TEXT", "only the items whose texts hold TEXT (ignoring case), as search finds them"},
    Option{"export", "--in", "FIELDS", "with --match: where to look, as search --in"},
    Option{"export", "--after", "DATE", "only items dated on or after DATE (YYYY-MM-DD, UTC)"},
    Option{"export", "--before", "DATE", "only items dated before DATE"},
    Option{"search", "--in", "FIELDS",
           "where to look: subject, from, to, body, attachments, separated by commas (default subject,from,to)"},
    Option{"search", "--folder", "PATH", "only this folder (as recover prints it) and its subfolders"},
    Option{"search", "--after", "DATE", "only items dated on or after DATE (YYYY-MM-DD or YYYY-MM-DDTHH:MM, UTC)"},
    Option{"search", "--before", "DATE", "only items dated before DATE"},
    Option{"search", "--format", "text|tsv|json", "text (default): a table per folder; tsv, json: recover's records"},
    Option{"search", "--ids", "", "end each row with its item's node id (0x and hex)"},
    Option{"search", "--deep", "", "recover as recover --deep does before searching"},
    Option{"", "--help", "", "print the help (also after a command) and exit"},
    Option{"", "--version", "", "print the version and exit"},
};

std::vector<const Option*> OptionsOf(std::string_view command) {
  std::vector<const Option*> list;
  for (const Option& o : kOptions) {
    if (o.command == command) list.push_back(&o);
  }
  return list;
}

const Option* FindOption(std::string_view command, std::string_view name) {
  for (const Option& o : kOptions) {
    if (o.command == command && o.name == name) return &o;
  }
  return nullptr;
}

// "text|tsv|json" lists the values an option takes; "DIR" takes any value.
bool TakesValue(const Option& o, std::string_view value) {
  if (o.value.find('|') == std::string_view::npos) return true;
  std::string_view rest = o.value;
  while (!rest.empty()) {
    const size_t bar = rest.find('|');
    if (rest.substr(0, bar) == value) return true;
    if (bar == std::string_view::npos) break;
    rest.remove_prefix(bar + 1);
  }
  return false;
}

// Blank-separated words; "[--folder PATH]" is one.
std::vector<std::string_view> Words(std::string_view text) {
  std::vector<std::string_view> words;
  while (!text.empty()) {
    const size_t start = text.find_first_not_of(' ');
    if (start == std::string_view::npos) break;
    text.remove_prefix(start);
    size_t end = text.find(' ');
    if (text.front() == '[' && text.substr(0, end).find(']') == std::string_view::npos) {
      end = text.find(']');
      if (end != std::string_view::npos) end = text.find(' ', end);
    }
    words.push_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end);
  }
  return words;
}

bool Optional(std::string_view operand) { return operand.size() >= 2 && operand.front() == '['; }

// Writes `text` wrapped at 79 columns: the first line after `lead`, the
// others indented by `indent` blanks.
void Wrapped(std::ostream& out, std::string_view lead, size_t indent, std::string_view text) {
  constexpr size_t kWidth = 79;
  std::string line(lead);
  bool first = true;
  for (std::string_view word : Words(text)) {
    if (!first && line.size() + 1 + word.size() > kWidth) {
      out << line << '\n';
      line.assign(indent, ' ');
      first = true;
    }
    if (!first) line += ' ';
    line += word;
    first = false;
  }
  out << line << '\n';
}

std::string OptionText(const Option& o) {
  std::string text(o.name);
  if (!o.value.empty()) text += ' ' + std::string(o.value);
  return text;
}

void PrintOptionLines(std::ostream& out, const std::vector<const Option*>& options) {
  size_t width = 0;
  for (const Option* o : options) width = std::max(width, OptionText(*o).size());
  for (const Option* o : options) {
    std::string lead = "  " + OptionText(*o);
    lead.resize(width + 4, ' ');
    Wrapped(out, lead, width + 4, o->help);
  }
}

void TryHelp(std::ostream& err, const Command* command) {
  err << "Try '" << kProgram << (command ? " help " + std::string(command->name) : std::string(" --help"))
      << "' for more information.\n";
}

int RunHelp(int argc, char** argv) {
  const Command& self = *FindCommand("help");
  Arguments args;
  if (const int status = ParseArguments(self, argc, argv, args); status != kRunCommand) return status;
  if (args.operands.empty()) {
    PrintHelp(std::cout);
    return 0;
  }
  const Command* command = FindCommand(args.operands[0]);
  if (!command) return UsageError(&self, "unknown command '" + args.operands[0] + "'");
  PrintCommandHelp(std::cout, *command);
  return 0;
}

}  // namespace

std::span<const Command> Commands() { return kCommands; }
std::span<const Option> Options() { return kOptions; }

const Command* FindCommand(std::string_view name) {
  for (const Command& c : kCommands) {
    if (c.name == name) return &c;
  }
  return nullptr;
}

std::string Arguments::Value(std::string_view option, std::string_view fallback) const {
  auto it = options.find(option);
  return it == options.end() ? std::string(fallback) : it->second;
}

std::string Synopsis(const Command& command) {
  std::string text = std::string(kProgram) + ' ' + std::string(command.name);
  for (const Option* o : OptionsOf(command.name)) {
    text += o->required ? " " + OptionText(*o) : " [" + OptionText(*o) + "]";
  }
  if (!command.operands.empty()) text += ' ' + std::string(command.operands);
  return text;
}

int UsageError(const Command* command, std::string_view message) {
  std::cerr << kProgram << ": " << (command ? std::string(command->name) + ": " : std::string()) << message
            << '\n';
  if (command) {
    std::cerr << "usage: " << Synopsis(*command) << '\n';
  } else {
    std::cerr << "usage: " << kProgram << " COMMAND [OPTION...] FILE...  (commands:";
    for (const Command& c : kCommands) std::cerr << ' ' << c.name;
    std::cerr << ")\n";
  }
  TryHelp(std::cerr, command);
  return kExitUsage;
}

int ParseArguments(const Command& command, int argc, char** argv, Arguments& args) {
  args = {};
  bool optionsEnd = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (optionsEnd || arg.size() < 2 || arg[0] != '-') {
      args.operands.emplace_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnd = true;
      continue;
    }
    if (arg == "-h" || arg == "--help") {
      PrintCommandHelp(std::cout, command);
      return 0;
    }
    const size_t eq = arg.find('=');
    const std::string_view name = arg.substr(0, eq);
    const Option* option = name.starts_with("--") ? FindOption(command.name, name) : nullptr;
    if (!option) return UsageError(&command, "unknown option '" + std::string(name) + "'");
    std::string value;
    if (option->value.empty()) {
      if (eq != std::string_view::npos) {
        return UsageError(&command, "option '" + std::string(name) + "' takes no value");
      }
    } else if (eq != std::string_view::npos) {
      value = arg.substr(eq + 1);
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      return UsageError(&command, "option '" + std::string(name) + "' needs a value (" +
                                      std::string(option->value) + ")");
    }
    if (!option->value.empty() && !TakesValue(*option, value)) {
      return UsageError(&command, "invalid value '" + value + "' for " + std::string(name) + " (" +
                                      std::string(option->value) + ")");
    }
    args.options[std::string(name)] = std::move(value);
  }
  for (const Option* o : OptionsOf(command.name)) {
    if (o->required && !args.Has(o->name)) return UsageError(&command, "missing " + OptionText(*o));
  }
  const std::vector<std::string_view> operands = Words(command.operands);
  const size_t required =
      static_cast<size_t>(std::count_if(operands.begin(), operands.end(), [](auto w) { return !Optional(w); }));
  if (args.operands.size() < required) {
    return UsageError(&command, "missing " + std::string(operands[args.operands.size()]));
  }
  if (args.operands.size() > operands.size()) {
    return UsageError(&command, "unexpected argument '" + args.operands[operands.size()] + "'");
  }
  return kRunCommand;
}

void PrintCommandHelp(std::ostream& out, const Command& command) {
  Wrapped(out, "usage: ", 7, Synopsis(command));
  Wrapped(out, "  ", 2, command.help);
  if (!command.run) out << "  (not available in this build)\n";
  PrintOptionLines(out, OptionsOf(command.name));
  Wrapped(out, "  Exit status: ", 4, command.exits);
}

void PrintHelp(std::ostream& out) {
  out << "usage: " << kProgram << " COMMAND [OPTION...] FILE...\n"
      << "       " << kProgram << " --help | --version\n\n";
  Wrapped(out, "", 0,
          "Recovers the folders, mails, contacts, calendar entries, tasks, notes and journal entries "
          "of offline-folders files (.ost) and personal-folders files (.pst), damaged ones included. "
          "FILE is only read.");
  for (const Command& c : kCommands) {
    out << '\n';
    PrintCommandHelp(out, c);
  }
  out << "\nOptions:\n";
  PrintOptionLines(out, OptionsOf(""));
}

int Main(int argc, char** argv) {
  if (argc < 2) return UsageError(nullptr, "no command given");
  const std::string_view first = argv[1];
  if (first == "--help" || first == "-h") {
    PrintHelp(std::cout);
    return 0;
  }
  if (first == "--version") {
    std::cout << kProgram << ' ' << VELMORIX_VERSION << '\n';
    return 0;
  }
  if (first.starts_with("-")) return UsageError(nullptr, "unknown option '" + std::string(first) + "'");
  const Command* command = FindCommand(first);
  if (!command) return UsageError(nullptr, "unknown command '" + std::string(first) + "'");
  if (!command->run) {
    std::cerr << kProgram << ": " << command->name << ": not available in this build\n";
    return kExitUsage;
  }
  return command->run(argc - 1, argv + 1);
}

}  // namespace velmorix::cli
