// The `nivra convert_to_mat` command: parse, load, crop, write, summarise.
#include "convert/convert.hpp"

#include <optional>
#include <utility>
#include <vector>

#include "convert/mat/variable_name.hpp"

namespace nivra::convert {

namespace {

py::object build_parser(const Namespace& g) {
  py::object parser = g["argparse"].attr("ArgumentParser")(
      py::arg("prog") = "nivra convert_to_mat",
      py::arg("description") = "Convert ENVI / TIFF / GeoTIFF / HDF5 to .mat format");
  py::object add = parser.attr("add_argument");
  add("--img", py::arg("required") = true,
      py::arg("help") = "Path to the image file (ENVI .hdr, .tif, .h5, etc.)");
  add("--gt", py::arg("default") = py::none(),
      py::arg("help") = "Path to ground-truth labels (optional: .mat, .png, .tif, .hdr)");
  add("--out-dir", py::arg("required") = true,
      py::arg("help") = "Output directory for .mat and metadata files");
  add("--crop", py::arg("type") = g["int"], py::arg("nargs") = 4,
      py::arg("metavar") = py::make_tuple("Y", "X", "H", "W"), py::arg("default") = py::none(),
      py::arg("help") = "Spatial crop: Y X Height Width (e.g. --crop 448 2560 512 512)");
  add("--data-key", py::arg("default") = "data",
      py::arg("help") = "Key name for image data in the output .mat (default: data)");
  add("--gt-key", py::arg("default") = "gt",
      py::arg("help") = "Key name for ground truth in the output .mat (default: gt)");
  add("--mat-version", py::arg("choices") = g["list"](py::make_tuple("7", "7.3")), py::arg("default") = "7",
      py::arg("help") = "MAT-file version of data.mat and gt.mat: 7 (read by scipy.io.loadmat, at most 4 GiB "
                        "per variable) or 7.3 (HDF5-based, no size limit)");
  return parser;
}

// MATLAB loads only variables named by an identifier: a letter, then
// letters, digits or underscores, at most 63 in all.
bool matlab_variable_name(const py::str& name) {
  const Py_ssize_t length = PyUnicode_GET_LENGTH(name.ptr());
  if (length == 0 || length > 63) return false;
  for (Py_ssize_t i = 0; i < length; ++i) {
    const Py_UCS4 c = PyUnicode_READ_CHAR(name.ptr(), i);
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (!letter && (i == 0 || !((c >= '0' && c <= '9') || c == '_'))) return false;
  }
  return true;
}

void check_variable_names(const py::object& parser, const py::object& args, bool version73) {
  for (auto [option, attribute] : {std::pair{"--data-key", "data_key"}, {"--gt-key", "gt_key"}}) {
    py::str name = str_of(args.attr(attribute));
    if (!storable_variable_name(name)) {
      parser.attr("error")(concat("argument ", option,
                                  ": must be a non-empty name of Latin-1 characters not starting with '_'"));
    }
    if (version73 && !matlab_variable_name(name)) {
      parser.attr("error")(concat("argument ", option,
                                  ": must be a MATLAB variable name (a letter, then letters, digits or "
                                  "underscores, at most 63 in all) with --mat-version 7.3"));
    }
  }
}

void remove_quietly(const py::object& os, const py::object& path) {
  try {
    os.attr("remove")(path);
  } catch (py::error_already_set&) {
    // already gone, or the directory itself went away
  }
}

// Writes through `write(file, temporary)` into a hidden temporary file beside
// `path` (given by name too, for writers that open it themselves), synced
// to disk, and returns its name; a failed write leaves nothing behind.
py::object write_hidden(const Namespace& g, const py::object& path, const char* mode,
                        const std::function<void(py::object file, py::object temporary)>& write) {
  py::object os = g["os"];
  py::object directory = os_path("dirname")(path);
  py::object flags = os.attr("O_WRONLY") | os.attr("O_CREAT") | os.attr("O_EXCL");
  py::object temporary, fd;
  for (int attempt = 0; !fd; ++attempt) {
    temporary = os_path("join")(directory, concat(".", os_path("basename")(path), ".",
                                                  os.attr("getpid")(), ".",
                                                  os.attr("urandom")(6).attr("hex")(), ".tmp"));
    try {
      fd = os.attr("open")(temporary, flags, 0666);
    } catch (py::error_already_set& error) {
      if (error.matches(PyExc_FileExistsError) && attempt < 100) continue;
      // name the file asked for, not the temporary the user never sees
      if (error.matches(PyExc_OSError)) error.value().attr("filename") = path;
      throw;
    }
  }
  try {
    py::object file;
    try {
      file = os.attr("fdopen")(fd, mode);
    } catch (...) {
      os.attr("close")(fd);
      throw;
    }
    with_context(file, [&](py::object f) {
      write(f, temporary);
      f.attr("flush")();
      os.attr("fsync")(f.attr("fileno")());
    });
  } catch (...) {
    remove_quietly(os, temporary);
    throw;
  }
  return temporary;
}

py::object write_mat(const Namespace& g, const py::object& path, const py::object& key,
                     const py::object& array, bool version73) {
  return write_hidden(g, path, "wb", [&](py::object f, py::object temporary) {
    if (version73) return write_mat73(f, temporary, key, array, os_path("basename")(path));
    py::object savemat = g["sio"].attr("savemat");
    if (is_scipy_savemat(savemat) && write_mat_natively(f, key, array, os_path("basename")(path))) return;
    py::dict variables;
    variables[key] = array;
    savemat(f, variables, py::arg("do_compression") = true);
  });
}

py::str size_mb(const py::object& path) {
  return format(os_path("getsize")(path) / py::int_(1048576), ".1f");
}

// Arrays without height and width would be written and then fail in the
// summary; refuse them before anything is written.
void require_spatial_axes(const char* what, const py::object& shape) {
  if (py::len(shape) < 2) {
    raise(PyExc_ValueError,
          concat(what, " must have at least two dimensions (height, width), got shape ", shape));
  }
}

// An image without values would be written and then fail in the summary's
// value range; refuse it before anything is written.
void require_values(const py::object& shape) {
  for (py::handle extent : py::iter(shape)) {
    if (compare(extent, Py_EQ, py::int_(0))) {
      raise(PyExc_ValueError, concat("Image holds no values, got shape ", shape));
    }
  }
}

// Arrays whose element kind (numpy's dtype.kind) is not among `kinds` would
// be written and then fail in the summary; refuse them before anything is written.
void require_kind(const py::object& dtype, const char* kinds, const char* what) {
  if (!contains(py::str(kinds), dtype.attr("kind"))) {
    raise(PyExc_ValueError, concat(what, ", got dtype ", dtype));
  }
}

// The value range needs numbers (complex ones included); labels are class
// numbers for the census.
void require_numeric_values(const py::object& dtype) {
  require_kind(dtype, "biufc", "Image must hold numeric values");
}
void require_numeric_labels(const py::object& gt) {
  require_kind(gt.attr("dtype"), "biuf", "Ground truth must hold numeric class labels");
}

py::object first_two(const py::object& shape) { return shape[slice(py::none(), py::int_(2))]; }

void main() {
  const Namespace& g = ns();
  py::object parser = build_parser(g);
  py::object args = parser.attr("parse_args")();
  const bool version73 = py::str(args.attr("mat_version")).equal(py::str("7.3"));
  check_variable_names(parser, args, version73);
  if (version73) g["_check_dep"]("h5py");
  py::object t0 = g["time"].attr("time")();
  py::object img = args.attr("img"), gt_arg = args.attr("gt"), crop = args.attr("crop");
  py::object out_dir = args.attr("out_dir");
  py::object data_key = args.attr("data_key"), gt_key = args.attr("gt_key");
  py::object bold = g["BOLD"], reset = g["RESET"];
  auto check_mark = [&] { return concat("  ", g["GREEN"], "\u2713", g["RESET"]); };

  print_line(g, concat("\n  ", bold, "Loading image:", reset, " ", img));
  py::object fmt = g["_detect_format"](img);
  print_line(g, concat("  ", g["GRAY"], "Detected format: ", fmt.attr("upper")(), reset));
  // The module's own loader opens the image and reads only what is
  // converted, once the checks have passed; any other is called as it is.
  py::object loader = g["_LOADERS"][fmt];
  Opener open = opener_of(loader);
  if (!crop.is_none() && !apply_crop_is_original()) open = nullptr;
  std::optional<OpenedImage> opened;
  py::object data, meta, shape, dtype;
  if (open) {
    opened = open(img);
    meta = opened->meta;
    shape = opened->shape;
    dtype = opened->dtype;
  } else {
    py::tuple loaded = unpack(loader(img), 2);
    data = loaded[0];
    meta = loaded[1];
    shape = data.attr("shape");
    dtype = data.attr("dtype");
  }
  print_line(g, concat(check_mark(), " Loaded: shape=", shape, " dtype=", dtype));
  require_spatial_axes("Image", shape);
  require_values(shape);
  require_numeric_values(dtype);

  py::object gt = py::none(), gt_meta = py::none();
  if (!gt_arg.is_none()) {
    print_line(g, concat("\n  ", bold, "Loading ground truth:", reset, " ", gt_arg));
    py::tuple labels = unpack(g["_load_gt"](gt_arg), 2);
    gt = labels[0];
    gt_meta = labels[1];
    print_line(g, concat(check_mark(), " Loaded: shape=", gt.attr("shape"), " dtype=", gt.attr("dtype")));
    require_spatial_axes("Ground truth", gt.attr("shape"));
    require_numeric_labels(gt);
    py::object gt_size = first_two(gt.attr("shape")), data_size = first_two(shape);
    if (compare(gt_size, Py_NE, data_size)) {
      print_line(g, concat("  ", g["YELLOW"], "\u26a0 Spatial mismatch: image=", data_size, ", gt=", gt_size,
                      reset));
    }
  }

  std::optional<CropWindow> window;
  if (!crop.is_none()) {
    py::tuple values = unpack(crop, 4);
    print_line(g, concat("\n  ", bold, "Cropping:", reset, " y=", values[0], " x=", values[1],
                    " h=", values[2], " w=", values[3]));
    if (opened) {
      window = check_crop_window(g["tuple"](crop), shape);
      if (!gt.is_none()) gt = cut_window(gt, *window);
      shape = window_shape(*window, shape);
    } else {
      py::tuple cropped = unpack(g["_apply_crop"](data, gt, g["tuple"](crop)), 2);
      data = cropped[0];
      gt = cropped[1];
      shape = data.attr("shape");
    }
    py::dict record;
    record["y"] = values[0];
    record["x"] = values[1];
    record["height"] = values[2];
    record["width"] = values[3];
    meta[py::str("crop")] = record;
    print_line(g, concat(check_mark(), " Cropped to: ", shape));
  }

  if (!version73) {
    require_storable_size(data_key, shape, dtype);
    if (!gt.is_none()) require_storable_size(gt_key, gt.attr("shape"), gt.attr("dtype"));
  }
  if (opened) data = opened->read(window ? &*window : nullptr);

  g["os"].attr("makedirs")(out_dir, py::arg("exist_ok") = true);
  // Each output goes to a hidden temporary first; the earlier outputs are
  // replaced only once all new ones are complete, so a failed run leaves
  // the earlier set as it was and never a truncated file under a final name.
  std::vector<std::pair<py::object, py::object>> staged;  // temporary, final path
  size_t replaced = 0;
  try {
    py::object data_path = os_path("join")(out_dir, "data.mat");
    print_line(g, concat("\n  ", bold, "Saving:", reset, " ", data_path));
    staged.emplace_back(write_mat(g, data_path, data_key, data, version73), data_path);
    print_line(g, concat(check_mark(), " data.mat (", size_mb(staged.back().first), " MB)"));
    if (!gt.is_none()) {
      py::object gt_path = os_path("join")(out_dir, "gt.mat");
      staged.emplace_back(write_mat(g, gt_path, gt_key, gt, version73), gt_path);
      print_line(g, concat(check_mark(), " gt.mat (", size_mb(staged.back().first), " MB)"));
    }

    py::dict conversion;
    conversion["output_data_key"] = data_key;
    conversion["output_data_shape"] = g["list"](data.attr("shape"));
    conversion["output_data_dtype"] = str_of(data.attr("dtype"));
    py::dict combined_meta;
    combined_meta["image"] = meta;
    combined_meta["conversion"] = conversion;
    if (!gt.is_none() && !gt_meta.is_none()) {
      combined_meta["ground_truth"] = gt_meta;
      conversion["output_gt_key"] = gt_key;
      conversion["output_gt_shape"] = g["list"](gt.attr("shape"));
      conversion["output_gt_dtype"] = str_of(gt.attr("dtype"));
    }
    if (version73) conversion["output_mat_version"] = "7.3";
    py::object meta_path = os_path("join")(out_dir, "metadata.json");
    staged.emplace_back(write_hidden(g, meta_path, "w", [&](py::object f, py::object) {
      g["json"].attr("dump")(combined_meta, f, py::arg("indent") = 2, py::arg("default") = g["str"]);
    }), meta_path);
    print_line(g, concat(check_mark(), " metadata.json"));

    for (; replaced < staged.size(); ++replaced) {
      g["os"].attr("replace")(staged[replaced].first, staged[replaced].second);
    }
  } catch (...) {
    for (size_t i = replaced; i < staged.size(); ++i) remove_quietly(g["os"], staged[i].first);
    throw;
  }

  py::object elapsed = g["time"].attr("time")() - t0;
  g["_print_summary"](data, gt, meta, gt_meta, out_dir, elapsed, py::arg("data_key") = data_key,
                      py::arg("gt_key") = gt_key);
}

}  // namespace

void register_driver(py::module_& m) { def_function(m, "main", "()", nullptr, &main); }

}  // namespace nivra::convert
