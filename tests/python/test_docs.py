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
from flipcore import _think

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


README = ROOT / "README.md"


# The README's examples run as the pages' do: it is the first page a reader sees.
@pytest.mark.parametrize(
    "page", [*EXAMPLE_PAGES, README], ids=[str(p.relative_to(ROOT)) for p in [*EXAMPLE_PAGES, README]]
)
def test_examples_on_the_page(page: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    # Each page starts from empty search tables (the engine's and this
    # thread's think table, which a deeper think would otherwise leave values
    # in), as a reader's fresh interpreter would, and in an empty folder for
    # the files it writes.
    monkeypatch.chdir(tmp_path)
    flipcore.init()
    _think.clear_table()
    limit = flipcore.table_limit()
    test = doctest.DocTestParser().get_doctest(python_blocks(page.read_text()), {}, page.name, str(page), 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    report: list[str] = []
    try:
        runner.run(test, out=report.append)
    finally:
        flipcore.table_limit(limit)
    assert runner.failures == 0, "".join(report)


def _anchors(page: Path) -> set[str]:
    """The anchors MkDocs gives the page's headings (the toc extension's slugs)."""
    anchors = set()
    for line in page.read_text().splitlines():
        if line.startswith("#"):
            title = line.lstrip("#").strip().replace("`", "").lower()
            anchors.add(re.sub(r"[-\s]+", "-", re.sub(r"[^\w\s-]", "", title)).strip("-"))
    return anchors


def test_the_readmes_links_lead_somewhere() -> None:
    # The strict build checks the pages' links, not the README's, which point
    # into docs/ and break silently when a page or heading moves.
    links = re.findall(r"\]\(([^)\s]+)\)", README.read_text())
    local = [link for link in links if "://" not in link]
    assert len(local) >= 15, local
    broken = []
    for link in local:
        target, _, anchor = link.partition("#")
        path = ROOT / target
        if not path.is_file() or (anchor and anchor not in _anchors(path)):
            broken.append(link)
    assert not broken, broken


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
