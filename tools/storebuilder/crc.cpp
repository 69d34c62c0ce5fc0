#include "storebuilder/crc.h"

#include <array>

namespace velmorix::storebuilder {
namespace {

// Slicing-by-4 tables: the index pages of large stores are checksummed in bulk.
using Tables = std::array<std::array<uint32_t, 256>, 4>;

constexpr Tables MakeTables() {
  Tables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    t[0][i] = c;
  }
  for (uint32_t i = 0; i < 256; ++i) {
    for (size_t s = 1; s < 4; ++s) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
  }
  return t;
}

constexpr Tables kTables = MakeTables();

}  // namespace

uint32_t ComputeCrc(uint32_t crc, std::span<const std::byte> data) {
  const auto* p = data.data();
  size_t n = data.size();
  while (n >= 4) {
    crc ^= static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
    crc = kTables[3][crc & 0xFF] ^ kTables[2][(crc >> 8) & 0xFF] ^ kTables[1][(crc >> 16) & 0xFF] ^
          kTables[0][crc >> 24];
    p += 4;
    n -= 4;
  }
  while (n--) crc = kTables[0][(crc ^ static_cast<uint32_t>(*p++)) & 0xFF] ^ (crc >> 8);
  return crc;
}

}  // namespace velmorix::storebuilder
