// A whole headless recovery of arbitrary bytes, printed in each format, with
// the deep scan after it when the input's last byte is odd; the JSON records
// must stay valid UTF-8 without raw control characters.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>

#include "cli/recover.h"
#include "fuzz_input.h"

namespace {

// Valid UTF-8 whose only control character is the line feed ending a record.
bool CleanJsonLines(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      if (c < 0x20 && c != '\n') return false;
      ++i;
      continue;
    }
    const size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
    if (c < 0xC2 || c > 0xF4 || i + n > s.size()) return false;
    uint32_t cp = c & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) {
      const auto d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = cp << 6 | (d & 0x3F);
    }
    const uint32_t least = n == 2 ? 0x80 : n == 3 ? 0x800 : 0x10000;
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velmorix;
  if (!fuzz::WriteInput(data, size)) return 0;
  static constexpr cli::OutputFormat kFormats[] = {cli::OutputFormat::Text, cli::OutputFormat::Tsv,
                                                   cli::OutputFormat::Json};
  const cli::OutputFormat format = kFormats[size % 3];
  cli::RecoverOptions options;
  options.format = format;
  options.deep = size > 0 && (data[size - 1] & 1) != 0;
  std::ostringstream out;
  cli::Recover(fuzz::InputPath(), options, out);
  if (format == cli::OutputFormat::Json && !CleanJsonLines(out.str())) std::abort();
  return 0;
}
