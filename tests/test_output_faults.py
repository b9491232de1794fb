"""Output faults in convert_to_mat: an output path taken by a file, a
directory the writer may not write to, a full disk, a kill in the middle of
writing. Earlier good outputs must survive each one byte for byte, no final
name may hold a truncated file, and the failure is one clear line."""

import errno
import json
import os
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pytest
import rasterio
import scipy.io as sio
from PIL import Image
from rasterio.transform import from_origin

from conftest import run_nivra
from nivra import convert

OUTPUTS = ["data.mat", "gt.mat", "metadata.json"]


def write_tiff(path, array):
    """Writes a (bands, rows, columns) array as a plain TIFF."""
    with rasterio.open(path, "w", driver="GTiff", width=array.shape[2], height=array.shape[1],
                       count=array.shape[0], dtype=array.dtype, crs="EPSG:4326",
                       transform=from_origin(0, 0, 1, 1)) as dst:
        dst.write(array)
    return path


def noise(*shape):
    """Incompressible pixels, so the .mat files are as large as the data."""
    return np.random.default_rng(0).integers(0, 256, size=shape, dtype=np.uint8)


def snapshot(directory):
    return {name: (directory / name).read_bytes() for name in os.listdir(directory) if (directory / name).is_file()}


def readable(directory):
    """What each final-name file holds, read back (.mat headers carry a timestamp)."""
    held = {}
    for name in OUTPUTS:
        if name.endswith(".mat") and (directory / name).is_file():
            held[name] = {k: v.tolist() for k, v in sio.loadmat(directory / name).items() if k[0] != "_"}
        elif (directory / name).is_file():
            held[name] = json.loads((directory / name).read_text())
    return held


def hidden_temporaries(directory):
    return [name for name in os.listdir(directory) if name.startswith(".") and name.endswith(".tmp")]


def assert_one_line_error(result, *fragments):
    stderr = result.stderr if isinstance(result.stderr, str) else result.stderr.decode()
    assert result.returncode == 1, stderr
    assert stderr.startswith("error: ") and stderr.count("\n") == 1 and "Traceback" not in stderr
    for fragment in fragments:
        assert fragment in stderr


def earlier_run(directory, run_main):
    """A small image and labels, and an output directory holding a good earlier run."""
    small = write_tiff(directory / "small.tif", noise(2, 6, 5))
    labels = directory / "labels.png"
    Image.fromarray(noise(6, 5) % 4).save(labels)
    out = directory / "out"
    run_main("--img", small, "--gt", labels, "--out-dir", out)
    return small, labels, out


@pytest.fixture
def inputs(tmp_path, run_main):
    return earlier_run(tmp_path, run_main)


# ---- the output path is taken ---------------------------------------------------------

@pytest.mark.parametrize("where", ["the directory itself", "a parent"])
def test_output_directory_taken_by_a_file(inputs, tmp_path, where):
    small, labels, _ = inputs
    blocker = tmp_path / "file"
    blocker.write_text("keep me")
    out = blocker if where == "the directory itself" else blocker / "out"
    result = run_nivra("convert_to_mat", "--img", small, "--out-dir", out)
    assert_one_line_error(result, str(out))
    assert "Loading image:" in result.stdout and "Saving:" not in result.stdout
    assert blocker.read_text() == "keep me"


@pytest.mark.parametrize("taken", OUTPUTS)
def test_output_name_taken_by_a_directory(inputs, taken):
    small, labels, out = inputs
    before = snapshot(out)
    (out / taken).unlink()
    (out / taken).mkdir()
    (out / taken / "inside").write_text("keep me")
    result = run_nivra("convert_to_mat", "--img", small, "--gt", labels, "--out-dir", out)
    assert_one_line_error(result, taken)
    assert (out / taken / "inside").read_text() == "keep me"
    assert f"Is a directory: '{out / taken}'" in result.stderr
    del before[taken]
    assert snapshot(out) == before  # none replaced, no hidden file left


# ---- a directory the writer may not write to -------------------------------------------

@pytest.fixture
def open_dir():
    """A directory every user can enter (pytest's own are private to root)."""
    path = tempfile.mkdtemp(prefix="nivra-faults-")
    os.chmod(path, 0o755)
    yield Path(path)
    shutil.rmtree(path)


# The interpreter lives in root's home, so the child starts as root, loads
# everything it needs, then gives up its privileges before converting.
UNPRIVILEGED = """
import os, sys
import h5py, PIL.Image, rasterio, scipy.io, spectral
from nivra import cli, convert

PIL.Image.init()  # the format plugins, loaded on first use
if os.geteuid() == 0:
    os.setgroups([])
    os.setgid(65534)
    os.setuid(65534)
sys.exit(cli.main(["convert_to_mat", *sys.argv[1:]]))
"""


@pytest.mark.parametrize("out_name", ["out", "out/new"], ids=["existing outputs", "new subdirectory"])
def test_read_only_directory_for_an_unprivileged_writer(open_dir, run_main, out_name):
    small, labels, out = earlier_run(open_dir, run_main)
    for path in (open_dir, *open_dir.iterdir()):
        os.chmod(path, 0o755 if path.is_dir() else 0o644)
    if os.geteuid() != 0:
        os.chmod(out, 0o555)
    before = snapshot(out)

    result = subprocess.run([sys.executable, "-c", UNPRIVILEGED, "--img", small, "--gt", labels,
                             "--out-dir", open_dir / out_name], capture_output=True, text=True)
    refused = open_dir / out_name if out_name == "out/new" else out / "data.mat"
    assert_one_line_error(result, f"Permission denied: '{refused}'")
    assert snapshot(out) == before
    assert not (open_dir / "out" / "new").exists()


class DeniedOs:
    """The os module, with the named calls refused as for a read-only directory, or with `error`
    where `fails(call number, file name)` holds."""

    def __init__(self, *denied, fails=lambda n, file: True, error=errno.EACCES):
        self.denied, self.fails, self.error, self.calls = denied, fails, error, 0

    def __getattr__(self, name):
        call = getattr(os, name)
        if name not in self.denied:
            return call

        def refuse(path, *args, **kwargs):
            self.calls += 1
            if not self.fails(self.calls, os.path.basename(path)):
                return call(path, *args, **kwargs)
            raise OSError(self.error, os.strerror(self.error), os.fspath(path))

        return refuse


@pytest.mark.parametrize("denied", ["open", "replace", "makedirs"])
def test_refused_writes_keep_earlier_outputs(run_main, inputs, monkeypatch, denied):
    small, labels, out = inputs
    before = snapshot(out)
    monkeypatch.setattr(convert, "os", DeniedOs(denied))
    with pytest.raises(PermissionError, match="Permission denied") as info:
        run_main("--img", small, "--gt", labels, "--out-dir", out, "--data-key", "other")
    assert snapshot(out) == before
    if denied == "open":  # the message names the output, not its hidden temporary
        assert info.value.filename == os.path.join(out, "data.mat")


@pytest.mark.parametrize("denied, fails, error, kept", [
    ("replace", lambda n, _: n == 1, errno.EIO, True),
    ("replace", lambda n, _: n == 2, errno.EIO, True),
    ("replace", lambda n, _: n == 3, errno.EIO, True),
    ("replace", lambda n, _: n == 3, errno.EIO, "no gt.mat"),   # the new gt.mat, without predecessor, goes again
    ("link", lambda n, file: file in OUTPUTS, errno.EPERM, True),   # an immutable output: not replaceable either
    ("link", lambda n, file: True, errno.EPERM, False),   # no hard links at all: replaced as they come
], ids=["data.mat", "gt.mat", "metadata.json", "new gt.mat", "immutable", "no hard links"])
def test_a_failed_rename_keeps_the_earlier_outputs(run_main, inputs, monkeypatch, denied, fails, error, kept):
    small, labels, out = inputs
    if kept == "no gt.mat":
        (out / "gt.mat").unlink()
    before = snapshot(out)
    monkeypatch.setattr(convert, "os", DeniedOs(denied, fails=fails, error=error))
    if kept:
        with pytest.raises(OSError) as info:
            run_main("--img", small, "--gt", labels, "--out-dir", out, "--data-key", "other")
        assert info.value.errno == error and not info.value.filename.endswith(".bak")
        assert snapshot(out) == before  # byte for byte, and no hidden file left
    else:
        run_main("--img", small, "--gt", labels, "--out-dir", out, "--data-key", "other")
        assert "other" in sio.loadmat(out / "data.mat") and sorted(os.listdir(out)) == OUTPUTS


def test_stale_temporaries_of_dead_runs_are_removed(run_main, inputs):
    small, labels, out = inputs
    child = subprocess.Popen([sys.executable, "-c", ""])
    child.wait()
    dead, hex12 = child.pid, "0123456789ab"
    names = {**{f".{name}.{dead}.{hex12}.tmp": False for name in OUTPUTS},   # kept: alive, pid 0, other names
             **{name: True for name in (f".data.mat.1.{hex12}.tmp", f".data.mat.{os.getpid()}.{hex12}.tmp",
                                        f".data.mat.0.{hex12}.tmp", f".data.mat.{dead}.{hex12}.bak",
                                        f".data.mat.{dead}.{hex12[:-1]}.tmp", f"data.mat.{dead}.{hex12}.tmp")}}
    for name in names:
        (out / name).write_text("left")
    run_main("--img", small, "--out-dir", out)
    assert {name: (out / name).exists() for name in names} == names


# ---- a full disk --------------------------------------------------------------------------

LIMIT = 1 << 20  # bytes per file


def limit_file_size():
    # Ignored, SIGXFSZ turns an oversized write into an ordinary OSError (EFBIG).
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (LIMIT, LIMIT))


@pytest.mark.parametrize("version", ["7", "7.3"])
def test_file_size_limit_on_data_keeps_every_earlier_output(inputs, tmp_path, version):
    small, labels, out = inputs
    large = write_tiff(tmp_path / "large.tif", noise(1, 1100, 1000))  # data.mat over the limit
    before = snapshot(out)
    result = run_nivra("convert_to_mat", "--img", large, "--gt", labels, "--out-dir", out,
                       "--mat-version", version, preexec_fn=limit_file_size)
    assert_one_line_error(result, "File too large")
    assert "Saving:" in result.stdout and " data.mat (" not in result.stdout
    assert snapshot(out) == before


def test_file_size_limit_on_labels_replaces_none_of_the_earlier_outputs(inputs, tmp_path):
    _, _, out = inputs
    # data.mat fits, gt.mat does not; labels may hold at most 16 values per pixel
    other = write_tiff(tmp_path / "other.tif", noise(1, 300, 250))
    large_labels = tmp_path / "large.png"
    Image.fromarray(noise(1100, 1000)).save(large_labels)
    before = snapshot(out)
    result = run_nivra("convert_to_mat", "--img", other, "--gt", large_labels, "--out-dir", out,
                       preexec_fn=limit_file_size)
    assert_one_line_error(result, "File too large")
    assert " data.mat (" in result.stdout and " gt.mat (" not in result.stdout
    assert snapshot(out) == before  # not the new data.mat beside the earlier labels


# ---- killed while writing -----------------------------------------------------------------

KILLED_WHILE_SAVING = """
import sys, types
import numpy as np
import scipy.io
from nivra import cli, convert

image = np.random.default_rng(1).integers(0, 256, size=(2000, 2000, 25), dtype=np.uint8)  # 100 MB
convert._LOADERS["tiff"] = lambda path: (image, {"_source_format": "fake"})
if sys.argv[2] == "savemat":  # a rebound savemat is called as bound: scipy's own writer
    convert.sio = types.SimpleNamespace(savemat=lambda *args, **kwargs: scipy.io.savemat(*args, **kwargs))
version = ["--mat-version", "7.3"] if sys.argv[2] == "7.3" else []
sys.exit(cli.main(["convert_to_mat", "--img", "large.tif", "--out-dir", sys.argv[1], *version]))
"""


def wait_for_growing_temporary(child, out, least=1):
    """Returns the hidden temporary of data.mat once it holds `least` bytes."""
    deadline = time.monotonic() + 300
    while time.monotonic() < deadline and child.poll() is None:
        for name in hidden_temporaries(out):
            if name.startswith(".data.mat.") and (out / name).stat().st_size >= least:
                return name
        time.sleep(0.005)
    pytest.fail(f"no temporary data.mat appeared (child status {child.poll()})")


@pytest.mark.parametrize("writer", ["native", "savemat", "7.3"])
def test_sigkill_while_writing_a_large_data_mat(inputs, writer):
    small, labels, out = inputs
    before = snapshot(out)
    child = subprocess.Popen([sys.executable, "-c", KILLED_WHILE_SAVING, out, writer],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        # the native writer streams blocks as they are compressed: kill it amid them
        temporary = wait_for_growing_temporary(child, out, least=1 if writer == "savemat" else 1 << 20)
    finally:
        child.kill()
        child.wait()
    assert child.returncode == -signal.SIGKILL

    after = snapshot(out)
    leftovers = set(after) - set(before)
    assert leftovers <= {temporary}  # only the hidden temporary nothing could remove
    assert {name: after[name] for name in before} == before

    # the leftover never stands in for the real name: a rerun writes and reads data.mat
    result = run_nivra("convert_to_mat", "--img", small, "--out-dir", out, "--data-key", "again")
    assert result.returncode == 0, result.stderr
    assert "again" in sio.loadmat(out / "data.mat")


@pytest.mark.parametrize("writer", ["native", "7.3"])
def test_ctrl_c_while_writing_natively_stops_and_cleans_up(inputs, writer):
    small, labels, out = inputs
    before = snapshot(out)
    child = subprocess.Popen([sys.executable, "-c", KILLED_WHILE_SAVING, out, writer],
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        wait_for_growing_temporary(child, out, least=1 << 20)
        child.send_signal(signal.SIGINT)
        _, stderr = child.communicate(timeout=60)
    finally:
        child.kill()
        child.wait()
    assert child.returncode == 130, stderr  # the command's status for an interrupt
    assert hidden_temporaries(out) == []
    assert snapshot(out) == before


KILLED_BEFORE_RENAME = """
import os, signal, sys
from nivra import cli, convert

class KilledOnRename:
    calls = 0
    def __getattr__(self, name):
        return getattr(os, name)
    def replace(self, source, target):
        KilledOnRename.calls += 1
        if KilledOnRename.calls == KILLED_AT:
            os.kill(os.getpid(), signal.SIGKILL)
        os.replace(source, target)

KILLED_AT = int(sys.argv[2])
convert.os = KilledOnRename()
sys.exit(cli.main(["convert_to_mat", *sys.argv[3:]]))
"""


@pytest.mark.parametrize("killed_at", [1, 2, 3], ids=OUTPUTS)
def test_sigkill_between_writing_and_renaming(inputs, tmp_path, run_main, killed_at):
    small, labels, out = inputs
    other = write_tiff(tmp_path / "other.tif", noise(3, 6, 5))
    before = snapshot(out)
    fresh = tmp_path / "fresh"
    run_main("--img", other, "--gt", labels, "--out-dir", fresh)
    complete = readable(fresh)

    child = subprocess.run([sys.executable, "-c", KILLED_BEFORE_RENAME, out, str(killed_at),
                            "--img", other, "--gt", labels, "--out-dir", out], capture_output=True)
    assert child.returncode == -signal.SIGKILL
    after = snapshot(out)
    renamed, pending = OUTPUTS[:killed_at - 1], OUTPUTS[killed_at - 1:]
    assert all(after[name] == before[name] for name in pending)
    new = readable(out)
    assert all(new[name] == complete[name] for name in renamed)  # finished files are the new run's, whole
    # the outputs not yet renamed are still complete in their hidden temporaries
    assert sorted(".".join(name[1:].split(".")[:2]) for name in hidden_temporaries(out)) == pending
