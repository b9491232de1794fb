// What the driver checks of a label file before the ground-truth loader reads it.
#pragma once

#include "common/pyutil.hpp"

namespace nivra::convert {

// The regular-file check, then the number of values the file's headers
// declare against the image's height x width (`image_shape`, before any
// crop): more than 16 per pixel is refused before anything is read.
void check_labels_before_reading(const py::object& path, const py::object& image_shape);

}  // namespace nivra::convert
