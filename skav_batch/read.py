"""Reading files with the native column reader, whose columns need pyarrow only once handed over:
which files a search finds, how each is named in the tables, and what opens a compressed one.

Needs nothing beyond the reader, so that `skav-rs json` works without the batch extra.
"""

from __future__ import annotations

import fnmatch
import os
from collections.abc import Callable, Iterable, Iterator
from functools import partial
from pathlib import Path
from typing import TYPE_CHECKING, Literal, NamedTuple

from skav_batch import _columns
from skav_batch.compressed import ContentReader, compression_of, plain_name, whole_zstd

Kind = Literal["auto", "tddft", "casscf"]  # the kind option: every parser whose heading a file holds, or one
KINDS: tuple[str, ...] = ("auto", *_columns.HEADINGS)


class Failure(NamedTuple):
    """A failed reading, as data: exceptions of the module cannot cross process boundaries. `parser`:
    the parser that failed, or the kind option for a file that no parser read."""

    parser: str
    error: str
    message: str
    where: str | None


def failure(parser: str, error: BaseException) -> Failure:
    notes = [str(note) for note in getattr(error, "__notes__", [])]
    return Failure(parser, type(error).__name__, str(error), "\n".join(notes) if notes else None)


def read_native(paths: list[str], kind: Kind, cwd: str | None = None) -> tuple[dict[str, _columns.Table], int]:
    """The tables of the files as the native reader hands them over, and how many files failed.
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
