"""Planning a run: the files cut into tasks, each read and written as one, and what a task counts."""

from __future__ import annotations

import math
import os
from typing import NamedTuple


class Task(NamedTuple):
    name: str  # names the task's part files
    paths: list[str]
    alone: bool = False  # runs while no other task runs


class Summary(NamedTuple):
    files: int
    failed: int


def worker_count(workers: int | None) -> int:
    """The files read at once: `workers`, or one per core."""
    return workers or os.cpu_count() or 1


def size(path: str) -> int:
    try:
        return os.stat(path).st_size
    except OSError:
        return 0  # its reading fails, and says why


def split(paths: list[str], workers: int, most_files: int, most_bytes: int, prefix: str = "") -> list[Task]:
    """Tasks of consecutive files, each holding at most `most_files` files and, unless one file is
    larger, `most_bytes` bytes: a task's columns stay in memory until its parts are written. Each
    task takes a 1/(2 x workers) share of the files left, and no less than a 1/(8 x workers) share
    of all: the tasks shrink towards the end, so every worker is kept busy until the last file.
    Tasks are named by their number after `prefix`."""
    smallest = max(1, math.ceil(len(paths) / (8 * workers)))
    tasks: list[Task] = []
    group: list[str] = []
    total = wanted = 0
    for at, path in enumerate(paths):
        bytes_ = size(path)
        if group and (len(group) == wanted or total + bytes_ > most_bytes):
            tasks.append(Task(f"{prefix}{len(tasks):06d}", group))
            group, total = [], 0
        if not group:
            wanted = min(most_files, max(smallest, math.ceil((len(paths) - at) / (2 * workers))))
        group.append(path)
        total += bytes_
    if group:
        tasks.append(Task(f"{prefix}{len(tasks):06d}", group))
    return tasks
