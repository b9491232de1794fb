// HDF5 and netCDF-4 images through h5py, and JSON-safe attribute values.
#include <cerrno>

#include "convert/loaders.hpp"

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

py::object band_last(const py::object& data) {
  return ns()["np"].attr("transpose")(data, py::make_tuple(1, 2, 0));
}

// The window (or all) of dataset `key`, band-last when `band_first`, read
// in blocks of rows (axis 1 of a band-first cube, else axis 0).
py::object read_dataset(const py::str& file_path, const py::object& key, bool band_first,
                        const CropWindow* window) {
  py::object np = ns()["np"], data;
  with_context(py::module_::import("h5py").attr("File")(file_path, "r"), [&](py::object f) {
    py::object ds = f[key];
    py::list shape = ns()["list"](ds.attr("shape"));
    const int row_axis = band_first ? 1 : 0;
    py::object first_row = py::int_(0), first_column = py::int_(0);
    if (window) {
      first_row = window->y;
      first_column = window->x;
      shape[row_axis] = window->h;
      shape[row_axis + 1] = window->w;
    }
    data = np.attr("empty")(py::tuple(shape), ds.attr("dtype"));
    const auto rows = py::int_(shape[row_axis]).cast<std::int64_t>();
    const auto row_bytes = rows ? py::int_(data.attr("nbytes")).cast<std::int64_t>() / rows : 0;
    const auto all = slice(py::none(), py::none());
    py::object chunks = ds.attr("chunks");
    const std::int64_t chunk_rows = chunks.is_none() ? 1 : py::int_(chunks[py::int_(row_axis)]).cast<std::int64_t>();
    read_row_blocks(file_path, rows, row_bytes, [&](std::int64_t first, std::int64_t count) {
      py::list source(py::len(shape)), dest(py::len(shape));
      for (size_t axis = 0; axis < py::len(shape); ++axis) {
        source[axis] = all;
        dest[axis] = all;
      }
      py::object start = py::int_(first), stop = py::int_(first + count);
      source[row_axis] = slice(first_row + start, first_row + stop);
      dest[row_axis] = slice(start, stop);
      source[row_axis + 1] = slice(first_column, first_column + shape[row_axis + 1]);
      ds.attr("read_direct")(data, py::arg("source_sel") = py::tuple(source), py::arg("dest_sel") = py::tuple(dest));
    }, py::int_(first_row).cast<std::int64_t>(), chunk_rows);
  });
  return band_first ? band_last(data) : data;
}

// Band-first cubes (the first axis strictly the smallest) become band-last.
bool is_band_first(const py::object& shape) {
  if (py::len(shape) != 3) return false;
  py::tuple chw = unpack(shape, 3);
  return compare(chw[0], Py_LT, chw[1]) && compare(chw[0], Py_LT, chw[2]);
}

OpenedImage open_hdf5(py::object path_arg) {
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

  py::dict meta;
  py::object data, shape, dtype;  // data only when it had to be read whole here
  with_context(h5py.attr("File")(file_path, "r"), [&](py::object f) {
    // Only datasets are recorded; groups and committed datatypes are walked past.
    py::dict datasets;
    py::cpp_function visitor(
        [datasets, h5py](py::object name, py::object obj) {
          if (is_instance(obj, h5py.attr("Dataset"))) datasets[name] = obj.attr("shape");
        },
        py::name("_visitor"));
    f.attr("visititems")(visitor);

    py::dict available;
    for (py::handle item : py::iter(datasets.attr("items")())) {
      py::tuple pair = unpack(item, 2);
      // A null-dataspace dataset has no shape; it is listed as None.
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
    } else if (!contains(f, dataset_key)) {
      raise(PyExc_KeyError, concat("Dataset '", dataset_key, "' not found in ", file_path,
                                   ".\nAvailable datasets: ", g["list"](datasets.attr("keys")())));
    }
    py::object ds = f[dataset_key];
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

  bool band_first = is_band_first(data ? py::object(data.attr("shape")) : shape);
  if (band_first) meta["_transposed"] = "CHW \u2192 HWC";
  meta["_source_format"] = "HDF5";
  meta["_source_file"] = os_path("abspath")(file_path);
  if (data) return already_read(band_first ? band_last(data) : data, meta);
  if (band_first) shape = py::make_tuple(shape[py::int_(1)], shape[py::int_(2)], shape[py::int_(0)]);
  return {py::tuple(shape), dtype, meta, [file_path, dataset_key, band_first](const CropWindow* window) {
            return read_dataset(file_path, dataset_key, band_first, window);
          }};
}

}  // namespace

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
