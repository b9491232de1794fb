// Colour-coded label images as class ids: each colour one class.
#include <cstdint>
#include <string>
#include <vector>

#include "convert/array_buffer.hpp"
#include "convert/loaders.hpp"

namespace nivra::convert {

namespace {

// The ids are uint8, and black keeps 0 for itself.
constexpr std::uint64_t kMostColours = 255;

unsigned bit_count(std::uint64_t x) {
  x = x - ((x >> 1) & 0x5555555555555555ull);
  x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
  x = (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0full;
  return static_cast<unsigned>((x * 0x0101010101010101ull) >> 56);
}

// The colours that occur, one bit for each of the 2**24 RGB values in
// (R, G, B) order, so the set costs the same whatever the image; once
// ranked, a colour's rank is the number of colours below it.
class ColourSet {
 public:
  void add(std::uint32_t rgb) { bits_[rgb >> 6] |= std::uint64_t(1) << (rgb & 63); }

  // Ranks every word; returns the number of colours.
  std::uint32_t rank_all() {
    std::uint32_t below = 0;
    for (std::size_t w = 0; w < bits_.size(); ++w) {
      below_[w] = below;
      below += bit_count(bits_[w]);
    }
    return below;
  }
  std::uint32_t rank(std::uint32_t rgb) const {
    const std::uint64_t lower = (std::uint64_t(1) << (rgb & 63)) - 1;
    return below_[rgb >> 6] + bit_count(bits_[rgb >> 6] & lower);
  }
  bool has(std::uint32_t rgb) const { return (bits_[rgb >> 6] >> (rgb & 63)) & 1; }

  // Calls f(rgb) for every colour, in ascending order.
  template <typename F>
  void each(F&& f) const {
    for (std::size_t w = 0; w < bits_.size(); ++w) {
      for (std::uint64_t word = bits_[w]; word != 0; word &= word - 1) {
        f(static_cast<std::uint32_t>(w * 64 + bit_count((word & (0 - word)) - 1)));
      }
    }
  }

 private:
  static constexpr std::size_t kWords = (std::size_t(1) << 24) / 64;
  std::vector<std::uint64_t> bits_ = std::vector<std::uint64_t>(kWords, 0);
  std::vector<std::uint32_t> below_ = std::vector<std::uint32_t>(kWords, 0);
};

// Calls f(row, column, rgb) for every pixel of a height × width × channels
// view of bytes; channels past the third (alpha) are not read.
template <typename F>
void each_pixel(const View& view, F&& f) {
  const std::int64_t channel = view.strides[2];
  for (std::int64_t i = 0; i < view.shape[0]; ++i) {
    for (std::int64_t j = 0; j < view.shape[1]; ++j) {
      const auto* p = reinterpret_cast<const unsigned char*>(view.data + i * view.strides[0] + j * view.strides[1]);
      f(i, j, std::uint32_t(p[0]) << 16 | std::uint32_t(p[channel]) << 8 | p[2 * channel]);
    }
  }
}

bool is_colour_image(const Namespace& g, const py::object& labels) {
  py::tuple shape = labels.attr("shape");
  if (shape.size() != 3) return false;
  py::object channels = shape[2];
  if (!compare(channels, Py_EQ, py::int_(3)) && !compare(channels, Py_EQ, py::int_(4))) return false;
  return compare(labels.attr("dtype"), Py_EQ, g["np"].attr("uint8"));
}

// A new C-ordered array's memory, writable, released on scope exit.
class Writable {
 public:
  explicit Writable(py::handle array) {
    if (PyObject_GetBuffer(array.ptr(), &buffer_, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) != 0) {
      throw py::error_already_set();
    }
  }
  ~Writable() { PyBuffer_Release(&buffer_); }
  Writable(const Writable&) = delete;
  Writable& operator=(const Writable&) = delete;
  unsigned char* data() const { return static_cast<unsigned char*>(buffer_.buf); }

 private:
  Py_buffer buffer_{};
};

}  // namespace

py::object colours_as_class_ids(const py::object& labels, const py::object& file, py::dict& colours) {
  const Namespace& g = ns();
  if (!is_colour_image(g, labels)) {
    raise(PyExc_ValueError, concat("--gt-colors needs an RGB or RGBA label image of uint8, got shape ",
                                   labels.attr("shape"), " dtype ", labels.attr("dtype")));
  }
  py::object np = g["np"];
  py::object image = np.attr("asarray")(labels);  // an exact ndarray, whose memory the buffer reads
  Buffer buffer(image);
  const View view = buffer.view();
  ColourSet found;
  std::uint32_t count = 0;
  {
    py::gil_scoped_release unlocked;
    each_pixel(view, [&](std::int64_t, std::int64_t, std::uint32_t rgb) { found.add(rgb); });
    count = found.rank_all();
  }
  const bool black = found.has(0);
  if (count - (black ? 1u : 0u) > kMostColours) {
    raise(PyExc_ValueError, concat("Ground truth ", file, " holds ", py::int_(count), " colours; --gt-colors maps at most ",
                                   py::int_(kMostColours), " colours besides black"));
  }

  const std::uint32_t first_id = black ? 0 : 1;  // black or not, the others start at 1
  py::object ids = np.attr("empty")(py::make_tuple(view.shape[0], view.shape[1]), np.attr("uint8"));
  {
    Writable out(ids);
    unsigned char* row_major = out.data();
    const std::int64_t width = view.shape[1];
    py::gil_scoped_release unlocked;
    each_pixel(view, [&](std::int64_t i, std::int64_t j, std::uint32_t rgb) {
      row_major[i * width + j] = static_cast<unsigned char>(first_id + found.rank(rgb));
    });
  }
  std::uint32_t id = first_id;
  found.each([&](std::uint32_t rgb) {
    py::list channels;
    for (std::uint32_t value : {rgb >> 16, (rgb >> 8) & 0xff, rgb & 0xff}) channels.append(value);
    colours[py::str(std::to_string(id++))] = channels;
  });
  return ids;
}

}  // namespace nivra::convert
