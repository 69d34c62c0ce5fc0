#include "cli/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ostream>

namespace velmorix::cli {

namespace {

// 1234567 -> "1,234,567"
std::string Grouped(int64_t n) {
  std::string digits = std::to_string(n < 0 ? 0 : n);
  for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3) digits.insert(static_cast<size_t>(i), ",");
  return digits;
}

// "0:07", "12:30", "1:02:03"
std::string Duration(double seconds) {
  const auto s = static_cast<int64_t>(std::llround(std::max(0.0, std::min(seconds, 359999.0))));
  char buf[32];
  if (s >= 3600) {
    std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", static_cast<long long>(s / 3600),
                  static_cast<long long>(s / 60 % 60), static_cast<long long>(s % 60));
  } else {
    std::snprintf(buf, sizeof buf, "%lld:%02lld", static_cast<long long>(s / 60), static_cast<long long>(s % 60));
  }
  return buf;
}

// Cuts UTF-8 text to `width` code points.
void CutToWidth(std::string& text, size_t width) {
  size_t points = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (points++ == width) {
      text.resize(i);
      return;
    }
  }
}

}  // namespace

std::string ProgressText(std::string_view stage, int64_t done, int64_t total, double seconds, size_t width) {
  std::string text(stage);
  if (total > 0 && done > 0) {
    const double fraction = std::min(1.0, static_cast<double>(done) / static_cast<double>(total));
    text += "  " + std::to_string(static_cast<int>(fraction * 100)) + "%";
  }
  if (done > 0) {
    text += "  " + Grouped(done) + " items";
    // A rate and a time left settle after a moment; the first figures jump.
    if (seconds >= 0.5) {
      text += "  " + Grouped(static_cast<int64_t>(static_cast<double>(done) / seconds)) + " items/s";
      if (total > done) {
        text += "  " + Duration(seconds * static_cast<double>(total - done) / static_cast<double>(done)) + " left";
      }
    }
  } else {
    text += "  " + Duration(seconds);
  }
  CutToWidth(text, width);
  return text;
}

ProgressLine::ProgressLine(std::ostream& out, size_t width) : out_(out), width_(width) {}

ProgressLine::~ProgressLine() { Clear(); }

void ProgressLine::Update(std::string_view stage, int64_t done, int64_t total) {
  if (stage.empty()) return;
  const Clock::time_point now = Clock::now();
  if (stage != stage_) {
    stage_ = stage;
    stageStart_ = now;
  } else if (shown_ && now - lastDraw_ < std::chrono::milliseconds(100)) {
    return;
  }
  lastDraw_ = now;
  const double seconds = std::chrono::duration<double>(now - stageStart_).count();
  // Back to the line's start, the text, then erase what a longer line left.
  out_ << '\r' << ProgressText(stage_, done, total, seconds, width_) << "\x1b[K" << std::flush;
  shown_ = true;
}

void ProgressLine::Clear() {
  if (!shown_) return;
  out_ << "\r\x1b[K" << std::flush;
  shown_ = false;
  stage_.clear();
}

bool ProgressLine::StderrIsTerminal() {
  if (!::isatty(STDERR_FILENO)) return false;
  const char* term = std::getenv("TERM");
  return term == nullptr || std::string_view(term) != "dumb";
}

size_t ProgressLine::StderrWidth() {
  struct winsize ws {};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1) return ws.ws_col - 1u;
  return 79;
}

}  // namespace velmorix::cli
