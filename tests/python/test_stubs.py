"""The installed stub describes exactly what the compiled module exposes, and the
package's annotations type-check a caller."""

import ast
import inspect
import subprocess
import sys
from pathlib import Path

import pytest

from marbolt_rs import _marbolt_rs as m

PACKAGE = Path(m.__file__).parent
STUB = ast.parse((PACKAGE / "_marbolt_rs.pyi").read_text())


def public(names):
    return {name for name in names if not name.startswith("_") or name == "__version__"}


def stub_functions(body):
    return {node.name: node for node in body if isinstance(node, ast.FunctionDef)}


def parameters(node):
    """(name, has a None default) for each parameter of a stub function, without self/cls."""
    args = node.args.args
    defaults = [None] * (len(args) - len(node.args.defaults)) + node.args.defaults
    return [(a.arg, isinstance(d, ast.Constant) and d.value is None)
            for a, d in zip(args, defaults) if a.arg not in ("self", "cls")]


def runtime_parameters(function):
    return [(p.name, p.default is None) for p in inspect.signature(function).parameters.values()]


ENGINE = next(node for node in STUB.body if isinstance(node, ast.ClassDef) and node.name == "CostEngine")


def test_stub_names_are_the_module_names():
    names = set(stub_functions(STUB.body)) | {
        node.name for node in STUB.body if isinstance(node, ast.ClassDef)} | {
        node.target.id for node in STUB.body if isinstance(node, ast.AnnAssign)}
    assert public(names) == public(dir(m))


@pytest.mark.parametrize("name", sorted(n for n in dir(m) if callable(getattr(m, n)) and n[0] != "_"))
def test_stub_parameters_match_the_text_signatures(name):
    functions = stub_functions(ENGINE.body if name == "CostEngine" else STUB.body)
    stub = functions["__new__" if name == "CostEngine" else name]
    assert parameters(stub) == runtime_parameters(getattr(m, name))


def test_stub_engine_members_are_the_engine_members():
    members = stub_functions(ENGINE.body)
    assert public(members) == public(dir(m.CostEngine))
    for method in ("error", "sum_of_costs"):
        assert parameters(members[method]) == runtime_parameters(getattr(m.CostEngine, method))[1:]


def test_package_is_marked_typed():
    assert (PACKAGE / "py.typed").is_file()


# Each line of the misuse is one error mypy must report.
MISUSE = """\
import marbolt_rs
flow = marbolt_rs.datasets.load_nile().flow
marbolt_rs.detect(flow, pen="high")
name: str = marbolt_rs.detect(flow).breakpoints
marbolt_rs.penalty_path(flow, 1.0, 2.0)[0].n_changes
marbolt_rs.detect_many([flow], executor=3)
marbolt_rs.metrics.f1_score([1], [1], margin=0.5)
"""


def test_mypy_strict_accepts_a_caller_of_the_public_api_and_rejects_misuse(tmp_path):
    pytest.importorskip("mypy")
    caller = Path(__file__).with_name("typed_caller.py")
    misuse = tmp_path / "misuse.py"
    misuse.write_text(MISUSE)
    # The build directory keeps mypy's cache between runs (and out of git).
    cache = Path(__file__).resolve().parents[2] / "build" / "mypy-cache"
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
                           "--cache-dir", str(cache), str(caller), str(misuse)],
                          capture_output=True, text=True, timeout=300)
    lines = [line for line in done.stdout.splitlines() if ": error: " in line]
    assert [line.split(":")[:2] for line in lines] == \
        [[str(misuse), str(n)] for n in range(3, 8)], done.stdout
