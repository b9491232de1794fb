// Image loaders split into opening and reading, and the table that tells
// the driver which loaders are the module's own.
#include <algorithm>
#include <utility>
#include <vector>

#include "common/progress.hpp"
#include "convert/loaders.hpp"

namespace nivra::convert {

namespace {

// Each loader held for the life of the process, with its opener.
std::vector<std::pair<PyObject*, Opener>>& openers() {
  static auto* table = new std::vector<std::pair<PyObject*, Opener>>();
  return *table;
}

}  // namespace

OpenedImage already_read(const py::object& data, const py::dict& meta) {
  return {py::tuple(data.attr("shape")), data.attr("dtype"), meta,
          [data](const CropWindow* window) { return window ? cut_window(data, *window) : data; }};
}

py::str reading_label(const py::object& path) { return concat("reading ", os_path("basename")(path)); }

void read_row_blocks(const py::object& path, std::int64_t rows, std::int64_t row_bytes,
                     const std::function<void(std::int64_t first, std::int64_t count)>& read_rows,
                     std::int64_t offset, std::int64_t align) {
  if (rows <= 0 || row_bytes <= 0) return;  // nothing to read
  const Namespace& g = ns();
  const auto block_bytes = g["_READ_BLOCK_BYTES"].cast<std::int64_t>();
  align = std::max<std::int64_t>(1, align);
  std::int64_t rows_per_block = std::max<std::int64_t>(1, block_bytes / std::max<std::int64_t>(1, row_bytes));
  rows_per_block = (rows_per_block + align - 1) / align * align;
  Progress progress(g, reading_label(path), static_cast<std::uint64_t>(rows * row_bytes));
  for (std::int64_t first = 0, count = 0; first < rows; first += count) {
    // blocks end on multiples of rows_per_block in the file, so a tile or
    // chunk is never split between two blocks and decoded twice
    const std::int64_t end = ((offset + first) / rows_per_block + 1) * rows_per_block - offset;
    count = std::min(end, rows) - first;
    read_rows(first, count);
    progress.advance(static_cast<std::uint64_t>(count * row_bytes));
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  }
  progress.finish();
}

py::tuple load_whole(Opener open, py::object path) {
  OpenedImage image = open(std::move(path));
  return py::make_tuple(image.read(nullptr), image.meta);
}

void remember_opener(py::handle loader, Opener open) { openers().emplace_back(loader.inc_ref().ptr(), open); }

Opener opener_of(py::handle loader) {
  for (const auto& [function, open] : openers()) {
    if (function == loader.ptr()) return open;
  }
  return nullptr;
}

}  // namespace nivra::convert
