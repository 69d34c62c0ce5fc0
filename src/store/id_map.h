// A compact open-addressing map from 32-bit identifiers (BIDs, NIDs) to
// 32-bit positions in the owner's list of entries. Lookups cost one probe
// sequence and no allocation per entry, and a slot is 8 bytes: the table of a
// million-entry index stays small enough to stay in cache.
#pragma once

#include <bit>
#include <cstdint>
#include <vector>

namespace velmorix::store {

class IdMap {
 public:
  static constexpr uint32_t kNone = UINT32_MAX;
  // The most positions the map holds.
  static constexpr size_t kMaxPositions = UINT32_MAX - 1;

  // Inserts `position` (below kMaxPositions) under `key` unless the key is
  // present; returns the position now stored under the key. The table is
  // kept at most three quarters full: short probe runs in a table half the
  // size of a half-full one, which keeps large indexes in cache.
  uint32_t InsertFirst(uint32_t key, uint32_t position) {
    if ((count_ + 1) * 4 > slots_.size() * 3) Grow();
    Slot& s = Probe(key);
    if (s.position == kNone) {
      s.key = key;
      s.position = position;
      ++count_;
    }
    return s.position;
  }

  // The position stored under `key`, kNone when there is none.
  uint32_t Find(uint32_t key) const {
    if (slots_.empty()) return kNone;
    const size_t mask = slots_.size() - 1;
    for (size_t i = Hash(key, shift_);; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (s.position == kNone || s.key == key) return s.position;
    }
  }

  size_t size() const { return count_; }

 private:
  struct Slot {
    uint32_t key = 0;
    uint32_t position = kNone;  // kNone marks an empty slot
  };

  // Multiplicative hashing keeping the product's top bits: identifiers are
  // structured (fixed low type bits, dense runs), and lower bits of the
  // product cluster such keys into long probe runs.
  static size_t Hash(uint32_t key, int shift) {
    const uint64_t h = key * 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(h >> shift);
  }

  Slot& Probe(uint32_t key) {
    const size_t mask = slots_.size() - 1;
    for (size_t i = Hash(key, shift_);; i = (i + 1) & mask) {
      Slot& s = slots_[i];
      if (s.position == kNone || s.key == key) return s;
    }
  }

  void Grow() {
    std::vector<Slot> old;
    old.swap(slots_);
    slots_.assign(old.empty() ? 64 : old.size() * 2, Slot{});
    shift_ = 64 - std::countr_zero(slots_.size());
    for (const Slot& s : old) {
      if (s.position != kNone) Probe(s.key) = s;
    }
  }

  std::vector<Slot> slots_;
  int shift_ = 64;  // 64 - log2(slots_.size())
  size_t count_ = 0;
};

}  // namespace velmorix::store
