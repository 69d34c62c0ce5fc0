// The progress line of long runs: one line on a terminal, redrawn in place,
// "Scanning File for Mails...  42%  51,234 items  48,000 items/s  0:07 left".
#pragma once

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>

namespace velmorix::cli {

// The line for `stage` after `seconds` in it, with `done` of `total` items
// (total <= 0: not known, so no percentage and no time left), cut to `width`
// columns.
std::string ProgressText(std::string_view stage, int64_t done, int64_t total, double seconds, size_t width);

class ProgressLine {
 public:
  // Draws on `out`, a terminal `width` columns wide.
  ProgressLine(std::ostream& out, size_t width);
  ~ProgressLine();
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // Draws at once when the stage changes, otherwise at most every 100 ms.
  // An empty stage draws nothing.
  void Update(std::string_view stage, int64_t done, int64_t total);
  // Erases the line; the next update draws it again.
  void Clear();

  // Whether stderr is a terminal to draw on, and its width.
  static bool StderrIsTerminal();
  static size_t StderrWidth();

 private:
  using Clock = std::chrono::steady_clock;
  std::ostream& out_;
  size_t width_;
  std::string stage_;
  Clock::time_point stageStart_;
  Clock::time_point lastDraw_;
  bool shown_ = false;
};

}  // namespace velmorix::cli
