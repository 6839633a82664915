"""python -m flipcore: the command line (see flipcore.cli)."""

from flipcore.cli import main

if __name__ == "__main__":
    raise SystemExit(main())
