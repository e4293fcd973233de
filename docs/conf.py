"""Sphinx configuration of tovrin's documentation site.

The pages are Markdown (MyST); the Python reference comes from the installed
package's numpydoc docstrings, the command reference from ``tovrin.cli.parser()``.
scripts/docs builds the site with warnings as errors and runs the pages' examples.
"""
import doctest

import tovrin

project = "tovrin"
author = "the tovrin developers"
copyright = "2026, the tovrin developers"
version = release = tovrin.__version__

extensions = [
    "myst_parser",
    "numpydoc",
    "sphinx.ext.autodoc",
    "sphinx.ext.doctest",
    "sphinxarg.ext",
]

source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
# `name` in a docstring links to what it names, and a name that resolves nowhere fails the build.
default_role = "py:obj"
exclude_patterns = ["_build", "requirements.txt"]

# Links such as [units](parameters.md#units) between the pages.
myst_heading_anchors = 3

# Types are stated in the numpydoc sections; signatures stay short.
autodoc_typehints = "none"
autodoc_member_order = "bysource"
numpydoc_show_class_members = False

# Every cross-reference must resolve, except to the outside libraries' own types,
# which are named in the text (the site links nowhere outside itself).
nitpicky = True
nitpick_ignore_regex = [
    ("py:class", r"(numpy|np|os|pathlib|gsd|freud|matplotlib)\..*"),
    ("py:class", r"(array_like|path-like|optional|callable|dict|list|tuple|str|int|float|bool|frozenset)"),
    ("py:class", r"(ndarray|Path|PathLike|Mapping|Figure)"),
]

# Dashes in option names stay as typed ("--every", not an en dash).
smartquotes_action = "qe"

html_theme = "furo"
html_title = f"tovrin {release}"

# The examples on the pages run against a small liquid in a scratch folder, so that
# they stay quick and leave nothing behind.
# Exception messages are compared too, not only their types.
doctest_default_flags = doctest.ELLIPSIS | doctest.DONT_ACCEPT_TRUE_FOR_1
doctest_global_setup = """
import os as _os, tempfile as _tempfile
_scratch = _tempfile.TemporaryDirectory(prefix="tovrin-docs-")
_home = _os.getcwd()
_os.chdir(_scratch.name)
with open("run.par", "w") as _file:
    _file.write("nr_particles = 500\\ncell_length = 8.397980956912535\\nkT = 0.72\\nmass = 1.0\\n"
                "sigma = 1.0\\nepsilon = 1.0\\nrcut = 2.5\\nshell = 0.3\\ntau = 0.1\\n"
                "stepsize = 0.005\\nnrsteps = 200\\n")
"""
doctest_global_cleanup = """
_os.chdir(_home)
_scratch.cleanup()
"""
