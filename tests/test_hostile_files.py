"""Input files crafted to reach past themselves (data of other files, other programs, endless waits, memory
bombs): each is refused in one line before a library opens it, and no byte of a secret elsewhere leaks."""

import os
import re
import subprocess
import sys

import h5py
import numpy as np
import pytest
import scipy.io as sio
from PIL import Image

from nivra import cli

SECRET = b"the secret that stays where it is " * 30


@pytest.fixture
def place(tmp_path):
    """The inputs' folder, and a secret file (plain and as HDF5) outside it."""
    (tmp_path / "in").mkdir()
    (tmp_path / "elsewhere").mkdir()
    (tmp_path / "elsewhere" / "secret.bin").write_bytes(SECRET)
    with h5py.File(tmp_path / "elsewhere" / "secret.h5", "w") as f:
        f["d"] = np.frombuffer(SECRET, np.uint8).reshape(30, -1)
    return tmp_path


def h5(path, fill):
    """An HDF5 file filled by `fill(f)`; a .mat one behind MATLAB 7.3's header."""
    mat73 = path.suffix == ".mat"
    with h5py.File(path, "w", userblock_size=512 if mat73 else 0) as f:
        fill(f)
    if mat73:
        with open(path, "r+b") as out:
            out.write(b"MATLAB 7.3 MAT-file".ljust(116) + bytes(8) + b"\x00\x02IM")
    return path


def virtual(f, name, source, unlimited=False):
    maxshape = (None, 34) if unlimited else None
    layout = h5py.VirtualLayout((30, 34), np.uint8, maxshape=maxshape)
    part = slice(0, h5py.h5s.UNLIMITED if unlimited else None)
    layout[part] = h5py.VirtualSource(source, "d", (30, 34), maxshape=maxshape)[part]
    f.create_virtual_dataset(name, layout)


def image(d, fill=lambda f: None):
    """The 20 x 30 image every label file goes with, and whatever `fill` adds to its file."""
    return h5(d / "in" / "image.h5", lambda f: (f.create_dataset("cube", data=np.ones((20, 30, 3), np.uint8)), fill(f)))


# What a dataset `v` (image) or variable `gt` (labels) is: each gets (file, name, dir).
SECRETS = {
    "external storage": lambda f, v, d: f.create_dataset(v, (20, 30), np.uint8,
                                                         external=[(f"{d}/elsewhere/secret.bin", 0, 600)]),
    "external link": lambda f, v, d: f.__setitem__(v, h5py.ExternalLink(f"{d}/elsewhere/secret.h5", "/d")),
    "soft link to an external link": lambda f, v, d: (f.__setitem__("x", h5py.ExternalLink(
        f"{d}/elsewhere/secret.h5", "/")), f.__setitem__(v, h5py.SoftLink("/x/d"))),
    "virtual dataset": lambda f, v, d: virtual(f, v, f"{d}/elsewhere/secret.h5"),
    "60000 x 60000, none written": lambda f, v, d: f.create_dataset(v, (60000, 60000), np.uint8),
    "empty of 40000 x 40000": lambda f, v, d: f.create_dataset(v, data=np.uint64([40000, 40000])).attrs.update(
        MATLAB_class=np.bytes_("double"), MATLAB_empty=np.uint8(1)),
}
VRT = ('<VRTDataset rasterXSize="34" rasterYSize="30"><VRTRasterBand dataType="Byte" band="1" '
       'subClass="VRTRawRasterBand"><SourceFilename>{}/elsewhere/secret.bin</SourceFilename></VRTRasterBand>'
       '</VRTDataset>')
FILES = {
    "VRT": lambda path, d: path.write_text(VRT.format(d)),
    "PostScript": lambda path, d: path.write_bytes(b"%!PS-Adobe-3.0\n(secret.bin) (r) file\n"),
    "9601 values": lambda path, d: sio.savemat(path, {"gt": np.zeros(9601, np.uint8)}),
    "321 rows": lambda path, d: Image.new("L", (30, 321)).save(path),
}
OUTSIDE = " in .*{} refers to data outside the file \\({}\\); only data stored in the file is converted$"
TOO_MANY = "^Ground truth .*{} declares {} values, more than 16 times the image's 20x30 pixels; it is not read$"

HOSTILE = [   # (image or labels, file name, what it is, message)
    ("image", "x.h5", "external storage", "^Dataset 'v'" + OUTSIDE.format("x.h5", "external storage")),
    ("image", "x.h5", "external link", "^Dataset 'v'" + OUTSIDE.format("x.h5", "external link")),
    ("image", "x.h5", "soft link to an external link", "^Dataset 'v'" + OUTSIDE.format("x.h5", "external link")),
    ("image", "x.h5", "virtual dataset", "^Dataset 'v'" + OUTSIDE.format("x.h5", "virtual dataset")),
    ("labels", "l.mat", "external storage", "^MAT variable 'gt'" + OUTSIDE.format("l.mat", "external storage")),
    ("labels", "l.mat", "external link", "^No variables found in .*l.mat$"),
    ("labels::gt", "l.mat", "external link", "^MAT variable 'gt'" + OUTSIDE.format("l.mat", "external link")),
    ("labels", "l.mat", "virtual dataset", "^MAT variable 'gt'" + OUTSIDE.format("l.mat", "virtual dataset")),
    ("labels", "l.mat", "60000 x 60000, none written", TOO_MANY.format("l.mat", 3600000000)),
    ("labels", "l.mat", "empty of 40000 x 40000", TOO_MANY.format("l.mat", 1600000000)),
    ("labels", "l.mat", "9601 values", TOO_MANY.format("l.mat", 9601)),
    ("labels", "l.png", "321 rows", TOO_MANY.format("l.png", 9630)),
    ("image", "x.tif", "VRT", r"^'.*x.tif' is not a TIFF file \(file signature: GDAL VRT\)$"),
    ("labels", "l.tif", "VRT", r"^'.*l.tif' is not a TIFF file \(file signature: GDAL VRT\)$"),
    ("labels", "l.png", "PostScript", r"^'.*l.png' is not a PNG, JPEG or BMP image \(file signature: PostScript\)$"),
]


def convert(img, gt, out):
    return cli.main(["convert_to_mat", "--img", str(img), "--out-dir", str(out), *(["--gt", str(gt)] if gt else [])])


@pytest.mark.parametrize("role, name, what, message", HOSTILE, ids=[f"{r[0]}: {r[2]}" for r in HOSTILE])
def test_hostile_file_is_refused_and_nothing_leaks(place, capsys, role, name, what, message):
    path = place / "in" / name
    if what in FILES:
        FILES[what](path, place)
    else:
        h5(path, lambda f: SECRETS[what](f, "v" if role == "image" else "gt", place))
    named = f"{path}::gt" if role == "labels::gt" else path
    img, gt = (f"{path}:/v" if what in SECRETS else path, None) if role == "image" else (image(place), named)
    assert convert(img, gt, place / "out") == 1
    printed = capsys.readouterr()
    assert printed.err.startswith("error: ") and printed.err.count("\n") == 1
    assert re.search(message, printed.err[len("error: "):-1]), printed.err
    assert not (place / "out").exists() and SECRET[:40].decode() not in printed.out + printed.err


# ---- FIFOs: fed from another process, so that an open never waits for ever ------------------

FEEDER = """
import os, sys
while True:
    fd = os.open(sys.argv[1], os.O_WRONLY)   # until a reader opens it
    open(sys.argv[2], "a").close()   # before writing: any read comes after it
    try:
        os.write(fd, bytes(4096))
    except BrokenPipeError:
        pass
    os.close(fd)
"""


@pytest.fixture
def fifo(tmp_path):
    """fifo(path) makes a FIFO fed until the test ends; returns the file whose existence says it was opened."""
    feeders = []

    def make(path):
        os.mkfifo(path)
        opened = tmp_path / f"{path.name}.opened"
        feeders.append(subprocess.Popen([sys.executable, "-c", FEEDER, path, opened]))
        return opened

    yield make
    for feeder in feeders:
        feeder.kill()
        feeder.wait()


ENVI_HEADER = "ENVI\nsamples = 30\nlines = 20\nbands = 1\ndata type = 1\ninterleave = bsq\nbyte order = 0\n"

FIFOS = [   # (the FIFO, image, labels or None, what else refers to the FIFO)
    ("x.tif", "x.tif", None, None), ("x.h5", "x.h5:/cube", None, None), ("x.hdr", "x.hdr", None, None),
    ("x.img", "x.img", None, "ENVI header"), ("x.img", "x.hdr", None, "ENVI header"),   # given; found
    ("l.mat", "image.h5", "l.mat", None), ("l.png", "image.h5", "l.png", None),
    # never followed, so the conversion succeeds
    ("f.h5", "image.h5", None, "image links"), ("f.h5", "image.h5", "l.mat", "label links"),
]


@pytest.mark.parametrize("name, img, gt, other", FIFOS)
def test_fifos_are_never_opened(place, fifo, capsys, name, img, gt, other):
    d = place / "in"
    opened = fifo(d / name)

    def links(f):   # an external link and an unlimited virtual dataset, whose extent needs its sources
        f["ext"] = h5py.ExternalLink(str(d / name), "/d")
        virtual(f, "vds", str(d / name), unlimited=True)

    if other == "ENVI header":
        (d / "x.hdr").write_text(ENVI_HEADER)
    if img == "image.h5":
        image(place, links if other == "image links" else lambda f: None)
    if other == "label links":
        h5(d / "l.mat", lambda f: (f.create_dataset("gt", data=np.ones((30, 20), np.uint8)), links(f)))
    status = convert(d / img, gt and d / gt, place / "out")
    err = capsys.readouterr().err
    assert not opened.exists()
    refused = (1, f"error: '{d / name}' is not a regular file\n")
    assert (status, err) == ((0, "") if other and "links" in other else refused)
