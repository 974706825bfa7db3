"""The column reader holds a window of each file, never the whole: a compressed bomb is read in bounded memory,
and a section too large for the memory there is is a failure row while the other files commit."""

import os
import re
import subprocess
import sys
import zlib
from pathlib import Path

import pytest

from conftest import UNDER_ASAN

pq = pytest.importorskip("pyarrow.parquet", reason="the batch extra is not installed (pip install '.[batch]')")
zstandard = pytest.importorskip("zstandard", reason="the batch extra is not installed (pip install '.[batch]')")
pytestmark = pytest.mark.skipif(UNDER_ASAN or sys.platform != "linux",
                                reason="AddressSanitizer holds memory back; the limits are Linux's")

ROOT = Path(__file__).resolve().parent.parent
TDDFT = (ROOT / "samples" / "formaldehyde_tddft.out").read_bytes()
PATHS = [os.path.abspath(path) for path in os.environ.get("PYTHONPATH", "").split(os.pathsep) if path]
ENV = {**os.environ, "PYTHONPATH": os.pathsep.join([str(ROOT), *PATHS])}
FILLER = b"  ITERATION   energy  -1234.56789012   change 0.000001   density 0.0000001\n" * 13_000  # 1 MB
# The command, then its own peak and, with a limit, the address space it had before reading.
COMMAND = """import re, resource, sys
from skav_batch.cli import command
limit = int(sys.argv.pop(1))
if limit:
    size = int(re.search(r"VmSize:\\s*(\\d+)", open("/proc/self/status").read())[1]) << 10
    resource.setrlimit(resource.RLIMIT_AS, (size + limit, size + limit))
status = command(sys.argv[1:])
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss >> 10)
sys.exit(status)
"""


def run_tables(*args, limit=0):
    """The command's exit status, stderr and peak (MB), run as a grandchild: a child's peak counts what the
    forked test process held, which a child of its own does not inherit."""
    command = [sys.executable, "-c", COMMAND, str(limit), "tables", *map(str, args), "--no-progress", "--workers", "1"]
    run = subprocess.run(["sh", "-c", '"$@"; exit $?', "sh", *command], capture_output=True, text=True, env=ENV,
                         timeout=300)
    return run.returncode, run.stderr, int(run.stdout.split()[-1]) if run.stdout.split() else None


def compressed(path, chunks, compressor):
    with open(path, "wb") as file:
        for chunk in chunks:
            file.write(compressor.compress(chunk))
        file.write(compressor.flush())
    return path


class Plain:
    def compress(self, data):
        return data

    def flush(self):
        return b""


# 300 MB of text and a TD-DFT output after it, in a file of 1 MB (gzip), 30 kB (zstd) or 300 MB. The
# command's peak stays within the interpreter with pyarrow (about 70 MB) and a few windows of 4 MiB.
@pytest.mark.parametrize("suffix, compressor", [
    pytest.param(".gz", lambda: zlib.compressobj(6, wbits=31), id="gzip"),
    pytest.param(".zst", lambda: zstandard.ZstdCompressor().compressobj(), id="zstd"),
    pytest.param("", Plain, id="plain"),
])
def test_a_bomb_is_read_in_a_window(tmp_path, suffix, compressor):
    bomb = compressed(tmp_path / f"bomb.out{suffix}", [FILLER] * 300 + [TDDFT], compressor())
    status, stderr, peak = run_tables(bomb, "--out", tmp_path / "tables")
    assert status == 0 and pq.read_table(tmp_path / "tables" / "soc_states").num_rows == 9, stderr
    assert peak < 120, f"{peak} MB"


@pytest.mark.heavy
def test_a_section_too_large_for_the_memory_is_a_failure_row(tmp_path):
    element = b" 0.25 0.5 -0.75 : 1 2 -3\n"
    section = [b"SKAV SPIN-ORBIT COUPLING CALCULATION\nEigenvectors of the SOC matrix:\n\nSTATE 1: 0.5\n"]
    # 40 million elements need 640 MB as records, held at once, where 400 MB more can be had.
    compressed(tmp_path / "huge.out.zst", section + [element * 400_000] * 100, zstandard.ZstdCompressor().compressobj())
    (tmp_path / "sample.out").write_bytes(TDDFT)
    status, stderr, _ = run_tables(tmp_path, "--out", tmp_path / "tables", "--pattern", "*.out", limit=400 << 20)
    assert status == 1 and "1 failed" in stderr, stderr
    failures = pq.read_table(tmp_path / "tables" / "failures").to_pylist()
    assert [(Path(row["file"]).name, row["kind"], row["error"]) for row in failures] == [("huge.out.zst", "tddft", "MemoryError")]
    assert pq.read_table(tmp_path / "tables" / "soc_states").column("file").unique().to_pylist() == [str(tmp_path / "sample.out")]
