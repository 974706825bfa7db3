"""Differential properties: sections rendered from random records parse back to exactly those
records, and sections with one mutation end with a result or a documented failure."""

import math
import os
import re
import struct
from decimal import Decimal
from fractions import Fraction

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import skav_rs
from conftest import NOT_UTF8, UNWRAP_NONE, float_error, int_error, is_panic, same

SOC_HEADING = "SKAV SPIN-ORBIT COUPLING CALCULATION"
EIGEN_HEADING = "Eigenvectors of the SOC matrix:"
COMPOSITION_HEADING = "LOEWDIN ORBITAL-COMPOSITIONS"
UNDERLINE = "-" * 28
# Unicode White_Space without "\n", which ends lines.
WHITESPACE = "\t\x0b\x0c\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) + "\u2028\u2029\u202f\u205f\u3000"

# CI replays the same examples every run; locally each run explores new ones
# (SKAV_PROPERTY_EXAMPLES=5000 for a longer search).
PROPERTY = settings(
    max_examples=int(os.environ.get("SKAV_PROPERTY_EXAMPLES", 120)),
    derandomize=bool(os.environ.get("CI")),
    deadline=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow, HealthCheck.data_too_large],
)

# --- The reading of a number text, worked out exactly --------------------------------------------

F32_MAX = float.fromhex("0x1.fffffep+127")
OVERFLOW = Fraction(F32_MAX) + Fraction(2) ** 103  # half a step above the largest value


def nearest_f32(magnitude):
    """The 32-bit value nearest to a non-negative Fraction, ties to even, as a Python float."""
    if magnitude >= OVERFLOW:
        return math.inf
    if magnitude == 0:
        return 0.0
    exponent = magnitude.numerator.bit_length() - magnitude.denominator.bit_length()
    if Fraction(2) ** exponent > magnitude:
        exponent -= 1
    step = Fraction(2) ** (max(exponent, -126) - 23)  # 24 significant bits, fewer below 2**-126
    units, rest = divmod(magnitude, step)
    if 2 * rest > step or (2 * rest == step and units % 2):
        units += 1
    return float(units * step)


def read_f32(text):
    body = text.lstrip("+-").lower()
    value = {"inf": math.inf, "infinity": math.inf, "nan": math.nan}.get(body) or nearest_f32(Fraction(body))
    return -value if text.startswith("-") else value


# --- Number texts in every accepted form ---------------------------------------------------------


def next_f32(x):
    return struct.unpack("<f", struct.pack("<I", struct.unpack("<I", struct.pack("<f", x))[0] + 1))[0]


@st.composite
def decimal_texts(draw, digits, exponent):
    """int(digits) * 10**exponent written with the point anywhere, leading or trailing zeros,
    and an exponent in any of its spellings (or none when it is zero)."""
    trailing = draw(st.integers(0, 2))
    digits = "0" * draw(st.integers(0, 2)) + digits + "0" * trailing
    exponent -= trailing
    point = draw(st.integers(0, len(digits)))
    whole, fraction = digits[:point], digits[point:]
    exponent += len(fraction)
    # ".5" and "5." are numbers too: one digit in all is enough.
    mantissa = whole + ("." + fraction if fraction or draw(st.booleans()) else "")
    if exponent == 0 and draw(st.booleans()):
        return mantissa
    sign = "-" if exponent < 0 else draw(st.sampled_from(["", "+"]))
    return mantissa + draw(st.sampled_from("eE")) + sign + "0" * draw(st.integers(0, 2)) + str(abs(exponent))


def digits_of(decimal):
    return "".join(map(str, decimal.as_tuple().digits)), decimal.as_tuple().exponent


@st.composite
def float_texts(draw):
    """(text, value): a text that reads as a 32-bit float and the value it reads as."""
    sign = draw(st.sampled_from(["", "", "+", "-"]))
    kind = draw(st.sampled_from(["exact", "exact", "short", "tie", "word", "out-of-range"]))
    if kind == "word":
        word = draw(st.sampled_from(["inf", "infinity", "nan"]))
        body = "".join(c.upper() if draw(st.booleans()) else c for c in word)
    elif kind == "out-of-range":
        body = draw(st.sampled_from(["1e39", "3.5e38", "340282357e30", "1e-46", "7e-46", "0e-99", "0"]))
    else:
        x = draw(st.floats(min_value=0, max_value=F32_MAX, width=32))
        if kind == "tie" and x < F32_MAX:
            x = (x + next_f32(x)) / 2  # halfway between two 32-bit floats: exact in a double
        if kind == "short":
            text = next(t for p in range(1, 10) if read_f32(t := f"{x:.{p}g}") == x or p == 9)
            digits, exponent = digits_of(Decimal(text))
        else:
            digits, exponent = digits_of(Decimal(x))  # every digit of the binary value
        body = draw(decimal_texts(digits, exponent))
    return sign + body, read_f32(sign + body)


@st.composite
def int_texts(draw, low, high):
    value = draw(st.one_of(st.sampled_from([low, high, 0]), st.integers(low, high)))
    sign = "-" if value < 0 or (value == 0 and low < 0 and draw(st.booleans())) else draw(st.sampled_from(["", "+"]))
    return sign + "0" * draw(st.integers(0, 3)) + str(abs(value)), value


u32_texts, u8_texts, i8_texts = int_texts(0, 2**32 - 1), int_texts(0, 255), int_texts(-128, 127)

# --- Lines ---------------------------------------------------------------------------------------

gaps = st.text(WHITESPACE, min_size=1, max_size=3)
optional_gaps = st.text(WHITESPACE, max_size=2)
line_ends = st.sampled_from(["\n", "\r\n"])
any_text = st.text(st.characters(exclude_characters="\n", exclude_categories=("Cs",)), max_size=12)
field_texts = st.text(
    st.characters(exclude_characters="\n:" + WHITESPACE, exclude_categories=("Cs",)), min_size=1, max_size=6
).filter(lambda text: "--------" not in text)
REALISTIC = ["", "Timings for individual modules:", "STATE  1:  E=   0.144094 au      3.921 eV      31625.0 cm**-1",
             "-" * 60, "   0   2.0000      -20.669480       -562.4455", "  0 O  s      44.1      11.0      60.1      10.2"]


def is_line(line, heading):
    """Whether the line cursor could hand `line` out as `heading` (a "\\r" before "\\n" goes)."""
    return line.removesuffix("\r").lstrip(WHITESPACE) == heading


def filler(*excluded, max_size=3):
    """Lines passed over unexamined: realistic ones, near misses of the headings, anything."""
    near_misses = [SOC_HEADING + " ", EIGEN_HEADING + "\t", "x" + COMPOSITION_HEADING, UNDERLINE + "-", SOC_HEADING[:-1]]
    headings = [h for h in (SOC_HEADING, EIGEN_HEADING, COMPOSITION_HEADING, UNDERLINE) if h not in excluded]
    lines = st.one_of(
        st.sampled_from(REALISTIC + near_misses + headings),
        any_text.filter(lambda line: not any(is_line(line, h) for h in excluded)),
    )
    return st.lists(lines, max_size=max_size)


def render(draw, lines, final_end=True):
    ends = [draw(line_ends) for _ in lines]
    if not final_end and lines:
        ends[-1] = ""
    return "".join(line + end for line, end in zip(lines, ends))


# --- TD-DFT sections -----------------------------------------------------------------------------

elements = st.tuples(float_texts(), float_texts(), float_texts(), u8_texts, u8_texts, i8_texts)


@st.composite
def element_line(draw, element):
    weight, real, imag, root, spin, ms = (text for text, _ in element)
    extra = "".join(draw(gaps) + field for field in draw(st.lists(field_texts, max_size=1)))
    left = draw(optional_gaps) + weight + draw(gaps) + real + draw(gaps) + imag + extra
    right = root + draw(gaps) + spin + draw(gaps) + ms
    right += "".join(draw(gaps) + field for field in draw(st.lists(field_texts, max_size=1)))
    tail = draw(st.sampled_from(["", ":" + draw(any_text)]))
    return left + draw(optional_gaps) + ":" + draw(optional_gaps) + right + draw(optional_gaps) + tail


@st.composite
def state_line(draw, n, energy):
    words = draw(st.sampled_from(["STATE", "STATE", "STATESTATE", "STATE STATE"]))
    first = draw(optional_gaps) + words + draw(optional_gaps) + n + draw(optional_gaps)
    tail = draw(st.sampled_from(["", ":" + draw(any_text)]))
    return first + ":" + draw(optional_gaps) + energy + draw(optional_gaps) + tail


@st.composite
def soc_sections(draw, last):
    """(lines, eigenvectors, whether its block ends at an empty line) of one SOC section;
    only the last section may run to the end."""
    if last and draw(st.integers(0, 9)) == 0:  # a section without eigenvector table
        return [draw(optional_gaps) + SOC_HEADING, *draw(filler(EIGEN_HEADING))], [], False
    least = 0 if draw(st.integers(0, 4)) == 0 else 1  # mostly, tables are not empty
    vectors = draw(st.lists(st.tuples(u32_texts, float_texts(), st.lists(elements, max_size=3)), min_size=least, max_size=4))
    lines = [draw(optional_gaps) + SOC_HEADING, *draw(filler(EIGEN_HEADING)), draw(optional_gaps) + EIGEN_HEADING]
    lines.append(draw(any_text))  # discarded, whatever it holds
    block = [[draw(element_line(element))] for element in draw(st.lists(elements, max_size=1))]  # before any state
    for n, energy, contents in vectors:
        block.append([draw(state_line(n[0], energy[0]))])
        block += [[draw(element_line(element))] for element in contents]
    for _ in range(draw(st.integers(0, 2))):  # header lines anywhere; a repeated heading skips a line
        header = draw(st.sampled_from([["E(cm-1) Weight Real"], [EIGEN_HEADING, draw(any_text)]]))
        block.insert(draw(st.integers(0, len(block))), [draw(optional_gaps) + header[0], *header[1:]])
    lines += [line for group in block for line in group]
    ended = not last or draw(st.booleans())
    if ended:
        lines.append("")  # the empty line that ends the block
    keys = ("weight", "real", "imag", "root", "spin", "ms")
    expected = [{"n": n[1], "energy": energy[1], "elements": [{k: v[1] for k, v in zip(keys, e)} for e in contents]}
                for n, energy, contents in vectors]
    return lines, expected, ended


@st.composite
def tddft_files(draw):
    count = draw(st.integers(1, 3))
    lines = draw(filler(SOC_HEADING))
    for k in range(count):
        section, expected, ended = draw(soc_sections(last=k == count - 1))
        lines += section
        if ended:
            lines += draw(filler(SOC_HEADING))  # after a block: eigenvector tables here are passed over
    return render(draw, lines, final_end=draw(st.booleans())), {"soc_matrix": {"eigenvectors": expected}}


# --- CASSCF sections -----------------------------------------------------------------------------

DIVIDERS = ["--------", " -------- -------- --------", "\t" + "-" * 40, "-" * 27, "--------  x", "\u3000" + "-" * 29]


@st.composite
def column_blocks(draw):
    columns = draw(st.sampled_from([5, 6]))
    numbers = draw(st.lists(u32_texts, min_size=columns, max_size=columns))
    energies = draw(st.lists(float_texts(), min_size=columns, max_size=columns))
    occupations = draw(st.lists(float_texts(), min_size=columns, max_size=columns))
    rows = draw(st.lists(st.tuples(u32_texts, field_texts, field_texts, st.lists(float_texts(), min_size=columns, max_size=columns)), max_size=3))

    def fields(texts, extra=()):
        return draw(optional_gaps) + "".join(
            (draw(gaps) if i else "") + text for i, text in enumerate([*texts, *extra])
        ) + draw(optional_gaps)

    spare = [draw(field_texts)] if columns == 5 and draw(st.booleans()) else []  # a sixth entry is ignored
    lines = [fields(t for t, _ in numbers), fields((t for t, _ in energies), spare), fields(t for t, _ in occupations)]
    lines.append(draw(st.sampled_from(DIVIDERS)))
    for atom, element, kind, values in rows:
        extra = draw(st.lists(field_texts, max_size=1))  # value texts beyond the columns are ignored
        lines.append(fields([atom[0], element, kind, *(t for t, _ in values)], extra))
    lines += [""] * draw(st.integers(1, 3))
    orbitals = [{"orbital_nr": numbers[i][1], "energy": energies[i][1], "occupation": occupations[i][1],
                 "contributions": [{"atom_nr": atom[1], "element": element, "orbital_type": kind,
                                    "contribution": values[i][1]} for atom, element, kind, values in rows]}
                for i in range(columns)]
    return lines, orbitals


@st.composite
def casscf_files(draw):
    lines = draw(filler(COMPOSITION_HEADING))
    shape = draw(st.sampled_from(["table"] * 8 + ["no-heading", "no-underline"]))
    if shape == "no-heading":
        return render(draw, lines, draw(st.booleans())), None
    lines += [draw(optional_gaps) + COMPOSITION_HEADING, *draw(filler(UNDERLINE))]
    if shape == "no-underline":
        return render(draw, lines, draw(st.booleans())), {"orbital_contributions": []}
    lines += [draw(optional_gaps) + UNDERLINE, draw(any_text)] + [""] * draw(st.integers(0, 2))
    orbitals = []
    for _ in range(draw(st.sampled_from([0, 1, 1, 2, 2, 3]))):
        block, block_orbitals = draw(column_blocks())
        lines += block
        orbitals += block_orbitals
    if draw(st.booleans()):  # the section rule; nothing after it is read
        lines += ["-" * draw(st.integers(28, 40)) + draw(any_text), *draw(st.lists(any_text, max_size=3))]
    # Without its line end, a closing empty line would not be a line at all.
    final_end = lines[-1] == "" or draw(st.booleans())
    return render(draw, lines, final_end), {"orbital_contributions": orbitals}


# --- Properties ----------------------------------------------------------------------------------


def parse(function, text):
    try:
        return function(text)
    except BaseException as exc:  # noqa: B036 - PanicException derives from BaseException
        raise AssertionError(f"PanicException: {exc.args[0]}") if is_panic(exc) else exc from None


@PROPERTY
@given(file=tddft_files())
def test_tddft_sections_read_back_as_their_records(write_file, file):
    got = parse(skav_rs.parse_tddft, write_file(file[0]))
    assert same(got, file[1]), (got, file[1])


@PROPERTY
@given(file=casscf_files())
def test_casscf_sections_read_back_as_their_records(write_file, file):
    got = parse(skav_rs.parse_casscf, write_file(file[0]))
    assert (got is None and file[1] is None) or same(got, file[1]), (got, file[1])


TDDFT_FAILURES = {UNWRAP_NONE, NOT_UTF8, float_error("Empty"), float_error("Invalid")} | {
    int_error(kind) for kind in ("Empty", "InvalidDigit", "PosOverflow", "NegOverflow")}
CASSCF_FAILURES = TDDFT_FAILURES | {"Encountered Contribution", "Encountered Divider", "Table divider expected",
                                    *(f"Unexpected token {t}" for t in ("None", "Some(TableDivider)", "Some(SectionDivider)"))}
QUOTED = r'"(?:[^"\\]|\\.)*"'
TOKEN_FORM = re.compile(
    rf"Unexpected token Some\((?:TableHeader\(\[{QUOTED}(?:, {QUOTED}){{4,5}}\]\)"
    rf"|Contribution\({QUOTED}, {QUOTED}, {QUOTED}, \[(?:{QUOTED}(?:, {QUOTED})*)?\]\))\)",
    re.S,
)
INSERTS = [":", "-", "--------", " ", "\n", "\r", "\0", "S", "E", "e", ".", "+", "9", "STATE", "\u00a0", "é", "\U0001f600"]


def check_shape(function, value):
    """A result whatever the input: the documented keys, types and ranges."""
    if function is skav_rs.parse_casscf and value is None:
        return
    if function is skav_rs.parse_tddft:
        assert list(value) == ["soc_matrix"] and list(value["soc_matrix"]) == ["eigenvectors"]
        for v in value["soc_matrix"]["eigenvectors"]:
            assert v.keys() == {"n", "energy", "elements"} and 0 <= v["n"] < 2**32 and type(v["energy"]) is float
            for e in v["elements"]:
                assert e.keys() == {"weight", "real", "imag", "root", "spin", "ms"}
                assert 0 <= e["root"] < 256 and 0 <= e["spin"] < 256 and -128 <= e["ms"] < 128
                assert {type(e[key]) for key in ("weight", "real", "imag")} == {float}
        return
    assert list(value) == ["orbital_contributions"]
    for o in value["orbital_contributions"]:
        assert o.keys() == {"orbital_nr", "energy", "occupation", "contributions"} and 0 <= o["orbital_nr"] < 2**32
        assert type(o["energy"]) is float and type(o["occupation"]) is float
        for c in o["contributions"]:
            assert c.keys() == {"atom_nr", "element", "orbital_type", "contribution"} and 0 <= c["atom_nr"] < 2**32
            assert type(c["contribution"]) is float and c["element"] and c["orbital_type"]


@st.composite
def mutated(draw, files):
    """A file of `files` with one mutation: a character or line removed, added, repeated or
    swapped, the file cut short, or one byte changed (which may break UTF-8)."""
    text, _ = draw(files)
    data, lines = text.encode(), text.split("\n")
    kind = draw(st.sampled_from(["delete", "insert", "replace", "duplicate-line", "drop-line", "swap-lines", "cut", "byte"]))
    at, i = draw(st.integers(0, len(text))), draw(st.integers(0, len(lines) - 1))
    if kind in ("cut", "byte"):
        cut = draw(st.integers(0, len(data)))
        return data[:cut] + (bytes([draw(st.integers(0, 255))]) + data[cut + 1 :] if kind == "byte" else b"")
    mutations = {
        "delete": lambda: text[:at] + text[at + 1 :],
        "insert": lambda: text[:at] + draw(st.sampled_from(INSERTS)) + text[at:],
        "replace": lambda: text[:at] + draw(st.sampled_from(INSERTS)) + text[at + 1 :],
        "duplicate-line": lambda: "\n".join(lines[: i + 1] + lines[i:]),
        "drop-line": lambda: "\n".join(lines[:i] + lines[i + 1 :]),
        "swap-lines": lambda: "\n".join(lines[:i] + lines[i : i + 2][::-1] + lines[i + 2 :]),
    }
    return mutations[kind]().encode()


GOOD_TDDFT = f"{SOC_HEADING}\n{EIGEN_HEADING}\n\nSTATE 1: 0.5\n 0.25 0.5 -1 : 1 2 -3\n"


def assert_result_or_documented_failure(function, path, failures, write_file):
    try:
        check_shape(function, function(path))
    except BaseException as exc:  # noqa: B036 - PanicException derives from BaseException
        assert is_panic(exc), repr(exc)
        (message,) = exc.args
        assert message in failures or (failures is CASSCF_FAILURES and TOKEN_FORM.fullmatch(message)), message
    # The interpreter and the module carry on as before.
    assert skav_rs.parse_tddft(write_file(GOOD_TDDFT))["soc_matrix"]["eigenvectors"][0]["n"] == 1


@settings(PROPERTY, max_examples=150)
@given(data=mutated(tddft_files()))
def test_mutated_tddft_sections_end_with_a_result_or_a_documented_failure(write_file, data):
    assert_result_or_documented_failure(skav_rs.parse_tddft, write_file(data), TDDFT_FAILURES, write_file)


@settings(PROPERTY, max_examples=150)
@given(data=mutated(casscf_files()))
def test_mutated_casscf_sections_end_with_a_result_or_a_documented_failure(write_file, data):
    assert_result_or_documented_failure(skav_rs.parse_casscf, write_file(data), CASSCF_FAILURES, write_file)
