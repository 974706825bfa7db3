"""The `skav-rs` command: argument parsing and exit codes.

Exit status: 0 when every file was read, 1 when any failed, 2 for usage errors.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from pathlib import Path

from skav_batch.read import KINDS, Kind, find_files, read_file


def json_command(files: list[str], kind: Kind) -> int:
    document: dict[str, dict[str, object]] = {}
    failed = False
    for path in files:
        results = read_file(path, kind)
        if results.read:
            document[path] = {parser: getattr(results, parser) for parser in results.read}
        for entry in results.failures:
            print(f"{path}: {entry.kind}: {entry.error}: {entry.message}", file=sys.stderr)
            if entry.where is not None:
                print(entry.where, file=sys.stderr)
            failed = True
    json.dump(document, sys.stdout, sort_keys=True, indent=2)
    sys.stdout.write("\n")
    return 1 if failed else 0


def tables_command(args: argparse.Namespace, files: list[str]) -> int:
    try:
        from skav_batch import engine  # Dask, pyarrow and tqdm only here: `json` works without the batch extra
    except ImportError as error:
        print(f"skav-rs tables: error: {error}; install the batch extra: pip install 'skav_rs[batch]'", file=sys.stderr)
        return 2
    try:
        summary = engine.run(files, args.kind, args.out, workers=args.workers, scheduler=args.scheduler,
                             progress=not args.no_progress)
    except engine.SetupError as error:
        print(f"skav-rs tables: error: {error}", file=sys.stderr)
        return 2
    except Exception as error:  # the run stopped (e.g. workers without skav_batch): files were left unread
        print(f"skav-rs tables: stopped: {type(error).__name__}: {error}", file=sys.stderr)
        return 1
    print(f"{summary.files} files: {summary.files - summary.failed} read, {summary.failed} failed; "
          f"tables in {args.out}", file=sys.stderr)
    return 1 if summary.failed else 0


def positive(text: str) -> int:
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"not a positive whole number: {text!r}")
    return int(text)


def parser() -> argparse.ArgumentParser:
    main = argparse.ArgumentParser(prog="skav-rs", description="Read quantum-chemistry output files.")
    commands = main.add_subparsers(dest="command", required=True)
    as_json = commands.add_parser("json", help="results as JSON with sorted keys on standard output")
    as_json.add_argument("files", nargs="+", metavar="FILE")
    tables = commands.add_parser("tables", help="Parquet tables of many files, read on Dask")
    tables.add_argument("paths", nargs="+", metavar="PATH", help="files, and folders to search")
    tables.add_argument("--out", type=Path, required=True, metavar="DIR", help="folder for the five tables")
    tables.add_argument("--pattern", default="*.out", metavar="GLOB", help="file names in folders (default: *.out)")
    engine = tables.add_mutually_exclusive_group()
    engine.add_argument("--workers", type=positive, metavar="N", help="local worker processes (default: one per core)")
    engine.add_argument("--scheduler", metavar="ADDRESS", help="run on this Dask cluster, e.g. tcp://host:8786")
    tables.add_argument("--no-progress", action="store_true", help="draw no progress bar")
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
    if args.command == "json":
        return json_command(paths, args.kind)
    return tables_command(args, find_files(paths, args.pattern))


if __name__ == "__main__":
    sys.exit(main())
