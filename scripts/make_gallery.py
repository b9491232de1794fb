"""Draws what every display function prints into PNG pictures in docs/gallery/.

The pictures come from the installed module's real output: each function's
text, colour codes included, is played onto a small emulated terminal screen
(carriage returns overwrite, as on a real one) and drawn cell by cell, so the
columns line up whatever the font. Needs Pillow and the DejaVu Sans Mono font
(Debian: fonts-dejavu-core):

    python scripts/make_gallery.py [OUTPUT_DIR]
"""
import contextlib
import io
import re
import sys
from pathlib import Path

from PIL import Image, ImageDraw, ImageFont

from nivra.utils import display

ROOT = Path(__file__).resolve().parents[1]
SIZE = 16                     # font size in pixels
CELL_W, CELL_H = 10, 21       # one terminal cell
MARGIN = 16
BACKGROUND, FOREGROUND, TITLE = (30, 30, 36), (214, 214, 214), (130, 130, 140)
COLOURS = {90: (128, 128, 128), 91: (255, 85, 85), 92: (80, 250, 123), 93: (241, 250, 140),
           94: (98, 160, 255), 95: (255, 121, 198), 96: (139, 233, 253), 97: (255, 255, 255)}
SGR = re.compile("\x1b\\[([0-9]+)m")
# Braille dot bits, in order, as (column, row) in the cell's 2 x 4 grid.
BRAILLE_DOTS = [(0, 0), (0, 1), (0, 2), (1, 0), (1, 1), (1, 2), (0, 3), (1, 3)]


def captured(steps):
    """Runs the steps and returns what they printed."""
    buffer = io.StringIO()
    with contextlib.redirect_stdout(buffer):
        for step in steps:
            step()
    return buffer.getvalue()


def parse(text):
    """Splits text into (kind, value) tokens: ("code", n) or ("text", s)."""
    tokens, last = [], 0
    for match in SGR.finditer(text):
        tokens.append(("text", text[last:match.start()]))
        tokens.append(("code", int(match.group(1))))
        last = match.end()
    tokens.append(("text", text[last:]))
    return tokens


def play(text):
    """Plays the text onto a screen: rows of (character, colour, bold) cells."""
    rows, row, col = [[]], 0, 0
    colour, bold, dim = FOREGROUND, False, False
    for kind, value in parse(text):
        if kind == "code":
            if value == 0:
                colour, bold, dim = FOREGROUND, False, False
            elif value == 1:
                bold = True
            elif value == 2:
                dim = True
            elif value in COLOURS:
                colour = COLOURS[value]
            continue
        for ch in value:
            if ch == "\n":
                row, col = row + 1, 0
                if row == len(rows):
                    rows.append([])
            elif ch == "\r":
                col = 0
            else:
                line = rows[row]
                line.extend([(" ", FOREGROUND, False)] * (col + 1 - len(line)))
                line[col] = (ch, tuple(c * 3 // 5 for c in colour) if dim else colour, bold)
                col += 1
    while rows and not rows[-1]:
        rows.pop()
    return rows


def draw_braille(draw, ch, x, y, colour):
    bits = ord(ch) - 0x2800
    for bit, (dx, dy) in enumerate(BRAILLE_DOTS):
        if bits & (1 << bit):
            cx, cy = x + CELL_W * (0.3 + 0.4 * dx), y + CELL_H * (0.17 + 0.22 * dy)
            draw.ellipse((cx - 1.6, cy - 1.6, cx + 1.6, cy + 1.6), fill=colour)


def render(title, text, path):
    rows = play(text)
    regular = ImageFont.truetype("DejaVuSansMono.ttf", SIZE)
    bold_font = ImageFont.truetype("DejaVuSansMono-Bold.ttf", SIZE)
    columns = max([len(title)] + [len(r) for r in rows])
    image = Image.new("RGB", (columns * CELL_W + 2 * MARGIN,
                              (len(rows) + 2) * CELL_H + 2 * MARGIN), BACKGROUND)
    draw = ImageDraw.Draw(image)
    draw.text((MARGIN, MARGIN), title, font=regular, fill=TITLE)
    for r, line in enumerate(rows, start=2):
        for c, (ch, colour, bold) in enumerate(line):
            x, y = MARGIN + c * CELL_W, MARGIN + r * CELL_H
            if "\u2800" <= ch <= "\u28ff":
                draw_braille(draw, ch, x, y, colour)
            elif ch == "\u2588":  # full block: a solid cell, so bars have no seams
                draw.rectangle((x, y, x + CELL_W - 1, y + CELL_H - 1), fill=colour)
            elif ch != " ":
                draw.text((x, y), ch, font=bold_font if bold else regular, fill=colour)
    image.save(path, optimize=True)


class SampleNvidiaSmi:
    """Stands in for the subprocess module: one GPU's nvidia-smi line."""

    DEVNULL = display.subprocess.DEVNULL

    @staticmethod
    def check_output(args, timeout, stderr):
        return b"54, 37, 3172, 8192\n"


def training_run():
    for epoch in range(1, 48):
        loss = 1.2 / (1 + epoch / 8)
        score = min(0.97, 0.52 + epoch / 100)
        display.epoch_bar(epoch, 60, loss, val_loss=loss * 1.1, oa=score + 0.02,
                          miou=score - 0.1, aa=score, kappa=score - 0.05)


def ensemble():
    print(display.node_banner("root", [1, 2, 3, 4, 5, 6, 7, 8, 9], 10, 60, 3, "focal", 2.0,
                              48213, 5362))
    print(display.forest_banner(0, 3, 1234, "root"))
    print(display.forest_done_line(0, 3, 0.7124, 40, 0.9381, 0.8123, 0.6219, "2m 10s"))
    print(display.forest_banner(1, 3, 5678, "root"))
    print(display.forest_done_line(1, 3, 0.4417, 20, 0.6952, 0.6011, 0.8533, "2m 04s"))
    print("\n  gpu_stats() -> " + repr(display.gpu_stats()))


def results():
    display.print_results_box({"OA": 0.9412, "mIoU": 0.6873, "AA": 0.5521, "kappa": 0.6134,
                               "Dice": 0.7745, "Precision": 0.6631, "Recall": 0.8012,
                               "F1": 0.7251}, routing="all")
    display.print_per_class_iou({1: 0.9123, 2: 0.7781, 3: 0.5, 4: 0.3127, 5: 0.0421},
                                pixel_counts={1: 10452, 2: 3321, 3: 812, 4: 57, 5: 12})


def config_box():
    display.print_config_box("Training configuration", [
        ("data", "data/pavia.mat"), ("epochs", 60), ("lr", 0.001), ("loss", "focal"),
        ("train_ratio", 0.1), ("seed", None)])


def save_and_next():
    display.print_save_and_next("runs/pavia", "node_root.pt", "data/pavia.mat",
                                "data/pavia gt.mat", 0.1, 0.05)


PICTURES = {
    "logo": ("print_logo()", display.print_logo),
    "training_start": ("print_training_start()", display.print_training_start),
    "predict_start": ("print_predict_start()", display.print_predict_start),
    "visualize_start": ("print_visualize_start()", display.print_visualize_start),
    "training_done": ("print_training_done()", display.print_training_done),
    "epoch_bar": ("epoch_bar(): epochs 1 to 47 of 60, validation every 20", training_run),
    "ensemble": ("node_banner(), forest_banner(), forest_done_line(), gpu_stats()", ensemble),
    "results": ("print_results_box() and print_per_class_iou()", results),
    "config_box": ("print_config_box()", config_box),
    "save_and_next": ("print_save_and_next()", save_and_next),
}


def main():
    out_dir = Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "docs" / "gallery"
    out_dir.mkdir(parents=True, exist_ok=True)
    display.subprocess = SampleNvidiaSmi  # a GPU line on any machine
    for name, (title, run) in PICTURES.items():
        render(title, captured([run]), out_dir / f"{name}.png")
        print(f"wrote {out_dir / name}.png")


if __name__ == "__main__":
    main()
