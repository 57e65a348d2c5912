"""The installed stub describes exactly what the compiled module exposes, and the
package's annotations type-check a caller."""

import ast
import inspect
import subprocess
import sys
from pathlib import Path

import pytest

from marbolt_rs import _marbolt_rs, _native

PACKAGE = Path(_marbolt_rs.__file__).parent


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


class Stub:
    """A compiled module, its engine's name, and the parsed stub installed beside it."""

    def __init__(self, module, engine):
        self.module, self.engine = module, engine
        self.tree = ast.parse((PACKAGE / f"{module.__name__.split('.')[-1]}.pyi").read_text())
        self.engine_class = next(node for node in self.tree.body
                                 if isinstance(node, ast.ClassDef) and node.name == engine)

    def __repr__(self):
        return self.module.__name__


STUBS = [Stub(_marbolt_rs, "CostEngine"), Stub(_native, "Engine")]
CALLABLES = [(stub, name) for stub in STUBS for name in sorted(dir(stub.module))
             if callable(getattr(stub.module, name)) and name[0] != "_"]


@pytest.mark.parametrize("stub", STUBS, ids=repr)
def test_stub_names_are_the_module_names(stub):
    names = set(stub_functions(stub.tree.body)) | {
        node.name for node in stub.tree.body if isinstance(node, ast.ClassDef)} | {
        node.target.id for node in stub.tree.body if isinstance(node, ast.AnnAssign)}
    assert public(names) == public(dir(stub.module))


@pytest.mark.parametrize("stub, name", CALLABLES, ids=lambda v: v if isinstance(v, str) else repr(v))
def test_stub_parameters_match_the_text_signatures(stub, name):
    functions = stub_functions(stub.engine_class.body if name == stub.engine else stub.tree.body)
    node = functions["__new__" if name == stub.engine else name]
    assert parameters(node) == runtime_parameters(getattr(stub.module, name))


@pytest.mark.parametrize("stub", STUBS, ids=repr)
def test_stub_engine_members_are_the_engine_members(stub):
    members = stub_functions(stub.engine_class.body)
    engine = getattr(stub.module, stub.engine)
    assert public(members) == public(dir(engine))
    for method in ("error", "sum_of_costs"):
        assert parameters(members[method]) == runtime_parameters(getattr(engine, method))[1:]


def test_package_is_marked_typed():
    assert (PACKAGE / "py.typed").is_file()


# Each line of the misuse is one error mypy must report.
MISUSE = """\
import marbolt_rs
flow = marbolt_rs.datasets.load_nile().flow
marbolt_rs.detect(flow, pen=[1.0])
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
