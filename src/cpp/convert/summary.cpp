// The closing report of a conversion.
#include "convert/convert.hpp"

namespace nivra::convert {

namespace {

constexpr const char* kFunction = "_print_summary";

py::object metadata_get(py::handle meta, const char* key, py::handle fallback) {
  return meta.attr("get")(key, fallback);
}

void print_image_section(const Namespace& g, py::handle data, py::handle meta) {
  py::object shape = data.attr("shape");
  print_line(g, concat("\n  ", colour("BOLD"), "Image", colour("RESET")));
  print_line(g, concat("    Format       : ", metadata_get(meta, "_source_format", py::str("unknown"))));
  print_line(g, concat("    Shape        : ", shape));
  print_line(g, concat("    Spatial size : ", shape[py::int_(0)], " x ", shape[py::int_(1)]));
  if (compare(data.attr("ndim"), Py_EQ, py::int_(3))) {
    print_line(g, concat("    Bands        : ", shape[py::int_(2)]));
  }
  print_line(g, concat("    Dtype        : ", data.attr("dtype")));
  py::object range = native_range(data);
  py::object lo = range.is_none() ? py::object(data.attr("min")()) : py::object(range[py::int_(0)]);
  py::object hi = range.is_none() ? py::object(data.attr("max")()) : py::object(range[py::int_(1)]);
  print_line(g, concat("    Value range  : [", format(lo, ".4g"), ", ", format(hi, ".4g"), "]"));
  py::object size_mb = py::object(data.attr("nbytes")) / py::int_(1048576);
  print_line(g, concat("    Size in memory: ", format(size_mb, ".1f"), " MB"));

  py::object wl = metadata_get(meta, "wavelength", py::none());
  if (truthy(wl)) {
    py::list wl_floats;
    for (py::handle v : py::iter(wl[slice(py::none(), py::int_(5))])) wl_floats.append(g["float"](v));
    py::ssize_t total = py::len(wl);
    py::str suffix = total > 5 ? concat(" ... (", py::int_(total), " total)") : py::str("");
    print_line(g, concat("    Wavelengths  : ", wl_floats, suffix));
  }
  py::object crs = metadata_get(meta, "crs", py::none());
  if (truthy(crs)) print_line(g, concat("    CRS          : ", crs));
}

py::object elementwise(py::handle a, py::handle b, int op) {
  PyObject* result = PyObject_RichCompare(a.ptr(), b.ptr(), op);
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

// Sorted classes and their pixel counts: natively in one pass where the
// dtype allows, else np.unique and one comparison per class. np.unique
// gives NaN as one class, which equals nothing: it counts the elements
// that differ from themselves.
std::pair<py::object, py::list> class_census(const Namespace& g, py::handle gt) {
  py::object native = native_census(gt);
  if (!native.is_none()) return {native[py::int_(0)], native[py::int_(1)]};
  py::object np = g["np"];
  py::object classes = np.attr("unique")(gt);
  py::list counts;
  for (py::handle c : py::iter(classes)) {
    const bool nan = truthy(elementwise(c, c, Py_NE));  // not compare(): it takes c to equal itself
    py::object members = nan ? elementwise(gt, gt, Py_NE) : elementwise(gt, c, Py_EQ);
    counts.append(g["int"](np.attr("sum")(members)));
  }
  return {classes, counts};
}

void print_census(const Namespace& g, py::handle gt) {
  auto [classes, counts] = class_census(g, gt);
  py::int_ zero(0);
  if (contains(classes, zero)) {
    py::ssize_t foreground = 0;
    for (py::handle c : py::iter(classes)) foreground += compare(c, Py_NE, zero);
    print_line(g, concat("    Classes      : ", py::int_(foreground), " (+ background 0)"));
  } else {
    print_line(g, concat("    Classes      : ", py::int_(py::len(classes))));
  }
  print_line(g, concat("    Class labels : ", classes.attr("tolist")()));
  print_line(g, concat("\n    ", colour("GRAY"), "Per-class pixel counts:", colour("RESET")));
  py::iterator count = py::iter(counts);
  for (py::handle c : py::iter(classes)) {
    py::str label = compare(c, Py_EQ, zero) ? py::str("background") : concat("class ", c);
    print_line(g, concat("      ", format(label, "<16"), ": ", format(*count, ">8,"), " px"));
    ++count;
  }
}

void print_summary(py::object data, py::object gt, py::object meta_arg, py::object gt_meta_arg,
                   py::object out_dir_arg, py::object elapsed_arg, py::object data_key_arg,
                   py::object gt_key_arg, py::object preview_arg) {
  py::dict meta = require_dict({kFunction, "meta"}, meta_arg);
  py::object gt_meta = require_dict_or_none({kFunction, "gt_meta"}, gt_meta_arg);
  py::str out_dir = require_str({kFunction, "out_dir"}, out_dir_arg);
  double seconds = PyFloat_AsDouble(elapsed_arg.ptr());
  if (seconds == -1.0 && PyErr_Occurred()) raise_failed_conversion({kFunction, "elapsed"}, "float", elapsed_arg);
  py::float_ elapsed(seconds);
  py::str data_key = require_str({kFunction, "data_key"}, data_key_arg);
  py::str gt_key = require_str({kFunction, "gt_key"}, gt_key_arg);
  // The bands preview.png shows, or None when there is none.
  py::object preview = preview_arg;
  if (!preview.is_none()) preview = require_list({kFunction, "preview"}, preview_arg);

  const Namespace& g = ns();
  py::str rule = concat(colour("BOLD"), colour("GREEN"), repeat("\u2550", 60), colour("RESET"));
  print_line(g, concat("\n", rule));
  print_line(g, concat("  ", colour("BOLD"), colour("GREEN"), "Conversion complete!", colour("RESET")));
  print_line(g, rule);

  print_image_section(g, data, meta);

  if (!gt.is_none()) {
    print_line(g, concat("\n  ", colour("BOLD"), "Ground Truth", colour("RESET")));
    print_line(g, concat("    Format       : ", metadata_get(gt_meta, "_source_format", py::str("unknown"))));
    print_line(g, concat("    Shape        : ", gt.attr("shape")));
    print_line(g, concat("    Dtype        : ", gt.attr("dtype")));
    print_census(g, gt);
  }

  print_line(g, concat("\n  ", colour("BOLD"), "Output", colour("RESET")));
  print_line(g, concat("    Directory    : ", os_path("abspath")(out_dir)));
  print_line(g, concat("    data.mat     : image data (key='", data_key, "')"));
  if (!gt.is_none()) print_line(g, concat("    gt.mat       : ground truth (key='", gt_key, "')"));
  print_line(g, py::str("    metadata.json: all preserved metadata"));
  if (!preview.is_none()) {
    py::str shown = py::len(preview) == 1 ? concat("band ", preview[py::int_(0)])
                                          : concat("bands ", py::str(", ").attr("join")(g["map"](g["str"], preview)));
    print_line(g, concat("    preview.png  : quick look (", shown, ")"));
  }
  print_line(g, concat("\n    ", colour("GRAY"), "Elapsed: ", format(elapsed, ".2f"), "s", colour("RESET")));
  print_line(g, concat(rule, "\n"));
}

}  // namespace

void register_summary(py::module_& m) {
  def_function(m, "_print_summary",
               "(data, gt, meta, gt_meta, out_dir, elapsed, data_key='data', gt_key='gt', preview=None)",
               "Print conversion summary with all relevant details.", &print_summary,
               py::arg("data"), py::arg("gt"), py::arg("meta"), py::arg("gt_meta"),
               py::arg("out_dir"), py::arg("elapsed"), py::arg("data_key") = "data",
               py::arg("gt_key") = "gt", py::arg("preview") = py::none());
}

}  // namespace nivra::convert
