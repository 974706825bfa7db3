"""Compressed outputs: read as their plain content by the tables and by `skav-rs json`, found by the
pattern of their plain name; a truncated or corrupt one is a DecompressionError row and nothing else."""

import bz2
import gzip
import json
import lzma
import os
import subprocess
import sys
from pathlib import Path

import pytest

from arrow_stream import read_table
from conftest import NAMES, UNWRAP_NONE
from skav_batch import _columns
from skav_batch.read import contents_of, find_files

try:
    import zstandard
except ImportError:  # the batch extra is not installed: the zstd cases skip, the others read through the reader's streams
    zstandard = None
ZSTD = pytest.mark.skipif(zstandard is None, reason="the batch extra is not installed (pip install '.[batch]')")

ROOT = Path(__file__).resolve().parent.parent
SAMPLE = (ROOT / "samples" / "formaldehyde_tddft.out").read_bytes() + (ROOT / "samples" / "water_casscf.out").read_bytes()
BAD_NUMBER = SAMPLE.replace(b"0.58561", b"0.5856l", 1)
NOT_UTF8 = SAMPLE.replace(b"0.58561", b"0.58561\xff", 1)  # late in the file: its line is counted on the way
PATHS = [os.path.abspath(path) for path in os.environ.get("PYTHONPATH", "").split(os.pathsep) if path]
ENV = {**os.environ, "PYTHONPATH": os.pathsep.join([str(ROOT), *PATHS])}
COMPRESS = {".gz": gzip.compress, ".bz2": bz2.compress, ".xz": lzma.compress, ".zst": lambda data: zstandard.compress(data)}
SUFFIXES = [pytest.param(suffix, marks=[ZSTD] if suffix == ".zst" else []) for suffix in COMPRESS]


def rows_by_file(folder, rename, window=None, kind="auto"):
    """Each table's rows of the files in `folder` as the column reader gives them, the files renamed."""
    paths = find_files([str(folder)], "*.out")
    tables, _ = _columns.read(paths, paths, kind, contents_of(paths), window=window)
    return {name: sorted([rename(row[0]), *row[1:]] for row in read_table(tables[name])) for name in NAMES}


def skav_rs_json(*paths):
    return subprocess.run([sys.executable, "-m", "skav_batch", "json", *map(str, paths)], capture_output=True, text=True,
                          env=ENV, timeout=120)


def unsized_zstd(data):
    compressor = zstandard.ZstdCompressor().compressobj()
    return compressor.compress(data) + compressor.flush()


# A zstd file of one frame that states its size is decompressed in one call, any other a piece at a time.
PACKINGS = [*(pytest.param(*packing, marks=[ZSTD] if packing[0] == ".zst" else []) for packing in COMPRESS.items()),
            pytest.param(".zst", unsized_zstd, marks=ZSTD),
            pytest.param(".zst", lambda data: zstandard.compress(data[:999]) + b"\x50\x2a\x4d\x18\0\0\0\0"
                         + zstandard.compress(data[999:]), marks=ZSTD)]


@pytest.mark.parametrize("suffix, compress", PACKINGS, ids=[*COMPRESS, ".zst-unsized", ".zst-frames"])
def test_compressed_files_give_the_rows_of_their_content(tmp_path, suffix, compress):
    for name, content in {"good.out": SAMPLE, "bad-number.out": BAD_NUMBER, "not-utf8.out": NOT_UTF8}.items():
        (tmp_path / "plain" / name).parent.mkdir(exist_ok=True)
        (tmp_path / "plain" / name).write_bytes(content)
        (tmp_path / "packed" / (name + suffix)).parent.mkdir(exist_ok=True)
        (tmp_path / "packed" / (name + suffix)).write_bytes(compress(content))
    plain = rows_by_file(tmp_path / "plain", lambda file: Path(file).name)
    packed = rows_by_file(tmp_path / "packed", lambda file: Path(file).name.removesuffix(suffix))
    # The notes name the packed file, at the same line.
    notes = [row[-1].replace(f'"{tmp_path / "plain" / row[0]}"', f'"{tmp_path / "packed" / row[0]}{suffix}"')
             for row in plain["failures"]]
    assert packed == {**plain, "failures": [row[:-1] + [note] for row, note in zip(plain["failures"], notes)]}
    for window in [1, 2, 3, 5, 7, 64]:  # decompressed a few bytes at a time, every line cut somewhere
        assert rows_by_file(tmp_path / "packed", lambda file: Path(file).name.removesuffix(suffix), window) == packed, window
    assert len(notes) == 3 and all(f'{suffix}", line ' in note for note in notes)
    as_json = [skav_rs_json(tmp_path / folder / name) for folder, name in [("plain", "good.out"), ("packed", "good.out" + suffix)]]
    assert [list(json.loads(run.stdout).values()) for run in as_json] == [list(json.loads(as_json[0].stdout).values())] * 2
    failed = skav_rs_json(packed_bad := tmp_path / "packed" / ("bad-number.out" + suffix))
    assert failed.returncode == 1 and f'in "{packed_bad}", line ' in failed.stderr and "content" not in failed.stderr


@pytest.mark.parametrize("suffix", SUFFIXES)
@pytest.mark.parametrize("damage", [lambda data: data[: len(data) // 2], lambda data: data[:12] + b"\xff" * 64 + data[76:]],
                         ids=["truncated", "corrupt"])
def test_damaged_archives_are_one_failure_row(tmp_path, suffix, damage):
    path = tmp_path / ("broken.out" + suffix)
    path.write_bytes(damage(COMPRESS[suffix](SAMPLE * 20)))
    tables = rows_by_file(tmp_path, str, kind="tddft")
    assert [len(tables[name]) for name in NAMES] == [0, 0, 0, 0, 1]
    [[file, kind, error, message, where]] = tables["failures"]
    assert (file, kind, error, where) == (str(path), "tddft", "DecompressionError", None)
    assert message and message != UNWRAP_NONE
    run = skav_rs_json(path)
    assert run.returncode == 1 and run.stderr.startswith(f"{path}: auto: DecompressionError: ")


def test_pattern_matches_the_plain_name(tmp_path):
    for name in ["a.out", "b.out.gz", "c.out.zst", "d.log.gz", "e.gz", "f.out.tar"]:
        (tmp_path / name).write_bytes(b"")
    assert [Path(path).name for path in find_files([tmp_path], "*.out")] == ["a.out", "b.out.gz", "c.out.zst"]


def test_json_names_a_pipe_and_does_not_wait(tmp_path):
    os.mkfifo(pipe := tmp_path / "pipe.out")
    run = skav_rs_json(pipe)
    assert (run.returncode, run.stdout, run.stderr) == (1, "{}\n", f"{pipe}: auto: NotARegularFile: not a regular file: a named pipe\n")


@pytest.mark.parametrize("suffix", SUFFIXES)
def test_threads_decompress_at_once(tmp_path, suffix):
    pytest.importorskip("pyarrow", reason="the batch extra is not installed (pip install '.[batch]')")
    from skav_batch import read_tables
    big = SAMPLE + b"\n".join(b"%d" % i for i in range(100_000))  # decompressing takes long enough to overlap
    for i in range(32):
        (tmp_path / f"{i:02d}.out{suffix}").write_bytes(COMPRESS[suffix](big))
    tables = read_tables([tmp_path], workers=4)
    assert len(tables["failures"]) == 0 and len(tables["soc_states"]) == 32 * 9
