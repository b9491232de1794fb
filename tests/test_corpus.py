"""Real third-party files through `convert_to_mat` end to end: what lands in
data.mat, gt.mat and metadata.json, and which files fail with whose error."""

import json
import warnings

import h5py
import numpy as np
import pytest
import scipy.io as sio
import spectral.io.envi as envi


@pytest.fixture
def convert_files(run_main, corpus, tmp_path, capsys):
    """Converts corpus files; returns (data, gt or None, metadata record, printed text)."""

    def run(img, gt=None):
        out = tmp_path / "out"
        options = ["--img", f"{corpus}/{img}", "--out-dir", out]
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            run_main(*options, *(["--gt", f"{corpus}/{gt}"] if gt else []))
        data = sio.loadmat(out / "data.mat")["data"]
        labels = sio.loadmat(out / "gt.mat")["gt"] if gt else None
        record = json.loads((out / "metadata.json").read_text())
        return data, labels, record, capsys.readouterr().out

    return run


@pytest.mark.parametrize("img, shape, dtype, low, high", [
    ("envi/enmapbox/cubus_gamsberg_subset.hdr", (25, 10, 189), "float32", 0, 5837),
    ("envi/qps/envi.hdr", (7, 10, 177), "int16", 260, 2763),
    ("envi/qps/envi_wl_fwhm.hdr", (2, 5, 2), "int32", 0, 19),
    ("envi/hylite/Radiometric_8x2_1x1.hdr", (1, 384, 363), "float32", 0.00209, 6.145),
    ("envi/isofit-tutorials/20250308_AV3Cal_wltest/AV320250308t200738_obs.img", (1, 1, 11), "float64",
     0.2646, 1687),
    ("envi/snap/CSV_export_test.data/sr_10_mean.img", (5, 5, 1), "float32", 0.3026, 0.3291),
    ("envi/snap/subset_0_of_MER_FR__1PNEPA20060730_093924_000000982049_00480_23079_0746.data/radiance_1.img",
     (61, 76, 1), "uint16", 6272, 29790),
])
def test_envi_images(convert_files, img, shape, dtype, low, high):
    data, _, record, printed = convert_files(img)
    assert data.shape == shape and str(data.dtype) == dtype      # big-endian files arrive native
    assert float(data.min()) == pytest.approx(low, rel=1e-3)
    assert float(data.max()) == pytest.approx(high, rel=1e-3)
    image = record["image"]
    assert image["_source_format"] == "ENVI" and image["_source_file"].endswith(".hdr")
    assert image["lines"] == str(shape[0]) and image["bands"] == str(shape[2])
    assert record["conversion"]["output_data_dtype"] == dtype
    assert "Format       : ENVI" in printed


def test_envi_wavelengths_reach_the_record_and_summary(convert_files):
    _, _, record, printed = convert_files("envi/isofit-tutorials/20250308_AV3Cal_wltest/AV320250308t200738_rdn.hdr")
    assert len(record["image"]["wavelength"]) == 284 and record["image"]["wavelength units"] == "Micrometers"
    assert "Wavelengths  : [0.38975, " in printed and "... (284 total)" in printed


@pytest.mark.parametrize("img, dataset, shape", [
    ("hdf5/enmapbox/Unevenly_spaced_time_series.nc", "LAI", (333, 61, 101)),
    ("hdf5/pyhdfeos/ZA.he5", "HDFEOS/ZAS/ZA1/Data Fields/Spectra", (40, 20, 15)),     # band-first
    ("hdf5/pyhdfeos/Grid.h5", "HDFEOS/GRIDS/UTMGrid/Data Fields/Vegetation", (280, 180)),
    ("hdf5/pyhdfeos/Grid.h5:/HDFEOS/GRIDS/PolarGrid/Data Fields/Pressure",
     "HDFEOS/GRIDS/PolarGrid/Data Fields/Pressure", (100, 100)),
    ("hdf5/rasterio/no_band.h5::/MyGroup/dset1", "/MyGroup/dset1", (3, 3)),
    ("hdf5/rioxarray/PLANET_SCOPE_3D.nc", "blue", (10, 10, 2)),
    ("hdf5/netcdf4-python/test_gold.nc", "BACKGROUND_COUNTS", (1, 1, 800)),
    ("hdf5/rioxarray/unicode.nc", "LST", (10, 10)),
])
def test_hdf5_images(convert_files, corpus, img, dataset, shape):
    data, _, record, _ = convert_files(img)
    file_part = img.split("::")[0].split(":/")[0]
    with h5py.File(corpus / file_part, "r") as f:
        stored = f[dataset][:]
        names = []
        f.visititems(lambda name, obj: names.append(name) if isinstance(obj, h5py.Dataset) else None)
    transposed = stored.ndim == 3 and stored.shape != shape
    if transposed:
        stored = np.transpose(stored, (1, 2, 0))
    np.testing.assert_array_equal(data, stored)
    image = record["image"]
    assert data.shape == shape and image["dataset_used"] == dataset
    assert list(image["available_datasets"]) == names
    assert ("_transposed" in image) == transposed
    assert image["_source_file"] == str(corpus / file_part)


def test_complex_images_are_converted(convert_files):
    data, _, record, printed = convert_files("tiff/rioxarray/cint16.tif")
    assert data.shape == (100, 100, 1) and record["conversion"]["output_data_dtype"] == "complex64"
    assert data.dtype.kind == "c" and "    Value range  : [-609-99j, 682+99j]\n" in printed


def test_committed_datatypes_are_walked_past(convert_files):
    data, _, record, _ = convert_files("hdf5/rosettasciio/sparc-hyperspectral.h5")
    available = record["image"]["available_datasets"]
    assert len(available) == 135 and "Acquisition0/PhysicalData/ImagingDirectionEnumeration" not in available
    assert available["Acquisition2/ImageData/Image"] == [128, 1, 1, 3, 2]
    assert record["image"]["dataset_used"] == "Preview/Image" and data.shape == (512, 512, 3)


WIDE = "tiff/rgdal/cea.tif"   # 514 x 515 pixels: room for labels of up to 16 values a pixel


@pytest.mark.parametrize("img, gt, gt_shape, gt_dtype, source", [
    ("tiff/enmapbox/images/enmap_potsdam_tile_64_0.tif", "gt/enmapbox/labels/enmap_potsdam_tile_64_0.tif",
     (32, 32), "float32", "GeoTIFF"),
    ("envi/isofit-tutorials/20231110_Prism_Multisurface/prm20231110t071521_rdn_two_px.hdr",
     "envi/isofit-tutorials/20231110_Prism_Multisurface/prm20231110t071521_surface_class.hdr",
     (2, 1), "float32", "ENVI"),                          # a one-pixel-wide pair stays aligned
    (WIDE, "gt/karena2/PaviaU_gt.mat", (610, 340), "uint8", "MAT"),
    ("envi/qps/envi.hdr", "gt/scipy/testmulti_7.4_GLNX86.mat", (3, 5), "uint8", "MAT"),
    ("envi/qps/envi.hdr", "gt/scipy/testhdf5_7.4_GLNX86.mat", (1, 9), "float64", "MAT"),   # version 7.3
    (WIDE, "gt/labelme/SegmentationClass/2011_000003.png", (338, 500), "uint8", "image"),
    (WIDE, "gt/OHID-1/result/indiana_decode_map.png", (870, 870, 4), "uint8", "image"),
    (WIDE, "gt/pillow/pal4rle.bmp", (64, 127), "uint8", "image"),
    (WIDE, "gt/OHID-1/labels/201912_1.tif", (512, 512), "uint8", "GeoTIFF"),
    ("envi/qps/envi.hdr", "envi/rgdal/test_envi_class.hdr", None, None, None),
])
def test_ground_truth_files(convert_files, corpus, img, gt, gt_shape, gt_dtype, source):
    if gt_shape is None:   # ENVI labels whose data file has an unusual suffix: the reader's error
        with pytest.raises(envi.EnviDataFileNotFoundError):
            convert_files(img, gt)
        return
    data, labels, record, printed = convert_files(img, gt)
    assert labels.shape == gt_shape and str(labels.dtype) == gt_dtype
    truth = record["ground_truth"]
    assert truth["_source_format"] == source
    assert record["conversion"]["output_gt_shape"] == list(gt_shape)
    assert ("_note" in truth) == (len(gt_shape) == 3)
    assert ("Spatial mismatch" in printed) == (gt_shape[:2] != data.shape[:2])
    assert "Per-class pixel counts:" in printed


def test_mat_label_variable_names(convert_files):
    records = [convert_files(WIDE, f"gt/{name}")[2]["ground_truth"]["mat_key"]
               for name in ("karena2/Indian_pines_gt.mat", "SSTN/Indian_pines_gt.mat",
                            "OHID-1/result/resultindia.mat")]
    assert records == ["hyperimg_gt", "indian_pines_gt", "matrix"]   # single, single, largest


@pytest.mark.parametrize("img, gt, error", [
    ("envi/plantcv/corn-kernel-hyperspectral.hdr", None, envi.MissingEnviHeaderParameter),
    ("envi/plantcv/darkReference_arcgis.hdr", None, envi.FileNotAnEnviHeader),
    ("envi/enmapbox/library_berlin.hdr", None, AttributeError),           # a spectral library
    ("hdf5/netcdf4-python/ubyte.nc", None, OSError),                      # netCDF-3, not HDF5
    ("hdf5/pyhdfeos/Grid219.hdf", None, OSError),                         # HDF4
    ("hdf5/h5py/vlen_string_dset.h5", None, ValueError),                  # 1-D: refused by main
    ("envi/qps/envi.hdr", "gt/scipy/corrupted_zlib_data.mat", ValueError),
])
def test_files_the_readers_refuse_leave_no_output(run_main, corpus, tmp_path, img, gt, error):
    with pytest.raises(error), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        run_main("--img", f"{corpus}/{img}", "--out-dir", tmp_path / "out",
                 *(["--gt", f"{corpus}/{gt}"] if gt else []))
    assert not (tmp_path / "out").exists()
