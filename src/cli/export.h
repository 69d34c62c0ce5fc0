// `velmorix-cli export --format eml|mbox|vcf|ics|all --out DIR [--folder PATH]
// FILE`: recovers FILE as `recover` does, then writes every listed item of
// the kinds the format takes into DIR, one directory per folder.
#pragma once

#include <atomic>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "export/exporter.h"
#include "search/query.h"

namespace velmorix::cli {

struct ExportCommand {
  exporting::Format format = exporting::Format::All;
  std::string out;
  std::optional<std::string> folder;
  bool progress = false;  // draw a progress line on `err`
  bool deep = false;      // run the deep scan after the normal recovery
  // Only the items this query matches (--match, --in, --after, --before).
  std::optional<search::Query> filter;
  std::optional<uint64_t> maxSize;  // pst: the largest file
};

// Recovers `path` and exports it; prints the summary line on `out`, what
// could not be read and any failure on `err`. When `interrupt` becomes true
// the recovery or the export stops.
int ExportStore(const std::string& path, const ExportCommand& command, std::ostream& out, std::ostream& err,
                const std::atomic<bool>* interrupt = nullptr);

// argv[0] is "export". Installs the Ctrl-C handler.
int RunExport(int argc, char** argv);

}  // namespace velmorix::cli
