"""--preview: preview.png's image panel against a stretch computed here from
the saved cube, the bands it picks, the label panel and its legend."""

import re

import h5py
import numpy as np
import pytest
import rasterio
import scipy.io as sio
import spectral.io.envi as envi
from PIL import Image

RNG = np.random.default_rng(7)


def cube(h, w, b, dtype=np.float32):
    return (RNG.random((h, w, b)) * 1000).astype(dtype)


def envi_scene(data, **meta):
    def write(folder):
        envi.save_image(str(folder / "s.hdr"), data, ext=".img", metadata=meta, force=True)
        return folder / "s.hdr"
    return write


def tiff_scene(data, nodata):
    def write(folder):
        with rasterio.open(folder / "s.tif", "w", driver="GTiff", width=data.shape[1], height=data.shape[0],
                           count=data.shape[2], dtype=data.dtype, nodata=nodata) as dst:
            dst.write(data.transpose(2, 0, 1))
        return folder / "s.tif"
    return write


def hdf5_scene(data):
    def write(folder):
        with h5py.File(folder / "s.h5", "w") as f:
            f["cube"] = data
        return folder / "s.h5"
    return write


def with_holes(data, value):
    data = data.copy()
    data[1, 2, :] = value
    data[4, :, 1] = value
    return data


def expected_panel(data, bands, k, no_data=()):
    """Every k-th pixel, each channel stretched between its valid 2nd and 98th percentiles."""
    data = data[::k, ::k].astype(np.float64)
    channels, valid_all = [], np.ones(data.shape[:2], bool)
    for band in bands:
        channel = data[:, :, band] if data.ndim == 3 else data
        valid = np.isfinite(channel) & ~np.isin(channel, no_data)
        lo, hi = np.percentile(channel[valid], [2, 98]) if valid.any() else (0, 0)
        channels.append(np.clip(255 * (channel - lo) / (hi - lo), 0, 255) if hi > lo else np.zeros(channel.shape))
        valid_all &= valid
    rgb = np.stack(channels * (3 if len(bands) == 1 else 1), axis=-1)
    return np.where(valid_all[..., None], rgb, 0).astype(np.uint8)


NAN_CUBE = with_holes(cube(12, 10, 6), np.nan)
IGNORED = with_holes(cube(12, 10, 6), -1)
WAVES = [str(w) for w in (400, 480, 560, 600, 650, 900)]
CASES = {  # scene, the bands shown, no-data values
    "default-bands-nan": (envi_scene(NAN_CUBE, **{"default bands": ["5", "3", "2"]}), [4, 2, 1], ()),
    "ignore-value": (envi_scene(IGNORED, **{"data ignore value": "-1"}), [0, 3, 5], (-1,)),
    "nearest-wavelengths": (envi_scene(cube(8, 9, 6), wavelength=WAVES, **{"wavelength units": "nm"}), [4, 2, 1], ()),
    "micrometres": (envi_scene(cube(8, 9, 6), wavelength=[str(float(w) / 1000) for w in WAVES]), [4, 2, 1], ()),
    "one-default-band": (envi_scene(cube(8, 9, 6), **{"default bands": ["6"]}), [5], ()),
    "tiff-nodata": (tiff_scene(with_holes(cube(12, 10, 5, np.int16), -9999), -9999), [0, 2, 4], (-9999,)),
    "two-bands-grey": (hdf5_scene(cube(11, 13, 2)), [0], ()),
    "two-axes-grey": (hdf5_scene(cube(11, 13, 1)[:, :, 0]), [0], ()),
    "constant-channel": (hdf5_scene(np.dstack([cube(9, 9, 1), np.full((9, 9, 1), 5.0, np.float32),
                                               cube(9, 9, 1)])), [0, 1, 2], ()),
    "decimated": (hdf5_scene(cube(2050, 30, 3, np.uint16)), [0, 1, 2], ()),        # every 3rd pixel
}


def convert_with_preview(run_main, capsys, tmp_path, img, *options):
    out = tmp_path / "out"
    run_main("--img", img, "--out-dir", out, "--preview", *options)
    printed = re.sub(r"\x1b\[\d+m", "", capsys.readouterr().out)
    return printed, sio.loadmat(out / "data.mat")["data"], np.array(Image.open(out / "preview.png"))


@pytest.mark.parametrize("case", CASES)
def test_image_panel_is_the_stretch_of_the_chosen_bands(run_main, capsys, tmp_path, case):
    write, bands, no_data = CASES[case]
    printed, saved, picture = convert_with_preview(run_main, capsys, tmp_path, write(tmp_path))
    k = -(-max(saved.shape[:2]) // 1024)
    expected = expected_panel(saved, bands, k, no_data)
    assert picture.shape == expected.shape                    # no labels: the panel alone
    np.testing.assert_array_equal(picture, expected)
    assert "  ✓ metadata.json\n  ✓ preview.png\n" in printed
    shown = f"band {bands[0]}" if len(bands) == 1 else "bands " + ", ".join(map(str, bands))
    assert f"\n    metadata.json: all preserved metadata\n    preview.png  : quick look ({shown})\n" in printed


def test_bands_are_chosen_after_selection_and_the_crop(run_main, capsys, tmp_path):
    img = envi_scene(NAN_CUBE, **{"default bands": ["5", "3", "2"]})(tmp_path)
    printed, saved, picture = convert_with_preview(run_main, capsys, tmp_path, img, "--drop-bands", "0",
                                                   "--crop", "1", "1", "9", "8")
    np.testing.assert_array_equal(picture, expected_panel(saved, [3, 1, 0], 1))   # renumbered default bands
    assert "quick look (bands 3, 1, 0)" in printed


@pytest.mark.parametrize("labels, classes", [
    (np.arange(12 * 10).reshape(12, 10) % 4, [0, 1, 2, 3]),
    (np.where(np.arange(120).reshape(12, 10) % 3 == 0, np.nan, np.arange(120).reshape(12, 10) % 25 + 1.0),
     list(range(1, 26))),                                  # NaN black; past twenty colours they repeat
])
def test_label_panel_and_legend(run_main, capsys, tmp_path, labels, classes):
    img = envi_scene(NAN_CUBE)(tmp_path)
    sio.savemat(tmp_path / "gt.mat", {"gt": labels[:, :8]})            # narrower than the image
    _, saved, picture = convert_with_preview(run_main, capsys, tmp_path, img, "--gt", tmp_path / "gt.mat")
    h, w = saved.shape[:2]
    np.testing.assert_array_equal(picture[:h, :w], expected_panel(saved, [0, 3, 5], 1))
    assert (picture[:h, w:w + 4] == 255).all()                         # the white gap
    panel = picture[:h, w + 4:w + 12]
    assert picture.shape[1] >= w + 12 and picture.shape[0] > h         # the legend below
    gt = labels[:, :8]
    assert (panel[(gt == 0) | np.isnan(gt)] == 0).all()
    colours = {c: {tuple(p) for p in panel[gt == c]} for c in classes if c != 0}
    assert all(len(found) == 1 and found != {(0, 0, 0)} for found in colours.values())   # one colour a class
    first_twenty = [next(iter(colours[c])) for c in sorted(colours)[:20]]
    assert len(set(first_twenty)) == len(first_twenty)
    if len(colours) > 20:
        assert colours[sorted(colours)[20]] == colours[sorted(colours)[0]]
    legend = picture[h:]
    assert (legend != 255).any(axis=-1).sum() > 100                    # swatches and text were drawn


def test_real_scene_with_nodata(corpus, run_main, capsys, tmp_path):
    img = corpus / "tiff" / "rasterio" / "RGB.byte.tif"        # Landsat bands with a nodata border of 0
    _, saved, picture = convert_with_preview(run_main, capsys, tmp_path, img, "--crop", "100", "100", "500", "600")
    np.testing.assert_array_equal(picture, expected_panel(saved, [0, 1, 2], 1, (0,)))
    assert (picture == 0).all(axis=-1).any() and not (picture == 0).all()


@pytest.mark.parametrize("labels, image_rows, label_rows", [
    (np.arange(12 * 10).reshape(12, 10) * 7 % 5000, 12, 12),          # 120 classes: the legend lists 100
    (np.arange(1500).reshape(1500, 1) % 3, 6, 750),                   # labels far longer: decimated alike
])
def test_preview_stays_small_for_outsized_labels(run_main, capsys, tmp_path, labels, image_rows, label_rows):
    img = envi_scene(NAN_CUBE)(tmp_path)
    sio.savemat(tmp_path / "gt.mat", {"gt": labels.astype(np.uint16)})
    _, _, picture = convert_with_preview(run_main, capsys, tmp_path, img, "--gt", tmp_path / "gt.mat")
    k = -(-max(labels.shape) // 1024)
    assert (picture[image_rows:label_rows, :-(-10 // k)] == 255).all()    # white below the image panel
    assert (picture[label_rows - 1, -(-10 // k) + 4:] != 255).any()       # the label panel's last row
    assert picture.shape[0] < label_rows + 500                           # with a legend of bounded height
