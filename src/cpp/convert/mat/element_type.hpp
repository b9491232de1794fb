// The MAT class and stored type of a buffer's elements, shared by both
// MAT versions.
#pragma once

#include <cctype>
#include <optional>
#include <string>

#include "convert/array_buffer.hpp"
#include "convert/mat/v5.hpp"

namespace nivra::convert {

struct ElementType {
  mat::ArrayClass array_class;
  mat::DataType data_type;
  bool logical, complex;
};

// The MAT types of a buffer's elements, or none when savemat must decide.
inline std::optional<ElementType> element_type(const Buffer& buffer) {
  const std::string format = buffer.format();
  const Py_ssize_t size = buffer.itemsize();
  if (format == "?" && size == 1) return ElementType{mat::mxUINT8, mat::miUINT8, true, false};
  if (format == "f" && size == 4) return ElementType{mat::mxSINGLE, mat::miSINGLE, false, false};
  if (format == "d" && size == 8) return ElementType{mat::mxDOUBLE, mat::miDOUBLE, false, false};
  if (format == "Zf" && size == 8) return ElementType{mat::mxSINGLE, mat::miSINGLE, false, true};
  if (format == "Zd" && size == 16) return ElementType{mat::mxDOUBLE, mat::miDOUBLE, false, true};
  if (format.size() != 1 || std::string("bhilqBHILQ").find(format[0]) == std::string::npos) return std::nullopt;
  const bool is_signed = std::islower(static_cast<unsigned char>(format[0])) != 0;
  switch (size) {
    case 1: return ElementType{is_signed ? mat::mxINT8 : mat::mxUINT8, is_signed ? mat::miINT8 : mat::miUINT8, false, false};
    case 2: return ElementType{is_signed ? mat::mxINT16 : mat::mxUINT16, is_signed ? mat::miINT16 : mat::miUINT16, false, false};
    case 4: return ElementType{is_signed ? mat::mxINT32 : mat::mxUINT32, is_signed ? mat::miINT32 : mat::miUINT32, false, false};
    case 8: return ElementType{is_signed ? mat::mxINT64 : mat::mxUINT64, is_signed ? mat::miINT64 : mat::miUINT64, false, false};
    default: return std::nullopt;
  }
}

}  // namespace nivra::convert
