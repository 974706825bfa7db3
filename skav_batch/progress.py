"""The progress of a run: the files of the tasks done and how many failed, drawn as a bar on
standard error when asked. Both engines count through it."""

from __future__ import annotations

import sys
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Protocol

from skav_batch.tasks import Summary


class Bar(Protocol):
    def update(self, n: float | None = 1) -> bool | None: ...

    def set_postfix(self, ordered_dict: None = None, refresh: bool | None = True, **kwargs: object) -> None: ...


class Tally:
    """The files of the tasks done so far, and how many of them failed."""

    def __init__(self, bar: Bar | None) -> None:
        self.bar = bar
        self.files = self.failed = 0

    def add(self, done: Summary) -> None:
        self.files, self.failed = self.files + done.files, self.failed + done.failed
        if self.bar is not None:
            self.bar.update(done.files)
            self.bar.set_postfix(failed=self.failed, refresh=False)


@contextmanager
def tally(files: int, shown: bool) -> Iterator[Tally]:
    """A tally of a run of `files` files, with a bar if `shown`."""
    if not shown:
        yield Tally(None)
        return
    from tqdm import tqdm  # only when drawn: it costs a tenth of a second of a short run

    with tqdm(total=files, unit="file", file=sys.stderr) as bar:
        yield Tally(bar)
