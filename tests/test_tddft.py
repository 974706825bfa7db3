"""parse_tddft: SOC sections of a TD-DFT output, read through real files."""

from pathlib import Path

import pytest

import skav_rs
from conftest import UNWRAP_NONE, case, f32, float_error, int_error, raises_panic

SECTION = "SKAV SPIN-ORBIT COUPLING CALCULATION"
EIGEN = "Eigenvectors of the SOC matrix:"


def soc_section(*block, before=(), skipped="-" * 40, end="\n\n", heading=SECTION, eigen=EIGEN):
    """A section: heading, lines before the eigenvector heading, that heading, the skipped line, the block."""
    return "\n".join([heading, *before, eigen, skipped, *block]) + end


def el(w="0.5", r="0.25", i="-0.75", root="1", spin="2", ms="-3"):
    """An eigenvector-element line."""
    return f"{w} {r} {i} : {root} {spin} {ms}"


def element(weight=0.5, real=0.25, imag=-0.75, root=1, spin=2, ms=-3):
    return {"weight": f32(weight), "real": f32(real), "imag": f32(imag), "root": root, "spin": spin, "ms": ms}


def eigvec(n, energy, *elements):
    return {"n": n, "energy": f32(energy), "elements": list(elements)}


def soc(*eigenvectors):
    return {"soc_matrix": {"eigenvectors": list(eigenvectors)}}


def typed(value):
    """Makes int/float, -0.0/0.0 and nan distinguishable in comparisons."""
    if isinstance(value, dict):
        return {key: typed(item) for key, item in value.items()}
    if isinstance(value, list):
        return [typed(item) for item in value]
    return (type(value).__name__, repr(value))


def check(write_file, text, expected):
    assert typed(skav_rs.parse_tddft(write_file(text))) == typed(expected)


WORKED = soc_section(
    "Energy   weight   Re   Im : root spin ms",
    "STATE 0: 0.00",
    "0.98 -0.99 0.00 : 0 0 0",
    "0.02 0.10 -0.10 : 1 1 -1",
    "STATE 1: 12.5",
    "1.00 1.00 0.00 : 2 0 0",
    before=["some header text", "   ", "no colon here", "STATE x"],
)
WORKED_RESULT = soc(
    eigvec(0, 0.0, element(0.98, -0.99, 0.0, 0, 0, 0), element(0.02, 0.1, -0.1, 1, 1, -1)),
    eigvec(1, 12.5, element(1.0, 1.0, 0.0, 2, 0, 0)),
)


def test_worked_example(write_file):
    result = skav_rs.parse_tddft(write_file("TD-DFT output\n\n" + WORKED + "trailing text\n"))
    assert typed(result) == typed(WORKED_RESULT)
    assert result["soc_matrix"]["eigenvectors"][0]["elements"][0]["weight"] == 0.9800000190734863


ONE_EV = eigvec(1, 1.0)
ONE = soc(ONE_EV)
ONE_EL = soc(eigvec(1, 1.0, element()))
S1 = "STATE 1: 1"


@pytest.mark.parametrize(
    "text, expected",
    [
        case("section-heading-last-line", SECTION, soc()),
        case("no-eigenvector-heading", SECTION + "\nno table\nfollows\n", soc()),
        case("eigenvector-heading-last-line", SECTION + "\n" + EIGEN, soc()), case("empty-block", soc_section(), soc()),
        case("last-section-wins-with-empty-block", soc_section(S1) + soc_section(), soc()),
        case("empty-line-ends-block", soc_section(S1) + "STATE 2: 2\n   \nno colon\n", ONE),
        case("crlf-empty-line-ends-block", soc_section(S1, "\r", "   "), ONE),
        case("end-of-input-ends-block", soc_section(S1, el(), end=""), ONE_EL),
        case("skipped-line-state", soc_section(S1, skipped="STATE 9: 9"), ONE),
        case("skipped-line-section-heading", soc_section(S1, skipped=SECTION), ONE),
        case("later-eigenvector-heading-outside-section", soc_section(S1) + f"{EIGEN}\n--\nSTATE 2: 2\n", ONE),
        case("section-heading-leading-blanks", soc_section(S1, heading=" \t " + SECTION), ONE),
        case("eigenvector-heading-trailing-blank", soc_section(S1, eigen=EIGEN + " "), soc()),
        case("eigenvector-heading-lowercase", soc_section(S1, eigen=EIGEN.lower()), soc()),
        case("crlf-line-ends", WORKED.replace("\n", "\r\n"), WORKED_RESULT),
        case("state-after-second-colon-ignored", soc_section("STATE 12 : -0.5 : more: text"), soc(eigvec(12, -0.5))),
        case("element-after-second-colon-ignored", soc_section(S1, "0.5 0.25 -0.75 : 1 2 -3 : x : 1,5"), ONE_EL),
    ],
)
def test_section_layout(write_file, text, expected):
    check(write_file, text, expected)


MISSING = [
    ("empty-file", ""), ("no-section-heading", f"output\n{EIGEN}\n--\nSTATE 1: 1\n"),
    ("section-heading-trailing-blank", soc_section(S1, heading=SECTION + " ")),
    ("section-heading-lowercase", soc_section(S1, heading=SECTION.lower())),
    ("zero-width-space-before-heading", soc_section(S1, heading="\u200b" + SECTION)),
    ("final-heading-line-with-cr", SECTION + "\r"), ("heading-line-with-two-crs", SECTION + "\r\r\n"),
    ("blank-line-in-block", soc_section(S1, "   ")), ("tab-line-in-block", soc_section(S1, "\t")),
    ("unicode-space-line-in-block", soc_section(S1, "\u00a0\u3000")), ("cr-line-in-block", soc_section(S1, "\r\r")),
    ("state-without-colon", soc_section("STATE 1 1.5")), ("element-without-colon", soc_section(S1, "0.5 0.25 -0.75 1 2 -3")),
    ("two-fields-before-colon", soc_section(S1, "0.5 0.25 : 1 2 -3")), ("two-fields-after-colon", soc_section(S1, "0.5 0.25 -0.75 : 1 2")),
    ("nothing-after-colon", soc_section(S1, "0.5 0.25 -0.75 :")),
    ("third-field-after-second-colon", soc_section(S1, "0.5 0.25 -0.75 : 1 2 : -3")),
    ("dashes-line", soc_section(S1, "-" * 30)), ("section-heading-inside-block", soc_section(S1, SECTION)),
    ("lowercase-state-is-element-line", soc_section("state 1: 1")),
    ("missing-item-after-bad-numbers", soc_section("STATE x: 1", el(w="abc"), "0.5 : 1 2 3")),
    ("earlier-section-fails", soc_section(S1, "  ") + soc_section("STATE 2: 2")),
]
# Which field is read as which number type, and which bad number is reported first.
NUMBERS = [
    ("state-word-plural", soc_section("STATES 1: 1"), int_error("InvalidDigit")),
    ("state-word-removed-in-one-pass", soc_section("SSTATETATE 1: 1"), int_error("InvalidDigit")),
    ("state-any-word", soc_section("Something: 1"), int_error("InvalidDigit")),
    ("state-before-energy", soc_section("STATE x: y"), int_error("InvalidDigit")),
    ("energy-blank-between-colons", soc_section("STATE 1: : 5"), float_error("Empty")),
    ("weight", soc_section(S1, el(w="abc")), float_error("Invalid")), ("real", soc_section(S1, el(r="1,5")), float_error("Invalid")),
    ("imag", soc_section(S1, el(i="i")), float_error("Invalid")), ("root", soc_section(S1, el(root="256")), int_error("PosOverflow")),
    ("spin", soc_section(S1, el(spin="-1")), int_error("InvalidDigit")), ("ms", soc_section(S1, el(ms="-129")), int_error("NegOverflow")),
    ("root-before-spin", soc_section(S1, el(root="256", spin="-1")), int_error("PosOverflow")),
    ("floats-before-integers", soc_section(S1, el(i="x", root="256")), float_error("Invalid")),
    ("dropped-element-still-read", soc_section(el(w="abc"), S1), float_error("Invalid")),
    ("first-in-file-order", soc_section(S1, el(ms="128"), el(w="x")), int_error("PosOverflow")),
    ("earlier-section-reported", soc_section("STATE 1: x") + soc_section("STATE 2: 2"), float_error("Invalid")),
    ("number-before-later-missing-item", soc_section("STATE 1: x") + soc_section("  "), float_error("Invalid")),
]


@pytest.mark.parametrize("text, message", [
    *(case(name, text, UNWRAP_NONE) for name, text in MISSING), *(case(name, text, message) for name, text, message in NUMBERS)])
def test_failure(write_file, text, message):
    with raises_panic(message):
        skav_rs.parse_tddft(write_file(text))


FRAMED, FRAMED_SHORT = "TD-DFT/TDA SPIN-ORBIT COUPLING", "TD-DFT SPIN-ORBIT COUPLING"
NOT_HEADED = f'no line headed "{SECTION}"'


def framed_section(*block, heading=FRAMED, before=("", "Calculating the spin-orbit integrals:", "")):
    """A section as newer releases frame it: a rule above and below the heading, the full SOC matrix."""
    rule = "-" * len(heading.strip())
    matrix = ["The full SOC matrix:", "          0          1", "   0   0.000000   0.000001", "",
              "The threshold for printing is 1.0e-02"]
    return soc_section("             E(cm-1)  Weight      Real         Imag     : Root  Spin  Ms", *block,
                       heading="\n".join([rule, heading, rule]), before=[*before, *matrix], skipped="")


NEWER_BLOCK = (" STATE  0:      0.00", "                      0.99989      0.99994     -0.00000 : 0     0     0",
               " STATE  1:  15021.37", "                      0.99892      0.00000     -0.99946 : 1     1     0",
               "                      0.00100      0.03162      0.00000 : 2     1    -1")
NEWER_RESULT = soc(eigvec(0, 0.0, element(0.99989, 0.99994, -0.0, 0, 0, 0)),
                   eigvec(1, 15021.37, element(0.99892, 0.0, -0.99946, 1, 1, 0), element(0.001, 0.03162, 0.0, 2, 1, -1)))
NEWER = "TD-DFT/TDA EXCITED STATES (TRIPLETS)\n\n" + framed_section(*NEWER_BLOCK) + "SOC-corrected spectrum\n"


# Newer releases head the SOC part only with its frame. A text without any section heading is
# read with the framed heading in its place; where that fails too, the missing-heading failure stands.
@pytest.mark.parametrize("text, outcome", [
    case("newer-release", NEWER, NEWER_RESULT),
    case("newer-release-crlf", NEWER.replace("\n", "\r\n"), NEWER_RESULT),
    case("without-tda", framed_section(*NEWER_BLOCK, heading=FRAMED_SHORT), NEWER_RESULT),
    case("indented", framed_section(*NEWER_BLOCK, heading=" \t" + FRAMED), NEWER_RESULT),
    case("heading-last-line", "output\n" + FRAMED, soc()),
    case("no-table-after-heading", f"{FRAMED}\nno table\n", soc()),
    case("table-before-heading", f"{EIGEN}\n\n{S1}\n{el()}\n\n{FRAMED}\n", soc()),
    case("two-sections-last-wins", framed_section(S1, el()) + framed_section(*NEWER_BLOCK, heading=FRAMED_SHORT), NEWER_RESULT),
    case("older-release", framed_section(*NEWER_BLOCK, before=(SECTION,)), NEWER_RESULT),
    case("both-section-heading-first", soc_section(S1) + framed_section(*NEWER_BLOCK), ONE),
    case("both-section-heading-last", framed_section(*NEWER_BLOCK) + soc_section(S1), ONE),
    case("both-section-heading-fails", soc_section("STATE 1: x") + framed_section(*NEWER_BLOCK), (float_error("Invalid"), 'line 4: "STATE 1: x"')),
    *(case(f"not-a-heading-{name}", framed_section(*NEWER_BLOCK, heading=heading), (UNWRAP_NONE, NOT_HEADED))
      for name, heading in [("trailing-blank", FRAMED + " "), ("lowercase", FRAMED.lower()),
                            ("cut-short", FRAMED[:-1]), ("after-text", "SOC: " + FRAMED)]),
    case("bad-number", framed_section(S1, el(w="0.9O")), (UNWRAP_NONE, NOT_HEADED)),
    case("bad-state-line", framed_section("STATE 1 1.5", el()), (UNWRAP_NONE, NOT_HEADED)),
])
def test_newer_release_layout(write_file, capfd, text, outcome):
    path = write_file(text)
    if isinstance(outcome, dict):
        assert typed(skav_rs.parse_tddft(path)) == typed(outcome)
        assert capfd.readouterr().err == ""  # no report for a failure that does not stand
        return
    message, note = outcome
    with raises_panic(message) as info:
        skav_rs.parse_tddft(path)
    assert info.value.__notes__[0].startswith(f'in "{path}"') and note in info.value.__notes__[0]
    assert capfd.readouterr().err.count(f":\n{message}\n") == 1


def test_newer_release_sample():
    result = skav_rs.parse_tddft(str(Path(__file__).parent.parent / "samples" / "formaldehyde_tddft_newer.out"))
    states = result["soc_matrix"]["eigenvectors"]
    assert [state["n"] for state in states] == list(range(17)) and states[16]["energy"] == f32(71678.24)
