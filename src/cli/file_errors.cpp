#include "cli/file_errors.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "store/store.h"

namespace velmorix::cli {

std::string OpenFailureReason(const std::string& path) {
  // The same steps as opening a store: read-only, a regular file, and the
  // exclusive lock that keeps two programs from reading one file at once.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  std::string reason;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    reason = std::strerror(errno);
  } else if (S_ISDIR(st.st_mode)) {
    reason = std::strerror(EISDIR);
  } else if (!S_ISREG(st.st_mode)) {
    reason = "Not a regular file";
  } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    reason = errno == EWOULDBLOCK ? "File is locked by another program" : std::strerror(errno);
  }
  ::close(fd);  // also releases the lock
  return reason;
}

std::string NotAStoreReason(store::Store& store) {
  if (store.variant != store::Variant::Unknown) return {};
  Buffer magic;
  try {
    store.ReadRawBlock(0, 4, magic);
  } catch (const std::exception&) {
    magic.clear();
  }
  static constexpr char kMagic[] = {'!', 'B', 'D', 'N'};
  if (magic.size() == 4 && std::memcmp(magic.data(), kMagic, 4) == 0) {
    return "unsupported format version " + std::to_string(store.version);
  }
  return "not an offline-folders file (.ost or .pst)";
}

void ReportFileError(const std::string& path, std::string_view reason) {
  std::cerr << "velmorix-cli: " << path << ": " << reason << '\n';
}

}  // namespace velmorix::cli
