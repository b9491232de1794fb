// MAT 7.3 files: an HDF5 dataset of the array in column-major order, cut
// into chunks that each hold all bands of a spatial tile, every chunk a
// complete zlib stream (optionally byte-shuffled first) compressed on
// several threads and handed out in order. Pure C++, no Python: compression
// and output are callbacks.
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "convert/mat/gather.hpp"
#include "convert/mat/pipeline.hpp"

namespace nivra::mat::v73 {

// The 128-byte header MATLAB puts at the start of the user block.
inline std::string file_header(const std::string& text) {
  std::string header = text.substr(0, 116);
  header.resize(116, ' ');
  header.resize(124, '\0');
  header += std::string("\x00\x02IM", 4);  // version 0x0200, little-endian
  return header;
}

// The array to store: its real part, and whether each element is followed
// by its imaginary part `item` bytes on (numpy's complex layout, which is
// the stored compound of "real" and "imag").
struct Source {
  Part part;
  bool complex;

  unsigned element() const { return part.item * (complex ? 2 : 1); }
};

// The chunk shape over the array's axes: the axes after the first two
// (bands) whole, as far as `target` bytes allow, and a square spatial tile
// of about `target` bytes over them.
inline std::vector<std::int64_t> chunk_shape(const std::vector<std::int64_t>& shape, unsigned element,
                                             std::uint64_t target) {
  std::vector<std::int64_t> chunk = shape;
  std::uint64_t rest = element;
  for (std::size_t d = 2; d < chunk.size(); ++d) rest *= static_cast<std::uint64_t>(chunk[d]);
  for (std::size_t d = chunk.size(); rest > target && d-- > 2;) {  // too many bands: cut the outer ones
    rest /= static_cast<std::uint64_t>(chunk[d]);
    chunk[d] = static_cast<std::int64_t>(std::max<std::uint64_t>(1, target / rest));
    rest *= static_cast<std::uint64_t>(chunk[d]);
  }
  if (chunk.size() < 2) return chunk;
  const auto tile = std::max<std::uint64_t>(1, target / rest);  // elements of one spatial tile
  const auto side = static_cast<std::int64_t>(std::max(1.0, std::floor(std::sqrt(static_cast<double>(tile)))));
  chunk[0] = std::min(shape[0], side);
  chunk[1] = std::min(shape[1], std::max<std::int64_t>(1, static_cast<std::int64_t>(tile) / chunk[0]));
  chunk[0] = std::min(shape[0], std::max<std::int64_t>(1, static_cast<std::int64_t>(tile) / chunk[1]));
  return chunk;
}

// The chunks of an array and the order they are visited in: that of the
// array's memory, the axis with the largest stride outermost, so that a
// memory-mapped file is read through once.
class Grid {
 public:
  Grid(const Source& source, std::vector<std::int64_t> chunk) : source_(source), chunk_(std::move(chunk)) {
    const Part& part = source.part;
    for (std::size_t d = 0; d < part.shape.size(); ++d) {
      counts_.push_back((part.shape[d] + chunk_[d] - 1) / chunk_[d]);
      order_.push_back(d);
    }
    std::stable_sort(order_.begin(), order_.end(), [&](std::size_t a, std::size_t b) {
      return std::abs(part.strides[a]) > std::abs(part.strides[b]);
    });
  }

  const std::vector<std::int64_t>& chunk() const { return chunk_; }

  std::uint64_t chunks() const {
    std::uint64_t n = 1;
    for (auto c : counts_) n *= static_cast<std::uint64_t>(c);
    return n;
  }

  // Bytes of one stored chunk, padded at the edges.
  std::uint64_t chunk_bytes() const {
    std::uint64_t n = source_.element();
    for (auto c : chunk_) n *= static_cast<std::uint64_t>(c);
    return n;
  }

  // The first element of the job-th chunk visited, over the array's axes.
  std::vector<std::int64_t> origin(std::uint64_t job) const {
    std::vector<std::int64_t> at(counts_.size());
    for (std::size_t k = order_.size(); k-- > 0;) {
      const std::size_t d = order_[k];
      at[d] = static_cast<std::int64_t>(job % static_cast<std::uint64_t>(counts_[d])) * chunk_[d];
      job /= static_cast<std::uint64_t>(counts_[d]);
    }
    return at;
  }

  // The extents of the chunk at `origin` that lie inside the array.
  std::vector<std::int64_t> extent(const std::vector<std::int64_t>& origin) const {
    std::vector<std::int64_t> e(origin.size());
    for (std::size_t d = 0; d < e.size(); ++d) e[d] = std::min(chunk_[d], source_.part.shape[d] - origin[d]);
    return e;
  }

  // The chunk's bytes as HDF5 stores them: column-major over the whole
  // chunk shape, the part outside the array zero.
  void gather(const std::vector<std::int64_t>& origin, unsigned char* out) const {
    const std::vector<std::int64_t> e = extent(origin);
    const std::uint64_t element = source_.element();
    std::uint64_t inside = element;
    for (auto x : e) inside *= static_cast<std::uint64_t>(x);
    if (e == chunk_) return gather_bytes(box(origin, e), 0, inside, out);

    // An edge chunk: gathered compactly, then its runs along axis 0 spread to their places.
    std::vector<unsigned char> compact(inside);
    gather_bytes(box(origin, e), 0, inside, compact.data());
    std::memset(out, 0, chunk_bytes());
    const std::uint64_t run = static_cast<std::uint64_t>(e[0]) * element;
    const std::uint64_t slot = static_cast<std::uint64_t>(chunk_[0]) * element;
    std::vector<std::int64_t> index(e.size(), 0);
    for (std::uint64_t from = 0; from < inside; from += run) {
      std::uint64_t to = 0;
      for (std::size_t d = e.size(); d-- > 1;) to = to * static_cast<std::uint64_t>(chunk_[d]) + static_cast<std::uint64_t>(index[d]);
      std::memcpy(out + to * slot, compact.data() + from, run);
      for (std::size_t d = 1; d < e.size() && ++index[d] == e[d]; ++d) index[d] = 0;
    }
  }

 private:
  // The sub-box at `origin` as a part of its own, the real and imaginary
  // halves of complex elements as a first axis of two.
  Part box(const std::vector<std::int64_t>& origin, const std::vector<std::int64_t>& e) const {
    const Part& whole = source_.part;
    Part part{{whole.data, {}, {}, whole.swapped}, whole.item};
    if (source_.complex) {
      part.shape.push_back(2);
      part.strides.push_back(whole.item);
    }
    for (std::size_t d = 0; d < e.size(); ++d) {
      part.data += origin[d] * whole.strides[d];
      part.shape.push_back(e[d]);
      part.strides.push_back(whole.strides[d]);
    }
    return simplified(part);
  }

  const Source& source_;
  std::vector<std::int64_t> chunk_;
  std::vector<std::int64_t> counts_;  // chunks along each axis
  std::vector<std::size_t> order_;    // axes, outermost first
};

// HDF5's shuffle filter: byte b of every element, for each b in turn.
template <unsigned N>
void shuffle(const unsigned char* in, std::size_t count, unsigned char* out) {
  for (std::size_t i = 0; i < count; ++i, in += N) {
    for (unsigned b = 0; b < N; ++b) out[b * count + i] = in[b];
  }
}

inline void shuffle_bytes(const unsigned char* in, std::size_t size, unsigned element, unsigned char* out) {
  switch (element) {
    case 2: return shuffle<2>(in, size / 2, out);
    case 4: return shuffle<4>(in, size / 4, out);
    case 8: return shuffle<8>(in, size / 8, out);
    case 16: return shuffle<16>(in, size / 16, out);
    default: std::memcpy(out, in, size);
  }
}

// One chunk's stored bytes: gathered, shuffled when asked, compressed by
// `compress(data, size)` into a complete zlib stream.
template <typename Compress>
std::string stored_chunk(const Grid& grid, std::uint64_t job, unsigned element, bool shuffled, Compress& compress) {
  const std::size_t size = static_cast<std::size_t>(grid.chunk_bytes());
  std::vector<unsigned char> raw(size);
  grid.gather(grid.origin(job), raw.data());
  if (!shuffled) return compress(raw.data(), size);
  std::vector<unsigned char> bytes(size);
  shuffle_bytes(raw.data(), size, element, bytes.data());
  return compress(bytes.data(), size);
}

// Compressed sizes of up to `samples` chunks spread evenly over the
// array, without and with the shuffle.
struct Sample {
  std::uint64_t plain = 0, shuffled = 0;

  bool shuffle_pays() const { return shuffled < plain; }
};

template <typename Compress>
Sample sample_shuffle(const Grid& grid, unsigned element, unsigned samples, unsigned threads, Compress&& compress) {
  Sample sample;
  if (element == 1) return sample;  // the shuffle of single bytes changes nothing
  const std::uint64_t chunks = grid.chunks(), jobs = std::min<std::uint64_t>(samples, chunks);
  auto pick = [&](std::uint64_t k) { return k * chunks / jobs; };
  run_in_order<std::pair<std::uint64_t, std::uint64_t>>(
      jobs, threads, threads,
      [&](std::uint64_t k, const std::atomic<bool>&) {
        return std::pair<std::uint64_t, std::uint64_t>{stored_chunk(grid, pick(k), element, false, compress).size(),
                                                       stored_chunk(grid, pick(k), element, true, compress).size()};
      },
      [&](std::uint64_t, std::pair<std::uint64_t, std::uint64_t> sizes) {
        sample.plain += sizes.first;
        sample.shuffled += sizes.second;
      });
  return sample;
}

// Compresses every chunk on `threads` threads and hands each to
// sink(origin, bytes, raw_bytes) in visiting order, on the calling thread;
// raw_bytes counts the chunk's elements inside the array.
template <typename Compress, typename Sink>
void write_chunks(const Grid& grid, unsigned element, bool shuffled, unsigned threads, Compress&& compress,
                  Sink&& sink) {
  run_in_order<std::string>(
      grid.chunks(), threads, 2 * std::uint64_t(threads),
      [&](std::uint64_t job, const std::atomic<bool>&) { return stored_chunk(grid, job, element, shuffled, compress); },
      [&](std::uint64_t job, std::string bytes) {
        const std::vector<std::int64_t> origin = grid.origin(job);
        std::uint64_t raw = element;
        for (auto x : grid.extent(origin)) raw *= static_cast<std::uint64_t>(x);
        sink(origin, bytes, raw);
      });
}

}  // namespace nivra::mat::v73
