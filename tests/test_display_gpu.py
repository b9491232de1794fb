"""gpu_stats: one line from nvidia-smi, or "" on any ordinary failure."""
import os
import stat
import subprocess
import sys

import pytest

from nivra.utils import display

ARGS = ["nvidia-smi", "--query-gpu=temperature.gpu,utilization.gpu,memory.used,memory.total",
        "--format=csv,noheader,nounits"]


@pytest.fixture
def fake_smi(tmp_path, monkeypatch):
    """Puts an executable `nvidia-smi` running `body` (sh) first on PATH; returns its argv log."""
    log = tmp_path / "argv"

    def install(body):
        tool = tmp_path / "bin" / "nvidia-smi"
        tool.parent.mkdir(exist_ok=True)
        tool.write_text(f'#!/bin/sh\nprintf "%s\\n" "$@" > "{log}"\n{body}\n')
        tool.chmod(tool.stat().st_mode | stat.S_IEXEC)
        monkeypatch.setenv("PATH", f"{tool.parent}{os.pathsep}{os.environ['PATH']}")
        return log

    return install


@pytest.mark.parametrize("output, expected", [
    ("45, 30, 1024, 8192", "GPU 45\u00b0C | 1024 / 8192 MB | 30% util"),
    ("  45,30 ,  1024,8192  \n\n", "GPU 45\u00b0C | 1024 / 8192 MB | 30% util"),
    ("[N/A], [Not Supported], 0, 16384", "GPU [N/A]\u00b0C | 0 / 16384 MB | [Not Supported]% util"),
    ("45, 30, 1024, 8192\n50, 99, 2048, 8192", ""),  # two GPUs: too many pieces
    ("45, 30, 1024", ""),
    ("", ""),
])
def test_tool_output(fake_smi, capfd, output, expected):
    log = fake_smi(f"printf '{output}'")
    assert display.gpu_stats() == expected
    assert log.read_text().splitlines() == ARGS[1:]
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize("body", [
    "echo '45, 30, 1024, 8192'; echo oops >&2; exit 3",  # non-zero status
    "printf '\\377\\376, 1, 2, 3'",                       # not UTF-8
    "exec sleep 30",                                     # killed by the 5 s timeout
])
def test_failures_give_empty_text_silently(fake_smi, capfd, body):
    fake_smi(body)
    assert display.gpu_stats() == ""
    assert capfd.readouterr() == ("", "")


def test_tool_stderr_is_discarded(fake_smi, capfd):
    fake_smi("echo 'noise' >&2; echo '1, 2, 3, 4'")
    assert display.gpu_stats() == "GPU 1\u00b0C | 3 / 4 MB | 2% util"
    assert capfd.readouterr() == ("", "")


def test_tool_missing(tmp_path, monkeypatch, capfd):
    monkeypatch.setenv("PATH", str(tmp_path))
    assert display.gpu_stats() == ""
    assert capfd.readouterr() == ("", "")


class FakeSubprocess:
    DEVNULL = object()

    def __init__(self, result=b"1, 2, 3, 4", error=None):
        self.result, self.error, self.calls = result, error, []

    def check_output(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.error is not None:
            raise self.error
        return self.result


def test_calls_check_output_through_module_attribute(monkeypatch):
    fake = FakeSubprocess()
    monkeypatch.setattr(display, "subprocess", fake)
    assert display.gpu_stats() == "GPU 1\u00b0C | 3 / 4 MB | 2% util"
    assert fake.calls == [((ARGS,), {"timeout": 5, "stderr": FakeSubprocess.DEVNULL})]
    assert all(type(a) is str for a in fake.calls[0][0][0])


@pytest.mark.parametrize("error", [
    FileNotFoundError(2, "nvidia-smi"),
    subprocess.CalledProcessError(1, ARGS),
    subprocess.TimeoutExpired(ARGS, 5),
    RuntimeError("anything ordinary"),
])
def test_exception_family_is_caught(monkeypatch, error):
    monkeypatch.setattr(display, "subprocess", FakeSubprocess(error=error))
    assert display.gpu_stats() == ""


@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(3), GeneratorExit()])
def test_base_exceptions_propagate(monkeypatch, error):
    monkeypatch.setattr(display, "subprocess", FakeSubprocess(error=error))
    with pytest.raises(type(error)):
        display.gpu_stats()


@pytest.mark.parametrize("result", ["1, 2, 3, 4", None, b"\xff, 2, 3, 4", b"1,2,3,4,5"])
def test_odd_results_give_empty_text(monkeypatch, result):
    monkeypatch.setattr(display, "subprocess", FakeSubprocess(result=result))
    assert display.gpu_stats() == ""


def test_subprocess_without_check_output(monkeypatch):
    monkeypatch.setattr(display, "subprocess", object())
    assert display.gpu_stats() == ""


def test_signature_and_doc():
    assert display.gpu_stats.__doc__ == "Get real GPU stats (temp, utilization, VRAM) via nvidia-smi."
    with pytest.raises(TypeError):
        display.gpu_stats(1)
