"""Draws the figures of cli.rst by running the page's own command: the sweep shown there with
``--plot`` runs against the simulator, in docs/_generated/, where the page's image points.

    python docs/make_cli_figures.py        # before sphinx-build; needs kq5316x and matplotlib
"""

from __future__ import annotations

import shlex
import subprocess
import sys
from pathlib import Path

DOCS = Path(__file__).resolve().parent
PAGE = DOCS / "cli.rst"
OUT = DOCS / "_generated"


def plotting_commands(page: Path) -> list[list[str]]:
    """The page's console commands that draw a picture (``$ kq5316x ... --plot FILE``)."""
    commands = []
    for line in page.read_text(encoding="utf-8").splitlines():
        words = shlex.split(line.strip()[2:]) if line.strip().startswith("$ kq5316x ") else []
        if "--plot" in words and "--simulate" in words:
            commands.append(words)
    return commands


def main() -> int:
    commands = plotting_commands(PAGE)
    if not commands:
        sys.exit(f"{PAGE}: no '$ kq5316x ... --simulate ... --plot FILE' command found")
    OUT.mkdir(exist_ok=True)
    for words in commands:
        print("$", shlex.join(words), flush=True)
        subprocess.run([sys.executable, "-m", "kq5316x", *words[1:]], cwd=OUT, check=True)
        image = OUT / words[words.index("--plot") + 1]
        if not image.is_file():
            sys.exit(f"{image} was not written")
    return 0


if __name__ == "__main__":
    sys.exit(main())
