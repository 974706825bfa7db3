"""Summarise a TD-DFT and a CASSCF output, fully type-checked.

Usage: python examples/typed_summary.py TDDFT_OUTPUT CASSCF_OUTPUT

For each SOC state: its energy and its largest contribution. For each orbital:
its energy, occupation and the atomic orbital contributing most. This file
passes `mypy --strict` with the stubs that are installed with skav_rs.
"""

from __future__ import annotations

import sys
from typing import TYPE_CHECKING

import skav_rs

if TYPE_CHECKING:
    # The result shapes exist for type checkers only; at run time they are plain dicts.
    from skav_rs import CASSCFResult, Orbital, SOCEigenvector, TDDFTResult


def state_line(state: SOCEigenvector) -> str:
    if not state["elements"]:
        return f"state {state['n']:>3}  {state['energy']:12.2f}  (no elements)"
    top = max(state["elements"], key=lambda element: element["weight"])
    coefficient = complex(top["real"], top["imag"])
    return (
        f"state {state['n']:>3}  {state['energy']:12.2f}  "
        f"{top['weight']:.3f} of root {top['root']} spin {top['spin']} ms {top['ms']:+d} "
        f"(c = {coefficient:.3f})"
    )


def orbital_line(orbital: Orbital) -> str:
    line = f"orbital {orbital['orbital_nr']:>3}  {orbital['energy']:10.5f}  occ {orbital['occupation']:.5f}"
    if orbital["contributions"]:
        top = max(orbital["contributions"], key=lambda row: row["contribution"])
        line += f"  {top['contribution']:5.1f}% {top['element']}{top['atom_nr']} {top['orbital_type']}"
    return line


def summarise(tddft: TDDFTResult, casscf: CASSCFResult | None) -> list[str]:
    lines = [state_line(state) for state in tddft["soc_matrix"]["eigenvectors"]]
    if casscf is None:
        lines.append("no Loewdin orbital-composition section")
    else:
        lines.extend(orbital_line(orbital) for orbital in casscf["orbital_contributions"])
    return lines


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    tddft = skav_rs.parse_tddft(argv[0])
    casscf = skav_rs.parse_casscf(argv[1])
    print("\n".join(summarise(tddft, casscf)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
