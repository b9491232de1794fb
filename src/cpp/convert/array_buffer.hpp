// A read-only view of an exact numpy array's memory through the buffer
// protocol: no copy, any strides, either byte order.
#pragma once

#include <cstdint>
#include <string>

#include "common/byte_order.hpp"
#include "convert/convert.hpp"
#include "convert/view.hpp"

namespace nivra::convert {

// The buffer of an exact numpy array, released on scope exit; empty for
// anything else.
class Buffer {
 public:
  explicit Buffer(py::handle array) {
    if (!is_exact_ndarray(array)) return;
    if (PyObject_GetBuffer(array.ptr(), &buffer_, PyBUF_RECORDS_RO) != 0) {
      PyErr_Clear();  // dtypes without a buffer form (datetime, ...) take the numpy path
      return;
    }
    ok_ = true;
  }
  ~Buffer() {
    if (ok_) PyBuffer_Release(&buffer_);
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;

  // The element format without its byte order ("?", "b", ..., "d", "Zf"), or
  // "" when there is no buffer.
  std::string format() const {
    if (!ok_ || buffer_.format == nullptr) return "";
    const char* f = buffer_.format;
    if (*f == '<' || *f == '>' || *f == '=' || *f == '!' || *f == '@') ++f;
    return f;
  }
  // The element code ('?', 'b', 'B', ..., 'f', 'd'), or 0 when unsupported.
  char code() const {
    const std::string f = format();
    return f.size() == 1 ? f[0] : 0;
  }
  View view() const {
    View v{static_cast<const char*>(buffer_.buf), {}, {}, swapped()};
    for (int d = 0; d < buffer_.ndim; ++d) {
      v.shape.push_back(buffer_.shape[d]);
      v.strides.push_back(buffer_.strides[d]);
    }
    return v;
  }
  Py_ssize_t itemsize() const { return buffer_.itemsize; }
  // Stored in the other byte order.
  bool swapped() const {
    const char order = buffer_.format ? buffer_.format[0] : '@';
    return (order == '>' || order == '!') ? kHostIsLittleEndian : (order == '<' ? !kHostIsLittleEndian : false);
  }

 private:
  static bool is_exact_ndarray(py::handle array) {
    return py::type::handle_of(array).is(ns()["np"].attr("ndarray"));
  }

  Py_buffer buffer_{};
  bool ok_ = false;
};

}  // namespace nivra::convert
