import math

import pytest

import skav_rs
from conftest import UNWRAP_NONE, f32, float_error, int_error, raises_panic

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
    return {
        "orbital_nr": nr,
        "energy": energy,
        "occupation": occupation,
        "contributions": [
            {"atom_nr": a, "element": e, "orbital_type": t, "contribution": c} for a, e, t, c in contributions
        ],
    }


def expected(numbers=NUMBERS, energies=ENERGIES, occupations=OCCUPATIONS, rows=ROWS):
    """Orbitals of a block whose texts are plain decimal numbers."""
    return [
        orbital(int(n), f32(float(e)), f32(float(o)), [(int(r[0]), r[1], r[2], f32(float(r[3 + i]))) for r in rows])
        for i, (n, e, o) in enumerate(zip(numbers, energies, occupations))
    ]


def parse(write_file, text):
    return skav_rs.parse_casscf(write_file(text))


def assert_fails(write_file, text, message):
    with raises_panic(message):
        parse(write_file, text)


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
EXAMPLE_RESULT = {
    "orbital_contributions": [
        orbital(1, -10.5, 2.0, [(0, "O", "s", 90.0), (1, "H", "s", 10.0)]),
        orbital(2, -1.2000000476837158, 2.0, [(0, "O", "s", 10.0), (1, "H", "s", 90.0)]),
        orbital(3, -0.5, 1.5, [(0, "O", "s", 0.0), (1, "H", "s", 100.0)]),
        orbital(4, 0.30000001192092896, 0.5, [(0, "O", "s", 50.0), (1, "H", "s", 50.0)]),
        orbital(5, 1.100000023841858, 0.0, [(0, "O", "s", 20.0), (1, "H", "s", 80.0)]),
    ]
}


@pytest.mark.parametrize("text", [
    pytest.param("", id="empty file"),
    pytest.param("\n\n", id="only empty lines"),
    pytest.param("SOME OTHER OUTPUT\n" + UNDERLINE + "\n\n" + "\n".join(block()), id="table without heading"),
    pytest.param(composition_section(*block(), heading=HEADING + " "), id="heading with trailing blank"),
    pytest.param(composition_section(*block(), heading="Loewdin orbital-compositions"), id="heading in other case"),
    pytest.param(composition_section(*block(), heading="THE " + HEADING), id="heading after other text"),
    pytest.param(composition_section(*block(), heading=HEADING + "\r\r"), id="heading ending in CR CR LF"),
    pytest.param("output\n" + HEADING + "\r", id="heading as final line ending in CR"),
])
def test_file_without_heading_gives_none(write_file, text):
    assert parse(write_file, text) is None


@pytest.mark.parametrize("text", [
    pytest.param(HEADING + "\n", id="heading is last line"),
    pytest.param(HEADING, id="heading is last line without newline"),
    pytest.param(f"{HEADING}\nsome text\n" + "\n".join(block()) + "\n", id="no underline"),
    pytest.param(composition_section(*block(), "   ", "x", underline=UNDERLINE + " "), id="underline with trailing blank"),
    pytest.param(composition_section(*block(), "   ", "x", underline="-" * 27), id="27 hyphens"),
    pytest.param(composition_section(*block(), "   ", "x", underline="-" * 29), id="29 hyphens"),
    pytest.param(f"{HEADING}\n{UNDERLINE}\r", id="underline as final line ending in CR"),
    pytest.param(f"{HEADING}\n{UNDERLINE}\n", id="underline is last line"),
    pytest.param(f"{HEADING}\n{UNDERLINE}\n 1 2 3 4 5\n", id="only the discarded line after underline"),
    pytest.param(composition_section(end=(UNDERLINE, *block())), id="section rule right after discarded line"),
    pytest.param(composition_section("", "", end=()), id="only empty lines in table"),
])
def test_heading_without_table_gives_no_orbitals(write_file, text):
    assert parse(write_file, text) == EMPTY


def test_example_section(write_file):
    assert parse(write_file, EXAMPLE) == EXAMPLE_RESULT


@pytest.mark.parametrize("text, orbitals", [
    pytest.param(composition_section(*block()), expected(), id="one block"),
    pytest.param(composition_section(*block(), *block(*SIX)), expected() + expected(*SIX), id="two blocks"),
    pytest.param(composition_section(*block(*SIX), *block()), expected(*SIX) + expected(), id="six columns then five"),
    pytest.param(composition_section("", "", *block(), "", "", "", *block(*SIX), "", ""),
                 expected() + expected(*SIX), id="extra empty lines"),
    pytest.param(composition_section(*block(rows=[])), expected(rows=[]), id="block without contribution rows"),
    pytest.param(composition_section(*block(), end=()), expected(), id="block closed at end of input"),
    pytest.param(composition_section(*block(["5", "5", "3", "0", "4294967295"])),
                 expected(["5", "5", "3", "0", "4294967295"]), id="orbital numbers repeated and unordered"),
    pytest.param(composition_section(*block(), heading="  \t" + HEADING, underline=" \t\u00a0" + UNDERLINE,
                                     before=()), expected(), id="heading and underline indented"),
    pytest.param(composition_section(*block(), between=("   ", "x", "1 O", "-------", "-" * 40)),
                 expected(), id="lines between heading and underline passed over"),
    pytest.param(composition_section(*block(), before=(HEADING + " ", UNDERLINE, "", "   ")),
                 expected(), id="heading with trailing blank earlier"),
    pytest.param(composition_section(*block(divider=" " + UNDERLINE)[:4], "   ", *block()[4:]),
                 expected(), id="divider row as indented underline discards next line"),
])
def test_table_layouts(write_file, text, orbitals):
    assert parse(write_file, text) == {"orbital_contributions": orbitals}


@pytest.mark.parametrize("discarded", [
    pytest.param("   ", id="whitespace only"),
    pytest.param("x", id="one field"),
    pytest.param(row(NUMBERS), id="header row"),
    pytest.param(row(ROWS[0]), id="contribution row"),
    pytest.param(DIVIDER, id="divider"),
    pytest.param(UNDERLINE, id="section rule"),
    pytest.param(SECTION_RULE + " end", id="section rule with text"),
])
def test_line_after_underline_is_discarded(write_file, discarded):
    assert parse(write_file, composition_section(*block(), discarded=discarded)) == {"orbital_contributions": expected()}


@pytest.mark.parametrize("end", [
    pytest.param((UNDERLINE,), id="28 hyphens"),
    pytest.param(("-" * 60,), id="60 hyphens"),
    pytest.param((UNDERLINE + "END",), id="text right after hyphens"),
    pytest.param((UNDERLINE + " 1 2 3",), id="fields after hyphens"),
    pytest.param((UNDERLINE, "   ", "x", "1 O", "-------"), id="bad lines after rule"),
    pytest.param((UNDERLINE, row(ROWS[0]), DIVIDER), id="misplaced rows after rule"),
    pytest.param((UNDERLINE, *block(["x", "2", "3", "4", "5"])), id="block with bad number after rule"),
    pytest.param((UNDERLINE, HEADING, UNDERLINE, "", *block(*SIX)), id="second section after rule"),
])
def test_section_rule_ends_section(write_file, end):
    assert parse(write_file, composition_section(*block(), end=end)) == {"orbital_contributions": expected()}


@pytest.mark.parametrize("divider", [
    pytest.param("--------", id="eight hyphens"),
    pytest.param("\t--------", id="tab and eight hyphens"),
    pytest.param("x--------y", id="mark inside a word"),
    pytest.param("-------- a b c d", id="mark among five fields"),
    pytest.param("-" * 27, id="27 hyphens"),
    pytest.param(" " + "-" * 29, id="indented 29 hyphens"),
    pytest.param(" " + "-" * 40 + " x", id="indented long rule"),
])
def test_divider_mark(write_file, divider):
    assert parse(write_file, composition_section(*block(divider=divider))) == {"orbital_contributions": expected()}


def header_after_contribution(fields):
    return composition_section(*block()[:-1], row(fields), *block()[1:])


@pytest.mark.parametrize("text, message", [
    pytest.param(composition_section(row(ROWS[0]), *block()), "Encountered Contribution", id="contribution before block"),
    pytest.param(composition_section(*block(["1", "2", "3"], ["1.0"] * 3, ["2.0"] * 3, [["1", "H", "s", "1", "2", "3"]])),
                 "Encountered Contribution", id="three-column block"),
    pytest.param(composition_section(*block(["1", "2", "3", "4"], ["1.0"] * 4, ["2.0"] * 4, [])),
                 "Encountered Contribution", id="four-column block"),
    pytest.param(composition_section(*block([str(i) for i in range(1, 8)], ["1.0"] * 7, ["2.0"] * 7, [])),
                 "Encountered Contribution", id="seven-column block"),
    pytest.param(composition_section(*block(["1\u200b2", "3", "4", "5"])), "Encountered Contribution",
                 id="zero width space joins fields"),
    pytest.param(composition_section(*block(["1\x1c2", "3", "4", "5"])), "Encountered Contribution",
                 id="U+001C joins fields"),
    pytest.param(composition_section(DIVIDER, *block()), "Encountered Divider", id="divider before block"),
    pytest.param(composition_section(*block(), " " + SECTION_RULE), "Encountered Divider",
                 id="indented section rule between blocks"),
    pytest.param(composition_section(*block()[:3], "", *block()[3:]), "Table divider expected", id="empty line for divider"),
    pytest.param(composition_section(*block()[:3], *block()[4:]), "Table divider expected", id="contribution for divider"),
    pytest.param(composition_section(*block()[:3], row(NUMBERS), *block()[3:]), "Table divider expected",
                 id="fourth header row"),
    pytest.param(composition_section(*block()[:3]), "Table divider expected", id="section rule for divider"),
    pytest.param(composition_section(*block(*SIX[:1], SIX[1] + ["9.9"], *SIX[2:])), "Table divider expected",
                 id="seven-field energy row"),
    pytest.param(composition_section(*block()[:1], end=()), "Table divider expected", id="input ends after number row"),
    pytest.param(composition_section(*block()[:2], end=()), "Table divider expected", id="input ends after energy row"),
    pytest.param(composition_section(*block()[:3], end=()), "Table divider expected", id="input ends after occupation row"),
    pytest.param(composition_section(*block()[:-1], end=()), "Unexpected token None", id="no empty line at end of input"),
    pytest.param(composition_section(*block()[:-1], end=()).rstrip("\n"), "Unexpected token None",
                 id="no newline at end of input"),
    pytest.param(composition_section(*block()[:4], end=()), "Unexpected token None", id="input ends after divider"),
    pytest.param(header_after_contribution(NUMBERS), 'Unexpected token Some(TableHeader(["1", "2", "3", "4", "5"]))',
                 id="number row after contribution row"),
    pytest.param(header_after_contribution(SIX[0]),
                 'Unexpected token Some(TableHeader(["7", "8", "9", "10", "11", "12"]))', id="six-field row"),
    pytest.param(composition_section(*block(rows=[["0", "O", "s", "12.5", "80.0"]])),
                 'Unexpected token Some(TableHeader(["0", "O", "s", "12.5", "80.0"]))', id="five-field contribution row"),
    pytest.param(composition_section(*block()[:-1], DIVIDER, ""), "Unexpected token Some(TableDivider)",
                 id="divider after contribution row"),
    pytest.param(composition_section(*block()[:-1]), "Unexpected token Some(SectionDivider)",
                 id="section rule after contribution row"),
    pytest.param(composition_section(*block()[:-1], UNDERLINE + " END"), "Unexpected token Some(SectionDivider)",
                 id="section rule with text after contribution row"),
])
def test_token_order_failures(write_file, text, message):
    assert_fails(write_file, text, message)


@pytest.mark.parametrize("field, written", [
    pytest.param("a\\b", "a\\\\b", id="backslash"),
    pytest.param('say"hi"', 'say\\"hi\\"', id="double quote"),
    pytest.param("it's", "it's", id="single quote"),
    pytest.param("\x00", "\\0", id="NUL"),
    pytest.param("a\x01", "a\\u{1}", id="U+0001"),
    pytest.param("\x1b[0m", "\\u{1b}[0m", id="escape"),
    pytest.param("\x7f", "\\u{7f}", id="DEL"),
    pytest.param("\x9f", "\\u{9f}", id="C1 control"),
    pytest.param("Ö", "Ö", id="latin letter"),
    pytest.param("中", "中", id="CJK letter"),
    pytest.param("x\u200by", "x\\u{200b}y", id="zero width space"),
])
def test_header_text_form_in_message(write_file, field, written):
    message = 'Unexpected token Some(TableHeader(["1", "2", "3", "4", "' + written + '"]))'
    assert_fails(write_file, header_after_contribution(["1", "2", "3", "4", field]), message)


UNCHECKED_ROWS = [["3a", "O", "s", "abc"], ["x", "y", "z"], ["1", "C", "px", "1", "2", "3", "4", "5", "6", "7"]]


@pytest.mark.parametrize("lines", [
    pytest.param([row(NUMBERS), DIVIDER, DIVIDER], id="divider for energy row"),
    pytest.param([row(NUMBERS), "", DIVIDER], id="empty line for energy row"),
    pytest.param([row(NUMBERS), row(ENERGIES), DIVIDER, DIVIDER], id="divider for occupation row"),
    pytest.param([row(["a", "b", "c", "d", "e"]), DIVIDER, DIVIDER], id="bad numbers unread"),
])
def test_block_without_header_rows_reads_no_orbitals(write_file, lines):
    text = composition_section(*lines, *(row(r) for r in UNCHECKED_ROWS), "", *block(*SIX))
    assert parse(write_file, text) == {"orbital_contributions": expected(*SIX)}


@pytest.mark.parametrize("lines, message", [
    pytest.param([row(NUMBERS), DIVIDER, row(ROWS[0]), ""], "Table divider expected", id="one divider"),
    pytest.param([row(NUMBERS), DIVIDER, ""], "Table divider expected", id="empty line after divider"),
    pytest.param([row(NUMBERS), DIVIDER, DIVIDER, row(ROWS[0])], "Unexpected token Some(SectionDivider)",
                 id="rows still need empty line"),
])
def test_block_without_header_rows_failures(write_file, lines, message):
    assert_fails(write_file, composition_section(*lines), message)


@pytest.mark.parametrize("text", [
    pytest.param(composition_section(*block(), "   "), id="blank-only line between blocks"),
    pytest.param(composition_section(*block()[:-1], "\t", ""), id="tab-only line after contribution rows"),
    pytest.param(composition_section("   ", *block()), id="blank-only line before first block"),
    pytest.param(composition_section(*block(), "x"), id="one-field line"),
    pytest.param(composition_section(*block(), "1 O"), id="two-field line"),
    pytest.param(composition_section(*block(), "-------"), id="seven hyphens"),
    pytest.param(composition_section(*block(), "  -------"), id="indented seven hyphens"),
    pytest.param(composition_section(*block(), HEADING), id="second heading in table"),
    pytest.param(composition_section(*block(["1"], ["1.0"], ["2.0"], [["1", "H", "s", "1.0"]])), id="one-column block"),
    pytest.param(composition_section(*block(["1", "2"], ["1.0"] * 2, ["2.0"] * 2, [])), id="two-column block"),
    pytest.param(composition_section(*block(*SIX[:1], SIX[1][:5], *SIX[2:])), id="energy row shorter"),
    pytest.param(composition_section(*block(*SIX[:2], SIX[2][:5], *SIX[3:])), id="occupation row shorter"),
    pytest.param(composition_section(*block(rows=[ROWS[0], ROWS[1][:-1]])), id="contribution row one value short"),
    pytest.param(composition_section(*block(rows=[["1", "H", "s"]])), id="contribution row without values"),
    pytest.param(composition_section(*block(), end=()) + "\r", id="final lone CR line"),
])
def test_missing_item_failures(write_file, text):
    assert_fails(write_file, text, UNWRAP_NONE)


@pytest.mark.parametrize("table", [
    pytest.param([row(ROWS[0]), *block()], id="after Encountered Contribution"),
    pytest.param([DIVIDER], id="after Encountered Divider"),
    pytest.param([*block()[:3], ""], id="after Table divider expected"),
    pytest.param([*block()[:-1], row(NUMBERS)], id="after Unexpected token"),
    pytest.param(block(rows=[["3a", "O", "s", *ROWS[0][3:]]]), id="after bad atom number"),
    pytest.param(block(energies=["x"] * 5), id="after bad energy"),
])
def test_tokenizer_missing_item_reported_first(write_file, table):
    assert_fails(write_file, composition_section(*table, "", "", *block(), "1 O", ""), UNWRAP_NONE)


@pytest.mark.parametrize("table, message", [
    pytest.param(block(["x", *SIX[0][1:]], SIX[1][:5], *SIX[2:]), int_error("InvalidDigit"),
                 id="bad number before short energy row"),
    pytest.param(block(SIX[0], ["-1", "bad", *SIX[1][2:5]], *SIX[2:]), float_error("Invalid"),
                 id="bad energy before short energy row"),
    pytest.param(block(SIX[0], SIX[1], ["2.0", "2.0", "x", "2.0", "2.0", "2.0"], *SIX[3:]), float_error("Invalid"),
                 id="bad occupation of third column"),
    pytest.param(block(rows=[["3a", "O", "s", "1.0"]]), int_error("InvalidDigit"), id="bad atom before short row"),
    pytest.param(block(rows=[["3", "O", "s", "abc"]]), float_error("Invalid"), id="bad value before short row"),
    pytest.param(block(rows=[ROWS[0][:-1], ["3a", *ROWS[1][1:]]]), UNWRAP_NONE, id="short row before bad atom"),
    pytest.param([*block(["-1", *NUMBERS[1:]]), DIVIDER], int_error("InvalidDigit"), id="bad number before misplaced divider"),
    pytest.param([DIVIDER, *block(["-1", *NUMBERS[1:]])], "Encountered Divider", id="misplaced divider before bad number"),
])
def test_first_failure_in_table_order_wins(write_file, table, message):
    assert_fails(write_file, composition_section(*table), message)


@pytest.mark.parametrize("table", [
    pytest.param(block(energies=ENERGIES + ["9.9"]), id="energy row with six texts"),
    pytest.param(block(occupations=OCCUPATIONS + ["junk"]), id="occupation row with six texts"),
    pytest.param(block(rows=[ROWS[0] + ["7.0", "junk"], ROWS[1]]), id="contribution row with extra values"),
])
def test_extra_texts_are_ignored(write_file, table):
    assert parse(write_file, composition_section(*table)) == {"orbital_contributions": expected()}


def one_value_section(where, text):
    """One five-column block whose first orbital number, energy, occupation, atom or value is `text`."""
    numbers, energies, occupations = list(NUMBERS), list(ENERGIES), list(OCCUPATIONS)
    contribution = list(ROWS[0])
    target = {"orbital_nr": numbers, "energy": energies, "occupation": occupations}
    if where in target:
        target[where][0] = text
    else:
        contribution[0 if where == "atom_nr" else 3] = text
    return composition_section(*block(numbers, energies, occupations, [contribution]))


def first_value(result, where):
    first = result["orbital_contributions"][0]
    return first["contributions"][0][where] if where in ("atom_nr", "contribution") else first[where]


@pytest.mark.parametrize("where, text, value", [
    ("orbital_nr", "4294967295", 4294967295),
    ("orbital_nr", "+7", 7),
    ("orbital_nr", "007", 7),
    ("atom_nr", "4294967295", 4294967295),
    ("atom_nr", "+12", 12),
    ("energy", "-20.66948", -20.669479370117188),
    ("energy", "-1.2", -1.2000000476837158),
    ("energy", "1e-3", f32(0.001)),
    ("energy", "+2.5", 2.5),
    ("energy", "3.4028235E38", 3.4028234663852886e38),
    ("occupation", "1.99979", 1.9997899532318115),
    ("occupation", "2.00000", 2.0),
    ("occupation", "1E+0", 1.0),
    ("contribution", "83.1", 83.0999984741211),
    ("contribution", "100.0", 100.0),
    ("contribution", ".5", 0.5),
    ("contribution", "5.", 5.0),
    ("contribution", "1e40", math.inf),
    ("contribution", "-INFinity", -math.inf),
    ("contribution", "1e-50", 0.0),
], ids=lambda v: v if isinstance(v, str) else None)
def test_number_texts_read(write_file, where, text, value):
    got = first_value(parse(write_file, one_value_section(where, text)), where)
    assert (type(got), got) == (type(value), value)


def test_nan_is_read(write_file):
    assert math.isnan(first_value(parse(write_file, one_value_section("energy", "NaN")), "energy"))


@pytest.mark.parametrize("where, text, message", [
    ("atom_nr", "3a", int_error("InvalidDigit")),
    ("atom_nr", "\u0663", int_error("InvalidDigit")),
    ("atom_nr", "4294967296", int_error("PosOverflow")),
    ("orbital_nr", "-1", int_error("InvalidDigit")),
    ("orbital_nr", "4294967296", int_error("PosOverflow")),
    ("orbital_nr", "1.0", int_error("InvalidDigit")),
    ("orbital_nr", "+", int_error("InvalidDigit")),
    ("orbital_nr", "99999999999a", int_error("PosOverflow")),
    ("orbital_nr", "1a99999999999", int_error("InvalidDigit")),
    ("contribution", "83.1%", float_error("Invalid")),
    ("contribution", "1_0", float_error("Invalid")),
    ("contribution", ".", float_error("Invalid")),
    ("energy", "1,5", float_error("Invalid")),
    ("energy", "0x10", float_error("Invalid")),
    ("energy", "--1", float_error("Invalid")),
    ("energy", "infinit", float_error("Invalid")),
    ("occupation", "abc", float_error("Invalid")),
    ("occupation", "e5", float_error("Invalid")),
], ids=lambda v: v if isinstance(v, str) and not v.startswith("called") else None)
def test_number_format_failures(write_file, where, text, message):
    assert_fails(write_file, one_value_section(where, text), message)


@pytest.mark.parametrize("element, orbital_type", [
    pytest.param("Ö", "dxy", id="umlaut"),
    pytest.param("中", "p-1", id="CJK"),
    pytest.param("Xx", "d(x2-y2)", id="unknown element"),
    pytest.param("\x01", "\u200b", id="control and format characters"),
    pytest.param("O", "s'\"\\", id="quotes and backslash"),
])
def test_element_and_orbital_type_taken_as_written(write_file, element, orbital_type):
    rows = [["4", element, orbital_type, "1.0", "2.0", "3.0", "4.0", "5.0"]]
    assert parse(write_file, composition_section(*block(rows=rows))) == {"orbital_contributions": expected(rows=rows)}


@pytest.mark.parametrize("text", [
    pytest.param(composition_section(*block(), end=(UNDERLINE, HEADING, UNDERLINE, "", *block(*SIX))),
                 id="second section after rule"),
    pytest.param(composition_section(*block(), end=(UNDERLINE, HEADING, UNDERLINE, "", "   ", "x")),
                 id="bad second section after rule"),
    pytest.param(composition_section(*block(), before=(HEADING, "no underline here", "")),
                 id="first heading without underline"),
])
def test_only_first_heading_is_used(write_file, text):
    assert parse(write_file, text) == {"orbital_contributions": expected()}


@pytest.mark.parametrize("text", [
    pytest.param(EXAMPLE.replace("\n", "\r\n"), id="CRLF"),
    pytest.param(EXAMPLE.replace("0\n", "0\r\n"), id="mixed LF and CRLF"),
    pytest.param(EXAMPLE.rstrip("\n"), id="no final newline"),
    pytest.param(EXAMPLE.rstrip("\n") + "\r", id="final section rule ending in CR"),
    pytest.param(EXAMPLE.replace(SECTION_RULE + "\n", ""), id="ends after empty line"),
])
def test_line_ends(write_file, text):
    assert parse(write_file, text) == EXAMPLE_RESULT


@pytest.mark.parametrize("sep", [
    pytest.param("\t", id="tab"),
    pytest.param("\u00a0", id="no-break space"),
    pytest.param("\u3000", id="ideographic space"),
    pytest.param("\u2003\u0085", id="em space and NEL"),
    pytest.param(" \t\u00a0 ", id="mixed"),
])
def test_any_whitespace_separates_fields(write_file, sep):
    heading, rest = EXAMPLE.split("\n", 1)
    assert parse(write_file, heading + "\n" + rest.replace(" ", sep)) == EXAMPLE_RESULT


def test_orbitals_of_a_block_share_contribution_rows(write_file):
    numbers = [str(n) for n in range(10, 16)]
    rows = [[str(k), el, ot, *(f"{k * 10 + i}.5" for i in range(6))]
            for k, (el, ot) in enumerate(zip("ONCHHS", ["s", "px", "py", "s", "s", "dz2"]))]
    result = parse(write_file, composition_section(*block(numbers, ["0.5"] * 6, ["1.0"] * 6, rows)))
    orbitals = result["orbital_contributions"]
    assert [len(o["contributions"]) for o in orbitals] == [6] * 6
    for k in range(6):
        keys = {(o["contributions"][k]["atom_nr"], o["contributions"][k]["element"], o["contributions"][k]["orbital_type"])
                for o in orbitals}
        assert keys == {(k, rows[k][1], rows[k][2])}
    assert result == {"orbital_contributions": expected(numbers, ["0.5"] * 6, ["1.0"] * 6, rows)}


def test_keyword_and_positional_calls_agree(write_file):
    path = write_file(composition_section(*block(), *block(*SIX)))
    assert skav_rs.parse_casscf(filename=path) == skav_rs.parse_casscf(path) == {
        "orbital_contributions": expected() + expected(*SIX)}
