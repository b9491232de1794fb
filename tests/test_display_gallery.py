"""The gallery script: its terminal emulation and that it draws every picture."""
import importlib.util
from pathlib import Path

import pytest

from nivra.utils import display

SCRIPT = Path(__file__).resolve().parents[1] / "scripts" / "make_gallery.py"


@pytest.fixture(scope="module")
def gallery():
    spec = importlib.util.spec_from_file_location("make_gallery", SCRIPT)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def text_of(rows):
    return ["".join(cell[0] for cell in row) for row in rows]


def test_carriage_return_overwrites_and_leaves_longer_tail(gallery, capsys):
    display.epoch_bar(1, 30, 10.0, interval=7)
    display.epoch_bar(2, 30, 9.0, interval=7)  # a shorter loss: the old tail stays
    rows = gallery.play(capsys.readouterr().out)
    assert len(rows) == 1 and text_of(rows)[0].startswith("  Epoch   2/30")
    assert text_of(rows)[0].endswith("Loss 9.00000")


def test_colours_and_bold(gallery):
    (row,) = gallery.play("a" + display.BOLD + display.RED + "b" + display.RESET + "c")
    assert row == [("a", gallery.FOREGROUND, False), ("b", gallery.COLOURS[91], True),
                   ("c", gallery.FOREGROUND, False)]


def test_every_picture_is_drawn(gallery, tmp_path, monkeypatch):
    monkeypatch.setattr(display, "subprocess", gallery.SampleNvidiaSmi)
    monkeypatch.setattr("sys.argv", ["make_gallery", str(tmp_path)])
    try:
        gallery.main()
    except OSError as error:  # the font is a dev-only requirement
        pytest.skip(f"font not available: {error}")
    assert sorted(p.stem for p in tmp_path.glob("*.png")) == sorted(gallery.PICTURES)
