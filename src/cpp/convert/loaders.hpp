// What the image and label loaders share with the driver: dataset paths,
// crop windows, and loaders split into opening and reading.
#pragma once

#include <cstdint>
#include <functional>

#include "convert/bands.hpp"
#include "convert/convert.hpp"

namespace nivra::convert {

// A path split into its file part and HDF5 dataset key (None when absent):
// "::" is tried first (last occurrence), then ":/" unless the path has "://".
struct DatasetPath {
  py::str file;
  py::object key;
};
DatasetPath split_dataset_specifier(const py::str& path);

// A crop window that passed _apply_crop's checks, as Python ints.
struct CropWindow {
  py::object y, x, h, w;
};
// _apply_crop's checks of `crop` (four values) against an image of `shape`,
// with its messages; nothing is read.
CropWindow check_crop_window(const py::object& crop, const py::object& shape);
// array[y:y+h, x:x+w], further axes whole: a view, as _apply_crop cuts it.
py::object cut_window(const py::object& array, const CropWindow& window);
// The shape of an image of `shape` once cut to `window`.
py::tuple window_shape(const CropWindow& window, const py::object& shape);
// True while `_apply_crop` is the module's own function.
bool apply_crop_is_original();

// An image loader in two steps: opening reads what describes the image
// (header, profile, dataset shape) and its metadata, but no pixels; `read`
// then reads the window given (the whole image for nullptr) of the bands
// given (all for nullptr), ascending indexes on the third axis.
struct OpenedImage {
  py::tuple shape;  // the whole image, axes as the loader returns them
  py::object dtype;
  py::dict meta;
  std::function<py::object(const CropWindow*, const BandList*)> read;
  // What the source says beyond the metadata (an ENVI header's every
  // field), a mapping, or None.
  py::object header = py::none();
};
// How to open: the stored axis that holds the bands of an HDF5 cube, or -1
// for the loader's own guess; other formats have no choice to make.
struct OpenOptions {
  int band_axis = -1;
};
using Opener = OpenedImage (*)(py::object path, const OpenOptions& options);
// An image already in memory: `read` cuts the window and bands out of it.
OpenedImage already_read(const py::object& data, const py::dict& meta);
// The loader `_LOADERS` holds from import, as `open` followed by a whole read.
py::tuple load_whole(Opener open, py::object path);
// An uninitialised array for a read to fill, its pages mapped up front
// where the platform offers it (mmap's MAP_POPULATE): faulting them in one
// at a time, with numpy's huge-page advice that can stall on compaction,
// took longer than the read itself. numpy.empty elsewhere.
py::object array_to_fill(const py::object& shape, const py::object& dtype);
// "reading <file name>": the progress line's label for reading `path`.
py::str reading_label(const py::object& path);
// Calls `read_rows(first, count)` for consecutive blocks of `rows` rows of
// `row_bytes` each, about `_READ_BLOCK_BYTES` a block, showing the progress
// line labelled for `path`; Ctrl-C stops between blocks. The rows start at
// row `offset` of the file, whose tiles or chunks are `align` rows high.
void read_row_blocks(const py::object& path, std::int64_t rows, std::int64_t row_bytes,
                     const std::function<void(std::int64_t first, std::int64_t count)>& read_rows,
                     std::int64_t offset = 0, std::int64_t align = 1);
// An HDF5 image as loaded by a loader other than the module's own, with
// its bands moved from stored axis `band_axis` to the last: the loader's
// own move of a band-first cube is undone first, and meta's "_transposed"
// records the new move.
py::object move_band_axis(const py::object& data, py::object& meta, int band_axis);

// Registers `loader` (a module function) as the one built on `open`.
void remember_opener(py::handle loader, Opener open);
// The opener behind `loader` when it is one of the module's own image
// loaders, else nullptr: a rebound loader is called as it is.
Opener opener_of(py::handle loader);

// The file a ground-truth path names, without a MAT variable named after it.
py::str label_file(const py::str& path);
// What the driver checks of a ground-truth path before the loader reads it:
// its file is a regular one, and its headers declare at most 16 values per
// pixel of an image of `image_shape` (height and width first, before any crop).
void check_labels_before_reading(const py::object& path, const py::object& image_shape);
// The labels of a colour image (uint8, height × width × 3 or 4, alpha
// ignored) as uint8 class ids of shape height × width: black is 0, the
// other colours 1, 2, ... in ascending (R, G, B) order. `colours` receives
// "<id>": [r, g, b] in id order. Messages name `file`.
py::object colours_as_class_ids(const py::object& labels, const py::object& file, py::dict& colours);

}  // namespace nivra::convert
