"""A failure that arises from the file's content says where, in one note on the PanicException."""

import pytest

import skav_rs
from conftest import case, is_panic

tddft, casscf = skav_rs.parse_tddft, skav_rs.parse_casscf
SOC = "output\nSKAV SPIN-ORBIT COUPLING CALCULATION\nEigenvectors of the SOC matrix:\n-----\n"  # lines 1 to 4
TABLE = "LOEWDIN ORBITAL-COMPOSITIONS\n----------------------------\n\n"  # lines 1 to 3
BLOCK = " 1 2 3 4 5\n -1 -2 -3 -4 -5\n 2 2 2 0 0\n --------\n 0 O s 1 2 3 4 5\n"  # lines 4 to 8
NO_SECTION = ': no line headed "SKAV SPIN-ORBIT COUPLING CALCULATION"'


def at(line, text):
    return f', line {line}: "{text}"'


NOTES = [
    case("no-section-empty-file", tddft, "", NO_SECTION),
    case("no-section", tddft, "Eigenvectors of the SOC matrix:\n", NO_SECTION),
    case("wrong-shape", tddft, SOC + "STATE 1: 1\n 0.5 0.3 : 1 1 -1\n", at(6, " 0.5 0.3 : 1 1 -1")),
    case("bad-number", tddft, SOC + "STATE 1: 1\n 0.48 0.34 -0.6O1 : 1 1 -1\n", at(6, " 0.48 0.34 -0.6O1 : 1 1 -1")),
    case("held-back-number", tddft, SOC + "STATE 1: 1\nSTATE 2: x\n 1 1 1 : 1 1 1\n" * 3, at(6, "STATE 2: x")),
    case("shape-after-held-back-number", tddft, SOC + "STATE x: 1\n 1 1 1 : 1 1 1\n   \n", at(7, "   ")),
    case("earlier-section", tddft, SOC + "STATE 1: 1\n 1 1 1 : 1 1 256\n\n" + SOC + "STATE 1: 1\n", at(6, " 1 1 1 : 1 1 256")),
    case("crlf-lines", tddft, (SOC + "STATE 1: 1\n 1 1 1 : -1 1 1\n").replace("\n", "\r\n"), at(6, " 1 1 1 : -1 1 1")),
    case("final-line-keeps-cr", tddft, SOC + "STATE 1: 1\n 1 1 1 : 1 1 x\r", at(6, " 1 1 1 : 1 1 x\\r")),
    case("long-line-cut-escaped", tddft, SOC + "\t\x1b\\\"" * 60 + "\n", at(5, "\\t\\u{1b}\\\\\\\"" * 50) + "..."),
    case("not-utf8", casscf, b"a\nb\n\xc3\xa9c\xff\n", ", line 3, byte 7: invalid UTF-8"),
    case("not-utf8-first-byte", tddft, b"\x80" + SOC.encode(), ", line 1, byte 0: invalid UTF-8"),
    case("unreadable-line", casscf, TABLE + BLOCK + "\n 1 O\n", at(10, " 1 O")),
    case("encountered-contribution", casscf, TABLE + "\n\n 0 O s\n", at(6, " 0 O s")),
    case("encountered-divider", casscf, TABLE + BLOCK + "\n --------\n", at(10, " --------")),
    case("divider-expected", casscf, TABLE + BLOCK.replace(" --------\n", ""), at(7, " 0 O s 1 2 3 4 5")),
    case("divider-expected-empty-line", casscf, TABLE + BLOCK.replace(" --------\n", "\n"), at(7, "")),
    case("divider-expected-at-end", casscf, TABLE + " 1 2 3 4 5\n -1 -2 -3 -4 -5\n", ", line 5 (end of file): \" -1 -2 -3 -4 -5\""),
    case("divider-expected-at-section-rule", casscf, TABLE + " 1 2 3 4 5\n" + "-" * 30 + "\nmore\n", at(5, "-" * 30)),
    case("unexpected-header", casscf, TABLE + BLOCK + " 6 7 8 9 10\n", at(9, " 6 7 8 9 10")),
    case("unexpected-section-rule", casscf, TABLE + BLOCK + "-" * 30 + "\n", at(9, "-" * 30)),
    case("unexpected-none", casscf, TABLE + BLOCK, ', line 8 (end of file): " 0 O s 1 2 3 4 5"'),
    case("unexpected-none-no-newline", casscf, TABLE + BLOCK + " 1 H s 1 2 3 4 5", ', line 9 (end of file): " 1 H s 1 2 3 4 5"'),
    case("bad-orbital-number", casscf, TABLE + BLOCK.replace("1 2 3 4 5\n -1", "1 2 3 4 -5\n -1") + "\n", at(4, " 1 2 3 4 -5")),
    case("bad-energy", casscf, TABLE + BLOCK.replace("-4", "-4a") + "\n", at(5, " -1 -2 -3 -4a -5")),
    case("short-occupation-row", casscf, TABLE + " 1 2 3 4 5 6\n 1 2 3 4 5 6\n 2 2 2 0 0\n--------\n\n", at(6, " 2 2 2 0 0")),
    case("bad-contribution", casscf, TABLE + BLOCK + " 1 H s 1 2 3 4%\n\n", at(9, " 1 H s 1 2 3 4%")),
    case("missing-contribution", casscf, TABLE + BLOCK + " 1 H s 1 2 3 4\n\n", at(9, " 1 H s 1 2 3 4")),
]


@pytest.mark.parametrize("function, content, where", NOTES)
def test_note_says_where(write_file, function, content, where):
    path = write_file(content, name='odd "name".out')
    with pytest.raises(BaseException) as info:  # noqa: B017 - PanicException derives from BaseException
        function(path)
    escaped = path.replace('"', '\\"')
    assert is_panic(info.value) and info.value.__notes__ == [f'in "{escaped}"{where}']


@pytest.mark.parametrize("function, path", [
    case("missing-file", tddft, "{tmp}/absent.out"), case("directory", casscf, "{tmp}"), case("nul-in-path", tddft, "{tmp}/a\0"),
])
def test_no_note_where_the_message_says_what(tmp_path, function, path):
    with pytest.raises(BaseException) as info:  # noqa: B017
        function(path.format(tmp=tmp_path))
    assert is_panic(info.value) and not hasattr(info.value, "__notes__")
