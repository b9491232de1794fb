"""The `nivra` dispatcher: command listing, usage errors, one-line failures."""

import importlib.metadata
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from conftest import run_nivra
import nivra
from nivra import cli, convert


def test_help_lists_the_commands():
    result = run_nivra("--help")
    assert result.returncode == 0
    assert "convert_to_mat" in result.stdout and "Convert ENVI / TIFF / GeoTIFF / HDF5" in result.stdout


@pytest.mark.parametrize("args", [[], ["train_everything"]])
def test_unknown_or_missing_command_is_a_usage_error(args):
    result = run_nivra(*args)
    assert result.returncode == 2
    assert "usage: nivra" in result.stderr


def test_subcommand_help_comes_from_the_converter():
    result = run_nivra("convert_to_mat", "--help")
    assert result.returncode == 0
    assert result.stdout.startswith("usage: nivra convert_to_mat [-h] --img IMG")
    assert "--crop Y X H W" in result.stdout


def test_version_has_one_source():
    result = run_nivra("--version")
    assert result.returncode == 0 and result.stdout == f"nivra {nivra.__version__}\n"
    assert importlib.metadata.version("nivra-hsi") == nivra.__version__


def test_ordinary_failure_is_one_line_without_traceback(tmp_path):
    result = run_nivra("convert_to_mat", "--img", tmp_path / "x.mat", "--out-dir", tmp_path / "o")
    assert result.returncode == 1
    assert result.stderr == "error: Unrecognised file extension '.mat'. Supported: envi, hdf5, tiff\n"
    assert not (tmp_path / "o").exists()


def test_library_error_is_reported_by_its_message(tmp_path):
    result = run_nivra("convert_to_mat", "--img", tmp_path / "absent.tif", "--out-dir", tmp_path / "o")
    assert result.returncode == 1
    assert result.stderr.startswith("error: ") and result.stderr.count("\n") == 1
    assert "absent.tif" in result.stderr


def test_argparse_errors_keep_status_2(tmp_path):
    result = run_nivra("convert_to_mat", "--img", "a.tif")
    assert result.returncode == 2 and "required: --out-dir" in result.stderr


@pytest.mark.parametrize("error, message", [
    (KeyError("Dataset 'x' not found in f.h5.\nAvailable datasets: ['a']"),
     "error: Dataset 'x' not found in f.h5.\nAvailable datasets: ['a']\n"),
    (ValueError("bad crop"), "error: bad crop\n"),
    (OSError(28, "No space left on device"), "error: [Errno 28] No space left on device\n"),
    (RuntimeError(), "error: RuntimeError\n"),
])
def test_messages(monkeypatch, capsys, error, message):
    def failing_main():
        raise error

    monkeypatch.setattr(convert, "main", failing_main)
    assert cli.main(["convert_to_mat"]) == 1
    assert capsys.readouterr().err == message


@pytest.mark.parametrize("raised, status", [(KeyboardInterrupt(), 130), (SystemExit(1), 1), (SystemExit(2), 2)])
def test_interrupts_and_exits(monkeypatch, capsys, raised, status):
    def main():
        raise raised

    monkeypatch.setattr(convert, "main", main)
    if isinstance(raised, SystemExit):
        with pytest.raises(SystemExit) as info:
            cli.main(["convert_to_mat"])
        assert info.value.code == status
    else:
        assert cli.main(["convert_to_mat"]) == status
    assert capsys.readouterr().err == ""


def test_options_reach_main_without_the_command_name(monkeypatch):
    seen = []
    monkeypatch.setattr(convert, "main", lambda: seen.append(__import__("sys").argv[1:]))
    assert cli.main(["convert_to_mat", "--img", "a.tif", "--out-dir", "o"]) == 0
    assert seen == [["--img", "a.tif", "--out-dir", "o"]]


def test_console_script_converts(tmp_path):
    import rasterio
    from rasterio.transform import from_origin

    path = tmp_path / "a.tif"
    with rasterio.open(path, "w", driver="GTiff", width=3, height=2, count=1, dtype="uint8",
                       crs="EPSG:4326", transform=from_origin(0, 0, 1, 1)) as dst:
        dst.write(np.ones((1, 2, 3), dtype=np.uint8))
    script = Path(sys.executable).with_name("nivra")
    result = subprocess.run([script, "convert_to_mat", "--img", path, "--out-dir", tmp_path / "o"],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert "Conversion complete!" in result.stdout
