"""The weight file the engine loads (src/flipcore/data/eval.bin), written and
read back.

Layout (little-endian): magic b"FCEVAL\\x00\\x01"; u32 version (1), scale
(64 weight units a disc), n_groups, n_stages, n_global (3); u8
stage_of_empties[61] and 3 zero bytes; u32 group_sizes[n_groups]; i16
weights, for each stage, for each group, 3**size entries in index order;
i16 globals, for each stage, n_global entries; then the u64 FNV-1a hash of
every byte before it.
"""

from __future__ import annotations

import hashlib
import struct
from dataclasses import dataclass
from pathlib import Path

import numpy as np

MAGIC = b"FCEVAL\x00\x01"
VERSION = 1
HEADER = struct.Struct("<8s5I")
FNV_OFFSET = 0xCBF29CE484222325
FNV_PRIME = 0x100000001B3
WEIGHT_FILE = Path(__file__).resolve().parent.parent / "src" / "flipcore" / "data" / "eval.bin"


def fnv1a64(data: bytes) -> int:
    """FNV-1a, 64 bits, over `data` (a byte at a time: each step needs the
    last, so there is nothing to vectorise; about 0.15 s a megabyte)."""
    h = FNV_OFFSET
    prime = FNV_PRIME
    mask = (1 << 64) - 1
    for byte in data:
        h = ((h ^ byte) * prime) & mask
    return h


@dataclass
class WeightFile:
    scale: int
    stage_of_empties: np.ndarray  # (61,) stage per empties
    group_sizes: list[int]
    weights: list[list[np.ndarray]]  # [stage][group] int16, 3**size
    globals_: np.ndarray  # (n_stages, n_global) int16

    @property
    def n_stages(self) -> int:
        return len(self.weights)

    def to_bytes(self) -> bytes:
        n_global = self.globals_.shape[1]
        stages = np.asarray(self.stage_of_empties)
        if stages.shape != (61,) or stages.min() < 0 or stages.max() >= self.n_stages:
            raise ValueError("stage_of_empties must give a stage from 0 to n_stages - 1 for each of 0..60 empties")
        if self.globals_.shape[0] != self.n_stages:
            raise ValueError("one row of globals per stage is needed")
        parts = [
            HEADER.pack(MAGIC, VERSION, self.scale, len(self.group_sizes), self.n_stages, n_global),
            stages.astype(np.uint8).tobytes() + b"\x00" * 3,
            np.asarray(self.group_sizes, dtype="<u4").tobytes(),
        ]
        for s, tables in enumerate(self.weights):
            for size, table in zip(self.group_sizes, tables, strict=True):
                if table.shape != (3**size,):
                    raise ValueError(f"stage {s}: a group of {size} squares needs {3**size} weights, got {table.shape}")
                parts.append(np.asarray(table, dtype="<i2").tobytes())
        parts.append(np.asarray(self.globals_, dtype="<i2").tobytes())
        body = b"".join(parts)
        return body + struct.pack("<Q", fnv1a64(body))


def expected_size(group_sizes: list[int], n_stages: int, n_global: int) -> int:
    return HEADER.size + 64 + 4 * len(group_sizes) + n_stages * (sum(3**s for s in group_sizes) + n_global) * 2 + 8


def parse(data: bytes, name: str = "weight file") -> WeightFile:
    """A weight file's contents, checked: ValueError naming `name` and what is
    wrong for a bad magic, version, size or checksum."""
    if len(data) < HEADER.size + 64 + 8:
        raise ValueError(f"{name}: too short ({len(data)} bytes) for a weight file")
    magic, version, scale, n_groups, n_stages, n_global = HEADER.unpack_from(data, 0)
    if magic != MAGIC:
        raise ValueError(f"{name}: not a weight file (magic {magic!r})")
    if version != VERSION:
        raise ValueError(f"{name}: version {version}, expected {VERSION}")
    at = HEADER.size
    stages = np.frombuffer(data, np.uint8, 61, at).astype(np.int64)
    at += 64
    if n_groups > 64 or HEADER.size + 64 + 4 * n_groups > len(data):
        raise ValueError(f"{name}: {n_groups} groups does not fit the file")
    sizes = np.frombuffer(data, "<u4", n_groups, at).astype(int).tolist()
    at += 4 * n_groups
    if any(not 1 <= s <= 16 for s in sizes) or n_stages < 1 or n_stages > 61:
        raise ValueError(f"{name}: bad group sizes {sizes} or stage count {n_stages}")
    want = expected_size(sizes, n_stages, n_global)
    if len(data) != want:
        raise ValueError(f"{name}: {len(data)} bytes, expected {want} for its header")
    (stored,) = struct.unpack_from("<Q", data, len(data) - 8)
    if fnv1a64(data[:-8]) != stored:
        raise ValueError(f"{name}: checksum mismatch (the file is damaged)")
    if stages.max() >= n_stages:
        raise ValueError(f"{name}: stage_of_empties names a stage beyond its {n_stages}")
    weights = []
    for _ in range(n_stages):
        tables = []
        for s in sizes:
            tables.append(np.frombuffer(data, "<i2", 3**s, at).astype(np.int16))
            at += 2 * 3**s
        weights.append(tables)
    globals_ = np.frombuffer(data, "<i2", n_stages * n_global, at).astype(np.int16).reshape(n_stages, n_global)
    return WeightFile(scale, stages, sizes, weights, globals_)


def write(weight_file: WeightFile, path: Path = WEIGHT_FILE) -> str:
    """Writes the file (whole or not at all); returns its SHA-256."""
    data = weight_file.to_bytes()
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_suffix(path.suffix + ".tmp")
    tmp.write_bytes(data)
    tmp.replace(path)
    return hashlib.sha256(data).hexdigest()


def read(path: Path = WEIGHT_FILE) -> WeightFile:
    return parse(Path(path).read_bytes(), str(path))
