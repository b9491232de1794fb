"""--bands, --drop-bands and --band-axis: the saved cube is numpy's slice of
the whole one, read by the module's loaders or by rebound ones alike, and the
per-band metadata follows the bands kept."""

import json
import re

import h5py
import numpy as np
import pytest
import rasterio
import scipy.io as sio
import spectral.io.envi as envi

from nivra import convert

H, W, B = 9, 7, 12
CUBE = (np.arange(H * W * B).reshape(H, W, B) * 3 - 100).astype(np.int16)
NM = [400 + 50 * b for b in range(B)]                     # 400 .. 950 nm
BBL = ["1", "1", "0", "1", "1", "0", "0", "1", "1", "1", "1", "0"]
BAD = [2, 5, 6, 11]


def envi_scene(interleave, byteorder=0, units="Micrometers", scale=1000):
    def write(folder):
        meta = {"wavelength": [str(nm / scale) for nm in NM], "bbl": BBL, "default bands": ["9", "4", "2"],
                "band names": [f"b{b}" for b in range(B)]}
        if units:
            meta["wavelength units"] = units
        envi.save_image(str(folder / "s.hdr"), CUBE, ext=".img", interleave=interleave, byteorder=byteorder,
                        metadata=meta, force=True)
        return folder / "s.hdr"
    return write


def tiff_scene(folder):
    with rasterio.open(folder / "s.tif", "w", driver="GTiff", width=W, height=H, count=B, dtype="int16",
                       tiled=True, blockxsize=16, blockysize=16) as dst:
        dst.write(CUBE.transpose(2, 0, 1))
        dst.descriptions = tuple(f"d{b}" for b in range(B))
    return folder / "s.tif"


def hdf5_scene(stored_axes, chunks=True):
    """The cube stored with its axes in the order given (rows 0, columns 1, bands 2)."""
    def write(folder):
        with h5py.File(folder / "s.h5", "w") as f:
            f.create_dataset("cube", data=CUBE.transpose(stored_axes), chunks=chunks)
            f["flat"] = CUBE[:, :, 0]
        return f"{folder / 's.h5'}:/cube"
    return write


SCENES = {"envi-bsq": envi_scene("bsq"), "envi-bil-big-endian": envi_scene("bil", 1), "envi-bip": envi_scene("bip"),
          "tiff": tiff_scene, "hdf5": hdf5_scene((0, 1, 2))}
BY_INDEX = {  # options: the bands kept
    "one": (["--bands", "3"], [3]), "range": (["--bands", "2-5"], [2, 3, 4, 5]),
    "items-unordered": (["--bands", "7-8,0,3,8"], [0, 3, 7, 8]), "all": (["--bands", "0-11"], list(range(B))),
    "drop": (["--drop-bands", "0,10-11"], list(range(1, 10))),
    "keep-then-drop": (["--bands", "1-9", "--drop-bands", "4-5"], [1, 2, 3, 6, 7, 8, 9]),
}
BY_ENVI_FIELDS = {
    "wavelengths": (["--bands", "500-700nm"], [2, 3, 4, 5, 6]), "decimals": (["--bands", "520.5-600.nm"], [3, 4]),
    "bad": (["--drop-bands", "bad"], [b for b in range(B) if b not in BAD]),
    "bad-and-water": (["--drop-bands", "bad,850-1000nm"], [0, 1, 3, 4, 7, 8]),
    "keep-bad-only": (["--bands", "bad"], BAD),
}
CROPS = {"whole": [], "window": ["--crop", "2", "1", "5", "4"]}


@pytest.fixture
def rebound(monkeypatch):
    """Loaders wrapped as a caller might rebind them: the plain flow."""
    def rebind():
        wrapped = {k: (lambda f: lambda p: f(p))(v) for k, v in convert._LOADERS.items()}
        monkeypatch.setattr(convert, "_LOADERS", wrapped)
    return rebind


def convert_to(run_main, capsys, img, out, *options):
    run_main("--img", img, "--out-dir", out, *options)
    printed = re.sub(r"\x1b\[\d+m", "", capsys.readouterr().out)
    printed = re.sub(r"Elapsed: \d+\.\d\ds", "", printed.replace(str(out), "OUT"))
    saved = sio.loadmat(out / "data.mat")["data"]
    return printed, json.loads((out / "metadata.json").read_text()), saved


CASES = [(scene, items) for scene in SCENES for items in BY_INDEX] + \
        [(scene, items) for scene in SCENES if scene.startswith("envi") for items in BY_ENVI_FIELDS]


@pytest.mark.parametrize("crop", CROPS)
@pytest.mark.parametrize("scene, items", CASES)
def test_kept_bands_are_numpys_slice_in_both_flows(tmp_path, run_main, capsys, monkeypatch, rebound, scene, items,
                                                   crop):
    if crop == "window":   # a few rows a read, the last block short
        monkeypatch.setattr(convert, "_READ_BLOCK_BYTES", 200)
    img = SCENES[scene](tmp_path)
    options, kept = {**BY_INDEX, **BY_ENVI_FIELDS}[items]
    windowed = convert_to(run_main, capsys, img, tmp_path / "windowed", *options, *CROPS[crop])
    rebound()
    if "bad" in items:   # a loader of the caller's own hands over no header: only its metadata's bbl counts
        with pytest.raises(ValueError, match="needs the image's bad band list"):
            convert_to(run_main, capsys, img, tmp_path / "plain", *options, *CROPS[crop])
    else:
        plain = convert_to(run_main, capsys, img, tmp_path / "plain", *options, *CROPS[crop])
        assert windowed[:2] == plain[:2]
        np.testing.assert_array_equal(windowed[2], plain[2])

    y, x, h, w = map(int, CROPS[crop][1:]) if crop != "whole" else (0, 0, H, W)
    expected = CUBE[y:y + h, x:x + w][:, :, kept]
    saved = windowed[2].reshape(expected.shape)                   # loadmat drops a last axis of one
    assert saved.dtype == np.int16
    np.testing.assert_array_equal(saved, expected)
    given = " ".join(options)
    assert f"\n  Selecting bands: {given}\n  ✓ Kept {len(kept)} of {B} bands\n" in windowed[0]
    assert windowed[0].index("Selecting bands") < windowed[0].index("Saving")
    image = windowed[1]["image"]
    assert image["band_selection"] == {"kept": kept, "bands_in_source": B}
    if scene.startswith("envi"):
        assert image["band names"] == [f"b{b}" for b in kept]
        assert [float(v) * 1000 for v in image["wavelength"]] == pytest.approx([NM[b] for b in kept])
        defaults = [str(kept.index(b) + 1) for b in (8, 3, 1) if b in kept]
        assert image.get("default bands", "removed") == (defaults if len(defaults) == 3 else "removed")
    if scene == "tiff":
        assert image["band_descriptions"] == [f"d{b}" for b in kept]


@pytest.mark.parametrize("scene, options, message", [
    ("envi-bsq", ["--bands", "1,,2"], "--bands: cannot read '' (expected N, A-B, A-Bnm or bad)"),
    ("envi-bsq", ["--bands", "1, 2"], "--bands: cannot read ' 2' (expected N, A-B, A-Bnm or bad)"),
    ("envi-bsq", ["--drop-bands=-1"], "--drop-bands: cannot read '-1' (expected N, A-B, A-Bnm or bad)"),
    ("envi-bsq", ["--bands", "5-2"], "--bands: cannot read '5-2' (expected N, A-B, A-Bnm or bad)"),
    ("envi-bsq", ["--bands", "700-500nm"], "--bands: cannot read '700-500nm' (expected N, A-B, A-Bnm or bad)"),
    ("envi-bsq", ["--bands", "3-5um"], "--bands: cannot read '3-5um' (expected N, A-B, A-Bnm or bad)"),
    ("envi-bsq", ["--bands", "12"], "--bands: band 12 is out of range (the image has 12 bands)"),
    ("tiff", ["--drop-bands", "3-99999999999999999999"],
     "--drop-bands: band 99999999999999999999 is out of range (the image has 12 bands)"),
    ("tiff", ["--bands", "400-500nm"], "--bands: '400-500nm' needs the image's wavelengths (ENVI 'wavelength')"),
    ("hdf5", ["--drop-bands", "bad"], "--drop-bands: 'bad' needs the image's bad band list (ENVI 'bbl')"),
    ("envi-bsq", ["--drop-bands", "0-11"], "No band is left after --bands/--drop-bands (the image has 12 bands)"),
    ("envi-bsq", ["--bands", "1-2", "--drop-bands", "1,2"],
     "No band is left after --bands/--drop-bands (the image has 12 bands)"),
])
def test_refused_band_lists_name_the_option_and_write_nothing(tmp_path, run_main, scene, options, message):
    with pytest.raises(ValueError) as info:
        run_main("--img", SCENES[scene](tmp_path), "--out-dir", tmp_path / "out", *options)
    assert str(info.value) == message
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("units, scale, items, kept", [
    ("nm", 1, "500-600nm", [2, 3, 4]), ("Nanometers", 1, "450-500nm", [1, 2]),
    ("micrometers", 1000, "900-950nm", [10, 11]), ("\u00b5m", 1000, "400-400nm", [0]),
    ("", 1000, "600-700nm", [4, 5, 6]),        # no units, every value below 100: micrometres
    ("Unknown", 1, "600-700nm", [4, 5, 6]),    # values of 100 and more: nanometres
])
def test_wavelength_units(tmp_path, run_main, capsys, units, scale, items, kept):
    img = envi_scene("bsq", units=units, scale=scale)(tmp_path)
    record = convert_to(run_main, capsys, img, tmp_path / "out", "--bands", items)[1]
    assert record["image"]["band_selection"]["kept"] == kept


# ---- --band-axis --------------------------------------------------------------------

@pytest.mark.parametrize("stored, axis, transposed", [
    ((0, 2, 1), 1, "HCW \u2192 HWC"),           # rows, bands, columns
    ((2, 0, 1), 0, "CHW \u2192 HWC"),           # band-first, more bands than rows or columns
    ((0, 1, 2), 2, None),
    ((2, 0, 1), 2, None),                       # the guess would move; undone: the columns are the bands
    ((0, 1, 2), 0, "CHW \u2192 HWC"),           # the rows taken for bands
])
@pytest.mark.parametrize("crop", CROPS)
def test_band_axis_moves_the_stored_axis_last_in_both_flows(tmp_path, run_main, capsys, rebound, stored, axis,
                                                            transposed, crop):
    img = hdf5_scene(stored, chunks=(3, 2, 5))(tmp_path)
    options = ["--band-axis", str(axis), "--bands", "1-2", *CROPS[crop]]
    windowed = convert_to(run_main, capsys, img, tmp_path / "windowed", *options)
    rebound()
    plain = convert_to(run_main, capsys, img, tmp_path / "plain", *options)
    assert windowed[:2] == plain[:2]
    np.testing.assert_array_equal(windowed[2], plain[2])

    moved = np.moveaxis(CUBE.transpose(stored), axis, -1)
    if crop != "whole":
        moved = moved[2:7, 1:5]
    np.testing.assert_array_equal(windowed[2], moved[:, :, 1:3])
    assert f"Loaded: shape={np.moveaxis(CUBE.transpose(stored), axis, -1).shape}" in windowed[0]
    image = windowed[1]["image"]
    assert image.get("_transposed") == transposed
    keys = list(image)
    assert transposed is None or keys.index("_transposed") + 1 == keys.index("_source_format")


@pytest.mark.parametrize("img, message", [
    (tiff_scene, "--band-axis applies to HDF5 images only"),
    (envi_scene("bip"), "--band-axis applies to HDF5 images only"),
    (lambda folder: hdf5_scene((0, 1, 2))(folder)[:-4] + "flat",
     "--band-axis needs a dataset of three axes, got shape (9, 7)"),
])
@pytest.mark.parametrize("flow", ["windowed", "plain"])
def test_band_axis_refusals(tmp_path, run_main, capsys, rebound, img, message, flow):
    path = img(tmp_path)
    if flow == "plain":
        rebound()
    with pytest.raises(ValueError) as info:
        run_main("--img", path, "--out-dir", tmp_path / "out", "--band-axis", "1")
    assert str(info.value) == message
    printed = capsys.readouterr().out
    assert "Detected format" in printed and "Loaded" not in printed
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("name, items", [
    ("envi/qps/envi_wl_fwhm.hdr", "bad"),            # GDAL-written bbl = {0, 1}, nm
    ("envi/qps/envi.hdr", "460-500nm"),              # 177 bands in micrometres
    ("envi/enmapbox/cubus_gamsberg_subset.hdr", "1340-1450nm,1790-1960nm"),   # units "Unknown", values in nm
])
def test_real_headers(corpus, tmp_path, run_main, capsys, name, items):
    img = envi.open(str(corpus / name))
    wavelengths = [float(w) for w in img.metadata["wavelength"]]
    nm = [w * 1000 if w < 100 else w for w in wavelengths]
    ranges = [tuple(map(float, item[:-2].split("-"))) for item in items.split(",") if item.endswith("nm")]
    dropped = [b for b, flag in enumerate(img.metadata.get("bbl", [])) if float(flag) == 0] if items == "bad" else \
        [b for b, w in enumerate(nm) if any(lo <= w <= hi for lo, hi in ranges)]
    kept = [b for b in range(img.nbands) if b not in dropped]
    saved = convert_to(run_main, capsys, corpus / name, tmp_path / "out", "--drop-bands", items)[2]
    expected = np.asarray(img.load(dtype=img.dtype, scale=False))[:, :, kept]
    np.testing.assert_array_equal(saved.reshape(expected.shape), expected)
