// The terminal display module: palette, artwork and printed blocks.
#pragma once

#include <optional>

#include "common/pyutil.hpp"

namespace nivra::display {

// The module's own namespace; every function reads its globals through it.
const Namespace& ns();

// int(value), Python's conversion.
py::int_ int_of(py::handle value);

// The metric grade: GREEN at or above `upper`, else YELLOW at or above
// `lower`, else RED. Without `lower` there is no RED: below `upper` is YELLOW.
py::object grade(py::handle value, double upper, std::optional<double> lower = std::nullopt);

// Registration, called in the order the names appear in the module.
void register_palette(py::module_& m);           // palette constants and _c
void register_art(py::module_& m);               // the five artwork constants
void register_epoch_bar(py::module_& m);         // bars.cpp
void register_forest_banner(py::module_& m);     // banners.cpp
void register_node_banner(py::module_& m);       // banners.cpp
void register_gpu_stats(py::module_& m);         // gpu.cpp
void register_forest_done_line(py::module_& m);  // banners.cpp
void register_stage_banners(py::module_& m);     // banners.cpp
void register_config_box(py::module_& m);        // boxes.cpp
void register_results_box(py::module_& m);       // boxes.cpp
void register_per_class_iou(py::module_& m);     // boxes.cpp
void register_save_and_next(py::module_& m);     // hints.cpp

}  // namespace nivra::display
