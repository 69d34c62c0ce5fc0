// Builder mailboxes written to temporary files and read back in full.
#pragma once

#include "samples.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>

#include "content/item_reader.h"
#include "storebuilder/mailbox.h"

namespace velmorix::content::testing {

namespace sb = velmorix::storebuilder;

inline std::string TempPath(const std::string& stem, const std::string& ext = ".pst") {
  static std::atomic<int> counter{0};
  return (std::filesystem::path(::testing::TempDir()) /
          (stem + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ext))
      .string();
}

// A file or folder removed at the end of the test.
class TempPathGuard {
 public:
  explicit TempPathGuard(std::string path) : path_(std::move(path)) {}
  ~TempPathGuard() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The sample's path, or a skip naming where it was looked for.
#define SAMPLE_OR_SKIP(name)                                 \
  REQUIRE_SAMPLE(name);                                      \
  const std::string samplePath = ::velmorix::test::SamplePath(name)

inline sb::MailboxOptions Options(sb::Format format = sb::Format::Unicode23) {
  sb::MailboxOptions o;
  o.ndb.format = format;
  o.deletedItems = false;
  return o;
}

inline std::string Str(ByteSpan b) { return std::string(AsChars(b)); }
inline Buffer Bytes(std::string_view s) {
  const ByteSpan b = AsBytes(s);
  return Buffer(b.begin(), b.end());
}

// A mailbox written to a temporary file with a reader open on it.
class Written {
 public:
  explicit Written(sb::MailboxBuilder& mb) : file_(TempPath("content")) {
    mb.Write(file_.path());
    std::string error;
    reader = ItemReader::Open(file_.path(), &error);
    EXPECT_TRUE(reader) << error;
  }
  const std::string& path() const { return file_.path(); }
  Item Read(uint32_t nid, const ReadOptions& options = {}) {
    std::string error;
    auto item = reader->Read(nid, options, &error);
    EXPECT_TRUE(item) << error;
    return item ? std::move(*item) : Item{};
  }
  std::string Bytes(const Attachment& a) {
    std::string out;
    std::string error;
    EXPECT_TRUE(reader->ReadAttachment(a, [&](ByteSpan b) {
      out.append(AsChars(b));
      return true;
    }, &error)) << error;
    return out;
  }

  std::unique_ptr<ItemReader> reader;

 private:
  TempPathGuard file_;
};

}  // namespace velmorix::content::testing
