"""Tables of many quantum-chemistry output files, read with skav_rs.

`read_tables` reads in this process, for a notebook; the `skav-rs tables` command
reads on a Dask cluster and writes the same tables as Parquet.
"""

from __future__ import annotations

import os
import pkgutil
from collections.abc import Iterable
from typing import TYPE_CHECKING

from skav_batch.read import Kind, find_files, read_file

if TYPE_CHECKING:
    import pyarrow as pa

__all__ = ["read_tables"]
# The native _columns may stand elsewhere: in a build folder, or installed, beside a checkout's sources.
__path__ = pkgutil.extend_path(__path__, __name__)


def read_tables(paths: str | os.PathLike[str] | Iterable[str | os.PathLike[str]], kind: Kind = "auto",
                pattern: str = "*.out") -> dict[str, pa.Table]:
    """The five tables (soc_states, soc_elements, orbitals, orbital_contributions, failures) of
    the files, and of the files matching `pattern` below folders. Needs the batch extra."""
    from skav_batch.tables import TableBuilder  # pyarrow only here: the package imports without it

    if isinstance(paths, (str, os.PathLike)):  # one path, not the characters of one
        paths = [paths]
    builder = TableBuilder()
    for path in find_files([os.fspath(path) for path in paths], pattern):
        builder.add(path, read_file(path, kind))
    return builder.tables()
