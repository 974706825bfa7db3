"""parse_tddft: SOC sections of a TD-DFT output, read through real files."""

import math

import pytest

import skav_rs
from conftest import UNWRAP_NONE, f32, float_error, int_error, raises_panic

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


ONE = soc(eigvec(1, 1.0))


@pytest.mark.parametrize(
    "text, expected",
    [
        pytest.param(soc_section("0.5 0.5 0.5 : 9 9 9", "STATE 3: 1.5", el()), soc(eigvec(3, 1.5, element())),
                     id="element-before-first-state-dropped"),
        pytest.param(soc_section("STATE 1: 1", "STATE 1: 2"), soc(eigvec(1, 1.0), eigvec(1, 2.0)),
                     id="state-after-state-and-repeated-n"),
        pytest.param(soc_section("E", "Energy: x y", "STATE 1: 1", "E 1 2"), ONE, id="header-lines-ignored"),
        pytest.param(SECTION, soc(), id="section-heading-last-line"),
        pytest.param(SECTION + "\nno table\nfollows\n", soc(), id="no-eigenvector-heading"),
        pytest.param(SECTION + "\n" + EIGEN, soc(), id="eigenvector-heading-last-line"),
        pytest.param(soc_section(), soc(), id="empty-block"),
        pytest.param(soc_section("STATE 1: 1") + soc_section("STATE 2: 2"), soc(eigvec(2, 2.0)),
                     id="last-section-wins"),
        pytest.param(soc_section("STATE 1: 1") + SECTION + "\n", soc(), id="last-section-wins-without-table"),
        pytest.param(soc_section("STATE 1: 1") + soc_section(), soc(), id="last-section-wins-with-empty-block"),
        pytest.param(soc_section("STATE 1: 1") + "STATE 2: 2\n   \nno colon\n", ONE, id="empty-line-ends-block"),
        pytest.param(soc_section("STATE 1: 1", "\r", "   "), ONE, id="crlf-empty-line-ends-block"),
        pytest.param(soc_section("STATE 1: 1", el(), end=""), soc(eigvec(1, 1.0, element())),
                     id="end-of-input-ends-block"),
        pytest.param(soc_section("STATE 1: 1", el(), end="\n"), soc(eigvec(1, 1.0, element())),
                     id="end-of-input-after-newline-ends-block"),
        pytest.param(soc_section("STATE 1: 1", skipped="STATE 9: 9"), ONE, id="skipped-line-state"),
        pytest.param(soc_section("STATE 1: 1", skipped=""), ONE, id="skipped-line-empty"),
        pytest.param(soc_section("STATE 1: 1", skipped=" \t "), ONE, id="skipped-line-blank"),
        pytest.param(soc_section("STATE 1: 1", skipped=SECTION), ONE, id="skipped-line-section-heading"),
        pytest.param(soc_section("STATE 1: 1") + f"{EIGEN}\n--\nSTATE 2: 2\n", ONE,
                     id="second-eigenvector-heading-without-section-passed-over"),
        pytest.param(soc_section("STATE 1: 1", EIGEN, "STATE 2: 2", "STATE 3: 3"), soc(eigvec(1, 1.0), eigvec(3, 3.0)),
                     id="repeated-eigenvector-heading-in-block"),
        pytest.param(soc_section("STATE 1: 1", heading=" \t " + SECTION), ONE, id="section-heading-leading-blanks"),
        pytest.param(soc_section("STATE 1: 1", heading="\u3000\u00a0\u2028" + SECTION), ONE,
                     id="section-heading-leading-unicode-whitespace"),
        pytest.param(soc_section("STATE 1: 1", eigen="\t  " + EIGEN), ONE, id="eigenvector-heading-leading-blanks"),
        pytest.param(soc_section("STATE 1: 1", eigen=EIGEN + " "), soc(), id="eigenvector-heading-trailing-blank"),
        pytest.param(soc_section("STATE 1: 1", eigen=EIGEN.lower()), soc(), id="eigenvector-heading-lowercase"),
        pytest.param(WORKED.replace("\n", "\r\n"), WORKED_RESULT, id="crlf-line-ends"),
        pytest.param(soc_section("STATE  3:      1234.5"), soc(eigvec(3, 1234.5)), id="state-line-spacing"),
        pytest.param(soc_section("STATE 12 : -0.5 : more: text"), soc(eigvec(12, -0.5)),
                     id="state-fields-after-second-colon-ignored"),
        pytest.param(soc_section("STATE 1 STATE: 1"), ONE, id="state-word-removed-twice"),
        pytest.param(soc_section("STATE 1: 1", "0.5\t0.25\t-0.75\t:\t1\t2\t-3"), soc(eigvec(1, 1.0, element())),
                     id="tab-separated-fields"),
        pytest.param(soc_section("STATE 1: 1", "0.5 0.25 -0.75 9 x : 1 2 -3 y 7"), soc(eigvec(1, 1.0, element())),
                     id="extra-fields-ignored"),
        pytest.param(soc_section("STATE 1: 1", "0.5 0.25 -0.75 : 1 2 -3 : x : 1,5"), soc(eigvec(1, 1.0, element())),
                     id="element-fields-after-second-colon-ignored"),
        pytest.param(
            soc_section("\u3000STATE\u00a05:\u30001.5\u2028", "\u00a00.5\u30000.25\u2028-0.75\u00a0:\u20281\u30002\u00a0-3\u2028"),
            soc(eigvec(5, 1.5, element())),
            id="unicode-whitespace-separates-and-trims",
        ),
    ],
)
def test_section_layout(write_file, text, expected):
    check(write_file, text, expected)


@pytest.mark.parametrize(
    "text",
    [
        pytest.param("", id="empty-file"),
        pytest.param(f"output\n{EIGEN}\n--\nSTATE 1: 1\n", id="no-section-heading"),
        pytest.param(soc_section("STATE 1: 1", heading=SECTION + " "), id="section-heading-trailing-blank"),
        pytest.param(soc_section("STATE 1: 1", heading=SECTION.lower()), id="section-heading-lowercase"),
        pytest.param(soc_section("STATE 1: 1", heading="\u200b" + SECTION), id="zero-width-space-before-heading"),
        pytest.param(SECTION + "\r", id="final-heading-line-with-cr"),
        pytest.param(SECTION + "\r\r\n", id="heading-line-with-two-crs"),
        pytest.param(soc_section("STATE 1: 1", "   "), id="blank-line-in-block"),
        pytest.param(soc_section("STATE 1: 1", "\t"), id="tab-line-in-block"),
        pytest.param(soc_section("STATE 1: 1", "\u00a0\u3000"), id="unicode-space-line-in-block"),
        pytest.param(soc_section("STATE 1: 1", "\r\r"), id="cr-line-in-block"),
        pytest.param(soc_section("STATE 1 1.5"), id="state-without-colon"),
        pytest.param(soc_section("STATE 1: 1", "0.5 0.25 -0.75 1 2 -3"), id="element-without-colon"),
        pytest.param(soc_section("STATE 1: 1", "0.5 0.25 : 1 2 -3"), id="two-fields-before-colon"),
        pytest.param(soc_section("STATE 1: 1", "0.5 0.25 -0.75 : 1 2"), id="two-fields-after-colon"),
        pytest.param(soc_section("STATE 1: 1", "0.5 0.25 -0.75 :"), id="nothing-after-colon"),
        pytest.param(soc_section("STATE 1: 1", "0.5 0.25 -0.75 : 1 2 : -3"), id="third-field-after-second-colon"),
        pytest.param(soc_section("STATE 1: 1", "-" * 30), id="dashes-line"),
        pytest.param(soc_section("STATE 1: 1", SECTION), id="section-heading-inside-block"),
        pytest.param(soc_section("state 1: 1"), id="lowercase-state-is-element-line"),
        pytest.param(soc_section("STATE x: 1", el(w="abc"), "0.5 : 1 2 3"), id="missing-item-after-bad-numbers"),
        pytest.param(soc_section("STATE 1: 1", "  ") + soc_section("STATE 2: 2"), id="earlier-section-fails"),
    ],
)
def test_missing_item(write_file, text):
    with raises_panic(UNWRAP_NONE):
        skav_rs.parse_tddft(write_file(text))


@pytest.mark.parametrize(
    "line, n",
    [
        pytest.param("STATE +7: 1", 7, id="plus-sign"),
        pytest.param("STATE 007: 1", 7, id="leading-zeros"),
        pytest.param("STATE1: 1", 1, id="no-blank-after-word"),
        pytest.param("STATE 4294967295: 1", 4294967295, id="u32-max"),
        pytest.param("STATE " + "0" * 60 + "42: 1", 42, id="long-leading-zeros"),
        pytest.param("  STATE 0:1", 0, id="leading-blanks-no-blank-after-colon"),
    ],
)
def test_state_number(write_file, line, n):
    check(write_file, soc_section(line), soc(eigvec(n, 1.0)))


@pytest.mark.parametrize(
    "text, energy",
    [
        pytest.param("inf", math.inf, id="inf"),
        pytest.param("Infinity", math.inf, id="infinity"),
        pytest.param("-INF", -math.inf, id="minus-inf-upper"),
        pytest.param("iNfInItY", math.inf, id="infinity-mixed-case"),
        pytest.param("nan", math.nan, id="nan"),
        pytest.param("NaN", math.nan, id="nan-mixed-case"),
        pytest.param("1e3", 1000.0, id="exponent"),
        pytest.param("1E+2", 100.0, id="exponent-upper-signed"),
        pytest.param("+2.5", 2.5, id="plus-sign"),
        pytest.param(".5", 0.5, id="no-integer-digits"),
        pytest.param("5.", 5.0, id="no-fraction-digits"),
        pytest.param("-0", -0.0, id="negative-zero"),
        pytest.param("0.1", 0.10000000149011612, id="rounded-to-32-bit"),
        pytest.param("1234.5678", 1234.5677490234375, id="rounded-large"),
        pytest.param("1e39", math.inf, id="overflow-to-inf"),
        pytest.param("-1e39", -math.inf, id="negative-overflow"),
        pytest.param("1e-50", 0.0, id="underflow-to-zero"),
        pytest.param("-1e-50", -0.0, id="negative-underflow"),
        pytest.param("1e-45", 1.401298464324817e-45, id="smallest-subnormal"),
        pytest.param("3.4028235e38", 3.4028234663852886e38, id="largest-finite"),
        pytest.param("16777217", 16777216.0, id="tie-to-even-down"),
        pytest.param("16777219", 16777220.0, id="tie-to-even-up"),
        pytest.param("1.000000059604644775390626", 1 + 2**-23, id="just-above-tie-no-double-rounding"),
        pytest.param("0" * 80 + "1.5", 1.5, id="long-leading-zeros"),
    ],
)
def test_energy_number(write_file, text, energy):
    check(write_file, soc_section(f"STATE 1: {text}"), soc(eigvec(1, energy)))


@pytest.mark.parametrize(
    "line, expected",
    [
        pytest.param(el(w="0.1"), element(weight=0.10000000149011612), id="weight-rounded"),
        pytest.param(el(r="0.7", i="-1.5"), element(real=0.699999988079071, imag=-1.5), id="real-imag"),
        pytest.param(el(root="255", spin="0"), element(root=255, spin=0), id="u8-bounds"),
        pytest.param(el(root="+5", spin="007"), element(root=5, spin=7), id="u8-plus-and-zeros"),
        pytest.param(el(root="0" * 40 + "255"), element(root=255), id="u8-long-leading-zeros"),
        pytest.param(el(ms="-128"), element(ms=-128), id="i8-min"),
        pytest.param(el(ms="127"), element(ms=127), id="i8-max"),
        pytest.param(el(ms="+12"), element(ms=12), id="i8-plus"),
        pytest.param(el(ms="-0"), element(ms=0), id="i8-negative-zero"),
    ],
)
def test_element_numbers(write_file, line, expected):
    check(write_file, soc_section("STATE 1: 1", line), soc(eigvec(1, 1.0, expected)))


@pytest.mark.parametrize(
    "block, message",
    [
        pytest.param(["STATE -1: 1"], int_error("InvalidDigit"), id="state-negative"),
        pytest.param(["STATE : 1"], int_error("Empty"), id="state-empty"),
        pytest.param(["STATES 1: 1"], int_error("InvalidDigit"), id="state-word-plural"),
        pytest.param(["SSTATETATE 1: 1"], int_error("InvalidDigit"), id="state-word-removed-in-one-pass"),
        pytest.param(["STATE 1 2: 1"], int_error("InvalidDigit"), id="state-two-numbers"),
        pytest.param(["Something: 1"], int_error("InvalidDigit"), id="state-any-word"),
        pytest.param(["STATE +: 1"], int_error("InvalidDigit"), id="state-lone-sign"),
        pytest.param(["STATE 4294967296: 1"], int_error("PosOverflow"), id="state-u32-overflow"),
        pytest.param(["STATE " + "9" * 40 + ": 1"], int_error("PosOverflow"), id="state-long-digits"),
        pytest.param(["STATE 99999999999x: 1"], int_error("PosOverflow"), id="state-overflow-before-bad-digit"),
        pytest.param(["STATE 1x99999999999: 1"], int_error("InvalidDigit"), id="state-bad-digit-before-overflow"),
        pytest.param(["STATE x: y"], int_error("InvalidDigit"), id="state-before-energy"),
        pytest.param(["STATE 1:"], float_error("Empty"), id="energy-empty"),
        pytest.param(["STATE 1:  : 5"], float_error("Empty"), id="energy-blank-between-colons"),
        pytest.param(["STATE 1: 1,5"], float_error("Invalid"), id="energy-decimal-comma"),
        pytest.param(["STATE 1: 1.5 eV"], float_error("Invalid"), id="energy-with-unit"),
        pytest.param(["STATE 1: 1_0"], float_error("Invalid"), id="energy-underscore"),
        pytest.param(["STATE 1: 0x1p3"], float_error("Invalid"), id="energy-hex"),
        pytest.param(["STATE 1: nan(1)"], float_error("Invalid"), id="energy-nan-payload"),
        pytest.param(["STATE 1: +-1"], float_error("Invalid"), id="energy-two-signs"),
        pytest.param(["STATE 1: ."], float_error("Invalid"), id="energy-lone-dot"),
        pytest.param(["STATE 1: 1e"], float_error("Invalid"), id="energy-bare-exponent"),
        pytest.param(["STATE 1: infin"], float_error("Invalid"), id="energy-partial-word"),
        pytest.param(["STATE 1: 1", el(w="abc")], float_error("Invalid"), id="weight-word"),
        pytest.param(["STATE 1: 1", el(r="1,5")], float_error("Invalid"), id="real-decimal-comma"),
        pytest.param(["STATE 1: 1", el(i="--1")], float_error("Invalid"), id="imag-two-signs"),
        pytest.param(["STATE 1: 1", el(w="0.5\u200b")], float_error("Invalid"), id="zero-width-space-not-whitespace"),
        pytest.param(["STATE 1: 1", el(root="256")], int_error("PosOverflow"), id="root-u8-overflow"),
        pytest.param(["STATE 1: 1", el(root="-1")], int_error("InvalidDigit"), id="root-negative"),
        pytest.param(["STATE 1: 1", el(spin="-1")], int_error("InvalidDigit"), id="spin-negative"),
        pytest.param(["STATE 1: 1", el(spin="-0")], int_error("InvalidDigit"), id="spin-minus-zero"),
        pytest.param(["STATE 1: 1", el(ms="128")], int_error("PosOverflow"), id="ms-i8-overflow"),
        pytest.param(["STATE 1: 1", el(ms="200")], int_error("PosOverflow"), id="ms-200"),
        pytest.param(["STATE 1: 1", el(ms="-129")], int_error("NegOverflow"), id="ms-i8-underflow"),
        pytest.param(["STATE 1: 1", el(ms="+")], int_error("InvalidDigit"), id="ms-lone-plus"),
        pytest.param(["STATE 1: 1", el(ms="-")], int_error("InvalidDigit"), id="ms-lone-minus"),
        pytest.param(["STATE 1: 1", el(ms="+-1")], int_error("InvalidDigit"), id="ms-two-signs"),
        pytest.param(["STATE 1: 1", el(ms="1.0")], int_error("InvalidDigit"), id="ms-decimal"),
        pytest.param(["STATE 1: 1", el(root="256", spin="-1")], int_error("PosOverflow"), id="root-before-spin"),
        pytest.param(["STATE 1: 1", el(i="x", root="256")], float_error("Invalid"), id="floats-before-integers"),
        pytest.param([el(w="abc"), "STATE 1: 1"], float_error("Invalid"), id="dropped-element-still-read"),
        pytest.param(["STATE 1: 1", el(ms="128"), el(w="x")], int_error("PosOverflow"), id="first-in-file-order"),
    ],
)
def test_number_format_failure(write_file, block, message):
    with raises_panic(message):
        skav_rs.parse_tddft(write_file(soc_section(*block)))


@pytest.mark.parametrize(
    "text, message",
    [
        pytest.param(soc_section("STATE 1: x") + soc_section("STATE 2: 2"), float_error("Invalid"),
                     id="earlier-section-reported-though-replaced"),
        pytest.param(soc_section("STATE 1: x") + soc_section("  "), float_error("Invalid"),
                     id="earlier-section-number-before-later-missing-item"),
    ],
)
def test_failure_order_across_sections(write_file, text, message):
    with raises_panic(message):
        skav_rs.parse_tddft(write_file(text))
