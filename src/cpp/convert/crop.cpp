// The spatial crop window applied to image and labels alike.
#include "convert/loaders.hpp"

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

PyObject* original_apply_crop = nullptr;  // owned for the life of the process

py::tuple apply_crop(py::object data, py::object gt, py::object crop_arg) {
  // The window is unpacked before the image is looked at.
  py::tuple crop = unpack(require_tuple({"_apply_crop", "crop"}, crop_arg), 4);
  CropWindow window = check_crop_window(crop, data.attr("shape"));
  py::object cropped_gt = gt.is_none() ? py::object(py::none()) : cut_window(gt, window);
  return py::make_tuple(cut_window(data, window), cropped_gt);
}

}  // namespace

CropWindow check_crop_window(const py::object& crop, const py::object& shape) {
  py::tuple values = unpack(crop, 4);
  CropWindow window{as_python_int(values[0]), as_python_int(values[1]), as_python_int(values[2]),
                    as_python_int(values[3])};
  const auto& [y, x, h, w] = window;
  py::tuple size = unpack(shape[slice(py::none(), py::int_(2))], 2);
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
  return window;
}

py::object cut_window(const py::object& array, const CropWindow& window) {
  const auto& [y, x, h, w] = window;
  return array[py::make_tuple(slice(y, y + h), slice(x, x + w))];
}

py::tuple window_shape(const CropWindow& window, const py::object& shape) {
  return py::tuple(py::make_tuple(window.h, window.w) + shape[slice(py::int_(2), py::none())]);
}

bool apply_crop_is_original() { return ns()["_apply_crop"].ptr() == original_apply_crop; }

void register_crop(py::module_& m) {
  def_function(m, "_apply_crop", "(data, gt, crop)", "Apply spatial crop: (y, x, height, width).",
               &apply_crop, py::arg("data"), py::arg("gt"), py::arg("crop"));
  original_apply_crop = py::object(m.attr("_apply_crop")).release().ptr();
}

}  // namespace nivra::convert
