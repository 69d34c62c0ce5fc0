// `velmorix-cli info FILE`: what the store layer sees of a file.
#pragma once

namespace velmorix::cli {

// argv[0] is the subcommand name ("info"); the rest are its arguments.
// Returns the process exit status.
int RunInfo(int argc, char** argv);

}  // namespace velmorix::cli
