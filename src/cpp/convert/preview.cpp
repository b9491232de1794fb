// preview.png, drawn with numpy and Pillow: every k-th pixel of the image in
// false colour, the labels beside it, a legend below.
#include "convert/preview.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

#include "convert/bands.hpp"
#include "convert/loaders.hpp"

namespace nivra::convert {

namespace {

// A panel's longer side holds at most this many pixels.
constexpr std::int64_t kPanelSide = 1024;
constexpr std::int64_t kPanelGap = 4;  // white columns between image and labels

// Twenty colours told apart at a glance, none white or black (which mark
// the background); classes past the twentieth take them again.
constexpr unsigned char kClassColours[][3] = {
    {230, 25, 75},   {60, 180, 75},   {255, 225, 25}, {67, 99, 216},   {245, 130, 49},
    {145, 30, 180},  {66, 212, 244},  {240, 50, 230}, {191, 239, 69},  {250, 190, 212},
    {70, 153, 144},  {220, 190, 255}, {154, 99, 36},  {255, 250, 200}, {128, 0, 0},
    {170, 255, 195}, {128, 128, 0},   {255, 216, 177}, {0, 0, 117},    {169, 169, 169}};
constexpr std::int64_t kClassColourCount = sizeof kClassColours / sizeof kClassColours[0];

// The legend lists this many classes at most, then how many more there are.
constexpr size_t kLegendEntries = 100;

// Legend layout, in pixels.
constexpr int kSwatch = 10, kSwatchGap = 4, kEntryGap = 12, kMargin = 4;
constexpr int kLegendWidth = 320;  // at least, so a small scene's legend is not one tall column

// The target wavelengths of red, green and blue, in nm.
constexpr double kTrueColour[] = {640, 550, 470};

std::optional<BandList> default_bands(const py::object& meta, std::int64_t count) {
  py::object listed = meta.attr("get")("default bands");
  if (!PyList_Check(listed.ptr()) && !PyTuple_Check(listed.ptr())) return std::nullopt;
  if (py::len(listed) != 1 && py::len(listed) != 3) return std::nullopt;
  BandList bands;
  for (py::handle entry : py::iter(listed)) {
    auto number = finite_number(entry);
    if (!number || *number < 1 || *number > static_cast<double>(count) || std::floor(*number) != *number) {
      return std::nullopt;
    }
    bands.push_back(static_cast<std::int64_t>(*number) - 1);
  }
  return bands;
}

// array[::k, ::k], then index 0 of any axis past `axes`, with `band` on
// the third axis when given.
py::object every_kth(const py::object& array, std::int64_t k, std::optional<std::int64_t> band) {
  py::list index;
  index.append(py::slice(0, std::nullopt, k));
  index.append(py::slice(0, std::nullopt, k));
  const auto ndim = py::len(array.attr("shape"));
  for (size_t axis = 2; axis < ndim; ++axis) index.append(axis == 2 && band ? *band : 0);
  return array[py::tuple(index)];
}

// One channel of the panel as 0..255: 255 (v - lo) / (hi - lo) between the
// 2nd and 98th percentiles of its valid values, clipped; 0 where hi <= lo.
py::object stretch(const py::object& values, const py::object& valid) {
  py::object np = ns()["np"];
  py::object counted = values[valid];
  py::object zeros = np.attr("zeros")(values.attr("shape"));
  if (compare(counted.attr("size"), Py_EQ, py::int_(0))) return zeros;
  py::object ends = np.attr("percentile")(counted, py::make_tuple(2, 98));
  py::object lo = ends[py::int_(0)], hi = ends[py::int_(1)];
  if (compare(hi, Py_LE, lo)) return zeros;
  py::object scaled = py::int_(255) * (values - lo) / (hi - lo);
  return np.attr("clip")(scaled, 0, 255);
}

// The image panel (rows x columns x 3, uint8) of the chosen bands.
py::object image_panel(const py::object& data, const BandList& bands, std::int64_t k, const py::list& no_data) {
  py::object np = ns()["np"];
  const bool has_bands = py::len(data.attr("shape")) >= 3;
  py::list channels;
  py::object valid_everywhere = py::none();
  for (std::int64_t band : bands) {
    py::object raw = every_kth(data, k, has_bands ? std::optional<std::int64_t>(band) : std::nullopt);
    if (py::str(raw.attr("dtype").attr("kind")).equal(py::str("c"))) raw = np.attr("abs")(raw);
    py::object valid = np.attr("isfinite")(raw);
    for (py::handle value : no_data) valid = valid & np.attr("not_equal")(raw, value);
    channels.append(stretch(np.attr("asarray")(raw, py::arg("dtype") = "float64"), valid));
    valid_everywhere = valid_everywhere.is_none() ? valid : valid_everywhere & valid;
  }
  while (py::len(channels) < 3) channels.append(channels[0]);  // grey
  py::object rgb = np.attr("stack")(channels, py::arg("axis") = -1);
  py::object keep = valid_everywhere[py::make_tuple(py::ellipsis(), py::none())];
  return np.attr("where")(keep, rgb, 0).attr("astype")("uint8");
}

// A class and its colour in the legend.
struct ClassEntry {
  py::str text;
  py::tuple colour;
};

// The label panel (rows x columns x 3, uint8): class 0 and NaN black, every
// other class its colour; and the legend's entries with each class's pixels.
std::pair<py::object, std::vector<ClassEntry>> label_panel(const py::object& gt, std::int64_t k) {
  py::object np = ns()["np"];
  py::object labels = every_kth(gt, 1, std::nullopt);
  py::object classes, counts;
  py::object census = native_census(labels);
  if (!census.is_none()) {
    classes = census[py::int_(0)];
    counts = census[py::int_(1)];
  } else {
    py::tuple found = np.attr("unique")(labels, py::arg("return_counts") = true);
    classes = found[0];
    counts = found[1].attr("tolist")();
  }

  // Colours by rank among the classes other than 0 and NaN.
  py::object coloured = np.attr("not_equal")(classes, 0) & np.attr("equal")(classes, classes);
  py::object rank = np.attr("cumsum")(coloured) - py::int_(1);
  py::list rgb_triples;
  for (const auto& rgb : kClassColours) rgb_triples.append(py::make_tuple(rgb[0], rgb[1], rgb[2]));
  py::object palette = np.attr("array")(rgb_triples, "uint8");
  py::object table = np.attr("where")(coloured[py::make_tuple(py::ellipsis(), py::none())],
                                      palette[np.attr("mod")(rank, kClassColourCount)], 0).attr("astype")("uint8");

  std::vector<ClassEntry> entries;
  py::list values = classes.attr("tolist")(), colours = table.attr("tolist")();
  size_t listed = 0, unlisted = 0;
  for (size_t i = 0; i < py::len(values); ++i) {
    py::object value = values[i];
    if (compare(value, Py_NE, value)) continue;  // NaN: no class
    if (listed == kLegendEntries) {
      ++unlisted;
      continue;
    }
    entries.push_back({concat(value, ": ", py::object(counts[py::int_(i)]), " px"), py::tuple(colours[i])});
    ++listed;
  }
  if (unlisted) entries.push_back({concat("and ", py::int_(unlisted), " more classes"), py::make_tuple(255, 255, 255)});

  py::object plane = every_kth(gt, k, std::nullopt);
  py::object rgb = np.attr("zeros")(py::make_tuple(plane.attr("shape")[py::int_(0)],
                                                   plane.attr("shape")[py::int_(1)], 3), "uint8");
  if (py::len(values) > 0) {
    py::object at = np.attr("minimum")(np.attr("searchsorted")(classes, plane), py::len(values) - 1);
    py::object found = np.attr("equal")(classes[at], plane);
    py::object hit = found[py::make_tuple(py::ellipsis(), py::none())];
    rgb = np.attr("where")(hit, table[at], 0).attr("astype")("uint8");
  }
  return {rgb, entries};
}

// A length Pillow measured, in whole pixels.
int pixels(py::handle length) { return ns()["int"](length).cast<int>(); }

// Draws the entries in rows of at most `width` pixels from `top`; returns the
// height they take. With `draw` None, only measures.
int lay_out_legend(const py::object& draw, const py::object& measure, const py::object& font,
                   const std::vector<ClassEntry>& entries, int width, int top) {
  int x = kMargin, y = top + kMargin, row_height = 0;
  for (const auto& entry : entries) {
    py::tuple box = measure(py::make_tuple(0, 0), entry.text, py::arg("font") = font);
    const int text_width = pixels(box[2]), text_height = pixels(box[3]);
    const int entry_width = kSwatch + kSwatchGap + text_width;
    if (x > kMargin && x + entry_width > width - kMargin) {
      x = kMargin;
      y += row_height + kMargin;
      row_height = 0;
    }
    row_height = std::max({row_height, kSwatch, text_height});
    if (!draw.is_none()) {
      draw.attr("rectangle")(py::make_tuple(x, y, x + kSwatch - 1, y + kSwatch - 1),
                             py::arg("fill") = entry.colour, py::arg("outline") = py::make_tuple(128, 128, 128));
      draw.attr("text")(py::make_tuple(x + kSwatch + kSwatchGap, y), entry.text,
                        py::arg("fill") = py::make_tuple(0, 0, 0), py::arg("font") = font);
    }
    x += entry_width + kEntryGap;
  }
  return entries.empty() ? 0 : y + row_height + kMargin - top;
}

std::int64_t extent(const py::object& array, int axis) {
  return py::int_(array.attr("shape")[py::int_(axis)]).cast<std::int64_t>();
}

}  // namespace

BandList preview_bands(const py::object& meta, std::int64_t count) {
  if (auto bands = default_bands(meta, count)) return *bands;
  py::object nm = wavelengths_nm(meta, count);
  if (!nm.is_none()) {
    BandList nearest;
    for (double target : kTrueColour) {
      std::int64_t best = 0, band = 0;
      double best_distance = INFINITY;
      for (py::handle centre : py::iter(nm)) {
        const double distance = std::abs(centre.cast<double>() - target);
        if (distance < best_distance) best = band, best_distance = distance;
        ++band;
      }
      nearest.push_back(best);
    }
    return nearest;
  }
  if (count >= 3) return {0, count / 2, count - 1};
  return {0};
}

py::list no_data_values(const py::object& meta, const py::object& header) {
  py::list values;
  py::object ignored = source_field(meta, header, "data ignore value"), nodata = meta.attr("get")("nodata");
  for (const py::object& value : {ignored, nodata}) {
    if (value.is_none()) continue;
    if (auto number = finite_number(value)) values.append(*number);
  }
  return values;
}

void write_preview(const py::object& file, const py::object& data, const py::object& gt, const BandList& bands,
                   const py::list& no_data) {
  py::object np = ns()["np"];
  // Labels larger than the image would make a larger panel: both are decimated alike.
  std::int64_t longest = std::max(extent(data, 0), extent(data, 1));
  if (!gt.is_none()) longest = std::max({longest, extent(gt, 0), extent(gt, 1)});
  const std::int64_t k = std::max<std::int64_t>(1, (longest + kPanelSide - 1) / kPanelSide);
  py::object image = image_panel(data, bands, k, no_data);
  std::int64_t height = extent(image, 0), width = extent(image, 1);

  py::object labels = py::none();
  std::vector<ClassEntry> entries;
  if (!gt.is_none()) {
    std::tie(labels, entries) = label_panel(gt, k);
    height = std::max(height, extent(labels, 0));
    width += kPanelGap + extent(labels, 1);
  }

  py::module_ pil = py::module_::import("PIL.Image");
  py::module_ pil_draw = py::module_::import("PIL.ImageDraw");
  py::object font = py::module_::import("PIL.ImageFont").attr("load_default")();
  // Measured on a scratch image: the legend may be wider than the panels.
  py::object measure = pil_draw.attr("Draw")(pil.attr("new")("RGB", py::make_tuple(1, 1))).attr("textbbox");
  int legend_width = std::max(static_cast<int>(width), kLegendWidth);
  for (const auto& entry : entries) {
    py::tuple box = measure(py::make_tuple(0, 0), entry.text, py::arg("font") = font);
    legend_width = std::max(legend_width, 2 * kMargin + kSwatch + kSwatchGap + pixels(box[2]));
  }
  const int legend_height = lay_out_legend(py::none(), measure, font, entries, legend_width, 0);

  if (entries.empty()) legend_width = static_cast<int>(width);  // no legend: the panels alone
  py::object canvas = np.attr("full")(
      py::make_tuple(height + legend_height, std::max<std::int64_t>(width, legend_width), 3), 255, "uint8");
  canvas[py::make_tuple(py::slice(0, extent(image, 0), 1), py::slice(0, extent(image, 1), 1))] = image;
  if (!labels.is_none()) {
    const std::int64_t left = extent(image, 1) + kPanelGap;
    py::object area = py::make_tuple(py::slice(0, extent(labels, 0), 1), py::slice(left, left + extent(labels, 1), 1));
    canvas[area] = labels;
  }
  py::object picture = pil.attr("fromarray")(canvas);
  if (!entries.empty()) {
    py::object draw = pil_draw.attr("Draw")(picture);
    lay_out_legend(draw, draw.attr("textbbox"), font, entries, legend_width, static_cast<int>(height));
  }
  picture.attr("save")(file, py::arg("format") = "PNG");
}

}  // namespace nivra::convert
