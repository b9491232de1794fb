// HDF5 and netCDF-4 images through h5py, and JSON-safe attribute values.
#include <cerrno>

#include "convert/hdf5_outside.hpp"
#include "convert/loaders.hpp"
#include "convert/signature.hpp"

namespace nivra::convert {

namespace {

py::object json_safe(py::object val) {
  const Namespace& g = ns();
  py::object np = g["np"];
  if (is_instance(val, np.attr("ndarray"))) return val.attr("tolist")();
  if (is_instance(val, np.attr("integer"))) return g["int"](val);
  if (is_instance(val, np.attr("floating"))) return g["float"](val);
  if (is_instance(val, g["bytes"])) return val.attr("decode")("utf-8", py::arg("errors") = "replace");
  return val;
}

// {name: _json_safe(value)} for an attribute mapping, in its own order.
py::dict safe_attrs(py::handle attrs) {
  py::object safe = ns()["_json_safe"];
  py::dict result;
  for (py::handle item : py::iter(attrs.attr("items")())) {
    py::tuple pair = unpack(item, 2);
    result[pair[0]] = safe(pair[1]);
  }
  return result;
}

// Whether a window can be read straight from `ds`: a dataset of plain
// numbers with height and width, whose slices are arrays of its own shape.
bool sliceable(const py::module_& h5py, const py::object& ds) {
  if (!is_instance(ds, h5py.attr("Dataset"))) return false;
  py::object shape = ds.attr("shape"), dtype = ds.attr("dtype");
  return !shape.is_none() && py::len(shape) >= 2 && contains(py::str("biufc"), dtype.attr("kind")) &&
         py::len(dtype.attr("shape")) == 0;
}

// Where a dataset keeps rows, columns and bands (-1: none), and whether the
// bands move last on reading.
struct Axes {
  int rows = 0, columns = 1, bands = 2;
  bool moved() const { return bands >= 0 && bands != 2; }
  // numpy's transpose order that puts the bands last.
  py::tuple band_last() const { return py::make_tuple(rows, columns, bands); }
};

// The stored axes of a dataset of `ndim` axes whose bands are on `band_axis`
// (-1: as stored, the third axis when there is one).
Axes axes_of(size_t ndim, int band_axis) {
  if (band_axis < 0) return {0, 1, ndim >= 3 ? 2 : -1};
  Axes axes{-1, -1, band_axis};
  for (int axis = 0; axis < 3; ++axis) {
    if (axis == band_axis) continue;
    (axes.rows < 0 ? axes.rows : axes.columns) = axis;
  }
  return axes;
}

// What "_transposed" says of a move of the bands from `band_axis`.
const char* move_label(int band_axis) {
  return band_axis == 0 ? "CHW \u2192 HWC" : band_axis == 1 ? "HCW \u2192 HWC" : nullptr;
}

[[noreturn]] void refuse_band_axis(const py::object& shape) {
  raise(PyExc_ValueError, concat("--band-axis needs a dataset of three axes, got shape ", shape));
}

// The window (or all) of the kept bands (all for nullptr) of dataset `key`,
// band-last, read in blocks of rows.
py::object read_dataset(const py::str& file_path, const py::object& key, const Axes& axes,
                        const CropWindow* window, const BandList* kept) {
  py::object np = ns()["np"], data;
  with_context(py::module_::import("h5py").attr("File")(file_path, "r"), [&](py::object f) {
    py::object ds = f[key];
    py::list shape = ns()["list"](ds.attr("shape"));
    const size_t ndim = py::len(shape);
    const auto all = slice(py::none(), py::none());
    py::list source(ndim), dest(ndim);
    for (size_t axis = 0; axis < ndim; ++axis) {
      source[axis] = all;
      dest[axis] = all;
    }
    py::object first_row = py::int_(0), first_column = py::int_(0);
    if (window) {
      first_row = window->y;
      first_column = window->x;
      shape[axes.rows] = window->h;
      shape[axes.columns] = window->w;
    }
    source[axes.columns] = slice(first_column, first_column + shape[axes.columns]);
    if (kept && axes.bands >= 0) {
      py::list indexes;  // ascending, as the library's selections need
      for (std::int64_t band : *kept) indexes.append(band);
      source[axes.bands] = indexes;
      shape[axes.bands] = py::len(indexes);
    }
    data = array_to_fill(py::tuple(shape), ds.attr("dtype"));
    const auto rows = py::int_(shape[axes.rows]).cast<std::int64_t>();
    const auto row_bytes = rows ? py::int_(data.attr("nbytes")).cast<std::int64_t>() / rows : 0;
    py::object chunks = ds.attr("chunks");
    const std::int64_t chunk_rows =
        chunks.is_none() ? 1 : py::int_(chunks[py::int_(axes.rows)]).cast<std::int64_t>();
    read_row_blocks(file_path, rows, row_bytes, [&](std::int64_t first, std::int64_t count) {
      py::object start = py::int_(first), stop = py::int_(first + count);
      source[axes.rows] = slice(first_row + start, first_row + stop);
      dest[axes.rows] = slice(start, stop);
      ds.attr("read_direct")(data, py::arg("source_sel") = py::tuple(source), py::arg("dest_sel") = py::tuple(dest));
    }, py::int_(first_row).cast<std::int64_t>(), chunk_rows);
  });
  return axes.moved() ? np.attr("transpose")(data, axes.band_last()) : data;
}

// Band-first cubes (the first axis strictly the smallest) become band-last.
bool is_band_first(const py::object& shape) {
  if (py::len(shape) != 3) return false;
  py::tuple chw = unpack(shape, 3);
  return compare(chw[0], Py_LT, chw[1]) && compare(chw[0], Py_LT, chw[2]);
}

// The stored axis that holds the bands: the one asked for, or 0 for a
// cube the guess takes for band-first, else -1 (the axes as stored).
int stored_band_axis(const py::object& shape, int asked) {
  if (asked >= 0) {
    if (py::len(shape) != 3) refuse_band_axis(shape);
    return asked;
  }
  return is_band_first(shape) ? 0 : -1;
}

OpenedImage open_hdf5(py::object path_arg, const OpenOptions& options) {
  py::str path = require_str({"_load_hdf5", "path"}, path_arg);
  const Namespace& g = ns();
  g["_check_dep"]("h5py");
  py::module_ h5py = py::module_::import("h5py");

  DatasetPath target = split_dataset_specifier(path);
  py::str file_path = target.file;
  py::object dataset_key = target.key;

  // The library's own message for a directory spans two lines and a timestamp.
  if (truthy(os_path("isdir")(file_path))) {
    py::object error = g["IsADirectoryError"](EISDIR, g["os"].attr("strerror")(EISDIR), file_path);
    PyErr_SetObject(PyExc_IsADirectoryError, error.ptr());
    throw py::error_already_set();
  }
  require_regular_file(file_path);

  py::dict meta;
  py::object data, shape, dtype;  // data only when it had to be read whole here
  with_context(h5py.attr("File")(file_path, "r"), [&](py::object f) {
    // Only datasets are recorded; groups and committed datatypes are walked
    // past. The walk goes through hard links alone, never into another file.
    py::dict datasets;
    py::cpp_function visitor(
        [datasets, h5py](py::object name, py::object obj) {
          if (is_instance(obj, h5py.attr("Dataset"))) datasets[name] = shape_inside(obj);
        },
        py::name("_visitor"));
    f.attr("visititems")(visitor);

    py::dict available;
    for (py::handle item : py::iter(datasets.attr("items")())) {
      py::tuple pair = unpack(item, 2);
      // A null-dataspace or virtual dataset has no shape here; it is listed as None.
      available[pair[0]] = pair[1].is_none() ? py::object(py::none()) : g["list"](pair[1]);
    }
    meta["available_datasets"] = available;

    if (dataset_key.is_none()) {
      if (py::len(datasets) == 0) raise(PyExc_ValueError, concat("No datasets found in ", file_path));
      // Exact element counts: a fixed-width product could wrap for huge
      // (sparsely chunked) datasets and rank them as small.
      py::cpp_function element_count([datasets](py::object k) -> py::object {
        py::object shape = datasets[k];
        if (shape.is_none()) return py::int_(0);
        return ns()["np"].attr("prod")(shape, py::arg("dtype") = ns()["object"]);
      });
      dataset_key = g["max"](datasets, py::arg("key") = element_count);
    } else {
      // Looking the key up would already follow its links.
      if (const char* how = outside_link(h5py, f, dataset_key)) refuse_outside("Dataset", dataset_key, file_path, how);
      if (!contains(f, dataset_key)) {
        raise(PyExc_KeyError, concat("Dataset '", dataset_key, "' not found in ", file_path,
                                     ".\nAvailable datasets: ", g["list"](datasets.attr("keys")())));
      }
    }
    py::object ds = f[dataset_key];
    if (const char* how = outside_data(h5py, ds)) refuse_outside("Dataset", dataset_key, file_path, how);
    if (sliceable(h5py, ds)) {
      shape = ds.attr("shape");
      dtype = ds.attr("dtype");
    } else {
      data = ds[slice(py::none(), py::none())];
    }
    meta["dataset_used"] = dataset_key;

    py::dict ds_attrs = safe_attrs(ds.attr("attrs"));
    if (truthy(ds_attrs)) meta["dataset_attrs"] = ds_attrs;
    py::dict file_attrs = safe_attrs(f.attr("attrs"));
    if (truthy(file_attrs)) meta["file_attrs"] = file_attrs;
  });

  py::object stored_shape = data ? py::object(data.attr("shape")) : shape;
  const Axes axes = axes_of(py::len(stored_shape), stored_band_axis(stored_shape, options.band_axis));
  if (const char* label = axes.moved() ? move_label(axes.bands) : nullptr) meta["_transposed"] = label;
  meta["_source_format"] = "HDF5";
  meta["_source_file"] = os_path("abspath")(file_path);
  if (data) return already_read(axes.moved() ? g["np"].attr("transpose")(data, axes.band_last()) : data, meta);
  if (axes.moved()) {
    shape = py::make_tuple(shape[py::int_(axes.rows)], shape[py::int_(axes.columns)], shape[py::int_(axes.bands)]);
  }
  auto read = [file_path, dataset_key, axes](const CropWindow* window, const BandList* bands) {
    return read_dataset(file_path, dataset_key, axes, window, bands);
  };
  return {py::tuple(shape), dtype, meta, read};
}

}  // namespace

py::object move_band_axis(const py::object& data, py::object& meta, int band_axis) {
  py::object np = ns()["np"];
  py::object stored = data;
  py::str transposed("_transposed");
  if (compare(meta.attr("get")(transposed), Py_EQ, py::str(move_label(0))) &&
      compare(data.attr("ndim"), Py_EQ, py::int_(3))) {
    stored = np.attr("transpose")(data, py::make_tuple(2, 0, 1));  // back to band-first, as stored
  }
  if (!compare(stored.attr("ndim"), Py_EQ, py::int_(3))) refuse_band_axis(stored.attr("shape"));
  const Axes axes = axes_of(3, band_axis);
  meta.attr("pop")(transposed, py::none());
  if (!axes.moved()) return stored;
  // In the loader's place for it: before the source's two closing keys.
  py::list trailing;
  for (const char* key : {"_source_format", "_source_file"}) {
    if (contains(meta, py::str(key))) trailing.append(py::make_tuple(key, meta.attr("pop")(key)));
  }
  meta[transposed] = move_label(band_axis);
  for (py::handle item : trailing) meta[item[py::int_(0)]] = item[py::int_(1)];
  return np.attr("transpose")(stored, axes.band_last());
}

void register_hdf5(py::module_& m) {
  def_function(m, "_load_hdf5", "(path)",
               "Load an HDF5 file. Returns (data, metadata).\n\n"
               "    Auto-detects the main dataset (largest array) if no specific dataset\n"
               "    is specified via 'path.h5:/dataset_name' syntax.\n",
               [](py::object path) { return load_whole(open_hdf5, std::move(path)); }, py::arg("path"));
  remember_opener(m.attr("_load_hdf5"), open_hdf5);
  def_function(m, "_json_safe", "(val)", "Make HDF5 attribute values JSON-serializable.", &json_safe,
               py::arg("val"));
}

}  // namespace nivra::convert
