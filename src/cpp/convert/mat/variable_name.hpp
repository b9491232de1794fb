// Which variable names a version 7 MAT file can hold.
#pragma once

#include "convert/convert.hpp"

namespace nivra::convert {

// savemat drops names starting with "_" and cannot store empty or
// non-Latin-1 names.
inline bool storable_variable_name(const py::str& name) {
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(name.ptr()) < 0) throw py::error_already_set();
#endif
  if (PyUnicode_GET_LENGTH(name.ptr()) == 0) return false;
  if (PyUnicode_READ_CHAR(name.ptr(), 0) == '_') return false;
  return PyUnicode_KIND(name.ptr()) == PyUnicode_1BYTE_KIND;
}

}  // namespace nivra::convert
