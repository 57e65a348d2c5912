"""The compiled module's reference pages: signatures from its type stub, text from the docs.

The functions of `marbolt_rs._marbolt_rs` are a fixed interface whose
docstrings hold little more than their text signatures, and introspection
knows neither their types nor their results. The type stub
(``python/marbolt_rs/_marbolt_rs.pyi``) does, so autodoc shows the stub's
signature for each of them; `compiled_text.SUPPLEMENTS` adds the numpydoc
sections (Parameters, Returns, Raises, Examples) that the module's own
docstring lacks. Where a docstring of the module already has a Parameters
section, it is shown alone.
"""

import ast
import functools
import pathlib

from sphinx.ext.autodoc import ClassDocumenter, FunctionDocumenter
from sphinx.util.docstrings import prepare_docstring

import marbolt_rs
from marbolt_rs import _marbolt_rs
from compiled_text import SUPPLEMENTS

STUB = pathlib.Path(marbolt_rs.__file__).with_name("_marbolt_rs.pyi")


class _Aliases(ast.NodeTransformer):
    """Replaces the stub's private type aliases (_Signal, _Real) by what they stand for."""

    def __init__(self, aliases):
        self.aliases = aliases

    def visit_Name(self, node):
        return self.aliases.get(node.id, node)


def _signature(function, aliases, drop_first):
    args = _Aliases(aliases).visit(function.args)
    if drop_first:  # self or cls
        args.args = args.args[1:]
    returns = _Aliases(aliases).visit(function.returns) if function.returns else None
    return f"({ast.unparse(args)})", ast.unparse(returns) if returns else None


@functools.lru_cache(maxsize=None)
def stub_signatures(path=STUB):
    """{qualified name: (signature, return annotation)} of every callable in the stub."""
    tree = ast.parse(path.read_text())
    aliases = {node.targets[0].id: node.value for node in tree.body
               if isinstance(node, ast.Assign) and node.targets[0].id.startswith("_")}
    found = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            found[node.name] = _signature(node, aliases, drop_first=False)
        elif isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    name = node.name if item.name == "__new__" else f"{node.name}.{item.name}"
                    signature, returns = _signature(item, aliases, drop_first=True)
                    found[name] = (signature, None if item.name == "__new__" else returns)
    return found


def _compiled_name(obj):
    """The name of `obj` in the compiled module, or None for anything else."""
    if getattr(obj, "__module__", None) != _marbolt_rs.__name__:
        return None
    return getattr(obj, "__qualname__", None)


def _with_supplement(documenter, lines):
    name = _compiled_name(documenter.object)
    if name is None or name not in SUPPLEMENTS:
        return lines
    own = [line for block in lines for line in block]
    if "Parameters" in [line.strip() for line in own]:
        return lines
    supplement = prepare_docstring(SUPPLEMENTS[name])
    return [own + ([""] if own else []) + supplement]


class CompiledFunctionDocumenter(FunctionDocumenter):
    """Functions, with the docs' sections for those of the compiled module."""

    def get_doc(self):
        return _with_supplement(self, super().get_doc())


class CompiledClassDocumenter(ClassDocumenter):
    """Classes, with the docs' sections for CostEngine."""

    def get_doc(self):
        return _with_supplement(self, super().get_doc())


def stub_signature(app, what, name, obj, options, signature, return_annotation):
    compiled = _compiled_name(obj)
    if compiled is None:
        return None
    return stub_signatures().get(compiled, (signature, return_annotation))


def setup(app):
    app.setup_extension("sphinx.ext.autodoc")
    app.add_autodocumenter(CompiledFunctionDocumenter, override=True)
    app.add_autodocumenter(CompiledClassDocumenter, override=True)
    # Before numpydoc, whose handler answers with the bare text signature.
    app.connect("autodoc-process-signature", stub_signature, priority=400)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
