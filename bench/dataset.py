"""Seconds of `skav-rs tables` keeping a dataset, and reading compressed outputs.

Usage: python bench/dataset.py [--parts shape,incremental,dry-run,scale,compressed,window] [--reps R] [--data DIR]

- shape: 100 runs, each after 4 new outputs (copies of the samples) are added; then the parts per
  table (target: at most 16), the seconds to read all tables with pyarrow and the bytes on
  disk, against a fresh dataset of the same 400 files (targets: at most 1.5x each).

- incremental: 4,000 outputs (copies of the samples) read into a dataset, then 40 new ones
  added; the second run, over all 4,040, against a fresh run over only the 40 (target: at most 1.5x).
- dry-run: `--dry-run` on a dataset of 100,000 unchanged files (target: under 2 s).
- scale: the state of 1,000,000 files (a synthetic manifest) loaded by a fresh process: seconds
  and peak memory (targets: under 2 s, under 300 MB).
- compressed: bench/batch.py's realistic set, compressed with gzip and with zstd; `skav-rs tables
  --workers 2` against the floor of two `gzip -dc` (or `zstd -dc`) processes over halves of the set
  to /dev/null (target: within 1.3x), and against a plain loop that decompresses each file to a
  temporary file and calls the module (target: at least 4x).
- window: the column reader holds a window of each file, not the file: a zstd file of a few hundred
  kB whose content is 4 GB (targets: under 3 s and 300 MB peak; against `zstd -dc`), a plain 4 GB
  file without sections (targets: within 1.5x of `cat` to /dev/null, 300 MB peak), and `--workers 8`
  over 8 hard links to one output of 1 GB (target: peak under 1 GB).

Medians of R interleaved runs (default 3), each a fresh process timed from outside, as one
markdown table. Needs the batch extra, gzip and zstd (`make bench-batch` runs it after bench/batch.py).
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))
import batch  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
TABLES = [sys.executable, "-m", "skav_batch", "tables"]
# Each file compressed as a user does it (`gzip -k FILE`, `zstd FILE`: the zstd frame then says its size).
PACKERS = {"gzip": (".gz", ["gzip", "-6", "-k", "-c"], ["gzip", "-dc"]), "zstd": (".zst", ["zstd", "-3", "-q", "-c"], ["zstd", "-dc", "-q"])}


def seconds(command: list[str], **options: object) -> float:
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **options)  # type: ignore[call-overload]
    return time.perf_counter() - start


def median_of(reps: int, ways: dict[str, Callable[[], float]]) -> dict[str, float]:
    times: dict[str, list[float]] = {way: [] for way in ways}
    for _ in range(reps):
        for way, measure in ways.items():
            times[way].append(measure())
    return {way: statistics.median(values) for way, values in times.items()}


def copies(folder: Path, count: int, start: int = 0, extra: str = "") -> None:
    texts = [path.read_text() for path in batch.SAMPLES]
    folder.mkdir(parents=True, exist_ok=True)
    for i in range(start, start + count):
        (folder / f"run{i:06d}.out").write_text(texts[i % 2] + (texts[1] if i % 3 == 0 else "") + extra)


READ_ALL = """
import statistics, sys, time
import pyarrow.parquet as pq
names = ["soc_states", "soc_elements", "orbitals", "orbital_contributions", "soc_couplings", "soc_transitions", "failures", "files"]
times = []
for _ in range(int(sys.argv[2])):
    start = time.perf_counter()
    for name in names:
        pq.read_table(sys.argv[1] + "/" + name)
    times.append(time.perf_counter() - start)
print(statistics.median(times))
"""


def shape(data: Path, reps: int) -> list[str]:
    work = data / "dataset-shape"
    shutil.rmtree(work, ignore_errors=True)
    (work / "runs").mkdir(parents=True)
    for run in range(100):
        copies(work / "runs", 4, 4 * run)
        subprocess.run([*TABLES, str(work / "runs"), "--out", str(work / "grown"), "--no-progress"], check=True,
                       stderr=subprocess.DEVNULL)
    subprocess.run([*TABLES, str(work / "runs"), "--out", str(work / "fresh"), "--no-progress"], check=True,
                   stderr=subprocess.DEVNULL)
    parts = max(len(list((work / "grown" / name).glob("part-*.parquet"))) for name in batch.SCHEMAS)
    size = {way: sum(path.stat().st_size for path in (work / way).rglob("*.parquet") if "_skav" not in path.parts)
            for way in ("grown", "fresh")}
    read = {way: float(subprocess.run([sys.executable, "-c", READ_ALL, str(work / way), str(reps)], check=True,
                                      capture_output=True, text=True).stdout) for way in ("grown", "fresh")}
    shutil.rmtree(work)
    return [row("shape: 100 runs of 4 new outputs, parts per table", f"{parts}", "", "", "at most 16", parts <= 16),
            row("shape: the same, reading all tables with pyarrow", f"{read['grown'] * 1e3:.1f} ms",
                f"{read['fresh'] * 1e3:.1f} ms fresh", f"{read['grown'] / read['fresh']:.2f}x", "at most 1.5x",
                read["grown"] <= 1.5 * read["fresh"]),
            row("shape: the same, bytes on disk", f"{size['grown'] / 1e3:,.0f} kB", f"{size['fresh'] / 1e3:,.0f} kB fresh",
                f"{size['grown'] / size['fresh']:.2f}x", "at most 1.5x", size["grown"] <= 1.5 * size["fresh"])]


def incremental(data: Path, reps: int) -> list[str]:
    work = data / "dataset-incremental"
    shutil.rmtree(work, ignore_errors=True)
    copies(work / "runs", 4000)
    copies(work / "new", 40, 4000, "\n")
    subprocess.run([*TABLES, str(work / "runs"), "--out", str(work / "base"), "--no-progress"], check=True,
                   stderr=subprocess.DEVNULL)
    for path in (work / "new").iterdir():
        shutil.copy2(path, work / "runs" / path.name)

    def again() -> float:
        shutil.rmtree(work / "out", ignore_errors=True)
        shutil.copytree(work / "base", work / "out")
        return seconds([*TABLES, str(work / "runs"), "--out", str(work / "out"), "--no-progress"])

    def fresh() -> float:
        shutil.rmtree(work / "fresh", ignore_errors=True)
        return seconds([*TABLES, str(work / "new"), "--out", str(work / "fresh"), "--no-progress"])

    times = median_of(reps, {"incremental": again, "fresh": fresh})
    shutil.rmtree(work)
    ratio = times["incremental"] / times["fresh"]
    return [row("incremental: 40 new beside 4,000", f"{times['incremental']:.2f} s over 4,040",
                f"{times['fresh']:.2f} s fresh over 40", f"{ratio:.2f}x", "at most 1.5x", ratio <= 1.5)]


def dry_run(data: Path, reps: int) -> list[str]:
    work = data / "dataset-dry-run"
    if not (work / "complete").exists():
        shutil.rmtree(work, ignore_errors=True)
        for group in range(100):
            folder = work / "runs" / f"batch{group:03d}"
            folder.mkdir(parents=True)
            for i in range(1000):
                (folder / f"job{i:04d}.out").write_text("no results here\n")
        subprocess.run([*TABLES, str(work / "runs"), "--out", str(work / "out"), "--no-progress"],
                       stderr=subprocess.DEVNULL)
        (work / "complete").write_text("")
    times = median_of(reps, {"dry": lambda: seconds([*TABLES, str(work / "runs"), "--out", str(work / "out"),
                                                     "--dry-run"])})
    return [row("dry-run: 100,000 unchanged files", f"{times['dry']:.2f} s", "", "", "under 2 s", times["dry"] < 2)]


SCALE = """
import resource, sys, time
from pathlib import Path
start = time.perf_counter()
from skav_batch import dataset
manifest = dataset.load(Path(sys.argv[1]))
print(time.perf_counter() - start, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024, len(manifest.table))
"""


def scale(data: Path, reps: int) -> list[str]:
    import pyarrow as pa

    from skav_batch import dataset

    work = data / "dataset-scale"
    if not (work / dataset.STATE / dataset.MANIFEST).exists():
        (work / dataset.STATE).mkdir(parents=True, exist_ok=True)
        n = 1_000_000
        table = pa.table({
            "file": pa.array([f"/shared/runs/batch{i // 1000:04d}/job{i:07d}/output.out" for i in range(n)]),
            "part": pa.array([f"0badcafe-{i // 1000:06d}" for i in range(n)]),
            "bytes": pa.array([4_000_000 + i for i in range(n)], pa.int64()),
            "mtime_ns": pa.array([1_765_000_000_000_000_000 + i for i in range(n)], pa.int64()),
            "reading": pa.array(["auto 0.3.0"] * n),
        })
        dataset.save(work, table, [f"0badcafe-{i:06d}" for i in range(1000)])
    runs = [subprocess.run([sys.executable, "-c", SCALE, str(work)], check=True, capture_output=True, text=True,
                           env={**os.environ, "PYTHONPATH": os.pathsep.join([str(ROOT), os.environ.get("PYTHONPATH", "")])}
                           ).stdout.split() for _ in range(reps)]
    took, peak = statistics.median(float(run[0]) for run in runs), max(float(run[1]) for run in runs)
    return [row("scale: state of 1,000,000 files loaded", f"{took:.2f} s", f"{peak:.0f} MB peak", "",
                "under 2 s, 300 MB", took < 2 and peak < 300)]


LOOP = """
import gzip, os, sys, tempfile, zstandard
sys.path.insert(0, sys.argv[1])
import batch
from pathlib import Path
import skav_rs
columns = {name: [[] for _ in schema] for name, schema in batch.SCHEMAS.items()}
with tempfile.TemporaryDirectory() as folder:
    for path in sorted(Path(sys.argv[2]).iterdir()):
        if path.suffix not in (".gz", ".zst"):
            continue
        plain = os.path.join(folder, path.stem)
        with open(path, "rb") as packed, open(plain, "wb") as out:
            if path.suffix == ".gz":
                with gzip.open(packed) as reader:
                    out.write(reader.read())
            else:
                zstandard.ZstdDecompressor().copy_stream(packed, out)
        # The module reads the plain copy; the rows name the compressed file.
        tddft = batch.parsed(lambda _: skav_rs.parse_tddft(plain), "tddft", str(path), columns)
        if tddft is not None:
            batch.add_tddft(columns, str(path), tddft)
        casscf = batch.parsed(lambda _: skav_rs.parse_casscf(plain), "casscf", str(path), columns)
        if casscf is not None:
            batch.add_casscf(columns, str(path), casscf)
        os.unlink(plain)
batch.write_tables(columns, sys.argv[3])
"""


def compressed(data: Path, reps: int) -> list[str]:
    realistic = batch.realistic_set(data)
    lines = []
    for name, (suffix, pack, unpack) in PACKERS.items():
        folder = data / f"batch-realistic{suffix}"
        stamp = (realistic.folder / "complete").read_text()  # made again with the plain files
        if not (folder / "complete").exists() or (folder / "complete").read_text() != stamp:
            shutil.rmtree(folder, ignore_errors=True)
            folder.mkdir()
            for path in realistic.files:
                with open(folder / (path.name + suffix), "wb") as packed:
                    subprocess.run([*pack, str(path)], stdout=packed, check=True)
            (folder / "complete").write_text(stamp)
        files = sorted(str(path) for path in folder.iterdir() if path.suffix == suffix)
        halves = [files[: len(files) // 2], files[len(files) // 2:]]
        out = data / "dataset-out"

        def floor() -> float:
            start = time.perf_counter()
            running = [subprocess.Popen([*unpack, *half], stdout=subprocess.DEVNULL) for half in halves]
            for process in running:
                process.wait()
            return time.perf_counter() - start

        def tables() -> float:
            shutil.rmtree(out, ignore_errors=True)
            return seconds([*TABLES, str(folder), "--out", str(out), "--workers", "2", "--no-progress"])

        def loop() -> float:
            shutil.rmtree(out, ignore_errors=True)
            return seconds([sys.executable, "-c", LOOP, str(ROOT / "bench"), str(folder), str(out)])

        times = median_of(reps, {"floor": floor, "tables": tables, "loop": loop})
        shutil.rmtree(out, ignore_errors=True)
        size = sum(os.path.getsize(path) for path in files) / 1e6
        over_floor, over_loop = times["tables"] / times["floor"], times["loop"] / times["tables"]
        lines.append(row(f"compressed: realistic set, {name} ({size:,.0f} MB)", f"{times['tables']:.2f} s tables",
                         f"{times['floor']:.2f} s floor, {times['loop']:.2f} s loop",
                         f"{over_floor:.2f}x floor, {over_loop:.1f}x faster than loop", "within 1.3x, at least 4x",
                         over_floor <= 1.3 and over_loop >= 4))
    return lines


def peak_of(command: list[str]) -> tuple[float, float]:
    """Seconds and peak resident MB of a fresh process (GNU time: a child's peak from here would count
    this process's)."""
    with tempfile.NamedTemporaryFile("r") as peak:
        took = seconds(["/usr/bin/time", "--format", "%M", "--output", peak.name, *command])
        return took, int(peak.read().split()[-1]) / 1024


def filler(data: Path) -> bytes:
    """SCF-like text of the realistic set, with neither section: 4 MB of it."""
    text = batch.realistic_set(data).files[0].read_bytes()
    return text[: text.rfind(b"\n", 0, text.find(b"SPIN-ORBIT")) + 1].replace(b"LOEWDIN", b"LOWDIN")


def made(path: Path, write: Callable[[Any], None]) -> Path:
    """The file, written by `write` on first use."""
    if not path.exists():
        path.parent.mkdir(parents=True, exist_ok=True)
        with open(f"{path}.tmp", "wb") as file:
            write(file)
        os.replace(f"{path}.tmp", path)
    return path


def window(data: Path, reps: int) -> list[str]:
    import zstandard

    work, text = data / "window", filler(data)
    sample = (ROOT / "samples" / "formaldehyde_tddft.out").read_bytes()

    def bomb(file: Any) -> None:
        # 1 MiB of text again and again: each repeat is a few bytes of a frame.
        with zstandard.ZstdCompressor(level=3).stream_writer(file, closefd=False) as packer:
            block = text[: text.rfind(b"\n", 0, 1 << 20) + 1]
            for _ in range((4 << 30) // len(block)):
                packer.write(block)
            packer.write(sample)

    def plain(file: Any, size: int = 4 << 30) -> None:
        for _ in range(size // len(text)):
            file.write(text)
        file.write(sample)

    packed, whole = made(work / "bomb.out.zst", bomb), made(work / "plain.out", plain)
    output = made(work / "one-gb.out", lambda file: plain(file, 1 << 30))
    for i in range(8):
        if not (work / "links" / f"{i}.out").exists():
            (work / "links").mkdir(exist_ok=True)
            os.link(output, work / "links" / f"{i}.out")
    out = data / "dataset-out"

    def tables(*paths: Path, workers: int = 2) -> tuple[float, float]:
        shutil.rmtree(out, ignore_errors=True)
        return peak_of([*TABLES, *map(str, paths), "--out", str(out), "--workers", str(workers), "--no-progress"])

    runs: dict[str, list[tuple[float, float]]] = {way: [] for way in ("bomb", "zstd", "plain", "cat", "links")}
    for _ in range(reps):
        runs["bomb"].append(tables(packed))
        runs["zstd"].append((seconds(["zstd", "-dc", "-q", str(packed)]), 0.0))
        runs["plain"].append(tables(whole))
        runs["cat"].append((seconds(["cat", str(whole)]), 0.0))
        runs["links"].append(tables(work / "links", workers=8))
    shutil.rmtree(out, ignore_errors=True)
    took = {way: statistics.median(run[0] for run in done) for way, done in runs.items()}
    peak = {way: max(run[1] for run in done) for way, done in runs.items()}
    size = packed.stat().st_size / 1e3
    return [row(f"window: zstd of 4 GB content ({size:,.0f} kB)", f"{took['bomb']:.2f} s, {peak['bomb']:,.0f} MB peak",
                f"{took['zstd']:.2f} s zstd -dc", "", "under 3 s and 300 MB", took["bomb"] < 3 and peak["bomb"] < 300),
            row("window: plain 4 GB without sections", f"{took['plain']:.2f} s, {peak['plain']:,.0f} MB peak",
                f"{took['cat']:.2f} s cat", f"{took['plain'] / took['cat']:.2f}x cat", "within 1.5x, 300 MB",
                took["plain"] <= 1.5 * took["cat"] and peak["plain"] < 300),
            row("window: --workers 8, 8 links to one 1 GB output", f"{took['links']:.2f} s, {peak['links']:,.0f} MB peak",
                "", "", "peak under 1 GB", peak["links"] < 1024)]


def row(what: str, measured: str, against: str, ratio: str, target: str, holds: bool) -> str:
    return f"| {what} | {measured} | {against} | {ratio} | {target} | {'yes' if holds else 'no'} |"


PARTS = {"shape": shape, "incremental": incremental, "dry-run": dry_run, "scale": scale, "compressed": compressed,
         "window": window}


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").partition("\n")[0])
    parser.add_argument("--parts", default=",".join(PARTS), help="parts to run (default: all)")
    parser.add_argument("--reps", type=int, default=3, help="runs of each way (default 3)")
    parser.add_argument("--data", type=Path, default=ROOT / "bench" / "data", help="folder of the files (default bench/data)")
    args = parser.parse_args()
    lines = [line for part in args.parts.split(",") for line in PARTS[part](args.data.resolve(), args.reps)]
    print("| measure | measured | against | ratio | target | holds |")
    print("|---|---|---|---|---|---|")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
