// HDF5 objects whose data lives in other files: external links, external
// storage and virtual datasets. Following any of them would have the
// library open a file the user did not name.
#pragma once

#include "common/pyutil.hpp"

namespace nivra::convert {

// "external link" when some link on the way from `group` to `key` (soft
// links resolved inside the file) leads into another file, else nullptr.
// Only link records are read: no file beyond the open one is touched.
const char* outside_link(const py::module_& h5py, const py::object& group, const py::object& key);

// "virtual dataset" or "external storage" when `object` is a dataset whose
// values are kept in other files, else nullptr.
const char* outside_data(const py::module_& h5py, const py::object& object);

// A dataset's shape, or None for a virtual one: learning its extent can
// take opening its source files.
py::object shape_inside(const py::object& dataset);

// ValueError "<what> '<key>' in <path> refers to data outside the file
// (<how>); only data stored in the file is converted".
[[noreturn]] void refuse_outside(const char* what, const py::object& key, const py::object& path, const char* how);

}  // namespace nivra::convert
