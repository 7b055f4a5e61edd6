"""Sphinx configuration of the corvane documentation.

The API reference is read from the installed package (the plugin manager is
a compiled module), so build the site from an environment where corvane is
installed: ``pip install '.[docs]'``.
"""

from __future__ import annotations

import re
import sys
from importlib import metadata
from pathlib import Path
from typing import Any

from sphinx.application import Sphinx

import corvane

# The compiled module itself, imported before autodoc looks: autodoc would
# otherwise load the type stub next to it in its place, with no docstrings,
# and the package's other modules could no longer import it.
import corvane.core.pluginmanager

# cli_parser, next to this file, gives the command-line page its parser.
sys.path.insert(0, str(Path(__file__).parent))

project = "corvane"
author = "corvane developers"
copyright = "2026, corvane developers"
# The version is written once, in pyproject.toml; the installed metadata carries it.
release = corvane.__version__
version = ".".join(release.split(".")[:2])


def supported_pythons() -> str:
    """Returns the CPython versions of the installed metadata's classifiers, as a phrase.

    Raises:
        RuntimeError: the metadata names no Python version.
    """
    classifiers = metadata.metadata("corvane").get_all("Classifier") or []
    found = [re.fullmatch(r"Programming Language :: Python :: (3\.\d+)", c) for c in classifiers]
    versions = sorted((m.group(1) for m in found if m), key=lambda v: int(v.split(".")[1]))
    if not versions:
        raise RuntimeError("no Python version among corvane's classifiers")
    return ", ".join(versions[:-1]) + " and " + versions[-1] if len(versions) > 1 else versions[0]


extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "sphinxarg.ext",
    "myst_parser",
]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build"]
# Text is shown as written: "--platform" stays two hyphens and quotes stay
# straight, so that what is copied from a page can be pasted into a shell.
smartquotes = False
# A literal block without a language (exit-status tables, usage lines, trees
# drawn in docstrings) is plain text, not Python.
highlight_language = "none"
# Everything the build needs is in the repository: no inventories fetched.
myst_heading_anchors = 3
# The supported versions are written once, as pyproject.toml's classifiers:
# a page says {{ supported_pythons }}.
myst_enable_extensions = ["substitution"]
myst_substitutions = {"supported_pythons": supported_pythons()}

autodoc_member_order = "bysource"
autodoc_typehints = "description"
autodoc_default_options = {"members": True, "show-inheritance": True}
napoleon_google_docstring = True
napoleon_numpy_docstring = False

html_theme = "furo"
html_title = f"corvane {release}"
html_static_path = ["_static"]
html_css_files = ["corvane.css"]


def literal_trees(
    app: Sphinx, what: str, name: str, obj: Any, options: Any, lines: list[str]
) -> None:
    """Shows a tree drawn in a docstring (``|__`` lines) as the literal text it is."""
    drawn = [index for index, line in enumerate(lines) if line.lstrip().startswith("|__")]
    if not drawn:
        return
    # The drawing starts at its root, the line above the first branch.
    first, last = drawn[0] - 1, drawn[-1]
    block = ["    " + line for line in lines[first : last + 1]]
    lines[first : last + 1] = ["::", "", *block, ""]


# Classes the package makes and hands out, never constructed by callers:
# shown without the signature of their constructor.
MADE_BY_THE_PACKAGE = {"corvane.registry.Recording"}


def no_constructor(
    app: Sphinx,
    what: str,
    name: str,
    obj: Any,
    options: Any,
    signature: str | None,
    return_annotation: str | None,
) -> tuple[str, str] | None:
    """Leaves out the constructor's signature of the classes the package makes."""
    if what == "class" and name in MADE_BY_THE_PACKAGE:
        return "", ""
    return None


def setup(app: Sphinx) -> None:
    app.connect("autodoc-process-docstring", literal_trees)
    app.connect("autodoc-process-signature", no_constructor)
