// The store format's 32-bit CRC: reflected polynomial 0xEDB88320, initial
// value supplied by the caller (the format uses 0), no final XOR.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace velmorix::storebuilder {

uint32_t ComputeCrc(uint32_t crc, std::span<const std::byte> data);

}  // namespace velmorix::storebuilder
