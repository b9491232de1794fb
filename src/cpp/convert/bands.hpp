// Choosing bands by index, wavelength or bad-band list, and the metadata
// that follows the bands kept.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "common/pyutil.hpp"

namespace nivra::convert {

// Band indexes, ascending.
using BandList = std::vector<std::int64_t>;

// Bands of an image of `shape`: its third axis, or 1 for a two-axis image.
std::int64_t band_count(const py::object& shape);

// The bands kept by `--bands keep` and `--drop-bands drop` (either None
// when not given) out of `count`: those `keep` names, or all, minus those
// `drop` names. Wavelengths come from meta's ENVI `wavelength`, the bad-band
// list from meta's or else `header`'s `bbl` (header: a mapping or None).
// Raises ValueError naming the option for an item that cannot be used.
BandList select_bands(const py::object& keep, const py::object& drop, std::int64_t count, const py::object& meta,
                      const py::object& header);

// Records the selection under "band_selection" and cuts meta's per-band
// lists (of `count` entries) to the kept bands; ENVI `default bands` is
// renumbered, or removed when one of them was dropped.
void cut_band_metadata(py::object& meta, const BandList& kept, std::int64_t count);

// float(value) when it gives a finite number, else nothing.
std::optional<double> finite_number(py::handle value);

// data[:, :, kept], for an image already in memory.
py::object take_bands(const py::object& data, const BandList& kept);

// The centre wavelengths in nanometres of meta's ENVI `wavelength` list, as
// Python floats, or None when there is no list of `count` numbers.
py::object wavelengths_nm(const py::object& meta, std::int64_t count);

// meta[key], else header[key] (header a mapping or None), else None.
py::object source_field(const py::object& meta, const py::object& header, const char* key);

}  // namespace nivra::convert
