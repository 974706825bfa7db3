"""Deterministic generator of large program outputs for the skav_rs benchmark.

Each benchmark file NAME.out comes with the exact result the module must return:
  NAME.json     compact JSON text of the result tree;
  NAME.marshal  marshal data of the same tree in which every dict key, float and str
                is written as its own object (no back-references, no interning),
                so that marshal.loads creates them one by one as the module must;
  NAME.meta     generator version and sizes; files are reused while it matches.

Shapes (sizes in 10^6 bytes):
  skip_tddft    200 MB of unrelated output, one small SOC section at the very end
  skip_casscf   200 MB of unrelated output, one small composition table at the end
  dense         one SOC block of 2,000,000 element lines (8 to 40 per state)
  dense_tenth   the same shape with 200,000 element lines
  mixed_tddft   200 MB, a SOC section of 2,000 states at 20 % and one of 20,000
                states (8 to 40 elements each) at 55 %, unrelated text around them
  mixed_casscf  200 MB, a composition table of 2,000 orbitals (330 blocks of six,
                4 of five, 200 contribution rows each) at 70 %

Usage: python bench/generate.py [--data DIR] [--force] [NAME ...]
"""

import argparse
import json
import math
import os
import random
import re
import struct
import sys
import time
from array import array
from pathlib import Path

# Bump whenever the output of any builder changes.
VERSION = 1

MB = 1_000_000
DEFAULT_DATA = Path(__file__).resolve().parent / "data"

TDDFT_HEADING = "SKAV SPIN-ORBIT COUPLING CALCULATION"
CASSCF_HEADING = "LOEWDIN ORBITAL-COMPOSITIONS"


# ---------------------------------------------------------------- value helpers

def f32(values):
    """The 32-bit floats nearest to the given doubles, widened back (as the module does)."""
    return array("f", values).tolist()


def dec(k, places):
    """Decimal text of k / 10**places, exactly."""
    sign = "-" if k < 0 else ""
    k = abs(k)
    q, rem = divmod(k, 10 ** places)
    return f"{sign}{q}.{rem:0{places}d}"


def mkey(text):
    # TYPE_SHORT_ASCII without FLAG_REF: a new, non-interned str on every load.
    data = text.encode("ascii")
    return b"z" + bytes([len(data)]) + data


def mfloat(value):
    return b"g" + struct.pack("<d", value)


def mint(value):
    return b"i" + struct.pack("<i", value)


def mlist_head(count):
    return b"[" + struct.pack("<I", count)


MDICT, MEND = b"{", b"0"


# ---------------------------------------------------------------- unrelated text

SYMBOLS = ["C"] * 8 + ["H"] * 10 + ["N"] * 3 + ["O"] * 3 + ["S", "Cl", "Fe", "P", "Br", "Cu"]
ZA = {"H": 1, "C": 6, "N": 7, "O": 8, "P": 15, "S": 16, "Cl": 17, "Fe": 26, "Cu": 29, "Br": 35}
MASS = {"H": 1.008, "C": 12.011, "N": 14.007, "O": 15.999, "P": 30.974, "S": 32.060,
        "Cl": 35.453, "Fe": 55.845, "Cu": 63.546, "Br": 79.904}
METHODS = ["B3LYP", "PBE0", "CAM-B3LYP", "wB97X-D3", "TPSSh", "BP86", "M06-2X"]
BASES = ["def2-SVP", "def2-TZVP", "def2-TZVPP", "ma-def2-TZVP", "cc-pVTZ", "ZORA-def2-TZVP"]
# Latin-1 text in comments: real inputs carry some, and it keeps str decoding 1 byte wide.
COMMENTS = ["# Löwdin analysis requested, distances in Å",
            "# geometry from Müller et al., crystal structure at 120 K",
            "# solvent: CH2Cl2 modelled with CPCM, T = 293 K ± 5 K",
            "# bond angles in °, densities in g/cm³",
            "# reference: Ångström-scale benchmark set, see Schrödinger notes",
            "# ± 0.02 eV accuracy expected for the lowest states"]


def _molecule(r):
    return [r.choice(SYMBOLS) for _ in range(r.randint(8, 48))]


def _rule(out, title, char="-"):
    out.append(char * len(title))
    out.append(title)
    out.append(char * len(title))


def f_input(r, out, mol):
    out.append("=" * 80)
    out.append(" " * 39 + "INPUT FILE")
    out.append("=" * 80)
    out.append(f"NAME = job_{r.randint(1, 9999):04d}.inp")
    lines = [r.choice(COMMENTS),
             f"! {r.choice(METHODS)} D3BJ {r.choice(BASES)} RIJCOSX TightSCF",
             f"%tddft nroots {r.randint(5, 60)} dosoc true end",
             f"%pal nprocs {r.choice([4, 8, 16, 32])} end",
             f"* xyz {r.randint(-2, 2)} {r.choice([1, 2, 3, 5])}"]
    lines += [f"  {s:<2s} {r.uniform(-6, 6):11.6f} {r.uniform(-6, 6):11.6f} {r.uniform(-6, 6):11.6f}"
              for s in mol]
    lines.append("*")
    for i, line in enumerate(lines, 1):
        out.append(f"|{i:3d}> {line}")
    out.append(f"|{len(lines) + 1:3d}> ")
    out.append(" " * 25 + "****END OF INPUT****")
    out.append("=" * 80)
    out.append("")


def f_coords(r, out, mol):
    out.append("")
    _rule(out, "CARTESIAN COORDINATES (ANGSTROEM)")
    xyz = [(r.uniform(-6, 6), r.uniform(-6, 6), r.uniform(-6, 6)) for _ in mol]
    for s, (x, y, z) in zip(mol, xyz):
        out.append(f"  {s:<2s}  {x:12.6f}{y:12.6f}{z:12.6f}")
    out.append("")
    _rule(out, "CARTESIAN COORDINATES (A.U.)")
    out.append("  NO LB      ZA    FRAG     MASS         X           Y           Z")
    for i, (s, (x, y, z)) in enumerate(zip(mol, xyz)):
        b = 1.8897261
        out.append(f"{i:4d} {s:<2s}  {ZA[s]:8.4f}    0 {MASS[s]:9.3f} {x * b:11.6f} {y * b:11.6f} {z * b:11.6f}")
    out.append("")


def f_scf(r, out, mol):
    out.append("")
    _rule(out, "SCF ITERATIONS")
    out.append("ITER       Energy         Delta-E        Max-DP      RMS-DP      [F,P]     Damp")
    out.append("               ***  Starting incremental Fock matrix formation  ***")
    energy = -r.uniform(300, 3000)
    n = r.randint(10, 40)
    delta = 1.0
    for it in range(n):
        delta *= r.uniform(0.05, 0.6)
        energy -= delta
        out.append(f"{it:3d}  {energy:16.10f}  {-delta:15.12f} {delta * 3:11.8f} {delta / 7:11.8f}"
                   f"  {delta * 11:9.7f} {0.7 if it < 3 else 0.0:6.4f}")
        if it == 3:
            out.append("               ***Turning on DIIS***")
    out.append("               *****************************************************")
    out.append("               *                     SUCCESS                       *")
    out.append(f"               *           SCF CONVERGED AFTER {n:3d} CYCLES          *")
    out.append("               *****************************************************")
    out.append("")
    out.append(f"Total Energy       :  {energy:18.8f} Eh         {energy * 27.211386:18.5f} eV")
    out.append("")


def f_orbitals(r, out, mol):
    out.append("")
    _rule(out, "ORBITAL ENERGIES")
    out.append("")
    out.append("  NO   OCC          E(Eh)            E(eV) ")
    n = len(mol) * 6
    energies = sorted(r.uniform(-30, 4) for _ in range(n))
    nocc = n // 3
    for i, e in enumerate(energies):
        occ = 2.0 if i < nocc else 0.0
        out.append(f"{i:4d}   {occ:6.4f}  {e:14.6f}  {e * 27.211386:14.4f}")
    out.append("")


def f_charges(r, out, mol):
    for title in ("MULLIKEN ATOMIC CHARGES", "LOEWDIN ATOMIC CHARGES"):
        out.append("")
        _rule(out, title)
        total = 0.0
        for i, s in enumerate(mol):
            q = r.uniform(-0.6, 0.6)
            total += q
            out.append(f"{i:4d} {s:<2s}:{q:12.6f}")
        out.append(f"Sum of atomic charges:{-0.0:12.7f}")
    out.append("")
    _rule(out, "LOEWDIN REDUCED ORBITAL CHARGES")
    for i, s in enumerate(mol[: r.randint(3, 10)]):
        out.append(f"{i:3d} {s:<2s}s       :{r.uniform(0, 4):13.6f}  s :{r.uniform(0, 4):13.6f}")
        for ot in ("pz", "px", "py"):
            out.append(f"      {ot:<8s}:{r.uniform(0, 2):13.6f}")
    out.append("")
    _rule(out, "LOEWDIN REDUCED ORBITAL POPULATIONS PER MO")
    out.append("THRESHOLD FOR PRINTING IS 0.1%")
    out.append("")


def f_states(r, out, mol):
    out.append("")
    _rule(out, "TD-DFT/TDA EXCITED STATES (" + r.choice(["SINGLETS", "TRIPLETS"]) + ")", "-")
    out.append("")
    e = r.uniform(0.05, 0.15)
    homo = len(mol) * 2
    for n in range(1, r.randint(6, 30)):
        e += r.uniform(0.001, 0.03)
        out.append(f"STATE {n:3d}:  E= {e:10.6f} au {e * 27.211386:9.3f} eV {e * 219474.63:12.1f} cm**-1"
                   f" <S**2> = {r.choice([0.0, 2.0]):10.6f}")
        for _ in range(r.randint(1, 4)):
            a, b = homo - r.randint(0, 5), homo + r.randint(1, 6)
            w = r.uniform(0.01, 0.99)
            out.append(f"    {a:3d}a -> {b:3d}a  :  {w:11.6f} (c= {r.uniform(-1, 1):10.8f})")
        out.append("")


def f_absorption(r, out, mol):
    out.append("")
    out.append("-" * 77)
    out.append("         ABSORPTION BANDS VIA TRANSITION ELECTRIC DIPOLE MOMENTS")
    out.append("-" * 77)
    out.append("State   Energy    Wavelength  fosc         T2        TX        TY        TZ  ")
    out.append("        (cm-1)      (nm)                 (au**2)    (au)      (au)      (au) ")
    out.append("-" * 77)
    e = r.uniform(15000, 30000)
    for n in range(1, r.randint(10, 60)):
        e += r.uniform(50, 2000)
        out.append(f"{n:4d}  {e:9.1f} {1e7 / e:8.1f}  {r.uniform(0, 0.3):12.9f}  {r.uniform(0, 2):8.5f}"
                   f"  {r.uniform(-1, 1):8.5f}  {r.uniform(-1, 1):8.5f}  {r.uniform(-1, 1):8.5f}")
    out.append("")


def f_geometry(r, out, mol):
    out.append("")
    out.append(" " * 32 + ".--------------------.")
    out.append(" " * 10 + "-" * 22 + "|Geometry convergence|" + "-" * 25)
    out.append(" " * 10 + "Item                value                   Tolerance       Converged")
    out.append(" " * 10 + "-" * 69)
    for item, tol in (("Energy change", 5e-6), ("RMS gradient", 1e-4), ("MAX gradient", 3e-4),
                      ("RMS step", 2e-3), ("MAX step", 4e-3)):
        v = r.uniform(-3, 3) * tol
        out.append(f"          {item:<18s}{v:14.10f}{tol:18.10f}      {'YES' if abs(v) < tol else 'NO'}")
    out.append(" " * 10 + "." * 56)
    out.append(f"          Max(Bonds)  {r.uniform(0, 0.01):9.4f}      Max(Angles) {r.uniform(0, 1):8.2f}")
    out.append(" " * 10 + "-" * 69)
    out.append("")


def f_thermo(r, out, mol):
    out.append("")
    _rule(out, "THERMOCHEMISTRY AT 298.15K")
    out.append("")
    out.append("Temperature         ...   298.15 K (25.00 °C)")
    out.append("Pressure            ...     1.00 atm")
    out.append(f"Total Mass          ...   {sum(MASS[s] for s in mol):8.2f} AMU")
    out.append(f"Density estimate    ...     {r.uniform(0.8, 2.2):6.3f} g/cm³")
    for name in ("Electronic energy", "Zero point energy", "Thermal vibrational correction",
                 "Thermal rotational correction", "Thermal translational correction"):
        out.append(f"{name:<34s}...  {r.uniform(-2000, 0):18.8f} Eh")
    out.append("")


def f_timings(r, out, mol):
    out.append("")
    out.append("Timings for individual modules:")
    out.append("")
    total = r.uniform(50, 5000)
    out.append(f"Sum of individual times         ...  {total:11.3f} sec (= {total / 60:7.3f} min)")
    for name in ("GTO integral calculation", "SCF iterations", "TD-DFT/TDA calculation",
                 "SOC integral calculation", "Property calculations"):
        t = total * r.uniform(0.01, 0.5)
        out.append(f"{name:<32s}...  {t:11.3f} sec (= {t / 60:7.3f} min) {100 * t / total:5.1f} %")
    out.append("")


FILLERS = [f_input, f_coords, f_scf, f_orbitals, f_charges, f_states, f_absorption,
           f_geometry, f_thermo, f_timings]

# Neither heading may appear as a line in unrelated text.
_HEADING_LINE = re.compile(r"(?m)^\s*(?:" + re.escape(TDDFT_HEADING) + "|" + re.escape(CASSCF_HEADING) + r")$")


class Filler:
    """A pool of unrelated output chunks (about 64 kB each), drawn in seeded order."""

    CHUNKS = 320
    CHUNK_BYTES = 64 * 1024

    def __init__(self, seed=20240601):
        r = random.Random(seed)
        self.chunks = []
        for _ in range(self.CHUNKS):
            mol = _molecule(r)
            out = []
            size = 0
            while size < self.CHUNK_BYTES:
                start = len(out)
                r.choice(FILLERS)(r, out, mol)
                size += sum(map(len, out[start:])) + len(out) - start
            text = "\n".join(out) + "\n"
            assert not _HEADING_LINE.search(text)
            self.chunks.append(text.encode("utf-8"))

    def fill(self, r, nbytes):
        """Chunks totalling at most nbytes, ending with a complete line."""
        pieces, size = [], 0
        while size < nbytes:
            chunk = self.chunks[r.randrange(len(self.chunks))]
            if size + len(chunk) > nbytes:
                chunk = chunk[: chunk.rfind(b"\n", 0, nbytes - size) + 1]
                if not chunk:
                    break
            pieces.append(chunk)
            size += len(chunk)
        return pieces


# ---------------------------------------------------------------- TD-DFT SOC blocks

class SocPools:
    """Pools of element-line parts with their exact values.

    A line is a (weight, real, imag) part, sorted by weight so that sorted indices give
    the descending weights of a real eigenvector, plus a (root, spin, ms) part.
    """

    SIZE = 1 << 16

    def __init__(self, seed=7):
        r = random.Random(seed)
        pairs = []
        for _ in range(self.SIZE):
            w = r.random() ** 3
            phi = r.uniform(0, 2 * math.pi)
            re_k = round(math.sqrt(w) * math.cos(phi) * 1e5)
            im_k = round(math.sqrt(w) * math.sin(phi) * 1e5)
            w_k = min(100000, round((re_k * re_k + im_k * im_k) / 1e5))
            pairs.append((w_k, re_k, im_k))
        pairs.sort(key=lambda p: -p[0])
        texts = [(dec(w, 5), dec(a, 5), dec(b, 5)) for w, a, b in pairs]
        vals = f32([float(t) for trio in texts for t in trio])
        self.pair_text, self.pair_json, self.pair_m = [], [], []
        for i, (tw, ta, tb) in enumerate(texts):
            w, a, b = vals[3 * i: 3 * i + 3]
            self.pair_text.append(f"{tw:>27s}{ta:>12s}{tb:>13s}")
            self.pair_json.append(f'{{"weight":{w!r},"real":{a!r},"imag":{b!r}')
            self.pair_m.append(MDICT + mkey("weight") + mfloat(w) + mkey("real") + mfloat(a)
                               + mkey("imag") + mfloat(b))
        tails = []
        for t in range(1024):
            root, (spin, ms) = t >> 2, ((0, 0), (1, -1), (1, 0), (1, 1))[t & 3]
            tails.append((f"  :{root:6d}{spin:6d}{ms:5d}\n",
                          f',"root":{root},"spin":{spin},"ms":{ms}}}',
                          mkey("root") + mint(root) + mkey("spin") + mint(spin) + mkey("ms") + mint(ms) + MEND))
        # Repeated to 2^16 entries so that 16-bit random numbers index it directly.
        self.tail_text = [t[0] for t in tails] * 64
        self.tail_json = [t[1] for t in tails] * 64
        self.tail_m = [t[2] for t in tails] * 64


def soc_block(r, pools, nstates=None, nelements=None, per_state=(8, 40)):
    """States of one eigenvector block, up to nstates states or exactly nelements elements.

    Returns (text, json list text, marshal list bytes, states, elements)."""
    if nelements is None:
        counts = [r.randint(*per_state) for _ in range(nstates)]
    else:
        counts = []
        left = nelements
        while left > 0:
            c = min(left, r.randint(*per_state))
            counts.append(c)
            left -= c
    total = sum(counts)
    pick = memoryview(r.randbytes(2 * total)).cast("H")
    tail = memoryview(r.randbytes(2 * total)).cast("H")
    energy_hundredths = []
    e = 0
    for _ in counts:
        energy_hundredths.append(e)
        e += r.randrange(0, 400)
    etexts = [dec(k, 2) for k in energy_hundredths]
    evals = f32([float(t) for t in etexts])
    ptxt, pjs, pm = pools.pair_text, pools.pair_json, pools.pair_m
    ttxt, tjs, tm = pools.tail_text, pools.tail_json, pools.tail_m
    text, js, ms = [], [], []
    pos = 0
    for n, c in enumerate(counts):
        idx = sorted(pick[pos: pos + c])
        tl = tail[pos: pos + c]
        pos += c
        text.append(f"STATE {n:3d}:{etexts[n]:>12s}\n")
        text.append("".join([ptxt[i] + ttxt[t] for i, t in zip(idx, tl)]))
        js.append(f'{{"n":{n},"energy":{evals[n]!r},"elements":['
                  + ",".join([pjs[i] + tjs[t] for i, t in zip(idx, tl)]) + "]}")
        ms.append(MDICT + mkey("n") + mint(n) + mkey("energy") + mfloat(evals[n])
                  + mkey("elements") + mlist_head(c) + b"".join([pm[i] + tm[t] for i, t in zip(idx, tl)]) + MEND)
    return ("".join(text), "[" + ",".join(js) + "]",
            mlist_head(len(counts)) + b"".join(ms), len(counts), total)


def soc_section(r, block_text, nstates):
    head = ("\n" + "-" * 50 + "\n" + TDDFT_HEADING + "\n" + "-" * 50 + "\n\n"
            f"Number of states (singlets + triplets x 3): {nstates}\n"
            "Calculating SOC integrals ... done\n\n"
            f"Lowest eigenvalue of the SOC matrix:  {-r.uniform(0, 1e-3):14.8f} Eh\n\n"
            "Eigenvectors of the SOC matrix:\n\n"
            "             E(cm-1)    Weight      Real         Image     : Root  Spin  Ms\n")
    return head + block_text + "\nSOC-corrected absorption bands follow.\n\n"


def tddft_tree(js, mb):
    return ('{"soc_matrix":{"eigenvectors":' + js + "}}",
            MDICT + mkey("soc_matrix") + MDICT + mkey("eigenvectors") + mb + MEND + MEND)


# ---------------------------------------------------------------- CASSCF tables

ORBITAL_TYPES = {
    "H": ["s", "pz", "px", "py"],
    "heavy": ["s", "pz", "px", "py", "dz2", "dxz", "dyz", "dx2y2", "dxy"],
    "metal": ["s", "pz", "px", "py", "dz2", "dxz", "dyz", "dx2y2", "dxy",
              "f0", "f+1", "f-1", "f+2", "f-2", "f+3", "f-3"],
}


def composition_table(r, block_sizes, rows):
    """One composition section (heading to closing rule).

    Returns (text, json text, marshal bytes, orbitals, contributions)."""
    mol = ["Fe"] + [r.choice(["C", "C", "C", "N", "O", "S", "Cl", "H", "H", "H"]) for _ in range(63)]
    basis = []
    for a, s in enumerate(mol):
        kind = "H" if s == "H" else "metal" if s in ("Fe", "Cu") else "heavy"
        basis += [(a, s, ot) for ot in ORBITAL_TYPES[kind]]
    label_text = [f"{a:3d} {s:<2s} {ot:<5s}" for a, s, ot in basis]
    label_json = [f'{{"atom_nr":{a},"element":"{s}","orbital_type":"{ot}","contribution":' for a, s, ot in basis]
    label_m = [MDICT + mkey("atom_nr") + mint(a) + mkey("element") + mkey(s) + mkey("orbital_type") + mkey(ot)
               + mkey("contribution") for a, s, ot in basis]
    value_texts = [dec(k, 1) for k in range(1001)]
    value_vals = f32([float(t) for t in value_texts])
    value_text = [f"{t:>10s}" for t in value_texts]
    value_json = [f"{v!r}}}" for v in value_vals]
    value_m = [mfloat(v) + MEND for v in value_vals]

    norb = sum(block_sizes)
    e_k = sorted(r.randrange(-2_600_000, 400_000) for _ in range(norb))
    e_txt = [dec(k, 5) for k in e_k]
    nocc = int(norb * 0.3)
    occ_k = [200000] * nocc + [r.randrange(150000, 200000) for _ in range(4)] \
        + [r.randrange(0, 50000) for _ in range(4)]
    occ_k += [0] * (norb - len(occ_k))
    occ_txt = [dec(k, 5) for k in occ_k]
    e_val, occ_val = f32([float(t) for t in e_txt]), f32([float(t) for t in occ_txt])

    text = ["\n" + "-" * 28 + "\n" + CASSCF_HEADING + "\n" + "-" * 28 + "\n\n"]
    js, ms = [], []
    first = 0
    ncontrib = 0
    for k in block_sizes:
        cols = range(first, first + k)
        text.append(" " * 18 + "".join(f"{i:10d}" for i in cols) + "\n")
        text.append(" " * 18 + "".join(f"{e_txt[i]:>10s}" for i in cols) + "\n")
        text.append(" " * 18 + "".join(f"{occ_txt[i]:>10s}" for i in cols) + "\n")
        text.append(" " * 18 + "  --------" * k + "\n")
        picked = sorted(r.sample(range(len(basis)), rows))
        grid = [[min(1000, int(1001 * r.random() ** 5)) for _ in range(k)] for _ in picked]
        for b, vals in zip(picked, grid):
            text.append(label_text[b] + "".join([value_text[v] for v in vals]) + "\n")
        text.append("\n")
        for c, i in enumerate(cols):
            js.append(f'{{"orbital_nr":{i},"energy":{e_val[i]!r},"occupation":{occ_val[i]!r},"contributions":['
                      + ",".join([label_json[b] + value_json[vals[c]] for b, vals in zip(picked, grid)]) + "]}")
            ms.append(MDICT + mkey("orbital_nr") + mint(i) + mkey("energy") + mfloat(e_val[i])
                      + mkey("occupation") + mfloat(occ_val[i]) + mkey("contributions") + mlist_head(rows)
                      + b"".join([label_m[b] + value_m[vals[c]] for b, vals in zip(picked, grid)]) + MEND)
        ncontrib += k * rows
        first += k
    text.append("-" * 30 + "\nLOEWDIN REDUCED ACTIVE MOs\n" + "-" * 30 + "\n\n")
    tree_json = '{"orbital_contributions":[' + ",".join(js) + "]}"
    tree_m = MDICT + mkey("orbital_contributions") + mlist_head(norb) + b"".join(ms) + MEND
    return "".join(text), tree_json, tree_m, norb, ncontrib


# ---------------------------------------------------------------- the files

TRAILER = "\nTOTAL RUN TIME: 0 days 0 hours 41 minutes 7 seconds 118 msec\n"


class Context:
    _filler = _soc = None

    @property
    def filler(self):
        if Context._filler is None:
            Context._filler = Filler()
        return Context._filler

    @property
    def soc(self):
        if Context._soc is None:
            Context._soc = SocPools()
        return Context._soc


def build_skip_tddft(ctx, r):
    text, js, mb, ns, ne = soc_block(r, ctx.soc, nstates=12, per_state=(1, 6))
    tail = (soc_section(r, text, ns) + TRAILER).encode()
    pieces = ctx.filler.fill(r, 200 * MB - len(tail)) + [tail]
    return pieces, *tddft_tree(js, mb), {"states": ns, "elements": ne}


def build_skip_casscf(ctx, r):
    text, js, mb, no, nc = composition_table(r, [6, 5], 12)
    tail = (text + TRAILER).encode()
    pieces = ctx.filler.fill(r, 200 * MB - len(tail)) + [tail]
    return pieces, js, mb, {"orbitals": no, "contributions": nc}


def _dense(ctx, r, nelements):
    text, js, mb, ns, ne = soc_block(r, ctx.soc, nelements=nelements)
    pieces = ctx.filler.fill(r, 64 * 1024) + [(soc_section(r, text, ns) + TRAILER).encode()]
    return pieces, *tddft_tree(js, mb), {"states": ns, "elements": ne}


def build_dense(ctx, r):
    return _dense(ctx, r, 2_000_000)


def build_dense_tenth(ctx, r):
    return _dense(ctx, r, 200_000)


def build_mixed_tddft(ctx, r):
    first, _, _, ns1, _ = soc_block(r, ctx.soc, nstates=2_000)
    last, js, mb, ns, ne = soc_block(r, ctx.soc, nstates=20_000)
    first = soc_section(r, first, ns1).encode()
    last = soc_section(r, last, ns).encode()
    pieces = ctx.filler.fill(r, 40 * MB) + [first]
    pieces += ctx.filler.fill(r, 110 * MB - sum(map(len, pieces))) + [last]
    pieces += ctx.filler.fill(r, 200 * MB - sum(map(len, pieces)) - len(TRAILER)) + [TRAILER.encode()]
    return pieces, *tddft_tree(js, mb), {"states": ns, "elements": ne, "first_section_states": ns1}


def build_mixed_casscf(ctx, r):
    text, js, mb, no, nc = composition_table(r, [6] * 330 + [5] * 4, 200)
    section = text.encode()
    pieces = ctx.filler.fill(r, 140 * MB) + [section]
    pieces += ctx.filler.fill(r, 200 * MB - sum(map(len, pieces)) - len(TRAILER)) + [TRAILER.encode()]
    return pieces, js, mb, {"orbitals": no, "contributions": nc}


FILES = {
    "skip_tddft": ("tddft", build_skip_tddft),
    "skip_casscf": ("casscf", build_skip_casscf),
    "dense": ("tddft", build_dense),
    "dense_tenth": ("tddft", build_dense_tenth),
    "mixed_tddft": ("tddft", build_mixed_tddft),
    "mixed_casscf": ("casscf", build_mixed_casscf),
}


def paths(data, name):
    return {ext: data / f"{name}.{ext}" for ext in ("out", "json", "marshal", "meta")}


def load_meta(data, name):
    """The file's metadata if all its files are present and current, else None."""
    p = paths(data, name)
    try:
        meta = json.loads(p["meta"].read_text())
    except (OSError, ValueError):
        return None
    if meta.get("version") != VERSION:
        return None
    for ext in ("out", "json", "marshal"):
        if not p[ext].exists() or p[ext].stat().st_size != meta[f"{ext}_bytes"]:
            return None
    return meta


def _write(path, pieces):
    tmp = path.with_name(path.name + ".tmp")
    with open(tmp, "wb") as f:
        for piece in pieces:
            f.write(piece)
    os.replace(tmp, path)


def generate(data, name, force=False, log=print):
    """Builds NAME's files in data unless current ones exist; returns its metadata."""
    data.mkdir(parents=True, exist_ok=True)
    if not force:
        meta = load_meta(data, name)
        if meta is not None:
            return meta
    kind, builder = FILES[name]
    started = time.perf_counter()
    # The seed depends only on the name, so each file is the same on every machine.
    r = random.Random(f"skav-bench-{name}-{VERSION}")
    pieces, tree_json, tree_m, counts = builder(Context(), r)
    p = paths(data, name)
    p["meta"].unlink(missing_ok=True)
    _write(p["out"], pieces)
    _write(p["json"], [tree_json.encode("ascii")])
    _write(p["marshal"], [tree_m])
    meta = {"version": VERSION, "name": name, "kind": kind,
            "out_bytes": sum(map(len, pieces)),
            "lines": sum(piece.count(b"\n") for piece in pieces),
            "json_bytes": len(tree_json), "marshal_bytes": len(tree_m), **counts}
    p["meta"].write_text(json.dumps(meta, indent=1) + "\n")
    log(f"generated {name}: {meta['out_bytes'] / MB:.1f} MB, {meta['lines']:,} lines "
        f"in {time.perf_counter() - started:.1f} s")
    return meta


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("names", nargs="*", metavar="NAME", help="files to build: " + ", ".join(FILES) + " (default: all)")
    ap.add_argument("--data", type=Path, default=DEFAULT_DATA, help="output folder (default: bench/data)")
    ap.add_argument("--force", action="store_true", help="rebuild even if current files exist")
    args = ap.parse_args(argv)
    unknown = set(args.names) - set(FILES)
    if unknown:
        ap.error("unknown file name(s): " + ", ".join(sorted(unknown)))
    for name in args.names or FILES:
        generate(args.data, name, args.force)


if __name__ == "__main__":
    sys.exit(main())
