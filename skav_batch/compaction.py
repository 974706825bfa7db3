"""Parts merged into one, rows kept in file-path order: the dataset's compaction (dataset.py).

Each part holds its files' rows in file-path order and no file is in two parts, so the merged
part is the parts' runs of files taken in turn, each part read from front to back a batch at a
time: memory holds a batch of each part and a row group, never the parts whole.
"""

from __future__ import annotations

import heapq
from collections.abc import Iterator
from typing import TYPE_CHECKING, cast

from skav_batch import _columns
from skav_batch.parts import ROW_GROUP, PartWriter, part_name

if TYPE_CHECKING:
    from pathlib import Path

    import pyarrow as pa
    import pyarrow.parquet as pq


def merge(out: Path, parts: list[str], merged: str) -> None:
    """Stages `merged`, holding the rows of `parts` in file-path order."""
    import pyarrow.parquet as pq

    files = [cast(list[str], pq.read_table(out / "files" / part_name(part), columns=["file"])["file"].to_pylist())
             for part in parts]
    # Each file once, with the number of its part: the order in which the parts' runs of files are taken.
    order = [index for _, index in heapq.merge(*[[(file, index) for file in names] for index, names in enumerate(files)])]
    writer = PartWriter(str(out), merged)
    for name in _columns.TABLES:
        for rows in merged_rows(out / name, parts, files, order):
            writer.add_rows(name, rows)
    writer.stage()


def rows_per_file(path: Path) -> dict[str, int]:
    import pyarrow.compute as pc
    import pyarrow.parquet as pq

    counted = pc.value_counts(pq.read_table(path, columns=["file"])["file"])
    return dict(zip(cast(list[str], counted.field("values").to_pylist()), cast(list[int], counted.field("counts").to_pylist())))


def merged_rows(folder: Path, parts: list[str], files: list[list[str]], order: list[int]) -> Iterator[pa.Table]:
    """The rows of one table's parts, run after run of files from one part."""
    import pyarrow.parquet as pq

    readers = [Batches(pq.ParquetFile(folder / part_name(part))) for part in parts]
    counts = [rows_per_file(folder / part_name(part)) for part in parts]
    taken = [0] * len(parts)  # files of each part taken so far
    at = 0
    while at < len(order):
        index, run = order[at], 1
        while at + run < len(order) and order[at + run] == index:
            run += 1
        names = files[index][taken[index]:taken[index] + run]
        taken[index] += run
        at += run
        yield from readers[index].take(sum(counts[index].get(name, 0) for name in names))


class Batches:
    """A part's rows, taken from the front."""

    def __init__(self, file: pq.ParquetFile) -> None:
        self.batches = file.iter_batches(batch_size=ROW_GROUP)
        self.current: pa.RecordBatch | None = None
        self.offset = 0

    def take(self, rows: int) -> Iterator[pa.Table]:
        import pyarrow as pa

        while rows:
            if self.current is None or self.offset == self.current.num_rows:
                self.current, self.offset = next(self.batches), 0
            piece = self.current.slice(self.offset, min(rows, self.current.num_rows - self.offset))
            self.offset += piece.num_rows
            rows -= piece.num_rows
            yield pa.Table.from_batches([piece])
