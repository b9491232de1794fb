// The `nivra convert_to_mat` command: parse, load, crop, write, summarise.
#include "convert/grid.hpp"
#include "convert/loaders.hpp"
#include "convert/preview.hpp"
#include "convert/writers.hpp"

#include <cerrno>
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
  add("--gt-colors", py::arg("action") = "store_true",
      py::arg("help") = "the labels are a colour image: each colour becomes a class id (black is 0, the others "
                        "1, 2, ... in RGB order)");
  add("--bands", py::arg("metavar") = "SPEC", py::arg("default") = py::none(),
      py::arg("help") = "keep only these bands: indices N or A-B (0-based), wavelength ranges A-Bnm, or 'bad' "
                        "(ENVI bbl = 0), comma-separated");
  add("--drop-bands", py::arg("metavar") = "SPEC", py::arg("default") = py::none(),
      py::arg("help") = "drop these bands (the same forms as --bands), e.g. bad,1340-1450nm,1790-1960nm");
  add("--band-axis", py::arg("type") = g["int"], py::arg("choices") = g["list"](py::make_tuple(0, 1, 2)),
      py::arg("default") = py::none(),
      py::arg("help") = "HDF5 images only: the stored axis that holds the bands, instead of the guess");
  add("--preview", py::arg("action") = "store_true",
      py::arg("help") = "also write preview.png: a false-colour quick look of the image, with the labels beside it");
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

// A hidden name beside `path` for this process: ".<name>.<pid>.<12 hex
// digits><suffix>", which the stale-temporary sweep can tell by its pid.
py::object hidden_name(const Namespace& g, const py::object& path, const char* suffix) {
  py::object os = g["os"];
  return os_path("join")(os_path("dirname")(path), concat(".", os_path("basename")(path), ".", os.attr("getpid")(),
                                                          ".", os.attr("urandom")(6).attr("hex")(), suffix));
}

// Writes through `write(file, temporary)` into a hidden temporary file beside
// `path` (given by name too, for writers that open it themselves), synced
// to disk, and returns its name; a failed write leaves nothing behind.
py::object write_hidden(const Namespace& g, const py::object& path, const char* mode,
                        const std::function<void(py::object file, py::object temporary)>& write) {
  py::object os = g["os"];
  py::object flags = os.attr("O_WRONLY") | os.attr("O_CREAT") | os.attr("O_EXCL");
  py::object temporary, fd;
  for (int attempt = 0; !fd; ++attempt) {
    temporary = hidden_name(g, path, ".tmp");
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

py::str check_mark() { return concat("  ", colour("GREEN"), "\u2713", colour("RESET")); }
py::str heading(const char* title, const py::object& rest) {
  return concat("\n  ", colour("BOLD"), title, colour("RESET"), " ", rest);
}

// One conversion as it passes from step to step.
struct Run {
  py::object args;
  bool version73 = false;
  py::object started;  // time.time() once the command line is parsed
  // The image: `opened` while its pixels are still to be read, else `data`.
  std::optional<OpenedImage> opened;
  py::object data, meta, shape, dtype;
  py::object header = py::none();  // the source's fields beyond the metadata, when the module read it
  py::object gt = py::none(), gt_meta = py::none();
  // The bands read, when --bands or --drop-bands leave out some.
  std::optional<BandList> bands;
  std::optional<CropWindow> window;
  std::optional<BandList> preview;  // the bands preview.png shows, with --preview
};

// The outputs written under hidden temporary names, in writing order, each
// with the final path it is renamed to once all are complete.
using Staged = std::vector<std::pair<py::object, py::object>>;

void discard(const Namespace& g, const Staged& staged, size_t from) {
  for (size_t i = from; i < staged.size(); ++i) remove_quietly(g["os"], staged[i].first);
}

Run parse(const Namespace& g) {
  Run run;
  py::object parser = build_parser(g);
  run.args = parser.attr("parse_args")();
  run.version73 = py::str(run.args.attr("mat_version")).equal(py::str("7.3"));
  check_variable_names(parser, run.args, run.version73);
  if (run.version73) g["_check_dep"]("h5py");
  if (truthy(run.args.attr("preview"))) g["_check_dep"]("PIL");
  run.started = g["time"].attr("time")();
  return run;
}

// Opens the image; the module's own loader reads only what is converted,
// later, once the checks have passed, and any other is called as it is.
void load_image(const Namespace& g, Run& run) {
  py::object img = run.args.attr("img");
  print_line(g, heading("Loading image:", img));
  py::object fmt = g["_detect_format"](img);
  print_line(g, concat("  ", colour("GRAY"), "Detected format: ", fmt.attr("upper")(), colour("RESET")));
  py::object band_axis = run.args.attr("band_axis");
  if (!band_axis.is_none() && !fmt.equal(py::str("hdf5"))) {
    raise(PyExc_ValueError, py::str("--band-axis applies to HDF5 images only"));
  }
  OpenOptions options;
  if (!band_axis.is_none()) options.band_axis = band_axis.cast<int>();
  py::object loader = g["_LOADERS"][fmt];
  Opener open = opener_of(loader);
  if (!run.args.attr("crop").is_none() && !apply_crop_is_original()) open = nullptr;
  if (open) {
    run.opened = open(img, options);
    run.meta = run.opened->meta;
    run.shape = run.opened->shape;
    run.dtype = run.opened->dtype;
    run.header = run.opened->header;
  } else {
    py::tuple loaded = unpack(loader(img), 2);
    run.data = loaded[0];
    run.meta = loaded[1];
    if (options.band_axis >= 0) run.data = move_band_axis(run.data, run.meta, options.band_axis);
    run.shape = run.data.attr("shape");
    run.dtype = run.data.attr("dtype");
  }
  print_line(g, concat(check_mark(), " Loaded: shape=", run.shape, " dtype=", run.dtype));
  require_spatial_axes("Image", run.shape);
  require_values(run.shape);
  require_numeric_values(run.dtype);
}

// --gt-colors: the colour label image becomes class ids, and its metadata
// records each id's colour instead of the note about mapping them by hand.
void map_label_colours(const Namespace& g, Run& run, const py::object& gt_arg) {
  py::dict colours;
  run.gt = colours_as_class_ids(run.gt, label_file(str_of(gt_arg)), colours);
  print_line(g, concat(check_mark(), " Colours mapped to ", py::int_(py::len(colours)), " class ids"));
  if (PyDict_Check(run.gt_meta.ptr())) {
    run.gt_meta.attr("pop")("_note", py::none());
    run.gt_meta[py::str("class_colors")] = colours;
  }
}

void load_labels(const Namespace& g, Run& run) {
  py::object gt_arg = run.args.attr("gt");
  if (gt_arg.is_none()) return;
  print_line(g, heading("Loading ground truth:", gt_arg));
  check_labels_before_reading(gt_arg, run.shape);
  py::tuple labels = unpack(g["_load_gt"](gt_arg), 2);
  run.gt = labels[0];
  run.gt_meta = labels[1];
  print_line(g, concat(check_mark(), " Loaded: shape=", run.gt.attr("shape"), " dtype=", run.gt.attr("dtype")));
  if (truthy(run.args.attr("gt_colors"))) map_label_colours(g, run, gt_arg);
  py::object gt_shape = run.gt.attr("shape");
  require_spatial_axes("Ground truth", gt_shape);
  require_numeric_labels(run.gt);
  py::object gt_size = first_two(gt_shape), data_size = first_two(run.shape);
  if (compare(gt_size, Py_NE, data_size)) {
    print_line(g, concat("  ", colour("YELLOW"), "\u26a0 Spatial mismatch: image=", data_size, ", gt=", gt_size,
                         colour("RESET")));
  }
}

// --bands and --drop-bands: the bands kept, and the metadata cut to them.
void choose_bands(const Namespace& g, Run& run) {
  py::object keep = run.args.attr("bands"), drop = run.args.attr("drop_bands");
  if (keep.is_none() && drop.is_none()) return;
  py::str given("");
  if (!keep.is_none()) given = concat("--bands ", keep);
  if (!drop.is_none()) given = concat(given, keep.is_none() ? "" : " ", "--drop-bands ", drop);
  print_line(g, heading("Selecting bands:", given));
  const std::int64_t count = band_count(run.shape);
  BandList kept = select_bands(keep, drop, count, run.meta, run.header);
  print_line(g, concat(check_mark(), " Kept ", py::int_(kept.size()), " of ", py::int_(count), " bands"));
  cut_band_metadata(run.meta, kept, count);
  if (static_cast<std::int64_t>(kept.size()) == count) return;  // nothing left out
  if (run.opened) {
    py::list shape = g["list"](run.shape);
    shape[2] = py::int_(kept.size());
    run.shape = py::tuple(shape);
    run.bands = std::move(kept);
  } else {
    run.data = take_bands(run.data, kept);
    run.shape = run.data.attr("shape");
  }
}

// numpy takes any nonzero byte of a bool for True, but both MAT writers
// copy the bytes, which their readers take as numbers: Pillow's 1-bit
// images hold 255 for True. Such an array becomes one of 0 and 1; one that
// holds only 0 and 1 is written as it is, without a copy.
py::object zero_one_bools(const Namespace& g, const py::object& array) {
  if (!compare(array.attr("dtype").attr("kind"), Py_EQ, py::str("b"))) return array;
  py::object np = g["np"];
  py::object bytes = np.attr("asarray")(array).attr("view")(np.attr("uint8"));
  if (compare(bytes.attr("size"), Py_EQ, py::int_(0)) || compare(bytes.attr("max")(), Py_LE, py::int_(1))) {
    return array;
  }
  return np.attr("not_equal")(bytes, 0);
}

// Cuts the crop window out of both arrays, then reads what is converted,
// bools as 0 and 1.
void apply_window(const Namespace& g, Run& run) {
  py::object crop = run.args.attr("crop");
  if (!crop.is_none()) {
    py::tuple values = unpack(crop, 4);
    print_line(g, concat("\n  ", colour("BOLD"), "Cropping:", colour("RESET"), " y=", values[0], " x=", values[1],
                         " h=", values[2], " w=", values[3]));
    if (run.opened) {
      run.window = check_crop_window(g["tuple"](crop), run.shape);
      if (!run.gt.is_none()) run.gt = cut_window(run.gt, *run.window);
      run.shape = window_shape(*run.window, run.shape);
    } else {
      py::tuple cropped = unpack(g["_apply_crop"](run.data, run.gt, g["tuple"](crop)), 2);
      run.data = cropped[0];
      run.gt = cropped[1];
      run.shape = run.data.attr("shape");
    }
    py::dict record;
    record["y"] = values[0];
    record["x"] = values[1];
    record["height"] = values[2];
    record["width"] = values[3];
    add_window_grid(record, run.meta, CropWindow{values[0], values[1], values[2], values[3]});
    run.meta[py::str("crop")] = record;
    print_line(g, concat(check_mark(), " Cropped to: ", run.shape));
  }
  if (!run.version73) {
    require_storable_size(run.args.attr("data_key"), run.shape, run.dtype);
    if (!run.gt.is_none()) require_storable_size(run.args.attr("gt_key"), run.gt.attr("shape"), run.gt.attr("dtype"));
  }
  if (run.opened) run.data = run.opened->read(run.window ? &*run.window : nullptr, run.bands ? &*run.bands : nullptr);
  run.data = zero_one_bools(g, run.data);
  if (!run.gt.is_none()) run.gt = zero_one_bools(g, run.gt);
  if (truthy(run.args.attr("preview"))) run.preview = preview_bands(run.meta, band_count(run.data.attr("shape")));
}

// metadata.json: the image's metadata, the conversion's record, and the
// labels' metadata when there are both labels and metadata for them.
py::dict combined_metadata(const Namespace& g, const Run& run) {
  py::dict conversion;
  conversion["output_data_key"] = run.args.attr("data_key");
  conversion["output_data_shape"] = g["list"](run.data.attr("shape"));
  conversion["output_data_dtype"] = str_of(run.data.attr("dtype"));
  py::dict combined;
  combined["image"] = run.meta;
  combined["conversion"] = conversion;
  if (!run.gt.is_none() && !run.gt_meta.is_none()) {
    combined["ground_truth"] = run.gt_meta;
    conversion["output_gt_key"] = run.args.attr("gt_key");
    conversion["output_gt_shape"] = g["list"](run.gt.attr("shape"));
    conversion["output_gt_dtype"] = str_of(run.gt.attr("dtype"));
  }
  if (run.version73) conversion["output_mat_version"] = "7.3";
  return combined;
}

// Removes the hidden temporaries that runs killed while writing left in
// `out_dir`: those whose pid no longer runs here. A live pid (ours, or one
// we may not signal), pid 0 and any doubt leave the file; nothing else is touched.
void remove_stale_temporaries(const Namespace& g, const py::object& out_dir) {
  py::object os = g["os"];
  py::object match = py::module_::import("re").attr("compile")(
      R"(\.(?:data\.mat|gt\.mat|metadata\.json)\.([0-9]+)\.[0-9a-f]{12}\.tmp)").attr("fullmatch");
  py::object names;
  try {
    names = os.attr("listdir")(out_dir);
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_OSError)) throw;
    return;
  }
  py::object own = os.attr("getpid")();
  for (py::handle name : py::iter(names)) {
    py::object found = match(name);
    if (found.is_none()) continue;
    py::object pid = g["int"](found.attr("group")(1));
    if (compare(pid, Py_EQ, py::int_(0)) || compare(pid, Py_EQ, own)) continue;
    try {
      os.attr("kill")(pid, 0);
    } catch (py::error_already_set& error) {
      if (error.matches(PyExc_ProcessLookupError)) remove_quietly(os, os_path("join")(out_dir, name));
      else if (!error.matches(PyExc_Exception)) throw;
    }
  }
}

// Writes every output to a hidden temporary beside its final name; a
// failure removes those already written, so nothing has changed.
Staged stage(const Namespace& g, const Run& run) {
  py::object out_dir = run.args.attr("out_dir");
  g["os"].attr("makedirs")(out_dir, py::arg("exist_ok") = true);
  remove_stale_temporaries(g, out_dir);
  Staged staged;
  try {
    py::object data_path = os_path("join")(out_dir, "data.mat");
    print_line(g, heading("Saving:", data_path));
    staged.emplace_back(write_mat(g, data_path, run.args.attr("data_key"), run.data, run.version73), data_path);
    print_line(g, concat(check_mark(), " data.mat (", size_mb(staged.back().first), " MB)"));
    if (!run.gt.is_none()) {
      py::object gt_path = os_path("join")(out_dir, "gt.mat");
      staged.emplace_back(write_mat(g, gt_path, run.args.attr("gt_key"), run.gt, run.version73), gt_path);
      print_line(g, concat(check_mark(), " gt.mat (", size_mb(staged.back().first), " MB)"));
    }
    py::dict combined = combined_metadata(g, run);
    py::object meta_path = os_path("join")(out_dir, "metadata.json");
    staged.emplace_back(write_hidden(g, meta_path, "w", [&](py::object f, py::object) {
      g["json"].attr("dump")(combined, f, py::arg("indent") = 2, py::arg("default") = g["str"]);
    }), meta_path);
    print_line(g, concat(check_mark(), " metadata.json"));
    if (run.preview) {
      py::object preview_path = os_path("join")(out_dir, "preview.png");
      py::list no_data = no_data_values(run.meta, run.header);
      staged.emplace_back(write_hidden(g, preview_path, "wb", [&](py::object f, py::object) {
        write_preview(f, run.data, run.gt, *run.preview, no_data);
      }), preview_path);
      print_line(g, concat(check_mark(), " preview.png"));
    }
  } catch (...) {
    discard(g, staged, 0);
    throw;
  }
  return staged;
}

[[noreturn]] void raise_is_a_directory(const py::object& path) {
  py::object error = ns()["IsADirectoryError"](EISDIR, ns()["os"].attr("strerror")(EISDIR), path);
  PyErr_SetObject(PyExc_IsADirectoryError, error.ptr());
  throw py::error_already_set();
}

// Errors of os.link that mean the file system keeps no hard links at all.
bool means_no_hard_links(py::error_already_set& error) {
  if (!error.matches(PyExc_OSError)) return false;
  py::object code = error.value().attr("errno");
  for (int no_links : {EPERM, EOPNOTSUPP, ENOTSUP, ENOSYS}) {
    if (compare(code, Py_EQ, py::int_(no_links))) return true;
  }
  return false;
}

void remove_links(const py::object& os, const std::vector<py::object>& links) {
  for (const py::object& link : links) {
    if (!link.is_none()) remove_quietly(os, link);
  }
}

// Whether the directory of `file` (one of ours) holds hard links at all.
bool holds_hard_links(const Namespace& g, const py::object& file, const py::object& beside) {
  py::object probe = hidden_name(g, beside, ".bak");
  try {
    g["os"].attr("link")(file, probe);
  } catch (py::error_already_set& error) {
    if (means_no_hard_links(error)) return false;
    throw;
  }
  remove_quietly(g["os"], probe);
  return true;
}

// Hidden hard links to the final files the staged outputs replace (None
// where there is none yet), so that a failed rename can put them back.
// Empty where the file system has no hard links: files are then replaced
// as they come. A final file that cannot be linked where ours can (an
// immutable file) could not be replaced either: refused before any rename.
std::vector<py::object> link_predecessors(const Namespace& g, const Staged& staged) {
  py::object os = g["os"];
  std::vector<py::object> links;
  try {
    for (const auto& [temporary, final_path] : staged) {
      links.push_back(py::none());
      if (!truthy(os_path("lexists")(final_path))) continue;
      py::object link = hidden_name(g, final_path, ".bak");
      try {
        os.attr("link")(final_path, link, py::arg("follow_symlinks") = false);
      } catch (py::error_already_set& error) {
        if (!means_no_hard_links(error)) throw;
        if (!holds_hard_links(g, temporary, final_path)) {
          remove_links(os, links);
          return {};
        }
        error.value().attr("filename") = final_path;  // not the hidden link the user never sees
        error.value().attr("filename2") = py::none();
        throw;
      }
      links.back() = link;
    }
  } catch (...) {
    remove_links(os, links);
    throw;
  }
  return links;
}

// Renames the staged outputs into place, only now that all are complete,
// and all or none of them: when a rename fails, the files it already
// replaced are put back from their links and the error propagates.
void commit(const Namespace& g, const Staged& staged) {
  py::object os = g["os"];
  for (const auto& entry : staged) {
    if (truthy(os_path("isdir")(entry.second))) {
      discard(g, staged, 0);
      raise_is_a_directory(entry.second);
    }
  }
  std::vector<py::object> links;
  try {
    links = link_predecessors(g, staged);
  } catch (...) {
    discard(g, staged, 0);
    throw;
  }
  const bool restorable = !links.empty();
  size_t replaced = 0;
  try {
    for (; replaced < staged.size(); ++replaced) os.attr("replace")(staged[replaced].first, staged[replaced].second);
  } catch (...) {
    discard(g, staged, replaced);
    for (size_t i = 0; restorable && i < staged.size(); ++i) {
      const py::object& link = links[i];
      if (i >= replaced) {
        if (!link.is_none()) remove_quietly(os, link);
      } else if (link.is_none()) {
        remove_quietly(os, staged[i].second);  // new: there was nothing before it
      } else {
        try {
          os.attr("replace")(link, staged[i].second);
        } catch (py::error_already_set&) {
          // the link keeps the earlier file; the rename's error is the one to report
        }
      }
    }
    throw;
  }
  remove_links(os, links);
}

void summarise(const Namespace& g, const Run& run) {
  py::object elapsed = g["time"].attr("time")() - run.started;
  py::object preview = py::none();
  if (run.preview) {
    py::list bands;
    for (std::int64_t band : *run.preview) bands.append(band);
    preview = bands;
  }
  g["_print_summary"](run.data, run.gt, run.meta, run.gt_meta, run.args.attr("out_dir"), elapsed,
                      py::arg("data_key") = run.args.attr("data_key"), py::arg("gt_key") = run.args.attr("gt_key"),
                      py::arg("preview") = preview);
}

void main() {
  const Namespace& g = ns();
  ColourChoice colours;
  Run run = parse(g);
  load_image(g, run);
  load_labels(g, run);
  choose_bands(g, run);
  apply_window(g, run);
  commit(g, stage(g, run));
  summarise(g, run);
}

}  // namespace

void register_driver(py::module_& m) { def_function(m, "main", "()", nullptr, &main); }

}  // namespace nivra::convert
