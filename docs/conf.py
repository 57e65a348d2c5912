"""Sphinx configuration of the marbolt_rs documentation (`make docs`).

The API pages and the gallery import the installed package, so the build runs
under the interpreter of the virtual environment that `make install` fills.
Every warning fails the build (`-W --keep-going` in the Makefile).
"""

import pathlib
import sys

import marbolt_rs

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "_ext"))

project = "marbolt_rs"
author = "the marbolt_rs developers"
copyright = "the marbolt_rs developers"
release = marbolt_rs.__version__
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.mathjax",
    "numpydoc",
    "myst_parser",
    "sphinx_gallery.gen_gallery",
    "compiled_api",
    "members",
]


class ReadingOrder:
    """The gallery's order: the first example first, then by task as in the guide."""

    ORDER = ["plot_nile.py", "plot_real_data.py", "plot_models.py", "plot_counts.py",
             "plot_penalty_path.py", "plot_known_number.py", "plot_long_signal.py",
             "plot_dynamics.py", "plot_scoring.py", "plot_window_engine.py"]

    def __init__(self, src_dir):
        self.src_dir = src_dir

    def __call__(self, filename):
        return (self.ORDER.index(filename) if filename in self.ORDER else len(self.ORDER),
                filename)

    def __repr__(self):
        return "ReadingOrder"


source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build", "_templates", "gallery/README.txt", "**.ipynb_checkpoints"]
templates_path = ["_templates"]

# A name in single backticks links to the object when there is one (`detect`)
# and is set in italics otherwise (a parameter such as `pen`), as in NumPy's
# documentation: numpydoc docstrings use backticks for both.
default_role = "autolink"
highlight_language = "python3"
pygments_style = "tango"

autosummary_generate = True
autodoc_typehints = "none"  # the numpydoc sections say the types
autodoc_default_options = {"members": False}
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
numpydoc_xref_param_type = False

myst_heading_anchors = 3

sphinx_gallery_conf = {
    "examples_dirs": "gallery",
    "gallery_dirs": "auto_examples",
    "filename_pattern": r"/plot_",
    "download_all_examples": False,
    "remove_config_comments": True,
    "within_subsection_order": ReadingOrder,
    "min_reported_time": 1e9,  # run times vary with the host; the pages do not show them
    "show_memory": False,
    "capture_repr": (),  # the scripts print what they mean to show
    "plot_gallery": "True",
    # Every build runs every script against the package as installed now, not
    # only the scripts that changed since the last build.
    "run_stale_examples": True,
    "doc_module": (),
    "image_scrapers": ("matplotlib",),
    "matplotlib_animations": False,
}

html_theme = "pydata_sphinx_theme"
html_title = f"marbolt_rs {release}"
html_static_path = ["_static"]
html_css_files = ["custom.css"]
html_theme_options = {
    "navigation_depth": 3,
    "show_prev_next": True,
    "search_bar_position": "sidebar",
}
html_sidebars = {"**": ["search-field.html", "sidebar-nav-bs.html"]}
html_show_sourcelink = False
html_copy_source = False
