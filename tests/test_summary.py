"""The closing report: exact layout, conditional lines and argument checks."""

import numpy as np
import pytest

from nivra import convert

B, G, GR, R = "\x1b[1m", "\x1b[92m", "\x1b[90m", "\x1b[0m"
RULE = f"{B}{G}{'═' * 60}{R}"


def summary(capsys, *args, **kwargs):
    convert._print_summary(*args, **kwargs)
    return capsys.readouterr().out


def test_full_report(capsys, tmp_path):
    data = np.arange(145 * 145 * 200, dtype=np.float32).reshape(145, 145, 200) / 1000
    gt = np.zeros((145, 145), dtype=np.uint8)
    gt[:10, :1] = 1
    gt[10:, :] = 2
    meta = {"_source_format": "ENVI", "wavelength": ["400", "410.5", "420", "430", "440", "450"],
            "crs": "EPSG:32633"}
    out = summary(capsys, data, gt, meta, {"_source_format": "MAT"}, str(tmp_path), 1.2345)
    assert out == "\n".join([
        "", RULE, f"  {B}{G}Conversion complete!{R}", RULE,
        "", f"  {B}Image{R}",
        "    Format       : ENVI",
        "    Shape        : (145, 145, 200)",
        "    Spatial size : 145 x 145",
        "    Bands        : 200",
        "    Dtype        : float32",
        "    Value range  : [0, 4205]",
        "    Size in memory: 16.0 MB",
        "    Wavelengths  : [400.0, 410.5, 420.0, 430.0, 440.0] ... (6 total)",
        "    CRS          : EPSG:32633",
        "", f"  {B}Ground Truth{R}",
        "    Format       : MAT",
        "    Shape        : (145, 145)",
        "    Dtype        : uint8",
        "    Classes      : 2 (+ background 0)",
        "    Class labels : [0, 1, 2]",
        "", f"    {GR}Per-class pixel counts:{R}",
        "      background      :    1,440 px",
        "      class 1         :       10 px",
        "      class 2         :   19,575 px",
        "", f"  {B}Output{R}",
        f"    Directory    : {tmp_path}",
        "    data.mat     : image data (key='data')",
        "    gt.mat       : ground truth (key='gt')",
        "    metadata.json: all preserved metadata",
        "", f"    {GR}Elapsed: 1.23s{R}",
        RULE, "", "",
    ])


def test_two_dimensional_image_without_labels(capsys):
    out = summary(capsys, np.array([[1.5, -2.0]]), None, {}, None, "out", 0)
    assert "Bands" not in out and "Ground Truth" not in out and "gt.mat" not in out
    assert "    Format       : unknown\n" in out
    assert "    Value range  : [-2, 1.5]\n" in out
    assert "Wavelengths" not in out and "CRS" not in out
    assert f"  {B}Image{R}\n" in out and out.index("Image") < out.index("Output")


@pytest.mark.parametrize("data", [
    np.full((3, 4), -0.0), np.full((2, 2, 3), -0.0, np.float32), np.full((2, 2), -0.0, ">f8"),
    np.full((2, 2), -0.0, np.float16), np.full((40, 30, 4), -0.0)[::3, ::-2],
    np.full((1100, 1000), -0.0, np.float32),  # parallel parts
], ids=lambda a: f"{a.dtype.str}-{a.shape}")
def test_value_range_of_negative_zeros_is_negative_zero(capsys, data):
    out = summary(capsys, data, None, {}, None, "o", 0)
    assert "    Value range  : [-0, -0]\n" in out


def test_exactly_five_wavelengths_have_no_suffix(capsys):
    out = summary(capsys, np.zeros((2, 2)), None, {"wavelength": [1, 2, 3, 4, 5]}, None, "o", 0)
    assert "    Wavelengths  : [1.0, 2.0, 3.0, 4.0, 5.0]\n" in out


def test_labels_without_background_and_float_labels(capsys):
    out = summary(capsys, np.zeros((2, 2)), np.array([1, 2, 3, 3]), {}, {}, "o", 0)
    assert "    Classes      : 3\n" in out and "background" not in out
    out = summary(capsys, np.zeros((2, 2)), np.array([0.0, 1.0, 1.0]), {}, {}, "o", 0)
    assert "    Class labels : [0.0, 1.0]\n" in out
    assert "      class 1.0       :        2 px\n" in out
    assert "      background      :        1 px\n" in out


def test_large_counts_widen_the_column(capsys):
    out = summary(capsys, np.zeros((2, 2)), np.ones(1234567, dtype=np.uint8), {}, {}, "o", 0)
    assert "      class 1         : 1,234,567 px\n" in out


def test_output_names_the_keys_used(capsys):
    out = summary(capsys, np.zeros((2, 2)), np.zeros((2, 2)), {}, {}, "o", 0, data_key="cube", gt_key="labels")
    assert "    data.mat     : image data (key='cube')\n" in out
    assert "    gt.mat       : ground truth (key='labels')\n" in out


@pytest.mark.parametrize("args, kwargs, parameter", [
    ((np.zeros(2), None, None, None, "o", 0), {}, "meta"),
    ((np.zeros(2), None, {}, [], "o", 0), {}, "gt_meta"),
    ((np.zeros(2), None, {}, None, b"o", 0), {}, "out_dir"),
    ((np.zeros(2), None, {}, None, "o", "1.5"), {}, "elapsed"),
    ((np.zeros(2), None, {}, None, "o", 0), {"data_key": None}, "data_key"),
    ((np.zeros(2), None, {}, None, "o", 0), {"gt_key": 1}, "gt_key"),
])
def test_argument_errors_print_nothing(capsys, args, kwargs, parameter):
    with pytest.raises(TypeError, match=f"'{parameter}'"):
        convert._print_summary(*args, **kwargs)
    assert capsys.readouterr().out == ""


def test_labels_without_metadata_fail_after_the_heading(capsys):
    with pytest.raises(AttributeError):
        convert._print_summary(np.zeros((2, 2)), np.zeros((2, 2)), {}, None, "o", 0)
    assert capsys.readouterr().out.endswith(f"\n  {B}Ground Truth{R}\n")


def test_palette_is_read_at_call_time(capsys, monkeypatch):
    for name in ("BOLD", "GREEN", "GRAY", "RESET"):
        monkeypatch.setattr(convert, name, "")
    out = summary(capsys, np.zeros((2, 2)), None, {}, None, "o", 0)
    assert "\x1b[" not in out
