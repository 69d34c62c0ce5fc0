// A whole headless recovery of arbitrary bytes, printed in both formats.
#include <cstddef>
#include <cstdint>
#include <sstream>

#include "cli/recover.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velmorix;
  if (!fuzz::WriteInput(data, size)) return 0;
  std::ostringstream out;
  cli::Recover(fuzz::InputPath(), (size & 1) ? cli::OutputFormat::Tsv : cli::OutputFormat::Text, out);
  return 0;
}
