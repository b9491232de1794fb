// The spatial crop window applied to image and labels alike.
#include "convert/convert.hpp"

namespace nivra::convert {

namespace {

// Integer-like values other than Python ints (numpy integers) become Python
// ints, so the window arithmetic cannot wrap around past the bounds check.
py::object as_python_int(py::handle value) {
  if (PyLong_Check(value.ptr()) || !PyIndex_Check(value.ptr())) {
    return py::reinterpret_borrow<py::object>(value);
  }
  PyObject* converted = PyNumber_Index(value.ptr());
  if (converted == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(converted);
}

py::tuple apply_crop(py::object data, py::object gt, py::object crop_arg) {
  py::tuple crop = require_tuple({"_apply_crop", "crop"}, crop_arg);
  py::tuple window = unpack(crop, 4);
  py::object y = as_python_int(window[0]), x = as_python_int(window[1]);
  py::object h = as_python_int(window[2]), w = as_python_int(window[3]);
  py::tuple size = unpack(data.attr("shape")[slice(py::none(), py::int_(2))], 2);
  py::object H = size[0], W = size[1];
  py::int_ zero(0);
  auto text = [](py::handle n) { return format(n, ""); };  // as an f-string shows it

  // Tested in order, each only while the ones before it failed.
  if (compare(y, Py_LT, zero) || compare(x, Py_LT, zero) || compare(y + h, Py_GT, H) ||
      compare(x + w, Py_GT, W)) {
    raise(PyExc_ValueError, concat("Crop region (", text(y), ", ", text(x), ", ", text(h), ", ", text(w),
                                   ") exceeds image bounds (", text(H), ", ", text(W), ")"));
  }
  if (compare(h, Py_LE, zero) || compare(w, Py_LE, zero)) {
    raise(PyExc_ValueError,
          concat("Crop height and width must be positive, got height=", text(h), ", width=", text(w)));
  }

  py::tuple index = py::make_tuple(slice(y, y + h), slice(x, x + w));
  py::object cropped_gt = gt.is_none() ? py::object(py::none()) : py::object(gt[index]);
  return py::make_tuple(data[index], cropped_gt);
}

}  // namespace

void register_crop(py::module_& m) {
  def_function(m, "_apply_crop", "(data, gt, crop)", "Apply spatial crop: (y, x, height, width).",
               &apply_crop, py::arg("data"), py::arg("gt"), py::arg("crop"));
}

}  // namespace nivra::convert
