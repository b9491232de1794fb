"""Broken input files: every image and label extension the converter accepts,
empty, cut short, random, with garbage ENVI headers, as directories and
unreadable. Each must end in one `error: ...` line and status 1, without a
traceback and without creating the output directory.

Every case runs in-process through the dispatcher (fast); one case of each
kind per reader, and every unreadable file, also runs through the `nivra`
command in a child process.
"""

import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import h5py
import numpy as np
import pytest
import rasterio
import scipy.io as sio
from PIL import Image
from rasterio.transform import from_origin

from conftest import run_nivra
from nivra import cli, convert

NOBODY = 65534
ENVI_HINT = "ENVI files require a .hdr header alongside the data file."   # second line of that error
IMAGE_EXTS = [".hdr", ".img", ".lan", ".tif", ".tiff", ".h5", ".hdf5", ".he5", ".hdf", ".nc"]
LABEL_EXTS = [".mat", ".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff", ".hdr", ".img"]
PIXELS = np.random.default_rng(6).integers(0, 9, (24, 32), dtype=np.uint8)   # incompressible enough

HEADER = ("ENVI\nsamples = 32\nlines = 24\nbands = 3\nheader offset = 0\nfile type = ENVI Standard\n"
          "data type = 12\ninterleave = bil\nbyte order = 0\nwavelength = {400, 500, 600}\n")
ENVI_BYTES = 32 * 24 * 3 * 2


# ---- valid files, to be broken -------------------------------------------------

def write_tiff(path):
    with rasterio.open(path, "w", driver="GTiff", width=32, height=24, count=3, dtype="uint16",
                       compress="deflate", crs="EPSG:4326", transform=from_origin(10, 50, 0.1, 0.1)) as dst:
        dst.write(np.stack([PIXELS.astype(np.uint16) * 1000 + band for band in range(3)]))


def write_hdf5(path):
    with h5py.File(path, "w") as f:
        f.create_dataset("cube", data=np.stack([PIXELS] * 3, axis=-1), chunks=(8, 8, 3), compression="gzip")
        f.attrs["sensor"] = "test"


def write_envi(hdr, header=HEADER, data=bytes(ENVI_BYTES), data_ext=".img"):
    """A hand-written header and its data file beside it; returns the header path."""
    hdr.write_bytes(header.encode("latin-1") if isinstance(header, str) else header)
    hdr.with_suffix(data_ext).write_bytes(data)
    return hdr


def write_mat(path):
    sio.savemat(path, {"gt": PIXELS}, do_compression=True)


def write_picture(path):
    Image.fromarray(PIXELS * 28).save(path)


LABEL_WRITERS = {".mat": write_mat, ".png": write_picture, ".jpg": write_picture, ".jpeg": write_picture,
                 ".bmp": write_picture, ".tif": write_tiff, ".tiff": write_tiff, ".hdr": write_envi,
                 ".img": lambda path: write_envi(path.with_suffix(".hdr"))}
IMAGE_WRITERS = {".tif": write_tiff, ".tiff": write_tiff, **{ext: write_hdf5 for ext in IMAGE_EXTS[5:]}}


def cut(path, keep):
    """Shortens the file to `keep(size)` bytes."""
    data = path.read_bytes()
    path.write_bytes(data[:keep(len(data))])


CUTS = {"head": lambda n: 8, "half": lambda n: n // 2, "tail": lambda n: n - n // 10}


# ---- the corpus: case id -> builder(directory) -> (image path, label path or None) --

CASES = {}
COMMAND = set()      # the cases that also run through the `nivra` command


def case(name, command=False):
    def register(build):
        CASES[name] = build
        if command:
            COMMAND.add(name)
        return build
    return register


def good_image(directory):
    write_tiff(directory / "good.tif")
    return directory / "good.tif"


def add_file_cases(prefix, exts, place, command_exts):
    """Zero-byte, random and directory-named cases for each extension."""
    for ext in exts:
        for kind, make in [("empty", lambda p: p.write_bytes(b"")),
                           ("random", lambda p: p.write_bytes(np.random.default_rng(3).bytes(3000))),
                           ("directory", lambda p: p.mkdir())]:
            def build(directory, ext=ext, make=make):
                return place(directory, make, ext)
            case(f"{prefix}{kind}{ext}", command=ext in command_exts)(build)


def image_place(directory, make, ext):
    path = directory / f"x{ext}"
    if ext in (".img", ".lan"):       # a data file whose valid header is beside it
        (directory / "x.hdr").write_text(HEADER)
    make(path)
    return path, None


def label_place(directory, make, ext):
    path = directory / f"labels{ext}"
    if ext == ".img":
        (directory / "labels.hdr").write_text(HEADER)
    make(path)
    return good_image(directory), path


add_file_cases("", IMAGE_EXTS, image_place, {".hdr", ".tif", ".h5"})
add_file_cases("gt-", LABEL_EXTS, label_place, {".mat", ".png"})

for ext, writer in IMAGE_WRITERS.items():
    for point, keep in CUTS.items():
        if ext in (".tif", ".h5") or point == "half":
            @case(f"cut-{point}{ext}", command=point == "half" and ext in (".tif", ".h5"))
            def build(directory, ext=ext, writer=writer, keep=keep):
                path = directory / f"x{ext}"
                writer(path)
                cut(path, keep)
                return path, None

for ext in (".mat", ".png", ".jpg", ".bmp", ".tif", ".hdr"):
    for point, keep in CUTS.items():
        if ext == ".mat" or point != "head":
            @case(f"gt-cut-{point}{ext}", command=point == "half" and ext in (".mat", ".png"))
            def build(directory, ext=ext, keep=keep):
                path = directory / f"labels{ext}"
                LABEL_WRITERS[ext](path)
                cut(path.with_suffix(".img") if ext == ".hdr" else path, keep)
                return good_image(directory), path


def header_with(old, new):
    assert old in HEADER
    return HEADER.replace(old, new)


GARBAGE_HEADERS = {
    "samples-text": header_with("samples = 32", "samples = thirty-two"),
    "lines-fraction": header_with("lines = 24", "lines = 24.5"),
    "lines-negative": header_with("lines = 24", "lines = -24"),
    "bands-zero": header_with("bands = 3", "bands = 0"),
    "lines-huge": header_with("lines = 24", f"lines = {10 ** 12}"),
    "all-huge": header_with("samples = 32\nlines = 24\nbands = 3", "samples = 100000\nlines = 100000\nbands = 100000"),
    "lines-beyond-int64": header_with("lines = 24", f"lines = {10 ** 30}"),
    "offset-negative": header_with("header offset = 0", "header offset = -64"),
    "offset-past-end": header_with("header offset = 0", "header offset = 100000"),
    "offset-text": header_with("header offset = 0", "header offset = none"),
    "data-type-unknown": header_with("data type = 12", "data type = 99"),
    "data-type-text": header_with("data type = 12", "data type = uint16"),
    "interleave-unknown": header_with("interleave = bil", "interleave = xyz"),
    "interleave-mixed-case": header_with("interleave = bil", "interleave = Bil"),
    "byte-order-unknown": header_with("byte order = 0", "byte order = 7"),
    "byte-order-text": header_with("byte order = 0", "byte order = little"),
    "no-samples": header_with("samples = 32\n", ""),
    "no-data-type": header_with("data type = 12\n", ""),
    "no-byte-order": header_with("byte order = 0\n", ""),
    "no-magic": HEADER[len("ENVI\n"):],
    "unclosed-brace": HEADER + "band names = {red, green,\n",
    "frame-offsets": HEADER + "major frame offsets = {4, 4}\n",
    "cut-mid-line": HEADER[:HEADER.index("bands") + 3],
    "binary-junk": b"ENVI\n" + np.random.default_rng(1).bytes(400),
}
for name, header in GARBAGE_HEADERS.items():
    case(f"envi-{name}", command=name in ("lines-huge", "interleave-unknown", "data-type-unknown"))(
        lambda directory, header=header: (write_envi(directory / "x.hdr", header), None))


@case("envi-data-short", command=True)
def build(directory):
    return write_envi(directory / "x.hdr", data=bytes(ENVI_BYTES - 1)), None


@case("envi-data-empty-given-as-data-file")
def build(directory):
    return write_envi(directory / "x.hdr", data=b"").with_suffix(".img"), None


@case("envi-data-file-missing")
def build(directory):
    hdr = write_envi(directory / "x.hdr")
    hdr.with_suffix(".img").unlink()
    return hdr, None


@case("envi-data-file-is-a-directory")
def build(directory):
    hdr = write_envi(directory / "x.hdr", data_ext=".unused")
    (directory / "x.img").mkdir()
    return hdr, None


@case("h5-groups-only", command=True)
def build(directory):
    with h5py.File(directory / "x.h5", "w") as f:
        f.create_group("scene/bands")
        f.attrs["title"] = "no data here"
    return directory / "x.h5", None


@case("nc-groups-only")
def build(directory):
    with h5py.File(directory / "x.nc", "w") as f:
        f.create_group("science")
    return directory / "x.nc", None


@case("h5-key-names-a-group")
def build(directory):
    write_hdf5(directory / "x.h5")
    with h5py.File(directory / "x.h5", "a") as f:
        f.create_group("grp")
    return f"{directory / 'x.h5'}:/grp", None


@case("gt-mat-without-variables", command=True)
def build(directory):
    sio.savemat(directory / "labels.mat", {})
    return good_image(directory), directory / "labels.mat"


@case("gt-envi-garbage-header")
def build(directory):
    return good_image(directory), write_envi(directory / "labels.hdr", GARBAGE_HEADERS["interleave-unknown"])


@case("gt-envi-data-short", command=True)
def build(directory):
    return good_image(directory), write_envi(directory / "labels.hdr", data=bytes(100))


# ---- checks ----------------------------------------------------------------------

def assert_one_error_line(status, stderr, out_dir):
    assert status == 1, stderr
    assert "Traceback" not in stderr
    lines = stderr.replace("\n" + ENVI_HINT + "\n", "\n").splitlines()
    assert len(lines) == 1 and lines[0].startswith("error: ") and len(lines[0]) > len("error: "), stderr
    assert not out_dir.exists()


def args(img, gt, out_dir):
    options = ["convert_to_mat", "--img", img, "--out-dir", out_dir, *(["--gt", gt] if gt else [])]
    return [os.fspath(option) for option in options]


@pytest.mark.parametrize("name", sorted(CASES))
def test_in_process(name, tmp_path, capsys):
    img, gt = CASES[name](tmp_path)
    out_dir = tmp_path / "out"
    status = cli.main(args(img, gt, out_dir))
    assert_one_error_line(status, capsys.readouterr().err, out_dir)


@pytest.mark.parametrize("name", sorted(COMMAND))
def test_through_the_command(name, tmp_path):
    img, gt = CASES[name](tmp_path)
    out_dir = tmp_path / "out"
    result = run_nivra(*args(img, gt, out_dir), timeout=120)
    assert result.returncode >= 0, f"killed by signal {-result.returncode}"
    assert_one_error_line(result.returncode, result.stderr, out_dir)


# ---- what the errors say --------------------------------------------------------

@pytest.mark.parametrize("name, message", [
    ("envi-lines-huge", r"ENVI data file .*x\.img holds 4608 bytes; its header .*x\.hdr promises 192000000000000$"),
    ("envi-lines-beyond-int64", r"holds 4608 bytes; its header .* promises 192000000000000000000000000000000$"),
    ("envi-data-short", r"holds 4607 bytes; its header .* promises 4608$"),
    ("envi-offset-past-end", r"holds 4608 bytes; its header .* promises 104608$"),
    ("envi-interleave-unknown", r"^Invalid ENVI header .*x\.hdr: interleave = xyz \(expected bsq, bil or bip\)$"),
    ("envi-interleave-mixed-case", r": interleave = Bil \(expected bsq, bil or bip\)$"),   # else read as bsq
    ("envi-byte-order-unknown", r": byte order = 7 \(expected 0 or 1\)$"),                 # else swapped
    ("envi-bands-zero", r": bands = 0 \(expected a positive number\)$"),
    ("envi-lines-negative", r": lines = -24 \(expected a positive number\)$"),
    ("envi-offset-negative", r": header offset = -64 \(expected zero or more\)$"),
    ("envi-data-type-unknown", r": data type = 99 \(expected one of 1, 2, 3, 4, 5, 6, 9, 12, 13, 14, 15\)$"),
])
def test_envi_layout_faults_are_named_before_reading(name, message, tmp_path):
    path, _ = CASES[name](tmp_path)
    with pytest.raises(ValueError, match=message):
        convert._load_envi(os.fspath(path))


@pytest.mark.parametrize("change", [
    ("interleave = bil", "interleave = BIL"),
    ("byte order = 0", "byte order = 1"),
    ("header offset = 0", "header offset = 16"),
])
def test_layouts_the_check_accepts(change, tmp_path):
    data = np.arange(ENVI_BYTES + 16, dtype=np.uint8).tobytes()      # longer than needed is fine
    path = write_envi(tmp_path / "x.hdr", header_with(*change), data=data)
    cube, meta = convert._load_envi(os.fspath(path))
    assert cube.shape == (24, 32, 3) and cube.dtype == np.uint16


def test_directory_named_like_an_hdf5_file(tmp_path):
    (tmp_path / "x.h5").mkdir()
    with pytest.raises(IsADirectoryError) as info:
        convert._load_hdf5(f"{tmp_path / 'x.h5'}:/cube")
    assert str(info.value) == f"[Errno 21] Is a directory: '{tmp_path / 'x.h5'}'"


def test_truncated_tiff_error_names_the_failed_read(tmp_path, capsys):
    img, _ = CASES["cut-half.tif"](tmp_path)
    assert cli.main(args(img, None, tmp_path / "out")) == 1
    assert capsys.readouterr().err == ("error: Read failed. See previous exception for details. "
                                       "(x.tif, band 1: IReadBlock failed at X offset 0, Y offset 0: "
                                       "TIFFReadEncodedStrip() failed.)\n")


def test_non_numeric_wavelengths_fail_only_after_complete_outputs(tmp_path):
    # The summary converts wavelengths with float(); by then every file is whole.
    path = write_envi(tmp_path / "x.hdr", header_with("{400, 500, 600}", "{a, b, c, d}"))
    result = run_nivra("convert_to_mat", "--img", path, "--out-dir", tmp_path / "out")
    assert result.returncode == 1
    assert result.stderr.endswith("\nerror: could not convert string to float: 'a'\n")  # after the reader's warning
    assert sorted(os.listdir(tmp_path / "out")) == ["data.mat", "metadata.json"]
    assert sio.loadmat(tmp_path / "out" / "data.mat")["data"].shape == (24, 32, 3)


# ---- unreadable files: the child runs as an unprivileged user ----------------------

@pytest.fixture
def shared_dir():
    """A directory anybody may enter and write (pytest's own are private to root)."""
    directory = tempfile.mkdtemp(prefix="nivra-unreadable-")
    os.chmod(directory, 0o777)
    yield Path(directory)
    shutil.rmtree(directory)


def as_nobody(*command_args):
    # subprocess's own user= cannot start this interpreter here; setpriv can.
    command = ["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups",
               sys.executable, "-m", "nivra", *map(os.fspath, command_args)]
    return subprocess.run(command, capture_output=True, text=True, timeout=120)


@pytest.fixture(scope="module")
def nobody_can_run():
    if os.getuid() != 0 or not shutil.which("setpriv"):
        pytest.skip("needs root and setpriv to start the child as another user")
    if as_nobody("--version").returncode != 0:
        pytest.skip("the unprivileged user cannot run the interpreter here")


UNREADABLE = {   # case id -> (writer, the file it is given, the file made unreadable, --img or --gt given)
    "tiff": (write_tiff, "x.tif", "x.tif", "x.tif", None),
    "hdf5": (write_hdf5, "x.h5", "x.h5", "x.h5", None),
    "envi-header": (write_envi, "x.hdr", "x.hdr", "x.hdr", None),
    "envi-data": (write_envi, "x.hdr", "x.img", "x.img", None),
    "gt-mat": (write_mat, "labels.mat", "labels.mat", "good.tif", "labels.mat"),
    "gt-png": (write_picture, "labels.png", "labels.png", "good.tif", "labels.png"),
    "gt-tiff": (write_tiff, "labels.tif", "labels.tif", "good.tif", "labels.tif"),
    "gt-envi": (write_envi, "labels.hdr", "labels.img", "good.tif", "labels.hdr"),
    # a data file suffix that only the reader's own search knows: it opens
    # the file itself, and its half-made image object's destructor fails
    "envi-data-found-by-the-reader": (lambda path: write_envi(path, data_ext=".bin"), "x.hdr", "x.bin",
                                      "x.hdr", None),
}
XFAIL_UNREADABLE = {"envi-data-found-by-the-reader": "spectral's SpyFile.__del__ prints a traceback when "
                    "its __init__ could not open the data file"}


@pytest.mark.parametrize("name", [pytest.param(name, marks=pytest.mark.xfail(strict=True, reason=XFAIL_UNREADABLE[name]))
                                  if name in XFAIL_UNREADABLE else name for name in sorted(UNREADABLE)])
def test_unreadable_file(name, shared_dir, nobody_can_run):
    write, written, locked, img, gt = UNREADABLE[name]
    write(shared_dir / written)
    if img == "good.tif":
        good_image(shared_dir)
    os.chmod(shared_dir / locked, 0o200)
    out_dir = shared_dir / "out"
    result = as_nobody(*args(shared_dir / img, gt and shared_dir / gt, out_dir))
    assert_one_error_line(result.returncode, result.stderr, out_dir)
    assert "Permission denied" in result.stderr
