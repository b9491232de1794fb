// Input format detection from the file name.
#include "convert/loaders.hpp"

namespace nivra::convert {

namespace {

DatasetPath split_at_last(const py::str& path, const char* separator) {
  py::list parts = path.attr("rsplit")(separator, 1);
  return {parts[0], parts[1]};
}

py::str strip_dataset_specifier(py::object path) {
  return split_dataset_specifier(require_str({"_strip_dataset_specifier", "path"}, path)).file;
}

py::str detect_format(py::object path_arg) {
  py::str path = require_str({"_detect_format", "path"}, path_arg);
  const Namespace& g = ns();
  py::object clean = g["_strip_dataset_specifier"](path);
  py::object ext = g["os"].attr("path").attr("splitext")(clean)[py::int_(1)].attr("lower")();
  if (ext.equal(py::str(".nc"))) ext = py::str(".h5");
  py::object ext_map = g["_EXT_MAP"];
  py::object fmt = ext_map.attr("get")(ext);
  if (fmt.is_none()) {
    py::object names = g["sorted"](g["set"](ext_map.attr("values")()));
    raise(PyExc_ValueError, concat("Unrecognised file extension '", ext, "'. Supported: ",
                                   py::str(", ").attr("join")(names)));
  }
  return fmt;
}

}  // namespace

DatasetPath split_dataset_specifier(const py::str& path) {
  if (contains(path, py::str("::"))) return split_at_last(path, "::");
  if (!contains(path, py::str("://")) && contains(path, py::str(":/"))) return split_at_last(path, ":/");
  return {path, py::none()};
}

void register_detection(py::module_& m) {
  py::dict ext_map;
  for (auto [ext, fmt] : {std::pair{".hdr", "envi"}, {".img", "envi"}, {".lan", "envi"},
                          {".tif", "tiff"}, {".tiff", "tiff"}, {".h5", "hdf5"},
                          {".hdf5", "hdf5"}, {".he5", "hdf5"}, {".hdf", "hdf5"}}) {
    ext_map[ext] = fmt;
  }
  m.attr("_EXT_MAP") = ext_map;

  def_function(m, "_strip_dataset_specifier", "(path)",
               "Remove HDF5 dataset specifier (e.g. 'file.h5:/dataset').", &strip_dataset_specifier,
               py::arg("path"));
  def_function(m, "_detect_format", "(path)", nullptr, &detect_format, py::arg("path"));
}

}  // namespace nivra::convert
