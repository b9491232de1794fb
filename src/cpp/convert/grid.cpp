// A cropped scene's own georeferencing: the image's grid moved to the window.
#include "convert/grid.hpp"

namespace nivra::convert {

namespace {

bool is_list_or_tuple(const py::object& value) { return PyList_Check(value.ptr()) || PyTuple_Check(value.ptr()); }

// A plain int or float, the types a transform's coefficients come in.
bool is_coefficient(py::handle value) {
  return (PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr())) || PyFloat_Check(value.ptr());
}

// An affine transform (a, b, c, d, e, f) maps column, row to x = a*col +
// b*row + c, y = d*col + e*row + f; the window's starts where its top-left
// pixel lies.
void add_transform(py::dict& record, const py::object& transform, const CropWindow& window) {
  if (!is_list_or_tuple(transform) || py::len(transform) != 6) return;
  py::list t(transform);
  for (py::handle coefficient : t) {
    if (!is_coefficient(coefficient)) return;
  }
  py::object a = t[0], b = t[1], c = t[2], d = t[3], e = t[4], f = t[5];
  py::object x = window.x, y = window.y;
  py::object c0 = c + x * a + y * b, f0 = f + x * d + y * e;
  py::list moved;
  for (const py::object& coefficient : {a, b, c0, d, e, f0}) moved.append(coefficient);
  record["transform"] = moved;

  // The window's four corners; a rotated grid has no corner that is both
  // leftmost and topmost.
  py::list xs, ys;
  for (const py::object& column : {py::object(py::int_(0)), window.w}) {
    for (const py::object& row : {py::object(py::int_(0)), window.h}) {
      xs.append(a * column + b * row + c0);
      ys.append(d * column + e * row + f0);
    }
  }
  const Namespace& g = ns();
  py::dict bounds;
  bounds["left"] = g["min"](xs);
  bounds["bottom"] = g["min"](ys);
  bounds["right"] = g["max"](xs);
  bounds["top"] = g["max"](ys);
  record["bounds"] = bounds;
}

// float(value), or None when it is not a number.
py::object number_or_none(py::handle value) {
  try {
    return ns()["float"](value);
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_ValueError) && !error.matches(PyExc_TypeError)) throw;
    return py::none();
  }
}

// ENVI's map info: projection, then the reference pixel (1-based column and
// row, fractions allowed) and the map coordinates it lies at, pixel sizes, ...
void add_map_info(py::dict& record, const py::object& map_info, const CropWindow& window) {
  if (!is_list_or_tuple(map_info) || py::len(map_info) < 7) return;
  py::list moved = ns()["list"](map_info);  // a copy: the image's own stays as it was
  py::object column = number_or_none(moved[1]), row = number_or_none(moved[2]);
  if (column.is_none() || row.is_none()) return;
  py::object repr = ns()["repr"];
  moved[1] = repr(column - window.x);
  moved[2] = repr(row - window.y);
  record["map info"] = moved;
}

}  // namespace

void add_window_grid(py::dict& record, const py::object& meta, const CropWindow& window) {
  add_transform(record, meta.attr("get")("transform"), window);
  add_map_info(record, meta.attr("get")("map info"), window);
}

}  // namespace nivra::convert
