"""The tables of skav_batch as Arrow columns, read by native code."""

from collections.abc import Buffer, Callable, Sequence
from typing import Any, Literal, Protocol, TypeAlias, final, overload

class ContentError(Exception):
    """ContentError(error, message): a file's content could not be had (e.g. a compressed file that is
    truncated or corrupt); given in ``read``'s contents, or raised by a reader of a content, it is the
    file's one failure row, with this error and message."""

    def __init__(self, error: str, message: str, /) -> None: ...

class ContentReader(Protocol):
    """A reader of a file's content: ``read(size)`` returns at most ``size`` bytes, ``b""`` at the end."""

    def read(self, size: int, /) -> bytes: ...
    def close(self) -> None: ...

Content: TypeAlias = Buffer | ContentError | None
Stat: TypeAlias = tuple[int, int, str | None] | None

@final
class Table:
    """A table of ``read``: ``len()`` rows, exported through the Arrow PyCapsule protocol."""

    def __len__(self) -> int: ...
    def __arrow_c_schema__(self) -> object:
        """The schema, as a PyCapsule named "arrow_schema"."""

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        """The record batches, as a PyCapsule named "arrow_array_stream"; ``requested_schema`` is not looked at."""

    def rows(self) -> list[tuple[Any, ...]]:
        """The rows, each a tuple of its values (floats widened exactly, None for null)."""

Contents: TypeAlias = Sequence[Content | Callable[[], tuple[Content | ContentReader, Stat]]] | None

@overload
def read(paths: Sequence[str], files: Sequence[str], kind: Literal["auto", "tddft", "casscf"],
         contents: Contents = None, stats: Sequence[Stat] | None = None, window: int | None = None,
         results: Literal[False] = False) -> tuple[dict[str, Table], int]: ...
@overload
def read(paths: Sequence[str], files: Sequence[str], kind: Literal["auto", "tddft", "casscf"],
         contents: Contents = None, stats: Sequence[Stat] | None = None, window: int | None = None, *,
         results: Literal[True]) -> tuple[dict[str, Table], int, list[tuple[str, ...]]]:
    """The tables soc_states, soc_elements, orbitals, orbital_contributions, failures and files of
    the files at ``paths``, named by ``files`` in their file column, and how many files have a
    failure row. ``contents``: for each file None (read from its path), its content, a ContentError
    (its one failure row), or a callable returning (content, stat), called when the reading reaches
    the file: a content, or a reader of it (e.g. decompressing), asked for a piece at a time and
    closed after. ``stats``: for each file None, or (bytes, mtime_ns, compression) for its files row
    in place of what the reader finds. ``window``: the bytes of a file held at a time outside its
    sections (default 4 MiB; less in tests). ``results``: if true, a third item: for each file, the
    parsers that gave a result (one that found no section, as parse_casscf's None, gives none)."""

def irregular_file(path: str, /) -> str | None:
    """What the path is when it is no regular file (``"a named pipe"``, ``"a directory"``, ...), found
    without opening it; None for a regular file or a path that cannot be examined."""

def quoted(text: str, /) -> str:
    """``text`` in double quotes, escaped as the notes of failures write it (e.g. the path they name)."""

HEADINGS: dict[str, tuple[str, ...]]
"""For each parser ("tddft", "casscf"), the headings any of which makes a file one for it with kind "auto"."""

TABLES: tuple[str, ...]
"""The names of the tables that ``read`` returns, in order."""

VERSION: str
"""The version of skav_rs that the module was built as ("unknown" in a build folder)."""

WINDOW: int
"""The window of a reading in bytes (4 MiB): ``read`` never holds more of a file that it reads itself."""
