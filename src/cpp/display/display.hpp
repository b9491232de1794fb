// The terminal display module: palette, artwork and printed blocks.
#pragma once

#include "common/pyutil.hpp"

namespace nivra::display {

// The module's own namespace; every function reads its globals through it.
const Namespace& ns();

void register_palette(py::module_& m);  // palette constants and _c
void register_art(py::module_& m);      // the five artwork constants
void register_boxes(py::module_& m);    // print_config_box

}  // namespace nivra::display
