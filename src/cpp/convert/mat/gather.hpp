// An array's elements in column-major order, read straight from strided
// memory in either byte order: what both MAT versions store. Pure C++.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "convert/view.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace nivra::mat {

// One part (real or imaginary) of an array: a view of its elements of
// `item` bytes, `swapped` when each one's bytes are reversed as it is
// gathered.
struct Part : View {
  unsigned item;
};

// A part with axes of length 1 dropped and axes merged where one continues
// the next in memory, so that the fastest axis is as long as it can be.
inline Part simplified(const Part& part) {
  Part out{{part.data, {}, {}, part.swapped}, part.item};
  for (std::size_t d = 0; d < part.shape.size(); ++d) {
    if (part.shape[d] == 1) continue;
    if (!out.shape.empty() && out.strides.back() * out.shape.back() == part.strides[d]) {
      out.shape.back() *= part.shape[d];
    } else {
      out.shape.push_back(part.shape[d]);
      out.strides.push_back(part.strides[d]);
    }
  }
  if (out.shape.empty()) {
    out.shape.push_back(1);
    out.strides.push_back(part.item);
  }
  return out;
}

template <unsigned N>
inline void copy_item(const char* from, unsigned char* to, bool swapped) {
  if (!swapped) {
    std::memcpy(to, from, N);
  } else {
    for (unsigned i = 0; i < N; ++i) to[i] = static_cast<unsigned char>(from[N - 1 - i]);
  }
}

// Transposes of square blocks of 16 bytes a side: item (r, c) at
// from + r * from_step + c * N goes to to + c * to_step + r * N.
template <unsigned N>
constexpr std::int64_t kBlockSide = 16 / N;

#if defined(__SSE2__)
template <unsigned N>
inline __m128i swap_items(__m128i x) {
  if constexpr (N == 4) x = _mm_shufflehi_epi16(_mm_shufflelo_epi16(x, 0xB1), 0xB1);
  if constexpr (N == 8) x = _mm_shufflehi_epi16(_mm_shufflelo_epi16(x, 0x1B), 0x1B);
  return _mm_or_si128(_mm_slli_epi16(x, 8), _mm_srli_epi16(x, 8));
}
#endif

template <unsigned N, bool kSwapped>
inline void transpose_block(const char* from, std::int64_t from_step, unsigned char* to, std::int64_t to_step) {
  constexpr std::int64_t kSide = kBlockSide<N>;
#if defined(__SSE2__)
  if constexpr (N >= 2) {
    __m128i a[kSide], b[kSide];
    for (std::int64_t r = 0; r < kSide; ++r) {
      a[r] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + r * from_step));
      if constexpr (kSwapped) a[r] = swap_items<N>(a[r]);
    }
    if constexpr (N == 2) {
      for (int r = 0; r < 8; r += 2) {
        b[r] = _mm_unpacklo_epi16(a[r], a[r + 1]);
        b[r + 1] = _mm_unpackhi_epi16(a[r], a[r + 1]);
      }
      for (int r = 0; r < 8; r += 4) {
        a[r] = _mm_unpacklo_epi32(b[r], b[r + 2]);
        a[r + 1] = _mm_unpackhi_epi32(b[r], b[r + 2]);
        a[r + 2] = _mm_unpacklo_epi32(b[r + 1], b[r + 3]);
        a[r + 3] = _mm_unpackhi_epi32(b[r + 1], b[r + 3]);
      }
      for (int c = 0; c < 4; ++c) {
        b[2 * c] = _mm_unpacklo_epi64(a[c], a[c + 4]);
        b[2 * c + 1] = _mm_unpackhi_epi64(a[c], a[c + 4]);
      }
    } else if constexpr (N == 4) {
      const __m128i low01 = _mm_unpacklo_epi32(a[0], a[1]), high01 = _mm_unpackhi_epi32(a[0], a[1]);
      const __m128i low23 = _mm_unpacklo_epi32(a[2], a[3]), high23 = _mm_unpackhi_epi32(a[2], a[3]);
      b[0] = _mm_unpacklo_epi64(low01, low23);
      b[1] = _mm_unpackhi_epi64(low01, low23);
      b[2] = _mm_unpacklo_epi64(high01, high23);
      b[3] = _mm_unpackhi_epi64(high01, high23);
    } else {
      b[0] = _mm_unpacklo_epi64(a[0], a[1]);
      b[1] = _mm_unpackhi_epi64(a[0], a[1]);
    }
    for (std::int64_t c = 0; c < kSide; ++c) _mm_storeu_si128(reinterpret_cast<__m128i*>(to + c * to_step), b[c]);
    return;
  }
#endif
  for (std::int64_t r = 0; r < kSide; ++r) {
    for (std::int64_t c = 0; c < kSide; ++c) copy_item<N>(from + r * from_step + c * N, to + c * to_step + r * N, kSwapped);
  }
}

// A `rows` x `cols` rectangle transposed as above: whole blocks, then the
// items past the last whole block on either side.
template <unsigned N, bool kSwapped>
void transpose(const char* from, std::int64_t from_step, std::int64_t rows, std::int64_t cols, unsigned char* to,
               std::int64_t to_step) {
  constexpr std::int64_t kSide = kBlockSide<N>;
  const std::int64_t whole_rows = rows - rows % kSide;
  std::int64_t c = 0;
  for (; c + kSide <= cols; c += kSide) {
    const char* column = from + c * N;
    unsigned char* target = to + c * to_step;
    for (std::int64_t r = 0; r < whole_rows; r += kSide) {
      transpose_block<N, kSwapped>(column + r * from_step, from_step, target + r * N, to_step);
    }
    for (std::int64_t k = 0; k < kSide; ++k) {
      for (std::int64_t r = whole_rows; r < rows; ++r) {
        copy_item<N>(column + r * from_step + k * N, target + k * to_step + r * N, kSwapped);
      }
    }
  }
  for (; c < cols; ++c) {
    for (std::int64_t r = 0; r < rows; ++r) copy_item<N>(from + r * from_step + c * N, to + c * to_step + r * N, kSwapped);
  }
}

template <unsigned N>
void transpose(const char* from, std::int64_t from_step, std::int64_t rows, std::int64_t cols, unsigned char* to,
               std::int64_t to_step, bool swapped) {
  if (swapped) {
    transpose<N, true>(from, from_step, rows, cols, to, to_step);
  } else {
    transpose<N, false>(from, from_step, rows, cols, to, to_step);
  }
}

// Items at `offsets` from `from` to items `rows` + `shift` of `out`.
template <unsigned N, bool kSwapped>
inline void copy_tile(const char* from, const std::int64_t* offsets, const std::uint64_t* rows, int n,
                      unsigned char* out, std::uint64_t shift) {
  for (int k = 0; k < n; ++k) copy_item<N>(from + offsets[k], out + (rows[k] + shift) * N, kSwapped);
}

// The axes of a simplified part split in two: "rows", the axes before the
// one fastest in memory (at least axis 0), and "slices", the rest. The
// column-major order runs through the rows of one slice, then the next.
struct Split {
  std::size_t axis;    // first slice axis
  std::uint64_t rows;  // elements per slice
  bool tiled;          // rows are not the fastest in memory: gather in tiles
};

inline Split split_of(const Part& part) {
  std::size_t fastest = 0;
  for (std::size_t d = 1; d < part.shape.size(); ++d) {
    if (std::abs(part.strides[d]) < std::abs(part.strides[fastest])) fastest = d;
  }
  Split split{std::max<std::size_t>(fastest, 1), 1, fastest != 0};
  for (std::size_t d = 0; d < split.axis; ++d) split.rows *= static_cast<std::uint64_t>(part.shape[d]);
  return split;
}

// The memory offset of column-major position `position` over axes [from, to).
inline std::int64_t offset_of(const Part& part, std::uint64_t position, std::size_t from, std::size_t to,
                              std::int64_t* index) {
  std::int64_t offset = 0;
  for (std::size_t d = from; d < to; ++d) {
    const auto extent = static_cast<std::uint64_t>(part.shape[d]);
    index[d] = static_cast<std::int64_t>(position % extent);
    position /= extent;
    offset += index[d] * part.strides[d];
  }
  return offset;
}

// Moves a multi-index over axes [from, to) one step on in column-major order.
inline void step(const Part& part, std::size_t from, std::size_t to, std::int64_t* index, std::int64_t& offset) {
  for (std::size_t d = from; d < to; ++d) {
    offset += part.strides[d];
    if (++index[d] < part.shape[d]) return;
    offset -= index[d] * part.strides[d];
    index[d] = 0;
  }
}

// The slices [first_slice, last_slice] that column-major elements
// [first, first + count) touch, and the rows of each that they cover.
struct Range {
  std::uint64_t first, last, rows, first_slice, last_slice;

  Range(const Split& split, std::uint64_t first_element, std::uint64_t count)
      : first(first_element), last(first_element + count - 1), rows(split.rows),
        first_slice(first / rows), last_slice(last / rows) {}
  std::uint64_t row_begin(std::uint64_t slice) const { return slice == first_slice ? first % rows : 0; }
  std::uint64_t row_end(std::uint64_t slice) const { return slice == last_slice ? last % rows + 1 : rows; }
};

// Rows over two or more axes (a band-last cube, whose bands are the slices):
// gathered in tiles over the first two axes, a few pixels across and more
// along the rows, so that the reads of one tile fall in runs on a few pages,
// for every slice in range. Slices one item apart that cover a tile whole
// are transposed in blocks, a pixel column at a time.
template <unsigned N>
void gather_tiles(const Part& part, const Split& split, std::uint64_t first, std::uint64_t count,
                  unsigned char* out) {
  constexpr std::int64_t kTall = 8, kWide = 32;  // wide: longer runs along each row of pixels
  const std::size_t ndim = part.shape.size();
  const std::int64_t height = part.shape[0], width = part.shape[1];
  const std::uint64_t plane = static_cast<std::uint64_t>(height * width);
  const Range range(split, first, count);
  const std::uint64_t row_begin = range.first_slice == range.last_slice ? range.row_begin(range.first_slice) : 0;
  const std::uint64_t row_end = range.first_slice == range.last_slice ? range.row_end(range.first_slice) : split.rows;
  std::vector<std::int64_t> index(ndim, 0);
  std::int64_t offsets[kTall * kWide];
  std::uint64_t rows[kTall * kWide];
  // One slice axis, one item apart: the slices of a tile are columns of a matrix.
  const bool blocked = split.axis + 1 == ndim && part.strides[split.axis] == std::int64_t(N);

  for (std::uint64_t p = row_begin / plane; p * plane < row_end; ++p) {
    const std::int64_t plane_offset = offset_of(part, p, 2, split.axis, index.data());
    for (std::int64_t j0 = 0; j0 < width; j0 += kWide) {
      for (std::int64_t i0 = 0; i0 < height; i0 += kTall) {
        const std::int64_t i1 = std::min(height, i0 + kTall), j1 = std::min(width, j0 + kWide);
        const std::uint64_t lowest = p * plane + static_cast<std::uint64_t>(j0 * height + i0);
        const std::uint64_t highest = p * plane + static_cast<std::uint64_t>((j1 - 1) * height + i1 - 1);
        if (highest < row_begin || lowest >= row_end) continue;
        // Slices [whole_begin, whole_end) cover the tile whole: transposed in blocks, pixel column by column.
        std::uint64_t whole_begin = range.last_slice + 1, whole_end = whole_begin;
        if (blocked) {
          const auto whole = [&](std::uint64_t slice) { return lowest >= range.row_begin(slice) && highest < range.row_end(slice); };
          whole_begin = whole(range.first_slice) ? range.first_slice : range.first_slice + 1;
          whole_end = whole(range.last_slice) ? range.last_slice + 1 : range.last_slice;
          for (std::int64_t j = j0; whole_begin < whole_end && j < j1; ++j) {
            const std::int64_t from = plane_offset + i0 * part.strides[0] + j * part.strides[1] +
                                      static_cast<std::int64_t>(whole_begin * N);
            const std::uint64_t to = whole_begin * split.rows + p * plane + static_cast<std::uint64_t>(j * height + i0) - first;
            transpose<N>(part.data + from, part.strides[0], i1 - i0, static_cast<std::int64_t>(whole_end - whole_begin),
                         out + to * N, static_cast<std::int64_t>(split.rows * N), part.swapped);
          }
          if (whole_begin == range.first_slice && whole_end == range.last_slice + 1) continue;
        }
        int n = 0;
        for (std::int64_t j = j0; j < j1; ++j) {
          for (std::int64_t i = i0; i < i1; ++i, ++n) {
            offsets[n] = plane_offset + i * part.strides[0] + j * part.strides[1];
            rows[n] = p * plane + static_cast<std::uint64_t>(j * height + i);
          }
        }
        std::int64_t slice_offset = offset_of(part, range.first_slice, split.axis, ndim, index.data());
        for (std::uint64_t slice = range.first_slice; slice <= range.last_slice; ++slice) {
          const std::uint64_t lo = range.row_begin(slice), hi = range.row_end(slice);
          if (slice >= whole_begin && slice < whole_end) {
            step(part, split.axis, ndim, index.data(), slice_offset);
            continue;
          }
          const char* from = part.data + slice_offset;
          const std::uint64_t shift = slice * split.rows - first;  // modulo 2**64: row + shift is in range
          if (lowest >= lo && highest < hi) {  // the whole tile: no row to test
            if (part.swapped) {
              copy_tile<N, true>(from, offsets, rows, n, out, shift);
            } else {
              copy_tile<N, false>(from, offsets, rows, n, out, shift);
            }
          } else {
            for (int k = 0; k < n; ++k) {
              if (rows[k] >= lo && rows[k] < hi) copy_item<N>(from + offsets[k], out + (rows[k] + shift) * N, part.swapped);
            }
          }
          step(part, split.axis, ndim, index.data(), slice_offset);
        }
      }
    }
  }
}

// Column-major elements [first, first + count) of a simplified part, as
// native-order bytes into `out`. When the rows are not the fastest axis in
// memory, they are gathered in tiles of a few hundred rows across every
// slice in range, so that each cache line read serves as many slices as
// the range holds.
template <unsigned N>
void gather(const Part& part, std::uint64_t first, std::uint64_t count, unsigned char* out) {
  if (count == 0) return;
  constexpr std::uint64_t kTile = 256;
  const std::size_t ndim = part.shape.size();
  const Split split = split_of(part);
  if (split.tiled && split.axis >= 2) return gather_tiles<N>(part, split, first, count, out);
  const std::uint64_t last = first + count - 1;
  const std::uint64_t first_slice = first / split.rows, last_slice = last / split.rows;
  const std::uint64_t row_begin = first_slice == last_slice ? first % split.rows : 0;
  const std::uint64_t row_end = first_slice == last_slice ? last % split.rows + 1 : split.rows;
  const std::uint64_t tile = split.tiled ? kTile : split.rows;
  const bool contiguous = !split.tiled && part.strides[0] == std::int64_t(N) && !part.swapped;
  // Rows over axis 0 and slices one item apart along axis 1: each tile of rows is a matrix to transpose.
  const bool blocked = split.tiled && part.strides[1] == std::int64_t(N);
  std::vector<std::int64_t> index(ndim, 0);
  std::int64_t row_offsets[kTile];

  for (std::uint64_t begin = row_begin; begin < row_end; begin += tile) {
    const std::uint64_t end = std::min(row_end, begin + tile);
    if (split.tiled) {
      std::int64_t offset = offset_of(part, begin, 0, split.axis, index.data());
      for (std::uint64_t r = begin; r < end; ++r) {
        row_offsets[r - begin] = offset;
        step(part, 0, split.axis, index.data(), offset);
      }
    }
    std::int64_t slice_offset = offset_of(part, first_slice, split.axis, ndim, index.data());
    for (std::uint64_t slice = first_slice; slice <= last_slice; ++slice) {
      const std::uint64_t lo = std::max(begin, slice == first_slice ? first % split.rows : 0);
      const std::uint64_t hi = std::min(end, slice == last_slice ? last % split.rows + 1 : split.rows);
      const char* from = part.data + slice_offset;
      unsigned char* to = out + (slice * split.rows + lo - first) * N;
      if (blocked && lo == begin && hi == end) {
        // The slices on along axis 1 that cover the tile whole: columns of one matrix.
        const std::uint64_t last_whole = last_slice - (last % split.rows + 1 < end ? 1 : 0);
        const std::int64_t columns = std::min<std::int64_t>(part.shape[1] - index[1], static_cast<std::int64_t>(last_whole - slice + 1));
        transpose<N>(from + static_cast<std::int64_t>(lo) * part.strides[0], part.strides[0], static_cast<std::int64_t>(hi - lo),
                     columns, to, static_cast<std::int64_t>(split.rows * N), part.swapped);
        slice += static_cast<std::uint64_t>(columns - 1);
        index[1] += columns - 1;
        slice_offset += (columns - 1) * part.strides[1];
      } else if (contiguous) {
        std::memcpy(to, from + lo * N, (hi - lo) * N);
      } else if (split.tiled) {
        for (std::uint64_t r = lo; r < hi; ++r, to += N) copy_item<N>(from + row_offsets[r - begin], to, part.swapped);
      } else {
        for (std::uint64_t r = lo; r < hi; ++r, to += N) copy_item<N>(from + static_cast<std::int64_t>(r) * part.strides[0], to, part.swapped);
      }
      step(part, split.axis, ndim, index.data(), slice_offset);
    }
  }
}

inline void gather_bytes(const Part& part, std::uint64_t offset, std::uint64_t size, unsigned char* out) {
  const std::uint64_t first = offset / part.item, count = size / part.item;
  switch (part.item) {
    case 1: gather<1>(part, first, count, out); break;
    case 2: gather<2>(part, first, count, out); break;
    case 4: gather<4>(part, first, count, out); break;
    case 8: gather<8>(part, first, count, out); break;
    default: throw std::invalid_argument("element size must be 1, 2, 4 or 8 bytes");
  }
}

}  // namespace nivra::mat
