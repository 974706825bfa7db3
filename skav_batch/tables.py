"""The module's results as rows of five typed Arrow tables; no engine.

Each column is one pass over the result's own values, collected across files and turned
into an Arrow array of its final type once per batch of rows: no dict per row, and small
files do not pay the cost of creating arrays each.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any

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


def array(values: list[object], type: pa.DataType) -> pa.Array[Any]:
    if type == FLOAT:  # ten times faster through float64; exact, as the module's values are 32-bit
        return pa.array(values, type=pa.float64()).cast(FLOAT)
    return pa.array(values, type=type)


def file_column(runs: list[tuple[str, int]]) -> pa.Array[Any]:
    """The file column of consecutive rows of the same file: (file, rows) runs."""
    if 0 < len(runs) <= 16:  # few long runs (large files): repeating each path is faster than a list
        return pa.concat_arrays([pa.repeat(file, count) for file, count in runs]).cast(FILE)
    return pa.array([file for file, count in runs for _ in range(count)], type=FILE)


class TableBuilder:
    """The rows of many files, in the order they are added."""

    def __init__(self) -> None:
        self.runs: dict[str, list[tuple[str, int]]] = {name: [] for name in SCHEMAS}
        self.columns: dict[str, list[list[object]]] = {name: [[] for _ in schema.names[1:]] for name, schema in SCHEMAS.items()}
        self.batches: dict[str, list[pa.RecordBatch]] = {name: [] for name in SCHEMAS}

    def add(self, file: str, results: Results) -> None:
        # A name that is not UTF-8 (lone surrogates from the file system) keeps its bytes as \x escapes.
        file = os.fsencode(file).decode("utf-8", "backslashreplace")
        if results.tddft is not None:
            self.add_tddft(file, results.tddft)
        if results.casscf is not None:
            self.add_casscf(file, results.casscf)
        self.add_failures(file, results.failures)

    def add_tddft(self, file: str, result: TDDFTResult) -> None:
        states = result["soc_matrix"]["eigenvectors"]
        lengths = [len(state["elements"]) for state in states]
        self.extend("soc_states", file, range(len(states)), [s["n"] for s in states], [s["energy"] for s in states],
                    lengths)
        items = [item for state in states for item in state["elements"]]
        self.extend("soc_elements", file, *positions(lengths),
                    *([item[key] for item in items] for key in ("weight", "real", "imag", "root", "spin", "ms")))

    def add_casscf(self, file: str, result: CASSCFResult) -> None:
        orbitals = result["orbital_contributions"]
        lengths = [len(orbital["contributions"]) for orbital in orbitals]
        self.extend("orbitals", file, range(len(orbitals)), [o["orbital_nr"] for o in orbitals],
                    [o["energy"] for o in orbitals], [o["occupation"] for o in orbitals], lengths)
        rows = [row for orbital in orbitals for row in orbital["contributions"]]
        self.extend("orbital_contributions", file, *positions(lengths), [row["atom_nr"] for row in rows],
                    [row["element"] for row in rows], [row["orbital_type"] for row in rows],
                    [row["contribution"] for row in rows])

    def add_failures(self, file: str, failures: Iterable[Failure]) -> None:
        for entry in failures:
            self.extend("failures", file, *([value] for value in entry))

    def extend(self, name: str, file: str, *values: Sequence[object]) -> None:
        """Adds rows of one file: a sequence of values for each column after `file`."""
        columns = self.columns[name]
        if values[0]:
            self.runs[name].append((file, len(values[0])))
        for column, more in zip(columns, values, strict=True):
            column.extend(more)
        if len(columns[0]) >= BATCH_ROWS:
            self.flush(name)

    def flush(self, name: str) -> None:
        schema, columns = SCHEMAS[name], self.columns[name]
        arrays = [file_column(self.runs[name])]
        arrays += [array(column, field.type) for column, field in zip(columns, list(schema)[1:])]
        self.batches[name].append(pa.RecordBatch.from_arrays(arrays, schema=schema))
        self.runs[name].clear()
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
