"""Awkward names through convert_to_mat: paths with spaces, quotes, leading
dashes, non-ASCII characters, undecodable bytes and extreme lengths, and MAT
variable names that must read back under exactly the name given."""

import io
import json
import os
import re
import subprocess
import sys

import numpy as np
import pytest
import rasterio
import scipy.io as sio
from hypothesis import given, settings, strategies as st
from PIL import Image
from rasterio.transform import from_origin

from conftest import run_nivra
from nivra import cli, convert

ANSI = re.compile(r"\x1b\[\d+m")
IMAGE = np.arange(24, dtype=np.uint16).reshape(2, 3, 4)  # bands, rows, columns
LABELS = np.array([[0, 1, 1, 2], [2, 2, 0, 1], [1, 0, 0, 0]], dtype=np.uint8)


def plain(text):
    return ANSI.sub("", text)


def write_tiff(path):
    path.parent.mkdir(parents=True, exist_ok=True)
    with rasterio.open(path, "w", driver="GTiff", width=4, height=3, count=2, dtype="uint16",
                       crs="EPSG:4326", transform=from_origin(0, 0, 1, 1)) as dst:
        dst.write(IMAGE)


def write_labels(path):
    path.parent.mkdir(parents=True, exist_ok=True)
    Image.fromarray(LABELS).save(path)


def check_outputs(out, data_key="data", gt_key="gt"):
    data = sio.loadmat(os.path.join(out, "data.mat"))[data_key]
    np.testing.assert_array_equal(data, IMAGE.transpose(1, 2, 0))
    np.testing.assert_array_equal(sio.loadmat(os.path.join(out, "gt.mat"))[gt_key], LABELS)
    with open(os.path.join(out, "metadata.json"), encoding="utf-8") as f:
        return json.load(f)


DEEP = os.path.join(*["d" * 100] * 30)  # about 3000 bytes, within PATH_MAX

# (image, labels, output directory), relative to the test's directory
AWKWARD = {
    "spaces": ("in put/scene 1.tif", "in put/labels 1.png", "out dir/run 1"),
    "quotes": ("it's/\"scene\".tif", "it's/'labels'.png", "o'u\"t"),
    "dollars and globs": ("$HOME/*?[a].tif", "$HOME/`x`;.png", "$(out)"),
    "non-ASCII": ("données/ß 日本 🛰.tif", "données/étiquettes.png", "выход/出力"),
    "255-byte components": ("a" * 251 + ".tif", "b" * 251 + ".png", "o" * 255),
    "deep": (os.path.join(DEEP, "scene.tif"), os.path.join(DEEP, "labels.png"), os.path.join(DEEP, "out")),
}


@pytest.fixture(params=AWKWARD)
def awkward(request, tmp_path):
    img, gt, out = (tmp_path / name for name in AWKWARD[request.param])
    write_tiff(img)
    write_labels(gt)
    return img, gt, out


def expected_lines(img, gt, out):
    return [f"  Loading image: {img}", f"  Loading ground truth: {gt}", f"  Saving: {out / 'data.mat'}",
            f"    Directory    : {out}"]


def test_awkward_paths_in_process(run_main, awkward, capsys):
    img, gt, out = awkward
    run_main("--img", img, "--gt", gt, "--out-dir", out)
    lines = plain(capsys.readouterr().out).splitlines()
    for line in expected_lines(img, gt, out):
        assert line in lines
    record = check_outputs(out)
    assert record["ground_truth"]["_source_file"] == str(gt)
    assert sorted(os.listdir(out)) == ["data.mat", "gt.mat", "metadata.json"]


@pytest.mark.parametrize("awkward", ["quotes", "non-ASCII", "deep"], indirect=True)
def test_awkward_paths_through_the_command(awkward):
    img, gt, out = awkward
    result = run_nivra("convert_to_mat", "--img", img, "--gt", gt, "--out-dir", out)
    assert result.returncode == 0, result.stderr
    lines = plain(result.stdout).splitlines()
    for line in expected_lines(img, gt, out):
        assert line in lines
    check_outputs(out)


def test_missing_awkward_path_is_named_in_the_error(tmp_path):
    img = tmp_path / "données 'x' \"y\"" / "absent scene.tif"
    result = run_nivra("convert_to_mat", "--img", img, "--out-dir", tmp_path / "o")
    assert result.returncode == 1
    assert result.stderr.startswith("error: ") and result.stderr.count("\n") == 1
    assert str(img) in result.stderr
    assert not (tmp_path / "o").exists()


# ---- leading dashes ---------------------------------------------------------------

def test_leading_dashes_with_equals_sign(tmp_path):
    write_tiff(tmp_path / "-x.tif")
    write_labels(tmp_path / "--labels.png")
    result = run_nivra("convert_to_mat", "--img=-x.tif", "--gt=--labels.png", "--out-dir=-out",
                       "--data-key=-cube", "--gt-key=--classes", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    out = plain(result.stdout)
    assert "  Loading image: -x.tif\n" in out and "  Saving: -out/data.mat\n" in out
    assert f"    Directory    : {tmp_path / '-out'}\n" in out
    check_outputs(tmp_path / "-out", data_key="-cube", gt_key="--classes")


def test_leading_dash_without_equals_sign_is_a_usage_error(tmp_path):
    write_tiff(tmp_path / "-x.tif")
    result = run_nivra("convert_to_mat", "--img", "-x.tif", "--out-dir", "-out", cwd=tmp_path)
    assert result.returncode == 2 and "expected one argument" in result.stderr
    assert sorted(os.listdir(tmp_path)) == ["-x.tif"]


@pytest.mark.parametrize("out_dir, lands_in", [(".", "."), ("out/", "out"), ("out//deeper///", "out/deeper"),
                                               ("./a/../b", "b")])
def test_relative_output_directories(run_main, tmp_path, monkeypatch, capsys, out_dir, lands_in):
    write_tiff(tmp_path / "scene.tif")
    monkeypatch.chdir(tmp_path)
    run_main("--img", "scene.tif", "--out-dir", out_dir)
    assert f"    Directory    : {os.path.abspath(out_dir)}\n" in plain(capsys.readouterr().out)
    assert "data" in sio.loadmat(tmp_path / lands_in / "data.mat")


def test_empty_output_directory_is_a_one_line_error(tmp_path):
    write_tiff(tmp_path / "scene.tif")
    result = run_nivra("convert_to_mat", "--img=scene.tif", "--out-dir=", cwd=tmp_path)
    assert result.returncode == 1
    assert result.stderr == "error: [Errno 2] No such file or directory: ''\n"
    assert os.listdir(tmp_path) == ["scene.tif"]


# ---- undecodable bytes ------------------------------------------------------------

@pytest.fixture(params=["HDF5 and PNG", "ENVI and MAT"])
def undecodable(request, tmp_path):
    """An image, labels and an output directory whose names are not UTF-8."""
    base = os.fsencode(tmp_path)
    out = base + b"/out \x80\xff"
    if request.param == "HDF5 and PNG":
        import h5py

        img, gt = base + b"/\xff\xfe scene.h5", base + b"/lab\xe9ls.png"
        with h5py.File(img, "w") as f:
            f["cube"] = IMAGE.transpose(1, 2, 0)
        Image.fromarray(LABELS).save(os.fsdecode(gt))
    else:
        from spectral.io import envi

        img, gt = base + b"/\xff\xfe scene.hdr", base + b"/lab\xe9ls.mat"
        envi.save_image(os.fsdecode(img), IMAGE.transpose(1, 2, 0), force=True)
        sio.savemat(os.fsdecode(gt), {"labels": LABELS})
    return img, gt, out


def test_undecodable_bytes_through_the_command(undecodable):
    img, gt, out = undecodable
    env = dict(os.environ, PYTHONIOENCODING="utf-8:strict")  # as under an ordinary UTF-8 desktop locale
    result = subprocess.run([sys.executable, "-m", "nivra", "convert_to_mat", b"--img", img, b"--gt", gt,
                             b"--out-dir", out], capture_output=True, env=env)
    assert result.returncode == 0, result.stderr
    stdout = result.stdout.replace(b"\x1b[1m", b"").replace(b"\x1b[0m", b"")
    assert b"  Loading image: " + img + b"\n" in stdout
    assert b"  Saving: " + out + b"/data.mat\n" in stdout
    record = check_outputs(os.fsdecode(out))
    assert os.fsencode(record["image"]["_source_file"]) == img
    assert os.fsencode(record["ground_truth"]["_source_file"]) == gt


def test_undecodable_bytes_in_process(run_main, undecodable, monkeypatch):
    img, gt, out = map(os.fsdecode, undecodable)
    stdout = io.TextIOWrapper(io.BytesIO(), encoding="utf-8", errors="surrogateescape")
    monkeypatch.setattr(sys, "stdout", stdout)
    run_main("--img", img, "--gt", gt, "--out-dir", out)
    stdout.flush()
    printed = ANSI.sub("", stdout.buffer.getvalue().decode("utf-8", "surrogateescape"))
    assert f"  Loading image: {img}\n" in printed and f"  Loading ground truth: {gt}\n" in printed
    assert f"    Directory    : {out}\n" in printed
    check_outputs(out)


def test_undecodable_tiff_path_is_a_one_line_error(tmp_path):
    # GDAL takes paths as UTF-8 text only; the file cannot be opened by name.
    img = os.fsencode(tmp_path) + b"/\xff.tif"
    write_tiff(tmp_path / "ok.tif")
    os.rename(tmp_path / "ok.tif", img)
    result = subprocess.run([sys.executable, "-m", "nivra", "convert_to_mat", b"--img", img,
                             b"--out-dir", os.fsencode(tmp_path / "o")], capture_output=True)
    assert result.returncode == 1
    assert result.stderr.startswith(b"error: ") and result.stderr.count(b"\n") == 1
    assert not (tmp_path / "o").exists()


def test_dispatcher_keeps_undecodable_paths_printable(monkeypatch):
    stdout = io.TextIOWrapper(io.BytesIO(), encoding="utf-8", errors="strict")
    monkeypatch.setattr(sys, "stdout", stdout)
    monkeypatch.setattr(convert, "main", lambda: print(sys.argv[-1]))
    assert cli.main(["convert_to_mat", os.fsdecode(b"\xffname")]) == 0
    stdout.flush()
    assert stdout.buffer.getvalue() == b"\xffname\n"


# ---- MAT variable names -------------------------------------------------------------

@pytest.fixture
def scene(tmp_path):
    write_tiff(tmp_path / "scene.tif")
    write_labels(tmp_path / "labels.png")
    return tmp_path / "scene.tif", tmp_path / "labels.png"


@pytest.mark.parametrize("key", [
    "cube 1", "1st", "123", " ", "  lead and trail  ", "tab\there", "line\nbreak", "a.b-c/d\\e",
    "quote'\"", "ÿ", "\xa0\xad", "Größe", "\x7f\x80\x9f", "x" * 64, "x" * 4096, "-", "data", "gt",
    "a\x00b", "header__",
])
def test_keys_read_back_under_the_same_name(run_main, scene, tmp_path, key):
    img, gt = scene
    out = tmp_path / "o"
    run_main("--img", img, "--gt", gt, "--out-dir", out, "--data-key", key, "--gt-key", key)
    record = check_outputs(out, data_key=key, gt_key=key)
    assert record["conversion"]["output_data_key"] == key and record["conversion"]["output_gt_key"] == key


@pytest.mark.parametrize("key", ["_", "__header__", "_x", "", "é" + "\u0100", "\udcff", "日本", "\U0001f6f0"])
@pytest.mark.parametrize("option", ["--data-key", "--gt-key"])
def test_unstorable_keys_are_refused_before_anything_is_read(run_main, tmp_path, capsys, option, key):
    out = tmp_path / "o"
    with pytest.raises(SystemExit) as info:
        run_main("--img", tmp_path / "absent.tif", "--out-dir", out, f"{option}={key}")
    assert info.value.code == 2
    assert capsys.readouterr().out == ""
    assert not out.exists()


def test_keys_through_the_command(scene, tmp_path):
    img, gt = scene
    out = tmp_path / "o"
    result = run_nivra("convert_to_mat", "--img", img, "--gt", gt, "--out-dir", out,
                       "--data-key", "données 1", "--gt-key", "9 classes")
    assert result.returncode == 0, result.stderr
    check_outputs(out, data_key="données 1", gt_key="9 classes")


@pytest.fixture(scope="module")
def small_scene(tmp_path_factory):
    path = tmp_path_factory.mktemp("keys") / "scene.tif"
    write_tiff(path)
    return path


LATIN1 = st.text(st.characters(max_codepoint=0xFF), min_size=1, max_size=40)


@settings(max_examples=60, deadline=None)
@given(key=LATIN1)
def test_every_accepted_latin1_key_reads_back(small_scene, key):
    # attached with '=' so that argparse takes a leading '-' as the value
    out = small_scene.parent / "out"
    argv = ["nivra convert_to_mat", "--img", str(small_scene), "--out-dir", str(out), f"--data-key={key}"]
    saved, sys.argv = sys.argv, argv
    try:
        if key.startswith("_"):
            with pytest.raises(SystemExit):
                convert.main()
            return
        convert.main()
    finally:
        sys.argv = saved
    variables = sio.loadmat(out / "data.mat")
    assert [name for name in variables if name not in ("__header__", "__version__", "__globals__")] == [key]
