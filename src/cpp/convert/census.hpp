// One-pass kernels over a strided n-d array: the class census of a label map
// and the value range of an image. Pure C++, no Python.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "convert/view.hpp"

// Block kernels are also compiled for AVX2 where the loader can pick a
// clone at run time; elsewhere they build once for the baseline. GCC only:
// clang does not clone function templates.
#if defined(__x86_64__) && defined(__GLIBC__) && defined(__GNUC__) && !defined(__clang__)
#define NIVRA_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define NIVRA_VECTOR_CLONES
#endif

namespace nivra::census {

template <typename T>
T load(const char* p, bool swapped) {
  char bytes[sizeof(T)];
  for (std::size_t i = 0; i < sizeof(T); ++i) bytes[i] = p[swapped ? sizeof(T) - 1 - i : i];
  T value;
  std::memcpy(&value, bytes, sizeof(T));
  return value;
}

// Splits a view into up to `parts` views along its longest axis.
inline std::vector<View> split(const View& view, unsigned parts) {
  if (view.shape.empty() || parts < 2) return {view};
  const std::size_t axis = static_cast<std::size_t>(
      std::max_element(view.shape.begin(), view.shape.end()) - view.shape.begin());
  const std::int64_t extent = view.shape[axis];
  const std::int64_t count = std::min<std::int64_t>(parts, extent);
  std::vector<View> result;
  for (std::int64_t k = 0; k < count; ++k) {
    const std::int64_t begin = extent * k / count, end = extent * (k + 1) / count;
    View part = view;
    part.data += begin * view.strides[axis];
    part.shape[axis] = end - begin;
    result.push_back(part);
  }
  return result;
}

// kernel(part) on each part of a large view, in parallel threads; the
// results in part order. Small views run on the calling thread.
template <typename Kernel>
auto run_parts(const View& view, Kernel&& kernel) {
  using Result = decltype(kernel(view));
  constexpr std::int64_t kParallelFrom = std::int64_t(1) << 20;
  const unsigned threads = view.size() < kParallelFrom ? 1 : std::min(4u, std::max(1u, std::thread::hardware_concurrency()));
  const std::vector<View> parts = split(view, threads);
  std::vector<Result> results(parts.size());
  std::vector<std::exception_ptr> errors(parts.size());
  auto run = [&](std::size_t k) {
    try {
      results[k] = kernel(parts[k]);
    } catch (...) {
      errors[k] = std::current_exception();
    }
  };
  std::vector<std::thread> workers;
  for (std::size_t k = 1; k < parts.size(); ++k) workers.emplace_back(run, k);
  run(0);
  for (auto& worker : workers) worker.join();
  for (const auto& error : errors) {
    if (error) std::rethrow_exception(error);
  }
  return results;
}

constexpr std::int64_t kBlock = 2048;  // elements

// Calls visit(values, count) over every element, in cache-sized blocks of
// aligned native-order values: in place where the memory allows, else copied.
template <typename T, typename Visit>
void for_each_block(const View& view, Visit&& visit) {
  if (view.size() == 0) return;
  if (view.shape.empty()) {
    const T value = load<T>(view.data, view.swapped);
    visit(&value, std::size_t(1));
    return;
  }
  const std::size_t ndim = view.shape.size();
  const std::int64_t inner = view.shape[ndim - 1], step = view.strides[ndim - 1];
  T block[kBlock];
  std::vector<std::int64_t> index(ndim, 0);
  while (true) {
    const char* row = view.data;
    for (std::size_t d = 0; d + 1 < ndim; ++d) row += index[d] * view.strides[d];
    const bool direct = !view.swapped && step == std::int64_t(sizeof(T)) &&
                        reinterpret_cast<std::uintptr_t>(row) % alignof(T) == 0;
    for (std::int64_t start = 0; start < inner; start += kBlock) {
      const std::int64_t count = std::min(kBlock, inner - start);
      if (direct) {
        visit(reinterpret_cast<const T*>(row) + start, static_cast<std::size_t>(count));
      } else {
        for (std::int64_t i = 0; i < count; ++i) block[i] = load<T>(row + (start + i) * step, view.swapped);
        visit(static_cast<const T*>(block), static_cast<std::size_t>(count));
      }
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

// Sorted distinct values and how many elements equal each. NaN elements,
// counted apart, make one class after the others; -0.0 and 0.0 are one
// class, reported as 0.0 when any +0.0 occurs.
template <typename T>
struct Census {
  std::vector<T> values;
  std::vector<std::uint64_t> counts;
  std::uint64_t nans = 0;

  void add(T value, std::uint64_t count) {
    values.push_back(value);
    counts.push_back(count);
  }
};

// The integer type a label indexes a histogram by: integers themselves,
// floats through int32 when they hold whole numbers.
template <typename T>
using Whole = std::conditional_t<std::is_floating_point_v<T>, std::int32_t, T>;

template <typename T>
using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;

// min and max of a block as whole numbers; `whole` is false when some value
// is not a whole number within int32 (floats only), `positive_zero` when a
// +0.0 occurs. Floats also leave their whole numbers in `wholes`. Written
// on bit patterns and without branches, so that the compiler vectorizes it.
template <typename T>
struct BlockRange {
  Whole<T> lo, hi;
  bool whole, positive_zero;
};

template <typename T>
NIVRA_VECTOR_CLONES BlockRange<T> block_range(const T* values, std::size_t count, Whole<T>* wholes) {
  using W = Whole<T>;
  W lo = std::numeric_limits<W>::max(), hi = std::numeric_limits<W>::lowest();
  if constexpr (std::is_integral_v<T>) {
    (void)wholes;
    for (std::size_t i = 0; i < count; ++i) {
      lo = values[i] < lo ? values[i] : lo;
      hi = values[i] > hi ? values[i] : hi;
    }
    return {lo, hi, true, false};
  } else {
    using B = Bits<T>;
    using S = std::make_signed_t<B>;
    constexpr B kMagnitude = ~B(0) >> 1;
    constexpr B kTwoTo31 = sizeof(T) == 4 ? B(0x4F000000u) : B(0x41E0000000000000ull);
    S fractional = 0, zero_bits = 0;
    for (std::size_t i = 0; i < count; ++i) {
      B bits;
      std::memcpy(&bits, &values[i], sizeof(T));
      // Values outside (-2^31, 2^31) and NaN are replaced by 0.0 and marked
      // fractional, so the conversion is always defined.
      const B keep = B(0) - B((bits & kMagnitude) < kTwoTo31);
      const B kept_bits = bits & keep;
      T kept;
      std::memcpy(&kept, &kept_bits, sizeof(T));
      const auto whole = static_cast<std::int32_t>(kept);
      wholes[i] = whole;
      fractional |= S(keep == 0) | S(static_cast<T>(whole) != values[i]);
      zero_bits |= S(bits == 0);
      lo = whole < lo ? whole : lo;
      hi = whole > hi ? whole : hi;
    }
    return {lo, hi, fractional == 0, zero_bits != 0};
  }
}

// Counts of the whole values lo + i in slot i, over a range that widens as
// values arrive. Small tables keep four interleaved copies so that
// neighbouring equal labels do not wait on one counter.
template <typename W>
class Histogram {
  using U = std::make_unsigned_t<W>;

 public:
  Histogram(W lo, W hi) { reset(lo, hi); }

  // Widens the range to include [lo, hi], at least doubling it so that
  // a slowly growing range costs few copies; false if that needs more
  // than `limit` slots.
  bool cover(W lo, W hi, std::uint64_t limit) {
    const W old_hi = static_cast<W>(U(lo_) + U(bins_ - 1));
    if (lo >= lo_ && hi <= old_hi) return true;
    W new_lo = std::min(lo, lo_), new_hi = std::max(hi, old_hi);
    const std::uint64_t needed = std::uint64_t(U(U(new_hi) - U(new_lo))) + 1;
    if (needed == 0 || needed > limit) return false;  // 0: the whole 64-bit range
    const std::uint64_t slack = std::max(needed, std::min<std::uint64_t>(2 * bins_, limit)) - needed;
    if (new_hi > old_hi) {
      const std::uint64_t room = U(std::numeric_limits<W>::max()) - U(new_hi);
      new_hi = static_cast<W>(U(new_hi) + U(std::min(slack, room)));
    } else {
      const std::uint64_t room = U(new_lo) - U(std::numeric_limits<W>::lowest());
      new_lo = static_cast<W>(U(new_lo) - U(std::min(slack, room)));
    }
    const std::vector<std::uint64_t> totals = counts();
    const std::size_t shift = static_cast<std::size_t>(U(U(lo_) - U(new_lo)));
    reset(new_lo, new_hi);
    std::copy(totals.begin(), totals.end(), counts_.begin() + static_cast<std::ptrdiff_t>(shift));
    return true;
  }

  template <typename T>
  void fill(const T* values, std::size_t count) {
    std::uint64_t* c = counts_.data();
    const std::size_t b = copies_ == 4 ? bins_ : 0;
    const U lo = U(lo_);
    auto index = [lo](T value) { return static_cast<std::size_t>(U(U(static_cast<W>(value)) - lo)); };
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
      ++c[index(values[i])];
      ++c[b + index(values[i + 1])];
      ++c[2 * b + index(values[i + 2])];
      ++c[3 * b + index(values[i + 3])];
    }
    for (; i < count; ++i) ++c[index(values[i])];
  }

  // Calls emit(value, count) for every value seen, in order.
  template <typename Emit>
  void each(Emit&& emit) const {
    const std::vector<std::uint64_t> totals = counts();
    for (std::size_t i = 0; i < totals.size(); ++i) {
      if (totals[i] != 0) emit(static_cast<W>(U(lo_) + U(i)), totals[i]);
    }
  }

 private:
  void reset(W lo, W hi) {
    lo_ = lo;
    bins_ = static_cast<std::size_t>(U(U(hi) - U(lo))) + 1;
    copies_ = bins_ <= 4096 ? 4 : 1;
    counts_.assign(bins_ * copies_, 0);
  }
  std::vector<std::uint64_t> counts() const {
    std::vector<std::uint64_t> totals(counts_.begin(), counts_.begin() + static_cast<std::ptrdiff_t>(bins_));
    for (std::size_t k = 1; k < copies_; ++k) {
      for (std::size_t i = 0; i < bins_; ++i) totals[i] += counts_[k * bins_ + i];
    }
    return totals;
  }

  W lo_{};
  std::size_t bins_ = 0, copies_ = 1;
  std::vector<std::uint64_t> counts_;
};

// Open-addressing counts keyed by bit pattern, for values scattered over a
// wide range. A zero count marks an empty slot. The table stays sparse so
// that nearly every element finds its key in the first slot it probes.
template <typename Key>
class CountTable {
 public:
  CountTable() { resize(10); }

  void add(Key key, std::uint64_t count = 1) {
    std::size_t i = home(key);
    while (keys_[i] != key && counts_[i] != 0) i = (i + 1) & mask_;
    const bool fresh = counts_[i] == 0;
    counts_[i] += count;
    if (fresh) {
      keys_[i] = key;
      if (++used_ * 2 > keys_.size()) resize(bits_ + 1);
    }
  }
  template <typename Emit>
  void each(Emit&& emit) const {
    for (std::size_t i = 0; i < keys_.size(); ++i) {
      if (counts_[i] != 0) emit(keys_[i], counts_[i]);
    }
  }

 private:
  // A full 64-bit mix: labels are often multiples of one step, which
  // multiplicative hashing alone clusters.
  std::size_t home(Key key) const {
    std::uint64_t x = key;
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdull;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ull;
    return static_cast<std::size_t>(x >> (64 - bits_));
  }
  void resize(unsigned bits) {
    std::vector<Key> old_keys(std::size_t(1) << bits, Key{});
    std::vector<std::uint64_t> old_counts(old_keys.size(), 0);
    old_keys.swap(keys_);
    old_counts.swap(counts_);
    bits_ = bits;
    mask_ = keys_.size() - 1;
    for (std::size_t k = 0; k < old_keys.size(); ++k) {
      if (old_counts[k] == 0) continue;
      std::size_t i = home(old_keys[k]);
      while (counts_[i] != 0) i = (i + 1) & mask_;
      keys_[i] = old_keys[k];
      counts_[i] = old_counts[k];
    }
  }

  std::vector<Key> keys_;
  std::vector<std::uint64_t> counts_;
  unsigned bits_ = 0;
  std::size_t mask_ = 0, used_ = 0;
};

template <typename T>
Bits<T> bits_of(T value) {
  Bits<T> bits;
  std::memcpy(&bits, &value, sizeof(T));
  return bits;
}

template <typename T>
T from_bits(Bits<T> bits) {
  T value;
  std::memcpy(&value, &bits, sizeof(T));
  return value;
}

// The census of one part in one pass over its memory: a histogram while the
// values seen are whole numbers over a range small next to the element
// count, a hash table of bit patterns from the first block that is not.
template <typename T>
Census<T> census_part(const View& view) {
  using W = Whole<T>;
  using B = Bits<T>;
  Census<T> result;
  const std::int64_t n = view.size();
  if (n == 0) return result;
  const std::uint64_t limit = static_cast<std::uint64_t>(std::max<std::int64_t>(n / 4, 1 << 16));

  std::optional<Histogram<W>> histogram;
  std::optional<CountTable<B>> table;
  bool positive_zero = false;
  std::vector<W> wholes(std::is_floating_point_v<T> ? kBlock : 0);

  auto key_of = [](T value) { return value == 0 ? B(0) : bits_of(value); };  // -0.0 and 0.0 are one class
  auto switch_to_table = [&] {
    table.emplace();
    if (histogram) histogram->each([&](W whole, std::uint64_t count) { table->add(key_of(static_cast<T>(whole)), count); });
    histogram.reset();
  };

  for_each_block<T>(view, [&](const T* values, std::size_t count) {
    if (!table) {
      const BlockRange<T> range = block_range(values, count, wholes.data());
      positive_zero |= range.positive_zero;
      if (!range.whole) {
        switch_to_table();
      } else if (!histogram) {
        using U = std::make_unsigned_t<W>;
        if (std::uint64_t(U(U(range.hi) - U(range.lo))) < limit) histogram.emplace(range.lo, range.hi);
        else switch_to_table();
      } else if (!histogram->cover(range.lo, range.hi, limit)) {
        switch_to_table();
      }
      if (histogram) {
        if constexpr (std::is_floating_point_v<T>) histogram->fill(wholes.data(), count);
        else histogram->fill(values, count);
        return;
      }
    }
    for (std::size_t i = 0; i < count; ++i) {
      const T value = values[i];
      if constexpr (std::is_floating_point_v<T>) {
        if (value != value) {
          ++result.nans;
          continue;
        }
        positive_zero |= bits_of(value) == 0;
      }
      table->add(key_of(value));
    }
  });

  const T zero = positive_zero || std::is_integral_v<T> ? T(0) : static_cast<T>(-0.0);
  std::vector<std::pair<T, std::uint64_t>> entries;
  auto collect = [&](T value, std::uint64_t count) { entries.emplace_back(value == 0 ? zero : value, count); };
  if (histogram) histogram->each([&](W whole, std::uint64_t count) { collect(static_cast<T>(whole), count); });
  else table->each([&](B key, std::uint64_t count) { collect(from_bits<T>(key), count); });
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [value, count] : entries) result.add(value, count);
  return result;
}

// Float bits as signed integers ordered as the floats are (-0.0 just
// below 0.0, NaN beyond the infinities). The mapping is its own inverse.
template <typename S>
S ordered(S bits) {
  constexpr S kMagnitude = std::numeric_limits<S>::max();
  return bits ^ ((bits >> (8 * sizeof(S) - 1)) & kMagnitude);
}

// Integers compare as themselves, floats through their ordered bits.
template <typename T>
using RangeKey = std::conditional_t<std::is_floating_point_v<T>, std::make_signed_t<Bits<T>>, T>;

template <typename T>
struct Extremes {
  RangeKey<T> lo = std::numeric_limits<RangeKey<T>>::max();
  RangeKey<T> hi = std::numeric_limits<RangeKey<T>>::lowest();
  bool nan = false;
};

// Extremes widened by a block, in integer comparisons that the compiler vectorizes.
template <typename T>
NIVRA_VECTOR_CLONES Extremes<T> widen(Extremes<T> extremes, const T* values, std::size_t count) {
  using K = RangeKey<T>;
  K lo = extremes.lo, hi = extremes.hi, nan = 0;
  for (std::size_t i = 0; i < count; ++i) {
    K key;
    if constexpr (std::is_floating_point_v<T>) {
      using B = Bits<T>;
      constexpr B kMagnitude = ~B(0) >> 1;
      constexpr B kInfinity = sizeof(T) == 4 ? B(0x7F800000u) : B(0x7FF0000000000000ull);
      const B bits = bits_of(values[i]);
      nan |= K((bits & kMagnitude) > kInfinity);
      key = ordered(static_cast<K>(bits));
    } else {
      key = values[i];
    }
    lo = key < lo ? key : lo;
    hi = key > hi ? key : hi;
  }
  return {lo, hi, extremes.nan || nan != 0};
}

// min and max, NaN when any element is NaN (as numpy propagates it).
template <typename T>
std::pair<T, T> value_range_part(const View& view) {
  Extremes<T> extremes;
  for_each_block<T>(view, [&](const T* values, std::size_t count) { extremes = widen(extremes, values, count); });
  if constexpr (std::is_floating_point_v<T>) {
    if (extremes.nan) return {std::numeric_limits<T>::quiet_NaN(), std::numeric_limits<T>::quiet_NaN()};
    auto value_of = [](RangeKey<T> key) { return from_bits<T>(static_cast<Bits<T>>(ordered(key))); };
    return {value_of(extremes.lo), value_of(extremes.hi)};
  } else {
    return {extremes.lo, extremes.hi};
  }
}

// A census of bytes read as booleans: 0 is false, anything else true.
inline Census<std::uint8_t> as_truth_values(const Census<std::uint8_t>& bytes) {
  Census<std::uint8_t> result;
  std::uint64_t truths = 0;
  for (std::size_t i = 0; i < bytes.values.size(); ++i) {
    if (bytes.values[i] == 0) result.add(0, bytes.counts[i]);
    else truths += bytes.counts[i];
  }
  if (truths != 0) result.add(1, truths);
  return result;
}

// Parallel forms of the kernels above: per-part results, merged.

template <typename T>
Census<T> merge(const std::vector<Census<T>>& parts) {
  std::vector<std::pair<T, std::uint64_t>> entries;
  std::uint64_t nans = 0;
  for (const auto& part : parts) {
    nans += part.nans;
    for (std::size_t i = 0; i < part.values.size(); ++i) entries.emplace_back(part.values[i], part.counts[i]);
  }
  std::stable_sort(entries.begin(), entries.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  Census<T> result;
  for (const auto& [value, count] : entries) {
    if (!result.values.empty() && result.values.back() == value) {
      result.counts.back() += count;
      if constexpr (std::is_floating_point_v<T>) {
        if (!std::signbit(value)) result.values.back() = value;  // 0.0 wins over -0.0
      }
    } else {
      result.add(value, count);
    }
  }
  result.nans = nans;
  return result;
}

template <typename T>
Census<T> census(const View& view) {
  return merge(run_parts(view, [](const View& part) { return census_part<T>(part); }));
}

template <typename T>
std::pair<T, T> value_range(const View& view) {
  const auto parts = run_parts(view, [](const View& part) { return value_range_part<T>(part); });
  std::pair<T, T> result = parts.front();
  for (const auto& [lo, hi] : parts) {
    if constexpr (std::is_floating_point_v<T>) {
      if (std::isnan(lo)) return {lo, hi};
      if (lo < result.first || (lo == result.first && std::signbit(lo))) result.first = lo;
      if (hi > result.second || (hi == result.second && !std::signbit(hi))) result.second = hi;
    } else {
      result.first = std::min(result.first, lo);
      result.second = std::max(result.second, hi);
    }
  }
  return result;
}

}  // namespace nivra::census
