// ENVI header/data pairs through spectral.
#include "convert/convert.hpp"

namespace nivra::convert {

namespace {

// Header fields kept in the metadata, spelled as ENVI headers spell them.
constexpr const char* kHeaderKeys[] = {
    "description", "samples", "lines", "bands", "header offset", "data type",
    "interleave", "byte order", "wavelength", "wavelength units", "band names",
    "map info", "coordinate system string", "default bands", "fwhm",
    "reflectance scale factor", "sensor type"};

// Data-file suffixes tried beside a header, first existing one wins.
constexpr const char* kDataSuffixes[] = {"", ".img", ".dat", ".raw", ".bsq", ".bil", ".bip"};

bool is_file(const py::object& path) { return truthy(os_path("isfile")(path)); }

// The whole image with the file's own values and element type, in native
// byte order. Left to its defaults the reader casts to float32 (losing
// float64 and wide-integer precision) and divides by the reflectance scale
// factor, which the metadata already records.
py::object load_as_stored(const Namespace& g, const py::object& img) {
  py::object np = g["np"];
  py::object dtype = g["getattr"](img, "dtype", py::none());
  if (dtype.is_none()) return np.attr("array")(img.attr("load")());
  py::object native = np.attr("dtype")(dtype).attr("newbyteorder")("=");
  return np.attr("array")(img.attr("load")(py::arg("dtype") = dtype, py::arg("scale") = false),
                          py::arg("dtype") = native);
}

py::tuple load_envi(py::object path_arg) {
  py::str path = require_str({"_load_envi", "path"}, path_arg);
  const Namespace& g = ns();
  g["_check_dep"]("spectral");
  py::module_ envi = py::module_::import("spectral.io.envi");

  py::tuple parts = unpack(os_path("splitext")(path), 2);
  py::object base = parts[0], ext = parts[1];
  py::object hdr_path, img_path = py::none();
  if (ext.attr("lower")().equal(py::str(".hdr"))) {
    hdr_path = path;
    for (const char* suffix : kDataSuffixes) {
      py::str candidate = concat(base, suffix);
      if (is_file(candidate)) {
        img_path = candidate;
        break;
      }
    }
  } else {
    hdr_path = concat(base, ".hdr");
    if (!is_file(hdr_path)) {
      raise(PyExc_FileNotFoundError,
            concat("Cannot find ENVI header: ", hdr_path,
                   "\nENVI files require a .hdr header alongside the data file."));
    }
    img_path = path;
  }

  py::object img = img_path.is_none() ? envi.attr("open")(hdr_path)
                                      : envi.attr("open")(hdr_path, img_path);
  py::object data = load_as_stored(g, img);

  py::dict meta;
  py::object header = truthy(g["hasattr"](img, "metadata")) ? py::object(img.attr("metadata")) : py::dict();
  for (const char* key : kHeaderKeys) {
    py::str name(key);
    if (contains(header, name)) meta[name] = header[name];
  }
  meta["_source_format"] = "ENVI";
  meta["_source_file"] = os_path("abspath")(hdr_path);
  return py::make_tuple(data, meta);
}

}  // namespace

void register_envi(py::module_& m) {
  def_function(m, "_load_envi", "(path)", "Load an ENVI file (.hdr/.img pair). Returns (data, metadata).",
               &load_envi, py::arg("path"));
}

}  // namespace nivra::convert
