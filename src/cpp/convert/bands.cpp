// --bands and --drop-bands: which bands are kept, and the metadata cut to them.
#include "convert/bands.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <string_view>

#include "convert/convert.hpp"

namespace nivra::convert {

namespace {

// ENVI headers hold per-band lists; TIFF files their band descriptions.
constexpr const char* kPerBandKeys[] = {
    "wavelength", "fwhm", "bbl", "band names", "data gain values", "data offset values",
    "data reflectance gain values", "data reflectance offset values", "band_descriptions"};


// The entries of `value` as finite numbers, when it is a list or tuple of
// exactly `count` of them.
std::optional<std::vector<double>> numbers_of(const py::object& value, std::int64_t count) {
  if (!PyList_Check(value.ptr()) && !PyTuple_Check(value.ptr())) return std::nullopt;
  if (static_cast<std::int64_t>(py::len(value)) != count) return std::nullopt;
  std::vector<double> numbers;
  for (py::handle entry : py::iter(value)) {
    auto number = finite_number(entry);
    if (!number) return std::nullopt;
    numbers.push_back(*number);
  }
  return numbers;
}

// How many nanometres one unit of the header's wavelengths is: 1 for nm,
// 1000 for micrometres; for other or absent units, 1000 when every value
// is below 100 (micrometres, as no sensor records bands under 100 nm).
double nanometres_per_unit(const py::object& units, const std::vector<double>& values) {
  if (PyUnicode_Check(units.ptr())) {
    py::object unit = units.attr("strip")().attr("lower")();
    for (const char* name : {"nm", "nanometers"}) {
      if (unit.equal(py::str(name))) return 1;
    }
    for (const char* name : {"um", "\u00b5m", "\u03bcm", "micrometers", "microns"}) {
      if (unit.equal(py::str(name))) return 1000;
    }
  }
  for (double value : values) {
    if (value >= 100) return 1;
  }
  return 1000;
}

// One comma-separated item of a --bands or --drop-bands list.
struct Item {
  enum Kind { index, range, wavelengths, bad } kind;
  py::object first, last;  // ints for indexes, floats (nm) for wavelengths
};

bool digits(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// Digits with an optional fraction: "12", "12.", "12.5" or ".5".
bool decimal(std::string_view text) {
  const size_t point = text.find('.');
  if (point == std::string_view::npos) return digits(text);
  std::string_view whole = text.substr(0, point), fraction = text.substr(point + 1);
  return (whole.empty() || digits(whole)) && (fraction.empty() || digits(fraction)) &&
         !(whole.empty() && fraction.empty());
}

py::object python_number(const char* type, std::string_view text) {
  return ns()[type](py::str(text.data(), text.size()));
}

// N, A-B, A-Bnm or bad; nullopt for anything else (spaces, signs, A > B).
std::optional<Item> parse_item(const py::str& item) {
  if (!PyUnicode_IS_ASCII(item.ptr())) return std::nullopt;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(item.ptr(), &size);
  if (utf8 == nullptr) throw py::error_already_set();
  std::string_view text(utf8, static_cast<size_t>(size));
  if (text == "bad") return Item{Item::bad, py::none(), py::none()};
  if (digits(text)) {
    py::object n = python_number("int", text);
    return Item{Item::index, n, n};
  }
  const size_t dash = text.find('-');
  if (dash == std::string_view::npos) return std::nullopt;
  std::string_view a = text.substr(0, dash), b = text.substr(dash + 1);
  Item parsed{Item::range, py::none(), py::none()};
  if (digits(a) && digits(b)) {
    parsed = {Item::range, python_number("int", a), python_number("int", b)};
  } else if (b.size() > 2 && b.substr(b.size() - 2) == "nm" && decimal(a) && decimal(b.substr(0, b.size() - 2))) {
    parsed = {Item::wavelengths, python_number("float", a), python_number("float", b.substr(0, b.size() - 2))};
  } else {
    return std::nullopt;
  }
  if (compare(parsed.first, Py_GT, parsed.last)) return std::nullopt;
  return parsed;
}

// What a list of bands needs of the image to be applied.
struct Image {
  std::int64_t count;
  const py::object& meta;
  const py::object& header;
};

// Marks `value` at each band the comma-separated `items` of `option` name.
void apply_items(const char* option, const py::object& items, const Image& image, std::vector<char>& kept,
                char value) {
  for (py::handle entry : py::iter(items.attr("split")(","))) {
    py::str text = py::reinterpret_borrow<py::str>(entry);
    std::optional<Item> item = parse_item(text);
    if (!item) {
      raise(PyExc_ValueError, concat(option, ": cannot read '", text, "' (expected N, A-B, A-Bnm or bad)"));
    }
    switch (item->kind) {
      case Item::index:
      case Item::range: {
        if (compare(item->last, Py_GE, py::int_(image.count))) {
          raise(PyExc_ValueError, concat(option, ": band ", item->last, " is out of range (the image has ",
                                         py::int_(image.count), " bands)"));
        }
        const auto first = item->first.cast<std::int64_t>(), last = item->last.cast<std::int64_t>();
        for (std::int64_t band = first; band <= last; ++band) kept[static_cast<size_t>(band)] = value;
        break;
      }
      case Item::wavelengths: {
        py::object nm = wavelengths_nm(image.meta, image.count);
        if (nm.is_none()) {
          raise(PyExc_ValueError,
                concat(option, ": '", text, "' needs the image's wavelengths (ENVI 'wavelength')"));
        }
        const auto low = item->first.cast<double>(), high = item->last.cast<double>();
        std::int64_t band = 0;
        for (py::handle centre : py::iter(nm)) {
          const auto at = centre.cast<double>();
          if (low <= at && at <= high) kept[static_cast<size_t>(band)] = value;
          ++band;
        }
        break;
      }
      case Item::bad: {
        auto list = numbers_of(source_field(image.meta, image.header, "bbl"), image.count);
        if (!list) {
          raise(PyExc_ValueError, concat(option, ": 'bad' needs the image's bad band list (ENVI 'bbl')"));
        }
        for (size_t band = 0; band < list->size(); ++band) {
          if ((*list)[band] == 0) kept[band] = value;
        }
        break;
      }
    }
  }
}

}  // namespace

std::optional<double> finite_number(py::handle value) {
  try {
    double number = ns()["float"](value).cast<double>();
    if (std::isfinite(number)) return number;
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_ValueError) && !error.matches(PyExc_TypeError)) throw;
  }
  return std::nullopt;
}

std::int64_t band_count(const py::object& shape) {
  return py::len(shape) >= 3 ? py::int_(shape[py::int_(2)]).cast<std::int64_t>() : 1;
}

py::object source_field(const py::object& meta, const py::object& header, const char* key) {
  py::str name(key);
  if (contains(meta, name)) return meta[name];
  if (!header.is_none() && contains(header, name)) return header[name];
  return py::none();
}

py::object wavelengths_nm(const py::object& meta, std::int64_t count) {
  py::object listed = meta.attr("get")("wavelength");
  auto values = numbers_of(listed, count);
  if (!values) return py::none();
  const double scale = nanometres_per_unit(meta.attr("get")("wavelength units"), *values);
  py::list nm;
  for (double value : *values) nm.append(value * scale);
  return std::move(nm);
}

BandList select_bands(const py::object& keep, const py::object& drop, std::int64_t count, const py::object& meta,
                      const py::object& header) {
  Image image{count, meta, header};
  std::vector<char> kept(static_cast<size_t>(count), keep.is_none() ? 1 : 0);
  if (!keep.is_none()) apply_items("--bands", keep, image, kept, 1);
  if (!drop.is_none()) apply_items("--drop-bands", drop, image, kept, 0);
  BandList bands;
  for (std::int64_t band = 0; band < count; ++band) {
    if (kept[static_cast<size_t>(band)]) bands.push_back(band);
  }
  if (bands.empty()) {
    raise(PyExc_ValueError,
          concat("No band is left after --bands/--drop-bands (the image has ", py::int_(count), " bands)"));
  }
  return bands;
}

void cut_band_metadata(py::object& meta, const BandList& kept, std::int64_t count) {
  py::list indexes;
  for (std::int64_t band : kept) indexes.append(band);
  py::dict record;
  record["kept"] = indexes;
  record["bands_in_source"] = count;
  meta["band_selection"] = record;

  for (const char* key : kPerBandKeys) {
    py::object value = meta.attr("get")(key);
    if (!PyList_Check(value.ptr()) && !PyTuple_Check(value.ptr())) continue;
    if (static_cast<std::int64_t>(py::len(value)) != count) continue;
    py::list cut;
    for (std::int64_t band : kept) cut.append(value[py::int_(band)]);
    meta[key] = cut;
  }

  // 1-based band numbers, written back as the header writes them.
  py::str default_bands("default bands");
  py::object defaults = meta.attr("get")(default_bands);
  if (!PyList_Check(defaults.ptr()) && !PyTuple_Check(defaults.ptr())) return;
  py::list renumbered;
  for (py::handle entry : py::iter(defaults)) {
    auto number = finite_number(entry);
    const bool in_range = number && *number >= 1 && *number <= static_cast<double>(count) &&
                          std::floor(*number) == *number;
    auto at = in_range ? std::lower_bound(kept.begin(), kept.end(), static_cast<std::int64_t>(*number) - 1)
                       : kept.end();
    if (at == kept.end() || *at != static_cast<std::int64_t>(*number) - 1) {
      meta.attr("pop")(default_bands);
      return;
    }
    renumbered.append(str_of(py::int_(at - kept.begin() + 1)));
  }
  meta[default_bands] = renumbered;
}

py::object take_bands(const py::object& data, const BandList& kept) {
  if (py::len(data.attr("shape")) < 3 || static_cast<std::int64_t>(kept.size()) == band_count(data.attr("shape"))) {
    return data;
  }
  py::list indexes;
  for (std::int64_t band : kept) indexes.append(band);
  return ns()["np"].attr("take")(data, indexes, py::arg("axis") = 2);
}

}  // namespace nivra::convert
