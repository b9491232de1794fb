// Writes one numeric array as a compressed level-5 MAT file through the
// kernel of v5.hpp, its blocks compressed by codec.hpp on the workers.
#include "convert/mat/v5.hpp"

#include <optional>

#include "common/progress.hpp"
#include "convert/array_buffer.hpp"
#include "convert/writers.hpp"
#include "convert/mat/codec.hpp"
#include "convert/mat/deflate_join.hpp"
#include "convert/mat/element_type.hpp"
#include "convert/mat/threads.hpp"
#include "convert/mat/variable_name.hpp"

namespace nivra::convert {

namespace {

PyObject* scipy_savemat = nullptr;  // scipy.io.savemat as imported, owned for the life of the process

// Chosen by measurement in bench/writer.py: below libdeflate's longest
// block (300,000 bytes), so that most blocks are one deflate block whose
// end needs no walk, and large enough to stay within 3% of savemat's size.
constexpr std::uint64_t kBlockSize = std::uint64_t(256) << 10;

// The name's Latin-1 bytes, or none for a name savemat skips or refuses.
std::optional<std::string> variable_name(py::handle key) {
  if (!PyUnicode_CheckExact(key.ptr()) || !storable_variable_name(py::reinterpret_borrow<py::str>(key))) {
    return std::nullopt;
  }
  auto* bytes = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(key.ptr()));
  return std::string(bytes, static_cast<std::size_t>(PyUnicode_GET_LENGTH(key.ptr())));
}

// The matrix of a numeric array of two or more axes, or none when savemat must write it.
std::optional<mat::Matrix> matrix_of(const Buffer& buffer, py::handle key) {
  const auto type = element_type(buffer.format(), buffer.itemsize());
  const auto name = variable_name(key);
  if (!type || !name) return std::nullopt;
  View view = buffer.view();
  if (view.shape.size() < 2) return std::nullopt;
  for (auto d : view.shape) {
    if (d > INT32_MAX) return std::nullopt;  // savemat's own error
  }
  const unsigned item = static_cast<unsigned>(buffer.itemsize()) / (type->complex ? 2 : 1);
  mat::Part real{view, item};
  mat::Matrix matrix{*name, view.shape, type->array_class, type->data_type, type->logical, real, {}};
  if (type->complex) {
    mat::Part imaginary = real;
    imaginary.data += item;
    matrix.imaginary.push_back(imaginary);
  }
  return matrix;
}

py::bytes to_bytes(const std::string& bytes) { return py::bytes(bytes.data(), bytes.size()); }

[[noreturn]] void raise_too_large(const mat::TooLarge& error) {
  raise(py::module_::import("scipy.io.matlab").attr("MatWriteError").ptr(), py::str(error.what()));
}

// Writes `array` under `key` into the open binary file as savemat does with
// compression; false, having written nothing, when the array is not one
// this writer takes.
bool write_mat_file(py::handle file, py::handle key, py::handle array, py::handle label,
                    std::uint64_t block_size, unsigned threads) {
  const Namespace& g = ns();
  Buffer buffer(array);
  std::optional<mat::Matrix> matrix = matrix_of(buffer, key);
  if (!matrix) return false;
  try {
    const mat::Element element(*matrix);
    const BlockCodec codec(kV5BlockLevel);
    py::object write = file.attr("write");

    if (compare(file.attr("tell")(), Py_EQ, py::int_(0))) {
      py::str text = concat("MATLAB 5.0 MAT-file Platform: ", g["os"].attr("name"),
                            ", Created on: ", g["time"].attr("asctime")());
      write(to_bytes(mat::file_header(std::string(py::bytes(text.attr("encode")("latin-1"))))));
    }
    py::object tag_at = file.attr("tell")();
    write(to_bytes(mat::compressed_tag(0)));

    Progress progress(g, py::reinterpret_borrow<py::object>(label), element.size());
    std::uint64_t written = 0;
    auto compress = [&](const unsigned char* data, std::uint64_t size, bool last) {
      return codec.compress(data, static_cast<std::size_t>(size), last);
    };
    auto join = [&](const std::vector<std::string*>& streams) { codec.continue_streams(streams); };
    auto checksum = [&](std::uint32_t adler, const unsigned char* data, std::uint64_t size) {
      return codec.adler32(adler, data, static_cast<std::size_t>(size));
    };
    auto sink = [&](const std::string& bytes, std::uint64_t raw_bytes) {
      py::gil_scoped_acquire gil;
      write(to_bytes(bytes));
      written += bytes.size();
      progress.advance(raw_bytes);
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();  // Ctrl-C stops the write
    };
    {
      py::gil_scoped_release unlocked;
      mat::write_zlib_stream(element, block_size, threads, codec.header_flags(), compress, join, checksum, sink);
    }
    progress.finish();

    py::object end = file.attr("tell")();
    file.attr("seek")(tag_at);
    write(to_bytes(mat::compressed_tag(written)));
    file.attr("seek")(end);
  } catch (const mat::TooLarge& error) {
    raise_too_large(error);
  }
  return true;
}

// Private hook for tests and benchmarks: the writer with a chosen block
// size and thread count (0 for the default).
bool write_mat_private(py::handle file, py::handle name, py::handle array, py::handle block_size,
                       py::handle threads) {
  const long long block = require_int({"_write_mat", "block_size"}, block_size).cast<long long>();
  const long long count = require_int({"_write_mat", "threads"}, threads).cast<long long>();
  if (block <= 0 || block % 8 != 0) raise(PyExc_ValueError, py::str("block_size must be a positive multiple of 8"));
  return write_mat_file(file, name, array, py::str("mat"), static_cast<std::uint64_t>(block), requested_threads(count));
}

// Private hook for tests: a finished raw deflate stream made one that
// continues, walked fast or, when careful, by the reference walk; or a
// list of them, walked fast two at a time; when whole, as streams that a
// compressor wrote whole (the final block's end taken from its code).
py::object continue_deflate_private(py::handle streams, py::handle careful, py::handle whole) {
  const bool many = PyList_Check(streams.ptr());
  py::list given = many ? py::reinterpret_borrow<py::list>(streams) : py::list();
  if (!many) given.append(streams);
  std::vector<std::string> bytes;
  for (py::handle stream : given) {
    if (!PyBytes_Check(stream.ptr())) raise_arg_type({"_continue_deflate", "stream"}, "bytes", stream);
    bytes.push_back(py::reinterpret_borrow<py::bytes>(stream));
  }
  std::vector<std::string*> pointers;
  for (std::string& stream : bytes) pointers.push_back(&stream);
  const auto walking = truthy(careful) ? deflate::Walking::kCareful
                       : truthy(whole)  ? deflate::Walking::kWhole
                                        : deflate::Walking::kFast;
  try {
    py::gil_scoped_release unlocked;
    deflate::continue_streams(pointers, walking);
  } catch (const deflate::Malformed& error) {
    raise(PyExc_RuntimeError, py::str(error.what()));
  }
  if (!many) return to_bytes(bytes.front());
  py::list joined;
  for (const std::string& stream : bytes) joined.append(to_bytes(stream));
  return std::move(joined);
}

// Private hook for tests: the writers' thread pool over `jobs` jobs, with
// produce(job) called on the workers and consume(job) in job order on the
// calling thread, at most `ahead` jobs past the next one to consume.
void run_in_order_private(py::handle jobs, py::handle threads, py::handle ahead, py::handle produce,
                          py::handle consume) {
  const long long job_count = require_int({"_run_in_order", "jobs"}, jobs).cast<long long>();
  const long long count = require_int({"_run_in_order", "threads"}, threads).cast<long long>();
  const long long most_ahead = require_int({"_run_in_order", "ahead"}, ahead).cast<long long>();
  if (job_count < 0 || most_ahead < 0) raise(PyExc_ValueError, py::str("jobs and ahead must not be negative"));
  const unsigned thread_count = requested_threads(count);
  auto produce_one = [&](std::uint64_t job, const std::atomic<bool>&) {
    py::gil_scoped_acquire gil;
    produce(job);
    return job;
  };
  auto consume_one = [&](std::uint64_t job, std::uint64_t) {
    py::gil_scoped_acquire gil;
    consume(job);
  };
  py::gil_scoped_release unlocked;
  mat::run_in_order<std::uint64_t>(static_cast<std::uint64_t>(job_count), thread_count,
                                   static_cast<std::uint64_t>(most_ahead), produce_one, consume_one);
}

}  // namespace

bool is_scipy_savemat(py::handle function) { return function.ptr() == scipy_savemat; }

bool write_mat_natively(py::handle file, py::handle key, py::handle array, py::handle label) {
  return write_mat_file(file, key, array, label, kBlockSize, default_threads());
}

void register_mat_writer(py::module_& m) {
  scipy_savemat = py::object(py::module_::import("scipy.io").attr("savemat")).release().ptr();
  def_function(m, "_write_mat", "(file, name, array, block_size=262144, threads=0)", nullptr, &write_mat_private,
               py::arg("file"), py::arg("name"), py::arg("array"), py::arg("block_size") = kBlockSize,
               py::arg("threads") = 0);
  def_function(m, "_continue_deflate", "(stream, careful=False, whole=False)", nullptr, &continue_deflate_private,
               py::arg("stream"), py::arg("careful") = false, py::arg("whole") = false);
  def_function(m, "_run_in_order", "(jobs, threads, ahead, produce, consume)", nullptr, &run_in_order_private,
               py::arg("jobs"), py::arg("threads"), py::arg("ahead"), py::arg("produce"), py::arg("consume"));
}

}  // namespace nivra::convert
