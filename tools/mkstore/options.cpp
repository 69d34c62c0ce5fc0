#include "mkstore/options.h"

#include <charconv>
#include <functional>
#include <string_view>

namespace velmorix::mkstore {
namespace {

bool ParseNumber(std::string_view s, uint64_t& out) {
  const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && p == s.data() + s.size();
}

struct ValueOption {
  std::string_view name;
  std::function<bool(std::string_view, CommonOptions&)> apply;
};

const ValueOption kValueOptions[] = {
    {"--format",
     [](std::string_view v, CommonOptions& o) {
       using storebuilder::Format;
       if (v == "ansi14") {
         o.ndb.format = Format::Ansi14;
       } else if (v == "ansi15") {
         o.ndb.format = Format::Ansi15;
       } else if (v == "unicode") {
         o.ndb.format = Format::Unicode23;
       } else if (v == "unicode4k") {
         o.ndb.format = Format::Unicode4K;
       } else {
         return false;
       }
       return true;
     }},
    {"--encryption",
     [](std::string_view v, CommonOptions& o) {
       uint64_t n = 0;
       if (!ParseNumber(v, n) || n > 2) return false;
       o.ndb.encryption = static_cast<int>(n);
       o.encryptionGiven = true;
       return true;
     }},
    // "SO" (offline folders, .ost) or "SM" (.pst) in the header.
    {"--client-magic",
     [](std::string_view v, CommonOptions& o) {
       if (v != "SO" && v != "SM") return false;
       o.ndb.offlineFolders = v == "SO";
       o.clientMagicGiven = true;
       return true;
     }},
    {"--nodes", [](std::string_view v, CommonOptions& o) { return ParseNumber(v, o.nodes); }},
    // Places blocks and index pages from this file offset on (Unicode only):
    // the gap before it becomes a hole, so a store beyond 4 GiB costs little disk.
    {"--block-base", [](std::string_view v, CommonOptions& o) { return ParseNumber(v, o.ndb.blockBase); }},
};

}  // namespace

const char* CommonUsage() {
  return "usage: velmorix-mkstore [--format ansi14|ansi15|unicode|unicode4k] [--encryption 0|1|2]\n"
         "                        [--client-magic SO|SM] [--uncompressed]\n"
         "                        [--nodes N] [--empty-nodes] [--block-base BYTES] OUT\n"
         "  unicode4k: version 36 with 4 KiB pages, blocks compressed where smaller (--uncompressed:\n"
         "  never); unless given, encryption 0 and client magic SO, as current mail clients write\n";
}

bool ParseCommonOptions(int argc, char** argv, CommonOptions& options, std::vector<std::string>* rest,
                        std::string& error) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const ValueOption* known = nullptr;
    for (const auto& opt : kValueOptions) {
      if (arg == opt.name) known = &opt;
    }
    if (known) {
      if (i + 1 >= argc) {
        error = std::string(arg) + " needs a value";
        return false;
      }
      const std::string_view value = argv[++i];
      if (!known->apply(value, options)) {
        error = "bad value for " + std::string(arg) + ": " + std::string(value);
        return false;
      }
    } else if (arg == "--empty-nodes") {
      options.nodeData = false;
    } else if (arg == "--uncompressed") {
      options.ndb.compress = false;
    } else if (!arg.starts_with("--") && options.out.empty()) {
      options.out = arg;
    } else if (rest) {
      rest->emplace_back(arg);
    } else {
      error = "unknown argument: " + std::string(arg);
      return false;
    }
  }
  if (options.out.empty()) {
    error = "no output file given";
    return false;
  }
  if (options.ndb.format == storebuilder::Format::Unicode4K) {
    if (!options.encryptionGiven) options.ndb.encryption = 0;
    if (!options.clientMagicGiven) options.ndb.offlineFolders = true;
  }
  return true;
}

}  // namespace velmorix::mkstore
