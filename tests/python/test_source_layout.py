"""The wall between the numerical core and the interpreter, checked on the sources.

A boundary that nothing checks leaks into the core over time: only src/lib may
see Python or NumPy, and includes point one way, lib -> crops -> detect ->
cost -> prefix, linalg, with the worker pool (parallel) below the searches and
the shared value-or-error type and numeric helpers (common) below everything.
"""

import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parents[2] / "src"
INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]', re.MULTILINE)

# What each directory may include from the project, besides itself.
ALLOWED = {
    "common": set(),
    "prefix": {"common"},
    "linalg": {"common"},
    "parallel": {"common"},
    "cost": {"prefix", "linalg", "common"},
    "detect": {"cost", "prefix", "linalg", "parallel", "common"},
    "crops": {"detect", "cost", "prefix", "linalg", "parallel", "common"},
}


def includes(directory):
    for path in sorted((SRC / directory).rglob("*.[ch]pp")):
        for header in INCLUDE.findall(path.read_text()):
            yield path.relative_to(SRC / directory).as_posix(), header


@pytest.mark.parametrize("directory", sorted(ALLOWED))
def test_core_never_sees_the_interpreter(directory):
    for name, header in includes(directory):
        assert not re.match(r"(Python\.h|numpy/|lib/)", header), f"{directory}/{name}: {header}"


@pytest.mark.parametrize("directory", sorted(ALLOWED))
def test_core_dependencies_point_one_way(directory):
    for name, header in includes(directory):
        top = header.split("/")[0]
        if top in ALLOWED and top != directory:
            assert top in ALLOWED[directory], f"{directory}/{name} includes {header}"


def test_every_source_directory_is_checked():
    assert {p.name for p in SRC.iterdir() if p.is_dir()} == {*ALLOWED, "lib"}
