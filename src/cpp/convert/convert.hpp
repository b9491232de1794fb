// The dataset converter module: `nivra convert_to_mat`.
#pragma once

#include "common/pyutil.hpp"

namespace nivra::convert {

// The module's own namespace; every function reads its globals through it.
const Namespace& ns();

// os.path.<name>, read from the module's `os` at call time.
py::object os_path(const char* name);

// A palette entry ("BOLD", "GREEN", ...) as the converter prints it: the
// module's global, or "" during a run that NO_COLOR turned plain.
py::object colour(const char* name);
// For the life of a run of `main`: NO_COLOR, when set and not empty as the
// run starts, makes every colour() empty.
class ColourChoice {
 public:
  ColourChoice();
  ~ColourChoice();
  ColourChoice(const ColourChoice&) = delete;
  ColourChoice& operator=(const ColourChoice&) = delete;

 private:
  bool previous_;
};

// Native one-pass census of a label array: (sorted classes as an array of
// its dtype, pixel count per class), or None when numpy must do it.
py::object native_census(py::handle labels);
// (min, max) as scalars of the array's dtype, or None when numpy must do it.
py::object native_range(py::handle array);

void register_detection(py::module_& m);  // _EXT_MAP, _strip_dataset_specifier, _detect_format
void register_check_dep(py::module_& m);  // _check_dep
void register_envi(py::module_& m);       // _load_envi
void register_tiff(py::module_& m);       // _load_tiff
void register_hdf5(py::module_& m);       // _load_hdf5, _json_safe
void register_loader_table(py::module_& m);  // _LOADERS
void register_ground_truth(py::module_& m);  // _load_gt
void register_crop(py::module_& m);       // _apply_crop
void register_summary(py::module_& m);    // _print_summary
void register_driver(py::module_& m);     // main
void register_mat_writer(py::module_& m);  // _write_mat
void register_mat73_writer(py::module_& m);  // _write_mat73

}  // namespace nivra::convert
