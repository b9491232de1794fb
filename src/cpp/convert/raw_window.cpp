#include "convert/raw_window.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace nivra::raw {

namespace {

// Reads `length` bytes at `position`, through short reads and interrupts,
// at most `chunk` bytes a call.
int read_fully(int fd, std::int64_t position, std::int64_t length, unsigned char* out, std::int64_t chunk,
               const std::function<void(std::int64_t)>& on_read) {
  while (length > 0) {
    ssize_t got = pread(fd, out, static_cast<size_t>(std::min(length, chunk)), static_cast<off_t>(position));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return errno;
    if (got == 0) return -1;
    position += got;
    length -= got;
    out += got;
    if (on_read) on_read(got);
  }
  return 0;
}

}  // namespace

int read_window(int fd, const Layout& layout, const Window& window, unsigned char* out, std::int64_t chunk_bytes,
                const std::function<void(std::int64_t)>& on_read) {
  chunk_bytes = std::max<std::int64_t>(1, chunk_bytes);
  const auto& [lines, samples, bands, item, offset, interleave] = layout;
  const auto& [y, x, h, w] = window;
  // The window as runs of `run` bytes: (outer, inner) pairs in file order.
  std::int64_t outer = h, inner = bands, run = w * item;
  if (interleave == Interleave::bsq) outer = bands, inner = h;
  if (interleave == Interleave::bip) inner = 1, run = w * bands * item;
  auto position = [&](std::int64_t o, std::int64_t i) -> std::int64_t {
    switch (interleave) {
      case Interleave::bsq: return offset + ((o * lines + y + i) * samples + x) * item;
      case Interleave::bil: return offset + (((y + o) * bands + i) * samples + x) * item;
      case Interleave::bip: return offset + ((y + o) * samples + x) * bands * item;
    }
    return 0;
  };

  // One read per stretch of runs that are adjacent in the file.
  std::int64_t start = -1, length = 0;
  for (std::int64_t o = 0; o < outer; ++o) {
    for (std::int64_t i = 0; i < inner; ++i) {
      std::int64_t at = position(o, i);
      if (at != start + length) {
        if (int error = length ? read_fully(fd, start, length, out, chunk_bytes, on_read) : 0) return error;
        out += length;
        start = at;
        length = 0;
      }
      length += run;
    }
  }
  return length ? read_fully(fd, start, length, out, chunk_bytes, on_read) : 0;
}

}  // namespace nivra::raw
