"""Wall time and peak resident memory of `nivra convert_to_mat` with a band
selection against none, and with --preview against none, each run in a fresh
child process, the two commands of a pair in turns (A B A B ...).

  bands    a 1000 x 1000 x 220 int16 ENVI scene (band-sequential by default)
           converted whole, then with the 20 water-absorption bands of the
           Indian Pines scene dropped (--drop-bands 103-107,149-162,219);
  preview  a 2500 x 1800 x 64 int16 band-sequential ENVI scene with a label
           map, converted without and with --preview.

Scenes are written once into the cache directory and reused.

    python bench/bands.py [--cache DIR] [--interleave bsq|bil|bip] [--repeats N] [--only bands|preview]
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import scipy.io as sio

WATER_BANDS = "103-107,149-162,219"   # 0-based: 104-108, 150-163 and 220 counted from 1


def write_envi(path, lines, samples, bands, interleave, labels=False):
    """Smooth spectra that vary across the scene, so the MAT writer's compression sees data like a sensor's."""
    header = path.with_suffix(".hdr")
    if header.exists():
        return header
    rows = np.arange(lines, dtype=np.float32)[:, None]
    columns = np.arange(samples, dtype=np.float32)[None, :]
    cube = np.empty((bands, lines, samples), np.int16)
    for band in range(bands):
        cube[band] = 1000 + 800 * np.sin(rows / 37 + band / 9) * np.cos(columns / 53) + band
    order = {"bsq": (0, 1, 2), "bil": (1, 0, 2), "bip": (1, 2, 0)}[interleave]
    cube.transpose(order).tofile(path.with_suffix(".img"))
    header.write_text(
        f"ENVI\nsamples = {samples}\nlines = {lines}\nbands = {bands}\nheader offset = 0\n"
        f"file type = ENVI Standard\ndata type = 2\ninterleave = {interleave}\nbyte order = 0\n"
        "wavelength = {" + ", ".join(str(400 + 10 * b) for b in range(bands)) + "}\n")
    if labels:
        classes = ((rows // 150) * 7 + columns // 200) % 17
        sio.savemat(path.with_name("labels.mat"), {"gt": classes.astype(np.uint8)})
    return header


def run_child(options):
    """(wall seconds, peak resident MiB) of one conversion in a fresh process."""
    start = time.perf_counter()
    child = subprocess.Popen([sys.executable, "-m", "nivra", "convert_to_mat", *map(str, options)],
                             stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode:
        raise SystemExit(f"conversion failed ({child.returncode}): {options}")
    return time.perf_counter() - start, usage.ru_maxrss / 1024


def pair(name, a, b, repeats):
    """Runs a and b in turns after one warm-up of each; prints medians and the pairwise ratio."""
    run_child(a), run_child(b)
    runs = [(run_child(a), run_child(b)) for _ in range(repeats)]
    ratio = statistics.median(ra[0] / rb[0] for ra, rb in runs)
    for label, index, options in (("A", 0, a), ("B", 1, b)):
        seconds = statistics.median(r[index][0] for r in runs)
        mib = statistics.median(r[index][1] for r in runs)
        print(f"  {name} {label}: {seconds:6.2f} s  {mib:7.0f} MiB peak  ({' '.join(map(str, options[4:])) or '-'})")
    print(f"  {name} time A/B, median of pairs: {ratio:.3f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cache", type=Path, help="directory for the generated scenes (default: a temporary one)")
    parser.add_argument("--interleave", choices=["bsq", "bil", "bip"], default="bsq")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--only", choices=["bands", "preview"])
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        cache = args.cache or Path(scratch)
        cache.mkdir(parents=True, exist_ok=True)
        out = Path(scratch) / "out"
        if args.only in (None, "bands"):
            img = write_envi(cache / f"bands220_{args.interleave}", 1000, 1000, 220, args.interleave)
            whole = ["--img", img, "--out-dir", out]
            pair("220 bands", [*whole, "--drop-bands", WATER_BANDS], whole, args.repeats)
        if args.only in (None, "preview"):
            img = write_envi(cache / "preview2500", 2500, 1800, 64, "bsq", labels=True)
            plain = ["--img", img, "--gt", img.with_name("labels.mat"), "--out-dir", out]
            pair("2500 x 1800", [*plain, "--preview"], plain, args.repeats)


if __name__ == "__main__":
    main()
