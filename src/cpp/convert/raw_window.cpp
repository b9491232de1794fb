#include "convert/raw_window.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

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

// Stretches of consecutive kept bands, as (first band, count).
std::vector<std::pair<std::int64_t, std::int64_t>> band_runs(const std::vector<std::int64_t>& bands) {
  std::vector<std::pair<std::int64_t, std::int64_t>> runs;
  for (std::int64_t band : bands) {
    if (!runs.empty() && runs.back().first + runs.back().second == band) {
      ++runs.back().second;
    } else {
      runs.emplace_back(band, 1);
    }
  }
  return runs;
}

// Some bands of a band-interleaved-by-pixel file: whole rows of the window
// read into a buffer (several at once where the window spans the full
// width, so the rows follow each other in the file), the kept bands copied out.
int read_pixel_bands(int fd, const Layout& layout, const Window& window, const std::vector<std::int64_t>& bands,
                     unsigned char* out, std::int64_t chunk_bytes, const std::function<void(std::int64_t)>& on_read) {
  const std::int64_t item = layout.item_bytes, pixel = layout.bands * item;
  const std::int64_t row_bytes = window.w * pixel;
  const bool adjacent_rows = window.x == 0 && window.w == layout.samples;
  const std::int64_t rows_per_read =
      adjacent_rows ? std::max<std::int64_t>(1, chunk_bytes / std::max<std::int64_t>(1, row_bytes)) : 1;
  const auto runs = band_runs(bands);
  std::vector<unsigned char> buffer(static_cast<size_t>(std::min(rows_per_read, window.h) * row_bytes));
  for (std::int64_t row = 0; row < window.h; row += rows_per_read) {
    const std::int64_t rows = std::min(rows_per_read, window.h - row);
    const std::int64_t at = layout.offset + ((window.y + row) * layout.samples + window.x) * pixel;
    if (int error = read_fully(fd, at, rows * row_bytes, buffer.data(), chunk_bytes, {})) return error;
    const unsigned char* in = buffer.data();
    const unsigned char* start = out;
    for (std::int64_t p = 0; p < rows * window.w; ++p, in += pixel) {
      for (const auto& [first, count] : runs) {
        std::memcpy(out, in + first * item, static_cast<size_t>(count * item));
        out += count * item;
      }
    }
    if (on_read) on_read(out - start);  // what the caller receives, not what was read
  }
  return 0;
}

}  // namespace

int read_window(int fd, const Layout& layout, const Window& window, const std::vector<std::int64_t>& bands,
                unsigned char* out, std::int64_t chunk_bytes, const std::function<void(std::int64_t)>& on_read) {
  chunk_bytes = std::max<std::int64_t>(1, chunk_bytes);
  const bool all_bands = bands.empty() || static_cast<std::int64_t>(bands.size()) == layout.bands;
  if (layout.interleave == Interleave::bip && !all_bands) {
    return read_pixel_bands(fd, layout, window, bands, out, chunk_bytes, on_read);
  }
  // plain names rather than structured bindings, which lambdas cannot capture before C++20
  const std::int64_t lines = layout.lines, samples = layout.samples, bands_in_file = layout.bands;
  const std::int64_t item = layout.item_bytes, offset = layout.offset;
  const Interleave interleave = layout.interleave;
  const std::int64_t y = window.y, x = window.x, h = window.h, w = window.w;
  const std::int64_t kept = all_bands ? bands_in_file : static_cast<std::int64_t>(bands.size());
  auto band = [&](std::int64_t i) { return all_bands ? i : bands[static_cast<size_t>(i)]; };
  // The window as runs of `run` bytes: (outer, inner) pairs in file order.
  std::int64_t outer = h, inner = kept, run = w * item;
  if (interleave == Interleave::bsq) outer = kept, inner = h;
  if (interleave == Interleave::bip) inner = 1, run = w * bands_in_file * item;
  auto position = [&](std::int64_t o, std::int64_t i) -> std::int64_t {
    switch (interleave) {
      case Interleave::bsq: return offset + ((band(o) * lines + y + i) * samples + x) * item;
      case Interleave::bil: return offset + (((y + o) * bands_in_file + band(i)) * samples + x) * item;
      case Interleave::bip: return offset + ((y + o) * samples + x) * bands_in_file * item;
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
