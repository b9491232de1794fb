// The MAT types of an array's elements, shared by both MAT versions: the
// data types and array classes of the level-5 format (which the 7.3
// format's MATLAB_class names), and which of them a buffer's elements are.
// Pure C++.
#pragma once

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace nivra::mat {

enum DataType : std::uint32_t {
  miINT8 = 1, miUINT8 = 2, miINT16 = 3, miUINT16 = 4, miINT32 = 5, miUINT32 = 6,
  miSINGLE = 7, miDOUBLE = 9, miINT64 = 12, miUINT64 = 13, miMATRIX = 14, miCOMPRESSED = 15,
};
enum ArrayClass : std::uint32_t {
  mxDOUBLE = 6, mxSINGLE = 7, mxINT8 = 8, mxUINT8 = 9, mxINT16 = 10, mxUINT16 = 11,
  mxINT32 = 12, mxUINT32 = 13, mxINT64 = 14, mxUINT64 = 15,
};

}  // namespace nivra::mat

namespace nivra::convert {

struct ElementType {
  mat::ArrayClass array_class;
  mat::DataType data_type;
  bool logical, complex;
};

// The MAT types of a buffer's elements, from its format without the byte
// order ("?", "b", ..., "d", "Zf") and its item size; none when savemat
// must decide.
inline std::optional<ElementType> element_type(const std::string& format, std::ptrdiff_t size) {
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
