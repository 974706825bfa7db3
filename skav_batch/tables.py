"""The module's results as rows of five typed Arrow tables; pure functions, no engine.

Each column is one pass over the result's own values straight into an Arrow array of its
final type: no dict per row, and nothing is converted twice.
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING

import pyarrow as pa

from skav_batch.read import Failure, Results

if TYPE_CHECKING:
    from skav_rs import CASSCFResult, TDDFTResult

Tables = dict[str, pa.Table]


def schema(**columns: pa.DataType) -> pa.Schema:
    return pa.schema(columns)


# The module's numbers are 32-bit values widened exactly, so float32 and these integer widths lose nothing.
FILE, POSITION, FLOAT, TEXT = pa.string(), pa.uint32(), pa.float32(), pa.string()
SCHEMAS: dict[str, pa.Schema] = {
    "soc_states": schema(file=FILE, state=POSITION, n=pa.uint32(), energy=FLOAT, elements=POSITION),
    "soc_elements": schema(file=FILE, state=POSITION, element=POSITION, weight=FLOAT, real=FLOAT, imag=FLOAT,
                           root=pa.uint8(), spin=pa.uint8(), ms=pa.int8()),
    "orbitals": schema(file=FILE, orbital=POSITION, orbital_nr=pa.uint32(), energy=FLOAT, occupation=FLOAT,
                       contributions=POSITION),
    "orbital_contributions": schema(file=FILE, orbital=POSITION, row=POSITION, atom_nr=pa.uint32(), element=TEXT,
                                    orbital_type=TEXT, contribution=FLOAT),
    "failures": schema(file=FILE, kind=TEXT, error=TEXT, message=TEXT, where=TEXT),
}
NAMES = tuple(SCHEMAS)


def table(name: str, columns: Sequence[Sequence[object]]) -> pa.Table:
    schema = SCHEMAS[name]
    arrays = [pa.array(column, type=field.type) for column, field in zip(columns, schema)]
    return pa.Table.from_arrays(arrays, schema=schema)


def positions(lengths: list[int]) -> tuple[list[int], list[int]]:
    """For items nested in lists of these lengths: each item's list position and its own position."""
    outer = [i for i, length in enumerate(lengths) for _ in range(length)]
    return outer, [j for length in lengths for j in range(length)]


def tddft_tables(file: str, result: TDDFTResult) -> Tables:
    states = result["soc_matrix"]["eigenvectors"]
    if not states:
        return {}
    lengths = [len(state["elements"]) for state in states]
    items = [item for state in states for item in state["elements"]]
    tables = {"soc_states": table("soc_states", [
        [file] * len(states), range(len(states)), [s["n"] for s in states], [s["energy"] for s in states],
        lengths])}
    if items:
        tables["soc_elements"] = table("soc_elements", [
            [file] * len(items), *positions(lengths), *([item[key] for item in items]
                                                        for key in ("weight", "real", "imag", "root", "spin", "ms"))])
    return tables


def casscf_tables(file: str, result: CASSCFResult) -> Tables:
    orbitals = result["orbital_contributions"]
    if not orbitals:
        return {}
    lengths = [len(orbital["contributions"]) for orbital in orbitals]
    rows = [row for orbital in orbitals for row in orbital["contributions"]]
    tables = {"orbitals": table("orbitals", [
        [file] * len(orbitals), range(len(orbitals)), [o["orbital_nr"] for o in orbitals],
        [o["energy"] for o in orbitals], [o["occupation"] for o in orbitals], lengths])}
    if rows:
        tables["orbital_contributions"] = table("orbital_contributions", [
            [file] * len(rows), *positions(lengths), [row["atom_nr"] for row in rows],
            [row["element"] for row in rows], [row["orbital_type"] for row in rows],
            [row["contribution"] for row in rows]])
    return tables


def failure_table(file: str, failures: Iterable[Failure]) -> pa.Table:
    """Rows of one file's failures (at least one: zip of nothing would give no columns)."""
    return table("failures", [list(column) for column in zip(*([file, *entry] for entry in failures))])


def file_tables(file: str, results: Results) -> Tables:
    """The rows of one file, by table name; a table without rows is left out."""
    tables = tddft_tables(file, results.tddft) if results.tddft is not None else {}
    if results.casscf is not None:
        tables.update(casscf_tables(file, results.casscf))
    if results.failures:
        tables["failures"] = failure_table(file, results.failures)
    return tables


def concat(parts: Iterable[Tables]) -> Tables:
    """All five tables from the rows of many files, in file order; a table without rows is empty."""
    pieces: dict[str, list[pa.Table]] = {name: [schema.empty_table()] for name, schema in SCHEMAS.items()}
    for part in parts:
        for name, rows in part.items():
            pieces[name].append(rows)
    return {name: pa.concat_tables(tables).combine_chunks() for name, tables in pieces.items()}
