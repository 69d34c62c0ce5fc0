// velmorix-cli: the headless front end.
#include <cstdio>
#include <cstring>

#include "cli/info.h"
#include "cli/recover.h"

namespace {

void Usage() {
  std::fputs(
      "usage: velmorix-cli recover [--format text|tsv] FILE\n"
      "       velmorix-cli info FILE\n",
      stderr);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    Usage();
    return velmorix::cli::kExitUsage;
  }
  if (std::strcmp(argv[1], "recover") == 0) return velmorix::cli::RunRecover(argc - 1, argv + 1);
  if (std::strcmp(argv[1], "info") == 0) return velmorix::cli::RunInfo(argc - 1, argv + 1);
  Usage();
  return velmorix::cli::kExitUsage;
}
