"""Parts merged into one, rows kept in file-path order: the dataset's compaction (dataset.py).

Each part holds its files' rows in file-path order and no file is in two parts, so the merged
part takes, again and again, from the part whose next row has the first file, all its rows
before the next file of any other part. Each part is read a row group at a time: memory holds a
row group of each part and one being written, never the parts whole.
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import TYPE_CHECKING, cast

from skav_batch import _columns
from skav_batch.parts import PartWriter, part_name

if TYPE_CHECKING:
    from pathlib import Path

    import pyarrow as pa


def merge(out: Path, parts: list[str], merged: str) -> None:
    """Stages `merged`, holding the rows of `parts` in file-path order."""
    writer = PartWriter(str(out), merged)
    for name in _columns.TABLES:
        for rows in merged_rows([out / name / part_name(part) for part in parts]):
            writer.add_rows(name, rows)
    writer.stage()


def merged_rows(paths: list[Path]) -> Iterator[pa.Table]:
    """The rows of one table's parts in file-path order, a run of files from one part at a time."""
    left = [rows for rows in map(RowGroups, paths) if not rows.done()]
    while left:
        left.sort(key=RowGroups.first_file)
        yield left[0].take_before(left[1].first_file() if len(left) > 1 else None)
        left = [rows for rows in left if not rows.done()]


class RowGroups:
    """A part's rows, taken from the front a row group at a time."""

    def __init__(self, path: Path) -> None:
        import pyarrow.parquet as pq

        self.file = pq.ParquetFile(path)
        self.next_group = 0
        self.rows: pa.Table | None = None
        self.load()

    def load(self) -> None:
        """The next row group that holds rows, or none."""
        self.rows = None
        while self.rows is None and self.next_group < self.file.num_row_groups:
            group = self.file.read_row_group(self.next_group, use_threads=False)
            self.next_group += 1
            self.rows = group if group.num_rows else None

    def done(self) -> bool:
        return self.rows is None

    def first_file(self) -> str:
        assert self.rows is not None
        return cast(str, self.rows.column("file")[0].as_py())

    def take_before(self, bound: str | None) -> pa.Table:
        """The rows, from the front of the row group, of files before `bound` (all for none)."""
        assert self.rows is not None
        files = self.rows.column("file")
        low, high = 1, self.rows.num_rows  # the first row is before: it was the first file of all
        if bound is not None:
            while low < high:  # files are sorted: the first row at or after the bound
                middle = (low + high) // 2
                if files[middle].as_py() < bound:
                    low = middle + 1
                else:
                    high = middle
        else:
            low = self.rows.num_rows
        taken, rest = self.rows.slice(0, low), self.rows.slice(low)
        self.rows = rest
        if not rest.num_rows:
            self.load()
        return taken
