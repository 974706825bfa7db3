"""Good and failing calls leave the total reference count exactly as it was (Py_DEBUG builds)."""

import gc
import pathlib
import sys

import pytest

import skav_rs

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug build of CPython")
TDDFT, CASSCF = (pathlib.Path(__file__).resolve().parent.parent / "samples" / name
                 for name in ("formaldehyde_tddft.out", "water_casscf.out"))


def growth(calls, rounds):
    """How much the total reference count grows over `rounds` of every call, after a warm-up."""
    def run(count):
        for function, args, kwargs in calls:
            for _ in range(count):
                try:
                    function(*args, **kwargs)
                except BaseException:  # PanicException, TypeError, UnicodeEncodeError
                    pass
    run(2)  # what the first calls create lives as long as the interpreter
    gc.collect()
    before = sys.gettotalrefcount()
    run(rounds)
    gc.collect()
    return sys.gettotalrefcount() - before


def test_good_and_failing_calls_leave_no_reference_behind(tmp_path):
    broken, latin1 = tmp_path / "broken.out", tmp_path / "latin1.out"
    # A bad number in the SOC table and one in the orbital table: a parser failure for each function.
    broken.write_text(TDDFT.read_text().replace("0.58561", "0.5x561") + CASSCF.read_text().replace(" 6.2 ", " 6.x "))
    latin1.write_bytes(b"caf\xe9\n")
    # Results, a None result (no orbital table) and parser failures, then read failures.
    paths = [str(TDDFT), str(CASSCF), str(broken), str(tmp_path / "missing.out"), str(tmp_path), str(latin1), "nul\0"]
    arguments = [((path,), {}) for path in [*paths, "\udc80"]] + [  # lone surrogate: UnicodeEncodeError
        ((), {"filename": paths[0]}), ((), {}), ((1,), {}), ((b"x",), {}), ((paths[0],) * 2, {}), ((), {"path": "x"})]
    calls = [(function, *call) for function in (skav_rs.parse_tddft, skav_rs.parse_casscf) for call in arguments]
    assert growth(calls, 150) == growth(calls, 0)  # 4,200 calls add exactly what none add
