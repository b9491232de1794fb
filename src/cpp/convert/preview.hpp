// preview.png: a false-colour quick look of the converted image and its labels.
#pragma once

#include "convert/bands.hpp"

namespace nivra::convert {

// The bands shown, 0-based, as R, G, B or one for grey: ENVI `default
// bands` (1-based) when it names one or three of the `count` bands; else
// the bands nearest 640, 550 and 470 nm; else the first, middle and last;
// else the first alone.
BandList preview_bands(const py::object& meta, std::int64_t count);

// The values that mark a pixel as holding nothing: the ENVI `data ignore
// value` (in meta or the header, a mapping or None) and the TIFF nodata.
py::list no_data_values(const py::object& meta, const py::object& header);

// Writes the PNG into the open binary file: the image's `bands` stretched
// between their 2nd and 98th percentiles, pixels without a value black;
// beside it the labels `gt` (or None) in a colour per class, over a legend.
void write_preview(const py::object& file, const py::object& data, const py::object& gt, const BandList& bands,
                   const py::list& no_data);

}  // namespace nivra::convert
