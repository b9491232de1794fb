"""Writes the small sample scene used by the demo: a 64 x 64 pixel, 32-band
cube (UTM 33N) as an ENVI header/data pair with wavelengths (scene.hdr +
scene.img) and as a GeoTIFF (scene.tif), with a matching label image
(labels.tif). Deterministic."""

import os
import sys

import numpy as np
import rasterio
import spectral.io.envi as envi
from rasterio.transform import from_origin

HEIGHT, WIDTH, BANDS = 64, 64, 32
WAVELENGTHS = np.linspace(450.0, 950.0, BANDS)
ORIGIN, PIXEL = (368000.0, 5810000.0), 30.0


def scene():
    """Four land covers with distinct spectra, plus a background strip."""
    rows, cols = np.mgrid[0:HEIGHT, 0:WIDTH]
    labels = np.zeros((HEIGHT, WIDTH), dtype=np.uint8)
    labels[8:, :32] = 1                                    # vegetation
    labels[8:, 32:] = 2                                    # soil
    labels[(rows - 40) ** 2 + (cols - 20) ** 2 < 90] = 3   # water pond
    labels[20:28, 36:60] = 4                               # roof
    red_edge = 1.0 / (1.0 + np.exp(-(WAVELENGTHS - 710.0) / 15.0))
    spectra = np.stack([
        np.full(BANDS, 0.05),                              # background
        0.05 + 0.45 * red_edge,                            # vegetation
        np.linspace(0.15, 0.35, BANDS),                    # soil
        np.linspace(0.08, 0.01, BANDS),                    # water
        np.full(BANDS, 0.30),                              # roof
    ])
    rng = np.random.default_rng(7)
    cube = spectra[labels] + rng.normal(0.0, 0.01, (HEIGHT, WIDTH, BANDS))
    return (np.clip(cube, 0, 1) * 10000).astype(np.uint16), labels


def write_envi(path, cube):
    """Band-interleaved-by-line uint16 reflectance x 10000, with wavelengths."""
    x, y = ORIGIN
    envi.save_image(path, cube, dtype=np.uint16, interleave="bil", byteorder=0, ext=".img",
                    force=True, metadata={
                        "description": "nivra synthetic sample scene",
                        "wavelength": [f"{w:.1f}" for w in WAVELENGTHS],
                        "wavelength units": "Nanometers",
                        "fwhm": [f"{WAVELENGTHS[1] - WAVELENGTHS[0]:.1f}"] * BANDS,
                        "reflectance scale factor": "10000",
                        "sensor type": "synthetic",
                        "map info": ["UTM", "1", "1", str(x), str(y), str(PIXEL), str(PIXEL),
                                     "33", "North", "WGS-84"],
                    })


def write(out_dir):
    os.makedirs(out_dir, exist_ok=True)
    cube, labels = scene()
    write_envi(os.path.join(out_dir, "scene.hdr"), cube)
    profile = dict(driver="GTiff", width=WIDTH, height=HEIGHT, crs="EPSG:32633",
                   transform=from_origin(*ORIGIN, PIXEL, PIXEL))
    with rasterio.open(os.path.join(out_dir, "scene.tif"), "w", count=BANDS,
                       dtype="uint16", nodata=0, **profile) as dst:
        dst.write(np.transpose(cube, (2, 0, 1)))
        dst.update_tags(SENSOR="synthetic", SCALE="10000")
        for band, wavelength in enumerate(WAVELENGTHS, start=1):
            dst.set_band_description(band, f"{wavelength:.1f} nm")
    with rasterio.open(os.path.join(out_dir, "labels.tif"), "w", count=1,
                       dtype="uint8", **profile) as dst:
        dst.write(labels, 1)


if __name__ == "__main__":
    write(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "sample_scene"))
