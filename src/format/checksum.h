// The checksum and signature of pages and blocks, shared by the readers and
// the writers of every variant.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace velmorix::format {
namespace detail {

// Slicing-by-4 tables of the reflected polynomial 0xEDB88320: whole pages
// and blocks are checksummed in bulk.
using CrcTables = std::array<std::array<uint32_t, 256>, 4>;

constexpr CrcTables MakeCrcTables() {
  CrcTables t{};
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

inline constexpr CrcTables kCrcTables = MakeCrcTables();

}  // namespace detail

// The format's 32-bit CRC: initial value supplied by the caller (the format
// starts from 0), no final XOR.
inline uint32_t Crc(uint32_t crc, std::span<const std::byte> data) {
  const auto& t = detail::kCrcTables;
  const std::byte* p = data.data();
  size_t n = data.size();
  while (n >= 4) {
    crc ^= static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
    crc = t[3][crc & 0xFF] ^ t[2][(crc >> 8) & 0xFF] ^ t[1][(crc >> 16) & 0xFF] ^ t[0][crc >> 24];
    p += 4;
    n -= 4;
  }
  while (n--) crc = t[0][(crc ^ static_cast<uint32_t>(*p++)) & 0xFF] ^ (crc >> 8);
  return crc;
}

// Signature of a page or block: its file offset and BID folded to 16 bits.
constexpr uint16_t Signature(uint64_t ib, uint64_t bid) {
  const uint32_t x = static_cast<uint32_t>(ib) ^ static_cast<uint32_t>(bid);
  return static_cast<uint16_t>((x >> 16) ^ x);
}

}  // namespace velmorix::format
