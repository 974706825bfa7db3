"""The type stubs (package skav_rs-stubs): mypy on code that uses the module, stubtest against the module."""

import os
import re
import site
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import skav_rs

pytest.importorskip("mypy", reason="mypy is not installed (pip install '.[typing]')")

ROOT = Path(__file__).resolve().parent.parent
MODULE_DIR = Path(skav_rs.__file__).resolve().parent
INSTALLED = MODULE_DIR in {Path(path).resolve() for path in [*site.getsitepackages(), sysconfig.get_path("platlib")]}

RESULT_TYPES = """
from typing import TYPE_CHECKING, assert_type

import skav_rs

if TYPE_CHECKING:
    from skav_rs import CASSCFResult, Contribution, Orbital, SOCEigenvector, SOCElement, SOCMatrix, TDDFTResult

tddft = skav_rs.parse_tddft("a.out")
vector = tddft["soc_matrix"]["eigenvectors"][0]
element = vector["elements"][0]
assert_type((tddft, tddft["soc_matrix"], vector, element), "tuple[TDDFTResult, SOCMatrix, SOCEigenvector, SOCElement]")
casscf = skav_rs.parse_casscf(filename="b.out")
assert_type(casscf, "CASSCFResult | None")
assert casscf is not None
orbital = casscf["orbital_contributions"][0]
row = orbital["contributions"][0]
assert_type((orbital, row), "tuple[Orbital, Contribution]")
assert_type((vector["n"], element["root"], element["spin"], element["ms"], orbital["orbital_nr"], row["atom_nr"]),
            tuple[int, int, int, int, int, int])
assert_type((vector["energy"], element["weight"], element["real"], element["imag"], orbital["energy"],
             orbital["occupation"], row["contribution"]), tuple[float, float, float, float, float, float, float])
assert_type((row["element"], row["orbital_type"], skav_rs.__all__), tuple[str, str, list[str]])
"""
# Mistakes that the stubs must catch, one a line, with the mypy error code each one gives.
MISUSES = """import pathlib, skav_rs
skav_rs.parse_tddft(pathlib.Path('a.out'))  # arg-type
skav_rs.parse_casscf(b'a.out')  # arg-type
skav_rs.parse_tddft(path='a.out')  # call-arg
skav_rs.parse_casscf('a.out')['orbital_contributions']  # index
skav_rs.parse_tddft('a.out')['soc_matrix']['eigenvalues']  # typeddict-item
n: str = skav_rs.parse_tddft('a.out')['soc_matrix']['eigenvectors'][0]['n']  # assignment
skav_rs.PanicException  # attr-defined
"""


def run(tmp_path, *command):
    # A module imported from a build folder has no stubs beside it: point at the source stubs.
    paths = ([] if INSTALLED else [str(ROOT / "stubs")]) + [os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    return subprocess.run([sys.executable, "-m", *command], capture_output=True, text=True, cwd=tmp_path, timeout=300,
                          env={**os.environ, "PYTHONPATH": os.pathsep.join(paths)})


def test_stubs_match_the_module_and_type_its_results(tmp_path):
    if INSTALLED:
        assert (MODULE_DIR / "skav_rs-stubs" / "__init__.pyi").read_text() == (ROOT / "stubs/skav_rs-stubs/__init__.pyi").read_text()
    stubtest = run(tmp_path, "mypy.stubtest", "skav_rs")
    assert stubtest.returncode == 0, stubtest.stdout + stubtest.stderr
    (tmp_path / "results.py").write_text(RESULT_TYPES)
    checked = run(tmp_path, "mypy", "--strict", "results.py", str(ROOT / "examples" / "typed_summary.py"))
    assert checked.returncode == 0, checked.stdout + checked.stderr


def test_misuses_are_reported(tmp_path):
    (tmp_path / "misuses.py").write_text(MISUSES)
    checked = run(tmp_path, "mypy", "--strict", "--no-error-summary", "misuses.py")
    found = {(int(line), code) for line, code in re.findall(r"^misuses\.py:(\d+): error: .*\[([\w-]+)\]$", checked.stdout, re.M)}
    wanted = {(n, line.rsplit("# ", 1)[1]) for n, line in enumerate(MISUSES.splitlines(), 1) if "# " in line}
    assert wanted <= found, checked.stdout
