"""The part files of the output folder's tables, one of each table per task.

A part is written to a temporary dot file and renamed to its staged name, another dot name, so
that a reader of a table folder never sees half a part; the dataset's commit renames it into
place (see dataset.py). A task that runs again replaces its staged parts.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import TYPE_CHECKING

from skav_batch import _columns  # names the table folders without pyarrow (see local.py)

if TYPE_CHECKING:
    from skav_batch.tables import Tables


class SetupError(Exception):
    """The output folder cannot be written or the scheduler cannot be reached."""


def part_name(task: str) -> str:
    return f"part-{task}.parquet"


def unique() -> str:
    """A part of a file name that no other writer picks (the modules that make such names take a
    hundredth of a second to load, before the first file is read)."""
    return os.urandom(16).hex()


def sync(path: str | os.PathLike[str]) -> None:
    """Waits until the file (or folder) is on disk."""
    descriptor = os.open(path, os.O_RDONLY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def staged_name(task: str) -> str:
    return f".{part_name(task)}.staged"


def remove_staged(out: Path, task: str) -> None:
    for name in _columns.TABLES:
        (out / name / staged_name(task)).unlink(missing_ok=True)


def write_parts(out: str, task: str, tables: Tables) -> None:
    import pyarrow as pa
    import pyarrow.parquet as pq

    from skav_batch.tables import part_metadata

    for name, rows in tables.items():
        staged = os.path.join(out, name, staged_name(task))
        # A dot name: readers of the table folder skip it.
        temporary = os.path.join(out, name, f".{part_name(task)}.{unique()}.tmp")
        # Dictionaries for the texts, which repeat (a file's name on each of its rows); for the
        # numbers, which seldom do, one costs more time than it saves space.
        texts = [field.name for field in rows.schema if field.type == pa.string()]
        pq.write_table(rows.replace_schema_metadata(part_metadata(name)), temporary, compression="zstd",
                       use_dictionary=texts)  # type: ignore[arg-type]  # stubs: bool only
        sync(temporary)  # here, in the thread that wrote it: a commit then only renames
        os.replace(temporary, staged)

