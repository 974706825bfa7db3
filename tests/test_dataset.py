"""The dataset that `skav-rs tables` keeps: incremental runs equal a fresh full run, a killed run
loses nothing and doubles nothing, a second writer is refused, --dry-run changes nothing."""

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

from conftest import NAMES

pq = pytest.importorskip("pyarrow.parquet", reason="the batch extra is not installed (pip install '.[batch]')")
from skav_batch import read_tables  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
TDDFT = (ROOT / "samples" / "formaldehyde_tddft.out").read_text()
CASSCF = (ROOT / "samples" / "water_casscf.out").read_text()
PATHS = [os.path.abspath(path) for path in os.environ.get("PYTHONPATH", "").split(os.pathsep) if path]
ENV = {**os.environ, "PYTHONPATH": os.pathsep.join([str(ROOT), *PATHS])}
# The command with commits every few hundredths of a second, so that a kill finds some done.
COMMAND = ("import sys, skav_batch.dataset as dataset; dataset.COMMIT_SECONDS = 0.03; "
           "from skav_batch.cli import main; sys.exit(main(sys.argv[1:]))")


def tables(folder, out, *options):
    return subprocess.run([sys.executable, "-c", COMMAND, "tables", str(folder), "--out", str(out), "--no-progress",
                           *options], capture_output=True, text=True, env=ENV, timeout=300)


def rows(out):
    """Each table's rows as a multiset."""
    return {name: Counter(tuple(row.values()) for row in table.to_pylist()) for name, table in read_tables([out]).items()}


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
    if kept:
        expected = {name: rows + Counter({row: n for row, n in before[name].items() if "c.out" in row[0]})
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
    assert set(Counter(row[0] for row in committed["soc_states"].elements()).values()) <= {9}
    assert tables(folder, out).returncode == 0
    assert rows(out) == fresh(folder, tmp_path)
    assert {name: pq.read_table(out / name).num_rows for name in NAMES} == {name: sum(rows(out)[name].values()) for name in NAMES}


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
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(disk)], capture_output=True).returncode:
        pytest.skip("no tmpfs can be mounted here (needs root)")
    try:
        folder, out = tmp_path / "runs", disk / "out"
        folder.mkdir()
        for i in range(200):
            write(folder, f"{i:03d}.out", TDDFT + CASSCF + "\n" * i)
        run = tables(folder, out)
        assert run.returncode == 1 and "No space left on device" in run.stderr, run.stderr
        committed = rows(out)  # readable, whole files only
        assert all(count == 9 for count in Counter(row[0] for row in committed["soc_states"].elements()).values())
        subprocess.run(["mount", "-o", "remount,size=64m", str(disk)], check=True)
        assert tables(folder, out).returncode == 0
        assert rows(out) == fresh(folder, tmp_path)
    finally:
        subprocess.run(["umount", str(disk)], check=True)
