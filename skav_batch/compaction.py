"""Parts merged into one, rows kept in file-path order: the dataset's compaction (dataset.py).

Each part holds its files' rows in file-path order and no file is in two parts, so the merged
part is the parts' runs of files taken in turn, each part read from front to back a batch at a
time: memory holds a batch of each part and a row group, never the parts whole.
"""

from __future__ import annotations

import heapq
from collections.abc import Iterator
from typing import TYPE_CHECKING

from skav_batch import _columns
from skav_batch.parts import ROW_GROUP, PartWriter, part_name

if TYPE_CHECKING:
    from pathlib import Path

    import pyarrow as pa


def merge(out: Path, parts: list[str], merged: str) -> None:
    """Stages `merged`, holding the rows of `parts` in file-path order."""
    import pyarrow.parquet as pq

    files = [pq.read_table(out / "files" / part_name(part), columns=["file"])["file"].to_pylist() for part in parts]
    # Each file once, with its part: the order in which the parts' runs of files are taken.
    order = [part for _, part in heapq.merge(*[[(file, index) for file in names] for index, names in enumerate(files)])]
    writer = PartWriter(str(out), merged)
    for name in _columns.TABLES:
        for rows in merged_rows(out / name, parts, files, order):
            writer.add_rows(name, rows)
    writer.stage()


def merged_rows(folder: Path, parts: list[str], files: list[list[str]], order: list[int]) -> Iterator[pa.Table]:
    """The rows of one table's parts, run after run of files from one part."""
    import pyarrow.compute as pc
    import pyarrow.parquet as pq

    readers = [Batches(pq.ParquetFile(folder / part_name(part))) for part in parts]
    counts = []
    for part in parts:
        column = pq.read_table(folder / part_name(part), columns=["file"])["file"]
        counted = pc.value_counts(column).to_pylist() if len(column) else []
        counts.append({entry["values"]: entry["counts"] for entry in counted})
    taken = [0] * len(parts)  # files of each part taken so far
    at = 0
    while at < len(order):
        part, run = order[at], 1
        while at + run < len(order) and order[at + run] == part:
            run += 1
        names = files[part][taken[part]:taken[part] + run]
        taken[part] += run
        at += run
        yield from readers[part].take(sum(counts[part].get(name, 0) for name in names))


class Batches:
    """A part's rows, taken from the front."""

    def __init__(self, file: object) -> None:
        self.batches = file.iter_batches(batch_size=ROW_GROUP)  # type: ignore[attr-defined]
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
