"""skav_batch: the tables against the module's own results, the skav-rs command, and runs on Dask."""


import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path
from unittest.mock import ANY

import pytest

import skav_rs
from conftest import EXTRAS, NAMES, NO_SECTION, UNDER_ASAN, module_rows, stored, wait_until

distributed = pytest.importorskip("distributed", reason="the batch extra is not installed (pip install '.[batch]')")
pq = pytest.importorskip("pyarrow.parquet")
import skav_batch.read  # noqa: E402
from skav_batch import read_tables  # noqa: E402
from skav_batch.cli import main  # noqa: E402
from skav_batch.tables import SCHEMA_VERSIONS, SCHEMAS  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
TDDFT_PATH = str(ROOT / "samples" / "formaldehyde_tddft.out")
TDDFT = Path(TDDFT_PATH).read_text()
CASSCF = (ROOT / "samples" / "water_casscf.out").read_text()
BAD_NUMBER = TDDFT.replace("0.58561", "0.5856l", 1)
PATHS = [os.path.abspath(path) for path in os.environ.get("PYTHONPATH", "").split(os.pathsep) if path]
ENV = {**os.environ, "PYTHONPATH": os.pathsep.join([str(ROOT), *PATHS])}

# name: (content, parsers that auto must use[, (error, message) of a file no parser sees]); None: not matched.
FOLDER = {
    "tddft.out": (TDDFT, ["tddft"]),
    "runs/newer-release.out": ((ROOT / "samples" / "formaldehyde_tddft_newer.out").read_text(), ["tddft"]),
    "runs/deeper/casscf.out": (CASSCF, ["casscf"]),
    "runs/both.out": (TDDFT + CASSCF, ["tddft", "casscf"]),
    "runs/bad-tddft-good-casscf.out": (CASSCF + BAD_NUMBER, ["tddft", "casscf"]),
    "heading-only.out": ("LOEWDIN ORBITAL-COMPOSITIONS\n", ["casscf"]),
    "latin1.out": (("SKAV SPIN-ORBIT COUPLING CALCULATION\n\xe9\n").encode("latin-1"), ["tddft"]),
    "neither.out": ("no results here\n", [], ("NoSection", NO_SECTION)),
    os.fsdecode(b"not-utf8-\xe9.out"): (TDDFT, ["tddft"]),
    "ignored.txt": (TDDFT, None),
}


def write_folder(folder, files):
    for name, (content, *_) in files.items():
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
        (folder / name).write_bytes(content if isinstance(content, bytes) else content.encode())
    return folder


def rows_of(tables):
    return {name: [list(row.values()) for row in table.to_pylist()] for name, table in tables.items()}


def expected_rows(folder, files):
    rows = {name: [] for name in [*NAMES, *EXTRAS]}  # files of the module's sections only: no extras
    for name, (_, parsers, *no_section) in sorted(files.items()):
        if parsers is not None:
            for table, more in module_rows(str(folder / name), parsers).items():
                rows[table] += more
            rows["failures"] += [[stored(folder / name), "auto", *error, None] for error in no_section]
    return {name: sorted(table) for name, table in rows.items()}


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    return write_folder(tmp_path_factory.mktemp("outputs"), FOLDER)


def test_tables_hold_the_module_results_field_by_field(folder):
    tables = read_tables([folder])
    assert {name: table.schema for name, table in tables.items()} == SCHEMAS
    assert {name: sorted(rows_of(tables)[name]) for name in [*NAMES, *EXTRAS]} == expected_rows(folder, FOLDER)


@pytest.mark.parametrize("kind, expected", [
    pytest.param("casscf", {"files": 1}, id="casscf-file-without-section-is-in-files-only"),
    pytest.param("tddft", {"soc_states": 9, "soc_elements": 22, "files": 1}, id="tddft"),
])
def test_kind_forces_the_parser(kind, expected):
    tables = read_tables([TDDFT_PATH], kind=kind)
    assert {name: table.num_rows for name, table in tables.items() if table.num_rows} == expected


def cli(capsys, *args):
    try:
        status = main([str(arg) for arg in args])
    except SystemExit as exit:
        status = exit.code
    output = capsys.readouterr()
    return status, output.out, output.err


@pytest.mark.parametrize("args, status, message", [
    pytest.param(["tables", "{folder}/absent", "--out", "{tmp}/t"], 2, "no such file or folder: ", id="missing-path"),
    pytest.param(["tables", "{folder}", "--out", "{folder}/tddft.out/t"], 2, "cannot write tables to", id="unwritable-out"),
    pytest.param(["tables", "{folder}", "--out", "{tmp}", "--workers", "0"], 2, "not a positive whole number", id="workers"),
    pytest.param(["json", "{folder}/absent"], 2, "no such file or folder: ", id="json-missing-path"),
    pytest.param(["json", "{folder}/neither.out"], 1, f"neither.out: auto: NoSection: {NO_SECTION}", id="json-failure"),
])
def test_command_line_errors(capsys, folder, tmp_path, args, status, message):
    run = cli(capsys, *(arg.format(folder=folder, tmp=tmp_path) for arg in args))
    assert run[0] == status and message in run[2], run


def test_json_prints_module_results_with_sorted_keys(capsys, folder):
    files = [folder / "runs" / "deeper" / "casscf.out", folder / "runs" / "both.out"]
    status, out, _ = cli(capsys, "json", *files, files[0])
    expected = {str(files[1]): {"tddft": skav_rs.parse_tddft(str(files[1])), "casscf": skav_rs.parse_casscf(str(files[1]))},
                str(files[0]): {"casscf": skav_rs.parse_casscf(str(files[0]))}}
    assert status == 0 and out == json.dumps(expected, sort_keys=True, indent=2) + "\n"


def test_json_works_without_the_batch_extra():
    blocked = "import sys; sys.modules.update(dict.fromkeys(['dask', 'distributed', 'pyarrow', 'tqdm']))"
    code = f"{blocked}; from skav_batch.cli import main; sys.exit(main(['json', {TDDFT_PATH!r}]))"
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=ENV, timeout=60)
    assert run.returncode == 0 and list(json.loads(run.stdout).values()) == [{"tddft": skav_rs.parse_tddft(TDDFT_PATH)}]


def test_the_command_writes_its_tables_without_numpy_pandas_or_cloudpickle(tmp_path):
    code = ("import sys; from skav_batch.cli import command; status = command(['tables', sys.argv[1], '--out', sys.argv[2]]);"
            " print(status, sorted({'numpy', 'pandas', 'cloudpickle'} & sys.modules.keys()))")
    run = subprocess.run([sys.executable, "-c", code, TDDFT_PATH, tmp_path / "out"], capture_output=True, text=True, env=ENV,
                         timeout=60)
    assert run.stdout == "0 []\n", run.stderr


def skav_rs_tables(*args):
    return subprocess.run([sys.executable, "-m", "skav_batch", "tables", *map(str, args)],
                          capture_output=True, text=True, env=ENV, timeout=300)


def written(out):
    return {name: pq.read_table(out / name) for name in SCHEMAS}


@pytest.mark.parametrize("engine", [[], ["--scheduler", "local"]], ids=["threads", "local-cluster"])
def test_command_writes_the_same_tables(folder, tmp_path, engine):
    (tmp_path / "soc_states").mkdir()
    (tmp_path / "soc_states" / "part-999999.parquet").write_bytes(b"a part of an earlier run")
    os.mkfifo(fifo := tmp_path / "pipe.out")  # named: a failure row, and no wait for a writer
    run = skav_rs_tables(folder, folder / "tddft.out", fifo, "--out", tmp_path, "--workers", 2, *engine)
    assert run.returncode == 1 and "10/10 " in run.stderr and "failed=5" in run.stderr, run.stderr
    tables = rows_of(read_tables([tmp_path]))  # in file-path order, as read in memory
    of_fifo = {name: [row for row in rows if row[0] == str(fifo)] for name, rows in tables.items()}
    assert of_fifo["failures"] == [[str(fifo), "auto", "NotARegularFile", "not a regular file: a named pipe", None]]
    assert of_fifo["files"] == [[str(fifo), None, None, None, None, None, 0, 0, 0, 0, True]]
    tables = {name: [row for row in rows if row[0] != str(fifo)] for name, rows in tables.items() if name != "failures"}
    assert tables == {name: rows for name, rows in rows_of(read_tables([folder])).items() if name != "failures"}
    assert_parts_are_as_readers_expect(tmp_path, {name: len(rows) for name, rows in rows_of(written(tmp_path)).items()})


def assert_parts_are_as_readers_expect(out, counts):
    """zstd parts that say which version wrote them, which DuckDB reads as pyarrow does."""
    for part in out.glob("*/part-*.parquet"):
        meta = pq.ParquetFile(part).metadata
        version = str(SCHEMA_VERSIONS[part.parent.name]).encode()
        assert {meta.row_group(0).column(0).compression} <= {"ZSTD"} and meta.metadata[b"skav_rs.schema_version"] == version
    duckdb = pytest.importorskip("duckdb")
    database = duckdb.connect()
    assert {name: database.execute(f"select count(*) from read_parquet('{out}/{name}/*.parquet')").fetchall()[0][0]
            for name in counts} == counts


@pytest.fixture(scope="module")
def links(tmp_path_factory):
    """300 names of one file of 20 MB: many files to read, and little to write or keep in the page cache."""
    folder = tmp_path_factory.mktemp("links")
    (folder / "0.out").write_text(("x" * 99 + "\n") * 200_000 + TDDFT)
    for i in range(1, 300):
        os.link(folder / "0.out", folder / f"{i}.out")
    return sorted(map(str, folder.iterdir()), key=lambda name: int(Path(name).stem))


def test_ctrl_c_stops_within_a_second(links, tmp_path):
    # Ctrl-C as in a terminal, also where this test runs with SIGINT ignored (a background job of a script).
    code = ("import signal, sys; signal.signal(signal.SIGINT, signal.default_int_handler); "
            "import skav_batch.dataset as dataset; dataset.COMMIT_SECONDS = 0.2; "
            "from skav_batch.cli import command; sys.exit(command(sys.argv[1:]))")
    command = subprocess.Popen([sys.executable, "-c", code, "tables", *links, "--out", tmp_path, "--workers", "1"],
                               env=ENV, stderr=subprocess.PIPE, text=True)
    try:
        # A first part is committed, or the command ended without one (then its status fails below).
        wait_until(lambda: command.poll() is not None or list((tmp_path / "soc_states").glob("part-*.parquet")), 60,
                   "a first commit")
        command.send_signal(signal.SIGINT)
        stopped = time.monotonic()
        assert command.wait(timeout=10) == 130 and time.monotonic() - stopped < (1 if not UNDER_ASAN else 5), command.stderr.read()
    finally:
        command.kill()
    assert [part.name for part in tmp_path.rglob("*part-*") if part.suffix != ".parquet"] == []  # no staged or temporary ones
    rows = read_tables([tmp_path])["soc_states"].num_rows  # what was committed: whole files only
    assert rows % 9 == 0 and rows < 9 * len(links) and rows == pq.read_table(tmp_path / "soc_states").num_rows


def test_json_into_a_closed_pipe_ends_quietly(links):
    run = subprocess.run(f"{sys.executable} -m skav_batch json {' '.join(links[:3])} {TDDFT_PATH} | head -c 1", shell=True,
                         capture_output=True, text=True, env=ENV, timeout=60)
    assert run.stdout == "{" and run.stderr == ""


# Loaded into each worker: a worker dies right after writing the parts of the task holding "dies-once" (the first
# time only, so the rerun must replace them), and whenever it reads "dies-always".
DYING = """
import os, skav_batch.engine as engine
# A worker may load this twice: wrap the original functions only.
read_columns = engine.__dict__.setdefault("original_read", engine.read_columns)
write_parts = engine.__dict__.setdefault("original", engine.write_parts)

def read_or_die(paths, kind, cwd=None):
    if any("dies-always" in path for path in paths):
        os._exit(1)
    return read_columns(paths, kind, cwd)

def write_then_die(out, task, tables):
    write_parts(out, task, tables)
    for file in set(tables["soc_states"].column("file").to_pylist()):
        if "dies-once" in file and not os.path.exists(file + ".died"):
            open(file + ".died", "w").close()
            os._exit(1)

engine.read_columns, engine.write_parts = read_or_die, write_then_die
"""


def start(*args, env=ENV):
    # A session of its own: the worker processes that a nanny starts are ended with it.
    return subprocess.Popen([sys.executable, "-m", *map(str, args)], env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)


@pytest.fixture
def scheduler(tmp_path):
    """A scheduler that lets a task fail once, and two worker processes, all on 127.0.0.1."""
    (tmp_path / "dying.py").write_text(DYING)
    address_file = tmp_path / "scheduler.json"
    processes = [start("distributed.cli.dask_scheduler", "--host", "127.0.0.1", "--port", 0, "--no-dashboard",
                       "--scheduler-file", address_file,
                       env={**ENV, "DASK_DISTRIBUTED__SCHEDULER__ALLOWED_FAILURES": "1"})]
    try:
        processes += [start("distributed.cli.dask_worker", "--scheduler-file", address_file, "--host", "127.0.0.1",
                            "--nthreads", 1, "--no-dashboard", "--preload", tmp_path / "dying.py",
                            "--local-directory", tmp_path) for _ in range(2)]
        wait_until(address_file.exists, 60, "the scheduler's address")
        with distributed.Client(scheduler_file=str(address_file), timeout=30) as client:
            client.wait_for_workers(2, timeout=60)
            address = client.scheduler.address
        yield address
    finally:
        for process in processes:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()


def test_dying_workers_leave_each_file_exactly_once(scheduler, tmp_path):
    files = {f"{i:02d}{name}.out": (TDDFT, ["tddft"]) for i, name in enumerate(["dies-once"] + [""] * 14 + ["dies-always"])}
    folder = write_folder(tmp_path / "outputs", files)
    run = skav_rs_tables(folder, "--out", tmp_path / "tables", "--scheduler", scheduler, "--no-progress")
    assert run.returncode == 1, run.stderr
    expected = expected_rows(folder, {name: entry for name, entry in files.items() if "always" not in name})
    expected["failures"] = [[str(folder / "15dies-always.out"), "auto", "KilledWorker", ANY, None]]
    tables = {name: sorted(rows) for name, rows in rows_of(written(tmp_path / "tables")).items()}
    assert [(row[0], row[-1]) for row in tables.pop("files")] == [(str(folder / name), "always" in name) for name in files]
    assert tables == expected
