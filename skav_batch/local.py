"""Reading many files on one machine, in this process: threads that each read a task of files
with the native reader (which releases the interpreter lock) and write the task's parts.

Ctrl-C stops the run within a second: no new task starts, no new part is written, and what was
committed before stays (see dataset.py).

The threads start reading before pyarrow is loaded: the native reader needs none, and loading
it takes about as long as reading the first few files.
"""

from __future__ import annotations

import queue
import threading
import time
from collections.abc import Callable
from pathlib import Path
from typing import TYPE_CHECKING

from skav_batch import _columns
from skav_batch.dataset import Report, update
from skav_batch.parts import write_parts
from skav_batch.progress import tally
from skav_batch.read import Kind, read_native
from skav_batch.tasks import Summary, Task, split, worker_count

if TYPE_CHECKING:
    from skav_batch.tables import Tables

MOST_FILES = 1000
MOST_BYTES = 64 << 20
# How long a stopped run waits for the tasks that are running.
GRACE_SECONDS = 0.5


def run(paths: list[str], kind: Kind, out: Path, *, workers: int | None = None, progress: bool = True,
        full: bool = False, prune: bool = False, dry_run: bool = False) -> Report:
    """Brings the tables under `out` up to date with the files; raises SetupError before any file is read."""
    workers = worker_count(workers)

    def execute(to_read: list[str], prefix: str, on_done: Callable[[Task], None]) -> Summary:
        return run_tasks(split(to_read, workers, MOST_FILES, MOST_BYTES, f"{prefix}-"), kind, str(out), workers, progress,
                         on_done)

    return update(paths, kind, out, execute, full=full, prune=prune, dry_run=dry_run)


def write_task(task: Task, columns: dict[str, _columns.Table], out: str) -> None:
    from skav_batch.tables import as_tables

    write_parts(out, task.name, as_tables(columns))


# A task read and not written yet: its columns and how many of its files failed.
ReadTask = tuple[Task, dict[str, _columns.Table], int]


class Readers:
    """The threads of a run and what they share with the main thread: the tasks left, what each
    task hands back (its summary, or the error that ends the run), and two signals: pyarrow is
    loaded, and the run is stopped."""

    def __init__(self, tasks: list[Task], kind: Kind, out: str) -> None:
        self.todo: queue.SimpleQueue[Task] = queue.SimpleQueue()
        for task in tasks:
            self.todo.put(task)
        self.done: queue.SimpleQueue[tuple[Task, Summary] | BaseException] = queue.SimpleQueue()
        self.loaded, self.stopped = threading.Event(), threading.Event()
        self.kind, self.out = kind, out
        self.threads: list[threading.Thread] = []

    def start(self, count: int) -> None:
        # Daemon threads: a stopped run does not wait at exit for a task that is still reading.
        self.threads = [threading.Thread(target=self.work, daemon=True) for _ in range(count)]
        for thread in self.threads:
            thread.start()

    def work(self) -> None:
        """One thread: reads tasks until none is left, and writes their parts once pyarrow is loaded."""
        read: list[ReadTask] = []
        try:
            while not self.stopped.is_set():
                task = self.next_task()
                if task is not None:
                    read.append((task, *read_native(task.paths, self.kind)))
                    if not self.loaded.is_set():  # read on while pyarrow loads
                        continue
                self.loaded.wait()
                self.write(read)
                if task is None:
                    return
        except BaseException as error:  # handed to the main thread, which stops the run
            self.done.put(error)

    def next_task(self) -> Task | None:
        try:
            return self.todo.get_nowait()
        except queue.Empty:
            return None

    def write(self, read: list[ReadTask]) -> None:
        """Writes the parts of the tasks read, in the order read; a stopped run writes no more parts."""
        while read and not self.stopped.is_set():
            task, columns, failed = read.pop(0)
            write_task(task, columns, self.out)
            del columns  # before the next reading: its tables need the room
            self.done.put((task, Summary(len(task.paths), failed)))

    def collect(self, tasks: list[Task], progress: bool, on_done: Callable[[Task], None]) -> Summary:
        """The tasks' summaries added up as they come, each task handed on once its parts are
        staged; raises the error that a thread hands back."""
        with tally(sum(len(task.paths) for task in tasks), progress) as counted:
            # Parts are written only once the bar's module is imported: a Ctrl-C that lands
            # during an import can be discarded by the import machinery, and the run go on.
            self.loaded.set()
            for _ in tasks:
                result = self.done.get()
                if isinstance(result, BaseException):
                    raise result
                counted.add(result[1])
                on_done(result[0])
        return Summary(counted.files, counted.failed)

    def stop(self) -> None:
        """No task starts and no part is written from now on; waits a moment for the tasks that run."""
        self.stopped.set()
        deadline = time.monotonic() + GRACE_SECONDS
        for thread in self.threads:
            thread.join(max(0.0, deadline - time.monotonic()))


def run_tasks(tasks: list[Task], kind: Kind, out: str, workers: int, progress: bool,
              on_done: Callable[[Task], None]) -> Summary:
    """Runs the tasks on threads that start reading while pyarrow loads, and stops them on any error."""
    readers = Readers(tasks, kind, out)
    readers.start(min(workers, len(tasks)))
    import pyarrow.parquet  # noqa: F401  (while the threads read: see the module's docstring)

    import skav_batch.tables  # noqa: F401
    try:
        return readers.collect(tasks, progress, on_done)
    except BaseException:  # Ctrl-C, or a task that could not write its parts
        readers.stop()
        raise


def read_files(paths: list[str], kind: Kind, workers: int | None = None) -> Tables:
    """The six tables of the files, in memory, read by `workers` threads (default: one per core)."""
    from concurrent.futures import ThreadPoolExecutor

    import pyarrow as pa

    from skav_batch.tables import empty_tables, read_columns

    workers = worker_count(workers)
    with ThreadPoolExecutor(workers) as pool:
        parts = list(pool.map(lambda task: read_columns(task.paths, kind)[0],
                              split(paths, workers, MOST_FILES, MOST_BYTES)))
    if not parts:
        return empty_tables()
    return {name: pa.concat_tables([part[name] for part in parts]) for name in _columns.TABLES}
