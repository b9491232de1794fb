"""epoch_bar: the in-place training line and its boundary form."""
import fractions
import re

import numpy as np
import pytest

from nivra.utils import display

B, R, G, Y, RD, C, GR = "\x1b[1m", "\x1b[0m", "\x1b[92m", "\x1b[93m", "\x1b[91m", "\x1b[96m", "\x1b[90m"
FULL, LIGHT = "\u2588", "\u2591"
ANSI = re.compile("\x1b\\[[0-9]+m")


@pytest.fixture
def calls(monkeypatch):
    """Records every print() call of the module: (args, kwargs)."""
    recorded = []
    monkeypatch.setattr(display, "print", lambda *a, **k: recorded.append((a, k)), raising=False)
    return recorded


def run(capsys, *args, **kwargs):
    display.epoch_bar(*args, **kwargs)
    return capsys.readouterr().out


def visible(text):
    return ANSI.sub("", text)


def test_non_boundary_line_exact(calls):
    display.epoch_bar(11, 24, 0.25)
    assert calls == [((
        "\r  " + B + "Epoch  11/24" + R + " | " + Y + FULL * 11 + LIGHT * 13 + R + " "
        + GR + " 45%" + R + " | Loss " + C + "0.2500" + R,), {"end": "", "flush": True})]


def test_boundary_line_exact(calls):
    display.epoch_bar(20, 40, 1.5, oa=0.95, miou=0.75, kappa=0.5)
    assert calls == [((
        "\r  " + B + "Epoch  20/40" + R + " | " + G + FULL * 12 + LIGHT * 12 + R + " "
        + GR + " 50%" + R + " | Loss " + C + "1.5000" + R
        + " | OA " + G + "0.9500" + R + " | mIoU " + Y + "0.7500" + R
        + " | \u03ba " + RD + "0.5000" + R,), {})]


@pytest.mark.parametrize("epoch, total, filled, percent, colour", [
    (0, 10, 0, "  0%", Y),
    (10, 10, 24, "100%", G),
    (12, 24, 12, " 50%", G),
    (11, 24, 11, " 45%", Y),
    (29, 100, 6, " 28%", Y),   # 29/100*100 is just below 29
    (57, 100, 13, " 56%", G),
    (29, 50, 13, " 57%", G),
    (150, 100, 36, "150%", G),  # past the end: no light cells, no clamp
    (-5, 10, -12, "-50%", Y),   # negative counts repeat to nothing
])
def test_bar_and_percentage(capsys, epoch, total, filled, percent, colour):
    out = run(capsys, epoch, total, 0.1, interval=7)
    bar = FULL * max(filled, 0) + LIGHT * max(24 - filled, 0)
    assert f" | {colour}{bar}{R} {GR}{percent}{R} | " in out


@pytest.mark.parametrize("epoch, total, interval, boundary", [
    (0, 10, 20, True),      # 0 % 20 == 0
    (20, 100, 20, True),
    (21, 100, 20, False),
    (7, 7, 3, True),        # the last epoch always ends the line
    (120, 100, 20, True),   # past the end: interval rule only
    (121, 100, 20, False),
    (6, 10, 3, True),
    (-3, 10, 3, True),
])
def test_boundary_rule(calls, epoch, total, interval, boundary):
    display.epoch_bar(epoch, total, 0.1, oa=0.5, interval=interval)
    (text,), kwargs = calls[0]
    assert (kwargs == {}) is boundary
    assert ("| OA " in text) is boundary


def test_metrics_only_at_boundaries_and_only_when_given(capsys):
    assert "OA" not in run(capsys, 3, 10, 0.1, oa=0.9, miou=0.9, kappa=0.9)
    line = visible(run(capsys, 10, 10, 0.1, oa=0.9))
    assert line.rstrip("\n").split(" | ")[3:] == ["OA 0.9000"]
    line = visible(run(capsys, 10, 10, 0.1, kappa=0.8, miou=0.1))
    assert line.rstrip("\n").split(" | ")[3:] == ["mIoU 0.1000", "\u03ba 0.8000"]


@pytest.mark.parametrize("value, colour", [
    (0.9, G), (0.8999, Y), (0.7, Y), (0.6999, RD), (1.5, G), (-1, RD),
    (float("nan"), RD), (float("inf"), G), (np.float64(0.8999), Y), (True, G),
])
@pytest.mark.parametrize("metric, label", [("oa", "OA "), ("miou", "mIoU "), ("kappa", "\u03ba ")])
def test_metric_grades(capsys, metric, label, value, colour):
    out = run(capsys, 20, 40, 0.1, **{metric: value})
    assert f" | {label}{colour}{format(value, '.4f')}{R}\n" in out


@pytest.mark.parametrize("loss, shown", [
    (0.123456, "0.1235"), (-0.0, "-0.0000"), (float("nan"), "nan"), (float("-inf"), "-inf"),
    (1e20, "100000000000000000000.0000"), (3, "3.0000"), (10**30, "1000000000000000019884624838656.0000"),
    (np.float64(2.5), "2.5000"),
])
def test_loss_formatted_as_python_does(capsys, loss, shown):
    assert run(capsys, 1, 3, loss).endswith(f"Loss {C}{shown}{R}")


def test_val_loss_and_aa_change_nothing(capsys):
    plain = run(capsys, 20, 40, 0.3, oa=0.8)
    assert run(capsys, 20, 40, 0.3, val_loss=9.0, oa=0.8, aa=0.1) == plain


@pytest.mark.parametrize("epoch, shown", [(5, "  5"), (1234, "1234"), (12.9, " 12"),
                                          (np.int64(7), "  7"), (fractions.Fraction(9, 2), "  4")])
def test_epoch_field(capsys, epoch, shown):
    assert f"Epoch {shown}/2000{R}" in run(capsys, epoch, 2000, 0.1)


def test_int_parameters_are_converted(capsys):
    # interval 2.7 -> 2, total 10.9 -> 10: epoch 4 is a boundary, 10/10 is full
    line = run(capsys, 4.2, 10.9, 0.1, interval=2.7)
    assert line.endswith("\n") and "Epoch   4/10" in line


def test_prefix(capsys):
    assert run(capsys, 1, 3, 0.1, prefix="").startswith("\r" + B + "Epoch")
    assert run(capsys, 1, 3, 0.1, prefix=">> ").startswith("\r>> " + B)


def test_rebinding_module_names(monkeypatch, capsys):
    monkeypatch.setattr(display, "BAR_WIDTH", 10)
    monkeypatch.setattr(display, "RESET", "<r>")
    monkeypatch.setattr(display, "_c", lambda text, *codes: f"[{text}]")
    out = run(capsys, 5, 10, 0.5)
    assert out == "\r  " + B + "Epoch   5/10<r> | [" + FULL * 5 + LIGHT * 5 + "] [ 50%] | Loss [0.5000]"


@pytest.mark.parametrize("args, kwargs", [((1, 0, 0.1), {}), ((1, 10, 0.1), {"interval": 0})])
def test_zero_division_prints_nothing(capsys, args, kwargs):
    with pytest.raises(ZeroDivisionError):
        display.epoch_bar(*args, **kwargs)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("kwargs, name", [
    ({"epoch": "1"}, "epoch"),
    ({"total": None}, "total"),
    ({"loss": None}, "loss"),
    ({"loss": "0.1"}, "loss"),
    ({"val_loss": "x"}, "val_loss"),
    ({"oa": 1j}, "oa"),
    ({"miou": [0.5]}, "miou"),
    ({"aa": "0.5"}, "aa"),
    ({"kappa": b"1"}, "kappa"),
    ({"interval": "20"}, "interval"),
    ({"prefix": None}, "prefix"),
    ({"prefix": b"  "}, "prefix"),
])
def test_type_errors_name_the_parameter(capsys, kwargs, name):
    args = {"epoch": 1, "total": 10, "loss": 0.1, **kwargs}
    with pytest.raises(TypeError, match=f"'{name}'"):
        display.epoch_bar(**args)
    assert capsys.readouterr().out == ""


def test_docstring():
    assert display.epoch_bar.__doc__ == (
        "\n    Single-line progress bar that fills 0\u2192100% across FULL training.\n\n"
        "    Between validation boundaries: shows epoch/total + bar + loss.\n"
        "    At validation boundaries: same line but with metrics, printed as newline.\n"
        "    Uses \\r to overwrite between boundaries.\n    "
    )
