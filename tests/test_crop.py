"""The spatial crop: bounds, window sizes, labels, and --crop end to end."""

import json

import numpy as np
import pytest
import rasterio
import scipy.io as sio
import spectral.io.envi as envi
from PIL import Image

from nivra import convert

H, W = 6, 5
DATA = np.arange(H * W * 2).reshape(H, W, 2)


@pytest.mark.parametrize("crop, rows, cols", [
    ((0, 0, H, W), slice(0, H), slice(0, W)),
    ((H - 1, 0, 1, W), slice(H - 1, H), slice(0, W)),
    ((0, W - 1, H, 1), slice(0, H), slice(W - 1, W)),
    ((2, 1, 3, 4), slice(2, 5), slice(1, 5)),
])
def test_window_inside_the_image(crop, rows, cols):
    labels = DATA[:, :, 0].copy()
    data, gt = convert._apply_crop(DATA, labels, crop)
    np.testing.assert_array_equal(data, DATA[rows, cols])
    np.testing.assert_array_equal(gt, labels[rows, cols])
    assert np.shares_memory(data, DATA)


@pytest.mark.parametrize("crop", [
    (H, 0, 1, W), (0, W, H, 1), (0, 0, H + 1, W), (1, 0, H, W), (0, 0, H, W + 1),
    (-1, 0, 2, 2), (0, -1, 2, 2),                # negative offsets fail even when overlapping
    (0, 0, 2 ** 64, 1), (2 ** 70, 0, 1, 1),
    (np.int64(2 ** 62), np.int64(0), np.int64(2 ** 62), np.int64(1)),   # no wrap-around
])
def test_window_outside_the_image(crop):
    with pytest.raises(ValueError) as info:
        convert._apply_crop(DATA, None, crop)
    y, x, h, w = (int(v) for v in crop)
    assert str(info.value) == f"Crop region ({y}, {x}, {h}, {w}) exceeds image bounds ({H}, {W})"


@pytest.mark.parametrize("h, w", [(0, 2), (2, 0), (-1, 2), (3, -2), (0, 0), (-(2 ** 70), 1)])
def test_window_must_have_a_positive_size(h, w):
    with pytest.raises(ValueError) as info:
        convert._apply_crop(DATA, None, (2, 2, h, w))
    assert str(info.value) == f"Crop height and width must be positive, got height={h}, width={w}"


def test_labels_smaller_than_the_image_and_extra_axes():
    colour = np.zeros((3, 4, 3), np.uint8)
    data, gt = convert._apply_crop(DATA, colour, (1, 2, 4, 3))
    assert data.shape == (4, 3, 2) and gt.shape == (2, 2, 3)
    assert convert._apply_crop(DATA, None, (0, 0, 1, 1))[1] is None


@pytest.mark.parametrize("data, crop, error, match", [
    (DATA, [0, 0, 1, 1], TypeError, "crop"), (DATA, None, TypeError, "crop"),
    (DATA, (0, 0, 1), ValueError, "not enough"), (DATA, (0, 0, 1, 1, 1), ValueError, "too many"),
    (np.arange(4), (0, 0, 1, 1), ValueError, "not enough"),
    # the window is unpacked before the image's shape is read
    (None, (), ValueError, r"^not enough values to unpack \(expected 4, got 0\)$"),
    (None, (0, 0, 1, 1, 1), ValueError, r"^too many values to unpack \(expected 4\)$"),
    (None, (0, 0, 1, 1), AttributeError, "shape"),
    (DATA, (-1, 0, 0, 0), ValueError, "exceeds image bounds"),   # bounds are checked before the size
    # tested in order: the height already leaves the image, so the width is never added
    (DATA, (0, 0, 2 ** 63, None), ValueError, r"^Crop region \(0, 0, 9223372036854775808, None\) exceeds"),
    (DATA, (-1, "x", None, None), ValueError, r"^Crop region \(-1, x, None, None\) exceeds"),
    (DATA, (0, 0, 2, None), TypeError, "unsupported operand"),
    # numbers as an f-string shows them
    (DATA, (np.float32(0.1), -1, 1, 1), ValueError, r"^Crop region \(0\.10000000149011612, -1, 1, 1\)"),
])
def test_refused_arguments(data, crop, error, match):
    with pytest.raises(error, match=match):
        convert._apply_crop(data, None, crop)


@pytest.fixture
def pair(tmp_path):
    """A 6 x 5 x 2 ENVI cube and a 4 x 5 label PNG (two rows short)."""
    envi.save_image(str(tmp_path / "cube.hdr"), DATA.astype(np.int16), ext="")
    Image.fromarray((DATA[:4, :, 0] % 7).astype(np.uint8)).save(tmp_path / "labels.png")
    return tmp_path / "cube.hdr", tmp_path / "labels.png"


@pytest.mark.parametrize("crop, data_shape, gt_shape", [
    ((0, 0, H, W), (H, W, 2), (4, W)),
    ((3, 1, 3, 4), (3, 4, 2), (1, 4)),
    ((4, 0, 2, W), (2, W, 2), (0, W)),
])
def test_crop_end_to_end_with_smaller_labels(run_main, pair, tmp_path, capsys, crop, data_shape, gt_shape):
    out = tmp_path / "out"
    run_main("--img", pair[0], "--gt", pair[1], "--out-dir", out, "--crop", *map(str, crop))
    printed = capsys.readouterr().out
    assert "⚠ Spatial mismatch: image=(6, 5), gt=(4, 5)" in printed
    assert sio.loadmat(out / "data.mat")["data"].shape == data_shape
    y, x, h, w = crop
    np.testing.assert_array_equal(sio.loadmat(out / "data.mat")["data"], DATA[y:y + h, x:x + w])
    if gt_shape[0]:
        assert sio.loadmat(out / "gt.mat")["gt"].shape == gt_shape
    record = json.loads((out / "metadata.json").read_text())
    assert record["image"]["crop"] == {"y": y, "x": x, "height": h, "width": w}     # no grid to move
    assert record["conversion"]["output_gt_shape"] == list(gt_shape)


def test_refused_crop_writes_nothing(run_main, pair, tmp_path):
    with pytest.raises(ValueError, match="must be positive"):
        run_main("--img", pair[0], "--out-dir", tmp_path / "out", "--crop", "1", "1", "0", "2")
    with pytest.raises(ValueError, match=r"^Crop region \(0, 0, 99999999999999999999999, 1\)"):
        run_main("--img", pair[0], "--out-dir", tmp_path / "out", "--crop", "0", "0",
                 "99999999999999999999999", "1")
    assert not (tmp_path / "out").exists()


# ---- the window's own grid ----------------------------------------------------------

def geotiff(transform):
    def write(folder):
        with rasterio.open(folder / "g.tif", "w", driver="GTiff", width=W, height=H, count=1, dtype="uint8",
                           crs="EPSG:32633", transform=transform) as dst:
            dst.write(DATA[:, :, 0].astype(np.uint8)[None])
        return folder / "g.tif"
    return write


def envi_map(map_info):
    def write(folder):
        envi.save_image(str(folder / "m.hdr"), DATA.astype(np.int16), ext="", metadata={"map info": map_info})
        return folder / "m.hdr"
    return write


def window_grid(transform, y, x, h, w):
    """The window's transform and corner bounds, from the affine library's own products."""
    moved = transform * rasterio.Affine.translation(x, y)
    xs, ys = zip(*(moved * corner for corner in [(0, 0), (w, 0), (0, h), (w, h)]))
    return {"transform": list(moved)[:6],
            "bounds": {"left": min(xs), "bottom": min(ys), "right": max(xs), "top": max(ys)}}


NORTH_UP = rasterio.Affine(10.0, 0.0, 500000.0, 0.0, -10.0, 4000000.0)
ROTATED = rasterio.Affine(8.0, 6.0, 1000.0, 6.0, -8.0, 5000.0)
MAP = ["UTM", "1.5", "2", "500000", "4000000", "10", "10", "33", "North", "WGS-84"]


@pytest.mark.parametrize("write, crop, grid", [
    (geotiff(NORTH_UP), (2, 1, 3, 4), window_grid(NORTH_UP, 2, 1, 3, 4)),
    (geotiff(ROTATED), (1, 3, 5, 2), window_grid(ROTATED, 1, 3, 5, 2)),
    (geotiff(ROTATED), (0, 0, H, W), window_grid(ROTATED, 0, 0, H, W)),
    (envi_map(MAP), (2, 3, 2, 2), {"map info": ["UTM", "-1.5", "0.0", *MAP[3:]]}),
    (envi_map(MAP[:7]), (0, 0, 1, 1), {"map info": ["UTM", "1.5", "2.0", *MAP[3:7]]}),
    (envi_map(MAP[:6]), (2, 3, 2, 2), {}),                        # too short to hold a reference pixel
    (envi_map(["UTM", "x", "2", *MAP[3:]]), (2, 3, 2, 2), {}),    # not a number
])
def test_crop_records_the_windows_own_grid(run_main, tmp_path, capsys, write, crop, grid):
    path = write(tmp_path)
    run_main("--img", path, "--out-dir", tmp_path / "out", "--crop", *map(str, crop))
    record = json.loads((tmp_path / "out" / "metadata.json").read_text())["image"]
    y, x, h, w = crop
    assert record.pop("crop") == {"y": y, "x": x, "height": h, "width": w, **grid}
    _, meta = (convert._load_tiff if path.suffix == ".tif" else convert._load_envi)(str(path))
    assert record == json.loads(json.dumps(meta, default=str))          # the scene's own grid unchanged
    if "bounds" in grid and crop == (0, 0, H, W):
        assert grid["bounds"] == pytest.approx(record["bounds"])   # the whole scene's, as the library gives them


def test_rotated_geotiff_from_the_corpus(corpus, run_main, tmp_path):
    path = corpus / "tiff" / "rasterio" / "rotated.tif"
    with rasterio.open(path) as src:
        transform = src.transform
    run_main("--img", path, "--out-dir", tmp_path / "out", "--crop", "3", "2", "5", "4")
    crop = json.loads((tmp_path / "out" / "metadata.json").read_text())["image"]["crop"]
    expected = window_grid(transform, 3, 2, 5, 4)
    assert crop["transform"] == pytest.approx(expected["transform"])
    assert crop["bounds"] == pytest.approx(expected["bounds"])
