// One-pass kernels over a strided n-d array: the class census of a label map
// and the value range of an image. Pure C++, no Python.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <unordered_map>
#include <vector>

namespace nivra::census {

// A view of array memory: element type T, possibly byte-swapped.
struct View {
  const char* data;
  std::vector<std::int64_t> shape;
  std::vector<std::int64_t> strides;  // bytes
  bool swapped;                        // stored in the other byte order

  std::int64_t size() const {
    std::int64_t n = 1;
    for (auto d : shape) n *= d;
    return n;
  }
};

template <typename T>
T load(const char* p, bool swapped) {
  T value;
  if (!swapped) {
    std::memcpy(&value, p, sizeof(T));
  } else {
    char bytes[sizeof(T)];
    for (std::size_t i = 0; i < sizeof(T); ++i) bytes[i] = p[sizeof(T) - 1 - i];
    std::memcpy(&value, bytes, sizeof(T));
  }
  return value;
}

// Calls visit(value) for every element, in any order.
template <typename T, typename Visit>
void for_each(const View& view, Visit&& visit) {
  const std::size_t ndim = view.shape.size();
  if (view.size() == 0) return;
  if (ndim == 0) {
    visit(load<T>(view.data, view.swapped));
    return;
  }
  std::vector<std::int64_t> index(ndim, 0);
  const std::int64_t inner = view.shape[ndim - 1], step = view.strides[ndim - 1];
  while (true) {
    const char* p = view.data;
    for (std::size_t d = 0; d + 1 < ndim; ++d) p += index[d] * view.strides[d];
    if (!view.swapped && step == static_cast<std::int64_t>(sizeof(T))) {
      for (std::int64_t i = 0; i < inner; ++i) {
        T value;
        std::memcpy(&value, p + i * step, sizeof(T));
        visit(value);
      }
    } else {
      for (std::int64_t i = 0; i < inner; ++i) visit(load<T>(p + i * step, view.swapped));
    }
    std::size_t d = ndim - 1;
    while (d > 0) {
      if (++index[d - 1] < view.shape[d - 1]) break;
      index[d - 1] = 0;
      --d;
    }
    if (d == 0) return;
  }
}

// Sorted distinct values and how many elements equal each. A NaN class,
// if any, comes last with a count of zero (NaN equals nothing); -0.0 and
// 0.0 are one class, reported as 0.0 when any +0.0 occurs.
template <typename T>
struct Census {
  std::vector<T> values;
  std::vector<std::uint64_t> counts;
  bool has_nan = false;
};

template <typename T>
Census<T> from_histogram(const std::vector<std::uint64_t>& histogram, std::int64_t offset) {
  Census<T> result;
  for (std::size_t i = 0; i < histogram.size(); ++i) {
    if (histogram[i] == 0) continue;
    result.values.push_back(static_cast<T>(static_cast<std::int64_t>(i) + offset));
    result.counts.push_back(histogram[i]);
  }
  return result;
}

template <typename T>
Census<T> from_table(std::unordered_map<T, std::uint64_t>& table) {
  std::vector<std::pair<T, std::uint64_t>> entries(table.begin(), table.end());
  std::sort(entries.begin(), entries.end());
  Census<T> result;
  for (const auto& [value, count] : entries) {
    result.values.push_back(value);
    result.counts.push_back(count);
  }
  return result;
}

// Counts through a hash table, with a one-entry cache for runs of one class.
template <typename T, typename Key>
void count_distinct(const View& view, std::unordered_map<T, std::uint64_t>& table, Key&& key) {
  bool have_last = false;
  T last{};
  std::uint64_t* last_count = nullptr;
  for_each<T>(view, [&](T value) {
    if (!key(value)) return;
    if (have_last && std::memcmp(&value, &last, sizeof(T)) == 0) {
      ++*last_count;
      return;
    }
    last = value;
    last_count = &++table[value];
    have_last = true;
  });
}

template <typename T>
Census<T> integer_census(const View& view) {
  static_assert(std::is_integral_v<T>);
  if constexpr (sizeof(T) <= 2) {
    constexpr std::int64_t lowest = std::numeric_limits<T>::min();
    std::vector<std::uint64_t> histogram(std::size_t(1) << (8 * sizeof(T)), 0);
    for_each<T>(view, [&](T value) { ++histogram[static_cast<std::size_t>(value - lowest)]; });
    return from_histogram<T>(histogram, lowest);
  } else {
    const std::int64_t n = view.size();
    if (n == 0) return {};
    T lo = std::numeric_limits<T>::max(), hi = std::numeric_limits<T>::lowest();
    for_each<T>(view, [&](T value) {
      lo = std::min(lo, value);
      hi = std::max(hi, value);
    });
    // A direct histogram when the range is small next to the element count.
    const long double span = static_cast<long double>(hi) - static_cast<long double>(lo);
    if (span < static_cast<long double>(std::max<std::int64_t>(n / 4, 1 << 16))) {
      std::vector<std::uint64_t> histogram(static_cast<std::size_t>(span) + 1, 0);
      for_each<T>(view, [&](T value) { ++histogram[static_cast<std::size_t>(value - lo)]; });
      Census<T> result;
      for (std::size_t i = 0; i < histogram.size(); ++i) {
        if (histogram[i] == 0) continue;
        result.values.push_back(static_cast<T>(lo + static_cast<T>(i)));
        result.counts.push_back(histogram[i]);
      }
      return result;
    }
    std::unordered_map<T, std::uint64_t> table;
    count_distinct<T>(view, table, [](T) { return true; });
    return from_table(table);
  }
}

template <typename T>
Census<T> float_census(const View& view) {
  static_assert(std::is_floating_point_v<T>);
  bool has_nan = false, has_positive_zero = false;
  std::unordered_map<T, std::uint64_t> table;  // -0.0 and 0.0 hash and compare equal
  count_distinct<T>(view, table, [&](T value) {
    if (std::isnan(value)) {
      has_nan = true;
      return false;
    }
    if (value == 0 && !std::signbit(value)) has_positive_zero = true;
    return true;
  });
  Census<T> result = from_table(table);
  for (auto& value : result.values) {
    if (value == 0) value = has_positive_zero ? T(0) : -T(0);
  }
  result.has_nan = has_nan;
  return result;
}

// min and max, NaN when any element is NaN (as numpy propagates it).
template <typename T>
std::pair<T, T> value_range(const View& view) {
  using limits = std::numeric_limits<T>;
  T lo = limits::has_infinity ? limits::infinity() : limits::max();
  T hi = limits::has_infinity ? -limits::infinity() : limits::lowest();
  bool nan = false;
  for_each<T>(view, [&](T value) {
    if constexpr (std::is_floating_point_v<T>) {
      if (std::isnan(value)) {
        nan = true;
        return;
      }
    }
    if (value <= lo) lo = value;  // the last of equal values, as numpy keeps it (-0.0 vs 0.0)
    if (value >= hi) hi = value;
  });
  if constexpr (std::is_floating_point_v<T>) {
    if (nan) return {std::numeric_limits<T>::quiet_NaN(), std::numeric_limits<T>::quiet_NaN()};
  }
  return {lo, hi};
}

}  // namespace nivra::census
