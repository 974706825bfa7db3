"""The module's results as rows of five typed Arrow tables; no engine.

Each column is one pass over the result's own values, collected across files and turned
into an Arrow array of its final type once per batch of rows: no dict per row, and small
files do not pay the cost of creating arrays each.
"""

from __future__ import annotations

from collections.abc import Iterable
from itertools import repeat
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
# Rows held as Python values before they become arrays: bounds the builder's memory.
BATCH_ROWS = 1 << 16


def positions(lengths: list[int]) -> tuple[list[int], list[int]]:
    """For items nested in lists of these lengths: each item's list position and its own position."""
    outer = [i for i, length in enumerate(lengths) for _ in range(length)]
    return outer, [j for length in lengths for j in range(length)]


class TableBuilder:
    """The rows of many files, in the order they are added."""

    def __init__(self) -> None:
        self.columns: dict[str, list[list[object]]] = {name: [[] for _ in schema] for name, schema in SCHEMAS.items()}
        self.batches: dict[str, list[pa.RecordBatch]] = {name: [] for name in SCHEMAS}

    def add(self, file: str, results: Results) -> None:
        if results.tddft is not None:
            self.add_tddft(file, results.tddft)
        if results.casscf is not None:
            self.add_casscf(file, results.casscf)
        self.add_failures(file, results.failures)

    def add_tddft(self, file: str, result: TDDFTResult) -> None:
        states = result["soc_matrix"]["eigenvectors"]
        lengths = [len(state["elements"]) for state in states]
        self.extend("soc_states", repeat(file, len(states)), range(len(states)), [s["n"] for s in states],
                    [s["energy"] for s in states], lengths)
        items = [item for state in states for item in state["elements"]]
        self.extend("soc_elements", repeat(file, len(items)), *positions(lengths),
                    *([item[key] for item in items] for key in ("weight", "real", "imag", "root", "spin", "ms")))

    def add_casscf(self, file: str, result: CASSCFResult) -> None:
        orbitals = result["orbital_contributions"]
        lengths = [len(orbital["contributions"]) for orbital in orbitals]
        self.extend("orbitals", repeat(file, len(orbitals)), range(len(orbitals)), [o["orbital_nr"] for o in orbitals],
                    [o["energy"] for o in orbitals], [o["occupation"] for o in orbitals], lengths)
        rows = [row for orbital in orbitals for row in orbital["contributions"]]
        self.extend("orbital_contributions", repeat(file, len(rows)), *positions(lengths),
                    [row["atom_nr"] for row in rows], [row["element"] for row in rows],
                    [row["orbital_type"] for row in rows], [row["contribution"] for row in rows])

    def add_failures(self, file: str, failures: Iterable[Failure]) -> None:
        for entry in failures:
            self.extend("failures", [file], *([value] for value in entry))

    def extend(self, name: str, *values: Iterable[object]) -> None:
        columns = self.columns[name]
        for column, more in zip(columns, values, strict=True):
            column.extend(more)
        if len(columns[0]) >= BATCH_ROWS:
            self.flush(name)

    def flush(self, name: str) -> None:
        schema, columns = SCHEMAS[name], self.columns[name]
        arrays = [pa.array(column, type=field.type) for column, field in zip(columns, schema)]
        self.batches[name].append(pa.RecordBatch.from_arrays(arrays, schema=schema))
        for column in columns:
            column.clear()

    def tables(self) -> Tables:
        """All five tables; a table without rows is empty."""
        for name, columns in self.columns.items():
            if columns[0] or not self.batches[name]:
                self.flush(name)
        return {name: pa.Table.from_batches(batches, schema=SCHEMAS[name]) for name, batches in self.batches.items()}


def failure_table(file: str, failures: Iterable[Failure]) -> Tables:
    builder = TableBuilder()
    builder.add_failures(file, failures)
    return builder.tables()
