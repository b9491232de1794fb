// TIFF and GeoTIFF images through rasterio.
#include <algorithm>
#include <thread>
#include <utility>

#include "convert/loaders.hpp"
#include "convert/signature.hpp"

namespace nivra::convert {

namespace {

// dict(mapping): a new plain dict, also when the library hands out a subclass.
py::dict plain_dict(py::handle mapping) {
  return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyDict_Type))(mapping);
}

// The library's block cache would otherwise keep a second, decoded copy of
// what is read (up to 5% of the machine's memory); 64 MB costs no speed.
constexpr int kBlockCacheMegabytes = 64;

// The library's settings for reading: a small block cache; tiles decoded on
// as many threads as the MAT writer uses (GDAL_NUM_THREADS), straight into
// the array rather than through the block cache (GTIFF_DIRECT_IO). The last
// two stay as the caller configured them (environment or rasterio.Env).
py::object reading_env(const py::module_& rasterio) {
  py::object configured = py::module_::import("rasterio.env").attr("get_gdal_config");
  py::dict options;
  options["GDAL_CACHEMAX"] = kBlockCacheMegabytes;
  const std::pair<const char*, py::object> defaults[] = {
      {"GDAL_NUM_THREADS", py::int_(std::clamp(std::thread::hardware_concurrency(), 1u, 16u))},
      {"GTIFF_DIRECT_IO", py::bool_(true)}};
  for (const auto& [name, value] : defaults) {
    if (configured(name).is_none()) options[name] = value;
  }
  return rasterio.attr("Env")(**options);
}

// True while `open` is the library's own rasterio.open: a function defined
// in one of its modules. The library is imported on demand, so a caller may
// have bound its own before the module first sees it.
bool is_library_open(const py::object& open) {
  if (!PyFunction_Check(open.ptr())) return false;
  py::object module = py::reinterpret_borrow<py::dict>(PyFunction_GetGlobals(open.ptr())).attr("get")("__name__");
  if (!py::isinstance<py::str>(module)) return false;
  return module.equal(py::str("rasterio")) || truthy(module.attr("startswith")("rasterio."));
}

// The element type of the array the library reads a band into: complex
// integers (GDAL's CInt16) come back as complex64.
py::object array_dtype(const py::object& band_type) {
  py::object np = ns()["np"];
  if (compare(band_type, Py_EQ, py::str("complex_int16"))) return np.attr("dtype")("complex64");
  return np.attr("dtype")(band_type);
}

// The window (or the whole raster) of the bands kept (all for nullptr),
// band-last: a view of the band-first array read, filled in row blocks.
py::object read_bands(const py::str& path, const CropWindow* window, const BandList* kept) {
  const Namespace& g = ns();
  py::module_ rasterio = py::module_::import("rasterio");
  py::object Window = py::module_::import("rasterio.windows").attr("Window");
  py::object indexes = py::none();  // the library's band numbers start at 1
  if (kept) {
    py::list numbers;
    for (std::int64_t band : *kept) numbers.append(band + 1);
    indexes = numbers;
  }
  py::object bands;
  with_context(reading_env(rasterio), [&](py::object) {
    with_context(rasterio.attr("open")(path), [&](py::object src) {
      py::object x = py::int_(0), y = py::int_(0), h = src.attr("height"), w = src.attr("width");
      if (window) x = window->x, y = window->y, h = window->h, w = window->w;
      py::object count = kept ? py::int_(kept->size()) : py::int_(src.attr("count"));
      py::object dtype = array_dtype(src.attr("dtypes")[py::int_(0)]);
      bands = array_to_fill(py::make_tuple(count, h, w), dtype);
      const auto row_bytes = (count * w * dtype.attr("itemsize")).cast<std::int64_t>();
      const auto tile_rows = src.attr("block_shapes")[py::int_(0)][py::int_(0)].cast<std::int64_t>();
      read_row_blocks(path, h.cast<std::int64_t>(), row_bytes, [&](std::int64_t first, std::int64_t rows) {
        py::object out =
            bands[py::make_tuple(slice(py::none(), py::none()), slice(py::int_(first), py::int_(first + rows)))];
        src.attr("read")(indexes, py::arg("window") = Window(x, y + py::int_(first), w, rows),
                         py::arg("out") = out);
      }, y.cast<std::int64_t>(), tile_rows);
    });
  });
  return g["np"].attr("transpose")(bands, py::make_tuple(1, 2, 0));
}

// The dataset's format, size, georeferencing and tags, in the loader's order.
void describe(const py::object& src, py::dict& meta) {
  const Namespace& g = ns();
  meta["driver"] = src.attr("driver");
  meta["dtype"] = str_of(src.attr("dtypes")[py::int_(0)]);
  meta["nodata"] = src.attr("nodata");
  meta["width"] = src.attr("width");
  meta["height"] = src.attr("height");
  meta["count"] = src.attr("count");

  py::object crs = src.attr("crs");
  if (!crs.is_none()) {
    meta["crs"] = crs.attr("to_string")();
    meta["crs_wkt"] = crs.attr("to_wkt")();
  }
  py::object t = src.attr("transform");
  if (!t.is_none()) {
    py::list coefficients;
    for (const char* name : {"a", "b", "c", "d", "e", "f"}) coefficients.append(t.attr(name));
    meta["transform"] = coefficients;
  }
  py::object b = src.attr("bounds");
  py::dict bounds;
  for (const char* name : {"left", "bottom", "right", "top"}) bounds[name] = b.attr(name);
  meta["bounds"] = bounds;

  py::object descriptions = src.attr("descriptions");
  if (truthy(descriptions)) {
    bool any_named = false;
    for (py::handle d : py::iter(descriptions)) {
      if (!d.is_none()) {
        any_named = true;
        break;
      }
    }
    if (any_named) meta["band_descriptions"] = py::list(descriptions);
  }

  py::object tags = src.attr("tags")();
  if (truthy(tags)) meta["tags"] = plain_dict(tags);

  py::dict band_tags;
  py::object count = src.attr("count");
  py::object band_numbers = g["range"](1, count + py::int_(1));
  for (py::handle i : py::iter(band_numbers)) {
    py::object bt = src.attr("tags")(i);
    if (truthy(bt)) band_tags[str_of(i)] = plain_dict(bt);
  }
  if (truthy(band_tags)) meta["band_tags"] = band_tags;
}

// The file's label, then its absolute path.
void finish_meta(const py::str& path, py::dict& meta) {
  py::object crs = meta.attr("get")("crs");
  meta["_source_format"] = truthy(crs) ? "GeoTIFF" : "TIFF";
  meta["_source_file"] = os_path("abspath")(path);
}

OpenedImage open_tiff(py::object path_arg, const OpenOptions&) {
  py::str path = require_str({"_load_tiff", "path"}, path_arg);
  const Namespace& g = ns();
  g["_check_dep"]("rasterio");
  py::module_ rasterio = py::module_::import("rasterio");
  py::object open = rasterio.attr("open");
  require_tiff(path);

  py::dict meta;
  if (!is_library_open(open)) {
    // another open: one whole read, as the plain loader does
    py::object data;
    with_context(open(path), [&](py::object src) {
      data = g["np"].attr("transpose")(src.attr("read")(), py::make_tuple(1, 2, 0));
      describe(src, meta);
    });
    finish_meta(path, meta);
    return already_read(data, meta);
  }

  py::tuple shape;
  py::object dtype;
  with_context(open(path), [&](py::object src) {
    shape = py::make_tuple(src.attr("height"), src.attr("width"), src.attr("count"));
    dtype = array_dtype(src.attr("dtypes")[py::int_(0)]);
    describe(src, meta);
  });
  finish_meta(path, meta);
  return {shape, dtype, meta,
          [path](const CropWindow* window, const BandList* bands) { return read_bands(path, window, bands); }};
}

}  // namespace

void register_tiff(py::module_& m) {
  def_function(m, "_load_tiff", "(path)", "Load a TIFF or GeoTIFF. Returns (data, metadata).",
               [](py::object path) { return load_whole(open_tiff, std::move(path)); }, py::arg("path"));
  remember_opener(m.attr("_load_tiff"), open_tiff);
}

}  // namespace nivra::convert
