// `velmorix-cli info FILE`: what the store layer sees of a file.
#pragma once

#include <iosfwd>
#include <string>

namespace velmorix::cli {

// argv[0] is the subcommand name ("info"); the rest are its arguments.
// Returns the process exit status.
int RunInfo(int argc, char** argv);

// Prints the store summary of `path` to `out`: 0 when the file was opened,
// 1 (and why on stderr) when it could not be or is not a store.
int PrintStoreInfo(const std::string& path, std::ostream& out);

}  // namespace velmorix::cli
