"""Fuzzing the display module: every function with arbitrary values for every
parameter, and with valid calls that have one argument replaced. A call ends
in its documented result or an ordinary exception; argument-type errors come
before any output."""

import subprocess
import types

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from fuzz_values import (Boom, arbitrary, assert_argument_rejected, call, floats, hostiles,
                         mixed_call, texts, violates, wild_call)
from nivra.utils import display

FUZZ = settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow])

count = st.integers(0, 500)
positive = st.integers(1, 500)
score = st.floats(-0.5, 1.5, allow_nan=False)
labels = st.text(max_size=12)

# Per function: parameter -> (declared kind, strategy of valid values), and the return type.
SPECS = {
    "epoch_bar": (None, {
        "epoch": ("int", count), "total": ("int", positive), "loss": ("real", score),
        "val_loss": ("real?", st.none() | score), "oa": ("real?", st.none() | score),
        "miou": ("real?", st.none() | score), "aa": ("real?", st.none() | score),
        "kappa": ("real?", st.none() | score), "interval": ("int", positive),
        "prefix": ("str", labels)}),
    "forest_banner": (str, {
        "forest_idx": ("int", count), "num_forests": ("int", positive), "seed": ("int", count),
        "node_id": ("str", labels)}),
    "node_banner": (str, {
        "node_id": ("str", labels), "node_classes": ("list", st.lists(count, max_size=5)),
        "num_classes": ("int", positive), "epochs": ("int", positive),
        "num_forests": ("int", positive), "loss_type": ("str", labels),
        "focal_gamma": ("real", score), "train_pixels": ("int", count),
        "val_pixels": ("int", count)}),
    "forest_done_line": (str, {
        "forest_idx": ("int", count), "num_forests": ("int", positive),
        "best_miou": ("real", score), "best_epoch": ("int", count), "best_oa": ("real", score),
        "best_aa": ("real", score), "best_kappa": ("real", score), "elapsed": ("str", labels)}),
    "print_config_box": (None, {
        "title": ("str", labels),
        "items": ("list", st.lists(st.tuples(labels, labels | count), max_size=4))}),
    "print_results_box": (None, {
        "metrics": ("dict", st.dictionaries(
            st.sampled_from(["OA", "mIoU", "AA", "kappa", "Dice", "F1", "loss"]) | labels, score,
            max_size=5)),
        "routing": ("str?", st.none() | labels)}),
    "print_per_class_iou": (None, {
        "class_ious": ("dict", st.dictionaries(st.integers(0, 99), score, max_size=5)),
        "pixel_counts": ("dict?", st.none() | st.dictionaries(st.integers(0, 99), count, max_size=5))}),
    "print_save_and_next": (None, {
        "out_dir": ("str", labels), "save_file": ("str", labels), "data_path": ("str", labels),
        "gt_path": ("str", labels), "train_ratio": ("real", score), "val_ratio": ("real", score)}),
}
STAGES = ["print_logo", "print_predict_start", "print_visualize_start", "print_training_start",
          "print_training_done"]
WITH_PARAMETERS = sorted([*SPECS, "_c"])


@pytest.fixture(autouse=True, scope="module")
def quiet_gpu():
    """forest_done_line asks nvidia-smi on every call; answer without a process."""
    real = display.subprocess
    display.subprocess = types.SimpleNamespace(check_output=lambda *a, **k: b"40, 5, 100, 200",
                                               DEVNULL=subprocess.DEVNULL)
    yield
    display.subprocess = real


@pytest.mark.parametrize("name", WITH_PARAMETERS)
@FUZZ
@given(data=st.data())
def test_arbitrary_arguments(name, data):
    fn = getattr(display, name)
    args, kwargs = data.draw(wild_call(fn))
    call(fn, args, kwargs)


@pytest.mark.parametrize("name", sorted(SPECS))
@settings(FUZZ, max_examples=200)
@given(data=st.data())
def test_one_bad_argument(name, data):
    fn = getattr(display, name)
    returns, spec = SPECS[name]
    args, kwargs, target, value = data.draw(mixed_call(fn, spec))
    outcome = call(fn, args, kwargs)
    if violates(spec[target][0], value):
        assert_argument_rejected(fn, outcome, target)
    elif outcome.ok:
        assert type(outcome.result) is str if returns is str else outcome.result is None
        # Functions that return text print nothing; the others print.
        assert (outcome.out == "") == (returns is str)


@pytest.mark.parametrize("name", [*STAGES, "gpu_stats"])
@settings(FUZZ, max_examples=40)
@given(data=st.data())
def test_parameterless(name, data):
    fn = getattr(display, name)
    args, kwargs = data.draw(wild_call(fn))
    outcome = call(fn, args, kwargs)
    if args or kwargs:
        assert isinstance(outcome.error, TypeError) and outcome.out == ""
    elif name == "gpu_stats":
        assert outcome.result == "GPU 40\u00b0C | 100 / 200 MB | 5% util"
    else:
        art = {"print_logo": "NIVRA_LOGO", "print_predict_start": "NIVRA_PREDICT",
               "print_visualize_start": "NIVRA_FLOWER", "print_training_start": "NIVRA_TRAINING",
               "print_training_done": "NIVRA_DONE"}[name]
        assert outcome.result is None and outcome.out == getattr(display, art) + "\n"


@FUZZ
@given(text=arbitrary, codes=st.lists(st.sampled_from([display.BOLD, display.RED, ""]) | texts
                                      | arbitrary, max_size=3))
def test_c_joins_codes_text_and_reset(text, codes):
    outcome = call(display._c, [text, *codes])
    try:
        expected = "".join(codes) + str(text) + display.RESET
    except Exception as error:
        assert not outcome.ok and type(outcome.error) is type(error)
    else:
        assert outcome.result == expected and outcome.out == ""


# ---- gpu_stats against whatever check_output gives or raises ---------------------

def tool_line(fields, pads):
    return ",".join(f"{pad}{field}{pad}" for field, pad in zip(fields, pads))


tool_bytes = (
    st.binary(max_size=40)
    | st.builds(tool_line, st.lists(st.text(st.characters(exclude_characters=","), max_size=6),
                                    min_size=3, max_size=5),
                st.lists(st.sampled_from(["", " ", "\t", "\n"]), min_size=5, max_size=5))
    .map(lambda line: line.encode("utf-8", "surrogatepass"))
)
tool_errors = st.sampled_from([
    FileNotFoundError(2, "No such file or directory: 'nvidia-smi'"), PermissionError(13, "denied"),
    subprocess.CalledProcessError(9, "nvidia-smi", b"1, 2, 3, 4"),
    subprocess.TimeoutExpired("nvidia-smi", 5), UnicodeDecodeError("utf-8", b"\xff", 0, 1, "bad"),
    OSError(), RuntimeError("x"), Boom("x"), MemoryError(), RecursionError(),
]) | hostiles.map(lambda value: ValueError(value))


def reference_gpu_line(out):
    """The documented result, computed in Python."""
    try:
        temp, util, used, total = [piece.strip() for piece in out.decode().strip().split(",")]
        return f"GPU {temp}\u00b0C | {used} / {total} MB | {util}% util"
    except Exception:
        return ""


@settings(FUZZ, max_examples=200)
@given(answer=tool_bytes | arbitrary | tool_errors)
def test_gpu_stats_on_any_tool_answer(answer):
    def check_output(*args, **kwargs):
        if isinstance(answer, BaseException):
            raise answer
        return answer

    real = display.subprocess
    display.subprocess = types.SimpleNamespace(check_output=check_output, DEVNULL=subprocess.DEVNULL)
    try:
        outcome = call(display.gpu_stats)
    finally:
        display.subprocess = real
    assert outcome.ok and outcome.out == "" and outcome.err == ""
    expected = "" if isinstance(answer, BaseException) else reference_gpu_line(answer)
    assert outcome.result == expected


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_gpu_stats_lets_non_ordinary_exceptions_through(monkeypatch, error):
    def check_output(*args, **kwargs):
        raise error()

    monkeypatch.setattr(display, "subprocess",
                        types.SimpleNamespace(check_output=check_output, DEVNULL=subprocess.DEVNULL))
    with pytest.raises(error):
        display.gpu_stats()


# ---- containers changed by the values being printed ------------------------------

class Mutator:
    """A score-like value that runs `action` whenever it is compared, scaled,
    formatted or converted to text."""

    def __init__(self, action):
        self.action = action

    def fire(self):
        self.action()
        return self

    def __format__(self, spec):
        self.fire()
        return format(0.5, spec)

    def __str__(self):
        self.fire()
        return "m"

    def __ge__(self, other):
        self.fire()
        return True

    def __lt__(self, other):
        self.fire()
        return False

    def __mul__(self, other):
        self.fire()
        return 0.5 * other


def list_actions(target):
    return [target.clear, lambda: target.append(("k", 1)), lambda: target.append(None),
            lambda: target.extend([("x", Mutator(target.clear))] * 3), lambda: target.pop() if target else 0,
            lambda: target.__setitem__(slice(None), [("y", 2)] * 5)]


def dict_actions(target):
    return [target.clear, lambda: target.__setitem__(len(target) + 100, 0.5),
            lambda: target.pop(next(iter(target))) if target else 0, lambda: target.update({7: 0.1}),
            lambda: target.__setitem__(1, Mutator(target.clear))]


@pytest.mark.parametrize("name", ["print_config_box", "print_results_box", "print_per_class_iou",
                                  "print_per_class_iou+counts", "node_banner"])
@settings(FUZZ, max_examples=60)
@given(picks=st.lists(st.integers(0, 5), min_size=1, max_size=4), size=st.integers(1, 4))
def test_containers_changed_while_printed(name, picks, size):
    if name in ("print_config_box", "node_banner"):
        target = [("label", 0)] * size
        actions = list_actions(target)
        for i, pick in enumerate(picks):
            target[i % size] = ("label", Mutator(actions[pick % len(actions)]))
    else:
        target = {i: 0.9 for i in range(size)}
        actions = dict_actions(target)
        for i, pick in enumerate(picks):
            target[i % size] = Mutator(actions[pick % len(actions)])
    calls = {
        "print_config_box": lambda: display.print_config_box("t", target),
        "print_results_box": lambda: display.print_results_box(target),
        "print_per_class_iou": lambda: display.print_per_class_iou(target),
        "print_per_class_iou+counts": lambda: display.print_per_class_iou({1: 0.5, 2: 0.7}, target),
        "node_banner": lambda: display.node_banner("n", target, 3, 1, 1, "ce", 2.0, 1, 1),
    }
    fn = calls[name]
    fn.__name__ = name.split("+")[0]
    outcome = call(fn)
    assert outcome.ok or isinstance(outcome.error, (RuntimeError, TypeError, ValueError)), outcome.error
