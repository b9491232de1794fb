#include "convert/raw_window.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace nivra::raw {

namespace {

// One read of up to `length` bytes at `position`: bytes read, 0 at the end
// of the file, or -1 with errno set.
std::int64_t read_at(int fd, unsigned char* out, std::int64_t length, std::int64_t position) {
#ifdef _WIN32
  // No pread here: seek, then read; the descriptor is this read's alone.
  if (_lseeki64(fd, position, SEEK_SET) < 0) return -1;
  return _read(fd, out, static_cast<unsigned>(std::min<std::int64_t>(length, INT_MAX)));
#else
  return pread(fd, out, static_cast<size_t>(length), static_cast<off_t>(position));
#endif
}

// Reads `length` bytes at `position`, through short reads and interrupts,
// at most `chunk` bytes a call.
int read_fully(int fd, std::int64_t position, std::int64_t length, unsigned char* out, std::int64_t chunk,
               const std::function<void(std::int64_t)>& on_read) {
  while (length > 0) {
    const std::int64_t got = read_at(fd, out, std::min(length, chunk), position);
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
  // plain names rather than structured bindings, which lambdas cannot capture before C++20
  const std::int64_t lines = layout.lines, samples = layout.samples, bands = layout.bands;
  const std::int64_t item = layout.item_bytes, offset = layout.offset;
  const Interleave interleave = layout.interleave;
  const std::int64_t y = window.y, x = window.x, h = window.h, w = window.w;
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
