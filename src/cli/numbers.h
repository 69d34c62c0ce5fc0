// How the command line writes numbers for people: node ids as `0x` and
// lowercase hex (as `recover --ids` prints them), counts with thousands
// separators.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace velmorix::cli {

inline std::string Hex(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%x", v);
  return buf;
}

inline std::string Thousands(uint64_t n) {
  const std::string digits = std::to_string(n);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

}  // namespace velmorix::cli
