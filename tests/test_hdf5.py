"""The HDF5 loader and _json_safe against files written by h5py."""

import h5py
import numpy as np
import pytest

from nivra import convert


def write_h5(path, datasets=(), groups=(), attrs=None, **extra):
    """datasets: (name, array) pairs in creation order; extra: h5py objects by name."""
    with h5py.File(path, "w") as f:
        for name in groups:
            f.create_group(name)
        for name, array in datasets:
            f[name] = array
        for name, value in extra.items():
            f[name] = value
        f.attrs.update(attrs or {})
    return str(path)


@pytest.fixture
def scene(tmp_path):
    return write_h5(tmp_path / "scene.h5", [("cube", np.arange(24).reshape(2, 3, 4)),
                                            ("grp/cube", np.ones((4, 5))),
                                            ("grp/sub/cube", np.zeros((2, 2)))])


@pytest.mark.parametrize("suffix, key", [
    ("", "cube"),                           # largest dataset
    (":/cube", "cube"),
    (":/grp/sub/cube", "grp/sub/cube"),     # only the last ":/" splits
    ("::grp/cube", "grp/cube"),
    ("::/grp/cube", "/grp/cube"),           # "::" first; the leading slash stays in the key
])
def test_dataset_specifier(scene, suffix, key):
    data, meta = convert._load_hdf5(scene + suffix)
    assert meta["dataset_used"] == key
    with h5py.File(scene, "r") as f:
        expected = f[key][:]
    if expected.ndim == 3:
        expected = np.transpose(expected, (1, 2, 0))
    np.testing.assert_array_equal(data, expected)
    assert meta["_source_file"] == scene
    assert meta["available_datasets"] == {"cube": [2, 3, 4], "grp/cube": [4, 5],
                                          "grp/sub/cube": [2, 2]}


def test_url_like_and_doubled_separators(tmp_path):
    odd = tmp_path / "a:" / "b::c.h5"            # a path holding "://" and "::" itself
    odd.parent.mkdir()
    write_h5(odd, [("x", np.ones((2, 2))), ("y", np.zeros((3, 3)))])
    url_like = str(tmp_path / "a:") + "//b::c.h5"
    assert convert._load_hdf5(url_like + "::x")[1]["dataset_used"] == "x"
    with pytest.raises(FileNotFoundError):       # no ":/" split; "::" splits off "c.h5"
        convert._load_hdf5(url_like)


@pytest.mark.parametrize("datasets, chosen", [
    ([("first", np.zeros((10, 10))), ("second", np.zeros((5, 20)))], "first"),     # tie: walk order
    ([("b", np.zeros((5, 20))), ("a", np.zeros((10, 10)))], "a"),                   # walk is by name
    ([("a", np.zeros((2, 2))), ("g/deep", np.zeros((3, 3))), ("z", np.zeros(8))], "g/deep"),
])
def test_largest_dataset_is_chosen(tmp_path, datasets, chosen):
    assert convert._load_hdf5(write_h5(tmp_path / "f.h5", datasets))[1]["dataset_used"] == chosen


def test_scalar_counts_one_element_and_its_read_error_passes_through(tmp_path):
    with pytest.raises(ValueError, match="scalar"):
        convert._load_hdf5(write_h5(tmp_path / "s.h5", [("empty", np.zeros(0)), ("s", np.float64(3.0))]))


def test_only_datasets_are_recorded(tmp_path):
    path = write_h5(tmp_path / "t.h5", [("g/data", np.ones((2, 3)))], groups=["empty"],
                    kind=np.dtype("f4"), nothing=h5py.Empty("f4"))
    data, meta = convert._load_hdf5(path)
    assert meta["available_datasets"] == {"g/data": [2, 3], "nothing": None}
    assert meta["dataset_used"] == "g/data" and data.shape == (2, 3)


def test_huge_sparse_dataset_is_not_ranked_as_small(tmp_path):
    path = str(tmp_path / "h.h5")
    with h5py.File(path, "w") as f:
        f["small"] = np.zeros((3, 3))
        f.create_dataset("vast", shape=(2 ** 32, 2 ** 32), chunks=(1, 1), dtype="u1")
    with pytest.raises(ValueError, match="too big"):   # it is chosen, then cannot be read
        convert._load_hdf5(path)


@pytest.mark.parametrize("shape, out_shape", [
    ((30, 145, 145), (145, 145, 30)), ((3, 4, 5), (4, 5, 3)),
    ((200, 145, 145), None), ((145, 145, 200), None), ((145, 200, 145), None), ((4, 4, 4), None),
    ((2, 3), None), ((2, 3, 4, 5), None),                     # None: left in the file's order
])
def test_band_first_cubes_become_band_last(tmp_path, shape, out_shape):
    array = np.arange(np.prod(shape), dtype=np.int16).reshape(shape)
    data, meta = convert._load_hdf5(write_h5(tmp_path / "c.h5", [("c", array)]))
    np.testing.assert_array_equal(data, np.transpose(array, (1, 2, 0)) if out_shape else array)
    assert data.shape == (out_shape or shape) and data.dtype == np.int16
    assert meta.get("_transposed") == ("CHW → HWC" if out_shape else None)
    assert "dataset_attrs" not in meta and "file_attrs" not in meta
    assert list(meta)[-2:] == ["_source_format", "_source_file"] and meta["_source_format"] == "HDF5"


def test_attributes_are_made_json_safe(tmp_path):
    path = str(tmp_path / "a.h5")
    with h5py.File(path, "w") as f:
        ds = f.create_dataset("d", data=np.zeros((2, 2)))
        ds.attrs.update({"i": np.int64(7), "raw": np.bytes_(b"caf\xc3\xa9"), "bad": np.bytes_(b"\xff"),
                         "names": np.array([b"a", b"b"]), "flag": np.bool_(True)})
        f.attrs["title"] = "scene"
    meta = convert._load_hdf5(path)[1]
    attrs = meta["dataset_attrs"]
    assert list(meta) == ["available_datasets", "dataset_used", "dataset_attrs", "file_attrs",
                          "_source_format", "_source_file"]
    assert attrs == {"i": 7, "raw": "café", "bad": "\ufffd", "names": [b"a", b"b"], "flag": True}
    assert type(attrs["i"]) is int and attrs["flag"] is np.True_
    assert meta["file_attrs"] == {"title": "scene"}


@pytest.mark.parametrize("suffix, error, message", [
    ("", ValueError, "No datasets found in {path}"),
    ("::missing", KeyError, "Dataset 'missing' not found in {path}.\nAvailable datasets: []"),
])
def test_file_without_datasets(tmp_path, suffix, error, message):
    path = write_h5(tmp_path / "groups.h5", groups=["a", "b/c"])
    with pytest.raises(error) as info:
        convert._load_hdf5(path + suffix)
    assert info.value.args == (message.format(path=path),)


def test_missing_key_lists_datasets_and_closes_the_file(scene):
    with pytest.raises(KeyError) as info:
        convert._load_hdf5(scene + ":/nope")
    assert info.value.args[0] == (f"Dataset 'nope' not found in {scene}.\n"
                                  "Available datasets: ['cube', 'grp/cube', 'grp/sub/cube']")
    h5py.File(scene, "w").close()   # truncating fails while the file is still open


def test_dependency_checked_on_every_call_and_path_must_be_str(scene, monkeypatch):
    calls = []
    monkeypatch.setattr(convert, "_check_dep", calls.append)
    convert._load_hdf5(scene), convert._load_hdf5(scene)
    assert calls == ["h5py", "h5py"]
    with pytest.raises(TypeError, match="_load_hdf5"):
        convert._load_hdf5(None)


@pytest.mark.parametrize("value, expected", [
    (np.int64(2 ** 62), 2 ** 62), (np.uint8(255), 255), (np.float32(0.1), float(np.float32(0.1))),
    (np.array([[1, 2], [3, 4]], np.int32), [[1, 2], [3, 4]]), (np.array(5.5), 5.5),
    (b"\xff", "\ufffd"), (np.bytes_(b"abc"), "abc"), ("text", "text"),
])
def test_json_safe_conversions(value, expected):
    result = convert._json_safe(value)
    assert result == expected and type(result) is type(expected)


@pytest.mark.parametrize("value", [np.bool_(False), None, 3, 2.5, True, [np.int64(1)], (b"x",),
                                   {"k": np.int64(1)}])
def test_json_safe_leaves_other_values_alone(value):
    assert convert._json_safe(val=value) is value
