"""Compressed output files (.gz, .bz2, .xz, .zst): which they are, and their content.

The decompressors release the interpreter lock while they work, so threads decompress in
parallel: gzip by python-isal where it is installed (the batch extra brings it; about three
times the speed of zlib), else by zlib; bzip2 and xz by Python's own modules; zstd by the
zstandard package, or by compression.zstd from Python 3.14 on.
"""

from __future__ import annotations

import bz2
import lzma
import os
from collections.abc import Callable

SUFFIXES = {".gz": "gzip", ".bz2": "bzip2", ".xz": "xz", ".zst": "zstd"}


class DecompressionError(Exception):
    """A compressed file that is truncated or corrupt: the library's message, and where if known."""


def compression_of(path: str) -> str | None:
    """gzip, bzip2, xz or zstd by the name's suffix; None for a plain file."""
    return SUFFIXES.get(os.path.splitext(path)[1])


def plain_name(name: str) -> str:
    """The name without its compression suffix: what a pattern such as *.out is matched against."""
    stem, suffix = os.path.splitext(name)
    return stem if suffix in SUFFIXES else name


def _gzip() -> Callable[[bytes], bytes]:
    try:
        from isal import igzip

        return igzip.decompress
    except ImportError:
        import gzip

        return gzip.decompress


def _zstd() -> Callable[[bytes], bytes]:
    try:
        from compression import zstd  # type: ignore[import-not-found,unused-ignore]  # Python 3.14+

        return zstd.decompress  # type: ignore[no-any-return,unused-ignore]
    except ImportError:
        import zstandard

        def decompress(data: bytes) -> bytes:
            frames, sized = whole_zstd_frames(data)
            # A decompressor of its own: one may not be shared between threads. One frame that
            # says its size (as `zstd FILE` writes) is read in one call; others by the reader,
            # which also works with the interpreter lock released.
            if frames == 1 and sized:
                return zstandard.ZstdDecompressor().decompress(data, allow_extra_data=False)
            with zstandard.ZstdDecompressor().stream_reader(data, read_across_frames=True) as reader:
                return reader.read()

        return decompress


ZSTD_MAGIC, SKIPPABLE_MAGIC = 0xFD2FB528, 0x184D2A50


def whole_zstd_frames(data: bytes) -> tuple[int, bool]:
    """Walks the frames' headers and block headers to the end, since the reader would take a frame
    cut short for a shorter content: how many frames there are, and whether each says the size of
    its content. Raises EOFError where the data end inside a frame."""
    at, frames, sized = 0, 0, True
    while at < len(data):
        if len(data) - at < 8:
            raise EOFError("the data end inside a zstd frame header")
        magic = int.from_bytes(data[at:at + 4], "little")
        if magic & 0xFFFFFFF0 == SKIPPABLE_MAGIC:
            at += 8 + int.from_bytes(data[at + 4:at + 8], "little")
            continue
        if magic != ZSTD_MAGIC:
            return frames, False  # not zstd: the decompressor says what it is
        descriptor = data[at + 4]
        single_segment, content_size_flag = descriptor >> 5 & 1, descriptor >> 6
        frames, sized = frames + 1, sized and (single_segment == 1 or content_size_flag > 0)
        at += 5 + (0 if single_segment else 1) + (0, 1, 2, 4)[descriptor & 3]
        at += (1 if single_segment else 0, 2, 4, 8)[content_size_flag]
        last = False
        while not last:
            if len(data) - at < 3:
                raise EOFError("the data end inside a zstd frame")
            header = int.from_bytes(data[at:at + 3], "little")
            last, kind, size = bool(header & 1), header >> 1 & 3, header >> 3
            at += 3 + (1 if kind == 1 else size)
        at += 4 if descriptor & 4 else 0  # the content checksum
    if at > len(data):
        raise EOFError("the data end inside a zstd frame")
    return frames, sized


_DECOMPRESSORS: dict[str, Callable[[], Callable[[bytes], bytes]]] = {
    "gzip": _gzip, "bzip2": lambda: bz2.decompress, "xz": lambda: lzma.decompress, "zstd": _zstd,
}
_loaded: dict[str, Callable[[bytes], bytes]] = {}


def read_packed(path: str) -> tuple[bytes, os.stat_result]:
    """A compressed file's bytes, and its status when it was opened. Raises OSError."""
    with open(path, "rb") as file:
        return file.read(), os.fstat(file.fileno())


def unpack(data: bytes, compression: str) -> bytes:
    """The content of a compressed file's bytes. Raises DecompressionError if they are truncated
    or corrupt."""
    if compression not in _loaded:
        _loaded[compression] = _DECOMPRESSORS[compression]()
    try:
        return _loaded[compression](data)
    except EOFError as error:  # truncated: the stream ends with the data
        raise DecompressionError(f"{error} (at byte {len(data)}, the end of the file)") from error
    except MemoryError:
        raise
    except Exception as error:  # the library's own error types: every one means bad data here
        raise DecompressionError(str(error) or type(error).__name__) from error
