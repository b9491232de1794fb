"""Times a whole `nivra convert_to_mat` run on a synthetic 512x512x200
float32 ENVI cube with a 512x512 label map, step by step: each step is a
module function the command looks up when it runs, so wrapping it here
times it without changing what runs.

    python bench/conversion.py [--repeats N]
"""
import argparse
import contextlib
import io
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import scipy.io as sio

from nivra import convert

LINES, SAMPLES, BANDS = 512, 512, 200
CROP = ["32", "32", "448", "448"]


def write_scene(folder):
    rng = np.random.default_rng(0)
    cube = rng.random((BANDS, LINES, SAMPLES), dtype=np.float32)  # band-sequential
    cube.tofile(folder / "cube.img")
    (folder / "cube.hdr").write_text(
        "ENVI\n"
        f"samples = {SAMPLES}\nlines = {LINES}\nbands = {BANDS}\n"
        "header offset = 0\nfile type = ENVI Standard\ndata type = 4\n"
        "interleave = bsq\nbyte order = 0\n"
        "wavelength = {" + ", ".join(f"{400 + 2 * b}" for b in range(BANDS)) + "}\n")
    labels = rng.integers(0, 17, (LINES, SAMPLES)).astype(np.uint8)
    sio.savemat(folder / "labels.mat", {"gt": labels})


class Timers:
    """Wraps module functions so that each call adds to a step's total."""

    def __init__(self):
        self.totals = {}

    def wrap(self, step, function):
        def timed(*args, **kwargs):
            start = time.perf_counter()
            try:
                return function(*args, **kwargs)
            finally:
                self.totals[step] = self.totals.get(step, 0.0) + time.perf_counter() - start
        return timed


class TimedModule:
    """A stand-in for a module whose one function is timed."""

    def __init__(self, module, name, timed):
        self._module, self._name, self._timed = module, name, timed

    def __getattr__(self, attribute):
        return self._timed if attribute == self._name else getattr(self._module, attribute)


def run_once(folder):
    timers = Timers()
    saved = {name: getattr(convert, name) for name in ("_LOADERS", "_load_gt", "_apply_crop", "json", "_print_summary")}
    try:
        convert._LOADERS = {fmt: timers.wrap("load", loader) for fmt, loader in saved["_LOADERS"].items()}
        convert._load_gt = timers.wrap("load", saved["_load_gt"])
        convert._apply_crop = timers.wrap("crop", saved["_apply_crop"])
        convert.json = TimedModule(saved["json"], "dump", timers.wrap("write metadata.json", saved["json"].dump))
        convert._print_summary = timers.wrap("summary", saved["_print_summary"])
        sys.argv = ["nivra convert_to_mat", "--img", str(folder / "cube.hdr"), "--gt", str(folder / "labels.mat"),
                    "--out-dir", str(folder / "out"), "--crop", *CROP]
        start = time.perf_counter()
        with contextlib.redirect_stdout(io.StringIO()):
            convert.main()
        total = time.perf_counter() - start
    finally:
        for name, value in saved.items():
            setattr(convert, name, value)
    # the native writer runs while sio.savemat is scipy's own, so it is not wrapped: its time is the rest
    timers.totals["write data.mat + gt.mat, parsing, fsync, rename"] = total - sum(timers.totals.values())
    timers.totals["total"] = total
    return timers.totals


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeats", type=int, default=3)
    repeats = parser.parse_args().repeats
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        write_scene(folder)
        runs = [run_once(folder) for _ in range(repeats)]
    print(f"{LINES}x{SAMPLES}x{BANDS} float32 ENVI cube + {LINES}x{SAMPLES} labels, "
          f"--crop {' '.join(CROP)}, median of {repeats}")
    print(f"{'step':<42} {'seconds':>8} {'share':>6}")
    total = statistics.median(run["total"] for run in runs)
    for step in runs[0]:
        seconds = statistics.median(run[step] for run in runs)
        print(f"{step:<42} {seconds:>8.3f} {seconds / total:>6.0%}")


if __name__ == "__main__":
    main()
