#include "export/output.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>

#include "content/safe_name.h"

namespace velmorix::exporting {
namespace {

// Numbered alternatives tried before giving up on a name.
constexpr unsigned kMaxAlternatives = 100000;
// Bytes gathered before one write to the file.
constexpr size_t kWriteBuffer = 64 * 1024;

// Names compared as a case-insensitive file system would (ASCII letters).
std::string Folded(std::string_view name) {
  std::string s(name);
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

std::string Join(const std::string& dir, std::string_view name) {
  std::string s = dir;
  if (!s.empty() && s.back() != '/') s += '/';
  s += name;
  return s;
}

void SetError(std::string* error, const std::string& what, int err) {
  if (error) *error = what + ": " + std::strerror(err);
}

// Gives `temp` the name `dst` in the same folder unless that exists:
// 1 done, 0 the name is taken, -1 failure (errno set).
int MoveWithoutReplacing(int dirFd, const std::string& temp, const std::string& dst) {
  if (::renameat2(dirFd, temp.c_str(), dirFd, dst.c_str(), RENAME_NOREPLACE) == 0) return 1;
  if (errno == EEXIST) return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return -1;
  // The file system cannot rename without replacing: a hard link fails on
  // an existing name just the same.
  if (::linkat(dirFd, temp.c_str(), dirFd, dst.c_str(), 0) == 0) {
    ::unlinkat(dirFd, temp.c_str(), 0);
    return 1;
  }
  if (errno == EEXIST) return 0;
  if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS) return -1;
  // Neither is offered (some removable-media file systems): check, then rename.
  struct stat st {};
  if (::fstatat(dirFd, dst.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return 0;
  return ::renameat(dirFd, temp.c_str(), dirFd, dst.c_str()) == 0 ? 1 : -1;
}

}  // namespace

// ---------------------------------------------------------------- OutputDir

std::unique_ptr<OutputDir> OutputDir::Open(const std::string& path, std::string* error) {
  if (path.empty()) {
    if (error) *error = "no folder given";
    return nullptr;
  }
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    SetError(error, "cannot open the folder " + path, errno);
    return nullptr;
  }
  std::unique_ptr<OutputDir> dir(new OutputDir(path, fd));
  dir->LoadNames();
  return dir;
}

OutputDir::~OutputDir() {
  if (fd_ >= 0) ::close(fd_);
}

void OutputDir::Close() {
  if (fd_ >= 0 && parent_) {
    ::close(fd_);
    fd_ = -1;
    // The names given out are known again from the folder when it is
    // reopened; a folder not in use holds no memory for them.
    std::unordered_set<std::string>().swap(used_);
    std::unordered_map<std::string, unsigned>().swap(nextNumber_);
  }
}

void OutputDir::LoadNames() {
  const int fd = ::dup(fd_);
  if (fd < 0) return;
  DIR* dir = ::fdopendir(fd);
  if (!dir) {
    ::close(fd);
    return;
  }
  ::rewinddir(dir);
  while (const dirent* e = ::readdir(dir)) used_.insert(Folded(e->d_name));
  ::closedir(dir);
}

bool OutputDir::Reopen(std::string* error) {
  if (fd_ >= 0) return true;
  if (!parent_ || parent_->fd_ < 0) {
    if (error) *error = "the folder " + path_ + " cannot be reopened";
    return false;
  }
  fd_ = ::openat(parent_->fd_, name_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd_ < 0) {
    SetError(error, "cannot open " + path_, errno);
    return false;
  }
  LoadNames();
  return true;
}

bool OutputDir::Taken(const std::string& name) const { return used_.count(Folded(name)) != 0; }

std::string OutputDir::ReserveName(std::string_view name, std::string_view extension, std::string_view fallback) {
  // The name made safe first, so that a name with nothing left takes the
  // fallback rather than becoming its extension.
  std::string safe = content::SafeFileName(name, fallback);
  if (!extension.empty()) safe = content::SafeFileName(safe + std::string(extension));
  unsigned& next = nextNumber_[Folded(safe)];
  if (next == 0) next = 1;
  for (; next <= kMaxAlternatives; ++next) {
    std::string candidate = next == 1 ? safe : content::NumberedName(safe, next);
    if (Taken(candidate)) continue;
    used_.insert(Folded(candidate));
    ++next;
    return candidate;
  }
  // Every numbered name is taken: a random one.
  std::random_device random;
  std::string candidate = content::NumberedName(safe, kMaxAlternatives + 1 + random() % 1000000000u);
  used_.insert(Folded(candidate));
  return candidate;
}

std::unique_ptr<OutputDir> OutputDir::CreateSubdirectory(std::string_view name, std::string* error) {
  for (unsigned attempt = 0; attempt < kMaxAlternatives; ++attempt) {
    const std::string candidate = ReserveName(name, "", "folder");
    if (::mkdirat(fd_, candidate.c_str(), 0777) != 0) {
      if (errno == EEXIST) continue;  // also a link planted under that name
      SetError(error, "cannot create " + Join(path_, candidate), errno);
      return nullptr;
    }
    const int fd = ::openat(fd_, candidate.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      SetError(error, "cannot open " + Join(path_, candidate), errno);
      return nullptr;
    }
    return std::unique_ptr<OutputDir>(new OutputDir(Join(path_, candidate), fd, this, candidate));
  }
  if (error) *error = "no free folder name in " + path_;
  return nullptr;
}

std::optional<OutputFile> OutputDir::CreateFile(std::string* error) {
  if (tempPrefix_.empty()) {
    // One random part per folder, then a counter: unguessable names that
    // cost no system call each.
    std::random_device seed;
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, ".velmorix-%d-%08x%08x-", static_cast<int>(::getpid()), seed(), seed());
    tempPrefix_ = prefix;
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = tempPrefix_ + std::to_string(tempCounter_++) + ".part";
    const int fd = ::openat(fd_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) return OutputFile(*this, name, fd);
    if (errno != EEXIST) break;
  }
  SetError(error, "cannot create a file in " + path_, errno);
  return std::nullopt;
}

// ---------------------------------------------------------------- OutputFile

OutputFile::OutputFile(OutputFile&& other) noexcept
    : dir_(other.dir_), temp_(std::move(other.temp_)), fd_(other.fd_), buffer_(std::move(other.buffer_)),
      size_(other.size_), failed_(other.failed_), errno_(other.errno_) {
  other.fd_ = -1;
  other.temp_.clear();
}

OutputFile::~OutputFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!temp_.empty()) ::unlinkat(dir_->fd_, temp_.c_str(), 0);
}

bool OutputFile::Flush() {
  const char* p = buffer_.data();
  size_t left = buffer_.size();
  while (left > 0 && !failed_) {
    const ssize_t n = ::write(fd_, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      failed_ = true;
      errno_ = errno;
      break;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  buffer_.clear();
  return !failed_;
}

bool OutputFile::Write(std::string_view text) {
  if (fd_ < 0 || failed_) return false;
  size_ += text.size();
  if (buffer_.size() + text.size() > kWriteBuffer) {
    if (!Flush()) return false;
    if (text.size() >= kWriteBuffer) {
      buffer_.assign(text);
      return Flush();
    }
  }
  buffer_.append(text);
  return true;
}

bool OutputFile::Write(std::span<const std::byte> bytes) {
  return Write(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

bool OutputFile::WriteThrough(const std::function<bool(int fd)>& write) {
  if (fd_ < 0 || failed_ || !Flush()) return false;
  const bool ok = write(fd_);
  struct stat st {};
  if (::fstat(fd_, &st) == 0) {
    size_ = static_cast<uint64_t>(st.st_size);
  } else if (ok) {
    failed_ = true;
    errno_ = errno;
    return false;
  }
  return ok;
}

std::optional<std::string> OutputFile::Commit(std::string_view name, std::string_view extension,
                                              std::string_view fallback, std::string* error) {
  if (fd_ < 0 || temp_.empty()) {
    if (error) *error = "the file is already closed";
    return std::nullopt;
  }
  Flush();
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0 && !failed_) {
    failed_ = true;
    errno_ = errno;
  }
  if (failed_) {
    SetError(error, "cannot write " + Join(dir_->path_, temp_), errno_);
    return std::nullopt;
  }
  for (unsigned attempt = 0; attempt < kMaxAlternatives; ++attempt) {
    const std::string candidate = dir_->ReserveName(name, extension, fallback);
    const int r = MoveWithoutReplacing(dir_->fd_, temp_, candidate);
    if (r == 1) {
      temp_.clear();
      return Join(dir_->path_, candidate);
    }
    if (r < 0) {
      SetError(error, "cannot name the file " + Join(dir_->path_, candidate), errno);
      return std::nullopt;
    }
  }
  if (error) *error = "no free file name in " + dir_->path_;
  return std::nullopt;
}

}  // namespace velmorix::exporting
