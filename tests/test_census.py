"""The native census and value range agree with the literal numpy computation."""

import contextlib
import io
import re

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from hypothesis.extra import numpy as hnp

from nivra import convert

DTYPES = ["?", "i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8", "f4", "f8", "f2", "c8", "U3", "M8[s]"]


def literal_report(gt, data):
    """The census and range text as np.unique, np.sum(gt == c) and min/max give it."""
    classes = np.unique(gt)
    lines = [f"    Value range  : [{data.min():.4g}, {data.max():.4g}]", f"    Class labels : {classes.tolist()}"]
    for c in classes:
        label = "background" if c == 0 else "class " + str(c)
        members = gt != gt if c != c else gt == c          # NaN is one class of all NaN pixels
        lines.append(f"      {label:<16}: {int(np.sum(members)):>8,} px")
    return report_lines("\n".join(lines))


def native_report(gt, data):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        convert._print_summary(data, gt, {}, {}, "o", 0)
    return report_lines(out.getvalue())


def report_lines(text):
    """The range and census lines of a report, split as printed: a text label may hold a line break."""
    return [line for line in text.split("\n") if line.startswith(("    Value range", "    Class labels", "      "))]


def arrays(dtype):
    elements = None
    if dtype.kind in "iu" and dtype.itemsize >= 4:
        elements = st.sampled_from([0, 1, 7, np.iinfo(dtype).max, np.iinfo(dtype).min])
    if dtype.kind == "f":
        elements = st.sampled_from([0.0, -0.0, 1.5, -2.0, np.nan, np.inf, 3.0])
    return hnp.arrays(dtype, hnp.array_shapes(min_dims=0, max_dims=3, min_side=1, max_side=6),
                      elements=elements)


@settings(max_examples=300, deadline=None)
@given(st.sampled_from(DTYPES).map(np.dtype).flatmap(arrays), st.sampled_from(["=", ">", "<"]),
       st.booleans(), st.integers(0, 2))
def test_census_matches_numpy(gt, order, fortran, step):
    if gt.dtype.kind not in "UM":
        gt = gt.astype(gt.dtype.newbyteorder(order))
    if fortran:
        gt = np.asfortranarray(gt)
    if step and gt.ndim:
        gt = gt[::step + 1]
    data = gt if gt.ndim >= 2 else gt.reshape(1, -1)
    if gt.dtype.kind in "UM" or not gt.size:
        data = np.zeros((1, 1))
    # The sign numpy reports for a mix of 0.0 and -0.0 depends on its sort.
    same_zero = lambda lines: [re.sub(r"-0(?=[.,\]])", "0", line) for line in lines]
    assert same_zero(native_report(gt, data)) == same_zero(literal_report(gt, data))


@pytest.mark.parametrize("dtype", ["f4", ">f8", "f2"])          # f2 takes the numpy path
@pytest.mark.parametrize("gt, labels, nan_line", [
    ([[np.nan, 1.0], [np.nan, 0.0]], "[0.0, 1.0, nan]", "      class nan       :        2 px"),
    ([[np.nan, np.nan], [np.nan, np.nan]], "[nan]", "      class nan       :        4 px"),
    ([[-np.nan, 0.0], [np.inf, np.nan]], "[0.0, inf, nan]", "      class nan       :        2 px"),
])
def test_nan_labels_listed_once_with_their_pixels(dtype, gt, labels, nan_line):
    lines = native_report(np.array(gt, dtype=dtype), np.zeros((1, 1)))
    assert lines[1] == f"    Class labels : {labels}"
    assert lines[-1] == nan_line


def test_signed_zeros_are_one_class():
    gt = np.array([0.0, -0.0, -0.0, 2.0])
    assert "      background      :        3 px" in native_report(gt, np.zeros((1, 1)))


def test_wide_integer_labels_and_nan_range():
    gt = np.array([[10**9, 0], [5, 10**9]], dtype=np.int64)
    data = np.array([[1.0, np.nan]], dtype=np.float32)
    assert native_report(gt, data) == literal_report(gt, data)
    assert native_report(gt, data)[0] == "    Value range  : [nan, nan]"


def test_subclasses_and_empty_arrays_take_the_numpy_path():
    class Labels(np.ndarray):
        pass

    labels = np.array([[1, 2], [2, 0]]).view(Labels)
    assert native_report(labels, labels) == literal_report(labels, labels)
    with pytest.raises(ValueError, match="zero-size"):
        native_report(np.zeros((0, 3)), np.zeros((0, 3)))


def widening_labels():
    """Over a million labels in many blocks (and parallel parts) whose range
    widens on both sides as the scan goes on."""
    steps = np.arange(1100 * 1000) // 20000
    return (steps * np.where(steps % 2 == 0, 1, -1)).reshape(1100, 1000)


@pytest.mark.parametrize("late_value, dtype", [
    (None, "i4"),
    (None, "<f4"),
    (0.5, "f4"),            # a fractional label after whole ones
    (10**12, "i8"),         # a range too wide for a histogram
    (-2**40, ">i8"),
    (float(2**31), "f8"),   # beyond int32
    (np.nan, "f8"),
])
def test_large_label_maps_match_numpy(late_value, dtype):
    gt = widening_labels().astype(dtype)
    if late_value is not None:
        gt[-1, -1] = late_value
    gt = np.asfortranarray(gt) if gt.dtype.byteorder == ">" else gt
    data = np.zeros((1, 1))
    assert native_report(gt, data) == literal_report(gt, data)


def test_large_unsigned_labels_near_the_top():
    gt = (np.uint64(2**64 - 1) - widening_labels().astype("u8") % 7)[:, ::3]
    assert native_report(gt, gt) == literal_report(gt, gt)


def test_signed_zero_halves_are_one_class():
    gt = np.full((1200, 1000), -0.0)
    gt[600:] = 0.0
    gt[0, 0] = 1.0
    assert native_report(gt, np.zeros((1, 1)))[2] == "      background      : 1,199,999 px"
