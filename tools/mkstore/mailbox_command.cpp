// velmorix-mkstore mailbox options: the demo mailbox and scalable benchmark
// mailboxes, written with the store builder.
#include "mkstore/mailbox_command.h"

#include <charconv>
#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mkstore/options.h"
#include "storebuilder/sample_mailboxes.h"

namespace velmorix::mkstore {
namespace {

using namespace storebuilder;

struct Settings {
  bool demo = false;
  mkstore::CommonOptions common;  // format, encryption, output
  BenchmarkShape shape;
};


struct NumberOption {
  std::string_view name;
  uint32_t BenchmarkShape::*field;
};
constexpr NumberOption kNumberOptions[] = {
    {"--folders", &BenchmarkShape::folders},
    {"--mails-per-folder", &BenchmarkShape::mailsPerFolder},
    {"--body-size", &BenchmarkShape::bodySize},
    {"--header-size", &BenchmarkShape::headerSize},
    {"--subject-length", &BenchmarkShape::subjectLength},
    {"--attachment-every", &BenchmarkShape::attachmentEvery},
    {"--body-in-subnode-every", &BenchmarkShape::bodyInSubnodeEvery},
};

std::optional<uint32_t> Number(std::string_view s) {
  uint32_t v = 0;
  const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || p != s.data() + s.size()) return std::nullopt;
  return v;
}

// Takes the mailbox options out of the arguments and hands the rest to the
// shared option parser. `handled` is false when no mailbox option is present.
bool Parse(int argc, char** argv, Settings& s, bool& handled, std::string& error) {
  handled = false;
  std::vector<char*> rest = {argv[0]};
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "--demo") {
      s.demo = handled = true;
      continue;
    }
    const NumberOption* known = nullptr;
    for (const auto& o : kNumberOptions) {
      if (a == o.name) known = &o;
    }
    if (!known) {
      rest.push_back(argv[i]);
      continue;
    }
    handled = true;
    if (i + 1 >= argc) {
      error = std::string(a) + " needs a value";
      return false;
    }
    const auto n = Number(argv[++i]);
    if (!n) {
      error = "bad value for " + std::string(a) + ": " + argv[i];
      return false;
    }
    s.shape.*(known->field) = *n;
  }
  if (!handled) return true;
  if (!mkstore::ParseCommonOptions(static_cast<int>(rest.size()), rest.data(), s.common, nullptr,
                                   error)) {
    return false;
  }
  if (s.common.nodes != 0 || !s.common.nodeData) {
    error = "--nodes and --empty-nodes do not apply to mailbox stores";
    return false;
  }
  return true;
}

}  // namespace

const char* MailboxUsage() {
  return "mailbox stores: velmorix-mkstore --demo [--format ...] [--encryption ...] OUT\n"
         "                velmorix-mkstore [--folders N] [--mails-per-folder M] [--body-size B]\n"
         "                  [--header-size H] [--subject-length L] [--attachment-every K]\n"
         "                  [--body-in-subnode-every J] [--format ...] [--encryption ...] OUT\n";
}

int RunMailboxCommand(int argc, char** argv) {
  Settings settings;
  bool handled = false;
  std::string error;
  if (!Parse(argc, argv, settings, handled, error)) {
    std::cerr << "velmorix-mkstore: " << error << "\n" << MailboxUsage() << CommonUsage();
    return 2;
  }
  if (!handled) return kMailboxNotHandled;
  const auto started = std::chrono::steady_clock::now();
  try {
    MailboxOptions options;
    options.ndb = settings.common.ndb;
    MailboxBuilder builder(options);
    if (settings.demo) {
      AddDemoMailbox(builder);
    } else {
      AddBenchmarkMailbox(builder, settings.shape);
    }
    builder.Write(settings.common.out);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::cout << settings.common.out << ": " << builder.ndb().layout().fileSize << " bytes, "
              << builder.ndb().NodeEntries().size() << " nodes, " << seconds << " s\n";
  } catch (const std::exception& e) {
    std::cerr << "velmorix-mkstore: " << e.what() << "\n";
    return 1;
  }
  return 0;
}

}  // namespace velmorix::mkstore
