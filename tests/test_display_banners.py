"""forest_banner, forest_done_line, node_banner and the stage banners."""
import numpy as np
import pytest

from nivra.utils import display

B, R, G, Y, RD, C, GR, M = ("\x1b[1m", "\x1b[0m", "\x1b[92m", "\x1b[93m", "\x1b[91m", "\x1b[96m",
                            "\x1b[90m", "\x1b[95m")


@pytest.fixture
def gpu(monkeypatch):
    """Replaces gpu_stats with a stub returning the given text; counts calls."""
    calls = []

    def install(text):
        monkeypatch.setattr(display, "gpu_stats", lambda: calls.append(1) or text)
        return calls

    return install


# ---- forest_banner -------------------------------------------------------------

def test_forest_banner_exact():
    assert display.forest_banner(0, 1, 42, "n'1") == (
        "\n  " + B + C + "\u2500\u2500 Ensemble 1/1" + R + "  seed=42  node='n'1'")


def test_forest_banner_converts_ints():
    assert display.forest_banner(2.9, np.int64(5), True, "") == (
        "\n  " + B + C + "\u2500\u2500 Ensemble 3/5" + R + "  seed=1  node=''")


# ---- forest_done_line ----------------------------------------------------------

def test_forest_done_line_example(gpu):
    calls = gpu("G")
    line = display.forest_done_line(0, 3, 0.7, 40, 0.95, 0.8, 0.6, "2m 10s")
    assert line == (
        "  " + G + "\u2713" + R + " Ensemble 1/3 done  Best @ epoch " + B + "40" + R
        + "  mIoU " + G + "0.7000" + R + "  OA " + G + "0.9500" + R
        + "  AA " + Y + "0.8000" + R + "  \u03ba " + RD + "0.6000" + R
        + "\n    " + GR + "2m 10s elapsed | G" + R)
    assert calls == [1]


@pytest.mark.parametrize("text", ["", None, 0])
def test_forest_done_line_without_gpu_text(gpu, text):
    gpu(text)
    line = display.forest_done_line(0, 1, 0.5, 1, 0.5, 0.5, 0.5, "3s")
    assert line.endswith("\n    " + GR + "3s elapsed" + R)


def test_forest_done_line_uses_real_gpu_stats(monkeypatch, tmp_path):
    monkeypatch.setenv("PATH", str(tmp_path))  # no nvidia-smi
    line = display.forest_done_line(0, 1, 0.5, 1, 0.5, 0.5, 0.5, "3s")
    assert line.endswith("3s elapsed" + R)


@pytest.mark.parametrize("metric, value, colour", [
    ("best_miou", 0.65, G), ("best_miou", 0.6499, Y), ("best_miou", 0.45, Y), ("best_miou", 0.4499, RD),
    ("best_oa", 0.9, G), ("best_oa", 0.8999, Y), ("best_oa", 0.7, Y), ("best_oa", 0.6999, RD),
    ("best_aa", 0.9, G), ("best_aa", 0.8999, Y), ("best_aa", 0.7, Y), ("best_aa", 0.6999, RD),
    ("best_kappa", 0.85, G), ("best_kappa", 0.8499, Y), ("best_kappa", 0.65, Y),
    ("best_kappa", 0.6499, RD), ("best_kappa", float("nan"), RD),
])
def test_forest_done_line_grades(gpu, metric, value, colour):
    gpu("")
    args = dict(forest_idx=0, num_forests=1, best_miou=0.0, best_epoch=1, best_oa=0.0,
                best_aa=0.0, best_kappa=0.0, elapsed="1s")
    args[metric] = value
    label = {"best_miou": "mIoU", "best_oa": "OA", "best_aa": "AA", "best_kappa": "\u03ba"}[metric]
    assert f"  {label} {colour}{format(value, '.4f')}{R}" in display.forest_done_line(**args)


def test_forest_done_line_checks_arguments_before_gpu(gpu):
    calls = gpu("G")
    with pytest.raises(TypeError, match="'elapsed'"):
        display.forest_done_line(0, 1, 0.5, 1, 0.5, 0.5, 0.5, 3)
    with pytest.raises(TypeError):
        display.forest_done_line(0, 1, 0.5, 1, 0.5, 0.5, 0.5)
    assert calls == []


# ---- node_banner ---------------------------------------------------------------

SEP = B + M + "\u2550" * 60 + R


def test_node_banner_exact():
    assert display.node_banner("root", [1, 2, 3], 4, 100, 5, "focal", 2, 1234567, 89) == "\n".join([
        "", SEP,
        "  " + B + "Node" + R + " " + C + "'root'" + R,
        "  Classes       : [1, 2, 3]",
        "  Local classes : 3   Epochs: 100   Ensembles: 5   Loss: focal \u03b3=2.0",
        "  Train pixels  : 1234567   Val pixels: 89",
        SEP,
    ])


@pytest.mark.parametrize("loss_type, gamma, shown", [
    ("focal", 0.5, "focal \u03b3=0.5"),
    ("weighted_focal_ce", np.float32(0.25), "weighted_focal_ce \u03b3=0.25"),
    ("focal", True, "focal \u03b3=1.0"),
    ("Focal", 2.0, "Focal"),
    ("ce", 2.0, "ce"),
])
def test_node_banner_loss(loss_type, gamma, shown):
    text = display.node_banner("n", [], 2, 1, 1, loss_type, gamma, 0, 0)
    assert text.split("\n")[4].endswith("   Loss: " + shown)


@pytest.mark.parametrize("num_classes, local", [(1, "0"), (0, "-1"), (2.7, "1")])
def test_node_banner_local_classes(num_classes, local):
    text = display.node_banner("n", [], num_classes, 1, 1, "ce", 0.0, 0, 0)
    assert text.split("\n")[4].startswith(f"  Local classes : {local}   Epochs: 1")


def test_node_banner_empty_classes_and_quote():
    lines = display.node_banner("a'b", [], 2, 1, 1, "ce", 0.0, 0, 0).split("\n")
    assert lines[2].endswith(C + "'a'b'" + R) and lines[3] == "  Classes       : []"


@pytest.mark.parametrize("index, bad, name", [
    (0, 1, "node_id"), (1, (1, 2), "node_classes"), (2, "3", "num_classes"),
    (5, None, "loss_type"), (6, "2", "focal_gamma"), (6, 1j, "focal_gamma"),
    (6, 10**400, "focal_gamma"),  # converted on entry, even where it is not shown (8, None, "val_pixels"),
])
def test_node_banner_type_errors(index, bad, name):
    args = ["n", [1], 2, 1, 1, "ce", 0.0, 0, 0]
    args[index] = bad
    with pytest.raises(TypeError, match=f"'{name}'"):
        display.node_banner(*args)


# ---- stage banners -------------------------------------------------------------

STAGES = {
    "print_logo": "NIVRA_LOGO",
    "print_training_start": "NIVRA_TRAINING",
    "print_predict_start": "NIVRA_PREDICT",
    "print_visualize_start": "NIVRA_FLOWER",
    "print_training_done": "NIVRA_DONE",
}


@pytest.mark.parametrize("function, art", STAGES.items())
def test_stage_banner_prints_its_picture(capsys, function, art):
    getattr(display, function)()
    getattr(display, function)()
    picture = getattr(display, art)
    assert capsys.readouterr().out == (picture + "\n") * 2


@pytest.mark.parametrize("function, art", STAGES.items())
def test_stage_banner_reads_art_at_call_time(monkeypatch, capsys, function, art):
    monkeypatch.setattr(display, "RESET", "")  # the art keeps its own codes
    picture = getattr(display, art)
    getattr(display, function)()
    assert capsys.readouterr().out == picture + "\n"
    monkeypatch.setattr(display, art, "new")
    getattr(display, function)()
    assert capsys.readouterr().out == "new\n"


@pytest.mark.parametrize("function", STAGES)
def test_stage_banner_takes_no_arguments(function):
    with pytest.raises(TypeError):
        getattr(display, function)(1)
