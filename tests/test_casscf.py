import math

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
EXAMPLE_RESULT = {"orbital_contributions": [
    orbital(nr, e, o, [(0, "O", "s", c), (1, "H", "s", 100 - c)])
    for nr, e, o, c in [(1, -10.5, 2.0, 90.0), (2, -1.2000000476837158, 2.0, 10.0), (3, -0.5, 1.5, 0.0),
                        (4, 0.30000001192092896, 0.5, 50.0), (5, 1.100000023841858, 0.0, 20.0)]]}


@pytest.mark.parametrize("text", [
    case("empty file", ""), case("only empty lines", "\n\n"),
    case("table without heading", "SOME OTHER OUTPUT\n" + UNDERLINE + "\n\n" + "\n".join(block())),
    case("heading with trailing blank", composition_section(*block(), heading=HEADING + " ")),
    case("heading in other case", composition_section(*block(), heading="Loewdin orbital-compositions")),
    case("heading after other text", composition_section(*block(), heading="THE " + HEADING)),
    case("heading ending in CR CR LF", composition_section(*block(), heading=HEADING + "\r\r")),
    case("heading as final line ending in CR", "output\n" + HEADING + "\r"),
])
def test_file_without_heading_gives_none(write_file, text):
    assert parse(write_file, text) is None


@pytest.mark.parametrize("text", [
    case("heading is last line", HEADING + "\n"), case("heading is last line without newline", HEADING),
    case("no underline", f"{HEADING}\nsome text\n" + "\n".join(block()) + "\n"),
    case("underline with trailing blank", composition_section(*block(), "   ", "x", underline=UNDERLINE + " ")),
    case("27 hyphens", composition_section(*block(), "   ", "x", underline="-" * 27)),
    case("29 hyphens", composition_section(*block(), "   ", "x", underline="-" * 29)),
    case("underline as final line ending in CR", f"{HEADING}\n{UNDERLINE}\r"),
    case("underline is last line", f"{HEADING}\n{UNDERLINE}\n"),
    case("only the discarded line after underline", f"{HEADING}\n{UNDERLINE}\n 1 2 3 4 5\n"),
    case("section rule right after discarded line", composition_section(end=(UNDERLINE, *block()))),
    case("only empty lines in table", composition_section("", "", end=())),
])
def test_heading_without_table_gives_no_orbitals(write_file, text):
    assert parse(write_file, text) == EMPTY


def test_example_section(write_file):
    assert parse(write_file, EXAMPLE) == EXAMPLE_RESULT


@pytest.mark.parametrize("text, orbitals", [
    case("two blocks", composition_section(*block(), *block(*SIX)), expected() + expected(*SIX)),
    case("six columns then five", composition_section(*block(*SIX), *block()), expected(*SIX) + expected()),
    case("extra empty lines", composition_section("", "", *block(), "", "", "", *block(*SIX), "", ""),
         expected() + expected(*SIX)),
    case("block without contribution rows", composition_section(*block(rows=[])), expected(rows=[])),
    case("orbital numbers repeated and unordered", composition_section(*block(["5", "5", "3", "0", "4294967295"])),
         expected(["5", "5", "3", "0", "4294967295"])),
])
def test_table_layouts(write_file, text, orbitals):
    assert parse(write_file, text) == {"orbital_contributions": orbitals}


def header_after_contribution(fields):
    return composition_section(*block()[:-1], row(fields), *block()[1:])


def sections(**layouts):
    """Ids and texts of a five-column section in each layout given as keyword arguments of composition_section."""
    return [case(name, composition_section(*layout.pop("table", block()), **layout)) for name, layout in layouts.items()]


@pytest.mark.parametrize("text", [
    *sections(**{
        "one block": {}, "block closed at end of input": {"end": ()},
        "heading and underline indented": {"heading": "  \t" + HEADING, "underline": " \t\u00a0" + UNDERLINE, "before": ()},
        "lines between heading and underline passed over": {"between": ("   ", "x", "1 O", "-------", "-" * 40)},
        "heading with trailing blank earlier": {"before": (HEADING + " ", UNDERLINE, "", "   ")},
        "first heading without underline": {"before": (HEADING, "no underline here", "")},
        "divider row as indented underline discards next line":
            {"table": [*block(divider=" " + UNDERLINE)[:4], "   ", *block()[4:]]},
    }),
    # The line after the underline is discarded, whatever it holds.
    *sections(**{f"discarded {name}": {"discarded": line} for name, line in [
        ("whitespace only", "   "), ("one field", "x"), ("header row", row(NUMBERS)), ("contribution row", row(ROWS[0])),
        ("divider", DIVIDER), ("section rule", UNDERLINE), ("section rule with text", SECTION_RULE + " end")]}),
    # A line starting with 28 hyphens ends the section: nothing after it is read.
    *sections(**{f"ends at {name}": {"end": end} for name, end in [
        ("28 hyphens", (UNDERLINE,)), ("60 hyphens", ("-" * 60,)), ("text right after hyphens", (UNDERLINE + "END",)),
        ("fields after hyphens", (UNDERLINE + " 1 2 3",)), ("bad lines after rule", (UNDERLINE, "   ", "x", "1 O", "-------")),
        ("misplaced rows after rule", (UNDERLINE, row(ROWS[0]), DIVIDER)),
        ("block with bad number after rule", (UNDERLINE, *block(["x", "2", "3", "4", "5"]))),
        ("second section after rule", (UNDERLINE, HEADING, UNDERLINE, "", *block(*SIX))),
        ("bad second section after rule", (UNDERLINE, HEADING, UNDERLINE, "", "   ", "x"))]}),
    # Any line holding eight hyphens is a divider.
    *sections(**{f"divider {name}": {"table": block(divider=divider)} for name, divider in [
        ("eight hyphens", "--------"), ("tab and eight hyphens", "\t--------"), ("mark inside a word", "x--------y"),
        ("mark among five fields", "-------- a b c d"), ("27 hyphens", "-" * 27), ("indented 29 hyphens", " " + "-" * 29),
        ("indented long rule", " " + "-" * 40 + " x")]}),
    *sections(**{f"ignored {name}": {"table": table} for name, table in [
        ("energy row with six texts", block(energies=ENERGIES + ["9.9"])),
        ("occupation row with six texts", block(occupations=OCCUPATIONS + ["junk"])),
        ("contribution row with extra values", block(rows=[ROWS[0] + ["7.0", "junk"], ROWS[1]]))]}),
])
def test_read_as_the_first_block(write_file, text):
    assert parse(write_file, text) == {"orbital_contributions": expected()}


def five(n):
    return [str(i) for i in range(1, n + 1)], ["1.0"] * n, ["2.0"] * n


@pytest.mark.parametrize("text, message", [
    case("contribution before block", composition_section(row(ROWS[0]), *block()), "Encountered Contribution"),
    case("three-column block", composition_section(*block(*five(3), [["1", "H", "s", "1", "2", "3"]])),
         "Encountered Contribution"),
    case("four-column block", composition_section(*block(*five(4), [])), "Encountered Contribution"),
    case("seven-column block", composition_section(*block(*five(7), [])), "Encountered Contribution"),
    case("zero width space joins fields", composition_section(*block(["1\u200b2", "3", "4", "5"])), "Encountered Contribution"),
    case("U+001C joins fields", composition_section(*block(["1\x1c2", "3", "4", "5"])), "Encountered Contribution"),
    case("divider before block", composition_section(DIVIDER, *block()), "Encountered Divider"),
    case("indented section rule between blocks", composition_section(*block(), " " + SECTION_RULE), "Encountered Divider"),
    case("empty line for divider", composition_section(*block()[:3], "", *block()[3:]), "Table divider expected"),
    case("contribution for divider", composition_section(*block()[:3], *block()[4:]), "Table divider expected"),
    case("fourth header row", composition_section(*block()[:3], row(NUMBERS), *block()[3:]), "Table divider expected"),
    case("section rule for divider", composition_section(*block()[:3]), "Table divider expected"),
    case("seven-field energy row", composition_section(*block(*SIX[:1], SIX[1] + ["9.9"], *SIX[2:])),
         "Table divider expected"),
    *(case(f"input ends after {name} row", composition_section(*block()[:k], end=()), "Table divider expected")
      for k, name in [(1, "number"), (2, "energy"), (3, "occupation")]),
    case("no empty line at end of input", composition_section(*block()[:-1], end=()), "Unexpected token None"),
    case("no newline at end of input", composition_section(*block()[:-1], end=()).rstrip("\n"), "Unexpected token None"),
    case("input ends after divider", composition_section(*block()[:4], end=()), "Unexpected token None"),
    case("number row after contribution row", header_after_contribution(NUMBERS),
         'Unexpected token Some(TableHeader(["1", "2", "3", "4", "5"]))'),
    case("six-field row", header_after_contribution(SIX[0]),
         'Unexpected token Some(TableHeader(["7", "8", "9", "10", "11", "12"]))'),
    case("five-field contribution row", composition_section(*block(rows=[["0", "O", "s", "12.5", "80.0"]])),
         'Unexpected token Some(TableHeader(["0", "O", "s", "12.5", "80.0"]))'),
    case("divider after contribution row", composition_section(*block()[:-1], DIVIDER, ""),
         "Unexpected token Some(TableDivider)"),
    case("section rule after contribution row", composition_section(*block()[:-1]), "Unexpected token Some(SectionDivider)"),
    case("section rule with text after contribution row", composition_section(*block()[:-1], UNDERLINE + " END"),
         "Unexpected token Some(SectionDivider)"),
])
def test_token_order_failures(write_file, text, message):
    assert_fails(write_file, text, message)


@pytest.mark.parametrize("field, written", [
    case("backslash", "a\\b", "a\\\\b"), case("double quote", 'say"hi"', 'say\\"hi\\"'), case("single quote", "it's", "it's"),
    case("NUL", "\x00", "\\0"), case("U+0001", "a\x01", "a\\u{1}"), case("escape", "\x1b[0m", "\\u{1b}[0m"),
    case("DEL", "\x7f", "\\u{7f}"), case("C1 control", "\x9f", "\\u{9f}"), case("latin letter", "Ö", "Ö"),
    case("CJK letter", "中", "中"), case("zero width space", "x\u200by", "x\\u{200b}y"),
])
def test_header_text_form_in_message(write_file, field, written):
    message = 'Unexpected token Some(TableHeader(["1", "2", "3", "4", "' + written + '"]))'
    assert_fails(write_file, header_after_contribution(["1", "2", "3", "4", field]), message)


UNCHECKED_ROWS = [["3a", "O", "s", "abc"], ["x", "y", "z"], ["1", "C", "px", "1", "2", "3", "4", "5", "6", "7"]]


@pytest.mark.parametrize("lines", [
    case("divider for energy row", [row(NUMBERS), DIVIDER, DIVIDER]),
    case("empty line for energy row", [row(NUMBERS), "", DIVIDER]),
    case("divider for occupation row", [row(NUMBERS), row(ENERGIES), DIVIDER, DIVIDER]),
    case("bad numbers unread", [row(["a", "b", "c", "d", "e"]), DIVIDER, DIVIDER]),
])
def test_block_without_header_rows_reads_no_orbitals(write_file, lines):
    text = composition_section(*lines, *(row(r) for r in UNCHECKED_ROWS), "", *block(*SIX))
    assert parse(write_file, text) == {"orbital_contributions": expected(*SIX)}


@pytest.mark.parametrize("lines, message", [
    case("one divider", [row(NUMBERS), DIVIDER, row(ROWS[0]), ""], "Table divider expected"),
    case("empty line after divider", [row(NUMBERS), DIVIDER, ""], "Table divider expected"),
    case("rows still need empty line", [row(NUMBERS), DIVIDER, DIVIDER, row(ROWS[0])], "Unexpected token Some(SectionDivider)"),
])
def test_block_without_header_rows_failures(write_file, lines, message):
    assert_fails(write_file, composition_section(*lines), message)


@pytest.mark.parametrize("text", [
    case("blank-only line between blocks", composition_section(*block(), "   ")),
    case("tab-only line after contribution rows", composition_section(*block()[:-1], "\t", "")),
    case("blank-only line before first block", composition_section("   ", *block())),
    *(case(name, composition_section(*block(), line)) for name, line in [
        ("one-field line", "x"), ("two-field line", "1 O"), ("seven hyphens", "-------"),
        ("indented seven hyphens", "  -------"), ("second heading in table", HEADING)]),
    case("one-column block", composition_section(*block(*five(1), [["1", "H", "s", "1.0"]]))),
    case("two-column block", composition_section(*block(*five(2), []))),
    case("energy row shorter", composition_section(*block(*SIX[:1], SIX[1][:5], *SIX[2:]))),
    case("occupation row shorter", composition_section(*block(*SIX[:2], SIX[2][:5], *SIX[3:]))),
    case("contribution row one value short", composition_section(*block(rows=[ROWS[0], ROWS[1][:-1]]))),
    case("contribution row without values", composition_section(*block(rows=[["1", "H", "s"]]))),
    case("final lone CR line", composition_section(*block(), end=()) + "\r"),
])
def test_missing_item_failures(write_file, text):
    assert_fails(write_file, text, UNWRAP_NONE)


@pytest.mark.parametrize("table", [
    case("after Encountered Contribution", [row(ROWS[0]), *block()]), case("after Encountered Divider", [DIVIDER]),
    case("after Table divider expected", [*block()[:3], ""]), case("after Unexpected token", [*block()[:-1], row(NUMBERS)]),
    case("after bad atom number", block(rows=[["3a", "O", "s", *ROWS[0][3:]]])),
    case("after bad energy", block(energies=["x"] * 5)),
])
def test_tokenizer_missing_item_reported_first(write_file, table):
    assert_fails(write_file, composition_section(*table, "", "", *block(), "1 O", ""), UNWRAP_NONE)


@pytest.mark.parametrize("table, message", [
    case("bad number before short energy row", block(["x", *SIX[0][1:]], SIX[1][:5], *SIX[2:]), int_error("InvalidDigit")),
    case("bad energy before short energy row", block(SIX[0], ["-1", "bad", *SIX[1][2:5]], *SIX[2:]), float_error("Invalid")),
    case("bad occupation of third column", block(SIX[0], SIX[1], ["2.0", "2.0", "x", "2.0", "2.0", "2.0"], *SIX[3:]),
         float_error("Invalid")),
    case("bad atom before short row", block(rows=[["3a", "O", "s", "1.0"]]), int_error("InvalidDigit")),
    case("bad value before short row", block(rows=[["3", "O", "s", "abc"]]), float_error("Invalid")),
    case("short row before bad atom", block(rows=[ROWS[0][:-1], ["3a", *ROWS[1][1:]]]), UNWRAP_NONE),
    case("bad number before misplaced divider", [*block(["-1", *NUMBERS[1:]]), DIVIDER], int_error("InvalidDigit")),
    case("misplaced divider before bad number", [DIVIDER, *block(["-1", *NUMBERS[1:]])], "Encountered Divider"),
])
def test_first_failure_in_table_order_wins(write_file, table, message):
    assert_fails(write_file, composition_section(*table), message)


def one_value_section(where, text):
    """One five-column block whose first orbital number, energy, occupation, atom or value is `text`."""
    columns = {"orbital_nr": list(NUMBERS), "energy": list(ENERGIES), "occupation": list(OCCUPATIONS)}
    contribution = list(ROWS[0])
    if where in columns:
        columns[where][0] = text
    else:
        contribution[0 if where == "atom_nr" else 3] = text
    return composition_section(*block(*columns.values(), [contribution]))


def first_value(result, where):
    first = result["orbital_contributions"][0]
    return first["contributions"][0][where] if where in ("atom_nr", "contribution") else first[where]


@pytest.mark.parametrize("where, text, value", [
    ("orbital_nr", "4294967295", 4294967295), ("orbital_nr", "+7", 7), ("orbital_nr", "007", 7),
    ("atom_nr", "4294967295", 4294967295), ("atom_nr", "+12", 12),
    ("energy", "-1.2", -1.2000000476837158), ("energy", "1e-3", f32(0.001)), ("energy", "+2.5", 2.5),
    ("energy", "3.4028235E38", 3.4028234663852886e38), ("occupation", "1.99979", 1.9997899532318115),
    ("occupation", "1E+0", 1.0), ("contribution", ".5", 0.5), ("contribution", "5.", 5.0),
    ("contribution", "1e40", math.inf), ("contribution", "-INFinity", -math.inf), ("contribution", "1e-50", 0.0),
], ids=lambda v: v if isinstance(v, str) else None)
def test_number_texts_read(write_file, where, text, value):
    got = first_value(parse(write_file, one_value_section(where, text)), where)
    assert (type(got), got) == (type(value), value)


def test_nan_is_read(write_file):
    assert math.isnan(first_value(parse(write_file, one_value_section("energy", "NaN")), "energy"))


@pytest.mark.parametrize("where, text, message", [
    ("atom_nr", "3a", int_error("InvalidDigit")), ("atom_nr", "\u0663", int_error("InvalidDigit")),
    ("atom_nr", "4294967296", int_error("PosOverflow")), ("orbital_nr", "-1", int_error("InvalidDigit")),
    ("orbital_nr", "4294967296", int_error("PosOverflow")), ("orbital_nr", "1.0", int_error("InvalidDigit")),
    ("orbital_nr", "+", int_error("InvalidDigit")), ("orbital_nr", "99999999999a", int_error("PosOverflow")),
    ("orbital_nr", "1a99999999999", int_error("InvalidDigit")), ("contribution", "83.1%", float_error("Invalid")),
    ("contribution", "1_0", float_error("Invalid")), ("contribution", ".", float_error("Invalid")),
    ("energy", "1,5", float_error("Invalid")), ("energy", "0x10", float_error("Invalid")),
    ("energy", "--1", float_error("Invalid")), ("energy", "infinit", float_error("Invalid")),
    ("occupation", "abc", float_error("Invalid")), ("occupation", "e5", float_error("Invalid")),
], ids=lambda v: v if isinstance(v, str) and not v.startswith("called") else None)
def test_number_format_failures(write_file, where, text, message):
    assert_fails(write_file, one_value_section(where, text), message)


@pytest.mark.parametrize("element, orbital_type", [
    case("umlaut", "Ö", "dxy"), case("CJK", "中", "p-1"), case("unknown element", "Xx", "d(x2-y2)"),
    case("control and format characters", "\x01", "\u200b"), case("quotes and backslash", "O", "s'\"\\"),
])
def test_element_and_orbital_type_taken_as_written(write_file, element, orbital_type):
    rows = [["4", element, orbital_type, "1.0", "2.0", "3.0", "4.0", "5.0"]]
    assert parse(write_file, composition_section(*block(rows=rows))) == {"orbital_contributions": expected(rows=rows)}


@pytest.mark.parametrize("text", [
    case("CRLF", EXAMPLE.replace("\n", "\r\n")), case("mixed LF and CRLF", EXAMPLE.replace("0\n", "0\r\n")),
    case("no final newline", EXAMPLE.rstrip("\n")), case("final section rule ending in CR", EXAMPLE.rstrip("\n") + "\r"),
    case("ends after empty line", EXAMPLE.replace(SECTION_RULE + "\n", "")),
    *(case(f"fields separated by {name}", EXAMPLE.replace(" ", sep).replace(HEADING.replace(" ", sep), HEADING))
      for name, sep in [("tab", "\t"), ("no-break space", "\u00a0"), ("ideographic space", "\u3000"),
                        ("em space and NEL", "\u2003\u0085"), ("mixed whitespace", " \t\u00a0 ")]),
])
def test_line_ends_and_field_separators(write_file, text):
    assert parse(write_file, text) == EXAMPLE_RESULT


def test_orbitals_of_a_block_share_contribution_rows(write_file):
    numbers = [str(n) for n in range(10, 16)]
    rows = [[str(k), el, ot, *(f"{k * 10 + i}.5" for i in range(6))]
            for k, (el, ot) in enumerate(zip("ONCHHS", ["s", "px", "py", "s", "s", "dz2"]))]
    result = parse(write_file, composition_section(*block(numbers, ["0.5"] * 6, ["1.0"] * 6, rows)))
    for k in range(6):
        keys = {(c["atom_nr"], c["element"], c["orbital_type"]) for o in result["orbital_contributions"]
                for c in o["contributions"][k : k + 1]}
        assert keys == {(k, rows[k][1], rows[k][2])}
    assert result == {"orbital_contributions": expected(numbers, ["0.5"] * 6, ["1.0"] * 6, rows)}


def test_keyword_and_positional_calls_agree(write_file):
    path = write_file(composition_section(*block(), *block(*SIX)))
    assert skav_rs.parse_casscf(filename=path) == skav_rs.parse_casscf(path) == {
        "orbital_contributions": expected() + expected(*SIX)}
