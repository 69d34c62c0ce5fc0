#include "ui/failure_reason.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "store/store.h"

namespace velmorix::ui {

namespace {

// The file descriptor of a file opened for reading, closed on every path.
class ReadOnlyFile {
 public:
  explicit ReadOnlyFile(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
  ~ReadOnlyFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

std::string InvalidFileReason(const std::string& path) {
  if (path.empty()) return "No file is named: type its path or choose it with \"Select File...\".";
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return "There is no file \"" + path + "\".";
    return "\"" + path + "\" cannot be read: " + std::strerror(errno) + ".";
  }
  if (S_ISDIR(st.st_mode)) return "\"" + path + "\" is a folder, not a file.";
  if (!S_ISREG(st.st_mode)) return "\"" + path + "\" is not a regular file.";
  ReadOnlyFile file(path);
  if (file.fd() < 0) return "\"" + path + "\" cannot be read: " + std::strerror(errno) + ".";
  return {};
}

std::string OpenFailureReason(const std::string& path) {
  ReadOnlyFile file(path);
  if (file.fd() < 0) return std::string(std::strerror(errno)) + ".";
  struct stat st {};
  if (::fstat(file.fd(), &st) != 0) return std::string(std::strerror(errno)) + ".";
  if (S_ISDIR(st.st_mode)) return "It is a folder, not a file.";
  if (!S_ISREG(st.st_mode)) return "It is not a regular file.";
  if (::flock(file.fd(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return "The file is in use by another program.";
    return std::string(std::strerror(errno)) + ".";
  }
  return {};
}

std::string FailureReason(const std::string& path, int code) {
  // The failed run may still hold the file locked: read its header without
  // taking the lock.
  store::Store store;
  if (store::OpenStore(store, path, false) != 0) return OpenFailureReason(path);
  if (store.variant == store::Variant::Unknown) {
    return "The file's header cannot be read: it is not an offline-folders file, or its first 512 bytes are damaged.";
  }
  if (store.headerFileEof != 0 && store.fileSize() < store.headerFileEof) {
    return "The file is shorter than its header says (" + std::to_string(store.fileSize()) + " of " +
           std::to_string(store.headerFileEof) + " bytes): it was cut off.";
  }
  switch (code) {
    case 1: return "The file's indexes cannot be read.";
    case 2: return "The file's table of named properties cannot be read.";
    case 3: return "The file's store information cannot be read.";
    case 4: return "The file's top folder cannot be found.";
    case 5: return "The folder scan failed part way; the lists show what was found until then.";
    default: return {};
  }
}

}  // namespace velmorix::ui
