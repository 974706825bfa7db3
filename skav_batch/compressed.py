"""Compressed output files (.gz, .bz2, .xz, .zst): which they are, and their content a piece at a time.

The decompressors release the interpreter lock while they work, so threads decompress in
parallel, and each read gives at most the bytes asked for, so that a file's content is never
held whole: gzip by python-isal where it is installed (the batch extra brings it; about three
times the speed of zlib), else by zlib; bzip2 and xz by Python's own modules; zstd by the
zstandard package, or by compression.zstd from Python 3.14 on.
"""

from __future__ import annotations

import io
import os
from collections.abc import Callable
from functools import cache
from typing import BinaryIO, Protocol

from skav_batch import _columns

SUFFIXES = {".gz": "gzip", ".bz2": "bzip2", ".xz": "xz", ".zst": "zstd"}
DECOMPRESSION_ERROR = "DecompressionError"


class Decompressed(Protocol):
    def read(self, size: int = -1, /) -> bytes: ...

    def close(self) -> None: ...


def compression_of(path: str) -> str | None:
    """gzip, bzip2, xz or zstd by the name's suffix; None for a plain file."""
    return SUFFIXES.get(os.path.splitext(path)[1])


def plain_name(name: str) -> str:
    """The name without its compression suffix: what a pattern such as *.out is matched against."""
    stem, suffix = os.path.splitext(name)
    return stem if suffix in SUFFIXES else name


def _gzip(file: BinaryIO) -> Decompressed:
    return gzip_files()(fileobj=file)


def _zstd(file: BinaryIO) -> Decompressed:
    # A frame cut short would be taken for a shorter content: the frames are walked as they pass.
    return zstd_reader()(ZstdFrames(file))


# The library of each format is looked for once: a failed import is not remembered, and
# looking again for every file costs more than reading a small one.
@cache
def gzip_files() -> Callable[..., Decompressed]:
    try:
        from isal import igzip

        return igzip.IGzipFile  # type: ignore[no-any-return,unused-ignore]
    except ImportError:
        import gzip

        return gzip.GzipFile


@cache
def zstd_reader() -> Callable[[ZstdFrames], Decompressed]:
    try:
        from compression import zstd  # type: ignore[import-not-found,unused-ignore]  # Python 3.14+

        return zstd.ZstdFile  # type: ignore[no-any-return,unused-ignore]
    except ImportError:
        import zstandard

        # A decompressor for each file: one may not be shared between threads.
        return lambda frames: zstandard.ZstdDecompressor().stream_reader(frames, read_across_frames=True)  # type: ignore[arg-type]


def whole_zstd(path: str) -> tuple[bytes, os.stat_result] | None:
    """The content of a zstd file of one whole frame that states a content size of at most the
    reader's window, decompressed in one call (a fifth faster than a piece at a time, in the
    memory of a window), and the file's stat; None for any other file, which is read a piece at a
    time (and where the data are bad, that reading says how)."""
    try:
        with open(path, "rb") as file:
            status = os.fstat(file.fileno())
            if status.st_size > _columns.WINDOW:
                return None
            data = file.read()
        frames = ZstdFrames(io.BytesIO(data))
        frames.walk(data)
        frames.end()
        content_size, decompress = zstd_one_call()
        size = content_size(data)
        if frames.frames != 1 or size is None or size > _columns.WINDOW:
            return None
        content = decompress(data)
    except Exception:  # noqa: BLE001  (read a piece at a time instead, which names the failure)
        return None
    return (content, status) if len(content) == size else None


@cache
def zstd_one_call() -> tuple[Callable[[bytes], int | None], Callable[[bytes], bytes]]:
    """The content size that a zstd frame states (None where it states none), and a frame decompressed."""
    try:
        from compression import zstd  # type: ignore[import-not-found,unused-ignore]  # Python 3.14+

        return (lambda data: zstd.get_frame_info(data).decompressed_size), zstd.decompress  # type: ignore[no-any-return,unused-ignore]
    except ImportError:
        import zstandard

        def size(data: bytes) -> int | None:
            stated = zstandard.frame_content_size(data)
            return stated if stated >= 0 else None

        return size, lambda data: zstandard.ZstdDecompressor().decompress(data)


def _bzip2(file: BinaryIO) -> Decompressed:
    import bz2

    return bz2.BZ2File(file)


def _xz(file: BinaryIO) -> Decompressed:
    import lzma

    return lzma.LZMAFile(file)


# Each imported when a file needs it: a run of plain files does not wait for them.
_OPENERS: dict[str, Callable[[BinaryIO], Decompressed]] = {"gzip": _gzip, "bzip2": _bzip2, "xz": _xz, "zstd": _zstd}


class ContentReader:
    """A compressed file's content, read as the native reader asks for it: each read decompresses at
    most `size` bytes. Data that are truncated or corrupt raise a ContentError, the file's one
    failure row (DecompressionError, with the library's message)."""

    def __init__(self, path: str, compression: str) -> None:
        self.file = open(path, "rb")  # noqa: SIM115  (closed by close())
        self.status = os.fstat(self.file.fileno())
        self.decompressed = _OPENERS[compression](self.file)

    def read(self, size: int = -1, /) -> bytes:
        try:
            return self.decompressed.read(size)
        except EOFError as error:  # truncated: the stream ends with the data
            raise _columns.ContentError(DECOMPRESSION_ERROR,
                                        f"{error} (at byte {self.status.st_size}, the end of the file)") from error
        except MemoryError:
            raise
        except Exception as error:  # the library's own error types: every one means bad data here
            raise _columns.ContentError(DECOMPRESSION_ERROR, str(error) or type(error).__name__) from error

    def close(self) -> None:
        try:
            self.decompressed.close()
        finally:
            self.file.close()

    def __enter__(self) -> ContentReader:
        return self

    def __exit__(self, *exception: object) -> None:
        self.close()


ZSTD_MAGIC, SKIPPABLE_MAGIC = 0xFD2FB528, 0x184D2A50


class ZstdFrames(io.RawIOBase):
    """Passes a zstd file on as it is read, walking its frames' headers and block headers; raises
    EOFError where the data end inside a frame."""

    def __init__(self, file: BinaryIO) -> None:
        self.file = file
        self.stage = "magic"  # what comes next: magic, skippable, descriptor, frame-rest, block; foreign: not zstd
        self.header = bytearray()  # of what comes next, as far as it has come
        self.skip = 0  # bytes to pass over: a block's data, a checksum, a skippable frame
        self.descriptor = 0
        self.in_frame = 0  # bytes of the frame passed so far; 0 between frames
        self.frames = 0  # zstd frames begun, skippable ones aside

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: memoryview) -> int:  # type: ignore[override]
        data = self.file.read(len(buffer))
        if not data:
            self.end()
            return 0
        self.walk(data)
        buffer[:len(data)] = data
        return len(data)

    def walk(self, data: bytes) -> None:
        at = 0
        while at < len(data) and self.stage != "foreign":
            if self.skip:
                passed = min(self.skip, len(data) - at)
                self.skip, at, self.in_frame = self.skip - passed, at + passed, self.in_frame + passed
                if not self.skip and self.stage == "magic":
                    self.in_frame = 0
                continue
            needed = self.needed()
            taken = min(needed - len(self.header), len(data) - at)
            self.header += data[at:at + taken]
            at, self.in_frame = at + taken, self.in_frame + taken
            if len(self.header) == needed:
                self.step()

    def needed(self) -> int:
        if self.stage == "frame-rest":
            single_segment, content_size_flag = self.descriptor >> 5 & 1, self.descriptor >> 6
            return (0 if single_segment else 1) + (0, 1, 2, 4)[self.descriptor & 3] + \
                (1 if single_segment else 0, 2, 4, 8)[content_size_flag]
        return {"magic": 4, "skippable": 4, "descriptor": 1, "block": 3}[self.stage]

    def step(self) -> None:
        header, self.header = int.from_bytes(self.header, "little"), bytearray()
        if self.stage == "magic":
            self.stage = "skippable" if header & 0xFFFFFFF0 == SKIPPABLE_MAGIC else \
                "descriptor" if header == ZSTD_MAGIC else "foreign"  # not zstd: the decompressor says what it is
            self.frames += self.stage == "descriptor"
        elif self.stage == "skippable":
            self.skip = header
            self.frame_done()
        elif self.stage == "descriptor":
            self.descriptor, self.stage = header, "frame-rest"
            if self.needed() == 0:
                self.stage = "block"
        elif self.stage == "frame-rest":
            self.stage = "block"
        else:
            last, kind, size = header & 1, header >> 1 & 3, header >> 3
            self.skip = 1 if kind == 1 else size
            if last:
                self.skip += 4 if self.descriptor & 4 else 0  # the content checksum
                self.frame_done()

    def frame_done(self) -> None:
        self.stage = "magic"
        if not self.skip:
            self.in_frame = 0

    def end(self) -> None:
        if self.stage == "foreign" or not self.in_frame:
            return
        # A frame's first eight bytes are its header, or a skippable frame's.
        raise EOFError(f"the data end inside a zstd frame{' header' if self.in_frame < 8 else ''}")
