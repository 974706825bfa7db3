from pathlib import Path

import pytest

import skav_rs
from conftest import UNWRAP_NONE, case, f32, float_error, int_error, raises_panic

HEADING = "LOEWDIN ORBITAL-COMPOSITIONS"
UNDERLINE = "-" * 28
SECTION_RULE = "-" * 30
DIVIDER = " -------- -------- -------- -------- --------"
EMPTY = {"orbital_contributions": []}

NUMBERS = ["1", "2", "3", "4", "5"]
ENERGIES = ["-20.66948", "-1.5", "-0.25", "0.125", "3.75"]
OCCUPATIONS = ["2.00000", "1.99979", "1.0", "0.5", "0.0"]
ROWS = [
    ["0", "O", "s", "83.1", "10.0", "0.0", "50.0", "20.0"],
    ["1", "H", "s", "16.9", "90.0", "100.0", "50.0", "80.0"],
]
SIX = (
    ["7", "8", "9", "10", "11", "12"],
    ["-0.5", "-0.25", "0.0", "0.25", "0.5", "1.0"],
    ["2.0", "2.0", "1.5", "0.5", "0.0", "0.0"],
    [["2", "C", "px", "1.0", "2.0", "3.0", "4.0", "5.0", "6.0"]],
)


def row(fields, sep="   "):
    return "  " + sep.join(fields)


def block(numbers=NUMBERS, energies=ENERGIES, occupations=OCCUPATIONS, rows=ROWS, divider=DIVIDER):
    """Lines of one column block, closed by its empty line."""
    return [row(numbers), row(energies), row(occupations), divider, *(row(r) for r in rows), ""]


def composition_section(*table, heading=HEADING, underline=UNDERLINE, discarded="",
                        before=("  CASSCF RESULTS", ""), between=(), end=(SECTION_RULE, "TOTAL RUN TIME")):
    """A whole output text: lines before, heading, underline, discarded line, table lines, end lines."""
    lines = [*before, heading, *between, underline, discarded, *table, *end]
    return "\n".join(lines) + "\n"


def orbital(nr, energy, occupation, contributions=()):
    rows = [{"atom_nr": a, "element": e, "orbital_type": t, "contribution": c} for a, e, t, c in contributions]
    return {"orbital_nr": nr, "energy": energy, "occupation": occupation, "contributions": rows}


def expected(numbers=NUMBERS, energies=ENERGIES, occupations=OCCUPATIONS, rows=ROWS):
    """Orbitals of a block whose texts are plain decimal numbers."""
    return [
        orbital(int(n), f32(float(e)), f32(float(o)), [(int(r[0]), r[1], r[2], f32(float(r[3 + i]))) for r in rows])
        for i, (n, e, o) in enumerate(zip(numbers, energies, occupations))
    ]


def parse(write_file, text):
    return skav_rs.parse_casscf(write_file(text))


EXAMPLE = """LOEWDIN ORBITAL-COMPOSITIONS
----------------------------

      1       2       3       4       5
  -10.5    -1.2    -0.5     0.3     1.1
    2.0     2.0     1.5     0.5     0.0
 -------- -------- -------- -------- --------
 0 O s     90.0    10.0     0.0    50.0    20.0
 1 H s     10.0    90.0   100.0    50.0    80.0

------------------------------
"""
EXAMPLE_RESULT = {"orbital_contributions": [
    orbital(nr, e, o, [(0, "O", "s", c), (1, "H", "s", 100 - c)])
    for nr, e, o, c in [(1, -10.5, 2.0, 90.0), (2, -1.2000000476837158, 2.0, 10.0), (3, -0.5, 1.5, 0.0),
                        (4, 0.30000001192092896, 0.5, 50.0), (5, 1.100000023841858, 0.0, 20.0)]]}


def five(n):
    return [str(i) for i in range(1, n + 1)], ["1.0"] * n, ["2.0"] * n


def header_after_contribution(fields):
    return composition_section(*block()[:-1], row(fields), *block()[1:])


def with_field(where, text):
    """A five-column block whose first orbital number, energy, occupation, atom or value is `text`."""
    columns, contribution = {"orbital_nr": list(NUMBERS), "energy": list(ENERGIES), "occupation": list(OCCUPATIONS)}, list(ROWS[0])
    if where in columns:
        columns[where][0] = text
    else:
        contribution[0 if where == "atom_nr" else 3] = text
    return composition_section(*block(*columns.values(), [contribution]))


def with_value(where, value):
    orbitals = expected(rows=[ROWS[0]])
    for orbital in orbitals[: 5 if where == "atom_nr" else 1]:  # the atom number stands in every column
        (orbital["contributions"][0] if where in ("atom_nr", "contribution") else orbital)[where] = value
    return {"orbital_contributions": orbitals}


UNREAD_ROWS = [row(r) for r in [["3a", "O", "s", "abc"], ["x", "y", "z"], ["1", "C", "px", "1", "2", "3", "4", "5", "6", "7"]]]


def without_orbitals(*header_rows):
    """A block with these lines for its header rows and rows that are not read, then a six-column block."""
    return composition_section(*header_rows, *UNREAD_ROWS, "", *block(*SIX))


def with_texts(element, orbital_type):
    """A five-column block whose one contribution row has these texts, and its orbitals."""
    rows = [["4", element, orbital_type, "1", "2", "3", "4", "5"]]
    return composition_section(*block(rows=rows)), {"orbital_contributions": expected(rows=rows)}


# Texts without the heading line as written: no section, so no result.
NO_SECTION = [
    ("empty file", ""), ("only empty lines", "\n\n"),
    ("table without heading", "SOME OTHER OUTPUT\n" + UNDERLINE + "\n\n" + "\n".join(block())),
    ("heading with trailing blank", composition_section(*block(), heading=HEADING + " ")),
    ("heading in other case", composition_section(*block(), heading="Loewdin orbital-compositions")),
    ("heading after other text", composition_section(*block(), heading="THE " + HEADING)),
    ("heading ending in CR CR LF", composition_section(*block(), heading=HEADING + "\r\r")),
    ("heading as final line ending in CR", "output\n" + HEADING + "\r"),
]
# A heading with no table to read after it: a section without orbitals.
NO_TABLE = [
    ("heading is last line", HEADING + "\n"), ("heading is last line without newline", HEADING),
    ("no underline", f"{HEADING}\nsome text\n" + "\n".join(block()) + "\n"),
    ("underline with trailing blank", composition_section(*block(), "   ", "x", underline=UNDERLINE + " ")),
    ("27 hyphens", composition_section(*block(), "   ", "x", underline="-" * 27)),
    ("29 hyphens", composition_section(*block(), "   ", "x", underline="-" * 29)),
    ("underline as final line ending in CR", f"{HEADING}\n{UNDERLINE}\r"),
    ("only the discarded line after underline", f"{HEADING}\n{UNDERLINE}\n 1 2 3 4 5\n"),
    ("section rule right after discarded line", composition_section(end=(UNDERLINE, *block()))),
    ("only empty lines in table", composition_section("", "", end=())),
]
# The example, however it ends and whatever blanks part its fields.
EXAMPLE_FORMS = [
    ("example", EXAMPLE), ("final section rule ending in CR", EXAMPLE.rstrip("\n") + "\r"),
    ("ends after empty line", EXAMPLE.replace(SECTION_RULE + "\n", "")),
    ("fields separated by any whitespace",
     EXAMPLE.replace(" ", " \t\u00a0\u3000 ").replace(HEADING.replace(" ", " \t\u00a0\u3000 "), HEADING)),
]
# The lines around one five-column block: each layout reads the block's orbitals.
ONE_BLOCK_LAYOUTS = [
    ("one block", composition_section(*block())), ("block closed at end of input", composition_section(*block(), end=())),
    ("lines between heading and underline passed over", composition_section(*block(), between=("   ", "x", "1 O", "-------", "-" * 40))),
    ("heading with trailing blank earlier", composition_section(*block(), before=(HEADING + " ", UNDERLINE, "", "   "))),
    ("first heading without underline", composition_section(*block(), before=(HEADING, "no underline here", ""))),
    ("divider row as indented underline discards next line", composition_section(*block(divider=" " + UNDERLINE)[:4], "   ", *block()[4:])),
    # The line after the underline is discarded, whatever it holds.
    ("discarded whitespace only", composition_section(*block(), discarded="   ")),
    ("discarded one field", composition_section(*block(), discarded="x")),
    ("discarded header row", composition_section(*block(), discarded=row(NUMBERS))),
    ("discarded section rule", composition_section(*block(), discarded=SECTION_RULE + " end")),
    # A line starting with 28 hyphens ends the section: nothing after it is read.
    ("ends at 28 hyphens", composition_section(*block(), end=(UNDERLINE,))),
    ("ends at text right after hyphens", composition_section(*block(), end=(UNDERLINE + "END",))),
    ("ends at bad lines after rule", composition_section(*block(), end=(UNDERLINE, "   ", "x", "1 O", "-------", row(ROWS[0]), DIVIDER))),
    ("ends at block with bad number after rule", composition_section(*block(), end=(UNDERLINE, *block(["x", "2", "3", "4", "5"])))),
    ("ends at second section after rule", composition_section(*block(), end=(UNDERLINE, HEADING, UNDERLINE, "", *block(*SIX)))),
    # Any line holding eight hyphens is a divider.
    ("divider mark inside a word", composition_section(*block(divider="x--------y"))),
    ("divider mark among five fields", composition_section(*block(divider="-------- a b c d"))),
    ("divider 27 hyphens", composition_section(*block(divider="-" * 27))),
    ("ignored occupation row with six texts", composition_section(*block(occupations=OCCUPATIONS + ["junk"]))),
]
# A block whose header rows are not all there gets no orbitals; its rows are not read.
HEADER_ROWS_MISSING = [
    ("no orbitals with divider for energy row", without_orbitals(row(NUMBERS), DIVIDER, DIVIDER)),
    ("no orbitals with empty line for energy row", without_orbitals(row(NUMBERS), "", DIVIDER)),
    ("no orbitals with divider for occupation row", without_orbitals(row(NUMBERS), row(ENERGIES), DIVIDER, DIVIDER)),
    ("no orbitals with bad numbers unread", without_orbitals(row(["a", "b", "c", "d", "e"]), DIVIDER, DIVIDER)),
]
# Each field's number as written and the value it reads as.
NUMBER_FORMS = [("orbital_nr", "+4294967295", 4294967295), ("atom_nr", "007", 7), ("energy", "1e-3", f32(0.001)),
                ("occupation", "1E+0", 1.0), ("contribution", "-INFinity", float("-inf"))]
# Element and orbital type texts, kept as written.
TEXTS = [("Ö", "中あ、"), ("\x00\x01", "\u200b"), ("O", "s'\"\\")]


@pytest.mark.parametrize("text, result", [
    *(case(name, text, None) for name, text in NO_SECTION),
    *(case(name, text, EMPTY) for name, text in NO_TABLE),
    *(case(name, text, EXAMPLE_RESULT) for name, text in EXAMPLE_FORMS),
    case("two blocks", composition_section(*block(), *block(*SIX)), {"orbital_contributions": expected() + expected(*SIX)}),
    *(case(name, text, {"orbital_contributions": expected()}) for name, text in ONE_BLOCK_LAYOUTS),
    *(case(name, text, {"orbital_contributions": expected(*SIX)}) for name, text in HEADER_ROWS_MISSING),
    *(case(f"{where} {text}", with_field(where, text), with_value(where, value)) for where, text, value in NUMBER_FORMS),
    *(case(f"text {element!r} {orbital_type!r} as written", *with_texts(element, orbital_type))
      for element, orbital_type in TEXTS),
])
def test_result(write_file, text, result):
    assert parse(write_file, text) == result


ORDER = [
    ("contribution before block", composition_section(row(ROWS[0]), *block()), "Encountered Contribution"),
    ("seven-column block", composition_section(*block(*five(7), [])), "Encountered Contribution"),
    ("zero width space joins fields", composition_section(*block(["1\u200b2", "3", "4", "5"])), "Encountered Contribution"),
    ("U+001C joins fields", composition_section(*block(["1\x1c2", "3", "4", "5"])), "Encountered Contribution"),
    ("U+1000 joins fields", composition_section(*block(["1\u10002", "3", "4", "5"])), "Encountered Contribution"),
    ("divider before block", composition_section(DIVIDER, *block()), "Encountered Divider"),
    ("indented section rule between blocks", composition_section(*block(), " " + SECTION_RULE), "Encountered Divider"),
    ("empty line for divider", composition_section(*block()[:3], "", *block()[3:]), "Table divider expected"),
    ("contribution for divider", composition_section(*block()[:3], *block()[4:]), "Table divider expected"),
    ("fourth header row", composition_section(*block()[:3], row(NUMBERS), *block()[3:]), "Table divider expected"),
    ("section rule for divider", composition_section(*block()[:3]), "Table divider expected"),
    ("seven-field energy row", composition_section(*block(*SIX[:1], SIX[1] + ["9.9"], *SIX[2:])), "Table divider expected"),
    *((f"input ends after {name} row", composition_section(*block()[:k], end=()), "Table divider expected")
      for k, name in [(1, "number"), (2, "energy"), (3, "occupation")]),
    ("one divider without header rows", composition_section(row(NUMBERS), DIVIDER, row(ROWS[0]), ""), "Table divider expected"),
    ("empty line after lone divider", composition_section(row(NUMBERS), DIVIDER, ""), "Table divider expected"),
    ("no empty line at end of input", composition_section(*block()[:-1], end=()), "Unexpected token None"),
    ("no newline at end of input", composition_section(*block()[:-1], end=()).rstrip("\n"), "Unexpected token None"),
    ("input ends after divider", composition_section(*block()[:4], end=()), "Unexpected token None"),
    ("number row after contribution row", header_after_contribution(NUMBERS),
     'Unexpected token Some(TableHeader(["1", "2", "3", "4", "5"]))'),
    ("six-field row", header_after_contribution(SIX[0]), 'Unexpected token Some(TableHeader(["7", "8", "9", "10", "11", "12"]))'),
    ("five-field contribution row", composition_section(*block(rows=[["0", "O", "s", "12.5", "80.0"]])),
     'Unexpected token Some(TableHeader(["0", "O", "s", "12.5", "80.0"]))'),
    ("divider after contribution row", composition_section(*block()[:-1], DIVIDER, ""), "Unexpected token Some(TableDivider)"),
    ("section rule after contribution row", composition_section(*block()[:-1]), "Unexpected token Some(SectionDivider)"),
    ("section rule with text after contribution row", composition_section(*block()[:-1], UNDERLINE + " END"),
     "Unexpected token Some(SectionDivider)"),
    ("rows of a block without header rows", composition_section(row(NUMBERS), DIVIDER, DIVIDER, row(ROWS[0])),
     "Unexpected token Some(SectionDivider)"),
    *((f"text form {name}", header_after_contribution(["1", "2", "3", "4", field]),
       'Unexpected token Some(TableHeader(["1", "2", "3", "4", "' + written + '"]))') for name, field, written in [
        ("backslash", "a\\b", "a\\\\b"), ("double quote", 'say"hi"', 'say\\"hi\\"'), ("NUL", "\x00", "\\0"),
        ("U+0001", "a\x01", "a\\u{1}"), ("escape", "\x1b[0m", "\\u{1b}[0m"), ("DEL", "\x7f", "\\u{7f}"),
        ("C1 control", "\x9f", "\\u{9f}"), ("letters", "Ö中\U0001f600", "Ö中\U0001f600"), ("zero width space", "x\u200by", "x\\u{200b}y"),
        ("tag character", "a\U000e0001", "a\\u{e0001}")]),
]
MISSING = [
    ("blank-only line between blocks", composition_section(*block(), "   ")),
    ("tab-only line after contribution rows", composition_section(*block()[:-1], "\t", "")),
    ("blank-only line before first block", composition_section("   ", *block())),
    *((name, composition_section(*block(), line)) for name, line in [
        ("one-field line", "x"), ("two-field line", "1 O"), ("seven hyphens", "-------"),
        ("indented seven hyphens", "  -------"), ("second heading in table", HEADING)]),
    ("energy row shorter", composition_section(*block(*SIX[:1], SIX[1][:5], *SIX[2:]))),
    ("occupation row shorter", composition_section(*block(*SIX[:2], SIX[2][:5], *SIX[3:]))),
    ("contribution row one value short", composition_section(*block(rows=[ROWS[0], ROWS[1][:-1]]))),
    ("contribution row without values", composition_section(*block(rows=[["1", "H", "s"]]))),
    ("final lone CR line", composition_section(*block(), end=()) + "\r"),
    # A line the tokenizer cannot read comes before any failure of order or numbers.
    *((f"after {name}", composition_section(*table, "", "", *block(), "1 O", "")) for name, table in [
        ("Encountered Contribution", [row(ROWS[0]), *block()]), ("Encountered Divider", [DIVIDER]),
        ("Table divider expected", [*block()[:3], ""]), ("Unexpected token", [*block()[:-1], row(NUMBERS)]),
        ("bad atom number", block(rows=[["3a", "O", "s", *ROWS[0][3:]]])), ("bad energy", block(energies=["x"] * 5))]),
]
# Which field is read as which number type, and which failure comes first in table order.
NUMBERS_AND_ORDER = [
    ("orbital number", block(["-1", *NUMBERS[1:]]), int_error("InvalidDigit")),
    ("energy", block(energies=["1,5", *ENERGIES[1:]]), float_error("Invalid")),
    ("occupation", block(occupations=[*OCCUPATIONS[:4], "e5"]), float_error("Invalid")),
    ("atom number", block(rows=[["4294967296", "O", "s", *ROWS[0][3:]]]), int_error("PosOverflow")),
    ("contribution", block(rows=[[*ROWS[0][:7], "83.1%"]]), float_error("Invalid")),
    ("bad number before short energy row", block(["x", *SIX[0][1:]], SIX[1][:5], *SIX[2:]), int_error("InvalidDigit")),
    ("bad energy before short energy row", block(SIX[0], ["-1", "bad", *SIX[1][2:5]], *SIX[2:]), float_error("Invalid")),
    ("bad occupation of third column", block(SIX[0], SIX[1], ["2.0", "2.0", "x", "2.0", "2.0", "2.0"], *SIX[3:]),
     float_error("Invalid")),
    ("bad atom before short row", block(rows=[["3a", "O", "s", "1.0"]]), int_error("InvalidDigit")),
    ("bad value before short row", block(rows=[["3", "O", "s", "abc"]]), float_error("Invalid")),
    ("short row before bad atom", block(rows=[ROWS[0][:-1], ["3a", *ROWS[1][1:]]]), UNWRAP_NONE),
    ("bad number before misplaced divider", [*block(["-1", *NUMBERS[1:]]), DIVIDER], int_error("InvalidDigit")),
    ("misplaced divider before bad number", [DIVIDER, *block(["-1", *NUMBERS[1:]])], "Encountered Divider"),
]


@pytest.mark.parametrize("text, message", [
    *(case(name, text, message) for name, text, message in ORDER), *(case(name, text, UNWRAP_NONE) for name, text in MISSING),
    *(case(name, composition_section(*table), message) for name, table, message in NUMBERS_AND_ORDER),
])
def test_failure(write_file, text, message):
    with raises_panic(message):
        parse(write_file, text)


WIDE = (["-20.66948", "-1.5", "-0.25", "0.125", "3.75", "1e1"], ["2.0", "1.99979", "1.0", "0.5", "0", "+0.0"])


def columns(width, first=1):
    """Texts of a block of `width` columns whose orbitals are numbered from `first`."""
    return ([str(first + i) for i in range(width)], WIDE[0][:width], WIDE[1][:width],
            [r[:3 + width] + ["83.1", "1"][:width - 5] for r in ROWS])


def table_of(*widths, end=(SECTION_RULE,)):
    """A table of blocks of these widths, numbered on from block to block, and its orbitals."""
    blocks = [columns(width, 1 + sum(widths[:i])) for i, width in enumerate(widths)]
    lines = [line for texts in blocks for line in block(*texts, divider=" --------" * len(texts[0]))]
    return composition_section(*lines, end=end), {"orbital_contributions": [o for texts in blocks for o in expected(*texts)]}


def narrow(width, lines=lambda block: block, end=(SECTION_RULE,)):
    """A table of a six-column block then a `width`-column block changed by `lines`, from line 13 on."""
    texts = columns(width, 7)
    return composition_section(*block(*columns(6)), *lines(block(*texts, divider=" --------" * width)), end=end)


# The first reading, of five or six columns, stands wherever it reads the table. Where it fails,
# a table of blocks of 1 to 6 columns is read; if that fails too, the first failure stands.
@pytest.mark.parametrize("text, outcome", [
    *(case(f"last block of {width}", *table_of(6, 6, width)) for width in range(1, 7)),
    case("short blocks inside", *table_of(6, 1, 2, 3, 4, 5, 6)),
    case("ends without section rule", *table_of(3, end=())),
    *(case(name, text, (message, line)) for name, text, message, line in [
        ("bad number", narrow(3, lambda b: [b[0], b[1].replace("-0.25", "-0.2S"), *b[2:]]), "Encountered Contribution", 13),
        ("row too short", narrow(2, lambda b: [*b[:4], b[4][:-5], *b[5:]]), UNWRAP_NONE, 13),
        ("row too short of three", narrow(3, lambda b: [*b[:4], b[4][:-6], *b[5:]]), "Encountered Contribution", 13),
        ("not closed at end", narrow(2, lambda b: b[:-1], end=()), UNWRAP_NONE, 13),
        ("not closed at end of three", narrow(3, lambda b: b[:-1], end=()), "Encountered Contribution", 13),
        ("not closed before rule", narrow(4, lambda b: b[:-1]), "Encountered Contribution", 13),
        ("whitespace-only line", narrow(3, lambda b: [*b[:5], "  ", *b[5:]]), UNWRAP_NONE, 18),
        ("seven-field energy row", narrow(4, lambda b: [b[0], b[1] + " 1 2 3", *b[2:]]), "Encountered Contribution", 13),
        ("divider in row", narrow(1, lambda b: [*b[:4], b[4] + " --------", *b[5:]]), UNWRAP_NONE, 13),
    ]),
])
def test_blocks_of_any_width(write_file, capfd, text, outcome):
    path = write_file(text)
    if isinstance(outcome, dict):
        assert skav_rs.parse_casscf(path) == outcome
        assert capfd.readouterr().err == ""  # no report for a failure that does not stand
        return
    (message, line) = outcome
    with raises_panic(message) as info:
        skav_rs.parse_casscf(path)
    assert info.value.__notes__ == [f'in "{path}", line {line}: "{text.splitlines()[line - 1]}"']
    assert capfd.readouterr().err.count(f":\n{message}\n") == 1


def test_sample_with_a_last_block_of_four():
    orbitals = skav_rs.parse_casscf(str(Path(__file__).parent.parent / "samples" / "fe_complex_casscf.out"))
    assert [o["orbital_nr"] for o in orbitals["orbital_contributions"]] == list(range(40))
    last = orbitals["orbital_contributions"][-1]["contributions"]
    assert [row["contribution"] for row in last][-5:] == [f32(28.7), f32(58.7), f32(12.6), 0.0, 0.0]
