// Joining raw deflate streams compressed independently into one stream.
//
// Why: the writer compresses each block on its own thread with libdeflate,
// the fastest compressor within savemat's file size, and libdeflate cannot
// leave a stream open: each one ends with a final block. The other way, as
// pigz joins its blocks, is a sync flush after each block, which ends it on
// a byte boundary without the final bit; but that needs zlib, which takes
// 2 to 3 times libdeflate's time at the same size. So each finished stream
// is walked (deflate_walk.hpp) to find its final block, whose final bit is
// cleared, and an empty stored block is appended so that the stream ends on
// a byte boundary, as a sync flush would end it. The next stream then
// follows directly. Pure C++, no Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "convert/mat/deflate_walk.hpp"

namespace nivra::deflate {

// Makes a finished raw deflate stream that ends at `end` one that
// continues: clears its final bit and ends it with an empty stored block on
// a byte boundary.
inline void end_without_final_bit(std::string& stream, const StreamEnd& end) {
  auto* bytes = reinterpret_cast<unsigned char*>(stream.data());
  if ((end.end + 7) / 8 != stream.size()) throw Malformed("bytes after the end of the deflate stream");
  bytes[end.final_header / 8] &= static_cast<unsigned char>(~(1u << (end.final_header % 8)));
  const unsigned used = static_cast<unsigned>(end.end % 8);
  if (used != 0) bytes[stream.size() - 1] &= static_cast<unsigned char>((1u << used) - 1);  // zero padding
  // The stored block's header (a clear final bit and kStoredBlock) goes in
  // the padding when it has room for it, else in one more byte; its empty
  // length and the length's complement follow, aligned.
  constexpr unsigned kHeaderBits = 1 + kBlockTypeBits;
  if (used == 0 || used > 8 - kHeaderBits) stream.push_back('\0');
  stream.append("\x00\x00\xff\xff", 4);
}

// Makes a finished raw deflate stream one that continues.
inline void continue_stream(std::string& stream, Walking walking = Walking::kFast) {
  end_without_final_bit(stream, find_stream_end(reinterpret_cast<const unsigned char*>(stream.data()),
                                                stream.size(), walking));
}

// The same for several streams, walked two at a time unless carefully.
inline void continue_streams(const std::vector<std::string*>& streams, Walking walking = Walking::kFast) {
  std::size_t i = 0;
  for (; walking != Walking::kCareful && i + 1 < streams.size(); i += 2) {
    std::string &a = *streams[i], &b = *streams[i + 1];
    Walk walk_a(reinterpret_cast<const unsigned char*>(a.data()), a.size(), walking);
    Walk walk_b(reinterpret_cast<const unsigned char*>(b.data()), b.size(), walking);
    Walk::both(walk_a, walk_b);
    end_without_final_bit(a, walk_a.end());
    end_without_final_bit(b, walk_b.end());
  }
  for (; i < streams.size(); ++i) continue_stream(*streams[i], walking);
}

}  // namespace nivra::deflate
