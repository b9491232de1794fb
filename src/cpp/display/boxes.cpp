// Framed blocks: the configuration box.
#include "display/display.hpp"

namespace nivra::display {

namespace {

constexpr const char* kHeavyRule = "\u2550";

void print_config_box(py::object title_arg, py::object items_arg) {
  py::str title = require_str({"print_config_box", "title"}, title_arg);
  py::list items = require_list({"print_config_box", "items"}, items_arg);
  const Namespace& g = ns();
  py::str rule = repeat(kHeavyRule, 60);

  print_line(g, concat("\n", g["BOLD"], rule, g["RESET"]));
  print_line(g, concat("  ", g["BOLD"], g["CYAN"], title, g["RESET"]));
  for (py::handle item : py::iter(items)) {  // Python iteration: safe if printing mutates
    py::tuple pair = unpack(item, 2);
    print_line(g, concat("  ", format(pair[0], "<14"), ": ", format(pair[1], "")));
  }
  print_line(g, concat(g["BOLD"], rule, g["RESET"]));
}

}  // namespace

void register_boxes(py::module_& m) {
  def_function(m, "print_config_box", "(title, items)", "Print a styled \u2550\u2550\u2550 config box.",
               &print_config_box, py::arg("title"), py::arg("items"));
}

}  // namespace nivra::display
