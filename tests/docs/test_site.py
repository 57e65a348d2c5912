"""The documentation site: it builds without a warning, names every public
object, and what it links to, shows and runs is there.

The site is built once per session into a temporary directory, with the
interpreter that runs the tests (the one the package is installed for) and the
flags of `make docs`.
"""

import doctest
import html.parser
import pathlib
import re
import subprocess
import sys
import urllib.parse

import pytest

import marbolt_rs
from marbolt_rs import datasets, metrics

ROOT = pathlib.Path(__file__).resolve().parents[2]
DOCS = ROOT / "docs"
PAGES = sorted(p for p in DOCS.rglob("*.rst")
               if not p.relative_to(DOCS).parts[0].startswith(("_", "api", "auto_examples")))
GALLERY = sorted((DOCS / "gallery").glob("plot_*.py"))
# Code blocks whose text is shown as it is: program output, shell transcripts.
PLAIN = {"text", "none", "default"}


@pytest.fixture(scope="session")
def site(tmp_path_factory):
    out = tmp_path_factory.mktemp("site")
    build = subprocess.run(
        [sys.executable, "-m", "sphinx", "-W", "--keep-going", "-q", "-b", "html",
         "-d", str(out / "doctrees"), str(DOCS), str(out / "html")],
        capture_output=True, text=True)
    assert build.returncode == 0, f"the docs build failed:\n{build.stderr}"
    return out / "html"


class Page(html.parser.HTMLParser):
    """What the checks need of one HTML page: its ids, references and code blocks."""

    def __init__(self, path):
        super().__init__()
        self.ids, self.refs, self.images, self.blocks = set(), [], [], []
        self._block = None  # [language, has token spans] of the block being read
        self.feed(path.read_text())

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if "id" in attrs:
            self.ids.add(attrs["id"])
        for key in ("href", "src"):
            if attrs.get(key):
                self.refs.append(attrs[key])
        if tag == "img":
            self.images.append(attrs.get("src", ""))
        classes = (attrs.get("class") or "").split()
        language = [c[len("highlight-"):] for c in classes if c.startswith("highlight-")]
        if tag == "div" and language:
            self._block = [language[0], False]
            self.blocks.append(self._block)
        elif tag == "span" and self._block is not None and classes:
            self._block[1] = True

    def handle_endtag(self, tag):
        if tag == "pre":
            self._block = None


@pytest.fixture(scope="session")
def pages(site):
    # The theme's templates under _static are copied, not rendered.
    return {path: Page(path) for path in sorted(site.rglob("*.html"))
            if path.relative_to(site).parts[0] != "_static"}


def test_every_public_name_has_an_entry(site):
    from sphinx.util.inventory import InventoryFile

    with open(site / "objects.inv", "rb") as stream:
        inventory = InventoryFile.load(stream, "", lambda base, uri: uri)
    documented = {name for role, entries in inventory.items() if role.startswith("py:")
                  for name in entries}
    public = ([f"marbolt_rs.{name}" for name in marbolt_rs.__all__]
              + [f"marbolt_rs.metrics.{name}" for name in metrics.__all__]
              + [f"marbolt_rs.datasets.{name}" for name in datasets.__all__])
    assert sorted(set(public) - documented) == []


def test_links_and_pictures_resolve(site, pages):
    broken = []
    for path, page in pages.items():
        for ref in page.refs:
            url = urllib.parse.urlsplit(ref)
            if url.scheme or url.netloc:
                continue  # outside the site: nothing to reach offline
            target = (path.parent / urllib.parse.unquote(url.path)).resolve() if url.path else path
            if not target.is_file():
                broken.append(f"{path.relative_to(site)}: {ref}")
            elif url.fragment and target.suffix == ".html" and url.fragment not in pages[target].ids:
                broken.append(f"{path.relative_to(site)}: {ref} (no such anchor)")
    assert broken == []


@pytest.mark.parametrize("script", GALLERY, ids=lambda p: p.stem)
def test_gallery_example_shows_its_figures(pages, site, script):
    page = pages[site / "auto_examples" / f"{script.stem}.html"]
    assert any(f"sphx_glr_{script.stem}_0" in src for src in page.images)


def test_code_blocks_are_highlighted(pages, site):
    plain = [f"{path.relative_to(site)}: {language}"
             for path, page in pages.items()
             for language, highlighted in page.blocks
             if language not in PLAIN and not highlighted]
    assert plain == []
    assert sum(len(page.blocks) for page in pages.values()) > 50


def run_examples(text, name):
    """Runs the >>> examples of `text` as doctests; returns the failure report."""
    import matplotlib

    matplotlib.use("Agg")
    test = doctest.DocTestParser().get_doctest(text, {}, name, name, 0)
    report = []
    runner = doctest.DocTestRunner(
        optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    runner.run(test, out=report.append)
    return "".join(report)


@pytest.mark.parametrize("page", PAGES, ids=lambda p: str(p.relative_to(DOCS)))
def test_page_examples_run(page):
    assert run_examples(page.read_text(), page.name) == ""


def test_compiled_sections_examples_run():
    sys.path.insert(0, str(DOCS / "_ext"))
    try:
        from compiled_text import SUPPLEMENTS
    finally:
        sys.path.remove(str(DOCS / "_ext"))
    for name, text in SUPPLEMENTS.items():
        assert run_examples(text, name) == ""


def test_readme_links_reach_the_site(site):
    # The README points into the built site (docs/_build/html/...) and at files
    # of the clone; both must exist once `make docs` has run.
    readme = (ROOT / "README.md").read_text()
    missing = []
    for target in re.findall(r"\]\(([^)#\s]+)", readme):
        if "://" in target:
            continue
        built = target.removeprefix("docs/_build/html/")
        exists = (site / built).is_file() if built != target else (ROOT / target).is_file()
        if not exists:
            missing.append(target)
    assert missing == []
