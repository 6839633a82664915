"""The memory ceiling of the engine's transposition table.

The table keeps every position searched since init(), so a deep enough
search fills any memory. It never grows past its ceiling: a search that
would need more raises MemoryError, the table stays whole, and init()
empties it. The default ceiling is half the machine's physical memory (half
an address-space limit or a container's memory limit, if lower); the
environment variable
FLIPCORE_TABLE_LIMIT, read when flipcore is imported, or table_limit() sets
another.

think() (flipcore.think) keeps tables of its own, about 28 MiB a thread
that thinks; under a ceiling lower than that they are made to fit in it.
"""

from __future__ import annotations

import os
import re
import warnings
from dataclasses import dataclass

import _flipcore

ENV_VARIABLE = "FLIPCORE_TABLE_LIMIT"

# Smaller ceilings are almost certainly a unit left off ("512" for 512M).
MIN_LIMIT = 1 << 20

_UNITS = {"": 1, "k": 1 << 10, "m": 1 << 20, "g": 1 << 30, "t": 1 << 40}
_SIZE = re.compile(r"\s*(\d+(?:\.\d*)?|\.\d+)\s*(?:([kmgt]?)(?:i?b)?|(%))\s*", re.IGNORECASE)


@dataclass(frozen=True)
class TableMemory:
    """The table's memory as it stands.

    limit: the ceiling in bytes.
    used: the bytes the table holds (its slot arrays, which init() keeps,
        and its lists of tied moves).
    entries: the positions stored.
    max_entries: the most positions the table can store under the ceiling.
    """

    limit: int
    used: int
    entries: int
    max_entries: int


def _physical_memory() -> int:
    return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")


def parse_size(size: int | str) -> int:
    """Bytes from an int or a text such as "512M", "1.5G", "2GiB" (powers of
    1024) or "25%" (of physical memory); 0 or "default" is the default."""
    if isinstance(size, bool) or not isinstance(size, (int, str)):
        raise ValueError(f"a table limit is a number of bytes or a text like '2G', got {size!r}")
    if isinstance(size, str):
        if size.strip().lower() == "default":
            return 0
        match = _SIZE.fullmatch(size)
        if not match:
            raise ValueError(
                f"a table limit is a number of bytes, optionally with K, M, G or T, or a percentage "
                f"of physical memory, like '2G' or '25%'; got {size!r}"
            )
        number, unit, percent = match.groups()
        if percent:
            if not 0 < float(number) <= 100:
                raise ValueError(f"a table limit in percent must be above 0 and at most 100, got {size!r}")
            size = int(_physical_memory() * float(number) / 100)
        else:
            size = int(float(number) * _UNITS[unit.lower()])
    if size == 0:
        return 0
    if size < MIN_LIMIT:
        raise ValueError(f"a table limit must be at least 1M (1048576 bytes) or 0 for the default, got {size!r}")
    if size >= 1 << 63:
        raise ValueError(f"a table limit must be below 8 EiB, got {size!r}")
    return size


def table_limit(size: int | str | None = None) -> int:
    """The table's memory ceiling in bytes; with `size`, sets it first.

    `size` is bytes as an int, or a text such as "512M", "1.5G" (K, M, G, T
    are powers of 1024) or "25%" (of the machine's physical memory); 0 or
    "default" restores the default, half the physical memory (half an
    address-space or container memory limit, if lower). Arrays already larger than a
    lowered ceiling are given back at the next init().
    """
    limit = None if size is None else parse_size(size)
    return _flipcore._table_memory(limit)["limit"]


def table_memory() -> TableMemory:
    """The ceiling, the bytes and positions the table holds now, and the
    most positions it can hold under the ceiling."""
    m = _flipcore._table_memory()
    return TableMemory(limit=m["limit"], used=m["bytes"], entries=m["entries"], max_entries=m["max_entries"])


def _apply_environment() -> None:
    """Sets the ceiling from FLIPCORE_TABLE_LIMIT when it is set. A value
    that does not read as a size keeps the default, with a warning: the
    import must not fail over it, and the default ceiling still holds."""
    text = os.environ.get(ENV_VARIABLE)
    if not text:
        return
    try:
        table_limit(text)
    except ValueError as err:
        # A warning, so that filters apply, shown as one line like the command
        # line's own messages rather than led by this file's path and line.
        shown = warnings.formatwarning
        warnings.formatwarning = lambda message, *rest, **named: f"flipcore: warning: {message}\n"
        try:
            warnings.warn(f"{ENV_VARIABLE} ignored: {err}", RuntimeWarning, stacklevel=2)
        finally:
            warnings.formatwarning = shown


_apply_environment()
