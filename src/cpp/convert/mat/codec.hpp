// Deflate for the MAT writer's blocks: libdeflate (the deflate package),
// or the standard zlib module when that is missing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "convert/convert.hpp"

namespace nivra::convert {

// libdeflate's C functions, as the deflate package's extension exports them.
struct LibdeflateFunctions {
  void* (*alloc_compressor)(int level);
  std::size_t (*compress_bound)(void* compressor, std::size_t size);
  std::size_t (*compress)(void* compressor, const void* in, std::size_t size, void* out, std::size_t room);
  void (*free_compressor)(void* compressor);
  std::uint32_t (*adler32)(std::uint32_t adler, const void* data, std::size_t size);  // may be missing
};

// libdeflate's zlib-wrapped compression, exported beside the raw one.
struct LibdeflateZlibFunctions {
  std::size_t (*compress_bound)(void* compressor, std::size_t size);
  std::size_t (*compress)(void* compressor, const void* in, std::size_t size, void* out, std::size_t room);
};

// libdeflate's levels, chosen by measurement in bench/writer.py: for the
// blocks of a version 7 file, the fastest whose files stay within 3% of
// savemat's; for the chunks of a 7.3 file, the fastest (its files stay
// well under version 7's either way).
constexpr int kV5BlockLevel = 2;
constexpr int kV73ChunkLevel = 1;

class BlockCodec {
 public:
  // Picks the library, libdeflate at `libdeflate_level` or else zlib at
  // savemat's level; needs the GIL.
  explicit BlockCodec(int libdeflate_level);

  // A fresh raw deflate stream of the bytes: finished when `last` or when
  // libdeflate compressed it (continue_streams then makes it one that
  // continues), else ended on a byte boundary without the final bit.
  // Called without the GIL.
  std::string compress(const unsigned char* data, std::size_t size, bool last) const;

  // Makes libdeflate's streams of blocks other than the last ones that
  // continue (deflate_join.hpp). Called without the GIL.
  void continue_streams(const std::vector<std::string*>& streams) const;

  // A complete zlib stream of the bytes (header, deflate, adler32), as
  // HDF5's deflate filter stores a chunk. Called without the GIL.
  std::string zlib_stream(const unsigned char* data, std::size_t size) const;

  int level() const { return level_; }

  // The adler32 of the bytes after `adler`: libdeflate's where it is
  // exported, else the portable one. Called without the GIL.
  std::uint32_t adler32(std::uint32_t adler, const unsigned char* data, std::size_t size) const;

  // The second byte of the zlib header for the level used.
  unsigned char header_flags() const;

 private:
  // The calling thread's libdeflate compressor at this codec's level.
  void* thread_compressor() const;
  std::string compress_in_python(const unsigned char* data, std::size_t size, bool last) const;
  std::string zlib_stream_in_python(const unsigned char* data, std::size_t size) const;

  py::module_ module_;
  bool libdeflate_;
  int level_;
  // Set where the package's compress is its extension's own and the
  // extension exports libdeflate: called with no GIL at all (the package
  // holds it while compressing before version 0.9).
  std::optional<LibdeflateFunctions> direct_;
  std::optional<LibdeflateZlibFunctions> direct_zlib_;
};

}  // namespace nivra::convert
