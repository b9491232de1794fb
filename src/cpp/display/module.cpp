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
  register_boxes(m);
}
