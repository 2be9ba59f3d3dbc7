"""The docs pages' examples, run by the framework adapters' tests (the docs build has no
frameworks, so its doctest run skips them): a page's ``testcode`` blocks in order, in one
namespace holding ``PORT`` and ``SIM`` as the docs build binds them, each printed output checked
against the ``testoutput`` after it; and the blocks of a page, for its command-line example."""

from __future__ import annotations

import contextlib
import doctest
import io
from pathlib import Path
from typing import Any

DOCS = Path(__file__).resolve().parents[2] / "docs"
CHECKER = doctest.OutputChecker()
FLAGS = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE


def page_blocks(page: str, directives: tuple[str, ...]) -> list[tuple[str, str]]:
    """The (directive, body) of each of the page's blocks written with one of `directives`."""
    blocks: list[tuple[str, str]] = []
    lines = (DOCS / page).read_text().splitlines()
    for number, line in enumerate(lines):
        directive = line.removeprefix(".. ").split("::")[0]
        if not line.startswith(".. ") or directive not in directives:
            continue
        body: list[str] = []
        for following in lines[number + 1 :]:
            if following.strip() and not following.startswith((" ", "\t")):
                break
            body.append(following)
        text = [b for b in body if not b.strip().startswith(":")]  # directive options
        blocks.append((directive, _dedent(text)))
    return blocks


def _dedent(lines: list[str]) -> str:
    indents = [len(line) - len(line.lstrip()) for line in lines if line.strip()]
    cut = min(indents, default=0)
    return "\n".join(line[cut:] for line in lines).strip("\n") + "\n"


def run_page_examples(page: str, namespace: dict[str, Any]) -> int:
    """Runs the page's testcode blocks; returns how many ran (so that a test sees some did)."""
    printed = ""
    ran = 0
    for directive, body in page_blocks(page, ("testcode", "testoutput")):
        if directive == "testcode":
            output = io.StringIO()
            with contextlib.redirect_stdout(output):
                exec(compile(body, f"{page} example {ran + 1}", "exec"), namespace)
            printed = output.getvalue()
            ran += 1
        elif not CHECKER.check_output(body, printed, FLAGS):
            raise AssertionError(f"{page} example {ran} printed:\n{printed}expected:\n{body}")
    return ran
