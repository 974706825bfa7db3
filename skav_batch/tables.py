"""The tables and their typed Arrow columns, read by the native column reader.

The reader runs the same parsers as skav_rs but builds the columns without a Python object per
value, and hands them over without a copy (the Arrow PyCapsule interface).
"""

from __future__ import annotations

from collections.abc import Iterable

import pyarrow as pa

from skav_batch import _columns
from skav_batch.read import Failure, Kind, label, read_native
from skav_batch.version import package_version

Tables = dict[str, pa.Table]


# Each table's Arrow schema, as the native reader builds it: that of a reading of no file.
SCHEMAS: dict[str, pa.Schema] = {name: pa.table(table).schema for name, table in _columns.read([], [], "auto")[0].items()}
# Raised for a table whenever its columns change, so that readers of part files can tell: files
# gained the counts of soc_couplings and soc_transitions in 0.5.
SCHEMA_VERSIONS: dict[str, int] = {**{name: 1 for name in SCHEMAS}, "files": 2}
# The columns of the files table that count a file's rows in other tables.
COUNTS = [field.name for field in SCHEMAS["files"] if field.name in SCHEMAS]


def part_metadata(name: str) -> dict[bytes, bytes]:
    """The key-value metadata of each part of a table: the version of skav_rs that wrote it and
    the version of the table's schema."""
    return {b"skav_rs.version": package_version().encode(),
            b"skav_rs.schema_version": str(SCHEMA_VERSIONS[name]).encode()}


def read_columns(paths: list[str], kind: Kind, cwd: str | None = None) -> tuple[Tables, int]:
    """The tables of the files, and how many of them failed. Relative paths are opened from
    `cwd` (default: the current folder); the tables hold them as given. The interpreter lock is
    released while the files are read, so threads read in parallel."""
    columns, failed = read_native(paths, kind, cwd)
    return as_tables(columns), failed


def as_tables(columns: dict[str, _columns.Table]) -> Tables:
    return {name: pa.table(table) for name, table in columns.items()}


def empty_tables() -> Tables:
    return {name: schema.empty_table() for name, schema in SCHEMAS.items()}


def failure_table(file: str, failures: Iterable[Failure]) -> Tables:
    """The tables of one file that only failed: its failures and its files row (no parser ran);
    the others are empty."""
    rows = [dict(zip(SCHEMAS["failures"].names, [label(file), *failure])) for failure in failures]
    row = {"file": label(file), **dict.fromkeys(COUNTS, 0), "failed": True}  # the other columns null
    return {**empty_tables(), "failures": pa.Table.from_pylist(rows, schema=SCHEMAS["failures"]),
            "files": pa.Table.from_pylist([row], schema=SCHEMAS["files"])}
