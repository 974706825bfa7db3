"""The couplings between triplets and singlets and the SOC-corrected spectra of a TD-DFT output, as the
column reader gives them: both release layouts, the tables beside them that look alike, malformed rows."""

from pathlib import Path

import pytest

from arrow_stream import read_table
from conftest import SOC, case, same
from skav_batch import _columns

SAMPLES = Path(__file__).resolve().parent.parent / "samples"
FRAME, REDUCED_FRAME = " " * 6 + "-" * 80, " " * 6 + "-" * 62
STATES = SOC + "STATE 0: 0.0\n 1.0 1.0 0.0 : 0 0 0\n\n"  # the eigenvectors, which every case keeps
# Two roots: a row for each triplet and singlet, the ground state included; wide values touch "(" and ",".
COUPLINGS = [(1, 0, (0.0, -5.86, 0.0, 0.0, -0.0, -145.5)), (1, 1, (0.0, 0.0, 0.0, -3.47, -0.0, -0.0)),
             (1, 2, (12.25, 1.5, -0.75, 0.0, 3.0, -4.0)), (2, 0, (-1234.56, -12345.67, -3.0, 4.0, -5.0, 6.0)),
             (2, 1, (0.5, 0.25, 0.0, 0.0, 0.0, 0.0)), (2, 2, (0.0, 0.0, 0.0, 0.0, 0.0, 0.0)),
             (3, 0, (9999.99, -999.99, -99.99, 12345.67, 0.01, -0.07))]  # the widest that fill their places


def couplings_text(rows, spherical=True, reduced=True):
    """The Z/X/Y table, then the MS table under the same heading and the reduced ones, as a release prints them."""
    def table(header, row):
        return [FRAME, " " * 22 + "CALCULATED SOCME BETWEEN TRIPLETS AND SINGLETS", FRAME,
                "           Root                          <T|HSO|S>  (Re, Im) cm-1", header, FRAME,
                *(f"{t:10d}{s:7d}" + "".join(row(v[i], v[i + 1]) for i in (0, 2, 4)) for t, s, v in rows), ""]
    lines = table("         T      S             Z                     X                     Y",
                  lambda re, im: f"    ({re:7.2f} ,{im:8.2f} )")
    if spherical:
        lines += table("         T      S           MS= 0                  -1                    +1",
                       lambda re, im: f"    ({im:7.2f} ,{re:8.2f})")
    if reduced:
        lines += [REDUCED_FRAME, "        CALCULATED REDUCED SOCME BETWEEN TRIPLETS AND SINGLETS", REDUCED_FRAME,
                  "         T      S", REDUCED_FRAME, *(f"{t:10d}{s:7d}    (   9.99 ,   -9.99 )" for t, s, _ in rows), ""]
    return "\n".join(lines) + "\n"


# (state, multiplicity, cm-1, strength, squared, x, y, z) of two transitions from the ground state.
TRANSITIONS = [(1, 3.0, 15019.3, 1.8e-08, 0.0, 0.0, 0.00057, 0.00026), (2, 1.0, 32000.5, 0.012345678, 0.5, 0.1, 0.2, 0.3)]
LATER = ["SOC CORRECTED ABSORPTION SPECTRUM VIA TRANSITION ELECTRIC DIPOLE MOMENTS",
         "SOC CORRECTED ABSORPTION SPECTRUM VIA TRANSITION VELOCITY DIPOLE MOMENTS",
         "SOC CORRECTED CD SPECTRUM VIA TRANSITION ELECTRIC DIPOLE MOMENTS",
         "SOC CORRECTED CD SPECTRUM VIA TRANSITION VELOCITY DIPOLE MOMENTS"]
EARLIER = ["SPIN ORBIT CORRECTED ABSORPTION SPECTRUM VIA TRANSITION ELECTRIC DIPOLE MOMENTS",
           "SPIN ORBIT CORRECTED ABSORPTION SPECTRUM VIA TRANSITION VELOCITY DIPOLE MOMENTS",
           "SPIN ORBIT CORRECTED CD SPECTRUM", "SPIN ORBIT CORRECTED CD SPECTRUM VIA TRANSITION VELOCITY DIPOLE MOMENTS"]
KINDS = ["absorption-electric", "absorption-velocity", "cd-electric", "cd-velocity"]
TITLE = "SOC CORRECTED TD-DFT/TDA-EXCITATION SPECTRA"


def spectra_text(later=True, title=TITLE, units="(nm)", repeats=False):
    """The four spectra after the title; the earlier layout with its repeats of complex components."""
    lines = ["", "-" * 80, title, "-" * 80, ""] if title else []
    for k, heading in enumerate(LATER if later else EARLIER):
        cd, rule = k >= 2, "-" * (104 if later else 81)
        lines += ["", "-" * 77, " " * 16 + heading, "-" * 77,
                  "      Transition         Energy     Energy  Wavelength fosc(D2)      D2       |DX|      |DY|      |DZ|"
                  if later else "  States    Energy  Wavelength   fosc         T2         TX        TY        TZ",
                  f"                          (eV)      (cm-1)    {units}                 (au**2)    (au)", rule]
        for state, multiplicity, cm, strength, squared, *xyz in TRANSITIONS:
            values = (f"{strength:11.5f}" if cd else f"{strength:14.9f}{squared:10.5f}") + "".join(f"{v:10.5f}" for v in xyz)
            lines.append(f"{0:3d}-{1.0:.1f}A  ->{state:3d}-{multiplicity:.1f}A{cm / 8065.54:12.6f}{cm:10.1f}{1e7 / cm:8.1f}"
                         + values if later else f"{0:4d}{state:4d}{cm:10.1f}{1e7 / cm:9.1f}" + values)
        lines.append("")
    if repeats:  # the same four with complex components: no more transitions
        lines.append("*The X,Y and Z components are the absolute values of the complex numbers")
        for k, heading in enumerate(LATER):
            lines += ["", "-" * 77, heading + ("*" if k < 3 else ""), "-" * 77,
                      "   State    Energy  Wavelength   fosc         T2         TX        TY        TZ", "   (cm-1)", "-" * 81,
                      f"{0:4d}{1:4d}{15019.3:10.1f}{665.8:9.1f}{0.0:14.9f}{0.0:10.5f}" + " (  0.00000,  0.00000)" * 3, ""]
    return "\n".join(lines) + "\n"


def expected_transitions(later=True):
    rows = []
    for k, kind in enumerate(KINDS):
        for state, multiplicity, cm, strength, squared, *xyz in TRANSITIONS:
            rows.append([kind, 0, state, 1.0 if later else None, multiplicity if later else None,
                         round(cm / 8065.54, 6) if later else None, cm, round(1e7 / cm, 1),
                         round(strength, 5 if k >= 2 else 9), None if k >= 2 else squared, *xyz])
    return rows


def read_file(path):
    """Each table's rows (file first), as the column reader gives them."""
    tables, _ = _columns.read([path], [path], "auto")
    return {name: read_table(table) for name, table in tables.items()}


def read(write_file, text):
    tables = read_file(write_file(text))
    failures = [(kind, error, message, where.split(": ", 1)[1]) for _, kind, error, message, where in tables["failures"]]
    return tables, failures


def rows(table):
    return [row[1:] for row in table]


def couplings_rows(rows_given):
    return [[t, s, *v] for t, s, v in rows_given]


def malformed(table, reason, line):
    return [("tddft", "MalformedRow", f"{table}: the row does not read: {reason}", f'"{line}"')]


BAD_ROW = "         1      0    (   0.0x ,   -5.86 )    (   0.00 ,    0.00 )    (  -0.00 , -145.50 )"
NO_PARENTHESIS = "         1      0    (   0.00 ,   -5.86 )       0.00 ,    0.00 )    (  -0.00 , -145.50 )"
CUT_ROW = "         2      2    (   0.00 ,    0.00 )    (   0.00"
TOUCHING_ROW = f"{1:10d}{1234567:7d}" + "    (   0.00 ,    0.00 )" * 3  # the words read 11234567 and then no singlet
# Numbers the printed places never hold, which read all the same: a plus, no whole digit, leading zeros.
UNPRINTED_ROW = "         1      0    (  +1.00 ,    -.50 )    (0001.25 ,   -0.00 )    (  -0.00 , -145.50 )"
TIGHT_ROW = "         1      0    (0.00,-5.86)    (0.00,0.00)    (-0.00,-145.50)"  # the marks touch the numbers


@pytest.mark.parametrize("text, expected, failures", [
    case("with-spherical-and-reduced", STATES + couplings_text(COUPLINGS), couplings_rows(COUPLINGS), []),
    case("crlf", (STATES + couplings_text(COUPLINGS)).replace("\n", "\r\n"), couplings_rows(COUPLINGS), []),
    case("alone-at-the-end", STATES + couplings_text(COUPLINGS, False, False).rstrip("\n"), couplings_rows(COUPLINGS), []),
    case("last-of-two-parts", couplings_text(COUPLINGS[:2]) + STATES + couplings_text(COUPLINGS[3:]),
         couplings_rows(COUPLINGS[3:]), []),
    case("spherical-only", STATES + couplings_text(COUPLINGS).split("\n\n", 1)[1], [], []),
    case("none", STATES, [], []),
    case("before-the-soc-part", couplings_text(COUPLINGS) + STATES, [], []),
    case("marks-touching", STATES + couplings_text(COUPLINGS).replace(couplings_text(COUPLINGS).splitlines()[6], TIGHT_ROW, 1),
         couplings_rows(COUPLINGS), []),
    case("numbers-never-printed", STATES + couplings_text(COUPLINGS).replace(couplings_text(COUPLINGS).splitlines()[6],
                                                                             UNPRINTED_ROW, 1),
         [[1, 0, 1.0, -0.5, 1.25, -0.0, -0.0, -145.5], *couplings_rows(COUPLINGS[1:])], []),
    case("bad-number", STATES + couplings_text(COUPLINGS).replace(couplings_text(COUPLINGS).splitlines()[6], BAD_ROW, 1),
         [], malformed("soc_couplings", "a bad number", BAD_ROW)),
    case("singlet-touching-triplet", STATES + couplings_text(COUPLINGS).replace(couplings_text(COUPLINGS).splitlines()[6],
                                                                                TOUCHING_ROW, 1),
         [], malformed("soc_couplings", "a missing field", TOUCHING_ROW)),
    case("missing-parenthesis", STATES + couplings_text(COUPLINGS).replace(couplings_text(COUPLINGS).splitlines()[6],
                                                                           NO_PARENTHESIS, 1),
         [], malformed("soc_couplings", "a missing parenthesis", NO_PARENTHESIS)),
    case("cut-by-the-end", STATES + couplings_text(COUPLINGS, False, False).rsplit("\n", 2)[0] + "\n" + CUT_ROW, [],
         malformed("soc_couplings", "the row ends early", CUT_ROW)),
])
def test_couplings(write_file, text, expected, failures):
    tables, failed = read(write_file, text)
    assert same(rows(tables["soc_couplings"]), expected) and failed == failures, rows(tables["soc_couplings"])  # -0.00 too
    assert len(tables["soc_states"]) == 1  # the file's other tables are read all the same


GOOD_SPECTRUM_ROW = next(line for line in spectra_text().splitlines() if "->" in line)
BAD_SPECTRUM_ROW = GOOD_SPECTRUM_ROW.replace("0.000000018", "0.0000000x8")
BAD_LABEL_ROW = GOOD_SPECTRUM_ROW.replace("1-3.0A", "  1-.A")  # the state reads, its multiplicity does not
CUT_SPECTRUM_ROW = "   0   2   32000.5    312.5   0.0123"


@pytest.mark.parametrize("text, expected, failures", [
    case("later-layout", STATES + spectra_text(), expected_transitions(), []),
    case("later-crlf", (STATES + spectra_text()).replace("\n", "\r\n"), expected_transitions(), []),
    case("later-without-tda", STATES + spectra_text(title="SOC CORRECTED TD-DFT-EXCITATION SPECTRA"),
         expected_transitions(), []),
    case("earlier-with-repeats", STATES + spectra_text(False, repeats=True), expected_transitions(False), []),
    case("earlier-at-the-end", STATES + spectra_text(False).rstrip("\n"), expected_transitions(False), []),
    case("last-of-two-parts", spectra_text(False) + STATES + spectra_text(), expected_transitions(), []),
    case("look-alike-without-title", STATES + spectra_text(title=None), [], []),
    case("populations-after-the-title", STATES + spectra_text(units="(*population)"), [], []),
    case("bad-number", STATES + spectra_text().replace(GOOD_SPECTRUM_ROW, BAD_SPECTRUM_ROW, 1),
         [], malformed("soc_transitions", "a bad number", BAD_SPECTRUM_ROW)),
    case("bad-state-label", STATES + spectra_text().replace(GOOD_SPECTRUM_ROW, BAD_LABEL_ROW, 1),
         [], malformed("soc_transitions", "a bad state label", BAD_LABEL_ROW)),
    case("cut-by-the-end", STATES + spectra_text(False).rstrip("\n").rsplit("\n", 1)[0] + "\n" + CUT_SPECTRUM_ROW,
         [], malformed("soc_transitions", "the row ends early", CUT_SPECTRUM_ROW)),
])
def test_spectra(write_file, text, expected, failures):
    tables, failed = read(write_file, text)
    assert (rows(tables["soc_transitions"]), failed) == (expected, failures)
    assert len(tables["soc_states"]) == 1


@pytest.mark.parametrize("path, couplings, transitions", [
    case("release6", "formaldehyde_soc_release6.out", 12, 48),
    case("release5", "formaldehyde_soc_release5.out", 12, 48),
    case("rocis", "water_rocis_soc.out", 0, 0),
])
def test_samples_of_each_layout(path, couplings, transitions):
    tables = read_file(str(SAMPLES / path))
    assert [row[-3:] for row in tables["files"]] == [[couplings, transitions, False]]
    assert list(dict.fromkeys(row[1] for row in tables["soc_transitions"])) == (KINDS if transitions else [])
