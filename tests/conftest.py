import ctypes
import io
import os
import subprocess
import sys
from pathlib import Path

import pytest

from nivra import convert

# AddressSanitizer preloaded into the interpreter (scripts/sanitize.sh).
UNDER_ASAN = hasattr(ctypes.CDLL(None), "__asan_init")

CORPUS = Path(__file__).resolve().parents[2] / "shared" / "corpus"


@pytest.fixture
def corpus():
    """The shared corpus of real third-party files; skips when it is absent."""
    if not CORPUS.is_dir():
        pytest.skip("shared corpus not available")
    return CORPUS


@pytest.fixture
def run_main(monkeypatch):
    """Runs convert.main() in-process with the given options."""

    def run(*options):
        monkeypatch.setattr(sys, "argv", ["nivra convert_to_mat", *map(os.fspath, options)])
        return convert.main()

    return run


def run_nivra(*args, **kwargs):
    """Runs the installed `nivra` command; returns the CompletedProcess."""
    command = [sys.executable, "-m", "nivra", *map(os.fspath, args)]
    return subprocess.run(command, capture_output=True, text=True, **kwargs)


class Stderr(io.StringIO):
    """A standard error stream that is, or is not, a terminal."""

    def __init__(self, terminal):
        super().__init__()
        self.terminal = terminal

    def isatty(self):
        return self.terminal
