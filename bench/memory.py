"""Wall time and peak resident memory of `nivra convert_to_mat`, each run in
a fresh child process, on the windowed path and on the literal one.

The literal path is whole-scene loads plus savemat: the loaders, `_apply_crop`
and `sio.savemat` are rebound to plain wrappers, which makes `main` take its
plain flow, and an ENVI image is copied into memory (its loader itself
returns a view of its memory map). Peak resident memory is the child's
high-water mark, so memory-mapped pages that were read count in it.

Scenes are written once into the cache directory and reused:
  crop cases   a 512 x 512 window of a 4096 x 4096 x 64 int16 scene (2 GiB) as
               band-sequential ENVI, tiled GeoTIFF and chunked band-first HDF5;
  whole cases  a 1024 x 1024 x 128 int16 scene with smooth spectra and labels
               as ENVI and as tiled GeoTIFF, and a band-first float32 HDF5 cube;
  huge case    a sparse ENVI file whose header promises 5 GiB of int16
               (8192 x 2560 x 128), converted with --mat-version 7.3 and read
               back through h5py; without 7.3 it must be refused.

Peak anonymous memory (RssAnon, sampled every 10 ms) is shown beside the
resident high-water mark, which counts the pages of a memory map that were read.

    python bench/memory.py [--cache DIR] [--quick] [--only crop|whole|huge] [--repeats N]
"""
import argparse
import contextlib
import io
import json
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import numpy as np

ROWS_PER_BLOCK = 256


# ---- scenes ------------------------------------------------------------------

def spectra(row0, rows, samples, bands, seed=0):
    """Smooth int16 spectra mixed from four endmembers over rows row0..row0+rows,
    and the index of each pixel's dominant endmember (its class)."""
    rng = np.random.default_rng(seed)
    wavelengths = np.linspace(0.0, 1.0, bands, dtype=np.float32)
    centres, widths = rng.random(4), 0.1 + 0.3 * rng.random(4)
    endmembers = 2000 + 6000 * np.exp(-((wavelengths[None] - centres[:, None]) / widths[:, None]) ** 2)
    y, x = np.mgrid[row0:row0 + rows, 0:samples].astype(np.float32)
    abundance = np.stack([np.sin(y / 97 + k) * np.cos(x / 61 - k) + 1.2 for k in range(4)], axis=-1)
    abundance /= abundance.sum(axis=-1, keepdims=True)
    noise = np.random.default_rng(seed + 1 + row0).normal(0, 20, (rows, samples, bands)).astype(np.float32)
    cube = (abundance @ endmembers.astype(np.float32) + noise).astype(np.int16)
    return cube, abundance.argmax(axis=-1).astype(np.uint8)


def blocks(lines, samples, bands):
    for row0 in range(0, lines, ROWS_PER_BLOCK):
        rows = min(ROWS_PER_BLOCK, lines - row0)
        yield row0, rows, *spectra(row0, rows, samples, bands)


def write_envi(path, lines, samples, bands):
    """Band-sequential int16, little-endian."""
    path.with_suffix(".hdr").write_text(
        f"ENVI\nsamples = {samples}\nlines = {lines}\nbands = {bands}\nheader offset = 0\n"
        "file type = ENVI Standard\ndata type = 2\ninterleave = bsq\nbyte order = 0\n"
        "wavelength = {" + ", ".join(f"{400 + 2000 * b / bands:.1f}" for b in range(bands)) + "}\n")
    out = np.memmap(path, np.int16, "w+", shape=(bands, lines, samples))
    labels = np.empty((lines, samples), np.uint8)
    for row0, rows, block, classes in blocks(lines, samples, bands):
        out[:, row0:row0 + rows] = block.transpose(2, 0, 1)
        labels[row0:row0 + rows] = classes
    out.flush()
    del out
    return labels


def write_tiff(path, lines, samples, bands):
    import rasterio
    from rasterio.transform import from_origin
    from rasterio.windows import Window
    with rasterio.open(path, "w", driver="GTiff", width=samples, height=lines, count=bands, dtype="int16",
                       tiled=True, blockxsize=256, blockysize=256, BIGTIFF="YES", crs="EPSG:32633",
                       transform=from_origin(500000.0, 4000000.0, 10.0, 10.0)) as dst:
        for row0, rows, block, _ in blocks(lines, samples, bands):
            dst.write(block.transpose(2, 0, 1), window=Window(0, row0, samples, rows))


def write_hdf5(path, lines, samples, bands, dtype):
    """Band-first, chunked 256 x 256 across all bands."""
    import h5py
    with h5py.File(path, "w") as f:
        cube = f.create_dataset("cube", shape=(bands, lines, samples), dtype=dtype,
                                chunks=(bands, min(256, lines), min(256, samples)))
        cube.attrs["units"] = "reflectance x 10000"
        for row0, rows, block, _ in blocks(lines, samples, bands):
            cube[:, row0:row0 + rows] = block.transpose(2, 0, 1).astype(dtype)


HUGE = (8192, 2560, 128)  # lines, samples, bands: 5 GiB of int16


def huge_value(y, x, b):
    return (y * 7 + x * 3 + b) % 30000 + 1


def huge_positions(lines, samples, bands):
    """Pixels given a value in the otherwise empty (zero) sparse scene."""
    rng = np.random.default_rng(5)
    corners = [(0, 0, 0), (lines - 1, samples - 1, bands - 1), (lines - 1, 0, 0), (0, samples - 1, bands - 1)]
    return corners + [tuple(int(v) for v in p) for p in zip(rng.integers(0, lines, 60), rng.integers(0, samples, 60),
                                                           rng.integers(0, bands, 60))]


def write_sparse_envi(path, lines, samples, bands):
    """Band-sequential int16: a file of holes with a few known values."""
    path.with_suffix(".hdr").write_text(
        f"ENVI\nsamples = {samples}\nlines = {lines}\nbands = {bands}\nheader offset = 0\n"
        "file type = ENVI Standard\ndata type = 2\ninterleave = bsq\nbyte order = 0\n")
    with open(path, "wb") as f:
        f.truncate(2 * lines * samples * bands)
        for y, x, b in huge_positions(lines, samples, bands):
            f.seek(2 * ((b * lines + y) * samples + x))
            f.write(np.int16(huge_value(y, x, b)).tobytes())


def check_huge_output(mat_path, lines, samples, bands):
    """Shape and sampled values of the 7.3 data.mat, read through h5py."""
    import h5py
    with h5py.File(mat_path, "r") as f:
        data = f["data"]
        assert data.shape == (bands, samples, lines), data.shape
        for y, x, b in huge_positions(lines, samples, bands):
            assert data[b, x, y] == huge_value(y, x, b), (y, x, b)
        assert data[1, 1, 1] == 0 and data[bands // 2, samples // 2, lines // 3] == 0
    return f"shape {data.shape}, {len(huge_positions(lines, samples, bands))} sampled values match"


def scene(cache, name, write, *shape, **extra):
    """Writes the scene once; a marker file says it is complete."""
    folder = cache / name
    done = folder / "complete"
    if not done.exists():
        folder.mkdir(parents=True, exist_ok=True)
        print(f"  writing {name} ...", file=sys.stderr, flush=True)
        result = write(folder / name, *shape, **extra)
        if result is not None:
            import scipy.io as sio
            sio.savemat(folder / "labels.mat", {"gt": result})
        done.touch()
    return folder


def cases(cache, quick):
    side, bands = (1024, 64) if quick else (4096, 64)
    whole_side, whole_bands = (256, 128) if quick else (1024, 128)
    crop = ["--crop", str(side // 3), str(side // 2), "512", "512"]
    tag = f"{side}x{side}x{bands}"
    envi = scene(cache, f"crop-envi-{tag}.img", write_envi, side, side, bands)
    tiff = scene(cache, f"crop-tiff-{tag}.tif", write_tiff, side, side, bands)
    hdf5 = scene(cache, f"crop-hdf5-{tag}.h5", write_hdf5, side, side, bands, dtype="int16")
    yield "crop", f"ENVI {tag} int16, 512x512 crop", ["--img", envi / f"crop-envi-{tag}.hdr", *crop]
    yield "crop", f"tiled GeoTIFF {tag} int16, 512x512 crop", ["--img", tiff / f"crop-tiff-{tag}.tif", *crop]
    yield "crop", f"chunked HDF5 {bands}x{side}x{side} int16, 512x512 crop", ["--img", hdf5 / f"crop-hdf5-{tag}.h5", *crop]

    tag = f"{whole_side}x{whole_side}x{whole_bands}"
    envi = scene(cache, f"whole-envi-{tag}.img", write_envi, whole_side, whole_side, whole_bands)
    tiff = scene(cache, f"whole-tiff-{tag}.tif", write_tiff, whole_side, whole_side, whole_bands)
    hdf5 = scene(cache, f"whole-hdf5-{tag}.h5", write_hdf5, whole_side, whole_side, whole_bands, dtype="float32")
    labels = ["--gt", envi / "labels.mat"]
    yield "whole", f"ENVI {tag} int16 + labels", ["--img", envi / f"whole-envi-{tag}.hdr", *labels]
    yield "whole", f"tiled GeoTIFF {tag} int16 + labels", ["--img", tiff / f"whole-tiff-{tag}.tif", *labels]
    yield "whole", f"HDF5 band-first {whole_bands}x{whole_side}x{whole_side} float32", ["--img", hdf5 / f"whole-hdf5-{tag}.h5"]


# ---- one run in a child process ----------------------------------------------------

def force_literal(convert):
    """Plain wrappers: main takes its plain flow and every scene is read whole
    (the ENVI loader's memory map is copied into memory, as a whole read does)."""
    def whole(loader):
        def load(path):
            data, meta = loader(path)
            return np.array(data), meta
        return load

    def plain(function):
        return lambda *args, **kwargs: function(*args, **kwargs)

    convert._LOADERS = {fmt: (whole if fmt == "envi" else plain)(loader) for fmt, loader in convert._LOADERS.items()}
    convert._apply_crop = plain(convert._apply_crop)
    convert.sio.savemat = plain(convert.sio.savemat)


class AnonSampler:
    """The peak of RssAnon, sampled on a thread."""

    def __init__(self, interval=0.01):
        self.peak = 0.0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, args=(interval,), daemon=True)
        self._thread.start()

    def _run(self, interval):
        while not self._stop.is_set():
            self.sample()
            time.sleep(interval)

    def sample(self):
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("RssAnon:"):
                    self.peak = max(self.peak, int(line.split()[1]) / 1024)

    def stop(self):
        self._stop.set()
        self._thread.join()
        self.sample()
        return self.peak


def peak_mib():
    """This process's resident high-water mark. Not getrusage: its figure
    outlives exec, so a child would report the peak of the parent it came from."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    raise RuntimeError("no VmHWM in /proc/self/status")


def child(path, options):
    """One conversion; the figures are also taken where the output directory
    is made, once everything is read and before anything is written."""
    from nivra import convert
    if path == "start-up":
        return print(json.dumps({"peak_mib": peak_mib()}))
    if path == "literal":
        force_literal(convert)
    figures = {}
    anon = AnonSampler()
    makedirs = os.makedirs

    def reading_done(*args, **kwargs):
        figures.setdefault("read_seconds", time.perf_counter() - start)
        figures.setdefault("read_peak_mib", peak_mib())
        return makedirs(*args, **kwargs)
    os.makedirs = reading_done
    sys.argv = ["nivra convert_to_mat", *options]
    start = time.perf_counter()
    with contextlib.redirect_stdout(io.StringIO()):
        convert.main()
    figures.update(seconds=time.perf_counter() - start, peak_mib=peak_mib(), anon_peak_mib=anon.stop())
    print(json.dumps(figures))


def run(path, options, out_dir, check=True):
    command = [sys.executable, __file__, "--child", path, "--", *map(os.fspath, options), "--out-dir", out_dir]
    result = subprocess.run(command, capture_output=True, text=True, check=False)
    if not check:
        return result
    if result.returncode != 0:
        raise SystemExit(f"{path} run failed:\n{result.stderr}")
    return json.loads(result.stdout.splitlines()[-1])


def huge_case(cache, out):
    """The 5 GiB sparse scene: refused as version 7, converted as 7.3."""
    lines, samples, bands = HUGE
    folder = scene(cache, "huge-envi.img", write_sparse_envi, lines, samples, bands)
    options = ["--img", folder / "huge-envi.hdr"]
    refused = run("windowed", options, out / "huge-v7", check=False)
    message = refused.stderr.strip().splitlines()[-1] if refused.stderr.strip() else "(no error)"
    print(f"\nENVI {lines}x{samples}x{bands} int16 (5 GiB, sparse), version 7: exit {refused.returncode}, {message}")
    m = run("windowed", [*options, "--mat-version", "7.3"], out / "huge-v73")
    size = os.path.getsize(out / "huge-v73" / "data.mat") / (1 << 20)
    print(f"  as 7.3: {m['seconds']:.1f} s, peak resident {m['peak_mib']:.0f} MiB, "
          f"peak anonymous {m['anon_peak_mib']:.0f} MiB, data.mat {size:.1f} MiB")
    print("  read back:", check_huge_output(out / "huge-v73" / "data.mat", lines, samples, bands))


def baseline():
    """Start-up alone: importing the module in a fresh process."""
    command = [sys.executable, __file__, "--child", "start-up"]
    return json.loads(subprocess.run(command, capture_output=True, text=True, check=True).stdout)["peak_mib"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cache", type=Path, help="directory for the generated scenes (default: a temporary one)")
    parser.add_argument("--quick", action="store_true", help="smaller scenes")
    parser.add_argument("--only", choices=["crop", "whole", "huge"])
    parser.add_argument("--repeats", type=int, default=1, help="runs per path; the median is shown")
    parser.add_argument("--child", choices=["literal", "windowed", "start-up"], help=argparse.SUPPRESS)
    parser.add_argument("options", nargs="*", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child(args.child, args.options)

    with contextlib.ExitStack() as stack:
        cache = args.cache or Path(stack.enter_context(tempfile.TemporaryDirectory()))
        out = Path(stack.enter_context(tempfile.TemporaryDirectory()))
        print(f"start-up alone: {baseline():.0f} MiB; median of {args.repeats} run(s) per path")
        print("read: until the output directory is made; all: the whole conversion. "
              "Ratios: literal time / windowed time, windowed peak / literal peak.")
        if args.only == "huge":
            return huge_case(cache, out)
        print(f"{'case':<46} {'path':<9} {'read s':>7} {'read MiB':>9} {'all s':>7} {'peak MiB':>9} {'anon MiB':>9}   "
              f"{'read':>6} {'memory':>6} {'all':>6} {'memory':>6}")
        for kind, label, options in cases(cache, args.quick):
            if args.only and kind != args.only:
                continue
            figures = {}
            for _ in range(args.repeats):
                for path in ("literal", "windowed"):        # alternate, so both see the same page cache
                    figures.setdefault(path, []).append(run(path, options, out / path))
            median = {path: {key: statistics.median(r[key] for r in runs) for key in runs[0]}
                      for path, runs in figures.items()}
            lit, win = median["literal"], median["windowed"]
            for name, m in (("literal", lit), ("windowed", win)):
                print(f"{label if name == 'literal' else '':<46} {name:<9} {m['read_seconds']:>7.2f} "
                      f"{m['read_peak_mib']:>9.0f} {m['seconds']:>7.2f} {m['peak_mib']:>9.0f} {m['anon_peak_mib']:>9.0f}",
                      end="\n" if name == "literal" else "")
            ratios = (lit["read_seconds"] / win["read_seconds"], win["read_peak_mib"] / lit["read_peak_mib"],
                      lit["seconds"] / win["seconds"], win["peak_mib"] / lit["peak_mib"])
            print("   " + " ".join(f"{ratio:>5.{1 if i % 2 == 0 else 2}f}x" for i, ratio in enumerate(ratios)), flush=True)
        if not args.only:
            huge_case(cache, out)


if __name__ == "__main__":
    main()
