"""Windowed reads: the module's own loaders open the image and read only what
is converted. The result must match the plain flow (whole loads, then
_apply_crop) line for line and file for file, and a variable too large for a
MAT file is refused before any pixel is read."""

import json
import os
import re
import subprocess
import sys

import h5py
import numpy as np
import pytest
import rasterio
import scipy.io as sio
import spectral.io.envi as envi
from rasterio.transform import from_origin
from rasterio.windows import Window

from nivra import convert

from conftest import UNDER_ASAN, Stderr

H, W, B = 40, 36, 3
CUBE = (np.arange(H * W * B, dtype=np.int32).reshape(H, W, B) * 7 - 5000).astype(np.int16)


def envi_scene(interleave, byteorder):
    def write(folder):
        envi.save_image(str(folder / "s.hdr"), CUBE, ext=".img", interleave=interleave, byteorder=byteorder,
                        force=True)
        return folder / "s.hdr"
    return write


def envi_with_offset(folder):
    """Big-endian BIL after 123 bytes of something else, written by hand."""
    (folder / "s.hdr").write_text(f"ENVI\nsamples = {W}\nlines = {H}\nbands = {B}\nheader offset = 123\n"
                                  "data type = 2\ninterleave = bil\nbyte order = 1\n")
    (folder / "s.img").write_bytes(bytes(range(123)) + CUBE.transpose(0, 2, 1).astype(">i2").tobytes())
    return folder / "s.hdr"


def tiled_geotiff(folder):
    with rasterio.open(folder / "s.tif", "w", driver="GTiff", width=W, height=H, count=B, dtype="int16",
                       tiled=True, blockxsize=16, blockysize=16, crs="EPSG:32633",
                       transform=from_origin(500000.0, 4000000.0, 10.0, 10.0)) as dst:
        dst.write(CUBE.transpose(2, 0, 1))
    return folder / "s.tif"


def hdf5_scene(band_first):
    def write(folder):
        with h5py.File(folder / "s.h5", "w") as f:
            cube = CUBE.transpose(2, 0, 1) if band_first else CUBE
            f.create_dataset("cube", data=cube.astype(">f4"), chunks=True)   # big-endian, chunked
            f["cube"].attrs["units"] = "W/m2"
        return f"{folder / 's.h5'}:/cube"
    return write


SCENES = {
    "envi-bsq": envi_scene("bsq", 0), "envi-bil-big-endian": envi_scene("bil", 1),
    "envi-bip": envi_scene("bip", 0), "envi-bsq-big-endian": envi_scene("bsq", 1),
    "envi-offset": envi_with_offset,
    "tiff": tiled_geotiff, "hdf5-band-first": hdf5_scene(True), "hdf5-band-last": hdf5_scene(False),
}
CROPS = {
    "whole-scene": None, "window-of-all": (0, 0, H, W),
    "top-left": (0, 0, 5, 7), "top-right": (0, W - 7, 5, 7), "bottom-left": (H - 5, 0, 5, 7),
    "bottom-right": (H - 5, W - 7, 5, 7), "inside": (9, 4, 17, 20), "last-row": (H - 1, 0, 1, W),
}


@pytest.fixture
def literal(monkeypatch):
    """Forces the plain flow: wrapped loaders and crop, as a caller might rebind
    them; returns the names of the wrappers main called."""
    called = []

    def wrapped(name, function):
        return lambda *args: called.append(name) or function(*args)

    def force():
        monkeypatch.setattr(convert, "_LOADERS", {k: wrapped(k, v) for k, v in convert._LOADERS.items()})
        monkeypatch.setattr(convert, "_apply_crop", wrapped("crop", convert._apply_crop))
        return called
    return force


def convert_once(run_main, capsys, img, out_dir, *options):
    run_main("--img", img, "--out-dir", out_dir, *options)
    printed = capsys.readouterr().out.replace(str(out_dir), "OUT")
    printed = re.sub(r"Elapsed: \d+\.\d\ds", "Elapsed: -", printed)
    files = {name: sio.loadmat(out_dir / name) for name in ("data.mat", "gt.mat") if (out_dir / name).exists()}
    return printed, (out_dir / "metadata.json").read_text(), files


@pytest.mark.parametrize("crop", CROPS.values(), ids=CROPS.keys())
@pytest.mark.parametrize("scene", SCENES.values(), ids=SCENES.keys())
def test_windowed_and_plain_flows_give_the_same_lines_and_files(tmp_path, run_main, capsys, literal, scene, crop):
    img = scene(tmp_path)
    labels = (np.arange((H - 3) * (W - 2)) % 5).reshape(H - 3, W - 2).astype(np.uint8)  # smaller than the image
    sio.savemat(tmp_path / "labels.mat", {"gt": labels})
    options = ["--gt", tmp_path / "labels.mat", *(["--crop", *map(str, crop)] if crop else [])]

    windowed = convert_once(run_main, capsys, img, tmp_path / "windowed", *options)
    called = literal()
    whole = convert_once(run_main, capsys, img, tmp_path / "whole", *options)
    assert len(called) == (2 if crop else 1)                  # what is bound is what runs

    assert windowed[:2] == whole[:2]
    assert windowed[2].keys() == whole[2].keys() == {"data.mat", "gt.mat"}
    for name, key in (("data.mat", "data"), ("gt.mat", "gt")):
        ours, theirs = windowed[2][name][key], whole[2][name][key]
        assert ours.dtype == theirs.dtype and ours.shape == theirs.shape
        np.testing.assert_array_equal(ours, theirs)
    y, x, h, w = crop or (0, 0, H, W)
    np.testing.assert_array_equal(windowed[2]["data.mat"]["data"], CUBE[y:y + h, x:x + w])
    assert "Loaded: shape=(40, 36, 3)" in windowed[0] and "Spatial mismatch: image=(40, 36), gt=(37, 34)" in windowed[0]


@pytest.mark.parametrize("crop, message", [
    ((H, 0, 1, 1), f"Crop region ({H}, 0, 1, 1) exceeds image bounds ({H}, {W})"),
    ((0, -1, 2, 2), f"Crop region (0, -1, 2, 2) exceeds image bounds ({H}, {W})"),
    ((0, 0, H, W + 1), f"Crop region (0, 0, {H}, {W + 1}) exceeds image bounds ({H}, {W})"),
    ((2, 2, 0, 3), "Crop height and width must be positive, got height=0, width=3"),
])
@pytest.mark.parametrize("scene", ["envi-bip", "tiff", "hdf5-band-first"])
def test_refused_windows_give_the_crop_messages_before_reading(tmp_path, run_main, capsys, scene, crop, message):
    img = SCENES[scene](tmp_path)
    with pytest.raises(ValueError) as info:
        run_main("--img", img, "--out-dir", tmp_path / "out", "--crop", *map(str, crop))
    assert str(info.value) == message
    assert not (tmp_path / "out").exists()
    assert "Cropped to" not in capsys.readouterr().out


def test_envi_data_is_a_view_of_the_file_in_native_order(tmp_path):
    loaded, _ = convert._load_envi(str(envi_scene("bil", 0)(tmp_path)))
    assert not loaded.flags.writeable and not loaded.flags.owndata        # the memory map, read-only
    np.testing.assert_array_equal(loaded, CUBE)
    swapped, _ = convert._load_envi(str(envi_scene("bil", 1)(tmp_path)))
    assert swapped.dtype == np.int16 and swapped.dtype.isnative and swapped.flags.owndata


def test_envi_file_cut_short_after_opening_fails_cleanly(tmp_path, run_main, monkeypatch):
    img = envi_scene("bsq", 0)(tmp_path)
    sio.savemat(tmp_path / "labels.mat", {"gt": np.zeros((H, W), np.uint8)})
    load_gt = convert._load_gt

    def cut_then_load(path):              # runs between opening the image and reading it
        os.truncate(tmp_path / "s.img", CUBE.nbytes // 2)
        return load_gt(path)
    monkeypatch.setattr(convert, "_load_gt", cut_then_load)
    with pytest.raises(ValueError, match=r"^ENVI data file .*s\.img ended before the crop window$"):
        run_main("--img", img, "--gt", tmp_path / "labels.mat", "--out-dir", tmp_path / "out",
                 "--crop", "30", "0", "10", str(W))
    assert not (tmp_path / "out").exists()


# ---- the size limit --------------------------------------------------------------

LIMIT = 2 ** 32 - 1      # bytes a MAT v5 variable record may take after its tag


def record_bytes(tmp_path, shape, dtype, key):
    """What savemat writes for one variable, after the file header and record tag."""
    sio.savemat(tmp_path / "v.mat", {key: np.zeros(shape, dtype)}, do_compression=False)
    return os.path.getsize(tmp_path / "v.mat") - 128 - 8


class Written(Exception):
    pass


@pytest.mark.parametrize("dtype, key, axes", [
    (np.uint8, "data", 2), (np.int16, "a", 3), (np.float64, "abcdefghi", 2), (np.complex64, "gt", 3),
    (np.bool_, "labels", 2), (np.float16, "x", 4),     # stored as bytes, and as doubles
])
def test_size_limit_is_savemats_own(tmp_path, run_main, monkeypatch, dtype, key, axes):
    # Grow one axis of a stand-in image (a broadcast view, no memory) to
    # either side of the limit; savemat's record grows by whole padded elements.
    small = record_bytes(tmp_path, (1,) * (axes - 1) + (16,), dtype, key)
    grown = record_bytes(tmp_path, (1,) * (axes - 1) + (32,), dtype, key)
    per_16 = grown - small                                   # bytes added by 16 more values
    steps = (LIMIT - small) // per_16
    fits, too_big = 16 + 16 * steps, 16 + 16 * (steps + 1)
    assert small + per_16 * steps <= LIMIT < small + per_16 * (steps + 1)

    def stand_in(values):
        image = np.broadcast_to(np.zeros((), dtype), (1,) * (axes - 1) + (values,))
        monkeypatch.setattr(convert, "_LOADERS", {"envi": lambda path: (image, {})})

    def refuse(*args, **kwargs):
        raise Written
    monkeypatch.setattr(convert.sio, "savemat", refuse)
    stand_in(too_big)
    with pytest.raises(ValueError) as info:
        run_main("--img", "x.hdr", "--out-dir", tmp_path / "out", "--data-key", key)
    size = small + per_16 * (steps + 1)
    assert str(info.value) == (f"Variable '{key}' would take {size} bytes ({size / 1048576:.1f} MB); a version 7 MAT "
                               f"file holds at most {LIMIT} bytes per variable. Use --mat-version 7.3, or --crop to "
                               f"convert a smaller window")
    assert not (tmp_path / "out").exists()
    stand_in(fits)
    with pytest.raises(Written):
        run_main("--img", "x.hdr", "--out-dir", tmp_path / "out", "--data-key", key)


# Scenes of 5.2 GB that exist only in their headers (sparse files and
# unwritten chunks or tiles), with one 16 x 16 patch of values at PATCH.
BIG = (36000, 36000, 2)
PATCH = (30000, 20000)


def sparse_envi(folder):
    lines, samples, bands = BIG
    (folder / "big.hdr").write_text(f"ENVI\nsamples = {samples}\nlines = {lines}\nbands = {bands}\n"
                                    "header offset = 0\nfile type = ENVI Standard\ndata type = 2\n"
                                    "interleave = bip\nbyte order = 1\n")
    with open(folder / "big.img", "wb") as f:
        f.truncate(lines * samples * bands * 2)
        for row in range(16):
            f.seek(((PATCH[0] + row) * samples + PATCH[1]) * bands * 2)
            f.write(patch()[row].astype(">i2").tobytes())
    return folder / "big.hdr"


def sparse_tiff(folder):
    lines, samples, bands = BIG
    with rasterio.open(folder / "big.tif", "w", driver="GTiff", width=samples, height=lines, count=bands,
                       dtype="int16", tiled=True, blockxsize=256, blockysize=256, SPARSE_OK=True,
                       crs="EPSG:32633", transform=from_origin(500000.0, 4000000.0, 10.0, 10.0)) as dst:
        dst.write(patch().transpose(2, 0, 1), window=Window(PATCH[1], PATCH[0], 16, 16))
    return folder / "big.tif"


def sparse_hdf5(folder):
    lines, samples, bands = BIG
    with h5py.File(folder / "big.h5", "w") as f:
        cube = f.create_dataset("cube", shape=(bands, lines, samples), dtype="<i2", chunks=(bands, 256, 256))
        cube[:, PATCH[0]:PATCH[0] + 16, PATCH[1]:PATCH[1] + 16] = patch().transpose(2, 0, 1)
    return folder / "big.h5"


def patch():
    return np.arange(16 * 16 * 2, dtype=np.int16).reshape(16, 16, 2) - 100


def limited(*args):
    """Runs `nivra` with at most 1 GiB of private memory: a whole read fails.
    (Not under AddressSanitizer, whose shadow memory alone is more.)"""
    import resource

    def limit():
        resource.setrlimit(resource.RLIMIT_DATA, (2 ** 30, 2 ** 30))
    return subprocess.run([sys.executable, "-m", "nivra", *map(os.fspath, args)], capture_output=True,
                          text=True, preexec_fn=None if UNDER_ASAN else limit, timeout=120)


@pytest.mark.parametrize("write", [sparse_envi, sparse_tiff, sparse_hdf5])
def test_huge_scene_is_refused_before_reading_and_its_window_read_alone(tmp_path, write):
    img = write(tmp_path)
    result = limited("convert_to_mat", "--img", img, "--out-dir", tmp_path / "out")
    assert result.returncode == 1
    assert re.fullmatch(r"error: Variable 'data' would take 5184000\d{3} bytes \(4943\.8 MB\); a version 7 MAT file "
                        r"holds at most 4294967295 bytes per variable\. Use --mat-version 7\.3, or --crop to "
                        r"convert a smaller window\n",
                        result.stderr), result.stderr
    assert "Loaded: shape=(36000, 36000, 2) dtype=int16" in re.sub(r"\x1b\[\d+m", "", result.stdout)
    assert not (tmp_path / "out").exists()

    result = limited("convert_to_mat", "--img", img, "--out-dir", tmp_path / "out",
                     "--crop", str(PATCH[0] - 1), str(PATCH[1]), "17", "16")
    assert result.returncode == 0, result.stderr
    saved = sio.loadmat(tmp_path / "out" / "data.mat")["data"]
    assert saved.dtype == np.int16
    np.testing.assert_array_equal(saved[0], 0)
    np.testing.assert_array_equal(saved[1:], patch())
    assert json.loads((tmp_path / "out" / "metadata.json").read_text())["conversion"]["output_data_shape"] == [17, 16, 2]


# ---- row blocks and the progress line ----------------------------------------------------

def block_reads(monkeypatch):
    """Counts the library calls that read a block of rows."""
    calls = []

    def counted(function):
        return lambda *args, **kwargs: calls.append(1) or function(*args, **kwargs)
    monkeypatch.setattr(rasterio.io.DatasetReader, "read", counted(rasterio.io.DatasetReader.read))
    monkeypatch.setattr(h5py.Dataset, "read_direct", counted(h5py.Dataset.read_direct))
    return calls


def tile_rows(img):
    """Rows of one tile or chunk of the scene, which a block of rows never splits."""
    if str(img).endswith(".tif"):
        with rasterio.open(img) as src:
            return src.block_shapes[0][0]
    file, key = str(img).split(":/")
    with h5py.File(file) as f:
        cube = f[key]
        return cube.chunks[1 if cube.shape[0] == B else 0]


@pytest.mark.parametrize("block_bytes", [1, 1000])  # a row a block; a few rows, the last block short
@pytest.mark.parametrize("crop", [None, (0, 0, H, W), (H - 5, W - 7, 5, 7), (9, 4, 17, 20)])
@pytest.mark.parametrize("scene", SCENES.values(), ids=SCENES.keys())
def test_reads_in_row_blocks_give_the_one_shot_arrays(tmp_path, run_main, capsys, monkeypatch, scene, crop,
                                                      block_bytes):
    img = scene(tmp_path)
    options = ["--crop", *map(str, crop)] if crop else []
    calls = block_reads(monkeypatch)
    one_shot = convert_once(run_main, capsys, img, tmp_path / "one", *options)
    reads_in_one = len(calls)
    monkeypatch.setattr(convert, "_READ_BLOCK_BYTES", block_bytes)
    blocked = convert_once(run_main, capsys, img, tmp_path / "blocks", *options)
    assert blocked[:2] == one_shot[:2]
    ours, theirs = blocked[2]["data.mat"]["data"], one_shot[2]["data.mat"]["data"]
    assert ours.dtype == theirs.dtype and ours.shape == theirs.shape
    np.testing.assert_array_equal(ours, theirs)
    y, x, h, w = crop or (0, 0, H, W)
    np.testing.assert_array_equal(ours, CUBE[y:y + h, x:x + w])
    if reads_in_one:  # TIFF and HDF5: one block, then a call a block of whole tiles or chunks
        rows = tile_rows(img)
        assert reads_in_one == 1 and (block_bytes > 1 or len(calls) - 1 == len({(y + i) // rows for i in range(h)}))


@pytest.mark.parametrize("terminal", [True, False])
@pytest.mark.parametrize("scene, crop, name", [
    ("envi-bsq", (9, 4, 17, 20), "s.img"), ("envi-bil-big-endian", (0, 0, H, W), "s.img"),
    ("envi-bsq", None, None),  # a memory map: nothing is read
    ("tiff", None, "s.tif"), ("tiff", (H - 5, W - 7, 5, 7), "s.tif"),
    ("hdf5-band-first", None, "s.h5"), ("hdf5-band-last", (9, 4, 17, 20), "s.h5"),
])
def test_reads_show_the_progress_line_on_a_terminal_only_then_erase_it(tmp_path, run_main, capsys, monkeypatch,
                                                                     scene, crop, name, terminal):
    img = SCENES[scene](tmp_path)
    options = ["--crop", *map(str, crop)] if crop else []
    quiet = convert_once(run_main, capsys, img, tmp_path / "quiet", *options)
    monkeypatch.setattr(convert, "_PROGRESS_AFTER_SECONDS", 0.0)
    monkeypatch.setattr(convert, "_READ_BLOCK_BYTES", 1000)
    monkeypatch.setattr(sys, "stderr", Stderr(terminal))
    shown = convert_once(run_main, capsys, img, tmp_path / "shown", *options)
    assert shown[0] == quiet[0]  # standard output untouched
    segments = sys.stderr.getvalue().split("\r")
    reading = [i for i, text in enumerate(segments) if text.startswith("  reading ")]
    if not terminal or name is None:
        assert reading == []
        return
    assert re.fullmatch(rf"  reading {re.escape(name)}: \d+\.\d / \d+\.\d MB  \(\d+\.\d MB/s\) *", segments[reading[0]])
    assert segments[reading[-1] + 1].strip() == "" and segments[reading[-1] + 2] == ""  # erased
