// Binds the census and value-range kernels to numpy arrays through the
// buffer protocol: no copy, any strides, either byte order.
#include "convert/array_buffer.hpp"
#include "convert/census.hpp"

namespace nivra::convert {

namespace {

template <typename T>
py::object to_python(T value) {
  if constexpr (std::is_floating_point_v<T>) return py::float_(static_cast<double>(value));
  else if constexpr (std::is_signed_v<T>) return py::int_(static_cast<long long>(value));
  else return py::int_(static_cast<unsigned long long>(value));
}

// Calls f(T{}) with the C++ type of the buffer's elements; false when there
// is none. Booleans are read as bytes, any nonzero byte being true.
template <typename F>
bool with_element_type(const Buffer& buffer, F&& f) {
  const Py_ssize_t size = buffer.itemsize();
  auto pick_int = [&](bool is_signed) {
    switch (size) {
      case 1: is_signed ? f(std::int8_t{}) : f(std::uint8_t{}); return true;
      case 2: is_signed ? f(std::int16_t{}) : f(std::uint16_t{}); return true;
      case 4: is_signed ? f(std::int32_t{}) : f(std::uint32_t{}); return true;
      case 8: is_signed ? f(std::int64_t{}) : f(std::uint64_t{}); return true;
      default: return false;
    }
  };
  switch (buffer.code()) {
    case '?': if (size != 1) return false; f(std::uint8_t{}); return true;
    case 'b': case 'h': case 'i': case 'l': case 'q': return pick_int(true);
    case 'B': case 'H': case 'I': case 'L': case 'Q': return pick_int(false);
    case 'f': if (size != 4) return false; f(float{}); return true;
    case 'd': if (size != 8) return false; f(double{}); return true;
    default: return false;
  }
}

}  // namespace

py::object native_census(py::handle labels) {
  Buffer buffer(labels);
  py::list values, counts;
  bool done = with_element_type(buffer, [&](auto tag) {
    using T = decltype(tag);
    census::Census<T> result;
    {
      py::gil_scoped_release unlocked;
      result = census::census<T>(buffer.view());
    }
    if constexpr (std::is_same_v<T, std::uint8_t>) {
      if (buffer.code() == '?') result = census::as_truth_values(result);
    }
    for (std::size_t i = 0; i < result.values.size(); ++i) {
      values.append(to_python(result.values[i]));
      counts.append(py::int_(static_cast<unsigned long long>(result.counts[i])));
    }
    if (result.nans != 0) {
      values.append(py::float_(std::numeric_limits<double>::quiet_NaN()));
      counts.append(py::int_(static_cast<unsigned long long>(result.nans)));
    }
  });
  if (!done) return py::none();
  py::object classes = ns()["np"].attr("array")(values, py::arg("dtype") = labels.attr("dtype"));
  return py::make_tuple(classes, counts);
}

py::object native_range(py::handle array) {
  Buffer buffer(array);
  if (buffer.code() == 0 || compare(array.attr("size"), Py_EQ, py::int_(0))) {
    return py::none();  // numpy's own path, and its error for an empty array
  }
  py::object lo, hi;
  bool done = with_element_type(buffer, [&](auto tag) {
    using T = decltype(tag);
    std::pair<T, T> range;
    {
      py::gil_scoped_release unlocked;
      range = census::value_range<T>(buffer.view());
    }
    auto [min, max] = range;
    lo = to_python(min);
    hi = to_python(max);
  });
  if (!done) return py::none();
  py::object scalar = array.attr("dtype").attr("type");
  return py::make_tuple(scalar(lo), scalar(hi));
}

}  // namespace nivra::convert
