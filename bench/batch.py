"""Seconds and peak memory of `skav-rs tables` against a plain loop, with `cat` as the floor.

Usage: python bench/batch.py [--sets realistic,small,large] [--reps R] [--workers W] [--data DIR]

Sets, made under DIR (default bench/data) on first use and reused after, the same bytes on
every machine (fixed seeds):
- realistic: 400 outputs of about 4 MB of SCF-like text (bench/generate.py's filler) around
  one SOC section of 300 states of 2 to 12 components; every third also holds a Loewdin composition table of 42
  orbitals (7 blocks of 6). Each file is parsed once when it is made, to prove it reads.
- small: 4,000 copies of the samples (the TD-DFT one, the CASSCF one, both together), 2 to 6 kB.
- large: two copies each of bench/generate.py's `dense` (148 MB) and `mixed_casscf` (200 MB).

Ways, each a fresh process timed from outside, interpreter start and imports included:
- cat: `cat` of the set's files to /dev/null, the floor of reading them;
- loop: what one writes without skav_batch (`batch.py loop FOLDER OUT`): both parsers on every
  file, the module's failures as rows, the five tables' columns in Python lists, each table
  written at the end as one Parquet file;
- tables: `python -m skav_batch tables FOLDER --out DIR --workers W --no-progress`.

Medians of R runs (default 3), interleaved, as one markdown table: seconds of each way, the
speed-up of tables over the loop against its target (10x realistic, 1.5x small, 3x large) and
the peak memory of both. Peak is the largest resident size of the process or of any one of
its children (GNU time's %M), not their sum. Rows are those of the four result tables, which
both ways must write alike (read back with pyarrow); only the failures table may differ, by the
loop's failure on each file without an SOC section: it calls parse_tddft on every file, while
the command picks parsers by the headings.
Needs GNU time at /usr/bin/time, the batch extra and the module on the path (`make bench-batch` sets it).
"""

from __future__ import annotations

import argparse
import importlib
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import TYPE_CHECKING, Any, NamedTuple, TypeVar

import pyarrow as pa
import pyarrow.parquet as pq

if TYPE_CHECKING:
    from skav_rs import CASSCFResult, TDDFTResult

ROOT = Path(__file__).resolve().parent.parent
SAMPLES = [ROOT / "samples" / "formaldehyde_tddft.out", ROOT / "samples" / "water_casscf.out"]
LARGE = {"dense": 2, "mixed_casscf": 2}  # generated shape: copies
REALISTIC_VERSION = 5  # bump when the realistic files change
MB = 1_000_000


def schema(**columns: pa.DataType) -> pa.Schema:
    return pa.schema(columns)


# The tables of skav_batch/tables.py, restated: the loop must not import skav_batch.
POSITION, FLOAT, TEXT = pa.uint32(), pa.float32(), pa.string()
SCHEMAS: dict[str, pa.Schema] = {
    "soc_states": schema(file=TEXT, state=POSITION, n=pa.uint32(), energy=FLOAT, elements=POSITION),
    "soc_elements": schema(file=TEXT, state=POSITION, element=POSITION, weight=FLOAT, real=FLOAT, imag=FLOAT,
                           root=pa.uint8(), spin=pa.uint8(), ms=pa.int8()),
    "orbitals": schema(file=TEXT, orbital=POSITION, orbital_nr=pa.uint32(), energy=FLOAT, occupation=FLOAT,
                       contributions=POSITION),
    "orbital_contributions": schema(file=TEXT, orbital=POSITION, row=POSITION, atom_nr=pa.uint32(),
                                    element=TEXT, orbital_type=TEXT, contribution=FLOAT),
    "failures": schema(file=TEXT, kind=TEXT, error=TEXT, message=TEXT, where=TEXT),
}


class FileSet(NamedTuple):
    name: str
    folder: Path
    files: list[Path]
    without_soc: int  # files on which the loop's parse_tddft fails
    target: float  # speed-up of tables over the loop that should hold


class Run(NamedTuple):
    seconds: float
    peak_mb: float
    rows: dict[str, int]  # rows per table written, empty for cat


# ---------------------------------------------------------------- the sets

def realistic_set(data: Path, count: int = 400, soc_tables: bool = False) -> FileSet:
    """The realistic files; with `soc_tables`, the same files with couplings and spectra in their SOC parts."""
    name = "realistic-soc" if soc_tables else "realistic"
    folder = data / f"batch-{name}"
    files = [folder / f"run{i:04d}.out" for i in range(count)]
    stamp = folder / "complete"
    expected = f"{REALISTIC_VERSION} {count}\n"
    if not stamp.exists() or stamp.read_text() != expected:
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
        write_realistic(files, soc_tables)
        stamp.write_text(expected)  # last: an interrupted run starts again
    return FileSet(name, folder, files, 0, 10.0)


def write_realistic(files: list[Path], soc_tables: bool) -> None:
    """Writes each file from its own seed and checks that it parses."""
    import skav_rs

    sys.path.insert(0, str(ROOT / "bench"))
    generate = importlib.import_module("generate")  # by name: an untyped module that mypy need not check
    context = generate.Context()
    started = time.perf_counter()
    for i, path in enumerate(files):
        r = random.Random(f"skav-bench-realistic-{REALISTIC_VERSION}-{generate.VERSION}-{i}")
        has_table = i % 3 == 2
        # The tables draw from a seed of their own: both sets hold the same files but for them.
        tables = random.Random(f"skav-bench-realistic-tables-{REALISTIC_VERSION}-{i}") if soc_tables else None
        path.write_bytes(realistic_text(generate, context, r, has_table, tables))
        assert len(skav_rs.parse_tddft(str(path))["soc_matrix"]["eigenvectors"]) == 300, path
        casscf = skav_rs.parse_casscf(str(path))
        assert (casscf is not None) == has_table, path
        assert casscf is None or len(casscf["orbital_contributions"]) == 42, path
    print(f"generated {len(files)} realistic files in {time.perf_counter() - started:.0f} s", file=sys.stderr)


def realistic_text(generate: Any, context: Any, r: random.Random, has_table: bool, tables: random.Random | None) -> bytes:
    """About 4 MB: filler text, the composition table if any, more filler, the SOC section (with couplings and spectra
    drawn from `tables`, if given), filler to the end."""
    # 2 to 12 components per state, as an output prints those above its threshold
    block, _, _, states, _ = generate.soc_block(r, context.soc, nstates=300, per_state=(2, 12))
    # The couplings of the roots come before the eigenvectors, the spectra after; the layout of either release.
    head, eigenvectors, tail = generate.soc_section(r, block, states).partition("Eigenvectors of the SOC matrix:")
    sections = [head + eigenvectors + tail]
    if tables:
        later = bool(tables.getrandbits(1))
        sections = [head + soc_couplings(tables, (states - 1) // 4) + eigenvectors + tail + soc_spectra(tables, states, later)]
    if has_table:  # the CASSCF step comes first in an output
        sections.insert(0, generate.composition_table(r, [6] * 7, 30)[0])
    pieces: list[bytes] = []
    for k, section in enumerate(sections, 1):  # each section deep in the file, behind bulk text
        pieces += context.filler.fill(r, 3 * MB * k // len(sections) - sum(map(len, pieces)))
        pieces.append(section.encode())
    trailer: bytes = generate.TRAILER.encode()
    pieces += context.filler.fill(r, 4 * MB - len(trailer) - sum(map(len, pieces)))
    return b"".join(pieces) + trailer


def small_set(data: Path, count: int = 4000) -> FileSet:
    texts = [path.read_text() for path in SAMPLES]
    texts.append(texts[0] + texts[1])
    folder = data / "batch-small"
    files = [folder / f"{i // 1000:03d}" / f"run{i:06d}.out" for i in range(count)]
    for i, path in enumerate(files):
        if not path.exists():
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(texts[i % len(texts)])
    return FileSet("small", folder, files, len(range(1, count, len(texts))), 1.5)


def large_set(data: Path) -> FileSet:
    subprocess.run([sys.executable, str(ROOT / "bench" / "generate.py"), "--data", str(data), *LARGE], check=True)
    folder = data / "batch-large"
    folder.mkdir(exist_ok=True)
    files = []
    for name, copies in LARGE.items():
        for copy in range(copies):
            target = folder / f"{name}-{copy}.out"
            if not target.exists():
                os.link(data / f"{name}.out", target)  # the same bytes under another name
            files.append(target)
    return FileSet("large", folder, files, LARGE["mixed_casscf"], 3.0)


SETS: dict[str, Callable[[Path], FileSet]] = {"realistic": realistic_set, "small": small_set, "large": large_set}


# ---------------------------------------------------------------- the loop (runs in its own process)

Columns = dict[str, list[list[object]]]
R = TypeVar("R")


def soc_couplings(r: random.Random, roots: int) -> str:
    """The Z/X/Y couplings of `roots` triplets and singlets, then the same in MS form and the reduced ones."""
    frame, title = " " * 6 + "-" * 80, " " * 22 + "CALCULATED SOCME BETWEEN TRIPLETS AND SINGLETS"
    values = [[round(r.uniform(-150, 150), 2) for _ in range(6)] for _ in range(roots * (roots + 1))]
    lines = []
    for header in ("Z                     X                     Y", "MS= 0                  -1                    +1"):
        lines += [frame, title, frame, "           Root                          <T|HSO|S>  (Re, Im) cm-1",
                  f"         T      S             {header}", frame]
        lines += [f"{k // (roots + 1) + 1:10d}{k % (roots + 1):7d}" + "".join(f"    ({v[i]:7.2f} ,{v[i + 1]:8.2f} )"
                                                                          for i in (0, 2, 4)) for k, v in enumerate(values)]
        lines.append("")
    reduced = " " * 6 + "-" * 62
    lines += [reduced, "        CALCULATED REDUCED SOCME BETWEEN TRIPLETS AND SINGLETS", reduced, "         T      S", reduced]
    lines += [f"{k // (roots + 1) + 1:10d}{k % (roots + 1):7d}    ({v[0]:7.2f} ,{v[1]:8.2f} )" for k, v in enumerate(values)]
    return "\n".join(lines) + "\n\n"


def soc_spectra(r: random.Random, states: int, later: bool) -> str:
    """The four SOC-corrected spectra from the ground state, in the later or the earlier layout."""
    kinds = ["ABSORPTION SPECTRUM VIA TRANSITION ELECTRIC DIPOLE MOMENTS",
             "ABSORPTION SPECTRUM VIA TRANSITION VELOCITY DIPOLE MOMENTS",
             "CD SPECTRUM VIA TRANSITION ELECTRIC DIPOLE MOMENTS", "CD SPECTRUM VIA TRANSITION VELOCITY DIPOLE MOMENTS"]
    energies = sorted(r.uniform(10_000, 80_000) for _ in range(states - 1))
    lines = ["", "-" * 43, "SOC CORRECTED TD-DFT/TDA-EXCITATION SPECTRA", "-" * 43, ""]
    for k, kind in enumerate(kinds):
        heading = f"SOC CORRECTED {kind}" if later else f"SPIN ORBIT CORRECTED {kind.replace(' VIA TRANSITION ELECTRIC DIPOLE MOMENTS', '') if k == 2 else kind}"
        lines += ["", "-" * 77, " " * 16 + heading, "-" * 77,
                  "      Transition         Energy     Energy  Wavelength fosc(D2)      D2       |DX|      |DY|      |DZ|"
                  if later else "  States    Energy  Wavelength   fosc         T2         TX        TY        TZ",
                  "                          (eV)      (cm-1)    (nm)                 (au**2)    (au)      (au)      (au)",
                  "-" * (104 if later else 81)]
        for state, cm in enumerate(energies, 1):
            values = "".join(f"{r.uniform(0, 0.1):10.5f}" for _ in range(3))
            values = (f"{r.gauss(0, 2):11.5f}" if k >= 2 else f"{r.uniform(0, 0.01):14.9f}{r.uniform(0, 0.5):10.5f}") + values
            lines.append(f"  0-1.0A  ->{state:3d}-{r.choice((1.0, 3.0)):.1f}A{cm / 8065.54:12.6f}{cm:10.1f}{1e7 / cm:8.1f}{values}"
                         if later else f"   0{state:4d}{cm:10.1f}{1e7 / cm:9.1f}{values}")
        lines.append("")
    return "\n".join(lines) + "\n"


def loop(folder: str, out: str) -> None:
    """Both parsers on every file below folder, rows in Python lists, one Parquet file per table."""
    import skav_rs

    columns: Columns = {name: [[] for _ in schema] for name, schema in SCHEMAS.items()}
    for path in sorted(Path(folder).rglob("*.out")):
        file = str(path)
        tddft = parsed(skav_rs.parse_tddft, "tddft", file, columns)
        if tddft is not None:
            add_tddft(columns, file, tddft)
        casscf = parsed(skav_rs.parse_casscf, "casscf", file, columns)
        if casscf is not None:
            add_casscf(columns, file, casscf)
    write_tables(columns, out)


def write_tables(columns: Columns, out: str) -> None:
    Path(out).mkdir(parents=True, exist_ok=True)
    for name, schema in SCHEMAS.items():
        arrays = [pa.array(column, type=field.type) for column, field in zip(columns[name], schema)]
        pq.write_table(pa.Table.from_arrays(arrays, schema=schema), Path(out) / f"{name}.parquet")


def parsed(parse: Callable[[str], R], kind: str, file: str, columns: Columns) -> R | None:
    """parse(file), or None with a failure row when the module panics."""
    try:
        return parse(file)
    except BaseException as error:
        if type(error).__name__ != "PanicException":  # its type cannot be imported by name
            raise
        notes = getattr(error, "__notes__", None)
        add_row(columns, "failures", file, kind, type(error).__name__, str(error), "\n".join(notes) if notes else None)
        return None


def add_tddft(columns: Columns, file: str, result: TDDFTResult) -> None:
    for state, vector in enumerate(result["soc_matrix"]["eigenvectors"]):
        add_row(columns, "soc_states", file, state, vector["n"], vector["energy"], len(vector["elements"]))
        for element, item in enumerate(vector["elements"]):
            add_row(columns, "soc_elements", file, state, element, item["weight"], item["real"], item["imag"],
                    item["root"], item["spin"], item["ms"])


def add_casscf(columns: Columns, file: str, result: CASSCFResult) -> None:
    for orbital, column in enumerate(result["orbital_contributions"]):
        add_row(columns, "orbitals", file, orbital, column["orbital_nr"], column["energy"], column["occupation"],
                len(column["contributions"]))
        for row, item in enumerate(column["contributions"]):
            add_row(columns, "orbital_contributions", file, orbital, row, item["atom_nr"], item["element"],
                    item["orbital_type"], item["contribution"])


def add_row(columns: Columns, table: str, *values: object) -> None:
    for column, value in zip(columns[table], values, strict=True):
        column.append(value)


# ---------------------------------------------------------------- measuring

def command(way: str, files: FileSet, out: Path, workers: int) -> list[str]:
    if way == "cat":
        return ["cat", *map(str, files.files)]
    if way == "loop":
        return [sys.executable, __file__, "loop", str(files.folder), str(out)]
    return [sys.executable, "-m", "skav_batch", "tables", str(files.folder), "--out", str(out),
            "--workers", str(workers), "--no-progress"]


def run(way: str, files: FileSet, out: Path, workers: int) -> Run:
    """One fresh process of the way; its output folder is cleared first, outside the clock."""
    shutil.rmtree(out, ignore_errors=True)
    with tempfile.NamedTemporaryFile("r") as peak, tempfile.TemporaryFile("w+") as errors:
        # Started by GNU time, not from here: a child's peak counts the memory of whoever forked it.
        timed = ["/usr/bin/time", "--format", "%M", "--output", peak.name, *command(way, files, out, workers)]
        start = time.perf_counter()
        finished = subprocess.run(timed, stdout=subprocess.DEVNULL, stderr=errors)
        seconds = time.perf_counter() - start
        if finished.returncode != 0:
            errors.seek(0)
            sys.exit(f"{files.name} {way} exited with {finished.returncode}:\n{errors.read()[-4000:]}")
        peak_kb = int(peak.read().split()[-1])  # the largest of the process and its waited-for children
    return Run(seconds, peak_kb / 1024, {} if way == "cat" else rows_written(out))


def rows_written(out: Path) -> dict[str, int]:
    """Rows per table, from the Parquet footers of a table's file or of the part files in its folder."""
    rows = {}
    for name in SCHEMAS:
        one = out / f"{name}.parquet"
        parts = [one] if one.is_file() else sorted((out / name).rglob("*.parquet"))
        rows[name] = sum(pq.read_metadata(part).num_rows for part in parts)
    return rows


def check_rows(files: FileSet, runs: dict[str, list[Run]]) -> int:
    """The rows of the four result tables, once both ways are shown to agree."""
    counts = {way: {tuple(run.rows.items()) for run in runs[way]} for way in ("loop", "tables")}
    if any(len(seen) != 1 for seen in counts.values()):
        sys.exit(f"{files.name}: rows differ between runs of one way: {counts}")
    by_loop, by_tables = (dict(counts[way].pop()) for way in ("loop", "tables"))
    by_tables["failures"] += files.without_soc
    if by_loop != by_tables:
        sys.exit(f"{files.name}: rows of the loop {by_loop}, of the command {by_tables} (with the loop's extra failures)")
    return sum(count for name, count in by_loop.items() if name != "failures")


def bench_set(files: FileSet, args: argparse.Namespace) -> str:
    runs: dict[str, list[Run]] = {"cat": [], "loop": [], "tables": []}
    for _ in range(args.reps):
        for way, done in runs.items():
            done.append(run(way, files, args.data / "batch-out" / way, args.workers))
            print(f"{files.name} {way}: {done[-1].seconds:.2f} s, {done[-1].peak_mb:,.0f} MB", file=sys.stderr)
    shutil.rmtree(args.data / "batch-out")
    rows = check_rows(files, runs)
    seconds = {way: statistics.median(run.seconds for run in done) for way, done in runs.items()}
    speedup = seconds["loop"] / seconds["tables"]
    size = sum(path.stat().st_size for path in files.files)
    cells = [files.name, f"{len(files.files):,}", f"{size / MB:,.0f} MB", f"{rows:,}"]
    cells += [f"{seconds[way]:.2f}" for way in runs]
    cells += [f"{speedup:.2f}x", f"{files.target:g}x", "yes" if speedup >= files.target else "no"]
    cells += [f"{max(run.peak_mb for run in runs[way]):,.0f} MB" for way in ("loop", "tables")]
    return "| " + " | ".join(cells) + " |"


def bench_soc_tables(args: argparse.Namespace) -> list[str]:
    """`tables` over the realistic files with couplings and spectra against the same files without them, interleaved."""
    sets = [realistic_set(args.data), realistic_set(args.data, soc_tables=True)]
    runs: dict[str, list[Run]] = {files.name: [] for files in sets}
    for _ in range(args.reps):
        for files in sets:
            runs[files.name].append(run("tables", files, args.data / "batch-out" / files.name, args.workers))
            print(f"{files.name} tables: {runs[files.name][-1].seconds:.2f} s", file=sys.stderr)
    written = args.data / "batch-out" / sets[1].name
    added = {name: sum(pq.read_metadata(part).num_rows for part in (written / name).rglob("*.parquet"))
             for name in ("soc_couplings", "soc_transitions")}
    shutil.rmtree(args.data / "batch-out")
    without, with_tables = (statistics.median(run.seconds for run in runs[files.name]) for files in sets)
    size = sum(path.stat().st_size for path in sets[1].files) / sum(path.stat().st_size for path in sets[0].files)
    ratio = with_tables / without
    rows = ", ".join(f"{count:,} {name}" for name, count in added.items())
    return ["| measure | without | with | ratio | target | holds |", "|---|---|---|---|---|---|",
            f"| realistic, SOC couplings and spectra added ({rows}; {size:.2f}x the bytes) | {without:.2f} s "
            f"| {with_tables:.2f} s | {ratio:.2f}x | at most 1.1x | {'yes' if ratio <= 1.1 else 'no'} |"]


# ---------------------------------------------------------------- the command line

def set_names(text: str) -> list[str]:
    names = text.split(",")
    unknown = [name for name in names if name not in SETS]
    if unknown:
        raise argparse.ArgumentTypeError(f"unknown set(s) {', '.join(unknown)}; choose from {', '.join(SETS)}")
    return names


def positive(text: str) -> int:
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"not a positive whole number: {text!r}")
    return int(text)


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").partition("\n")[0])
    parser.add_argument("--sets", type=set_names, default=list(SETS), help="sets to run (default realistic,small,large)")
    parser.add_argument("--reps", type=positive, default=3, help="runs of each way per set (default 3)")
    parser.add_argument("--workers", type=positive, default=2, help="--workers of skav-rs tables (default 2)")
    parser.add_argument("--data", type=Path, default=ROOT / "bench" / "data", help="folder of the sets (default bench/data)")
    args = parser.parse_args()
    args.data = args.data.resolve()
    lines = [bench_set(SETS[name](args.data), args) for name in args.sets]
    heads = ["set", "files", "size", "rows", "cat s", "loop s", "tables s", "speed-up", "target", "holds", "loop peak",
             "tables peak"]
    print("| " + " | ".join(heads) + " |")
    print("|---" * len(heads) + "|")
    print("\n".join(lines))
    if "realistic" in args.sets:
        print("\n" + "\n".join(bench_soc_tables(args)))


if __name__ == "__main__":
    if sys.argv[1:2] == ["loop"]:
        loop(*sys.argv[2:4])
    else:
        main()
