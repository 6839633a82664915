"""The Python package tests exercise the installed package, whose compiled flipcore._rules
exists only there; `python -m pytest` puts the working directory first on
sys.path, where the source tree's flipcore/ would shadow it.
"""

import sys
from pathlib import Path

_REPO = Path(__file__).resolve().parents[2]
sys.path[:] = [p for p in sys.path if Path(p or ".").resolve() != _REPO]
