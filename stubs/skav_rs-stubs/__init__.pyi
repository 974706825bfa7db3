"""Type information for the skav_rs extension module.

The result shapes below exist only for type checkers: import them under
``if typing.TYPE_CHECKING:`` (or from ``skav_rs`` in a ``.pyi`` file).
"""

from typing import TypedDict, type_check_only

__all__ = ["parse_tddft", "parse_casscf"]

@type_check_only
class SOCElement(TypedDict):
    """One weighted complex coefficient of an SOC eigenvector."""

    weight: float
    real: float
    imag: float
    root: int
    """0 to 255."""
    spin: int
    """0 to 255."""
    ms: int
    """-128 to 127."""

@type_check_only
class SOCEigenvector(TypedDict):
    """One eigenvector of the SOC matrix."""

    n: int
    """State number as written in the file, 0 to 4294967295."""
    energy: float
    elements: list[SOCElement]

@type_check_only
class SOCMatrix(TypedDict):
    eigenvectors: list[SOCEigenvector]

@type_check_only
class TDDFTResult(TypedDict):
    """What ``parse_tddft`` returns: the file's last SOC section."""

    soc_matrix: SOCMatrix

@type_check_only
class Contribution(TypedDict):
    """One row of a Loewdin orbital-composition table, seen from one orbital."""

    atom_nr: int
    element: str
    orbital_type: str
    contribution: float

@type_check_only
class Orbital(TypedDict):
    """One column of a Loewdin orbital-composition table."""

    orbital_nr: int
    energy: float
    occupation: float
    contributions: list[Contribution]

@type_check_only
class CASSCFResult(TypedDict):
    """What ``parse_casscf`` returns when the file has the composition section."""

    orbital_contributions: list[Orbital]

def parse_tddft(filename: str) -> TDDFTResult:
    """Read the SOC eigenvectors of the last SOC section of a TD-DFT output file.

    Raises ``pyo3_runtime.PanicException`` (a ``BaseException``) when the file
    cannot be read, is not UTF-8 or has no readable SOC section.
    """

def parse_casscf(filename: str) -> CASSCFResult | None:
    """Read the first Loewdin orbital-composition table of a CASSCF output file.

    Returns ``None`` when the file has no such section. Raises
    ``pyo3_runtime.PanicException`` (a ``BaseException``) when the file cannot
    be read, is not UTF-8 or the table is malformed.
    """
