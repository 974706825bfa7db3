"""The type stubs (package skav_rs-stubs): mypy on code that uses the module, stubtest against the module."""

import os
import site
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import skav_rs

pytest.importorskip("mypy", reason="mypy is not installed (pip install '.[typing]')")

ROOT = Path(__file__).resolve().parent.parent
SOURCE_STUB = ROOT / "stubs" / "skav_rs-stubs" / "__init__.pyi"
MODULE_DIR = Path(skav_rs.__file__).resolve().parent
INSTALLED_STUB = MODULE_DIR / "skav_rs-stubs" / "__init__.pyi"
SITE_DIRS = [*site.getsitepackages(), site.getusersitepackages(), sysconfig.get_path("platlib")]
INSTALLED = MODULE_DIR in {Path(path).resolve() for path in SITE_DIRS}

RESULT_TYPES = """
from typing import TYPE_CHECKING, assert_type

import skav_rs

if TYPE_CHECKING:
    from skav_rs import (
        CASSCFResult, Contribution, Orbital, SOCEigenvector, SOCElement, SOCMatrix, TDDFTResult,
    )

tddft = skav_rs.parse_tddft("a.out")
vector = tddft["soc_matrix"]["eigenvectors"][0]
element = vector["elements"][0]
assert_type((tddft, tddft["soc_matrix"], vector, element), "tuple[TDDFTResult, SOCMatrix, SOCEigenvector, SOCElement]")
for whole in (vector["n"], element["root"], element["spin"], element["ms"]):
    assert_type(whole, int)
for number in (vector["energy"], element["weight"], element["real"], element["imag"]):
    assert_type(number, float)
casscf = skav_rs.parse_casscf(filename="b.out")
assert_type(casscf, "CASSCFResult | None")
assert casscf is not None
orbital = casscf["orbital_contributions"][0]
row = orbital["contributions"][0]
assert_type((orbital, row), "tuple[Orbital, Contribution]")
for whole in (orbital["orbital_nr"], row["atom_nr"]):
    assert_type(whole, int)
for number in (orbital["energy"], orbital["occupation"], row["contribution"]):
    assert_type(number, float)
for text in (row["element"], row["orbital_type"]):
    assert_type(text, str)
assert_type(skav_rs.__all__, list[str])
"""

# Mistakes that the stubs must catch, with the mypy error code each one gives.
MISUSES = {
    "path object": ("import pathlib\nskav_rs.parse_tddft(pathlib.Path('a.out'))", "arg-type"),
    "bytes path": ("skav_rs.parse_casscf(b'a.out')", "arg-type"),
    "wrong keyword": ("skav_rs.parse_tddft(path='a.out')", "call-arg"),
    "None not handled": ("skav_rs.parse_casscf('a.out')['orbital_contributions']", "index"),
    "unknown key": ("skav_rs.parse_tddft('a.out')['soc_matrix']['eigenvalues']", "typeddict-item"),
    "wrong value type": ("n: str = skav_rs.parse_tddft('a.out')['soc_matrix']['eigenvectors'][0]['n']", "assignment"),
    "no PanicException attribute": ("skav_rs.PanicException", "attr-defined"),
}


@pytest.fixture(scope="module")
def typing_env():
    """Environment for mypy and stubtest, which run in other folders.

    A module imported from a build folder has no stubs beside it: point at the source stubs."""
    paths = [os.path.abspath(path) for path in os.environ.get("PYTHONPATH", "").split(os.pathsep) if path]
    if not INSTALLED:
        paths.insert(0, str(ROOT / "stubs"))
    return {**os.environ, "PYTHONPATH": os.pathsep.join(paths)}


@pytest.fixture(scope="module")
def mypy(typing_env, tmp_path_factory):
    cache = tmp_path_factory.mktemp("mypy-cache")

    def run(*args, cwd):
        return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(cache), *args],
                              capture_output=True, text=True, env=typing_env, cwd=cwd, timeout=300)

    return run


def test_stubs_installed_with_module():
    if not INSTALLED:
        pytest.skip("module imported from a build folder, not installed")
    assert INSTALLED_STUB.read_text() == SOURCE_STUB.read_text()


def test_stubtest_finds_no_mismatch(typing_env, tmp_path):
    run = subprocess.run([sys.executable, "-m", "mypy.stubtest", "skav_rs"],
                         capture_output=True, text=True, env=typing_env, cwd=tmp_path, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr


def test_result_types_are_exact(mypy, tmp_path):
    (tmp_path / "snippet.py").write_text(RESULT_TYPES)
    run = mypy("snippet.py", cwd=tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr


def test_example_passes_strict_mypy(mypy):
    run = mypy("typed_summary.py", cwd=ROOT / "examples")
    assert run.returncode == 0, run.stdout + run.stderr


@pytest.mark.parametrize("code, error_code", MISUSES.values(), ids=MISUSES.keys())
def test_misuse_is_reported(mypy, tmp_path, code, error_code):
    (tmp_path / "snippet.py").write_text("import skav_rs\n" + code + "\n")
    run = mypy("snippet.py", cwd=tmp_path)
    assert run.returncode == 1, run.stdout + run.stderr
    assert f"[{error_code}]" in run.stdout, run.stdout
