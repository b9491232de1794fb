"""The ground-truth loader against label files written by the real writers."""

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
    with pytest.raises(ValueError, match="empty"):
        convert._load_gt(write_mat(tmp_path / "e.mat"))


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
