"""Parse quantum-chemistry output files and print the results as JSON.

Usage: python examples/dump_json.py [--kind auto|tddft|casscf] FILE...

Keys are sorted, so the text is the same from run to run even though the key
order inside the returned dicts is not fixed. With --kind auto (the default) a
file is read as TD-DFT when it holds the SOC section heading and as CASSCF when
it holds the orbital-composition heading.
"""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Callable

import skav_rs

TDDFT_HEADING = b"SKAV SPIN-ORBIT COUPLING CALCULATION"
CASSCF_HEADING = b"LOEWDIN ORBITAL-COMPOSITIONS"
KINDS = ["auto", "tddft", "casscf"]


def kinds_of(path: str, kind: str) -> list[str]:
    if kind != "auto":
        return [kind]
    with open(path, "rb") as file:
        data = file.read()
    found = [name for name, heading in (("tddft", TDDFT_HEADING), ("casscf", CASSCF_HEADING)) if heading in data]
    return found or ["tddft"]


def parse(path: str, kind: str) -> dict[str, object]:
    """Results of one file by kind, e.g. {"tddft": {...}} or {"casscf": None}."""
    parsers: dict[str, Callable[[str], object]] = {"tddft": skav_rs.parse_tddft, "casscf": skav_rs.parse_casscf}
    return {name: parsers[name](path) for name in kinds_of(path, kind)}


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").partition("\n")[0])
    parser.add_argument("--kind", choices=KINDS, default="auto")
    parser.add_argument("files", nargs="+")
    args = parser.parse_args(argv)
    results = {path: parse(path, args.kind) for path in args.files}
    json.dump(results, sys.stdout, sort_keys=True, indent=2)
    sys.stdout.write("\n")


if __name__ == "__main__":
    main()
