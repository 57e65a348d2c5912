import doctest
import importlib.metadata
import inspect
import subprocess
import sys

import pytest

import marbolt_rs
import marbolt_rs.cli
from marbolt_rs import _marbolt_rs as m

# In registration order.
BUILT_FUNCTIONS = [
    "dynp", "dynp_all", "pelt", "kernel_pelt", "binseg", "bottomup", "window_fit",
    "window_predict", "crops", "sanity_check", "check_outer_memory",
]


class TestContents:
    def test_exposes_the_engine_functions_and_version(self):
        public = {name for name in dir(m) if not name.startswith("__")}
        assert public == {"CostEngine", *BUILT_FUNCTIONS}
        assert [name for name in vars(m) if name in BUILT_FUNCTIONS] == BUILT_FUNCTIONS
        assert m.__version__ == "0.1.1"
        assert m.__doc__ == ""

    def test_package_reexports_the_compiled_module(self):
        assert marbolt_rs._marbolt_rs is m
        assert marbolt_rs.CostEngine is m.CostEngine
        assert marbolt_rs.__version__ == "0.1.1"

    def test_the_installed_metadata_has_the_modules_version(self):
        assert importlib.metadata.version("marbolt_rs") == m.__version__

    def test_optional_dependencies_are_not_imported_with_the_package(self):
        code = ("import sys, marbolt_rs\n"
                "print(sorted({'pandas', 'matplotlib', 'tqdm'} & set(sys.modules)))\n")
        out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True,
                             text=True)
        assert out.stdout == "[]\n"

    def test_reimport_returns_the_same_module_object(self):
        code = (
            "import sys, importlib\n"
            "import marbolt_rs._marbolt_rs as a\n"
            "del sys.modules['marbolt_rs._marbolt_rs']\n"
            "b = importlib.import_module('marbolt_rs._marbolt_rs')\n"
            "assert a is b and a.CostEngine is b.CostEngine\n"
        )
        subprocess.run([sys.executable, "-c", code], check=True)

    def test_a_second_interpreter_gets_import_error(self):
        code = (
            "import marbolt_rs._marbolt_rs\n"
            "import _xxsubinterpreters as interpreters\n"
            "interp = interpreters.create()\n"
            "try:\n"
            "    interpreters.run_string(interp, 'import marbolt_rs._marbolt_rs')\n"
            "except Exception as e:\n"
            "    print(type(e).__name__, e)\n"
        )
        out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
        assert "ImportError" in out.stdout


class TestSignatures:
    def test_engine_type_identity(self):
        assert m.CostEngine.__name__ == "CostEngine"
        assert m.CostEngine.__module__ == "marbolt_rs._marbolt_rs"
        assert m.CostEngine.__text_signature__ == "(signal, model, params=None, variant=None)"

    def test_engine_docstring_body(self):
        assert m.CostEngine.__doc__ == (
            "A fitted cost function over a fixed signal.\n\n"
            "Holds the prefix-sum structures, so construction is O(n * d) (or O(n^2) for\n"
            "the kernel costs, the same as the Gram matrix `marbolt` builds) and every\n"
            "subsequent `error()` is O(1) in the segment length for all models but `l1`."
        )

    @pytest.mark.parametrize(
        "method, signature",
        [("error", "($self, start, end)"), ("sum_of_costs", "($self, bkps)")],
    )
    def test_method_text_signatures(self, method, signature):
        assert getattr(m.CostEngine, method).__text_signature__ == signature

    def test_check_outer_memory_signature_and_doc(self):
        assert str(inspect.signature(m.check_outer_memory)) == "(n, d, model)"
        assert m.check_outer_memory.__doc__ == (
            "Expose the covariance-memory budget so the Python layer can check it before\n"
            "building a covariance of its own that would be just as large."
        )


PUBLIC_MODULES = [marbolt_rs, marbolt_rs.datasets, marbolt_rs.metrics, marbolt_rs.cli]


def documented():
    """Every public function, class and method of the Python layer, by name."""
    for module in PUBLIC_MODULES:
        for name in module.__all__:
            value = getattr(module, name)
            if inspect.ismodule(value) or getattr(value, "__module__", "") == m.__name__:
                continue
            yield f"{module.__name__}.{name}", value
            for member, method in vars(value).items() if inspect.isclass(value) else ():
                if inspect.isfunction(method) and not member.startswith("_"):
                    yield f"{module.__name__}.{name}.{member}", method


class TestDocumentation:
    def test_all_names_the_compiled_layer_and_nothing_missing(self):
        compiled = {name for name in dir(m) if not name.startswith("_")}
        assert compiled <= set(marbolt_rs.__all__)
        for module in PUBLIC_MODULES:
            assert all(hasattr(module, name) for name in module.__all__)

    @pytest.mark.parametrize("name, value", list(documented()),
                             ids=[name for name, _ in documented()])
    def test_numpydoc_sections_and_examples_that_run(self, name, value):
        pytest.importorskip("pandas")
        pytest.importorskip("matplotlib").use("Agg")
        doc = inspect.getdoc(value)
        takes = [p for p in inspect.signature(value).parameters if p not in ("self", "cls")]
        wanted = ["Examples"] + ["Parameters"] * bool(takes) + \
            ["Returns"] * (inspect.isfunction(value) and not name.endswith("__init__"))
        assert all(f"\n{section}\n{'-' * len(section)}\n" in doc for section in wanted)
        tests = doctest.DocTestFinder(recurse=False).find(value, name, globs={})
        runner = doctest.DocTestRunner(
            optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
        for test in tests:
            runner.run(test)
        assert runner.summarize(verbose=False) == (0, sum(len(t.examples) for t in tests))
        assert tests and tests[0].examples
