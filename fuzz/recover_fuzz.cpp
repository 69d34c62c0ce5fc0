// A whole headless recovery of arbitrary bytes, printed in each format, with
// the deep scan after it when the input's last byte is odd; the JSON records
// must stay valid UTF-8 without raw control characters. What it recovers is
// then converted to a personal-folders file and that file recovered again:
// every item the conversion wrote must be listed again.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "cli/export.h"
#include "cli/recover.h"
#include "cli/show.h"
#include "fuzz_input.h"

namespace {

// A private folder for the converted file, in memory when /dev/shm is there
// (the writer syncs the file it completes).
const std::string& ConvertedPath() {
  static const struct Dir {
    std::string dir;
    Dir() {
      std::string templ = (::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + std::string("/velmorix-fuzz-XXXXXX");
      if (::mkdtemp(templ.data())) dir = templ;
    }
    ~Dir() {
      if (!dir.empty()) ::rmdir(dir.c_str());
    }
  } dir;
  static const std::string path = dir.dir.empty() ? std::string() : dir.dir + "/converted.pst";
  return path;
}

// The items a conversion's summary says it wrote ("2 folders, 1,234 items written, ...").
long ItemsWritten(const std::string& summary) {
  const size_t comma = summary.find(", ");
  if (comma == std::string::npos) return -1;
  std::string digits;
  for (size_t i = comma + 2; i < summary.size() && summary[i] != ' '; ++i) {
    if (summary[i] != ',') digits += summary[i];
  }
  return digits.empty() ? -1 : std::strtol(digits.c_str(), nullptr, 10);
}

void ConvertAndReadBack(bool deep) {
  using namespace velmorix;
  const std::string& pst = ConvertedPath();
  if (pst.empty()) return;
  std::remove(pst.c_str());
  cli::ExportCommand command;
  command.format = exporting::Format::Pst;
  command.out = pst;
  command.deep = deep;
  std::ostringstream summary, errors;
  const int status = cli::ExportStore(fuzz::InputPath(), command, summary, errors);
  if (status != cli::kExitFinished && status != cli::kExitSomeUnreadable) {
    std::remove(pst.c_str());
    return;
  }
  const long written = ItemsWritten(summary.str());
  std::ostringstream back;
  cli::Recover(pst, cli::OutputFormat::Tsv, back);
  std::remove(pst.c_str());
  long rows = 0;
  std::istringstream in(back.str());
  for (std::string line; std::getline(in, line);) rows += line.rfind("row\t", 0) == 0;
  if (written < 0 || rows != written) std::abort();
}

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
  ConvertAndReadBack(options.deep);
  return 0;
}
