// The spatial crop window applied to image and labels alike.
#include "convert/convert.hpp"

namespace nivra::convert {

namespace {

// Arithmetic stays on Python ints, so no value from the command line can
// overflow past the bounds check.
py::tuple apply_crop(py::object data, py::object gt, py::object crop_arg) {
  py::tuple crop = require_tuple({"_apply_crop", "crop"}, crop_arg);
  py::tuple window = unpack(crop, 4);
  py::object y = window[0], x = window[1], h = window[2], w = window[3];
  py::tuple size = unpack(data.attr("shape")[slice(py::none(), py::int_(2))], 2);
  py::object H = size[0], W = size[1];
  py::object y_end = y + h, x_end = x + w;
  py::int_ zero(0);

  if (compare(y, Py_LT, zero) || compare(x, Py_LT, zero) || compare(y_end, Py_GT, H) ||
      compare(x_end, Py_GT, W)) {
    raise(PyExc_ValueError, concat("Crop region (", y, ", ", x, ", ", h, ", ", w,
                                   ") exceeds image bounds (", H, ", ", W, ")"));
  }
  if (compare(h, Py_LE, zero) || compare(w, Py_LE, zero)) {
    raise(PyExc_ValueError,
          concat("Crop height and width must be positive, got height=", h, ", width=", w));
  }

  py::tuple index = py::make_tuple(slice(y, y_end), slice(x, x_end));
  py::object cropped_gt = gt.is_none() ? py::object(py::none()) : py::object(gt[index]);
  return py::make_tuple(data[index], cropped_gt);
}

}  // namespace

void register_crop(py::module_& m) {
  def_function(m, "_apply_crop", "(data, gt, crop)", "Apply spatial crop: (y, x, height, width).",
               &apply_crop, py::arg("data"), py::arg("gt"), py::arg("crop"));
}

}  // namespace nivra::convert
