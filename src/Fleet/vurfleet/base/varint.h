// Varints for the small blobs the stores keep (store/latest.h,
// store/counts.h): seven bits a byte, low first; signed values zig-zagged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vurfleet {

inline void PutVarint(std::string* out, std::uint64_t v) {
  while (v >= 0x80) {
    out->push_back(static_cast<char>((v & 0x7F) | 0x80));
    v >>= 7;
  }
  out->push_back(static_cast<char>(v));
}

// False when the bytes end first or the value takes more than 64 bits.
inline bool GetVarint(std::string_view bytes, std::size_t* pos, std::uint64_t* v) {
  std::uint64_t value = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    if (*pos >= bytes.size()) return false;
    const unsigned char b = static_cast<unsigned char>(bytes[(*pos)++]);
    value |= static_cast<std::uint64_t>(b & 0x7F) << shift;
    if ((b & 0x80) == 0) {
      *v = value;
      return true;
    }
  }
  return false;
}

inline std::uint64_t ZigZag(std::int64_t v) {
  return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63);
}
inline std::int64_t UnZigZag(std::uint64_t v) {
  return static_cast<std::int64_t>(v >> 1) ^ -static_cast<std::int64_t>(v & 1);
}

}  // namespace vurfleet
