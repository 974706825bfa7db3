import contextlib
import gc
import math
import os
import pathlib
import re
import resource
import struct
import sys
import time

import pytest

import skav_rs
from arrow_stream import read_table

UNWRAP_NONE = "called `Option::unwrap()` on a `None` value"
UNWRAP_ERR = "called `Result::unwrap()` on an `Err` value: "
NOT_UTF8 = f'{UNWRAP_ERR}Error {{ kind: InvalidData, message: "stream did not contain valid UTF-8" }}'
# AddressSanitizer holds freed memory back and pads every block: memory bounds do not apply there.
UNDER_ASAN = sys.platform == "linux" and "asan" in pathlib.Path("/proc/self/maps").read_text()
NAMES = ["soc_states", "soc_elements", "orbitals", "orbital_contributions", "failures"]
# The tables of the TD-DFT parser that the module does not give: the same through every window.
EXTRAS = ["soc_couplings", "soc_transitions"]
SOC = "SKAV SPIN-ORBIT COUPLING CALCULATION\nEigenvectors of the SOC matrix:\n E(cm-1) Weight Real Image : Root Spin Ms\n"
# Unicode White_Space, which separates the fields of a line.
WHITE_SPACE = re.compile("[\t-\r \x85\xa0\u1680\u2000-\u200a\u2028\u2029\u202f\u205f\u3000]+")
NO_SECTION = 'the file holds neither "SKAV SPIN-ORBIT COUPLING CALCULATION" nor "LOEWDIN ORBITAL-COMPOSITIONS"'
# The texts that make a file one for each parser when its kind is "auto", anywhere in it.
HEADINGS = {"tddft": [b"SKAV SPIN-ORBIT COUPLING CALCULATION", b"TD-DFT/TDA SPIN-ORBIT COUPLING", b"TD-DFT SPIN-ORBIT COUPLING"],
            "casscf": [b"LOEWDIN ORBITAL-COMPOSITIONS"]}
# Windows of the column reader that cut every heading, number, field, line end and character somewhere,
# beside its own. The smallest only on small files: they take a read per byte. Under the sanitizers,
# which look for what a window's edge does to memory (the other runs check every window's rows), one
# of them: over files of many lengths and paddings its edges fall at every place of every text.
WINDOWS, SMALL_FILE = [64, 4096], 16 << 10
SMALL_WINDOWS = [7] if UNDER_ASAN else [1, 2, 3, 4, 5, 6, 7]


def float_error(kind):
    return f"{UNWRAP_ERR}ParseFloatError {{ kind: {kind} }}"


def int_error(kind):
    return f"{UNWRAP_ERR}ParseIntError {{ kind: {kind} }}"


def os_error(code, kind):
    return f'{UNWRAP_ERR}Os {{ code: {code}, kind: {kind}, message: "{os.strerror(code)}" }}'


def case(name, *values, marks=()):
    return pytest.param(*values, id=name, marks=marks)


@pytest.fixture
def write_file(tmp_path):
    """Writes text (UTF-8, newlines kept as given) or bytes to a fresh file; returns its path as str.

    The column reader must read each file (up to 4 MB) as the module does, through windows of every size."""
    counter = iter(range(1_000_000))

    def write(content, name=None):
        path = tmp_path / (name or f"input-{next(counter)}.out")
        path.write_bytes(content.encode("utf-8") if isinstance(content, str) else content)
        # Under ASan only the small ones: the hostile inputs of megabytes would take a minute.
        if path.stat().st_size <= (64 << 10 if UNDER_ASAN else 4 << 20):
            assert_columns_hold_module_rows(str(path))
        return str(path)

    return write


def stored(path):
    """A path as the tables hold it: bytes that are not UTF-8 as \\x escapes."""
    return os.fsencode(path).decode(errors="backslashreplace")


def module_rows(path, parsers, returned=None):
    """Each table's rows for one file, straight from the module's results; each parser's result
    that returned goes into `returned`."""
    rows, file = {name: [] for name in NAMES}, stored(path)
    for parser in parsers:
        try:
            result = getattr(skav_rs, f"parse_{parser}")(path)
        except BaseException as error:
            notes = "\n".join(getattr(error, "__notes__", [])) or None
            rows["failures"].append([file, parser, type(error).__name__, str(error), notes])
            continue
        if returned is not None:
            returned[parser] = result
        for s, state in enumerate(result["soc_matrix"]["eigenvectors"] if parser == "tddft" else []):
            rows["soc_states"].append([file, s, state["n"], state["energy"], len(state["elements"])])
            rows["soc_elements"] += [[file, s, e, x["weight"], x["real"], x["imag"], x["root"], x["spin"], x["ms"]]
                                     for e, x in enumerate(state["elements"])]
        for o, orbital in enumerate((result or {}).get("orbital_contributions", []) if parser == "casscf" else []):
            rows["orbitals"].append([file, o, orbital["orbital_nr"], orbital["energy"], orbital["occupation"],
                                     len(orbital["contributions"])])
            rows["orbital_contributions"] += [[file, o, r, x["atom_nr"], x["element"], x["orbital_type"],
                                               x["contribution"]] for r, x in enumerate(orbital["contributions"])]
    return rows


def program_version(content):
    """The first field after "Program Version" on the first line that holds those words, if it is UTF-8."""
    at = content.find(b"Program Version")
    line = content[at + len(b"Program Version"):].split(b"\n", 1)[0].decode(errors="surrogateescape")
    field = next((field for field in WHITE_SPACE.split(line) if field), None)
    try:
        return None if at < 0 or field is None else field.encode(errors="surrogateescape").decode()
    except UnicodeDecodeError:
        return None


@contextlib.contextmanager
def reports_taken(reports):
    """The failure reports written to fd 2 meanwhile go into the list `reports`, without the note on
    backtraces that only the first report of each module writes: a test that reads them reads its own."""
    saved, taken = os.dup(2), os.memfd_create("reports")
    try:
        os.dup2(taken, 2)
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.lseek(taken, 0, os.SEEK_SET)
        text = os.read(taken, 1 << 20).decode(errors="replace")
        os.close(taken)
        reports += [line for line in text.splitlines() if not line.startswith("note: run with")]


def parsers_for(content, kind):
    """The parsers that a file's kind calls for: by name, or each whose heading the file holds anywhere."""
    if kind != "auto":
        return [kind]
    return [parser for parser, headings in HEADINGS.items() if any(heading in content for heading in headings)]


def assert_columns_hold_module_rows(path):
    """For each kind and window, skav_batch._columns reads the file into the rows built from the module's
    results, and its files row into what those rows, the parsers that ran (none for a name without UTF-8 form:
    the module refuses it before parsing) and the file itself say. The tables the module does not give,
    and their MalformedRow failures, are the same through every window."""
    from skav_batch import _columns

    status, content = os.stat(path), pathlib.Path(path).read_bytes()
    windows = WINDOWS + (SMALL_WINDOWS if len(content) <= SMALL_FILE else [])
    for kind in ["auto", "tddft", "casscf"]:
        parsers = parsers_for(content, kind)
        returned, reports = {}, []
        with reports_taken(reports):
            expected = module_rows(path, parsers, returned)
        expected["failures"] += [] if parsers else [[stored(path), kind, "NoSection", NO_SECTION, None]]
        assert_json_reads_as_the_module(path, kind, returned, expected["failures"], reports)
        ran = ",".join(parsers) if stored(path) == path else ""
        reference = None  # the tables the module does not give, as the reader's own window reads them
        for window in [None, *windows]:
            tables, failed = _columns.read([path], [stored(path)], kind, window=window)
            rows = {name: read_table(tables[name]) for name in [*NAMES, *EXTRAS]}
            extras = {name: rows.pop(name) for name in EXTRAS}
            extras["malformed"] = [row for row in rows["failures"] if row[2] == "MalformedRow"]
            rows["failures"] = [row for row in rows["failures"] if row[2] != "MalformedRow"]
            reference = reference or extras
            assert same(extras, reference), (path, kind, window, extras)
            assert same(rows, expected) and failed == int(bool(expected["failures"] or extras["malformed"])), \
                (path, kind, window, rows)
            assert read_table(tables["files"]) == [[stored(path), status.st_size, status.st_mtime_ns, None, ran or None,
                                                    program_version(content), len(rows["soc_states"]),
                                                    len(rows["orbitals"]), *(len(extras[name]) for name in EXTRAS),
                                                    failed == 1]], (path, kind, window)


def assert_json_reads_as_the_module(path, kind, returned, failures, reports):
    """What `skav-rs json` prints of the file, made from the native reader's rows: the module's results,
    its failures and the reports that its calls write."""
    from skav_batch.results import results_of

    json_reports = []
    with reports_taken(json_reports):
        results = results_of(path, kind)
    assert same(results.returned, returned), (path, kind, results.returned)
    assert [[stored(path), *failure] for failure in results.failures] == failures, (path, kind)
    assert json_reports == reports, (path, kind)


def is_panic(exc):
    return type(exc).__name__ == "PanicException" and type(exc).__module__ == "pyo3_runtime"


def outcome(function, *args):
    """("result", value) or ("panic", message); any other exception propagates."""
    try:
        return "result", function(*args)
    except BaseException as exc:  # noqa: B036 - PanicException derives from BaseException
        if not is_panic(exc):
            raise
        return "panic", exc.args[0]


@contextlib.contextmanager
def raises_panic(message):
    """Expects a PanicException whose message is exactly `message`."""
    with pytest.raises(BaseException) as info:
        yield info
    assert is_panic(info.value), repr(info.value)
    assert info.value.args == (message,)


def f32(x):
    """The value of `x` rounded to a 32-bit float, widened back to a Python float."""
    return struct.unpack("f", struct.pack("f", x))[0]


def same(a, b):
    """Equality that tells -0.0 from 0.0 and takes NaN as equal to NaN."""
    if isinstance(a, float) and isinstance(b, float):
        return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) == math.copysign(1, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)) and isinstance(b, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return type(a) is type(b) and a == b


def call_all(cases):
    for function, args, expected in cases:
        try:
            got = outcome(function, *args)
        except Exception as error:  # noqa: BLE001 - an argument error is one of the expected endings
            got = type(error)
        assert same(got, expected) if isinstance(expected, tuple) else got is expected, (function.__name__, args, got)


def rss_bytes():
    # Read without file objects: those would disturb the count of references that is taken beside it.
    statm = os.open("/proc/self/statm", os.O_RDONLY)
    try:
        return int(os.read(statm, 200).split()[1]) * resource.getpagesize()
    finally:
        os.close(statm)


def growth(cases, rounds):
    """What `rounds` of every call add to the total reference count (kept by debug builds of the
    interpreter only), memory blocks, objects the collector tracks and the resident size."""
    def measures():
        gc.collect()
        return [getattr(sys, "gettotalrefcount", int)(), sys.getallocatedblocks(), len(gc.get_objects()), rss_bytes()]
    before = measures()
    for _ in range(rounds):
        call_all(cases)
    return [after - first for first, after in zip(before, measures())]


def wait_until(ready, seconds, what):
    """Polls until ready() is true; a fault then fails the test after `seconds` instead of hanging the suite."""
    deadline = time.monotonic() + seconds
    while not ready():
        assert time.monotonic() < deadline, f"{what}: not within {seconds} s"
        time.sleep(0.01)
