"""Palette, _c, the artwork constants and the config box."""
import pytest

from nivra.utils import display

ESC = "\x1b"
PALETTE = {
    "RESET": "0", "BOLD": "1", "DIM": "2", "CYAN": "96", "GREEN": "92", "YELLOW": "93",
    "BLUE": "94", "MAGENTA": "95", "RED": "91", "WHITE": "97", "GRAY": "90",
}
BLANK = "\u2800"


@pytest.mark.parametrize("name, parameter", PALETTE.items())
def test_palette_is_sgr_sequence(name, parameter):
    assert getattr(display, name) == f"{ESC}[{parameter}m"


def test_module_layout():
    assert display.__doc__ == (
        "nivra/utils/display\nAll CLI visual candy: ASCII art, progress bars, styled prints."
    )
    assert display.BAR_WIDTH == 24
    import subprocess

    assert display.subprocess is subprocess
    names = [n for n in vars(display) if not n.startswith("__")]
    expected = ["subprocess", *PALETTE, "_c",
                "NIVRA_LOGO", "NIVRA_PREDICT", "NIVRA_FLOWER", "NIVRA_TRAINING", "NIVRA_DONE",
                "BAR_WIDTH",
                "epoch_bar", "forest_banner", "node_banner", "gpu_stats", "forest_done_line",
                "print_logo", "print_predict_start", "print_visualize_start",
                "print_training_start", "print_training_done", "print_config_box",
                "print_results_box", "print_per_class_iou", "print_save_and_next"]
    assert names == expected


@pytest.mark.parametrize("args, expected", [
    (("x",), "x\x1b[0m"),
    (("x", "\x1b[1m", "\x1b[91m"), "\x1b[1m\x1b[91mx\x1b[0m"),
    ((0.5, "\x1b[92m"), "\x1b[92m0.5\x1b[0m"),
    ((None,), "None\x1b[0m"),
    (([1, 2], "a", "b", "c"), "abc[1, 2]\x1b[0m"),
])
def test_c(args, expected):
    assert display._c(*args) == expected


@pytest.mark.parametrize("call", [
    lambda: display._c(),
    lambda: display._c("x", 5),
    lambda: display._c("x", codes="a"),
])
def test_c_type_errors(call):
    with pytest.raises(TypeError):
        call()


def test_c_str_failure_propagates():
    class Bad:
        def __str__(self):
            raise ZeroDivisionError("no text")

    with pytest.raises(ZeroDivisionError):
        display._c(Bad())


def test_rebound_reset_changes_c_but_not_artwork(monkeypatch):
    monkeypatch.setattr(display, "RESET", "")
    assert display._c("x", display.GREEN) == "\x1b[92mx"
    assert display.NIVRA_DONE.endswith("\x1b[0m")


# ---- artwork -------------------------------------------------------------------

ART = {
    # name: (colour codes, picture rows, row width, caption)
    "NIVRA_TRAINING": ("\x1b[96m\x1b[1m", 7, 43, "  Training initiated..."),
    "NIVRA_PREDICT": ("\x1b[96m\x1b[1m", 15, 28, "  Predicting..."),
    "NIVRA_FLOWER": ("\x1b[96m", 16, 34, "  Visualizing..."),
    "NIVRA_DONE": ("\x1b[92m\x1b[1m", 8, 43, "  Training complete!"),
}


def is_braille(text):
    return all("\u2800" <= ch <= "\u28ff" for ch in text)


@pytest.mark.parametrize("name", ART)
def test_stage_picture_framing(name):
    codes, rows, width, caption = ART[name]
    art = getattr(display, name)
    assert art.startswith(codes + "\n")
    assert art.endswith("\n\x1b[0m")
    lines = art[len(codes) + 1:-len("\n\x1b[0m")].split("\n")
    picture, caption_line = lines[:-1], lines[-1]
    assert len(picture) == rows
    assert all(len(row) == width and is_braille(row) for row in picture)
    assert caption_line == BLANK + caption


def test_logo_framing():
    art = display.NIVRA_LOGO
    assert art.startswith("\x1b[96m\x1b[1m\n") and art.endswith("\n\x1b[0m")
    rows = art[len("\x1b[96m\x1b[1m\n"):-len("\n\x1b[0m")].split("\n")
    assert len(rows) == 7
    assert all(len(r) == 43 and is_braille(r) for r in rows[:3])
    for row, cells, gap in zip(rows[3:], (29, 29, 29, 30), ("  ", "  ", "  ", " ")):
        assert is_braille(row[:cells])
        assert row[cells:cells + len(gap)] == gap and row[cells + len(gap)] not in " \u2800"
    assert rows[3][29:] == "  N I V R A"


def test_training_picture_is_the_logo_figure():
    logo = display.NIVRA_LOGO.split("\n")[1:8]
    training = display.NIVRA_TRAINING.split("\n")[1:8]
    for logo_row, training_row in zip(logo, training):
        figure = logo_row[:29] if len(logo_row) != 43 else logo_row
        assert training_row.startswith(figure)
        assert set(training_row[len(figure):]) <= {BLANK}


def test_printing_predict_writes_eighteen_lines(capsys):
    print(display.NIVRA_PREDICT)
    lines = capsys.readouterr().out.split("\n")
    assert lines[-1] == ""  # print's newline ends the last line
    lines = lines[:-1]
    assert len(lines) == 18
    assert lines[0] == "\x1b[96m\x1b[1m" and lines[-1] == "\x1b[0m"


# ---- config box ----------------------------------------------------------------

RULE = "\x1b[1m" + "\u2550" * 60 + "\x1b[0m"


def test_config_box_exact(capsys):
    display.print_config_box("Run", [("lr", 0.001), ("epochs", 145), ("a" * 14, None),
                                     ("a" * 20, "long")])
    assert capsys.readouterr().out == (
        "\n" + RULE + "\n"
        "  \x1b[1m\x1b[96mRun\x1b[0m\n"
        "  lr            : 0.001\n"
        "  epochs        : 145\n"
        "  aaaaaaaaaaaaaa: None\n"
        "  aaaaaaaaaaaaaaaaaaaa: long\n"
        + RULE + "\n"
    )


def test_config_box_empty(capsys):
    display.print_config_box(title="T", items=[])
    assert capsys.readouterr().out == "\n" + RULE + "\n  \x1b[1m\x1b[96mT\x1b[0m\n" + RULE + "\n"


@pytest.mark.parametrize("title, items", [
    ("T", (("a", 1),)),
    (b"T", []),
    ("T", None),
])
def test_config_box_type_errors_print_nothing(capsys, title, items):
    with pytest.raises(TypeError):
        display.print_config_box(title, items)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("bad, error", [(("a", 1, 2), ValueError), (("a",), ValueError),
                                        (5, TypeError), (([1], 1), TypeError)])
def test_config_box_bad_item_keeps_earlier_lines(capsys, bad, error):
    with pytest.raises(error):
        display.print_config_box("T", [("ok", 1), bad])
    out = capsys.readouterr().out
    assert out.endswith("  ok            : 1\n")


def test_config_box_honours_rebound_palette(monkeypatch, capsys):
    for name in ("BOLD", "CYAN", "RESET"):
        monkeypatch.setattr(display, name, "")
    display.print_config_box("T", [("k", "v")])
    assert capsys.readouterr().out == "\n" + "\u2550" * 60 + "\n  T\n  k             : v\n" + "\u2550" * 60 + "\n"
