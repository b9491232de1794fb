"""The MAT 7.3 writer behind --mat-version 7.3: an HDF5 dataset behind
MATLAB's 512-byte user block, holding the array with its axes reversed, for
every element type, shape, memory layout and chunking; the attributes and
header as MATLAB writes them; one file for any thread count."""

import os
import re
import sys
import types

import deflate
import h5py
import mat73
import numpy as np
import pytest

from nivra import convert

CLASSES = {"?": "logical", "i1": "int8", "u1": "uint8", "i2": "int16", "u2": "uint16", "i4": "int32",
           "u4": "uint32", "i8": "int64", "u8": "uint64", "f4": "single", "f8": "double", "c8": "single",
           "c16": "double", "f2": "double"}
STORED = {"?": "u1", "f2": "f8"}


def sample(dtype, shape, seed=0):
    values = np.random.default_rng(seed).normal(0, 1000, (2,) + tuple(shape))
    return (values[0] + 1j * values[1] if np.dtype(dtype).kind == "c" else values[0]).astype(dtype)


def written(tmp_path, array, name="x", **options):
    path = str(tmp_path / "x.mat")
    convert._write_mat73(path, name, array, **options)
    return path


def stored(array):
    """What the dataset must hold: little-endian values, axes reversed."""
    a = np.asarray(array)
    return a.astype("u1" if a.dtype.kind == "b" else "<f8" if a.dtype.char == "e" else a.dtype.newbyteorder("<")).T


def read(path, name="x"):
    with h5py.File(path, "r") as f:
        values = f[name][()]
    return values["real"] + 1j * values["imag"] if values.dtype.names == ("real", "imag") else values


LAYOUTS = {
    "C": lambda a: a,
    "Fortran": np.asfortranarray,
    "reversed-strided": lambda a: a[::-2, ::3],
    "big-endian": lambda a: a.astype(a.dtype.newbyteorder(">")),
    "memmap-like": lambda a: a.view(np.memmap) if a.size else a,  # an ndarray subclass
}


@pytest.mark.parametrize("dtype", CLASSES)
@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("shape", [(1, 1), (2, 1), (1, 3), (3, 5), (9, 7, 4), (4, 1, 3, 2), (5, 6, 1), (1, 6, 3)])
@pytest.mark.parametrize("chunk_bytes", [16, 200, 1 << 20])  # one chunk, edge chunks, bands cut
def test_round_trip_through_h5py(tmp_path, dtype, layout, shape, chunk_bytes):
    array = LAYOUTS[layout](sample(dtype, shape))
    values, expected = read(written(tmp_path, array, chunk_bytes=chunk_bytes)), stored(array)
    assert values.dtype == expected.dtype
    np.testing.assert_array_equal(values, expected)


@pytest.mark.parametrize("dtype", ["i2", ">i2", "f4", ">f4"])
@pytest.mark.parametrize("band_first", [False, True])
@pytest.mark.parametrize("chunk_bytes", [5000, 1 << 20])
def test_cubes_of_odd_sizes_in_either_band_order(tmp_path, dtype, band_first, chunk_bytes):
    array = sample(dtype, (37, 45, 19))
    if band_first:
        array = np.ascontiguousarray(array.transpose(2, 0, 1)).transpose(1, 2, 0)
    np.testing.assert_array_equal(read(written(tmp_path, array, chunk_bytes=chunk_bytes)), stored(array))


def test_a_memory_mapped_envi_cube_is_written_in_place(tmp_path):
    cube = np.memmap(tmp_path / "cube.img", "<i2", "w+", shape=(40, 30, 7))  # rows, samples, bands (bip)
    cube[:] = sample("i2", cube.shape)
    bsq = np.memmap(tmp_path / "cube.img", "<i2", "r", shape=(7, 40, 30)).transpose(1, 2, 0)
    for array in (cube, bsq):
        values = read(written(tmp_path, array, chunk_bytes=1000))
        np.testing.assert_array_equal(values, np.asarray(array).T)


@pytest.mark.parametrize("dtype", CLASSES)
@pytest.mark.parametrize("shape", [(0, 4), (3, 0, 2), (0,)])
def test_an_empty_array_is_written_as_matlab_writes_it(tmp_path, dtype, shape):
    values = read(written(tmp_path, np.zeros(shape, dtype)))
    np.testing.assert_array_equal(values, np.array(shape if len(shape) > 1 else (1,) + shape, "<u8"))
    assert values.dtype == "<u8"


def attribute(dataset, name):
    """An attribute's type, space and raw bytes, as stored."""
    a = h5py.h5a.open(dataset.id, name.encode())
    return a.get_type(), a.get_space().get_simple_extent_type(), a


@pytest.mark.parametrize("dtype", CLASSES)
@pytest.mark.parametrize("empty", [False, True])
def test_attributes_as_matlab_writes_them(tmp_path, dtype, empty):
    with h5py.File(written(tmp_path, np.zeros((0, 3) if empty else (3, 4), dtype)), "r") as f:
        dataset = f["x"]
        names = CLASSES[dtype]
        kind, space, a = attribute(dataset, "MATLAB_class")
        assert isinstance(kind, h5py.h5t.TypeStringID) and not kind.is_variable_str()
        assert (kind.get_size(), kind.get_strpad(), kind.get_cset()) == (len(names), h5py.h5t.STR_NULLTERM,
                                                                        h5py.h5t.CSET_ASCII)
        assert space == h5py.h5s.SCALAR
        raw = np.zeros((), "S%d" % len(names))
        a.read(raw, mtype=kind)
        assert raw.item() == names.encode()
        extra = {k: (v, v.dtype.str, v.shape) for k, v in dataset.attrs.items() if k != "MATLAB_class"}
        expected = {}
        if dtype == "?":
            expected["MATLAB_int_decode"] = (1, "<i4", ())
        if empty:
            expected["MATLAB_empty"] = (1, "|u1", ())
        assert extra == expected
        if not empty:
            assert dataset.compression == "gzip" and dataset.chunks is not None
            if np.dtype(dtype).kind == "c":
                assert dataset.dtype.names == ("real", "imag")


def test_user_block_and_superblock(tmp_path):
    data = open(written(tmp_path, np.ones((3, 4))), "rb").read()
    text = data[:116].decode("ascii")
    assert re.fullmatch(r"MATLAB 7\.3 MAT-file, Platform: posix, Created on: "
                        r"\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4} HDF5 schema 1\.00 \. *", text)
    assert data[116:128] == b"\0" * 8 + b"\x00\x02IM"
    assert data[128:512] == b"\0" * 384
    assert data[512:521] == b"\x89HDF\r\n\x1a\n\x00"  # signature, superblock version 0


@pytest.mark.parametrize("values, shuffled", [
    (np.add.outer(np.arange(300), np.arange(200))[:, :, None] * np.arange(1, 9, dtype="i2"), True),  # smooth int16
    (np.arange(256 * 256 * 8, dtype="u1").reshape(256, 256, 8), False),  # single bytes: never
])
def test_shuffle_where_it_makes_the_file_smaller(tmp_path, values, shuffled):
    with h5py.File(written(tmp_path, values), "r") as f:
        assert f["x"].shuffle is shuffled


def test_chunks_hold_all_bands_of_a_spatial_tile(tmp_path):
    with h5py.File(written(tmp_path, np.zeros((1000, 900, 64), "i2")), "r") as f:
        assert f["x"].chunks == (64, 91, 90) and f["x"].shape == (64, 900, 1000)


def test_another_reader_sees_the_array(tmp_path):
    for array in (sample("f4", (6, 5, 3)), sample("i2", (4, 7)), sample("c16", (3, 2, 2)), sample("?", (5, 4))):
        back = mat73.loadmat(written(tmp_path, array))["x"]
        np.testing.assert_array_equal(back, array)


def test_the_same_file_for_any_thread_count(tmp_path):
    array = sample("i2", (130, 70, 9))
    files = set()
    for threads in (1, 2, 5):
        (tmp_path / str(threads)).mkdir()
        files.add(open(written(tmp_path / str(threads), array, chunk_bytes=4000, threads=threads), "rb").read()[116:])
    assert len(files) == 1


@pytest.mark.parametrize("package", ["libdeflate", "rebound zlib_compress", "zlib_compress", "no zlib_compress",
                                     "no deflate"])
def test_every_codec_writes_the_same_values(tmp_path, monkeypatch, package):
    calls, original = [], deflate.zlib_compress

    def spy(data, level):
        calls.append(level)
        return original(data, level)
    if package == "libdeflate":  # still the extension's own: its C function is called instead
        monkeypatch.setattr(deflate._deflate, "zlib_compress", spy)
        monkeypatch.setattr(deflate, "zlib_compress", spy)
    elif package == "rebound zlib_compress":
        monkeypatch.setattr(deflate, "zlib_compress", spy)
    else:
        fake = None if package == "no deflate" else types.SimpleNamespace(deflate_compress=deflate.deflate_compress)
        if package == "zlib_compress":
            fake.zlib_compress = spy
        monkeypatch.setitem(sys.modules, "deflate", fake)
    array = sample("i2", (50, 40, 6))
    np.testing.assert_array_equal(read(written(tmp_path, array, chunk_bytes=4000)), array.T)
    assert bool(calls) == ("zlib_compress" in package and "no" not in package)


def test_a_path_that_is_not_utf8(tmp_path):
    path = os.fsdecode(os.fsencode(tmp_path) + b"/\xff\xfe scene.mat")
    convert._write_mat73(path, "x", np.ones((2, 3)))
    assert read(path).shape == (3, 2)
