"""skav_batch._columns: failures of paths as rows, files read together and in threads, Arrow export. Through the
write_file fixture, its rows equal those built from the module's results for every file the suite writes."""

import errno
import gzip
import io
import os
import socket
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

from arrow_stream import read_table
from conftest import EXTRAS, NAMES, SOC, UNDER_ASAN, case, growth, os_error, same, stored
from skav_batch import _columns
from skav_batch.read import read_native

SAMPLES = sorted(str(path) for path in (Path(__file__).resolve().parent.parent / "samples").glob("*.out"))
BOTH = b"SKAV SPIN-ORBIT COUPLING CALCULATION\nLOEWDIN ORBITAL-COMPOSITIONS\n"
NOT_UTF8_NAME = os.fsdecode(b"name-\xff.out")


def rows_of(paths, kind="auto"):
    """The rows of the tables that have any (but files), and how many files failed."""
    tables, failed = _columns.read(paths, [stored(path) for path in paths], kind)
    return {name: read_table(table) for name, table in tables.items() if name != "files" and len(table)}, failed


def bound_socket(path):
    listener = socket.socket(socket.AF_UNIX)
    try:
        listener.bind(str(path))
    except OSError as error:  # e.g. a temporary folder whose path is too long for a socket's name
        pytest.skip(f"no socket at {path}: {error}")
    finally:
        listener.close()  # the socket file stays
    return path


# How the path is made, the kind asked for, and the file's one row. (What a file holds is read as the module reads it:
# the write_file fixture checks that for every file the suite writes, and fuzz_columns too.)
@pytest.mark.parametrize("make, kind, failure", [
    case("named-pipe", lambda folder: os.mkfifo(folder / "pipe") or folder / "pipe", "auto",
         ["auto", "NotARegularFile", "not a regular file: a named pipe"]),
    case("directory", lambda folder: folder, "casscf", ["casscf", "NotARegularFile", "not a regular file: a directory"]),
    case("socket", lambda folder: bound_socket(folder / "socket"), "tddft",
         ["tddft", "NotARegularFile", "not a regular file: a socket"]),
    case("device", lambda folder: "/dev/null", "auto",
         ["auto", "NotARegularFile", "not a regular file: a character device"]),
    # A regular file whose read fails, even for root.
    case("unreadable", lambda folder: "/proc/self/mem", "auto",
         ["tddft", "PanicException", os_error(errno.EIO, "Uncategorized")],
         marks=pytest.mark.skipif(not os.path.exists("/proc/self/mem"), reason="Linux /proc")),
    case("vanished", lambda folder: folder / "gone.out", "auto",
         ["tddft", "PanicException", os_error(errno.ENOENT, "NotFound")]),
    case("vanished-name-not-utf8", lambda folder: folder / os.fsdecode(b"gone-\xff"), "tddft",
         ["tddft", "UnicodeEncodeError", "'utf-8' codec can't encode character '\\udcff' in position {position}: "
         "surrogates not allowed"]),
])
def test_failures_of_paths_are_rows_and_nothing_waits(tmp_path, make, kind, failure):
    path, result = str(make(tmp_path)), []
    failure = [cell.replace("{position}", str(len(path) - 1)) for cell in failure]
    reader = threading.Thread(target=lambda: result.append(rows_of([path], kind)), daemon=True)
    reader.start()
    reader.join(30)
    assert result == [({"failures": [[stored(path), *failure, None]]}, 1)]


VERSION = b"Program Version 6.0.0 -  RELEASE  -\n"
ONE_STATE = (SOC + "STATE 1: 0.5\n 0.25 0.5 -0.75 : 1 2 -3\n").encode()


# The file's name and content (None: a named pipe; False: no file), and its files row after its name, size and
# mtime_ns (those of the file, null where the reader did not open it): compression, kind, program_version,
# soc_states, orbitals, failed (soc_couplings and soc_transitions are 0 here).
@pytest.mark.parametrize("name, content, row", [
    case("version", "a.out", VERSION + ONE_STATE, [None, "tddft", "6.0.0", 1, 0, False]),
    case("gzip", "a.out.gz", gzip.compress(VERSION + ONE_STATE), ["gzip", "tddft", "6.0.0", 1, 0, False]),
    case("corrupt-gzip", "a.out.gz", b"no gzip", ["gzip", None, None, 0, 0, True]),
    case("no-section-nothing-after-the-words", "a.out", b"Program Version \r\nProgram Version 5\n",
         [None, None, None, 0, 0, True]),
    case("no-version", "a.out", BOTH, [None, "tddft,casscf", None, 0, 0, False]),
    case("named-pipe", "pipe.out.gz", None, [None, None, None, 0, 0, True]),
    case("vanished", "gone.out", False, [None, "tddft", None, 0, 0, True]),
])
def test_files_row(tmp_path, name, content, row):
    path = tmp_path / name
    if content is None:
        os.mkfifo(path)
    elif content:
        path.write_bytes(content)
    tables, _ = read_native([str(path)], "auto")
    stamp = [path.stat().st_size, path.stat().st_mtime_ns] if content else [None, None]
    assert read_table(tables["files"]) == [[str(path), *stamp, *row[:-1], 0, 0, row[-1]]]


def test_files_read_together_alone_or_in_threads_give_the_same_rows_and_leave_nothing_behind(write_file):
    samples = [write_file(Path(path).read_bytes()) for path in SAMPLES]  # the fixture reads them as the module does
    paths = [*samples, write_file(BOTH + b"\xff"), write_file(b"\xff"), write_file(BOTH, NOT_UTF8_NAME), "/nonexistent"]
    alone = [rows_of([path]) for path in paths]
    with ThreadPoolExecutor(4) as pool:  # every file in several threads at once
        assert same(list(pool.map(rows_of, [[path] for path in paths * 3])), alone * 3)
    merged = {name: [row for rows, _ in alone for row in rows.get(name, [])] for name in [*NAMES, *EXTRAS]}
    together = ({name: rows for name, rows in merged.items() if rows}, sum(failed for _, failed in alone))
    cases = [(rows_of, (paths,), ("result", together))]
    growth(cases, 3)
    idle, busy = growth(cases, 0), growth(cases, 100)
    references, blocks, objects, rss = (b - i for b, i in zip(busy, idle))
    assert references == 0 and blocks < 200 and objects <= 5 and (rss < 8 << 20 or UNDER_ASAN), (blocks, objects, rss)


@pytest.mark.heavy
def test_other_threads_run_while_a_large_file_is_read(write_file):
    path, result, steps = write_file(SOC + "STATE 1: 0.5\n" + " 0.25 0.5 -0.75 : 1 2 -3\n" * 4_000_000), [], 0
    reader = threading.Thread(target=lambda: result.append(_columns.read([path], [path], "tddft")))
    reader.start()
    deadline = time.monotonic() + 300
    while reader.is_alive():
        steps += 1
        assert steps % 100_000 or time.monotonic() < deadline, "the read did not end"
    # Holding the interpreter lock, the read would leave this thread a few switch intervals: some thousand steps.
    assert (len(result[0][0]["soc_elements"]), result[0][1], steps > 100_000) == (4_000_000, 0, True), steps


@pytest.mark.parametrize("args, error, message", [
    case("no-arguments", (), TypeError, "read() missing 3 required positional arguments: 'paths', 'files', and 'kind'"),
    case("two-missing", ([],), TypeError, "read() missing 2 required positional arguments: 'files' and 'kind'"),
    case("paths-a-str", ("a.out", ["a.out"], "auto"), TypeError, "read() argument 'paths' must be a sequence of str, not str"),
    case("file-not-a-str", (["a.out"], [b"a.out"], "auto"), TypeError, "read() argument 'files' item 0 must be str, not bytes"),
    case("lengths-differ", (["a.out"], [], "auto"), ValueError, "read() arguments 'paths' and 'files' differ in length: 1 and 0"),
    case("kind-unknown", ([], [], "other"), ValueError, "read() argument 'kind' must be 'auto', 'tddft' or 'casscf', not 'other'"),
    case("kind-not-a-str", ([], [], None), TypeError, "read() argument 'kind' must be str, not NoneType"),
    case("stat-not-a-tuple", (["a.out"], ["a.out"], "auto", None, [5]), TypeError,
         "read() argument 'stats' item 0 must be None or a tuple (bytes, mtime_ns, compression), not int"),
    case("content-an-int", (["a.out"], ["a.out"], "auto", [5]), TypeError,
         "read() argument 'contents' item 0 must be None, bytes-like, a ContentError or callable, not int"),
    case("supplied-not-a-pair", (["a.out"], ["a.out"], "auto", [lambda: b"text"]), TypeError,
         "read() argument 'contents' item 0 returned bytes, not a tuple (content, stat)"),
    case("supplied-an-int", (["a", "b"], ["a", "b"], "auto", [None, lambda: (5, None)]), TypeError,
         "read() argument 'contents' item 1's content must be None, bytes-like, a ContentError or a reader, not int"),
    case("supplied-stat-a-list", (["a"], ["a"], "auto", [lambda: (b"", [1, 2, None])]), TypeError,
         "read() argument 'contents' item 0's stat must be None or a tuple (bytes, mtime_ns, compression), not list"),
    case("supplier-raises", (["a.out"], ["a.out"], "auto", [lambda: 1 / 0]), ZeroDivisionError, "division by zero"),
    case("reader-raises", (["a"], ["a"], "auto", [lambda: (Failing(b"x" * 200, KeyError("x")), None)]), KeyError, "'x'"),
    case("reader-gives-too-much", (["a"], ["a"], "auto", [lambda: (Greedy(), None)], None, 64), ValueError,
         "a content reader's read(64) returned 65 bytes"),
])
def test_bad_arguments_raise(args, error, message):
    with pytest.raises(error) as info:
        _columns.read(*args)
    assert (type(info.value), str(info.value)) == (error, message)


def test_supplied_contents_give_the_rows_of_given_ones_one_held_at_a_time():
    content = Path(SAMPLES[0]).read_bytes()
    alive, seen = [0], []

    class Content(bytes):
        def __del__(self):
            alive[0] -= 1

    def supply(stat):
        seen.append(alive[0])  # contents supplied before and still held
        alive[0] += 1
        return Content(content), stat

    paths, stats = ["a.out.gz", "b.out", "c.out.xz"], [(7, 11, "gzip"), None, (13, 17, "xz")]
    supplied, failed = _columns.read(paths, paths, "auto", [lambda stat=stat: supply(stat) for stat in stats])
    given = _columns.read(paths, paths, "auto", [content] * 3, stats)
    assert (seen, alive, failed) == ([0, 0, 0], [0], given[1])
    assert [read_table(table) for table in supplied.values()] == [read_table(table) for table in given[0].values()]


class Greedy:
    def read(self, size):
        return b"x" * (size + 1)


class Failing(io.BytesIO):
    """A reader that gives its first bytes, then fails as `error` says."""

    def __init__(self, content, error):
        super().__init__(content[:100])
        self.error = error

    def read(self, size):
        if self.tell() == 100:
            raise self.error
        return super().read(size)


# A reader's content (read through windows of any size) gives the rows of the same content given; a reader that
# fails is the file's failure row, its files row the stat supplied with the reader.
@pytest.mark.parametrize("reader, failure", [
    case("reader", lambda content: io.BytesIO(content), None),
    case("content-error", lambda content: Failing(content, _columns.ContentError("DecompressionError", "bad data")),
         ["auto", "DecompressionError", "bad data", None]),
    case("memory-error", lambda content: Failing(content, MemoryError()), ["tddft", "MemoryError", "", None]),
])
def test_a_reader_of_a_content(reader, failure):
    content, stat = Path(SAMPLES[0]).read_bytes(), (7, 11, "gzip")
    given = [read_table(table) for table in _columns.read(["a"], ["a"], "auto", [content], [stat])[0].values()]
    for window in [1, 7, 64, None]:
        tables, failed = _columns.read(["a"], ["a"], "auto", [lambda: (reader(content), stat)], window=window)
        rows = [read_table(table) for table in tables.values()]
        if failure is None:
            assert (rows, failed) == (given, 0), window
        else:  # the parser named by the failure ran, and no other
            ran = None if failure[0] == "auto" else failure[0]
            assert (rows, failed) == ([[]] * 6 + [[["a", *failure]], [["a", *stat, ran, None, 0, 0, 0, 0, True]]], 1)


def test_a_supplier_may_empty_the_list_it_came_in():
    contents = []
    contents += [lambda: (contents.clear(), (b"", None))[1]] * 2
    assert _columns.read(["a", "b"], ["a", "b"], "auto", contents)[1] == 2  # two empty texts: NoSection


def test_pyarrow_imports_the_rows_and_schemas():
    pa = pytest.importorskip("pyarrow")
    from skav_batch.tables import SCHEMAS

    paths = [*SAMPLES, "/nonexistent/input.out"]
    tables, _ = _columns.read(paths, list(map(str, range(len(paths)))), "auto")
    for name, table in tables.items():
        imported = pa.table(table)
        assert imported.schema.equals(SCHEMAS[name]) and pa.schema(table).equals(SCHEMAS[name])
        assert same([list(row.values()) for row in imported.to_pylist()], read_table(table))
