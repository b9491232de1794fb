#include "convert/mat/codec.hpp"

#include <memory>
#include <stdexcept>

#if !defined(_WIN32)
#include <dlfcn.h>
#endif

#include "convert/mat/adler32.hpp"
#include "convert/mat/deflate_join.hpp"
#include "convert/mat/v5.hpp"

namespace nivra::convert {

namespace {

constexpr int kZlibLevel = 6;  // the fallback matches savemat's size

// The bytes of any object with a buffer (bytes, bytearray, ...).
std::string buffer_bytes(py::handle object) {
  Py_buffer view;
  if (PyObject_GetBuffer(object.ptr(), &view, PyBUF_SIMPLE) != 0) throw py::error_already_set();
  std::string bytes(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
  PyBuffer_Release(&view);
  return bytes;
}

template <typename Function>
bool find(void* library, const char* name, Function& function) {
#if defined(_WIN32)
  (void)library, (void)name, (void)function;
  return false;
#else
  void* symbol = dlsym(library, name);
  function = reinterpret_cast<Function>(symbol);
  return symbol != nullptr;
#endif
}

// The package's extension module, loaded and kept open, while the
// package's `function` is the extension's own; none elsewhere (Windows
// builds export nothing but the module's entry point).
void* extension_library(py::handle package, const char* function) {
#if defined(_WIN32)
  (void)package, (void)function;
  return nullptr;
#else
  py::object extension = py::getattr(package, "_deflate", py::none());
  py::object path = py::getattr(extension, "__file__", py::none());
  if (!PyUnicode_Check(path.ptr()) ||
      !py::getattr(package, function, py::none()).is(py::getattr(extension, function, py::none()))) {
    return nullptr;
  }
  py::bytes encoded = py::module_::import("os").attr("fsencode")(path);
  return dlopen(std::string(encoded).c_str(), RTLD_NOW | RTLD_NOLOAD);  // already loaded; kept open
#endif
}

// libdeflate's raw deflate functions, while deflate_compress is the extension's own.
std::optional<LibdeflateFunctions> exported_functions(py::handle package) {
  void* library = extension_library(package, "deflate_compress");
  if (library == nullptr) return std::nullopt;
  LibdeflateFunctions f{};
  if (find(library, "libdeflate_alloc_compressor", f.alloc_compressor) &&
      find(library, "libdeflate_deflate_compress_bound", f.compress_bound) &&
      find(library, "libdeflate_deflate_compress", f.compress) &&
      find(library, "libdeflate_free_compressor", f.free_compressor)) {
    if (!find(library, "libdeflate_adler32", f.adler32)) f.adler32 = nullptr;
    return f;
  }
  return std::nullopt;
}

// Likewise the zlib-wrapped compression, while zlib_compress is the extension's own.
std::optional<LibdeflateZlibFunctions> exported_zlib_functions(py::handle package) {
  void* library = extension_library(package, "zlib_compress");
  if (library == nullptr) return std::nullopt;
  LibdeflateZlibFunctions f{};
  if (find(library, "libdeflate_zlib_compress_bound", f.compress_bound) &&
      find(library, "libdeflate_zlib_compress", f.compress)) {
    return f;
  }
  return std::nullopt;
}

// A view of bytes owned elsewhere, for the duration of one call; needs the GIL.
py::object memory_view(const unsigned char* data, std::size_t size) {
  auto view = py::reinterpret_steal<py::object>(PyMemoryView_FromMemory(
      reinterpret_cast<char*>(const_cast<unsigned char*>(data)), static_cast<Py_ssize_t>(size), PyBUF_READ));
  if (!view) throw py::error_already_set();
  return view;
}

}  // namespace

BlockCodec::BlockCodec(int libdeflate_level) {
  try {
    module_ = py::module_::import("deflate");
    libdeflate_ = true;
    level_ = libdeflate_level;
    direct_ = exported_functions(module_);
    if (direct_) direct_zlib_ = exported_zlib_functions(module_);
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_ImportError)) throw;
    module_ = py::module_::import("zlib");
    libdeflate_ = false;
    level_ = kZlibLevel;
  }
}

unsigned char BlockCodec::header_flags() const { return mat::zlib_header_flags(libdeflate_ ? 1 : 2); }

void* BlockCodec::thread_compressor() const {
  // One compressor per thread and level, kept while the thread lives:
  // allocating one per block costs as much as a good part of compressing it.
  struct Kept {
    std::unique_ptr<void, void (*)(void*)> compressor{nullptr, nullptr};
    int level = 0;
  };
  thread_local Kept kept;
  if (!kept.compressor || kept.compressor.get_deleter() != direct_->free_compressor || kept.level != level_) {
    kept.compressor = {direct_->alloc_compressor(level_), direct_->free_compressor};
    kept.level = level_;
    if (!kept.compressor) throw std::bad_alloc();
  }
  return kept.compressor.get();
}

std::string BlockCodec::compress(const unsigned char* data, std::size_t size, bool last) const {
  std::string out;
  if (direct_) {
    void* compressor = thread_compressor();
    out.resize(direct_->compress_bound(compressor, size));
    out.resize(direct_->compress(compressor, data, size, out.data(), out.size()));
    if (out.empty()) throw std::runtime_error("libdeflate could not compress a block");
  } else {
    out = compress_in_python(data, size, last);
  }
  return out;
}

void BlockCodec::continue_streams(const std::vector<std::string*>& streams) const {
  // Streams from libdeflate's C function itself are whole; through Python,
  // the package's function may be anything.
  if (libdeflate_) deflate::continue_streams(streams, direct_ ? deflate::Walking::kWhole : deflate::Walking::kFast);
}

std::uint32_t BlockCodec::adler32(std::uint32_t adler, const unsigned char* data, std::size_t size) const {
  if (direct_ && direct_->adler32 != nullptr) return direct_->adler32(adler, data, size);
  return mat::adler32(adler, data, size);
}

std::string BlockCodec::compress_in_python(const unsigned char* data, std::size_t size, bool last) const {
  py::gil_scoped_acquire gil;
  auto view = py::reinterpret_steal<py::object>(PyMemoryView_FromMemory(
      reinterpret_cast<char*>(const_cast<unsigned char*>(data)), static_cast<Py_ssize_t>(size), PyBUF_READ));
  if (!view) throw py::error_already_set();
  std::string out;
  if (libdeflate_) {
    out = buffer_bytes(module_.attr("deflate_compress")(view, level_));
  } else {
    py::object compressor = module_.attr("compressobj")(level_, module_.attr("DEFLATED"), -15);
    out = buffer_bytes(compressor.attr("compress")(view));
    out += buffer_bytes(compressor.attr("flush")(module_.attr(last ? "Z_FINISH" : "Z_SYNC_FLUSH")));
  }
  view.attr("release")();
  return out;
}

std::string BlockCodec::zlib_stream(const unsigned char* data, std::size_t size) const {
  if (!direct_ || !direct_zlib_) return zlib_stream_in_python(data, size);
  void* compressor = thread_compressor();
  std::string out(direct_zlib_->compress_bound(compressor, size), '\0');
  out.resize(direct_zlib_->compress(compressor, data, size, out.data(), out.size()));
  if (out.empty()) throw std::runtime_error("libdeflate could not compress a chunk");
  return out;
}

// deflate.zlib_compress where the package has it, else the zlib module's.
std::string BlockCodec::zlib_stream_in_python(const unsigned char* data, std::size_t size) const {
  py::gil_scoped_acquire gil;
  py::object view = memory_view(data, size);
  py::object compress = py::module_::import("zlib").attr("compress");
  int level = kZlibLevel;
  if (libdeflate_ && py::hasattr(module_, "zlib_compress")) {
    compress = module_.attr("zlib_compress");
    level = level_;
  }
  std::string out = buffer_bytes(compress(view, level));
  view.attr("release")();
  return out;
}

}  // namespace nivra::convert
