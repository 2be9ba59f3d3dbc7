"""Sphinx configuration of the kq5316 documentation.

Every example on these pages runs under ``sphinx-build -b doctest docs OUT`` against a simulated
instrument: each group of examples starts its own ``kq5316-sim`` and sees its port as ``PORT``
and the running simulator as ``SIM``.
"""

from __future__ import annotations

import importlib.metadata
import subprocess
import sys
from pathlib import Path

project = "kq5316"
author = "The kq5316 maintainers"
copyright = "The kq5316 maintainers"


def _installed_version() -> str:
    for distribution in ("kq5316x", "kq5316"):
        try:
            return importlib.metadata.version(distribution)
        except importlib.metadata.PackageNotFoundError:
            continue
    return "unknown"


release = _installed_version()
version = ".".join(release.split(".")[:2])

extensions = ["sphinx.ext.autodoc", "sphinx.ext.doctest"]

# The command-line page's figure is drawn by the command the page shows, against the simulator,
# at every build (matplotlib comes with the docs extra).
subprocess.run(
    [sys.executable, str(Path(__file__).resolve().parent / "make_cli_figures.py")],
    check=True,
    stdout=subprocess.DEVNULL,
)

# Nothing here is fetched from the network: no intersphinx, no remote images.
exclude_patterns = ["_build"]
root_doc = "index"
default_role = "code"
nitpicky = False

autodoc_member_order = "bysource"
autodoc_typehints = "description"
autodoc_default_options = {"members": True, "show-inheritance": True}

html_theme = "alabaster"
html_title = f"kq5316 {release}"
html_static_path: list[str] = []

# Examples see PORT (the simulator's port), SIM (its handle: SIM.control("silent"), ...) and
# EXAMPLES (the repository's examples/ folder).
# sphinx.ext.doctest runs this before every group of examples, and the cleanup after it, so a
# page's examples share one simulator and no page sees another's state.
doctest_global_setup = f"""
import pathlib as _pathlib
EXAMPLES = _pathlib.Path({str(Path(__file__).resolve().parent.parent / "examples")!r})

from kq5316x.testing import simulated_instrument as _simulated_instrument

_simulator = _simulated_instrument()
SIM = _simulator.__enter__()
PORT = SIM.port
"""
doctest_global_cleanup = """
_simulator.__exit__(None, None, None)
"""
# Bare ``>>>`` blocks on the pages and in docstrings are examples too.
doctest_test_doctest_blocks = "default"
