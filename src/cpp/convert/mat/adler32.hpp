// The adler32 checksum of zlib streams, and the combination of two.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace nivra::mat {

constexpr std::uint32_t kAdlerBase = 65521;

inline std::uint32_t adler32(std::uint32_t adler, const unsigned char* data, std::size_t size) {
  constexpr std::size_t kRun = 5552;  // longest run before the sums can overflow
  std::uint32_t a = adler & 0xffff, b = adler >> 16;
  while (size > 0) {
    std::size_t run = std::min(size, kRun);
    size -= run;
    for (; run > 0; --run) {
      a += *data++;
      b += a;
    }
    a %= kAdlerBase;
    b %= kAdlerBase;
  }
  return (b << 16) | a;
}

// The checksum of A followed by B, from those of A and B and the length of B.
inline std::uint32_t adler32_combine(std::uint32_t first, std::uint32_t second, std::uint64_t second_size) {
  const std::uint64_t rem = second_size % kAdlerBase;
  std::uint64_t a = first & 0xffff;
  std::uint64_t b = (rem * a) % kAdlerBase;
  a += (second & 0xffff) + kAdlerBase - 1;
  b += (first >> 16) + (second >> 16) + kAdlerBase - rem;
  a %= kAdlerBase;
  b %= kAdlerBase;
  return static_cast<std::uint32_t>((b << 16) | a);
}

}  // namespace nivra::mat
