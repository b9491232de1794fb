"""Fuzzing the converter: every function with arbitrary values for every
parameter, valid calls with one argument replaced, and random command lines
through main over a small scene. (`_c` and `print_config_box` are the display
module's own functions, fuzzed with it.)"""

import builtins
import json
import os
import re
import uuid
from unittest import mock

import h5py
import numpy as np
import pytest
import rasterio
import scipy.io as sio
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from PIL import Image

from fuzz_values import (ARRAYS, arbitrary, assert_argument_rejected, call, ints, mixed_call,
                         fails_to_convert, texts, violates, wild_call)
from nivra import convert
from nivra.utils import display

FUZZ = settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow])
OUTPUTS = ("data.mat", "gt.mat", "metadata.json")
SCENE = np.arange(90, dtype=np.uint16).reshape(6, 5, 3)
LABELS = (np.arange(30, dtype=np.uint8) % 4).reshape(6, 5)


@pytest.fixture(scope="module", autouse=True)
def workdir(tmp_path_factory):
    """A directory of small valid inputs, made the current directory so that
    relative paths drawn by the tests stay inside it."""
    root = tmp_path_factory.mktemp("fuzz")
    with rasterio.open(root / "scene.tif", "w", driver="GTiff", width=5, height=6, count=3,
                       dtype="uint16") as dst:
        dst.write(SCENE.transpose(2, 0, 1))
    with rasterio.open(root / "labels.tif", "w", driver="GTiff", width=5, height=6, count=1,
                       dtype="uint8") as dst:
        dst.write(LABELS[None])
    Image.fromarray(LABELS).save(root / "labels.png")
    sio.savemat(root / "labels.mat", {"gt": LABELS})
    (root / "cube.hdr").write_text("ENVI\nsamples = 5\nlines = 6\nbands = 3\nheader offset = 0\n"
                                   "file type = ENVI Standard\ndata type = 12\ninterleave = bsq\n"
                                   "byte order = 0\nwavelength = {400, 500, 600}\n")
    (root / "cube.img").write_bytes(SCENE.transpose(2, 0, 1).astype("<u2").tobytes())
    with h5py.File(root / "scene.h5", "w") as f:
        f["cube"] = SCENE
        f["cube"].attrs["units"] = b"reflectance"
        f.attrs["sensor"] = np.float32(1.5)
    with h5py.File(root / "empty.h5", "w") as f:
        f["cube"] = np.zeros((0, 5, 3), np.float32)
    (root / "folder.tif").mkdir()
    before = os.getcwd()
    os.chdir(root)
    yield root
    os.chdir(before)


VALID_PATHS = ["scene.tif", "labels.tif", "labels.png", "labels.mat", "cube.hdr", "cube.img",
               "scene.h5", "empty.h5", "scene.h5:/cube", "scene.h5::cube", "folder.tif", "missing.tif",
               "missing.hdr", "missing.h5", "missing.mat", "scene.tif/x.tif", "SCENE.TIF", ""]
paths = (st.sampled_from(VALID_PATHS)
         | st.builds("{}{}".format, st.sampled_from(VALID_PATHS), texts)
         | st.builds("{}{}".format, texts, st.sampled_from([".tif", ".hdr", ".img", ".h5", ".nc",
                                                           ".mat", ".png", ":/x", "::x"])))


# ---- every function, arbitrary arguments -----------------------------------------

REAL_IMPORT = builtins.__import__
SAFE_IMPORTS = {"spectral", "rasterio", "h5py", "numpy", "json", "os"}


def guarded_import(name, *args, **kwargs):
    """The real __import__ for the libraries; a name that could be some other
    installed module (with import side effects) is reported missing instead."""
    if isinstance(name, str) and name not in SAFE_IMPORTS and re.fullmatch(r"[\w.]+", name, re.ASCII):
        raise ModuleNotFoundError(f"No module named {name!r}")
    return REAL_IMPORT(name, *args, **kwargs)


@pytest.fixture(scope="module", autouse=True)
def no_stray_imports():
    with mock.patch.object(convert, "__import__", guarded_import, create=True):
        yield


FUNCTIONS = ["_apply_crop", "_check_dep", "_detect_format", "_json_safe", "_load_envi", "_load_gt",
             "_load_hdf5", "_load_tiff", "_print_summary", "_strip_dataset_specifier", "main"]


@pytest.mark.parametrize("name", FUNCTIONS)
@FUZZ
@given(data=st.data())
def test_arbitrary_arguments(name, data):
    fn = getattr(convert, name)
    args, kwargs = data.draw(wild_call(fn))
    with mock.patch("sys.argv", ["nivra convert_to_mat"]):
        call(fn, args, kwargs, exits=name in ("_check_dep", "main"))


# ---- one argument replaced in a valid call -------------------------------------------

label_arrays = st.sampled_from([LABELS, LABELS[:4, :3], LABELS.astype(np.float32), LABELS[..., None],
                                np.zeros((6, 5), np.int64), np.full((6, 5), 255, np.uint8)])
SPECS = {
    "_apply_crop": {
        "data": ("any", st.sampled_from([SCENE, SCENE[..., 0], SCENE[:2, :3]])),
        "gt": ("any", st.none() | label_arrays),
        "crop": ("tuple", st.tuples(*[st.integers(-2, 8)] * 4)),
    },
    "_print_summary": {
        "data": ("any", st.sampled_from([SCENE, SCENE.astype(np.float64), SCENE[:0]])),
        "gt": ("any", st.none() | label_arrays),
        "meta": ("dict", st.fixed_dictionaries({"_source_format": st.just("TIFF"),
                                                "_source_file": texts})),
        "gt_meta": ("dict?", st.none() | st.dictionaries(texts, texts, max_size=2)),
        "out_dir": ("str", texts),
        "elapsed": ("float", st.floats(0, 1e4)),
        "data_key": ("str", texts),
        "gt_key": ("str", texts),
    },
}
for name in ("_load_envi", "_load_gt", "_load_hdf5", "_load_tiff", "_check_dep", "_detect_format",
             "_strip_dataset_specifier"):
    SPECS[name] = {"path": ("str", paths)}
SPECS["_check_dep"] = {"name": ("str", st.sampled_from(sorted(SAFE_IMPORTS)) | texts)}


def violates_kind(kind, value):
    if kind == "float":  # anything float() takes without parsing text
        convertible = hasattr(type(value), "__float__") or hasattr(type(value), "__index__")
        return not convertible or fails_to_convert(float, value)
    return violates(kind, value)


@pytest.mark.parametrize("name", sorted(SPECS))
@settings(FUZZ, max_examples=150)
@given(data=st.data())
def test_one_bad_argument(name, data):
    fn = getattr(convert, name)
    spec = SPECS[name]
    args, kwargs, target, value = data.draw(mixed_call(fn, spec))
    outcome = call(fn, args, kwargs, exits=name == "_check_dep")
    if violates_kind(spec[target][0], value):
        assert_argument_rejected(fn, outcome, target)
        return
    bound = dict(zip([p for p in spec], args), **kwargs)
    CHECKS.get(name, lambda bound, outcome: None)(bound, outcome)


def check_loader(bound, outcome):
    if outcome.ok:
        data, meta = outcome.result
        assert isinstance(data, np.ndarray) and type(meta) is dict
        assert "_source_file" in meta and "_source_format" in meta


def check_crop(bound, outcome):
    data, gt, crop = bound["data"], bound["gt"], bound["crop"]
    if not (type(crop) is tuple and len(crop) == 4 and all(type(v) is int for v in crop)
            and isinstance(data, np.ndarray) and data.ndim >= 2):
        return
    y, x, h, w = crop
    H, W = data.shape[:2]
    if y < 0 or x < 0 or y + h > H or x + w > W or h <= 0 or w <= 0:
        assert isinstance(outcome.error, ValueError), outcome.error
        return
    if gt is not None and not isinstance(gt, np.ndarray):
        return
    cropped, cropped_gt = outcome.result
    np.testing.assert_array_equal(cropped, data[y:y + h, x:x + w])
    assert cropped_gt is None if gt is None else np.array_equal(cropped_gt, gt[y:y + h, x:x + w])


def reference_strip(path):
    # "::" wins over ":/", so "scene.h5::/grp/cube" keeps no stray colon.
    if "::" in path:
        return path.rsplit("::", 1)[0]
    if "://" not in path and ":/" in path:
        return path.rsplit(":/", 1)[0]
    return path


def check_strip(bound, outcome):
    assert outcome.result == reference_strip(bound["path"])


def check_detect(bound, outcome):
    ext = os.path.splitext(reference_strip(bound["path"]))[1].lower()
    ext = ".h5" if ext == ".nc" else ext
    if ext in convert._EXT_MAP:
        assert outcome.result == convert._EXT_MAP[ext]
    else:
        assert isinstance(outcome.error, ValueError)
        assert str(outcome.error) == f"Unrecognised file extension '{ext}'. Supported: envi, hdf5, tiff"


def check_dep(bound, outcome):
    name = bound["name"]
    if outcome.ok:
        assert outcome.result is None and outcome.out == ""
    elif isinstance(outcome.error, SystemExit):
        assert outcome.error.code == 1
        assert outcome.out == (f"\n{display.RED}{display.BOLD}  Missing dependency: {name}{display.RESET}"
                               f"\n  Install it with:  pip install {name}"
                               "\n  Or install all convert deps:  pip install \"nivra-hsi[convert]\"\n\n")


def check_summary(bound, outcome):
    if outcome.ok:
        assert outcome.result is None and "Conversion complete!" in outcome.out


CHECKS = {"_load_envi": check_loader, "_load_gt": check_loader, "_load_hdf5": check_loader,
          "_load_tiff": check_loader, "_apply_crop": check_crop, "_check_dep": check_dep,
          "_strip_dataset_specifier": check_strip, "_detect_format": check_detect,
          "_print_summary": check_summary}


# ---- _json_safe ------------------------------------------------------------------

@settings(FUZZ, max_examples=200)
@given(val=arbitrary | st.sampled_from(ARRAYS) | st.binary() | st.builds(np.bytes_, st.binary()))
def test_json_safe(val):
    outcome = call(convert._json_safe, [val])
    if isinstance(val, np.ndarray):
        expected = val.tolist()
    elif isinstance(val, np.integer):
        expected = int(val)
    elif isinstance(val, np.floating):
        expected = float(val)
    elif isinstance(val, bytes):
        expected = val.decode("utf-8", errors="replace")
    else:
        assert outcome.result is val
        return
    assert outcome.ok and outcome.out == ""
    assert repr(outcome.result) == repr(expected)  # NaN-safe equality


# ---- main on random command lines -----------------------------------------------------

IMAGES = ["scene.tif", "cube.hdr", "cube.img", "scene.h5", "scene.h5:/cube", "scene.h5::cube",
          "empty.h5", "labels.mat", "folder.tif", "missing.tif", "missing.hdr", "missing.h5", "scene.tif:/x"]
GROUND_TRUTHS = ["labels.tif", "labels.png", "labels.mat", "cube.hdr", "scene.tif", "missing.mat",
                 "labels.txt", "folder.tif", ""]
crop_values = (st.integers(-3, 8).map(str)
               | st.sampled_from(["2**70", str(2**70), str(-2**70), "1.5", "0x10", "", " 4 ", "٣",
                                  "-0", "9" * 40, "abc"]))


def out_dirs(root):
    return st.one_of(
        st.builds(lambda: str(root / "runs" / uuid.uuid4().hex)),   # new
        st.just(str(root / "reused")),                               # earlier outputs inside
        st.sampled_from([str(root / "scene.tif"), str(root / "scene.tif" / "sub"), ""]),
        texts.map(lambda t: str(root / "named") + "/" + t.replace("/", "_")),
    )


@st.composite
def command_lines(draw, root):
    """A valid command line with up to two of its parts made wild."""
    groups = {"--img": [draw(st.sampled_from(IMAGES[:7]))], "--out-dir": [draw(out_dirs(root))]}
    if draw(st.booleans()):
        groups["--gt"] = [draw(st.sampled_from(GROUND_TRUTHS[:4]))]
    if draw(st.booleans()):
        groups["--crop"] = [str(v) for v in draw(st.tuples(*[st.integers(0, 6)] * 4))]
    for key in ("--data-key", "--gt-key"):
        if draw(st.booleans()):
            groups[key] = [draw(st.sampled_from(["cube", "labels", "x1", "Daten", "ä"]))]

    wild = {
        "--img": st.lists(st.sampled_from(IMAGES) | paths, max_size=1),
        "--out-dir": st.lists(out_dirs(root), max_size=1),
        "--gt": st.lists(st.sampled_from(GROUND_TRUTHS) | paths, max_size=1),
        "--crop": st.lists(crop_values, max_size=6),
        "--data-key": st.lists(st.sampled_from(["_x", "2d", "", "a b", "\u0100"]) | texts, max_size=1),
        "--gt-key": st.lists(texts, max_size=1),
        "unknown": st.lists(st.sampled_from(["--bogus", "-x", "--img=", "--crop=1", "--", "-h", "--im"])
                            | texts, min_size=1, max_size=2),
    }
    for part in draw(st.lists(st.sampled_from(sorted(wild)), max_size=2, unique=True)):
        groups[part] = draw(wild[part])
        if draw(st.integers(0, 4)) == 0:
            del groups[part]  # the option left out altogether
    order = draw(st.permutations(sorted(groups)))
    return [token for name in order
            for token in ([] if name == "unknown" else [name]) + groups[name]]


def outputs_in(directory):
    """The final output files in `directory`: name -> content."""
    found = {}
    for name in OUTPUTS:
        path = os.path.join(directory, name)
        if os.path.isfile(path):
            with open(path, "rb") as f:
                found[name] = f.read()
    return found


def option(argv, name, default=None):
    """The value argparse takes for `name` (the last one given)."""
    values = [argv[i + 1] for i, token in enumerate(argv[:-1]) if token == name]
    return values[-1] if values else default


@settings(FUZZ, max_examples=250)
@given(data=st.data())
def test_main_on_random_command_lines(workdir, data):
    argv = data.draw(command_lines(workdir))
    out_dir = option(argv, "--out-dir")
    directory = out_dir if out_dir and os.path.isdir(out_dir) else None
    before = outputs_in(directory) if directory else {}

    with mock.patch("sys.argv", ["nivra convert_to_mat", *argv]):
        outcome = call(convert.main, exits=True)

    if isinstance(outcome.error, SystemExit):
        asked_help = any(token == "-h" or token.startswith("--h") for token in argv)
        assert outcome.error.code == 2 or (outcome.error.code == 0 and asked_help), outcome.error.code
    if outcome.ok:
        assert outcome.result is None
        data_key = option(argv, "--data-key", "data")
        assert sio.loadmat(os.path.join(out_dir, "data.mat"))[data_key].ndim >= 2
        if option(argv, "--gt") is not None:
            gt_key = option(argv, "--gt-key", "gt")
            assert sio.loadmat(os.path.join(out_dir, "gt.mat"))[gt_key].ndim >= 2
        with open(os.path.join(out_dir, "metadata.json")) as f:
            assert json.load(f)["conversion"]["output_data_key"] == data_key
    elif out_dir and os.path.isdir(out_dir):
        # A failed run leaves only what earlier runs wrote, unchanged.
        assert outputs_in(out_dir) == before, argv
    if out_dir and os.path.isdir(out_dir):
        assert not [n for n in os.listdir(out_dir) if n.endswith(".tmp")], argv


def test_image_without_values_is_refused_before_writing(workdir, run_main):
    # Found by the command-line fuzzing: the outputs were written, then the
    # summary's value range failed on the empty array.
    out = workdir / "runs" / "empty"
    with pytest.raises(ValueError, match=re.escape("Image holds no values, got shape (5, 3, 0)")):
        run_main("--img", "empty.h5", "--out-dir", out)
    assert not out.exists()
