// A cropped scene's own georeferencing.
#pragma once

#include "convert/loaders.hpp"

namespace nivra::convert {

// Adds to a crop's record the image's grid moved to the window: from meta's
// six-entry "transform", the window's "transform" and "bounds"; from meta's
// ENVI "map info", the same list with its reference pixel counted from the
// window's corner.
void add_window_grid(py::dict& record, const py::object& meta, const CropWindow& window);

}  // namespace nivra::convert
