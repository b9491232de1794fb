"""The TIFF / GeoTIFF loader against files written by rasterio and real files."""

import os

import numpy as np
import pytest
import rasterio
import scipy.io
from rasterio.transform import from_origin

from nivra import convert


def write_tiff(path, array, crs=None, nodata=None, descriptions=None, tags=None, band_tags=None, **layout):
    bands, height, width = array.shape
    profile = dict(driver="GTiff", width=width, height=height, count=bands, dtype=array.dtype, **layout)
    if crs:
        profile.update(crs=crs, transform=from_origin(500000.0, 4000000.0, 10.0, 10.0))
    with rasterio.open(path, "w", nodata=nodata, **profile) as dst:
        dst.write(array)
        for band, text in enumerate(descriptions or [], start=1):
            if text is not None:
                dst.set_band_description(band, text)
        if tags:
            dst.update_tags(**tags)
        for band, values in (band_tags or {}).items():
            dst.update_tags(band, **values)
    return str(path)


def test_multiband_geotiff(tmp_path):
    array = np.arange(3 * 4 * 5, dtype=np.int16).reshape(3, 4, 5)
    path = write_tiff(tmp_path / "scene.tif", array, crs="EPSG:32633", nodata=-1,
                      descriptions=[None, "green", None], tags={"SENSOR": "x"},
                      band_tags={3: {"WAVELENGTH": "650"}})
    data, meta = convert._load_tiff(path)

    np.testing.assert_array_equal(data, np.transpose(array, (1, 2, 0)))
    assert list(meta) == ["driver", "dtype", "nodata", "width", "height", "count", "crs", "crs_wkt",
                          "transform", "bounds", "band_descriptions", "tags", "band_tags",
                          "_source_format", "_source_file"]
    assert (meta["driver"], meta["dtype"], meta["nodata"]) == ("GTiff", "int16", -1.0)
    assert (meta["width"], meta["height"], meta["count"]) == (5, 4, 3)
    assert meta["crs"] == "EPSG:32633" and "UTM zone 33N" in meta["crs_wkt"]
    assert meta["transform"] == [10.0, 0.0, 500000.0, 0.0, -10.0, 4000000.0]
    assert meta["bounds"] == {"left": 500000.0, "bottom": 3999960.0, "right": 500050.0, "top": 4000000.0}
    assert meta["band_descriptions"] == [None, "green", None]
    assert meta["tags"] == {"SENSOR": "x", "AREA_OR_POINT": "Area"}
    assert meta["band_tags"] == {"3": {"WAVELENGTH": "650"}}
    assert meta["_source_format"] == "GeoTIFF"
    assert meta["_source_file"] == path


def test_single_band_plain_tiff(tmp_path, monkeypatch):
    array = np.ones((1, 6, 7), dtype=np.float32)
    write_tiff(tmp_path / "plain.tif", array)
    monkeypatch.chdir(tmp_path)
    data, meta = convert._load_tiff("plain.tif")

    assert data.shape == (6, 7, 1)
    assert meta["count"] == 1 and meta["nodata"] is None
    assert "crs" not in meta and "crs_wkt" not in meta and "band_descriptions" not in meta
    assert "band_tags" not in meta
    assert meta["_source_format"] == "TIFF"
    assert meta["_source_file"] == os.path.join(str(tmp_path), "plain.tif")


def test_data_is_a_band_last_view(tmp_path):
    path = write_tiff(tmp_path / "v.tif", np.zeros((2, 3, 4), dtype=np.uint8))
    data, _ = convert._load_tiff(path)
    assert data.base is not None and not data.flags.c_contiguous


class TagMapping(dict):
    pass


def test_tags_are_plain_dict_copies(tmp_path, monkeypatch):
    path = write_tiff(tmp_path / "t.tif", np.zeros((2, 2, 2), dtype=np.uint8), tags={"SENSOR": "x"},
                      band_tags={2: {"WAVELENGTH": "650"}})
    library_tags = rasterio.io.DatasetReader.tags
    handed_out = []

    def tags(src, *args, **kwargs):
        handed_out.append(TagMapping(library_tags(src, *args, **kwargs)))
        return handed_out[-1]

    monkeypatch.setattr(rasterio.io.DatasetReader, "tags", tags)
    _, meta = convert._load_tiff(path)
    copies = [meta["tags"], meta["band_tags"]["2"]]
    assert [type(c) for c in copies] == [dict, dict]
    assert copies == [{"SENSOR": "x"}, {"WAVELENGTH": "650"}]
    assert not any(c is h for c in copies for h in handed_out)


def test_missing_file_error_passes_through(tmp_path):
    with pytest.raises(rasterio.errors.RasterioIOError):
        convert._load_tiff(str(tmp_path / "absent.tif"))


def test_loader_checks_its_dependency_first(monkeypatch, tmp_path):
    calls = []
    monkeypatch.setattr(convert, "_check_dep", lambda name: calls.append(name))
    path = write_tiff(tmp_path / "a.tif", np.zeros((1, 2, 2), dtype=np.uint8))
    convert._load_tiff(path)
    assert calls == ["rasterio"]


@pytest.mark.parametrize("name, shape, source_format", [
    ("enmapbox/images/enmap_potsdam_tile_64_0.tif", (32, 32, 224), "GeoTIFF"),
    ("rasterio/RGB.byte.tif", (718, 791, 3), "GeoTIFF"),
    ("rasterio/float_nan.tif", (2, 3, 1), "TIFF"),
    ("rasterio/rotated.tif", (15, 10, 1), "TIFF"),
    ("qps/hymap.tif", (58, 83, 3), "GeoTIFF"),
    ("node-gdal/sample_bigtiff.tif", (1, 100000, 1), "TIFF"),
])
def test_real_tiffs(corpus, name, shape, source_format):
    data, meta = convert._load_tiff(str(corpus / "tiff" / name))
    assert data.shape == shape
    assert meta["_source_format"] == source_format
    assert meta["count"] == shape[2] and len(meta["transform"]) == 6


def test_truncated_real_tiff_fails_with_the_library_error(corpus):
    with pytest.raises(rasterio.errors.RasterioIOError):
        convert._load_tiff(str(corpus / "tiff/rasterio/corrupt.tif"))


class MinimalDataset:
    """Only what the plain loader uses: no block shapes, windows or environment."""
    array, calls = np.arange(24, dtype=np.int16).reshape(4, 2, 3), []
    driver, dtypes, nodata, count, height, width, crs, transform = "GTiff", ("int16",), None, 4, 2, 3, None, None
    bounds, descriptions = rasterio.coords.BoundingBox(0.0, 2.0, 3.0, 0.0), (None,) * 4

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.calls.append("close")

    def read(self):
        return self.calls.append("read") or self.array

    def tags(self, band=None):
        return {}


@pytest.mark.parametrize("crop", [None, ("0", "1", "2", "2")])
def test_a_rebound_open_gets_one_whole_read(monkeypatch, tmp_path, run_main, capsys, crop):
    monkeypatch.setattr(MinimalDataset, "calls", [])
    monkeypatch.setattr(rasterio, "open", lambda path: MinimalDataset.calls.append("open") or MinimalDataset())
    run_main("--img", "x.tif", "--out-dir", tmp_path, *(["--crop", *crop] if crop else []))
    expected = MinimalDataset.array.transpose(1, 2, 0)[:, 1:] if crop else MinimalDataset.array.transpose(1, 2, 0)
    np.testing.assert_array_equal(scipy.io.loadmat(tmp_path / "data.mat")["data"], expected)
    assert MinimalDataset.calls == ["open", "read", "close"]


@pytest.mark.parametrize("configured", [{}, {"GDAL_NUM_THREADS": "1", "GTIFF_DIRECT_IO": "NO"}])
def test_tiles_decoded_on_all_cores_give_the_one_thread_array(tmp_path, monkeypatch, configured):
    array = np.random.default_rng(0).integers(-999, 999, (3, 70, 60), dtype=np.int16)
    path = write_tiff(tmp_path / "t.tif", array, tiled=True, blockxsize=16, blockysize=16, compress="deflate")
    for name, value in configured.items():
        monkeypatch.setenv(name, value)
    used, read = [], rasterio.io.DatasetReader.read
    monkeypatch.setattr(rasterio.io.DatasetReader, "read", lambda *args, **kwargs: used.append(tuple(
        rasterio.env.get_gdal_config(name, normalize=False) for name in ("GDAL_NUM_THREADS", "GTIFF_DIRECT_IO")))
        or read(*args, **kwargs))
    monkeypatch.setattr(convert, "_READ_BLOCK_BYTES", 1000)  # several blocks of several tiles
    np.testing.assert_array_equal(convert._load_tiff(path)[0], array.transpose(1, 2, 0))
    assert set(used) == {tuple(configured.values()) or (str(min(os.cpu_count(), 16)), "ON")} and len(used) > 1
