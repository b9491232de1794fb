#include "display/display.hpp"

namespace nivra::display {

namespace {
Namespace module_namespace;
}

const Namespace& ns() { return module_namespace; }

}  // namespace nivra::display

PYBIND11_MODULE(display, m) {
  using namespace nivra::display;
  py::options options;
  options.disable_function_signatures();
  module_namespace.bind(m);

  m.doc() = "nivra/utils/display\nAll CLI visual candy: ASCII art, progress bars, styled prints.";
  m.attr("subprocess") = py::module_::import("subprocess");
  register_palette(m);
  register_art(m);
  m.attr("BAR_WIDTH") = 24;

  register_epoch_bar(m);
  register_forest_banner(m);
  register_node_banner(m);
  register_gpu_stats(m);
  register_forest_done_line(m);
  register_stage_banners(m);
  register_config_box(m);
  register_results_box(m);
  register_per_class_iou(m);
  register_save_and_next(m);
}
