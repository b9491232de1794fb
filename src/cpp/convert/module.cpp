#include "convert/convert.hpp"

namespace nivra::convert {

namespace {
Namespace module_namespace;
bool plain_run = false;  // set by ColourChoice

// `from module import a, b, ...`, failing the import when a name is missing.
void import_names(py::module_& m, const char* module, std::initializer_list<const char*> names) {
  py::module_ source = py::module_::import(module);
  for (const char* name : names) {
    if (!py::hasattr(source, name)) {
      raise(PyExc_ImportError,
            py::str("cannot import name '{}' from '{}'").format(name, module));
    }
    m.attr(name) = source.attr(name);
  }
}
}  // namespace

const Namespace& ns() { return module_namespace; }

py::object os_path(const char* name) { return module_namespace["os"].attr("path").attr(name); }

py::object colour(const char* name) { return plain_run ? py::str("") : module_namespace[name]; }

ColourChoice::ColourChoice() : previous_(plain_run) {
  py::object value = module_namespace["os"].attr("environ").attr("get")("NO_COLOR");
  plain_run = !value.is_none() && truthy(value);
}

ColourChoice::~ColourChoice() { plain_run = previous_; }

void register_loader_table(py::module_& m) {
  m.attr("_READ_BLOCK_BYTES") = 32 << 20;  // reads go in row blocks of about this size
  m.attr("_PROGRESS_AFTER_SECONDS") = 1.0;  // work shorter than this shows no progress line
  py::dict loaders;
  loaders["envi"] = m.attr("_load_envi");
  loaders["tiff"] = m.attr("_load_tiff");
  loaders["hdf5"] = m.attr("_load_hdf5");
  m.attr("_LOADERS") = loaders;
}

}  // namespace nivra::convert

PYBIND11_MODULE(convert, m) {
  using namespace nivra::convert;
  py::options options;
  options.disable_function_signatures();
  module_namespace.bind(m);

  m.doc() =
      "\nnivra convert_to_mat \u2014 Convert ENVI / TIFF / GeoTIFF / HDF5 to .mat format.\n\n"
      "Preserves all metadata in a JSON sidecar file for zero data loss.\n";
  for (const char* name : {"argparse", "json", "os", "sys", "time"}) {
    m.attr(name) = py::module_::import(name);
  }
  m.attr("np") = py::module_::import("numpy");
  m.attr("sio") = py::module_::import("scipy.io");
  import_names(m, "nivra.utils.display",
               {"BOLD", "RESET", "CYAN", "GREEN", "YELLOW", "RED", "GRAY", "_c", "print_config_box"});

  register_detection(m);
  register_check_dep(m);
  register_envi(m);
  register_tiff(m);
  register_hdf5(m);
  register_loader_table(m);
  register_ground_truth(m);
  register_crop(m);
  register_summary(m);
  register_driver(m);
  register_mat_writer(m);
  register_mat73_writer(m);
}
