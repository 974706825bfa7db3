"""The part files of the output folder's tables: a part holds rows of some files in each of the
tables, one file per table, its rows in file-path order.

A part is written to a temporary dot file and renamed to its staged name, another dot name, so
that a reader of a table folder never sees half a part; the dataset's commit renames it into
place (see dataset.py). A Dask task that runs again replaces its staged parts.
"""

from __future__ import annotations

import contextlib
import os
import threading
from collections.abc import Callable, Iterable
from functools import cache
from pathlib import Path
from typing import TYPE_CHECKING

from skav_batch import _columns  # names the table folders without pyarrow (see local.py)

if TYPE_CHECKING:
    import pyarrow as pa
    import pyarrow.fs as pa_fs
    import pyarrow.parquet as pq

    from skav_batch.tables import Tables

# Rows of a table written at once, a row group of its part: large enough for readers, small enough
# that a writer holds few of them.
ROW_GROUP = 1 << 16


class SetupError(Exception):
    """The output folder cannot be written or the scheduler cannot be reached."""


def part_name(part: str) -> str:
    return f"part-{part}.parquet"


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


def staged_name(part: str) -> str:
    return f".{part_name(part)}.staged"


def remove_staged(out: Path, part: str) -> None:
    for name in _columns.TABLES:
        (out / name / staged_name(part)).unlink(missing_ok=True)


def each_at_once(work: Callable[[str], None], names: Iterable[str], at_once: bool = True) -> None:
    """work(name) for each of the tables, each in a thread (pyarrow writes without the interpreter
    lock) if `at_once`: what is left to write after the reading ends takes half the time on two
    cores. Raises the first failure, once every thread is done."""
    if not at_once:  # little to write: a thread costs more than it saves
        for name in names:
            work(name)
        return
    failures: list[BaseException] = []

    def run(name: str) -> None:
        try:
            work(name)
        except BaseException as failure:  # handed to the caller
            failures.append(failure)

    threads = [threading.Thread(target=run, args=(name,)) for name in names]
    for thread in threads:
        thread.start()
    try:
        for thread in threads:
            thread.join()
    finally:  # also on Ctrl-C: no file is closed while a thread writes into it
        for thread in threads:
            thread.join()
    if failures:
        raise failures[0]


def open_table_file(path: str, name: str) -> pq.ParquetWriter:
    """A writer of one table's part, zstd-compressed, with the version metadata."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    from skav_batch.tables import SCHEMAS, part_metadata

    schema = SCHEMAS[name].with_metadata(part_metadata(name))
    # Dictionaries for the texts, which repeat (a file's name on each of its rows), and for the
    # couplings, printed to two decimals (a dictionary halves their size and a third of their
    # time); for the other numbers, which seldom repeat, one costs more time than it saves space.
    dictionary = [field.name for field in schema if field.type == pa.string() or name == "soc_couplings"]
    # The file system given: looking it up for each file costs more than writing a small one.
    return pq.ParquetWriter(path, schema, filesystem=local_files(), compression="zstd",
                            use_dictionary=dictionary)  # type: ignore[arg-type]  # stubs: bool only


@cache
def local_files() -> pa_fs.LocalFileSystem:
    from pyarrow import fs

    return fs.LocalFileSystem()


class PartWriter:
    """One part of each table, written as rows come (in file-path order), a row group at a time,
    and staged whole when it is closed."""

    def __init__(self, out: str, part: str) -> None:
        self.out, self.part = out, part
        self.temporary = f".{part_name(part)}.{unique()}.tmp"  # a dot name: readers of the folder skip it
        self.writers: dict[str, pq.ParquetWriter] = {}
        self.pending: dict[str, list[pa.Table]] = {name: [] for name in _columns.TABLES}
        self.rows = dict.fromkeys(_columns.TABLES, 0)
        self.files: list[str] = []  # paths whose rows it holds

    def add(self, tables: Tables, files: list[str]) -> None:
        """The rows of `files`, which come after those added before."""
        for name, rows in tables.items():
            self.add_rows(name, rows)
        self.files += files

    def add_rows(self, name: str, rows: pa.Table) -> None:
        if rows.num_rows:
            self.pending[name].append(rows)
            self.rows[name] += rows.num_rows
            if self.rows[name] >= ROW_GROUP:
                self.write(name)

    def write(self, name: str) -> None:
        import pyarrow as pa

        if name not in self.writers:
            self.writers[name] = open_table_file(os.path.join(self.out, name, self.temporary), name)
        if self.pending[name]:
            self.writers[name].write_table(pa.concat_tables(self.pending[name]))
        self.pending[name], self.rows[name] = [], 0

    def flush(self) -> None:
        """Writes the rows held so far, whatever their number."""
        each_at_once(self.write, [name for name, pending in self.pending.items() if pending], self.many_rows())

    def many_rows(self) -> bool:
        return sum(self.rows.values()) >= ROW_GROUP // 4

    def stage(self) -> None:
        """Writes what is left, and stages the part in every table (one without rows, too)."""
        from skav_batch.tables import SCHEMAS

        for name in _columns.TABLES:
            if name not in self.writers and not self.pending[name]:
                self.pending[name] = [SCHEMAS[name].empty_table()]  # a row group of none, as readers expect
            if name not in self.writers:  # opened here, not in the threads: its module loads once
                self.writers[name] = open_table_file(os.path.join(self.out, name, self.temporary), name)
        each_at_once(self.close_table, _columns.TABLES, self.many_rows())
        for name in _columns.TABLES:
            temporary = os.path.join(self.out, name, self.temporary)
            sync(temporary)  # here: a commit then only renames
            os.replace(temporary, os.path.join(self.out, name, staged_name(self.part)))

    def close_table(self, name: str) -> None:
        self.write(name)
        self.writers.pop(name).close()

    def discard(self) -> None:
        """Closes what is open and removes it: a stopped run, maybe one stopped by a full disk, where
        closing fails too and the run's own error is the one to report."""
        for name, writer in self.writers.items():
            with contextlib.suppress(OSError):
                writer.close()
            Path(self.out, name, self.temporary).unlink(missing_ok=True)


def read_part(out: Path, name: str, part: str) -> pa.Table:
    """One table's part in the table's schema of now: the part of a table that was not yet, empty;
    a column that was not yet, null."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    from skav_batch.tables import SCHEMAS

    schema, path = SCHEMAS[name], out / name / part_name(part)
    if not path.exists():
        return schema.empty_table()
    rows = pq.ParquetFile(path).read()  # not read_table: its dataset layer takes a tenth of a second to load
    return pa.table([rows[field.name] if field.name in rows.column_names else pa.nulls(len(rows), field.type)
                     for field in schema], schema=schema)


def write_parts(out: str, part: str, tables: Tables) -> None:
    """The staged part of each table, holding `tables`."""
    writer = PartWriter(out, part)
    writer.add(tables, [])
    writer.stage()
