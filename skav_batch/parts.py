"""The output folder: six table folders of part files, one part of each table per task.

A part is written to a temporary dot file and renamed into place, so a reader of the folder
never sees half a part, and a task that runs again replaces its parts.
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


def prepare(out: Path) -> None:
    """Creates the table folders, clears the parts of an earlier run, and checks they can be written."""
    try:
        for name in _columns.TABLES:
            (out / name).mkdir(parents=True, exist_ok=True)
            probe = out / name / f".part-probe.{unique()}.tmp"  # a name that the run's cleanup removes
            os.close(os.open(probe, os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o600))
            probe.unlink()
        remove(out, "part-*.parquet", ".part-*.tmp")
    except OSError as error:
        raise SetupError(f"cannot write tables to {out}: {error.strerror or error}") from error


def remove(out: Path, *patterns: str) -> None:
    """Removes the files matching any of the patterns from every table folder."""
    for name in _columns.TABLES:
        for pattern in patterns:
            for path in (out / name).glob(pattern):
                path.unlink(missing_ok=True)


def write_parts(out: str, task: str, tables: Tables) -> None:
    import pyarrow as pa
    import pyarrow.parquet as pq

    from skav_batch.tables import part_metadata

    for name, rows in tables.items():
        final = os.path.join(out, name, part_name(task))
        # A dot name: readers of the table folder skip it until it is complete.
        temporary = os.path.join(out, name, f".{part_name(task)}.{unique()}.tmp")
        # Dictionaries for the texts, which repeat (a file's name on each of its rows); for the
        # numbers, which seldom do, one costs more time than it saves space.
        texts = [field.name for field in rows.schema if field.type == pa.string()]
        pq.write_table(rows.replace_schema_metadata(part_metadata(name)), temporary, compression="zstd",
                       use_dictionary=texts)  # type: ignore[arg-type]  # stubs: bool only
        os.replace(temporary, final)

