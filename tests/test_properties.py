"""Sections rendered from random records, in every accepted spelling of their numbers and layout,
parse back to exactly those records."""

import math
import os
import struct
from decimal import Decimal
from fractions import Fraction

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import skav_rs
from conftest import outcome, same

SOC_HEADING, EIGEN_HEADING = "SKAV SPIN-ORBIT COUPLING CALCULATION", "Eigenvectors of the SOC matrix:"
COMPOSITION_HEADING, UNDERLINE = "LOEWDIN ORBITAL-COMPOSITIONS", "-" * 28
# Unicode White_Space without "\n", which ends lines.
WHITESPACE = "\t\x0b\x0c\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) + "\u2028\u2029\u202f\u205f\u3000"

# CI replays the same examples every run; locally each run explores new ones
# (SKAV_PROPERTY_EXAMPLES=5000 for a longer search).
PROPERTY = settings(max_examples=int(os.environ.get("SKAV_PROPERTY_EXAMPLES", 150)), derandomize=bool(os.environ.get("CI")),
                    deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])

F32_MAX = float.fromhex("0x1.fffffep+127")


def nearest_f32(magnitude):
    """The 32-bit value nearest to a non-negative Fraction, ties to even."""
    if magnitude >= Fraction(F32_MAX) + Fraction(2) ** 103:  # half a step above the largest value
        return math.inf
    if magnitude == 0:
        return 0.0
    exponent = magnitude.numerator.bit_length() - magnitude.denominator.bit_length()
    exponent -= Fraction(2) ** exponent > magnitude
    step = Fraction(2) ** (max(exponent, -126) - 23)  # 24 significant bits, fewer below 2**-126
    units, rest = divmod(magnitude, step)
    units += 2 * rest > step or (2 * rest == step and units % 2)
    return float(units * step)


def read_f32(text):
    body = text.lstrip("+-").lower()
    value = {"inf": math.inf, "infinity": math.inf, "nan": math.nan}.get(body) or nearest_f32(Fraction(body))
    return -value if text.startswith("-") else value


@st.composite
def float_texts(draw):
    """(text, value): a text in any accepted spelling and the 32-bit value it reads as."""
    sign, kind = draw(st.sampled_from(["", "", "+", "-"])), draw(st.sampled_from(["exact", "short", "tie", "word", "range"]))
    if kind == "word":
        body = "".join(c.upper() if draw(st.booleans()) else c for c in draw(st.sampled_from(["inf", "infinity", "nan"])))
    elif kind == "range":
        body = draw(st.sampled_from(["1e39", "3.5e38", "340282357e30", "1e-46", "7e-46", "0e-99", "0"]))
    else:
        x = draw(st.floats(min_value=0, max_value=F32_MAX, width=32))
        if kind == "tie" and x < F32_MAX:  # halfway to the next 32-bit float: exact in a double
            x = (x + struct.unpack("<f", struct.pack("<I", struct.unpack("<I", struct.pack("<f", x))[0] + 1))[0]) / 2
        if kind == "short":
            x = Decimal(next(t for p in range(1, 10) if read_f32(t := f"{x:.{p}g}") == x or p == 9))
        digits, exponent = "".join(map(str, Decimal(x).as_tuple().digits)), Decimal(x).as_tuple().exponent
        # The point anywhere, leading or trailing zeros, the exponent in any spelling or none.
        trailing = draw(st.integers(0, 2))
        digits, exponent = "0" * draw(st.integers(0, 2)) + digits + "0" * trailing, exponent - trailing
        point = draw(st.integers(0, len(digits)))
        exponent += len(digits) - point
        body = digits[:point] + ("." + digits[point:] if point < len(digits) or draw(st.booleans()) else "")
        if exponent or draw(st.booleans()):
            body += draw(st.sampled_from("eE")) + ("-" if exponent < 0 else draw(st.sampled_from(["", "+"]))) + str(abs(exponent))
    return sign + body, read_f32(sign + body)


def int_texts(low, high):
    def spell(value, sign, zeros):  # "-0" is an i8 too
        return ("-" if value < 0 else sign if value == 0 or sign != "-" else "") + "0" * zeros + str(abs(value)), value
    return st.builds(spell, st.one_of(st.sampled_from([low, high, 0]), st.integers(low, high)),
                     st.sampled_from(["", "+", "-"] if low < 0 else ["", "+"]), st.integers(0, 3))


u32_texts, u8_texts, i8_texts = int_texts(0, 2**32 - 1), int_texts(0, 255), int_texts(-128, 127)
gaps, optional_gaps = st.text(WHITESPACE, min_size=1, max_size=3), st.text(WHITESPACE, max_size=2)
any_text = st.text(st.characters(exclude_characters="\n", exclude_categories=("Cs",)), max_size=12)
field_texts = st.text(st.characters(exclude_characters="\n:" + WHITESPACE, exclude_categories=("Cs",)), min_size=1,
                      max_size=6).filter(lambda text: "--------" not in text)


def filler(*excluded):
    """Lines passed over unexamined: near misses of the headings, the other headings, anything."""
    near = [SOC_HEADING + " ", EIGEN_HEADING + "\t", "x" + COMPOSITION_HEADING, UNDERLINE + "-", SOC_HEADING[:-1], "-" * 60]
    headings = [h for h in (SOC_HEADING, EIGEN_HEADING, COMPOSITION_HEADING, UNDERLINE) if h not in excluded]
    lines = any_text.filter(lambda line: line.removesuffix("\r").lstrip(WHITESPACE) not in excluded)
    return st.lists(st.one_of(st.sampled_from(near + headings), lines), max_size=3)


def joined(draw, texts):
    return draw(optional_gaps) + "".join((draw(gaps) if i else "") + t for i, t in enumerate(texts)) + draw(optional_gaps)


def render(draw, lines, final_end):
    text = "".join(line + draw(st.sampled_from(["\n", "\r\n"])) for line in lines)
    return text if final_end or not lines else text.removesuffix("\n").removesuffix("\r")


elements = st.tuples(float_texts(), float_texts(), float_texts(), u8_texts, u8_texts, i8_texts)
KEYS = ("weight", "real", "imag", "root", "spin", "ms")


def element_line(draw, element):
    texts = [t for t, _ in element]
    left, right = texts[:3] + draw(st.lists(field_texts, max_size=1)), texts[3:] + draw(st.lists(field_texts, max_size=1))
    return joined(draw, left) + ":" + joined(draw, right) + draw(st.sampled_from(["", ":" + draw(any_text)]))


def state_line(draw, n, energy):
    words = draw(st.sampled_from(["STATE", "STATESTATE", "STATE STATE"]))
    head = draw(optional_gaps) + words + draw(optional_gaps) + n + draw(optional_gaps)
    return head + ":" + joined(draw, [energy]) + draw(st.sampled_from(["", ":" + draw(any_text)]))


@st.composite
def tddft_files(draw):
    lines, vectors = draw(filler(SOC_HEADING)), []
    for last in [False] * draw(st.integers(0, 2)) + [True]:
        lines += [draw(optional_gaps) + SOC_HEADING, *draw(filler(EIGEN_HEADING))]
        if last and draw(st.integers(0, 9)) == 0:  # no eigenvector table at all
            vectors = []
            break
        lines += [draw(optional_gaps) + EIGEN_HEADING, draw(any_text)]  # the line after it is discarded
        # An element before the first state belongs to no eigenvector.
        block = [[element_line(draw, e)] for e in draw(st.lists(elements, max_size=1))]
        vectors = draw(st.lists(st.tuples(u32_texts, float_texts(), st.lists(elements, max_size=3)), max_size=4))
        for n, energy, contents in vectors:
            block += [[state_line(draw, n[0], energy[0])], *([element_line(draw, e)] for e in contents)]
        for _ in range(draw(st.integers(0, 2))):  # header lines anywhere; a repeated heading skips a line
            header = draw(st.sampled_from([["E(cm-1) Weight Real"], [EIGEN_HEADING, draw(any_text)]]))
            block.insert(draw(st.integers(0, len(block))), [draw(optional_gaps) + header[0], *header[1:]])
        lines += [line for group in block for line in group]
        vectors = [{"n": n[1], "energy": energy[1], "elements": [dict(zip(KEYS, (v for _, v in e))) for e in contents]}
                   for n, energy, contents in vectors]
        if not last or draw(st.booleans()):  # the empty line that ends the block, then more output
            lines += ["", *draw(filler(SOC_HEADING))]
    return render(draw, lines, draw(st.booleans())), {"soc_matrix": {"eigenvectors": vectors}}


@st.composite
def casscf_files(draw):
    lines, shape = draw(filler(COMPOSITION_HEADING)), draw(st.sampled_from(["table"] * 8 + ["no-heading", "no-underline"]))
    if shape == "no-heading":
        return render(draw, lines, draw(st.booleans())), None
    lines += [draw(optional_gaps) + COMPOSITION_HEADING, *draw(filler(UNDERLINE))]
    if shape == "no-underline":
        return render(draw, lines, draw(st.booleans())), {"orbital_contributions": []}
    lines += [draw(optional_gaps) + UNDERLINE, draw(any_text)] + [""] * draw(st.integers(0, 2))
    orbitals = []
    for _ in range(draw(st.sampled_from([0, 1, 1, 2, 3]))):
        columns = draw(st.sampled_from([5, 6, 1, 2, 3, 4]))  # six per block, the last one what is left
        numbers, energies, occupations = (draw(st.lists(s, min_size=columns, max_size=columns)) for s in
                                          (u32_texts, float_texts(), float_texts()))
        rows = draw(st.lists(st.tuples(u32_texts, field_texts, field_texts,
                                       st.lists(float_texts(), min_size=columns, max_size=columns)), max_size=3))
        spare = draw(st.lists(field_texts, max_size=6 - columns))  # entries beyond the columns are ignored
        lines += [joined(draw, [t for t, _ in numbers]), joined(draw, [t for t, _ in energies] + spare),
                  joined(draw, [t for t, _ in occupations]),
                  draw(st.sampled_from(["--------", " -------- --------", "\t" + "-" * 40, "--------  x", "\u3000" + "-" * 29]))]
        lines += [joined(draw, [a[0], e, t, *(v for v, _ in values), *draw(st.lists(field_texts, max_size=1))])
                  for a, e, t, values in rows] + [""] * draw(st.integers(1, 3))
        orbitals += [{"orbital_nr": numbers[i][1], "energy": energies[i][1], "occupation": occupations[i][1], "contributions": [
            {"atom_nr": a[1], "element": e, "orbital_type": t, "contribution": values[i][1]} for a, e, t, values in rows]}
            for i in range(columns)]
    if draw(st.booleans()):  # the section rule; nothing after it is read
        lines += ["-" * draw(st.integers(28, 40)) + draw(any_text), *draw(st.lists(any_text, max_size=3))]
    # Without its line end, a closing empty line would not be a line at all.
    return render(draw, lines, lines[-1] == "" or draw(st.booleans())), {"orbital_contributions": orbitals}


@PROPERTY
@given(file=tddft_files())
def test_tddft_sections_read_back_as_their_records(write_file, file):
    got = outcome(skav_rs.parse_tddft, write_file(file[0]))
    assert same(got, ("result", file[1])), got


@PROPERTY
@given(file=casscf_files())
def test_casscf_sections_read_back_as_their_records(write_file, file):
    got = outcome(skav_rs.parse_casscf, write_file(file[0]))
    assert same(got, ("result", file[1])), got
