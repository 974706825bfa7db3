"""The example scripts in examples/, run as a user runs them, on the shipped samples."""

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import skav_rs
from conftest import NOT_UTF8, UNWRAP_ERR, UNWRAP_NONE

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
TDDFT_SAMPLE = ROOT / "samples" / "formaldehyde_tddft.out"
CASSCF_SAMPLE = ROOT / "samples" / "water_casscf.out"
BAR_DONE = "[" + "#" * 30 + "]"
# Scripts may run in another folder, where a relative PYTHONPATH (build/dev) would miss the module.
PYTHONPATH = [os.path.abspath(path) for path in os.environ.get("PYTHONPATH", "").split(os.pathsep) if path]
ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(PYTHONPATH)}

# Broken files for the batch run and the failure each one must be reported with.
BROKEN = {
    "bad_number.out": ("SKAV SPIN-ORBIT COUPLING CALCULATION\nEigenvectors of the SOC matrix:\n----\nSTATE 1: abc\n".encode(),
                       f"PanicException: {UNWRAP_ERR}ParseFloatError {{ kind: Invalid }}"),
    "no_section.out": (b"nothing to see here\n", f"PanicException: {UNWRAP_NONE}"),
    "deeper/latin1.out": ("LOEWDIN ORBITAL-COMPOSITIONS\n\xe9\n".encode("latin-1"), f"PanicException: {NOT_UTF8}"),
}


def run_example(script, *args, cwd=None):
    return subprocess.run([sys.executable, str(EXAMPLES / script), *map(str, args)],
                          capture_output=True, text=True, timeout=300, cwd=cwd, env=ENV)


def module_result(path, kind):
    return getattr(skav_rs, f"parse_{kind}")(str(path))


@pytest.fixture(scope="module")
def batch_folder(tmp_path_factory):
    """A folder of outputs: both samples (one twice, in a subfolder), three broken files, one file to ignore."""
    folder = tmp_path_factory.mktemp("outputs")
    (folder / "deeper").mkdir()
    shutil.copy(TDDFT_SAMPLE, folder / "formaldehyde_tddft.out")
    shutil.copy(CASSCF_SAMPLE, folder / "water_casscf.out")
    shutil.copy(CASSCF_SAMPLE, folder / "deeper" / "water_again.out")
    (folder / "notes.txt").write_text("not an output file\n")
    for name, (content, _) in BROKEN.items():
        (folder / name).write_bytes(content)
    return folder


@pytest.fixture(scope="module")
def batch_run(batch_folder):
    return run_example("batch_parse.py", batch_folder, "--jobs", 2)


# dump_json.py


BOTH = {str(TDDFT_SAMPLE): "tddft", str(CASSCF_SAMPLE): "casscf"}


@pytest.mark.parametrize("args, expected", [
    pytest.param([TDDFT_SAMPLE], {str(TDDFT_SAMPLE): "tddft"}, id="tddft"),
    pytest.param([CASSCF_SAMPLE], {str(CASSCF_SAMPLE): "casscf"}, id="casscf"),
    pytest.param([TDDFT_SAMPLE, CASSCF_SAMPLE], BOTH, id="many-files"),
    pytest.param(["--kind", "casscf", TDDFT_SAMPLE], {str(TDDFT_SAMPLE): ("casscf", None)}, id="kind-option-overrides-detection"),
])
def test_dump_json_gives_module_results(args, expected):
    run = run_example("dump_json.py", *args)
    assert run.returncode == 0, run.stderr
    assert json.loads(run.stdout) == {path: dict([kind]) if isinstance(kind, tuple) else {kind: module_result(path, kind)}
                                      for path, kind in expected.items()}


def test_dump_json_text_is_stable_across_runs():
    # Each process seeds the key order afresh; sorted keys must hide that.
    runs = {run_example("dump_json.py", TDDFT_SAMPLE, CASSCF_SAMPLE).stdout for _ in range(3)}
    assert len(runs) == 1 and runs == {json.dumps(json.loads(min(runs)), sort_keys=True, indent=2) + "\n"}


# batch_parse.py


def test_batch_results_match_module(batch_run, batch_folder):
    expected = {"formaldehyde_tddft.out": ("tddft", TDDFT_SAMPLE), "water_casscf.out": ("casscf", CASSCF_SAMPLE),
                "deeper/water_again.out": ("casscf", CASSCF_SAMPLE)}
    assert json.loads(batch_run.stdout)["results"] == {
        str(batch_folder / name): {kind: module_result(sample, kind)} for name, (kind, sample) in expected.items()}


def test_batch_reports_every_failure_and_goes_on(batch_run, batch_folder):
    expected = {str(batch_folder / name): message for name, (_, message) in BROKEN.items()}
    assert json.loads(batch_run.stdout)["failures"] == expected
    for path, message in expected.items():
        assert f"FAILED {path}: {message}\n" in batch_run.stderr
    assert batch_run.returncode == 1


def test_batch_draws_progress_bar_and_keeps_native_reports_off_the_terminal(batch_run):
    assert f"{BAR_DONE} 6/6 files, 3 failed\n" in batch_run.stderr and "panicked at" not in batch_run.stderr
    assert batch_run.stderr.endswith("6 files: 3 parsed, 3 failed\n")


def test_batch_without_failures_exits_zero(tmp_path):
    shutil.copy(TDDFT_SAMPLE, tmp_path / "a.out")
    run = run_example("batch_parse.py", tmp_path, "--no-progress")
    assert run.returncode == 0 and BAR_DONE not in run.stderr, run.stderr
    assert json.loads(run.stdout)["failures"] == {}


def test_batch_output_file_and_pattern(batch_folder, tmp_path):
    target = tmp_path / "results.json"
    run = run_example("batch_parse.py", batch_folder, "--output", target, "--pattern", "water*.out")
    assert run.returncode == 0 and run.stdout == "", run.stderr
    assert sorted(json.loads(target.read_text())["results"]) == [
        str(batch_folder / "deeper" / "water_again.out"), str(batch_folder / "water_casscf.out")]


def test_batch_refuses_missing_folder(tmp_path):
    run = run_example("batch_parse.py", tmp_path / "absent")
    assert run.returncode == 2 and "not a folder" in run.stderr


# typed_summary.py


def test_typed_summary_lists_states_and_orbitals():
    run = run_example("typed_summary.py", TDDFT_SAMPLE, CASSCF_SAMPLE)
    assert run.returncode == 0, run.stderr
    states = module_result(TDDFT_SAMPLE, "tddft")["soc_matrix"]["eigenvectors"]
    orbitals = module_result(CASSCF_SAMPLE, "casscf")["orbital_contributions"]
    numbers = [str(state["n"]) for state in states] + [str(orbital["orbital_nr"]) for orbital in orbitals]
    assert [line.split()[1] for line in run.stdout.splitlines()] == numbers


# soc_composition.py (notebook-style, optional dependencies)


@pytest.fixture(scope="module")
def composition_run(tmp_path_factory):
    pytest.importorskip("pandas")
    pytest.importorskip("matplotlib")
    folder = tmp_path_factory.mktemp("figure")
    run = run_example("soc_composition.py", TDDFT_SAMPLE, "--lowest", 4, "--figure", folder / "soc.png", cwd=folder)
    assert run.returncode == 0, run.stderr
    return run, folder / "soc.png"


def test_composition_table_of_lowest_states(composition_run):
    run, _ = composition_run
    states = sorted(module_result(TDDFT_SAMPLE, "tddft")["soc_matrix"]["eigenvectors"], key=lambda s: s["energy"])
    rows = run.stdout.splitlines()[2:]
    assert [row.split()[0] for row in rows] == [str(s["n"]) for s in states[:4]]
    for row, state in zip(rows, states):
        total = sum(float(value) for value in row.split(")", 1)[1].split())
        assert total == pytest.approx(sum(e["weight"] for e in state["elements"]), abs=0.01)


def test_composition_figure_is_saved(composition_run):
    _, figure = composition_run
    assert figure.read_bytes().startswith(b"\x89PNG\r\n\x1a\n")

