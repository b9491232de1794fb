// Ground-truth label files: MATLAB, plain images, TIFF and ENVI.
#include "convert/convert.hpp"

namespace nivra::convert {

namespace {

bool one_of(const py::object& ext, std::initializer_list<const char*> choices) {
  for (const char* choice : choices) {
    if (ext.equal(py::str(choice))) return true;
  }
  return false;
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

// The label variable of a MAT file: the only one, else "gt", else
// "groundtruth", else the largest (first stored wins a tie).
py::object choose_mat_key(const Namespace& g, const py::dict& candidates) {
  if (py::len(candidates) == 1) {
    py::iterator first = py::iter(candidates);
    return py::reinterpret_borrow<py::object>(*first);
  }
  for (const char* name : {"gt", "groundtruth"}) {
    py::str key(name);
    if (contains(candidates, key)) return key;
  }
  py::cpp_function element_count([candidates](py::object k) {
    py::object np = ns()["np"];
    return np.attr("prod")(np.attr("asarray")(candidates[k]).attr("shape"));
  });
  return g["max"](candidates, py::arg("key") = element_count);
}

void load_mat(const Namespace& g, const py::str& path, py::object& gt, py::dict& meta) {
  py::object mat = g["sio"].attr("loadmat")(path);
  py::dict candidates;
  for (py::handle item : py::iter(mat.attr("items")())) {
    py::tuple pair = unpack(item, 2);
    if (!truthy(pair[0].attr("startswith")("_"))) candidates[pair[0]] = pair[1];
  }
  py::object key = choose_mat_key(g, candidates);
  gt = squeeze_labels(g["np"].attr("array")(candidates[key]));
  meta["mat_key"] = key;
  meta["_source_format"] = "MAT";
}

void load_image(const Namespace& g, const py::str& path, py::object& gt, py::dict& meta) {
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
  py::str path = require_str({"_load_gt", "path"}, path_arg);
  const Namespace& g = ns();
  py::object ext = os_path("splitext")(path)[py::int_(1)].attr("lower")();
  py::dict meta;
  meta["_source_file"] = os_path("abspath")(path);

  py::object gt;
  if (one_of(ext, {".mat"})) {
    load_mat(g, path, gt, meta);
  } else if (one_of(ext, {".png", ".jpg", ".jpeg", ".bmp"})) {
    load_image(g, path, gt, meta);
  } else if (one_of(ext, {".tif", ".tiff"})) {
    load_tiff(g, path, gt, meta);
  } else if (one_of(ext, {".hdr", ".img"})) {
    load_envi_labels(g, path, gt, meta);
  } else {
    raise(PyExc_ValueError, concat("Unsupported ground truth format: ", ext));
  }
  return py::make_tuple(gt, meta);
}

}  // namespace

void register_ground_truth(py::module_& m) {
  def_function(m, "_load_gt", "(path)",
               "Load a ground-truth file. Supports .mat, .png/.tif images, and ENVI.", &load_gt,
               py::arg("path"));
}

}  // namespace nivra::convert
