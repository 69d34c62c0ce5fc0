// The store format's 32-bit CRC (see store/layout.h), under the name the
// builder and its tests use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "store/layout.h"

namespace velmorix::storebuilder {

inline uint32_t ComputeCrc(uint32_t crc, std::span<const std::byte> data) { return store::ComputeCrc(crc, data); }

}  // namespace velmorix::storebuilder
