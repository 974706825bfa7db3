"""The skav_rs module boundary: attributes, argument binding, reading files, failures, result objects."""

import errno
import gc
import importlib.util
import inspect
import json
import os
import pathlib
import re
import subprocess
import sys

import pytest

import skav_rs
from conftest import NOT_UTF8, UNWRAP_ERR, UNWRAP_NONE, case, is_panic, os_error, outcome, raises_panic

FUNCTIONS = ["parse_tddft", "parse_casscf"]
GOOD = "SKAV SPIN-ORBIT COUPLING CALCULATION\nEigenvectors of the SOC matrix:\n----\nSTATE 70000: 0.5\n0.25 0.75 -1.5 : 1 2 -3\n"
GOOD_ELEMENT = {"weight": 0.25, "real": 0.75, "imag": -1.5, "root": 1, "spin": 2, "ms": -3}
GOOD_RESULT = {"soc_matrix": {"eigenvectors": [{"n": 70000, "energy": 0.5, "elements": [GOOD_ELEMENT]}]}}
CASSCF_HEADING = "LOEWDIN ORBITAL-COMPOSITIONS"
MODULE_DIR = os.path.dirname(os.path.abspath(skav_rs.__file__))
REPORT_HEAD = re.compile(r"thread '<unnamed>' panicked at src/[^\s:]+\.(?:cpp|hpp):\d+:\d+:")


def run_python(code, *args, env=None):
    """Runs code in a fresh interpreter with an environment holding nothing but the module's location."""
    env = {"PYTHONPATH": MODULE_DIR, **(env or {})}
    return subprocess.run([sys.executable, "-c", code, *args], env=env, capture_output=True, timeout=120)


def catch(call):
    try:
        call()
    except BaseException as exc:  # noqa: B036 - PanicException derives from BaseException
        return exc
    raise AssertionError("no exception raised")


def test_module_attributes():
    assert (skav_rs.__all__, skav_rs.__doc__, skav_rs.__name__) == (FUNCTIONS, "", "skav_rs")
    interpreter_given = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}
    assert set(vars(skav_rs)) == interpreter_given | {"__all__", *FUNCTIONS}
    assert importlib.util.find_spec("pyo3_runtime") is None


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_attributes(name):
    function = getattr(skav_rs, name)
    assert type(function).__name__ == "builtin_function_or_method"
    assert (function.__name__, function.__qualname__, function.__module__) == (name, name, "skav_rs")
    assert (function.__text_signature__, function.__doc__, function.__self__) == ("(filename)", None, skav_rs)
    parameter = inspect.Parameter("filename", inspect.Parameter.POSITIONAL_OR_KEYWORD)
    assert list(inspect.signature(function).parameters.values()) == [parameter]


A = "/nonexistent/skav-input.out"
TWO = "{}() takes 1 positional arguments but 2 were given"
UNEXPECTED = "{}() got an unexpected keyword argument "


@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize("args, kwargs, message", [
    case("missing", (), {}, "{}() missing 1 required positional argument: 'filename'"),
    case("two-positional", (A, A), {}, TWO),
    case("three-positional", (A,) * 3, {}, "{}() takes 1 positional arguments but 3 were given"),
    case("multiple-values", (A,), {"filename": A}, "{}() got multiple values for argument 'filename'"),
    case("unexpected-keyword-before-missing", (), {"path": A}, UNEXPECTED + "'path'"),
    case("keyword-case-sensitive", (A,), {"Filename": A}, UNEXPECTED + "'Filename'"),
    case("first-unexpected-keyword-after-filename", (), {"filename": A, "mode": 1, "b": 2}, UNEXPECTED + "'mode'"),
    case("positional-count-before-unexpected-keyword", (A, A), {"mode": 1}, TWO),
    case("keywords-in-order", (A,), {"mode": 1, "filename": A}, UNEXPECTED + "'mode'"),
    case("count-before-type", (3, 4), {}, TWO),
])
def test_argument_binding_errors(name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(skav_rs, name)(*args, **kwargs)
    assert type(info.value) is TypeError and str(info.value) == message.format(name)


class Holder:
    class Inner:
        pass


@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize("by_keyword", [False, True], ids=["positional", "keyword"])
@pytest.mark.parametrize("value, type_name", [
    case("int", 3, "int"), case("bytes", b"/tmp/x.out", "bytes"), case("bytearray", bytearray(b"x"), "bytearray"),
    case("none", None, "NoneType"), case("qualified-name", Holder.Inner(), "Holder.Inner"),
    case("path-concrete-class", pathlib.Path("/tmp/x.out"), type(pathlib.Path()).__qualname__),
])
def test_filename_not_str(name, by_keyword, value, type_name):
    function = getattr(skav_rs, name)
    with pytest.raises(TypeError) as info:
        function(filename=value) if by_keyword else function(value)
    assert type(info.value) is TypeError and info.value.__cause__ is None
    assert str(info.value) == f"argument 'filename': '{type_name}' object cannot be converted to 'PyString'"


def test_filename_forms(write_file, tmp_path, monkeypatch):
    class Text(str):
        def __str__(self):
            return A

        __fspath__ = __str__

    path = write_file(GOOD, name="good.out")
    assert skav_rs.parse_tddft(filename=path) == skav_rs.parse_tddft(path) == skav_rs.parse_tddft(Text(path)) == GOOD_RESULT
    empty = write_file("")
    assert skav_rs.parse_casscf(filename=empty) is skav_rs.parse_casscf(empty) is None
    for odd in ("~", "$HOME"):
        (tmp_path / odd).mkdir()
        (tmp_path / odd / "in.out").write_text(GOOD)
    monkeypatch.chdir(tmp_path)
    for relative in ("good.out", "./~/../good.out", "~/in.out", "$HOME/in.out"):
        assert skav_rs.parse_tddft(relative) == GOOD_RESULT, relative


@pytest.mark.parametrize("name", FUNCTIONS)
def test_lone_surrogate_filename(name):
    with pytest.raises(UnicodeEncodeError) as expected:
        "input-\udcff.out".encode("utf-8")
    with pytest.raises(UnicodeEncodeError) as info:
        getattr(skav_rs, name)("input-\udcff.out")
    assert type(info.value) is UnicodeEncodeError and str(info.value) == str(expected.value)


@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize("path, message", [
    case("missing-file", "{tmp}/absent.out", os_error(errno.ENOENT, "NotFound")),
    case("empty-path", "", os_error(errno.ENOENT, "NotFound")),
    case("directory", "{tmp}", os_error(errno.EISDIR, "IsADirectory")),
    case("file-as-directory", "{tmp}/plain.out/inner.out", os_error(errno.ENOTDIR, "NotADirectory")),
    case("name-too-long", "{tmp}/" + "a" * 300, os_error(errno.ENAMETOOLONG, "InvalidFilename")),
    case("symlink-loop", "{tmp}/loop", os_error(errno.ELOOP, "FilesystemLoop")),
    case("nul-in-path", "{tmp}/plain.out\0",
         f'{UNWRAP_ERR}Error {{ kind: InvalidInput, message: "file name contained an unexpected NUL byte" }}'),
])
def test_read_failure(tmp_path, name, path, message):
    (tmp_path / "plain.out").write_text(GOOD)
    os.symlink("loop", tmp_path / "loop")
    with raises_panic(message):
        getattr(skav_rs, name)(path.format(tmp=tmp_path))


def utf8_form(code):
    """The UTF-8 bit pattern of a code point, also of surrogates and of values past U+10FFFF."""
    if code < 0x80:
        return bytes([code])
    length = 2 if code < 0x800 else 3 if code < 0x10000 else 4
    tail = [0x80 | (code >> 6 * k) & 0x3F for k in reversed(range(length - 1))]
    return bytes([(0xF00 >> length) & 0xFF | code >> 6 * (length - 1), *tail])


# Each side of every boundary the check draws, and the forms it must refuse.
SEQUENCES = [
    *(case(f"U+{code:04X}", utf8_form(code)) for code in [0x7F, 0x80, 0x7FF, 0x800, 0xFFF, 0x1000, 0xCFFF, 0xD000, 0xD7FF,
                                                          0xD800, 0xDFFF, 0xE000, 0xFFFF, 0x10000, 0x3FFFF, 0x40000,
                                                          0xFFFFF, 0x100000, 0x10FFFF, 0x110000]),
    *(case(f"overlong {bad.hex()}", bad) for bad in [b"\xc0\x80", b"\xc1\xbf", b"\xe0\x80\x80", b"\xe0\x9f\xbf",
                                                     b"\xf0\x80\x80\x80", b"\xf0\x8f\xbf\xbf"]),
    case("lone-continuation", b"\x80"), case("invalid-byte", b"\xff"), case("lead-above-f4", b"\xf5\x80\x80\x80"),
    case("cut-4-byte", "\U0001f600".encode()[:3]), case("latin-1-text", "caf\u00e9".encode("latin-1")),
]


@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize("sequence", SEQUENCES)
def test_utf8_check_agrees_with_python(write_file, name, sequence):
    try:
        sequence.decode("utf-8")
        expected = outcome(getattr(skav_rs, name), write_file(GOOD))
    except UnicodeDecodeError:
        expected = ("panic", NOT_UTF8)
    # At the start, inside the section (invalid text only) and at the end, at every alignment to 8-byte words.
    data = GOOD.encode()
    for pad in range(8):
        for at in (0, len(data)) if expected[0] == "result" else (0, data.index(b"0.75"), len(data)):
            line = b"\n" + sequence + (b"\n" if at < len(data) else b"")  # the last bytes of the file, at the end
            got = outcome(getattr(skav_rs, name), write_file(b" " * pad + data[:at] + line + data[at:]))
            assert got == expected, (pad, at)


def test_file_contents_read_whole(write_file, tmp_path):
    assert skav_rs.parse_tddft(write_file("x" * 100 + "\n" * 3_000_000 + GOOD)) == GOOD_RESULT
    assert skav_rs.parse_tddft(write_file("\ufeff\n" + GOOD)) == GOOD_RESULT
    assert skav_rs.parse_casscf(write_file(CASSCF_HEADING)) == {"orbital_contributions": []}
    assert skav_rs.parse_casscf(write_file("\ufeff" + CASSCF_HEADING)) is None
    with raises_panic(UNWRAP_NONE):
        skav_rs.parse_tddft(write_file("\ufeff" + GOOD))
    # A pipe fed in short pieces, with pauses, past the size from which large texts are mapped.
    os.mkfifo(fifo := tmp_path / "pipe")
    writer = subprocess.Popen([sys.executable, "-c", FIFO_WRITER, str(fifo), write_file("x\n" * 3_000_000 + GOOD)])
    try:
        assert skav_rs.parse_tddft(str(fifo)) == GOOD_RESULT
    finally:
        assert writer.wait(timeout=60) == 0


FIFO_WRITER = """
import sys, time
with open(sys.argv[1], "wb") as fifo, open(sys.argv[2], "rb") as source:
    while piece := source.read(500_000):
        fifo.write(piece)
        fifo.flush()
        time.sleep(0.001)
"""


def test_panic_exception(write_file):
    try:
        raise ValueError("handled")
    except ValueError:
        first = catch(lambda: skav_rs.parse_tddft(write_file("")))
    assert repr(first.__context__) == "ValueError('handled')"
    second, kind = catch(lambda: skav_rs.parse_casscf(write_file(b"\xff"))), type(first)
    assert is_panic(first) and type(second) is kind
    assert (kind.__name__, kind.__qualname__, kind.__module__) == ("PanicException", "PanicException", "pyo3_runtime")
    assert kind.__bases__ == (BaseException,) and not issubclass(kind, Exception)
    assert kind.__doc__.startswith("\n") and kind.__doc__.endswith("\n")
    assert first.args == (UNWRAP_NONE,) and str(first) == UNWRAP_NONE and not hasattr(skav_rs, "PanicException")
    assert skav_rs.parse_tddft(write_file(GOOD)) == GOOD_RESULT


FAILING_CALLS = """
import io, sys, skav_rs
sys.stderr = io.StringIO()
try:
    skav_rs.parse_tddft()
except TypeError:
    pass
skav_rs.parse_tddft(sys.argv[1])
for path in sys.argv[2:]:
    try:
        skav_rs.parse_tddft(path)
    except BaseException as exc:
        print(exc)
"""


def test_failure_report(write_file, tmp_path):
    args = (write_file(GOOD), str(tmp_path / "absent.out"), write_file(""))
    missing = os_error(errno.ENOENT, "NotFound")
    plain = run_python(FAILING_CALLS, *args)
    assert plain.returncode == 0 and plain.stdout.decode().splitlines() == [missing, UNWRAP_NONE], plain.stderr
    lines = plain.stderr.decode().split("\n")
    assert len(lines) == 6 and lines[5] == "", lines
    assert REPORT_HEAD.fullmatch(lines[0]) and REPORT_HEAD.fullmatch(lines[3]), lines
    assert (lines[1], lines[4]) == (missing, UNWRAP_NONE)
    note = lines[2]
    assert note and not note.startswith("thread ")
    traced = run_python(FAILING_CALLS, *args, env={"SKAV_RS_BACKTRACE": "1"})
    text = traced.stderr.decode()
    assert traced.returncode == 0 and REPORT_HEAD.fullmatch(text.split("\n")[0]), text
    assert text.split("\n")[1] == missing and note not in text


SECOND_INIT = """
import importlib, json, sys, skav_rs
first = skav_rs
del sys.modules["skav_rs"]
try:
    importlib.import_module("skav_rs")
except BaseException as exc:
    print(type(exc).__name__, exc)
else:
    print("imported twice")
print(json.dumps(first.parse_tddft(sys.argv[1]), sort_keys=True))
print(first.parse_casscf(filename=sys.argv[2]))
"""


def test_second_initialisation(write_file):
    proc = run_python(SECOND_INIT, write_file(GOOD), write_file(""))
    assert proc.returncode == 0, proc.stderr
    error, result, casscf = proc.stdout.decode().splitlines()
    assert error == "ImportError skav_rs may only be initialized once per interpreter process"
    assert (result, casscf) == (json.dumps(GOOD_RESULT, sort_keys=True), "None")


DUMP_SORTED = "import json, sys, skav_rs\nprint(json.dumps(skav_rs.parse_tddft(sys.argv[1]), sort_keys=True))"


def test_result_keys_and_their_order(write_file):
    path = write_file(GOOD.replace("0.25 0.75 -1.5 : 1 2 -3\n", "".join(f"0.5 0.5 0.5 : {k} 1 1\n" for k in range(64))))
    elements = [{"weight": 0.5, "real": 0.5, "imag": 0.5, "root": k, "spin": 1, "ms": 1} for k in range(64)]
    expected = {"soc_matrix": {"eigenvectors": [{"n": 70000, "energy": 0.5, "elements": elements}]}}
    results = [skav_rs.parse_tddft(path) for _ in range(3)]
    dumps = {json.dumps(result, sort_keys=True) for result in results}
    dumps |= {run_python(DUMP_SORTED, path).stdout.decode().strip() for _ in range(3)}
    assert dumps == {json.dumps(expected, sort_keys=True)}
    orders = {tuple(element) for result in results for element in result["soc_matrix"]["eigenvectors"][0]["elements"]}
    assert len(orders) > 1, "every element dict lists its keys in the same order"


OUT_OF_MEMORY = """
import resource, sys, skav_rs
resource.setrlimit(resource.RLIMIT_AS, (2 << 30, resource.RLIM_INFINITY))
for path in sys.argv[1:]:
    try:
        skav_rs.parse_tddft(path)
    except MemoryError:
        print("MemoryError")
    else:
        print("parsed")
"""


@pytest.mark.skipif(sys.platform != "linux", reason="address-space limits as on Linux")
def test_memory_that_cannot_be_obtained_raises_memory_error(write_file, tmp_path):
    with open(huge := tmp_path / "sparse.out", "wb") as file:
        file.truncate(16 << 30)  # sparse: takes no disk space
    proc = run_python(OUT_OF_MEMORY, str(huge), write_file(GOOD))
    assert (proc.returncode, proc.stdout.decode().split(), proc.stderr) == (0, ["MemoryError", "parsed"], b"")


@pytest.mark.parametrize("enabled", [True, False], ids=["collector-on", "collector-off"])
def test_garbage_collector_state_is_kept(write_file, enabled):
    was = gc.isenabled()
    try:
        (gc.enable if enabled else gc.disable)()
        skav_rs.parse_tddft(write_file(GOOD))
        catch(lambda: skav_rs.parse_tddft(write_file("")))
        assert gc.isenabled() is enabled
    finally:
        (gc.enable if was else gc.disable)()
