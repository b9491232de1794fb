// Writes one numeric array as a MAT 7.3 file through h5py: the dataset and
// its attributes are made by h5py, its chunks gathered and compressed by
// the kernel of v73.hpp on the workers and written by h5py's direct chunk
// write, in order.
#include "convert/mat/v73.hpp"

#include <algorithm>
#include <cstring>
#include <optional>

#include "common/byte_order.hpp"
#include "common/progress.hpp"
#include "convert/array_buffer.hpp"
#include "convert/writers.hpp"
#include "convert/mat/codec.hpp"
#include "convert/mat/element_type.hpp"
#include "convert/mat/threads.hpp"

namespace nivra::convert {

namespace {

// Chosen by measurement in bench/writer.py.
constexpr std::uint64_t kChunkBytes = std::uint64_t(1) << 20;
constexpr unsigned kShuffleSamples = 8;

const char* class_name(const ElementType& type) {
  if (type.logical) return "logical";
  switch (type.array_class) {
    case mat::mxDOUBLE: return "double";
    case mat::mxSINGLE: return "single";
    case mat::mxINT8: return "int8";
    case mat::mxUINT8: return "uint8";
    case mat::mxINT16: return "int16";
    case mat::mxUINT16: return "uint16";
    case mat::mxINT32: return "int32";
    case mat::mxUINT32: return "uint32";
    case mat::mxINT64: return "int64";
    default: return "uint64";
  }
}

// The array as stored: an exact ndarray of two or more axes, floats of
// other sizes as float64 and complex ones as complex128.
py::object storable(py::handle input) {
  py::object np = ns()["np"];
  py::object array = py::reinterpret_borrow<py::object>(input);
  if (!py::type::handle_of(array).is(np.attr("ndarray"))) array = np.attr("asarray")(array);
  py::object dtype = array.attr("dtype");
  const std::string kind = py::str(dtype.attr("kind"));
  const auto size = dtype.attr("itemsize").cast<Py_ssize_t>();
  if (kind == "f" && size != 4 && size != 8) array = array.attr("astype")(np.attr("float64"));
  if (kind == "c" && size != 8 && size != 16) array = array.attr("astype")(np.attr("complex128"));
  py::tuple shape = array.attr("shape");
  if (shape.size() == 0) array = array.attr("reshape")(py::make_tuple(1, 1));
  if (shape.size() == 1) array = array.attr("reshape")(py::make_tuple(1, shape[0]));  // a row, as savemat writes it
  return array;
}

// The little-endian numpy dtype of the stored elements.
py::object stored_dtype(const ElementType& type, const py::object& dtype) {
  py::object np = ns()["np"];
  if (type.logical) return np.attr("dtype")("u1");
  if (!type.complex) return dtype.attr("newbyteorder")("<");
  py::str part = concat("<f", py::int_(dtype.attr("itemsize").cast<Py_ssize_t>() / 2));
  py::list fields;
  fields.append(py::make_tuple("real", part));
  fields.append(py::make_tuple("imag", part));
  return np.attr("dtype")(fields);
}

// MATLAB_class as MATLAB writes it: a scalar fixed-length string exactly
// as long as the name, null-terminated padding, written without conversion.
void set_class(const py::module_& h5py, const py::object& dataset, const char* name) {
  py::object h5t = h5py.attr("h5t"), h5s = h5py.attr("h5s");
  py::object type = h5t.attr("C_S1").attr("copy")();
  type.attr("set_size")(std::strlen(name));
  type.attr("set_strpad")(h5t.attr("STR_NULLTERM"));
  py::object space = h5s.attr("create")(h5s.attr("SCALAR"));
  py::object attribute = h5py.attr("h5a").attr("create")(dataset.attr("id"), py::bytes("MATLAB_class"), type, space);
  py::object value = ns()["np"].attr("array")(py::bytes(name), concat("S", py::int_(std::strlen(name))));
  attribute.attr("write")(value, py::arg("mtype") = type);
}

void set_attributes(const py::module_& h5py, const py::object& dataset, const ElementType& type, bool empty) {
  py::object np = ns()["np"];
  set_class(h5py, dataset, class_name(type));
  py::object attrs = dataset.attr("attrs");
  if (type.logical) attrs["MATLAB_int_decode"] = np.attr("int32")(1);
  if (empty) attrs["MATLAB_empty"] = np.attr("uint8")(1);
}

py::tuple reversed(const std::vector<std::int64_t>& values) {
  py::tuple out(values.size());
  for (std::size_t d = 0; d < values.size(); ++d) out[d] = py::int_(values[values.size() - 1 - d]);
  return out;
}

// The chunked, compressed dataset of a non-empty array, filled.
void write_chunked(const py::module_& h5py, const py::object& file, py::handle key, const py::object& array,
                   const ElementType& type, py::handle label, std::uint64_t chunk_target, unsigned threads) {
  const Namespace& g = ns();
  Buffer buffer(array);
  View view = buffer.view();
  const unsigned item = static_cast<unsigned>(buffer.itemsize()) / (type.complex ? 2 : 1);
  // stored little-endian whatever the host's order: reversed where held big-endian
  const mat::v73::Source source{{{view.data, view.shape, view.strides, view.swapped == kHostIsLittleEndian}, item},
                                type.complex};
  const unsigned element = source.element();
  const mat::v73::Grid grid(source, mat::v73::chunk_shape(view.shape, element, chunk_target));
  const BlockCodec codec(kV73ChunkLevel);
  auto compress = [&](const unsigned char* data, std::size_t size) { return codec.zlib_stream(data, size); };

  mat::v73::Sample sample;
  {
    py::gil_scoped_release unlocked;
    sample = mat::v73::sample_shuffle(grid, element, kShuffleSamples, threads, compress);
  }
  py::object dataset = file.attr("create_dataset")(
      key, py::arg("shape") = reversed(view.shape), py::arg("dtype") = stored_dtype(type, array.attr("dtype")),
      py::arg("chunks") = reversed(grid.chunk()), py::arg("compression") = "gzip",
      py::arg("compression_opts") = std::clamp(codec.level(), 1, 9), py::arg("shuffle") = sample.shuffle_pays(),
      py::arg("track_times") = false);
  set_attributes(h5py, dataset, type, false);

  py::object write_chunk = dataset.attr("id").attr("write_direct_chunk");
  std::uint64_t total = element;
  for (auto d : view.shape) total *= static_cast<std::uint64_t>(d);
  Progress progress(g, py::reinterpret_borrow<py::object>(label), total);
  auto sink = [&](const std::vector<std::int64_t>& origin, const std::string& bytes, std::uint64_t raw_bytes) {
    py::gil_scoped_acquire gil;
    write_chunk(reversed(origin), py::bytes(bytes.data(), bytes.size()), 0);
    progress.advance(raw_bytes);
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();  // Ctrl-C stops the write
  };
  {
    py::gil_scoped_release unlocked;
    mat::v73::write_chunks(grid, element, sample.shuffle_pays(), threads, compress, sink);
  }
  progress.finish();
}

// An array with a zero extent, as MATLAB writes empty arrays: its shape.
void write_empty(const py::module_& h5py, const py::object& file, py::handle key, const py::object& array,
                 const ElementType& type) {
  py::object shape = ns()["np"].attr("array")(array.attr("shape"), "<u8");
  set_attributes(h5py, file.attr("create_dataset")(key, py::arg("data") = shape), type, true);
}

// Writes `array` under `key` as a MAT 7.3 file at `path`, then the MATLAB
// header through `header_file`, a binary file object open on the same file.
void write_mat73_file(py::handle header_file, py::handle path, py::handle key, py::handle input, py::handle label,
                      std::uint64_t chunk_target, unsigned threads) {
  const Namespace& g = ns();
  py::module_ h5py = py::module_::import("h5py");
  py::object array = storable(input);
  std::optional<ElementType> type;
  {
    Buffer buffer(array);
    type = element_type(buffer.format(), buffer.itemsize());
  }
  if (!type) raise(PyExc_TypeError, concat("Cannot write dtype ", array.attr("dtype"), " to a MAT 7.3 file"));
  bool empty = false;
  for (py::handle extent : py::iter(array.attr("shape"))) empty = empty || extent.cast<Py_ssize_t>() == 0;

  with_context(h5py.attr("File")(path, "w", py::arg("libver") = "earliest", py::arg("userblock_size") = 512),
               [&](py::object file) {
                 if (empty) {
                   write_empty(h5py, file, key, array, *type);
                 } else {
                   write_chunked(h5py, file, key, array, *type, label, chunk_target, threads);
                 }
               });

  py::str text = concat("MATLAB 7.3 MAT-file, Platform: ", g["os"].attr("name"),
                        ", Created on: ", g["time"].attr("asctime")(), " HDF5 schema 1.00 .");
  const std::string header = mat::v73::file_header(std::string(py::bytes(text.attr("encode")("latin-1"))));
  header_file.attr("seek")(0);
  header_file.attr("write")(py::bytes(header.data(), header.size()));
}

// Private hook for tests and benchmarks: a MAT 7.3 file at `path` with a
// chosen chunk size and thread count (0 for the default).
void write_mat73_private(py::handle path, py::handle name, py::handle array, py::handle chunk_bytes,
                         py::handle threads) {
  const long long chunk = require_int({"_write_mat73", "chunk_bytes"}, chunk_bytes).cast<long long>();
  const long long count = require_int({"_write_mat73", "threads"}, threads).cast<long long>();
  if (chunk <= 0) raise(PyExc_ValueError, py::str("chunk_bytes must be positive"));
  const unsigned thread_count = requested_threads(count);
  with_context(py::module_::import("io").attr("open")(path, "wb"), [&](py::object file) {
    write_mat73_file(file, path, name, array, py::str("mat"), static_cast<std::uint64_t>(chunk), thread_count);
    file.attr("flush")();
  });
}

}  // namespace

void write_mat73(py::handle file, py::handle path, py::handle key, py::handle array, py::handle label) {
  write_mat73_file(file, path, key, array, label, kChunkBytes, default_threads());
}

void register_mat73_writer(py::module_& m) {
  def_function(m, "_write_mat73", "(path, name, array, chunk_bytes=1048576, threads=0)", nullptr,
               &write_mat73_private, py::arg("path"), py::arg("name"), py::arg("array"),
               py::arg("chunk_bytes") = kChunkBytes, py::arg("threads") = 0);
}

}  // namespace nivra::convert
