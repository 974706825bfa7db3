"""The example scripts in examples/, run as a user runs them, on the shipped samples."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

import skav_rs

ROOT = Path(__file__).resolve().parent.parent
TDDFT_SAMPLE = ROOT / "samples" / "formaldehyde_tddft.out"
CASSCF_SAMPLE = ROOT / "samples" / "water_casscf.out"
# Scripts may run in another folder, where a relative PYTHONPATH (build/dev) would miss the modules.
PYTHONPATH = [os.path.abspath(path) for path in os.environ.get("PYTHONPATH", "").split(os.pathsep) if path]
ENV = {**os.environ, "PYTHONPATH": os.pathsep.join([str(ROOT), *PYTHONPATH])}


def run_example(script, *args, cwd=None):
    run = subprocess.run([sys.executable, str(ROOT / "examples" / script), *map(str, args)],
                         capture_output=True, text=True, timeout=300, cwd=cwd, env=ENV)
    assert run.returncode == 0, run.stderr
    return run


def states_by_energy():
    return sorted(skav_rs.parse_tddft(str(TDDFT_SAMPLE))["soc_matrix"]["eigenvectors"], key=lambda s: s["energy"])


def test_typed_summary_lists_states_and_orbitals():
    run = run_example("typed_summary.py", TDDFT_SAMPLE, CASSCF_SAMPLE)
    states = skav_rs.parse_tddft(str(TDDFT_SAMPLE))["soc_matrix"]["eigenvectors"]
    orbitals = skav_rs.parse_casscf(str(CASSCF_SAMPLE))["orbital_contributions"]
    numbers = [str(state["n"]) for state in states] + [str(orbital["orbital_nr"]) for orbital in orbitals]
    assert [line.split()[1] for line in run.stdout.splitlines()] == numbers


def test_composition_table_and_figure_of_lowest_states(tmp_path):
    pytest.importorskip("pandas")
    pytest.importorskip("matplotlib")
    run = run_example("soc_composition.py", TDDFT_SAMPLE, "--lowest", 4, "--figure", tmp_path / "soc.png", cwd=tmp_path)
    rows = run.stdout.splitlines()[2:]
    states = states_by_energy()
    assert [row.split()[0] for row in rows] == [str(state["n"]) for state in states[:4]]
    for row, state in zip(rows, states):
        total = sum(float(value) for value in row.split(")", 1)[1].split())
        assert total == pytest.approx(sum(element["weight"] for element in state["elements"]), abs=0.01)
    assert (tmp_path / "soc.png").read_bytes().startswith(b"\x89PNG\r\n\x1a\n")


def test_soc_spectrum_of_a_folder(tmp_path):
    pytest.importorskip("pyarrow")
    pytest.importorskip("matplotlib")
    run = run_example("soc_spectrum.py", ROOT / "samples", "--width", 0.2, "--figure", tmp_path / "spectrum.png",
                      cwd=tmp_path)
    assert [line.split(":")[0] for line in run.stdout.splitlines()] == ["formaldehyde_soc_release5.out",
                                                                         "formaldehyde_soc_release6.out"]
    assert (tmp_path / "spectrum.png").read_bytes().startswith(b"\x89PNG\r\n\x1a\n")
