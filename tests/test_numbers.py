"""Number texts as the numeric fields read them: 32-bit floats (a TD-DFT energy), u32 (a state
number), u8 (a root) and i8 (an ms), each with its exact value or the kind of its error."""

import math
from fractions import Fraction

import pytest

import skav_rs
from conftest import case, f32, float_error, int_error, outcome, same

D = 10_000  # digits of a long text
MIDPOINT = "1.000000059604644775390625"  # exactly halfway between 1 and the next 32-bit float
ABOVE_ONE = float(1 + Fraction(1, 2**23))
LINES = {
    "f32": "STATE 1: {}\n 1 1 1 : 1 1 1\n",
    "u32": "STATE {}: 1\n 1 1 1 : 1 1 1\n",
    "u8": "STATE 1: 1\n 1 1 1 : {} 1 1\n",
    "i8": "STATE 1: 1\n 1 1 1 : 1 1 {}\n",
}

F32 = [
    ("infinity", "Infinity", math.inf), ("minus-inf-upper", "-INF", -math.inf), ("nan", "nan", math.nan),
    ("exponent-upper-signed", "1E+2", 100.0), ("plus", "+2.5", 2.5), ("no-integer-digits", ".5", 0.5),
    ("no-fraction-digits", "5.", 5.0), ("negative-zero", "-0", -0.0), ("rounded", "0.1", 0.10000000149011612),
    ("rounded-large", "1234.5678", 1234.5677490234375), ("overflow", "1e39", math.inf), ("negative-overflow", "-1e39", -math.inf),
    ("underflow", "1e-50", 0.0), ("negative-underflow", "-1e-50", -0.0), ("smallest-subnormal", "1e-45", 1.401298464324817e-45),
    ("largest", "3.4028235e38", 3.4028234663852886e38), ("tie-to-even-down", "16777217", 16777216.0),
    ("tie-to-even-up", "16777219", 16777220.0), ("just-above-tie", "1.000000059604644775390626", ABOVE_ONE),
    ("long-huge", "1" + "0" * D, math.inf), ("long-huge-negative", "-" + "9" * D, -math.inf),
    ("long-tiny", "0." + "0" * D + "1", 0.0), ("long-leading-zeros-huge", "0" * D + "1e39", math.inf),
    ("long-fraction-huge", "3.5" + "0" * D + "e38", math.inf), ("long-fraction", "1." + "1" * D, f32(10 / 9)),
    ("long-leading-zeros", "0" * D + "2.5", 2.5), ("mantissa-cancels-exponent", "1" + "0" * D + "e-" + str(D), 1.0),
    ("fraction-cancels-exponent", "0." + "0" * (D - 1) + "1e" + str(D), 1.0), ("long-exponent", "1e" + "9" * D, math.inf),
    ("exponent-lifts-long-tiny", "0." + "0" * D + "1e" + str(D + 40), math.inf),
    ("long-negative-exponent", "1e-" + "9" * D, 0.0), ("zero-long-exponent", "0e" + "9" * D, 0.0),
    ("long-tie-to-even", MIDPOINT + "0" * D, 1.0), ("long-just-above-tie", MIDPOINT + "0" * D + "1", ABOVE_ONE),
    *((name, text, "Empty" if not text else "Invalid") for name, text in [
        ("empty", ""), ("decimal-comma", "1,5"), ("unit", "1.5 eV"), ("underscore", "1_0"), ("hex", "0x1p3"),
        ("nan-payload", "nan(1)"), ("two-signs", "+-1"), ("lone-dot", "."), ("bare-exponent", "1e"), ("partial-word", "infin"),
        ("zero-width-space", "0.5\u200b"), ("percent", "83.1%")]),
]
U32 = [
    ("plus", "+7", 7), ("leading-zeros", "007", 7), ("max", "4294967295", 4294967295),
    ("long-leading-zeros", "+" + "0" * D + "4294967295", 4294967295), ("empty", "", "Empty"), ("negative", "-1", "InvalidDigit"),
    ("lone-sign", "+", "InvalidDigit"), ("overflow", "4294967296", "PosOverflow"), ("long", "9" * D, "PosOverflow"),
    ("overflow-before-bad-digit", "99999999999x", "PosOverflow"), ("bad-digit-before-overflow", "1x99999999999", "InvalidDigit"),
    ("two-numbers", "1 2", "InvalidDigit"), ("negative-zeros", "-" + "0" * D, "InvalidDigit"), ("arabic-digit", "\u0663", "InvalidDigit"),
]
U8 = [("max", "255", 255), ("plus", "+5", 5), ("long-leading-zeros", "0" * D + "255", 255),
      ("overflow", "256", "PosOverflow"), ("negative", "-1", "InvalidDigit"), ("negative-zero", "-0", "InvalidDigit")]
I8 = [
    ("min", "-128", -128), ("max", "127", 127), ("plus", "+12", 12), ("negative-zero", "-0", 0),
    ("long-min", "-" + "0" * D + "128", -128), ("overflow", "128", "PosOverflow"), ("underflow", "-129", "NegOverflow"),
    ("long-underflow", "-" + "9" * D, "NegOverflow"), ("lone-plus", "+", "InvalidDigit"), ("lone-minus", "-", "InvalidDigit"),
    ("two-signs", "+-1", "InvalidDigit"), ("decimal", "1.0", "InvalidDigit"),
]


def value_of(kind, result):
    (vector,) = result["soc_matrix"]["eigenvectors"]
    element = vector["elements"][0]
    return {"f32": vector["energy"], "u32": vector["n"], "u8": element["root"], "i8": element["ms"]}[kind]


@pytest.mark.parametrize("kind, text, expected", [
    case(f"{kind}-{name}", kind, text, expected)
    for kind, table in [("f32", F32), ("u32", U32), ("u8", U8), ("i8", I8)] for name, text, expected in table
])
def test_number_text(write_file, kind, text, expected):
    section = "SKAV SPIN-ORBIT COUPLING CALCULATION\nEigenvectors of the SOC matrix:\n\n" + LINES[kind].format(text)
    got = outcome(skav_rs.parse_tddft, write_file(section))
    if isinstance(expected, str):
        assert got == ("panic", (float_error if kind == "f32" else int_error)(expected))
    else:
        assert got[0] == "result" and same(value_of(kind, got[1]), expected), got
