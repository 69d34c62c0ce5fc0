// Names taken from a store made safe for the file system, and files written
// whole or not at all without replacing any file: for saving attachments and
// exporting items. Names from a file are hostile: the helpers here never
// produce a path outside the folder they are given.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace velmorix::content {

// Longest name produced, in UTF-8 bytes: below every common file system's
// limit, with room for a " (n)" suffix.
inline constexpr size_t kMaxFileNameBytes = 200;

// `name` as one path component safe on every common file system: invalid
// UTF-8, control characters, separators and the characters Windows forbids
// become "_"; leading dots and blanks and trailing dots and blanks go;
// reserved device names (CON, NUL, COM1, ...) get a leading "_"; the result
// is cut to kMaxFileNameBytes at a character boundary, keeping a short
// extension. A name with nothing left becomes `fallback` (made safe too).
std::string SafeFileName(std::string_view name, std::string_view fallback = "attachment");

// The nth alternative of a safe name, for n >= 2: "report (2).pdf".
std::string NumberedName(std::string_view safeName, unsigned n);

// A new file in a folder, written under a temporary name and given its final
// name only when complete, so that a stop leaves no partial file and no
// existing file is ever replaced.
class NewFile {
 public:
  // Creates the temporary file in `dir`, which must exist.
  static std::optional<NewFile> Create(const std::string& dir, std::string* error = nullptr);
  NewFile(NewFile&& other) noexcept;
  NewFile& operator=(NewFile&&) = delete;
  NewFile(const NewFile&) = delete;
  ~NewFile();  // removes the temporary file unless committed

  bool Write(std::span<const std::byte> bytes);
  // Closes the file and names it `name` made safe, or its first numbered
  // alternative that does not exist yet. Returns the final path.
  std::optional<std::string> Commit(std::string_view name, std::string_view fallback = "attachment",
                                    std::string* error = nullptr);

 private:
  NewFile(std::string dir, std::string temp, int fd) : dir_(std::move(dir)), temp_(std::move(temp)), fd_(fd) {}
  std::string dir_;
  std::string temp_;
  int fd_ = -1;
  bool failed_ = false;
};

// Creates a new folder in `parent` named `name` made safe, or its first
// numbered alternative that does not exist yet. Returns its path.
std::optional<std::string> CreateUniqueDirectory(const std::string& parent, std::string_view name,
                                                 std::string* error = nullptr);

}  // namespace velmorix::content
