"""parse_tddft: SOC sections of a TD-DFT output, read through real files."""

import math

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
        case("element-before-first-state-dropped",
             soc_section(el(w="9"), "STATE 3: 1.5", el()), soc(eigvec(3, 1.5, element()))),
        case("state-after-state-and-repeated-n", soc_section(S1, "STATE 1: 2"), soc(ONE_EV, eigvec(1, 2.0))),
        case("header-lines-ignored", soc_section("E", "Energy: x y", S1, "E 1 2"), ONE),
        case("section-heading-last-line", SECTION, soc()),
        case("no-eigenvector-heading", SECTION + "\nno table\nfollows\n", soc()),
        case("eigenvector-heading-last-line", SECTION + "\n" + EIGEN, soc()), case("empty-block", soc_section(), soc()),
        case("last-section-wins", soc_section(S1) + soc_section("STATE 2: 2"), soc(eigvec(2, 2.0))),
        case("last-section-wins-without-table", soc_section(S1) + SECTION + "\n", soc()),
        case("last-section-wins-with-empty-block", soc_section(S1) + soc_section(), soc()),
        case("empty-line-ends-block", soc_section(S1) + "STATE 2: 2\n   \nno colon\n", ONE),
        case("crlf-empty-line-ends-block", soc_section(S1, "\r", "   "), ONE),
        case("end-of-input-ends-block", soc_section(S1, el(), end=""), ONE_EL),
        case("end-of-input-after-newline", soc_section(S1, el(), end="\n"), ONE_EL),
        case("skipped-line-state", soc_section(S1, skipped="STATE 9: 9"), ONE),
        case("skipped-line-empty", soc_section(S1, skipped=""), ONE),
        case("skipped-line-blank", soc_section(S1, skipped=" \t "), ONE),
        case("skipped-line-section-heading", soc_section(S1, skipped=SECTION), ONE),
        case("later-eigenvector-heading-outside-section", soc_section(S1) + f"{EIGEN}\n--\nSTATE 2: 2\n", ONE),
        case("repeated-eigenvector-heading-in-block",
             soc_section(S1, EIGEN, "STATE 2: 2", "STATE 3: 3"), soc(ONE_EV, eigvec(3, 3.0))),
        case("section-heading-leading-blanks", soc_section(S1, heading=" \t " + SECTION), ONE),
        case("section-heading-leading-unicode-space", soc_section(S1, heading="\u3000\u00a0\u2028" + SECTION), ONE),
        case("eigenvector-heading-leading-blanks", soc_section(S1, eigen="\t  " + EIGEN), ONE),
        case("eigenvector-heading-trailing-blank", soc_section(S1, eigen=EIGEN + " "), soc()),
        case("eigenvector-heading-lowercase", soc_section(S1, eigen=EIGEN.lower()), soc()),
        case("crlf-line-ends", WORKED.replace("\n", "\r\n"), WORKED_RESULT),
        case("state-line-spacing", soc_section("STATE  3:      1234.5"), soc(eigvec(3, 1234.5))),
        case("state-after-second-colon-ignored", soc_section("STATE 12 : -0.5 : more: text"), soc(eigvec(12, -0.5))),
        case("state-word-removed-twice", soc_section("STATE 1 STATE: 1"), ONE),
        case("tab-separated-fields", soc_section(S1, "0.5\t0.25\t-0.75\t:\t1\t2\t-3"), ONE_EL),
        case("extra-fields-ignored", soc_section(S1, "0.5 0.25 -0.75 9 x : 1 2 -3 y 7"), ONE_EL),
        case("element-after-second-colon-ignored", soc_section(S1, "0.5 0.25 -0.75 : 1 2 -3 : x : 1,5"), ONE_EL),
        case("unicode-whitespace-separates-and-trims",
             soc_section("\u3000STATE\u00a05:\u30001.5\u2028",
                         "\u00a00.5\u30000.25\u2028-0.75\u00a0:\u20281\u30002\u00a0-3\u2028"),
             soc(eigvec(5, 1.5, element()))),
    ],
)
def test_section_layout(write_file, text, expected):
    check(write_file, text, expected)


@pytest.mark.parametrize(
    "text",
    [
        case("empty-file", ""), case("no-section-heading", f"output\n{EIGEN}\n--\nSTATE 1: 1\n"),
        case("section-heading-trailing-blank", soc_section(S1, heading=SECTION + " ")),
        case("section-heading-lowercase", soc_section(S1, heading=SECTION.lower())),
        case("zero-width-space-before-heading", soc_section(S1, heading="\u200b" + SECTION)),
        case("final-heading-line-with-cr", SECTION + "\r"), case("heading-line-with-two-crs", SECTION + "\r\r\n"),
        case("blank-line-in-block", soc_section(S1, "   ")), case("tab-line-in-block", soc_section(S1, "\t")),
        case("unicode-space-line-in-block", soc_section(S1, "\u00a0\u3000")),
        case("cr-line-in-block", soc_section(S1, "\r\r")), case("state-without-colon", soc_section("STATE 1 1.5")),
        case("element-without-colon", soc_section(S1, "0.5 0.25 -0.75 1 2 -3")),
        case("two-fields-before-colon", soc_section(S1, "0.5 0.25 : 1 2 -3")),
        case("two-fields-after-colon", soc_section(S1, "0.5 0.25 -0.75 : 1 2")),
        case("nothing-after-colon", soc_section(S1, "0.5 0.25 -0.75 :")),
        case("third-field-after-second-colon", soc_section(S1, "0.5 0.25 -0.75 : 1 2 : -3")),
        case("dashes-line", soc_section(S1, "-" * 30)), case("section-heading-inside-block", soc_section(S1, SECTION)),
        case("lowercase-state-is-element-line", soc_section("state 1: 1")),
        case("missing-item-after-bad-numbers", soc_section("STATE x: 1", el(w="abc"), "0.5 : 1 2 3")),
        case("earlier-section-fails", soc_section(S1, "  ") + soc_section("STATE 2: 2")),
    ],
)
def test_missing_item(write_file, text):
    with raises_panic(UNWRAP_NONE):
        skav_rs.parse_tddft(write_file(text))


STATE_NUMBERS = [("plus-sign", "STATE +7: 1", 7), ("leading-zeros", "STATE 007: 1", 7), ("no-blank-after-word", "STATE1: 1", 1),
                 ("u32-max", "STATE 4294967295: 1", 4294967295), ("long-leading-zeros", "STATE " + "0" * 60 + "42: 1", 42),
                 ("leading-blanks-no-blank-after-colon", "  STATE 0:1", 0)]
ENERGIES = [
    ("infinity", "Infinity", math.inf), ("minus-inf-upper", "-INF", -math.inf), ("nan", "nan", math.nan),
    ("exponent-upper-signed", "1E+2", 100.0), ("plus-sign", "+2.5", 2.5), ("no-integer-digits", ".5", 0.5),
    ("no-fraction-digits", "5.", 5.0), ("negative-zero", "-0", -0.0), ("rounded-to-32-bit", "0.1", 0.10000000149011612),
    ("rounded-large", "1234.5678", 1234.5677490234375), ("overflow-to-inf", "1e39", math.inf),
    ("negative-overflow", "-1e39", -math.inf), ("underflow-to-zero", "1e-50", 0.0), ("negative-underflow", "-1e-50", -0.0),
    ("smallest-subnormal", "1e-45", 1.401298464324817e-45), ("largest-finite", "3.4028235e38", 3.4028234663852886e38),
    ("tie-to-even-down", "16777217", 16777216.0), ("tie-to-even-up", "16777219", 16777220.0),
    ("just-above-tie-no-double-rounding", "1.000000059604644775390626", 1 + 2**-23), ("long-leading-zeros", "0" * 80 + "1.5", 1.5),
]
ELEMENTS = [
    ("weight-rounded", el(w="0.1"), element(weight=0.10000000149011612)),
    ("real-imag", el(r="0.7", i="-1.5"), element(real=0.699999988079071, imag=-1.5)),
    ("u8-bounds", el(root="255", spin="0"), element(root=255, spin=0)),
    ("u8-plus-and-zeros", el(root="+5", spin="007"), element(root=5, spin=7)),
    ("u8-long-leading-zeros", el(root="0" * 40 + "255"), element(root=255)), ("i8-min", el(ms="-128"), element(ms=-128)),
    ("i8-max", el(ms="127"), element(ms=127)), ("i8-plus", el(ms="+12"), element(ms=12)),
    ("i8-negative-zero", el(ms="-0"), element(ms=0)),
]


@pytest.mark.parametrize("text, expected", [
    *(case(f"state-{name}", soc_section(line), soc(eigvec(n, 1.0))) for name, line, n in STATE_NUMBERS),
    *(case(f"energy-{name}", soc_section(f"STATE 1: {text}"), soc(eigvec(1, value))) for name, text, value in ENERGIES),
    *(case(f"element-{name}", soc_section(S1, line), soc(eigvec(1, 1.0, value))) for name, line, value in ELEMENTS),
])
def test_numbers_read(write_file, text, expected):
    check(write_file, text, expected)


STATE_FAILURES = [
    ("negative", "-1", "InvalidDigit"), ("empty", "", "Empty"), ("lone-sign", "+", "InvalidDigit"),
    ("u32-overflow", "4294967296", "PosOverflow"), ("long-digits", "9" * 40, "PosOverflow"),
    ("overflow-before-bad-digit", "99999999999x", "PosOverflow"), ("bad-digit-before-overflow", "1x99999999999", "InvalidDigit"),
    ("two-numbers", "1 2", "InvalidDigit"),
]
ENERGY_FAILURES = [
    ("empty", "", "Empty"), ("blank-between-colons", " : 5", "Empty"), ("decimal-comma", "1,5", "Invalid"),
    ("with-unit", "1.5 eV", "Invalid"), ("underscore", "1_0", "Invalid"), ("hex", "0x1p3", "Invalid"),
    ("nan-payload", "nan(1)", "Invalid"), ("two-signs", "+-1", "Invalid"), ("lone-dot", ".", "Invalid"),
    ("bare-exponent", "1e", "Invalid"), ("partial-word", "infin", "Invalid"),
]
ELEMENT_FAILURES = [
    ("weight-word", el(w="abc"), float_error("Invalid")), ("real-decimal-comma", el(r="1,5"), float_error("Invalid")),
    ("zero-width-space-not-whitespace", el(w="0.5\u200b"), float_error("Invalid")),
    ("root-u8-overflow", el(root="256"), int_error("PosOverflow")), ("root-negative", el(root="-1"), int_error("InvalidDigit")),
    ("spin-negative", el(spin="-1"), int_error("InvalidDigit")), ("spin-minus-zero", el(spin="-0"), int_error("InvalidDigit")),
    ("ms-i8-overflow", el(ms="128"), int_error("PosOverflow")), ("ms-i8-underflow", el(ms="-129"), int_error("NegOverflow")),
    ("ms-lone-plus", el(ms="+"), int_error("InvalidDigit")), ("ms-lone-minus", el(ms="-"), int_error("InvalidDigit")),
    ("ms-two-signs", el(ms="+-1"), int_error("InvalidDigit")), ("ms-decimal", el(ms="1.0"), int_error("InvalidDigit")),
    ("root-before-spin", el(root="256", spin="-1"), int_error("PosOverflow")),
    ("floats-before-integers", el(i="x", root="256"), float_error("Invalid")),
]


@pytest.mark.parametrize("text, message", [
    *(case(f"state-{name}", soc_section(f"STATE {n}: 1"), int_error(kind)) for name, n, kind in STATE_FAILURES),
    case("state-word-plural", soc_section("STATES 1: 1"), int_error("InvalidDigit")),
    case("state-word-removed-in-one-pass", soc_section("SSTATETATE 1: 1"), int_error("InvalidDigit")),
    case("state-any-word", soc_section("Something: 1"), int_error("InvalidDigit")),
    case("state-before-energy", soc_section("STATE x: y"), int_error("InvalidDigit")),
    *(case(f"energy-{name}", soc_section(f"STATE 1:{' ' if e else ''}{e}"), float_error(kind)) for name, e, kind in ENERGY_FAILURES),
    *(case(name, soc_section(S1, line), message) for name, line, message in ELEMENT_FAILURES),
    case("dropped-element-still-read", soc_section(el(w="abc"), S1), float_error("Invalid")),
    case("first-in-file-order", soc_section(S1, el(ms="128"), el(w="x")), int_error("PosOverflow")),
    case("earlier-section-reported", soc_section("STATE 1: x") + soc_section("STATE 2: 2"), float_error("Invalid")),
    case("number-before-later-missing-item", soc_section("STATE 1: x") + soc_section("  "), float_error("Invalid")),
])
def test_number_format_failure(write_file, text, message):
    with raises_panic(message):
        skav_rs.parse_tddft(write_file(text))
