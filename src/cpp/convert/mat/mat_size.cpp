// The size limit of one variable in a MAT v5 file, checked from the shape
// and element type alone.
#include <algorithm>
#include <cstdint>

#include "convert/mat/v5.hpp"
#include "convert/writers.hpp"

namespace nivra::convert {

namespace {

// The bytes a data element holding `count` bytes takes, tag included, in
// Python's integers: a shape from a header may stand for any number of bytes.
py::object element_bytes(const py::object& count) {
  py::int_ tag(mat::kTagBytes);
  if (compare(count, Py_LE, py::int_(mat::kSmallDataMost))) return tag;
  const auto low = count.attr("__mod__")(tag).cast<std::uint64_t>();
  return tag + count + py::int_(mat::regular_padding(low));
}

}  // namespace

void require_storable_size(const py::object& key, const py::object& shape, const py::object& dtype) {
  // Bytes per stored value and values per element: savemat stores booleans
  // as bytes, complex values as a real and an imaginary part, and floats
  // other than 4 or 8 bytes as doubles. Other kinds are not numeric arrays.
  py::str kind = dtype.attr("kind");
  py::object itemsize = dtype.attr("itemsize");
  py::object part = itemsize;
  int parts = 1;
  if (kind.equal(py::str("b"))) {
    part = py::int_(1);
  } else if (kind.equal(py::str("f"))) {
    if (!contains(py::make_tuple(4, 8), itemsize)) part = py::int_(8);
  } else if (kind.equal(py::str("c"))) {
    part = py::int_(itemsize.cast<Py_ssize_t>() / 2);
    parts = 2;
  } else if (!kind.equal(py::str("i")) && !kind.equal(py::str("u"))) {
    return;
  }

  py::object values = py::int_(1);
  for (py::handle extent : py::iter(shape)) values = values * extent;
  py::object dims = py::int_(4 * std::max<Py_ssize_t>(py::len(shape), 2));
  py::object record = py::int_(16) + element_bytes(dims) + element_bytes(py::int_(py::len(key)));
  for (int i = 0; i < parts; ++i) record = record + element_bytes(values * part);

  if (compare(record, Py_GT, py::int_(mat::kMostElementBytes))) {
    raise(PyExc_ValueError,
          concat("Variable '", key, "' would take ", record, " bytes (", format(record / py::int_(1048576), ".1f"),
                 " MB); a version 7 MAT file holds at most ", py::int_(mat::kMostElementBytes),
                 " bytes per variable. Use --mat-version 7.3, or --crop to convert a smaller window"));
  }
}

}  // namespace nivra::convert
