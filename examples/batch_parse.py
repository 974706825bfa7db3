"""Parse every output file in a folder on all cores and write the results as JSON.

Usage: python examples/batch_parse.py [--kind auto|tddft|casscf] [--pattern GLOB]
                                      [--jobs N] [--output FILE] [--no-progress] FOLDER

Files matching GLOB (default *.out) anywhere below FOLDER are parsed in worker
processes. A file that fails (a PanicException from skav_rs, or an OS error) is
reported on standard error and under "failures" in the JSON; the other files
are parsed all the same. The JSON, with sorted keys, has the form
{"failures": {path: "PanicException: message", ...}, "results": {path: {kind: result}, ...}}.
A progress bar is drawn on standard error. Exit status: 0 when every file was
parsed, 1 when at least one failed.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import json
import os
import sys
import time
from pathlib import Path
from typing import TextIO

from dump_json import KINDS, parse


def is_panic(error: BaseException) -> bool:
    """True for skav_rs's PanicException, which cannot be imported by name."""
    kind = type(error)
    return kind.__name__ == "PanicException" and kind.__module__ == "pyo3_runtime"


def describe(error: BaseException) -> str:
    return f"{type(error).__name__}: {error}"


def silence_native_reports() -> None:
    """Worker initializer: the native failure report goes straight to file descriptor 2;
    this script reports each failure itself, so it would only garble the progress bar."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 2)
    os.close(devnull)


def parse_one(path: str, kind: str) -> tuple[str, dict[str, object] | None, str | None]:
    """Runs in a worker: (path, results, None) or (path, None, failure description).

    Failures come back as text because a PanicException cannot be pickled back
    to the parent (its module, pyo3_runtime, is not importable)."""
    try:
        return path, parse(path, kind), None
    except Exception as error:  # OSError, MemoryError, UnicodeEncodeError for undecodable names
        return path, None, describe(error)
    except BaseException as error:  # PanicException derives from BaseException
        if not is_panic(error):
            raise  # KeyboardInterrupt, SystemExit
        return path, None, describe(error)


class ProgressBar:
    """A one-line progress bar, redrawn in place at most ten times a second."""

    def __init__(self, total: int, stream: TextIO, enabled: bool = True, width: int = 30) -> None:
        self.total, self.stream, self.enabled, self.width = total, stream, enabled, width
        self.done = self.failed = 0
        self.shown = False  # the bar is the current, unfinished line
        self.last_draw = 0.0

    def update(self, failure_line: str | None = None) -> None:
        """Counts one finished file; a failure line is printed above the bar."""
        self.done += 1
        if failure_line is not None:
            self.failed += 1
            if self.shown:
                self.stream.write("\r\033[K" if self.stream.isatty() else "\n")
                self.shown = False
            self.stream.write(failure_line + "\n")
        if not self.shown or self.done == self.total or time.monotonic() - self.last_draw >= 0.1:
            self.draw()
        self.stream.flush()

    def draw(self) -> None:
        if not self.enabled:
            return
        self.last_draw = time.monotonic()
        filled = round(self.done / self.total * self.width) if self.total else self.width
        bar = "#" * filled + "-" * (self.width - filled)
        self.stream.write(f"\r[{bar}] {self.done}/{self.total} files, {self.failed} failed")
        self.shown = self.done < self.total
        if not self.shown:
            self.stream.write("\n")


def find_files(folder: Path, pattern: str) -> list[str]:
    return sorted(str(path) for path in folder.rglob(pattern) if path.is_file())


def run_batch(
    files: list[str], kind: str, jobs: int | None, progress: ProgressBar, native_reports: bool
) -> tuple[dict[str, dict[str, object]], dict[str, str]]:
    results: dict[str, dict[str, object]] = {}
    failures: dict[str, str] = {}
    initializer = None if native_reports else silence_native_reports
    with concurrent.futures.ProcessPoolExecutor(max_workers=jobs, initializer=initializer) as pool:
        futures = {pool.submit(parse_one, path, kind): path for path in files}
        for future in concurrent.futures.as_completed(futures):
            try:
                path, result, failure = future.result()
            except Exception as error:  # a worker died (BrokenProcessPool): its files fail
                path, result, failure = futures[future], None, describe(error)
            if result is not None:
                results[path] = result
                progress.update()
            else:
                failures[path] = failure or "unknown failure"
                progress.update(f"FAILED {path}: {failures[path]}")
    return results, failures


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").partition("\n")[0])
    parser.add_argument("folder", type=Path)
    parser.add_argument("--kind", choices=KINDS, default="auto", help="how to read each file (default: auto)")
    parser.add_argument("--pattern", default="*.out", help="file name pattern (default: *.out)")
    parser.add_argument("--jobs", type=int, default=None, help="worker processes (default: one per core)")
    parser.add_argument("--output", type=Path, help="write the JSON here instead of standard output")
    parser.add_argument("--no-progress", action="store_true", help="do not draw the progress bar")
    parser.add_argument(
        "--native-reports", action="store_true", help="let workers write skav_rs's own failure reports to stderr"
    )
    args = parser.parse_args(argv)
    if not args.folder.is_dir():
        parser.error(f"not a folder: {args.folder}")
    if args.jobs is not None and args.jobs < 1:
        parser.error("--jobs must be at least 1")

    files = find_files(args.folder, args.pattern)
    progress = ProgressBar(len(files), sys.stderr, enabled=not args.no_progress)
    if files:
        results, failures = run_batch(files, args.kind, args.jobs, progress, args.native_reports)
    else:
        results, failures = {}, {}
    print(f"{len(files)} files: {len(results)} parsed, {len(failures)} failed", file=sys.stderr)

    document = {"results": results, "failures": failures}
    if args.output is None:
        json.dump(document, sys.stdout, sort_keys=True, indent=2)
        sys.stdout.write("\n")
    else:
        with open(args.output, "w", encoding="utf-8") as out:
            json.dump(document, out, sort_keys=True, indent=2)
            out.write("\n")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
