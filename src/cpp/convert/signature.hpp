// What an input file is, told from the file system and its first bytes
// before any format library opens it.
#pragma once

#include <initializer_list>
#include <string_view>

#include "common/pyutil.hpp"

namespace nivra::convert {

// The kind a file's first bytes name, for messages ("TIFF", "HDF5", ...,
// "unknown"); `container` marks the kinds that are never raw ENVI data.
struct FileKind {
  const char* name;
  bool container;
};

// The kind of the file at `path`, from its first bytes (one read of at
// most 2056). Errors of opening or reading it pass through.
FileKind kind_of(const py::object& path);

// ValueError "'<path>' is not a regular file" for a path that exists and is
// neither a regular file nor a directory (a FIFO, socket or device, links
// followed). A path that cannot be examined is left to the reader.
void require_regular_file(const py::object& path);

// True when `path` names a regular file (links followed).
bool is_regular_file(const py::object& path);

// ValueError "'<path>' is not <what> (file signature: <kind>)" unless the
// file's kind is one of `accepted`.
void require_kind(const py::object& path, std::initializer_list<std::string_view> accepted, const char* what);

// A TIFF image or label must be one by content before GDAL sees it: the
// regular-file check, then the signature where the path is a file here.
void require_tiff(const py::object& path);
// A PNG, JPEG or BMP label must be one of the three by content.
void require_picture(const py::object& path);

}  // namespace nivra::convert
