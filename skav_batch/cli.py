"""The `skav-rs` command: argument parsing and exit codes.

Exit status: 0 when every file was read, 1 when any failed, 2 for usage errors, 130 when
stopped by Ctrl-C, 141 when the reader of standard output went away (e.g. `| head`).
"""

from __future__ import annotations

import argparse
import importlib.util
import os
import sys
from pathlib import Path

from skav_batch.read import KINDS, Kind, find_files
from skav_batch.version import package_version

INTERRUPTED, BROKEN_PIPE = 130, 141


def json_command(files: list[str], kind: Kind) -> int:
    """Writes each file's entry as soon as it is read; the entries come in the order of their keys,
    so the whole is what json.dump(..., sort_keys=True, indent=2) writes."""
    import json  # not loaded by the tables command

    from skav_batch.results import results_of

    failed, entries = False, 0
    sys.stdout.write("{")
    for path in sorted(set(files)):
        results = results_of(path, kind)
        if results.returned:
            text = json.dumps(results.returned, sort_keys=True, indent=2)
            sys.stdout.write(("," if entries else "") + f"\n  {json.dumps(path)}: " + text.replace("\n", "\n  "))
            sys.stdout.flush()
            entries += 1
        for entry in results.failures:
            print(f"{path}: {entry.parser}: {entry.error}: {entry.message}", file=sys.stderr)
            if entry.where is not None:
                print(entry.where, file=sys.stderr)
            failed = True
    sys.stdout.write("\n}\n" if entries else "}\n")
    sys.stdout.flush()
    return 1 if failed else 0


def tables_command(args: argparse.Namespace, files: list[str]) -> int:
    # pyarrow (and Dask) only here: `json` works without the batch extra. Looked for, not loaded:
    # the threads load pyarrow while they read.
    needed = ["pyarrow"] + (["distributed"] if args.scheduler is not None else [])
    if missing := [name for name in needed if importlib.util.find_spec(name) is None]:
        print(f"skav-rs tables: error: no module named {missing[0]!r}; install the batch extra: "
              "pip install 'skav_rs[batch]'", file=sys.stderr)
        return 2
    from skav_batch import local, parts
    if args.scheduler is not None:
        NotNeeded.allow("cloudpickle")  # Dask sends its tasks with it
        from skav_batch import engine
    options = {"workers": args.workers, "progress": not args.no_progress, "full": args.full, "prune": args.prune,
               "dry_run": args.dry_run}
    try:
        if args.scheduler is None:
            report = local.run(files, args.kind, args.out, **options)
        else:
            report = engine.run(files, args.kind, args.out, scheduler=args.scheduler, **options)
    except parts.SetupError as error:
        print(f"skav-rs tables: error: {error}", file=sys.stderr)
        return 2
    except Exception as error:  # the run stopped (e.g. a full disk, workers without skav_batch): files were left unread
        print(f"skav-rs tables: stopped: {type(error).__name__}: {error}", file=sys.stderr)
        return 1
    plan, summary = report.plan, report.summary
    counts = (f"{len(plan.new)} new, {len(plan.changed)} changed, {len(plan.unchanged)} unchanged, "
              f"{len(plan.gone)} gone{' (pruned)' if report.pruned and not args.dry_run else ''}")
    if args.dry_run:
        print(f"{len(files)} files: {counts}; nothing read or written (--dry-run)", file=sys.stderr)
        return 0
    print(f"{len(files)} files: {counts}; {summary.files} read, {summary.failed} failed; tables in {args.out}",
          file=sys.stderr)
    return 1 if summary.failed else 0


def positive(text: str) -> int:
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"not a positive whole number: {text!r}")
    return int(text)


def parser() -> argparse.ArgumentParser:
    main = argparse.ArgumentParser(prog="skav-rs", description="Read quantum-chemistry output files.")
    main.add_argument("--version", action="version", version=f"%(prog)s {package_version()}")
    commands = main.add_subparsers(dest="command", required=True)
    as_json = commands.add_parser("json", help="results as JSON with sorted keys on standard output")
    as_json.add_argument("files", nargs="+", metavar="FILE")
    tables = commands.add_parser("tables", help="Parquet tables of many files")
    tables.add_argument("paths", nargs="+", metavar="PATH", help="files, and folders to search")
    tables.add_argument("--out", type=Path, required=True, metavar="DIR",
                        help="the dataset's folder: created, or brought up to date")
    tables.add_argument("--pattern", default="*.out", metavar="GLOB", help="file names in folders (default: *.out)")
    tables.add_argument("--workers", type=positive, metavar="N",
                        help="files read at once: threads of this process, or with --scheduler local, worker "
                             "processes (default: one per core)")
    tables.add_argument("--scheduler", metavar="ADDRESS",
                        help="read on this Dask cluster, e.g. tcp://host:8786; 'local' starts a Dask cluster of "
                             "worker processes on this machine, so that a file that crashes its reader ends one "
                             "worker, not the command (default: no Dask, threads of this process)")
    tables.add_argument("--no-progress", action="store_true", help="draw no progress bar")
    tables.add_argument("--full", action="store_true",
                        help="read every file again (default: only files that are new or changed since they were read)")
    tables.add_argument("--prune", action="store_true",
                        help="remove the rows of files that are no longer found under the given paths")
    tables.add_argument("--dry-run", action="store_true",
                        help="print how many files are new, changed, unchanged and gone; read and write nothing")
    for command in (as_json, tables):
        command.add_argument("--kind", choices=KINDS, default="auto", help="parser to use (default: by the headings)")
    return main


def main(argv: list[str] | None = None) -> int:
    arguments = parser()
    args = arguments.parse_args(argv)
    paths = args.files if args.command == "json" else args.paths
    for path in paths:
        if not os.path.lexists(path):
            arguments.error(f"no such file or folder: {path}")
    if args.command == "tables" and args.workers and args.scheduler not in (None, "local"):
        arguments.error("--workers sets the local threads or the workers of --scheduler local, not those of a cluster")
    try:
        if args.command == "json":
            return json_command(paths, args.kind)
        return tables_command(args, find_files(paths, args.pattern))
    except KeyboardInterrupt:
        print("skav-rs: interrupted", file=sys.stderr)
        return INTERRUPTED
    except BrokenPipeError:
        # Python would report the broken pipe again when it flushes standard output at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return BROKEN_PIPE


def command(argv: list[str] | None = None) -> int:
    """The installed command: main in a process of its own. It builds its tables without pandas, numpy
    and cloudpickle, which pyarrow imports where they are installed: numpy with pyarrow itself (a tenth
    of a second and its BLAS threads), cloudpickle too (24 ms; it pickles nothing that a table needs),
    pandas at the first array (a third of a second and 45 MB more for every run)."""
    sys.meta_path.insert(0, NotNeeded())
    return main(argv)


class NotNeeded:
    """Has the modules that the command does not need found missing, as where they are not installed (a
    finder of sys.meta_path; not derived from importlib.abc's, whose import brings tempfile and random:
    13 ms)."""

    def __init__(self) -> None:
        self.modules = {"pandas", "numpy", "cloudpickle"}

    @staticmethod
    def allow(name: str) -> None:
        """Lets `name` be found again, by every such finder."""
        for finder in sys.meta_path:
            if isinstance(finder, NotNeeded):
                finder.modules.discard(name)

    def find_spec(self, name: str, path: object, target: object = None) -> None:
        if name.partition(".")[0] in self.modules:
            raise ModuleNotFoundError(f"No module named {name!r} (not needed by this command)", name=name)


if __name__ == "__main__":
    sys.exit(command())
