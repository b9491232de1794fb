"""Format detection from file names, and the optional-library check."""

import sys

import pytest

from nivra import convert


@pytest.mark.parametrize("path, fmt", [
    ("cube.hdr", "envi"), ("cube.img", "envi"), ("cube.lan", "envi"),
    ("map.tif", "tiff"), ("map.TIFF", "tiff"),
    ("scene.h5", "hdf5"), ("scene.HDF5", "hdf5"), ("scene.he5", "hdf5"),
    ("scene.hdf", "hdf5"), ("scene.nc", "hdf5"),
    ("scene.h5:/data/cube", "hdf5"), ("scene.h5::cube", "hdf5"),
    ("scene.h5::/grp/cube", "hdf5"), ("scene.h5:/group/sub/cube", "hdf5"),
    ("dir.v2/cube.hdr", "envi"),
])
def test_detect_format(path, fmt):
    assert convert._detect_format(path) == fmt


@pytest.mark.parametrize("path, ext", [
    ("labels.mat", ".mat"), ("photo.PNG", ".png"), ("archive.tar.gz", ".gz"),
    ("noext", ""), (".hidden", ""), ("dir.h5/file", ""),
])
def test_unknown_extension_names_the_formats(path, ext):
    with pytest.raises(ValueError) as info:
        convert._detect_format(path)
    assert str(info.value) == f"Unrecognised file extension '{ext}'. Supported: envi, hdf5, tiff"


@pytest.mark.parametrize("path, clean", [
    ("scene.h5:/data/cube", "scene.h5"),
    ("scene.h5::cube", "scene.h5"),
    ("scene.h5::/grp/cube", "scene.h5"),          # "::" wins over ":/"
    ("a.h5::b.h5::c", "a.h5::b.h5"),              # last occurrence
    ("a.h5:/x:/y", "a.h5:/x"),
    ("s3://bucket/scene.h5", "s3://bucket/scene.h5"),
    ("s3://bucket/scene.h5::cube", "s3://bucket/scene.h5"),
    ("s3://bucket/scene.h5:/cube", "s3://bucket/scene.h5:/cube"),
    ("plain.tif", "plain.tif"),
])
def test_strip_dataset_specifier(path, clean):
    assert convert._strip_dataset_specifier(path) == clean


class Text(str):
    pass


@pytest.mark.parametrize("function", [
    convert._detect_format, convert._strip_dataset_specifier, convert._check_dep,
])
@pytest.mark.parametrize("value", [None, b"a.tif", Text("a.tif"), 3])
def test_path_must_be_exactly_str(function, value):
    with pytest.raises(TypeError, match="must be str"):
        function(value)


def test_detection_reads_the_extension_table_at_call_time(monkeypatch):
    monkeypatch.setitem(convert._EXT_MAP, ".cube", "envi")
    assert convert._detect_format("x.cube") == "envi"
    monkeypatch.setattr(convert, "_strip_dataset_specifier", lambda path: "x.tif")
    assert convert._detect_format("anything.h5") == "tiff"


def test_tables_agree():
    assert list(convert._EXT_MAP) == [".hdr", ".img", ".lan", ".tif", ".tiff", ".h5", ".hdf5", ".he5", ".hdf"]
    assert set(convert._EXT_MAP.values()) == set(convert._LOADERS)


def test_check_dep_is_silent_for_installed_libraries(capsys):
    for name in ("spectral", "rasterio", "h5py"):
        assert convert._check_dep(name) is None
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("name, pkg", [("rasterio", "rasterio"), ("not_a_module_xyz", "not_a_module_xyz")])
def test_check_dep_prints_the_install_hint_and_exits(monkeypatch, capsys, name, pkg):
    monkeypatch.setitem(sys.modules, name, None)  # makes the import fail
    with pytest.raises(SystemExit) as info:
        convert._check_dep(name)
    assert info.value.code == 1
    assert capsys.readouterr().out == (
        f"\n\x1b[91m\x1b[1m  Missing dependency: {name}\x1b[0m"
        f"\n  Install it with:  pip install {pkg}"
        "\n  Or install all convert deps:  pip install \"nivra-hsi[convert]\"\n\n")


def test_check_dep_lets_other_import_errors_through(monkeypatch):
    def broken_import(name, *args):
        raise RuntimeError("broken library")

    monkeypatch.setattr(convert, "__import__", broken_import, raising=False)
    with pytest.raises(RuntimeError, match="broken library"):
        convert._check_dep("rasterio")
