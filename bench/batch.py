"""Files per second of `skav-rs tables` against a plain loop in one process, and each one's peak memory.

Usage: python bench/batch.py [--small N] [--reps R] [--workers W] [--data DIR]

- loop: one process calls the parsers file by file, builds the five tables in memory
  (skav_batch.read_tables) and writes each as one Parquet file;
- tables: what `skav-rs tables --workers W` runs: a local Dask cluster whose workers write
  part files; its time includes starting and stopping the cluster, and its files per second
  are also given for the time the cluster is up.

Sets: N small files (copies of the two samples and of both together, 4 to 12 kB), a quarter
of them (client memory must not grow with the count), and four large ones made by
bench/generate.py (two of 2,000,000 SOC element lines, two of a 2,000-orbital table; 150 and
200 MB). Each measurement runs in a fresh process; the peak is that process's own maximum
resident size, so for `tables` it is the client's alone (the workers are other processes).
Medians of R runs, interleaved. Needs the batch extra and the module on the path.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SAMPLES = [ROOT / "samples" / "formaldehyde_tddft.out", ROOT / "samples" / "water_casscf.out"]
LARGE = {"dense": 2, "mixed_casscf": 2}  # generated shape: copies


def small_set(folder: Path, count: int) -> list[str]:
    texts = [path.read_text() for path in SAMPLES]
    texts.append(texts[0] + texts[1])
    folder.mkdir(parents=True, exist_ok=True)
    for i in range(count):
        path = folder / f"{i // 1000:03d}" / f"run{i:06d}.out"
        if not path.exists():
            path.parent.mkdir(exist_ok=True)
            path.write_text(texts[i % len(texts)])
    return [str(folder / f"{i // 1000:03d}" / f"run{i:06d}.out") for i in range(count)]


def large_set(data: Path) -> list[str]:
    subprocess.run([sys.executable, str(ROOT / "bench" / "generate.py"), "--data", str(data), *LARGE], check=True)
    folder = data / "batch-large"
    folder.mkdir(exist_ok=True)
    files = []
    for name, copies in LARGE.items():
        for copy in range(copies):
            target = folder / f"{name}-{copy}.out"
            if not target.exists():
                os.link(data / f"{name}.out", target)  # the same bytes under another name
            files.append(str(target))
    return files


def measure(mode: str, files: list[str], out: Path, workers: int) -> dict[str, float]:
    """Runs in a fresh process: reads the files into tables under `out`."""
    import pyarrow.parquet as pq

    from skav_batch import engine, read_tables, tables  # noqa: F401 (imported before the clock starts)

    shutil.rmtree(out, ignore_errors=True)
    start = running = time.perf_counter()
    if mode == "loop":
        out.mkdir(parents=True)
        for name, table in read_tables(files).items():
            pq.write_table(table, out / f"{name}.parquet")
        stopped = time.perf_counter()
    else:  # engine.run, with the time the cluster is up measured apart
        engine.prepare(out)
        with engine.connect(workers, None) as client:
            running = time.perf_counter()
            engine.run_tasks(client, files, "auto", str(out.resolve()), False)
            stopped = time.perf_counter()
    seconds = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024  # kB on Linux
    rows = sum(pq.read_metadata(part).num_rows for part in out.rglob("*.parquet"))
    return {"seconds": seconds, "running": stopped - running, "peak_mb": peak, "rows": rows}


def run_measure(mode: str, files: list[str], scratch: Path, workers: int) -> dict[str, float]:
    scratch.mkdir(parents=True, exist_ok=True)
    listing = scratch / "files.json"
    listing.write_text(json.dumps(files))
    command = [sys.executable, __file__, "--measure", mode, str(listing), str(scratch / mode), str(workers)]
    result: dict[str, float] = json.loads(subprocess.run(command, check=True, capture_output=True, text=True).stdout)
    return result


def rate(files: int, seconds: float) -> str:
    return f"{files / seconds:,.0f}" if files >= 10 * seconds else f"{files / seconds:.2f}"


def bench_set(label: str, files: list[str], args: argparse.Namespace) -> str:
    runs: dict[str, list[dict[str, float]]] = {"loop": [], "tables": []}
    for _ in range(args.reps):
        for mode, results in runs.items():
            results.append(run_measure(mode, files, args.data / "batch-scratch", args.workers))
            print(f"{label} {mode}: {results[-1]}", file=sys.stderr)
    rows = {int(r["rows"]) for results in runs.values() for r in results}
    assert len(rows) == 1, f"the two ways wrote different row counts: {rows}"
    size = sum(os.path.getsize(path) for path in files) / len(files)
    cells = []
    for mode, results in runs.items():
        seconds = statistics.median(r["seconds"] for r in results)
        cells += [f"{seconds:.2f} s", rate(len(files), seconds)]
        if mode == "tables":
            cells.append(rate(len(files), statistics.median(r["running"] for r in results)))
        cells.append(f"{max(r['peak_mb'] for r in results):,.0f} MB")
    return f"| {label} | {len(files):,} | {size / 1e6:,.3g} MB | {rows.pop():,} | " + " | ".join(cells) + " |"


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").partition("\n")[0])
    parser.add_argument("--small", type=int, default=4000, help="number of small files (default 4000)")
    parser.add_argument("--reps", type=int, default=3, help="runs of each way per set (default 3)")
    parser.add_argument("--workers", type=int, default=2, help="Dask workers (default 2)")
    parser.add_argument("--data", type=Path, default=ROOT / "bench" / "data", help="where files are generated")
    args = parser.parse_args()
    small = small_set(args.data / "batch-small", args.small)
    sets = {"small": small, "small, a quarter": small[: args.small // 4], "large": large_set(args.data)}
    lines = [bench_set(label, files, args) for label, files in sets.items()]
    print("| files | count | mean size | rows | loop | files/s | peak | tables | files/s | with the cluster up | client peak |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    print("\n".join(lines))


if __name__ == "__main__":
    if sys.argv[1:2] == ["--measure"]:
        mode, listing, out, workers = sys.argv[2:6]
        print(json.dumps(measure(mode, json.loads(Path(listing).read_text()), Path(out), int(workers))))
    else:
        main()
