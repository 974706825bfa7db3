"""The dataset that `skav-rs tables` keeps: incremental runs equal a fresh full run, rows in the same
order, however many runs and workers built it; small parts are merged; a killed run loses at most its
last commit interval and doubles nothing, also during a merge; a second writer is refused, --dry-run
changes nothing."""

import fcntl
import os
import random
import signal
import subprocess
import sys
import time
from collections import Counter
from pathlib import Path

import pytest

from conftest import EXTRAS, NAMES, wait_until

pq = pytest.importorskip("pyarrow.parquet", reason="the batch extra is not installed (pip install '.[batch]')")
import pyarrow as pa  # noqa: E402
from skav_batch import read_tables  # noqa: E402
from skav_batch.tables import SCHEMAS  # noqa: E402
from skav_batch.cli import main  # noqa: E402
from skav_batch import dataset, parts  # noqa: E402
from skav_batch.dataset import MOST_SMALL_PARTS  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
TDDFT = (ROOT / "samples" / "formaldehyde_tddft.out").read_text()
CASSCF = (ROOT / "samples" / "water_casscf.out").read_text()
PATHS = [os.path.abspath(path) for path in os.environ.get("PYTHONPATH", "").split(os.pathsep) if path]
ENV = {**os.environ, "PYTHONPATH": os.pathsep.join([str(ROOT), *PATHS])}
# The command with commits every few hundredths of a second, so that a kill finds some done.
COMMAND = ("import sys, skav_batch.dataset as dataset; dataset.COMMIT_SECONDS = 0.03; "
           "from skav_batch.cli import command; sys.exit(command(sys.argv[1:]))")


def tables(folder, out, *options):
    return subprocess.run([sys.executable, "-c", COMMAND, "tables", str(folder), "--out", str(out), "--no-progress",
                           *options], capture_output=True, text=True, env=ENV, timeout=300)


def rows(out):
    """Each table's rows, in the order read_tables gives them."""
    return {name: [tuple(row.values()) for row in table.to_pylist()] for name, table in read_tables([out]).items()}


def in_process(folder, out, *options):
    """A run in this process: the same command without a process's start."""
    assert main(["tables", str(folder), "--out", str(out), "--no-progress", *options]) in (0, 1)


def parts_of(out):
    return {name: sorted((out / name).glob("part-*.parquet")) for name in [*NAMES, *EXTRAS, "files"]}


def assert_parts_in_file_order(out):
    for found in parts_of(out).values():
        for part in found:
            files = pq.read_table(part, columns=["file"])["file"].to_pylist()
            assert files == sorted(files), part


def fresh(folder, tmp_path):
    out = tmp_path / f"fresh-{time.monotonic_ns()}"
    assert tables(folder, out).returncode in (0, 1)
    return rows(out)


def write(folder, name, text):
    (folder / name).write_text(text)


def remove(folder, name):
    (folder / name).unlink()


def touch(folder, name):
    os.utime(folder / name, ns=(time.time_ns(), time.time_ns() + 10**9))


# Each case: what is done to the files after a first run, the options of the second run, the
# counts its closing line gives (new, changed, unchanged, gone; read), and whether the rows of a
# file no longer found stay.
@pytest.mark.parametrize("change, options, counts, kept", [
    (lambda f: write(f, "d.out", TDDFT + "\n"), [], "1 new, 0 changed, 3 unchanged, 0 gone; 1 read", False),
    (lambda f: write(f, "a.out", TDDFT.replace("27517.30", "27517.31")), [], "0 new, 1 changed, 2 unchanged, 0 gone; 1 read", False),
    (lambda f: touch(f, "b.out"), [], "0 new, 1 changed, 2 unchanged, 0 gone; 1 read", False),
    (lambda f: None, [], "0 new, 0 changed, 3 unchanged, 0 gone; 0 read", False),
    (lambda f: None, ["--full"], "0 new, 3 changed, 0 unchanged, 0 gone; 3 read", False),
    (lambda f: remove(f, "c.out"), ["--prune"], "0 new, 0 changed, 2 unchanged, 1 gone (pruned); 0 read", False),
    (lambda f: remove(f, "c.out"), [], "0 new, 0 changed, 2 unchanged, 1 gone; 0 read", True),
], ids=["add", "change", "touch", "nothing", "full", "remove-prune", "remove-keep"])
def test_incremental_runs_equal_a_fresh_run(tmp_path, change, options, counts, kept):
    folder, out = tmp_path / "runs", tmp_path / "out"
    folder.mkdir()
    for name, text in {"a.out": TDDFT, "b.out": CASSCF, "c.out": TDDFT + CASSCF}.items():
        write(folder, name, text)
    assert tables(folder, out).returncode == 0
    before = rows(out)
    change(folder)
    run = tables(folder, out, *options)
    assert run.returncode == 0 and counts in run.stderr, run.stderr
    expected = fresh(folder, tmp_path)
    if kept:  # beside the others, in file-path order
        expected = {name: sorted(rows + [row for row in before[name] if "c.out" in row[0]], key=lambda row: row[0])
                    for name, rows in expected.items()}
    assert rows(out) == expected
    assert [path.name for path in out.rglob("*") if path.name.startswith(".")] == []
    assert all(pq.read_metadata(part).num_rows for part in (out / "files").glob("part-*.parquet"))  # none emptied


@pytest.mark.parametrize("seed", range(4))
def test_a_killed_run_is_finished_by_the_next(tmp_path, seed):
    folder, out = tmp_path / "runs", tmp_path / "out"
    folder.mkdir()
    pick = random.Random(seed)
    for i in range(240):
        write(folder, f"{i:03d}.out", [TDDFT, CASSCF, TDDFT + CASSCF][i % 3] + "\n" * (i % 7))
    if seed % 2:  # a dataset already there, with files that change: their parts are rewritten
        assert tables(folder, out).returncode == 0
        for i in pick.sample(range(240), 60):
            write(folder, f"{i:03d}.out", CASSCF + TDDFT + "\n" * i)
    command = subprocess.Popen([sys.executable, "-c", COMMAND, "tables", str(folder), "--out", str(out), "--no-progress"],
                               env=ENV, stderr=subprocess.DEVNULL)
    time.sleep(pick.uniform(0.3, 2.0))
    command.send_signal(signal.SIGKILL)
    command.wait()
    committed = rows(out)  # readable, each file's rows whole and once
    assert set(Counter(row[0] for row in committed["soc_states"]).values()) <= {9}
    assert tables(folder, out).returncode == 0
    assert rows(out) == fresh(folder, tmp_path)
    assert {name: pq.read_table(out / name).num_rows for name in NAMES} == {name: len(rows(out)[name]) for name in NAMES}


def test_a_second_writer_is_refused_and_changes_nothing(tmp_path):
    folder, out = tmp_path / "runs", tmp_path / "out"
    folder.mkdir()
    write(folder, "a.out", TDDFT)
    assert tables(folder, out).returncode == 0
    state = {path: path.read_bytes() for path in out.rglob("*") if path.is_file()}
    write(folder, "b.out", CASSCF)
    with open(out / "_skav" / "lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        run = tables(folder, out)
    assert run.returncode == 2 and "being written by another skav-rs tables" in run.stderr, run.stderr
    assert {path: path.read_bytes() for path in out.rglob("*") if path.is_file()} == state


def test_dry_run_counts_and_writes_nothing(tmp_path):
    folder, out = tmp_path / "runs", tmp_path / "out"
    folder.mkdir()
    write(folder, "a.out", TDDFT)
    run = tables(folder, out, "--dry-run")
    assert (run.returncode, run.stderr) == (0, "1 files: 1 new, 0 changed, 0 unchanged, 0 gone; nothing read or written (--dry-run)\n")
    assert not out.exists()
    version = subprocess.run([sys.executable, "-m", "skav_batch", "--version"], capture_output=True, text=True, env=ENV)
    assert version.returncode == 0 and version.stdout.startswith("skav-rs ")


def test_a_full_disk_stops_the_run_and_keeps_the_dataset(tmp_path):
    disk = tmp_path / "disk"
    disk.mkdir()
    # Room for the first commit's part and manifest (a page for each file), not for much more.
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=48k", "tmpfs", str(disk)], capture_output=True).returncode:
        pytest.skip("no tmpfs can be mounted here (needs root)")
    try:
        folder, out = tmp_path / "runs", disk / "out"
        folder.mkdir()
        for i in range(400):
            write(folder, f"{i:03d}.out", TDDFT + CASSCF + "\n" * i)
        run = tables(folder, out)
        assert run.returncode == 1 and "No space left on device" in run.stderr, run.stderr
        committed = rows(out)  # readable, whole files only
        assert all(count == 9 for count in Counter(row[0] for row in committed["soc_states"]).values())
        subprocess.run(["mount", "-o", "remount,size=64m", str(disk)], check=True)
        assert tables(folder, out).returncode == 0
        assert rows(out) == fresh(folder, tmp_path)
    finally:
        subprocess.run(["umount", str(disk)], check=True)


# Every part's writes and closes fail as on a full disk, in the reading threads: the run ends with the error.
FAILING_WRITES = """import errno, sys, skav_batch.parts as parts
class Full:
    def __getattr__(self, name):
        raise OSError(errno.ENOSPC, "No space left on device")
parts.open_table_file = lambda path, name: open(path, "wb") and Full()
from skav_batch.cli import command; sys.exit(command(sys.argv[1:]))"""


@pytest.mark.parametrize("workers", ["1", "2"])
def test_a_part_that_cannot_be_written_stops_the_run(tmp_path, workers):
    folder = tmp_path / "runs"
    folder.mkdir()
    for i in range(20):
        write(folder, f"{i:02d}.out", TDDFT + "\n" * i)
    run = subprocess.run([sys.executable, "-c", FAILING_WRITES, "tables", str(folder), "--out", str(tmp_path / "out"),
                          "--no-progress", "--workers", workers], capture_output=True, text=True, env=ENV, timeout=60)
    assert run.returncode == 1 and run.stderr.endswith("No space left on device\n"), run.stderr


def sample(i):
    return [TDDFT, CASSCF, TDDFT + CASSCF][i % 3] + "\n" * i


def test_the_same_files_give_the_same_rows_in_the_same_order(tmp_path):
    folder = tmp_path / "runs"
    folder.mkdir()
    names = [f"{(i * 37) % 100:02d}-{i}.out" for i in range(100)]  # found in another order than they were made
    outs = [tmp_path / way for way in ("one", "four", "many")]
    for i, name in enumerate(names):
        write(folder, name, sample(i))
        if i % 2:
            in_process(folder, outs[2])  # fifty runs, each adding two files
    in_process(folder, outs[0], "--workers", "1")
    in_process(folder, outs[1], "--workers", "4")
    read = [rows(out) for out in outs]
    assert read[0] == read[1] == read[2] == rows(folder)  # the last: read in memory, no dataset
    for out in outs:
        assert_parts_in_file_order(out)


# Parts of one sample (about 12 kB) are tiny: merged smallest first while sizes double, they stay a
# few; with no part tiny, small ones are merged once there are more than MOST_SMALL_PARTS. Row
# groups of a few rows: a merge takes runs of files across their edges.
@pytest.mark.parametrize("tiny_part, row_group, most_parts", [
    (dataset.TINY_PART, parts.ROW_GROUP, 4), (0, parts.ROW_GROUP, MOST_SMALL_PARTS), (dataset.TINY_PART, 5, 4),
], ids=["tiny", "small", "row-groups"])
def test_small_parts_are_merged_as_they_accumulate(tmp_path, monkeypatch, tiny_part, row_group, most_parts):
    monkeypatch.setattr(dataset, "TINY_PART", tiny_part)
    monkeypatch.setattr(parts, "ROW_GROUP", row_group)
    folder, out = tmp_path / "runs", tmp_path / "out"
    folder.mkdir()
    counts = set()
    for i in range(40):
        write(folder, f"{(i * 37) % 100:02d}-{i}.out", sample(i))
        in_process(folder, out)
        counts |= {len(found) for found in parts_of(out).values()}
    assert max(counts) <= most_parts, counts
    assert rows(out) == fresh(folder, tmp_path)
    assert_parts_in_file_order(out)
    duckdb = pytest.importorskip("duckdb")
    assert {name: duckdb.sql(f"select count(*) from read_parquet('{out}/{name}/*.parquet')").fetchall()[0][0]
            for name in NAMES} == {name: pq.read_table(out / name).num_rows for name in NAMES}


# Merging the small parts as a commit, slowed down by a wait before each sync; the merge leaves a mark.
MERGING = COMMAND.replace("from skav_batch.cli", """import time, skav_batch.parts as parts, skav_batch.compaction as compaction
sync, merge = parts.sync, compaction.merge
def slow(path):
    time.sleep(0.02)
    sync(path)
def marked(out, *args):
    (out / "_skav" / "merging").touch()
    merge(out, *args)
parts.sync, dataset.sync, compaction.merge = slow, slow, marked
from skav_batch.cli""")


@pytest.mark.parametrize("seed", range(4))
def test_a_kill_while_parts_are_merged_leaves_the_last_commit(tmp_path, seed):
    folder, out = tmp_path / "runs", tmp_path / "out"
    folder.mkdir()
    for i in range(MOST_SMALL_PARTS):
        write(folder, f"{i:03d}.out", sample(i))
        in_process(folder, out)
    before = rows(out)
    write(folder, "new.out", sample(1))
    command = subprocess.Popen([sys.executable, "-c", MERGING, "tables", str(folder), "--out", str(out), "--no-progress"],
                               env=ENV, stderr=subprocess.DEVNULL)
    try:
        while not (out / "_skav" / "merging").exists() and command.poll() is None:
            time.sleep(0.005)
        time.sleep(random.Random(seed).uniform(0, 0.4))
    finally:
        command.send_signal(signal.SIGKILL)
        command.wait()
    assert (out / "_skav" / "merging").exists()
    assert rows(out) in (before, fresh(folder, tmp_path))  # the last commit, whatever the moment
    assert tables(folder, out).returncode == 0
    assert rows(out) == fresh(folder, tmp_path) and len(parts_of(out)["files"]) <= MOST_SMALL_PARTS


def test_a_stop_just_after_the_commit_point_keeps_the_committed_parts(tmp_path, monkeypatch):
    folder, out = tmp_path / "runs", tmp_path / "out"
    folder.mkdir()
    write(folder, "a.out", TDDFT)
    save = dataset.save

    def stopped(*args):
        save(*args)
        raise KeyboardInterrupt

    monkeypatch.setattr(dataset, "save", stopped)
    assert main(["tables", str(folder), "--out", str(out), "--no-progress"]) == 130
    assert rows(out) == fresh(folder, tmp_path)


@pytest.mark.parametrize("seed", range(3))
def test_a_kill_after_a_commit_interval_leaves_progress(tmp_path, seed):
    folder, out = tmp_path / "runs", tmp_path / "out"
    folder.mkdir()
    write(folder, "000.out", "x" * 99 + "\n" * 200_000 + TDDFT)  # 20 MB, under many names: a run of seconds
    for i in range(1, 150):
        os.link(folder / "000.out", folder / f"{i:03d}.out")
    code = COMMAND.replace("0.03", "0.25")
    command = subprocess.Popen([sys.executable, "-c", code, "tables", str(folder), "--out", str(out), "--no-progress",
                                "--workers", "1"], env=ENV, stderr=subprocess.DEVNULL)
    try:
        # However slow the machine: past a first commit, and up to two intervals more.
        wait_until(lambda: (out / "_skav" / "manifest.parquet").exists() or command.poll() is not None, 120,
                   "a first commit")
        assert command.poll() is None, "the run ended before its first commit"
        time.sleep(random.Random(seed).uniform(0, 0.5))
    finally:
        command.send_signal(signal.SIGKILL)
        command.wait()
    dry_run = tables(folder, out, "--dry-run").stderr
    assert "150 files: 150 new" not in dry_run and " 0 unchanged" not in dry_run, dry_run


def as_written_before_the_soc_tables(out):
    """The dataset as a version before the SOC tables left it: no such tables, no such counts, and a manifest
    that names neither its schemas nor this version in its readings."""
    for name in EXTRAS:
        for part in (out / name).iterdir():
            part.unlink()
        (out / name).rmdir()
    for part in (out / "files").glob("part-*.parquet"):
        pq.write_table(pq.read_table(part).drop_columns(EXTRAS), part)
    manifest = pq.read_table(out / "_skav" / "manifest.parquet")
    readings = pa.array(["auto 0.4.0"] * len(manifest), pa.string())
    pq.write_table(manifest.set_column(4, "reading", readings).replace_schema_metadata(
        {b"skav_rs.parts": manifest.schema.metadata[b"skav_rs.parts"]}), out / "_skav" / "manifest.parquet")


def test_a_dataset_of_earlier_schemas_is_read_and_then_rewritten(tmp_path, monkeypatch):
    monkeypatch.setattr(dataset, "TINY_PART", 0)  # the part of the file that goes stays a part of its own
    folder, out = tmp_path / "runs", tmp_path / "out"
    folder.mkdir()
    for name in ["formaldehyde_soc_release6.out", "water_casscf.out", "formaldehyde_tddft.out"]:
        write(folder, name, (ROOT / "samples" / name).read_text())
    in_process(folder, out)
    write(folder, "gone.out", CASSCF)
    in_process(folder / "gone.out", out)
    remove(folder, "gone.out")
    as_written_before_the_soc_tables(out)
    before = rows(out)  # as it is: the new tables empty, the new counts null
    assert [row[-3:-1] for row in before["files"]] == [(None, None)] * 4 and not before["soc_couplings"]
    in_process(folder, out)  # reads every file again: another version's readings
    after, expected, gone = rows(out), fresh(folder, tmp_path), str(folder / "gone.out")
    assert {name: [row for row in table if row[0] != gone] for name, table in after.items()} == expected
    assert [row[-3:-1] for row in after["files"] if row[0] == gone] == [(None, None)]  # not read again: unknown
    assert all(pq.read_schema(part).remove_metadata() == SCHEMAS[name]
               for name, found in parts_of(out).items() for part in found)
