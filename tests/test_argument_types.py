"""Declared numeric parameters, one rule per table across every function that
has them: int parameters take what int() converts, float parameters take real
numbers and work with float() of them, and the summary's elapsed time takes
what the runtime turns into a float. Anything else is a TypeError naming the
parameter, raised before anything is printed."""

import inspect
import math
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

from nivra import convert
from nivra.utils import display

# Valid positional arguments per function, then its int and its float parameters.
FUNCTIONS = {
    "epoch_bar": ((20, 40, 0.5, 0.5, 0.75, 0.95, 0.5, 0.5, 20, "  "),
                  ["epoch", "total", "interval"], ["loss", "val_loss", "oa", "miou", "aa", "kappa"]),
    "forest_banner": ((0, 3, 7, "n"), ["forest_idx", "num_forests", "seed"], []),
    "forest_done_line": ((0, 3, 0.5, 40, 0.5, 0.8, 0.95, "2m"),
                         ["forest_idx", "num_forests", "best_epoch"],
                         ["best_miou", "best_oa", "best_aa", "best_kappa"]),
    "node_banner": (("n", [1], 2, 1, 1, "focal", 2.0, 0, 0),
                    ["num_classes", "epochs", "num_forests", "train_pixels", "val_pixels"], ["focal_gamma"]),
    "print_save_and_next": (("o", "m", "d", "g", 0.5, 0.5), [], ["train_ratio", "val_ratio"]),
}
INT_PARAMETERS = [(f, name) for f, (_, ints, _) in FUNCTIONS.items() for name in ints]
FLOAT_PARAMETERS = [(f, name) for f, (_, _, floats) in FUNCTIONS.items() for name in floats]
OPTIONAL = {"val_loss", "oa", "miou", "aa", "kappa"}


@pytest.fixture(autouse=True)
def fixed_gpu(monkeypatch):
    monkeypatch.setattr(display, "gpu_stats", lambda: "G")


def run(capsys, function, **changes):
    """(result, printed text) of a valid call with `changes` applied."""
    fn = getattr(display, function)
    arguments = inspect.signature(fn).bind(*FUNCTIONS[function][0]).arguments
    result = fn(**{**arguments, **changes})
    return result, capsys.readouterr().out


def refused(capsys, function, name, value, expected):
    pattern = rf"^{function}\(\) argument '{name}' must be {expected}, not {type(value).__name__}$"
    with pytest.raises(TypeError, match=pattern) as info:
        run(capsys, function, **{name: value})
    assert capsys.readouterr().out == ""
    return info.value


class FloatRaising(float):
    """A real number whose float() raises `error`."""

    def __new__(cls, error):
        self = super().__new__(cls, 0.5)
        self.error = error
        return self

    def __float__(self):
        raise self.error("no float")


# ---- int parameters ---------------------------------------------------------------

@pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf, 1j, Decimal("NaN"), Decimal("-Infinity")],
                         ids=repr)
@pytest.mark.parametrize("function, name", INT_PARAMETERS)
def test_int_parameter_refuses_numbers_int_cannot_convert(capsys, function, name, value):
    error = refused(capsys, function, name, value, "a number convertible to int")
    assert isinstance(error.__cause__, (TypeError, ValueError, OverflowError))


@pytest.mark.parametrize("value", ["3", None, b"3", [3]], ids=repr)
@pytest.mark.parametrize("function, name", INT_PARAMETERS)
def test_int_parameter_refuses_non_numbers(capsys, function, name, value):
    refused(capsys, function, name, value, "a number convertible to int")


@pytest.mark.parametrize("value, same_as", [(Fraction(9, 2), 4), (Decimal("2.9"), 2), (np.float32(3.5), 3),
                                            (True, 1), (np.int64(5), 5), (np.uint8(200), 200)], ids=repr)
@pytest.mark.parametrize("function, name", INT_PARAMETERS)
def test_int_parameter_works_with_int_of_the_value(capsys, function, name, value, same_as):
    assert run(capsys, function, **{name: value}) == run(capsys, function, **{name: same_as})


# ---- float parameters -------------------------------------------------------------

@pytest.mark.parametrize("value", [Fraction(1, 3), Fraction(-7, 2), np.float32(0.1), np.float16(0.7), True,
                                   np.int8(-3), 10**30, math.nan], ids=repr)
@pytest.mark.parametrize("function, name", FLOAT_PARAMETERS)
def test_float_parameter_works_with_the_float_it_equals(capsys, function, name, value):
    assert run(capsys, function, **{name: value}) == run(capsys, function, **{name: float(value)})


@pytest.mark.parametrize("value", [10**400, -10**400, Decimal("0.5"), 1j, np.bool_(True), "0.5", b"1",
                                   FloatRaising(ValueError), FloatRaising(OverflowError)], ids=repr)
@pytest.mark.parametrize("function, name", FLOAT_PARAMETERS)
def test_float_parameter_refuses_what_is_not_a_convertible_real(capsys, function, name, value):
    refused(capsys, function, name, value, "a real number or None" if name in OPTIONAL else "a real number")


@pytest.mark.parametrize("function, name", FLOAT_PARAMETERS)
def test_float_parameter_passes_other_conversion_errors_through(capsys, function, name):
    with pytest.raises(RuntimeError, match="^no float$"):
        run(capsys, function, **{name: FloatRaising(RuntimeError)})
    assert capsys.readouterr().out == ""


def test_none_only_where_declared(capsys):
    for function, name in FLOAT_PARAMETERS:
        if name in OPTIONAL:
            run(capsys, function, **{name: None})
        else:
            refused(capsys, function, name, None, "a real number")


def test_first_bad_parameter_in_declaration_order_is_named(capsys):
    with pytest.raises(TypeError, match="'total'"):
        display.epoch_bar(1, math.nan, 10**400, oa=1j)
    with pytest.raises(TypeError, match="'loss'"):
        display.epoch_bar(1, 10, 10**400, oa=1j, interval=math.inf)


# ---- the summary's elapsed time ----------------------------------------------------

class Index:
    def __index__(self):
        return 3


class HasFloat:
    def __init__(self, result):
        self.result = result

    def __float__(self):
        if isinstance(self.result, type):
            raise self.result("no float")
        return self.result


IMAGE = np.zeros((2, 2))


@pytest.mark.parametrize("elapsed, shown", [
    (np.bool_(True), "1.00"), (Decimal("1.5"), "1.50"), (Decimal("NaN"), "nan"), (Fraction(1, 3), "0.33"),
    (Index(), "3.00"), (HasFloat(2.25), "2.25"), (np.float32(0.5), "0.50"), (-1.0, "-1.00"),
])
def test_elapsed_takes_what_converts_to_float(capsys, elapsed, shown):
    convert._print_summary(IMAGE, None, {}, None, "o", elapsed)
    assert f"Elapsed: {shown}s" in capsys.readouterr().out


@pytest.mark.parametrize("elapsed", ["1.5", None, 1j, 10**400, Decimal("sNaN"), HasFloat(ValueError),
                                     HasFloat(OverflowError), HasFloat(TypeError), HasFloat("1.5")],
                         ids=repr)
def test_elapsed_refuses_what_does_not(capsys, elapsed):
    with pytest.raises(TypeError, match=r"^_print_summary\(\) argument 'elapsed' must be float, not \w+$"):
        convert._print_summary(IMAGE, None, {}, None, "o", elapsed)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("error", [RuntimeError, KeyError, ZeroDivisionError])
def test_elapsed_conversion_errors_of_other_kinds_pass_through(capsys, error):
    with pytest.raises(error, match="no float"):
        convert._print_summary(IMAGE, None, {}, None, "o", HasFloat(error))
    assert capsys.readouterr().out == ""
