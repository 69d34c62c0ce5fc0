// The folder an export writes into, held open by descriptor: every folder
// and file below it is made relative to an open folder, never through a path
// that could lead elsewhere, so a symbolic link planted in it (or swapped in
// while the export runs) is never followed. Files are written under a
// temporary name and take their final name only when complete, without
// replacing anything; names are made safe and unique within their folder
// (also where the file system ignores case).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace velmorix::exporting {

class OutputFile;

class OutputDir {
 public:
  // Opens `path`, creating it (and its parents) when missing. The folder the
  // user names may itself be reached through links; nothing below it is.
  static std::unique_ptr<OutputDir> Open(const std::string& path, std::string* error = nullptr);
  ~OutputDir();
  OutputDir(const OutputDir&) = delete;
  OutputDir& operator=(const OutputDir&) = delete;

  const std::string& path() const { return path_; }

  // Closes the folder's descriptor to save descriptors while it is not
  // used; Reopen() opens it again through its parent (which must be open).
  void Close();
  bool Reopen(std::string* error = nullptr);
  bool open() const { return fd_ >= 0; }

  // Creates a new folder named `name` made safe (numbered when the name is
  // taken) and opens it.
  std::unique_ptr<OutputDir> CreateSubdirectory(std::string_view name, std::string* error = nullptr);
  // Starts a new file here.
  std::optional<OutputFile> CreateFile(std::string* error = nullptr);

  // Reserves a free name for a file: `name` made safe with `extension`
  // (".eml"), numbered when taken in this folder or by this export. Used by
  // OutputFile::Commit.
  std::string ReserveName(std::string_view name, std::string_view extension, std::string_view fallback);

 private:
  friend class OutputFile;
  OutputDir(std::string path, int fd, OutputDir* parent = nullptr, std::string name = {})
      : path_(std::move(path)), fd_(fd), parent_(parent), name_(std::move(name)) {}
  bool Taken(const std::string& name) const;
  // Takes the names already in the folder as given out.
  void LoadNames();

  std::string path_;
  int fd_ = -1;
  OutputDir* parent_ = nullptr;  // null for the folder the user chose
  std::string name_;             // the name in the parent
  std::unordered_set<std::string> used_;               // case-folded names given out
  std::unordered_map<std::string, unsigned> nextNumber_;  // per safe name: next number to try
  std::string tempPrefix_;  // temporary names: prefix and counter
  uint64_t tempCounter_ = 0;
};

// A file being written in an OutputDir; removed unless committed.
class OutputFile {
 public:
  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&&) = delete;
  OutputFile(const OutputFile&) = delete;
  ~OutputFile();

  bool Write(std::span<const std::byte> bytes);
  bool Write(std::string_view text);
  // Hands the open file to a writer that seeks in it (a compound file):
  // what was written before is flushed first, and the size is taken from
  // the file afterwards. The writer's result is returned.
  bool WriteThrough(const std::function<bool(int fd)>& write);
  uint64_t size() const { return size_; }
  bool failed() const { return failed_; }

  // Closes the file and gives it a free name from `name` made safe and
  // `extension`. Returns the final path.
  std::optional<std::string> Commit(std::string_view name, std::string_view extension,
                                    std::string_view fallback, std::string* error = nullptr);

 private:
  friend class OutputDir;
  OutputFile(OutputDir& dir, std::string temp, int fd) : dir_(&dir), temp_(std::move(temp)), fd_(fd) {}
  bool Flush();
  OutputDir* dir_;
  std::string temp_;
  int fd_ = -1;
  std::string buffer_;  // bytes not yet written
  uint64_t size_ = 0;
  bool failed_ = false;
  int errno_ = 0;
};

}  // namespace velmorix::exporting
