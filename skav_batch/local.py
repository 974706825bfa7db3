"""Reading many files on one machine, in this process: threads read chunks of files with the native
reader (which releases the interpreter lock), and this thread writes their rows, in file-path
order, into one part of each table, which it stages and commits every few seconds and at the end.

Ctrl-C stops the run within a second: no new chunk starts, nothing more is written or committed,
and what was committed before stays (see dataset.py).

The threads start reading before pyarrow is loaded: the native reader needs none, and loading
it takes about as long as reading the first few files.
"""

from __future__ import annotations

import queue
import threading
import time
from pathlib import Path
from typing import TYPE_CHECKING

from skav_batch import _columns
from skav_batch.dataset import Committer, Report, update
from skav_batch.progress import tally
from skav_batch.read import Kind, read_native
from skav_batch.tasks import Summary, Task, split, worker_count

if TYPE_CHECKING:
    from skav_batch.parts import PartWriter
    from skav_batch.tables import Tables

# A chunk: as many files as are read between two looks at the commit clock.
MOST_FILES = 100
MOST_BYTES = 32 << 20
# How long a stopped run waits for the chunks that are being read.
GRACE_SECONDS = 0.5

# A chunk read: its number, its columns and how many of its files failed.
ReadChunk = tuple[int, dict[str, _columns.Table], int]


def run(paths: list[str], kind: Kind, out: Path, *, workers: int | None = None, progress: bool = True,
        full: bool = False, prune: bool = False, dry_run: bool = False) -> Report:
    """Brings the tables under `out` up to date with the files; raises SetupError before any file is read."""
    workers = worker_count(workers)

    def execute(to_read: list[str], prefix: str, committer: Committer) -> Summary:
        chunks = split(to_read, workers, MOST_FILES, MOST_BYTES)
        return run_chunks(chunks, kind, str(out), workers, progress, Parts(str(out), prefix, committer))

    return update(paths, kind, out, execute, full=full, prune=prune, dry_run=dry_run)


class Readers:
    """The threads of a run and what they share with this thread: the chunks left, what each chunk
    hands back (its columns, or the error that ends the run), and whether the run is stopped."""

    def __init__(self, chunks: list[Task], kind: Kind) -> None:
        self.todo: queue.SimpleQueue[tuple[int, Task]] = queue.SimpleQueue()
        for numbered in enumerate(chunks):
            self.todo.put(numbered)
        self.done: queue.SimpleQueue[ReadChunk | BaseException] = queue.SimpleQueue()
        self.stopped = threading.Event()
        self.kind = kind
        self.threads: list[threading.Thread] = []

    def start(self, count: int) -> None:
        # Daemon threads: a stopped run does not wait at exit for a chunk that is still read.
        self.threads = [threading.Thread(target=self.work, daemon=True) for _ in range(count)]
        for thread in self.threads:
            thread.start()

    def work(self) -> None:
        """One thread: reads chunks until none is left or the run is stopped."""
        try:
            while not self.stopped.is_set():
                try:
                    number, chunk = self.todo.get_nowait()
                except queue.Empty:
                    return
                self.done.put((number, *read_native(chunk.paths, self.kind)))
        except BaseException as error:  # handed to this thread's caller, which stops the run
            self.done.put(error)

    def stop(self) -> None:
        """No chunk starts from now on; waits a moment for the chunks being read."""
        self.stopped.set()
        deadline = time.monotonic() + GRACE_SECONDS
        for thread in self.threads:
            thread.join(max(0.0, deadline - time.monotonic()))


class Parts:
    """The rows of the chunks read, written in the chunks' order into one part after another: each
    part is staged and committed when the committer is due, and at the end."""

    def __init__(self, out: str, prefix: str, committer: Committer) -> None:
        self.out, self.prefix, self.committer = out, prefix, committer
        self.writer: PartWriter | None = None
        self.made = 0
        self.waiting: dict[int, tuple[Tables, list[str]]] = {}  # read before a chunk ahead of them
        self.next = 0  # the first chunk not written
        self.written_ahead: set[int] = set()  # chunks written at a commit before one ahead of them

    def add(self, number: int, tables: Tables, paths: list[str]) -> None:
        """A chunk's rows, written once every chunk before it is; commits when it is due."""
        self.waiting[number] = (tables, paths)
        while self.next in self.waiting or self.next in self.written_ahead:
            if self.next in self.waiting:
                self.write(*self.waiting.pop(self.next))
            self.next += 1
        if self.committer.due():
            self.commit()

    def write(self, tables: Tables, paths: list[str]) -> None:
        if self.writer is None:
            from skav_batch.parts import PartWriter

            self.made += 1
            self.writer = PartWriter(self.out, f"{self.prefix}-{self.made:06d}")
        self.writer.add(tables, paths)

    def commit(self) -> None:
        """Stages the part with every chunk read so far, and commits it."""
        for number in sorted(self.waiting):
            self.write(*self.waiting.pop(number))
            self.written_ahead.add(number)
        if self.writer is not None:
            self.writer.stage()
            self.committer.add(self.writer.part, self.writer.files)
            self.writer = None
        self.committer.commit()

    def discard(self) -> None:
        if self.writer is not None:
            self.writer.discard()


def run_chunks(chunks: list[Task], kind: Kind, out: str, workers: int, progress: bool, parts: Parts) -> Summary:
    """Reads the chunks on threads that start while pyarrow loads; stops them on any error."""
    readers = Readers(chunks, kind)
    readers.start(min(workers, len(chunks)))
    import pyarrow.parquet  # noqa: F401  (while the threads read: see the module's docstring)

    from skav_batch.tables import as_tables

    try:
        with tally(sum(len(chunk.paths) for chunk in chunks), progress) as counted:
            for _ in chunks:
                result = readers.done.get()
                if isinstance(result, BaseException):
                    raise result
                number, columns, failed = result
                parts.add(number, as_tables(columns), chunks[number].paths)
                del columns, result  # its rows are written or wait in a part
                counted.add(Summary(len(chunks[number].paths), failed))
            parts.commit()
        return Summary(counted.files, counted.failed)
    except BaseException:  # Ctrl-C, or a part that could not be written
        readers.stop()
        parts.discard()
        raise


def read_files(paths: list[str], kind: Kind, workers: int | None = None) -> Tables:
    """The six tables of the files, in memory, read by `workers` threads (default: one per core),
    rows in file-path order."""
    from concurrent.futures import ThreadPoolExecutor

    import pyarrow as pa

    from skav_batch.read import label
    from skav_batch.tables import empty_tables, read_columns

    workers = worker_count(workers)
    with ThreadPoolExecutor(workers) as pool:
        parts = list(pool.map(lambda chunk: read_columns(chunk.paths, kind)[0],
                              split(sorted(paths, key=label), workers, MOST_FILES, MOST_BYTES)))
    if not parts:
        return empty_tables()
    return {name: pa.concat_tables([part[name] for part in parts]) for name in _columns.TABLES}

