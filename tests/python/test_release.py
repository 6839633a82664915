"""The release: `python -m build` makes an sdist and, from it, a wheel that
installs into a fresh virtual environment outside the source tree and works
there: the engine, the solver, the command line and the web page's files.

About a minute and a half (the wheel compiles the engine from the sdist);
deselect it with -m "not release" while working. FLIPCORE_WHEEL=path uses a
wheel built beforehand instead of building one."""

from __future__ import annotations

import importlib.util
import os
import subprocess
import sys
import tarfile
from pathlib import Path
from typing import Any

import pytest

ROOT = Path(__file__).resolve().parents[2]

pytestmark = pytest.mark.release

# Run in the fresh environment, from a folder outside the checkout.
SMOKE = """
import importlib.metadata, importlib.resources, pathlib, sys
import flipcore, _flipcore
root = pathlib.Path(sys.argv[1])
for module in (flipcore, _flipcore):
    assert root not in pathlib.Path(module.__file__).resolve().parents, module.__file__
start = flipcore.Position.start()
assert flipcore.search(start, 4).names() == ["d3", "c4", "f5", "e6"]
solved = flipcore.solve(flipcore.Position.from_text(
    "O--OOOOX-OOOOOOXOOXXOOOXOOXOOOXXOOOOOOXX---OOOOX----O--X-------- X"))
assert (solved.score, solved.names()) == (38, ["a2"]), solved
# The learned evaluation's weights ship in the wheel and load.
assert flipcore.think(start, depth=4).move in start.legal_moves()
static = importlib.resources.files("flipcore.web") / "static"
assert sorted(p.name for p in static.iterdir()) == ["app.js", "index.html", "style.css"]
assert all(p.read_bytes() for p in static.iterdir())
print(importlib.metadata.version("flipcore"))
"""


def _run(command: list[str], **kwargs: Any) -> subprocess.CompletedProcess[str]:
    done = subprocess.run(command, capture_output=True, text=True, timeout=600, **kwargs)
    assert done.returncode == 0, f"{command}:\n{done.stdout[-3000:]}\n{done.stderr[-3000:]}"
    return done


def _version() -> str:
    for line in (ROOT / "src" / "flipcore" / "_version.py").read_text().splitlines():
        if line.startswith("__version__ = "):
            return line.split('"')[1]
    raise AssertionError("no version in src/flipcore/_version.py")


@pytest.fixture(scope="module")
def wheel(tmp_path_factory: pytest.TempPathFactory) -> Path:
    given = os.environ.get("FLIPCORE_WHEEL")
    if given:
        return Path(given)
    if importlib.util.find_spec("build") is None:
        pytest.skip("the release test needs the build package: pip install build")
    dist = tmp_path_factory.mktemp("dist")
    _run([sys.executable, "-m", "build", "--outdir", str(dist), str(ROOT)])
    sdists, wheels = list(dist.glob("*.tar.gz")), list(dist.glob("*.whl"))
    assert len(sdists) == 1 and len(wheels) == 1, list(dist.iterdir())
    # The sdist holds what a build from it needs, and no build output.
    with tarfile.open(sdists[0]) as sdist:
        names = {name.split("/", 1)[1] for name in sdist.getnames() if "/" in name}
    needed = {"pyproject.toml", "CMakeLists.txt", "README.md", "CHANGELOG.md", "engine/search.h",
              "module/flipcore.cpp", "src/flipcore/web/static/app.js"}
    assert needed <= names, needed - names
    assert not any(name.startswith(("build/", "site/")) or name.endswith(".so") for name in names)
    return wheels[0]


def test_the_wheel_works_in_a_fresh_environment(wheel: Path, tmp_path: Path) -> None:
    assert wheel.name.startswith(f"flipcore-{_version()}-")
    venv = tmp_path / "venv"
    _run([sys.executable, "-m", "venv", str(venv)])
    python, command = venv / "bin" / "python", venv / "bin" / "flipcore"
    _run([str(python), "-m", "pip", "install", "--quiet", str(wheel)])
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME")}
    smoke = _run([str(python), "-c", SMOKE, str(ROOT)], cwd=tmp_path, env=env)
    assert smoke.stdout.split() == [_version()]
    usage = _run([str(command), "--help"], cwd=tmp_path, env=env)
    assert "solve" in usage.stdout and "review" in usage.stdout
    assert _run([str(command), "--version"], cwd=tmp_path, env=env).stdout.split() == ["flipcore", _version()]
