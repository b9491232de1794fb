// The optional-library check run by each loader before its import.
#include "convert/convert.hpp"

namespace nivra::convert {

namespace {

void check_dep(py::object name_arg) {
  py::str name = require_str({"_check_dep", "name"}, name_arg);
  const Namespace& g = ns();
  try {
    g["__import__"](name);
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_ImportError)) throw;
    py::dict extras;
    extras["spectral"] = "spectral";
    extras["rasterio"] = "rasterio";
    extras["h5py"] = "h5py";
    extras["PIL"] = "Pillow";
    py::object pkg = extras.attr("get")(name, name);
    print_line(g, concat("\n", colour("RED"), colour("BOLD"), "  Missing dependency: ", name, colour("RESET"),
                    "\n  Install it with:  pip install ", pkg,
                    "\n  Or install all convert deps:  pip install \"nivra-hsi[convert]\"\n"));
    g["sys"].attr("exit")(1);
  }
}

}  // namespace

void register_check_dep(py::module_& m) {
  def_function(m, "_check_dep", "(name)", "Raise a helpful error when an optional dep is missing.",
               &check_dep, py::arg("name"));
}

}  // namespace nivra::convert
