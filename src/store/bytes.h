// Byte buffers and bounds-checked little-endian reads.
//
// Everything read from a store goes through ByteView or ByteReader: a read that
// would run past the end of the data yields std::nullopt (or false), never
// undefined behaviour.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velmorix {

using Buffer = std::vector<std::byte>;
using ByteSpan = std::span<const std::byte>;

inline ByteSpan AsBytes(std::string_view s) {
  return {reinterpret_cast<const std::byte*>(s.data()), s.size()};
}
inline std::string_view AsChars(ByteSpan b) {
  return {reinterpret_cast<const char*>(b.data()), b.size()};
}

// Positional, bounds-checked view over bytes.
class ByteView {
 public:
  ByteView() = default;
  explicit ByteView(ByteSpan data) : data_(data) {}

  size_t size() const { return data_.size(); }
  ByteSpan span() const { return data_; }

  // True when [offset, offset + length) lies inside the view.
  bool Contains(uint64_t offset, uint64_t length) const {
    return offset <= data_.size() && length <= data_.size() - offset;
  }

  std::optional<uint8_t> U8(uint64_t offset) const { return Read<uint8_t>(offset); }
  std::optional<uint16_t> U16(uint64_t offset) const { return Read<uint16_t>(offset); }
  std::optional<uint32_t> U32(uint64_t offset) const { return Read<uint32_t>(offset); }
  std::optional<uint64_t> U64(uint64_t offset) const { return Read<uint64_t>(offset); }
  std::optional<int16_t> I16(uint64_t offset) const { return Read<int16_t>(offset); }

  // The sub-range [offset, offset + length), or nullopt when it is not inside.
  std::optional<ByteSpan> Sub(uint64_t offset, uint64_t length) const {
    if (!Contains(offset, length)) return std::nullopt;
    return data_.subspan(static_cast<size_t>(offset), static_cast<size_t>(length));
  }

 private:
  template <typename T>
  std::optional<T> Read(uint64_t offset) const {
    if (!Contains(offset, sizeof(T))) return std::nullopt;
    T value = 0;
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(&value, data_.data() + offset, sizeof(T));
    } else {
      for (size_t i = 0; i < sizeof(T); ++i) {
        value = static_cast<T>(value |
                               static_cast<T>(static_cast<uint64_t>(data_[offset + i]) << (8 * i)));
      }
    }
    return value;
  }

  ByteSpan data_;
};

// Sequential reader in the manner of a binary stream reader: each read either
// succeeds and advances, or fails and leaves the position unchanged.
class ByteReader {
 public:
  explicit ByteReader(ByteSpan data) : view_(data) {}

  size_t position() const { return pos_; }
  size_t remaining() const { return view_.size() - pos_; }
  bool Seek(size_t pos) {
    if (pos > view_.size()) return false;
    pos_ = pos;
    return true;
  }
  bool Skip(size_t n) {
    if (n > remaining()) return false;
    pos_ += n;
    return true;
  }
  bool ReadU8(uint8_t& out) { return Take(view_.U8(pos_), 1, out); }
  bool ReadU16(uint16_t& out) { return Take(view_.U16(pos_), 2, out); }
  bool ReadU32(uint32_t& out) { return Take(view_.U32(pos_), 4, out); }
  bool ReadU64(uint64_t& out) { return Take(view_.U64(pos_), 8, out); }
  bool ReadBytes(size_t n, ByteSpan& out) {
    auto sub = view_.Sub(pos_, n);
    if (!sub) return false;
    out = *sub;
    pos_ += n;
    return true;
  }

 private:
  template <typename T>
  bool Take(std::optional<T> value, size_t width, T& out) {
    if (!value) return false;
    out = *value;
    pos_ += width;
    return true;
  }

  ByteView view_;
  size_t pos_ = 0;
};

// An owned byte string that may be absent. One pointer wide, so that records
// with many optional text and raw fields stay small. The bytes are always
// followed by a NUL, so a text value can be used as a C string.
class Blob {
 public:
  Blob() = default;
  static Blob Of(ByteSpan bytes) { return Blob(bytes.data(), bytes.size()); }
  static Blob Of(std::string_view s) { return Blob(reinterpret_cast<const std::byte*>(s.data()), s.size()); }

  Blob(Blob&&) noexcept = default;
  Blob& operator=(Blob&&) noexcept = default;
  Blob Clone() const { return present() ? Of(bytes()) : Blob(); }

  bool present() const { return static_cast<bool>(p_); }
  explicit operator bool() const { return present(); }
  size_t size() const {
    if (!p_) return 0;
    uint32_t n;
    std::memcpy(&n, p_.get(), sizeof n);
    return n;
  }
  ByteSpan bytes() const { return p_ ? ByteSpan(p_.get() + sizeof(uint32_t), size()) : ByteSpan(); }
  std::string_view view() const { return AsChars(bytes()); }
  std::string str() const { return std::string(view()); }
  void reset() { p_.reset(); }

 private:
  Blob(const std::byte* data, size_t n) {
    auto len = static_cast<uint32_t>(n);
    // Every byte is written below: no zero-filling first.
    p_ = std::make_unique_for_overwrite<std::byte[]>(sizeof len + n + 1);
    std::memcpy(p_.get(), &len, sizeof len);
    if (n) std::memcpy(p_.get() + sizeof len, data, n);
    p_[sizeof len + n] = std::byte{0};
  }

  std::unique_ptr<std::byte[]> p_;
};

}  // namespace velmorix
