"""Sphinx configuration of the Python package's reference (built by "make docs" into
build/docs/html/python, from the package's docstrings)."""

import os
import sys

sys.path.insert(0, os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", "python")))

project = "Korval for Python"
author = "Korval"
release = "1.0.0"
extensions = ["sphinx.ext.autodoc"]
autodoc_member_order = "bysource"
autodoc_default_options = {"members": True, "undoc-members": True, "show-inheritance": False}
autodoc_typehints = "signature"
# numpy is imported lazily by the package; it is installed with it, but the reference needs only names.
autodoc_mock_imports = []
html_theme = "alabaster"
html_title = "Korval for Python"
html_theme_options = {"nosidebar": False}
html_sidebars = {"**": ["localtoc.html", "searchbox.html"]}
html_static_path = []
exclude_patterns = []
nitpicky = False
