"""Times whole `nivra convert_to_mat` runs with the native MAT writer against
the literal path (savemat, forced by rebinding `sio.savemat` to a plain
wrapper) on the same files, with the floor of reading the input and writing
as many compressed bytes; then the GeoTIFF loader's read with one decoding
thread and on all cores, the deflate candidates on the scenes' bytes,
--mat-version 7 against 7.3, and the 7.3 writer against h5py's own gzip
filter on the same chunks.

    python bench/writer.py [--size 1024] [--bands 128] [--skip-literal] [--floor-only] [--turns 5]
    python bench/writer.py --walk [--walk-streams FILE] [--turns 5]

Scenes (made in a temporary directory): an int16 ENVI cube of smooth
endmember mixtures plus noise, with PNG labels; the same cube as a tiled
GeoTIFF; a band-first float32 HDF5 cube of half the width and height.
Last, the writer alone against the compression floor on the same arrays.
With --walk, only the join's walk over the writer's blocks of those arrays
(kept in FILE between runs, so that a whole run is mostly the walk).
"""
import argparse
import contextlib
import io
import os
import pickle
import statistics
import sys
import tempfile
import time
import types
import zlib
from pathlib import Path
from unittest import mock

import h5py
import numpy as np
import rasterio
import scipy.io
from PIL import Image

from nivra import convert

MB = 1 << 20
BLOCK = 256 << 10  # the writer's block size


def scene(size, bands, seed=0):
    """Reflectance-like int16 cube (size x size x bands) and its labels: five smooth
    endmember spectra mixed by abundances that vary smoothly over the image, plus noise."""
    rng = np.random.default_rng(seed)
    wavelengths = np.linspace(0.0, 1.0, bands, dtype=np.float32)
    endmembers = np.stack([0.2 + 0.6 * np.exp(-((wavelengths - centre) / width) ** 2)
                           for centre, width in [(0.15, 0.3), (0.45, 0.15), (0.7, 0.35), (0.9, 0.2), (0.3, 0.5)]])
    coarse = rng.dirichlet(np.full(5, 0.5), size=(size // 32 + 1, size // 32 + 1)).astype(np.float32)
    cube = np.empty((size, size, bands), np.int16)
    labels = np.empty((size, size), np.uint8)
    step = 64
    for top in range(0, size, step):
        rows = np.arange(top, min(size, top + step)) / 32.0
        columns = np.arange(size) / 32.0
        r0, c0 = rows.astype(int), columns.astype(int)
        fr, fc = (rows - r0)[:, None, None], (columns - c0)[None, :, None]
        mix = ((1 - fr) * (1 - fc) * coarse[r0][:, c0] + fr * (1 - fc) * coarse[r0 + 1][:, c0]
               + (1 - fr) * fc * coarse[r0][:, c0 + 1] + fr * fc * coarse[r0 + 1][:, c0 + 1])
        spectra = (mix @ endmembers) * 10000 + rng.normal(0, 25, (len(rows), size, bands)).astype(np.float32)
        cube[top:top + len(rows)] = np.clip(spectra, 0, 32767)
        labels[top:top + len(rows)] = mix.argmax(axis=-1) + 1
    return cube, labels


def write_inputs(folder, size, bands):
    cube, labels = scene(size, bands)
    cube.transpose(0, 2, 1).tofile(folder / "scene.img")  # band-interleaved by line
    (folder / "scene.hdr").write_text(
        f"ENVI\nsamples = {size}\nlines = {size}\nbands = {bands}\nheader offset = 0\n"
        "file type = ENVI Standard\ndata type = 2\ninterleave = bil\nbyte order = 0\n"
        "wavelength = {" + ", ".join(f"{400 + 2 * b}" for b in range(bands)) + "}\n")
    Image.fromarray(labels).save(folder / "labels.png")
    with rasterio.open(folder / "scene.tif", "w", driver="GTiff", width=size, height=size, count=bands,
                       dtype="int16", tiled=True, blockxsize=256, blockysize=256) as dst:
        dst.write(cube.transpose(2, 0, 1))
    half = size // 2
    with h5py.File(folder / "scene.h5", "w") as f:
        f.create_dataset("reflectance", data=(cube[:half, :half].transpose(2, 0, 1) / 10000).astype(np.float32))
    return cube


def literal_sio():
    """scipy.io with savemat rebound to a plain wrapper: main then calls savemat itself."""
    original = scipy.io.savemat
    return types.SimpleNamespace(**{**vars(scipy.io), "savemat": lambda *a, **k: original(*a, **k)})


def convert_once(argv, literal):
    """Runs main; returns (wall seconds, seconds in the loaders)."""
    loading = [0.0]

    def timed(function):
        def run(*args, **kwargs):
            start = time.perf_counter()
            try:
                return function(*args, **kwargs)
            finally:
                loading[0] += time.perf_counter() - start
        return run

    saved = {name: getattr(convert, name) for name in ("_LOADERS", "_load_gt", "sio")}
    try:
        convert._LOADERS = {fmt: timed(loader) for fmt, loader in saved["_LOADERS"].items()}
        convert._load_gt = timed(saved["_load_gt"])
        if literal:
            convert.sio = literal_sio()
        sys.argv = ["nivra convert_to_mat", *map(str, argv)]
        start = time.perf_counter()
        with contextlib.redirect_stdout(io.StringIO()):
            convert.main()
        return time.perf_counter() - start, loading[0]
    finally:
        for name, value in saved.items():
            setattr(convert, name, value)


def write_floor(folder, size):
    """Seconds to write and sync `size` bytes in the output directory."""
    block = os.urandom(4 * MB)
    path = folder / "floor.bin"
    start = time.perf_counter()
    with open(path, "wb") as f:
        for offset in range(0, size, len(block)):
            f.write(block[:min(len(block), size - offset)])
        f.flush()
        os.fsync(f.fileno())
    seconds = time.perf_counter() - start
    path.unlink()
    return seconds


def conversions(folder, cases, skip_literal):
    print(f"{'case':<34} {'literal s':>9} {'native s':>9} {'speed-up':>8} {'read s':>7} {'floor s':>8} "
          f"{'literal MB':>10} {'native MB':>10} {'size':>7}")
    for label, options in cases:
        out_native, out_literal = folder / "out-native", folder / "out-literal"
        native, reading = convert_once([*options, "--out-dir", out_native], literal=False)
        native_mb = sum((out_native / n).stat().st_size for n in ("data.mat", "gt.mat") if (out_native / n).exists())
        floor = reading + write_floor(folder, native_mb)
        if skip_literal:
            literal, literal_mb = float("nan"), float("nan")
        else:
            literal, _ = convert_once([*options, "--out-dir", out_literal], literal=True)
            literal_mb = sum((out_literal / n).stat().st_size for n in ("data.mat", "gt.mat")
                             if (out_literal / n).exists())
        print(f"{label:<34} {literal:>9.2f} {native:>9.2f} {literal / native:>7.1f}x {reading:>7.2f} {floor:>8.2f} "
              f"{literal_mb / MB:>10.1f} {native_mb / MB:>10.1f} {native_mb / literal_mb - 1:>+7.1%}")


TIFF_READS = {  # GDAL settings the loader leaves alone when they are set
    "one thread, block cache (before)": {"GDAL_NUM_THREADS": "1", "GTIFF_DIRECT_IO": "NO"},
    "one thread": {"GDAL_NUM_THREADS": "1"},
    f"all {os.cpu_count()} cores": {},
}


def tiff_reads(folder, cube, repeats=5):
    """The GeoTIFF loader's read of the tiled scene, and of the same scene deflated, under
    each setting of TIFF_READS, alternated; medians."""
    with rasterio.open(folder / "scene.tif") as src, \
            rasterio.open(folder / "scene-deflate.tif", "w", **{**src.profile, "compress": "deflate"}) as dst:
        dst.write(cube.transpose(2, 0, 1))
    print(f"\nGeoTIFF loader, whole {cube.shape[0]}x{cube.shape[1]}x{cube.shape[2]} int16 read "
          f"(median of {repeats} in seconds; speed-up against the first row)")
    print(f"{'setting':<34} {'tiled':>13} {'deflated':>13}")
    seconds = {(setting, name): [] for setting in TIFF_READS for name in ("scene.tif", "scene-deflate.tif")}
    with mock.patch.dict(os.environ):
        for _ in range(repeats):
            for (setting, name), runs in seconds.items():
                for option in ("GDAL_NUM_THREADS", "GTIFF_DIRECT_IO"):
                    os.environ.pop(option, None)
                os.environ.update(TIFF_READS[setting])
                start = time.perf_counter()
                convert._load_tiff(str(folder / name))
                runs.append(time.perf_counter() - start)
    median = {key: statistics.median(runs) for key, runs in seconds.items()}
    first = next(iter(TIFF_READS))
    for setting in TIFF_READS:
        cells = [f"{median[setting, n]:>7.2f} {median[first, n] / median[setting, n]:>4.2f}x"
                 for n in ("scene.tif", "scene-deflate.tif")]
        print(f"{setting:<34} {' '.join(cells)}")


def deflate_candidates():
    """(name, compress(bytes) -> compressed bytes): one stream per block of the writer's size, as it
    makes them (sync-flushed where the library can; libdeflate's are finished streams, which
    the writer then walks to clear the final bit, a cost not counted here)."""
    def blockwise(module, level, block=BLOCK):
        def compress(data):
            out = []
            for offset in range(0, len(data), block):
                c = module.compressobj(level, module.DEFLATED, -15)
                last = offset + block >= len(data)
                out.append(c.compress(data[offset:offset + block]) + c.flush(module.Z_FINISH if last else module.Z_SYNC_FLUSH))
            return b"".join(out)
        return compress

    candidates = [("zlib 6 (savemat, one stream)", lambda data: zlib.compress(data, 6))]
    with contextlib.suppress(ImportError):
        from isal import isal_zlib
        for level in (1, 2, 3):
            candidates.append((f"isal {level}", blockwise(isal_zlib, level)))
    with contextlib.suppress(ImportError):
        from zlib_ng import zlib_ng
        for level in (1, 3, 6):
            candidates.append((f"zlib-ng {level}", blockwise(zlib_ng, level)))
    with contextlib.suppress(ImportError):
        import deflate
        for level in (1, 2, 4, 6):
            candidates.append((f"libdeflate {level}", lambda data, lv=level: b"".join(
                deflate.deflate_compress(data[o:o + BLOCK], lv) for o in range(0, len(data), BLOCK))))
    return candidates


def candidates_table(cube, sample_mb):
    """Speed and size of each candidate on the int16 scene and on it as float32, against zlib 6."""
    half = cube.shape[0] // 2
    samples = {
        "int16": np.asfortranarray(cube).tobytes(order="F")[:sample_mb * MB],
        "float32": np.asfortranarray((cube[:half, :half].transpose(2, 0, 1) / 10000).astype(np.float32))
        .tobytes(order="F")[:sample_mb * MB],
    }
    print(f"\ndeflate on {sample_mb} MiB of each scene's column-major bytes, {BLOCK >> 10} KiB blocks, one core "
          "(isal and zlib-ng when installed)")
    print(f"{'candidate':<30} {'int16 MiB/s':>11} {'size':>7} {'float32 MiB/s':>13} {'size':>7}")
    reference = {}
    for name, compress in deflate_candidates():
        cells = []
        for kind, data in samples.items():
            start = time.perf_counter()
            size = len(compress(data))
            seconds = time.perf_counter() - start
            reference.setdefault(kind, size)
            cells.append(f"{len(data) / MB / seconds:>{11 if kind == 'int16' else 13}.0f} {size / reference[kind] - 1:>+7.1%}")
        print(f"{name:<30} {' '.join(cells)}")


def mat73_writers(folder, array):
    """Seconds and MiB of the 7.3 writer alone on an in-memory array, and of h5py's own gzip
    filter at level 4 on the same chunks, without and with shuffle."""
    ours = folder / "ours.mat"
    start = time.perf_counter()
    convert._write_mat73(str(ours), "data", array)
    rows = [("nivra 7.3", time.perf_counter() - start, ours.stat().st_size / MB)]
    with h5py.File(ours, "r") as f:
        chunks, shuffled = f["data"].chunks, f["data"].shuffle
    stored = array.T  # the dataset's axes, C-contiguous when the array is Fortran-ordered
    for shuffle in (False, True):
        path = folder / "h5py.h5"
        start = time.perf_counter()
        with h5py.File(path, "w") as f:
            f.create_dataset("data", data=stored, chunks=chunks, compression="gzip", compression_opts=4, shuffle=shuffle)
        rows.append((f"h5py gzip 4{' + shuffle' if shuffle else ''}", time.perf_counter() - start,
                     path.stat().st_size / MB))
        path.unlink()
    ours.unlink()
    return rows, shuffled


def mat73_conversions(folder, n, b):
    """Whole conversions with --mat-version 7 and 7.3 on the three scenes, then the writers
    alone on data.mat's array."""
    h = n // 2
    cases = [
        (f"ENVI {n}x{n}x{b} int16 + labels", ["--img", folder / "scene.hdr", "--gt", folder / "labels.png"]),
        (f"GeoTIFF tiled {n}x{n}x{b} int16", ["--img", folder / "scene.tif", "--gt", folder / "labels.png"]),
        (f"HDF5 {b}x{h}x{h} float32 band-first", ["--img", f"{folder / 'scene.h5'}:/reflectance"]),
    ]
    print(f"\n{'case':<34} {'v7 s':>6} {'7.3 s':>6} {'time':>6} {'v7 MB':>7} {'7.3 MB':>7} {'size':>6} shuffle")
    writers = []
    for label, options in cases:
        runs = {}
        for version in ("7", "7.3"):
            out = folder / f"out-{version}"
            seconds, _ = convert_once([*options, "--out-dir", out, "--mat-version", version], literal=False)
            runs[version] = seconds, (out / "data.mat").stat().st_size / MB
        with h5py.File(folder / "out-7.3" / "data.mat", "r") as f:
            array, shuffled = f["data"][()].T, f["data"].shuffle
        (v7, v7_mb), (v73, v73_mb) = runs["7"], runs["7.3"]
        print(f"{label:<34} {v7:>6.2f} {v73:>6.2f} {v73 / v7:>6.2f} {v7_mb:>7.1f} {v73_mb:>7.1f} "
              f"{v73_mb / v7_mb:>6.2f} {'yes' if shuffled else 'no'}")
        writers.append((label, *mat73_writers(folder, array)))
    print(f"\ndata.mat's array written alone, same chunks, {os.cpu_count()} cores")
    print(f"{'case':<34} {'writer':<22} {'s':>6} {'MiB':>7} {'nivra is':>9}")
    for label, rows, _ in writers:
        for name, seconds, mib in rows:
            print(f"{label:<34} {name:<22} {seconds:>6.2f} {mib:>7.1f} {seconds / rows[0][1]:>8.1f}x")


def deflate_floor(data, level=2, block=BLOCK):
    """Seconds for libdeflate alone to compress `data` in `block`-byte pieces on every core: its
    C functions called through ctypes (without the GIL), one compressor and one output buffer per
    thread, as the writer keeps them; the package's function, which allocates both per call, where
    its extension exports nothing."""
    import ctypes
    import threading
    from concurrent.futures import ThreadPoolExecutor

    import deflate
    try:
        library = ctypes.CDLL(deflate._deflate.__file__)
        library.libdeflate_alloc_compressor.restype = ctypes.c_void_p
        library.libdeflate_free_compressor.argtypes = [ctypes.c_void_p]
        library.libdeflate_deflate_compress_bound.restype = ctypes.c_size_t
        library.libdeflate_deflate_compress_bound.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
        library.libdeflate_deflate_compress.restype = ctypes.c_size_t
        library.libdeflate_deflate_compress.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t,
                                                        ctypes.c_void_p, ctypes.c_size_t]
    except (OSError, AttributeError):
        library = None
    start_of_data = ctypes.cast(ctypes.c_char_p(data), ctypes.c_void_p).value
    kept, compressors = threading.local(), []

    def compress(offset):
        size = min(block, len(data) - offset)
        if library is None:
            return len(deflate.deflate_compress(memoryview(data)[offset:offset + size], level))
        if not hasattr(kept, "compressor"):
            kept.compressor = library.libdeflate_alloc_compressor(level)
            compressors.append(kept.compressor)
            kept.out = ctypes.create_string_buffer(library.libdeflate_deflate_compress_bound(kept.compressor, block))
        return library.libdeflate_deflate_compress(kept.compressor, start_of_data + offset, size, kept.out,
                                                   len(kept.out))

    with ThreadPoolExecutor(os.cpu_count()) as pool:
        start = time.perf_counter()
        sum(pool.map(compress, range(0, len(data), block)))
        seconds = time.perf_counter() - start
    for compressor in compressors:
        library.libdeflate_free_compressor(compressor)
    return seconds


class Discard:
    """A file that keeps nothing but its length: what the writer costs, without the destination's
    own (a BytesIO growing to the file's size copies it over and over)."""

    def __init__(self):
        self.size = 0

    def write(self, data):
        self.size += len(data)

    def tell(self):
        return self.size

    def seek(self, offset):
        pass


def writer_against_floor(cube, repeats):
    """The native writer (`_write_mat` into a `Discard` file) against the floor on the same
    column-major bytes, measured in turns (floor, writer, floor, writer, ...) so that both see the
    same load; medians of the turns, and the median of the per-turn ratios."""
    half = cube.shape[0] // 2
    arrays = {
        "int16 band-last": cube,
        "float32 band-last": (cube[:half, :half].transpose(2, 0, 1) / 10000).astype(np.float32)
        .transpose(1, 2, 0),
    }
    print(f"\nthe writer against the floor (libdeflate 2 alone, {BLOCK >> 10} KiB blocks, {os.cpu_count()} threads), "
          f"{repeats} turns each")
    print(f"{'array':<34} {'MiB':>6} {'floor s':>8} {'writer s':>9} {'ratio':>6}")
    for name, array in arrays.items():
        data = np.asfortranarray(array).tobytes(order="F")
        floors, writes = [], []
        for _ in range(repeats):
            floors.append(deflate_floor(data))
            start = time.perf_counter()
            convert._write_mat(Discard(), "x", array)
            writes.append(time.perf_counter() - start)
        ratio = np.median(np.array(writes) / np.array(floors))
        print(f"{name:<34} {len(data) / MB:>6.0f} {np.median(floors):>8.2f} {np.median(writes):>9.2f} {ratio:>5.2f}x")


def walk_streams(path, size, bands):
    """Each array's blocks as the writer compresses them (libdeflate level 2 streams of BLOCK
    bytes), but for the last, which the writer leaves finished; read from `path` when it exists."""
    if path is not None and path.exists():
        return pickle.loads(path.read_bytes())
    import deflate
    cube = scene(size, bands)[0]
    half = size // 2
    arrays = {
        "int16 band-last": cube,
        "float32 band-last": (cube[:half, :half].transpose(2, 0, 1) / 10000).astype(np.float32).transpose(1, 2, 0),
    }
    streams = {}
    for name, array in arrays.items():
        data = np.asfortranarray(array).tobytes(order="F")
        streams[name] = [bytes(deflate.deflate_compress(data[o:o + BLOCK], 2)) for o in range(0, len(data), BLOCK)][:-1]
    if path is not None:
        path.write_bytes(pickle.dumps(streams))
    return streams


def walks(streams, turns):
    """The walk that makes each block's stream one that continues, as the writer's jobs walk
    them (two at a time, as streams a compressor wrote whole), against one stream at a time;
    in turns, medians of the turns and of the per-turn ratios."""
    print(f"the join's walk over {BLOCK >> 10} KiB blocks, one thread, {turns} turns each")
    print(f"{'array':<20} {'blocks':>6} {'MiB':>6} {'pairs s':>8} {'single s':>9} {'pairs/single':>12}")
    for name, blocks in streams.items():
        pairs, singles = [], []
        by_two = [blocks[i:i + 2] for i in range(0, len(blocks), 2)]  # a job's blocks, with nothing to copy beyond
        for _ in range(turns):
            start = time.perf_counter()
            for two in by_two:
                convert._continue_deflate(two, whole=True)
            pairs.append(time.perf_counter() - start)
            start = time.perf_counter()
            for block in blocks:
                convert._continue_deflate([block], whole=True)
            singles.append(time.perf_counter() - start)
        ratio = np.median(np.array(pairs) / np.array(singles))
        print(f"{name:<20} {len(blocks):>6} {sum(map(len, blocks)) / MB:>6.1f} {np.median(pairs):>8.3f} "
              f"{np.median(singles):>9.3f} {ratio:>11.3f}x")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=1024, help="height and width of the scene")
    parser.add_argument("--bands", type=int, default=128)
    parser.add_argument("--sample-mb", type=int, default=64, help="MiB of the scene for the deflate table")
    parser.add_argument("--skip-literal", action="store_true", help="time the native path only")
    parser.add_argument("--floor-only", action="store_true", help="only the writer against the floor")
    parser.add_argument("--turns", type=int, default=5, help="turns of the writer against the floor, or of the walk")
    parser.add_argument("--walk", action="store_true", help="only the join's walk over the writer's blocks")
    parser.add_argument("--walk-streams", type=Path, help="with --walk: file keeping the blocks between runs")
    args = parser.parse_args()
    if args.walk:
        walks(walk_streams(args.walk_streams, args.size, args.bands), args.turns)
        return
    with tempfile.TemporaryDirectory(dir=os.environ.get("NIVRA_BENCH_DIR")) as tmp:
        folder = Path(tmp)
        if args.floor_only:
            writer_against_floor(scene(args.size, args.bands)[0], args.turns)
            return
        cube = write_inputs(folder, args.size, args.bands)
        n, b, h = args.size, args.bands, args.size // 2
        print(f"{os.cpu_count()} cores; whole conversions, data.mat + gt.mat")
        conversions(folder, [
            (f"ENVI {n}x{n}x{b} int16 + labels", ["--img", folder / "scene.hdr", "--gt", folder / "labels.png"]),
            (f"GeoTIFF tiled {n}x{n}x{b} int16", ["--img", folder / "scene.tif", "--gt", folder / "labels.png"]),
            (f"HDF5 {b}x{h}x{h} float32 band-first", ["--img", f"{folder / 'scene.h5'}:/reflectance"]),
        ], args.skip_literal)
        tiff_reads(folder, cube)
        candidates_table(cube, args.sample_mb)
        mat73_conversions(folder, n, b)
        writer_against_floor(cube, args.turns)


if __name__ == "__main__":
    main()
