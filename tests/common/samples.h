// The real sample stores used by end-to-end tests. They are not part of a
// clone: a test that opens one skips, naming where it looked, when it is
// missing. VELMORIX_SAMPLES (at run time) names another folder.
//
//   REQUIRE_SAMPLE("outlook.pst");                      // GoogleTest
//   QREQUIRE_SAMPLE("outlook.pst");                     // Qt Test
//   const std::string path = velmorix::test::SamplePath("outlook.pst");  // a private copy
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include <unistd.h>

namespace velmorix::test {

inline std::string SamplesDir() {
  if (const char* dir = std::getenv("VELMORIX_SAMPLES"); dir != nullptr && *dir != '\0') return dir;
  return VELMORIX_SAMPLES_DIR;
}

// The sample where it lies.
inline std::string OriginalSamplePath(std::string_view name) {
  return SamplesDir() + "/" + std::string(name);
}

// A copy of the sample of this process's own, made on first use and removed
// at exit. Stores are opened under an exclusive lock, and test processes run
// side by side: the copies keep them from finding a sample locked.
inline std::string SamplePath(std::string_view name) {
  struct Copies {
    std::filesystem::path dir;
    ~Copies() {
      std::error_code ec;
      if (!dir.empty()) std::filesystem::remove_all(dir, ec);
    }
  };
  static Copies copies;
  const std::string original = OriginalSamplePath(name);
  std::error_code ec;
  if (!std::filesystem::is_regular_file(original, ec)) return original;
  if (copies.dir.empty()) {
    copies.dir = std::filesystem::temp_directory_path(ec) /
                 ("velmorix-samples-" + std::to_string(::getpid()));
    std::filesystem::create_directories(copies.dir, ec);
  }
  const std::filesystem::path copy = copies.dir / std::string(name);
  if (!std::filesystem::exists(copy, ec)) {
    std::filesystem::copy_file(original, copy, ec);
    if (ec) return original;
  }
  return copy.string();
}

// Empty when the sample is there; otherwise why a test that needs it skips.
inline std::string MissingSample(std::string_view name) {
  const std::string path = OriginalSamplePath(name);
  std::error_code ec;
  if (std::filesystem::is_regular_file(path, ec)) return {};
  return "sample " + std::string(name) + " not found at " + path +
         " (set VELMORIX_SAMPLES to the samples folder)";
}

}  // namespace velmorix::test

#define REQUIRE_SAMPLE(name)                                                                \
  if (const std::string velmorix_missing_ = ::velmorix::test::MissingSample(name);          \
      !velmorix_missing_.empty())                                                           \
  GTEST_SKIP() << velmorix_missing_

#define QREQUIRE_SAMPLE(name)                                                               \
  if (const std::string velmorix_missing_ = ::velmorix::test::MissingSample(name);          \
      !velmorix_missing_.empty())                                                           \
  QSKIP(velmorix_missing_.c_str())
