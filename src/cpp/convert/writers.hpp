// The MAT writers the driver calls: the size limit of version 7, the native
// version 7 writer behind savemat, and the version 7.3 writer.
#pragma once

#include "convert/convert.hpp"

namespace nivra::convert {

// Refuses, before anything is read, a variable savemat could not store: its
// record in a MAT v5 file must stay under 2**32 bytes.
void require_storable_size(const py::object& key, const py::object& shape, const py::object& dtype);

// True for scipy.io.savemat as it was when the module was imported.
bool is_scipy_savemat(py::handle function);
// Writes `array` under `key` into the open binary file as savemat does with
// compression, natively and in parallel; false, having written nothing, for
// an array savemat must write. `label` names the file in the progress line.
bool write_mat_natively(py::handle file, py::handle key, py::handle array, py::handle label);

// Writes `array` under `key` as a MAT 7.3 file at `path` through h5py, then
// the MATLAB header through `file`, a binary file object open on it at
// offset 0. `label` names the file in the progress line.
void write_mat73(py::handle file, py::handle path, py::handle key, py::handle array, py::handle label);

}  // namespace nivra::convert
