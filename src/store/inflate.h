// Inflating the zlib streams of compressed blocks, whose inflated size the
// block index and the block trailer state.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "store/bytes.h"

struct libdeflate_decompressor;

namespace velmorix::store {

// No block inflates to more than this.
inline constexpr uint32_t kMaxInflatedBlock = 65536;

// Owns one decompressor, allocated on first use. Not for use by two threads
// at once.
class Inflater {
 public:
  Inflater();
  ~Inflater();
  Inflater(Inflater&&) noexcept;
  Inflater& operator=(Inflater&&) noexcept;

  // Inflates the zlib stream `stored` to exactly `size` bytes. nullopt when
  // `size` is above kMaxInflatedBlock, the stream is damaged, its checksum
  // does not match, or it inflates to more or fewer bytes.
  std::optional<Buffer> Inflate(ByteSpan stored, uint32_t size);

  // Room for a compressed block's stored bytes while it is inflated.
  Buffer input;

 private:
  struct Free {
    void operator()(libdeflate_decompressor* d) const;
  };
  std::unique_ptr<libdeflate_decompressor, Free> d_;
};

}  // namespace velmorix::store
