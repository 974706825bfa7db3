"""Long-lived use: repeated calls keep memory and references balanced, threads get their own
results, and hostile files end with the exact result or the exact failure in linear time."""

import errno
import functools
import operator
import gc
import math
import os
import pathlib
import resource
import subprocess
import sys
import threading
import time
import tracemalloc
from fractions import Fraction

import pytest

import skav_rs
from conftest import NOT_UTF8, UNWRAP_ERR, UNWRAP_NONE, case, f32, float_error, int_error, is_panic, os_error, same

ROOT = pathlib.Path(__file__).resolve().parent.parent
TDDFT_SAMPLE = (ROOT / "samples" / "formaldehyde_tddft.out").read_bytes()
CASSCF_SAMPLE = (ROOT / "samples" / "water_casscf.out").read_bytes()
tddft, casscf = skav_rs.parse_tddft, skav_rs.parse_casscf

SOC = "SKAV SPIN-ORBIT COUPLING CALCULATION\nEigenvectors of the SOC matrix:\n E(cm-1) Weight Real Image : Root Spin Ms\n"
COMPOSITION = "LOEWDIN ORBITAL-COMPOSITIONS\n----------------------------\n\n"
BLOCK_HEAD = "  1 2 3 4 5\n  -1.5 -0.5 0.5 1.5 2.5\n  2.0 2.0 1.0 0.0 0.0\n  -------- --------\n"
# Lines before a section, so that every call reads and skips a sizeable text.
PADDING = "  iteration   energy  change   converged: no\n" * 1500


def outcome(function, path):
    """("result", value) or ("panic", message); any other exception propagates."""
    try:
        return "result", function(path)
    except BaseException as exc:  # noqa: B036 - PanicException derives from BaseException
        if not is_panic(exc):
            raise
        return "panic", exc.args[0]


def panic(message):
    return ("panic", message)


def result(value):
    return ("result", value)


# ---------------------------------------------------------------------------------------------
# Balance: thousands of calls on good and bad files leave nothing behind.


def balance_cases(write_file, tmp_path):
    """(function, positional arguments, expected exception type or None, message) for every kind of
    ending: results, read failures, each parser failure, argument errors. BaseException stands for
    PanicException, which cannot be imported."""
    rows = " 0.25 0.5 -0.75 : 1 2 -3\n" * 400  # tokens built before the failure is found
    soc = PADDING + SOC + "STATE 1: 0.5\n" + rows
    contributions = " 0 O s 1 2 3 4 5\n" * 400
    composition = PADDING + COMPOSITION + BLOCK_HEAD + contributions
    good = {tddft: write_file(PADDING.encode() + TDDFT_SAMPLE), casscf: write_file(PADDING.encode() + CASSCF_SAMPLE)}
    panics = {
        "no-section": (tddft, write_file(PADDING), UNWRAP_NONE),
        "blank-line-in-block": (tddft, write_file(soc + "   \n"), UNWRAP_NONE),
        "float-empty": (tddft, write_file(soc + "STATE 2:\n"), float_error("Empty")),
        "float-invalid": (tddft, write_file(soc + " abc 1 1 : 1 1 1\n"), float_error("Invalid")),
        "int-empty": (tddft, write_file(soc + "STATE : 1\n"), int_error("Empty")),
        "int-invalid-digit": (tddft, write_file(soc + "STATE 1x: 1\n"), int_error("InvalidDigit")),
        "int-pos-overflow": (tddft, write_file(soc + " 1 1 1 : 256 1 1\n"), int_error("PosOverflow")),
        "int-neg-overflow": (tddft, write_file(soc + " 1 1 1 : 1 1 -129\n"), int_error("NegOverflow")),
        "encountered-contribution": (casscf, write_file(PADDING + COMPOSITION + " 0 O s\n"), "Encountered Contribution"),
        "encountered-divider": (casscf, write_file(PADDING + COMPOSITION + "--------\n"), "Encountered Divider"),
        "divider-expected": (casscf, write_file(PADDING + COMPOSITION + "1 2 3 4 5\n" * 4), "Table divider expected"),
        "tokens-end": (casscf, write_file(composition), "Unexpected token None"),
        "section-rule": (casscf, write_file(composition + "-" * 30 + "\n"), "Unexpected token Some(SectionDivider)"),
        "header-in-rows": (casscf, write_file(composition + "6 7 8 9 10\n"),
                           'Unexpected token Some(TableHeader(["6", "7", "8", "9", "10"]))'),
        "missing-value": (casscf, write_file(composition + " 1 H s 1 2 3 4\n\n"), UNWRAP_NONE),
        "casscf-float": (casscf, write_file(composition + " 1 H s 1 2 3 4 5%\n\n"), float_error("Invalid")),
        "casscf-u32": (casscf, write_file(composition + " 3a H s 1 2 3 4 5\n\n"), int_error("InvalidDigit")),
        "not-utf8": (casscf, write_file(PADDING.encode() + CASSCF_SAMPLE + b"\xff"), NOT_UTF8),
        "missing-file": (tddft, str(tmp_path / "absent.out"), os_error(errno.ENOENT, "NotFound")),
        "directory": (casscf, str(tmp_path), os_error(errno.EISDIR, "IsADirectory")),
        "nul-in-path": (tddft, good[tddft] + "\0",
                        f'{UNWRAP_ERR}Error {{ kind: InvalidInput, message: "file name contained an unexpected NUL byte" }}'),
    }
    cases = [(function, (path,), None, None) for function, path in good.items()]
    cases.append((casscf, (write_file(PADDING),), None, None))  # no section: None
    cases += [(function, (path,), BaseException, message) for function, path, message in panics.values()]
    cases += [
        (tddft, (), TypeError, "parse_tddft() missing 1 required positional argument: 'filename'"),
        (casscf, (good[casscf].encode(),), TypeError, "argument 'filename': 'bytes' object cannot be converted to "
         "'PyString'"),
        (tddft, ("input-\udcff.out",), UnicodeEncodeError, None),
    ]
    return cases


def call_all(cases):
    for function, args, error, message in cases:
        if error is None:
            function(*args)
            continue
        try:
            function(*args)
        except error as exc:  # noqa: B036 - PanicException derives from BaseException
            wrong_type = error is BaseException and not is_panic(exc)
            if wrong_type or (message is not None and str(exc) != message):
                raise AssertionError(f"{function.__name__}{args}: {exc!r}") from None
        else:
            raise AssertionError(f"{function.__name__}{args} did not fail")


def under_address_sanitizer():
    text = pathlib.Path("/proc/self/maps").read_text()
    return "libasan" in text or "libclang_rt.asan" in text


def rss_bytes():
    return int(pathlib.Path("/proc/self/statm").read_text().split()[1]) * resource.getpagesize()


ROUNDS = 200  # 29 calls a round: 5,800 calls


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="reads the resident size from /proc")
def test_repeated_calls_leave_no_memory_growth(write_file, tmp_path):
    cases = balance_cases(write_file, tmp_path)
    tracemalloc.start()
    try:
        for _ in range(20):
            call_all(cases)
        gc.collect()
        traced, blocks, rss = tracemalloc.get_traced_memory()[0], sys.getallocatedblocks(), rss_bytes()
        for _ in range(ROUNDS):
            call_all(cases)
        gc.collect()
        traced_growth, block_growth = tracemalloc.get_traced_memory()[0] - traced, sys.getallocatedblocks() - blocks
        rss_growth = rss_bytes() - rss
    finally:
        tracemalloc.stop()
    # A text, token list or Python object kept by each call would add megabytes.
    assert traced_growth < 64 << 10, traced_growth
    assert block_growth < 200, block_growth
    # ASan holds freed memory back for a while; there, its leak checker does this part.
    assert rss_growth < 8 << 20 or under_address_sanitizer(), rss_growth


def panics_alive():
    return sum(map(is_panic, gc.get_objects()))


def test_repeated_calls_leave_no_stray_references(write_file, tmp_path):
    cases = balance_cases(write_file, tmp_path)
    arguments = [arg for _, args, _, _ in cases for arg in args]
    call_all(cases)
    gc.collect()
    counts = [sys.getrefcount(arg) for arg in arguments]
    objects, panics = len(gc.get_objects()), panics_alive()
    for _ in range(ROUNDS // 4):
        call_all(cases)
    gc.collect()
    assert [sys.getrefcount(arg) for arg in arguments] == counts
    assert len(gc.get_objects()) - objects <= 5
    assert panics_alive() == panics


def nodes(tree, path=()):
    """Paths to every dict, list, float and str of a result, keys excepted."""
    yield path
    if isinstance(tree, dict):
        for key, value in tree.items():
            yield from nodes(value, path + (key,))
    elif isinstance(tree, list):
        for i, value in enumerate(tree):
            yield from nodes(value, path + (i,))


def shared(value):
    """Small ints and one-character strs are the interpreter's own shared objects."""
    return isinstance(value, int) or (isinstance(value, str) and len(value) <= 1)


def at(tree, path):
    return functools.reduce(operator.getitem, path, tree)


@pytest.mark.parametrize(
    "function, content",
    [
        case("tddft-sample", tddft, TDDFT_SAMPLE),
        case("casscf-sample", casscf, CASSCF_SAMPLE),
        case("tddft-many", tddft, SOC + "".join(f"STATE {k}: {k}.5\n 0.5 1e{k} -2 : 1 2 -3\n" for k in range(300))),
        case("casscf-many", casscf, COMPOSITION + (BLOCK_HEAD + " 12 Fe dxy 1 2 3 4 5\n" * 40 + "\n") * 30),
    ],
)
def test_result_tree_is_held_only_by_the_caller(write_file, function, content):
    path = write_file(content)
    gc.collect()
    objects, blocks = len(gc.get_objects()), sys.getallocatedblocks()
    result = function(path)
    paths = list(nodes(result))
    owned = [p for p in paths if not shared(at(result, p))]
    assert len(owned) > len(paths) // 2
    wrong = {p: n for p in owned if (n := sys.getrefcount(at(result, p))) != 2}
    assert wrong == {}  # 2: its container (or `result`) and the call's argument
    dicts = [at(result, p) for p in paths if isinstance(at(result, p), dict)]
    del paths, owned, wrong  # the paths hold the keys
    keys = [key for d in dicts for key in d if len(key) > 1]
    assert {sys.getrefcount(keys[i]) for i in range(len(keys))} == {3}  # its dict, `keys`, the argument
    del result, keys, dicts
    gc.collect()
    assert len(gc.get_objects()) - objects <= 2
    assert sys.getallocatedblocks() - blocks < 50


def thread_files(k, failure):
    """Five files for thread k: values and failures differ from those of the other threads."""
    vectors = "".join(f"STATE {k * 100 + i}: {k}.{i}\n {i} {k} -{i} : {k} {i} -{k}\n" for i in range(50))
    orbitals = f" {k} {k + 1} {k + 2} {k + 3} {k + 4}\n 1 2 3 4 5\n 1 2 3 4 5\n--------\n"
    orbitals += f" {k} El{k} t{k} 1 2 3 4 {k}\n" * 20 + "\n"
    unclosed = f"{k} 2 3 4 5\n1 2 3 4 5\n1 2 3 4 5\n--------\n 1 H s 1 2 3 4 5\n" + "-" * (30 + k)
    return [(tddft, SOC + vectors), (casscf, COMPOSITION + orbitals), (tddft, SOC + "STATE 1: 1\n 1 1 1 : 1 1 1\n" * 20 + failure),
            (casscf, COMPOSITION + unclosed), (casscf, f"no composition here {k}\n")]


def test_threads_calling_both_functions_get_their_own_results(write_file):
    failures = [" abc 1 1 : 1 1 1\n", " 1 1 1 : 256 1 1\n", "STATE :\n", "   \n", " 1 1 1 : 1 1 -129\n", "STATE 1x: 1\n"]
    work = [[(function, path, outcome(function, path)) for function, path in
             ((function, write_file(text)) for function, text in thread_files(k, failure))]
            for k, failure in enumerate(failures)]
    kinds = [[kind for _, _, (kind, _) in calls] for calls in work]
    assert kinds == [["result", "result", "panic", "panic", "result"]] * len(failures)

    barrier = threading.Barrier(len(work))
    mismatches = []

    def run(calls):
        barrier.wait()
        for _ in range(60):
            for function, path, expected in calls:
                got = outcome(function, path)
                if not same(got, expected):
                    mismatches.append((function.__name__, path, got))

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads as often as the interpreter allows
    try:
        threads = [threading.Thread(target=run, args=(calls,)) for calls in work]
        [thread.start() for thread in threads]
        [thread.join() for thread in threads]
    finally:
        sys.setswitchinterval(interval)
    assert mismatches == []


# ---------------------------------------------------------------------------------------------
# Hostile inputs.


def timed(function, path):
    start = time.perf_counter()
    return outcome(function, path), time.perf_counter() - start


def assert_linear(function, build, size, seconds, write_file):
    """`seconds` on `size` is no more than about ten times the time taken on a tenth of it."""
    path = write_file(build(size // 10))
    small = min(timed(function, path)[1] for _ in range(3))
    os.remove(path)
    # Linear growth gives a factor near 10, quadratic near 100; the slack absorbs a busy machine.
    assert seconds <= 30 * small + 0.5, (small, seconds)


def soc_block(lines):
    return (SOC + lines + "\nafter the section\n").encode()


def elements_block(n):
    return soc_block("STATE 7: 0.5\n" + " 0.25 0.5 -0.75 : 1 2 -3\n" * (n - 1) + " 1 2 3 : 4 5 6\n")


def eigenvectors_block(n):
    return soc_block("".join(f"STATE {k}: 1.5\n" for k in range(n)))


def soc_element(w, r, i, root, spin, ms):
    return {"weight": w, "real": r, "imag": i, "root": root, "spin": spin, "ms": ms}


def check_elements(value):
    (vector,) = value["soc_matrix"]["eigenvectors"]
    elements = vector["elements"]
    assert (vector["n"], vector["energy"], len(elements)) == (7, 0.5, 1_000_000)
    assert (elements[0], elements[-1]) == (soc_element(0.25, 0.5, -0.75, 1, 2, -3), soc_element(1.0, 2.0, 3.0, 4, 5, 6))


def check_contributions(value):
    orbitals = value["orbital_contributions"]
    assert [(o["orbital_nr"], o["contributions"][0]["contribution"]) for o in orbitals] == [
        (1, 1.0), (2, 2.0), (3, 3.0), (4, 4.0), (5, math.inf)]


def check_eigenvectors(value):
    vectors = value["soc_matrix"]["eigenvectors"]
    assert (len(vectors), vectors[0], vectors[-1]) == (
        1_000_000, {"n": 0, "energy": 1.5, "elements": []}, {"n": 999_999, "energy": 1.5, "elements": []})


def one_vector(*elements):
    return result({"soc_matrix": {"eigenvectors": [{"n": 1, "energy": 1.0, "elements": list(elements)}]}})


HEAVY = pytest.mark.heavy
NONE_RESULT = result(None)
HOSTILE = [
    # name, builder, size, expected outcome per function (a function checks a result)
    case("line-of-100-MB-without-newline", lambda n: b"7" * n, 100_000_000,
         {tddft: panic(UNWRAP_NONE), casscf: NONE_RESULT}, marks=HEAVY),
    case("only-newlines", lambda n: b"\n" * n, 100_000_000, {tddft: panic(UNWRAP_NONE), casscf: NONE_RESULT}, marks=HEAVY),
    case("million-element-lines", elements_block, 1_000_000, {tddft: check_elements, casscf: NONE_RESULT}, marks=HEAVY),
    case("million-eigenvectors-without-elements", eigenvectors_block, 1_000_000,
         {tddft: check_eigenvectors, casscf: NONE_RESULT}, marks=HEAVY),
    # One table line of 100 MB: fields far apart, or one field that is nearly all of it.
    case("element-line-of-100-MB", lambda n: soc_block("STATE 1: 1\n 1" + " " * n + "2 3 : 4 5 6\n"), 100_000_000,
         {tddft: one_vector(soc_element(1.0, 2.0, 3.0, 4, 5, 6)), casscf: NONE_RESULT}, marks=HEAVY),
    case("state-word-repeated-over-100-MB", lambda n: soc_block("STATE" * (n // 5) + " 1: 1\n"), 100_000_000,
         {tddft: one_vector(), casscf: NONE_RESULT}, marks=HEAVY),
    case("contribution-of-100-MB-of-digits", lambda n: (COMPOSITION + BLOCK_HEAD + " 0 O s 1 2 3 4 " + "5" * n + "\n\n").encode(),
         100_000_000, {tddft: panic(UNWRAP_NONE), casscf: check_contributions}, marks=HEAVY),
    # Near misses of the headings: every line starts like one and is none.
    case("near-miss-headings", lambda n: (("SKAV SPIN-ORBIT COUPLING CALCULATION \n"
                                            "LOEWDIN ORBITAL-COMPOSITIONS \n") * (n // 60)).encode(), 10_000_000,
         {tddft: panic(UNWRAP_NONE), casscf: NONE_RESULT}),
    case("million-empty-table-lines", lambda n: (COMPOSITION + "\n" * n).encode(), 1_000_000,
         {tddft: panic(UNWRAP_NONE), casscf: result({"orbital_contributions": []})}),
    case("million-header-lines", lambda n: soc_block("E\n" * n), 1_000_000,
         {tddft: result({"soc_matrix": {"eigenvectors": []}}), casscf: NONE_RESULT}),
]


@pytest.mark.parametrize("build, size, expected", HOSTILE)
@pytest.mark.parametrize("function", [tddft, casscf], ids=["tddft", "casscf"])
def test_hostile_input_ends_exactly_in_linear_time(write_file, function, build, size, expected):
    path = write_file(build(size))
    want, (got, seconds) = expected[function], timed(function, path)
    os.remove(path)
    if callable(want):
        assert got[0] == "result", got
        want(got[1])
    else:
        assert same(got, want), got if got[0] == "panic" else got[0]
    del got
    assert_linear(function, build, size, seconds, write_file)


def corrupt(sample, position, insert):
    """The sample with `insert` put at the start, inside the section or at the end."""
    if position != "inside-section":
        return insert + sample if position == "first-byte" else sample + insert
    heading, value = (b"SKAV SPIN", b"0.58561") if sample is TDDFT_SAMPLE else (b"LOEWDIN ORBITAL", b"-20.66948")
    at = sample.index(value, sample.index(heading)) + 3
    return sample[:at] + insert + sample[at:]


SAMPLES = {tddft: TDDFT_SAMPLE, casscf: CASSCF_SAMPLE}


# The sample's first and last lines lie outside its section: the result stays.
@pytest.mark.parametrize("position", ["first-byte", "inside-section", "last-byte"])
@pytest.mark.parametrize("function", [tddft, casscf], ids=["tddft", "casscf"])
def test_nul_byte(write_file, function, position):
    sample = SAMPLES[function]
    want = panic(float_error("Invalid")) if position == "inside-section" else result(function(write_file(sample)))
    assert same(outcome(function, write_file(corrupt(sample, position, b"\0"))), want)


def test_nul_byte_inside_a_text_field_is_kept(write_file):
    data = CASSCF_SAMPLE.replace(b" 1 H  s ", b" 1 H\0\0 s\0 ")
    rows = casscf(write_file(data))["orbital_contributions"][0]["contributions"]
    assert [(row["element"], row["orbital_type"]) for row in rows][4] == ("H\0\0", "s\0")


@pytest.mark.parametrize("bad", [case("lone-continuation", b"\x80"), case("invalid-byte", b"\xff"),
                                 case("overlong", b"\xc0\xaf"), case("surrogate", b"\xed\xa0\x80"),
                                 case("above-max", b"\xf4\x90\x80\x80"), case("truncated-3-byte", b"\xe2\x82")])
@pytest.mark.parametrize("position", ["first-byte", "inside-section", "last-byte"])
@pytest.mark.parametrize("function", [tddft, casscf], ids=["tddft", "casscf"])
def test_invalid_utf8(write_file, function, position, bad):
    assert outcome(function, write_file(corrupt(SAMPLES[function], position, bad))) == panic(NOT_UTF8)


@pytest.mark.parametrize("cut", [1, 2, 3, 4], ids=["1-of-4", "2-of-4", "3-of-4", "whole"])
@pytest.mark.parametrize("pad", range(8))  # every alignment of the character to 8-byte words
@pytest.mark.parametrize("function", [tddft, casscf], ids=["tddft", "casscf"])
def test_four_byte_character_cut_by_end_of_file(write_file, function, pad, cut):
    sample = SAMPLES[function] + b" " * pad
    got = outcome(function, write_file(sample + "\U0001f600".encode()[:cut]))
    assert same(got, result(function(write_file(sample))) if cut == 4 else panic(NOT_UTF8))


D = 10_000  # digits
MIDPOINT = "1.000000059604644775390625"  # exactly halfway between 1 and the next 32-bit float
FLOAT_TEXTS = [
    case("huge", "1" + "0" * D, math.inf),
    case("huge-negative", "-" + "9" * D, -math.inf),
    case("all-ones", "1" * D, math.inf),
    case("tiny", "0." + "0" * D + "1", 0.0),
    case("tiny-negative", "-0." + "0" * D + "1", -0.0),
    case("long-fraction", "1." + "1" * D, f32(10 / 9)),  # 10/9 lies far from a rounding tie
    case("zeros", "0" * D, 0.0),
    case("leading-zeros", "0" * D + "2.5", 2.5),
    case("mantissa-cancels-exponent", "1" + "0" * D + "e-" + str(D), 1.0),
    case("fraction-cancels-exponent", "0." + "0" * (D - 1) + "1e" + str(D), 1.0),
    case("exponent-digits", "1e" + "9" * D, math.inf),
    case("negative-exponent-digits", "1e-" + "9" * D, 0.0),
    case("zero-times-huge-exponent", "0e" + "9" * D, 0.0),
    case("digits-and-exponent-digits", "9" * D + "e-" + "9" * D, 0.0),
    case("tie-goes-to-even", MIDPOINT + "0" * D, 1.0),
    case("just-above-tie", MIDPOINT + "0" * D + "1", float(Fraction(1) + Fraction(1, 2**23))),
]
U32_TEXTS = [
    case("nines", "9" * D, int_error("PosOverflow")),
    case("zeros", "0" * D, 0),
    case("leading-zeros", "+" + "0" * D + "4294967295", 4294967295),
    case("overflow-before-bad-digit", "1" * D + "x", int_error("PosOverflow")),
    case("sign", "-" + "0" * D, int_error("InvalidDigit")),
]
U8_TEXTS = [
    case("nines", "9" * D, int_error("PosOverflow")),
    case("leading-zeros", "0" * D + "255", 255),
    case("sign", "-" + "0" * D, int_error("InvalidDigit")),
]
I8_TEXTS = [
    case("nines", "9" * D, int_error("PosOverflow")),
    case("negative-nines", "-" + "9" * D, int_error("NegOverflow")),
    case("negative-leading-zeros", "-" + "0" * D + "128", -128),
    case("positive-leading-zeros", "+" + "0" * D + "127", 127),
]
SOC_FIELDS = {"n": "1", "energy": "0.5", "weight": "0.25", "real": "0.75", "imag": "-1.5", "root": "1", "spin": "2", "ms": "-3"}
COMPOSITION_FIELDS = {"orbital_nr": "1", "energy": "-1.5", "occupation": "2.0", "atom_nr": "0", "contribution": "50.0"}


def number_file(function, field, text):
    if function is tddft:
        return soc_block("STATE {n}: {energy}\n {weight} {real} {imag} : {root} {spin} {ms}\n".format(**{**SOC_FIELDS, field: text}))
    table = " {orbital_nr} 2 3 4 5\n {energy} 0 0 0 0\n {occupation} 0 0 0 0\n--------\n {atom_nr} O s {contribution} 0 0 0 0\n\n"
    return (COMPOSITION + table.format(**{**COMPOSITION_FIELDS, field: text})).encode()


def number_in(value, function, field):
    if function is tddft:
        vector = value["soc_matrix"]["eigenvectors"][0]
        return vector[field] if field in ("n", "energy") else vector["elements"][0][field]
    orbital = value["orbital_contributions"][0]
    return orbital[field] if field in orbital else orbital["contributions"][0][field]


NUMBER_CASES = [
    pytest.param(function, field, text, expected, id=f"{field}-{param.id}")
    for function, fields, texts in [
        (tddft, ["energy", "weight", "real", "imag"], FLOAT_TEXTS),
        (casscf, ["energy", "occupation", "contribution"], FLOAT_TEXTS),
        (tddft, ["n"], U32_TEXTS),
        (casscf, ["orbital_nr", "atom_nr"], U32_TEXTS),
        (tddft, ["root", "spin"], U8_TEXTS),
        (tddft, ["ms"], I8_TEXTS),
    ]
    for field in fields
    for param in texts
    for text, expected in [param.values]
]


@pytest.mark.parametrize("function, field, text, expected", NUMBER_CASES)
def test_ten_thousand_digit_number(write_file, function, field, text, expected):
    got = outcome(function, write_file(number_file(function, field, text)))
    if isinstance(expected, str):
        assert got == panic(expected)
    else:
        assert got[0] == "result" and same(number_in(got[1], function, field), expected), got


@pytest.mark.parametrize("function", [tddft, casscf], ids=["tddft", "casscf"])
def test_long_numbers_take_linear_time(write_file, function):
    def build(digits):
        return number_file(function, "energy", "1" * digits + "e-" + str(digits))

    got, seconds = timed(function, write_file(build(10_000_000)))
    assert same(number_in(got[1], function, "energy"), f32(1 / 9))
    assert_linear(function, build, 10_000_000, seconds, write_file)


# Writes a file into the FIFO in small pieces, with pauses, so that reads come back short.
FIFO_WRITER = """
import sys, time
with open(sys.argv[1], "wb") as fifo, open(sys.argv[2], "rb") as source:
    while piece := source.read(50_000):
        fifo.write(piece)
        fifo.flush()
        time.sleep(0.001)
"""


@pytest.mark.parametrize(
    "content, kinds",
    [
        # Beyond 4 MiB: the buffer grows past the size from which large texts are mapped.
        case("5-MB-of-output", PADDING.encode() * 120, ("result", "result")),
        case("nothing", b"", ("panic", "result")),
        case("not-utf8-at-the-end", PADDING.encode() * 120 + b"\xc3", ("panic", "panic")),
    ],
)
@pytest.mark.parametrize("function", [tddft, casscf], ids=["tddft", "casscf"])
def test_fifo_fed_by_another_process_is_read_to_its_end(write_file, tmp_path, function, content, kinds):
    data = content + SAMPLES[function] if content.endswith(b"\n") else content
    source = write_file(data)
    expected = outcome(function, source)
    assert expected[0] == kinds[function is casscf]
    os.mkfifo(fifo := tmp_path / "fifo")
    writer = subprocess.Popen([sys.executable, "-c", FIFO_WRITER, str(fifo), source])
    try:
        got = outcome(function, str(fifo))
        assert writer.wait(timeout=120) == 0
    finally:
        writer.kill()
    assert same(got, expected)
