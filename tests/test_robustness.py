"""Long-lived use: calls leave memory and references balanced, and hostile files end with the exact
result or failure in linear time and bounded memory."""

import errno
import gc
import pathlib
import re
import sys
import time

import pytest

import skav_rs
from conftest import NOT_UTF8, SOC, UNDER_ASAN, UNWRAP_NONE, case, float_error, growth, int_error, os_error, outcome, rss_bytes

ROOT = pathlib.Path(__file__).resolve().parent.parent
SAMPLES = {"tddft": (ROOT / "samples" / "formaldehyde_tddft.out").read_bytes(),
           "casscf": (ROOT / "samples" / "water_casscf.out").read_bytes()}
tddft, casscf = skav_rs.parse_tddft, skav_rs.parse_casscf
COMPOSITION = "LOEWDIN ORBITAL-COMPOSITIONS\n----------------------------\n\n"
BLOCK_HEAD = "  1 2 3 4 5\n  -1.5 -0.5 0.5 1.5 2.5\n  2.0 2.0 1.0 0.0 0.0\n  -------- --------\n"
PADDING = "  iteration   energy  change   converged: no\n" * 1500  # every call skips a sizeable text


def endings(write_file, tmp_path):
    """(function, arguments, expected outcome or exception type): every way a call can end, after
    tokens and records have been built."""
    soc = PADDING + SOC + "STATE 1: 0.5\n" + " 0.25 0.5 -0.75 : 1 2 -3\n" * 400
    table = PADDING + COMPOSITION + BLOCK_HEAD + " 0 O s 1 2 3 4 5\n" * 400
    good = {f: write_file(PADDING.encode() + SAMPLES[f.__name__[6:]]) for f in (tddft, casscf)}
    panics = [(tddft, PADDING, UNWRAP_NONE), (tddft, soc + "   \n", UNWRAP_NONE), (tddft, soc + "STATE 2:\n", float_error("Empty")),
              (tddft, soc + " 1 1 1 : 1 1 -129\n", int_error("NegOverflow")), (casscf, table, "Unexpected token None"),
              (casscf, table + "6 7 8 9 10\n", 'Unexpected token Some(TableHeader(["6", "7", "8", "9", "10"]))'),
              (casscf, table + " 1 H s 1 2 3 4\n\n", UNWRAP_NONE), (casscf, table + " 3a H s 1 2 3 4 5\n\n", int_error("InvalidDigit")),
              (casscf, PADDING + COMPOSITION + "--------\n", "Encountered Divider"), (casscf, table.encode() + b"\xff", NOT_UTF8)]
    return [
        *((f, (path,), ("result", f(path))) for f, path in good.items()), (casscf, (write_file(PADDING),), ("result", None)),
        *((f, (write_file(text),), ("panic", message)) for f, text, message in panics),
        (tddft, (str(tmp_path / "absent.out"),), ("panic", os_error(errno.ENOENT, "NotFound"))),
        (tddft, (), TypeError), (casscf, (good[casscf].encode(),), TypeError), (tddft, ("input-\udcff.out",), UnicodeEncodeError),
    ]


@pytest.mark.skipif(sys.platform != "linux", reason="reads the resident size from /proc")
def test_calls_leave_no_memory_or_references_behind(write_file, tmp_path):
    cases = endings(write_file, tmp_path)
    arguments = [arg for _, args, _ in cases for arg in args]
    growth(cases, 20)  # what the first calls create lives as long as the interpreter
    counts = [sys.getrefcount(arg) for arg in arguments]
    idle, busy = growth(cases, 0), growth(cases, 150)  # 2,850 calls
    references, blocks, objects, rss = (b - i for b, i in zip(busy, idle))
    # One reference or object kept by each call would add thousands; a text or token list, megabytes.
    assert references == 0 and blocks < 200 and objects <= 5, (references, blocks, objects)
    assert [sys.getrefcount(arg) for arg in arguments] == counts
    # Under ASan its leak checker does this part.
    assert rss < 8 << 20 or UNDER_ASAN


@pytest.mark.parametrize("function, content", [
    case("tddft", tddft, SOC + "".join(f"STATE {k}: {k}.5\n 0.5 1e{k % 30} -2 : 1 2 -3\n" for k in range(300))),
    case("casscf", casscf, COMPOSITION + (BLOCK_HEAD + " 12 Fe dxy 1 2 3 4 5\n" * 40 + "\n") * 30),
])
def test_result_tree_is_held_only_by_the_caller(write_file, function, content):
    def reference_counts(tree):
        """How often each container, float, str and key of a tree is referenced, as read here."""
        containers, stack = [], [tree]
        while stack:
            containers.append(stack.pop())
            stack += [child for child in (containers[-1].values() if isinstance(containers[-1], dict) else containers[-1])
                      if isinstance(child, (dict, list))]
        # Small ints and one-character strs are the interpreter's shared objects.
        leaves = [sys.getrefcount(v) for c in containers for v in (c.values() if isinstance(c, dict) else c)
                  if isinstance(v, float) or (isinstance(v, str) and len(v) > 1)]
        keys = {sys.getrefcount(k) for c in containers if isinstance(c, dict) for k in c if len(k) > 1}
        return len(containers) + len(leaves), sys.getrefcount(containers[0]), {sys.getrefcount(c) for c in containers[1:]}, \
            set(leaves), keys

    path = write_file(content)
    gc.collect()
    blocks = sys.getallocatedblocks()
    size, *counts = reference_counts(function(path))
    # Built here, each object of this tree is held by its container alone (the whole by nothing): the
    # module's must read the same.
    _, *alone = reference_counts({"".join("ab"): [{"".join("cd"): 0.5 + k, "".join("ef"): "".join("gh")} for k in range(3)]})
    assert size > 2000 and counts == alone
    gc.collect()
    assert sys.getallocatedblocks() - blocks < 50


def soc_block(lines):
    return (SOC + lines + "\nafter the section\n").encode()


def one_vector(n, size, first=None, last=None):
    """A check of a result holding one eigenvector (or `size` of them, without elements)."""
    def check(result):
        vectors = result["soc_matrix"]["eigenvectors"]
        if first is None:
            assert (len(vectors), vectors[-1]) == (size, {"n": size - 1, "energy": 1.5, "elements": []})
        else:
            (vector,) = vectors
            assert (vector["n"], len(vector["elements"]), vector["elements"][0], vector["elements"][-1]) == (n, size, first, last)
    return check


def element(w, r, i, root, spin, ms):
    return {"weight": w, "real": r, "imag": i, "root": root, "spin": spin, "ms": ms}


def peak_rss_since_reset():
    return int(re.search(r"VmHWM:\s+(\d+)", pathlib.Path("/proc/self/status").read_text())[1]) << 10


HEAVY, NONE = pytest.mark.heavy, ("result", None)
NO_SECTION = ("panic", UNWRAP_NONE)
E1 = element(0.25, 0.5, -0.75, 1, 2, -3)
HOSTILE = [  # name, builder of a file of about `size`, size, expected outcome or check per function
    case("line-of-100-MB", lambda n: b"7" * n, 100_000_000, {tddft: NO_SECTION, casscf: NONE}, marks=HEAVY),
    case("only-newlines", lambda n: b"\n" * n, 100_000_000, {tddft: NO_SECTION, casscf: NONE}, marks=HEAVY),
    case("million-element-lines", lambda n: soc_block("STATE 7: 0.5\n" + " 0.25 0.5 -0.75 : 1 2 -3\n" * (n - 1) + " 1 2 3 : 4 5 6\n"),
         1_000_000, {tddft: one_vector(7, 1_000_000, E1, element(1.0, 2.0, 3.0, 4, 5, 6)), casscf: NONE}, marks=HEAVY),
    case("million-eigenvectors", lambda n: soc_block("".join(f"STATE {k}: 1.5\n" for k in range(n))), 1_000_000,
         {tddft: one_vector(0, 1_000_000), casscf: NONE}, marks=HEAVY),
    case("element-line-of-100-MB", lambda n: soc_block("STATE 1: 1\n 0.25" + " " * n + "0.5 -0.75 : 1 2 -3\n"), 100_000_000,
         {tddft: one_vector(1, 1, E1, E1), casscf: NONE}, marks=HEAVY),
    case("state-word-repeated-over-100-MB", lambda n: soc_block("STATE" * (n // 5) + " 1: 1\n" + " 0.25 0.5 -0.75 : 1 2 -3\n"),
         100_000_000, {tddft: one_vector(1, 1, E1, E1), casscf: NONE}, marks=HEAVY),
    case("contribution-of-100-MB-of-digits", lambda n: (COMPOSITION + BLOCK_HEAD + " 0 O s 1 2 3 4 " + "5" * n + "\n\n").encode(),
         100_000_000, {tddft: NO_SECTION, casscf: lambda r: r["orbital_contributions"][4]["contributions"][0]["contribution"] == float("inf")},
         marks=HEAVY),
    case("number-of-ten-million-digits", lambda n: soc_block("STATE 1: " + "1" * n + "e-" + str(n) + "\n"), 10_000_000,
         {tddft: lambda r: r["soc_matrix"]["eigenvectors"][0]["energy"] == 0.1111111119389534, casscf: NONE}),
    case("near-miss-headings", lambda n: ("SKAV SPIN-ORBIT COUPLING CALCULATION \nLOEWDIN ORBITAL-COMPOSITIONS \n" * (n // 60)).encode(),
         10_000_000, {tddft: NO_SECTION, casscf: NONE}),
    case("million-empty-table-lines", lambda n: (COMPOSITION + "\n" * n).encode(), 1_000_000,
         {tddft: NO_SECTION, casscf: ("result", {"orbital_contributions": []})}),
    case("million-header-lines", lambda n: soc_block("E\n" * n), 1_000_000,
         {tddft: ("result", {"soc_matrix": {"eigenvectors": []}}), casscf: NONE}),
]


def timed(function, path):
    """The outcome, the seconds it took and the peak resident memory it added beyond what stays."""
    pathlib.Path("/proc/self/clear_refs").write_text("5")  # resets the peak
    start = time.perf_counter()
    got = outcome(function, path)
    seconds = time.perf_counter() - start
    return got, seconds, peak_rss_since_reset() - rss_bytes()


@pytest.mark.skipif(sys.platform != "linux", reason="reads the peak resident size from /proc")
@pytest.mark.parametrize("build, size, expected", HOSTILE)
@pytest.mark.parametrize("function", [tddft, casscf], ids=["tddft", "casscf"])
def test_hostile_input_ends_exactly_in_linear_time_and_memory(write_file, function, build, size, expected):
    data = build(size)
    path = write_file(data)
    (kind, value), seconds, transient = timed(function, path)
    want = expected[function]
    assert (kind, value) == want if isinstance(want, tuple) else kind == "result" and want(value) is not False
    # The text and the records of one section, no more: nothing per line beyond the result.
    assert transient < 2 * len(data) + (64 << 20) or UNDER_ASAN, transient
    del value
    small = write_file(build(size // 10))
    fastest = min(timed(function, small)[1] for _ in range(3))
    # Linear growth gives a factor near 10, quadratic near 100; the slack absorbs a busy machine
    # and, under the sanitizers, the first touch of the large file's fresh pages.
    assert seconds <= 30 * fastest + (2.0 if UNDER_ASAN else 0.5), (fastest, seconds)
