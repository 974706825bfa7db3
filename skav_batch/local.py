"""Reading many files on one machine, in this process: threads that each read a task of files
with the native reader (which releases the interpreter lock) and write the task's parts.

Ctrl-C stops the run within a second: no new task starts, no new part is written, and the parts
already written stay (each complete, see parts.py).

The threads start reading before pyarrow is loaded: the native reader needs none, and loading
it takes about as long as reading the first few files.
"""

from __future__ import annotations

import os
import queue
import threading
import time
from pathlib import Path
from typing import TYPE_CHECKING

from skav_batch import _columns
from skav_batch.parts import prepare, remove, write_parts
from skav_batch.progress import tally
from skav_batch.read import Kind, read_native
from skav_batch.tasks import Summary, Task, split

if TYPE_CHECKING:
    from skav_batch.tables import Tables

MOST_FILES = 1000
MOST_BYTES = 64 << 20
# How long a stopped run waits for the tasks that are running.
GRACE_SECONDS = 0.5


def run(paths: list[str], kind: Kind, out: Path, *, workers: int | None = None, progress: bool = True) -> Summary:
    """Reads the files into the five tables under `out`; raises SetupError before any file is read."""
    prepare(out)
    workers = workers or os.cpu_count() or 1
    try:
        summary = run_tasks(split(paths, workers, MOST_FILES, MOST_BYTES), kind, str(out), workers, progress)
    finally:
        remove(out, ".part-*.tmp")  # of tasks stopped while they wrote
    # Tasks write no empty parts (each costs as much as a small one), yet every table must be readable.
    from skav_batch.tables import empty_tables

    write_parts(str(out), "empty", {name: table for name, table in empty_tables().items()
                                    if not any((out / name).glob("part-*.parquet"))})
    return summary


def write_task(task: Task, columns: dict[str, _columns.Table], out: str) -> None:
    from skav_batch.tables import as_tables

    write_parts(out, task.name, {name: rows for name, rows in as_tables(columns).items() if rows.num_rows})


def run_tasks(tasks: list[Task], kind: Kind, out: str, workers: int, progress: bool) -> Summary:
    todo: queue.SimpleQueue[Task] = queue.SimpleQueue()
    for task in tasks:
        todo.put(task)
    done: queue.SimpleQueue[Summary | BaseException] = queue.SimpleQueue()
    stop, loaded = threading.Event(), threading.Event()

    def work() -> None:
        read: list[tuple[Task, dict[str, _columns.Table], int]] = []  # not written yet
        try:
            while not stop.is_set():
                try:
                    task = todo.get_nowait()
                except queue.Empty:
                    task = None
                if task is not None:
                    read.append((task, *read_native(task.paths, kind)))
                    if not loaded.is_set():  # read on while pyarrow loads
                        continue
                loaded.wait()
                while read and not stop.is_set():  # a stopped run writes no more parts
                    task, columns, failed = read.pop(0)
                    write_task(task, columns, out)
                    del columns  # before the next reading: its tables need the room
                    done.put(Summary(len(task.paths), failed))
                if task is None:
                    return
        except BaseException as error:  # handed to the main thread, which stops the run
            done.put(error)

    # Daemon threads: a stopped run does not wait at exit for a task that is still reading.
    threads = [threading.Thread(target=work, daemon=True) for _ in range(min(workers, len(tasks)))]
    for thread in threads:
        thread.start()
    import pyarrow.parquet  # noqa: F401  (while the threads read: see the module's docstring)

    import skav_batch.tables  # noqa: F401
    loaded.set()
    try:
        with tally(sum(len(task.paths) for task in tasks), progress) as counted:
            for _ in tasks:
                result = done.get()
                if isinstance(result, BaseException):
                    raise result
                counted.add(result)
    except BaseException:  # Ctrl-C, or a task that could not write its parts
        stop.set()
        deadline = time.monotonic() + GRACE_SECONDS
        for thread in threads:
            thread.join(max(0.0, deadline - time.monotonic()))
        raise
    return Summary(counted.files, counted.failed)


def read_files(paths: list[str], kind: Kind, workers: int | None = None) -> Tables:
    """The five tables of the files, in memory, read by `workers` threads (default: one per core)."""
    from concurrent.futures import ThreadPoolExecutor

    import pyarrow as pa

    from skav_batch.tables import empty_tables, read_columns

    workers = workers or os.cpu_count() or 1
    with ThreadPoolExecutor(workers) as pool:
        parts = list(pool.map(lambda task: read_columns(task.paths, kind)[0],
                              split(paths, workers, MOST_FILES, MOST_BYTES)))
    if not parts:
        return empty_tables()
    return {name: pa.concat_tables([part[name] for part in parts]) for name in _columns.TABLES}
