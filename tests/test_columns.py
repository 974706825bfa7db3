"""skav_batch._columns: failures as rows, threads, Arrow export. Its rows equal those of the module's results for
the samples here and, through the write_file fixture, for every file the suite writes."""

import errno
import os
import threading
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

from arrow_stream import read_table
from conftest import NAMES, NO_SECTION, NOT_UTF8, UNWRAP_NONE, assert_columns_hold_module_rows, case, os_error, same, stored
from skav_batch import _columns
from test_robustness import SOC, UNDER_ASAN, growth

SAMPLES = sorted(str(path) for path in (Path(__file__).resolve().parent.parent / "samples").glob("*.out"))
BOTH = b"SKAV SPIN-ORBIT COUPLING CALCULATION\nLOEWDIN ORBITAL-COMPOSITIONS\n"


def rows_of(paths, kind="auto"):
    tables, failed = _columns.read(paths, [stored(path) for path in paths], kind)
    assert list(tables) == NAMES
    return {name: read_table(table) for name, table in tables.items()}, failed


@pytest.mark.parametrize("path", SAMPLES, ids=os.path.basename)
def test_samples_read_as_the_module_reads_them(path):
    assert_columns_hold_module_rows(path)


def written(content, name="input.out"):
    def write(folder):
        (folder / os.fsdecode(name)).write_bytes(content)
        return str(folder / os.fsdecode(name))
    return write


def fifo(folder):
    os.mkfifo(folder / "pipe.out")
    return str(folder / "pipe.out")


# How the file is made, the kind asked for, and the failure rows of its path (the only rows it has).
@pytest.mark.parametrize("make, kind, failures", [
    case("named-pipe", fifo, "auto", lambda path: [["auto", "NotARegularFile", "not a regular file: a named pipe", None]]),
    case("directory", str, "casscf", lambda path: [["casscf", "NotARegularFile", "not a regular file: a directory", None]]),
    case("vanished", lambda folder: str(folder / "gone.out"), "auto",
         lambda path: [["tddft", "PanicException", os_error(errno.ENOENT, "NotFound"), None]]),
    case("name-not-utf8", written(BOTH, b"name-\xff.out"), "auto",
         lambda path: [[kind, "UnicodeEncodeError", f"'utf-8' codec can't encode character '\\udcff' in position {len(path) - 5}: "
                                                  "surrogates not allowed", None] for kind in ("tddft", "casscf")]),
    case("both-headings-not-utf8", written(BOTH + b"\xff\n"), "auto",
         lambda path: [[kind, "PanicException", NOT_UTF8, f'in "{path}", line 3, byte 66: invalid UTF-8']
                       for kind in ("tddft", "casscf")]),
    case("no-section-not-utf8", written(b"\xff"), "auto", lambda path: [["auto", "NoSection", NO_SECTION, None]]),
    case("kind-forced", written(b"LOEWDIN ORBITAL-COMPOSITIONS\n"), "tddft", lambda path: [
        ["tddft", "PanicException", UNWRAP_NONE, f'in "{path}": no line headed "SKAV SPIN-ORBIT COUPLING CALCULATION"']]),
])
def test_failures_are_rows_and_nothing_waits(tmp_path, make, kind, failures):
    path, result = make(tmp_path), []
    reader = threading.Thread(target=lambda: result.append(rows_of([path], kind)), daemon=True)
    reader.start()
    reader.join(30)
    (tables, failed), = result
    assert {name: rows for name, rows in tables.items() if rows} == {"failures": [[stored(path), *row] for row in failures(path)]}
    assert failed == 1


def test_threads_read_at_once_as_one_thread_does(write_file):
    paths = [*SAMPLES, write_file(BOTH + b"\xff"), write_file(b"".join(Path(path).read_bytes() for path in SAMPLES))]
    alone = [rows_of([path]) for path in paths]
    with ThreadPoolExecutor(4) as pool:
        together = list(pool.map(lambda path: rows_of([path]), paths * 8))
    assert same(together, alone * 8)


def test_repeated_reads_leave_no_memory_or_references_behind(write_file):
    paths = [*SAMPLES, write_file(b"\xff"), "/nonexistent/input.out"]

    def read_and_export():  # schema capsules dropped unread: their destructors release them
        return rows_of(paths), [table.__arrow_c_schema__() and len(table) for table in _columns.read(paths, paths, "auto")[0].values()]
    cases = [(read_and_export, (), ("result", read_and_export()))]
    growth(cases, 10)
    idle, busy = growth(cases, 0), growth(cases, 100)
    references, blocks, objects, rss = (b - i for b, i in zip(busy, idle))
    assert references == 0 and blocks < 200 and objects <= 5 and (rss < 8 << 20 or UNDER_ASAN), (blocks, objects, rss)


@pytest.mark.heavy
def test_other_threads_run_while_a_large_file_is_read(write_file):
    path = write_file(SOC + "STATE 1: 0.5\n" + " 0.25 0.5 -0.75 : 1 2 -3\n" * 4_000_000)
    counts, done = [0], threading.Event()

    def count_up():
        while not done.is_set():
            counts[0] += 1
    counter = threading.Thread(target=count_up)
    counter.start()
    before = counts[0]
    tables, failed = _columns.read([path], [path], "tddft")
    during = counts[0] - before
    done.set()
    counter.join()
    assert (len(tables["soc_elements"]), failed) == (4_000_000, 0) and during > 1_000_000, during


@pytest.mark.parametrize("args, error, message", [
    case("paths-not-a-sequence", (5, [], "auto"), TypeError, "read() argument 'paths' must be a sequence of str, not int"),
    case("paths-a-str", ("a.out", ["a.out"], "auto"), TypeError, "read() argument 'paths' must be a sequence of str, not str"),
    case("file-not-a-str", (["a.out"], [b"a.out"], "auto"), TypeError, "read() argument 'files' item 0 must be str, not bytes"),
    case("lengths-differ", (["a.out"], [], "auto"), ValueError, "read() arguments 'paths' and 'files' differ in length: 1 and 0"),
    case("kind-unknown", ([], [], "orca"), ValueError, "read() argument 'kind' must be 'auto', 'tddft' or 'casscf', not 'orca'"),
    case("kind-not-a-str", ([], [], None), TypeError, "read() argument 'kind' must be str, not NoneType"),
    case("kind-missing", ([], []), TypeError, "read() missing 1 required positional argument: 'kind'"),
])
def test_bad_arguments_raise(args, error, message):
    with pytest.raises(error) as info:
        _columns.read(*args)
    assert (type(info.value), str(info.value)) == (error, message)


def test_pyarrow_imports_the_rows_and_schemas():
    pa = pytest.importorskip("pyarrow")
    from skav_batch.tables import SCHEMAS

    tables, _ = _columns.read([*SAMPLES, "/nonexistent/input.out"], ["a", "b", "c"], "auto")
    for name, table in tables.items():
        imported = pa.table(table)
        assert imported.schema.equals(SCHEMAS[name]) and pa.schema(table).equals(SCHEMAS[name])
        assert same([list(row.values()) for row in imported.to_pylist()], read_table(table))
