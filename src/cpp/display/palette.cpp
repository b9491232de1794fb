#include "display/display.hpp"

namespace nivra::display {

void register_palette(py::module_& m) {
  static constexpr const char* kPalette[][2] = {
      {"RESET", "\x1b[0m"},   {"BOLD", "\x1b[1m"},    {"DIM", "\x1b[2m"},
      {"CYAN", "\x1b[96m"},   {"GREEN", "\x1b[92m"},  {"YELLOW", "\x1b[93m"},
      {"BLUE", "\x1b[94m"},   {"MAGENTA", "\x1b[95m"}, {"RED", "\x1b[91m"},
      {"WHITE", "\x1b[97m"},  {"GRAY", "\x1b[90m"},
  };
  for (const auto& entry : kPalette) m.attr(entry[0]) = entry[1];

  def_function(
      m, "_c", "(text, *codes)", nullptr,
      [](py::object text, py::args codes) -> py::str {
        PyObject* joined = PyUnicode_Join(py::str("").ptr(), codes.ptr());
        if (joined == nullptr) throw py::error_already_set();
        return concat(py::reinterpret_steal<py::str>(joined), text, ns()["RESET"]);
      },
      py::arg("text"));
}

}  // namespace nivra::display
