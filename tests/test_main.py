"""convert_to_mat end to end on GeoTIFF input: printed steps, written files,
command-line errors and the all-or-nothing file writes."""

import json
import os
import re

import h5py
import numpy as np
import pytest
import rasterio
import scipy.io as sio
from PIL import Image
from rasterio.transform import from_origin

from nivra import convert

ANSI = re.compile(r"\x1b\[\d+m")


def plain(text):
    return ANSI.sub("", text)


@pytest.fixture
def scene(tmp_path):
    """A 6 x 5 pixel, 3-band GeoTIFF."""
    array = np.arange(90, dtype=np.uint16).reshape(3, 6, 5)
    path = tmp_path / "scene.tif"
    with rasterio.open(path, "w", driver="GTiff", width=5, height=6, count=3, dtype="uint16",
                       crs="EPSG:4326", transform=from_origin(10.0, 50.0, 0.1, 0.1)) as dst:
        dst.write(array)
    return path


def test_conversion_writes_data_and_metadata(run_main, scene, tmp_path, capsys):
    out = tmp_path / "out"
    assert run_main("--img", scene, "--out-dir", out) is None
    lines = plain(capsys.readouterr().out).splitlines()

    assert lines[:4] == ["", f"  Loading image: {scene}", "  Detected format: TIFF",
                         "  ✓ Loaded: shape=(6, 5, 3) dtype=uint16"]
    assert lines[4:7] == ["", f"  Saving: {out / 'data.mat'}", lines[6]]
    assert re.fullmatch(r"  ✓ data\.mat \(0\.0 MB\)", lines[6])
    assert lines[7] == "  ✓ metadata.json"
    assert "Ground Truth" not in "\n".join(lines) and "gt.mat" not in "\n".join(lines)

    assert sorted(os.listdir(out)) == ["data.mat", "metadata.json"]
    saved = sio.loadmat(out / "data.mat")["data"]
    np.testing.assert_array_equal(saved, np.arange(90, dtype=np.uint16).reshape(3, 6, 5).transpose(1, 2, 0))
    record = json.loads((out / "metadata.json").read_text())
    assert list(record) == ["image", "conversion"]
    assert record["image"]["_source_format"] == "GeoTIFF"
    assert record["conversion"] == {"output_data_key": "data", "output_data_shape": [6, 5, 3],
                                    "output_data_dtype": "uint16"}


def test_metadata_json_layout(run_main, scene, tmp_path):
    run_main("--img", scene, "--out-dir", tmp_path / "o", "--data-key", "cube")
    text = (tmp_path / "o" / "metadata.json").read_text()
    assert text.startswith('{\n  "image": {\n    "driver": "GTiff",') and text.endswith("}")
    assert '"output_data_key": "cube"' in text
    assert "cube" in sio.loadmat(tmp_path / "o" / "data.mat")


def test_crop_is_applied_and_recorded(run_main, scene, tmp_path, capsys):
    run_main("--img", scene, "--out-dir", tmp_path / "o", "--crop", "1", "2", "4", "3")
    out = plain(capsys.readouterr().out)
    assert "\n  Cropping: y=1 x=2 h=4 w=3\n  ✓ Cropped to: (4, 3, 3)\n" in out
    record = json.loads((tmp_path / "o" / "metadata.json").read_text())
    assert list(record["image"])[-1] == "crop"
    crop = record["image"]["crop"]
    assert list(crop.items())[:4] == [("y", 1), ("x", 2), ("height", 4), ("width", 3)]
    assert list(crop)[4:] == ["transform", "bounds"]      # the window's own grid
    assert sio.loadmat(tmp_path / "o" / "data.mat")["data"].shape == (4, 3, 3)


@pytest.mark.parametrize("options", [
    [],                                        # --img and --out-dir missing
    ["--img", "x.tif"],                        # --out-dir missing
    ["--crop", "1", "2", "3"],                 # three values
    ["--crop", "1", "2", "3", "x"],            # not an integer
    ["--data-key", "_hidden"],
    ["--data-key", ""],
    ["--gt-key", "κλάση"],
    ["--mat-version", "7.4"],
    ["--mat-version", "7.3", "--data-key", "données"],
    ["--mat-version", "7.3", "--gt-key", "1gt"],
    ["--mat-version", "7.3", "--data-key", "x" * 64],
])
def test_command_line_errors_exit_2_and_write_nothing(run_main, scene, tmp_path, capsys, options):
    out = tmp_path / "never"
    base = [] if options[:1] == ["--img"] or not options else ["--img", scene, "--out-dir", out]
    with pytest.raises(SystemExit) as info:
        run_main(*base, *options)
    assert info.value.code == 2
    assert not out.exists()
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("option", ["--data-key", "--gt-key"])
def test_unstorable_key_message_names_the_option(run_main, scene, tmp_path, capsys, option):
    with pytest.raises(SystemExit):
        run_main("--img", scene, "--out-dir", tmp_path, option, "_x")
    assert capsys.readouterr().err.endswith(
        f"error: argument {option}: must be a non-empty name of Latin-1 characters not starting with '_'\n")


@pytest.mark.parametrize("option, key", [("--data-key", "cube 1"), ("--gt-key", "gt-2"), ("--gt-key", "_x")])
def test_matlab_name_rule_with_version_7_3(run_main, scene, tmp_path, capsys, option, key):
    with pytest.raises(SystemExit):
        run_main("--img", scene, "--out-dir", tmp_path, "--mat-version", "7.3", option, key)
    rule = ("a MATLAB variable name (a letter, then letters, digits or underscores, at most 63 in all) "
            "with --mat-version 7.3" if key[0] != "_" else "a non-empty name of Latin-1 characters not starting with '_'")
    assert capsys.readouterr().err.endswith(f"error: argument {option}: must be {rule}\n")


def test_version_7_3_writes_both_files_and_records_it(run_main, scene, tmp_path, capsys):
    labels = tmp_path / "labels.png"
    Image.fromarray(np.arange(30, dtype=np.uint8).reshape(6, 5)).save(labels)
    keys = ["--data-key", "cube", "--gt-key", "Labels_1"]

    def printed(out):
        return re.sub(r"Elapsed: [\d.]+s", "", plain(capsys.readouterr().out).replace(str(tmp_path / out), ""))
    run_main("--img", scene, "--gt", labels, "--out-dir", tmp_path / "v7", *keys)
    v7 = printed("v7")
    run_main("--img", scene, "--gt", labels, "--out-dir", tmp_path / "o", "--mat-version", "7.3", *keys)
    assert printed("o") == v7
    with h5py.File(tmp_path / "o" / "data.mat", "r") as f:
        np.testing.assert_array_equal(f["cube"][()].T, sio.loadmat(tmp_path / "v7" / "data.mat")["cube"])
    with h5py.File(tmp_path / "o" / "gt.mat", "r") as f:
        np.testing.assert_array_equal(f["Labels_1"][()].T, np.arange(30).reshape(6, 5))
    conversion = json.loads((tmp_path / "o" / "metadata.json").read_text())["conversion"]
    assert list(conversion)[-1] == "output_mat_version" and conversion["output_mat_version"] == "7.3"


@pytest.mark.parametrize("key", ["données", "cube 1", "Data", "x" * 31])
def test_latin1_keys_round_trip(run_main, scene, tmp_path, key):
    run_main("--img", scene, "--out-dir", tmp_path / "o", "--data-key", key)
    assert key in sio.loadmat(tmp_path / "o" / "data.mat")


def test_image_as_mat_is_rejected_before_any_output(run_main, tmp_path, capsys):
    with pytest.raises(ValueError, match=r"^Unrecognised file extension '\.mat'\. Supported: envi, hdf5, tiff$"):
        run_main("--img", tmp_path / "labels.mat", "--out-dir", tmp_path / "o")
    assert not (tmp_path / "o").exists()
    assert plain(capsys.readouterr().out) == f"\n  Loading image: {tmp_path / 'labels.mat'}\n"


@pytest.mark.parametrize("library, options", [("rasterio", []), ("h5py", ["--mat-version", "7.3"])])
def test_missing_library_prints_hint_and_creates_nothing(run_main, scene, tmp_path, monkeypatch, capsys,
                                                         library, options):
    monkeypatch.setitem(__import__("sys").modules, library, None)
    with pytest.raises(SystemExit) as info:
        run_main("--img", scene, "--out-dir", tmp_path / "o", *options)
    assert info.value.code == 1
    out = capsys.readouterr().out
    assert f"Missing dependency: {library}" in out and ("Loading image" in out) == (library == "rasterio")
    assert not (tmp_path / "o").exists()


def test_one_dimensional_image_is_refused_before_writing(run_main, tmp_path, monkeypatch):
    monkeypatch.setitem(convert._LOADERS, "tiff", lambda path: (np.arange(5), {}))
    with pytest.raises(ValueError, match=r"^Image must have at least two dimensions \(height, width\), got shape \(5,\)$"):
        run_main("--img", tmp_path / "line.tif", "--out-dir", tmp_path / "o")
    assert not (tmp_path / "o").exists()


@pytest.mark.parametrize("labels, message", [
    (np.array(5), r"^Ground truth must have at least two dimensions \(height, width\), got shape \(\)$"),
    (np.arange(4), r"^Ground truth must have at least two dimensions \(height, width\), got shape \(4,\)$"),
    (np.array([["a", "b"], ["c", "d"]]), r"^Ground truth must hold numeric class labels, got dtype <U1$"),
    (np.empty((2, 2), object), r"^Ground truth must hold numeric class labels, got dtype object$"),
    (np.zeros((2, 2), [("x", "f8")]), r"^Ground truth must hold numeric class labels, got dtype \[\('x', '<f8'\)\]$"),
    (np.zeros((2, 2), "M8[s]"), r"^Ground truth must hold numeric class labels, got dtype datetime64\[s\]$"),
])
def test_unusable_labels_are_refused_before_writing(run_main, tmp_path, monkeypatch, labels, message):
    monkeypatch.setitem(convert._LOADERS, "tiff", lambda path: (np.zeros((2, 2)), {}))
    monkeypatch.setattr(convert, "_load_gt", lambda path: (labels, {}))
    with pytest.raises(ValueError, match=message):
        run_main("--img", tmp_path / "a.tif", "--gt", tmp_path / "l.mat", "--out-dir", tmp_path / "o")
    assert not (tmp_path / "o").exists()


@pytest.mark.parametrize("image, dtype", [
    (np.zeros((4, 5), [("r", "<f2"), ("i", "<f2")]), "[('r', '<f2'), ('i', '<f2')]"),  # complex as a struct
    (np.full((4, 5), b"ab"), "|S2"),
    (np.array([["a", "b"], ["c", "d"]], dtype=object), "object"),
])
def test_non_numeric_hdf5_images_are_refused_before_writing(run_main, tmp_path, capsys, image, dtype):
    h5py = pytest.importorskip("h5py")
    with h5py.File(tmp_path / "scene.h5", "w") as f:
        f.create_dataset("cube", data=image, dtype=h5py.string_dtype() if image.dtype == object else None)
    with pytest.raises(ValueError, match=f"^Image must hold numeric values, got dtype {re.escape(dtype)}$"):
        run_main("--img", tmp_path / "scene.h5", "--out-dir", tmp_path / "o")
    assert plain(capsys.readouterr().out).endswith(f" Loaded: shape={image.shape} dtype={dtype}\n")
    assert not (tmp_path / "o").exists()


def test_complex_hdf5_image_is_converted(run_main, tmp_path, capsys):
    h5py = pytest.importorskip("h5py")
    image = (np.arange(20) + 1j * np.arange(20)[::-1]).astype(np.complex64).reshape(4, 5)
    with h5py.File(tmp_path / "scene.h5", "w") as f:
        f["cube"] = image
    run_main("--img", tmp_path / "scene.h5", "--out-dir", tmp_path / "o")
    np.testing.assert_array_equal(sio.loadmat(tmp_path / "o" / "data.mat")["data"], image)
    assert "    Value range  : [0+19j, 19+0j]\n" in plain(capsys.readouterr().out)


def test_real_sparse_labels_are_refused_before_writing(run_main, corpus, tmp_path):
    with pytest.raises(ValueError, match="Ground truth must have at least two dimensions"):
        run_main("--img", corpus / "tiff/rasterio/byte.tif", "--out-dir", tmp_path / "o",
                 "--gt", corpus / "gt/scipy/testsparse_7.4_GLNX86.mat")
    assert not (tmp_path / "o").exists()


def test_real_struct_labels_are_refused_before_writing(run_main, corpus, tmp_path, capsys):
    with pytest.raises(ValueError, match="Ground truth must hold numeric class labels"):
        run_main("--img", corpus / "tiff/rasterio/byte.tif", "--out-dir", tmp_path / "o",
                 "--gt", corpus / "gt/MUUFLGulfport/MUUFL_TruthForSubImage.mat")
    assert "Loaded: shape=(1, 1)" in capsys.readouterr().out
    assert not (tmp_path / "o").exists()


def test_unencodable_metadata_is_written_as_text(run_main, tmp_path, monkeypatch):
    meta = {"array": np.arange(3), "_source_format": "TIFF"}
    monkeypatch.setitem(convert._LOADERS, "tiff", lambda path: (np.zeros((2, 2)), meta))
    run_main("--img", tmp_path / "a.tif", "--out-dir", tmp_path / "o")
    assert json.loads((tmp_path / "o" / "metadata.json").read_text())["image"]["array"] == "[0 1 2]"


# ---- label files as users have them -----------------------------------------

BLACK, RED, GREEN, BLUE = (0, 0, 0), (255, 0, 0), (0, 255, 0), (0, 0, 255)


@pytest.fixture
def wide_scene(tmp_path):
    """A 16 x 16 pixel image: labels may declare up to 16 values a pixel."""
    with rasterio.open(tmp_path / "wide.tif", "w", driver="GTiff", width=16, height=16, count=1, dtype="uint8") as dst:
        dst.write(np.ones((1, 16, 16), np.uint8))
    return tmp_path / "wide.tif"
REDS = [(r, 0, 0) for r in range(256)]


@pytest.mark.parametrize("name, palette, ids, colours", [
    ("l.png", [BLACK, RED, BLUE], [0, 2, 1], [BLACK, BLUE, RED]),
    ("l.png", [BLACK + (9,), RED + (0,), BLUE + (99,), RED + (7,)], [0, 2, 1, 2], [BLACK, BLUE, RED]),  # alpha ignored
    ("l.bmp", [RED, BLUE, GREEN], [3, 1, 2], [None, BLUE, GREEN, RED]),       # no black: ids from 1
    ("l.png", REDS, range(256), REDS),                                         # black and 255 more
])
def test_colour_labels_become_class_ids(run_main, wide_scene, tmp_path, capsys, name, palette, ids, colours):
    index = np.arange(256).reshape(16, 16) % len(palette)
    Image.fromarray(np.uint8(palette)[index]).save(tmp_path / name)
    run_main("--img", wide_scene, "--gt", tmp_path / name, "--gt-colors", "--out-dir", tmp_path / "o")
    colours = {str(i): list(c) for i, c in enumerate(colours) if c}
    assert f" dtype=uint8\n  ✓ Colours mapped to {len(colours)} class ids\n" in plain(capsys.readouterr().out)
    np.testing.assert_array_equal(sio.loadmat(tmp_path / "o" / "gt.mat")["gt"], np.uint8(list(ids))[index])
    assert json.loads((tmp_path / "o" / "metadata.json").read_text())["ground_truth"] == {
        "_source_file": str(tmp_path / name), "_source_format": "image", "class_colors": colours}


@pytest.mark.parametrize("name, pixels, message", [
    ("l.png", np.zeros((6, 5), np.uint8), "needs an RGB or RGBA label image of uint8, got shape (6, 5) dtype uint8"),
    ("l.mat", np.zeros((6, 5, 3)), "needs an RGB or RGBA label image of uint8, got shape (6, 5, 3) dtype float64"),
    ("l.png", np.uint8([[(r, 1, 0) for r in range(256)]]), "holds 256 colours; --gt-colors maps at most 255 colours "
                                                           "besides black"),
])
def test_unusable_colour_labels_are_refused(run_main, wide_scene, tmp_path, name, pixels, message):
    sio.savemat(tmp_path / name, {"gt": pixels}) if name.endswith(".mat") else Image.fromarray(pixels).save(tmp_path / name)
    with pytest.raises(ValueError) as info:
        run_main("--img", wide_scene, "--gt", tmp_path / name, "--gt-colors", "--out-dir", tmp_path / "o")
    assert str(info.value) in (f"--gt-colors {message}", f"Ground truth {tmp_path / name} {message}")
    assert not (tmp_path / "o").exists()


@pytest.mark.parametrize("version", ["7", "7.3"])
def test_one_bit_images_and_masks_are_written_as_0_and_1(run_main, tmp_path, monkeypatch, version):
    mask = np.arange(30).reshape(6, 5) % 3 == 0
    Image.fromarray(mask).save(tmp_path / "mask.png")                       # mode "1": True is the byte 255
    monkeypatch.setitem(convert._LOADERS, "tiff", lambda path: (np.array(Image.open(tmp_path / "mask.png")), {}))
    run_main("--img", tmp_path / "a.tif", "--gt", tmp_path / "mask.png", "--out-dir", tmp_path / "o",
             "--mat-version", version)
    for key in ["data", "gt"]:
        path = tmp_path / "o" / f"{key}.mat"
        stored = sio.loadmat(path)[key] if version == "7" else h5py.File(path)[key][()].T
        np.testing.assert_array_equal(stored.view(np.uint8), mask.view(np.uint8))


# ---- all-or-nothing writes ------------------------------------------------------

def test_rerun_replaces_outputs_and_keeps_unrelated_files(run_main, scene, tmp_path):
    out = tmp_path / "o"
    out.mkdir()
    (out / "gt.mat").write_bytes(b"earlier labels")
    run_main("--img", scene, "--out-dir", out)
    run_main("--img", scene, "--out-dir", out, "--crop", "0", "0", "2", "2")
    assert sio.loadmat(out / "data.mat")["data"].shape == (2, 2, 3)
    assert (out / "gt.mat").read_bytes() == b"earlier labels"
    assert sorted(os.listdir(out)) == ["data.mat", "gt.mat", "metadata.json"]


def test_failed_write_keeps_the_previous_file(run_main, scene, tmp_path, monkeypatch):
    out = tmp_path / "o"
    run_main("--img", scene, "--out-dir", out)
    before = (out / "data.mat").read_bytes()

    def savemat_that_fails(file, variables, **kwargs):
        file.write(b"partial")
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(convert.sio, "savemat", savemat_that_fails)
    with pytest.raises(OSError, match="No space left"):
        run_main("--img", scene, "--out-dir", out)
    assert (out / "data.mat").read_bytes() == before
    assert sorted(os.listdir(out)) == ["data.mat", "metadata.json"]  # no temporaries left


def test_failed_metadata_write_leaves_no_partial_record(run_main, scene, tmp_path, monkeypatch):
    meta = {"loop": None}
    meta["loop"] = meta  # the encoder refuses circular references
    monkeypatch.setitem(convert._LOADERS, "tiff", lambda path: (np.zeros((2, 2)), meta))
    with pytest.raises(ValueError, match="Circular reference"):
        run_main("--img", scene, "--out-dir", tmp_path / "o")
    assert os.listdir(tmp_path / "o") == []  # nor a data.mat without its record


def test_output_path_that_is_a_file(run_main, scene, tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("keep me")
    with pytest.raises(FileExistsError):
        run_main("--img", scene, "--out-dir", blocker)
    assert blocker.read_text() == "keep me"


def test_outputs_get_ordinary_permissions(run_main, scene, tmp_path):
    umask = os.umask(0o022)
    try:
        run_main("--img", scene, "--out-dir", tmp_path / "o")
    finally:
        os.umask(umask)
    assert (tmp_path / "o" / "data.mat").stat().st_mode & 0o777 == 0o644


def test_real_geotiff_end_to_end(run_main, corpus, tmp_path, capsys):
    run_main("--img", corpus / "tiff/qps/hymap.tif", "--out-dir", tmp_path / "o")
    out = plain(capsys.readouterr().out)
    assert "    Shape        : (58, 83, 3)\n" in out and "    CRS          : EPSG:32633\n" in out
    record = json.loads((tmp_path / "o" / "metadata.json").read_text())
    assert record["image"]["band_descriptions"] == ["Red", "Green", "Blue"]
    assert sio.loadmat(tmp_path / "o" / "data.mat")["data"].dtype == np.uint8


@pytest.mark.parametrize("no_color, coloured", [("1", False), ("", True), (None, True)])
def test_no_color_prints_no_escape_codes(run_main, scene, tmp_path, monkeypatch, capsys, no_color, coloured):
    if no_color is None:
        monkeypatch.delenv("NO_COLOR", raising=False)
    else:
        monkeypatch.setenv("NO_COLOR", no_color)
    labels = tmp_path / "labels.png"
    Image.fromarray(np.arange(30, dtype=np.uint8).reshape(6, 5) % 3).save(labels)
    run_main("--img", scene, "--gt", labels, "--out-dir", tmp_path / "o")  # a whole run with labels
    with pytest.raises(ValueError):  # a refusal
        run_main("--img", scene, "--out-dir", tmp_path / "o", "--crop", "0", "0", "9", "9")
    monkeypatch.setitem(__import__("sys").modules, "rasterio", None)
    with pytest.raises(SystemExit):  # the missing-dependency hint
        run_main("--img", scene, "--out-dir", tmp_path / "o")
    out = capsys.readouterr().out
    assert ("\x1b" in out) == coloured
    assert "Conversion complete!" in out and "Cropping:" in out and "Missing dependency: rasterio" in out
    assert convert.BOLD == "\x1b[1m"  # the palette itself is unchanged
