"""The type stubs ship beside the extension modules and agree with them."""

import ast
import inspect
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from nivra import convert
from nivra.utils import display

EXAMPLE = Path(__file__).resolve().parents[1] / "examples" / "typed_usage.py"


def stub_tree(module):
    path = Path(module.__file__).with_name(module.__name__.rsplit(".", 1)[-1] + ".pyi")
    assert path.is_file(), f"{path} not installed"
    assert (Path(convert.__file__).parent / "py.typed").is_file()
    return ast.parse(path.read_text())


def stub_entries(tree):
    functions, names = {}, set()
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            functions[node.name] = node
        elif isinstance(node, ast.AnnAssign):
            names.add(node.target.id)
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            names.update(alias.asname for alias in node.names if alias.asname)
    return functions, names


def stub_parameters(node):
    args = node.args
    defaults = [None] * (len(args.args) - len(args.defaults)) + [ast.literal_eval(d) for d in args.defaults]
    params = [(a.arg, inspect.Parameter.POSITIONAL_OR_KEYWORD, d) for a, d in zip(args.args, defaults)]
    if args.vararg:
        params.append((args.vararg.arg, inspect.Parameter.VAR_POSITIONAL, None))
    return params


def runtime_parameters(function):
    return [(p.name, p.kind, None if p.default is inspect.Parameter.empty else p.default)
            for p in inspect.signature(function).parameters.values()]


@pytest.mark.parametrize("module", [convert, display])
def test_every_module_name_has_a_stub_entry(module):
    functions, names = stub_entries(stub_tree(module))
    public = {name for name in vars(module) if not name.startswith("__")}
    assert public - functions.keys() - names == set()
    assert set(functions) | names <= public | {"_Loaded"}


@pytest.mark.parametrize("module", [convert, display])
def test_stub_signatures_match_the_runtime(module):
    functions, _ = stub_entries(stub_tree(module))
    for name, node in functions.items():
        assert stub_parameters(node) == runtime_parameters(getattr(module, name)), name


def test_help_shows_signature_and_docstring():
    text = inspect.getdoc(convert._print_summary)
    assert text == "Print conversion summary with all relevant details."
    assert str(inspect.signature(convert._apply_crop)) == "(data, gt, crop)"
    assert convert._detect_format.__doc__ is None


@pytest.mark.skipif(shutil.which("mypy") is None and not Path(sys.executable).with_name("mypy").exists(),
                    reason="mypy not installed")
def test_example_passes_mypy_strict(tmp_path):
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                             "--cache-dir", str(tmp_path), str(EXAMPLE)],
                            capture_output=True, text=True, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
