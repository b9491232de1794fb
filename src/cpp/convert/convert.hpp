// The dataset converter module: `nivra convert_to_mat`.
#pragma once

#include <cstdint>
#include <functional>

#include "common/pyutil.hpp"
#include "convert/bands.hpp"

namespace nivra::convert {

// The module's own namespace; every function reads its globals through it.
const Namespace& ns();

// os.path.<name>, read from the module's `os` at call time.
py::object os_path(const char* name);

// A path split into its file part and HDF5 dataset key (None when absent):
// "::" is tried first (last occurrence), then ":/" unless the path has "://".
struct DatasetPath {
  py::str file;
  py::object key;
};
DatasetPath split_dataset_specifier(const py::str& path);

// Native one-pass census of a label array: (sorted classes as an array of
// its dtype, pixel count per class), or None when numpy must do it.
py::object native_census(py::handle labels);
// (min, max) as scalars of the array's dtype, or None when numpy must do it.
py::object native_range(py::handle array);

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
py::object move_band_axis(const py::object& data, py::dict& meta, int band_axis);

// Registers `loader` (a module function) as the one built on `open`.
void remember_opener(py::handle loader, Opener open);
// The opener behind `loader` when it is one of the module's own image
// loaders, else nullptr: a rebound loader is called as it is.
Opener opener_of(py::handle loader);

// Refuses, before anything is read, a variable savemat could not store: its
// record in a MAT v5 file must stay under 2**32 bytes.
void require_storable_size(const py::object& key, const py::object& shape, const py::object& dtype);

// True for scipy.io.savemat as it was when the module was imported.
bool is_scipy_savemat(py::handle function);
// Writes `array` under `key` into the open binary file as savemat does with
// compression, natively and in parallel; false, having written nothing, for
// an array savemat must write. `label` names the file in the progress line.
bool write_mat_natively(py::handle file, py::handle key, py::handle array, py::handle label);

// Writes `array` under `key` as a MAT 7.3 file at `path` through h5py, then
// the MATLAB header through `file`, a binary file object open on it at
// offset 0. `label` names the file in the progress line.
void write_mat73(py::handle file, py::handle path, py::handle key, py::handle array, py::handle label);

void register_detection(py::module_& m);  // _EXT_MAP, _strip_dataset_specifier, _detect_format
void register_check_dep(py::module_& m);  // _check_dep
void register_envi(py::module_& m);       // _load_envi
void register_tiff(py::module_& m);       // _load_tiff
void register_hdf5(py::module_& m);       // _load_hdf5, _json_safe
void register_loader_table(py::module_& m);  // _LOADERS
void register_ground_truth(py::module_& m);  // _load_gt
void register_crop(py::module_& m);       // _apply_crop
void register_summary(py::module_& m);    // _print_summary
void register_driver(py::module_& m);     // main
void register_mat_writer(py::module_& m);  // _write_mat
void register_mat73_writer(py::module_& m);  // _write_mat73

}  // namespace nivra::convert
