"""Reading many files on one machine, in this process: threads read chunks of files with the native
reader (which releases the interpreter lock), each writing their rows into a part of its own, in
file-path order, which it stages when this thread asks for a commit, every few seconds, and at the
end.

Ctrl-C stops the run within a second: no new chunk starts, nothing more is staged or committed,
and what was committed before stays (see dataset.py).

The threads start reading before pyarrow is loaded: the native reader needs none, and loading
it takes about as long as reading the first few files.
"""

from __future__ import annotations

import queue
import threading
import time
from pathlib import Path
from typing import TYPE_CHECKING, NamedTuple

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


def run(paths: list[str], kind: Kind, out: Path, *, workers: int | None = None, progress: bool = True,
        full: bool = False, prune: bool = False, dry_run: bool = False) -> Report:
    """Brings the tables under `out` up to date with the files; raises SetupError before any file is read."""
    workers = worker_count(workers)

    def execute(to_read: list[str], prefix: str, committer: Committer) -> Summary:
        return run_chunks(split(to_read, workers, MOST_FILES, MOST_BYTES), kind, str(out), prefix, workers, progress,
                          committer)

    return update(paths, kind, out, execute, full=full, prune=prune, dry_run=dry_run)


class Staged(NamedTuple):
    """A thread's answer to a commit: its part, staged (none if it held no rows), and the paths in it."""

    thread: int
    commit: int
    part: str | None
    paths: list[str]


class Done(NamedTuple):
    """A thread that has no chunk left."""

    thread: int


# What the threads tell this one: a chunk read, a part staged, a thread done, or the error that ends the run.
Event = Summary | Staged | Done | BaseException


class Readers:
    """The threads of a run and what they share with this thread: the chunks left, what they tell it,
    and three signals: pyarrow is loaded, a commit is asked for (by its number), the run is stopped."""

    def __init__(self, chunks: list[Task], kind: Kind, out: str, prefix: str) -> None:
        self.todo: queue.SimpleQueue[Task] = queue.SimpleQueue()
        for chunk in chunks:
            self.todo.put(chunk)
        self.events: queue.SimpleQueue[Event] = queue.SimpleQueue()
        self.loaded, self.stopped = threading.Event(), threading.Event()
        self.commit = 0
        self.kind, self.out, self.prefix = kind, out, prefix
        self.threads: list[threading.Thread] = []

    def start(self, count: int) -> None:
        # Daemon threads: a stopped run does not wait at exit for a chunk that is still read.
        self.threads = [threading.Thread(target=self.work, args=(thread,), daemon=True) for thread in range(count)]
        for thread in self.threads:
            thread.start()

    def work(self, thread: int) -> None:
        """One thread: reads chunks into its part until none is left or the run is stopped, and
        stages its part whenever a commit is asked for, and at the end."""
        writer: PartWriter | None = None
        answered, parts = 0, 0
        read: list[tuple[Task, dict[str, _columns.Table], int]] = []  # while pyarrow loads
        try:
            while not self.stopped.is_set():
                try:
                    chunk = self.todo.get_nowait()
                except queue.Empty:
                    chunk = None
                if chunk is not None:
                    read.append((chunk, *read_native(chunk.paths, self.kind)))
                    if not self.loaded.is_set():  # read on while pyarrow loads
                        continue
                self.loaded.wait()
                for chunk_read, columns, failed in read:
                    if self.stopped.is_set():
                        break
                    if writer is None:
                        from skav_batch.parts import PartWriter

                        parts += 1
                        writer = PartWriter(self.out, f"{self.prefix}-{thread}-{parts:06d}")
                    writer.add(as_tables(columns), chunk_read.paths)
                    self.events.put(Summary(len(chunk_read.paths), failed))
                read.clear()  # the rows are written or wait in the part
                if writer is not None and self.todo.qsize() < len(self.threads):
                    writer.flush()  # the last chunks: little is left to write when the reading ends
                if chunk is None or self.stopped.is_set():
                    break
                if answered != self.commit:
                    answered = self.commit
                    self.stage(thread, answered, writer)
                    writer = None
            if not self.stopped.is_set():
                self.stage(thread, self.commit, writer)
            elif writer is not None:
                writer.discard()
            self.events.put(Done(thread))
        except BaseException as error:  # handed to this thread's caller, which stops the run
            try:
                if writer is not None:
                    writer.discard()
            finally:  # whatever discarding raises: the caller waits for this
                self.events.put(error)

    def stage(self, thread: int, commit: int, writer: PartWriter | None) -> None:
        if writer is not None:
            writer.stage()
        self.events.put(Staged(thread, commit, writer.part if writer else None, writer.files if writer else []))

    def collect(self, files: int, progress: bool, committer: Committer) -> Summary:
        """The chunks' summaries added up as they come; every thread's part committed when the committer
        is due, once every thread still reading has staged it; raises the error a thread hands on."""
        reading = set(range(len(self.threads)))
        waiting: set[int] | None = None  # threads yet to stage for the commit asked for
        with tally(files, progress) as counted:
            # Rows are converted only once the bar's module is imported: a Ctrl-C that lands
            # during an import can be discarded by the import machinery, and the run go on.
            self.loaded.set()
            while reading:
                event = self.events.get()
                if isinstance(event, BaseException):
                    raise event
                if isinstance(event, Summary):
                    counted.add(event)
                    if waiting is None and committer.due():
                        self.commit += 1
                        waiting = set(reading)
                    continue
                if isinstance(event, Staged):
                    if event.part is not None:
                        committer.add(event.part, event.paths)
                else:
                    reading.discard(event.thread)
                if waiting is not None:
                    waiting.discard(event.thread)
                    if not waiting:
                        committer.commit()
                        waiting = None
        return Summary(counted.files, counted.failed)

    def stop(self) -> None:
        """No chunk starts from now on; waits a moment for the chunks being read."""
        self.stopped.set()
        self.loaded.set()
        deadline = time.monotonic() + GRACE_SECONDS
        for thread in self.threads:
            thread.join(max(0.0, deadline - time.monotonic()))


def as_tables(columns: dict[str, _columns.Table]) -> Tables:
    from skav_batch.tables import as_tables

    return as_tables(columns)


def run_chunks(chunks: list[Task], kind: Kind, out: str, prefix: str, workers: int, progress: bool,
               committer: Committer) -> Summary:
    """Reads the chunks on threads that start while pyarrow loads; stops them on any error."""
    readers = Readers(chunks, kind, out, prefix)
    readers.start(min(workers, len(chunks)))
    import pyarrow.parquet  # noqa: F401  (while the threads read: see the module's docstring)

    import skav_batch.tables  # noqa: F401
    try:
        return readers.collect(sum(len(chunk.paths) for chunk in chunks), progress, committer)
    except BaseException:  # Ctrl-C, or a part that could not be written
        readers.stop()
        raise


def read_files(paths: list[str], kind: Kind, workers: int | None = None) -> Tables:
    """The tables of the files, in memory, read by `workers` threads (default: one per core),
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
