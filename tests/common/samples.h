// The real sample stores used by end-to-end tests. They are not part of a
// clone: a test that opens one skips, naming where it looked, when it is
// missing. VELMORIX_SAMPLES (at run time) names another folder.
//
//   REQUIRE_SAMPLE("outlook.pst");                      // GoogleTest
//   QREQUIRE_SAMPLE("outlook.pst");                     // Qt Test
//   const std::string path = velmorix::test::SamplePath("outlook.pst");
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

namespace velmorix::test {

inline std::string SamplesDir() {
  if (const char* dir = std::getenv("VELMORIX_SAMPLES"); dir != nullptr && *dir != '\0') return dir;
  return VELMORIX_SAMPLES_DIR;
}

inline std::string SamplePath(std::string_view name) { return SamplesDir() + "/" + std::string(name); }

// Empty when the sample is there; otherwise why a test that needs it skips.
inline std::string MissingSample(std::string_view name) {
  const std::string path = SamplePath(name);
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
