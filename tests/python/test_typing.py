"""The installed package type-checks under mypy --strict, its stubs match the
compiled modules, and a user's script gets the types (py.typed, stubs)."""

import subprocess
import sys


def mypy(tmp_path, *args):
    command = [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), *args]
    # Run outside the source tree so that the installed package is checked.
    return subprocess.run(command, cwd=tmp_path, capture_output=True, text=True, timeout=120)


def test_package_is_strict_clean_and_types_reach_users(tmp_path):
    done = mypy(tmp_path, "-p", "flipcore")
    assert done.returncode == 0, done.stdout

    (tmp_path / "user.py").write_text(
        "import _flipcore\n"
        "import flipcore\n"
        "pos = flipcore.Position.start()\n"
        "value: float = flipcore.search(pos, 2).value\n"
        "value += _flipcore.minimax_moves(pos.board, 1, 1, 0.0, 1.0)['val']\n"
        "pos.play(3)\n"
    )
    done = mypy(tmp_path, "user.py")
    # Exactly one error, at the misuse: the types arrived, not Any.
    assert done.returncode == 1 and done.stdout.count("error:") == 1, done.stdout
    assert 'user.py:6: error: Argument 1 to "play" of "Position" has incompatible type "int"' in done.stdout


def test_stubs_match_the_compiled_modules(tmp_path):
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "_flipcore", "flipcore._rules", "flipcore._solver"],
        cwd=tmp_path, capture_output=True, text=True, timeout=120,
    )
    assert done.returncode == 0, done.stdout
