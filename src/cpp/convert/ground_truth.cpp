// Ground-truth label files: MATLAB, plain images, TIFF and ENVI.
#include "convert/hdf5_outside.hpp"
#include "convert/loaders.hpp"
#include "convert/signature.hpp"

namespace nivra::convert {

namespace {

bool one_of(const py::object& ext, std::initializer_list<const char*> choices) {
  for (const char* choice : choices) {
    if (ext.equal(py::str(choice))) return true;
  }
  return false;
}

enum class LabelFormat { mat, picture, tiff, envi, unsupported };

// The reader a label file gets, from its extension alone.
LabelFormat label_format(const py::object& ext) {
  if (one_of(ext, {".mat"})) return LabelFormat::mat;
  if (one_of(ext, {".png", ".jpg", ".jpeg", ".bmp"})) return LabelFormat::picture;
  if (one_of(ext, {".tif", ".tiff"})) return LabelFormat::tiff;
  if (one_of(ext, {".hdr", ".img"})) return LabelFormat::envi;
  return LabelFormat::unsupported;
}

py::object extension_of(const py::object& path) {
  return os_path("splitext")(path)[py::int_(1)].attr("lower")();
}

// Removes length-1 axes, as squeeze() does, except that a one-row or
// one-column label image keeps both spatial axes.
py::object squeeze_labels(const py::object& labels) {
  py::object squeezed = labels.attr("squeeze")();
  if (compare(squeezed.attr("ndim"), Py_GE, py::int_(2)) || compare(labels.attr("ndim"), Py_LT, py::int_(2))) {
    return squeezed;
  }
  py::tuple shape = labels.attr("shape");
  py::list band_axes;
  for (Py_ssize_t i = 2; i < static_cast<Py_ssize_t>(shape.size()); ++i) {
    if (compare(shape[i], Py_EQ, py::int_(1))) band_axes.append(i);
  }
  return labels.attr("squeeze")(py::arg("axis") = py::tuple(band_axes));
}

// A MAT file's label variable as the path names it, after "::" or ":/"
// as an image path names its dataset; None when the path names none.
struct LabelPath {
  py::str file;
  py::object variable;
};

LabelPath split_variable(const py::str& path) {
  DatasetPath split = split_dataset_specifier(path);
  if (split.key.is_none() || !truthy(split.file.attr("lower")().attr("endswith")(".mat"))) {
    return {path, py::none()};
  }
  py::str name = split.key;
  if (truthy(name.attr("startswith")("/"))) name = name[slice(py::int_(1), py::none())];
  return {split.file, name};
}

// The label variable of a MAT file: the one named in its path, else the only
// one, else "gt", else "groundtruth", else the one of most elements (first
// stored wins a tie).
py::object choose_mat_key(const Namespace& g, const LabelPath& target, const py::dict& candidates,
                          const std::function<py::object(py::handle)>& element_count) {
  if (!target.variable.is_none()) {
    if (!contains(candidates, target.variable)) {
      raise(PyExc_KeyError, concat("MAT variable '", target.variable, "' not found in ", target.file,
                                   ".\nAvailable variables: ", g["list"](candidates)));
    }
    return target.variable;
  }
  if (py::len(candidates) == 0) raise(PyExc_ValueError, concat("No variables found in ", target.file));
  if (py::len(candidates) == 1) {
    py::iterator first = py::iter(candidates);
    return py::reinterpret_borrow<py::object>(*first);
  }
  for (const char* name : {"gt", "groundtruth"}) {
    py::str key(name);
    if (contains(candidates, key)) return key;
  }
  py::cpp_function count_of([candidates, element_count](py::object k) { return element_count(candidates[k]); });
  return g["max"](candidates, py::arg("key") = count_of);
}

// ---- version 7.3: HDF5 behind the MATLAB header ----------------------------

bool has_attr(const py::handle& var, const char* name) { return contains(var.attr("attrs"), py::str(name)); }

// The MATLAB_class attribute as str, or None: h5py gives a fixed-length
// string as bytes (or numpy bytes_, or a one-element array), a
// variable-length one as str.
py::object matlab_class_attr(const py::handle& var) {
  if (!has_attr(var, "MATLAB_class")) return py::none();
  const Namespace& g = ns();
  py::object value = var.attr("attrs")[py::str("MATLAB_class")];
  if (is_instance(value, g["np"].attr("ndarray")) && compare(value.attr("size"), Py_EQ, py::int_(1))) {
    value = value.attr("item")();
  }
  if (is_instance(value, g["bytes"])) return value.attr("decode")("utf-8", py::arg("errors") = "replace");
  return str_of(value);
}

bool is_plain_number(const py::object& dtype, const char* kinds) {
  return contains(py::str(kinds), dtype.attr("kind")) && py::len(dtype.attr("shape")) == 0;
}

// MATLAB's complex layout: a compound of "real" and "imag", in that order.
bool is_real_imag(const py::object& dtype) {
  py::object names = dtype.attr("names");
  if (names.is_none() || !names.equal(py::make_tuple("real", "imag"))) return false;
  for (const char* field : {"real", "imag"}) {
    if (!is_plain_number(dtype[py::str(field)], "iuf")) return false;
  }
  return true;
}

// The element type of an empty variable of MATLAB class `cls` (None: double).
py::str element_type_of(const py::object& cls) {
  if (cls.is_none() || cls.equal(py::str("double"))) return py::str("float64");
  if (cls.equal(py::str("single"))) return py::str("float32");
  if (cls.equal(py::str("logical"))) return py::str("uint8");
  return cls;  // int8 ... uint64 read the same in numpy
}

// Whether `var` is a dataset of numbers, of a numeric or the logical class
// (of any class where it names none).
bool is_numeric(const py::module_& h5py, const py::handle& var, const py::object& cls) {
  if (!is_instance(var, h5py.attr("Dataset")) || var.attr("shape").is_none()) return false;
  py::object dtype = var.attr("dtype");
  if (!is_plain_number(dtype, "biuf") && !is_real_imag(dtype)) return false;
  if (cls.is_none()) return true;
  for (const char* name : {"double", "single", "int8", "uint8", "int16", "uint16", "int32", "uint32",
                           "int64", "uint64", "logical"}) {
    if (cls.equal(py::str(name))) return true;
  }
  return false;
}

// A dataset counts its elements (none when MATLAB marks it empty); a group
// (struct, sparse matrix, object) counts one.
py::object mat73_element_count(const py::module_& h5py, py::handle var) {
  if (!is_instance(var, h5py.attr("Dataset"))) return py::int_(1);
  py::object shape = shape_inside(py::reinterpret_borrow<py::object>(var));
  if (shape.is_none() || has_attr(var, "MATLAB_empty")) return py::int_(0);
  const Namespace& g = ns();
  return g["np"].attr("prod")(shape, py::arg("dtype") = g["object"]);
}

// A numeric variable as loadmat gives one: MATLAB's axis order, native byte
// order, logical as uint8, real/imag as complex, empty of its recorded shape.
py::object read_mat73_variable(const py::module_& h5py, const py::str& path, const py::object& key,
                               const py::object& var) {
  if (const char* how = outside_data(h5py, var)) refuse_outside("MAT variable", key, path, how);
  const Namespace& g = ns();
  py::object np = g["np"];
  py::object cls = matlab_class_attr(var);
  if (!is_numeric(h5py, var, cls)) {
    if (cls.is_none()) cls = py::str("unknown");
    if (has_attr(var, "MATLAB_sparse")) cls = concat("sparse ", cls);
    raise(PyExc_ValueError, concat("MAT variable '", key, "' is not a numeric array (MATLAB class ", cls, ")"));
  }
  if (has_attr(var, "MATLAB_empty")) {
    // Holds the shape, in MATLAB's order, instead of the elements.
    py::object shape = g["tuple"](np.attr("asarray")(var[py::tuple()]).attr("ravel")().attr("tolist")());
    return np.attr("zeros")(shape, element_type_of(cls));
  }
  py::object data = np.attr("asarray")(var[py::ellipsis()]), dtype = data.attr("dtype");
  if (is_real_imag(dtype)) {
    py::object real = data[py::str("real")];
    py::object joined = real.attr("astype")(np.attr("result_type")(real.attr("dtype"), np.attr("complex64")));
    joined.attr("imag") = data[py::str("imag")];
    data = joined;
  } else if (cls.equal(py::str("logical"))) {
    data = data.attr("astype")(np.attr("uint8"));
  } else if (!truthy(dtype.attr("isnative"))) {
    data = data.attr("astype")(dtype.attr("newbyteorder")("="));
  }
  return data.attr("transpose")();
}

// The variables of a 7.3 file: its top-level hard links, but for names
// starting with "_" or "#" ("#refs#" and "#subsystem#" hold what variables
// refer to). Soft and external links are never opened.
py::dict mat73_candidates(const py::module_& h5py, const py::object& f) {
  py::dict candidates;
  for (py::handle name : py::iter(f)) {
    if (truthy(name.attr("startswith")(py::make_tuple("_", "#")))) continue;
    if (is_instance(f.attr("get")(name, py::arg("getlink") = true), h5py.attr("HardLink"))) {
      candidates[name] = f[name];
    }
  }
  return candidates;
}

py::object choose_mat73_key(const py::module_& h5py, const LabelPath& target, const py::dict& candidates) {
  return choose_mat_key(ns(), target, candidates,
                        [h5py](py::handle var) { return mat73_element_count(h5py, var); });
}

// Reads the label variable of a version 7.3 file into `gt`; returns its name.
py::object load_mat73(const Namespace& g, const LabelPath& target, py::object& gt) {
  g["_check_dep"]("h5py");
  py::module_ h5py = py::module_::import("h5py");
  py::object key;
  with_context(h5py.attr("File")(target.file, "r"), [&](py::object f) {
    // a named variable is looked up by its links: none may lead into another file
    if (!target.variable.is_none()) {
      const char* how = outside_link(h5py, f, target.variable);
      if (how) refuse_outside("MAT variable", target.variable, target.file, how);
    }
    py::dict candidates = mat73_candidates(h5py, f);
    key = choose_mat73_key(h5py, target, candidates);
    gt = squeeze_labels(read_mat73_variable(h5py, target.file, key, candidates[key]));
  });
  return key;
}

void load_mat(const Namespace& g, const LabelPath& target, py::object& gt, py::dict& meta) {
  py::object mat, key;  // mat stays null when loadmat refuses a version 7.3 file
  try {
    mat = g["sio"].attr("loadmat")(target.file);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_NotImplementedError)) throw;
  }
  if (mat) {
    py::dict candidates;
    for (py::handle item : py::iter(mat.attr("items")())) {
      py::tuple pair = unpack(item, 2);
      if (!truthy(pair[0].attr("startswith")("_"))) candidates[pair[0]] = pair[1];
    }
    key = choose_mat_key(g, target, candidates, [](py::handle value) {
      py::object np = ns()["np"];
      return np.attr("prod")(np.attr("asarray")(value).attr("shape"));
    });
    gt = squeeze_labels(g["np"].attr("array")(candidates[key]));
  } else {
    key = load_mat73(g, target, gt);
  }
  meta["mat_key"] = key;
  meta["_source_format"] = "MAT";
}

void load_image(const Namespace& g, const py::str& path, py::object& gt, py::dict& meta) {
  require_picture(path);
  py::module_ image = py::module_::import("PIL.Image");
  with_context(image.attr("open")(path), [&](py::object img) { gt = g["np"].attr("array")(img); });
  meta["_source_format"] = "image";
  if (compare(gt.attr("ndim"), Py_EQ, py::int_(3))) {
    meta["_note"] =
        "Ground truth loaded as RGB image. You may need to map RGB values to class labels manually.";
  }
}

void load_tiff(const Namespace& g, const py::str& path, py::object& gt, py::dict& meta) {
  g["_check_dep"]("rasterio");
  py::module_ rasterio = py::module_::import("rasterio");
  require_tiff(path);
  with_context(rasterio.attr("open")(path), [&](py::object src) {
    gt = src.attr("read")(1);
    py::object crs = src.attr("crs");
    if (!crs.is_none()) meta["crs"] = crs.attr("to_string")();
  });
  meta["_source_format"] = "GeoTIFF";
}

void load_envi_labels(const Namespace& g, const py::str& path, py::object& gt, py::dict& meta) {
  py::tuple loaded = unpack(g["_load_envi"](path), 2);
  gt = squeeze_labels(loaded[0]);
  meta.attr("update")(loaded[1]);
}

py::tuple load_gt(py::object path_arg) {
  const LabelPath target = split_variable(require_str({"_load_gt", "path"}, path_arg));
  const py::str& path = target.file;
  const Namespace& g = ns();
  require_regular_file(path);
  py::object ext = extension_of(path);
  py::dict meta;
  meta["_source_file"] = os_path("abspath")(path);

  py::object gt;
  switch (label_format(ext)) {
    case LabelFormat::mat: load_mat(g, target, gt, meta); break;
    case LabelFormat::picture: load_image(g, path, gt, meta); break;
    case LabelFormat::tiff: load_tiff(g, path, gt, meta); break;
    case LabelFormat::envi: load_envi_labels(g, path, gt, meta); break;
    case LabelFormat::unsupported: raise(PyExc_ValueError, concat("Unsupported ground truth format: ", ext));
  }
  return py::make_tuple(gt, meta);
}

// ---- what the headers declare ----------------------------------------------

// Labels may declare at most this many values per image pixel.
constexpr int kMaxValuesPerPixel = 16;
// An empty 7.3 variable holds its shape, one value per axis; one that holds
// more than numpy allows axes is counted as the values it holds.
constexpr int kMaxAxes = 64;

py::object product(const py::object& shape) {
  py::object values = py::int_(1);
  for (py::handle extent : py::iter(shape)) values = values * extent;
  return values;
}

py::object declared_mat73(const LabelPath& target) {
  py::module_ h5py = py::module_::import("h5py");
  py::object values = py::none();
  with_context(h5py.attr("File")(target.file, "r"), [&](py::object f) {
    py::dict candidates = mat73_candidates(h5py, f);
    py::object var = candidates[choose_mat73_key(h5py, target, candidates)];
    // the loader refuses what is kept elsewhere, before reading it
    if (!is_instance(var, h5py.attr("Dataset")) || outside_data(h5py, var)) return;
    py::object shape = var.attr("shape");
    if (shape.is_none()) return;
    values = product(shape);
    if (has_attr(var, "MATLAB_empty") && compare(values, Py_LE, py::int_(kMaxAxes))) {
      values = product(ns()["np"].attr("asarray")(var[py::tuple()]).attr("ravel")().attr("tolist")());
    }
  });
  return values;
}

py::object declared_mat(const Namespace& g, const LabelPath& target) {
  py::object listing;
  try {
    listing = g["sio"].attr("whosmat")(target.file);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_NotImplementedError)) throw;
    return declared_mat73(target);
  }
  py::dict candidates;  // name -> values, as loading would choose among them
  for (py::handle entry : py::iter(listing)) {
    py::tuple variable = unpack(entry, 3);
    if (!truthy(variable[0].attr("startswith")("_"))) candidates[variable[0]] = product(variable[1]);
  }
  return candidates[choose_mat_key(g, target, candidates, [](py::handle values) {
    return py::reinterpret_borrow<py::object>(values);
  })];
}

py::object declared_picture(const py::str& path) {
  py::module_ image = py::module_::import("PIL.Image");
  py::object values;
  with_context(image.attr("open")(path), [&](py::object img) {
    py::tuple size = unpack(img.attr("size"), 2);
    values = size[0] * size[1] * py::int_(py::len(img.attr("getbands")()));
  });
  return values;
}

py::object declared_tiff(const py::str& path) {
  py::module_ rasterio = py::module_::import("rasterio");
  py::object values;
  with_context(rasterio.attr("open")(path), [&](py::object src) { values = src.attr("width") * src.attr("height"); });
  return values;
}

// The number of values the label file's headers declare, or None where
// they cannot be read (the loader then reports the file itself). The
// content checks come first, as in the loader: no library sees a file
// that is not what its name says.
py::object declared_values(const Namespace& g, const LabelPath& target) {
  const py::str& path = target.file;
  LabelFormat format = label_format(extension_of(path));
  if (format == LabelFormat::tiff) {
    g["_check_dep"]("rasterio");
    require_tiff(path);
  } else if (format == LabelFormat::picture) {
    require_picture(path);
  }
  try {
    switch (format) {
      case LabelFormat::mat: return declared_mat(g, target);
      case LabelFormat::picture: return declared_picture(path);
      case LabelFormat::tiff: return declared_tiff(path);
      case LabelFormat::envi:  // its data file must already hold what the header says
      case LabelFormat::unsupported: return py::none();
    }
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_Exception)) throw;  // an interrupt stops the run
  }
  return py::none();
}

}  // namespace

void check_labels_before_reading(const py::object& path_arg, const py::object& image_shape) {
  if (!py::isinstance<py::str>(path_arg)) return;  // the loader names the type
  const LabelPath target = split_variable(py::reinterpret_borrow<py::str>(path_arg));
  require_regular_file(target.file);
  py::object values = declared_values(ns(), target);
  if (values.is_none()) return;
  py::object height = image_shape[py::int_(0)], width = image_shape[py::int_(1)];
  if (compare(values, Py_GT, py::int_(kMaxValuesPerPixel) * height * width)) {
    raise(PyExc_ValueError, concat("Ground truth ", target.file, " declares ", values, " values, more than ",
                                   py::int_(kMaxValuesPerPixel), " times the image's ", height, "x", width,
                                   " pixels; it is not read"));
  }
}

py::str label_file(const py::str& path) { return split_variable(path).file; }

void register_ground_truth(py::module_& m) {
  def_function(m, "_load_gt", "(path)",
               "Load a ground-truth file. Supports .mat, .png/.tif images, and ENVI.", &load_gt,
               py::arg("path"));
}

}  // namespace nivra::convert
