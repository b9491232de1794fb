// Level-5 MAT files: the layout of one numeric matrix element, read in
// column-major order straight from strided array memory, and its
// compression in fixed-size blocks on several threads, joined into one zlib
// stream (each block a raw deflate stream ended on a byte boundary without
// the final bit, the last one finished). Pure C++, no Python: compression
// and output are callbacks.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <exception>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace nivra::mat {

// ---- checksums ---------------------------------------------------------------

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

// ---- file layout ---------------------------------------------------------------

enum DataType : std::uint32_t {
  miINT8 = 1, miUINT8 = 2, miINT16 = 3, miUINT16 = 4, miINT32 = 5, miUINT32 = 6,
  miSINGLE = 7, miDOUBLE = 9, miINT64 = 12, miUINT64 = 13, miMATRIX = 14, miCOMPRESSED = 15,
};
enum ArrayClass : std::uint32_t {
  mxDOUBLE = 6, mxSINGLE = 7, mxINT8 = 8, mxUINT8 = 9, mxINT16 = 10, mxUINT16 = 11,
  mxINT32 = 12, mxUINT32 = 13, mxINT64 = 14, mxUINT64 = 15,
};

// Refused by the format: an element byte count must fit in 32 bits.
struct TooLarge : std::length_error {
  TooLarge() : std::length_error("Matrix too large to save with Matlab 5 format") {}
};

inline void append_u32(std::string& out, std::uint32_t value) {
  char bytes[4];
  std::memcpy(bytes, &value, 4);  // the file is in the writer's byte order
  out.append(bytes, 4);
}

inline void append_u16(std::string& out, std::uint16_t value) {
  char bytes[2];
  std::memcpy(bytes, &value, 2);
  out.append(bytes, 2);
}

// The 128-byte file header: text, subsystem offset, version, endian indicator.
inline std::string file_header(const std::string& text) {
  std::string header = text.substr(0, 116);
  header.resize(124, '\0');
  append_u16(header, 0x0100);
  append_u16(header, 0x4d49);  // reads "IM" when written little-endian
  return header;
}

// The tag of a compressed element holding `size` bytes.
inline std::string compressed_tag(std::uint64_t size) {
  if (size >= (std::uint64_t(1) << 32)) throw TooLarge();
  std::string tag;
  append_u32(tag, miCOMPRESSED);
  append_u32(tag, static_cast<std::uint32_t>(size));
  return tag;
}

// One part (real or imaginary) of an array: elements of `item` bytes at
// `data` with the given strides, possibly in the other byte order.
struct Part {
  const char* data;
  std::vector<std::int64_t> shape;
  std::vector<std::int64_t> strides;  // bytes
  unsigned item;
  bool swapped;

  std::uint64_t size() const {
    std::uint64_t n = 1;
    for (auto d : shape) n *= static_cast<std::uint64_t>(d);
    return n;
  }
};

// ---- column-major gathering ------------------------------------------------------

// A part with axes of length 1 dropped and axes merged where one continues
// the next in memory, so that the fastest axis is as long as it can be.
inline Part simplified(const Part& part) {
  Part out{part.data, {}, {}, part.item, part.swapped};
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
// gathered in square tiles over the first two axes, so that the reads of
// one tile fall in short runs on a few pages, for every slice in range.
template <unsigned N>
void gather_tiles(const Part& part, const Split& split, std::uint64_t first, std::uint64_t count,
                  unsigned char* out) {
  constexpr std::int64_t kSide = 8;
  const std::size_t ndim = part.shape.size();
  const std::int64_t height = part.shape[0], width = part.shape[1];
  const std::uint64_t plane = static_cast<std::uint64_t>(height * width);
  const Range range(split, first, count);
  const std::uint64_t row_begin = range.first_slice == range.last_slice ? range.row_begin(range.first_slice) : 0;
  const std::uint64_t row_end = range.first_slice == range.last_slice ? range.row_end(range.first_slice) : split.rows;
  std::vector<std::int64_t> index(ndim, 0);
  std::int64_t offsets[kSide * kSide];
  std::uint64_t rows[kSide * kSide];

  for (std::uint64_t p = row_begin / plane; p * plane < row_end; ++p) {
    const std::int64_t plane_offset = offset_of(part, p, 2, split.axis, index.data());
    for (std::int64_t j0 = 0; j0 < width; j0 += kSide) {
      for (std::int64_t i0 = 0; i0 < height; i0 += kSide) {
        const std::int64_t i1 = std::min(height, i0 + kSide), j1 = std::min(width, j0 + kSide);
        const std::uint64_t lowest = p * plane + static_cast<std::uint64_t>(j0 * height + i0);
        const std::uint64_t highest = p * plane + static_cast<std::uint64_t>((j1 - 1) * height + i1 - 1);
        if (highest < row_begin || lowest >= row_end) continue;
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
          const char* from = part.data + slice_offset;
          const std::uint64_t start = slice * split.rows;
          for (int k = 0; k < n; ++k) {
            if (rows[k] >= lo && rows[k] < hi) copy_item<N>(from + offsets[k], out + (start + rows[k] - first) * N, part.swapped);
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
      if (contiguous) {
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

// What the matrix element says about the array.
struct Matrix {
  std::string name;                  // the variable name's Latin-1 bytes
  std::vector<std::int64_t> dims;    // as stored: at least two, each below 2**31
  ArrayClass array_class;
  DataType data_type;
  bool logical;
  Part real;
  std::vector<Part> imaginary;       // empty or one part
};

// The uncompressed matrix element as a sequence of literal bytes and array
// parts in column-major order.
class Element {
 public:
  explicit Element(const Matrix& m) {
    std::string head;
    append_u32(head, miMATRIX);
    append_u32(head, 0);  // byte count, set below
    append_u32(head, miUINT32);
    append_u32(head, 8);
    const std::uint32_t flags = (m.imaginary.empty() ? 0 : 8) | (m.logical ? 2 : 0);
    append_u32(head, m.array_class | flags << 8);
    append_u32(head, 0);  // nzmax
    std::string dims;
    for (auto d : m.dims) append_u32(dims, static_cast<std::uint32_t>(d));
    append_element(head, miINT32, dims);
    append_element(head, miINT8, m.name);
    literal_ = std::move(head);
    add_data(m.data_type, m.real);
    for (const Part& part : m.imaginary) add_data(m.data_type, part);
    flush_literal();
    const std::uint64_t count = size_ - 8;
    if (count >= (std::uint64_t(1) << 32)) throw TooLarge();
    const std::uint32_t count32 = static_cast<std::uint32_t>(count);
    std::memcpy(&pieces_.front().literal[4], &count32, 4);
  }

  std::uint64_t size() const { return size_; }

  // Bytes gathered at once: whole blocks spanning at least eight slices of
  // each part (see Split), within a bound on memory.
  std::uint64_t job_size(std::uint64_t block_size) const {
    constexpr std::uint64_t kSlices = 8, kMostBytes = std::uint64_t(32) << 20;
    std::uint64_t bytes = block_size;
    for (const Part& part : parts_) {
      const Split split = split_of(part);
      if (split.tiled) bytes = std::max(bytes, std::min(kMostBytes, kSlices * split.rows * part.item));
    }
    return (bytes + block_size - 1) / block_size * block_size;
  }

  // Writes bytes [offset, offset + size) of the element into `out`. Offsets
  // and sizes are multiples of 8 (or reach the end), so no element is split.
  void fill(std::uint64_t offset, std::uint64_t size, unsigned char* out) const;

 private:
  struct Piece {
    std::uint64_t offset, size;
    std::string literal;  // the bytes, unless the piece is a part
    int part;             // index into parts_, or -1
  };

  // The tag of a data element of `bytes` bytes and the zeros after its data:
  // a small element (4-byte tag, data padded to 4) or a regular one (8-byte
  // tag, data padded to a multiple of 8).
  static std::pair<std::string, std::size_t> data_tag(DataType type, std::uint64_t bytes) {
    std::string tag;
    if (bytes <= 4) {
      append_u32(tag, static_cast<std::uint32_t>(bytes) << 16 | type);
      return {tag, static_cast<std::size_t>(4 - bytes)};
    }
    append_u32(tag, type);
    append_u32(tag, static_cast<std::uint32_t>(bytes));
    return {tag, static_cast<std::size_t>((8 - bytes % 8) % 8)};
  }

  static void append_element(std::string& out, DataType type, const std::string& bytes) {
    const auto [tag, padding] = data_tag(type, bytes.size());
    out += tag;
    out += bytes;
    out.append(padding, '\0');
  }

  void add_data(DataType type, const Part& part) {
    const std::uint64_t bytes = part.size() * part.item;
    if (bytes >= (std::uint64_t(1) << 32)) throw TooLarge();
    const auto [tag, padding] = data_tag(type, bytes);
    literal_ += tag;
    flush_literal();
    pieces_.push_back({size_, bytes, {}, static_cast<int>(parts_.size())});
    parts_.push_back(simplified(part));
    size_ += bytes;
    literal_.assign(padding, '\0');
  }

  void flush_literal() {
    if (literal_.empty()) return;
    pieces_.push_back({size_, literal_.size(), literal_, -1});
    size_ += literal_.size();
    literal_.clear();
  }

  std::vector<Piece> pieces_;
  std::vector<Part> parts_;
  std::string literal_;  // bytes not yet made a piece
  std::uint64_t size_ = 0;
};

inline void Element::fill(std::uint64_t offset, std::uint64_t size, unsigned char* out) const {
  const std::uint64_t end = offset + size;
  for (const Piece& piece : pieces_) {
    const std::uint64_t begin = std::max(offset, piece.offset);
    const std::uint64_t stop = std::min(end, piece.offset + piece.size);
    if (begin >= stop) continue;
    unsigned char* to = out + (begin - offset);
    if (piece.part < 0) {
      std::memcpy(to, piece.literal.data() + (begin - piece.offset), stop - begin);
    } else {
      gather_bytes(parts_[static_cast<std::size_t>(piece.part)], begin - piece.offset, stop - begin, to);
    }
  }
}


// ---- parallel compression ----------------------------------------------------------

// The element's bytes as one zlib stream: the two-byte header, then blocks
// of `block_size` bytes (a multiple of 8) compressed independently on
// `threads` threads, then the adler32 of the whole. The output depends on
// the block size only, never on the thread count.
//
// compress(data, size, last) -> std::string: a fresh raw deflate stream of
// the bytes, ended on a byte boundary without the final bit (as a sync
// flush or deflate_join.hpp ends it), or finished when `last`; called on
// the worker threads.
// sink(bytes, raw_bytes): the next piece of output, with the number of
// element bytes it completes; called in order on the calling thread.
template <typename Compress, typename Sink>
void write_zlib_stream(const Element& element, std::uint64_t block_size, unsigned threads,
                       unsigned char header_flags, Compress&& compress, Sink&& sink) {
  if (block_size == 0 || block_size % 8 != 0) throw std::invalid_argument("block size must be a positive multiple of 8");
  const std::uint64_t total = element.size();
  const std::uint64_t blocks = std::max<std::uint64_t>(1, (total + block_size - 1) / block_size);
  // Each worker gathers several blocks at once where that lets one read
  // of the array's memory serve more of them.
  const std::uint64_t job_blocks = element.job_size(block_size) / block_size;
  const std::uint64_t jobs = (blocks + job_blocks - 1) / job_blocks;
  threads = static_cast<unsigned>(std::max<std::uint64_t>(1, std::min<std::uint64_t>(threads, jobs)));
  const std::uint64_t ahead = (threads + 1) * job_blocks;  // blocks held at most, done or in work

  struct Done {
    std::string bytes;
    std::uint32_t adler;
    std::uint64_t raw;
  };
  std::mutex mutex;
  std::condition_variable changed;
  std::map<std::uint64_t, Done> done;
  std::uint64_t next_block = 0, next_out = 0;
  bool stop = false;
  std::exception_ptr error;

  auto work = [&] {
    std::string buffer;
    while (true) {
      std::uint64_t job;
      {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return stop || next_block >= blocks || next_block < next_out + ahead; });
        if (stop || next_block >= blocks) return;
        job = next_block;
        next_block = std::min(blocks, next_block + job_blocks);
      }
      try {
        const std::uint64_t offset = job * block_size;
        const std::uint64_t size = std::min(job_blocks * block_size, total - offset);
        buffer.resize(size);
        auto* data = reinterpret_cast<unsigned char*>(buffer.data());
        element.fill(offset, size, data);
        for (std::uint64_t at = 0, block = job; at < size; at += block_size, ++block) {
          {
            std::lock_guard<std::mutex> lock(mutex);
            if (stop) return;  // another block failed
          }
          const std::uint64_t length = std::min(block_size, size - at);
          Done result{compress(data + at, length, block + 1 == blocks), adler32(1, data + at, length), length};
          {
            std::lock_guard<std::mutex> lock(mutex);
            done.emplace(block, std::move(result));
          }
          changed.notify_all();
        }
      } catch (...) {
        {
          std::lock_guard<std::mutex> lock(mutex);
          if (!error) error = std::current_exception();
          stop = true;
        }
        changed.notify_all();
      }
    }
  };
  std::vector<std::thread> workers;
  auto finish_workers = [&] {
    {
      std::lock_guard<std::mutex> lock(mutex);
      stop = true;
    }
    changed.notify_all();
    for (auto& worker : workers) worker.join();
    workers.clear();
  };

  try {
    for (unsigned t = 0; t < threads; ++t) workers.emplace_back(work);
    sink(std::string{char(0x78), char(header_flags)}, 0);
    std::uint32_t adler = 1;
    for (std::uint64_t block = 0; block < blocks; ++block) {
      Done result;
      {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return stop || done.count(block) != 0; });
        if (stop) break;
        auto found = done.find(block);
        result = std::move(found->second);
        done.erase(found);
        ++next_out;
      }
      changed.notify_all();
      adler = adler32_combine(adler, result.adler, result.raw);
      sink(std::move(result.bytes), result.raw);
    }
    finish_workers();
    if (error) std::rethrow_exception(error);
    std::string trailer;
    for (int shift = 24; shift >= 0; shift -= 8) trailer += static_cast<char>((adler >> shift) & 0xff);
    sink(std::move(trailer), 0);
  } catch (...) {
    finish_workers();
    throw;
  }
}

// A zlib header's second byte for a compression level hint (0 fastest .. 3 best).
inline unsigned char zlib_header_flags(unsigned level_hint) {
  const unsigned flags = std::min(level_hint, 3u) << 6;
  return static_cast<unsigned char>(flags + 31 - (0x78 * 256 + flags) % 31);
}

}  // namespace nivra::mat
