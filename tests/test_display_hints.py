"""print_save_and_next: the saved path and the two follow-up commands."""
import contextlib
import io
import shlex
import subprocess

import pytest
from hypothesis import given, strategies as st

from nivra.utils import display

B, R, G, C, GR = "\x1b[1m", "\x1b[0m", "\x1b[92m", "\x1b[96m", "\x1b[90m"


def hints(capsys, *args, **kwargs):
    display.print_save_and_next(*args, **kwargs)
    return capsys.readouterr().out


def test_exact_block(capsys):
    out = hints(capsys, "runs/n1", "model.pt", "data/pavia.mat", "data/pavia_gt.mat", 0.1, 0.05)
    assert out == (
        "\n" + G + B + "  Saved \u2192" + R + " runs/n1/model.pt\n"
        "\n" + B + C + "  What's next?" + R + "\n"
        "\n" + GR + "  # Evaluate all routing modes:" + R + "\n"
        "  nivra predict \\\n"
        "    --data  data/pavia.mat \\\n"
        "    --gt    data/pavia_gt.mat \\\n"
        "    --model runs/n1/model.pt \\\n"
        "    --routing all --out-dir runs/n1\n"
        "\n" + GR + "  # Visualize predictions:" + R + "\n"
        "  nivra visualize \\\n"
        "    --data  data/pavia.mat \\\n"
        "    --gt    data/pavia_gt.mat \\\n"
        "    --model runs/n1/model.pt \\\n"
        "    --out-dir runs/n1\n"
        "\n")


def test_paths_are_not_normalised(capsys):
    out = hints(capsys, "runs/", "m.pt", "d", "g", 0, 0)
    assert " runs//m.pt\n" in out and "--model runs//m.pt \\\n" in out


def test_paths_are_shell_quoted_in_commands_only(capsys):
    out_dir, data = "my runs/$(rm -rf ~)", "it's; data.mat"
    out = hints(capsys, out_dir, "a b.pt", data, "", 0.1, 0.1)
    model = out_dir + "/a b.pt"
    assert f"{R} {model}\n" in out  # the confirmation shows the plain path
    assert out.count(f"    --data  {shlex.quote(data)} \\\n") == 2
    assert out.count("    --gt    '' \\\n") == 2
    assert out.count(f"    --model {shlex.quote(model)} \\\n") == 2
    assert f"    --routing all --out-dir {shlex.quote(out_dir)}\n" in out
    assert out.endswith(f"    --out-dir {shlex.quote(out_dir)}\n\n")


def test_printed_commands_paste_into_a_shell(capsys, monkeypatch):
    for name in ("GREEN", "BOLD", "RESET", "CYAN", "GRAY"):
        monkeypatch.setattr(display, name, "")
    out_dir, save_file, data, gt = "out dir/\u00e9t\u00e9", "m'1.pt", "data\t*.mat", "gt\n`x`.mat"
    out = hints(capsys, out_dir, save_file, data, gt, 0.5, 0.5)
    # A stand-in `nivra` that prints its arguments, then the block pasted as printed.
    script = 'nivra() { printf "%s\\0" "$@"; }\n' + out.split("What's next?")[1]
    result = subprocess.run(["sh", "-c", script], check=True, capture_output=True, text=True)
    model = out_dir + "/" + save_file
    inputs = ["--data", data, "--gt", gt, "--model", model]
    assert result.stdout.split("\0")[:-1] == [
        "predict", *inputs, "--routing", "all", "--out-dir", out_dir,
        "visualize", *inputs, "--out-dir", out_dir]


@given(st.text(st.characters(blacklist_categories=())))  # surrogates too
def test_quoting_matches_shlex(word):
    buffer = io.StringIO()
    with contextlib.redirect_stdout(buffer):
        display.print_save_and_next("o", "m", word, "g", 0, 0)
    assert f"    --data  {shlex.quote(word)} \\\n" in buffer.getvalue()


def test_ratios_do_not_change_output(capsys):
    first = hints(capsys, "o", "m", "d", "g", 0.1, 0.2)
    assert hints(capsys, out_dir="o", save_file="m", data_path="d", gt_path="g",
                 train_ratio=7, val_ratio=float("nan")) == first


@pytest.mark.parametrize("index, bad, name", [
    (0, None, "out_dir"), (1, b"m", "save_file"), (2, 1, "data_path"), (3, ["g"], "gt_path"),
    (4, "0.1", "train_ratio"), (5, None, "val_ratio"), (5, 1j, "val_ratio"),
])
def test_type_errors_print_nothing(capsys, index, bad, name):
    args = ["o", "m", "d", "g", 0.1, 0.1]
    args[index] = bad
    with pytest.raises(TypeError, match=f"'{name}'"):
        display.print_save_and_next(*args)
    assert capsys.readouterr().out == ""


def test_docstring():
    assert display.print_save_and_next.__doc__ == "Print save confirmation and suggest next commands."
