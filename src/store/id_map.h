// A compact open-addressing map from 32-bit identifiers (BIDs, NIDs) to
// pointers. Lookups cost one probe sequence and no allocation per entry, which
// matters for the million-entry indexes of large stores.
#pragma once

#include <bit>
#include <cstdint>
#include <vector>

namespace velmorix::store {

template <typename T>
class IdMap {
 public:
  // Inserts `value` under `key` unless the key is present; returns the value
  // now stored under the key.
  T* InsertFirst(uint32_t key, T* value) {
    if ((count_ + 1) * 2 > slots_.size()) Grow();
    Slot& s = Probe(key);
    if (!s.value) {
      s.key = key;
      s.value = value;
      ++count_;
    }
    return s.value;
  }

  T* Find(uint32_t key) const {
    if (slots_.empty()) return nullptr;
    const size_t mask = slots_.size() - 1;
    for (size_t i = Hash(key, shift_);; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (!s.value) return nullptr;
      if (s.key == key) return s.value;
    }
  }

  size_t size() const { return count_; }

 private:
  struct Slot {
    uint32_t key = 0;
    T* value = nullptr;  // null marks an empty slot
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
      if (!s.value || s.key == key) return s;
    }
  }

  void Grow() {
    std::vector<Slot> old;
    old.swap(slots_);
    slots_.assign(old.empty() ? 64 : old.size() * 2, Slot{});
    shift_ = 64 - std::countr_zero(slots_.size());
    for (const Slot& s : old) {
      if (s.value) Probe(s.key) = s;
    }
  }

  std::vector<Slot> slots_;
  int shift_ = 64;  // 64 - log2(slots_.size())
  size_t count_ = 0;
};

}  // namespace velmorix::store
