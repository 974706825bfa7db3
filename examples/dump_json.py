"""Parse quantum-chemistry output files and print the results as JSON.

Usage: python examples/dump_json.py [--kind auto|tddft|casscf] FILE...

Keys are sorted, so the text is the same from run to run even though the key
order inside the returned dicts is not fixed. With --kind auto (the default) a
file is read as TD-DFT when it holds the SOC section heading and as CASSCF when
it holds the orbital-composition heading.
"""

import argparse
import json
import sys

import skav_rs

TDDFT_HEADING = b"SKAV SPIN-ORBIT COUPLING CALCULATION"
CASSCF_HEADING = b"LOEWDIN ORBITAL-COMPOSITIONS"


def kinds_of(path, kind):
    if kind != "auto":
        return [kind]
    with open(path, "rb") as file:
        data = file.read()
    found = [name for name, heading in (("tddft", TDDFT_HEADING), ("casscf", CASSCF_HEADING)) if heading in data]
    return found or ["tddft"]


def parse(path, kind):
    return {name: getattr(skav_rs, f"parse_{name}")(path) for name in kinds_of(path, kind)}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--kind", choices=["auto", "tddft", "casscf"], default="auto")
    parser.add_argument("files", nargs="+")
    args = parser.parse_args(argv)
    results = {path: parse(path, args.kind) for path in args.files}
    json.dump(results, sys.stdout, sort_keys=True, indent=2)
    sys.stdout.write("\n")


if __name__ == "__main__":
    main()
