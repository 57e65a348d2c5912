"""The installed stub describes exactly what the compiled module exposes."""

import ast
import inspect
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
