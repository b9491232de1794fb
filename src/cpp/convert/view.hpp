// A strided view of an n-d array's memory: what the census kernels read
// and, with its element size, what the MAT writers gather. Pure C++.
#pragma once

#include <cstdint>
#include <vector>

namespace nivra {

struct View {
  const char* data;
  std::vector<std::int64_t> shape;
  std::vector<std::int64_t> strides;  // bytes
  bool swapped;                        // stored in the other byte order than the host's

  std::int64_t size() const {
    std::int64_t n = 1;
    for (auto d : shape) n *= d;
    return n;
  }
};

}  // namespace nivra
