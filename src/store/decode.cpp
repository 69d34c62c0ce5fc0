// Block encodings: none, permutation, and the cyclic method keyed by BID.
#include <array>

#include "store/store.h"

#include "format/block_encoding.h"

namespace velmorix::store {
namespace {

// Applies `method` with the permutation table `permute`: the cyclic method is
// the same in both directions.
int Transform(std::span<std::byte> buf, int method, uint32_t bid, const std::array<uint8_t, 256>& permute) {
  switch (method) {
    case kEncodeNone:
      return 0;
    case kEncodePermute:
      format::Substitute(buf, permute);
      return 0;
    case kEncodeCyclic:
      format::Cyclic(buf, bid);
      return 0;
    default:
      return -1;
  }
}

}  // namespace

int DecodeBlock(std::span<std::byte> buf, int method, uint32_t bid) { return Transform(buf, method, bid, format::kUnpermuteTable); }

int EncodeBlock(std::span<std::byte> buf, int method, uint32_t bid) { return Transform(buf, method, bid, format::kPermuteTable); }

}  // namespace velmorix::store
