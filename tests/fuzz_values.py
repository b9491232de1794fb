"""Arbitrary and hostile argument values for the fuzz tests, and the check
that a call into the native modules ended in an allowed way."""

import inspect
import io
import math
import re
import warnings
from decimal import Decimal
from contextlib import redirect_stderr, redirect_stdout

import numpy as np
from hypothesis import strategies as st


class Boom(Exception):
    """Raised by hostile objects; must reach the caller unchanged."""


def _raiser(name, error):
    def method(self, *args, **kwargs):
        raise error(f"hostile {name}")

    return method


def hostile(base, name, error=Boom):
    """An instance of a `base` subclass whose dunder `name` raises `error`."""
    namespace = {name: _raiser(name, error), "__hash__": object.__hash__}
    if name == "__hash__":
        namespace["__hash__"] = _raiser(name, error)
    cls = type(f"Hostile{base.__name__.title()}{name.strip('_').title()}", (base,), namespace)
    return cls() if base is object else cls(*{str: ("x",), int: (7,), float: (0.5,)}.get(base, ()))


class StrSub(str):
    pass


class IntSub(int):
    pass


class DictSub(dict):
    pass


class ListSub(list):
    pass


class TupleSub(tuple):
    pass


DUNDERS = ["__str__", "__repr__", "__format__", "__len__", "__iter__", "__eq__", "__bool__",
           "__hash__", "__index__", "__int__", "__float__", "__lt__", "__ge__", "__getitem__",
           "__mul__", "__truediv__", "__getattr__"]

hostiles = st.builds(hostile, st.sampled_from([object, str, int, float, dict, list, tuple]),
                     st.sampled_from(DUNDERS),
                     st.sampled_from([Boom, ValueError, RuntimeError, KeyError, ZeroDivisionError]))

# Magnitudes are either small or far beyond 2**63, so a value that becomes a
# repeat count (bars) fails fast instead of allocating gigabytes.
small_ints = st.integers(-10_000, 10_000)
huge_ints = st.sampled_from([2**63 - 1, 2**63, -2**63 - 1, 2**64, 2**100, -2**100, 10**30, 3**200])
ints = small_ints | huge_ints | st.sampled_from([IntSub(5), hostile(int, "__index__")])
floats = (st.floats(-1e4, 1e4)
          | st.sampled_from([math.nan, math.inf, -math.inf, -0.0, 5e-324, 1e19, -1e19, 1e308, 2.0**64]))

special_text = st.sampled_from([
    "", " ", "\x00", "a\x00b", "\x1b[31m", "\r\n\t", "\ud800", "\udcff\udc80", "日本語テキスト",
    "👍🏽🇩🇪", "e\u0301", "\u202e", "{}", "{0}", "%s", "::", ":/", "x.h5:/a/b", "a.tif", "-x", "--img",
    "." * 300, "ä" * 5000,
])
texts = st.text(st.characters(exclude_categories=()), max_size=40) | special_text
str_subclasses = st.builds(StrSub, texts) | st.builds(np.str_, texts)

numpy_scalars = st.sampled_from([
    np.int8(-128), np.uint8(255), np.int64(-2**63), np.int64(2**63 - 1), np.uint64(2**64 - 1),
    np.float32(math.nan), np.float64(math.inf), np.float16(-0.0), np.float64(0.75), np.bool_(True),
    np.complex128(1 + 2j), np.bytes_(b"\xff"), np.datetime64("NaT"), np.int32(12),
])
ARRAYS = [
    np.array(3), np.array([]), np.arange(4, dtype=np.uint8), np.zeros((2, 0, 3)),
    np.arange(6, dtype=np.int16).reshape(2, 3), np.full((2, 2), np.nan), np.ones((3, 2, 2), bool),
    np.array([[2**63 - 1, -2**63]]), np.array([1 + 2j, np.inf]), np.array(["a", "b"]),
    np.array([None, {}], dtype=object), np.arange(24, dtype=np.float32).reshape(2, 3, 4),
    np.arange(8, dtype=">u2").reshape(2, 2, 2)[:, ::-1], np.zeros((1, 1, 1, 1)),
]
numpy_arrays = st.sampled_from(ARRAYS).map(np.copy)

scalars = (st.none() | st.booleans() | ints | floats | texts | str_subclasses | st.binary(max_size=20)
           | st.builds(bytearray, st.binary(max_size=8)) | numpy_scalars | numpy_arrays | hostiles
           | st.sampled_from([1j, Ellipsis, NotImplemented, object(), type, print, range(3)]))


def _hashable(value):
    try:
        hash(value)
    except Exception:
        return False
    return True


def _containers(children):
    keys = st.none() | st.booleans() | small_ints | texts | floats | st.tuples(small_ints)
    return (st.lists(children, max_size=4) | st.lists(children, max_size=4).map(tuple)
            | st.dictionaries(keys, children, max_size=4)
            | st.dictionaries(texts, children, max_size=3).map(DictSub)
            | st.lists(children, max_size=3).map(ListSub)
            | st.lists(children, max_size=3).map(TupleSub))


# The one strategy of arbitrary values used by every fuzz test.
arbitrary = st.recursive(scalars, _containers, max_leaves=8)

# Odd values that still have a parameter's declared type (or pass its check).
_numbers = (ints | floats | st.booleans() | numpy_scalars
            | st.fractions(-10_000, 10_000, max_denominator=1000)
            | st.decimals(-10_000, 10_000, places=3)
            | st.sampled_from([Decimal("NaN"), Decimal("-Infinity"), Decimal("1E+30"), Decimal("-0")])
            | st.sampled_from([hostile(float, "__float__"), hostile(int, "__int__"),
                               hostile(float, "__format__"), hostile(int, "__mul__")]))
OF_KIND = {
    "str": texts, "str?": texts | st.none(),
    "int": _numbers, "real": _numbers, "real?": _numbers | st.none(),
    "list": st.lists(arbitrary, max_size=4), "tuple": st.lists(arbitrary, max_size=5).map(tuple),
    "dict": st.dictionaries(scalars.filter(_hashable), arbitrary, max_size=4),
}
OF_KIND["dict?"] = OF_KIND["dict"] | st.none()


# ---- calling and judging ---------------------------------------------------------

def parameters(fn):
    return list(inspect.signature(fn).parameters.values())


def is_argument_check(fn, error):
    """True for the TypeError a function raises about its own arguments."""
    name = re.escape(fn.__name__)
    message = str(error)
    return isinstance(error, TypeError) and bool(
        re.match(rf"{name}\(\)( argument '\w+' must be |: incompatible function arguments)", message))


def _chain(error):
    seen = []
    while error is not None and error not in seen:
        seen.append(error)
        error = error.__cause__ or error.__context__
    return seen


# Texts pybind11 uses when a C++ exception or a failed cast escapes.
NATIVE_LEAKS = ("Unable to cast", "Caught an unknown exception", "returned NULL without setting",
                "returned a result with an exception set", "std::", "pybind11")


class Outcome:
    def __init__(self, result=None, error=None, out="", err=""):
        self.result, self.error, self.out, self.err = result, error, out, err

    @property
    def ok(self):
        return self.error is None


def call(fn, args=(), kwargs=None, exits=False):
    """Calls fn with stdout and stderr captured and checks that it ended in an
    allowed way: a result, an ordinary exception (no SystemError, no leaked
    C++ error, nothing printed before an argument-check TypeError), or
    SystemExit where `exits` allows it. Returns the Outcome."""
    out, err = io.StringIO(), io.StringIO()
    try:
        with redirect_stdout(out), redirect_stderr(err):
            result = fn(*args, **(kwargs or {}))
    except SystemExit as error:
        assert exits, f"{fn.__name__} raised SystemExit({error.code})"
        return Outcome(error=error, out=out.getvalue(), err=err.getvalue())
    except Exception as error:
        for link in _chain(error):
            assert not isinstance(link, SystemError), f"SystemError from {fn.__name__}: {link!r}"
            text = _safe_text(link)
            assert not any(leak in text for leak in NATIVE_LEAKS), f"native error leaked: {text}"
        if is_argument_check(fn, error):
            assert out.getvalue() == "", f"{fn.__name__} printed before rejecting its arguments"
        return Outcome(error=error, out=out.getvalue(), err=err.getvalue())
    return Outcome(result=result, out=out.getvalue(), err=err.getvalue())


def _safe_text(error):
    try:
        return str(error)
    except Exception:
        return ""


@st.composite
def wild_call(draw, fn):
    """Arbitrary values for every parameter, positional or keyword, with
    missing, surplus and unknown arguments as well."""
    names = [p.name for p in parameters(fn) if p.kind is not p.VAR_POSITIONAL]
    count = draw(st.integers(0, len(names) + 2))
    args = draw(st.lists(arbitrary, min_size=count, max_size=count))
    keywords = st.sampled_from(names + ["bogus", "self", "args", "kwargs"]) if names else st.just("bogus")
    kwargs = draw(st.dictionaries(keywords, arbitrary, max_size=3))
    return args, kwargs


@st.composite
def mixed_call(draw, fn, spec):
    """Valid values for every parameter but one, which gets an arbitrary value,
    an odd one of its declared kind or another valid one; each passed positionally or by keyword
    in parameter order. `spec` maps a parameter to (kind, valid strategy).
    Returns (args, kwargs, name, value)."""
    params = [p for p in parameters(fn) if p.name in spec]
    values = {p.name: draw(spec[p.name][1]) for p in params
              if p.default is p.empty or draw(st.booleans())}
    target = draw(st.sampled_from([p.name for p in params]))
    kind, valid = spec[target]
    values[target] = draw(arbitrary | OF_KIND.get(kind, arbitrary) | valid)
    split = draw(st.integers(0, len(params)))
    args, kwargs = [], {}
    for i, p in enumerate(params):
        if p.name not in values:
            split = min(split, i)  # a skipped default ends the positional run
        elif i < split:
            args.append(values[p.name])
        else:
            kwargs[p.name] = values[p.name]
    return args, kwargs, target, values[target]


def fails_to_convert(convert, value):
    """Whether convert(value) fails the way a bad value does; other errors
    (a hostile object's own) pass through the checks unchanged."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # numpy's complex-to-real warning
            convert(value)
    except (TypeError, ValueError, OverflowError):
        return True
    except Exception:
        return False
    return False


def violates(kind, value):
    """Whether `value` breaks the declared type `kind` of a parameter."""
    import numbers
    exact = {"str": str, "list": list, "dict": dict, "tuple": tuple}
    if kind in exact:
        return type(value) is not exact[kind]
    if kind == "str?":
        return value is not None and type(value) is not str
    if kind == "dict?":
        return value is not None and type(value) is not dict
    if kind == "real?" and value is None:
        return False
    if kind in ("real", "real?"):
        return not isinstance(value, numbers.Real) or fails_to_convert(float, value)
    if kind == "int":
        return not isinstance(value, numbers.Number) or fails_to_convert(int, value)
    return False


def assert_argument_rejected(fn, outcome, name):
    """The call must have failed with TypeError naming parameter `name`,
    before anything was printed."""
    assert isinstance(outcome.error, TypeError), (fn.__name__, name, outcome.error, outcome.result)
    assert f"argument '{name}'" in str(outcome.error), str(outcome.error)
    assert outcome.out == ""
