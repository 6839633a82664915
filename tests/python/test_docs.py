"""The documentation site: it builds in strict mode (a broken link, anchor or
API reference fails), and every Python example on its pages runs as a
doctest, so the pages cannot drift from the code."""

from __future__ import annotations

import doctest
import os
import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import pytest

import flipcore

ROOT = Path(__file__).resolve().parents[2]
DOCS = ROOT / "docs"
PAGES = sorted(DOCS.rglob("*.md"))
_FENCE = re.compile(r"^```(\w*)\s*$")


def python_blocks(text: str) -> str:
    """The page with everything outside its ```python blocks blanked out, line
    for line: examples keep their line numbers, and a fence ends the expected
    output before it as a blank line does."""
    out, inside = [], False
    for line in text.splitlines():
        fence = _FENCE.match(line.strip())
        if fence:
            inside = not inside and fence.group(1) == "python"
            out.append("")
        else:
            out.append(line if inside else "")
    return "\n".join(out) + "\n"


def _has_examples(page: Path) -> bool:
    return bool(doctest.DocTestParser().get_examples(python_blocks(page.read_text())))


EXAMPLE_PAGES = [page for page in PAGES if _has_examples(page)]


def test_the_pages_have_examples() -> None:
    # A parser that found nothing would pass every page below.
    assert len(PAGES) >= 10 and len(EXAMPLE_PAGES) >= 5, EXAMPLE_PAGES


@pytest.mark.parametrize("page", EXAMPLE_PAGES, ids=[str(p.relative_to(DOCS)) for p in EXAMPLE_PAGES])
def test_examples_on_the_page(page: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    # Each page starts from an empty search table, as a reader's fresh
    # interpreter would, and in an empty folder for the files it writes.
    monkeypatch.chdir(tmp_path)
    flipcore.init()
    limit = flipcore.table_limit()
    test = doctest.DocTestParser().get_doctest(python_blocks(page.read_text()), {}, page.name, str(page), 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    report: list[str] = []
    try:
        runner.run(test, out=report.append)
    finally:
        flipcore.table_limit(limit)
    assert runner.failures == 0, "".join(report)


def test_the_site_builds_in_strict_mode(tmp_path: Path) -> None:
    missing = [m for m in ("mkdocs", "material", "mkdocstrings_handlers.python") if _absent(m)]
    if missing:
        pytest.skip(f"the docs extra is not installed (no {', '.join(missing)}): pip install '.[docs]'")
    done = subprocess.run(
        [sys.executable, "-m", "mkdocs", "build", "--strict", "-f", str(ROOT / "mkdocs.yml"), "-d", str(tmp_path / "site")],
        capture_output=True,
        text=True,
        cwd=ROOT,
        timeout=300,
        env={**os.environ, "NO_MKDOCS_2_WARNING": "1"},
    )
    assert done.returncode == 0, done.stderr[-4000:]
    # The API reference is generated, not empty: the solver's result fields.
    solve_page = (tmp_path / "site" / "reference" / "solve" / "index.html").read_text()
    assert "score_for_mover" in solve_page and "move_scores" in solve_page


def _absent(module: str) -> bool:
    try:
        return importlib.util.find_spec(module) is None
    except ModuleNotFoundError:
        return True
