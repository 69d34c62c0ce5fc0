// File errors as the command line reports them: "velmorix-cli: PATH: REASON"
// on stderr, REASON in the words the system gives.
#pragma once

#include <string>
#include <string_view>

namespace velmorix::store {
class Store;
}

namespace velmorix::cli {

// Why `path` cannot be opened as a store ("No such file or directory",
// "Permission denied", "Is a directory", "File is locked by another
// program", ...); empty when it opens now.
std::string OpenFailureReason(const std::string& path);

// Why an opened file is not one this program reads ("not an offline-folders
// file (.ost or .pst)", "unsupported format version N"); empty when its
// header names a known variant.
std::string NotAStoreReason(store::Store& store);

// Prints "velmorix-cli: PATH: REASON" on stderr.
void ReportFileError(const std::string& path, std::string_view reason);

}  // namespace velmorix::cli
