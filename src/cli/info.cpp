// Placeholder until the store summary lands.
#include "cli/info.h"

#include <cstdio>

namespace velmorix::cli {

int RunInfo(int /*argc*/, char** /*argv*/) {
  std::fputs("velmorix-cli info: not available in this build\n", stderr);
  return 64;
}

}  // namespace velmorix::cli
