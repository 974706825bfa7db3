"""Reading many files on Dask (`skav-rs tables --scheduler`): tasks of many files, each writing its
own part of each table into the output folder, on as many machines as the cluster has.

The client holds file names, counts and the dataset's manifest, never rows while it reads;
workers stage the parts and the client commits them every few seconds and at the end, merging
small ones as it commits (dataset.py). Each file lands exactly once:
- a task's staged part files have names fixed by the task, written to a temporary file and
  renamed, so a task that Dask reruns after its worker died replaces them;
- a task whose workers keep dying (KilledWorker) has its parts removed and is split into one
  task per file; a file that kills workers even when it runs alone becomes a failure row,
  written by the client (see run_tasks).
"""

from __future__ import annotations

import logging
import os
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

import dask
from distributed import Client, Future, LocalCluster, as_completed
from distributed.scheduler import KilledWorker

from skav_batch.dataset import Committer, Report, update
from skav_batch.parts import SetupError, remove_staged, write_parts
from skav_batch.progress import tally
from skav_batch.read import Kind, failure
from skav_batch.tables import failure_table, read_columns
from skav_batch.tasks import Summary, Task, split, worker_count

LOCAL = "local"  # --scheduler local: a local cluster of worker processes

MOST_FILES = 100
MOST_BYTES = 256 << 20


def read_task(task: Task, kind: Kind, out: str, cwd: str) -> Summary:
    """Runs on a worker: reads the task's files and stages its part files."""
    # Opened relative to the client's folder; the tables keep the paths as found.
    tables, failed = read_columns(task.paths, kind, cwd)
    write_parts(out, task.name, tables)
    return Summary(len(task.paths), failed)


@contextmanager
def connect(scheduler: str, workers: int | None) -> Iterator[Client]:
    """A client of the scheduler at this address, or of a local cluster of single-threaded worker
    processes (LOCAL): a file that crashes its reader then ends one worker, not the command."""
    if scheduler != LOCAL:
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
            LocalCluster(n_workers=worker_count(workers), threads_per_worker=1, processes=True,
                         dashboard_address=None, silence_logs=logging.ERROR) as cluster, Client(cluster) as client:
        yield client


def run(paths: list[str], kind: Kind, out: Path, *, scheduler: str, workers: int | None = None,
        progress: bool = True, full: bool = False, prune: bool = False, dry_run: bool = False) -> Report:
    """Brings the tables under `out` up to date with the files; raises SetupError before any file
    is read. The cluster is reached only when there are files to read."""

    def execute(to_read: list[str], prefix: str, committer: Committer) -> Summary:
        with connect(scheduler, workers) as client:
            return run_tasks(client, to_read, kind, str(out.resolve()), progress, prefix, committer)

    return update(paths, kind, out, execute, full=full, prune=prune, dry_run=dry_run)


def run_tasks(client: Client, paths: list[str], kind: Kind, out: str, progress: bool, prefix: str,
              committer: Committer) -> Summary:
    """Runs the tasks, each task's part committed with the next commit; the client learns counts only.

    A worker's death counts against every task the worker held, so a task that ends in
    KilledWorker may be a bystander. It is split into single files; a single file that ends so
    runs once more while no other task runs, and becomes a failure row if it still kills workers."""
    cwd = os.getcwd()
    futures: as_completed = as_completed()
    pending: dict[Future[Summary], Task] = {}
    suspects: list[Task] = []

    def start(task: Task) -> None:
        # Keys are unique per run and per attempt: a key that erred once stays erred on the scheduler.
        key = f"skav-{task.name}{'-alone' if task.alone else ''}"
        pending[future := client.submit(read_task, task, kind, out, cwd, key=key, pure=False)] = task
        futures.add(future)

    for task in split(paths, max(1, len(client.scheduler_info()["workers"])), MOST_FILES, MOST_BYTES, f"{prefix}-"):
        start(task)
    with tally(len(paths), progress) as counted:
        while pending or suspects:
            if not pending:
                start(suspects.pop()._replace(alone=True))
            future = next(futures)
            task = pending.pop(future)
            try:
                summary = future.result()
            except KilledWorker as error:
                remove_staged(Path(out), task.name)
                if len(task.paths) > 1:
                    for i, path in enumerate(task.paths):
                        start(Task(f"{task.name}-{i:06d}", [path]))
                    continue
                if not task.alone:
                    suspects.append(task)
                    continue
                write_parts(out, task.name, failure_table(task.paths[0], [failure(kind, error)]))
                summary = Summary(1, 1)
            counted.add(summary)
            committer.add(task.name, task.paths)
            if committer.due():
                committer.commit()
    return Summary(len(paths), counted.failed)

