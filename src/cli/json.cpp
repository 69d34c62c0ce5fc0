#include "cli/json.h"

namespace velmorix::cli {

namespace {

bool Continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Length of the valid UTF-8 sequence at the start of `s` (at least one
// byte, its first byte not ASCII), or 0 when it is not one.
size_t SequenceLength(std::string_view s) {
  const auto at = [&](size_t i) { return i < s.size() ? static_cast<unsigned char>(s[i]) : 0; };
  const unsigned char c = at(0);
  const unsigned char c1 = at(1);
  if (c >= 0xC2 && c <= 0xDF) return Continuation(c1) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    // No overlong forms (E0 80..9F) and no surrogates (ED A0..BF).
    const bool second = c == 0xE0 ? c1 >= 0xA0 && c1 <= 0xBF : c == 0xED ? c1 >= 0x80 && c1 <= 0x9F : Continuation(c1);
    return second && Continuation(at(2)) ? 3 : 0;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    // No overlong forms (F0 80..8F) and nothing beyond U+10FFFF (F4 90..).
    const bool second = c == 0xF0 ? c1 >= 0x90 && c1 <= 0xBF : c == 0xF4 ? c1 >= 0x80 && c1 <= 0x8F : Continuation(c1);
    return second && Continuation(at(2)) && Continuation(at(3)) ? 4 : 0;
  }
  return 0;
}

}  // namespace

void AppendJsonString(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  size_t i = 0;
  while (i < text.size()) {
    // A run that needs nothing is copied at once.
    size_t run = i;
    while (run < text.size()) {
      const auto c = static_cast<unsigned char>(text[run]);
      if (c < 0x20 || c == '"' || c == '\\' || c >= 0x80) break;
      ++run;
    }
    out.append(text, i, run - i);
    i = run;
    if (i == text.size()) break;

    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      if (const size_t n = SequenceLength(text.substr(i)); n != 0) {
        out.append(text, i, n);
        i += n;
      } else {
        out += "\xEF\xBF\xBD";
        ++i;
      }
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        out += "\\u00";
        out += kHex[c >> 4];
        out += kHex[c & 0xF];
    }
    ++i;
  }
  out += '"';
}

}  // namespace velmorix::cli
