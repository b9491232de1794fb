// Image loaders split into opening and reading, and the table that tells
// the driver which loaders are the module's own.
#include <utility>
#include <vector>

#include "convert/convert.hpp"

namespace nivra::convert {

namespace {

// Each loader held for the life of the process, with its opener.
std::vector<std::pair<PyObject*, Opener>>& openers() {
  static auto* table = new std::vector<std::pair<PyObject*, Opener>>();
  return *table;
}

}  // namespace

OpenedImage already_read(const py::object& data, const py::dict& meta) {
  return {py::tuple(data.attr("shape")), data.attr("dtype"), meta,
          [data](const CropWindow* window) { return window ? cut_window(data, *window) : data; }};
}

py::tuple load_whole(Opener open, py::object path) {
  OpenedImage image = open(std::move(path));
  return py::make_tuple(image.read(nullptr), image.meta);
}

void remember_opener(py::handle loader, Opener open) { openers().emplace_back(loader.inc_ref().ptr(), open); }

Opener opener_of(py::handle loader) {
  for (const auto& [function, open] : openers()) {
    if (function == loader.ptr()) return open;
  }
  return nullptr;
}

}  // namespace nivra::convert
