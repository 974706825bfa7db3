"""Reading one file with the module: which parsers apply, and each one's result or failure;
and reading many with the native column reader, whose columns need pyarrow only once handed over.

Needs nothing beyond skav_rs and the reader, so that `skav-rs json` works without the batch extra.
"""

from __future__ import annotations

import fnmatch
import os
from collections.abc import Callable, Iterable, Iterator
from functools import partial
from pathlib import Path
from typing import TYPE_CHECKING, Literal, NamedTuple

import skav_rs
from skav_batch import _columns
from skav_batch.compressed import ContentReader, compression_of, plain_name, whole_zstd

if TYPE_CHECKING:
    from skav_rs import CASSCFResult, TDDFTResult

Kind = Literal["auto", "tddft", "casscf"]
Parser = Literal["tddft", "casscf"]
KINDS: tuple[Kind, ...] = ("auto", "tddft", "casscf")
# For each parser, the texts any of which makes a file one for it.
HEADINGS: dict[Parser, tuple[bytes, ...]] = {
    parser: tuple(text.encode() for text in _columns.HEADINGS[parser]) for parser in ("tddft", "casscf")
}
CHUNK = 1 << 20


class Failure(NamedTuple):
    """A failed reading, as data: exceptions of the module cannot cross process boundaries."""

    kind: str
    error: str
    message: str
    where: str | None


class Results(NamedTuple):
    read: tuple[Parser, ...] = ()  # the parsers that returned, in the order they ran
    tddft: TDDFTResult | None = None
    casscf: CASSCFResult | None = None  # also None when parse_casscf found no section
    failures: tuple[Failure, ...] = ()


def is_panic(error: BaseException) -> bool:
    """True for the module's PanicException, which cannot be imported by name."""
    kind = type(error)
    return kind.__name__ == "PanicException" and kind.__module__ == "pyo3_runtime"


def failure(kind: str, error: BaseException) -> Failure:
    notes = [str(note) for note in getattr(error, "__notes__", [])]
    return Failure(kind, type(error).__name__, str(error), "\n".join(notes) if notes else None)


def headings_in(path: str) -> list[Parser]:
    """The parsers whose heading the file holds, scanned in chunks so a huge file is never held whole.

    Bytes, not text: a file that is not UTF-8 still goes to the module, whose own failure says so."""
    with open(path, "rb") as file:
        return headings_in_chunks(iter(lambda: file.read(CHUNK), b""))


def headings_in_chunks(chunks: Iterable[bytes]) -> list[Parser]:
    wanted, found = dict(HEADINGS), []
    overlap = max(len(heading) for headings in HEADINGS.values() for heading in headings) - 1
    tail = b""
    for chunk in chunks:
        window = tail + chunk
        for parser in [p for p, headings in wanted.items() if any(heading in window for heading in headings)]:
            found.append(parser)
            del wanted[parser]
        if not wanted:
            break
        tail = window[-overlap:]
    return [parser for parser in HEADINGS if parser in found]


def parsers_for(path: str, kind: Kind, content: bytes | None = None) -> list[Parser]:
    """The parsers to run on the file (or on `content`, the file's decompressed content)."""
    if kind != "auto":
        return [kind]
    if content is not None:
        return headings_in_chunks([content])
    try:
        return headings_in(path)
    except OSError:
        return ["tddft"]  # unreadable: the module's own failure names the reason


def read_file(path: str, kind: Kind) -> Results:
    """The results of every parser that applies to the file; failures are caught, never raised.
    A compressed file is decompressed into a temporary file for the module, whose notes then name
    the file as given."""
    if (what := _columns.irregular_file(path)) is not None:
        return Results(failures=(Failure(kind, "NotARegularFile", f"not a regular file: {what}", None),))
    content, _ = content_of(path)
    if content is None:  # a plain file, or one that cannot be read: the module's failure says why
        return read_with_module(path, parsers_for(path, kind), kind)
    import io
    import tempfile  # only here: a run of the tables does not wait for it

    reader = io.BytesIO(content) if isinstance(content, bytes) else content

    with tempfile.TemporaryDirectory(prefix="skav-rs-") as folder:
        plain = os.path.join(folder, "content")
        try:
            with open(plain, "wb") as file, reader:
                while chunk := reader.read(CHUNK):
                    file.write(chunk)
        except _columns.ContentError as error:
            return Results(failures=(Failure(kind, error.args[0], error.args[1], None),))
        content = Path(plain).read_bytes()
        results = read_with_module(plain, parsers_for(plain, kind, content), kind)
    named = _columns.quoted(path)
    return results._replace(failures=tuple(
        entry._replace(where=entry.where.replace(_columns.quoted(plain), named, 1) if entry.where else None)
        for entry in results.failures))


def read_with_module(path: str, parsers: list[Parser], kind: Kind) -> Results:
    if not parsers:
        headings = " nor ".join(f'"{headings[0].decode()}"' for headings in HEADINGS.values())
        return Results(failures=(Failure(kind, "NoSection", f"the file holds neither {headings}", None),))
    tddft: TDDFTResult | None = None
    casscf: CASSCFResult | None = None
    read: list[Parser] = []
    failures: list[Failure] = []
    for parser in parsers:
        try:
            # Looked up at each call, not imported by name, so that a wrapped parser is honoured.
            if parser == "tddft":
                tddft = skav_rs.parse_tddft(path)
            else:
                casscf = skav_rs.parse_casscf(path)
            read.append(parser)
        except Exception as error:  # OSError, MemoryError, UnicodeEncodeError for undecodable names
            failures.append(failure(parser, error))
        except BaseException as error:  # PanicException derives from BaseException
            if not is_panic(error):
                raise  # KeyboardInterrupt, SystemExit
            failures.append(failure(parser, error))
    return Results(tuple(read), tddft, casscf, tuple(failures))


def read_native(paths: list[str], kind: Kind, cwd: str | None = None) -> tuple[dict[str, _columns.Table], int]:
    """The six tables of the files as the native reader hands them over, and how many files failed.
    Relative paths are opened from `cwd` (default: the current folder); the tables hold them as given."""
    opened = paths if cwd is None else [os.path.join(cwd, path) for path in paths]
    return _columns.read(opened, [label(path) for path in paths], kind, contents_of(opened))


Stat = tuple[int, int, str]  # a compressed file's size, mtime_ns and compression, for its files row
Supplier = Callable[[], tuple[ContentReader | bytes | None, Stat | None]]  # a compressed file's content_of, called by the reader


def contents_of(paths: list[str]) -> list[Supplier | None] | None:
    """For the native reader: for each compressed file, what opens its content when the reading
    reaches it (the reader then asks for it a piece at a time); None where the reader opens the
    file itself. None when no file is compressed."""
    supplied: list[Supplier | None] = [partial(content_of, path) if compression_of(path) else None for path in paths]
    return supplied if any(supplied) else None


def content_of(path: str) -> tuple[ContentReader | bytes | None, Stat | None]:
    """A reader of a compressed file's content (or the content of a small zstd file), and the
    file's stat; (None, None) where the native reader opens the file itself (also a compressed one
    that cannot be opened or is no regular file: the reader's own row says why)."""
    compression = compression_of(path)
    if compression is None or _columns.irregular_file(path) is not None:
        return None, None
    if compression == "zstd" and (whole := whole_zstd(path)) is not None:
        return whole[0], (whole[1].st_size, whole[1].st_mtime_ns, compression)
    try:
        reader = ContentReader(path, compression)
    except OSError:
        return None, None
    return reader, (reader.status.st_size, reader.status.st_mtime_ns, compression)


def label(path: str) -> str:
    """A path as the tables hold it: bytes of a name that are not UTF-8 as \\x escapes."""
    return os.fsencode(path).decode("utf-8", "backslashreplace")


def find_files(paths: Iterable[str], pattern: str) -> list[str]:
    """Files as given, and the files matching `pattern` anywhere below folders, each path once. A
    compressed file matches when its name without the compression suffix does (*.out: x.out.gz).

    Raises FileNotFoundError for a path that does not exist."""
    found: dict[str, None] = {}
    for path in paths:
        if os.path.isdir(path):
            if "/" in pattern:  # a pattern of folders and names: as pathlib matches it
                matches = sorted(os.path.relpath(match, path) for match in Path(path).rglob(pattern) if match.is_file())
            else:
                matches = sorted(files_below(path, "", pattern))
            found.update((os.path.join(path, match), None) for match in matches)
        elif os.path.lexists(path):
            found[path] = None
        else:
            raise FileNotFoundError(path)
    return list(found)


def files_below(folder: str, relative: str, pattern: str) -> Iterator[str]:
    """The files below `folder` whose name, or plain name, matches; paths relative to it. Links to
    folders are not followed, as pathlib's search does not follow them."""
    with os.scandir(os.path.join(folder, relative) if relative else folder) as entries:
        for entry in entries:
            name = os.path.join(relative, entry.name) if relative else entry.name
            if entry.is_dir(follow_symlinks=False):
                yield from files_below(folder, name, pattern)
            elif (fnmatch.fnmatchcase(entry.name, pattern) or fnmatch.fnmatchcase(plain_name(entry.name), pattern)) \
                    and entry.is_file():
                yield name
