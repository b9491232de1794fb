// The host's byte order, known when compiling. Pure C++.
#pragma once

#include <cstdint>
#include <cstring>

namespace nivra {

// GCC and Clang say; the compilers that do not (MSVC) target only
// little-endian machines.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
constexpr bool kHostIsLittleEndian = false;
#else
constexpr bool kHostIsLittleEndian = true;
#endif

// The eight bytes at `p` as a number, the first one lowest.
inline std::uint64_t load_little_endian_u64(const unsigned char* p) {
  std::uint64_t word;
  if constexpr (kHostIsLittleEndian) {
    std::memcpy(&word, p, sizeof word);
  } else {
    word = 0;
    for (unsigned i = 0; i < sizeof word; ++i) word |= std::uint64_t(p[i]) << (8 * i);
  }
  return word;
}

}  // namespace nivra
