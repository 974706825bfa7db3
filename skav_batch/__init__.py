"""Tables of many quantum-chemistry output files, read with the parsers of skav_rs.

`read_tables` reads in this process, for a notebook; the `skav-rs tables` command writes the
same tables as Parquet, on this machine or on a Dask cluster.
"""

from __future__ import annotations

import os
import sys
from collections.abc import Iterable
from typing import TYPE_CHECKING

# The native _columns may stand elsewhere: in a build folder, or installed, beside a checkout's
# sources. Set before the modules that import it (as pkgutil.extend_path would, without its imports).
__path__ = [*__path__, *(folder for entry in sys.path if isinstance(entry, str)
                         if (folder := os.path.join(entry or ".", __name__)) not in __path__ and os.path.isdir(folder))]

from skav_batch.read import Kind, find_files  # noqa: E402

if TYPE_CHECKING:
    import pyarrow as pa

__all__ = ["read_tables"]


def read_tables(paths: str | os.PathLike[str] | Iterable[str | os.PathLike[str]], kind: Kind = "auto",
                pattern: str = "*.out", workers: int | None = None) -> dict[str, pa.Table]:
    """The tables (soc_states, soc_elements, orbitals, orbital_contributions, soc_couplings,
    soc_transitions, failures, files) of the files, and of the files matching `pattern` below
    folders, read by `workers` threads (default:
    one per core); or, for the folder of a dataset that `skav-rs tables` keeps, its committed
    tables. Needs the batch extra."""
    from pathlib import Path

    from skav_batch import dataset
    from skav_batch.local import read_files  # pyarrow only here: the package imports without it

    if isinstance(paths, (str, os.PathLike)):  # one path, not the characters of one
        paths = [paths]
    names = [os.fspath(path) for path in paths]
    if len(names) == 1 and dataset.is_dataset(names[0]):
        return dataset.read(Path(names[0]))
    return read_files(find_files(names, pattern), kind, workers)
