"""Reference and memory leaks: every public function of both modules, called
thousands of times on its success paths and on each of its error paths, must
leave Python-allocated memory, resident memory and the reference counts of
its arguments and of the module globals where they were."""

import contextlib
import ctypes
import gc
import os
import resource
import sys
import tracemalloc
import warnings
from fractions import Fraction

import h5py
import numpy as np
import pytest
import rasterio
import scipy.io as sio
from PIL import Image
from rasterio.transform import from_origin

from nivra import convert
from nivra.utils import display

from conftest import UNDER_ASAN

CALLS = 500         # measured calls per window, for a function that touches no file
FILE_CALLS = 50     # the same for a case that opens files or runs main
WARMUP = 50         # unmeasured calls first, so caches and free lists settle
WINDOWS = 6         # windows tried at most; a case passes at the first window within the bounds
BYTES_PER_CALL = 16     # traced growth allowed per call: less than any leaked object
RSS_LIMIT = 2 << 20     # resident growth allowed per window
PAGE = resource.getpagesize()
# AddressSanitizer keeps freed memory resident in its quarantine (up to 256 MB),
# so under it only traced memory and reference counts are checked.


# ---- the measuring helper -------------------------------------------------------

def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def run_quietly(call, times):
    # Warnings are dropped: pytest would keep every one a library emits per call.
    with open(os.devnull, "w", encoding="utf-8") as null, \
            contextlib.redirect_stdout(null), contextlib.redirect_stderr(null), \
            warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for _ in range(times):
            call()


def window(call, calls, watched):
    """Runs call() `calls` times; returns what grew beyond the bounds (empty when nothing did).
    The type cache holds the names of recent attribute look-ups (C code makes a new
    name object per look-up); it is emptied before each reading, and memory is read
    last before and first after, so neither it nor the measuring counts."""
    gc.collect()
    sys._clear_type_cache()
    watched = watchable(watched)
    refs = [sys.getrefcount(obj) for obj in watched]
    rss = resident_bytes()
    traced = tracemalloc.get_traced_memory()[0]
    run_quietly(call, calls)
    gc.collect()
    sys._clear_type_cache()
    traced = tracemalloc.get_traced_memory()[0] - traced
    rss = resident_bytes() - rss
    moved = [(obj, sys.getrefcount(obj) - before) for obj, before in zip(watched, refs)]

    problems = []
    if traced >= BYTES_PER_CALL * calls:
        problems.append(f"traced memory grew by {traced} bytes over {calls} calls")
    if rss >= RSS_LIMIT and not UNDER_ASAN:
        problems.append(f"resident memory grew by {rss} bytes over {calls} calls")
    moved = [f"{type(obj).__name__} {change:+d}" for obj, change in moved if abs(change) >= calls // 4]
    if moved:
        problems.append(f"reference counts moved over {calls} calls: " + ", ".join(moved))
    return problems


def assert_no_leak(call, calls, watched=()):
    """After WARMUP calls, measures windows of `calls` calls until one stays within
    the bounds. A leak grows in every window; the libraries' caches filling up and
    one-time events (an interpreter table resized into traced memory) fade or land
    in one window, so a case fails only when all WINDOWS windows grew."""
    run_quietly(call, WARMUP)
    for _ in range(WINDOWS):
        problems = window(call, calls, watched)
        if not problems:
            return
    raise AssertionError("; ".join(problems))


def expecting(outcome, func, *args, **kwargs):
    """call() running func(*args, **kwargs), which must return (outcome None),
    raise `outcome` (an exception type) or exit with `outcome` (an int)."""
    expected = SystemExit if isinstance(outcome, int) else outcome

    def call():
        if expected is None:
            func(*args, **kwargs)
            return
        try:
            func(*args, **kwargs)
        except expected as error:
            if isinstance(outcome, int):
                assert error.code == outcome
        else:
            raise AssertionError(f"{func.__name__} did not raise {expected.__name__}")

    return call


def globals_of(*modules):
    """The values of the modules' globals, whose reference counts must not move."""
    return [value for module in modules for value in vars(module).values()]


def watchable(objects):
    """Leaves out None, booleans and small ints: shared by the whole interpreter,
    their counts move with any cache."""
    return [obj for obj in objects if not (obj is None or type(obj) is bool or
                                           (type(obj) is int and -5 <= obj <= 256))]


def fill_free_lists():
    """The interpreter keeps freed tuples, lists, dicts and floats for reuse, up
    to a cap; filled now, they cannot grow later and pass for a leak."""
    for size in range(1, 21):
        [tuple([n] * size) for n in range(2100)]
    [([], {}, float(n)) for n in range(200)]


@pytest.fixture(scope="module", autouse=True)
def tracing():
    gc.freeze()  # what exists now is kept out of every collection: faster gc.collect()
    tracemalloc.start()
    fill_free_lists()
    yield
    tracemalloc.stop()
    gc.unfreeze()


LEAKED = []
_libc = ctypes.CDLL(None)
_libc.malloc.restype = _libc.memset.restype = ctypes.c_void_p
_libc.malloc.argtypes = [ctypes.c_size_t]
_libc.memset.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_size_t]
_libc.free.argtypes = [ctypes.c_void_p]


def native_buffer(size):
    return _libc.memset(_libc.malloc(size), 1, size)  # touched, so it is resident


@pytest.mark.parametrize("leak, what", [
    (lambda arg: LEAKED.append(object()), "traced memory grew"),               # one small object
    (lambda arg: LEAKED.append(arg), "reference counts moved.*: object [+]"),  # one reference
    (lambda arg: LEAKED.append(native_buffer(16384)), "resident memory grew"),  # one native buffer
], ids=["object", "reference", "native-buffer"])
def test_the_check_catches_one_leak_per_call(leak, what):
    if UNDER_ASAN and what.startswith("resident"):
        pytest.skip("resident memory is not checked under AddressSanitizer")
    arg = object()
    try:
        with pytest.raises(AssertionError, match=what):
            assert_no_leak(lambda: leak(arg), CALLS, [arg])
    finally:
        for item in LEAKED:
            if isinstance(item, int):
                _libc.free(item)
        LEAKED.clear()


def test_the_check_passes_a_clean_function():
    arg = [1, 2, 3]
    assert_no_leak(lambda: str(arg) + "x" * len(arg), CALLS, [arg])


# ---- inputs ---------------------------------------------------------------------

class Hostile:
    """An object whose text forms and comparisons all raise."""

    def _refuse(self, *args):
        raise RuntimeError("hostile")

    __str__ = __repr__ = __format__ = __lt__ = __le__ = __gt__ = __ge__ = __bool__ = __float__ = _refuse
    __index__ = __int__ = __len__ = __iter__ = __mul__ = __rmul__ = _refuse


class StrSub(str):
    pass


HOSTILE = Hostile()
IMAGE = np.arange(64 * 64 * 4, dtype=np.float32).reshape(64, 64, 4)        # 64 KiB
LABELS = (np.arange(64 * 64) % 5).astype(np.uint8).reshape(64, 64)
TINY = np.zeros((2, 2, 1))
BIG_LABELS = (np.arange(1 << 20) % 7).astype(np.uint8).reshape(1024, 1024)  # the threaded census
META = {"_source_format": "TIFF", "wavelength": ["400", "410.5", "420", "430", "440", "450"], "crs": "EPSG:4326"}
GT_META = {"_source_format": "MAT"}
SCORES = {"OA": 0.95, "mIoU": 0.72, "Dice": 0.1, "Precision": 0.8, "Recall": 0.6, "AA": 0.5, "kappa": 0.85,
          "F1": 0.3}


class At(str):
    """A file name inside the module's file directory, resolved when the case runs."""


def resolve(value, where):
    return os.path.join(where, value) if isinstance(value, At) else value


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """Tiny inputs of every kind the loaders read; returns their directory."""
    root = tmp_path_factory.mktemp("leaks")
    cube = np.arange(3 * 8 * 6, dtype=np.uint16).reshape(3, 8, 6)
    labels = (np.arange(8 * 6) % 4).astype(np.uint8).reshape(8, 6)

    with rasterio.open(root / "scene.tif", "w", driver="GTiff", width=6, height=8, count=3, dtype="uint16",
                       crs="EPSG:4326", transform=from_origin(10.0, 50.0, 0.1, 0.1)) as dst:
        dst.write(cube)
        dst.update_tags(source="leak test")
        dst.update_tags(2, unit="dn")
        dst.set_band_description(1, "blue")
    with rasterio.open(root / "labels.tif", "w", driver="GTiff", width=6, height=8, count=1,
                       dtype="uint8") as dst:
        dst.write(labels, 1)

    (root / "cube.hdr").write_text("ENVI\nsamples = 6\nlines = 8\nbands = 3\nheader offset = 0\n"
                                   "data type = 12\ninterleave = bsq\nbyte order = 0\n"
                                   "wavelength = {400, 500, 600}\n")
    cube.astype("<u2").tofile(root / "cube.img")
    cube.astype("<u2").tofile(root / "orphan.img")  # no header beside it

    with h5py.File(root / "scene.h5", "w") as f:
        ds = f.create_dataset("cube", data=cube)
        ds.attrs["gain"] = np.float32(0.5)
        ds.attrs["bands"] = np.int64(3)
        ds.attrs["name"] = b"\xffcube"
        ds.attrs["wavelengths"] = np.array([400.0, 500.0, 600.0])
        f.create_group("aux").create_dataset("mask", data=labels)
        f.attrs["sensor"] = "test"
    with h5py.File(root / "groups.h5", "w") as f:
        f.create_group("empty")

    sio.savemat(root / "labels.mat", {"gt": labels})
    sio.savemat(root / "hidden.mat", {"_only": labels})
    Image.fromarray(labels).save(root / "labels.png")
    (root / "notes.txt").write_text("not an image")
    (root / "nivra_leak_boom.py").write_text("raise RuntimeError('broken on import')\n")
    return str(root)


def case(id, outcome, func, *args, **kwargs):
    return pytest.param(outcome, func, args, kwargs, id=id)


# ---- display ----------------------------------------------------------------------

d = display
EPOCH = (3, 100, 0.5)
FOREST = (0, 3, 42, "node-a")
DONE = (0, 3, 0.7, 40, 0.95, 0.8, 0.6, "2m 10s")
NODE = ("n1", [1, 2, 3], 4, 100, 5, "focal", 2, 1000, 200)
HINTS = ("runs/a", "model.pt", "data.mat", "gt.mat", 0.7, 0.15)


def bad_each(id, func, good, bad=HOSTILE):
    """One case per parameter: that argument replaced by `bad`, all others good."""
    return [case(f"{id}-bad-arg{i}", TypeError, func, *good[:i], bad, *good[i + 1:]) for i in range(len(good))]


def arity(id, func, good, required=None):
    required = len(good) if required is None else required
    return [case(f"{id}-too-few", TypeError, func, *good[:required - 1]),
            case(f"{id}-too-many", TypeError, func, *good, *([0] * 11)),
            case(f"{id}-unknown-keyword", TypeError, func, *good, bogus=1)]


DISPLAY_CASES = [
    case("_c-plain", None, d._c, "x"),
    case("_c-codes", None, d._c, 0.5, d.BOLD, d.RED),
    case("_c-keyword", None, d._c, text="x"),
    case("_c-no-args", TypeError, d._c),
    case("_c-code-not-str", TypeError, d._c, "x", d.BOLD, 1),
    case("_c-hostile-text", RuntimeError, d._c, HOSTILE, d.RED),
    case("_c-unknown-keyword", TypeError, d._c, "x", codes=d.RED),

    case("epoch_bar-between", None, d.epoch_bar, *EPOCH),
    case("epoch_bar-boundary", None, d.epoch_bar, 20, 100, 0.5, 0.4, 0.95, 0.8, 0.6, 0.5),
    case("epoch_bar-all-keywords", None, d.epoch_bar, epoch=100, total=100, loss=0.1, val_loss=None, oa=0.6,
         miou=None, aa=None, kappa=0.75, interval=7, prefix=">>"),
    case("epoch_bar-huge-ints", None, d.epoch_bar, 10 ** 30, 10 ** 31, 1e300, interval=3),
    case("epoch_bar-zero-total", ZeroDivisionError, d.epoch_bar, 1, 0, 0.5),
    case("epoch_bar-fraction-loss", None, d.epoch_bar, 20, 40, Fraction(1, 3), oa=Fraction(9, 10)),
    case("epoch_bar-nan-epoch", TypeError, d.epoch_bar, float("nan"), 100, 0.5),
    case("epoch_bar-overflowing-loss", TypeError, d.epoch_bar, 1, 10, 10 ** 400),
    case("epoch_bar-zero-interval", ZeroDivisionError, d.epoch_bar, 1, 10, 0.5, interval=0),
    *bad_each("epoch_bar", d.epoch_bar, (*EPOCH, None, 0.9, 0.9, 0.9, 0.9, 20, "  ")),
    case("epoch_bar-prefix-str-subclass", TypeError, d.epoch_bar, *EPOCH, prefix=StrSub("  ")),
    *arity("epoch_bar", d.epoch_bar, EPOCH),

    case("forest_banner", None, d.forest_banner, *FOREST),
    *bad_each("forest_banner", d.forest_banner, FOREST),
    *arity("forest_banner", d.forest_banner, FOREST),

    case("node_banner-focal", None, d.node_banner, *NODE),
    case("node_banner-ce", None, d.node_banner, "n1", [], 1, 1, 1, "ce", 0.0, 0, 0),
    case("node_banner-hostile-class", RuntimeError, d.node_banner, "n1", [HOSTILE], *NODE[2:]),
    *bad_each("node_banner", d.node_banner, NODE),
    *arity("node_banner", d.node_banner, NODE),

    case("gpu_stats-arity", TypeError, d.gpu_stats, 1),
    *bad_each("forest_done_line", d.forest_done_line, DONE),
    *arity("forest_done_line", d.forest_done_line, DONE),

    *[case(f"{name}", None, getattr(d, name)) for name in
      ("print_logo", "print_predict_start", "print_visualize_start", "print_training_start",
       "print_training_done")],
    *[case(f"{name}-arity", TypeError, getattr(d, name), 1) for name in
      ("print_logo", "print_predict_start", "print_visualize_start", "print_training_start",
       "print_training_done")],

    case("print_config_box", None, d.print_config_box, "Config", [("lr", 0.001), ("a" * 20, None), ("n", 145)]),
    case("print_config_box-empty", None, d.print_config_box, title="T", items=[]),
    case("print_config_box-items-tuple", TypeError, d.print_config_box, "T", (("a", 1),)),
    case("print_config_box-title-none", TypeError, d.print_config_box, None, []),
    case("print_config_box-three-values", ValueError, d.print_config_box, "T", [("a", 1), ("b", 2, 3)]),
    case("print_config_box-not-a-pair", TypeError, d.print_config_box, "T", [1]),
    case("print_config_box-hostile-value", RuntimeError, d.print_config_box, "T", [("a", HOSTILE)]),
    case("print_config_box-label-without-format", TypeError, d.print_config_box, "T", [(object(), 1)]),
    *arity("print_config_box", d.print_config_box, ("T", [])),

    case("print_results_box", None, d.print_results_box, SCORES, "all"),
    case("print_results_box-empty", None, d.print_results_box, {}),
    case("print_results_box-huge-bar", None, d.print_results_box, {"OA": 87.5, "AA": -0.1}, ""),
    case("print_results_box-metrics-list", TypeError, d.print_results_box, [("OA", 0.9)]),
    case("print_results_box-routing-int", TypeError, d.print_results_box, SCORES, 1),
    case("print_results_box-none-score", TypeError, d.print_results_box, {"OA": None}),
    case("print_results_box-hostile-score", RuntimeError, d.print_results_box, {"F1": HOSTILE}),
    case("print_results_box-hostile-key", RuntimeError, d.print_results_box, {HOSTILE: 0.5}),
    *arity("print_results_box", d.print_results_box, (SCORES, None), required=1),

    case("print_per_class_iou", None, d.print_per_class_iou, {1: 0.8, 2: 0.4999, 12: 1.5}),
    case("print_per_class_iou-counts", None, d.print_per_class_iou, {1: 0.8, 2: 0.5, 3: 0.1}, {1: 19, 2: 123456}),
    case("print_per_class_iou-list", TypeError, d.print_per_class_iou, [0.5]),
    case("print_per_class_iou-counts-list", TypeError, d.print_per_class_iou, {1: 0.5}, [1]),
    case("print_per_class_iou-str-class", ValueError, d.print_per_class_iou, {"a": 0.5}),
    case("print_per_class_iou-float-count", ValueError, d.print_per_class_iou, {1: 0.5}, {1: 2.5}),
    case("print_per_class_iou-hostile-iou", RuntimeError, d.print_per_class_iou, {1: HOSTILE}),
    *arity("print_per_class_iou", d.print_per_class_iou, ({1: 0.5}, None), required=1),

    case("print_save_and_next", None, d.print_save_and_next, *HINTS),
    *bad_each("print_save_and_next", d.print_save_and_next, HINTS),
    *arity("print_save_and_next", d.print_save_and_next, HINTS),
]


@pytest.mark.parametrize("outcome, func, args, kwargs", DISPLAY_CASES)
def test_display_functions_do_not_leak(outcome, func, args, kwargs):
    watched = [*args, *kwargs.values(), *globals_of(display)]
    assert_no_leak(expecting(outcome, func, *args, **kwargs), CALLS, watched)


class FakeSubprocess:
    """Stands in for display.subprocess: check_output returns `output` (bytes)
    or raises a new exception made by it."""
    DEVNULL = -3

    def __init__(self, output):
        self.output = output

    def check_output(self, command, timeout, stderr):
        if callable(self.output):
            raise self.output()
        return self.output


@pytest.mark.parametrize("output, outcome", [
    (b"45, 30, 1024, 8192\n", None),
    (b"45, 30, 1024, 8192\n50, 99, 2048, 8192\n", None),   # two GPUs: empty text
    (b"\xff\xfe, 1, 2, 3", None),                          # not UTF-8
    (b"45, 30", None),
    (lambda: FileNotFoundError(2, "No such file or directory", "nvidia-smi"), None),
    (lambda: OSError("exit status 3"), None),
    (KeyboardInterrupt, KeyboardInterrupt),              # not an ordinary failure: passes through
], ids=["one-gpu", "two-gpus", "not-utf8", "two-fields", "absent", "failed", "interrupt"])
@pytest.mark.parametrize("func, args", [
    (d.gpu_stats, ()),
    (d.forest_done_line, DONE),
], ids=["gpu_stats", "forest_done_line"])
def test_gpu_line_does_not_leak(monkeypatch, func, args, output, outcome):
    fake = FakeSubprocess(output)
    monkeypatch.setattr(display, "subprocess", fake)
    watched = [fake, output, *args, *globals_of(display)]
    assert_no_leak(expecting(outcome, func, *args), CALLS, watched)


# ---- convert ------------------------------------------------------------------------

c = convert
WINDOW = (1, 2, 16, 8)
SUMMARY = (IMAGE, LABELS, META, GT_META, "out", 1.25)


def bytes_swapped(array):
    return array.astype(array.dtype.newbyteorder(">"))


class NullFile:
    """A binary file that keeps nothing it is given."""

    def __init__(self):
        self.position = 0

    def write(self, data):
        self.position += len(data)
        return len(data)

    def tell(self):
        return self.position

    def seek(self, position):
        self.position = position


CONVERT_CASES = [
    case("_strip_dataset_specifier-colon-slash", None, c._strip_dataset_specifier, "scene.h5:/grp/cube"),
    case("_strip_dataset_specifier-double-colon", None, c._strip_dataset_specifier, "s3://b/scene.h5::cube"),
    case("_strip_dataset_specifier-plain", None, c._strip_dataset_specifier, path="scene.h5"),
    case("_strip_dataset_specifier-surrogate", None, c._strip_dataset_specifier, "sc\udcffene.h5::x"),
    case("_strip_dataset_specifier-bytes", TypeError, c._strip_dataset_specifier, b"scene.h5"),
    case("_strip_dataset_specifier-str-subclass", TypeError, c._strip_dataset_specifier, StrSub("a.h5")),
    *arity("_strip_dataset_specifier", c._strip_dataset_specifier, ("a.h5",)),

    case("_detect_format-envi", None, c._detect_format, "cube.HDR"),
    case("_detect_format-nc", None, c._detect_format, "scene.nc::/x"),
    case("_detect_format-unknown", ValueError, c._detect_format, "labels.mat"),
    case("_detect_format-no-extension", ValueError, c._detect_format, ".hidden"),
    case("_detect_format-none", TypeError, c._detect_format, None),
    *arity("_detect_format", c._detect_format, ("a.tif",)),

    case("_check_dep-present", None, c._check_dep, "json"),
    case("_check_dep-missing", 1, c._check_dep, "nivra_no_such_module"),
    case("_check_dep-missing-keyword", 1, c._check_dep, name="nivra.no_such_submodule"),
    case("_check_dep-empty-name", ValueError, c._check_dep, ""),
    case("_check_dep-int", TypeError, c._check_dep, 1),
    *arity("_check_dep", c._check_dep, ("json",)),

    case("_json_safe-array", None, c._json_safe, np.arange(6.0).reshape(2, 3)),
    case("_json_safe-scalar-array", None, c._json_safe, np.array(3)),
    case("_json_safe-byte-strings", None, c._json_safe, np.array([b"a", b"\xff"])),
    case("_json_safe-int64", None, c._json_safe, np.int64(-(2 ** 63))),
    case("_json_safe-float32", None, c._json_safe, np.float32(0.1)),
    case("_json_safe-bytes", None, c._json_safe, b"\xffcube"),
    case("_json_safe-bytes-scalar", None, c._json_safe, np.bytes_(b"ab\xfe")),
    case("_json_safe-unchanged", None, c._json_safe, [HOSTILE, {"a": 1}]),
    case("_json_safe-hostile", None, c._json_safe, HOSTILE),
    *arity("_json_safe", c._json_safe, (1,)),

    case("_apply_crop", None, c._apply_crop, IMAGE, LABELS, WINDOW),
    case("_apply_crop-no-gt", None, c._apply_crop, IMAGE, None, (0, 0, 64, 64)),
    case("_apply_crop-numpy-ints", None, c._apply_crop, IMAGE, LABELS, tuple(np.array(WINDOW))),
    case("_apply_crop-huge-ints", ValueError, c._apply_crop, IMAGE, None, (10 ** 30, 0, 1, 1)),
    case("_apply_crop-negative-y", ValueError, c._apply_crop, IMAGE, LABELS, (-1, 0, 1, 1)),
    case("_apply_crop-negative-x", ValueError, c._apply_crop, IMAGE, LABELS, (0, -1, 1, 1)),
    case("_apply_crop-too-tall", ValueError, c._apply_crop, IMAGE, LABELS, (64, 0, 1, 64)),
    case("_apply_crop-too-wide", ValueError, c._apply_crop, IMAGE, LABELS, (0, 60, 1, 5)),
    case("_apply_crop-too-tall-before-bad-width", ValueError, c._apply_crop, IMAGE, None, (0, 0, 2 ** 63, None)),
    case("_apply_crop-three-values", ValueError, c._apply_crop, IMAGE, LABELS, (0, 0, 1)),
    case("_apply_crop-list", TypeError, c._apply_crop, IMAGE, LABELS, list(WINDOW)),
    case("_apply_crop-one-axis", ValueError, c._apply_crop, np.zeros(5), None, (0, 0, 1, 1)),
    case("_apply_crop-no-shape", AttributeError, c._apply_crop, [[1]], None, (0, 0, 1, 1)),
    case("_apply_crop-hostile-window", RuntimeError, c._apply_crop, IMAGE, None, (HOSTILE, 0, 1, 1)),
    *arity("_apply_crop", c._apply_crop, (TINY, None, WINDOW)),

    case("_print_summary", None, c._print_summary, *SUMMARY),
    case("_print_summary-no-gt", None, c._print_summary, IMAGE[..., 0], None, {}, None, "out", 0),
    case("_print_summary-keys", None, c._print_summary, *SUMMARY, data_key="cube", gt_key="labels"),
    case("_print_summary-float-labels-nan", None, c._print_summary, IMAGE, np.array([[0.0, 1.0], [np.nan, 1.0]]),
         META, GT_META, "out", 1.0),
    case("_print_summary-bool-labels", None, c._print_summary, IMAGE, LABELS > 2, META, GT_META, "out", 1.0),
    case("_print_summary-swapped-bytes", None, c._print_summary, bytes_swapped(IMAGE), bytes_swapped(LABELS),
         META, GT_META, "out", 1.0),
    case("_print_summary-strided", None, c._print_summary, IMAGE[::2, ::3], LABELS[::-2, 1::3], META, GT_META,
         "out", 1.0),
    case("_print_summary-object-labels", None, c._print_summary, TINY, LABELS[:4, :4].astype(object), META, GT_META,
         "out", 1.0),
    case("_print_summary-datetime-labels", None, c._print_summary, TINY, LABELS[:4, :4].astype("datetime64[s]"), META,
         GT_META, "out", 1.0),
    case("_print_summary-meta-list", TypeError, c._print_summary, IMAGE, None, [], None, "out", 1.0),
    case("_print_summary-gt-meta-list", TypeError, c._print_summary, IMAGE, LABELS, META, [], "out", 1.0),
    case("_print_summary-out-dir-bytes", TypeError, c._print_summary, IMAGE, None, META, None, b"out", 1.0),
    case("_print_summary-elapsed-str", TypeError, c._print_summary, IMAGE, None, META, None, "out", "1"),
    case("_print_summary-elapsed-huge", TypeError, c._print_summary, IMAGE, None, META, None, "out", 10 ** 400),
    case("_print_summary-gt-without-meta", AttributeError, c._print_summary, IMAGE, LABELS, META, None, "out", 1.0),
    case("_print_summary-bad-wavelength", ValueError, c._print_summary, IMAGE, None, {"wavelength": ["x"]}, None,
         "out", 1.0),
    case("_print_summary-array-wavelength", ValueError, c._print_summary, IMAGE, None,
         {"wavelength": np.arange(3.0)}, None, "out", 1.0),
    case("_print_summary-hostile-format", RuntimeError, c._print_summary, IMAGE, None,
         {"_source_format": HOSTILE}, None, "out", 1.0),
    case("_print_summary-empty-image", ValueError, c._print_summary, np.zeros((0, 3)), None, {}, None, "out", 1.0),
    case("_print_summary-not-an-array", AttributeError, c._print_summary, [[1]], None, {}, None, "out", 1.0),
    *arity("_print_summary", c._print_summary, (TINY, None, {}, None, "out", 1.0)),

    case("_write_mat", None, c._write_mat, NullFile(), "data", IMAGE),
    case("_write_mat-blocks-threads", None, c._write_mat, NullFile(), "data", IMAGE, block_size=4096, threads=3),
    case("_write_mat-swapped-complex", None, c._write_mat, NullFile(), "x", bytes_swapped(IMAGE[::2] * 1j)),
    case("_write_mat-left-to-savemat", None, c._write_mat, NullFile(), "x", IMAGE.astype(np.float16)),
    case("_write_mat-too-large", sio.matlab.MatWriteError, c._write_mat, NullFile(), "x",
         np.broadcast_to(np.uint8(1), (1 << 16, 1 << 16))),
    case("_write_mat-unwritable", AttributeError, c._write_mat, object(), "x", IMAGE),
    case("_write_mat-bad-block-size", ValueError, c._write_mat, NullFile(), "x", IMAGE, block_size=7),
    *arity("_write_mat", c._write_mat, (NullFile(), "x", TINY)),
]


@pytest.mark.parametrize("outcome, func, args, kwargs", CONVERT_CASES)
def test_convert_functions_do_not_leak(outcome, func, args, kwargs):
    watched = [*args, *kwargs.values(), *globals_of(convert, display)]
    assert_no_leak(expecting(outcome, func, *args, **kwargs), CALLS, watched)


def test_threaded_census_does_not_leak():
    watched = [BIG_LABELS, *globals_of(convert)]
    summary = expecting(None, c._print_summary, BIG_LABELS, BIG_LABELS, META, GT_META, "out", 1.0)
    assert_no_leak(summary, FILE_CALLS, watched)


# ---- loaders and main: files --------------------------------------------------------

LOADER_CASES = [
    case("_load_tiff", None, c._load_tiff, At("scene.tif")),
    case("_load_tiff-one-band", None, c._load_tiff, path=At("labels.tif")),
    case("_load_tiff-missing", rasterio.errors.RasterioIOError, c._load_tiff, At("absent.tif")),
    case("_load_tiff-not-a-tiff", ValueError, c._load_tiff, At("notes.txt")),   # refused before GDAL
    case("_load_tiff-bytes", TypeError, c._load_tiff, b"scene.tif"),
    *arity("_load_tiff", c._load_tiff, ("x.tif",)),

    case("_load_envi-header", None, c._load_envi, At("cube.hdr")),
    case("_load_envi-data-file", None, c._load_envi, At("cube.img")),
    case("_load_envi-no-header", FileNotFoundError, c._load_envi, At("orphan.img")),
    case("_load_envi-none", TypeError, c._load_envi, None),
    *arity("_load_envi", c._load_envi, ("x.hdr",)),

    case("_load_hdf5-largest", None, c._load_hdf5, At("scene.h5")),
    case("_load_hdf5-specifier", None, c._load_hdf5, At("scene.h5:/aux/mask")),
    case("_load_hdf5-double-colon", None, c._load_hdf5, At("scene.h5::/cube")),
    case("_load_hdf5-missing-key", KeyError, c._load_hdf5, At("scene.h5:/nope")),
    case("_load_hdf5-group-key", Exception, c._load_hdf5, At("scene.h5:/aux")),
    case("_load_hdf5-no-datasets", ValueError, c._load_hdf5, At("groups.h5")),
    case("_load_hdf5-missing-file", FileNotFoundError, c._load_hdf5, At("absent.h5")),
    case("_load_hdf5-not-hdf5", OSError, c._load_hdf5, At("notes.txt")),
    case("_load_hdf5-list", TypeError, c._load_hdf5, ["scene.h5"]),
    *arity("_load_hdf5", c._load_hdf5, ("x.h5",)),

    case("_load_gt-mat", None, c._load_gt, At("labels.mat")),
    case("_load_gt-png", None, c._load_gt, At("labels.png")),
    case("_load_gt-tiff", None, c._load_gt, At("labels.tif")),
    case("_load_gt-envi", None, c._load_gt, At("cube.hdr")),
    case("_load_gt-only-hidden-variables", ValueError, c._load_gt, At("hidden.mat")),
    case("_load_gt-unsupported", ValueError, c._load_gt, At("labels.h5")),
    case("_load_gt-no-extension", ValueError, c._load_gt, At("labels")),
    case("_load_gt-missing-mat", FileNotFoundError, c._load_gt, At("absent.mat")),
    case("_load_gt-missing-png", FileNotFoundError, c._load_gt, At("absent.png")),
    case("_load_gt-int", TypeError, c._load_gt, 3),
    *arity("_load_gt", c._load_gt, ("x.mat",)),
]


@pytest.mark.parametrize("outcome, func, args, kwargs", LOADER_CASES)
def test_loaders_do_not_leak(files, outcome, func, args, kwargs):
    args = [resolve(arg, files) for arg in args]
    kwargs = {name: resolve(arg, files) for name, arg in kwargs.items()}
    watched = [*args, *kwargs.values(), *globals_of(convert)]
    assert_no_leak(expecting(outcome, func, *args, **kwargs), FILE_CALLS, watched)


@pytest.mark.parametrize("library, func, path", [
    ("rasterio", c._load_tiff, "scene.tif"),
    ("rasterio", c._load_gt, "labels.tif"),
    ("spectral", c._load_envi, "cube.hdr"),
    ("h5py", c._load_hdf5, "scene.h5"),
])
def test_missing_library_does_not_leak(monkeypatch, files, library, func, path):
    monkeypatch.setitem(sys.modules, library, None)  # `import library` now raises ImportError
    path = os.path.join(files, path)
    assert_no_leak(expecting(1, func, path), CALLS, [path, *globals_of(convert)])


def test_failing_import_does_not_leak(monkeypatch, files):
    monkeypatch.syspath_prepend(files)
    assert_no_leak(expecting(RuntimeError, c._check_dep, "nivra_leak_boom"), FILE_CALLS, globals_of(convert))


MAIN_CASES = [
    pytest.param(None, ["--img", At("scene.tif"), "--gt", At("labels.mat"), "--out-dir", At("out-tiff"),
                        "--crop", "1", "1", "4", "4", "--data-key", "cube", "--gt-key", "labels"], id="tiff-gt-crop"),
    pytest.param(None, ["--img", At("scene.h5:/cube"), "--out-dir", At("out-h5")], id="hdf5"),
    pytest.param(None, ["--img", At("cube.hdr"), "--gt", At("labels.png"), "--out-dir", At("out-envi")], id="envi"),
    pytest.param(ValueError, ["--img", At("notes.txt"), "--out-dir", At("o")], id="unknown-extension"),
    pytest.param(rasterio.errors.RasterioIOError, ["--img", At("absent.tif"), "--out-dir", At("o")],
                 id="missing-image"),
    pytest.param(FileNotFoundError, ["--img", At("scene.tif"), "--gt", At("absent.mat"), "--out-dir", At("o")],
                 id="missing-labels"),
    pytest.param(ValueError, ["--img", At("scene.tif"), "--gt", At("labels.h5"), "--out-dir", At("o")],
                 id="unsupported-labels"),
    pytest.param(ValueError, ["--img", At("scene.tif"), "--out-dir", At("o"), "--crop", "5", "0", "4", "4"],
                 id="crop-out-of-bounds"),
    pytest.param(KeyError, ["--img", At("scene.h5:/nope"), "--out-dir", At("o")], id="missing-hdf5-key"),
    pytest.param(FileNotFoundError, ["--img", At("orphan.img"), "--out-dir", At("o")], id="missing-envi-header"),
    pytest.param(2, [], id="no-options"),
    pytest.param(2, ["--img", "a.tif"], id="no-out-dir"),
    pytest.param(2, ["--img", "a.tif", "--out-dir", "o", "--crop", "1", "2", "3"], id="crop-three-values"),
    pytest.param(2, ["--img", "a.tif", "--out-dir", "o", "--crop", "1", "2", "3", "x"], id="crop-not-int"),
    pytest.param(2, ["--img", "a.tif", "--out-dir", "o", "--data-key", "_x"], id="hidden-data-key"),
    pytest.param(2, ["--img", "a.tif", "--out-dir", "o", "--gt-key", "\u03b3"], id="non-latin1-gt-key"),
    pytest.param(2, ["--img", "a.tif", "--out-dir", "o", "--bogus"], id="unknown-option"),
    pytest.param(0, ["--help"], id="help"),
]


@pytest.mark.parametrize("outcome, argv", MAIN_CASES)
def test_main_does_not_leak(monkeypatch, files, outcome, argv):
    argv = ["nivra convert_to_mat", *(resolve(arg, files) for arg in argv)]
    monkeypatch.setattr(sys, "argv", argv)
    assert_no_leak(expecting(outcome, c.main), FILE_CALLS, [argv, *argv, *globals_of(convert, display)])


def test_main_without_its_library_does_not_leak(monkeypatch, files):
    monkeypatch.setitem(sys.modules, "h5py", None)
    monkeypatch.setattr(sys, "argv", ["nivra convert_to_mat", "--img", os.path.join(files, "scene.h5"),
                                      "--out-dir", os.path.join(files, "o")])
    assert_no_leak(expecting(1, c.main), FILE_CALLS, [sys.argv, *globals_of(convert)])
    assert not os.path.exists(os.path.join(files, "o"))


def test_main_arity_does_not_leak():
    assert_no_leak(expecting(TypeError, c.main, 1), CALLS, globals_of(convert))
