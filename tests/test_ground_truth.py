"""The ground-truth loader against label files written by the real writers."""

import os
from types import SimpleNamespace

import h5py
import numpy as np
import pytest
import rasterio
import scipy.io as sio
import spectral.io.envi as envi
from PIL import Image
from rasterio.transform import from_origin

from nivra import convert

LABELS = np.array([[0, 1, 2], [3, 4, 5]], dtype=np.uint8)


def write_mat(path, **variables):
    sio.savemat(path, variables)
    return str(path)


@pytest.mark.parametrize("variables, key", [
    ({"labels": LABELS}, "labels"),
    ({"GT": LABELS}, "GT"),
    ({"labels": LABELS, "gt": LABELS[:1]}, "gt"),
    ({"labels": LABELS, "groundtruth": LABELS[:1]}, "groundtruth"),
    ({"groundtruth": LABELS, "gt": LABELS[:1]}, "gt"),
    ({"small": np.zeros((10, 10)), "big": np.zeros((20, 20)), "GT": np.zeros(3)}, "big"),
    ({"one": np.zeros((4, 5)), "two": np.zeros((5, 4))}, "one"),        # tie: first stored
    ({"Groundtruth": np.zeros(3), "m": np.zeros((2, 2))}, "m"),                 # names are exact
])
def test_mat_variable_choice(tmp_path, variables, key):
    gt, meta = convert._load_gt(write_mat(tmp_path / "labels.mat", **variables))
    expected = np.atleast_2d(variables[key])          # as MATLAB stores it
    assert gt.shape == expected.shape
    np.testing.assert_array_equal(gt, expected)
    assert meta == {"_source_file": str(tmp_path / "labels.mat"), "mat_key": key,
                    "_source_format": "MAT"}


@pytest.mark.parametrize("shape, squeezed", [
    ((6, 1), (6, 1)), ((1, 6), (1, 6)),               # one row or column keeps both axes
    ((2, 3, 1), (2, 3)), ((1, 6, 1, 1), (1, 6)), ((2, 1, 3, 1), (2, 3)), ((1, 2, 3), (2, 3)),
])
def test_mat_length_one_band_axes_are_removed(tmp_path, shape, squeezed):
    gt, _ = convert._load_gt(write_mat(tmp_path / "l.MAT", gt=LABELS.reshape(shape)))
    assert gt.shape == squeezed and gt.dtype == np.uint8


def test_mat_with_only_header_entries(tmp_path):
    with pytest.raises(ValueError, match="^No variables found in .*e\\.mat$"):
        convert._load_gt(write_mat(tmp_path / "e.mat"))


CUBE_AND_LABELS = {"cube": np.zeros((2, 3, 7)), "labels": LABELS}


def write_both(path, version, **more):
    if version == 7:
        return write_mat(path, **CUBE_AND_LABELS, **more)
    return write_mat73(path, {name: (array, None) for name, array in {**CUBE_AND_LABELS, **more}.items()})


@pytest.mark.parametrize("file, suffix, version, key", [
    ("both.mat", "::labels", 7, "labels"), ("both.mat", ":/labels", 7, "labels"),
    ("both.MAT", "::/labels", 7.3, "labels"),                   # one leading "/" dropped
    ("both.mat", "", 7, "cube"),                                # no name: the choice rule
    ("a::b.mat", "", 7, "cube"),                                # "::" not after ".mat": all path
    ("a::b.mat", "::labels", 7.3, "labels"),                    # the last "::" splits
])
def test_mat_variable_named_in_the_path(tmp_path, file, suffix, version, key):
    path = write_both(str(tmp_path / file), version)
    gt, meta = convert._load_gt(path + suffix)
    np.testing.assert_array_equal(gt, CUBE_AND_LABELS[key])
    assert meta == {"_source_file": path, "mat_key": key, "_source_format": "MAT"}


@pytest.mark.parametrize("suffix, version", [("::gt", 7), (":/_hidden", 7), ("::_hidden", 7.3)])
def test_mat_variable_named_but_absent(tmp_path, suffix, version):
    path = write_both(str(tmp_path / "both.mat"), version, _hidden=LABELS)
    with pytest.raises(KeyError) as info:
        convert._load_gt(path + suffix)
    assert info.value.args[0] == (f"MAT variable '{suffix[2:]}' not found in {path}.\n"
                                  "Available variables: ['cube', 'labels']")


def write_mat73(path, variables, track_order=None):
    """A 7.3 MAT file as MATLAB writes one: axes reversed, an empty array as its shape, None a group."""
    with h5py.File(path, "w", userblock_size=512, track_order=track_order) as f:
        for name, (array, cls, *attrs) in variables.items():
            empty = {"MATLAB_empty": np.uint8(1)} if array is not None and array.size == 0 else {}
            var = (f.create_group(name) if array is None else
                   f.create_dataset(name, data=np.uint64(array.shape) if empty else array.T))
            var.attrs.update({**({} if cls is None else {"MATLAB_class": cls}), **empty, **dict(*attrs)})
    with open(path, "r+b") as out:
        out.write(b"MATLAB 7.3 MAT-file, Platform: posix, Created on: Wed Dec  9 18:14:59 2026 HDF5 schema "
                  b"1.00 .".ljust(116) + bytes(8) + b"\x00\x02IM")
    return str(path)


def real_imag(array, part):
    return np.rec.fromarrays([array.real, array.imag], [("real", part), ("imag", part)])


CUBE, COMPLEX, S = np.arange(24).reshape(2, 3, 4), LABELS + 1j * LABELS[::-1], np.bytes_


@pytest.mark.parametrize("stored, cls, expected", [
    (LABELS.astype(">i2"), S("int16"), LABELS.astype(np.int16)),                 # big-endian on disk
    (CUBE.astype(">f8"), "double", CUBE.astype(np.float64)),                     # variable-length class
    (CUBE[:, :, :1].astype(np.float32), np.array([b"single"]), CUBE[:, :, 0].astype(np.float32)),
    (LABELS - 3, None, LABELS - 3),                                              # no class at all
    (LABELS.astype(bool), S("logical"), LABELS.astype(bool).astype(np.uint8)),
    (real_imag(COMPLEX, ">f8"), S("double"), COMPLEX),
    (real_imag(COMPLEX, "<f4"), S("single"), COMPLEX.astype(np.complex64)),
    (np.zeros((3, 0, 1), bool), "logical", np.zeros((3, 0), np.uint8)),
])
def test_mat73_numeric_labels(tmp_path, stored, cls, expected):
    big = (np.ones((9, 9)), None)
    path = write_mat73(tmp_path / "l.mat", {"labels": (stored, cls), "#refs#": big, "_big": big})
    gt, meta = convert._load_gt(path)
    assert gt.dtype == expected.dtype and gt.dtype.isnative and gt.shape == expected.shape
    np.testing.assert_array_equal(gt, expected)
    assert meta == {"_source_file": path, "mat_key": "labels", "_source_format": "MAT"}


@pytest.mark.parametrize("variable, cls", [
    ((np.uint16([[114, 111]]), S("char")), "char"),
    ((np.array([[h5py.Reference()]], h5py.ref_dtype), S("cell")), "cell"),
    ((None, S("struct")), "struct"),
    ((None, S("double"), {"MATLAB_sparse": np.uint64(3)}), "sparse double"),
    ((np.uint32([[3707764736, 2, 1]]), S("string")), "string"),                  # an object
    ((np.bytes_("text"), None), "unknown"),
])
def test_mat73_other_variables_are_refused(tmp_path, variable, cls):
    with pytest.raises(ValueError) as info:
        convert._load_gt(write_mat73(tmp_path / "v.mat", {"v": variable}))
    assert str(info.value) == f"MAT variable 'v' is not a numeric array (MATLAB class {cls})"


@pytest.mark.parametrize("shapes, track_order, key", [
    ({"GT": (2, 2), "m": (3, 3), "_big": (9, 9), "#refs#": (9, 9)}, None, "m"),
    ({"zz": (2, 3), "aa": (3, 2)}, True, "zz"),                 # tie: the first in h5py's order
    ({"empty": (0, 9), "one": (1, 1)}, None, "one"),            # an empty one counts 0, not 2
    ({"s": None, "empty": (0, 9)}, None, "s"),                  # a group counts 1
    ({"s": None, "two": (1, 2)}, None, "two"),
])
def test_mat73_variable_choice(tmp_path, shapes, track_order, key):
    variables = {k: (None, S("struct")) if v is None else (np.ones(v), None) for k, v in shapes.items()}
    try:
        assert convert._load_gt(write_mat73(tmp_path / "c.mat", variables, track_order))[1]["mat_key"] == key
    except ValueError as refused:                               # a group was chosen
        assert str(refused).startswith(f"MAT variable '{key}' ")


def test_mat73_file_written_by_matlab(corpus):
    gt, meta = convert._load_gt(str(corpus / "gt/scipy/testhdf5_7.4_GLNX86.mat"))
    assert meta["mat_key"] == "testdouble" and gt.shape == (1, 9)
    np.testing.assert_allclose(gt[0], np.linspace(0, 2 * np.pi, 9))


def test_mat73_reader_is_taken_only_when_loadmat_refuses_the_file(tmp_path, monkeypatch):
    calls = []
    monkeypatch.setattr(convert, "_check_dep", calls.append)
    with pytest.raises(ValueError, match="No variables found"):
        convert._load_gt(write_mat73(tmp_path / "e.mat", {"#refs#": (None, None)}))
    os.truncate(tmp_path / "e.mat", 600)
    with pytest.raises(OSError, match="Unable to"):             # a damaged HDF5 part: h5py's error
        convert._load_gt(str(tmp_path / "e.mat"))
    with h5py.File(tmp_path / "plain.mat", "w") as f:           # HDF5 without the MATLAB header
        f["gt"] = LABELS.T
    with pytest.raises(ValueError, match="Unknown mat file type"):
        convert._load_gt(str(tmp_path / "plain.mat"))
    assert calls == ["h5py", "h5py"]

    def refuse(path):
        raise NotImplementedError
    monkeypatch.setattr(convert, "sio", SimpleNamespace(loadmat=refuse))   # looked up at each call
    np.testing.assert_array_equal(convert._load_gt(str(tmp_path / "plain.mat"))[0], LABELS)


@pytest.mark.parametrize("name, mode, ndim", [
    ("labels.png", "L", 2),
    ("LABELS.PNG", "P", 2),
    ("labels.Png", "RGB", 3),
    ("labels.png", "RGBA", 3),
    ("labels.bmp", "P", 2),
    ("labels.jpeg", "L", 2),
    ("labels.jpg", "RGB", 3),
])
def test_image_labels(tmp_path, name, mode, ndim):
    Image.fromarray(LABELS * 40).convert(mode).save(tmp_path / name)
    gt, meta = convert._load_gt(str(tmp_path / name))
    assert gt.ndim == ndim and gt.shape[:2] == (2, 3)
    expected = {"_source_file": str(tmp_path / name), "_source_format": "image"}
    if ndim == 3:
        expected["_note"] = ("Ground truth loaded as RGB image. You may need to map RGB values to "
                             "class labels manually.")
    assert meta == expected
    if mode in ("L", "P") and not name.endswith(("jpg", "jpeg")):
        np.testing.assert_array_equal(gt, LABELS * 40)


def write_tiff(path, bands, crs=None):
    profile = dict(driver="GTiff", height=2, width=3, count=len(bands), dtype="uint8")
    if crs:
        profile.update(crs=crs, transform=from_origin(0.0, 10.0, 1.0, 1.0))
    with rasterio.open(path, "w", **profile) as dst:
        for i, band in enumerate(bands, start=1):
            dst.write(band, i)
    return str(path)


@pytest.mark.parametrize("name, crs, expected_meta", [
    ("labels.tif", "EPSG:32633", ["_source_file", "crs", "_source_format"]),
    ("labels.TIF", None, ["_source_file", "_source_format"]),
    ("labels.tiff", None, ["_source_file", "_source_format"]),
])
def test_tiff_labels_take_band_one(tmp_path, name, crs, expected_meta):
    gt, meta = convert._load_gt(write_tiff(tmp_path / name, [LABELS, LABELS + 1, LABELS + 2], crs))
    np.testing.assert_array_equal(gt, LABELS)
    assert list(meta) == expected_meta and meta["_source_format"] == "GeoTIFF"
    assert meta.get("crs") == crs


def test_only_tiff_labels_check_a_dependency(tmp_path, monkeypatch):
    calls = []
    monkeypatch.setattr(convert, "_check_dep", calls.append)
    Image.fromarray(LABELS).save(tmp_path / "l.png")
    convert._load_gt(write_tiff(tmp_path / "l.tif", [LABELS])), convert._load_gt(str(tmp_path / "l.png"))
    assert calls == ["rasterio"]


@pytest.mark.parametrize("given", ["classes.hdr", "classes.img"])
def test_envi_labels_are_squeezed_and_carry_envi_metadata(tmp_path, given):
    envi.save_image(str(tmp_path / "classes.hdr"), LABELS[:, :, None].astype(np.int16), ext=".img",
                    metadata={"description": "classes", "class names": ["a", "b"]})
    gt, meta = convert._load_gt(str(tmp_path / given))
    np.testing.assert_array_equal(gt, LABELS)
    assert gt.dtype == np.int16
    assert list(meta)[0] == "_source_file" and meta["_source_file"] == str(tmp_path / "classes.hdr")
    assert list(meta)[1:4] == ["description", "samples", "lines"] and "class names" not in meta
    assert list(meta)[-1] == "_source_format" and meta["_source_format"] == "ENVI"


@pytest.mark.parametrize("name, ext", [("labels.h5", ".h5"), ("labels", ""), ("l.TXT", ".txt"),
                                       (".png", "")])
def test_unsupported_extension(tmp_path, name, ext):
    with pytest.raises(ValueError) as info:
        convert._load_gt(str(tmp_path / name))
    assert str(info.value) == f"Unsupported ground truth format: {ext}"


def test_path_must_be_str(tmp_path):
    with pytest.raises(TypeError, match="_load_gt"):
        convert._load_gt(tmp_path / "labels.png")
    with pytest.raises(FileNotFoundError):        # reader errors pass through
        convert._load_gt(str(tmp_path / "absent.png"))
