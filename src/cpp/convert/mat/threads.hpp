// How many threads the MAT writers compress on.
#pragma once

#include <algorithm>
#include <thread>

#include "convert/convert.hpp"

namespace nivra::convert {

// Every core, up to 16.
inline unsigned default_threads() { return std::clamp(std::thread::hardware_concurrency(), 1u, 16u); }

// The thread count a private hook asks for: 0 for the default, else at most 64.
inline unsigned requested_threads(long long count) {
  if (count < 0) raise(PyExc_ValueError, py::str("threads must not be negative"));
  return count == 0 ? default_threads() : static_cast<unsigned>(std::min(count, 64LL));
}

}  // namespace nivra::convert
