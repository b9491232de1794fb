"""Checks an installed nivra: a fast part of the test suite, then the demo
conversion through the `nivra` command, both run from a scratch directory
outside the source tree. Used by the wheel check and as cibuildwheel's test
command, so it runs on every platform a wheel is built for."""

import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]

# Every area of both modules, leaving out the slow fuzz, leak, fault and
# awkward-name runs (the full suite covers those).
FAST_TESTS = [
    "test_cli.py", "test_detect.py", "test_crop.py", "test_census.py", "test_summary.py",
    "test_main.py", "test_envi.py", "test_tiff.py", "test_hdf5.py", "test_ground_truth.py",
    "test_display_palette.py", "test_display_banners.py", "test_display_boxes.py",
    "test_display_epoch_bar.py", "test_display_hints.py", "test_display_gpu.py",
]


def run(*command):
    print("$", " ".join(map(str, command)), flush=True)
    subprocess.run([os.fspath(part) for part in command], check=True)


def check_installed():
    import nivra
    import nivra.convert
    import nivra.utils.display

    package = Path(nivra.__file__).resolve().parent
    assert ROOT / "src" not in package.parents, f"nivra imported from the source tree: {package}"
    for name in ("convert.pyi", "utils/display.pyi", "py.typed"):
        assert (package / name).is_file(), f"{name} missing from the installed package"
    print("installed:", nivra.convert.__file__, flush=True)
    return nivra.__version__


def main():
    with tempfile.TemporaryDirectory() as scratch:
        work = Path(scratch)
        os.chdir(work)  # nothing may be imported from the checkout
        version = check_installed()

        command = shutil.which("nivra", path=os.path.dirname(sys.executable))
        assert command, "the nivra command was not installed beside the interpreter"
        shown = subprocess.run([command, "--version"], capture_output=True, text=True, check=True).stdout
        assert shown == f"nivra {version}\n", shown

        run(sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--rootdir", ROOT,
            *(ROOT / "tests" / name for name in FAST_TESTS))

        run(sys.executable, ROOT / "examples" / "make_sample_scene.py", work / "scene")
        run(command, "convert_to_mat", "--img", work / "scene" / "scene.hdr",
            "--gt", work / "scene" / "labels.tif", "--out-dir", work / "out")
        for name in ("data.mat", "gt.mat", "metadata.json"):
            assert (work / "out" / name).stat().st_size > 0, f"{name} is empty"
        os.chdir(ROOT)  # leave the scratch directory so it can be removed
    print("installed package test passed")


if __name__ == "__main__":
    main()
