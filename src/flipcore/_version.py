# The package's version: the one place it is written (pyproject.toml reads it
# from here for the package metadata).
__version__ = "0.1.0"
