"""The output folder as a dataset that grows with the runs: parts of the tables, each holding the
rows of some files in file-path order, and a manifest that names the live parts and, for each
input file, the part holding its rows and the file as it was when read.

A run reads only the files that are new or changed (size, mtime_ns, or the reading: --kind and
the package's version) and commits every COMMIT_SECONDS and once at the end, each time the rows of
every file read so far:
1. the parts staged since the last commit (`.part-*.staged`) are renamed into place; a part that
   holds rows of files read again (or pruned) is rewritten without them; tiny parts, or small
   ones once there are many, are merged into one (see TINY_PART; compaction.py);
2. the manifest is replaced (written, synced, renamed over the old one): the commit point;
3. the parts it no longer names are removed.
Whatever moment a run dies, the manifest names the old parts or the new ones; the next run (or any
run's end) removes what the manifest does not name, and reads only what is left to read. A lock
file keeps a second writer out.
"""

from __future__ import annotations

import fcntl
import os
import time
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from pathlib import Path
from typing import TYPE_CHECKING, Any, NamedTuple, cast

from skav_batch import _columns
from skav_batch.parts import SetupError, local_files, part_name, read_part, staged_name, sync, write_parts
from skav_batch.read import label
from skav_batch.tasks import Summary
from skav_batch.version import package_version

if TYPE_CHECKING:
    import pyarrow as pa

    from skav_batch.read import Kind
    from skav_batch.tables import Tables

STATE = "_skav"  # beside the table folders; readers of a table folder never look here
MANIFEST = "manifest.parquet"
EMPTY = "empty"  # the part of every table while the dataset holds no file
COMMIT_SECONDS = 5.0
# Each reader pays for every part file, and a part's footers take about 12 kB: a commit merges
# tiny parts, smallest first, as long as the next is at most twice those before it together (so
# a part is rewritten once what joins it has grown to its size, not at every run); and all small
# parts once there are more than MOST_SMALL_PARTS. Sizes are of a part's files in all tables;
# larger parts are never rewritten for this.
TINY_PART = 64 << 10
SMALL_PART = 64 << 20
MOST_SMALL_PARTS = 8


class Manifest(NamedTuple):
    """The committed state: a row for each file (file, part, bytes, mtime_ns, reading), held as
    Arrow columns (a million files take a few tens of MB), and the live part names, the same in
    every table."""

    table: pa.Table | None  # none before the first commit
    parts: list[str]
    schemas: dict[str, int] = {}  # the schema version of each table, as its parts hold it


class Plan(NamedTuple):
    """The files found, sorted by what a run does with them (paths as found; gone: labels)."""

    new: list[str]
    changed: list[str]
    unchanged: list[str]
    gone: list[str]
    stats: dict[str, tuple[int | None, int | None]]  # of the files to read, as planned


class Report(NamedTuple):
    plan: Plan
    pruned: bool
    summary: Summary  # of the files read


# Reads the files (in file-path order) into parts named from the prefix, staged and handed to the
# committer, which commits them when it is due and at the end; the files read and failed.
Execute = Callable[[list[str], str, "Committer"], Summary]


def update(found: list[str], kind: Kind, out: Path, execute: Execute, *, full: bool = False, prune: bool = False,
           dry_run: bool = False) -> Report:
    """Brings the dataset under `out` up to date with the files found; raises SetupError before
    anything is changed. With dry_run, only says what a run would do."""
    if dry_run:
        return Report(plan(found, load(out), kind, full), prune, Summary(0, 0))
    with locked(out):
        manifest = load(out)
        tidy(out, manifest)
        planned = plan(found, manifest, kind, full)
        run = os.urandom(4).hex()
        committer = Committer(out, manifest, kind, run, planned.stats, set(planned.gone) if prune else set(),
                              replacing=bool(planned.changed))
        try:
            summary = Summary(0, 0)
            if planned.new or planned.changed:
                # In file-path order: each part then holds its rows in that order.
                summary = execute(sorted(planned.new + planned.changed, key=label), run, committer)
            committer.commit()
        except BaseException:
            # Stopped, maybe within a commit: the manifest on disk says what is committed.
            tidy(out, load(out))
            raise
        tidy(out, committer.manifest)
    return Report(planned, prune, summary)


def on_disk(path: str) -> tuple[int | None, int | None]:
    try:
        status = os.stat(path)
    except (OSError, ValueError):
        return None, None  # read all the same: its failure row says why
    return status.st_size, status.st_mtime_ns


def schema_versions() -> dict[str, int]:
    from skav_batch.tables import SCHEMA_VERSIONS

    return SCHEMA_VERSIONS


def reading_of(kind: Kind) -> str:
    return f"{kind} {package_version()}"


def manifest_schema() -> pa.Schema:
    import pyarrow as pa

    fields: list[pa.Field[Any]] = [pa.field("file", pa.string()), pa.field("part", pa.string()),
                                   pa.field("bytes", pa.int64()), pa.field("mtime_ns", pa.int64()),
                                   pa.field("reading", pa.string())]
    return pa.schema(fields)


def load(out: Path) -> Manifest:
    """The committed state; empty for a folder without one (parts there are then an earlier
    format's, and are replaced)."""
    path = out / STATE / MANIFEST
    if not path.exists():
        return Manifest(None, [])
    import pyarrow.parquet as pq

    table = pq.ParquetFile(path).read()  # not read_table: its dataset layer takes a tenth of a second to load
    import json

    metadata = table.schema.metadata or {}
    # A manifest of 0.4 and before names no schema versions: its parts are of the first ones.
    return Manifest(table.replace_schema_metadata(None), json.loads(metadata[b"skav_rs.parts"]),
                    json.loads(metadata.get(b"skav_rs.schemas", b"{}")))


def save(out: Path, table: pa.Table, parts: list[str]) -> None:
    """Replaces the manifest atomically and durably: the commit point."""
    import pyarrow.parquet as pq

    import json

    table = table.replace_schema_metadata({b"skav_rs.parts": json.dumps(parts).encode(),
                                           b"skav_rs.schemas": json.dumps(schema_versions()).encode()})
    folder = out / STATE
    temporary = folder / f".{MANIFEST}.{os.getpid()}.tmp"
    pq.write_table(table, str(temporary), filesystem=local_files(), compression="zstd")
    sync(temporary)
    os.replace(temporary, folder / MANIFEST)
    sync(folder)


def plan(found: list[str], manifest: Manifest, kind: Kind, full: bool) -> Plan:
    """Sorts the files found by what a run does with them: the manifest's columns are compared
    with the files on disk in Arrow, so that a large dataset costs no Python object per file."""
    on_disks = [on_disk(path) for path in found]
    stats = dict(zip(found, on_disks))
    if manifest.table is None or not len(manifest.table):  # a first run: pyarrow need not load before the threads start
        return Plan(list(found), [], [], [], stats)
    import pyarrow as pa

    from skav_batch.compute import call, index_in, is_in, take, where

    table = manifest.table
    labels = pa.array([label(path) for path in found], pa.string())
    rows = index_in(labels, table["file"])

    def equal(column: str, values: pa.Array[Any] | pa.Scalar[Any]) -> Any:
        return call("equal", take(table[column], rows), values)

    same = call("and_kleene", equal("reading", pa.scalar(reading_of(kind))), call(
        "and_kleene", equal("bytes", pa.array([stat[0] for stat in on_disks], pa.int64())),
        equal("mtime_ns", pa.array([stat[1] for stat in on_disks], pa.int64()))))
    known, unchanged = call("is_valid", rows).to_pylist(), call("coalesce", same, pa.scalar(False)).to_pylist()
    sorted_: dict[str, list[str]] = {"new": [], "changed": [], "unchanged": []}
    for path, is_known, is_same in zip(found, known, unchanged):
        sorted_["new" if not is_known else "unchanged" if is_same and not full else "changed"].append(path)
    gone = where(table["file"], call("invert", is_in(table["file"], labels)))
    return Plan(sorted_["new"], sorted_["changed"], sorted_["unchanged"], cast(list[str], gone.to_pylist()),
                {path: stats[path] for path in sorted_["new"] + sorted_["changed"]})


@contextmanager
def locked(out: Path) -> Iterator[None]:
    """Holds the folder's lock for the run; a second writer gets a SetupError and changes nothing.
    The lock goes with the process, however it ends."""
    try:
        (out / STATE).mkdir(parents=True, exist_ok=True)
        descriptor = os.open(out / STATE / "lock", os.O_RDWR | os.O_CREAT, 0o644)
    except OSError as error:
        raise SetupError(f"cannot write tables to {out}: {error.strerror or error}") from error
    try:
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise SetupError(f"{out} is being written by another skav-rs tables; try again when it is done") from None
        yield
    finally:
        os.close(descriptor)


def tidy(out: Path, manifest: Manifest) -> None:
    """Removes what the manifest does not name: parts of runs that died, staged and temporary files."""
    live = {part_name(part) for part in manifest.parts}
    for name in _columns.TABLES:
        folder = out / name
        folder.mkdir(parents=True, exist_ok=True)
        for path in folder.iterdir():
            if (path.name.startswith("part-") and path.name.endswith(".parquet") and path.name not in live) or \
                    path.name.startswith(".part-"):
                path.unlink(missing_ok=True)
    for path in (out / STATE).glob(f".{MANIFEST}.*.tmp"):
        path.unlink(missing_ok=True)


class Committer:
    """Takes the parts staged by a run and commits them when asked, every COMMIT_SECONDS and at the end."""

    def __init__(self, out: Path, manifest: Manifest, kind: Kind, run: str, stats: dict[str, tuple[int | None, int | None]],
                 removed: set[str], replacing: bool) -> None:
        self.out, self.manifest, self.run, self.kind = out, manifest, run, kind
        self.stats = stats  # of the files to read, by path, when they were planned
        self.removed = set(removed)  # labels whose rows go at the next commit (pruned files)
        # Whether files committed before the run are read again: only they and pruned files take
        # rows out of the committed ones.
        self.replacing = replacing
        self.staged: list[tuple[str, list[str]]] = []  # parts, with the paths whose rows they hold
        self.made = 0  # parts made by commits: rewritten or merged
        self.last = time.monotonic()
        # Parts in an earlier schema of some table: the first commit rewrites them, so that the
        # tables' folders hold one schema each.
        self.outdated = set(manifest.parts) if manifest.parts and manifest.schemas != schema_versions() else set()

    def add(self, part: str, paths: list[str]) -> None:
        """A staged part holding the rows of `paths`: committed with the next commit."""
        self.staged.append((part, paths))

    def due(self) -> bool:
        """Whether COMMIT_SECONDS have passed since the last commit (or the run's start)."""
        return time.monotonic() - self.last >= COMMIT_SECONDS

    def commit(self) -> None:
        import pyarrow as pa

        if not self.staged and not self.removed and not self.outdated and self.manifest.parts:
            return  # nothing to change
        table = self.manifest.table if self.manifest.table is not None else manifest_schema().empty_table()
        read = [(label(path), part, *self.stats[path]) for part, paths in self.staged for path in paths]
        if self.replacing or self.removed or self.outdated:
            kept, touched, rewritten = self.without(table, self.removed | {row[0] for row in read})
        else:
            kept, touched, rewritten = table, [], []
        columns: list[Sequence[object]] = [list(column) for column in zip(*read)] if read else [[], [], [], []]
        added = pa.table([pa.array(columns[0], pa.string()), pa.array(columns[1], pa.string()),
                          pa.array(columns[2], pa.int64()), pa.array(columns[3], pa.int64()),
                          pa.array([reading_of(self.kind)] * len(read), pa.string())], schema=manifest_schema())
        parts = [part for part in self.manifest.parts if part not in touched and part != EMPTY]
        parts += [*rewritten, *(part for part, _ in self.staged)]
        current = set(self.manifest.parts) - self.outdated  # committed parts that stay as they are
        if not parts:  # every table has a part, also without rows
            parts = [EMPTY]
            if EMPTY not in current:
                from skav_batch.tables import empty_tables

                write_parts(str(self.out), EMPTY, empty_tables())
        for part in parts:
            if part not in current:
                self.publish(part)
        published = set(self.manifest.parts) | set(parts)
        parts, committed = self.compacted(parts, pa.concat_tables([kept, added]))
        for name in _columns.TABLES:
            sync(self.out / name)
        save(self.out, committed, parts)
        self.manifest = Manifest(committed, parts)
        for part in published - set(parts):
            for name in _columns.TABLES:
                (self.out / name / part_name(part)).unlink(missing_ok=True)
        self.staged, self.removed, self.outdated, self.last = [], set(), set(), time.monotonic()

    def compacted(self, parts: list[str], table: pa.Table) -> tuple[list[str], pa.Table]:
        """The parts to merge (see TINY_PART) merged into one, published, and the files they held
        moved to it."""
        merging = to_merge({part: part_size(self.out, part) for part in parts})
        if not merging:
            return parts, table
        import pyarrow as pa

        from skav_batch.compaction import merge
        from skav_batch.compute import if_else, is_in

        merged = self.new_part_name()
        merge(self.out, merging, merged)
        self.publish(merged)
        moved = is_in(table["part"], pa.array(merging, pa.string()))
        table = table.set_column(1, "part", if_else(moved, pa.scalar(merged), table["part"]))
        return [part for part in parts if part not in merging] + [merged], table

    def new_part_name(self) -> str:
        self.made += 1
        return f"{self.run}-m{self.made:06d}"

    def without(self, table: pa.Table, files: set[str]) -> tuple[pa.Table, list[str], list[str]]:
        """The committed rows but those of `files`; the parts that held theirs, and the copies of
        them rewritten without them (a part left with no file is not rewritten: it goes)."""
        import pyarrow as pa

        from skav_batch.compute import call, if_else, index_in, is_in, take, unique, where

        gone = pa.array(sorted(files), pa.string())
        leaving = is_in(table["file"], gone)
        touched = sorted(set(unique(where(table["part"], leaving))) | self.outdated)
        kept = where(table, call("invert", leaving))
        remaining = set(unique(kept["part"]))
        replacements = [self.rewrite(part, gone) if part in remaining else None for part in touched]
        moved = index_in(kept["part"], pa.array(touched, pa.string()))
        kept = kept.set_column(1, "part", if_else(call("is_valid", moved), take(pa.array(replacements, pa.string()), moved),
                                                  kept["part"]))
        return kept, touched, [part for part in replacements if part is not None]

    def rewrite(self, part: str, drop: pa.Array[Any]) -> str:
        """A copy of a part without the rows of the files in `drop`, staged under a new name."""
        import pyarrow.parquet as pq

        from skav_batch.compute import call, is_in, where

        name = self.new_part_name()
        tables = {table: read_part(self.out, table, part) for table in _columns.TABLES}
        write_parts(str(self.out), name, {table: where(rows, call("invert", is_in(rows["file"], drop)))
                                          for table, rows in tables.items()})
        return name

    def publish(self, part: str) -> None:
        """Staged parts take their place (they were synced when written: the manifest never names
        a part that a crash could leave empty); the folders are synced before the commit."""
        for name in _columns.TABLES:
            os.replace(self.out / name / staged_name(part), self.out / name / part_name(part))


def to_merge(sizes: dict[str, int]) -> list[str]:
    """The parts that a commit merges, by their sizes: none, or two or more."""
    small = [part for part, size in sizes.items() if size < SMALL_PART]
    if len(small) > MOST_SMALL_PARTS:
        return small
    merging: list[str] = []
    for part in sorted((part for part in small if sizes[part] < TINY_PART), key=sizes.__getitem__):
        if merging and sizes[part] > 2 * sum(sizes[taken] for taken in merging):
            break
        merging.append(part)
    return merging if len(merging) > 1 else []


def part_size(out: Path, part: str) -> int:
    """The bytes of a part, in all tables."""
    return sum((out / name / part_name(part)).stat().st_size for name in _columns.TABLES)


def is_dataset(path: str | os.PathLike[str]) -> bool:
    return (Path(path) / STATE / MANIFEST).is_file()


def read(out: Path) -> Tables:
    """The committed tables of the dataset: the parts its manifest names, rows in file-path order."""
    import pyarrow as pa

    from skav_batch.compute import sorted_by_file
    from skav_batch.tables import SCHEMAS

    parts = load(out).parts
    return {name: sorted_by_file(pa.concat_tables([read_part(out, name, part) for part in parts]))
            if parts else SCHEMAS[name].empty_table() for name in _columns.TABLES}
