"""Arrow's compute functions that a run needs, called by name.

`import pyarrow.compute` builds a Python wrapper for each of Arrow's hundreds of functions, a
tenth of a second that a run over a few files would spend on that import alone; the module that
holds the function registry and the option types loads in a few milliseconds.
"""

from __future__ import annotations

from functools import cache
from types import ModuleType
from typing import Any


@cache
def functions() -> ModuleType:
    try:
        import pyarrow._compute as registry  # what pyarrow.compute wraps
    except ImportError:  # a pyarrow that moved it: the public module holds the same
        import pyarrow.compute as registry  # type: ignore[no-redef]
    return registry


def call(name: str, *args: Any, options: Any = None) -> Any:
    return functions().call_function(name, list(args), options)


def is_in(values: Any, value_set: Any) -> Any:
    return call("is_in", values, options=functions().SetLookupOptions(value_set))


def index_in(values: Any, value_set: Any) -> Any:
    return call("index_in", values, options=functions().SetLookupOptions(value_set))


def if_else(condition: Any, then: Any, otherwise: Any) -> Any:
    return call("if_else", condition, then, otherwise)


def take(values: Any, indices: Any) -> Any:
    """Rows of an array or a table by position."""
    return call("take", values, indices)


def where(values: Any, mask: Any) -> Any:
    """The rows of an array or a table where `mask` is true."""
    return call("filter", values, mask)


def sorted_by_file(table: Any) -> Any:
    """The rows in `file` order; the sort is stable, so a file's rows keep theirs."""
    return take(table, call("sort_indices", table, options=functions().SortOptions([("file", "ascending")])))


def unique(values: Any) -> list[Any]:
    return call("unique", values).to_pylist()  # type: ignore[no-any-return]


def counts(values: Any) -> dict[Any, int]:
    """How often each value occurs."""
    counted = call("value_counts", values)
    return dict(zip(counted.field("values").to_pylist(), counted.field("counts").to_pylist()))
