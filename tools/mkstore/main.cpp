// velmorix-mkstore: writes test and benchmark store files.
#include <chrono>
#include <cstdio>
#include <exception>
#include <string>

#include "mkstore/mailbox_command.h"
#include "mkstore/options.h"
#include "storebuilder/minimal_store.h"
#include "storebuilder/ndb.h"

int main(int argc, char** argv) {
  using namespace velmorix;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::printf("velmorix-mkstore: writes test and benchmark store files.\n%s%s", mkstore::MailboxUsage(),
                  mkstore::CommonUsage());
      return 0;
    }
  }
  try {
    const int mailbox = mkstore::RunMailboxCommand(argc, argv);
    if (mailbox != mkstore::kMailboxNotHandled) return mailbox;

    mkstore::CommonOptions options;
    std::string error;
    if (!mkstore::ParseCommonOptions(argc, argv, options, nullptr, error)) {
      std::fprintf(stderr, "velmorix-mkstore: %s\n%s%s", error.c_str(), mkstore::MailboxUsage(),
                   mkstore::CommonUsage());
      return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    storebuilder::NdbWriter writer(options.ndb);
    storebuilder::AddMinimalNodes(writer, options.nodes, options.nodeData);
    writer.Write(options.out);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s: %zu nodes, %zu blocks, %llu bytes, %.2f s\n", options.out.c_str(),
                writer.nodeCount(), writer.blockCount(),
                static_cast<unsigned long long>(writer.layout().fileSize), seconds);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "velmorix-mkstore: %s\n", e.what());
    return 1;
  }
}
