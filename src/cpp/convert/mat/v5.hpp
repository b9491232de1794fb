// Level-5 MAT files: the layout of one numeric matrix element, its bytes
// gathered in column-major order (gather.hpp) and compressed in fixed-size
// blocks on several threads (pipeline.hpp), joined into one zlib stream
// (each block a raw deflate stream ended on a byte boundary without the
// final bit, the last one finished). Pure C++, no Python: compression and
// output are callbacks.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "convert/mat/adler32.hpp"
#include "convert/mat/element_type.hpp"
#include "convert/mat/gather.hpp"
#include "convert/mat/pipeline.hpp"

namespace nivra::mat {

// A data element: an 8-byte tag (its type, then its data's byte count),
// then the data padded with zeros to a multiple of 8; but data of at most
// kSmallDataMost bytes goes inside a small element's tag, after its type
// and byte count in 16 bits each.
constexpr std::uint64_t kTagBytes = 8;
constexpr std::uint64_t kSmallDataMost = 4;
// An element's byte count is a 32-bit field: savemat refuses more.
constexpr std::uint64_t kMostElementBytes = 0xffffffff;

// The zeros after a regular element's data of `bytes` bytes, which its
// size modulo kTagBytes decides.
constexpr std::uint64_t regular_padding(std::uint64_t bytes) { return (kTagBytes - bytes % kTagBytes) % kTagBytes; }

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
  if (size > kMostElementBytes) throw TooLarge();
  std::string tag;
  append_u32(tag, miCOMPRESSED);
  append_u32(tag, static_cast<std::uint32_t>(size));
  return tag;
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
    if (count > kMostElementBytes) throw TooLarge();
    const std::uint32_t count32 = static_cast<std::uint32_t>(count);
    std::memcpy(&pieces_.front().literal[4], &count32, 4);
  }

  std::uint64_t size() const { return size_; }

  // Bytes gathered at once: two blocks or more (the join walks streams in
  // pairs), whole blocks spanning at least eight slices of each part (see
  // Split), within a bound on memory.
  std::uint64_t job_size(std::uint64_t block_size) const {
    constexpr std::uint64_t kSlices = 8, kMostBytes = std::uint64_t(32) << 20;
    std::uint64_t bytes = 2 * block_size;
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

  // The tag of a data element of `bytes` bytes and the zeros after its data.
  static std::pair<std::string, std::size_t> data_tag(DataType type, std::uint64_t bytes) {
    std::string tag;
    if (bytes <= kSmallDataMost) {
      append_u32(tag, static_cast<std::uint32_t>(bytes) << 16 | type);
      return {tag, static_cast<std::size_t>(kSmallDataMost - bytes)};
    }
    append_u32(tag, type);
    append_u32(tag, static_cast<std::uint32_t>(bytes));
    return {tag, static_cast<std::size_t>(regular_padding(bytes))};
  }

  static void append_element(std::string& out, DataType type, const std::string& bytes) {
    const auto [tag, padding] = data_tag(type, bytes.size());
    out += tag;
    out += bytes;
    out.append(padding, '\0');
  }

  void add_data(DataType type, const Part& part) {
    const std::uint64_t bytes = static_cast<std::uint64_t>(part.size()) * part.item;
    if (bytes > kMostElementBytes) throw TooLarge();
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
// the bytes, finished when `last`, else either finished too or ended on a
// byte boundary without the final bit (as a sync flush ends it);
// join(streams): makes those of a job's streams, none of them the last,
// that compress finished ones that continue (as deflate_join.hpp does);
// both called on the worker threads.
// checksum(adler, data, size) -> std::uint32_t: the adler32 of the bytes
// after `adler`; called on the worker threads.
// sink(bytes, raw_bytes): the next piece of output, with the number of
// element bytes it completes; called in order on the calling thread.
template <typename Compress, typename Join, typename Checksum, typename Sink>
void write_zlib_stream(const Element& element, std::uint64_t block_size, unsigned threads, unsigned char header_flags,
                       Compress&& compress, Join&& join, Checksum&& checksum, Sink&& sink) {
  if (block_size == 0 || block_size % 8 != 0) throw std::invalid_argument("block size must be a positive multiple of 8");
  const std::uint64_t total = element.size();
  const std::uint64_t blocks = std::max<std::uint64_t>(1, (total + block_size - 1) / block_size);
  // Each job gathers several blocks at once where that lets one read of
  // the array's memory serve more of them.
  const std::uint64_t job_blocks = element.job_size(block_size) / block_size;
  const std::uint64_t jobs = (blocks + job_blocks - 1) / job_blocks;

  struct Block {
    std::string bytes;
    std::uint32_t adler;
    std::uint64_t raw;
  };
  auto produce = [&](std::uint64_t job, const std::atomic<bool>& stop) {
    const std::uint64_t offset = job * job_blocks * block_size;
    const std::uint64_t size = std::min(job_blocks * block_size, total - offset);
    // Each worker keeps its gather buffer from job to job: every byte is
    // filled, so none needs clearing.
    thread_local std::unique_ptr<unsigned char[]> buffer;
    thread_local std::uint64_t capacity = 0;
    if (capacity < size) {
      buffer.reset();
      buffer.reset(new unsigned char[size]);
      capacity = size;
    }
    unsigned char* data = buffer.get();
    element.fill(offset, size, data);
    std::vector<Block> done;
    for (std::uint64_t at = 0, block = job * job_blocks; at < size; at += block_size, ++block) {
      if (stop) return done;  // another block failed
      const std::uint64_t length = std::min(block_size, size - at);
      done.push_back({compress(data + at, length, block + 1 == blocks), checksum(1, data + at, length), length});
    }
    std::vector<std::string*> to_join;
    for (Block& block : done) to_join.push_back(&block.bytes);
    if (offset + size == total) to_join.pop_back();  // the last block stays finished
    join(to_join);
    return done;
  };

  sink(std::string{char(0x78), char(header_flags)}, 0);
  std::uint32_t adler = 1;
  run_in_order<std::vector<Block>>(jobs, threads, threads + 1, produce, [&](std::uint64_t, std::vector<Block> done) {
    for (Block& block : done) {
      adler = adler32_combine(adler, block.adler, block.raw);
      sink(std::move(block.bytes), block.raw);
    }
  });
  std::string trailer;
  for (int shift = 24; shift >= 0; shift -= 8) trailer += static_cast<char>((adler >> shift) & 0xff);
  sink(std::move(trailer), 0);
}

// A zlib header's second byte for a compression level hint (0 fastest .. 3 best).
inline unsigned char zlib_header_flags(unsigned level_hint) {
  const unsigned flags = std::min(level_hint, 3u) << 6;
  return static_cast<unsigned char>(flags + 31 - (0x78 * 256 + flags) % 31);
}

}  // namespace nivra::mat
