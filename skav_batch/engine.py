"""Reading many files on Dask: tasks of many files, each writing its own part files into the output folder.

The client holds file names and counts only, never rows. Each file lands exactly once:
- a task's part files have names fixed by the task, written to a temporary file and renamed
  into place, so a task that Dask reruns after its worker died replaces them;
- a task whose workers keep dying (KilledWorker) has its parts removed and is split into one
  task per file; a file that kills workers even when it runs alone becomes a failure row,
  written by the client (see run_tasks).
"""

from __future__ import annotations

import logging
import math
import os
import sys
import tempfile
import uuid
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import NamedTuple

import dask
import pyarrow.parquet as pq
from distributed import Client, Future, LocalCluster, WorkerPlugin, as_completed
from distributed.scheduler import KilledWorker
from tqdm import tqdm

from skav_batch.read import Kind, failure, read_file
from skav_batch.tables import NAMES, Tables, TableBuilder, failure_table

MAX_FILES_PER_TASK = 100


class SetupError(Exception):
    """The output folder cannot be written or the scheduler cannot be reached."""


class Task(NamedTuple):
    name: str  # names the task's part files
    paths: list[str]
    alone: bool = False  # runs while no other task runs


class Summary(NamedTuple):
    files: int
    failed: int


def part_name(task: str) -> str:
    return f"part-{task}.parquet"


def prepare(out: Path) -> None:
    """Creates the table folders, clears the parts of an earlier run, and checks they can be written."""
    try:
        for name in NAMES:
            (out / name).mkdir(parents=True, exist_ok=True)
            tempfile.TemporaryFile(dir=out / name).close()
        remove(out, "part-*.parquet", ".part-*.tmp")
    except OSError as error:
        raise SetupError(f"cannot write tables to {out}: {error.strerror or error}") from error


def remove(out: Path, *patterns: str) -> None:
    """Removes the files matching any of the patterns from every table folder."""
    for name in NAMES:
        for pattern in patterns:
            for path in (out / name).glob(pattern):
                path.unlink(missing_ok=True)


def write_parts(out: str, task: str, tables: Tables) -> None:
    for name, rows in tables.items():
        final = os.path.join(out, name, part_name(task))
        # A dot name: readers of the table folder skip it until it is complete.
        temporary = os.path.join(out, name, f".{part_name(task)}.{uuid.uuid4().hex}.tmp")
        pq.write_table(rows, temporary)
        os.replace(temporary, final)


def read_task(task: Task, kind: Kind, out: str, cwd: str) -> Summary:
    """Runs on a worker: reads the task's files and writes its five part files."""
    builder, failed = TableBuilder(), 0
    for path in task.paths:
        # Opened relative to the client's folder; the table keeps the path as found.
        results = read_file(os.path.join(cwd, path), kind)
        failed += bool(results.failures)
        builder.add(path, results)
    write_parts(out, task.name, builder.tables())
    return Summary(len(task.paths), failed)


class QuietNativeReports(WorkerPlugin):
    """On local workers, the module's failure reports (written to file descriptor 2) would garble the
    progress bar; every failure is a row of the failures table anyway."""

    def setup(self, worker: object) -> None:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 2)
        os.close(devnull)


@contextmanager
def connect(workers: int | None, scheduler: str | None) -> Iterator[Client]:
    """A client of the given scheduler, or of a local cluster of single-threaded worker processes
    (the module holds the interpreter lock, so threads would not read in parallel)."""
    if scheduler is not None:
        try:
            client = Client(scheduler, timeout="10s")
        except (OSError, ValueError) as error:  # unreachable, or not an address
            raise SetupError(f"cannot reach the scheduler at {scheduler}: {error}") from error
        with client:
            yield client
        return
    # One task per worker at a time: by default a worker takes a second task while it runs one,
    # and two large files queued behind each other leave the other workers idle.
    with dask.config.set({"distributed.scheduler.worker-saturation": 1.0}), \
            LocalCluster(n_workers=workers or os.cpu_count() or 1, threads_per_worker=1, processes=True,
                         dashboard_address=None, silence_logs=logging.ERROR) as cluster, Client(cluster) as client:
        client.register_plugin(QuietNativeReports())
        yield client


def split(paths: list[str], workers: int) -> list[Task]:
    """Tasks of many files, yet enough of them to keep every worker busy to the end."""
    size = max(1, min(MAX_FILES_PER_TASK, math.ceil(len(paths) / (4 * workers))))
    count = math.ceil(len(paths) / size)
    return [Task(f"{i:06d}", paths[i * size:(i + 1) * size]) for i in range(count)]


def run(paths: list[str], kind: Kind, out: Path, *, workers: int | None = None, scheduler: str | None = None,
        progress: bool = True) -> Summary:
    """Reads the files into the five tables under `out`; raises SetupError before any file is read."""
    prepare(out)
    if not paths:  # no cluster needed, yet every table must be readable
        write_parts(str(out), "empty", TableBuilder().tables())
        return Summary(0, 0)
    try:
        with connect(workers, scheduler) as client:
            return run_tasks(client, paths, kind, str(out.resolve()), progress)
    finally:
        remove(out, ".part-*.tmp")  # left by workers that died while writing


def run_tasks(client: Client, paths: list[str], kind: Kind, out: str, progress: bool) -> Summary:
    """Runs the tasks; the client learns counts only.

    A worker's death counts against every task the worker held, so a task that ends in
    KilledWorker may be a bystander. It is split into single files; a single file that ends so
    runs once more while no other task runs, and becomes a failure row if it still kills workers."""
    run_id, cwd = uuid.uuid4().hex[:8], os.getcwd()
    futures: as_completed = as_completed()
    pending: dict[Future[Summary], Task] = {}
    suspects: list[Task] = []

    def start(task: Task) -> None:
        # Keys are unique per run and per attempt: a key that erred once stays erred on the scheduler.
        key = f"skav-{run_id}-{task.name}{'-alone' if task.alone else ''}"
        pending[future := client.submit(read_task, task, kind, out, cwd, key=key, pure=False)] = task
        futures.add(future)

    for task in split(paths, max(1, len(client.scheduler_info()["workers"]))):
        start(task)
    failed = 0
    with tqdm(total=len(paths), unit="file", file=sys.stderr, disable=not progress) as bar:
        while pending or suspects:
            if not pending:
                start(suspects.pop()._replace(alone=True))
            future = next(futures)
            task = pending.pop(future)
            try:
                summary = future.result()
            except KilledWorker as error:
                remove(Path(out), part_name(task.name))
                if len(task.paths) > 1:
                    for i, path in enumerate(task.paths):
                        start(Task(f"{task.name}-{i:06d}", [path]))
                    continue
                if not task.alone:
                    suspects.append(task)
                    continue
                write_parts(out, task.name, failure_table(task.paths[0], [failure(kind, error)]))
                summary = Summary(1, 1)
            failed += summary.failed
            bar.update(summary.files)
            bar.set_postfix(failed=failed, refresh=False)
    return Summary(len(paths), failed)

