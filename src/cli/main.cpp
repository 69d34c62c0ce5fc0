// velmorix-cli: the headless front end.
#include <unistd.h>

#include <cstdlib>

#include "cli/commands.h"

namespace {

// A recovery keeps hundreds of megabytes of small records. Where transparent
// huge pages are given on request only, glibc's allocator asks for them only
// when its tunable is set at start-up: without it a 100,000-mail recovery
// spends most of its system time faulting in 4 KiB pages (66,000 faults
// against 300). So the program starts itself once more with the tunable set,
// unless the caller has set tunables of its own.
void UseHugePagesForTheHeap(char** argv) {
  if (std::getenv("GLIBC_TUNABLES") != nullptr) return;
  if (::setenv("GLIBC_TUNABLES", "glibc.malloc.hugetlb=1", 0) != 0) return;
  ::execv("/proc/self/exe", argv);
  ::unsetenv("GLIBC_TUNABLES");  // exec failed: go on as we are
}

}  // namespace

int main(int argc, char** argv) {
  UseHugePagesForTheHeap(argv);
  return velmorix::cli::Main(argc, argv);
}
