#include "content/safe_name.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

#include "content/codepage.h"

namespace velmorix::content {
namespace {

// Numbered alternatives tried before giving up.
constexpr unsigned kMaxAlternatives = 100000;
// Extensions longer than this are cut with the rest of the name.
constexpr size_t kMaxKeptExtension = 24;

// Decodes one UTF-8 character at s[i]; 0xFFFFFFFF for an invalid byte.
uint32_t NextCodePoint(std::string_view s, size_t& i) {
  const auto c = static_cast<unsigned char>(s[i]);
  size_t len = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
  if (len == 0 || i + len > s.size()) {
    ++i;
    return 0xFFFFFFFF;
  }
  uint32_t cp = len == 1 ? c : c & (0x7F >> len);
  for (size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return 0xFFFFFFFF;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  static constexpr uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++i;
    return 0xFFFFFFFF;
  }
  i += len;
  return cp;
}

// Characters no name may hold: controls, separators, what Windows forbids,
// and the invisible direction marks that can disguise an extension.
bool Forbidden(uint32_t cp) {
  if (cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp < 0xA0)) return true;
  if (cp < 0x80 && std::strchr("/\\:*?\"<>|", static_cast<int>(cp)) != nullptr) return true;
  return cp == 0x200E || cp == 0x200F || (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069) ||
         cp == 0xFEFF || cp == 0xFFFD || cp == 0xFFFFFFFF;
}

bool IsReservedDeviceName(std::string_view name) {
  // The part before the first dot, without trailing blanks, case-insensitive.
  std::string base(name.substr(0, name.find('.')));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" || base == "CONIN$" ||
      base == "CONOUT$") {
    return true;
  }
  if (base.size() >= 4 && (base.starts_with("COM") || base.starts_with("LPT"))) {
    const std::string_view digit = std::string_view(base).substr(3);
    if (digit.size() == 1 && digit[0] >= '0' && digit[0] <= '9') return true;
    // Superscript one, two and three count as digits too.
    if (digit == "\xC2\xB9" || digit == "\xC2\xB2" || digit == "\xC2\xB3") return true;
  }
  return false;
}

// Cuts UTF-8 text to at most `max` bytes at a character boundary.
void CutTo(std::string& s, size_t max) {
  if (s.size() <= max) return;
  size_t at = max;
  while (at > 0 && (static_cast<unsigned char>(s[at]) & 0xC0) == 0x80) --at;
  s.resize(at);
}

// Splits at the last dot that is not the first character.
std::pair<std::string, std::string> SplitExtension(std::string_view name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {std::string(name), {}};
  return {std::string(name.substr(0, dot)), std::string(name.substr(dot))};
}

// Fits stem and extension into `max` bytes, cutting the stem first.
std::string Fit(std::string stem, std::string ext, size_t max) {
  if (ext.size() > kMaxKeptExtension) {
    stem += ext;
    ext.clear();
  }
  if (stem.size() + ext.size() > max) CutTo(stem, max > ext.size() ? max - ext.size() : 0);
  return stem + ext;
}

std::string Clean(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (size_t i = 0; i < name.size();) {
    const uint32_t cp = NextCodePoint(name, i);
    if (Forbidden(cp)) {
      out += '_';
    } else {
      AppendCodePoint(cp, out);
    }
  }
  const size_t first = out.find_first_not_of(". ");
  if (first == std::string::npos) return {};
  out.erase(0, first);
  while (!out.empty() && (out.back() == '.' || out.back() == ' ')) out.pop_back();
  if (IsReservedDeviceName(out)) out.insert(0, "_");
  const auto [stem, ext] = SplitExtension(out);
  return Fit(stem, ext, kMaxFileNameBytes);
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string Join(const std::string& dir, const std::string& name) {
  if (!dir.empty() && dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

void SetError(std::string* error, const std::string& what) {
  if (error) *error = what + ": " + std::strerror(errno);
}

// Gives `temp` the name `dst` unless that exists. 1 done, 0 the name is
// taken, -1 failure.
int MoveWithoutReplacing(const std::string& temp, const std::string& dst) {
  if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, dst.c_str(), RENAME_NOREPLACE) == 0) return 1;
  if (errno == EEXIST) return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return -1;
  // The file system cannot rename without replacing: a hard link fails on
  // an existing name just the same.
  if (::link(temp.c_str(), dst.c_str()) == 0) {
    ::unlink(temp.c_str());
    return 1;
  }
  if (errno == EEXIST) return 0;
  if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS) return -1;
  // Neither is offered (some removable-media file systems): check, then rename.
  struct stat st {};
  if (::lstat(dst.c_str(), &st) == 0) return 0;
  return ::rename(temp.c_str(), dst.c_str()) == 0 ? 1 : -1;
}

}  // namespace

std::string SafeFileName(std::string_view name, std::string_view fallback) {
  std::string out = Clean(name);
  if (out.empty()) out = Clean(fallback);
  if (out.empty()) out = "file";
  return out;
}

std::string NumberedName(std::string_view safeName, unsigned n) {
  auto [stem, ext] = SplitExtension(safeName);
  const std::string suffix = " (" + std::to_string(n) + ")";
  if (ext.size() > kMaxKeptExtension) {
    stem += ext;
    ext.clear();
  }
  const size_t room = kMaxFileNameBytes > suffix.size() + ext.size() ? kMaxFileNameBytes - suffix.size() - ext.size() : 0;
  CutTo(stem, room);
  return stem + suffix + ext;
}

std::optional<NewFile> NewFile::Create(const std::string& dir, std::string* error) {
  if (!IsDirectory(dir)) {
    if (error) *error = "not a folder: " + dir;
    return std::nullopt;
  }
  std::random_device seed;
  std::mt19937_64 random(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[64];
    std::snprintf(name, sizeof name, ".velmorix-%d-%016llx.part", static_cast<int>(::getpid()),
                  static_cast<unsigned long long>(random()));
    const std::string temp = Join(dir, name);
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) return NewFile(dir, temp, fd);
    if (errno != EEXIST) break;
  }
  SetError(error, "cannot create a file in " + dir);
  return std::nullopt;
}

NewFile::NewFile(NewFile&& other) noexcept
    : dir_(std::move(other.dir_)), temp_(std::move(other.temp_)), fd_(other.fd_), failed_(other.failed_) {
  other.fd_ = -1;
  other.temp_.clear();
}

NewFile::~NewFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!temp_.empty()) ::unlink(temp_.c_str());
}

bool NewFile::Write(std::span<const std::byte> bytes) {
  if (fd_ < 0 || failed_) return false;
  const auto* p = reinterpret_cast<const char*>(bytes.data());
  size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(fd_, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      failed_ = true;
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

std::optional<std::string> NewFile::Commit(std::string_view name, std::string_view fallback, std::string* error) {
  if (fd_ < 0 || temp_.empty()) {
    if (error) *error = "the file is already closed";
    return std::nullopt;
  }
  const int fd = fd_;
  fd_ = -1;
  if (failed_ || ::close(fd) != 0) {
    SetError(error, "cannot write " + temp_);
    return std::nullopt;
  }
  const std::string safe = SafeFileName(name, fallback);
  for (unsigned n = 1; n <= kMaxAlternatives; ++n) {
    const std::string dst = Join(dir_, n == 1 ? safe : NumberedName(safe, n));
    const int r = MoveWithoutReplacing(temp_, dst);
    if (r == 1) {
      temp_.clear();
      return dst;
    }
    if (r < 0) {
      SetError(error, "cannot name the file " + dst);
      return std::nullopt;
    }
  }
  if (error) *error = "no free name for " + safe;
  return std::nullopt;
}

std::optional<std::string> CreateUniqueDirectory(const std::string& parent, std::string_view name,
                                                 std::string* error) {
  const std::string safe = SafeFileName(name, "folder");
  for (unsigned n = 1; n <= kMaxAlternatives; ++n) {
    const std::string path = Join(parent, n == 1 ? safe : NumberedName(safe, n));
    if (::mkdir(path.c_str(), 0777) == 0) return path;
    if (errno != EEXIST) {
      SetError(error, "cannot create " + path);
      return std::nullopt;
    }
  }
  if (error) *error = "no free name for " + safe;
  return std::nullopt;
}

}  // namespace velmorix::content
