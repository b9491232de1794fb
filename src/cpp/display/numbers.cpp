// The Python int conversion and the shared metric grade.
#include "display/display.hpp"

namespace nivra::display {

py::int_ int_of(py::handle value) {
  PyObject* result = PyNumber_Long(value.ptr());
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::int_>(result);
}

py::object grade(py::handle value, double upper, std::optional<double> lower) {
  const Namespace& g = ns();
  if (compare(value, Py_GE, py::float_(upper))) return g["GREEN"];
  if (!lower || compare(value, Py_GE, py::float_(*lower))) return g["YELLOW"];
  return g["RED"];
}

}  // namespace nivra::display
