"""print_results_box and print_per_class_iou."""
import collections

import pytest

from nivra.utils import display

B, R, G, Y, RD, W, GR = ("\x1b[1m", "\x1b[0m", "\x1b[92m", "\x1b[93m", "\x1b[91m", "\x1b[97m",
                         "\x1b[90m")
FULL, LIGHT = "\u2588", "\u2591"
RULE = B + G + "\u2500" * 42 + R


def results(capsys, metrics, *args, **kwargs):
    display.print_results_box(metrics, *args, **kwargs)
    return capsys.readouterr().out


# ---- results box ---------------------------------------------------------------

def test_results_box_exact(capsys):
    out = results(capsys, {"OA": 0.9123, "F1": 0.5}, "all")
    assert out == (
        "\n" + RULE + "\n"
        + B + G + "  Test Results [all]" + R + "\n"
        + RULE + "\n"
        "  OA           " + G + B + "0.9123" + R + "  " + G + FULL * 18 + LIGHT * 2 + R + "\n"
        "  F1           " + W + B + "0.5000" + R + "  " + W + FULL * 10 + LIGHT * 10 + R + "\n"
        + RULE + "\n\n")


@pytest.mark.parametrize("routing", [None, ""])
def test_results_box_empty(capsys, routing):
    assert results(capsys, {}, routing=routing) == (
        "\n" + RULE + "\n" + B + G + "  Test Results" + R + "\n" + RULE + "\n" + RULE + "\n\n")


@pytest.mark.parametrize("key, value, colour", [
    ("OA", 0.9, G), ("OA", 0.8999, Y), ("OA", 0.75, Y), ("OA", 0.7499, RD),
    ("mIoU", 0.65, G), ("mIoU", 0.6499, Y), ("mIoU", 0.45, Y), ("mIoU", 0.4499, RD),
    ("AA", 0.65, G), ("AA", 0.6499, Y), ("AA", 0.45, Y), ("AA", 0.4499, RD),
    ("kappa", 0.85, G), ("kappa", 0.65, Y), ("kappa", 0.6499, RD),
    ("Dice", 0.7, G), ("Dice", 0.1, Y), ("Precision", -5, Y), ("Recall", 0.6999, Y),
    ("F1", 0.99, W), ("Kappa", 0.99, W), ("oa", 0.1, W), ("OA ", 0.1, W), (7, 0.99, W),
])
def test_results_box_grades(capsys, key, value, colour):
    line = results(capsys, {key: value}).split("\n")[4]
    assert line.startswith(f"  {key:<12} {colour}{B}{value:.4f}{R}  {colour}")


@pytest.mark.parametrize("value, full, light", [
    (1.0, 20, 0), (0.5, 10, 10), (0.8567, 17, 3), (0.99999, 19, 1), (1.5, 30, 0),
    (87.5, 1750, 0), (-0.1, 0, 22), (-0.5, 0, 30), (0, 0, 20), (True, 20, 0),
])
def test_results_box_bar(capsys, value, full, light):
    line = results(capsys, {"F1": value}).split("\n")[4]
    assert line.endswith(W + FULL * full + LIGHT * light + R)


def test_results_box_long_key_is_not_cut(capsys):
    line = results(capsys, {"BalancedAccuracy": 0.5}).split("\n")[4]
    assert line.startswith("  BalancedAccuracy " + W)


@pytest.mark.parametrize("value, error", [(None, TypeError), ("0.9", TypeError),
                                          (float("nan"), ValueError), (float("inf"), OverflowError)])
def test_results_box_bad_value_keeps_earlier_lines(capsys, value, error):
    with pytest.raises(error):
        display.print_results_box({"OA": 0.5, "kappa": value})
    out = capsys.readouterr().out
    assert out.count("\n") == 5 and "  OA " in out  # header lines and the first score only


@pytest.mark.parametrize("metrics, routing, name", [
    (collections.OrderedDict(OA=0.9), None, "metrics"),
    ([("OA", 0.9)], None, "metrics"),
    ({"OA": 0.9}, 1, "routing"),
    ({"OA": 0.9}, b"all", "routing"),
])
def test_results_box_type_errors(capsys, metrics, routing, name):
    with pytest.raises(TypeError, match=f"'{name}'"):
        display.print_results_box(metrics, routing)
    assert capsys.readouterr().out == ""


def test_results_box_reads_palette_at_call_time(monkeypatch, capsys):
    monkeypatch.setattr(display, "GREEN", "<g>")
    monkeypatch.setattr(display, "_c", lambda text, *codes: "".join(codes) + f"[{text}]")
    out = results(capsys, {"OA": 1.0})
    assert "  OA           <g>" + B + "[1.0000]  <g>[" + FULL * 20 + "]\n" in out


def test_results_box_docstring():
    assert display.print_results_box.__doc__ == (
        "\n    Print a styled results box.\n    metrics: dict with keys like 'OA', 'mIoU', "
        "'Dice', 'Precision', 'Recall', 'AA', 'kappa'\n    ")


# ---- per-class IoU -------------------------------------------------------------

HEADING = "\n" + B + "  Per-class IoU:" + R + "\n"


def ious(capsys, *args, **kwargs):
    display.print_per_class_iou(*args, **kwargs)
    return capsys.readouterr().out


def test_iou_exact_without_counts(capsys):
    assert ious(capsys, {3: 0.8, 12: 0.0}) == (
        HEADING
        + "  Class  3  " + G + "0.8000" + R + "  " + G + FULL * 16 + R + "\n"
        + "  Class 12  " + RD + "0.0000" + R + "  " + RD + R + "\n"
        + "\n")


def test_iou_exact_with_counts(capsys):
    out = ious(capsys, {1: 0.5, 2: 0.9, 3: 0.1}, {1: 19, 2: 123456})
    warning = "  " + Y + "\u26a0 few pixels" + R
    assert out == (
        HEADING
        # the padding to 20 counts the 9 characters of colour codes: 10 blocks + 1 blank
        + "  Class  1  " + Y + "0.5000" + R + "  " + Y + FULL * 10 + R + " " + "  "
        + GR + "(   19 px)" + R + warning + "\n"
        + "  Class  2  " + G + "0.9000" + R + "  " + G + FULL * 18 + R + "  "
        + GR + "(123456 px)" + R + "\n"
        + "  Class  3  " + RD + "0.1000" + R + "  " + RD + FULL * 2 + R + " " * 9 + "  "
        + GR + "(    0 px)" + R + warning + "\n"
        + "\n")


@pytest.mark.parametrize("iou, colour, blocks", [
    (0.8, G, 16), (0.7999, Y, 15), (0.5, Y, 10), (0.4999, RD, 9), (0.0, RD, 0),
    (-0.3, RD, 0), (1.0, G, 20), (1.25, G, 25), (0.05, RD, 1),
])
def test_iou_grades_and_blocks(capsys, iou, colour, blocks):
    line = ious(capsys, {1: iou}).split("\n")[2]
    assert line == f"  Class  1  {colour}{iou:.4f}{R}  {colour}{FULL * blocks}{R}"


@pytest.mark.parametrize("counts, warned", [({1: 19}, True), ({1: 20}, False), ({}, True),
                                            ({1: 0}, True), ({1: -1}, True)])
def test_iou_few_pixels_warning(capsys, counts, warned):
    line = ious(capsys, {1: 0.9}, pixel_counts=counts).split("\n")[2]
    assert line.endswith("\u26a0 few pixels" + R) is warned


@pytest.mark.parametrize("ious_, counts, error", [
    ({"a": 0.5}, None, ValueError),        # "2d" of a str
    ({1: 0.5}, {1: 5.5}, ValueError),      # ">5d" of a float
    ({1: "0.5"}, None, TypeError),         # comparison of a str
    ({1: None}, {1: 5}, TypeError),
])
def test_iou_errors_keep_earlier_lines(capsys, ious_, counts, error):
    with pytest.raises(error):
        display.print_per_class_iou({0: 0.9, **ious_}, counts if counts is None else {0: 50, **counts})
    out = capsys.readouterr().out
    assert out.startswith(HEADING) and out.count("Class") == 1


def test_iou_empty(capsys):
    assert ious(capsys, {}) == HEADING + "\n"
    assert ious(capsys, {}, {}) == HEADING + "\n"


@pytest.mark.parametrize("args, name", [
    (([(1, 0.5)],), "class_ious"), (({1: 0.5}, [19]), "pixel_counts"),
    ((collections.OrderedDict({1: 0.5}),), "class_ious"),
])
def test_iou_type_errors(capsys, args, name):
    with pytest.raises(TypeError, match=f"'{name}'"):
        display.print_per_class_iou(*args)
    assert capsys.readouterr().out == ""


def test_iou_docstring():
    assert display.print_per_class_iou.__doc__ == "Print per-class IoU with colour coding."


@pytest.mark.parametrize("function", [display.print_results_box, display.print_per_class_iou])
def test_dict_mutated_while_printing_raises_cleanly(monkeypatch, capsys, function):
    scores = {1: 0.5, 2: 0.6}
    real_c = display._c

    def growing_c(text, *codes):
        scores[len(scores) + 10] = 0.1
        return real_c(text, *codes)

    monkeypatch.setattr(display, "_c", growing_c)
    with pytest.raises(RuntimeError, match="changed size"):
        function(scores)
