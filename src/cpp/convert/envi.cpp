// ENVI header/data pairs through spectral.
#include <cerrno>
#include <cstdint>
#include <string_view>
#include <utility>

#include "common/progress.hpp"
#include "convert/loaders.hpp"
#include "convert/raw_window.hpp"
#include "convert/signature.hpp"

namespace nivra::convert {

namespace {

// Header fields kept in the metadata, spelled as ENVI headers spell them.
constexpr const char* kHeaderKeys[] = {
    "description", "samples", "lines", "bands", "header offset", "data type",
    "interleave", "byte order", "wavelength", "wavelength units", "band names",
    "map info", "coordinate system string", "default bands", "fwhm",
    "reflectance scale factor", "sensor type"};

// Data-file suffixes tried beside a header, first existing raw data file wins.
constexpr const char* kDataSuffixes[] = {"", ".img", ".dat", ".raw", ".bsq", ".bil", ".bip"};

using namespace std::string_view_literals;

bool is_file(const py::object& path) { return truthy(os_path("isfile")(path)); }

// The container whose signature the data file starts with, or nullptr for
// raw data. Opening the file here also names an unreadable one cleanly,
// where the reader's image object would print a traceback from its destructor.
const char* container_kind(const py::object& data_file) {
  FileKind kind = kind_of(data_file);
  return kind.container ? kind.name : nullptr;
}

// A data file candidate beside the header: anything there but a directory,
// which must then be a regular file.
bool is_candidate(const py::object& path) {
  if (!truthy(os_path("exists")(path)) || truthy(os_path("isdir")(path))) return false;
  require_regular_file(path);
  return true;
}

// int(header[key]), or None when the header lacks the key or the value is
// not a number (the reader reports that itself).
py::object header_number(const py::object& header, const char* key) {
  py::str name(key);
  if (!contains(header, name)) return py::none();
  try {
    return ns()["int"](header[name]);
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_ValueError) && !error.matches(PyExc_TypeError)) throw;
    return py::none();
  }
}

// A signature counts only while the header has the pixels start at the
// file's first byte; an offset above 0 says there is something to skip.
bool signature_counts(const py::object& header) {
  return !contains(header, py::str("header offset")) ||
         header_number(header, "header offset").equal(py::int_(0));
}

[[noreturn]] void refuse_container(const py::object& data_file, const char* kind, const py::object& header) {
  if (kind == "gzip"sv && header_number(header, "file compression").equal(py::int_(1))) {
    raise(PyExc_ValueError, concat("ENVI data file '", data_file,
                                   "' is gzip-compressed (file compression = 1), which is not supported"));
  }
  raise(PyExc_ValueError,
        concat("ENVI data file '", data_file, "' is not raw ENVI data (file signature: ", kind, ")"));
}

// The header's fields without opening the data file, parsed as the reader
// parses them when it opens the image (and warns then).
py::object read_header(const py::module_& envi, const py::object& hdr_path) {
  py::module_ warnings = py::module_::import("warnings");
  py::object header;
  with_context(warnings.attr("catch_warnings")(), [&](py::object) {
    warnings.attr("simplefilter")("ignore");
    header = envi.attr("read_envi_header")(envi.attr("find_file_path")(hdr_path));
  });
  return header;
}

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

// The reader looks the header's data type up in its table and lets the
// bare KeyError (whose text is just the code) escape; name the field instead.
py::object open_image(const py::module_& envi, const py::object& hdr_path, const py::object& img_path) {
  try {
    return img_path.is_none() ? envi.attr("open")(hdr_path) : envi.attr("open")(hdr_path, img_path);
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_KeyError)) throw;
    py::object code = error.value().attr("args")[py::int_(0)];
    raise(PyExc_ValueError, concat("Invalid ENVI header ", hdr_path, ": data type = ", code, " (expected one of ",
                                   py::str(", ").attr("join")(envi.attr("envi_to_dtype")), ")"));
  }
}

// The reader takes any interleave it does not know for band-sequential and
// any byte order but the machine's for swapped, and reads as many bytes as
// the header promises in one piece (a huge size means one huge request).
// Refuse such headers, and data files shorter than promised, before reading.
void check_layout(const Namespace& g, const py::object& img, const py::object& hdr_path) {
  if (!truthy(g["hasattr"](img, "sample_size")) || !truthy(g["hasattr"](img, "metadata"))) return;
  py::object header = img.attr("metadata");
  auto refuse = [&](const char* key, const char* expected) {
    raise(PyExc_ValueError, concat("Invalid ENVI header ", hdr_path, ": ", key, " = ", header[key],
                                   " (expected ", expected, ")"));
  };
  py::str interleave = str_of(header["interleave"]);
  if (!contains(py::make_tuple("bsq", "bil", "bip", "BSQ", "BIL", "BIP"), interleave)) {
    refuse("interleave", "bsq, bil or bip");
  }
  if (!contains(py::make_tuple(0, 1), img.attr("byte_order"))) refuse("byte order", "0 or 1");
  for (auto [key, attribute] : {std::pair{"lines", "nrows"}, {"samples", "ncols"}, {"bands", "nbands"}}) {
    if (compare(img.attr(attribute), Py_LE, py::int_(0))) refuse(key, "a positive number");
  }
  py::object offset = img.attr("offset");
  if (compare(offset, Py_LT, py::int_(0))) refuse("header offset", "zero or more");

  py::object promised = offset + img.attr("nrows") * img.attr("ncols") * img.attr("nbands") *
                                     img.attr("sample_size");
  py::object data_file = img.attr("filename");
  py::object size = os_path("getsize")(data_file);
  if (compare(size, Py_LT, promised)) {
    raise(PyExc_ValueError, concat("ENVI data file ", data_file, " holds ", size, " bytes; its header ",
                                   hdr_path, " promises ", promised));
  }
}

// The data file as a read-only memory map, viewed lines x samples x bands
// whatever the interleave, or None when the reader cannot map it.
py::object memory_map(const Namespace& g, const py::object& img) {
  if (!truthy(g["hasattr"](img, "open_memmap")) || g["getattr"](img, "dtype", py::none()).is_none()) {
    return py::none();
  }
  return img.attr("open_memmap")(py::arg("interleave") = "bip", py::arg("writable") = false);
}

raw::Layout layout_of(const py::object& img) {
  py::module_ spectral = py::module_::import("spectral");
  py::object interleave = img.attr("interleave");
  raw::Interleave order = interleave.equal(spectral.attr("BIL"))   ? raw::Interleave::bil
                          : interleave.equal(spectral.attr("BIP")) ? raw::Interleave::bip
                                                                   : raw::Interleave::bsq;
  auto number = [&](const char* name) { return img.attr(name).cast<std::int64_t>(); };
  return {number("nrows"), number("ncols"), number("nbands"), number("sample_size"), number("offset"), order};
}

// A window of some bands (all for nullptr) read straight from the data
// file into memory, lines x samples x bands in native byte order. A window
// of the memory map would bring in the pages around each of its rows as
// well, many times the window's size.
py::object read_window(const py::object& data_file, const raw::Layout& layout, const CropWindow& crop,
                       const BandList* kept, const py::object& file_dtype, bool swapped) {
  py::object np = ns()["np"];
  raw::Window window{crop.y.cast<std::int64_t>(), crop.x.cast<std::int64_t>(), crop.h.cast<std::int64_t>(),
                     crop.w.cast<std::int64_t>()};
  const BandList all_bands;
  const BandList& bands_read = kept ? *kept : all_bands;
  py::object h = crop.h, w = crop.w;
  py::object bands = py::int_(kept ? static_cast<std::int64_t>(kept->size()) : layout.bands);
  py::tuple shape = py::make_tuple(h, w, bands), band_last = py::make_tuple(0, 1, 2);  // bip
  if (layout.interleave == raw::Interleave::bsq) {
    shape = py::make_tuple(bands, h, w);
    band_last = py::make_tuple(1, 2, 0);
  } else if (layout.interleave == raw::Interleave::bil) {
    shape = py::make_tuple(h, bands, w);
    band_last = py::make_tuple(0, 2, 1);
  }

  py::object out = array_to_fill(shape, file_dtype);
  const auto block_bytes = ns()["_READ_BLOCK_BYTES"].cast<std::int64_t>();
  Progress progress(ns(), reading_label(data_file), py::int_(out.attr("nbytes")).cast<std::uint64_t>());
  std::int64_t unreported = 0;
  auto on_read = [&](std::int64_t bytes) {
    unreported += bytes;
    if (unreported < block_bytes) return;
    py::gil_scoped_acquire gil;
    progress.advance(static_cast<std::uint64_t>(unreported));
    unreported = 0;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();  // Ctrl-C stops the read
  };
  int error = 0;
  {
    py::buffer_info buffer = py::reinterpret_borrow<py::buffer>(out).request(true);
    with_context(ns()["open"](data_file, "rb"), [&](py::object file) {
      int fd = file.attr("fileno")().cast<int>();
      py::gil_scoped_release unlocked;
      error = raw::read_window(fd, layout, window, bands_read, static_cast<unsigned char*>(buffer.ptr), block_bytes,
                               on_read);
    });
  }
  progress.finish();
  if (error > 0) {
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, data_file.ptr());
    throw py::error_already_set();
  }
  if (error < 0) raise(PyExc_ValueError, concat("ENVI data file ", data_file, " ended before the crop window"));
  if (swapped) out = out.attr("byteswap")(true).attr("view")(out.attr("dtype").attr("newbyteorder")("="));
  return np.attr("transpose")(out, band_last);
}

OpenedImage open_envi(py::object path_arg, const OpenOptions&) {
  py::str path = require_str({"_load_envi", "path"}, path_arg);
  const Namespace& g = ns();
  g["_check_dep"]("spectral");
  py::module_ envi = py::module_::import("spectral.io.envi");
  require_regular_file(path);

  py::tuple parts = unpack(os_path("splitext")(path), 2);
  py::object base = parts[0], ext = parts[1];
  py::object hdr_path, img_path = py::none();
  const char* kind = nullptr;  // the data file's container, when not raw data
  if (ext.attr("lower")().equal(py::str(".hdr"))) {
    hdr_path = path;
    // Candidates that are other containers are skipped while the header has
    // the pixels start at the first byte; it is parsed only to tell that.
    py::object header;
    std::pair<py::object, const char*> skipped{py::none(), nullptr};
    for (const char* suffix : kDataSuffixes) {
      py::str candidate = concat(base, suffix);
      if (!is_candidate(candidate)) continue;
      kind = container_kind(candidate);
      if (kind && !header) header = read_header(envi, hdr_path);
      if (!kind || !signature_counts(header)) {
        img_path = candidate;
        break;
      }
      if (!skipped.second) skipped = {candidate, kind};
    }
    if (img_path.is_none() && skipped.second) refuse_container(skipped.first, skipped.second, header);
  } else {
    hdr_path = concat(base, ".hdr");
    require_regular_file(hdr_path);
    if (!is_file(hdr_path)) {
      raise(PyExc_FileNotFoundError,
            concat("Cannot find ENVI header: ", hdr_path,
                   "\nENVI files require a .hdr header alongside the data file."));
    }
    img_path = path;
    kind = container_kind(img_path);
  }

  py::object img = open_image(envi, hdr_path, img_path);
  py::object header = truthy(g["hasattr"](img, "metadata")) ? py::object(img.attr("metadata")) : py::dict();
  if (img_path.is_none()) {  // found by the reader's own search
    img_path = g["getattr"](img, "filename", py::none());
    if (!img_path.is_none()) kind = container_kind(img_path);
  }
  if (kind && signature_counts(header)) refuse_container(img_path, kind, header);
  // Ahead of the map: a data file shorter than promised would fault on access.
  check_layout(g, img, hdr_path);

  py::dict meta;
  for (const char* key : kHeaderKeys) {
    py::str name(key);
    if (contains(header, name)) meta[name] = header[name];
  }
  meta["_source_format"] = "ENVI";
  meta["_source_file"] = os_path("abspath")(hdr_path);

  py::object mapped = memory_map(g, img);
  if (mapped.is_none()) {
    OpenedImage whole = already_read(load_as_stored(g, img), meta);
    whole.header = header;
    return whole;
  }
  // The whole image is a view of the map when the file has the machine's
  // byte order, else one swapped copy; a window is read from the file.
  py::object native = mapped.attr("dtype").attr("newbyteorder")("=");
  bool swapped = !truthy(mapped.attr("dtype").attr("isnative"));
  py::object data_file = img.attr("filename"), file_dtype = mapped.attr("dtype");
  raw::Layout layout = layout_of(img);
  auto read = [=](const CropWindow* window, const BandList* bands) {
    if (window || bands) {
      CropWindow whole{py::int_(0), py::int_(0), py::int_(layout.lines), py::int_(layout.samples)};
      return read_window(data_file, layout, window ? *window : whole, bands, file_dtype, swapped);
    }
    py::object asarray = ns()["np"].attr("asarray");
    return swapped ? asarray(mapped, py::arg("dtype") = native) : asarray(mapped);
  };
  return {py::tuple(mapped.attr("shape")), native, meta, read, header};
}

}  // namespace

void register_envi(py::module_& m) {
  def_function(m, "_load_envi", "(path)", "Load an ENVI file (.hdr/.img pair). Returns (data, metadata).",
               [](py::object path) { return load_whole(open_envi, std::move(path)); }, py::arg("path"));
  remember_opener(m.attr("_load_envi"), open_envi);
}

}  // namespace nivra::convert
