"""The ENVI loader against header/data pairs written by spectral's ENVI writer."""

import os

import numpy as np
import pytest
import spectral.io.envi as envi

from nivra import convert

ALL_KEYS = ["description", "samples", "lines", "bands", "header offset", "data type", "interleave",
            "byte order", "wavelength", "wavelength units", "band names", "map info",
            "coordinate system string", "default bands", "fwhm", "reflectance scale factor",
            "sensor type"]


def write_envi(path, array, ext=".img", **kwargs):
    envi.save_image(str(path), array, ext=ext, force=True, **kwargs)
    return str(path)


@pytest.mark.parametrize("interleave", ["bsq", "bil", "bip"])
@pytest.mark.parametrize("dtype, byteorder, offset", [
    (np.uint8, 0, 0), (np.int16, 1, -300), (np.uint16, 0, 60000), (np.int32, 1, 2 ** 30 + 1),
    (np.float32, 0, 0.5), (np.float64, 1, 2 ** 40 + 0.25), (np.uint64, 0, 2 ** 60 + 1),
    (np.complex64, 0, 1j),
])
def test_round_trip_keeps_layout_values_and_element_type(tmp_path, interleave, dtype, byteorder, offset):
    array = np.arange(4 * 3 * 5).reshape(4, 3, 5).astype(dtype) + np.array(offset).astype(dtype)
    data, meta = convert._load_envi(write_envi(tmp_path / "cube.hdr", array, dtype=dtype,
                                               interleave=interleave, byteorder=byteorder))
    assert type(data) is np.ndarray
    assert data.shape == (4, 3, 5) and data.dtype == np.dtype(dtype)     # native byte order
    np.testing.assert_array_equal(data, array)
    assert (meta["interleave"], meta["byte order"], meta["lines"]) == (interleave, str(byteorder), "4")


def test_header_fields_kept_in_fixed_order_and_others_dropped(tmp_path):
    header = {key: f"v-{key}" for key in reversed(ALL_KEYS) if key not in
              ("samples", "lines", "bands", "header offset", "data type", "interleave", "byte order")}
    header.update({"wavelength": ["400.5", "500", "600"], "data ignore value": "0", "x start": "3",
                   "reflectance scale factor": "10000"})
    path = write_envi(tmp_path / "s.hdr", np.full((2, 2, 3), 5000, np.uint16), metadata=header)
    data, meta = convert._load_envi(path)

    assert list(meta) == ALL_KEYS + ["_source_format", "_source_file"]
    assert meta["wavelength"] == ["400.5", "500", "600"]     # strings, as the header spells them
    assert meta["sensor type"] == "v-sensor type"
    assert (meta["_source_format"], meta["_source_file"]) == ("ENVI", path)
    assert data.dtype == np.uint16 and data.max() == 5000     # scale factor recorded, not applied


def mark(path, value):
    """A data file whose every sample is `value` (2 x 2 x 1, uint8)."""
    np.full(4, value, np.uint8).tofile(path)


@pytest.mark.parametrize("present, chosen", [
    (["", ".img"], ""),
    ([".img", ".dat", ".raw"], ".img"),
    ([".bip", ".bil", ".bsq", ".raw", ".dat"], ".dat"),
    ([".bil", ".bsq"], ".bsq"),
    ([".bip"], ".bip"),
])
def test_data_file_candidates_first_existing_wins(tmp_path, present, chosen):
    hdr = write_envi(tmp_path / "scene.hdr", np.zeros((2, 2, 1), np.uint8), ext=".unused")
    os.remove(tmp_path / "scene.unused")
    for value, suffix in enumerate(present, start=1):
        mark(f"{tmp_path}/scene{suffix}", value)
    data, _ = convert._load_envi(hdr)
    assert data[0, 0, 0] == present.index(chosen) + 1


@pytest.fixture
def opened(monkeypatch):
    """Records the arguments of envi.open and returns a minimal image object."""
    calls = []
    image = type("Image", (), {"load": lambda self: np.zeros((1, 1, 1))})
    monkeypatch.setattr(envi, "open", lambda *args: calls.append(args) or image())
    return calls


def test_header_without_data_file_leaves_the_search_to_the_reader(tmp_path, opened, monkeypatch):
    checked = []
    monkeypatch.setattr(convert, "_check_dep", checked.append)
    (tmp_path / "scene.HDR").write_text("ENVI\n")
    for _ in range(2):
        data, meta = convert._load_envi(str(tmp_path / "scene.HDR"))
    assert opened == [(str(tmp_path / "scene.HDR"),)] * 2 and checked == ["spectral"] * 2
    assert list(meta) == ["_source_format", "_source_file"]   # no metadata attribute
    with pytest.raises(TypeError, match="_load_envi"):
        convert._load_envi(tmp_path / "scene.HDR")


@pytest.mark.parametrize("name", ["scene.img", "scene.bil", "scene", "scene.anything"])
def test_data_file_given_opens_the_header_beside_it(tmp_path, opened, name):
    (tmp_path / "scene.hdr").write_text("ENVI\n")
    (tmp_path / name).write_bytes(b"\0")
    _, meta = convert._load_envi(str(tmp_path / name))
    assert opened == [(str(tmp_path / "scene.hdr"), str(tmp_path / name))]
    assert meta["_source_file"] == str(tmp_path / "scene.hdr")


@pytest.mark.parametrize("given, looked_for", [
    ("scene.img", "scene.hdr"),        # only scene.HDR exists: the lower-case name is required
    ("a.b.img", "a.b.hdr"),            # only the last extension is replaced
])
def test_missing_header_message(tmp_path, opened, given, looked_for):
    (tmp_path / "scene.HDR").write_text("ENVI\n")
    (tmp_path / given).write_bytes(b"\0")
    with pytest.raises(FileNotFoundError) as info:
        convert._load_envi(str(tmp_path / given))
    assert str(info.value) == (f"Cannot find ENVI header: {tmp_path / looked_for}\n"
                               "ENVI files require a .hdr header alongside the data file.")
    assert opened == []


HEADER = "ENVI\nsamples = 32\nlines = 1\nbands = 1\ndata type = 1\ninterleave = bsq\nbyte order = 0\n"
RAW = bytes(range(32))           # what HEADER promises: longer than any container file below


def refusal(path):
    with pytest.raises(ValueError) as info:
        convert._load_envi(str(path))
    return str(info.value)


@pytest.mark.parametrize("head, kind", [
    (b"II*\0", "TIFF"), (b"MM\0*", "TIFF"), (b"II+\0", "TIFF"), (b"MM\0+", "TIFF"),
    (b"\x89HDF\r\n\x1a\n", "HDF5"), (b"EHFA_HEADER_TAG", "ERDAS Imagine"), (b"\x89PNG\r\n\x1a\n", "PNG"),
    (b"\xff\xd8\xff", "JPEG"), (b"GIF89a", "GIF"), (b"PK\x03\x04", "ZIP"), (b"\x1f\x8b", "gzip"),
    (b"CDF\x01", "netCDF"), (b"CDF\x02", "netCDF"), (b"MATLAB 5.0 MAT-file", "MATLAB"),
    (b"MATLAB 7.3 MAT-file", "MATLAB 7.3"), (b"CDF\x05", "netCDF"), (b"\x0e\x03\x13\x01", "HDF4"),
    (bytes(1024) + b"\x89HDF\r\n\x1a\n", "HDF5"),                           # behind a user block
    (b"II*\x01".ljust(32), None), (b"CDF\x03".ljust(32), None), (b"MATLAB 7.0".ljust(32), None),  # raw data
    (b"BM".ljust(32), None), (b"%!PS".ljust(32), None),       # only named in messages
])
def test_data_files_that_are_other_containers(tmp_path, monkeypatch, head, kind):
    hdr, bare, given, found = (tmp_path / f"scene{suffix}" for suffix in (".hdr", "", ".img", ".bin"))
    hdr.write_text(HEADER)
    for path, data in [(bare, head), (given, head), (found, head), (tmp_path / "scene.raw", RAW)]:
        path.write_bytes(data)
    assert convert._load_envi(str(hdr))[0].tobytes() == (RAW if kind else head)   # skipped: the next is taken
    if kind is None:
        return
    (tmp_path / "scene.raw").unlink()
    opened, reader_open = [], envi.open
    monkeypatch.setattr(envi, "open", lambda *args: opened.append(args) or reader_open(*args))
    not_raw = f"' is not raw ENVI data (file signature: {kind})"
    assert refusal(hdr) == f"ENVI data file '{bare}{not_raw}" and opened == []   # none left; no search
    assert refusal(given) == f"ENVI data file '{given}{not_raw}"       # given: before the size check
    bare.unlink()
    given.unlink()
    assert refusal(hdr) == f"ENVI data file '{found}{not_raw}"         # found by the reader's search

    offset = max(20, len(head))
    hdr.write_text(HEADER + f"header offset = {offset}\n")      # says what to skip: read as raw data
    for path, loaded in [(found, hdr), (given, hdr), (given, given)]:
        path.write_bytes(head.ljust(offset, b"\0") + RAW)
        assert convert._load_envi(str(loaded))[0].tobytes() == RAW


@pytest.mark.parametrize("compression, message", [
    ("1", "is gzip-compressed (file compression = 1), which is not supported"),
    ("0", "is not raw ENVI data (file signature: gzip)"),
])
def test_gzip_data_file_named_by_the_header(tmp_path, compression, message):
    (tmp_path / "scene.hdr").write_text(HEADER + f"file compression = {compression}\n")
    (tmp_path / "scene.dat").write_bytes(b"\x1f\x8b\x08" + bytes(40))
    for path in ("scene.hdr", "scene.dat"):
        assert refusal(tmp_path / path) == f"ENVI data file '{tmp_path / 'scene.dat'}' {message}"
