// Why a file cannot be recovered, in words for the second line of the
// window's messages: the system's reason for a file that does not open,
// what the header or the failed stage shows otherwise.
#pragma once

#include <string>

namespace velmorix::ui {

// Why `path` is not a file to start a recovery of ("There is no file ...",
// "... is a folder", "... cannot be read: Permission denied"); "" when it
// is a readable file.
std::string InvalidFileReason(const std::string& path);

// Why `path` could not be opened for a recovery, as the system says.
std::string OpenFailureReason(const std::string& path);

// Why the recovery of `path` failed with "Found Condition" `code`.
std::string FailureReason(const std::string& path, int code);

}  // namespace velmorix::ui
