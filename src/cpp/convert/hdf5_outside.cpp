// External links, external storage and virtual datasets, found from link
// records and creation properties alone.
#include "convert/hdf5_outside.hpp"

#include <vector>

#include "convert/convert.hpp"

namespace nivra::convert {

namespace {

// Soft links HDF5 itself follows in one lookup before it gives up.
constexpr int kMaxSoftLinks = 16;

// `path`'s components, the first on top.
void push_components(std::vector<py::object>& pending, const py::object& path) {
  py::list parts = path.attr("split")("/");
  for (Py_ssize_t i = py::len(parts) - 1; i >= 0; --i) pending.push_back(parts[static_cast<size_t>(i)]);
}

bool starts_at_root(const py::object& path) { return truthy(path.attr("startswith")("/")); }

}  // namespace

const char* outside_link(const py::module_& h5py, const py::object& group, const py::object& key) {
  py::object root = group.attr("file");
  py::object current = starts_at_root(key) ? root : group;
  py::object enter = py::none();  // a hard link of `current` to go through before the next component
  std::vector<py::object> pending;
  push_components(pending, key);
  int soft_links = 0;
  while (!pending.empty()) {
    py::object part = pending.back();
    pending.pop_back();
    if (part.equal(py::str("")) || part.equal(py::str("."))) continue;
    if (!enter.is_none()) {
      current = current[enter];
      enter = py::none();
      if (!is_instance(current, h5py.attr("Group"))) return nullptr;  // the lookup fails on its own
    }
    // One name at a time: the record is read, the link is not followed.
    py::object link = current.attr("get")(part, py::arg("getlink") = true);
    if (link.is_none()) return nullptr;  // missing: the lookup's own error
    if (is_instance(link, h5py.attr("SoftLink"))) {
      if (++soft_links > kMaxSoftLinks) return nullptr;
      py::object target = link.attr("path");
      if (starts_at_root(target)) current = root;
      push_components(pending, target);
    } else if (is_instance(link, h5py.attr("HardLink"))) {
      enter = part;
    } else {
      return "external link";
    }
  }
  return nullptr;
}

const char* outside_data(const py::module_& h5py, const py::object& object) {
  if (!is_instance(object, h5py.attr("Dataset"))) return nullptr;
  if (truthy(object.attr("is_virtual"))) return "virtual dataset";
  py::object external = object.attr("id").attr("get_create_plist")().attr("get_external_count")();
  if (compare(external, Py_GT, py::int_(0))) return "external storage";
  return nullptr;
}

py::object shape_inside(const py::object& dataset) {
  if (truthy(dataset.attr("is_virtual"))) return py::none();
  return dataset.attr("shape");
}

void refuse_outside(const char* what, const py::object& key, const py::object& path, const char* how) {
  raise(PyExc_ValueError, concat(what, " '", key, "' in ", path, " refers to data outside the file (", how,
                                 "); only data stored in the file is converted"));
}

}  // namespace nivra::convert
