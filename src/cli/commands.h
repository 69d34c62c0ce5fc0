// The commands of velmorix-cli and their options, as one table each: the
// dispatch, the argument parser, the usage lines and the help all read them.
// A new command or option is one more entry.
#pragma once

#include <iosfwd>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velmorix::cli {

struct Command {
  std::string_view name;
  std::string_view operands;  // "FILE", "FILE ID": each word is one required operand
  std::string_view help;      // one line
  std::string_view exits;     // "0 finished, 1 ..., 64 usage error"
  // argv[0] is the command's name. nullptr: not available in this build.
  int (*run)(int argc, char** argv);
};

struct Option {
  std::string_view command;  // the command it belongs to
  std::string_view name;     // "--format"
  // "text|tsv|json": one of these words; "DIR": any value; "": a flag.
  std::string_view value;
  std::string_view help;     // one line
  bool required = false;     // shown without brackets; missing is a usage error
};

std::span<const Command> Commands();
std::span<const Option> Options();
const Command* FindCommand(std::string_view name);

// A command's arguments once parsed: options by name (a flag maps to ""), then
// the operands in order.
struct Arguments {
  std::map<std::string, std::string, std::less<>> options;
  std::vector<std::string> operands;

  bool Has(std::string_view option) const { return options.find(option) != options.end(); }
  std::string Value(std::string_view option, std::string_view fallback = {}) const;
};

// Parses argv[1..argc) for `command` against its options and operands
// ("[WORD]" is an optional operand). Returns -1 when the command should run;
// otherwise the exit status to end with: 0 after printing the command's help
// (-h, --help) on stdout, 64 after printing a usage error on stderr.
inline constexpr int kRunCommand = -1;
int ParseArguments(const Command& command, int argc, char** argv, Arguments& args);

// "velmorix-cli recover [--format text|tsv|json] [--ids] [--quiet] FILE"
std::string Synopsis(const Command& command);

// The help of every command, or of one.
void PrintHelp(std::ostream& out);
void PrintCommandHelp(std::ostream& out, const Command& command);

// Prints one usage error on stderr: the line naming it, the usage and where
// help is. `command` may be null (an error before any command). Returns 64.
int UsageError(const Command* command, std::string_view message);

// The whole program after its start-up: dispatches argv[1] through the
// command table; --help, --version and help COMMAND.
int Main(int argc, char** argv);

}  // namespace velmorix::cli
