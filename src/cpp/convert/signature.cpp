// The one table of file signatures, and the checks built on it.
#include "convert/signature.hpp"

#include <sys/stat.h>

#include "convert/convert.hpp"

namespace nivra::convert {

namespace {

using namespace std::string_view_literals;

struct Signature {
  std::string_view magic;  // at byte 0
  FileKind kind;
};

// The first entry that matches wins. The last few are too short or too
// textual to tell raw data apart; they only name a file in messages.
constexpr Signature kSignatures[] = {
    {"II*\0"sv, {"TIFF", true}},
    {"MM\0*"sv, {"TIFF", true}},
    {"II+\0"sv, {"TIFF", true}},  // BigTIFF
    {"MM\0+"sv, {"TIFF", true}},
    {"\x89HDF\r\n\x1a\n"sv, {"HDF5", true}},
    {"EHFA_HEADER_TAG"sv, {"ERDAS Imagine", true}},
    {"\x89PNG\r\n\x1a\n"sv, {"PNG", true}},
    {"\xff\xd8\xff"sv, {"JPEG", true}},
    {"GIF8"sv, {"GIF", true}},
    {"PK\x03\x04"sv, {"ZIP", true}},
    {"\x1f\x8b"sv, {"gzip", true}},
    {"CDF\x01"sv, {"netCDF", true}},
    {"CDF\x02"sv, {"netCDF", true}},
    {"MATLAB 5.0 MAT-file"sv, {"MATLAB", true}},
    {"MATLAB 7.3 MAT-file"sv, {"MATLAB 7.3", true}},
    {"CDF\x05"sv, {"netCDF", true}},
    {"\x0e\x03\x13\x01"sv, {"HDF4", true}},
    {"BM"sv, {"BMP", false}},
    {"%!PS"sv, {"PostScript", false}},
    {"\xc5\xd0\xd3\xc6"sv, {"PostScript", false}},  // DOS EPS binary header
    {"<VRTDataset"sv, {"GDAL VRT", false}},
};

// HDF5 also starts after a user block of 512 bytes or any doubling of it;
// these are the offsets a short read covers.
constexpr std::string_view kHdf5Magic = "\x89HDF\r\n\x1a\n"sv;
constexpr std::size_t kUserBlockOffsets[] = {512, 1024, 2048};
constexpr int kHeadBytes = 2048 + 8;

constexpr FileKind kUnknown{"unknown", false};

// os.stat(path).st_mode, or nothing when the path cannot be examined.
bool mode_of(const py::object& path, mode_t& mode) {
  try {
    mode = static_cast<mode_t>(ns()["os"].attr("stat")(path).attr("st_mode").cast<unsigned long>());
    return true;
  } catch (py::error_already_set& error) {
    // missing, not allowed, or not a path the OS takes: the reader says so
    if (error.matches(PyExc_OSError) || error.matches(PyExc_ValueError)) return false;
    throw;
  }
}

}  // namespace

FileKind kind_of(const py::object& path) {
  py::bytes head;
  with_context(ns()["open"](path, "rb"), [&](py::object file) { head = file.attr("read")(kHeadBytes); });
  auto bytes = static_cast<std::string_view>(head);
  for (const auto& [magic, kind] : kSignatures) {
    if (bytes.substr(0, magic.size()) == magic) return kind;
  }
  for (std::size_t offset : kUserBlockOffsets) {
    if (bytes.size() > offset && bytes.substr(offset, kHdf5Magic.size()) == kHdf5Magic) return {"HDF5", true};
  }
  return kUnknown;
}

bool is_regular_file(const py::object& path) {
  mode_t mode = 0;
  return mode_of(path, mode) && S_ISREG(mode);
}

void require_regular_file(const py::object& path) {
  mode_t mode = 0;
  if (!mode_of(path, mode) || S_ISREG(mode) || S_ISDIR(mode)) return;
  raise(PyExc_ValueError, concat("'", path, "' is not a regular file"));
}

void require_kind(const py::object& path, std::initializer_list<std::string_view> accepted, const char* what) {
  FileKind kind = kind_of(path);
  for (std::string_view name : accepted) {
    if (name == kind.name) return;
  }
  raise(PyExc_ValueError, concat("'", path, "' is not ", what, " (file signature: ", kind.name, ")"));
}

void require_tiff(const py::object& path) {
  require_regular_file(path);
  // GDAL opens by content: a VRT's XML would read the files it names. Paths
  // GDAL resolves itself (/vsizip/...) are not files here and are left to it.
  if (is_regular_file(path)) require_kind(path, {"TIFF"}, "a TIFF file");
}

void require_picture(const py::object& path) {
  // Pillow opens by content too: PostScript would go to Ghostscript.
  if (is_regular_file(path)) require_kind(path, {"PNG", "JPEG", "BMP"}, "a PNG, JPEG or BMP image");
}

}  // namespace nivra::convert
