// Reading a window of a raw band-interleaved image file (an ENVI data file)
// with positioned reads: only the window's bytes are read. Pure C++, no Python.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace nivra::raw {

enum class Interleave { bsq, bil, bip };

// The file's layout, as its header gives it; the file holds at least
// offset + lines * samples * bands * item_bytes bytes.
struct Layout {
  std::int64_t lines, samples, bands, item_bytes, offset;
  Interleave interleave;
};

// Rows y..y+h and columns x..x+w, inside the image.
struct Window {
  std::int64_t y, x, h, w;
};

// Reads the window's bands `bands` (ascending indexes; empty for all) into
// `out` in the file's own interleave and byte order: bands x h x w (bsq),
// h x bands x w (bil) or h x w x bands (bip), that is h * w * bands *
// item_bytes bytes. Runs that follow each other in the file are read
// together, in calls of at most `chunk_bytes`, each followed by
// `on_read(bytes read)` when given (an exception from it stops the read).
// A band-interleaved-by-pixel file holds a pixel's bands side by side, so
// there whole rows go through a buffer of about `chunk_bytes` and the kept
// bands are copied out of it.
// Returns 0, an errno value, or -1 when the file ends early.
int read_window(int fd, const Layout& layout, const Window& window, const std::vector<std::int64_t>& bands,
                unsigned char* out, std::int64_t chunk_bytes = INT64_MAX,
                const std::function<void(std::int64_t)>& on_read = {});

}  // namespace nivra::raw
