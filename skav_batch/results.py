"""A file's results as the module's calls give them, made back from the native reader's rows: what
`skav-rs json` writes. The reader decides which parsers run, reads compressed files and names
failures as it does for the tables. Needs no pyarrow.
"""

from __future__ import annotations

from typing import Any, NamedTuple

from skav_batch import _columns
from skav_batch.read import Failure, Kind, contents_of, label

Rows = dict[str, list[tuple[Any, ...]]]
Result = dict[str, Any]  # as skav_rs.TDDFTResult or CASSCFResult


class Results(NamedTuple):
    """For each parser that returned, its result (None where parse_casscf found no section); the failures."""

    returned: dict[str, Result | None]
    failures: tuple[Failure, ...]


def tddft_result(rows: Rows) -> Result:
    elements: list[list[dict[str, Any]]] = [[] for _ in rows["soc_states"]]
    for _, state, _, weight, real, imag, root, spin, ms in rows["soc_elements"]:
        elements[state].append({"weight": weight, "real": real, "imag": imag, "root": root, "spin": spin, "ms": ms})
    return {"soc_matrix": {"eigenvectors": [{"n": n, "energy": energy, "elements": elements[state]}
                                            for _, state, n, energy, _ in rows["soc_states"]]}}


def casscf_result(rows: Rows) -> Result:
    contributions: list[list[dict[str, Any]]] = [[] for _ in rows["orbitals"]]
    for _, orbital, _, atom_nr, element, orbital_type, contribution in rows["orbital_contributions"]:
        contributions[orbital].append({"atom_nr": atom_nr, "element": element, "orbital_type": orbital_type,
                                       "contribution": contribution})
    return {"orbital_contributions": [
        {"orbital_nr": orbital_nr, "energy": energy, "occupation": occupation, "contributions": contributions[orbital]}
        for _, orbital, orbital_nr, energy, occupation, _ in rows["orbitals"]]}


RESULTS = {"tddft": tddft_result, "casscf": casscf_result}


def results_of(path: str, kind: Kind) -> Results:
    """The results of every parser that the file calls for; failures are rows, never raised."""
    tables, _, [given] = _columns.read([path], [label(path)], kind, contents_of([path]), results=True)
    rows: Rows = {name: table.rows() for name, table in tables.items()}
    failures = tuple(Failure(*row[1:]) for row in rows["failures"])
    [(_, _, _, _, parsers, *_)] = rows["files"]  # file, bytes, mtime_ns, compression, kind, ...
    failed = {entry.parser for entry in failures}
    return Results({parser: RESULTS[parser](rows) if parser in given else None
                    for parser in (parsers.split(",") if parsers else []) if parser not in failed}, failures)
