"""The native MAT writer behind data.mat and gt.mat: after inflating, its
matrix element is byte for byte the one savemat writes, for every element
type, shape, memory layout and variable name; its output depends on the
block size only, never on the thread count; `main` uses it only while
`sio.savemat` is SciPy's own function."""

import io
import re
import sys
import time
import types
import zlib

import deflate
import numpy as np
import pytest
import scipy.io
import scipy.io as sio
from hypothesis import given, settings
from hypothesis import strategies as st
from PIL import Image

from nivra import convert

from conftest import Stderr

TYPES = ["?", "i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8", "f4", "f8", "c8", "c16"]
HEADER = 128


def written(array, name="x", **options):
    """The bytes the native writer produces, which must accept the array."""
    f = io.BytesIO()
    assert convert._write_mat(f, name, array, **options) is True
    return f.getvalue()


def saved(array, name="x"):
    f = io.BytesIO()
    sio.savemat(f, {name: array}, do_compression=True)
    return f.getvalue()


def inflated_element(data):
    """The matrix element of a file holding one compressed variable."""
    tag = np.frombuffer(data[HEADER:HEADER + 8], "=u4")
    assert tag[0] == 15 and tag[1] == len(data) - HEADER - 8  # miCOMPRESSED, exactly the rest of the file
    return zlib.decompress(data[HEADER + 8:])  # checks the adler32 too


def assert_as_savemat(array, name="x", **options):
    ours, theirs = written(array, name, **options), saved(array, name)
    assert ours[:30] == theirs[:30] == b"MATLAB 5.0 MAT-file Platform: "
    assert ours[116:HEADER] == theirs[116:HEADER]  # subsystem offset, version, endian indicator
    assert inflated_element(ours) == inflated_element(theirs)
    back = sio.loadmat(io.BytesIO(ours))[name]
    expected = np.dtype("u1") if array.dtype == bool else array.dtype.newbyteorder("=")  # logical loads as uint8
    assert back.dtype == expected and np.array_equal(back, array)
    return ours


def sample(dtype, shape, seed=0):
    values = np.random.default_rng(seed).normal(0, 1000, (2,) + tuple(shape))
    return (values[0] + 1j * values[1] if np.dtype(dtype).kind == "c" else values[0]).astype(dtype)


# ---- the element savemat writes ------------------------------------------------------

LAYOUTS = {
    "C": lambda a: a,
    "Fortran": np.asfortranarray,
    "transposed": lambda a: a.T,
    "reversed-strided": lambda a: a[::-2, ::3],
    "big-endian": lambda a: a.astype(a.dtype.newbyteorder(">")),
}


@pytest.mark.parametrize("dtype", TYPES)
@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("shape", [(1, 1), (2, 1), (1, 3), (2, 2), (3, 5), (9, 7, 4), (4, 1, 3, 2), (0, 4), (3, 0, 2)])
def test_element_matches_savemat(dtype, layout, shape):
    assert_as_savemat(LAYOUTS[layout](sample(dtype, shape)))


@st.composite
def arrays(draw):
    """Arrays of every taken type, any axes (with 1 along any), any strides and byte order."""
    dtype = np.dtype(draw(st.sampled_from(TYPES)))
    if dtype.itemsize > 1 and draw(st.booleans()):
        dtype = dtype.newbyteorder(">")
    shape = draw(st.lists(st.integers(1, 7), min_size=2, max_size=4))
    steps = draw(st.lists(st.sampled_from([1, 2, -1, -3]), min_size=len(shape), max_size=len(shape)))
    base = sample(dtype, [n * abs(s) for n, s in zip(shape, steps)], draw(st.integers(0, 9)))
    if draw(st.booleans()):
        base = np.asfortranarray(base)
    view = base[tuple(slice(None, None, s) for s in steps)]
    return view.transpose(draw(st.permutations(range(view.ndim))))


NAMES = st.text(st.characters(max_codepoint=255), min_size=1, max_size=40).filter(lambda s: s[0] != "_")


@settings(max_examples=300, deadline=None)
@given(array=arrays(), name=NAMES, block=st.integers(1, 40).map(lambda n: 8 * n), threads=st.integers(1, 4))
def test_any_array_and_name_match_savemat(array, name, block, threads):
    assert_as_savemat(array, name, block_size=block, threads=threads)


# ---- blocks and threads ----------------------------------------------------------------

@pytest.mark.parametrize("array", [
    sample("i2", (64, 48, 40)),                                           # band-last, read in tiles
    np.ascontiguousarray(sample("f4", (40, 64, 48))).transpose(1, 2, 0),  # band-first, moved to band-last
    sample(">c8", (33, 70, 9))[:, ::2],                                   # two parts, swapped, strided
], ids=["band-last", "band-first", "complex-swapped"])
def test_output_depends_on_the_block_size_only(array):
    block = 4096
    # past the header, whose text carries the time of writing
    files = {threads: written(array, block_size=block, threads=threads) for threads in (1, 2, 3, 8)}
    assert len({data[HEADER:] for data in files.values()}) == 1
    data = files[1]
    assert inflated_element(data) == inflated_element(saved(array))
    assert data[HEADER + 8:HEADER + 10] == b"\x78\x5e"  # one zlib header ...
    assert len(data) - HEADER > 10 * block // 4           # ... over many blocks
    assert written(array, block_size=2 * block)[HEADER:] != data[HEADER:]


CUBES = {  # odd sizes: whole transposed blocks, then edges, cut mid-plane by the small blocks
    "band-last": lambda a: a,
    "band-last, rows and columns reversed": lambda a: a[::-1, ::-1],
    "band-first, moved to band-last": lambda a: np.ascontiguousarray(a.transpose(2, 0, 1)).transpose(1, 2, 0),
    "band-first, rows reversed": lambda a: np.ascontiguousarray(a.transpose(2, 0, 1)).transpose(1, 2, 0)[::-1],
}


@pytest.mark.parametrize("dtype", ["i2", ">i2", "f4", ">f4", "u1", ">f8"])
@pytest.mark.parametrize("layout", CUBES)
@pytest.mark.parametrize("block", [8 * 131, 1 << 20])
def test_transposed_cubes_match_savemat(dtype, layout, block):
    assert_as_savemat(CUBES[layout](sample(dtype, (37, 45, 19))), block_size=block, threads=2)


def fake_deflate(monkeypatch, compress):
    """Puts `compress(data, level)` in place of libdeflate's raw deflate."""
    monkeypatch.setitem(sys.modules, "deflate", types.SimpleNamespace(deflate_compress=compress))


def test_a_failing_compressor_stops_every_worker(monkeypatch):
    calls = []

    def compress(data, level):
        calls.append(len(data))
        if len(calls) == 5:
            raise KeyError("compressor broke")
        return deflate.deflate_compress(data, level)

    fake_deflate(monkeypatch, compress)
    with pytest.raises(KeyError, match="compressor broke"):
        written(sample("f8", (64, 64, 8)), block_size=1024, threads=3)
    assert len(calls) < 64 * 64 * 8 * 8 // 1024  # stopped early


@pytest.mark.parametrize("jobs, threads, ahead", [(40, 1, 1), (40, 2, 2), (40, 2, 5), (40, 4, 6)])
def test_workers_compress_no_further_ahead_of_the_sink_than_the_bound(jobs, threads, ahead):
    compressed, written_jobs, compressed_before_first_write = [], [], []

    def sink(job):
        if not written_jobs:
            time.sleep(0.2)  # the workers run on meanwhile, as far as they may
            compressed_before_first_write.append(len(compressed))
        written_jobs.append(job)

    convert._run_in_order(jobs, threads, ahead, compressed.append, sink)
    assert written_jobs == sorted(compressed) == list(range(jobs))
    # while job 0 is written, jobs 1 to `ahead` may be compressed beyond it, no more
    assert compressed_before_first_write[0] <= 1 + ahead


@pytest.mark.parametrize("content", [
    np.random.default_rng(0).integers(0, 256, (600, 500), dtype=np.uint8),  # incompressible: stored blocks
    np.tile(np.arange(7, dtype=np.int16), (90, 100)),                      # short repeats: fixed codes
    sample("i2", (60, 50, 7)),                                             # dynamic codes
], ids=["stored", "fixed", "dynamic"])
def test_finished_streams_join_whatever_their_blocks(content):
    # small blocks end their streams at every bit of a byte, in every kind of deflate block
    for block in (8, 64, 200, 1000, 4096, 1 << 17):
        assert_as_savemat(content, block_size=block, threads=2)


@pytest.mark.parametrize("stream", [
    b"\x07",                  # block type 3
    b"\x05\xff",              # dynamic header cut short
    b"\x01\x03\x00\xfc\xffab",  # stored block missing a byte
    b"\x03\x00\x00",          # an empty fixed block, then a byte too many
    b"\x05\xe0\x93$I\x92$I\x92\x00",  # 19 code-length codes of one bit
], ids=["bad-type", "cut-header", "cut-stored", "trailing", "over-subscribed"])
def test_a_malformed_compressed_block_is_an_error_not_a_crash(monkeypatch, stream):
    fake_deflate(monkeypatch, lambda data, level: stream)
    with pytest.raises(RuntimeError, match="^malformed deflate stream: "):
        written(sample("u1", (64, 64)), block_size=1024, threads=2)
    assert walked(stream, careful=False) == walked(stream, careful=True)


def raw_deflate(data, level, strategy=zlib.Z_DEFAULT_STRATEGY):
    c = zlib.compressobj(level, zlib.DEFLATED, -15, 9, strategy)
    return c.compress(data) + c.flush()


STREAM_CONTENTS = {
    "random": np.random.default_rng(1).integers(0, 256, 300_000, dtype=np.uint8).tobytes(),
    "int16": np.asfortranarray(sample("i2", (60, 50, 40))).tobytes(order="F"),
    "float32": np.asfortranarray(sample("f4", (30, 40, 50)) / 7).tobytes(order="F"),
    "repeats": np.tile(np.arange(7, dtype=np.int16), 40_000).tobytes(),
}
COMPRESSORS = {
    "libdeflate-1": lambda data: bytes(deflate.deflate_compress(data, 1)),
    "libdeflate-2": lambda data: bytes(deflate.deflate_compress(data, 2)),
    "libdeflate-9": lambda data: bytes(deflate.deflate_compress(data, 9)),
    "zlib-stored": lambda data: raw_deflate(data, 0),
    "zlib-fixed": lambda data: raw_deflate(data, 6, zlib.Z_FIXED),
    "zlib-huffman": lambda data: raw_deflate(data, 6, zlib.Z_HUFFMAN_ONLY),
}


@pytest.mark.parametrize("content", STREAM_CONTENTS)
@pytest.mark.parametrize("compressor", COMPRESSORS)
def test_the_fast_walk_continues_streams_as_the_careful_one(content, compressor):
    data = STREAM_CONTENTS[content]
    streams, careful = [], []
    for size in (8, 64, 200, 1000, 4096, 1 << 17, len(data)):
        piece = data[:size]
        stream = COMPRESSORS[compressor](piece)
        joined = convert._continue_deflate(stream)
        assert joined == convert._continue_deflate(stream, careful=True)
        assert zlib.decompress(joined + joined + b"\x03\x00", -15) == piece + piece  # ends with a final empty block
        streams.append(stream)
        careful.append(joined)
    # walked two at a time, streams of every size beside each other; and as whole streams
    assert convert._continue_deflate(streams) == careful
    assert convert._continue_deflate(streams[::-1]) == careful[::-1]
    assert convert._continue_deflate(streams, whole=True) == careful


def walked(stream, careful):
    try:
        return convert._continue_deflate(stream, careful=careful)
    except RuntimeError as error:
        assert str(error).startswith("malformed deflate stream: ")
        return str(error)


@settings(max_examples=300, deadline=None)
@given(content=st.sampled_from(sorted(STREAM_CONTENTS)), size=st.integers(1, 20_000), data=st.data())
def test_damaged_streams_walk_alike_and_never_crash(content, size, data):
    stream = bytearray(deflate.deflate_compress(STREAM_CONTENTS[content][:size], 2))
    for _ in range(data.draw(st.integers(1, 4))):
        stream[data.draw(st.integers(0, len(stream) - 1))] ^= 1 << data.draw(st.integers(0, 7))
    cut = data.draw(st.integers(0, len(stream)))
    damaged = bytes(stream[:cut])
    alone = walked(damaged, careful=False)
    assert alone == walked(damaged, careful=True)
    sound = bytes(deflate.deflate_compress(STREAM_CONTENTS[content][-size:], 2))
    assert convert._continue_deflate([sound], whole=True) == [walked(sound, careful=True)]
    if isinstance(alone, bytes):  # beside a sound stream, on either side
        assert walked([damaged, sound], careful=False) == [alone, walked(sound, careful=True)]
        assert walked([sound, damaged], careful=False) == [walked(sound, careful=True), alone]
    else:
        assert walked([damaged, sound], careful=False) == walked([sound, damaged], careful=False) == alone


@pytest.mark.skipif(sys.platform == "win32", reason="only non-Windows builds export libdeflate")
def test_libdeflate_is_called_directly_only_while_the_package_function_is_its_own(monkeypatch):
    array = sample("i2", (64, 48, 40))
    direct = written(array, block_size=4096)

    def broken(data, level):
        raise KeyError("called through Python")

    monkeypatch.setattr(deflate._deflate, "deflate_compress", broken)
    monkeypatch.setattr(deflate, "deflate_compress", broken)
    assert written(array, block_size=4096)[HEADER:] == direct[HEADER:]  # the C function, as before
    monkeypatch.undo()
    monkeypatch.setattr(deflate, "deflate_compress", broken)  # rebound: called
    with pytest.raises(KeyError, match="through Python"):
        written(array, block_size=4096)


def test_libdeflate_through_the_package_writes_the_same_bytes(monkeypatch):
    array = sample("f4", (40, 64, 48))
    direct = written(array, block_size=4096)
    fake_deflate(monkeypatch, deflate.deflate_compress)
    assert written(array, block_size=4096)[HEADER:] == direct[HEADER:]


def test_without_deflate_the_standard_zlib_module_compresses(monkeypatch):
    monkeypatch.setitem(sys.modules, "deflate", None)  # import fails
    array = sample("u2", (50, 40, 3))
    assert assert_as_savemat(array, block_size=2048, threads=2)[HEADER + 8:HEADER + 10] == b"\x78\x9c"
    assert written(array)[HEADER:] == saved(array)[HEADER:]  # one block: zlib's own level-6 stream


# ---- what goes to savemat, and what it refuses ---------------------------------------------

@pytest.mark.parametrize("array, name", [
    (np.zeros((2, 2), np.float16), "x"),
    (np.zeros((2, 2), np.longdouble), "x"),
    (np.array([["a", "b"]]), "x"),
    (np.zeros((2, 2), dtype=object), "x"),
    (np.zeros((2, 2), dtype=[("a", "i4")]), "x"),
    (np.zeros(3), "x"),                      # one axis: savemat's row vector
    (np.array(1.0), "x"),
    (np.zeros((2, 2)).view(type("Sub", (np.ndarray,), {})), "x"),
    ([[1, 2]], "x"),
    (np.zeros((2, 2)), "_x"),                # savemat skips it
    (np.zeros((2, 2)), "\u03b3"),            # not Latin-1
    (np.zeros((2, 2)), ""),
], ids=["float16", "longdouble", "str", "object", "struct", "1-d", "0-d", "subclass", "list", "underscore", "greek",
        "empty-name"])
def test_anything_else_is_left_to_savemat(array, name):
    f = io.BytesIO()
    assert convert._write_mat(f, name, array) is False
    assert f.getvalue() == b""


@pytest.mark.parametrize("array", [
    np.broadcast_to(np.uint8(1), (1 << 16, 1 << 16)),           # 4 GiB in one part
    np.broadcast_to(np.complex64(1), (1 << 15, 1 << 14)),       # 2 GiB in each of two
    np.broadcast_to(np.int8(1), (8, (1 << 29) - 1)),            # 8 bytes short: the tags push it over
], ids=["one-part", "two-parts", "with-tags"])
def test_matrices_of_4_gib_are_refused_as_savemat_refuses_them(array):
    f = io.BytesIO()
    with pytest.raises(scipy.io.matlab.MatWriteError, match="^Matrix too large to save with Matlab 5 format$"):
        convert._write_mat(f, "x", array)
    assert f.getvalue() == b""


@pytest.mark.parametrize("options, error", [
    ({"block_size": 12}, ValueError), ({"block_size": 0}, ValueError), ({"threads": -1}, ValueError),
    ({"block_size": "8"}, TypeError),
])
def test_hook_options_are_checked(options, error):
    with pytest.raises(error):
        convert._write_mat(io.BytesIO(), "x", np.zeros((2, 2)), **options)


# ---- progress on a terminal ----------------------------------------------------------------

@pytest.mark.parametrize("terminal", [True, False])
def test_progress_line_only_on_a_terminal_and_erased(monkeypatch, terminal):
    def slow(data, level):  # about 1.5 s for the whole write
        time.sleep(0.05)
        return deflate.deflate_compress(data, level)

    fake_deflate(monkeypatch, slow)
    stderr = Stderr(terminal)
    monkeypatch.setattr(sys, "stderr", stderr)
    array = sample("u1", (256, 240))
    written(array, block_size=2048, threads=1)
    shown = stderr.getvalue()
    if not terminal:
        assert shown == ""
        return
    lines = shown.split("\r")
    assert lines[0] == "" and lines[-1] == ""
    assert lines[1].startswith("  mat: ") and " / 0.1 MB  (" in lines[1] and lines[1].rstrip().endswith(" MB/s)")
    assert lines[-2].strip() == ""  # the last line written blanks what was shown


# ---- through main ---------------------------------------------------------------------------

def plain_savemat(calls, original=scipy.io.savemat):
    def savemat(*args, **kwargs):
        calls.append(kwargs)
        return original(*args, **kwargs)
    return savemat


@pytest.fixture
def scene(tmp_path):
    image = tmp_path / "cube.img"
    sample("<i2", (3, 20, 30)).tofile(image)  # band-sequential
    (tmp_path / "cube.hdr").write_text("ENVI\nsamples = 30\nlines = 20\nbands = 3\nheader offset = 0\n"
                                       "data type = 2\ninterleave = bsq\nbyte order = 0\n")
    Image.fromarray((np.arange(600) % 5).astype(np.uint8).reshape(20, 30)).save(tmp_path / "labels.png")
    return tmp_path


def converted(run_main, capsys, scene, out):
    run_main("--img", scene / "cube.hdr", "--gt", scene / "labels.png", "--out-dir", scene / out,
             "--data-key", "cube", "--gt-key", "labels")
    printed = capsys.readouterr().out.replace(str(scene / out), "OUT")
    return re.sub(r"Elapsed: [0-9.]+s", "Elapsed: T", printed)


@pytest.mark.parametrize("rebind", ["sio.savemat", "sio", "scipy.io.savemat"])
def test_main_prints_the_same_and_calls_what_is_bound(monkeypatch, run_main, capsys, scene, rebind):
    fast = converted(run_main, capsys, scene, "fast")
    calls = []
    if rebind == "sio":
        monkeypatch.setattr(convert, "sio", types.SimpleNamespace(savemat=plain_savemat(calls)))
    elif rebind == "sio.savemat":
        monkeypatch.setattr(convert, "sio", types.SimpleNamespace(**vars(scipy.io)))
        monkeypatch.setattr(convert.sio, "savemat", plain_savemat(calls))
    else:
        monkeypatch.setattr(scipy.io, "savemat", plain_savemat(calls))
    literal = converted(run_main, capsys, scene, "literal")
    assert calls == [{"do_compression": True}] * 2
    assert fast == literal
    for name, key in [("data.mat", "cube"), ("gt.mat", "labels")]:
        ours, theirs = (scene / "fast" / name).read_bytes(), (scene / "literal" / name).read_bytes()
        assert inflated_element(ours) == inflated_element(theirs)
        assert np.array_equal(sio.loadmat(scene / "fast" / name)[key], sio.loadmat(scene / "literal" / name)[key])
